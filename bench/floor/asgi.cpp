// Floor for the import benchmark: an empty multi-phase module whose exec makes only the body's two imports, relative then absolute.
//
// Built per interpreter into the build tree (never into vorn/) and copied by the
// benchmark into a throw-away package named vorn, so that `import vorn.asgi`
// pays the library load, the module object and the required import attempts,
// and nothing of the module's own work.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

// Relative to the package first; an ImportError there falls back to the absolute import.
PyObject* import_relative_then_absolute(PyObject* name, PyObject* globals, PyObject* from_list) noexcept {
    PyObject* module = PyImport_ImportModuleLevelObject(name, globals, nullptr, from_list, 1);
    if (module || !PyErr_ExceptionMatches(PyExc_ImportError)) return module;
    PyErr_Clear();
    return PyImport_ImportModuleLevelObject(name, globals, nullptr, from_list, 0);
}

int floor_exec(PyObject* module) noexcept {
    PyObject* globals = PyModule_GetDict(module);
    PyObject* os_name = PyUnicode_InternFromString("os");
    PyObject* django_name = PyUnicode_InternFromString("django.core.asgi");
    PyObject* factory_name = PyUnicode_InternFromString("get_asgi_application");
    PyObject* no_names = PyList_New(0);
    PyObject* factory_list = PyList_New(1);
    int status = -1;
    if (globals && os_name && django_name && factory_name && no_names && factory_list) {
        Py_INCREF(factory_name);
        PyList_SET_ITEM(factory_list, 0, factory_name);
        PyObject* os_module = import_relative_then_absolute(os_name, globals, no_names);
        PyObject* django_module = os_module ? import_relative_then_absolute(django_name, globals, factory_list)
                                            : nullptr;
        if (django_module) status = 0;
        Py_XDECREF(django_module);
        Py_XDECREF(os_module);
    }
    Py_XDECREF(factory_list);
    Py_XDECREF(no_names);
    Py_XDECREF(factory_name);
    Py_XDECREF(django_name);
    Py_XDECREF(os_name);
    return status;
}

PyModuleDef_Slot floor_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&floor_exec)},
    {0, nullptr},
};

PyModuleDef floor_definition = {
    PyModuleDef_HEAD_INIT, "asgi", nullptr, 0, nullptr, floor_slots, nullptr, nullptr, nullptr,
};

}  // namespace

#pragma GCC visibility push(default)
PyMODINIT_FUNC PyInit_asgi() noexcept { return PyModuleDef_Init(&floor_definition); }
#pragma GCC visibility pop
