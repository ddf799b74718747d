// Changes made to a product: new geometry, new design-intent targets.
#include "host_services.hpp"
#include "members.hpp"
#include "runtime/paths.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <span>
#include <string_view>

namespace vp::members {
namespace {

using host::attr;

[[gnu::cold, gnu::noinline]] PyObject *raise_message(PyObject *type, PyObject *message) {
    if (message) PyErr_SetObject(type, message);
    return nullptr;
}

// ---- set_geometry(stl_path) ----------------------------------------------------

// The acceptance record for a file of `size` bytes at `text`.
PyObject *accepted(PyObject *text, PyObject *size) {
    Ref mb(PyNumber_TrueDivide(size, N.int_million));
    if (!mb) return nullptr;
    // round(mb, 2): mb is an exact float, so this is float.__round__.
    PyObject *round_args[] = {mb.get(), N.int_2};
    Ref size_mb(PyFloat_CheckExact(mb.get())
                    ? PyObject_Vectorcall(N.float_round, round_args, 2, nullptr)
                    : PyObject_VectorcallMethod(N.round, round_args, 2, nullptr));
    if (!size_mb) return nullptr;
    Ref record(cpython::new_dict(4));
    if (!record || PyDict_SetItem(record.get(), N.status, N.accepted) < 0 ||
        PyDict_SetItem(record.get(), N.path, text) < 0 ||
        PyDict_SetItem(record.get(), N.size_mb, size_mb.get()) < 0 ||
        PyDict_SetItem(record.get(), N.note, N.geometry_note) < 0)
        return nullptr;
    return record.release();
}

[[gnu::cold, gnu::noinline]] PyObject *not_found(PyObject *text) {
    return raise_message(PyExc_FileNotFoundError,
                         Ref(PyUnicode_FromFormat("STL not found: %U", text)).get());
}

[[gnu::cold, gnu::noinline]] PyObject *directory_refused(PyObject *text) {
    return raise_message(
        PyExc_ValueError,
        Ref(PyUnicode_FromFormat("Expected .stl file, got: %U (a directory)", text)).get());
}

// 1 when the suffix is ".stl" in any letter case, 0 when not (error raised
// naming the suffix), -1 on error.
int check_suffix(PyObject *suffix) {
    Ref lowered = host::method0(suffix, N.lower);
    if (!lowered) return -1;
    int is_stl = PyObject_RichCompareBool(lowered.get(), N.stl, Py_EQ);
    if (is_stl == 0)
        raise_message(PyExc_ValueError,
                      Ref(PyUnicode_FromFormat("Expected .stl file, got: %S", suffix)).get());
    return is_stl;
}

// For a plain path (`text` its string form, `suffix` its suffix): one stat()
// call answers existence, kind and size, with pathlib's rules for what
// counts as missing.
PyObject *set_geometry_plain(PyObject *text, PyObject *suffix) {
    Ref encoded(PyUnicode_EncodeFSDefault(text));
    if (!encoded) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) return nullptr;
        PyErr_Clear();
        return not_found(text);  // unencodable: pathlib reports it as missing
    }
    const char *raw = PyBytes_AS_STRING(encoded.get());
    if (static_cast<Py_ssize_t>(strlen(raw)) != PyBytes_GET_SIZE(encoded.get()))
        return not_found(text);  // embedded NUL
    struct stat st;
    int rc, err;
    Py_BEGIN_ALLOW_THREADS
    rc = stat(raw, &st);
    err = errno;
    Py_END_ALLOW_THREADS
    if (rc != 0) {
        if (err == ENOENT || err == ENOTDIR || err == EBADF || err == ELOOP) return not_found(text);
        errno = err;
        return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, text);
    }
    if (check_suffix(suffix) <= 0) return nullptr;
    if (S_ISDIR(st.st_mode)) return directory_refused(text);
    Ref size(PyLong_FromLongLong(static_cast<long long>(st.st_size)));
    if (!size) return nullptr;
    return accepted(text, size.get());
}

PyObject *set_geometry_impl(const Args &a) noexcept {
    Ref path_type = host::global(a.fn->globals, N.Path);
    if (!path_type) return nullptr;
    const bool plain = paths::is_pathlib_path(path_type.get());
    Ref text, suffix;
    // A str argument: Path(arg) would only parse it, so its string form and
    // suffix are computed directly.
    if (plain && paths::posix_form(a[1], text, suffix))
        return set_geometry_plain(text.get(), suffix.get());
    Ref path = host::call1(path_type.get(), a[1]);
    if (!path) return nullptr;
    text = host::str(path.get());
    if (!text) return nullptr;
    paths::Parts parts;
    if (plain && PyUnicode_CheckExact(text.get()) && paths::parts_of(path.get(), parts)) {
        suffix = paths::suffix(path.get());
        if (!suffix) return nullptr;
        return set_geometry_plain(text.get(), suffix.get());
    }

    Ref exists = host::method0(path.get(), N.exists);
    if (!exists) return nullptr;
    int found = PyObject_IsTrue(exists.get());
    if (found < 0) return nullptr;
    if (!found) return not_found(text.get());
    suffix = attr(path.get(), N.suffix);
    if (!suffix || check_suffix(suffix.get()) <= 0) return nullptr;
    Ref st = host::method0(path.get(), N.stat);
    if (!st) return nullptr;
    // A directory named like a mesh is not geometry.
    Ref mode(PyObject_GetAttrString(st.get(), "st_mode"));
    if (!mode) return nullptr;
    long mode_bits = PyLong_AsLong(mode.get());
    if (mode_bits == -1 && PyErr_Occurred()) return nullptr;
    if (S_ISDIR(static_cast<mode_t>(mode_bits))) return directory_refused(text.get());
    Ref size = attr(st.get(), N.st_size);
    if (!size) return nullptr;
    return accepted(text.get(), size.get());
}

constexpr Param set_geometry_params[] = {
    {.name = "self"},
    {.name = "stl_path", .type = "str | Path"},
};

// ---- set_targets(**targets) ------------------------------------------------------

// The keywords set_targets honours and the attribute of the default prim
// each one writes: usd_product.TARGET_ATTRIBUTES, which the CLI reads too,
// copied at each call before anything is opened.
inline constexpr size_t kMaxTargets = 5;

struct TargetTable {
    Ref keyword[kMaxTargets];
    Ref attribute[kMaxTargets];
    size_t size = 0;

    // The attribute for `keyword` (borrowed), or NULL when it has none.
    PyObject *attribute_for(PyObject *keyword) const {
        for (size_t i = 0; i < size; ++i)
            if (PyUnicode_Compare(keyword, this->keyword[i].get()) == 0) return attribute[i].get();
        return nullptr;
    }
};

[[gnu::cold, gnu::noinline]] bool raise_bad_table(PyObject *table) {
    PyErr_Format(PyExc_TypeError,
                 "usd_product.TARGET_ATTRIBUTES must be a dict of at most %zu str -> str "
                 "entries, got %R",
                 kMaxTargets, table);
    return false;
}

bool read_target_table(PyObject *globals, TargetTable &out) {
    Ref table = host::import_from(globals, "usd_product", 1, "TARGET_ATTRIBUTES");
    if (!table) return false;
    if (!PyDict_Check(table.get()) || PyDict_GET_SIZE(table.get()) > Py_ssize_t{kMaxTargets})
        return raise_bad_table(table.get());
    Py_ssize_t pos = 0;
    PyObject *keyword, *attribute;
    while (PyDict_Next(table.get(), &pos, &keyword, &attribute)) {
        if (!PyUnicode_Check(keyword) || !PyUnicode_Check(attribute))
            return raise_bad_table(table.get());
        out.keyword[out.size] = Ref::borrow(keyword);
        out.attribute[out.size++] = Ref::borrow(attribute);
    }
    return true;
}

[[gnu::cold, gnu::noinline]] PyObject *raise_not_finite(PyObject *keyword, PyObject *number) {
    PyErr_Format(PyExc_ValueError, "Target '%U' must be a finite number, got %R", keyword, number);
    return nullptr;
}

struct PendingWrite {
    Ref attribute;
    Ref value;  // the float to write
};

// Drops the root layer's unsaved edits so that nothing half-done can be saved
// later by anyone sharing the layer; the pending exception is kept.
[[gnu::cold, gnu::noinline]] void drop_edits(PyObject *stage) {
    KeepError pending;
    Ref layer = host::method0(stage, N.GetRootLayer);
    if (layer) host::method0(layer.get(), N.Reload);
}

PyObject *set_targets_impl(const Args &a) noexcept {
    PyObject *self = a[0], *targets = a[1];
    TargetTable table;
    if (!read_target_table(a.fn->globals, table)) return nullptr;
    Ref Usd = host::import_from(a.fn->globals, "pxr", 0, "Usd");
    if (!Usd) return nullptr;
    if (!host::import_from(a.fn->globals, "pxr", 0, "Sdf")) return nullptr;
    Ref usd_path = host::usd_path(self);
    if (!usd_path) return nullptr;
    Ref path_str = host::str(usd_path.get());
    if (!path_str) return nullptr;
    Ref open_vehicle = host::import_from(a.fn->globals, "usd_product", 1, "open_vehicle_stage");
    if (!open_vehicle) return nullptr;
    // The whole read-modify-write holds the product's lock, so that no other
    // writer's change made in between is lost.
    host::ProductLock lock;
    if (lock.acquire(a.fn->globals, path_str.get()) < 0) return nullptr;
    // Every layer the product composes is checked before it is opened; the
    // checked layers are held so that the stage uses them.
    Ref layers = host::open_contained_layers(a.fn->globals, path_str.get());
    if (!layers) return nullptr;
    Ref root(PySequence_GetItem(layers.get(), 0));
    // Re-read when another process changed the file since this one read it.
    if (!root || !host::method0(root.get(), N.Reload)) return nullptr;
    // Only the default prim's own attributes are needed: the stage composes
    // that prim alone, not the geometry or the runs below it.
    Ref stage = host::call1(open_vehicle.get(), root.get());
    if (!stage) return nullptr;
    Ref prim = host::method0(stage.get(), N.GetDefaultPrim);
    if (!prim) return nullptr;
    Ref updated(PyDict_New());
    if (!updated) return nullptr;

    // Everything is fetched and converted before the first Set, so a refused
    // value leaves the stage untouched.  A dict holds each keyword once, so
    // there is at most one write per entry of the table.
    PendingWrite writes[kMaxTargets];
    size_t nwrites = 0;
    Py_ssize_t pos = 0;
    PyObject *keyword, *value;
    while (PyDict_Next(targets, &pos, &keyword, &value)) {
        PyObject *name = table.attribute_for(keyword);
        if (name == nullptr) continue;
        Ref attribute = host::method1(prim.get(), N.GetAttribute, name);
        if (!attribute) return nullptr;
        int present = PyObject_IsTrue(attribute.get());
        if (present < 0) return nullptr;
        if (!present) continue;
        Ref number(PyNumber_Float(value));
        if (!number) return nullptr;
        if (!std::isfinite(PyFloat_AS_DOUBLE(number.get())))
            return raise_not_finite(keyword, number.get());
        if (PyDict_SetItem(updated.get(), keyword, value) < 0) return nullptr;
        writes[nwrites++] = {std::move(attribute), std::move(number)};
    }
    for (const PendingWrite &w : std::span(writes, nwrites)) {
        if (!host::method1(w.attribute.get(), N.Set, w.value.get())) {
            drop_edits(stage.get());
            return nullptr;
        }
    }
    Ref layer = host::method0(stage.get(), N.GetRootLayer);
    if (!layer) {
        drop_edits(stage.get());
        return nullptr;
    }
    if (!host::save_layer(a.fn->globals, layer.get(), path_str.get())) {
        drop_edits(stage.get());
        return nullptr;
    }
    if (lock.release() < 0) return nullptr;
    Ref load_product = host::global(a.fn->globals, N.load_product);
    if (!load_product) return nullptr;
    Ref vehicle = host::call1(load_product.get(), path_str.get());
    if (!vehicle || PyObject_SetAttr(self, N.vehicle_attr, vehicle.get()) < 0) return nullptr;
    Ref reply(cpython::new_dict(2));
    if (!reply || PyDict_SetItem(reply.get(), N.status, N.updated) < 0 ||
        PyDict_SetItem(reply.get(), N.targets, updated.get()) < 0)
        return nullptr;
    return reply.release();
}

}  // namespace

constinit const Signature set_geometry{.name = "set_geometry",
                                       .params = set_geometry_params,
                                       .impl = set_geometry_impl,
                                       .returns = "dict"};
constinit const Signature set_targets{.name = "set_targets",
                                      .params = self_only,
                                      .impl = set_targets_impl,
                                      .returns = "dict",
                                      .varkw = "targets"};

}  // namespace vp::members
