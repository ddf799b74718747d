// Every call from the module into the host package's sibling modules, the
// standard library and OpenUSD, in one place.
//
// Names bound at import are looked up in the module namespace (`globals`, the
// members' __globals__) at each call, so a replacement bound there after
// import is the one used.  Names that only one member needs are imported
// inside that member at each call.
#pragma once

#include "runtime/function.hpp"
#include "runtime/names.hpp"

namespace vp::host {

// The module-level name `name` in `globals`; NameError when unbound.
PyObject *global(PyObject *globals, PyObject *name);  // borrowed

// `from <module> import <name>` relative to the module's package (`level`
// package levels up); ImportError "cannot import name ..." for a missing
// name.
Ref import_from(PyObject *globals, const char *module, int level, const char *name);

// Convenience calls on borrowed objects; all return new references.
Ref call0(PyObject *callable);
Ref call1(PyObject *callable, PyObject *a);
Ref call2(PyObject *callable, PyObject *a, PyObject *b);
Ref call3(PyObject *callable, PyObject *a, PyObject *b, PyObject *c);
Ref method0(PyObject *self, PyObject *name);
Ref method1(PyObject *self, PyObject *name, PyObject *a);
Ref attr(PyObject *o, PyObject *name);
Ref str(PyObject *o);  // str(o); a str is returned unchanged

// record.get(key, default) for the vehicle record, with a fast path for a
// plain dict.  `dflt` may be NULL to mean None.
Ref record_get(PyObject *record, PyObject *key, PyObject *dflt);

// The instance's stored attributes.
inline Ref usd_path(PyObject *self) { return attr(self, N.usd_path_attr); }
inline Ref vehicle(PyObject *self) { return attr(self, N.vehicle_attr); }

}  // namespace vp::host
