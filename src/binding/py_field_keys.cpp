#include "binding/py_field_keys.hpp"

#include <atomic>

#include "binding/py_redact.hpp"
#include "lib/field_format.hpp"
#include "lib/line_builder.hpp"

namespace ferrant {

namespace {

constexpr std::string_view EXC_INFO = "exc_info";

}  // namespace

bool is_exc_info(PyObject* key) {
    if (!PyUnicode_IS_COMPACT_ASCII(key) ||
        PyUnicode_GET_LENGTH(key) != static_cast<Py_ssize_t>(EXC_INFO.size()))
        return false;
    return key_text(key) == EXC_INFO;
}

bool plain_field_key(PyObject* key) {
    if (!PyUnicode_IS_COMPACT_ASCII(key)) return false;
    const std::string_view text = key_text(key);
    return valid_field_key(text) && !reserved_field_key(text) && text != EXC_INFO;
}

bool field_key(PyObject* key, std::string_view& out, std::string& storage) {
    if (plain_field_key(key)) [[likely]] {
        out = key_text(key);
        return true;
    }
    // Lone surrogates as the bytes they stand for: every str has one form.
    PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(key, "utf-8", "surrogatepass"));
    if (!bytes) return false;
    storage = safe_field_key({PyBytes_AS_STRING(bytes.get()),
                              static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))});
    out = storage;
    return true;
}

namespace {

// Two ways per set, the newest first; a set is chosen by the tuple's address.
constexpr std::size_t kSets = 32;
CallNames CHECKED[kSets][2];

std::uint64_t next_names_id() {
    static std::uint64_t last = 0;  // GIL held
    return ++last;
}

std::size_t set_of(PyObject* kwnames) {
    const auto a = reinterpret_cast<std::uintptr_t>(kwnames);
    return ((a >> 4) ^ (a >> 10)) % kSets;
}

[[gnu::noinline]] CallNames* remember(PyObject* kwnames, CallNames* set) {
    std::vector<std::string> written;
    Py_ssize_t exc_info_at = -1;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        if (is_exc_info(key)) {
            exc_info_at = i;
            written.emplace_back();
            continue;
        }
        std::string_view text;
        std::string storage;
        if (!field_key(key, text, storage)) return nullptr;
        written.emplace_back(text);
    }
    // The older way goes; the newer moves down.
    PyObject* evicted = set[1].names;
    std::swap(set[0], set[1]);
    CallNames& slot = set[0];
    slot.names = Py_NewRef(kwnames);
    slot.id = next_names_id();
    slot.exc_info_at = exc_info_at;
    slot.count = static_cast<Py_ssize_t>(written.size());
    slot.fields = slot.count > (exc_info_at >= 0 ? 1 : 0);
    slot.written = std::move(written);
    for (unsigned i = 0; i < LineLayout::kSlots; ++i) {
        slot.pieces[i].clear();
        slot.begin[i].clear();
    }
    Py_XDECREF(evicted);
    slot.clean_at = slot.checked_at = 0;
    if (!check_redacted(slot)) return nullptr;
    return &slot;
}

}  // namespace

CallNames* check_call_keys(PyObject* kwnames) {
    CallNames* set = CHECKED[set_of(kwnames)];
    if (set[0].names == kwnames) [[likely]]
        return &set[0];
    if (set[1].names == kwnames) return &set[1];
    return remember(kwnames, set);
}

bool check_redacted(CallNames& names) {
    std::vector<bool> redacted;
    bool any = false;
    for (Py_ssize_t i = 0; i < names.count; ++i) {
        const int r = i == names.exc_info_at ? 0 : redacted_key(PyTuple_GET_ITEM(names.names, i));
        if (r < 0) return false;
        redacted.push_back(r == 1);
        any = any || r == 1;
    }
    names.redacted = std::move(redacted);
    names.checked_at = REDACT_GENERATION;
    names.clean_at = any ? 0 : REDACT_GENERATION;
    return true;
}

KeyPieces call_key_pieces(CallNames& names, const LineLayout& layout) {
    ByteBuffer& text = names.pieces[layout.slot];
    std::vector<std::uint32_t>& begin = names.begin[layout.slot];
    // Short of one entry a key when a previous rendering ran out of memory.
    if (begin.size() != names.written.size() + 1) [[unlikely]] {
        text.clear();
        begin.clear();
        for (std::size_t i = 0; i < names.written.size(); ++i) {
            begin.push_back(static_cast<std::uint32_t>(text.size()));
            if (static_cast<Py_ssize_t>(i) == names.exc_info_at) continue;
            LineBuilder b(text, 0);
            put_field_key(b, layout, names.written[i]);
            b.finish();
        }
        begin.push_back(static_cast<std::uint32_t>(text.size()));
        const char pad[kPiecePad] = {};
        text.append(pad, kPiecePad);
    }
    return {text.data(), begin.data()};
}

}  // namespace ferrant
