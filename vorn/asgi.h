// Declarations of the vorn.asgi module's lifecycle, constants and body, for the module and its tests.
#pragma once

#include "runtime/runtime.h"

namespace vorn {

// One row of the constant table; a null target ends the table.
struct ConstantEntry {
    PyObject** target;
    const char* text;
    Py_ssize_t size;       // length of text plus its NUL
    const char* encoding;  // codec to decode text with, or null
    char unicode_flag;     // either kind flag makes a str; both clear make bytes
    char str_flag;
    char intern_flag;
};

// The row rule over any table; init_constant_table runs it over the module's.
int create_constants(const ConstantEntry* table) noexcept;
int init_constant_table() noexcept;
int build_argument_tuple() noexcept;
int run_body(ErrorPosition& position) noexcept;

int check_version_compat_with(int build_major, int build_minor, const char* running_version) noexcept;
int check_version_compat() noexcept;
int check_single_interpreter() noexcept;
int copy_spec_attribute(PyObject* spec, PyObject* module_dict, const char* attribute, const char* key,
                        bool store_none) noexcept;
PyObject* module_create(PyObject* spec, PyModuleDef* definition) noexcept;
int module_exec(PyObject* module) noexcept;

extern PyModuleDef module_definition;

}  // namespace vorn
