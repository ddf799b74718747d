// The interpreter and standard-library internals the module relies on, all
// behind this one header.
//
// The fast paths read things CPython does not promise to keep: the version
// tags of dicts and types, a few private look-up helpers, and the slot layout
// of pathlib's concrete path class.  They are right for CPython 3.11, the
// only version the package supports and is tested on; anything that needs
// them includes this header, so a build against other headers stops here
// with a clear message instead of at a deprecation or a changed layout.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030B0000 || PY_VERSION_HEX >= 0x030C0000
// The internals below are CPython 3.11's: dict and type version tags, private
// look-up helpers, pathlib's slot layout.
#error "velmor_platform's product core is for CPython 3.11 only: build it with 3.11 headers"
#endif

#include <descrobject.h>
#include <structmember.h>

#include <cstdint>

namespace vp::cpython {

// ---- version tags -----------------------------------------------------------
//
// A dict gets a new, never reused tag on every change to it; a type gets a
// new one when it or a base changes, and only while the flag says it is
// valid.  The one-entry caches (runtime/tag_cache.hpp) compare them.

inline uint64_t dict_tag(PyObject *dict) noexcept {
    return reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
}

inline bool type_tag_valid(PyTypeObject *tp) noexcept {
    return (tp->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) != 0;
}

inline unsigned int type_tag(PyTypeObject *tp) noexcept { return tp->tp_version_tag; }

// True when `tp` still carries the valid tag `tag`.
inline bool type_tag_is(PyTypeObject *tp, unsigned int tag) noexcept {
    return type_tag_valid(tp) && tp->tp_version_tag == tag;
}

// ---- private helpers ----------------------------------------------------------

// The attribute `name` found on the type's MRO (borrowed), no error raised.
inline PyObject *type_lookup(PyTypeObject *tp, PyObject *name) noexcept {
    return _PyType_Lookup(tp, name);
}

// Where the instance keeps its __dict__ (NULL when it has none).
inline PyObject **instance_dict_ptr(PyObject *o) noexcept { return _PyObject_GetDictPtr(o); }

// getattr without an AttributeError: 1 found, 0 missing, -1 error.
inline int lookup_attr(PyObject *o, PyObject *name, PyObject **out) noexcept {
    return _PyObject_LookupAttr(o, name, out);
}

// A new dict sized for `n` entries.
inline PyObject *new_dict(Py_ssize_t n) noexcept { return _PyDict_NewPresized(n); }

// The value of the pending StopIteration (cleared), as generators read it.
inline int fetch_stop_iteration_value(PyObject **value) noexcept {
    return _PyGen_FetchStopIterationValue(value);
}

// Adds an entry "File <file>, line <line>, in <function>" to the pending
// exception's traceback, as a Python frame would.
inline void add_traceback(const char *function, const char *file, int line) noexcept {
    _PyTraceback_Add(function, file, line);
}

// ---- pathlib's concrete path class ----------------------------------------------
//
// PosixPath keeps its parsed form in slots: _drv and _root (str), _parts
// (list of str) and _str (the cached string form, unset until first asked).

inline constexpr const char *kPathDrive = "_drv";
inline constexpr const char *kPathRoot = "_root";
inline constexpr const char *kPathParts = "_parts";
inline constexpr const char *kPathString = "_str";

// The offset of the object slot that `descr` (a class attribute) describes,
// or -1 when it is no such slot.
inline Py_ssize_t slot_offset(PyObject *descr) noexcept {
    if (!Py_IS_TYPE(descr, &PyMemberDescr_Type)) return -1;
    PyMemberDef *m = reinterpret_cast<PyMemberDescrObject *>(descr)->d_member;
    return m->type == T_OBJECT_EX ? m->offset : -1;
}

// The object slot at `offset` of `o` (NULL while unset).
inline PyObject *&slot(PyObject *o, Py_ssize_t offset) noexcept {
    return *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(o) + offset);
}

}  // namespace vp::cpython
