// Floors for the import benchmark: an empty multi-phase module whose exec makes the body's two imports, relative then absolute.
//
// Built per interpreter into the build tree (never into vorn/) and copied by the
// benchmark into a throw-away package named vorn, so that `import vorn.asgi`
// pays the library load, the module object and the required import attempts,
// and nothing of the module's own work.
//
// Built with VORN_FLOOR_REQUIRED_WORK, it becomes the work floor: it goes on to do
// everything else an import of vorn.asgi is required to do, each step through the
// interpreter's plain API and with nothing cached: the module made from its import spec
// with its four attributes, the version check, the builtins and runtime modules,
// `__builtins__`, the name constants interned and hashed, the registration in
// sys.modules, the argument tuple, then os.environ.setdefault, the factory call
// and the two bindings. Against that floor the module's remaining cost is its own
// machinery: the lookup caches, the call routes and the binding of the interpreter
// functions its error paths use.
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

#ifdef VORN_FLOOR_REQUIRED_WORK
// What an execution keeps for the rest of the process; never released, as the module's own state.
struct Kept {
    PyObject* module;
    PyObject* globals;
    PyObject* empty_tuple;
    PyObject* empty_bytes;
    PyObject* builtins_module;
    PyObject* runtime_module;
    PyObject* constants[10];
    PyObject* setdefault_args;
} kept;

PyObject* create_from_spec(PyObject* spec, PyModuleDef*) noexcept {
    PyObject* name = PyObject_GetAttrString(spec, "name");
    PyObject* module = name ? PyModule_NewObject(name) : nullptr;
    Py_XDECREF(name);
    PyObject* globals = module ? PyModule_GetDict(module) : nullptr;
    if (!globals) {
        Py_XDECREF(module);
        return nullptr;
    }
    static const struct {
        const char* attribute;
        const char* key;
        bool store_none;
    } copied[] = {{"loader", "__loader__", true}, {"origin", "__file__", true}, {"parent", "__package__", true},
                  {"submodule_search_locations", "__path__", false}};
    for (const auto& row : copied) {
        PyObject* value = PyObject_GetAttrString(spec, row.attribute);
        if (!value) PyErr_Clear();
        bool skipped = !value || (value == Py_None && !row.store_none);
        int status = skipped ? 0 : PyDict_SetItemString(globals, row.key, value);
        Py_XDECREF(value);
        if (status < 0) {
            Py_DECREF(module);
            return nullptr;
        }
    }
    return module;
}

// Everything the execution does before the body; failures only matter as failures.
int prepare(PyObject* module, PyObject* globals) noexcept {
    char build[4] = {};
    char running[4] = {};
    PyOS_snprintf(build, sizeof build, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
    PyOS_snprintf(running, sizeof running, "%s", Py_GetVersion());
    if ((build[0] != running[0] || build[2] != running[2]) && PyErr_WarnEx(nullptr, "version mismatch", 1) < 0)
        return -1;
    kept.empty_tuple = PyTuple_New(0);
    kept.empty_bytes = PyBytes_FromStringAndSize("", 0);
    kept.module = module;
    kept.globals = globals;
    Py_INCREF(module);
    Py_INCREF(globals);
    kept.builtins_module = PyImport_AddModule("builtins");
    kept.runtime_module = PyImport_AddModule("native_runtime");
    if (!kept.empty_tuple || !kept.empty_bytes || !kept.builtins_module || !kept.runtime_module) return -1;
    Py_INCREF(kept.builtins_module);
    Py_INCREF(kept.runtime_module);
    if (PyObject_SetAttrString(module, "__builtins__", kept.builtins_module) < 0) return -1;
    static const char* const names[] = {"DJANGO_SETTINGS_MODULE", "application", "native_line_in_traceback",
                                        "django.core.asgi", "environ", "get_asgi_application", "os",
                                        "setdefault", "__test__"};
    int count = 0;
    for (const char* name : names) {
        PyObject* constant = kept.constants[count++] = PyUnicode_InternFromString(name);
        if (!constant || PyObject_Hash(constant) == -1) return -1;
    }
    PyObject* settings = kept.constants[count] = PyUnicode_FromStringAndSize("vorn.settings", 13);
    if (!settings || PyObject_Hash(settings) == -1) return -1;
    PyObject* modules = PyImport_GetModuleDict();
    if (!PyDict_GetItemString(modules, "vorn.asgi") && PyDict_SetItemString(modules, "vorn.asgi", module) < 0)
        return -1;
    kept.setdefault_args = PyTuple_Pack(2, kept.constants[0], settings);
    return kept.setdefault_args ? 0 : -1;
}

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
int prepare(PyObject*, PyObject*) noexcept { return 0; }
int finish_body(PyObject*, PyObject*, PyObject*) noexcept { return 0; }
#endif

int floor_exec(PyObject* module) noexcept {
    PyObject* globals = PyModule_GetDict(module);
    if (!globals || prepare(module, globals) < 0) return -1;
    PyObject* os_name = PyUnicode_InternFromString("os");
    PyObject* django_name = PyUnicode_InternFromString("django.core.asgi");
    PyObject* factory_name = PyUnicode_InternFromString("get_asgi_application");
    PyObject* no_names = PyList_New(0);
    PyObject* factory_list = PyList_New(1);
    int status = -1;
    if (os_name && django_name && factory_name && no_names && factory_list) {
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
#ifdef VORN_FLOOR_REQUIRED_WORK
    {Py_mod_create, reinterpret_cast<void*>(&create_from_spec)},
#endif
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
