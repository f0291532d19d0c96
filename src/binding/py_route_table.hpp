#pragma once

#include "binding/py_route.hpp"

namespace ferrant {

// The route of `logger`, with a hold for the caller: the one kept since the
// last store on a watched object, or one read now. Null without an exception
// at the first sight of a logger, whose record then takes the stdlib's way;
// null with one set as for read_route.
Route* route_for(PyObject* logger);

// Lets the next call on `logger` read its route again.
void forget_route(PyObject* logger);

// Drops every route kept (those in use live on until their calls end).
void clear_routes();

}  // namespace ferrant
