// Floors for the import benchmark: an empty multi-phase module whose exec makes the body's two imports, relative then absolute.
//
// Built per interpreter into the build tree (never into vorn/) and copied by the
// benchmark into a throw-away package named vorn, so that `import vorn.asgi`
// pays the library load, the module object and the required import attempts,
// and nothing of the module's own work.
//
// Built with VORN_FLOOR_WHOLE_BODY, the exec goes on to do the rest of what the
// body must: os.environ.setdefault, the factory call and the two bindings, through
// the interpreter's plain API. Against that floor the module's remaining cost is its
// own machinery: creation from the spec, the constants, the version check, the
// lookup caches and the binding of the interpreter functions it uses.
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

#ifdef VORN_FLOOR_WHOLE_BODY
// os.environ.setdefault("DJANGO_SETTINGS_MODULE", "vorn.settings"), application =
// get_asgi_application(), __test__ = {}.
int finish_body(PyObject* globals, PyObject* os_module, PyObject* django_module) noexcept {
    PyObject* environ = PyObject_GetAttrString(os_module, "environ");
    PyObject* previous = environ ? PyObject_CallMethod(environ, "setdefault", "ss", "DJANGO_SETTINGS_MODULE",
                                                       "vorn.settings")
                                 : nullptr;
    PyObject* factory = previous ? PyObject_GetAttrString(django_module, "get_asgi_application") : nullptr;
    PyObject* application = factory ? PyObject_CallObject(factory, nullptr) : nullptr;
    PyObject* test = application ? PyDict_New() : nullptr;
    int status = test && PyDict_SetItemString(globals, "application", application) == 0 &&
                         PyDict_SetItemString(globals, "__test__", test) == 0
                     ? 0
                     : -1;
    Py_XDECREF(test);
    Py_XDECREF(application);
    Py_XDECREF(factory);
    Py_XDECREF(previous);
    Py_XDECREF(environ);
    return status;
}
#else
int finish_body(PyObject*, PyObject*, PyObject*) noexcept { return 0; }
#endif

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
        if (django_module) status = finish_body(globals, os_module, django_module);
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
