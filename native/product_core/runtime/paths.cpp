#include "paths.hpp"

#include "cpython.hpp"
#include "names.hpp"

namespace vp::paths {
namespace {

// The concrete path class and the offsets of its slots (_drv, _root, _parts,
// _str); NULL when this interpreter's pathlib does not have that layout.
PyTypeObject *g_path_type = nullptr;
PyObject *g_path_class = nullptr;  // pathlib.Path
Py_ssize_t g_drv = -1, g_root = -1, g_parts = -1, g_str = -1;

Py_ssize_t slot_offset(PyObject *type, const char *name) {
    Ref d(PyObject_GetAttrString(type, name));
    if (!d) {
        PyErr_Clear();
        return -1;
    }
    return cpython::slot_offset(d.get());
}

PyObject *slot(PyObject *o, Py_ssize_t offset) { return cpython::slot(o, offset); }

// The final component of a plain path (borrowed), or NULL to go generic.
PyObject *plain_name(const Parts &p) {
    const Py_ssize_t n = PyList_GET_SIZE(p.parts);
    if (n < p.base) return nullptr;
    if (n == p.base) return N.empty;
    PyObject *last = PyList_GET_ITEM(p.parts, n - 1);
    return PyUnicode_CheckExact(last) ? last : nullptr;
}

// Index of the last '.' of `name` when it separates a suffix, else -1.
Py_ssize_t suffix_dot(PyObject *name) {
    const Py_ssize_t len = PyUnicode_GET_LENGTH(name);
    if (len == 0) return -1;
    const Py_ssize_t i = PyUnicode_FindChar(name, '.', 0, len, -1);
    return (i > 0 && i < len - 1) ? i : -1;
}

}  // namespace

bool init() {
    if (g_path_type != nullptr) return true;
    Ref pathlib(PyImport_ImportModule("pathlib"));
    if (!pathlib) return false;
    Ref cls(PyObject_GetAttrString(pathlib.get(), "PosixPath"));
    if (!cls || !PyType_Check(cls.get())) {
        PyErr_Clear();
        return true;  // no fast route; everything stays generic
    }
    g_drv = slot_offset(cls.get(), cpython::kPathDrive);
    g_root = slot_offset(cls.get(), cpython::kPathRoot);
    g_parts = slot_offset(cls.get(), cpython::kPathParts);
    g_str = slot_offset(cls.get(), cpython::kPathString);
    if (g_drv < 0 || g_root < 0 || g_parts < 0 || g_str < 0) return true;
    Ref path_class(PyObject_GetAttrString(pathlib.get(), "Path"));
    if (!path_class) return false;
    g_path_type = reinterpret_cast<PyTypeObject *>(cls.release());
    g_path_class = path_class.release();
    return true;
}

bool is_pathlib_path(PyObject *cls) noexcept { return cls != nullptr && cls == g_path_class; }

bool parts_of(PyObject *path, Parts &out) {
    if (g_path_type == nullptr || Py_TYPE(path) != g_path_type) return false;
    PyObject *drv = slot(path, g_drv), *root = slot(path, g_root), *parts = slot(path, g_parts);
    if (drv == nullptr || root == nullptr || parts == nullptr || !PyUnicode_CheckExact(drv) ||
        !PyUnicode_CheckExact(root) || !PyList_CheckExact(parts))
        return false;
    out.parts = parts;
    out.base = (PyUnicode_GET_LENGTH(drv) > 0 || PyUnicode_GET_LENGTH(root) > 0) ? 1 : 0;
    return true;
}

bool has_plain_name(PyObject *path) {
    Parts p;
    return parts_of(path, p) && plain_name(p) != nullptr;
}

Ref name(PyObject *path) {
    Parts p;
    if (parts_of(path, p)) {
        if (PyObject *n = plain_name(p)) return Ref::borrow(n);
    }
    return Ref(PyObject_GetAttrString(path, "name"));
}

Ref stem(PyObject *path) {
    Parts p;
    PyObject *n;
    if (parts_of(path, p) && (n = plain_name(p)) != nullptr) {
        const Py_ssize_t dot = suffix_dot(n);
        return dot < 0 ? Ref::borrow(n) : Ref(PyUnicode_Substring(n, 0, dot));
    }
    return Ref(PyObject_GetAttrString(path, "stem"));
}

Ref suffix(PyObject *path) {
    Parts p;
    PyObject *n;
    if (parts_of(path, p) && (n = plain_name(p)) != nullptr) {
        const Py_ssize_t dot = suffix_dot(n);
        return dot < 0 ? Ref::borrow(N.empty)
                       : Ref(PyUnicode_Substring(n, dot, PyUnicode_GET_LENGTH(n)));
    }
    return Ref(PyObject_GetAttrString(path, "suffix"));
}

Ref parent(PyObject *path) {
    Parts p;
    if (!parts_of(path, p)) return Ref(PyObject_GetAttrString(path, "parent"));
    const Py_ssize_t n = PyList_GET_SIZE(p.parts);
    if (n == 1 && p.base) return Ref::borrow(path);
    // What pathlib's _from_parsed_parts builds: a new object of the same
    // class holding the same drive and root and all parts but the last.
    Ref parts(PyList_GetSlice(p.parts, 0, n > 0 ? n - 1 : 0));
    if (!parts) return Ref();
    Ref out(g_path_type->tp_alloc(g_path_type, 0));
    if (!out) return Ref();
    cpython::slot(out.get(), g_drv) = Py_NewRef(slot(path, g_drv));
    cpython::slot(out.get(), g_root) = Py_NewRef(slot(path, g_root));
    cpython::slot(out.get(), g_parts) = parts.release();
    return out;
}

namespace {

// The suffix of a final component as pathlib defines it.
Ref suffix_of_name(PyObject *name) {
    const Py_ssize_t dot = suffix_dot(name);
    return dot < 0 ? Ref::borrow(N.empty)
                   : Ref(PyUnicode_Substring(name, dot, PyUnicode_GET_LENGTH(name)));
}

// True when `text` is already in pathlib's string form: not empty, no empty
// or "." component anywhere, no trailing separator.
bool already_formed(PyObject *text) {
    const Py_ssize_t len = PyUnicode_GET_LENGTH(text);
    if (len == 0) return false;
    const int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    Py_UCS4 prev = '/';  // a component starts at index 0
    for (Py_ssize_t i = 0; i < len; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c == '/') {
            if (i > 0 && prev == '/') return false;  // empty component
            if (prev == '.' && (i == 1 || PyUnicode_READ(kind, data, i - 2) == '/'))
                return false;  // "." component
        }
        prev = c;
    }
    if (prev == '/') return len == 1;  // trailing separator ("/" itself is formed)
    if (prev == '.' && (len == 1 || PyUnicode_READ(kind, data, len - 2) == '/')) return false;
    return true;
}

}  // namespace

bool posix_form(PyObject *text, Ref &form, Ref &suffix) {
    if (g_path_type == nullptr || !PyUnicode_CheckExact(text)) return false;
    const Py_ssize_t len = PyUnicode_GET_LENGTH(text);
    if (already_formed(text)) {
        // The final component follows the last separator.
        const Py_ssize_t slash = PyUnicode_FindChar(text, '/', 0, len, -1);
        if (slash == -2) return PyErr_Clear(), false;
        Ref name = slash < 0 ? Ref::borrow(text) : Ref(PyUnicode_Substring(text, slash + 1, len));
        if (!name) return PyErr_Clear(), false;
        Ref sfx = suffix_of_name(name.get());
        if (!sfx) return PyErr_Clear(), false;
        form = Ref::borrow(text);
        suffix = std::move(sfx);
        return true;
    }
    // Root: exactly two leading separators are kept as "//", one or three
    // or more give "/".
    Py_ssize_t lead = 0;
    while (lead < len && PyUnicode_READ_CHAR(text, lead) == '/') ++lead;
    PyObject *root = lead == 0 ? N.empty : lead == 2 ? N.double_slash : N.slash;
    Ref pieces(PyUnicode_Split(text, N.slash, -1));
    if (!pieces) return PyErr_Clear(), false;
    Ref kept(PyList_New(0));
    if (!kept) return PyErr_Clear(), false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pieces.get()); ++i) {
        PyObject *piece = PyList_GET_ITEM(pieces.get(), i);
        if (PyUnicode_GET_LENGTH(piece) == 0 || PyUnicode_Compare(piece, N.dot) == 0) continue;
        if (PyList_Append(kept.get(), piece) < 0) return PyErr_Clear(), false;
    }
    const Py_ssize_t n = PyList_GET_SIZE(kept.get());
    Ref joined(PyUnicode_Join(N.slash, kept.get()));
    if (!joined) return PyErr_Clear(), false;
    Ref out(PyUnicode_Concat(root, joined.get()));
    if (!out) return PyErr_Clear(), false;
    if (PyUnicode_GET_LENGTH(out.get()) == 0) out = Ref::borrow(N.dot);
    Ref sfx = n > 0 ? suffix_of_name(PyList_GET_ITEM(kept.get(), n - 1)) : Ref::borrow(N.empty);
    if (!sfx) return PyErr_Clear(), false;
    form = std::move(out);
    suffix = std::move(sfx);
    return true;
}

Ref str(PyObject *path) {
    if (PyUnicode_CheckExact(path)) return Ref::borrow(path);
    if (g_path_type != nullptr && Py_TYPE(path) == g_path_type) {
        if (PyObject *cached = slot(path, g_str); cached != nullptr && PyUnicode_CheckExact(cached))
            return Ref::borrow(cached);
    }
    return Ref(PyObject_Str(path));
}

}  // namespace vp::paths
