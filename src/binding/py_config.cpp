#include "binding/py_config.hpp"

#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "binding/py_args.hpp"
#include "binding/py_boundary.hpp"
#include "binding/py_text.hpp"
#include "lib/settings.hpp"
#include "lib/live_flags.hpp"

namespace ferrant {

namespace {

constexpr const char* FN = "basic_config";
constexpr const char* NAMES[] = {"path", "unix_ts", "batch_size", "color", "format"};
PyObject* INTERNED[5] = {};
Params PARAMS = {FN, NAMES, 5, 0, INTERNED};

struct Config {
    PathSetting path;
    bool unix_ts = false;
    std::optional<std::uint64_t> batch_size;
    ColorMode color = ColorMode::Auto;
    Format format = Format::Text;
};

ColorMode color_mode(std::string_view text) {
    if (text == "always") return ColorMode::Always;
    if (text == "off") return ColorMode::Off;
    return ColorMode::Auto;
}

// Converts every argument before anything is stored, in parameter order.
bool convert(PyObject* const* a, Config& c) {
    if (!convert_optional_path(FN, a[0], c.path)) return false;
    if (a[1]) {
        if (!PyBool_Check(a[1])) return argument_type_error(FN, "unix_ts", "bool", a[1]);
        c.unix_ts = a[1] == Py_True;
    }
    if (a[2] && a[2] != Py_None) {
        if (!PyIndex_Check(a[2])) return argument_type_error(FN, "batch_size", "int or None", a[2]);
        PyRef index = PyRef::steal(PyNumber_Index(a[2]));
        if (!index) return false;
        unsigned long long n = PyLong_AsUnsignedLongLong(index.get());
        if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
        c.batch_size = n == 0 ? 1 : n;
    }
    std::string_view text;
    if (a[3]) {
        if (!PyUnicode_Check(a[3])) return argument_type_error(FN, "color", "str", a[3]);
        if (!utf8_view(a[3], text)) return false;
        c.color = color_mode(text);
    }
    if (a[4]) {
        if (!PyUnicode_Check(a[4])) return argument_type_error(FN, "format", "str", a[4]);
        if (!utf8_view(a[4], text)) return false;
        c.format = text == "json" ? Format::Json : Format::Text;
    }
    return true;
}

PyObject* basic_config(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* a[5];
    if (!bind_fastcall(PARAMS, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    Config c;
    if (!convert(a, c)) return nullptr;
    default_path_cell().set(std::move(c.path));
    default_unix_ts_cell().set(c.unix_ts);
    // A flag is raised before the setting that needs it is visible.
    if (c.color != ColorMode::Off) set_color_live();
    default_color_cell().set(c.color);
    if (c.format == Format::Json) set_json_live();
    default_format_cell().set(c.format);
    if (c.batch_size) BATCH_SIZE.store(*c.batch_size, std::memory_order_relaxed);
    config_changed();
    Py_RETURN_NONE;
}

}  // namespace

bool init_basic_config() { return intern(PARAMS); }

PyMethodDef BASIC_CONFIG_DEF = {
    "basic_config",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(boundary<basic_config>)),
    METH_FASTCALL | METH_KEYWORDS,
    "basic_config(path=None, unix_ts=False, batch_size=None, color=..., format=...)\n--\n\n",
};

}  // namespace ferrant
