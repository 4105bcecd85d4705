// The process-wide option native_runtime.native_line_in_traceback, read without disturbing the exception being reported.
#include "runtime.h"

namespace vorn {

namespace {

// The option's current value, borrowed, or null when it is absent or unreadable.
PyObject* read_native_line_option(PyObject* runtime_module, PyObject* name) noexcept {
    PyObject** dict_pointer = _PyObject_GetDictPtr(runtime_module);
    if (!dict_pointer || !*dict_pointer) {
        Ref value = get_attribute(runtime_module, name);
        if (!value) {
            PyErr_Clear();
            return nullptr;
        }
        return PyObject_Not(value.get()) ? Py_False : Py_True;
    }
    PyObject* dict = *dict_pointer;
    GlobalLookupCache& cache = module_globals.native_line_option_cache;
    if (compat::dict_version(dict) == cache.dict_version) return cache.cached_value;
    PyObject* value = _PyDict_GetItem_KnownHash(dict, name, compat::stored_hash(name));
    cache.dict_version = compat::dict_version(dict);
    cache.cached_value = value;
    return value;
}

bool native_line_shown(PyObject* runtime_module, PyObject* name) noexcept {
    PyObject* value = read_native_line_option(runtime_module, name);
    if (!value) {
        // Absent: switch it off explicitly, so every reader sees the default.
        PyObject_SetAttr(runtime_module, name, Py_False);
        return false;
    }
    if (value == Py_False) return false;
    if (value == Py_True) return true;
    return PyObject_Not(value) == 0;  // a truth test that raises counts as false
}

}  // namespace

int resolve_c_line(PyThreadState* thread_state, int native_line) noexcept {
    PyObject* runtime_module = module_globals.runtime_module;
    PyObject* name = module_globals.name_native_line_in_traceback;
    // Without the runtime module, or before the option's name exists (a failure
    // early in the first import), the option cannot be consulted: show the line.
    if (!runtime_module || !name) return native_line;

    compat::PendingException saved = compat::take_pending_exception(thread_state);
    const bool shown = native_line_shown(runtime_module, name);
    compat::put_back_pending_exception(thread_state, saved);
    return shown ? native_line : 0;
}

}  // namespace vorn
