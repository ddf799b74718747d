// A native coroutine object driven by a small state machine.
//
// The object implements send, throw, close and __await__ (and am_send), so
// asyncio accepts it as a coroutine.  Its body is a `Step` function: called
// with the value of the last await (or with NULL and the exception set when
// that await raised), it either asks to await a new awaitable, returns a
// value, or fails.  The runtime drives the awaits: values yielded by an
// awaited iterator (futures) go up to the event loop unchanged, and what the
// loop sends or throws goes down to it.
#pragma once

#include "ref.hpp"

namespace vp {

inline constexpr int kCoroutineSlots = 6;

struct NativeCoroutine;

enum class StepResult { Await, Return, Error };

// `out` receives the awaitable (Await) or the return value (Return), owned.
using Step = StepResult (*)(NativeCoroutine *co, PyObject *value, Ref &out) noexcept;

struct NativeCoroutine {
    PyObject_HEAD
    Step step;
    int state;  // the body's own state; 0 before the first step
    bool finished;
    bool running;  // inside send/throw/close: re-entry is refused
    PyObject *qualname;
    PyObject *awaiting;                // iterator of the await in progress, or NULL
    PyObject *slots[kCoroutineSlots];  // the body's working values (owned)
};

bool init_coroutine_type();

// A new, unstarted coroutine running `step`.
PyObject *make_coroutine(Step step, PyObject *qualname);

// Adds an entry naming the coroutine to the pending exception's traceback,
// as the frame of a Python coroutine would be added where it raised.
void add_traceback_entry(NativeCoroutine *co);

// Replaces slot `i` (steals `value`).
inline void set_slot(NativeCoroutine *co, int i, PyObject *value) {
    Py_XSETREF(co->slots[i], value);
}

}  // namespace vp
