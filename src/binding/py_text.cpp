#include "binding/py_text.hpp"

#include "binding/py_args.hpp"

namespace ferrant {

bool convert_optional_path(const char* function, PyObject* arg, std::optional<std::string>& out) {
    if (!arg || arg == Py_None) {
        out.reset();
        return true;
    }
    if (!PyUnicode_Check(arg)) return argument_type_error(function, "path", "str or None", arg);
    std::string_view text;
    if (!utf8_view(arg, text)) return false;
    // The system would cut the name at the NUL and write to another file.
    if (text.find('\0') != std::string_view::npos) {
        PyErr_SetString(PyExc_ValueError, "embedded null byte");
        return false;
    }
    out.emplace(text);
    return true;
}

}  // namespace ferrant
