// Every difference between the CPython versions we build for, as tiny inline functions.
//
// CPython 3.6 is the reference: there each helper is the plain layout access or
// macro step the interpreter itself uses. Later versions moved or hid some of
// those details (recursion accounting became functions in 3.9, frames became
// internal in 3.11, the pending exception became one object in 3.12); there the
// helper is that version's nearest public equivalent with the same observable
// behaviour. Nothing outside this header tests PY_VERSION_HEX.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

#include <cstdint>

namespace vorn::compat {

inline constexpr bool py37 = PY_VERSION_HEX >= 0x03070000;
inline constexpr bool py39 = PY_VERSION_HEX >= 0x03090000;
inline constexpr bool py311 = PY_VERSION_HEX >= 0x030B0000;
inline constexpr bool py312 = PY_VERSION_HEX >= 0x030C0000;

// The frame route (a frame filled by hand and evaluated) needs the public frame
// layout, which 3.11 made internal.
inline constexpr bool frame_route_available = !py311;

// ---- thread state -------------------------------------------------------

inline PyThreadState* unchecked_thread_state() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked();
#else
    return _PyThreadState_UncheckedGet();
#endif
}

inline PyInterpreterState* current_interpreter() noexcept {
#if PY_VERSION_HEX >= 0x03090000
    return PyThreadState_GetInterpreter(PyThreadState_Get());
#else
    return PyThreadState_Get()->interp;
#endif
}

// ---- dicts and str --------------------------------------------------------

// The dict's version tag: bumped by the interpreter on every change, never 0.
inline std::uint64_t dict_version(PyObject* dict) noexcept {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#pragma GCC diagnostic pop
}

// The hash a str object caches once PyObject_Hash has run on it.
inline Py_hash_t stored_hash(PyObject* str) noexcept {
    return reinterpret_cast<PyASCIIObject*>(str)->hash;
}

// ---- recursion accounting ---------------------------------------------------

// Where the depth may drop below before `overflowed` is cleared (3.6's formula).
inline constexpr int recursion_low_water_mark(int limit) noexcept {
    return limit > 200 ? limit - 50 : 3 * (limit >> 2);
}

// Enter: 0 to go ahead; non-zero with the exception set and the depth as before.
inline int enter_recursive_call(const char* where) noexcept {
#if PY_VERSION_HEX >= 0x03090000
    return Py_EnterRecursiveCall(where);
#else
    PyThreadState* ts = PyThreadState_Get();
    if (++ts->recursion_depth > _Py_CheckRecursionLimit) return _Py_CheckRecursiveCall(where);
    return 0;
#endif
}

inline void leave_recursive_call() noexcept {
#if PY_VERSION_HEX >= 0x03090000
    Py_LeaveRecursiveCall();
#else
    PyThreadState* ts = PyThreadState_Get();
    const int mark = recursion_low_water_mark(_Py_CheckRecursionLimit);
    if (--ts->recursion_depth < mark) ts->overflowed = 0;
#endif
}

// The thread's `overflowed` flag, which the leave above clears below the
// low-water mark; null from 3.9 on, where the interpreter no longer uses it.
// Lets tests watch the mark.
inline char* recursion_overflowed_flag([[maybe_unused]] PyThreadState* ts) noexcept {
#if PY_VERSION_HEX < 0x03090000
    return &ts->overflowed;
#else
    return nullptr;
#endif
}

// The frame route raises the depth by one around the frame's release, with no
// limit test. Only reached where frame_route_available holds.
inline void adjust_recursion_depth([[maybe_unused]] PyThreadState* ts, [[maybe_unused]] int delta) noexcept {
#if PY_VERSION_HEX < 0x030B0000
    ts->recursion_depth += delta;
#endif
}

// The thread's recursion depth as the accounting above moves it, up to a
// constant offset from 3.11 on (where the interpreter counts down what remains).
// For comparisons: tests and checks that a call left the depth as it found it.
inline int recursion_depth(PyThreadState* ts) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return -ts->c_recursion_remaining;
#elif PY_VERSION_HEX >= 0x030B0000
    return -ts->recursion_remaining;
#else
    return ts->recursion_depth;
#endif
}

// ---- code objects and frames ---------------------------------------------

// co_flags of a function the frame route may run: optimized, new locals, and no
// cell or free variables (CO_NOFREE up to 3.10; counted fields from 3.11 on).
inline bool has_simple_code_flags(PyCodeObject* code) noexcept {
#if PY_VERSION_HEX >= 0x030B0000
    return code->co_flags == (CO_OPTIMIZED | CO_NEWLOCALS) && code->co_ncellvars == 0 &&
           code->co_nfreevars == 0;
#else
    return code->co_flags == (CO_OPTIMIZED | CO_NEWLOCALS | CO_NOFREE);
#endif
}

// A code object that exists only to name a place in a traceback. From 3.11 on
// the bytecode and line table must be valid, which PyCode_NewEmpty provides.
inline PyCodeObject* new_traceback_code(PyObject* file_name, PyObject* function_name, int first_line,
                                        PyObject* empty_bytes, PyObject* empty_tuple) noexcept {
#if PY_VERSION_HEX >= 0x030B0000
    (void)empty_bytes;
    (void)empty_tuple;
    const char* file = PyUnicode_AsUTF8(file_name);
    const char* function = file ? PyUnicode_AsUTF8(function_name) : nullptr;
    return function ? PyCode_NewEmpty(file, function, first_line) : nullptr;
#else
    return PyCode_New(0, 0, 0, 0, 0, empty_bytes, empty_tuple, empty_tuple, empty_tuple, empty_tuple,
                      empty_tuple, file_name, function_name, first_line, empty_bytes);
#endif
}

// From 3.11 on the frame's line comes from the code object's first line.
inline void set_frame_line([[maybe_unused]] PyFrameObject* frame, [[maybe_unused]] int line) noexcept {
#if PY_VERSION_HEX < 0x030B0000
    frame->f_lineno = line;
#endif
}

// Run a code object with positional arguments, where the frame route is not
// available.
inline PyObject* eval_code_positional(PyCodeObject* code, PyObject* globals, PyObject* const* args,
                                      Py_ssize_t nargs) noexcept {
    return PyEval_EvalCodeEx(reinterpret_cast<PyObject*>(code), globals, nullptr,
                             const_cast<PyObject**>(args), static_cast<int>(nargs), nullptr, 0,
                             nullptr, 0, nullptr, nullptr);
}

// A simple function called with positional arguments and no tuple, where the
// frame route is not available: the function's own vectorcall fills its
// parameters from the array as the frame route fills the frame's slots.
inline PyObject* call_function_positional(PyObject* function, PyObject* const* args,
                                          Py_ssize_t nargs) noexcept {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_Vectorcall(function, args, static_cast<size_t>(nargs), nullptr);
#else
    // Not reached before 3.11 (the frame route runs there); kept correct so every version builds it.
    return _PyObject_FastCall(function, const_cast<PyObject**>(args), nargs);
#endif
}

// ---- the pending exception ----------------------------------------------

// The thread's pending exception, taken out of the thread state with its
// references: three fields up to 3.11, one object from 3.12 on.
struct PendingException {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exception = nullptr;
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
#endif
};

inline PendingException take_pending_exception(PyThreadState* ts) noexcept {
    PendingException taken;
#if PY_VERSION_HEX >= 0x030C0000
    taken.exception = ts->current_exception;
    ts->current_exception = nullptr;
#else
    taken.type = ts->curexc_type;
    taken.value = ts->curexc_value;
    taken.traceback = ts->curexc_traceback;
    ts->curexc_type = ts->curexc_value = ts->curexc_traceback = nullptr;
#endif
    return taken;
}

// Puts `saved` back as the pending exception and releases whatever was pending
// in between (type, value, traceback, in that order).
inline void put_back_pending_exception(PyThreadState* ts, PendingException saved) noexcept {
    PendingException between = take_pending_exception(ts);
#if PY_VERSION_HEX >= 0x030C0000
    ts->current_exception = saved.exception;
    Py_XDECREF(between.exception);
#else
    ts->curexc_type = saved.type;
    ts->curexc_value = saved.value;
    ts->curexc_traceback = saved.traceback;
    Py_XDECREF(between.type);
    Py_XDECREF(between.value);
    Py_XDECREF(between.traceback);
#endif
}

}  // namespace vorn::compat
