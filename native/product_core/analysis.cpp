// Comparison, range estimate and export: thin hand-offs to the host package.
#include "host_services.hpp"
#include "members.hpp"

namespace vp::members {
namespace {

// ---- diff(other) -----------------------------------------------------------------

PyObject *diff_impl(const Args &a) noexcept {
    Ref diff_products = host::import_from(a.fn->globals, "usd_product", 1, "diff_products");
    if (!diff_products) return nullptr;
    Ref mine = host::usd_path(a[0]);
    if (!mine) return nullptr;
    Ref mine_str = host::str(mine.get());
    if (!mine_str) return nullptr;
    Ref theirs = host::usd_path(a[1]);
    if (!theirs) return nullptr;
    Ref theirs_str = host::str(theirs.get());
    if (!theirs_str) return nullptr;
    return host::call2(diff_products.get(), mine_str.get(), theirs_str.get()).release();
}

constexpr Param diff_params[] = {
    {.name = "self"},
    {.name = "other"},
};

// ---- range_competitiveness(cd) ----------------------------------------------------

PyObject *range_impl(const Args &a) noexcept {
    Ref range = host::import_from(a.fn->globals, "range_model", 1, "range_competitiveness");
    if (!range) return nullptr;
    Ref vehicle = host::vehicle(a[0]);
    if (!vehicle) return nullptr;
    Ref usd_path = host::usd_path(a[0]);
    if (!usd_path) return nullptr;
    return host::call3(range.get(), vehicle.get(), usd_path.get(), a[1]).release();
}

constexpr Param range_params[] = {
    {.name = "self"},
    {.name = "cd", .type = "float", .check = Check::Float},
};

// ---- export(format="usd") -----------------------------------------------------------

[[gnu::cold, gnu::noinline]] PyObject *raise_unknown_format(PyObject *format) {
    PyErr_Format(PyExc_ValueError, "Unknown format: %U. Supported: usd", format);
    return nullptr;
}

PyObject *export_impl(const Args &a) noexcept {
    PyObject *format = a[1];
    if (!host::str_eq(format, N.usd)) return raise_unknown_format(format);
    Ref usd_path = host::usd_path(a[0]);
    if (!usd_path) return nullptr;
    Ref path = host::str(usd_path.get());
    if (!path) return nullptr;
    Ref record(cpython::new_dict(2));
    if (!record || PyDict_SetItem(record.get(), N.format, N.USD) < 0 ||
        PyDict_SetItem(record.get(), N.path, path.get()) < 0)
        return nullptr;
    return record.release();
}

constexpr Param export_params[] = {
    {.name = "self"},
    {.name = "format", .type = "str", .check = Check::Str, .str_default = "usd"},
};

}  // namespace

constinit const Signature diff{.name = "diff",
                               .params = diff_params,
                               .impl = diff_impl,
                               .returns = "dict",
                               .result = ResultCheck::Dict};
constinit const Signature range_competitiveness{.name = "range_competitiveness",
                                                .params = range_params,
                                                .impl = range_impl,
                                                .returns = "dict",
                                                .result = ResultCheck::Dict};
constinit const Signature export_{
    .name = "export", .params = export_params, .impl = export_impl, .returns = "dict"};

}  // namespace vp::members
