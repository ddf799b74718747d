// velmor_platform.core.product_core: module initialisation, the namespace and
// the assembly of ProductCore.  The member table below reads like the class
// body: members in order, each with its kind and documentation text; the
// parameter tables and bodies live in the file of each subsystem.
#include "host_services.hpp"
#include "members.hpp"
#include "runtime/coroutine.hpp"
#include "runtime/paths.hpp"
#include "runtime/tag_cache.hpp"

#include <cstdint>

namespace vp {
namespace {

constexpr const char kModuleName[] = "velmor_platform.core.product_core";

enum class Kind { Method, Property, ClassMethod, StaticMethod, Table };

// One entry of the class body.  `remember` names the members that other
// members read through the instance: their class attribute is kept so that a
// read through ProductCore's own attribute can call the body directly.
struct Member {
    const char *name;
    Kind kind;
    const Signature *sig = nullptr;              // functions
    members::Own remember = members::Own::None;  // see above
    const char *doc = nullptr;                   // nullptr: no documentation text
    PyObject *(*make_table)() = nullptr;         // tables
};

// ---- documentation texts -------------------------------------------------------

constexpr const char load_doc[] =
    "Load a vehicle by name or USD file path.\n"
    "\n"
    "        Resolves ``velmor-geo:///`` geometry URIs in the product's USD\n"
    "        tree to absolute cache paths before opening the stage.\n"
    "        ";

constexpr const char targets_doc[] =
    "Design intent targets (all domains).\n"
    "\n"
    "        Includes explicit tolerances when authored in design_intent.usda.\n"
    "        Gate evaluation reads target_cd_tol / target_cl_tol / target_cm_tol\n"
    "        from this dict; missing tolerances produce NO_TOL gate failures.\n"
    "        ";

constexpr const char capabilities_doc[] =
    "What physics domains can run on this product.\n"
    "\n"
    "        aero availability is determined by asking the OpenFOAM MCP\n"
    "        for its template list \xE2\x80\x94 no filesystem reach.\n"
    "\n"
    "        For each domain, reports the capability against the *default*\n"
    "        solver.  this is the fall-through dispatch target; the\n"
    "        domain may also be reachable via other solvers (XLB, DoMINO\n"
    "        for aero) when the user names them explicitly with --solver.\n"
    "        ";

constexpr const char set_solver_doc[] =
    "Select solver backend for a physics domain.\n"
    "\n"
    "        Args:\n"
    "            domain: ``\"aerodynamics\"`` (alias ``\"aero\"``) or ``\"dynamics\"``.\n"
    "            backend: ``\"openfoam\"``, ``\"xlb\"``, ``\"domino\"``, ``\"chrono\"``, or\n"
    "                ``\"auto\"`` (falls through to domain default).\n"
    "\n"
    "        Returns a dict with ``status``, ``backend``, ``domain``.\n"
    "        ";

constexpr const char get_solver_backend_doc[] =
    "Return the currently-selected backend for a domain.\n"
    "\n"
    "        Defaults to the domain's physics solver when ``set_solver`` was\n"
    "        never called.\n"
    "        ";

constexpr const char resolve_dispatch_backend_doc[] =
    "Resolve the solver backend for a simulation dispatch.\n"
    "\n"
    "        Returns ``(backend_name, None)``. The second element exists for\n"
    "        caller compatibility only (was the surrogate registration).\n"
    "\n"
    "        * User-picked backend (e.g. ``\"openfoam\"``, ``\"domino\"``) \xE2\x86\x92 used "
    "directly.\n"
    "        * ``\"auto\"`` \xE2\x86\x92 domain default (openfoam for aero, chrono for dynamics).\n"
    "        ";

constexpr const char solvers_doc[] =
    "List registered solver domains (per-solver schema).\n"
    "\n"
    "        Returns the full per-domain records: ``domain``, ``kpis``,\n"
    "        ``status``, ``solvers`` (list of all eligible solvers),\n"
    "        ``default_solver`` (name string).\n"
    "        ";

constexpr const char solver_doc[] =
    "Get the per-domain record for a physics domain (per-solver schema).\n"
    "\n"
    "        Use ``default_solver_for(domain)`` if you want the fall-through\n"
    "        solver record specifically; use ``find_solver(domain, name)``\n"
    "        to look up a specific solver by name.\n"
    "        ";

constexpr const char list_openfoam_templates_doc[] =
    "Return the OpenFOAM solver's available case templates via MCP.\n"
    "\n"
    "    Best-effort: returns ``[]`` if the OpenFOAM MCP server isn't reachable.\n"
    "    Callers use the result for advisory capability checks, not enforcement.\n"
    "    ";

// ---- the class body ---------------------------------------------------------------

using namespace members;

const Member class_body[] = {
    // name, kind, body, remembered as, documentation
    {"__init__", Kind::Method, &init},
    {"load", Kind::ClassMethod, &load, Own::None, load_doc},
    {"name", Kind::Property, &name, Own::Name},
    {"specs", Kind::Property, &specs, Own::None,
     "Full vehicle spec dict from USD (read-only copy)."},
    {"has_dynamics", Kind::Property, &has_dynamics, Own::HasDynamics,
     "True if the product has vehicle dynamics capability."},
    {"targets", Kind::Property, &targets, Own::Targets, targets_doc},
    {"benchmarks", Kind::Property, &benchmarks, Own::None,
     "Benchmark reference values (from benchmark layer)."},
    {"current", Kind::Property, &current, Own::None, "Latest simulation results from USD."},
    {"simulations", Kind::Method, &simulations, Own::None,
     "History of all simulation runs from the USD prototype layer."},
    {"capabilities", Kind::Method, &capabilities, Own::None, capabilities_doc},
    {"set_geometry", Kind::Method, &set_geometry, Own::None,
     "Register new geometry for this product."},
    {"set_targets", Kind::Method, &set_targets, Own::None, "Update design intent targets in USD."},
    {"history", Kind::Method, &history, Own::None,
     "All previous simulation runs with full metadata."},
    {"export", Kind::Method, &export_, Own::None, "Export product data in a specified format."},
    {.name = "_DOMAIN_DEFAULT_SOLVER",
     .kind = Kind::Table,
     .make_table = make_default_solver_table},
    {.name = "_DOMAIN_VALID_BACKENDS",
     .kind = Kind::Table,
     .make_table = make_valid_backends_table},
    {"_normalise_domain", Kind::StaticMethod, &normalise_domain, Own::NormaliseDomain,
     "Canonical short name for a domain."},
    {"set_solver", Kind::Method, &set_solver, Own::None, set_solver_doc},
    {"get_solver_backend", Kind::Method, &get_solver_backend, Own::GetSolverBackend,
     get_solver_backend_doc},
    {"resolve_dispatch_backend", Kind::Method, &resolve_dispatch_backend, Own::None,
     resolve_dispatch_backend_doc},
    {"metadata", Kind::Method, &metadata, Own::None,
     "Return a metadata banner dict for CLI/UI display."},
    {"usd_path", Kind::Property, &usd_path, Own::None, "Path to the product's top-level USD file."},
    {"product_dir", Kind::Property, &product_dir, Own::None,
     "Directory containing the product's USD file."},
    {"solvers", Kind::StaticMethod, &solvers, Own::None, solvers_doc},
    {"solver", Kind::StaticMethod, &solver, Own::None, solver_doc},
    {"diff", Kind::Method, &diff, Own::None, "Compare this vehicle against another."},
    {"range_competitiveness", Kind::Method, &range_competitiveness, Own::None,
     "Estimate highway range and compare against USD competitors."},
    {"_product_identifier", Kind::Method, &product_identifier, Own::ProductIdentifier,
     "Reconstruct the ``<programme>[:variant]`` id from the USD path."},
    {"__repr__", Kind::Method, &repr},
};

// ---- module state -----------------------------------------------------------------
//
// The module loads into one interpreter per process and is initialised once:
// the interpreter that first created it and the initialised module object.

int64_t g_interpreter = -1;
PyObject *g_module = nullptr;

PyObject *g_own[static_cast<int>(Own::Count)] = {};

// The class attribute (or wrapped function) for one member of the body.
PyObject *make_member(const Member &m, PyObject *module_name, PyObject *globals) {
    if (m.kind == Kind::Table) return m.make_table();
    char qualname[128];
    PyOS_snprintf(qualname, sizeof qualname, "ProductCore.%s", m.name);
    Ref fn(make_function(*m.sig, qualname, module_name, m.doc, globals));
    if (!fn) return nullptr;
    switch (m.kind) {
        case Kind::Property:
            return PyObject_CallOneArg(reinterpret_cast<PyObject *>(&PyProperty_Type), fn.get());
        case Kind::ClassMethod:
            return PyObject_CallOneArg(reinterpret_cast<PyObject *>(&PyClassMethod_Type), fn.get());
        case Kind::StaticMethod:
            return PyObject_CallOneArg(reinterpret_cast<PyObject *>(&PyStaticMethod_Type),
                                       fn.get());
        default: return fn.release();
    }
}

PyObject *make_class(PyObject *module_name, PyObject *globals) {
    Ref ns(PyDict_New());
    if (!ns) return nullptr;
    Ref qualname(PyUnicode_FromString("ProductCore"));
    Ref doc(PyUnicode_FromString("Identity, USD paths, properties, and discovery methods."));
    Ref annotations(Py_BuildValue("{s:s,s:s}", "_usd_path", "Path", "_vehicle", "dict"));
    if (!qualname || !doc || !annotations) return nullptr;
    if (PyDict_SetItemString(ns.get(), "__module__", module_name) < 0 ||
        PyDict_SetItemString(ns.get(), "__qualname__", qualname.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__doc__", doc.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__annotations__", annotations.get()) < 0)
        return nullptr;
    for (const Member &m : class_body) {
        Ref value(make_member(m, module_name, globals));
        if (!value || PyDict_SetItemString(ns.get(), m.name, value.get()) < 0) return nullptr;
        if (m.remember != Own::None) remember_property(m.remember, value.get());
    }
    Ref bases(PyTuple_New(0));
    if (!bases) return nullptr;
    PyObject *args[] = {qualname.get(), bases.get(), ns.get()};
    return PyObject_Vectorcall(reinterpret_cast<PyObject *>(&PyType_Type), args, 3, nullptr);
}

// `from <module> import <names...>` into the module namespace.
bool bind_from(PyObject *globals, const char *module, int level,
               std::initializer_list<const char *> names) {
    for (const char *name : names) {
        Ref value = host::import_from(globals, module, level, name);
        if (!value || PyDict_SetItemString(globals, name, value.get()) < 0) return false;
    }
    return true;
}

bool initialise(PyObject *module) {
    if ((Py_Version >> 16) != (PY_VERSION_HEX >> 16)) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                             "compile time Python version %d.%d of module '%.100s' %s runtime "
                             "version %d.%d",
                             PY_MAJOR_VERSION, PY_MINOR_VERSION, kModuleName, "does not match",
                             static_cast<int>(Py_Version >> 24),
                             static_cast<int>((Py_Version >> 16) & 0xFF)) < 0)
            return false;
    }
    Ref name(PyUnicode_FromString(kModuleName));
    if (!name) return false;
    PyObject *modules = PyImport_GetModuleDict();
    PyObject *registered = PyDict_GetItemWithError(modules, name.get());
    if (registered == nullptr) {
        if (PyErr_Occurred() || PyDict_SetItem(modules, name.get(), module) < 0) return false;
    }
    if (!init_names() || !init_function_type() || !init_coroutine_type() || !paths::init())
        return false;

    PyObject *globals = PyModule_GetDict(module);
    if (globals == nullptr) return false;
    if (!bind_from(globals, "pathlib", 0, {"Path"}) ||
        !bind_from(globals, "typing", 0, {"Optional", "Self"}) ||
        !bind_from(globals, "pxr", 0, {"Usd"}) ||
        !bind_from(globals, "usd_product", 1, {"load_product"}) ||
        !bind_from(globals, "solver", 1, {"default_solver_for", "get_domain", "list_domains"}) ||
        !bind_from(globals, "workspace", 1, {"workspace_root", "products_dir"}))
        return false;

    Ref templates(make_function(list_openfoam_templates, "_list_openfoam_templates", name.get(),
                                list_openfoam_templates_doc, globals));
    if (!templates ||
        PyDict_SetItemString(globals, "_list_openfoam_templates", templates.get()) < 0)
        return false;
    Ref cls(make_class(name.get(), globals));
    return cls && PyDict_SetItemString(globals, "ProductCore", cls.get()) == 0;
}

PyObject *module_create(PyObject *spec, PyModuleDef *) {
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id < 0) return nullptr;
    if (g_interpreter == -1) {
        g_interpreter = id;
    } else if (g_interpreter != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (g_module != nullptr) return Py_NewRef(g_module);
    Ref name(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    return PyModule_NewObject(name.get());
}

int module_exec(PyObject *module) {
    if (g_module != nullptr) {
        if (g_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'product_core' has already been imported. Re-initialisation is "
                        "not supported.");
        return -1;
    }
    if (!initialise(module)) {
        cpython::add_traceback("init velmor_platform.core.product_core", "module.cpp", __LINE__);
        return -1;
    }
    g_module = Py_NewRef(module);
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(module_create)},
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "product_core",
    "Core product mixin \xE2\x80\x94 identity, USD access, properties, discovery.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

void members::remember_property(Own which, PyObject *property) {
    Py_XSETREF(g_own[static_cast<int>(which)], Py_NewRef(property));
}

PyObject *members::own_property(Own which) noexcept { return g_own[static_cast<int>(which)]; }

namespace {

// The last answer of reads_own for each member, keyed by the instance's type;
// for methods, the dict part names the instance dict last seen without the
// name (storing a new type answer forgets it).
TagCache<bool> g_own_cache[static_cast<int>(Own::Count)];

}  // namespace

bool members::reads_own(PyObject *self, Own which, PyObject *name) {
    PyTypeObject *tp = Py_TYPE(self);
    if (tp->tp_getattro != PyObject_GenericGetAttr) return false;
    TagCache<bool> &c = g_own_cache[static_cast<int>(which)];
    if (c.type_hit(tp)) return c.value;
    PyObject *prop = own_property(which);
    const bool own = prop != nullptr && cpython::type_lookup(tp, name) == prop;
    if (cpython::type_tag_valid(tp)) c.store(tp, cpython::type_tag(tp), nullptr, 0, own);
    return own;
}

int members::reads_own_method(PyObject *self, Own which, PyObject *name) {
    if (!reads_own(self, which, name)) return 0;
    // A method is a non-data descriptor: an attribute of the instance with
    // the same name comes first.
    PyObject **dictptr = cpython::instance_dict_ptr(self);
    if (dictptr == nullptr || *dictptr == nullptr) return 1;
    TagCache<bool> &c = g_own_cache[static_cast<int>(which)];
    PyObject *dict = *dictptr;
    if (c.dict_hit(dict)) return 1;
    Ref held = Ref::borrow(dict);
    const uint64_t tag = cpython::dict_tag(dict);
    if (PyDict_GetItemWithError(dict, name) != nullptr) return 0;
    if (PyErr_Occurred()) return -1;
    c.store_dict(dict, tag);
    return 1;
}

}  // namespace vp

PyMODINIT_FUNC PyInit_product_core() { return PyModuleDef_Init(&vp::module_def); }
