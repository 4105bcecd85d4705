// Imports relative to the module's package first, then absolute, and names taken from imported modules.
#include "runtime.h"

#include <cstring>

namespace vorn {

namespace {

// The module's qualified name, fixed at build time; its dot makes imports try
// the package first.
constexpr const char qualified_name[] = "vorn.asgi";

}  // namespace

Ref import_module(PyObject* name, PyObject* from_list) noexcept {
    // Declared in reverse of their release order: the list goes before the dict.
    Ref locals;
    Ref empty_list;
    if (!from_list) {
        empty_list = Ref::steal(PyList_New(0));
        if (!empty_list) return Ref();
        from_list = empty_list.get();
    }
    PyObject* globals = PyModule_GetDict(module_globals.module_object);
    if (!globals) return Ref();
    locals = Ref::steal(PyDict_New());
    if (!locals) return Ref();

    if (std::strchr(qualified_name, '.')) {
        Ref relative = Ref::steal(
            PyImport_ImportModuleLevelObject(name, globals, locals.get(), from_list, 1));
        if (relative) return relative;
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) return Ref();
        PyErr_Clear();
    }
    return Ref::steal(PyImport_ImportModuleLevelObject(name, globals, locals.get(), from_list, 0));
}

Ref import_name_from(PyObject* module, PyObject* name) noexcept {
    Ref value = get_attribute(module, name);
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError))
        PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    return value;
}

}  // namespace vorn
