// Test and benchmark support: ModuleGlobals filled as an execution fills them before its body runs.
#pragma once

#include "vorn/asgi.h"

namespace vorn::testing {

// A module "vorn.asgi" in package "vorn" (not registered), its dict, builtins,
// the runtime module, the empty objects, the frame offset, the constants and
// the argument tuple. Returns 0, or -1 with the failing step's exception pending.
inline int prepare_module_state() noexcept {
    ModuleGlobals& g = module_globals;
    Ref module = Ref::steal(PyModule_New("vorn.asgi"));
    if (!module || PyModule_AddStringConstant(module.get(), "__package__", "vorn") < 0) return -1;
    g.frame_locals_offset = PyFrame_Type.tp_basicsize - static_cast<Py_ssize_t>(sizeof(PyObject*));
    g.empty_tuple = PyTuple_New(0);
    g.empty_bytes = PyBytes_FromStringAndSize("", 0);
    g.module_object = module.release();
    g.module_dict = Ref::borrow(PyModule_GetDict(g.module_object)).release();
    g.builtins_module = Ref::borrow(PyImport_AddModule("builtins")).release();
    g.runtime_module = Ref::borrow(PyImport_AddModule("native_runtime")).release();
    if (!g.empty_tuple || !g.empty_bytes || !g.module_dict || !g.builtins_module || !g.runtime_module) return -1;
    if (PyObject_SetAttrString(g.module_object, "__builtins__", g.builtins_module) < 0) return -1;
    if (init_constant_table() < 0 || build_argument_tuple() < 0) return -1;
    return 0;
}

}  // namespace vorn::testing
