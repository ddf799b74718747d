// Construction, loading, identity and paths of a product.
#include "host_services.hpp"
#include "members.hpp"
#include "runtime/paths.hpp"

namespace vp::members {
namespace {

using host::attr;
using host::call1;

// ---- __init__(self, usd_path, vehicle) --------------------------------------

PyObject *init_impl(const Args &a) noexcept {
    PyObject *self = a[0];
    if (PyObject_SetAttr(self, N.usd_path_attr, a[1]) < 0) return nullptr;
    if (PyObject_SetAttr(self, N.vehicle_attr, a[2]) < 0) return nullptr;
    Py_RETURN_NONE;
}

constexpr Param init_params[] = {
    {.name = "self"},
    {.name = "usd_path", .type = "Path"},
    {.name = "vehicle", .type = "dict", .check = Check::Dict},
};

// ---- load(cls, name_or_path) -------------------------------------------------

bool is_usd_suffix(PyObject *suffix) {
    return PyUnicode_Check(suffix) && (PyUnicode_CompareWithASCIIString(suffix, ".usda") == 0 ||
                                       PyUnicode_CompareWithASCIIString(suffix, ".usdc") == 0);
}

// True when `path` names an existing .usda/.usdc file (suffix compared
// case-sensitively; existence only tested when the suffix matches).
int names_usd_file(PyObject *path) {
    Ref suffix = paths::suffix(path);
    if (!suffix) return -1;
    if (!is_usd_suffix(suffix.get())) return 0;
    Ref exists = host::method0(path, N.exists);
    if (!exists) return -1;
    return PyObject_IsTrue(exists.get());
}

PyObject *load_impl(const Args &a) noexcept {
    PyObject *cls = a[0], *name_or_path = a[1];
    PyObject *globals = a.fn->globals;
    Ref find = host::import_from(globals, "api", 1, "_find_product_usd");
    if (!find) return nullptr;
    Ref resolve_geometry =
        host::import_from(globals, "geometry_cache", 1, "resolve_product_geometry");
    if (!resolve_geometry) return nullptr;
    Ref path_type = host::global(globals, N.Path);
    if (!path_type) return nullptr;
    // Path(name) of a str is pure parsing: when the name's suffix is not a
    // USD one, the path object is not needed, and it is not built.
    Ref form, suffix, path;
    int direct = 0;
    if (!paths::is_pathlib_path(path_type.get()) ||
        !paths::posix_form(name_or_path, form, suffix) || is_usd_suffix(suffix.get())) {
        path = call1(path_type.get(), name_or_path);
        if (!path) return nullptr;
        direct = names_usd_file(path.get());
        if (direct < 0) return nullptr;
    }
    Ref usd_path = direct ? host::method0(path.get(), N.resolve) : call1(find.get(), name_or_path);
    if (!usd_path) return nullptr;
    Ref product_dir = paths::parent(usd_path.get());
    if (!product_dir || !call1(resolve_geometry.get(), product_dir.get())) return nullptr;
    Ref load_product = host::global(globals, N.load_product);
    if (!load_product) return nullptr;
    Ref path_str = host::str(usd_path.get());
    if (!path_str) return nullptr;
    Ref vehicle = call1(load_product.get(), path_str.get());
    if (!vehicle) return nullptr;
    return host::call2(cls, usd_path.get(), vehicle.get()).release();
}

constexpr Param load_params[] = {
    {.name = "cls"},
    {.name = "name_or_path", .type = "str", .check = Check::Str},
};

// ---- name --------------------------------------------------------------------

PyObject *name_value(PyObject *self) {
    Ref vehicle = host::vehicle(self);
    if (!vehicle) return nullptr;
    Ref usd_path = host::usd_path(self);
    if (!usd_path) return nullptr;
    // The stem is taken first, whether or not the record holds a name.  For
    // a plain path that is a pure string operation, so it is skipped when the
    // record's name is what comes back.
    if (PyDict_CheckExact(vehicle.get()) && paths::has_plain_name(usd_path.get())) {
        if (PyObject *v = PyDict_GetItemWithError(vehicle.get(), N.vehicle_name))
            return check_result(Py_NewRef(v), ResultCheck::Str);
        if (PyErr_Occurred()) return nullptr;
    }
    Ref stem = paths::stem(usd_path.get());
    if (!stem) return nullptr;
    return check_result(host::record_get(vehicle.get(), N.vehicle_name, stem.get()).release(),
                        ResultCheck::Str);
}

PyObject *name_impl(const Args &a) noexcept { return name_value(a[0]); }

// ---- usd_path, product_dir -------------------------------------------------------

PyObject *usd_path_impl(const Args &a) noexcept { return host::usd_path(a[0]).release(); }

PyObject *product_dir_impl(const Args &a) noexcept {
    Ref usd_path = host::usd_path(a[0]);
    if (!usd_path) return nullptr;
    return paths::parent(usd_path.get()).release();
}

// ---- _product_identifier() -----------------------------------------------------

// "<programme>:<variant>"
PyObject *programme_variant(PyObject *programme, PyObject *variant) {
    return host::concat({programme, N.colon, variant});
}

// Walks from the file's directory up to the nearest directory named exactly
// "products" (or to a directory whose name is empty), collecting names.
PyObject *identifier_from_parts(const paths::Parts &p) {
    // The directories above the file are parts[base .. n-2]; the walk runs
    // from the innermost outwards and stops at "products" or at the root.
    const Py_ssize_t n = PyList_GET_SIZE(p.parts);
    PyObject *inner = nullptr, *outer = nullptr;
    Py_ssize_t count = 0;
    for (Py_ssize_t k = n - 2; k >= p.base; --k) {
        PyObject *dir_name = PyList_GET_ITEM(p.parts, k);
        if (PyUnicode_GET_LENGTH(dir_name) == 8 &&
            PyUnicode_CompareWithASCIIString(dir_name, "products") == 0)
            break;
        if (count++ == 0) inner = dir_name;
        outer = dir_name;
    }
    if (count == 0) {
        // No directory names: the parent's own name ("products" or empty).
        return Py_NewRef(n - 2 >= p.base ? PyList_GET_ITEM(p.parts, n - 2) : N.empty);
    }
    if (count == 1) return Py_NewRef(inner);
    return programme_variant(outer, inner);
}

// Walks from the file's directory up to the nearest directory named exactly
// "products" (or to a directory whose name is empty), collecting names.
PyObject *product_identifier_impl(const Args &a) noexcept { return product_identifier_value(a[0]); }

}  // namespace

PyObject *product_identifier_value(PyObject *self) {
    Ref usd_path = host::usd_path(self);
    if (!usd_path) return nullptr;
    paths::Parts p;
    if (paths::parts_of(usd_path.get(), p)) {
        bool all_str = true;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(p.parts); ++i)
            all_str = all_str && PyUnicode_CheckExact(PyList_GET_ITEM(p.parts, i));
        if (all_str && PyList_GET_SIZE(p.parts) >= p.base) return identifier_from_parts(p);
    }
    Ref start = attr(usd_path.get(), N.parent);
    if (!start) return nullptr;
    Ref parts(PyList_New(0));
    if (!parts) return nullptr;
    Ref dir = Ref::borrow(start.get());
    for (;;) {
        Ref dir_name = attr(dir.get(), N.name);
        if (!dir_name) return nullptr;
        int nonempty = PyObject_IsTrue(dir_name.get());
        if (nonempty < 0) return nullptr;
        if (!nonempty) break;
        int is_products = PyObject_RichCompareBool(dir_name.get(), N.products, Py_EQ);
        if (is_products < 0) return nullptr;
        if (is_products) break;
        if (PyList_Append(parts.get(), dir_name.get()) < 0) return nullptr;
        Ref up = attr(dir.get(), N.parent);
        if (!up) return nullptr;
        // A path whose parent is itself is a root, whatever its name says.
        if (up.get() == dir.get()) break;
        dir = std::move(up);
        if (PyErr_CheckSignals() < 0) return nullptr;
    }
    const Py_ssize_t n = PyList_GET_SIZE(parts.get());
    if (n == 1) return Py_NewRef(PyList_GET_ITEM(parts.get(), 0));
    if (n >= 2) {
        // parts were collected innermost first: the programme is the last one.
        return PyUnicode_FromFormat("%S:%S", PyList_GET_ITEM(parts.get(), n - 1),
                                    PyList_GET_ITEM(parts.get(), 0));
    }
    return attr(start.get(), N.name).release();
}

namespace {

// ---- metadata(action) --------------------------------------------------------------

PyObject *metadata_impl(const Args &a) noexcept {
    PyObject *self = a[0];
    Ref banner(PyDict_New());
    if (!banner) return nullptr;
    Ref name(name_of(self));
    if (!name || PyDict_SetItem(banner.get(), N.product, name.get()) < 0) return nullptr;
    int own = reads_own_method(self, Own::ProductIdentifier, N.product_identifier);
    if (own < 0) return nullptr;
    Ref id(own ? check_result(product_identifier_value(self), ResultCheck::Str)
               : host::method0(self, N.product_identifier).release());
    if (!id || PyDict_SetItem(banner.get(), N.product_id, id.get()) < 0) return nullptr;
    if (PyDict_SetItem(banner.get(), N.action, a[1]) < 0) return nullptr;
    return banner.release();
}

constexpr Param metadata_params[] = {
    {.name = "self"},
    {.name = "action", .type = "str", .check = Check::Str},
};

// ---- __repr__ ------------------------------------------------------------------------

PyObject *repr_impl(const Args &a) noexcept {
    PyObject *self = a[0];
    Ref name(name_of(self));
    if (!name) return nullptr;
    Ref cd;
    if (reads_own(self, Own::Targets, N.targets)) {
        // Only the "cd" entry of ProductCore's own targets is shown, so the
        // view is not built; its look-ups run all the same, in its order.
        cd.reset(target_cd_of(self));
        if (!cd) return nullptr;
    } else {
        Ref targets(targets_of(self));
        if (!targets) return nullptr;
        cd.reset(PyObject_GetItem(targets.get(), N.cd));
        if (!cd) return nullptr;
    }
    Ref name_text(PyObject_Str(name.get()));
    if (!name_text) return nullptr;
    Ref cd_text(PyObject_Str(cd.get()));
    if (!cd_text) return nullptr;
    return host::concat({N.repr_open, name_text.get(), N.repr_cd, cd_text.get(), N.repr_close});
}

}  // namespace

PyObject *name_of(PyObject *self) {
    if (reads_own(self, Own::Name, N.name)) return name_value(self);
    return PyObject_GetAttr(self, N.name);
}

constinit const Signature init{.name = "__init__", .params = init_params, .impl = init_impl};
constinit const Signature load{
    .name = "load", .params = load_params, .impl = load_impl, .returns = "'Self'"};
constinit const Signature name{
    .name = "name", .params = self_only, .impl = name_impl, .returns = "str"};
constinit const Signature usd_path{
    .name = "usd_path", .params = self_only, .impl = usd_path_impl, .returns = "Path"};
constinit const Signature product_dir{
    .name = "product_dir", .params = self_only, .impl = product_dir_impl, .returns = "Path"};
constinit const Signature product_identifier{.name = "_product_identifier",
                                             .params = self_only,
                                             .impl = product_identifier_impl,
                                             .returns = "str",
                                             .result = ResultCheck::Str};
constinit const Signature metadata{
    .name = "metadata", .params = metadata_params, .impl = metadata_impl, .returns = "dict"};
constinit const Signature repr{
    .name = "__repr__", .params = self_only, .impl = repr_impl, .returns = "str"};

}  // namespace vp::members
