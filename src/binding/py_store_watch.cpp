#include "binding/py_store_watch.hpp"

#include <unordered_map>

#include "binding/py_boundary.hpp"
#include "binding/py_route_table.hpp"

namespace ferrant {

namespace {

std::uint64_t EPOCH = 1;

// Objects some route holds, with the number of routes holding each: the
// routes' references keep every key alive, so no address is reused meanwhile.
// Heap-allocated and never destroyed: nothing may run at static destruction.
std::unordered_map<PyObject*, unsigned>& watched() {
    static auto* map = new std::unordered_map<PyObject*, unsigned>();
    return *map;
}

// The routes go at once, not at the next record: one may hold the last
// reference to a closed handler's Logger, whose writer then stops here, in
// close(), as without the accelerator.
void note_store(PyObject* self) {
    if (!watched().count(self)) return;
    ++EPOCH;
    clear_routes();
}

// (name, value): the store object.__setattr__ makes.
PyObject* setattr_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "__setattr__ expected 2 arguments, got %zd", nargs);
        return nullptr;
    }
    // Before and after: a setter or a release run by the store may log, and a
    // route read in between must not outlive the store.
    note_store(self);
    const int stored = PyObject_GenericSetAttr(self, args[0], args[1]);
    note_store(self);
    if (stored < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* delattr_method(PyObject* self, PyObject* name) {
    note_store(self);
    const int deleted = PyObject_GenericSetAttr(self, name, nullptr);
    note_store(self);
    if (deleted < 0) return nullptr;
    Py_RETURN_NONE;
}

#define FAST(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

PyMethodDef SETATTR_DEF = {"__setattr__", FAST(boundary<setattr_method>), METH_FASTCALL,
                           "__setattr__($self, name, value, /)\n--\n\n"
                           "Implement setattr(self, name, value)."};
PyMethodDef DELATTR_DEF = {"__delattr__", boundary<delattr_method>, METH_O,
                           "__delattr__($self, name, /)\n--\n\nImplement delattr(self, name)."};

}  // namespace

std::uint64_t store_epoch() { return EPOCH; }

void advance_store_epoch() { ++EPOCH; }

void watch_stores(PyObject* object) { ++watched()[object]; }

void unwatch_stores(PyObject* object) {
    auto& map = watched();
    auto found = map.find(object);
    if (found != map.end() && --found->second == 0) map.erase(found);
}

PyObject* watched_setattr_for(PyTypeObject* type) { return PyDescr_NewMethod(type, &SETATTR_DEF); }

PyObject* watched_delattr_for(PyTypeObject* type) { return PyDescr_NewMethod(type, &DELATTR_DEF); }

bool is_store_watch(PyObject* object) {
    if (!Py_IS_TYPE(object, &PyMethodDescr_Type)) return false;
    const PyMethodDef* def = reinterpret_cast<PyMethodDescrObject*>(object)->d_method;
    return def == &SETATTR_DEF || def == &DELATTR_DEF;
}

}  // namespace ferrant
