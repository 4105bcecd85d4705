// vorn.asgi: the project's ASGI entry module; its import binds `application`, the framework's ASGI callable.
#include "vorn/asgi.h"

namespace vorn {

constinit ModuleGlobals module_globals{};
const char native_source_path[] = __FILE__;

// ---- constants ----------------------------------------------------------------

namespace {

template <Py_ssize_t size>
constexpr ConstantEntry interned_str(PyObject** target, const char (&text)[size]) noexcept {
    return {target, text, size, nullptr, 0, 1, 1};
}

template <Py_ssize_t size>
constexpr ConstantEntry plain_str(PyObject** target, const char (&text)[size]) noexcept {
    return {target, text, size, nullptr, 0, 1, 0};
}

constexpr ModuleGlobals& g = module_globals;

constexpr ConstantEntry constant_table[] = {
    interned_str(&g.name_DJANGO_SETTINGS_MODULE, "DJANGO_SETTINGS_MODULE"),
    interned_str(&g.name_application, "application"),
    interned_str(&g.name_native_line_in_traceback, "native_line_in_traceback"),
    interned_str(&g.name_django_core_asgi, "django.core.asgi"),
    interned_str(&g.name_environ, "environ"),
    interned_str(&g.name_get_asgi_application, "get_asgi_application"),
    interned_str(&g.name_os, "os"),
    plain_str(&g.settings_module_default, "vorn.settings"),
    interned_str(&g.name_setdefault, "setdefault"),
    interned_str(&g.name_test, "__test__"),
    {},
};

PyObject* create_constant(const ConstantEntry& row) noexcept {
    if (!row.unicode_flag && !row.str_flag) return PyBytes_FromStringAndSize(row.text, row.size - 1);
    if (row.intern_flag) return PyUnicode_InternFromString(row.text);
    if (row.encoding) return PyUnicode_Decode(row.text, row.size - 1, row.encoding, nullptr);
    return PyUnicode_FromStringAndSize(row.text, row.size - 1);
}

}  // namespace

int create_constants(const ConstantEntry* table) noexcept {
    for (const ConstantEntry* row = table; row->target; ++row) {
        // Stored before it is tested: a failed row leaves null behind.
        *row->target = create_constant(*row);
        if (!*row->target) return -1;
        // Fills the str's cached hash, which the lookups pass on instead of hashing.
        if (PyObject_Hash(*row->target) == -1) return -1;
    }
    return 0;
}

int init_constant_table() noexcept { return create_constants(constant_table); }

int build_argument_tuple() noexcept {
    g.setdefault_args = PyTuple_Pack(2, g.name_DJANGO_SETTINGS_MODULE, g.settings_module_default);
    return g.setdefault_args ? 0 : -1;
}

// ---- the body: the statements of vorn/asgi.py ---------------------------------

namespace {

// import os
int import_os(ErrorPosition& position) noexcept {
    Ref os = import_module(g.name_os, nullptr);
    if (!os) return fail_at(position, 10);
    if (PyDict_SetItem(g.module_dict, g.name_os, os.get()) < 0) return fail_at(position, 10);
    return 0;
}

// from django.core.asgi import get_asgi_application
int import_get_asgi_application(ErrorPosition& position) noexcept {
    Ref from_list = Ref::steal(PyList_New(1));
    if (!from_list) return fail_at(position, 12);
    PyList_SET_ITEM(from_list.get(), 0, Ref::borrow(g.name_get_asgi_application).release());
    Ref module = import_module(g.name_django_core_asgi, from_list.get());
    if (!module) return fail_at(position, 12);
    from_list.reset();
    Ref value = import_name_from(module.get(), g.name_get_asgi_application);
    if (!value) return fail_at(position, 12);
    if (PyDict_SetItem(g.module_dict, g.name_get_asgi_application, value.get()) < 0) return fail_at(position, 12);
    value.reset();  // the value goes before the module
    return 0;
}

// os.environ.setdefault("DJANGO_SETTINGS_MODULE", "vorn.settings")
int default_settings_module(ErrorPosition& position) noexcept {
    Ref os = lookup_module_global(g.name_os, g.os_lookup_cache);
    if (!os) return fail_at(position, 14);
    Ref environ = get_attribute(os.get(), g.name_environ);
    if (!environ) return fail_at(position, 14);
    os.reset();
    Ref setdefault = get_attribute(environ.get(), g.name_setdefault);
    if (!setdefault) return fail_at(position, 14);
    environ.reset();
    Ref result = call_object(setdefault.get(), g.setdefault_args);
    if (!result) return fail_at(position, 14);
    setdefault.reset();  // the method goes before the unused result
    return 0;
}

// application = get_asgi_application()
int bind_application(ErrorPosition& position) noexcept {
    Ref factory = lookup_module_global(g.name_get_asgi_application, g.get_asgi_application_lookup_cache);
    if (!factory) return fail_at(position, 16);
    Ref application = call_no_args(factory.get());
    if (!application) return fail_at(position, 16);
    factory.reset();
    if (PyDict_SetItem(g.module_dict, g.name_application, application.get()) < 0) return fail_at(position, 16);
    return 0;
}

// __test__ = {}
int bind_test(ErrorPosition& position) noexcept {
    Ref test = Ref::steal(PyDict_New());
    if (!test) return fail_at(position, 1);
    if (PyDict_SetItem(g.module_dict, g.name_test, test.get()) < 0) return fail_at(position, 1);
    return 0;
}

}  // namespace

int run_body(ErrorPosition& position) noexcept {
    if (import_os(position) < 0) return -1;
    if (import_get_asgi_application(position) < 0) return -1;
    if (default_settings_module(position) < 0) return -1;
    if (bind_application(position) < 0) return -1;
    return bind_test(position);
}

// ---- lifecycle ------------------------------------------------------------------

int check_version_compat_with(int build_major, int build_minor, const char* running_version) noexcept {
    // Zeroed, so a version text shorter than three characters compares its
    // terminator rather than whatever the stack held.
    char build[4] = {};
    char running[4] = {};
    PyOS_snprintf(build, sizeof build, "%d.%d", build_major, build_minor);
    // Only the first three characters of the running version fit, and only
    // characters 0 and 2 are compared.
    PyOS_snprintf(running, sizeof running, "%s", running_version);
    if (build[0] == running[0] && build[2] == running[2]) return 0;
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compiletime version %s of module '%.100s' does not match runtime version %s", build,
                  "vorn.asgi", running);
    return PyErr_WarnEx(nullptr, message, 1);
}

int check_version_compat() noexcept {
    return check_version_compat_with(PY_MAJOR_VERSION, PY_MINOR_VERSION, Py_GetVersion());
}

int check_single_interpreter() noexcept {
    PyInterpreterState* current = compat::current_interpreter();
    if (!g.first_interpreter) {
        g.first_interpreter = current;
        return 0;
    }
    if (g.first_interpreter == current) return 0;
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    return -1;
}

int copy_spec_attribute(PyObject* spec, PyObject* module_dict, const char* attribute, const char* key,
                        bool store_none) noexcept {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, attribute));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (!store_none && value.get() == Py_None) return 0;
    return PyDict_SetItemString(module_dict, key, value.get());
}

PyObject* module_create(PyObject* spec, PyModuleDef*) noexcept {
    if (check_single_interpreter() < 0) return nullptr;
    if (g.module_object) return Ref::borrow(g.module_object).release();

    Ref module;
    {
        Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
        if (!name) return nullptr;
        module = Ref::steal(PyModule_NewObject(name.get()));
    }
    if (!module) return nullptr;
    PyObject* module_dict = PyModule_GetDict(module.get());
    if (!module_dict) return nullptr;

    struct Copied {
        const char* attribute;
        const char* key;
        bool store_none;
    };
    static constexpr Copied copied[] = {
        {"loader", "__loader__", true},
        {"origin", "__file__", true},
        {"parent", "__package__", true},
        {"submodule_search_locations", "__path__", false},
    };
    for (const Copied& row : copied)
        if (copy_spec_attribute(spec, module_dict, row.attribute, row.key, row.store_none) < 0) return nullptr;
    return module.release();
}

namespace {

// Steps 2 to 14 of an execution; on failure `position` says where.
int run_execution(PyObject* module, ErrorPosition& position) noexcept {
    if (check_version_compat() < 0) return fail_at(position, 1);

    g.frame_locals_offset = PyFrame_Type.tp_basicsize - static_cast<Py_ssize_t>(sizeof(PyObject*));
    g.empty_tuple = PyTuple_New(0);
    if (!g.empty_tuple) return fail_at(position, 1);
    g.empty_bytes = PyBytes_FromStringAndSize("", 0);
    if (!g.empty_bytes) return fail_at(position, 1);

    // From here on the error exit drops this reference.
    g.module_object = Ref::borrow(module).release();
    g.module_dict = PyModule_GetDict(module);
    if (!g.module_dict) return fail_at(position, 1);
    Py_INCREF(g.module_dict);
    g.builtins_module = PyImport_AddModule("builtins");
    if (!g.builtins_module) return fail_at(position, 1);
    Py_INCREF(g.builtins_module);
    g.runtime_module = PyImport_AddModule("native_runtime");
    if (!g.runtime_module) return fail_at(position, 1);
    Py_INCREF(g.runtime_module);

    if (PyObject_SetAttrString(module, "__builtins__", g.builtins_module) < 0) return fail_at(position, 1);
    if (init_constant_table() < 0) return fail_at(position, 1);

    PyObject* modules = PyImport_GetModuleDict();
    if (!modules) return fail_at(position, 1);
    // Whatever already stands under the key (normally this module) is left alone.
    const bool registered = PyDict_GetItemString(modules, "vorn.asgi") != nullptr;
    if (!registered && PyDict_SetItemString(modules, "vorn.asgi", g.module_object) < 0) return fail_at(position, 1);

    if (build_argument_tuple() < 0) return fail_at(position, 1);

    return run_body(position);
}

int error_exit(const ErrorPosition& position) noexcept {
    if (g.module_object) {
        if (g.module_dict) add_traceback_entry(position.native_line, position.python_line, position.file_name);
        // Cleared before the release, which may free the module.
        PyObject* module = g.module_object;
        g.module_object = nullptr;
        Py_DECREF(module);
    } else if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_ImportError, "init vorn.asgi");
    }
    return -1;
}

}  // namespace

int module_exec(PyObject* module) noexcept {
    if (g.module_object == module) return 0;
    if (g.module_object) {
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'asgi' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    ErrorPosition position;
    if (run_execution(module, position) == 0) return 0;
    return error_exit(position);
}

// ---- definition and entry point -------------------------------------------------

namespace {

PyMethodDef module_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(&module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(&module_exec)},
    {0, nullptr},
};

}  // namespace

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "asgi",
    "\n"
    "ASGI config for vorn project.\n"
    "\n"
    "It exposes the ASGI callable as a module-level variable named ``application``.\n"
    "\n"
    "For more information on this file, see\n"
    "https://docs.djangoproject.com/en/3.0/howto/deployment/asgi/\n",
    0,
    module_methods,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace vorn

// The one exported symbol; PyMODINIT_FUNC marks it visible only from 3.9 on.
#pragma GCC visibility push(default)
PyMODINIT_FUNC PyInit_asgi() noexcept { return PyModuleDef_Init(&vorn::module_definition); }
#pragma GCC visibility pop
