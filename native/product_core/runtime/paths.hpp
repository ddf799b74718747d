// Path attributes without pathlib round trips.
//
// For an object whose type is exactly the platform's concrete pathlib class
// (PosixPath), name, stem, suffix, parent and str() are computed from the
// object's own parsed parts, exactly as pathlib computes them, without going
// through Python-level properties.  Anything else (a subclass, a plain str, a
// duck-typed object) goes through normal attribute lookup.
#pragma once

#include "ref.hpp"

namespace vp::paths {

// Looks up the concrete path class and its slots; without them every helper
// takes the generic route.  Called once from module execution.
bool init();

// The parsed parts of a plain path (borrowed from the path object).
struct Parts {
    PyObject *parts = nullptr;  // list of str
    Py_ssize_t base = 0;        // 1 when the path has a drive or root, else 0
};

// True (and `out` filled) when `path` is a plain path with parsed parts.
bool parts_of(PyObject *path, Parts &out);

// True when `path` is a plain path whose name, stem and suffix are pure
// string operations on its parts (nothing can fail or run Python code).
bool has_plain_name(PyObject *path);

Ref name(PyObject *path);
Ref stem(PyObject *path);
Ref suffix(PyObject *path);
Ref parent(PyObject *path);
Ref str(PyObject *path);  // str(path); a str is returned unchanged

// For an exact str `text`: the string form and the suffix of Path(text) on
// this (POSIX) platform, computed as pathlib parses it: empty and "."
// components dropped, separators collapsed, a leading "//" kept, "." for an
// empty path.  False (nothing set, no error) when pathlib's parsing is not
// known here, so the caller must build the path object.
bool posix_form(PyObject *text, Ref &form, Ref &suffix);

// True when `cls` is pathlib.Path itself (and its instances are plain paths).
bool is_pathlib_path(PyObject *cls) noexcept;

}  // namespace vp::paths
