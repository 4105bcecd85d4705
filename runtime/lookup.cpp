// Module-global name lookups cached by the dict's version tag, and attribute reads by name constant.
#include "runtime.h"

namespace vorn {

Ref get_attribute(PyObject* object, PyObject* name) noexcept {
    getattrofunc slot = Py_TYPE(object)->tp_getattro;
    if (slot) return Ref::steal(slot(object, name));
    return Ref::steal(PyObject_GetAttr(object, name));
}

Ref lookup_builtin(PyObject* name) noexcept {
    Ref result = get_attribute(module_globals.builtins_module, name);
    // Whatever the read raised, the statement reports the name as undefined.
    if (!result) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return result;
}

Ref lookup_module_global(PyObject* name, GlobalLookupCache& cache) noexcept {
    PyObject* dict = module_globals.module_dict;
    if (compat::dict_version(dict) == cache.dict_version) {
        if (cache.cached_value) return Ref::borrow(cache.cached_value);
        return lookup_builtin(name);
    }
    PyObject* found = _PyDict_GetItem_KnownHash(dict, name, compat::stored_hash(name));
    // The probe may run __eq__ code that changes the dict: take the tag afterwards.
    cache.dict_version = compat::dict_version(dict);
    cache.cached_value = found;
    if (found) return Ref::borrow(found);
    if (PyErr_Occurred()) return Ref();
    return lookup_builtin(name);
}

}  // namespace vorn
