#include "binding/py_redact.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "binding/py_boundary.hpp"
#include "binding/py_service_fields.hpp"
#include "lib/settings.hpp"

namespace ferrant {

namespace {

// Folded as stored: ASCII letters lower case, the rest as UTF-8 (lone
// surrogates as the bytes they stand for). A process-wide set, GIL held.
std::vector<std::string> KEYS;
PyObject* KEYS_GIVEN = nullptr;  // the tuple, for the one who sets it next
PyObject* PLACEHOLDER = nullptr;

char fold(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_folded(std::string_view given, const std::string& folded) {
    if (given.size() != folded.size()) return false;
    for (std::size_t i = 0; i < given.size(); ++i)
        if (fold(given[i]) != folded[i]) return false;
    return true;
}

bool matches(std::string_view given) {
    for (const std::string& k : KEYS)
        if (same_folded(given, k)) return true;
    return false;
}

// The UTF-8 of any str, lone surrogates included; false with an exception set.
bool key_bytes(PyObject* key, std::string& out) {
    if (PyUnicode_IS_COMPACT_ASCII(key)) {
        out.assign(static_cast<const char*>(PyUnicode_DATA(key)),
                   static_cast<std::size_t>(PyUnicode_GET_LENGTH(key)));
        return true;
    }
    PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(key, "utf-8", "surrogatepass"));
    if (!bytes) return false;
    out.assign(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
    return true;
}

PyObject* set_redact(PyObject*, PyObject* keys) {
    if (!PyTuple_Check(keys)) {
        PyErr_Format(PyExc_TypeError, "keys must be a tuple of str, not %.200s",
                     Py_TYPE(keys)->tp_name);
        return nullptr;
    }
    std::vector<std::string> next;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(keys); ++i) {
        PyObject* key = PyTuple_GET_ITEM(keys, i);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "redacted keys must be str, not %.200s",
                         Py_TYPE(key)->tp_name);
            return nullptr;
        }
        std::string text;
        if (!key_bytes(key, text)) return nullptr;
        for (char& c : text) c = fold(c);
        next.push_back(std::move(text));
    }
    std::vector<std::string> sorted_next = next, sorted_now = KEYS;
    std::sort(sorted_next.begin(), sorted_next.end());
    std::sort(sorted_now.begin(), sorted_now.end());
    PyRef previous = KEYS_GIVEN ? PyRef::borrow(KEYS_GIVEN) : PyRef::steal(PyTuple_New(0));
    if (!previous) return nullptr;
    if (sorted_next != sorted_now) {
        std::swap(KEYS, next);
        REDACTING = !KEYS.empty();
        ++REDACT_GENERATION;
        // Loggers merge the service's fields again at their next record, and
        // check their own then: the configuration's generation moves.
        if (!rerender_service_fields()) {
            std::swap(KEYS, next);  // nothing changes on an error
            REDACTING = !KEYS.empty();
            ++REDACT_GENERATION;
            return nullptr;
        }
        config_changed();
    }
    PyObject* old = KEYS_GIVEN;
    KEYS_GIVEN = Py_NewRef(keys);
    Py_XDECREF(old);
    return previous.release();
}

}  // namespace

int redacted_key(PyObject* key) {
    if (!REDACTING) return 0;
    if (PyUnicode_IS_COMPACT_ASCII(key)) [[likely]]
        return matches({static_cast<const char*>(PyUnicode_DATA(key)),
                        static_cast<std::size_t>(PyUnicode_GET_LENGTH(key))});
    std::string text;
    if (!key_bytes(key, text)) return -1;
    return matches(text);
}

PyObject* redacted_value() { return PLACEHOLDER; }

bool init_redact() {
    if (PLACEHOLDER) return true;
    PLACEHOLDER = PyUnicode_FromStringAndSize(REDACTED_TEXT.data(),
                                              static_cast<Py_ssize_t>(REDACTED_TEXT.size()));
    return PLACEHOLDER != nullptr;
}

PyMethodDef SET_REDACT_DEF = {"_set_redact", boundary<set_redact>, METH_O,
                              "_set_redact(keys, /)\n--\n\n"};

}  // namespace ferrant
