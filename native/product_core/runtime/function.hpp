// Native function objects, their parameter tables and the one argument binder.
//
// A member of ProductCore is a `Signature` (its parameter table, declared
// types and body) wrapped in a NativeFunction: a callable that Python treats
// like a plain function (vectorcall, binding as a descriptor, __code__ for
// inspect.signature, __defaults__, __annotations__, ...).  The binder turns a
// vectorcall into a fixed array of checked values before the body runs, so no
// body parses arguments or formats an argument error itself.
#pragma once

#include "ref.hpp"
#include "tag_cache.hpp"

#include <array>
#include <span>

namespace vp {

// Boundary check applied to one argument after binding.
enum class Check : unsigned char {
    Any,         // no declared type, or Path / str | Path: passed unchanged
    Str,         // exactly str
    Dict,        // exactly dict
    DictOrNone,  // exactly dict, or None
    Float,       // converted to a new float object
    Bool,        // reduced to True/False by its truth value
};

// Check applied to a result that a body passes on from elsewhere.
enum class ResultCheck : unsigned char { None, Str, Dict, List };

enum class Default : unsigned char { Required, None, False };

// One parameter, written with designated initialisers; only the name is
// required: {.name = "domain", .type = "str", .check = Check::Str}.
struct Param {
    const char *name;
    const char *type = nullptr;  // declared type as shown in __annotations__
    Check check = Check::Any;
    Default def = Default::Required;
    const char *str_default = nullptr;  // a str default (set instead of `def`)
    bool kwonly = false;
};

struct NativeFunction;

// Bound arguments handed to a body: v[i] is the value of params[i] (borrowed
// for the duration of the call); when the signature collects **kwargs, the
// slot after the last parameter holds a dict of the extra keywords, in call
// order.
struct Args {
    NativeFunction *fn;
    PyObject *const *v;
    PyObject *operator[](Py_ssize_t i) const noexcept { return v[i]; }
};

// A body: the result (new reference), or NULL with an exception set.  Bodies
// only call the C API and never throw.
using Impl = PyObject *(*)(const Args &) noexcept;

// A member, written with designated initialisers:
// {.name = "load", .params = load_params, .impl = load_impl, .returns = "'Self'"}.
struct Signature {
    const char *name;  // the plain name used in argument errors
    std::span<const Param> params;
    Impl impl = nullptr;
    const char *returns = nullptr;  // declared result type, or nullptr
    ResultCheck result = ResultCheck::None;
    const char *varkw = nullptr;  // name of the **kwargs parameter, or nullptr
    bool no_arguments = false;    // takes no arguments at all ("takes no arguments")
    bool coroutine = false;       // calling it returns a coroutine (sets CO_COROUTINE)
};

inline constexpr Py_ssize_t kMaxSlots = 8;

struct NativeFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const Signature *sig;
    PyObject *name;         // __name__
    PyObject *qualname;     // __qualname__
    PyObject *module;       // __module__
    PyObject *doc;          // __doc__
    PyObject *dict;         // __dict__
    PyObject *globals;      // __globals__: the defining module's namespace
    PyObject *code;         // __code__ (lazily built)
    PyObject *defaults;     // __defaults__ (tuple or NULL)
    PyObject *kwdefaults;   // __kwdefaults__ (dict or NULL)
    PyObject *annotations;  // __annotations__ (dict or NULL)
    PyObject *data;         // private captured value (closures), or NULL
    PyObject *varnames;     // tuple of the interned parameter names
    Py_ssize_t npos;        // positional-or-keyword parameters
    bool checked;           // some parameter has a boundary check
    // How a call with positional arguments only may skip the general binder:
    // Direct when every parameter is positional and unchecked (the caller's
    // array is the bound array), Positional when the checks are plain type
    // tests (missing trailing arguments come from __defaults__), NoArguments
    // for a function that takes none, else Bind.
    unsigned char mode;
    // The keyword-only defaults by parameter index (borrowed from
    // __kwdefaults__, NULL where there is none), keyed by that dict.
    TagCache<std::array<PyObject *, kMaxSlots>> kwdefaults_cache;
    PyObject *weakreflist;
};

// Creates the function type; called once from module execution.
bool init_function_type();
PyTypeObject *function_type() noexcept;

// A new function object for `sig`.  `qualname` defaults to the plain name.
PyObject *make_function(const Signature &sig, const char *qualname, PyObject *module_name,
                        const char *doc, PyObject *globals, PyObject *data = nullptr);

// ---- boundary checks, shared by the binder and by bodies -----------------

// TypeError "Argument '<param>' has incorrect type (expected <t>, got <u>)",
// plus a sentence for instances of subclasses of the expected type.
[[gnu::cold]] void raise_arg_type(const char *param, PyTypeObject *expected, PyObject *got);

// TypeError "Expected <t>, got <u>".
[[gnu::cold]] void raise_expected(const char *expected, PyObject *got);

// Passes `result` through when it is exactly of the declared type or None;
// otherwise releases it and raises.  Steals `result` (NULL passes through).
PyObject *check_result(PyObject *result, ResultCheck kind);

}  // namespace vp
