#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "binding/py_ref.hpp"
#include "lib/byte_buffer.hpp"
#include "lib/line_format.hpp"

// Fields rendered once, for every layout, and copied as bytes into each line:
// a logger's bound fields and a context's. Rendering them for every layout
// lets a logger move to a writer of another layout without its values.

namespace ferrant {

struct RenderedField {
    std::string key;    // as written
    std::uint64_t bit;  // key_bit of the key as given
    std::size_t begin[LineLayout::kSlots];
    std::size_t end[LineLayout::kSlots];
};

struct RenderedFields {
    std::string rendered[LineLayout::kSlots];  // every field, in order, per layout
    std::vector<RenderedField> fields;
    std::uint64_t mask = 0;  // the fields' key bits

    bool empty() const { return fields.empty(); }

    bool has(std::string_view key, std::uint64_t bit) const {
        if (!(mask & bit)) return false;
        for (const RenderedField& f : fields)
            if (f.bit == bit && f.key == key) return true;
        return false;
    }

    void append(ByteBuffer& out, const RenderedField& f, unsigned slot) const {
        out.append(rendered[slot].data() + f.begin[slot], f.end[slot] - f.begin[slot]);
    }

    // Appends `f` of `from` as it is.
    void copy(const RenderedFields& from, const RenderedField& f);

    // Appends `key_object`=`value` rendered for every layout (the value's
    // str() runs once for the text layouts and once for JSON). False with an
    // exception set; the fields are then as they were.
    bool render(PyObject* key_object, PyObject* value);
};

}  // namespace ferrant
