// Calls framed by the interpreter's recursion accounting, with direct routes for functions and no-argument built-ins.
#include "runtime.h"

namespace vorn {

namespace {

Ref null_result_check(PyObject* result) noexcept {
    if (!result && !PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
    return Ref::steal(result);
}

Ref call_python_function(PyObject* callable) noexcept {
    auto* function = reinterpret_cast<PyFunctionObject*>(callable);
    auto* code = reinterpret_cast<PyCodeObject*>(function->func_code);
    PyObject* globals = function->func_globals;
    PyObject* defaults = function->func_defaults;

    if (compat::enter_recursive_call(recursion_where)) return Ref();
    PyObject** default_items = defaults ? reinterpret_cast<PyTupleObject*>(defaults)->ob_item : nullptr;
    const Py_ssize_t default_count = defaults ? PyTuple_GET_SIZE(defaults) : 0;
    Ref result;
    if (code->co_kwonlyargcount == 0 && compat::has_simple_code_flags(code) &&
        code->co_argcount == default_count) {
        // No parameters, or every one has a default: the defaults are the arguments.
        // Without the frame route, the function's vectorcall is the direct way in:
        // fast_call_function would have to build a throw-away function from the code.
        result = compat::frame_route_available
                     ? fast_call_function(code, default_items, default_count, globals)
                     : Ref::steal(compat::call_function_positional(callable, default_items, default_count));
    } else {
        result = Ref::steal(PyEval_EvalCodeEx(reinterpret_cast<PyObject*>(code), globals, nullptr,
                                              nullptr, 0, nullptr, 0, default_items,
                                              static_cast<int>(default_count),
                                              function->func_kwdefaults, function->func_closure));
    }
    compat::leave_recursive_call();
    return result;
}

Ref call_builtin_no_args(PyObject* callable) noexcept {
    auto* builtin = reinterpret_cast<PyCFunctionObject*>(callable);
    PyCFunction meth = builtin->m_ml->ml_meth;
    PyObject* self = (builtin->m_ml->ml_flags & METH_STATIC) ? nullptr : builtin->m_self;

    if (compat::enter_recursive_call(recursion_where)) return Ref();
    PyObject* result = meth(self, nullptr);
    compat::leave_recursive_call();
    return null_result_check(result);
}

}  // namespace

Ref call_object(PyObject* callable, PyObject* args) noexcept {
    ternaryfunc slot = Py_TYPE(callable)->tp_call;
    if (!slot) return Ref::steal(PyObject_Call(callable, args, nullptr));
    if (compat::enter_recursive_call(recursion_where)) return Ref();
    PyObject* result = slot(callable, args, nullptr);
    compat::leave_recursive_call();
    return null_result_check(result);
}

Ref call_no_args(PyObject* callable) noexcept {
    // Routes go by exact type: a subclass may override what the shortcut skips.
    if (Py_TYPE(callable) == &PyFunction_Type) return call_python_function(callable);
    if (Py_TYPE(callable) == &PyCFunction_Type &&
        (reinterpret_cast<PyCFunctionObject*>(callable)->m_ml->ml_flags & METH_NOARGS))
        return call_builtin_no_args(callable);
    return call_object(callable, module_globals.empty_tuple);
}

Ref fast_call_function(PyCodeObject* code, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* globals) noexcept {
    if constexpr (!compat::frame_route_available)
        return Ref::steal(compat::eval_code_positional(code, globals, args, nargs));

    PyThreadState* ts = compat::unchecked_thread_state();
    PyFrameObject* frame = PyFrame_New(ts, code, globals, nullptr);
    if (!frame) return Ref();
    auto* slots = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(frame) +
                                               module_globals.frame_locals_offset);
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        Py_INCREF(args[i]);
        slots[i] = args[i];
    }
    Ref result = Ref::steal(PyEval_EvalFrameEx(frame, 0));
    // The frame's release is counted as a call level, as the interpreter does.
    compat::adjust_recursion_depth(ts, +1);
    Py_DECREF(frame);
    compat::adjust_recursion_depth(ts, -1);
    return result;
}

}  // namespace vorn
