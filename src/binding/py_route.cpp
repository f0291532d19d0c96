#include "binding/py_route.hpp"

#include <memory>

#include "binding/py_errors.hpp"
#include "binding/py_stdlib_logging.hpp"
#include "binding/py_store_watch.hpp"

namespace ferrant {

namespace {

struct RouteNames {
    PyObject* disabled;
    PyObject* cache;
    PyObject* filters;
    PyObject* name;
    PyObject* handlers;
    PyObject* propagate;
    PyObject* parent;
    PyObject* level;
    PyObject* formatter;
    PyObject* acquire;
    PyObject* release;
    PyObject* factory;
};

RouteNames N{};

// Odd ways (a cycle of parents) are left to the stdlib.
constexpr int MAX_DEPTH = 256;

// An attribute, or nothing when reading it raised an Exception. False only
// when it raised what must reach the caller.
bool read(PyObject* object, PyObject* name, PyRef& out) {
    out = PyRef::steal(PyObject_GetAttr(object, name));
    if (out) return true;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    return true;
}

// A flag logging tests for truth: an exact bool or int, whose test runs no
// code.
bool flag_of(PyObject* value, bool& out) {
    if (!value || !(PyBool_Check(value) || PyLong_CheckExact(value))) return false;
    out = PyObject_IsTrue(value) == 1;
    return true;
}

// logging's module lock, held while the route is read.
class ModuleLock {
public:
    explicit ModuleLock(PyObject* lock) : lock_(lock) {}
    bool acquire() {
        if (!lock_ || lock_ == Py_None) return true;
        PyRef done = PyRef::steal(PyObject_CallMethodNoArgs(lock_, N.acquire));
        held_ = static_cast<bool>(done);
        return held_;
    }
    // Releases with any pending exception kept aside.
    ~ModuleLock() noexcept(false) {
        if (!held_) return;
        PyRef pending = take_raised_exception();
        PyRef done = PyRef::steal(PyObject_CallMethodNoArgs(lock_, N.release));
        if (!done) PyErr_WriteUnraisable(lock_);
        raise_again(std::move(pending));
    }
    ModuleLock(const ModuleLock&) = delete;
    ModuleLock& operator=(const ModuleLock&) = delete;

private:
    PyObject* lock_;
    bool held_ = false;
};

// False when the route has no room for another type.
bool hold_type(Route& route, PyTypeObject* type, unsigned tag) {
    for (std::size_t i = 0; i < route.type_count; ++i)
        if (route.tags[i].type == type) return true;
    if (route.type_count == Route::MAX_TYPES) return false;
    route.tags[route.type_count++] = {type, tag};
    return true;
}

void watch(Route& route, PyObject* object) {
    watch_stores(object);
    route.watched.push_back(PyRef::borrow(object));
}

// A ferrant.Handler as the route can take it; false leaves the records to
// the stdlib.
bool read_target(const StdlibLogging& refs, Route& route, PyObject* handler, bool& ok) {
    ok = false;
    unsigned tag;
    if (!plain_handler_type(Py_TYPE(handler), tag) || tag == 0 ||
        !hold_type(route, Py_TYPE(handler), tag))
        return true;
    bool clean;
    if (!handler_methods_untouched(handler, clean)) return false;
    if (!clean) return true;
    RouteTarget target;
    target.handler = PyRef::borrow(handler);
    PyRef level, formatter;
    if (!read(handler, N.level, level) || !read(handler, N.formatter, formatter) ||
        !read(handler, N.filters, target.filters))
        return false;
    if (!level || !PyLong_CheckExact(level.get())) return true;
    int overflow = 0;
    target.level = PyLong_AsLongAndOverflow(level.get(), &overflow);
    if (overflow) return true;
    if (!formatter ||
        (formatter.get() != refs.plain_formatter.get() && formatter.get() != Py_None))
        return true;
    if (!target.filters || !PyList_CheckExact(target.filters.get())) return true;
    watch(route, handler);
    route.targets.push_back(std::move(target));
    ok = true;
    return true;
}

// Whether logging makes its records with LogRecord itself.
bool default_factory(const StdlibLogging& refs) {
    PyObject* factory = PyDict_GetItemWithError(refs.module_dict.get(), N.factory);
    if (!factory && PyErr_Occurred()) PyErr_Clear();
    return factory == refs.record_type.get();
}

// Walks the way of callHandlers from the route's logger. Sets route.native
// when every part of it can be taken natively. False only with an error that
// must reach the caller.
bool read_way(const StdlibLogging& refs, Route& route) {
    PyObject* logger = route.logger.get();
    if (!read(logger, N.filters, route.filters) || !read(logger, N.name, route.name))
        return false;
    if (!route.filters || !PyList_CheckExact(route.filters.get())) return true;
    if (!route.name || !PyUnicode_CheckExact(route.name.get())) return true;
    if (!default_factory(refs)) return true;
    unsigned tag;
    auto* record = reinterpret_cast<PyTypeObject*>(refs.record_type.get());
    if (!plain_record_type(record, tag) || tag == 0 || !hold_type(route, record, tag)) return true;
    PyRef current = PyRef::borrow(logger);
    for (int depth = 0; depth < MAX_DEPTH; ++depth) {
        RouteLink link;
        link.logger = PyRef::borrow(current.get());
        if (!read(current.get(), N.handlers, link.handlers)) return false;
        if (!link.handlers || !PyList_CheckExact(link.handlers.get())) return true;
        const Py_ssize_t n = PyList_GET_SIZE(link.handlers.get());
        for (Py_ssize_t i = 0; i < n; ++i)
            link.held.push_back(PyRef::borrow(PyList_GET_ITEM(link.handlers.get(), i)));
        route.found += link.held.size();
        for (const PyRef& handler : link.held) {
            bool ok;
            if (!read_target(refs, route, handler.get(), ok)) return false;
            if (!ok) return true;
        }
        PyRef propagate, parent;
        if (!read(current.get(), N.propagate, propagate)) return false;
        bool propagates;
        if (!flag_of(propagate.get(), propagates)) return true;
        route.links.push_back(std::move(link));
        if (!propagates) {
            route.native = true;
            return true;
        }
        if (!read(current.get(), N.parent, parent)) return false;
        if (!parent) return true;
        if (parent.get() == Py_None) {
            route.native = true;
            return true;
        }
        if (!plain_logger_type(Py_TYPE(parent.get()), tag) || tag == 0 ||
            !hold_type(route, Py_TYPE(parent.get()), tag))
            return true;
        bool clean;
        if (!logger_methods_untouched(parent.get(), clean)) return false;
        if (!clean) return true;
        watch(route, parent.get());
        current = std::move(parent);
    }
    return true;
}

}  // namespace

Route::~Route() {
    for (const PyRef& object : watched) unwatch_stores(object.get());
}

bool init_route_names() {
    if (N.disabled) return true;
    const char* texts[] = {"disabled", "_cache", "filters", "name", "handlers", "propagate",
                           "parent", "level", "formatter", "acquire", "release",
                           "_logRecordFactory"};
    PyObject** slots[] = {&N.disabled, &N.cache, &N.filters, &N.name, &N.handlers,
                          &N.propagate, &N.parent, &N.level, &N.formatter, &N.acquire,
                          &N.release, &N.factory};
    for (std::size_t i = 0; i < std::size(texts); ++i)
        if (!(*slots[i] = PyUnicode_InternFromString(texts[i]))) return false;
    return true;
}

Route* read_route(PyObject* logger) {
    auto route = std::make_unique<Route>();
    route->logger = PyRef::borrow(logger);
    watch(*route, logger);
    const StdlibLogging* refs = stdlib_logging();
    if (!refs || !plain_logger_type(Py_TYPE(logger), route->type_tag) || route->type_tag == 0)
        return route.release();
    ModuleLock lock(refs->lock.get());
    if (!lock.acquire()) return nullptr;
    bool clean;
    if (!logger_methods_untouched(logger, clean)) return nullptr;
    if (!clean) return route.release();
    PyRef disabled;
    if (!read(logger, N.disabled, disabled) || !read(logger, N.cache, route->cache))
        return nullptr;
    if (!flag_of(disabled.get(), route->disabled)) return route.release();
    if (!route->cache || !PyDict_CheckExact(route->cache.get())) return route.release();
    if (!stamp_dict(route->cache.get(), DictRole::LevelCache, route->cache_stamp)) return nullptr;
    route->plain = true;
    if (!read_way(*refs, *route)) return nullptr;
    return route.release();
}

bool way_unchanged(const Route& route) {
    for (std::size_t i = 0; i < route.type_count; ++i)
        if (route.tags[i].type->tp_version_tag != route.tags[i].tag) return false;
    if (PyList_GET_SIZE(route.filters.get()) != 0) return false;
    for (const RouteLink& link : route.links) {
        PyObject* list = link.handlers.get();
        const auto n = static_cast<std::size_t>(PyList_GET_SIZE(list));
        if (n != link.held.size()) return false;
        for (std::size_t i = 0; i < n; ++i)
            if (PyList_GET_ITEM(list, i) != link.held[i].get()) return false;
    }
    for (const RouteTarget& target : route.targets)
        if (PyList_GET_SIZE(target.filters.get()) != 0) return false;
    StdlibLogging* refs = stdlib_logging();
    if (!refs) return false;
    // setLogRecordFactory stores a global, which no store watch sees.
    if (dict_unchanged(refs->globals, DictRole::Way)) [[likely]]
        return true;
    if (!default_factory(*refs)) return false;
    restamp(refs->globals, DictRole::Way);
    return true;
}

int cached_level(Route& route, PyObject* level, int slot) {
    const bool still = dict_unchanged(route.cache_stamp, DictRole::LevelCache);
    if (slot >= 0 && still && route.answers[slot]) [[likely]]
        return route.answers[slot] == 1;
    if (!still) {
        for (std::uint8_t& answer : route.answers) answer = 0;
        restamp(route.cache_stamp, DictRole::LevelCache);
    }
    PyObject* enabled = PyDict_GetItemWithError(route.cache.get(), level);
    if (enabled != Py_True && enabled != Py_False) return PyErr_Occurred() ? -2 : -1;
    if (slot >= 0) route.answers[slot] = enabled == Py_True ? 1 : 2;
    return enabled == Py_True;
}

void release_route(Route* route) {
    if (--route->holds == 0) delete route;
}

}  // namespace ferrant
