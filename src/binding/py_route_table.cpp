#include "binding/py_route_table.hpp"

#include <cstdint>
#include <vector>

#include "binding/py_store_watch.hpp"

namespace ferrant {

namespace {

// Open addressing on the logger's address, linear probing. Keys stay until
// the table is cleared: forgetting a route empties its slot's value, and the
// next call fills it again. The routes hold their loggers, so no key's
// address is reused while it is in the table. GIL held.
class RouteTable {
public:
    static constexpr std::size_t CAPACITY = 1024;  // a power of two
    static constexpr std::size_t MAX_KEYS = CAPACITY / 2;

    RouteTable() : slots_(CAPACITY) {}

    // The slot for `key`: its own, or the empty one where it would go; null
    // when the table has no room for it.
    struct Slot {
        PyObject* key = nullptr;
        Route* route = nullptr;
    };

    Slot* find(PyObject* key) {
        std::size_t i = index_of(key);
        for (std::size_t probes = 0; probes < CAPACITY; ++probes, i = (i + 1) & (CAPACITY - 1)) {
            Slot& slot = slots_[i];
            if (slot.key == key || !slot.key) return &slot;
        }
        return nullptr;
    }

    // Notes `key` as seen, with no route yet.
    void remember(PyObject* key) {
        if (keys_ >= MAX_KEYS) clear();
        Slot* slot = find(key);
        if (slot && !slot->key) {
            slot->key = key;
            ++keys_;
        }
    }

    // Keeps `route` (whose hold the table takes over) for `key`.
    void put(PyObject* key, Route* route) {
        if (keys_ >= MAX_KEYS) clear();
        Slot* slot = find(key);
        if (!slot) {
            release_route(route);
            return;
        }
        if (!slot->key) {
            slot->key = key;
            ++keys_;
        }
        Route* old = slot->route;
        slot->route = route;
        if (old) release_route(old);
    }

    void forget(PyObject* key) {
        Slot* slot = find(key);
        if (!slot || !slot->route) return;
        Route* old = slot->route;
        slot->route = nullptr;
        release_route(old);
    }

    // Emptied before any route is released: a release may run code that
    // logs, and finds an empty table.
    void clear() {
        std::vector<Route*> held;
        for (Slot& slot : slots_) {
            if (slot.route) held.push_back(slot.route);
            slot = Slot{};
        }
        keys_ = 0;
        for (Route* route : held) release_route(route);
    }

    std::uint64_t epoch = 0;

private:
    static std::size_t index_of(PyObject* key) {
        const auto bits = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(key));
        return static_cast<std::size_t>((bits >> 4) * 0x9E3779B97F4A7C15ull >> 54) &
               (CAPACITY - 1);
    }

    std::vector<Slot> slots_;
    std::size_t keys_ = 0;
};

static_assert((RouteTable::CAPACITY & (RouteTable::CAPACITY - 1)) == 0);

// Never destroyed: nothing may be released at static destruction.
RouteTable& table() {
    static auto* routes = new RouteTable();
    return *routes;
}

}  // namespace

Route* route_for(PyObject* logger) {
    RouteTable& routes = table();
    const std::uint64_t epoch = store_epoch();
    if (routes.epoch != epoch) [[unlikely]] {
        routes.clear();
        routes.epoch = epoch;
    }
    if (RouteTable::Slot* slot = routes.find(logger)) [[likely]] {
        Route* route = slot->route;
        if (route && Py_TYPE(logger)->tp_version_tag == route->type_tag) [[likely]] {
            ++route->holds;
            return route;
        }
        // A logger's first record goes the stdlib's way (its level is not
        // cached yet anyway): a logger made for one record never costs a
        // route.
        if (!slot->key) {
            routes.remember(logger);
            return nullptr;
        }
    }
    Route* route = read_route(logger);
    if (!route) return nullptr;
    // Kept only if nothing it was read from changed while it was read.
    if (route->type_tag != 0 && store_epoch() == epoch && routes.epoch == epoch) {
        ++route->holds;
        routes.put(logger, route);
    }
    return route;
}

void forget_route(PyObject* logger) { table().forget(logger); }

void clear_routes() { table().clear(); }

}  // namespace ferrant
