// Domains and backends, solver discovery, the capability report and the
// OpenFOAM template query.
#include "host_services.hpp"
#include "members.hpp"
#include "runtime/coroutine.hpp"
#include "runtime/paths.hpp"

namespace vp::members {
namespace {

using host::attr;

using host::str_eq;

// self.<table>.get(key, dflt)
Ref table_get(PyObject *self, host::Attr table_name, PyObject *key, PyObject *dflt) {
    Ref table = host::cached_attr(self, table_name);
    if (!table) return Ref();
    return host::record_get(table.get(), key, dflt);
}

// self._normalise_domain(domain), through the instance.
Ref normalised(PyObject *self, PyObject *domain) {
    int own = reads_own_method(self, Own::NormaliseDomain, N.normalise_domain);
    if (own < 0) return Ref();
    if (own) return Ref(normalise_domain_value(domain));
    return host::method1(self, N.normalise_domain, domain);
}

// ---- _normalise_domain(domain) ---------------------------------------------------

PyObject *normalise_domain_impl(const Args &a) noexcept { return normalise_domain_value(a[0]); }

constexpr Param normalise_domain_params[] = {
    {.name = "domain", .type = "str", .check = Check::Str},
};

// ---- set_solver(domain="aerodynamics", backend="openfoam") --------------------------

[[gnu::cold, gnu::noinline]] PyObject *raise_unknown_backend(PyObject *backend, PyObject *domain,
                                                             PyObject *valid) {
    Ref options(PySequence_List(valid));
    if (!options || PyList_Sort(options.get()) < 0) return nullptr;
    PyErr_Format(PyExc_ValueError, "Unknown backend %R for domain %R. Options: %S", backend, domain,
                 options.get());
    return nullptr;
}

PyObject *set_solver_impl(const Args &a) noexcept {
    PyObject *self = a[0], *domain = a[1], *backend = a[2];
    if (str_eq(backend, N.surrogate)) backend = N.auto_;
    Ref valid = table_get(self, host::Attr::ValidTable, domain, Py_None);
    if (!valid) return nullptr;
    if (valid.get() != Py_None) {
        int ok = PySequence_Contains(valid.get(), backend);
        if (ok < 0) return nullptr;
        if (!ok) return raise_unknown_backend(backend, domain, valid.get());
    }
    Ref backends;
    int found = host::lookup_attr(self, host::Attr::SolverBackend, backends);
    if (found < 0) return nullptr;
    if (!found) {
        backends.reset(PyDict_New());
        if (!backends || PyObject_SetAttr(self, N.solver_backend_attr, backends.get()) < 0)
            return nullptr;
    }
    Ref key = normalised(self, domain);
    if (!key || PyObject_SetItem(backends.get(), key.get(), backend) < 0) return nullptr;
    Ref reply(cpython::new_dict(4));
    if (!reply || PyDict_SetItem(reply.get(), N.status, N.selected) < 0 ||
        PyDict_SetItem(reply.get(), N.domain, domain) < 0 ||
        PyDict_SetItem(reply.get(), N.backend, backend) < 0)
        return nullptr;
    Ref product(name_of(self));
    if (!product || PyDict_SetItem(reply.get(), N.product, product.get()) < 0) return nullptr;
    return reply.release();
}

constexpr Param set_solver_params[] = {
    {.name = "self"},
    {.name = "domain", .type = "str", .check = Check::Str, .str_default = "aerodynamics"},
    {.name = "backend", .type = "str", .check = Check::Str, .str_default = "openfoam"},
};

// ---- get_solver_backend(domain="aerodynamics") ----------------------------------------

PyObject *get_solver_backend_impl(const Args &a) noexcept {
    return get_solver_backend_value(a[0], a[1]);
}
}  // namespace

PyObject *normalise_domain_value(PyObject *domain) {
    return Py_NewRef(str_eq(domain, N.aerodynamics) ? N.aero : domain);
}

PyObject *get_solver_backend_value(PyObject *self, PyObject *domain) {
    Ref backends;
    int found = host::lookup_attr(self, host::Attr::SolverBackend, backends);
    if (found < 0) return nullptr;
    if (found) {
        int truth = PyObject_IsTrue(backends.get());
        if (truth < 0) return nullptr;
        if (!truth) backends.reset();
    }
    Ref key = normalised(self, domain);
    if (!key) return nullptr;
    Ref fallback = table_get(self, host::Attr::DefaultTable, key.get(), N.openfoam);
    if (!fallback) return nullptr;
    if (!backends) return fallback.release();  // an empty map holds no choice
    return host::record_get(backends.get(), key.get(), fallback.get()).release();
}

namespace {

constexpr Param get_solver_backend_params[] = {
    {.name = "self"},
    {.name = "domain", .type = "str", .check = Check::Str, .str_default = "aerodynamics"},
};

// ---- resolve_dispatch_backend(*, domain, conditions=None, force_physics=False) ----------

PyObject *resolve_dispatch_backend_impl(const Args &a) noexcept {
    PyObject *self = a[0], *domain = a[1];
    int own = reads_own_method(self, Own::GetSolverBackend, N.get_solver_backend);
    if (own < 0) return nullptr;
    Ref choice(own ? check_result(get_solver_backend_value(self, domain), ResultCheck::Str)
                   : host::method1(self, N.get_solver_backend, domain).release());
    if (!choice) return nullptr;
    Ref domain_default = table_get(self, host::Attr::DefaultTable, domain, N.openfoam);
    if (!domain_default) return nullptr;
    int is_auto = PyObject_RichCompareBool(choice.get(), N.auto_, Py_EQ);
    if (is_auto < 0) return nullptr;
    return PyTuple_Pack(2, is_auto ? domain_default.get() : choice.get(), Py_None);
}

constexpr Param resolve_dispatch_backend_params[] = {
    {.name = "self"},
    {.name = "domain", .type = "str", .check = Check::Str, .kwonly = true},
    {.name = "conditions",
     .type = "dict | None",
     .check = Check::DictOrNone,
     .def = Default::None,
     .kwonly = true},
    {.name = "force_physics",
     .type = "bool",
     .check = Check::Bool,
     .def = Default::False,
     .kwonly = true},
};

// ---- solvers(), solver(domain) ------------------------------------------------------

PyObject *solvers_impl(const Args &a) noexcept {
    Ref list_domains = host::global(a.fn->globals, N.list_domains);
    if (!list_domains) return nullptr;
    return host::call0(list_domains.get()).release();
}

PyObject *solver_impl(const Args &a) noexcept {
    Ref get_domain = host::global(a.fn->globals, N.get_domain);
    if (!get_domain) return nullptr;
    return host::call1(get_domain.get(), a[0]).release();
}

constexpr Param solver_params[] = {
    {.name = "domain", .type = "str", .check = Check::Str},
};

// ---- capabilities() -------------------------------------------------------------------

// One capability entry for `record`, whose domain is `domain`.
PyObject *capability_entry(PyObject *globals, PyObject *record, PyObject *domain,
                           PyObject *available) {
    Ref default_solver_for = host::global(globals, N.default_solver_for);
    if (!default_solver_for) return nullptr;
    Ref dflt = host::call1(default_solver_for.get(), domain);
    if (!dflt) return nullptr;
    int has_default = PyObject_IsTrue(dflt.get());
    if (has_default < 0) return nullptr;
    Ref entry(cpython::new_dict(6));
    if (!entry || PyDict_SetItem(entry.get(), N.available, available) < 0) return nullptr;
    Ref solver_name =
        has_default ? Ref(PyObject_GetItem(dflt.get(), N.name)) : Ref::borrow(Py_None);
    if (!solver_name || PyDict_SetItem(entry.get(), N.solver, solver_name.get()) < 0)
        return nullptr;
    Ref version =
        has_default ? host::record_get(dflt.get(), N.version, Py_None) : Ref::borrow(Py_None);
    if (!version || PyDict_SetItem(entry.get(), N.version, version.get()) < 0) return nullptr;
    if (PyDict_SetItem(entry.get(), N.surrogate, Py_False) < 0) return nullptr;
    Ref status(PyObject_GetItem(record, N.status));
    if (!status || PyDict_SetItem(entry.get(), N.status, status.get()) < 0) return nullptr;
    Ref solvers = host::record_get(record, N.solvers, Py_None);
    if (!solvers) return nullptr;
    int any = PyObject_IsTrue(solvers.get());
    if (any < 0) return nullptr;
    Py_ssize_t count = any ? PyObject_Length(solvers.get()) : 0;
    if (count < 0) return nullptr;
    Ref count_obj(PyLong_FromSsize_t(count));
    if (!count_obj || PyDict_SetItem(entry.get(), N.solver_count, count_obj.get()) < 0)
        return nullptr;
    return entry.release();
}

PyObject *capabilities_impl(const Args &a) noexcept {
    PyObject *self = a[0], *globals = a.fn->globals;
    Ref usd_path = host::usd_path(self);
    if (!usd_path) return nullptr;
    Ref product_dir = paths::parent(usd_path.get());
    if (!product_dir) return nullptr;
    Ref product_name = paths::name(product_dir.get());
    if (!product_name) return nullptr;

    Ref query = host::global(globals, N.list_openfoam_templates);
    if (!query) return nullptr;
    Ref templates(check_result(PyObject_CallNoArgs(query.get()), ResultCheck::List));
    if (!templates) return nullptr;

    Ref list_domains = host::global(globals, N.list_domains);
    if (!list_domains) return nullptr;
    Ref records = host::call0(list_domains.get());
    if (!records) return nullptr;
    Ref it(PyObject_GetIter(records.get()));
    if (!it) return nullptr;
    Ref result(PyDict_New());
    if (!result) return nullptr;
    while (Ref record{PyIter_Next(it.get())}) {
        Ref domain(PyObject_GetItem(record.get(), N.domain));
        if (!domain) return nullptr;
        Ref available = Ref::borrow(Py_False);
        int aero = PyObject_RichCompareBool(domain.get(), N.aerodynamics, Py_EQ);
        if (aero == 0) aero = PyObject_RichCompareBool(domain.get(), N.aero, Py_EQ);
        if (aero < 0) return nullptr;
        if (aero) {
            // A query that came back None (a transport exit that swallowed an
            // error) lists no templates.
            int found = templates.get() == Py_None
                            ? 0
                            : PySequence_Contains(templates.get(), product_name.get());
            if (found < 0) return nullptr;
            available = Ref::borrow(found ? Py_True : Py_False);
        } else {
            int dyn = PyObject_RichCompareBool(domain.get(), N.dynamics, Py_EQ);
            if (dyn < 0) return nullptr;
            if (dyn) {
                available.reset(reads_own(self, Own::HasDynamics, N.has_dynamics)
                                    ? PyBool_FromLong(has_dynamics_of(self))
                                    : PyObject_GetAttr(self, N.has_dynamics));
                if (!available || PyErr_Occurred()) return nullptr;
            }
        }
        Ref entry(capability_entry(globals, record.get(), domain.get(), available.get()));
        if (!entry || PyDict_SetItem(result.get(), domain.get(), entry.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return result.release();
}

// ---- _list_openfoam_templates() ------------------------------------------------------
//
// The inner coroutine `_call`, as a state machine over its awaits:
//   cm = mcp_connect("openfoam"); look up __aexit__, then __aenter__, on type(cm)
//   session = await __aenter__(cm)
//   result = await session.call_tool("list_templates", {})      \  failures here go
//   parsed = parse_tool_result(result); templates = [str(x) ...] /  through __aexit__
//   await __aexit__(cm, None, None, None); return templates
// On a failure inside the context, __aexit__(type, value, traceback) is
// awaited; a true result swallows the error and the coroutine returns None.

enum CallState { kStart = 0, kEntering, kCalling, kExitingNormally, kExitingOnError };
enum CallSlot { kConnect = 0, kParse, kContext, kExit, kTemplates, kPending };

// Builds the template list from the parsed tool result.
PyObject *template_names(PyObject *parsed) {
    if (!PyList_Check(parsed)) return PyList_New(0);
    Ref names(PyList_New(0));
    if (!names) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parsed); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(parsed, i));
        Ref text = host::str(item.get());
        if (!text || PyList_Append(names.get(), text.get()) < 0) return nullptr;
    }
    return names.release();
}

// Leaves the context because of the pending exception, which reaches the
// exit with a traceback that shows this coroutine, as a Python one would.
[[gnu::cold, gnu::noinline]] StepResult exit_on_error(NativeCoroutine *co, Ref &out) {
    add_traceback_entry(co);
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
    Ref t(type), v(value), trace(tb);
    PyObject *exit_args[] = {co->slots[kContext], t.get(), v.get() ? v.get() : Py_None,
                             trace.get() ? trace.get() : Py_None};
    out.reset(PyObject_Vectorcall(co->slots[kExit], exit_args, 4, nullptr));
    if (!out) return StepResult::Error;
    set_slot(co, kPending, v.release());
    co->state = kExitingOnError;
    return StepResult::Await;
}

StepResult call_step(NativeCoroutine *co, PyObject *value, Ref &out) noexcept {
    switch (co->state) {
        case kStart: {
            Ref cm = host::call1(co->slots[kConnect], N.openfoam);
            if (!cm) return StepResult::Error;
            PyObject *cm_type = reinterpret_cast<PyObject *>(Py_TYPE(cm.get()));
            Ref exit = attr(cm_type, N.aexit);
            if (!exit) return StepResult::Error;
            Ref enter = attr(cm_type, N.aenter);
            if (!enter) return StepResult::Error;
            out = host::call1(enter.get(), cm.get());
            if (!out) return StepResult::Error;
            set_slot(co, kContext, cm.release());
            set_slot(co, kExit, exit.release());
            co->state = kEntering;
            return StepResult::Await;
        }
        case kEntering: {
            if (value == nullptr) return StepResult::Error;  // not entered: no exit
            Ref arguments(PyDict_New());
            if (!arguments) return exit_on_error(co, out);
            PyObject *args[] = {value, N.list_templates, arguments.get()};
            out.reset(PyObject_VectorcallMethod(N.call_tool, args, 3, nullptr));
            if (!out) return exit_on_error(co, out);
            co->state = kCalling;
            return StepResult::Await;
        }
        case kCalling: {
            if (value == nullptr) return exit_on_error(co, out);
            Ref parsed = host::call1(co->slots[kParse], value);
            if (!parsed) return exit_on_error(co, out);
            Ref templates(template_names(parsed.get()));
            if (!templates) return exit_on_error(co, out);
            PyObject *exit_args[] = {co->slots[kContext], Py_None, Py_None, Py_None};
            out.reset(PyObject_Vectorcall(co->slots[kExit], exit_args, 4, nullptr));
            if (!out) return StepResult::Error;
            set_slot(co, kTemplates, templates.release());
            co->state = kExitingNormally;
            return StepResult::Await;
        }
        case kExitingNormally:
            if (value == nullptr) return StepResult::Error;
            out = Ref::borrow(co->slots[kTemplates]);
            return StepResult::Return;
        case kExitingOnError: {
            if (value == nullptr) return StepResult::Error;
            int swallow = PyObject_IsTrue(value);
            if (swallow < 0) return StepResult::Error;
            if (swallow) {
                out = Ref::borrow(Py_None);
                return StepResult::Return;
            }
            PyObject *pending = co->slots[kPending];
            PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(pending))),
                          Py_NewRef(pending), PyException_GetTraceback(pending));
            return StepResult::Error;
        }
    }
    PyErr_SetString(PyExc_SystemError, "bad coroutine state");
    return StepResult::Error;
}

PyObject *call_impl(const Args &a) noexcept {
    // The function carries (mcp_connect, parse_tool_result) as its closure.
    PyObject *closure = a.fn->data;
    Ref co(make_coroutine(call_step, a.fn->qualname));
    if (!co) return nullptr;
    auto *c = reinterpret_cast<NativeCoroutine *>(co.get());
    set_slot(c, kConnect, Py_NewRef(PyTuple_GET_ITEM(closure, 0)));
    set_slot(c, kParse, Py_NewRef(PyTuple_GET_ITEM(closure, 1)));
    return co.release();
}

constinit const Signature call_sig{.name = "_call",
                                   .params = no_params,
                                   .impl = call_impl,
                                   .returns = "list[str]",
                                   .no_arguments = true,
                                   .coroutine = true};

// Everything under the guard: returns the query's result, or NULL with the
// error set.
PyObject *query_templates(NativeFunction *fn) {
    Ref asyncio(PyImport_ImportModule("asyncio"));
    if (!asyncio) return nullptr;
    Ref connect = host::import_from(fn->globals, "mcp.mcp_transport", 2, "mcp_connect");
    if (!connect) return nullptr;
    Ref parse = host::import_from(fn->globals, "mcp.mcp_transport", 2, "parse_tool_result");
    if (!parse) return nullptr;
    Ref closure(PyTuple_Pack(2, connect.get(), parse.get()));
    if (!closure) return nullptr;
    Ref call(make_function(call_sig, "_list_openfoam_templates.<locals>._call", fn->module, nullptr,
                           fn->globals, closure.get()));
    if (!call) return nullptr;
    Ref coro = host::call0(call.get());
    if (!coro) return nullptr;
    Ref run = attr(asyncio.get(), N.run);
    if (!run) return nullptr;
    Ref result = host::call1(run.get(), coro.get());
    if (!result) {
        // asyncio.run may refuse the coroutine before starting it; close it so
        // nothing is left half-made.
        KeepError pending;
        Ref(PyObject_CallMethod(coro.get(), "close", nullptr));
    }
    return result.release();
}

PyObject *list_openfoam_templates_impl(const Args &a) noexcept {
    Ref result(query_templates(a.fn));
    if (!result) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
        PyErr_Clear();
        return PyList_New(0);
    }
    // None: the transport's exit swallowed an error; still no templates.
    if (result.get() == Py_None) return PyList_New(0);
    return result.release();
}

}  // namespace

constinit const Signature normalise_domain{.name = "_normalise_domain",
                                           .params = normalise_domain_params,
                                           .impl = normalise_domain_impl,
                                           .returns = "str",
                                           .result = ResultCheck::Str};
constinit const Signature set_solver{
    .name = "set_solver", .params = set_solver_params, .impl = set_solver_impl, .returns = "dict"};
constinit const Signature get_solver_backend{.name = "get_solver_backend",
                                             .params = get_solver_backend_params,
                                             .impl = get_solver_backend_impl,
                                             .returns = "str",
                                             .result = ResultCheck::Str};
constinit const Signature resolve_dispatch_backend{.name = "resolve_dispatch_backend",
                                                   .params = resolve_dispatch_backend_params,
                                                   .impl = resolve_dispatch_backend_impl,
                                                   .returns = "tuple[str, object | None]"};
constinit const Signature solvers{.name = "solvers",
                                  .params = no_params,
                                  .impl = solvers_impl,
                                  .returns = "list[dict]",
                                  .result = ResultCheck::List,
                                  .no_arguments = true};
constinit const Signature solver{.name = "solver",
                                 .params = solver_params,
                                 .impl = solver_impl,
                                 .returns = "Optional[dict]",
                                 .result = ResultCheck::Dict};
constinit const Signature capabilities{
    .name = "capabilities", .params = self_only, .impl = capabilities_impl, .returns = "dict"};
constinit const Signature list_openfoam_templates{.name = "_list_openfoam_templates",
                                                  .params = no_params,
                                                  .impl = list_openfoam_templates_impl,
                                                  .returns = "list[str]",
                                                  .result = ResultCheck::List,
                                                  .no_arguments = true};

PyObject *make_default_solver_table() {
    return Py_BuildValue("{s:s,s:s,s:s}", "aerodynamics", "openfoam", "aero", "openfoam",
                         "dynamics", "chrono");
}

PyObject *make_valid_backends_table() {
    // Two separate set objects for the two aerodynamics names.
    Ref table(PyDict_New());
    if (!table) return nullptr;
    const char *keys[] = {"aerodynamics", "aero", "dynamics"};
    for (const char *key : keys) {
        bool dyn = key[0] == 'd';
        Ref members(dyn ? Py_BuildValue("(ss)", "auto", "chrono")
                        : Py_BuildValue("(ssss)", "auto", "openfoam", "xlb", "domino"));
        if (!members) return nullptr;
        Ref set(PySet_New(members.get()));
        if (!set || PyDict_SetItemString(table.get(), key, set.get()) < 0) return nullptr;
    }
    return table.release();
}

}  // namespace vp::members
