#include "host_services.hpp"

#include "runtime/paths.hpp"
#include "runtime/tag_cache.hpp"

#include <cstdint>
#include <iterator>

namespace vp::host {

namespace {

// Module-level names looked up on every call, each with a one-entry cache
// keyed by the namespace (the value is borrowed: the dict holds it while its
// tag matches, so a replaced name is seen at once).
struct GlobalCache {
    PyObject *name = nullptr;  // interned
    TagCache<PyObject *> entry;
};
GlobalCache g_global_cache[8];  // module state, accessed with the GIL held

[[gnu::cold, gnu::noinline]] void raise_not_defined(PyObject *name) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
}

}  // namespace

Ref global(PyObject *globals, PyObject *name) {
    GlobalCache *slot = nullptr;
    for (GlobalCache &c : g_global_cache) {
        if (c.name == name) {
            if (PyDict_CheckExact(globals) && c.entry.dict_hit(globals))
                return Ref::borrow(c.entry.value);
            slot = &c;
            break;
        }
        if (c.name == nullptr && slot == nullptr) slot = &c;
    }
    const uint64_t tag = PyDict_Check(globals) ? cpython::dict_tag(globals) : 0;
    PyObject *v = PyDict_GetItemWithError(globals, name);
    if (v == nullptr) {
        if (!PyErr_Occurred()) raise_not_defined(name);
        return Ref();
    }
    if (slot != nullptr && PyDict_CheckExact(globals)) {
        slot->name = name;
        slot->entry.store(nullptr, 0, globals, tag, v);
    }
    return Ref::borrow(v);
}

namespace {

[[gnu::cold, gnu::noinline]] Ref cannot_import(PyObject *name) {
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    return Ref();
}

// sys.modules["<package.__name__>.<name>"], or NULL (no error) when there is
// none or the package has no str name.
Ref submodule_in_sys_modules(PyObject *package, PyObject *name) {
    Ref package_name(PyObject_GetAttrString(package, "__name__"));
    if (!package_name || !PyUnicode_Check(package_name.get())) {
        PyErr_Clear();
        return Ref();
    }
    Ref full_name(PyUnicode_FromFormat("%U.%U", package_name.get(), name));
    if (!full_name) return Ref();
    return Ref(PyImport_GetModule(full_name.get()));
}

}  // namespace

Ref import_from(PyObject *globals, const char *module, int level, const char *name) {
    Ref mod_name(PyUnicode_FromString(module));
    Ref attr_name(PyUnicode_InternFromString(name));
    if (!mod_name || !attr_name) return Ref();
    Ref fromlist(PyTuple_Pack(1, attr_name.get()));
    if (!fromlist) return Ref();
    Ref mod(
        PyImport_ImportModuleLevelObject(mod_name.get(), globals, nullptr, fromlist.get(), level));
    if (!mod) return Ref();
    Ref value(PyObject_GetAttr(mod.get(), attr_name.get()));
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
    PyErr_Clear();
    // As the interpreter's own `from package import name`: a submodule that
    // sys.modules holds under "<package>.<name>" is used even when the
    // package object lacks the attribute (a package removed and imported
    // again, a circular import).
    Ref submodule = submodule_in_sys_modules(mod.get(), attr_name.get());
    if (submodule || PyErr_Occurred()) return submodule;
    return cannot_import(attr_name.get());
}

Ref call0(PyObject *callable) { return Ref(PyObject_CallNoArgs(callable)); }

Ref call1(PyObject *callable, PyObject *a) { return Ref(PyObject_CallOneArg(callable, a)); }

Ref call2(PyObject *callable, PyObject *a, PyObject *b) {
    PyObject *args[] = {a, b};
    return Ref(PyObject_Vectorcall(callable, args, 2, nullptr));
}

Ref call3(PyObject *callable, PyObject *a, PyObject *b, PyObject *c) {
    PyObject *args[] = {a, b, c};
    return Ref(PyObject_Vectorcall(callable, args, 3, nullptr));
}

Ref method0(PyObject *self, PyObject *name) { return Ref(PyObject_CallMethodNoArgs(self, name)); }

Ref method1(PyObject *self, PyObject *name, PyObject *a) {
    return Ref(PyObject_CallMethodOneArg(self, name, a));
}

Ref attr(PyObject *o, PyObject *name) { return Ref(PyObject_GetAttr(o, name)); }

namespace {

// Module state: the module lives in one interpreter, and every access holds
// the GIL.  The value is borrowed: the instance dict or the class holds it
// while both tags match.
TagCache<PyObject *> g_attr_cache[static_cast<int>(Attr::Count)];

constexpr PyObject *Names::*attr_names[] = {
    &Names::usd_path_attr, &Names::vehicle_attr, &Names::solver_backend_attr,
    &Names::default_solver_table, &Names::valid_backends_table};
static_assert(std::size(attr_names) == static_cast<size_t>(Attr::Count));

int lookup(PyObject *self, PyObject *name, Ref &out, TagCache<PyObject *> &cache) {
    PyTypeObject *tp = Py_TYPE(self);
    if (tp->tp_getattro == PyObject_GenericGetAttr) {
        Ref descr = Ref::borrow(cpython::type_lookup(tp, name));
        // Taken before any code can run: the dict look-up below may.
        const bool type_tagged = cpython::type_tag_valid(tp);
        const unsigned int type_tag = cpython::type_tag(tp);
        if (!descr || Py_TYPE(descr.get())->tp_descr_get == nullptr) {
            // The instance dictionary comes before a plain class attribute.
            PyObject **dictptr = cpython::instance_dict_ptr(self);
            if (dictptr != nullptr && *dictptr != nullptr) {
                Ref dict = Ref::borrow(*dictptr);
                const uint64_t tag = cpython::dict_tag(dict.get());  // before any code can run
                PyObject *v = PyDict_GetItemWithError(dict.get(), name);
                if (v == nullptr && PyErr_Occurred()) return -1;
                if (v == nullptr) v = descr.get();
                if (v != nullptr) {
                    if (type_tagged && cpython::type_tag_is(tp, type_tag))
                        cache.store(tp, type_tag, dict.get(), tag, v);
                    out = Ref::borrow(v);
                    return 1;
                }
            } else if (descr) {
                out = std::move(descr);
                return 1;
            }
        }
    }
    PyObject *v = nullptr;
    int found = cpython::lookup_attr(self, name, &v);
    out.reset(v);
    return found;
}

}  // namespace

int lookup_attr(PyObject *self, Attr which, Ref &out) {
    TagCache<PyObject *> &c = g_attr_cache[static_cast<int>(which)];
    PyTypeObject *tp = Py_TYPE(self);
    if (c.type_hit(tp) && tp->tp_getattro == PyObject_GenericGetAttr) {
        PyObject **dictptr = cpython::instance_dict_ptr(self);
        if (dictptr != nullptr && c.dict_hit(*dictptr)) {
            out = Ref::borrow(c.value);
            return 1;
        }
    }
    return lookup(self, N.*attr_names[static_cast<int>(which)], out, c);
}

Ref cached_attr(PyObject *self, Attr which) {
    Ref out;
    int found = lookup_attr(self, which, out);
    if (found == 0) return attr(self, N.*attr_names[static_cast<int>(which)]);  // raises
    return out;
}

PyObject *concat(std::initializer_list<PyObject *> pieces) {
    Py_ssize_t length = 0;
    Py_UCS4 maxchar = 127;
    for (PyObject *piece : pieces) {
        length += PyUnicode_GET_LENGTH(piece);
        const Py_UCS4 m = PyUnicode_MAX_CHAR_VALUE(piece);
        if (m > maxchar) maxchar = m;
    }
    Ref out(PyUnicode_New(length, maxchar));
    if (!out) return nullptr;
    Py_ssize_t at = 0;
    for (PyObject *piece : pieces) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(piece);
        if (PyUnicode_CopyCharacters(out.get(), at, piece, 0, n) < 0) return nullptr;
        at += n;
    }
    return out.release();
}

Ref str(PyObject *o) { return paths::str(o); }

ProductLock::~ProductLock() {
    if (!exit_) return;
    KeepError pending;
    if (release() < 0) PyErr_Clear();
}

int ProductLock::acquire(PyObject *globals, PyObject *usd_path) {
    Ref product_lock = import_from(globals, "layer_io", 1, "product_lock");
    if (!product_lock) return -1;
    Ref manager = call1(product_lock.get(), usd_path);
    if (!manager) return -1;
    Ref exit(PyObject_GetAttrString(manager.get(), "__exit__"));
    if (!exit) return -1;
    Ref entered(PyObject_CallMethod(manager.get(), "__enter__", nullptr));
    if (!entered) return -1;
    exit_ = std::move(exit);
    return 0;
}

int ProductLock::release() {
    if (!exit_) return 0;
    Ref exit = std::move(exit_);
    Ref done(PyObject_CallFunctionObjArgs(exit.get(), Py_None, Py_None, Py_None, nullptr));
    return done ? 0 : -1;
}

Ref open_contained_layers(PyObject *globals, PyObject *usd_path) {
    Ref open = import_from(globals, "containment", 1, "open_contained_layers");
    if (!open) return Ref();
    return call1(open.get(), usd_path);
}

Ref save_layer(PyObject *globals, PyObject *layer, PyObject *usd_path) {
    Ref save = import_from(globals, "layer_io", 1, "save_layer");
    if (!save) return Ref();
    return call2(save.get(), layer, usd_path);
}

Ref record_get(PyObject *record, PyObject *key, PyObject *dflt) {
    if (dflt == nullptr) dflt = Py_None;
    if (PyDict_CheckExact(record)) {
        PyObject *v = PyDict_GetItemWithError(record, key);
        if (v != nullptr) return Ref::borrow(v);
        if (PyErr_Occurred()) return Ref();
        return Ref::borrow(dflt);
    }
    PyObject *args[] = {record, key, dflt};
    return Ref(PyObject_VectorcallMethod(N.get, args, 3, nullptr));
}

}  // namespace vp::host
