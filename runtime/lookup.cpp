// The builtins step of module-global name lookups (the cached lookup is inline in runtime.h), and attribute reads by name constant.
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

}  // namespace vorn
