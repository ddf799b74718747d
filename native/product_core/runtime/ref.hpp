// Owned references to Python objects.
//
// Every strong reference the extension holds on a C++ stack frame lives in a
// Ref, so an early return (error path or not) can never leak or double-free.
#pragma once

#include "cpython.hpp"  // first: it stops a build against untested headers

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

// Keeps the pending exception across clean-up that runs after a failure: the
// exception is set aside when the guard is made and set again when it goes
// out of scope; whatever the clean-up raises in between is dropped.
class KeepError {
public:
    KeepError() noexcept { PyErr_Fetch(&type_, &value_, &traceback_); }
    ~KeepError() {
        PyErr_Clear();
        PyErr_Restore(type_, value_, traceback_);
    }
    KeepError(const KeepError &) = delete;
    KeepError &operator=(const KeepError &) = delete;

private:
    PyObject *type_ = nullptr, *value_ = nullptr, *traceback_ = nullptr;
};

}  // namespace vp
