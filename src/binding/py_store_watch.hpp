#pragma once

#include <cstdint>

#include "binding/py_ref.hpp"

namespace ferrant {

// Attribute stores on the loggers and handlers the accelerated routes read.
// While accelerate_logging() is on, logging.Logger and ferrant.Handler get a
// __setattr__ and a __delattr__ of ours: each store is the generic one, and a
// store on an object some route was read from advances the epoch and drops
// every route kept, so that each is read again. Stores that bypass the class (object.__setattr__,
// writes into __dict__) are not seen. Process-wide, GIL held.

// Advances with every watched store.
std::uint64_t store_epoch();

// Counts `object` as read by a route, or as no longer read by one.
void watch_stores(PyObject* object);
void unwatch_stores(PyObject* object);

// Makes every route be read again, as a watched store does.
void advance_store_epoch();

// __setattr__ and __delattr__ as method descriptors of `type`. New references,
// or null with an exception set.
PyObject* watched_setattr_for(PyTypeObject* type);
PyObject* watched_delattr_for(PyTypeObject* type);

// Whether `object` is one of the descriptors above.
bool is_store_watch(PyObject* object);

}  // namespace ferrant
