#include "binding/py_service_fields.hpp"

#include <utility>

#include "binding/py_boundary.hpp"
#include "binding/py_logger_state.hpp"
#include "lib/settings.hpp"

namespace ferrant {

namespace {

// Never destroyed: loggers merge from it until the process ends. GIL held.
RenderedFields& service() {
    static auto* fields = new RenderedFields();
    return *fields;
}
PyObject* SERVICE_DICT = nullptr;  // what was given, for the one who sets it next

PyObject* set_service_fields(PyObject*, PyObject* fields) {
    if (fields != Py_None && !PyDict_Check(fields)) {
        PyErr_Format(PyExc_TypeError, "fields must be a dict or None, not %.200s",
                     Py_TYPE(fields)->tp_name);
        return nullptr;
    }
    RenderedFields next;
    PyRef kept;
    if (fields != Py_None && PyDict_GET_SIZE(fields) > 0) {
        kept = PyRef::steal(PyDict_Copy(fields));
        if (!kept) return nullptr;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        // The copy: a value's str() cannot change what is being walked.
        while (PyDict_Next(kept.get(), &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "field keys must be str, not %.200s",
                             Py_TYPE(key)->tp_name);
                return nullptr;
            }
            if (!next.render(key, value)) return nullptr;
        }
        next.seal();
    }
    std::swap(service(), next);
    PyObject* previous = SERVICE_DICT;
    SERVICE_DICT = kept.release();
    config_changed();
    return previous ? previous : Py_NewRef(Py_None);
}

}  // namespace

std::uint64_t service_fields_id() { return service().id; }

bool rerender_service_fields() {
    RenderedFields next;
    if (!service().render_again(next)) return false;
    std::swap(service(), next);
    return true;
}

bool merge_service_fields(FieldLoggerObject& logger) {
    const RenderedFields& from = service();
    RenderedFields merged;
    for (const RenderedField& f : from.fields)
        if (!logger.own.has(f.key) && !merged.copy(from, f)) return false;
    for (const RenderedField& f : logger.own.fields)
        if (!merged.copy(logger.own, f)) return false;
    if (!merged.empty()) merged.seal();
    std::swap(logger.bound, merged);
    logger.service_id = from.id;
    return true;
}

PyMethodDef SET_SERVICE_FIELDS_DEF = {"_set_service_fields", boundary<set_service_fields>, METH_O,
                                      "_set_service_fields(fields, /)\n--\n\n"};

}  // namespace ferrant
