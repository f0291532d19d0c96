#include "binding/py_template_cache.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "binding/py_text.hpp"

namespace ferrant {

namespace {

struct Entry {
    PyObject* key = nullptr;  // strong reference
    char* utf8 = nullptr;     // owned copy, padded
    MessageTemplate parsed{};
};

// Direct-mapped: a program's templates are a few hundred constants at most.
constexpr std::size_t kSlots = 512;
Entry CACHE[kSlots];

std::size_t slot_of(PyObject* key) {
    // Fibonacci hashing spreads objects that sit a few allocations apart.
    const auto bits = reinterpret_cast<std::uintptr_t>(key) * 0x9e3779b97f4a7c15u;
    return static_cast<std::size_t>(bits >> 55);
}
static_assert(kSlots == std::size_t{1} << (64 - 55));

[[gnu::noinline]] const MessageTemplate* fill(Entry& entry, PyObject* message, const char*& utf8) {
    std::string_view text;
    if (!utf8_view(message, text)) return nullptr;
    auto* copy = static_cast<char*>(std::malloc(text.size() + kPiecePad));
    if (!copy) {
        PyErr_NoMemory();
        return nullptr;
    }
    std::memcpy(copy, text.data(), text.size());
    std::memset(copy + text.size(), 0, kPiecePad);
    std::free(entry.utf8);
    // An exact str never runs Python code when released.
    Py_XDECREF(entry.key);
    entry.key = Py_NewRef(message);
    entry.utf8 = copy;
    entry.parsed = parse_message_template(text);
    utf8 = entry.utf8;
    return &entry.parsed;
}

}  // namespace

const MessageTemplate* cached_template(PyObject* message, const char*& utf8) {
    Entry& entry = CACHE[slot_of(message)];
    if (entry.key == message) [[likely]] {
        utf8 = entry.utf8;
        return &entry.parsed;
    }
    return fill(entry, message, utf8);
}

}  // namespace ferrant
