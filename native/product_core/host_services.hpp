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

#include <initializer_list>

namespace vp::host {

// The module-level name `name` in `globals` (a new reference, so the caller
// may call it even if the call rebinds the name); NameError when unbound.
Ref global(PyObject *globals, PyObject *name);

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

// The concatenation of str pieces, built in one allocation.
PyObject *concat(std::initializer_list<PyObject *> pieces);

// a == b for two exact str: identity first (interned names and defaults),
// then length, then contents.
inline bool str_eq(PyObject *a, PyObject *b) {
    return a == b ||
           (PyUnicode_GET_LENGTH(a) == PyUnicode_GET_LENGTH(b) && PyUnicode_Compare(a, b) == 0);
}

// record.get(key, default) for the vehicle record, with a fast path for a
// plain dict.  `dflt` may be NULL to mean None.
Ref record_get(PyObject *record, PyObject *key, PyObject *dflt);

// The attributes members read on every call.  Each has a one-entry inline
// cache keyed by the instance's type and its version tag and by the instance
// dictionary and its version tag: the interpreter changes a type's tag when
// the type or a base changes and a dictionary's tag on every change, so a
// hit is exactly what the look-up would find.
enum class Attr : unsigned char {
    UsdPath,
    Vehicle,
    SolverBackend,
    DefaultTable,
    ValidTable,
    Count
};

// self.<attribute>: the same result as attr(self, name), read straight from
// the instance dictionary (or the class, for a plain class attribute) when
// the type has neither a custom __getattribute__/__getattr__ nor a
// descriptor of that name; anything else takes the interpreter's own path.
// A missing attribute is no error here: 1 with `out` set, 0 when it is
// missing (nothing raised), -1 on any other error.
int lookup_attr(PyObject *self, Attr which, Ref &out);
Ref cached_attr(PyObject *self, Attr which);  // AttributeError when missing

// ---- safe product writes (velmor_platform.core.layer_io, .containment) ----------

// The advisory lock of one product (layer_io.product_lock), held from a
// successful acquire() until release() or the guard's end.  On an error path
// the destructor releases it and keeps the pending exception.
class ProductLock {
public:
    ProductLock() = default;
    ProductLock(const ProductLock &) = delete;
    ProductLock &operator=(const ProductLock &) = delete;
    ~ProductLock();
    // 0 when held, -1 with an exception set (TimeoutError naming the product
    // and the lock file when another writer keeps it past the limit).
    int acquire(PyObject *globals, PyObject *usd_path);
    // 0 when released (or not held), -1 with an exception set.
    int release();

private:
    Ref exit_;  // the context manager's bound __exit__ while held
};

// containment.open_contained_layers(usd_path): every layer the product
// composes, checked to lie inside the workspace before it is opened, the
// top-level layer first.  Held while the stage opens, the stage reuses them.
Ref open_contained_layers(PyObject *globals, PyObject *usd_path);

// layer_io.save_layer(layer, usd_path): the one atomic write of a product
// layer (containment and permissions checked at the moment of writing).
Ref save_layer(PyObject *globals, PyObject *layer, PyObject *usd_path);

// The instance's stored attributes.
inline Ref usd_path(PyObject *self) { return cached_attr(self, Attr::UsdPath); }
inline Ref vehicle(PyObject *self) { return cached_attr(self, Attr::Vehicle); }

}  // namespace vp::host
