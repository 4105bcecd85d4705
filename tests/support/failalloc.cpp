// Test-only extension module _failalloc: arm(n) makes the nth allocation from now on fail, once.
#include "failing_allocator.h"

namespace {

using vorn::testing::FailingAllocator;

PyObject* arm(PyObject*, PyObject* arg) noexcept {
    const long nth = PyLong_AsLong(arg);
    if (nth == -1 && PyErr_Occurred()) return nullptr;
    if (nth < 1) {
        PyErr_SetString(PyExc_ValueError, "arm() takes a positive allocation number");
        return nullptr;
    }
    FailingAllocator::arm(nth);
    Py_RETURN_NONE;
}

// Returns (allocations counted, whether the armed one failed).
PyObject* disarm(PyObject*, PyObject*) noexcept {
    const long counted = FailingAllocator::disarm();
    return Py_BuildValue("(lO)", counted, FailingAllocator::failed() ? Py_True : Py_False);
}

PyMethodDef methods[] = {
    {"arm", arm, METH_O, "arm(n): the nth allocation from now on fails, once."},
    {"disarm", disarm, METH_NOARGS, "disarm() -> (allocations counted, whether the armed one failed)"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = {PyModuleDef_HEAD_INIT, "_failalloc", "Allocation-failure injection for tests.",
                          -1, methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

// The one exported symbol; PyMODINIT_FUNC marks it visible only from 3.9 on.
#pragma GCC visibility push(default)
PyMODINIT_FUNC PyInit__failalloc() noexcept { return PyModule_Create(&definition); }
#pragma GCC visibility pop
