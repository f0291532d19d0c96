#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "binding/py_ref.hpp"
#include "lib/byte_buffer.hpp"
#include "lib/line_format.hpp"

// Fields bound to the running context (contextvars): each asyncio task and
// each thread sees its own. The value of one ContextVar is an immutable
// state, rendered for every layout when bound; a bind sets a new state and
// never touches one that another context may hold.

namespace ferrant {

struct ContextField {
    std::string key;
    std::uint64_t bit;  // key_bit
    std::size_t begin[LineLayout::kSlots];
    std::size_t end[LineLayout::kSlots];
};

struct ContextFields {
    std::string rendered[LineLayout::kSlots];  // every field, in order, per layout
    std::vector<ContextField> fields;
    std::uint64_t mask = 0;  // the fields' key bits

    bool has(std::string_view key, std::uint64_t bit) const {
        if (!(mask & bit)) return false;
        for (const ContextField& f : fields)
            if (f.bit == bit && f.key == key) return true;
        return false;
    }

    void append(ByteBuffer& out, const ContextField& f, unsigned slot) const {
        out.append(rendered[slot].data() + f.begin[slot], f.end[slot] - f.begin[slot]);
    }
};

// The running context's fields, or null when it has none (`hold` then stays
// empty). False with an exception set.
[[nodiscard]] bool current_context_fields(PyRef& hold, const ContextFields*& out);

extern PyMethodDef BIND_CONTEXTVARS_DEF;
extern PyMethodDef UNBIND_CONTEXTVARS_DEF;
extern PyMethodDef CLEAR_CONTEXTVARS_DEF;
extern PyMethodDef GET_CONTEXT_FIELDS_DEF;
extern PyMethodDef SET_CONTEXT_FIELDS_DEF;

// Makes the ContextVar and the state's class; false with an exception set.
bool init_context_fields();

}  // namespace ferrant
