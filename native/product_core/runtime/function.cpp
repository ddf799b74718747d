// The native function type and the argument binder.
#include "function.hpp"

#include <structmember.h>

#include <cstddef>
#include <new>

namespace vp {
namespace {

PyTypeObject *g_function_type = nullptr;  // created once, lives with the process

// ---- parameter-table helpers ---------------------------------------------

constexpr bool has_default(const Param &p) noexcept {
    return p.def != Default::Required || p.str_default != nullptr;
}

Py_ssize_t positional_count(const Signature &s) noexcept {
    Py_ssize_t n = 0;
    for (const Param &p : s.params) n += p.kwonly ? 0 : 1;
    return n;
}

Py_ssize_t required_positional_count(const Signature &s) noexcept {
    Py_ssize_t n = 0;
    for (const Param &p : s.params)
        if (!p.kwonly && !has_default(p)) ++n;
    return n;
}

PyObject *default_value(const Param &p) {
    if (p.str_default != nullptr) return PyUnicode_InternFromString(p.str_default);
    switch (p.def) {
        case Default::None: return Py_NewRef(Py_None);
        case Default::False: return Py_NewRef(Py_False);
        case Default::Required: break;
    }
    PyErr_SetString(PyExc_SystemError, "parameter has no default");
    return nullptr;
}

// ---- argument errors (cold) -----------------------------------------------

[[gnu::cold, gnu::noinline]] void raise_count(const Signature &s, Py_ssize_t given) {
    Py_ssize_t lo = required_positional_count(s), hi = positional_count(s);
    const char *more_or_less;
    Py_ssize_t expected;
    if (given < lo) {
        expected = lo;
        more_or_less = "at least";
    } else {
        expected = hi;
        more_or_less = "at most";
    }
    if (lo == hi) more_or_less = "exactly";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 s.name, more_or_less, expected, expected == 1 ? "" : "s", given);
}

[[gnu::cold, gnu::noinline]] bool raise_keyword(const char *fmt, const Signature &s,
                                                PyObject *key) {
    PyErr_Format(PyExc_TypeError, fmt, s.name, key);
    return false;
}

[[gnu::cold, gnu::noinline]] bool raise_keywords_not_str(const Signature &s) {
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", s.name);
    return false;
}

[[gnu::cold, gnu::noinline]] bool raise_no_arguments(const Signature &s, Py_ssize_t nargs) {
    if (nargs != 0)
        PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", s.name, "takes no arguments",
                     nargs);
    else
        PyErr_Format(PyExc_TypeError, "%.200s() %s", s.name, "takes no keyword arguments");
    return false;
}

// ---- binding ----------------------------------------------------------------

// The bound argument array, and the references the binder took for the
// call (defaults, converted values, the **kwargs dict).
struct Bound {
    PyObject *v[kMaxSlots];
    PyObject *held[2 * kMaxSlots];  // a default may also be converted
    int nheld = 0;
    Bound() = default;
    Bound(const Bound &) = delete;
    Bound &operator=(const Bound &) = delete;
    ~Bound() {
        for (int i = 0; i < nheld; ++i) Py_DECREF(held[i]);
    }
    // Takes `owned` (a new reference, or NULL after a failure) for the call.
    PyObject *hold(PyObject *owned) {
        if (owned != nullptr) held[nheld++] = owned;
        return owned;
    }
};

// Brings fn->kwdefaults_cache up to date with __kwdefaults__ as it is now.
// Only a dict whose keys are all exact str is cached: looking names up in it
// runs no Python code, so the borrowed values stay valid until the caller
// holds them.  False (nothing raised) when the dict cannot be cached.
bool refresh_kwdefaults(NativeFunction *fn) {
    auto &cache = fn->kwdefaults_cache;
    PyObject *d = fn->kwdefaults;
    if (cache.dict_hit(d)) return true;
    cache.forget();
    if (d == nullptr || !PyDict_CheckExact(d)) return false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(d, &pos, &key, &value))
        if (!PyUnicode_CheckExact(key)) return false;
    const Signature &s = *fn->sig;
    for (size_t j = 0; j < s.params.size(); ++j)
        cache.value[j] =
            s.params[j].kwonly ? PyDict_GetItem(d, PyTuple_GET_ITEM(fn->varnames, j)) : nullptr;
    cache.store_dict(d, cpython::dict_tag(d));
    return true;
}

// Index of the parameter named `key` (identity first, then equality), -1 when
// there is none.
Py_ssize_t find_param(PyObject *varnames, PyObject *key) {
    const Py_ssize_t n = PyTuple_GET_SIZE(varnames);
    for (Py_ssize_t j = 0; j < n; ++j)
        if (PyTuple_GET_ITEM(varnames, j) == key) return j;
    for (Py_ssize_t j = 0; j < n; ++j)
        if (PyUnicode_Compare(PyTuple_GET_ITEM(varnames, j), key) == 0) return j;
    return -1;
}

bool apply_check(const Param &p, Bound &b, Py_ssize_t j) {
    PyObject *o = b.v[j];
    switch (p.check) {
        case Check::Any: return true;
        case Check::Str:
            if (PyUnicode_CheckExact(o)) return true;
            raise_arg_type(p.name, &PyUnicode_Type, o);
            return false;
        case Check::DictOrNone:
            if (o == Py_None) return true;
            [[fallthrough]];
        case Check::Dict:
            if (PyDict_CheckExact(o)) return true;
            raise_arg_type(p.name, &PyDict_Type, o);
            return false;
        case Check::Float: {
            double d = PyFloat_AsDouble(o);
            if (d == -1.0 && PyErr_Occurred()) return false;
            b.v[j] = b.hold(PyFloat_FromDouble(d));
            return b.v[j] != nullptr;
        }
        case Check::Bool: {
            int t = PyObject_IsTrue(o);
            if (t < 0) return false;
            b.v[j] = t ? Py_True : Py_False;
            return true;
        }
    }
    return true;
}

bool bind(NativeFunction *fn, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
          Bound &b) {
    const Signature &s = *fn->sig;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (s.no_arguments) return (nargs == 0 && nkw == 0) || raise_no_arguments(s, nargs);

    const Py_ssize_t nparams = static_cast<Py_ssize_t>(s.params.size());
    const Py_ssize_t npos = positional_count(s);
    if (nargs > npos) {
        raise_count(s, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) b.v[i] = args[i];
    for (Py_ssize_t i = nargs; i < nparams; ++i) b.v[i] = nullptr;
    if (s.varkw) {
        b.v[nparams] = b.hold(PyDict_New());
        if (!b.v[nparams]) return false;
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) return raise_keywords_not_str(s);
        const Py_ssize_t j = find_param(fn->varnames, key);
        if (j >= 0) {
            if (b.v[j] != nullptr)
                return raise_keyword("%s() got multiple values for keyword argument '%U'", s, key);
            b.v[j] = args[nargs + k];
        } else if (s.varkw) {
            if (PyDict_SetItem(b.v[nparams], key, args[nargs + k]) < 0) return false;
        } else {
            return raise_keyword("%s() got an unexpected keyword argument '%U'", s, key);
        }
    }
    // Fill what is missing from the defaults the function carries now, so a
    // reassigned __defaults__ / __kwdefaults__ behaves as for a def function.
    const Py_ssize_t ndef = fn->defaults ? PyTuple_GET_SIZE(fn->defaults) : 0;
    const Py_ssize_t first_default = npos - ndef;
    for (Py_ssize_t j = 0; j < nparams; ++j) {
        if (b.v[j] != nullptr) continue;
        if (!s.params[j].kwonly) {
            if (j < first_default) {
                raise_count(s, nargs);
                return false;
            }
            // Held for the call: the body may reassign __defaults__.
            b.v[j] = b.hold(Py_NewRef(PyTuple_GET_ITEM(fn->defaults, j - first_default)));
            continue;
        }
        PyObject *name = PyTuple_GET_ITEM(fn->varnames, j), *v;
        if (refresh_kwdefaults(fn)) {
            v = fn->kwdefaults_cache.value[j];
        } else {
            v = fn->kwdefaults ? PyDict_GetItemWithError(fn->kwdefaults, name) : nullptr;
            if (v == nullptr && PyErr_Occurred()) return false;
        }
        if (v == nullptr) return raise_keyword("%s() needs keyword-only argument %U", s, name);
        b.v[j] = b.hold(Py_NewRef(v));  // the body may change __kwdefaults__
    }
    for (Py_ssize_t j = 0; j < nparams; ++j)
        if (!apply_check(s.params[j], b, j)) return false;
    return true;
}

enum Mode : unsigned char { Bind, Direct, Positional, NoArguments };

// True when `check` only tests a type (no conversion, nothing to own).
constexpr bool is_type_test(Check check) noexcept {
    return check == Check::Any || check == Check::Str || check == Check::Dict ||
           check == Check::DictOrNone;
}

// Positional arguments only, fewer than or as many as the parameters: fills
// the missing ones from the defaults tuple `defaults` (held by the caller)
// and runs the type tests.  False with an exception set on a refusal.
bool bind_positional(NativeFunction *fn, PyObject *const *args, Py_ssize_t nargs,
                     PyObject *defaults, PyObject **v) {
    const Signature &s = *fn->sig;
    const Py_ssize_t npos = fn->npos;
    const Py_ssize_t ndef = defaults ? PyTuple_GET_SIZE(defaults) : 0;
    if (nargs < npos - ndef) {
        raise_count(s, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) v[i] = args[i];
    for (Py_ssize_t j = nargs; j < npos; ++j) v[j] = PyTuple_GET_ITEM(defaults, j - (npos - ndef));
    for (Py_ssize_t j = 0; j < npos; ++j) {
        const Param &p = s.params[j];
        PyObject *o = v[j];
        switch (p.check) {
            case Check::Str:
                if (PyUnicode_CheckExact(o)) continue;
                raise_arg_type(p.name, &PyUnicode_Type, o);
                return false;
            case Check::DictOrNone:
                if (o == Py_None) continue;
                [[fallthrough]];
            case Check::Dict:
                if (PyDict_CheckExact(o)) continue;
                raise_arg_type(p.name, &PyDict_Type, o);
                return false;
            default: continue;
        }
    }
    return true;
}

PyObject *function_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf,
                              PyObject *kwnames) noexcept {
    auto *fn = reinterpret_cast<NativeFunction *>(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    // Members call each other through the instance, so a class that wires two
    // of them into a loop must hit the recursion limit, not the C stack.
    if (Py_EnterRecursiveCall(" while calling a ProductCore member")) return nullptr;
    PyObject *result = nullptr;
    // Holding the function keeps its defaults and varnames alive if the body
    // reassigns them on itself.
    Py_INCREF(callable);
    if ((kwnames == nullptr && fn->mode == Direct && nargs == fn->npos) ||
        (fn->mode == NoArguments && nargs == 0 && kwnames == nullptr)) {
        // Every parameter given by position, nothing to check: the caller's
        // array is the bound argument array.
        result = fn->sig->impl(Args{fn, args});
    } else if (kwnames == nullptr && (fn->mode == Direct || fn->mode == Positional) &&
               nargs <= fn->npos) {
        // Held for the call: the body may reassign __defaults__.
        PyObject *defaults = Py_XNewRef(nargs < fn->npos ? fn->defaults : nullptr);
        PyObject *v[kMaxSlots];
        if (bind_positional(fn, args, nargs, defaults, v)) result = fn->sig->impl(Args{fn, v});
        Py_XDECREF(defaults);
    } else {
        Bound b;
        if (bind(fn, args, nargs, kwnames, b)) result = fn->sig->impl(Args{fn, b.v});
    }
    if (fn->sig->result != ResultCheck::None) result = check_result(result, fn->sig->result);
    Py_DECREF(callable);
    Py_LeaveRecursiveCall();
    return result;
}

// ---- the type ---------------------------------------------------------------

NativeFunction *as_fn(PyObject *o) { return reinterpret_cast<NativeFunction *>(o); }

int function_traverse(PyObject *self, visitproc visit, void *arg) {
    NativeFunction *f = as_fn(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->dict);
    Py_VISIT(f->globals);
    Py_VISIT(f->code);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->data);
    Py_VISIT(f->varnames);
    return 0;
}

int function_clear(PyObject *self) {
    NativeFunction *f = as_fn(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->code);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->data);
    Py_CLEAR(f->varnames);
    return 0;
}

void function_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_fn(self)->weakreflist != nullptr) PyObject_ClearWeakRefs(self);
    function_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject *function_repr(PyObject *self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_fn(self)->qualname, self);
}

// __code__: an empty code object carrying the parameter table, which is what
// inspect.signature() reads.
PyObject *build_code(NativeFunction *f) {
    const Signature &s = *f->sig;
    Ref empty(reinterpret_cast<PyObject *>(
        PyCode_NewEmpty("<velmor_platform.core.product_core>", s.name, 0)));
    if (!empty) return nullptr;
    Ref varnames;
    if (s.varkw) {
        Ref kw(PyUnicode_InternFromString(s.varkw));
        if (!kw) return nullptr;
        Ref one(PyTuple_Pack(1, kw.get()));
        if (!one) return nullptr;
        varnames.reset(PySequence_Concat(f->varnames, one.get()));
    } else {
        varnames = Ref::borrow(f->varnames);
    }
    if (!varnames) return nullptr;
    const Py_ssize_t npos = positional_count(s);
    const Py_ssize_t nkwonly = static_cast<Py_ssize_t>(s.params.size()) - npos;
    long flags = CO_OPTIMIZED | CO_NEWLOCALS;
    if (s.varkw) flags |= CO_VARKEYWORDS;
    if (s.coroutine) flags |= CO_COROUTINE;
    Ref replace(PyObject_GetAttrString(empty.get(), "replace"));
    if (!replace) return nullptr;
    Ref kwargs(Py_BuildValue("{s:n,s:i,s:n,s:O,s:n,s:l,s:O}", "co_argcount", npos,
                             "co_posonlyargcount", 0, "co_kwonlyargcount", nkwonly, "co_varnames",
                             varnames.get(), "co_nlocals", PyTuple_GET_SIZE(varnames.get()),
                             "co_flags", flags, "co_qualname", f->qualname));
    if (!kwargs) return nullptr;
    Ref noargs(PyTuple_New(0));
    if (!noargs) return nullptr;
    return PyObject_Call(replace.get(), noargs.get(), kwargs.get());
}

PyObject *get_code(PyObject *self, void *) {
    NativeFunction *f = as_fn(self);
    if (f->code == nullptr) {
        // Building runs Python code, so another thread may finish first.
        PyObject *built = build_code(f);
        if (built == nullptr) return nullptr;
        if (f->code == nullptr)
            f->code = built;
        else
            Py_DECREF(built);
    }
    return Py_NewRef(f->code);
}

PyObject *get_name(PyObject *self, void *) { return Py_NewRef(as_fn(self)->name); }
PyObject *get_qualname(PyObject *self, void *) { return Py_NewRef(as_fn(self)->qualname); }

int set_str_attr(PyObject **slot, PyObject *value, const char *what) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_XSETREF(*slot, Py_NewRef(value));
    return 0;
}
int set_name(PyObject *self, PyObject *v, void *) {
    return set_str_attr(&as_fn(self)->name, v, "__name__");
}
int set_qualname(PyObject *self, PyObject *v, void *) {
    return set_str_attr(&as_fn(self)->qualname, v, "__qualname__");
}

PyObject *get_optional(PyObject *o) { return Py_NewRef(o ? o : Py_None); }

PyObject *get_defaults(PyObject *self, void *) { return get_optional(as_fn(self)->defaults); }
int set_defaults(PyObject *self, PyObject *v, void *) {
    if (v == Py_None) v = nullptr;
    if (v != nullptr && !PyTuple_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XSETREF(as_fn(self)->defaults, Py_XNewRef(v));
    return 0;
}

PyObject *get_kwdefaults(PyObject *self, void *) { return get_optional(as_fn(self)->kwdefaults); }
int set_kwdefaults(PyObject *self, PyObject *v, void *) {
    if (v == Py_None) v = nullptr;
    if (v != nullptr && !PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_fn(self)->kwdefaults, Py_XNewRef(v));
    return 0;
}

PyObject *get_annotations(PyObject *self, void *) {
    NativeFunction *f = as_fn(self);
    if (f->annotations == nullptr) {
        f->annotations = PyDict_New();
        if (f->annotations == nullptr) return nullptr;
    }
    return Py_NewRef(f->annotations);
}
int set_annotations(PyObject *self, PyObject *v, void *) {
    if (v == Py_None) v = nullptr;
    if (v != nullptr && !PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_fn(self)->annotations, Py_XNewRef(v));
    return 0;
}

PyObject *get_none(PyObject *, void *) { Py_RETURN_NONE; }

[[gnu::cold, gnu::noinline]] PyObject *raise_no_objclass(PyObject *qualname) {
    PyErr_Format(PyExc_AttributeError, "%U is not defined in a class", qualname);
    return nullptr;
}

// __objclass__: the class named by __module__ and __qualname__, which is where
// inspect looks for a Python function's class (inspect._findclass); pydoc then
// shows the documentation a member without its own inherits, as it does for
// a Python class ("Initialize self. ..." under __init__).  A module-level or
// local function has no class, and no such attribute.
PyObject *get_objclass(PyObject *self, void *) {
    NativeFunction *f = as_fn(self);
    if (f->module == nullptr) return raise_no_objclass(f->qualname);
    PyObject *module = PyDict_GetItemWithError(PyImport_GetModuleDict(), f->module);  // borrowed
    if (module == nullptr) return PyErr_Occurred() ? nullptr : raise_no_objclass(f->qualname);
    Ref dot(PyUnicode_FromString("."));
    if (!dot) return nullptr;
    Ref parts(PyUnicode_Split(f->qualname, dot.get(), -1));
    if (!parts) return nullptr;
    Ref owner = Ref::borrow(module);
    const Py_ssize_t n = PyList_GET_SIZE(parts.get());
    for (Py_ssize_t i = 0; i + 1 < n; ++i) {
        owner.reset(PyObject_GetAttr(owner.get(), PyList_GET_ITEM(parts.get(), i)));
        if (!owner) return nullptr;
    }
    if (n < 2 || !PyType_Check(owner.get())) return raise_no_objclass(f->qualname);
    return owner.release();
}

PyGetSetDef function_getset[] = {
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {"__objclass__", get_objclass, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(NativeFunction, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(NativeFunction, doc), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(NativeFunction, globals), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(NativeFunction, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(NativeFunction, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(NativeFunction, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(function_clear)},
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void *>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void *>(function_repr)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "velmor_platform.core.product_core.native_function",
    sizeof(NativeFunction),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

}  // namespace

bool init_function_type() {
    if (g_function_type != nullptr) return true;
    g_function_type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&function_spec));
    return g_function_type != nullptr;
}

PyTypeObject *function_type() noexcept { return g_function_type; }

PyObject *make_function(const Signature &sig, const char *qualname, PyObject *module_name,
                        const char *doc, PyObject *globals, PyObject *data) {
    if (sig.params.size() + (sig.varkw ? 1 : 0) > static_cast<size_t>(kMaxSlots)) {
        PyErr_SetString(PyExc_SystemError, "too many parameters for a native function");
        return nullptr;
    }
    Ref self(g_function_type->tp_alloc(g_function_type, 0));
    if (!self) return nullptr;
    NativeFunction *f = as_fn(self.get());
    new (&f->kwdefaults_cache) decltype(f->kwdefaults_cache)();
    f->vectorcall = function_vectorcall;
    f->sig = &sig;
    f->name = PyUnicode_InternFromString(sig.name);
    f->qualname = PyUnicode_FromString(qualname ? qualname : sig.name);
    f->module = Py_XNewRef(module_name);
    f->doc = doc ? PyUnicode_FromString(doc) : Py_NewRef(Py_None);
    f->globals = Py_XNewRef(globals);
    f->data = Py_XNewRef(data);
    if (!f->name || !f->qualname || !f->doc) return nullptr;

    const Py_ssize_t nparams = static_cast<Py_ssize_t>(sig.params.size());
    f->npos = positional_count(sig);
    f->checked = false;
    bool type_tests_only = true;
    for (const Param &p : sig.params) {
        f->checked = f->checked || p.check != Check::Any;
        type_tests_only = type_tests_only && is_type_test(p.check);
    }
    f->mode = sig.no_arguments ? NoArguments : Bind;
    if (!sig.varkw && !sig.no_arguments && f->npos == nparams)
        f->mode = !f->checked ? Direct : type_tests_only ? Positional : Bind;
    f->varnames = PyTuple_New(nparams);
    f->annotations = PyDict_New();
    if (!f->varnames || !f->annotations) return nullptr;
    Ref defaults(PyList_New(0));
    if (!defaults) return nullptr;
    for (Py_ssize_t j = 0; j < nparams; ++j) {
        const Param &p = sig.params[j];
        PyObject *name = PyUnicode_InternFromString(p.name);
        if (!name) return nullptr;
        PyTuple_SET_ITEM(f->varnames, j, name);
        if (p.type) {
            Ref a(PyUnicode_FromString(p.type));
            if (!a || PyDict_SetItem(f->annotations, name, a.get()) < 0) return nullptr;
        }
        if (!has_default(p)) continue;
        Ref value(default_value(p));
        if (!value) return nullptr;
        if (p.kwonly) {
            if (!f->kwdefaults && !(f->kwdefaults = PyDict_New())) return nullptr;
            if (PyDict_SetItem(f->kwdefaults, name, value.get()) < 0) return nullptr;
        } else if (PyList_Append(defaults.get(), value.get()) < 0) {
            return nullptr;
        }
    }
    if (PyList_GET_SIZE(defaults.get()) > 0 && !(f->defaults = PyList_AsTuple(defaults.get())))
        return nullptr;
    if (sig.returns) {
        Ref a(PyUnicode_FromString(sig.returns));
        if (!a || PyDict_SetItemString(f->annotations, "return", a.get()) < 0) return nullptr;
    }
    return self.release();
}

void raise_arg_type(const char *param, PyTypeObject *expected, PyObject *got) {
    if (PyObject_TypeCheck(got, expected))
        PyErr_Format(PyExc_TypeError,
                     "Argument '%.200s' has incorrect type (expected %.200s, got %.200s). "
                     "Subclasses of built-in types are not accepted.",
                     param, expected->tp_name, Py_TYPE(got)->tp_name);
    else
        PyErr_Format(PyExc_TypeError,
                     "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
                     expected->tp_name, Py_TYPE(got)->tp_name);
}

void raise_expected(const char *expected, PyObject *got) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected, Py_TYPE(got)->tp_name);
}

PyObject *check_result(PyObject *result, ResultCheck kind) {
    if (result == nullptr || result == Py_None) return result;
    PyTypeObject *tp = Py_TYPE(result);
    const char *expected = nullptr;
    switch (kind) {
        case ResultCheck::None: return result;
        case ResultCheck::Str:
            if (tp == &PyUnicode_Type) return result;
            expected = "str";
            break;
        case ResultCheck::Dict:
            if (tp == &PyDict_Type) return result;
            expected = "dict";
            break;
        case ResultCheck::List:
            if (tp == &PyList_Type) return result;
            expected = "list";
            break;
    }
    raise_expected(expected, result);
    Py_DECREF(result);
    return nullptr;
}

}  // namespace vp
