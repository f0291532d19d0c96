#include "binding/py_dict_watch.hpp"

#include "binding/py_store_watch.hpp"

namespace ferrant {

namespace dict_watch_detail {
std::uint64_t LEVEL_EPOCH = 1;
}

#if PY_VERSION_HEX >= 0x030C0000

namespace {

// Called before each change of a watched dict, its release included; must
// not fail.
int way_changed(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    advance_store_epoch();
    return 0;
}

int level_cache_changed(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++dict_watch_detail::LEVEL_EPOCH;
    return 0;
}

// Watcher ids, taken once for the process (the module lives in the main
// interpreter only); -1 until then.
int WATCHERS[2] = {-1, -1};

}  // namespace

bool stamp_dict(PyObject* dict, DictRole role, DictStamp& out) {
    const int at = role == DictRole::Way ? 0 : 1;
    if (WATCHERS[at] < 0) {
        const int id = PyDict_AddWatcher(at == 0 ? way_changed : level_cache_changed);
        if (id < 0) return false;
        WATCHERS[at] = id;
    }
    if (PyDict_Watch(WATCHERS[at], dict) < 0) return false;
    out.dict = dict;
    restamp(out, role);
    return true;
}

#else

bool stamp_dict(PyObject* dict, DictRole role, DictStamp& out) {
    out.dict = dict;
    restamp(out, role);
    return true;
}

#endif

}  // namespace ferrant
