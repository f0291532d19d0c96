#pragma once

#include <utility>
#include <vector>

#include "binding/py_dict_watch.hpp"
#include "binding/py_ref.hpp"

namespace ferrant {

// A ferrant.Handler that a logger's records reach.
struct RouteTarget {
    PyRef handler;
    PyRef filters;  // its filter list, which must stay empty
    long level = 0;
    // Its Logger for the route's name, taken at the first record it writes.
    PyRef logger;
};

// A logger on the way and the handlers its list held when read.
struct RouteLink {
    PyRef logger;
    PyRef handlers;
    std::vector<PyRef> held;
};

// How the records of one logging.Logger go, as the stdlib's code would take
// them: read from the logger, the loggers they propagate to and the handlers
// met. It stays right while the store epoch (attribute stores on any object
// read here), the version tags of the types involved, the lists' contents and
// the record factory are what they were; each of these is checked where the
// route is used.
struct Route {
    // The table's reference, and one per call using the route. GIL held.
    unsigned holds = 1;
    PyRef logger;
    unsigned type_tag = 0;  // of the logger's type; 0: none, so never kept
    // The level methods decide the level natively: a plain logger type, no
    // method patched onto the logger, `disabled` and `_cache` as logging
    // keeps them.
    bool plain = false;
    bool disabled = false;
    PyRef cache;  // the logger's _cache: level -> whether enabled
    // What _cache answered for the level methods' five levels (DEBUG to
    // CRITICAL): 1 enabled, 2 not, 0 not asked; valid while the stamp holds.
    DictStamp cache_stamp;
    std::uint8_t answers[5] = {};

    // Enabled records may be written natively: every handler on the way is a
    // ferrant.Handler as it comes, and every logger a plain one.
    bool native = false;
    PyRef filters;  // the logger's own: the stdlib consults no other logger's
    PyRef name;
    std::vector<RouteLink> links;
    std::vector<RouteTarget> targets;  // in the order callHandlers reaches them
    std::size_t found = 0;             // handlers on the way, as callHandlers counts
    // Types whose change of version tag voids the route; each is held by an
    // object of the route or by the accelerator's references. A way through
    // more types (subclasses) is left to the stdlib.
    struct TypeTag {
        PyTypeObject* type;
        unsigned tag;
    };
    static constexpr std::size_t MAX_TYPES = 4;
    TypeTag tags[MAX_TYPES] = {};
    std::size_t type_count = 0;

    Route() = default;
    Route(const Route&) = delete;
    Route& operator=(const Route&) = delete;
    ~Route();

    // The objects whose attribute stores void the route, held so that no
    // other object takes an address meanwhile.
    std::vector<PyRef> watched;
};

// Reads the route of `logger` (logging's module lock held meanwhile, as the
// stdlib holds it for its level cache and handler lists). The caller owns the
// one hold. Null with an exception set only for an error that must reach the
// caller (KeyboardInterrupt); every other oddity gives a route that leaves
// the records to the stdlib.
Route* read_route(PyObject* logger);

// For a native route: whether the parts of the way that no store goes
// through (list contents, types, the record factory) are as read.
bool way_unchanged(const Route& route);

// What the logger's _cache says of `level` (an int object; `slot` its place
// in Route::answers, or -1): 1 enabled, 0 not, -1 not cached yet (the stdlib's
// isEnabledFor fills it), -2 with an exception set.
int cached_level(Route& route, PyObject* level, int slot);

// Releases one hold; the last deletes the route.
void release_route(Route* route);

// A call's hold on a route.
class RouteHold {
public:
    explicit RouteHold(Route* route) : route_(route) {}
    ~RouteHold() noexcept(false) {
        if (route_) release_route(route_);
    }
    RouteHold(const RouteHold&) = delete;
    RouteHold& operator=(const RouteHold&) = delete;
    Route* get() const { return route_; }
    Route* operator->() const { return route_; }

private:
    Route* route_;
};

// Interns the attribute names read; false with an exception set.
bool init_route_names();

}  // namespace ferrant
