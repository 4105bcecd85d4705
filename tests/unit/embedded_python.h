// Test support: the embedded interpreter, module state prepared as an execution would, and small Python helpers.
#pragma once

#include "tests/support/module_state.h"

#include <gtest/gtest.h>

#include <string>

namespace vorn::testing {

// The checkout root, from this header's own path.
inline std::string checkout_root() {
    const std::string file = __FILE__;
    return file.substr(0, file.rfind("/tests/unit/"));
}

// Each test runs in its own process (gtest_discover_tests), so the interpreter
// and ModuleGlobals start fresh for every test.
class PythonTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!Py_IsInitialized()) Py_InitializeEx(0);
        main_dict_ = PyModule_GetDict(PyImport_AddModule("__main__"));
        // The package vorn and the stand-in framework come from the checkout,
        // whatever the environment of the test holds.
        const std::string root = checkout_root();
        run("import sys\nsys.dont_write_bytecode = True\nfor entry in ['" + root + "/tests/fixtures/framework', '" +
            root + "']:\n    if entry not in sys.path: sys.path.insert(0, entry)\n");
    }

    // Runs statements in __main__; fails the test with the traceback on error.
    void run(const std::string& code) {
        Ref result = Ref::steal(PyRun_String(code.c_str(), Py_file_input, main_dict_, main_dict_));
        if (!result) {
            PyErr_Print();
            FAIL() << "Python code raised:\n" << code;
        }
    }

    // Evaluates an expression in __main__; a null Ref with the exception pending on error.
    Ref eval(const std::string& expression) {
        return Ref::steal(PyRun_String(expression.c_str(), Py_eval_input, main_dict_, main_dict_));
    }

    // A borrowed reference to a name bound in __main__, or null.
    PyObject* main_name(const char* name) { return PyDict_GetItemString(main_dict_, name); }

    // str() of an object as UTF-8.
    static std::string text(PyObject* object) {
        Ref str = Ref::steal(PyObject_Str(object));
        if (!str) {
            PyErr_Clear();
            return "<str() failed>";
        }
        const char* utf8 = PyUnicode_AsUTF8(str.get());
        return utf8 ? utf8 : "<not UTF-8>";
    }

    // Type name and text of the pending exception, which is cleared. Empty when none.
    static std::string take_error() {
        if (!PyErr_Occurred()) return "";
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        std::string description = reinterpret_cast<PyTypeObject*>(type)->tp_name;
        description += ": " + text(value);
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return description;
    }

    // Fills ModuleGlobals as an execution does before its body runs.
    void prepare_module_state() { ASSERT_EQ(0, vorn::testing::prepare_module_state()) << take_error(); }

    // A fresh interned, hashed str, as the constants are.
    static Ref interned_name(const char* text) {
        Ref name = Ref::steal(PyUnicode_InternFromString(text));
        if (name) PyObject_Hash(name.get());
        return name;
    }

    PyObject* main_dict_ = nullptr;
};

}  // namespace vorn::testing
