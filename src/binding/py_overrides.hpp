#pragma once

#include <cstdint>

#include "binding/py_field_keys.hpp"
#include "binding/py_rendered_fields.hpp"

// Which pre-rendered fields a record leaves out because a later source gives
// their key again (the call over the context over the bound fields). The
// written keys are compared once per (names tuple, bound set, context set)
// and the answer remembered, keyed by ids that are never reused: a call pays
// the same whatever PYTHONHASHSEED is and whichever keys meet.

namespace ferrant {

struct Overrides {
    std::uint64_t bound = 0;    // bit i: bound field i is left out
    std::uint64_t context = 0;  // bit i: context field i is left out
};

// Sets of more fields than this are decided field by field at every call.
inline constexpr std::size_t kOverrideBits = 64;

// The decision for a call with `names` (null: no fields), a logger's `bound`
// fields and the context's (null: none). GIL held.
Overrides overrides(const CallNames* names, const RenderedFields& bound,
                    const RenderedFields* context);

// Whether a call with `names` gives `key` again; for sets past kOverrideBits.
bool call_gives(const CallNames* names, std::string_view key);

// Whether the context's field `f` is left out: the call gives its key, or it
// is weak and `bound` has it.
bool context_dropped(const CallNames* names, const RenderedFields& bound, const RenderedField& f);

}  // namespace ferrant
