// Owned references to Python objects.
//
// Every strong reference the extension holds on a C++ stack frame lives in a
// Ref, so an early return (error path or not) can never leak or double-free.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <utility>

namespace vp {

class Ref {
public:
    Ref() noexcept = default;
    // Takes ownership of a new reference (may be NULL, e.g. an API failure).
    explicit Ref(PyObject *owned) noexcept : p_(owned) {}
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref &operator=(Ref &&other) noexcept {
        if (this != &other) {
            PyObject *old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // A new strong reference to a borrowed object.
    static Ref borrow(PyObject *borrowed) noexcept {
        Py_XINCREF(borrowed);
        return Ref(borrowed);
    }

    PyObject *get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference to the caller (e.g. as a function result).
    PyObject *release() noexcept { return std::exchange(p_, nullptr); }
    void reset(PyObject *owned = nullptr) noexcept {
        PyObject *old = p_;
        p_ = owned;
        Py_XDECREF(old);
    }

private:
    PyObject *p_ = nullptr;
};

// The version tag the interpreter gives a dict: a new, never reused value
// after every change to it.  The one-entry caches of the module compare it.
inline uint64_t dict_version(PyObject *dict) noexcept {
    return reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
}

}  // namespace vp
