#include "coroutine.hpp"
#include "cpython.hpp"

#include <structmember.h>

#include <cstddef>

namespace vp {
namespace {

PyTypeObject *g_coroutine_type = nullptr;

NativeCoroutine *as_co(PyObject *o) { return reinterpret_cast<NativeCoroutine *>(o); }

void finish(NativeCoroutine *co) {
    co->finished = true;
    Py_CLEAR(co->awaiting);
    for (PyObject *&s : co->slots) Py_CLEAR(s);
}

// The iterator behind `await awaitable`: a coroutine is its own, anything
// else must offer __await__ returning an iterator that is not a coroutine.
PyObject *awaitable_iter(PyObject *o) {
    if (PyCoro_CheckExact(o)) return Py_NewRef(o);
    PyTypeObject *tp = Py_TYPE(o);
    unaryfunc getter = tp->tp_as_async ? tp->tp_as_async->am_await : nullptr;
    if (getter == nullptr) {
        PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression",
                     tp->tp_name);
        return nullptr;
    }
    PyObject *it = getter(o);
    if (it == nullptr) return nullptr;
    if (PyCoro_CheckExact(it)) {
        Py_DECREF(it);
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
        return nullptr;
    }
    if (!PyIter_Check(it)) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                     Py_TYPE(it)->tp_name);
        Py_DECREF(it);
        return nullptr;
    }
    return it;
}

// Runs the body from `value` (NULL: an exception is pending) until it awaits
// something that suspends, returns, or fails.
PySendResult advance(NativeCoroutine *co, PyObject *value, PyObject **result) {
    Ref current = Ref::borrow(value);
    for (;;) {
        Ref out;
        StepResult sr = co->step(co, current.get(), out);
        if (sr == StepResult::Error) {
            finish(co);
            *result = nullptr;
            return PYGEN_ERROR;
        }
        if (sr == StepResult::Return) {
            finish(co);
            *result = out.release();
            return PYGEN_RETURN;
        }
        Ref it(awaitable_iter(out.get()));
        if (!it) {
            current.reset();
            continue;
        }
        PyObject *r = nullptr;
        PySendResult status = PyIter_Send(it.get(), Py_None, &r);
        if (status == PYGEN_NEXT) {
            co->awaiting = it.release();
            *result = r;
            return PYGEN_NEXT;
        }
        current.reset(r);  // the awaited value, or NULL with the error set
    }
}

[[gnu::cold, gnu::noinline]] PySendResult raise_finished(PyObject **result) {
    PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    *result = nullptr;
    return PYGEN_ERROR;
}

// Marks the coroutine as running for the duration of a send, throw or
// close; a re-entrant call (from code that the body awaits) is refused the
// way CPython refuses it for its own coroutines.
class Running {
public:
    explicit Running(NativeCoroutine *co) : co_(co), entered_(!co->running) {
        if (entered_)
            co->running = true;
        else
            PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    }
    ~Running() {
        if (entered_) co_->running = false;
    }
    Running(const Running &) = delete;
    Running &operator=(const Running &) = delete;
    explicit operator bool() const noexcept { return entered_; }

private:
    NativeCoroutine *co_;
    bool entered_;
};

PySendResult send_unguarded(PyObject *self, PyObject *arg, PyObject **result);

PySendResult co_am_send(PyObject *self, PyObject *arg, PyObject **result) {
    Running running(as_co(self));
    if (!running) {
        *result = nullptr;
        return PYGEN_ERROR;
    }
    return send_unguarded(self, arg, result);
}

PySendResult send_unguarded(PyObject *self, PyObject *arg, PyObject **result) {
    NativeCoroutine *co = as_co(self);
    if (co->finished) return raise_finished(result);
    if (co->awaiting == nullptr) {
        if (co->state == 0 && arg != Py_None) {
            PyErr_SetString(PyExc_TypeError,
                            "can't send non-None value to a just-started coroutine");
            *result = nullptr;
            return PYGEN_ERROR;
        }
        return advance(co, Py_None, result);
    }
    PyObject *r = nullptr;
    // Keep the iterator alive while it runs: the body may finish (and clear
    // it) only after this call returns.
    Ref it = Ref::borrow(co->awaiting);
    PySendResult status = PyIter_Send(it.get(), arg, &r);
    if (status == PYGEN_NEXT) {
        *result = r;
        return PYGEN_NEXT;
    }
    Py_CLEAR(co->awaiting);
    Ref value(r);
    return advance(co, value.get(), result);
}

// The Python-level face of a send result: a yielded value, or StopIteration.
PyObject *send_result(PySendResult status, PyObject *r);

// Resumes the body from `value` (NULL: the pending exception) and gives the
// Python-level result.
PyObject *resume(NativeCoroutine *co, PyObject *value) {
    PyObject *r = nullptr;
    const PySendResult status = advance(co, value, &r);
    return send_result(status, r);
}

PyObject *send_result(PySendResult status, PyObject *r) {
    if (status == PYGEN_NEXT || status == PYGEN_ERROR) return r;
    Ref value(r);
    if (value.get() == Py_None) {
        PyErr_SetNone(PyExc_StopIteration);
    } else {
        // Wrapped in an instance so that a tuple is not unpacked.
        Ref exc(PyObject_CallOneArg(PyExc_StopIteration, value.get()));
        if (exc) PyErr_SetObject(PyExc_StopIteration, exc.get());
    }
    return nullptr;
}

PyObject *co_send(PyObject *self, PyObject *arg) {
    PyObject *r = nullptr;
    PySendResult status = co_am_send(self, arg, &r);
    return send_result(status, r);
}

PyObject *co_iternext(PyObject *self) {
    PyObject *r = nullptr;
    PySendResult status = co_am_send(self, Py_None, &r);
    if (status == PYGEN_RETURN) {
        if (r == Py_None) {
            Py_DECREF(r);
            return nullptr;  // exhausted, no value
        }
        return send_result(status, r);
    }
    return r;
}

// Sets the exception described by throw()'s arguments.
bool set_thrown(PyObject *typ, PyObject *val, PyObject *tb) {
    if (tb == Py_None) tb = nullptr;
    if (tb != nullptr && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return false;
    }
    if (PyExceptionInstance_Check(typ)) {
        if (val != nullptr && val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return false;
        }
        if (tb != nullptr && PyException_SetTraceback(typ, tb) < 0) return false;
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(typ)), typ);
        return true;
    }
    if (PyExceptionClass_Check(typ)) {
        PyErr_SetObject(typ, val ? val : Py_None);
        if (tb != nullptr) {
            PyObject *t, *v, *old_tb;
            PyErr_Fetch(&t, &v, &old_tb);
            PyErr_NormalizeException(&t, &v, &old_tb);
            Py_XDECREF(old_tb);
            if (v && PyException_SetTraceback(v, tb) < 0) {
                Py_XDECREF(t);
                Py_XDECREF(v);
                return false;
            }
            PyErr_Restore(t, v, Py_NewRef(tb));
        }
        return true;
    }
    PyErr_Format(PyExc_TypeError,
                 "exceptions must be classes or instances deriving from BaseException, not %s",
                 Py_TYPE(typ)->tp_name);
    return false;
}

PyObject *throw_unguarded(PyObject *self, PyObject *const *args, Py_ssize_t nargs);

PyObject *co_throw(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    Running running(as_co(self));
    if (!running) return nullptr;
    return throw_unguarded(self, args, nargs);
}

PyObject *throw_unguarded(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        return nullptr;
    }
    PyObject *typ = args[0], *val = nargs > 1 ? args[1] : nullptr,
             *tb = nargs > 2 ? args[2] : nullptr;
    NativeCoroutine *co = as_co(self);
    if (co->finished || co->awaiting == nullptr) {
        // Raised at the point where the body stands: before its start, or
        // after its end, it simply propagates.
        if (!set_thrown(typ, val, tb)) return nullptr;
        if (co->finished || co->state == 0) {
            finish(co);
            return nullptr;
        }
        return resume(co, nullptr);
    }
    Ref it = Ref::borrow(co->awaiting);
    Ref thrower(PyObject_GetAttrString(it.get(), "throw"));
    if (!thrower) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
        PyErr_Clear();
        Py_CLEAR(co->awaiting);
        if (!set_thrown(typ, val, tb)) return nullptr;
        return resume(co, nullptr);
    }
    Ref yielded(PyObject_Vectorcall(thrower.get(), args, nargs, nullptr));
    if (yielded) return yielded.release();
    Py_CLEAR(co->awaiting);
    // The awaited iterator finished: a StopIteration carries its value.
    Ref value;
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyObject *v = nullptr;
        if (cpython::fetch_stop_iteration_value(&v) < 0) return resume(co, nullptr);
        value.reset(v);
    }
    return resume(co, value.get());
}

PyObject *co_close(PyObject *self, PyObject *) {
    NativeCoroutine *co = as_co(self);
    Running running(co);
    if (!running) return nullptr;
    Ref it = Ref::borrow(co->awaiting);
    finish(co);
    if (it) {
        Ref closer(PyObject_GetAttrString(it.get(), "close"));
        if (!closer) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
            PyErr_Clear();
        } else if (!Ref(PyObject_CallNoArgs(closer.get()))) {
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

PyObject *coro_await(PyObject *self) { return Py_NewRef(self); }

PyObject *co_repr(PyObject *self) {
    return PyUnicode_FromFormat("<coroutine object %U at %p>", as_co(self)->qualname, self);
}

PyObject *get_qualname(PyObject *self, void *) { return Py_NewRef(as_co(self)->qualname); }

int co_traverse(PyObject *self, visitproc visit, void *arg) {
    NativeCoroutine *co = as_co(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(co->qualname);
    Py_VISIT(co->awaiting);
    for (PyObject *s : co->slots) Py_VISIT(s);
    return 0;
}

int co_clear(PyObject *self) {
    NativeCoroutine *co = as_co(self);
    Py_CLEAR(co->qualname);
    Py_CLEAR(co->awaiting);
    for (PyObject *&s : co->slots) Py_CLEAR(s);
    return 0;
}

void co_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    co_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyMethodDef co_methods[] = {
    {"send", co_send, METH_O,
     "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(co_throw)), METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,traceback]])\n\nRaise exception in coroutine."},
    {"close", co_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef co_getset[] = {
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__name__", get_qualname, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot co_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(co_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(co_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(co_clear)},
    {Py_tp_repr, reinterpret_cast<void *>(co_repr)},
    {Py_tp_iter, reinterpret_cast<void *>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void *>(co_iternext)},
    {Py_tp_methods, co_methods},
    {Py_tp_getset, co_getset},
    {Py_am_await, reinterpret_cast<void *>(coro_await)},
    {Py_am_send, reinterpret_cast<void *>(co_am_send)},
    {0, nullptr},
};

PyType_Spec co_spec = {
    "velmor_platform.core.product_core.native_coroutine",
    sizeof(NativeCoroutine),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    co_slots,
};

}  // namespace

bool init_coroutine_type() {
    if (g_coroutine_type != nullptr) return true;
    g_coroutine_type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&co_spec));
    return g_coroutine_type != nullptr;
}

void add_traceback_entry(NativeCoroutine *co) {
    const char *name = "<native coroutine>";
    {
        KeepError pending;  // the name is read with no exception set
        if (const char *utf8 = PyUnicode_AsUTF8(co->qualname)) name = utf8;
    }
    cpython::add_traceback(name, "<velmor_platform.core.product_core>", 0);
}

PyObject *make_coroutine(Step step, PyObject *qualname) {
    Ref self(g_coroutine_type->tp_alloc(g_coroutine_type, 0));
    if (!self) return nullptr;
    NativeCoroutine *co = as_co(self.get());
    co->step = step;
    co->state = 0;
    co->finished = false;
    co->running = false;
    co->qualname = Py_NewRef(qualname);
    return self.release();
}

}  // namespace vp
