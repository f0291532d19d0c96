#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "binding/py_redact.hpp"
#include "binding/py_ref.hpp"
#include "lib/byte_buffer.hpp"
#include "lib/line_format.hpp"

// Fields rendered once, for every layout, and copied as bytes into each line:
// a logger's bound fields and a context's. Rendering them for every layout
// lets a logger move to a writer of another layout without its values.

namespace ferrant {

struct RenderedField {
    std::string key;  // as written
    std::size_t begin[LineLayout::kSlots];
    std::size_t end[LineLayout::kSlots];
    bool redacted = false;  // written as the placeholder
    // Gives way to a bound field of the same key as well (the trace's ids,
    // written among the context's fields).
    bool weak = false;
};

struct RenderedFields {
    std::string rendered[LineLayout::kSlots];  // every field, in order, per layout
    std::vector<RenderedField> fields;
    // The values as given, a list in the order of `fields`, for a capture
    // of the records (ferrant.testing); null while there are none.
    PyRef values;
    PyRef keys;  // the keys as given, likewise: to render the set again
    // The oldest REDACT_GENERATION a field was rendered at (max: none yet).
    std::uint64_t checked_at = UINT64_MAX;
    // Names this set for the override decisions; given when it is complete
    // (seal()), never reused.
    std::uint64_t id = 0;

    bool empty() const { return fields.empty(); }

    // Rendered for another set of redacted keys than the current one.
    bool stale() const { return !fields.empty() && checked_at != REDACT_GENERATION; }

    bool has(std::string_view key) const {
        for (const RenderedField& f : fields)
            if (f.key == key) return true;
        return false;
    }

    // Whether a field of `key` that does not give way to bound ones is here.
    bool overrides_bound(std::string_view key) const {
        for (const RenderedField& f : fields)
            if (!f.weak && f.key == key) return true;
        return false;
    }

    void seal();

    void append(ByteBuffer& out, const RenderedField& f, unsigned slot) const {
        out.append(rendered[slot].data() + f.begin[slot], f.end[slot] - f.begin[slot]);
    }

    // The value field i was given.
    PyObject* value(std::size_t i) const { return PyList_GET_ITEM(values.get(), i); }

    // The value field i is written with: the placeholder for a redacted key.
    PyObject* written_value(std::size_t i) const {
        return fields[i].redacted ? redacted_value() : value(i);
    }

    // Appends `f` of `from` as it is. False with an exception set (out of
    // memory); the fields are then as they were.
    bool copy(const RenderedFields& from, const RenderedField& f);

    // Appends `key_object`=`value` rendered for every layout (the value's
    // str() runs once for the text layouts and once for JSON). False with an
    // exception set; the fields are then as they were.
    bool render(PyObject* key_object, PyObject* value);

    // Every field rendered again into `out` (empty), for the current keys,
    // and sealed. False with an exception set.
    bool render_again(RenderedFields& out) const;
};

}  // namespace ferrant
