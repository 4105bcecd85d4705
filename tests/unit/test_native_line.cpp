// The native-line option: shown or hidden by its value, cached by the runtime module dict's tag, pending exception kept.
#include "embedded_python.h"

#include <cstring>
#include <ostream>
#include <vector>

namespace vorn::testing {
namespace {

constexpr int native_line = 321;

class NativeLineTest : public PythonTest {
protected:
    void SetUp() override {
        PythonTest::SetUp();
        prepare_module_state();
        ts_ = compat::unchecked_thread_state();
        run("class Raising:\n"
            "    tests = 0\n"
            "    def __bool__(self):\n"
            "        Raising.tests += 1\n"
            "        raise ZeroDivisionError('truth test')\n"
            "    def __repr__(self):\n"
            "        return 'Raising()'\n"
            "class Slotted:\n"
            "    __slots__ = ('native_line_in_traceback',)\n"
            "def slotted(*value):\n"
            "    instance = Slotted()\n"
            "    if value:\n"
            "        instance.native_line_in_traceback = value[0]\n"
            "    return instance\n");
    }

    // The pending exception's objects as the thread state holds them (type,
    // value and traceback; one object from 3.12 on); they stay pending.
    std::vector<PyObject*> pending() {
        compat::PendingException taken = compat::take_pending_exception(ts_);
        std::vector<PyObject*> objects(sizeof taken / sizeof(PyObject*));
        std::memcpy(objects.data(), &taken, sizeof taken);
        compat::put_back_pending_exception(ts_, taken);
        return objects;
    }

    static std::vector<Py_ssize_t> references(const std::vector<PyObject*>& objects) {
        std::vector<Py_ssize_t> counts;
        for (PyObject* object : objects) counts.push_back(object ? Py_REFCNT(object) : 0);
        return counts;
    }

    // resolve_c_line with an exception pending that has a traceback; checks
    // that the same objects are pending afterwards, with the same counts.
    int resolve() {
        Ref result = eval("1 / 0");
        EXPECT_FALSE(result);
        const std::vector<PyObject*> before = pending();
        for (PyObject* object : before) EXPECT_NE(nullptr, object);
        const std::vector<Py_ssize_t> counts = references(before);

        const int resolved = resolve_c_line(ts_, native_line);

        EXPECT_EQ(before, pending());
        EXPECT_EQ(counts, references(before));
        EXPECT_EQ("ZeroDivisionError: division by zero", take_error());
        return resolved;
    }

    static GlobalLookupCache& record() { return module_globals.native_line_option_cache; }
    static PyObject* runtime_dict() { return PyModule_GetDict(module_globals.runtime_module); }
    // The option as the runtime module's dict holds it, borrowed; null when absent.
    static PyObject* option() { return PyDict_GetItemString(runtime_dict(), "native_line_in_traceback"); }

    void set_option(const std::string& expression) {
        run("import native_runtime\nnative_runtime.native_line_in_traceback = " + expression);
    }

    long truth_tests() {
        Ref tests = eval("Raising.tests");
        return tests ? PyLong_AsLong(tests.get()) : -1;
    }

    PyThreadState* ts_ = nullptr;
};

TEST_F(NativeLineTest, WithoutRuntimeModuleTheLineIsShownAndNothingIsRead) {
    set_option("Raising()");
    module_globals.runtime_module = nullptr;  // as after a failed fetch; the reference is left behind
    EXPECT_EQ(native_line, resolve());
    EXPECT_EQ(0, truth_tests());
    EXPECT_EQ(0u, record().dict_version);
    EXPECT_EQ(nullptr, record().cached_value);
}

TEST_F(NativeLineTest, WithoutTheOptionNameTheLineIsShownAndNothingIsRead) {
    // The runtime module is held but the constants are not made yet.
    module_globals.name_native_line_in_traceback = nullptr;
    EXPECT_EQ(native_line, resolve());
    EXPECT_EQ(nullptr, option());  // not created either
    set_option("Raising()");
    EXPECT_EQ(native_line, resolve());
    EXPECT_EQ(0, truth_tests());
    EXPECT_EQ(0u, record().dict_version);
}

struct OptionValue {
    const char* name;
    const char* expression;  // null: the attribute is absent
    bool shown;
};

void PrintTo(const OptionValue& value, std::ostream* out) { *out << value.name; }

class OptionValueTest : public NativeLineTest, public ::testing::WithParamInterface<OptionValue> {};

TEST_P(OptionValueTest, DecidesWhetherTheLineIsShown) {
    const OptionValue& value = GetParam();
    if (value.expression) set_option(value.expression);
    PyObject* before = option();

    EXPECT_EQ(value.shown ? native_line : 0, resolve());

    if (value.expression) {
        EXPECT_EQ(before, option());  // left as it was
    } else {
        EXPECT_EQ(Py_False, option());  // created switched off
    }
    if (std::string(value.name) == "RaisingTruthTest") {
        EXPECT_EQ(1, truth_tests());
    }
}

INSTANTIATE_TEST_SUITE_P(
    NativeLine, OptionValueTest,
    ::testing::Values(OptionValue{"Absent", nullptr, false}, OptionValue{"True", "True", true},
                      OptionValue{"One", "1", true}, OptionValue{"NonEmptyStr", "'x'", true},
                      OptionValue{"False", "False", false}, OptionValue{"Zero", "0", false},
                      OptionValue{"EmptyStr", "''", false}, OptionValue{"None", "None", false},
                      OptionValue{"RaisingTruthTest", "Raising()", false}),
    [](const ::testing::TestParamInfo<OptionValue>& info) { return info.param.name; });

TEST_F(NativeLineTest, UnchangedDictUsesTheCachedValueWithoutProbing) {
    set_option("True");
    EXPECT_EQ(native_line, resolve());
    EXPECT_EQ(compat::dict_version(runtime_dict()), record().dict_version);
    EXPECT_EQ(Py_True, record().cached_value);

    // A probe would find True again; the cached value says otherwise.
    record().cached_value = Py_False;
    EXPECT_EQ(0, resolve());
    EXPECT_EQ(Py_False, record().cached_value);

    // Any change of the runtime module's attributes makes the next call probe.
    run("native_runtime.unrelated = 1");
    EXPECT_EQ(native_line, resolve());
    EXPECT_EQ(compat::dict_version(runtime_dict()), record().dict_version);
    EXPECT_EQ(Py_True, record().cached_value);
}

TEST_F(NativeLineTest, AbsentIsCachedAndTheCreatedFalseFoundNext) {
    EXPECT_EQ(0, resolve());
    // Cached as absent at the tag seen after the probe; creating the attribute moved the tag on.
    EXPECT_EQ(nullptr, record().cached_value);
    EXPECT_NE(0u, record().dict_version);
    EXPECT_NE(compat::dict_version(runtime_dict()), record().dict_version);

    EXPECT_EQ(0, resolve());
    EXPECT_EQ(Py_False, record().cached_value);
    EXPECT_EQ(compat::dict_version(runtime_dict()), record().dict_version);
}

// A runtime module without an instance dict: the attribute is read each time
// and only its truth value counts; nothing is cached.
struct DictlessRuntime {
    const char* name;
    const char* expression;
    bool shown;
    const char* afterwards;  // the attribute's value afterwards, as an expression; null: not readable
};

void PrintTo(const DictlessRuntime& value, std::ostream* out) { *out << value.name; }

class DictlessRuntimeTest : public NativeLineTest, public ::testing::WithParamInterface<DictlessRuntime> {};

TEST_P(DictlessRuntimeTest, ReadsTheAttributeAndCachesNothing) {
    const DictlessRuntime& value = GetParam();
    Ref runtime = eval(value.expression);
    ASSERT_TRUE(runtime) << take_error();
    module_globals.runtime_module = runtime.get();

    EXPECT_EQ(value.shown ? native_line : 0, resolve());
    EXPECT_EQ(value.shown ? native_line : 0, resolve());

    EXPECT_EQ(0u, record().dict_version);
    EXPECT_EQ(nullptr, record().cached_value);
    Ref attribute = Ref::steal(PyObject_GetAttrString(runtime.get(), "native_line_in_traceback"));
    if (value.afterwards) {
        ASSERT_TRUE(attribute) << take_error();
        EXPECT_EQ(value.afterwards, text(attribute.get()));
    } else {
        EXPECT_FALSE(attribute);
        PyErr_Clear();
    }
    // Read and tested at every call.
    if (std::string(value.name) == "SlotRaisingTruthTest") {
        EXPECT_EQ(2, truth_tests());
    }
    module_globals.runtime_module = nullptr;
}

INSTANTIATE_TEST_SUITE_P(
    NativeLine, DictlessRuntimeTest,
    ::testing::Values(DictlessRuntime{"SlotUnset", "slotted()", false, "False"},
                      DictlessRuntime{"SlotOne", "slotted(1)", true, "1"},
                      DictlessRuntime{"SlotNonEmptyStr", "slotted('on')", true, "on"},
                      DictlessRuntime{"SlotZero", "slotted(0)", false, "0"},
                      DictlessRuntime{"SlotRaisingTruthTest", "slotted(Raising())", false, "Raising()"},
                      DictlessRuntime{"PlainObject", "object()", false, nullptr}),
    [](const ::testing::TestParamInfo<DictlessRuntime>& info) { return info.param.name; });

}  // namespace
}  // namespace vorn::testing
