// Read-only views on the vehicle record, and the run history.
#include "host_services.hpp"
#include "members.hpp"

namespace vp::members {
namespace {

// One entry of a fixed-shape view: result key <- record key, with a default
// for a missing record key (NULL: None).
struct Entry {
    PyObject *Names::*key;
    PyObject *Names::*source;
    PyObject *Names::*dflt;
};

// Adds `entries` to `out`, each value read from `record` as stored.
template <size_t K>
bool fill(PyObject *out, PyObject *record, const Entry (&entries)[K]) {
    for (const Entry &e : entries) {
        Ref v = host::record_get(record, N.*e.source, e.dflt ? N.*e.dflt : nullptr);
        if (!v || PyDict_SetItem(out, N.*e.key, v.get()) < 0) return false;
    }
    return true;
}

// A view made of `base` entries and, when the product has dynamics, the
// `dynamics` entries after them.
template <size_t K1, size_t K2>
PyObject *view(PyObject *self, const Entry (&base)[K1], const Entry (&dynamics)[K2]) {
    Ref record = host::vehicle(self);
    if (!record) return nullptr;
    Ref out(cpython::new_dict(K1 + K2));
    if (!out || !fill(out.get(), record.get(), base)) return nullptr;
    int dyn = has_dynamics_of(self);
    if (dyn < 0) return nullptr;
    if (dyn && !fill(out.get(), record.get(), dynamics)) return nullptr;
    return out.release();
}

// ---- specs ---------------------------------------------------------------------

PyObject *specs_impl(const Args &a) noexcept {
    Ref record = host::vehicle(a[0]);
    if (!record) return nullptr;
    if (PyDict_CheckExact(record.get())) return PyDict_Copy(record.get());
    return host::method0(record.get(), N.copy).release();
}

// ---- has_dynamics ----------------------------------------------------------------

// value > threshold, as Python compares them; exact floats and small ints
// are compared directly.
int greater_than(PyObject *value, long threshold, PyObject *threshold_obj) {
    if (PyFloat_CheckExact(value)) return PyFloat_AS_DOUBLE(value) > static_cast<double>(threshold);
    if (PyLong_CheckExact(value)) {
        int overflow = 0;
        long v = PyLong_AsLongAndOverflow(value, &overflow);
        if (overflow == 0 && !(v == -1 && PyErr_Occurred())) return v > threshold;
        PyErr_Clear();
        return overflow > 0;
    }
    return PyObject_RichCompareBool(value, threshold_obj, Py_GT);
}

PyObject *has_dynamics_value(PyObject *self) {
    Ref record = host::vehicle(self);
    if (!record) return nullptr;
    Ref mass = host::record_get(record.get(), N.mass, N.int_0);
    if (!mass) return nullptr;
    int heavy = greater_than(mass.get(), 500, N.int_500);
    if (heavy <= 0) return heavy < 0 ? nullptr : Py_NewRef(Py_False);
    Ref wheelbase = host::record_get(record.get(), N.wheelbase, N.int_0);
    if (!wheelbase) return nullptr;
    int r = greater_than(wheelbase.get(), 0, N.int_0);
    if (r < 0) return nullptr;
    return PyBool_FromLong(r);
}

PyObject *has_dynamics_impl(const Args &a) noexcept { return has_dynamics_value(a[0]); }

// ---- targets, benchmarks, current --------------------------------------------------

constexpr Entry target_entries[] = {
    {&Names::cd, &Names::target_cd, nullptr},
    {&Names::cl, &Names::target_cl, nullptr},
    {&Names::cm_pitch, &Names::target_cm, nullptr},
    {&Names::target_cd_tol, &Names::target_cd_tol, nullptr},
    {&Names::target_cl_tol, &Names::target_cl_tol, nullptr},
    {&Names::target_cm_tol, &Names::target_cm_tol, nullptr},
};
constexpr Entry target_dynamics_entries[] = {
    {&Names::lateral_g, &Names::target_lateral_g, &Names::float_0_8},
    {&Names::yaw_rate_dps, &Names::target_yaw_rate_dps, &Names::float_15},
    {&Names::roll_angle_deg, &Names::target_roll_angle_deg, &Names::float_3},
};

PyObject *targets_impl(const Args &a) noexcept {
    return view(a[0], target_entries, target_dynamics_entries);
}

constexpr Entry benchmark_entries[] = {
    {&Names::cd, &Names::benchmark_cd, nullptr},
    {&Names::cl, &Names::benchmark_cl, nullptr},
    {&Names::cm_pitch, &Names::benchmark_cm, nullptr},
    {&Names::source, &Names::benchmark_source, &Names::empty},
};

PyObject *benchmarks_impl(const Args &a) noexcept {
    Ref record = host::vehicle(a[0]);
    if (!record) return nullptr;
    Ref out(cpython::new_dict(4));
    if (!out || !fill(out.get(), record.get(), benchmark_entries)) return nullptr;
    return out.release();
}

constexpr Entry current_entries[] = {
    {&Names::cd, &Names::current_cd, nullptr},
    {&Names::cl, &Names::current_cl, nullptr},
    {&Names::cm_pitch, &Names::current_cm, nullptr},
};
constexpr Entry current_dynamics_entries[] = {
    {&Names::lateral_g, &Names::current_lateral_g, nullptr},
    {&Names::yaw_rate_dps, &Names::current_yaw_rate_dps, nullptr},
    {&Names::roll_angle_deg, &Names::current_roll_angle_deg, nullptr},
};

PyObject *current_impl(const Args &a) noexcept {
    return view(a[0], current_entries, current_dynamics_entries);
}

// ---- simulations(), history() ----------------------------------------------------------

PyObject *simulations_impl(const Args &a) noexcept {
    Ref history = host::import_from(a.fn->globals, "usd_product", 1, "load_product_history");
    if (!history) return nullptr;
    Ref usd_path = host::usd_path(a[0]);
    if (!usd_path) return nullptr;
    Ref path_str = host::str(usd_path.get());
    if (!path_str) return nullptr;
    return host::call1(history.get(), path_str.get()).release();
}

PyObject *history_impl(const Args &a) noexcept {
    return host::method0(a[0], N.simulations).release();
}

}  // namespace

// The instance's has_dynamics, read through normal attribute lookup so that a
// subclass or composing class that overrides it is honoured.
int has_dynamics_of(PyObject *self) {
    Ref v(reads_own(self, Own::HasDynamics, N.has_dynamics)
              ? has_dynamics_value(self)
              : PyObject_GetAttr(self, N.has_dynamics));
    if (!v) return -1;
    return PyObject_IsTrue(v.get());
}

PyObject *target_cd_of(PyObject *self) {
    Ref record = host::vehicle(self);
    if (!record) return nullptr;
    Ref cd;
    for (const Entry &e : target_entries) {
        Ref v = host::record_get(record.get(), N.*e.source, nullptr);
        if (!v) return nullptr;
        if (e.key == &Names::cd) cd = std::move(v);
    }
    int dyn = has_dynamics_of(self);
    if (dyn < 0) return nullptr;
    if (dyn) {
        for (const Entry &e : target_dynamics_entries)
            if (!host::record_get(record.get(), N.*e.source, N.*e.dflt)) return nullptr;
    }
    return cd.release();
}

PyObject *targets_of(PyObject *self) {
    if (reads_own(self, Own::Targets, N.targets))
        return view(self, target_entries, target_dynamics_entries);
    return PyObject_GetAttr(self, N.targets);
}

constinit const Signature specs{.name = "specs",
                                .params = self_only,
                                .impl = specs_impl,
                                .returns = "dict",
                                .result = ResultCheck::Dict};
constinit const Signature has_dynamics{
    .name = "has_dynamics", .params = self_only, .impl = has_dynamics_impl, .returns = "bool"};
constinit const Signature targets{
    .name = "targets", .params = self_only, .impl = targets_impl, .returns = "dict"};
constinit const Signature benchmarks{
    .name = "benchmarks", .params = self_only, .impl = benchmarks_impl, .returns = "dict"};
constinit const Signature current{
    .name = "current", .params = self_only, .impl = current_impl, .returns = "dict"};
constinit const Signature simulations{.name = "simulations",
                                      .params = self_only,
                                      .impl = simulations_impl,
                                      .returns = "list[dict]",
                                      .result = ResultCheck::List};
constinit const Signature history{.name = "history",
                                  .params = self_only,
                                  .impl = history_impl,
                                  .returns = "list[dict]",
                                  .result = ResultCheck::List};

}  // namespace vp::members
