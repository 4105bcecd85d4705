// Unit tests of the module's lifecycle: creation from import specs, execution, the version check and the constant table.
#include "embedded_python.h"
#include "tests/support/failing_allocator.h"

#include <dlfcn.h>

#include <cstring>
#include <fstream>
#include <ostream>
#include <string>
#include <type_traits>

extern "C" PyObject* PyInit_asgi() noexcept;

namespace {

// Set by a test to make this process look like another interpreter version.
const char* version_override = nullptr;
int version_calls = 0;

}  // namespace

// Interposes the interpreter's Py_GetVersion for the whole test program: the
// module's objects are linked in, so their call lands here. Without an override
// it answers what the interpreter would.
extern "C" const char* Py_GetVersion() {
    ++version_calls;
    if (version_override) return version_override;
    using Function = const char* (*)();
    static const auto real = reinterpret_cast<Function>(dlsym(RTLD_NEXT, "Py_GetVersion"));
    return real();
}

namespace vorn::testing {
namespace {

// The byte-wise comparison of ModuleGlobals below is exact only without padding.
static_assert(std::has_unique_object_representations_v<ModuleGlobals>);

bool same_state(const ModuleGlobals& a, const ModuleGlobals& b) {
    return std::memcmp(&a, &b, sizeof(ModuleGlobals)) == 0;
}

// Stand-in import specs and a small model of what creation makes of them.
constexpr const char* spec_helpers = R"(
import gc, sys, types, warnings

class Spec:
    """An import spec stand-in with the given attributes; reading a name in `raising` raises `error`."""
    def __init__(self, raising=(), error=LookupError, **attributes):
        self.__dict__.update(attributes)
        self._raising = raising
        self._error = error
    def __getattribute__(self, name):
        if name in object.__getattribute__(self, "__dict__").get("_raising", ()):
            raise object.__getattribute__(self, "_error")(name)
        return object.__getattribute__(self, name)

class Untouchable:
    """A spec that must not be read at all."""
    def __getattribute__(self, name):
        raise AssertionError("spec read: " + name)

class Loader:
    pass

# Fresh objects, not interned or shared, so their reference counts show who holds them.
NAME = "".join(["probe", ".module"])
LOADER = Loader()
ORIGIN = "".join(["/srv/vorn/", "asgi.so"])
LOCATIONS = ["/srv/vorn/asgi"]

COPIED = (("loader", "__loader__", True), ("origin", "__file__", True),
          ("parent", "__package__", True), ("submodule_search_locations", "__path__", False))

def predict(spec):
    """The exception type creation raises for `spec`, or the exact dict of the module it makes."""
    attributes = object.__getattribute__(spec, "__dict__")
    raising, error = attributes["_raising"], attributes["_error"]
    def read(attribute):
        if attribute in raising:
            if issubclass(error, AttributeError):
                return False, None
            raise error
        return attribute in attributes, attributes.get(attribute)
    try:
        present, name = read("name")
        if not present:
            return AttributeError
        expected = {"__name__": name, "__doc__": None, "__package__": None,
                    "__loader__": None, "__spec__": None}
        for attribute, key, store_none in COPIED:
            present, value = read(attribute)
            if present and (value is not None or store_none):
                expected[key] = value
    except Exception as raised:
        return type(raised)
    return expected

def mismatch(module, expected):
    """'' when the module's dict holds exactly the expected objects, else the differences."""
    actual = vars(module)
    problems = []
    if set(actual) != set(expected):
        problems.append("keys %s, expected %s" % (sorted(actual), sorted(expected)))
    for key in sorted(set(actual) & set(expected)):
        if actual[key] is not expected[key]:
            problems.append("%s is %r, expected the object %r" % (key, actual[key], expected[key]))
    return "; ".join(problems)

def modules_named(name):
    """Live module objects whose __name__ is that very object."""
    return len([m for m in gc.get_objects()
                if type(m) is types.ModuleType and vars(m).get("__name__") is name])
)";

class LifecycleTest : public PythonTest {
protected:
    void SetUp() override {
        PythonTest::SetUp();
        run(spec_helpers);
    }

    void TearDown() override { version_override = nullptr; }

    // A module made by module_create from a spec evaluated in __main__.
    Ref create(const std::string& spec_expression) {
        Ref spec = eval(spec_expression);
        if (!spec) return Ref();
        return Ref::steal(module_create(spec.get(), &module_definition));
    }

    // Makes `object` visible to Python code as `name`.
    void bind(const char* name, PyObject* object) { ASSERT_EQ(0, PyDict_SetItemString(main_dict_, name, object)); }

    std::string eval_text(const std::string& expression) {
        Ref result = eval(expression);
        if (!result) return "raised " + take_error();
        return text(result.get());
    }

    // Records every warning from now on; `warning_log()` lists them.
    void capture_warnings(const char* action = "always") {
        run(std::string("_catcher = warnings.catch_warnings(record=True)\n"
                        "log = _catcher.__enter__()\n"
                        "warnings.simplefilter('") +
            action + "')\n");
    }
    std::string warning_log() {
        return eval_text("'|'.join(w.category.__name__ + ': ' + str(w.message) for w in log)");
    }
};

// ---- creation ------------------------------------------------------------------

struct SpecCase {
    const char* label;
    const char* spec;  // Python expression, over the helpers above
};
void PrintTo(const SpecCase& c, std::ostream* out) { *out << c.label; }

class ModuleCreateTest : public LifecycleTest, public ::testing::WithParamInterface<SpecCase> {};

TEST_P(ModuleCreateTest, MakesWhatTheModelPredicts) {
    run(std::string("spec = ") + GetParam().spec + "\nexpected = predict(spec)\n");
    const char* watched[] = {"NAME", "LOADER", "ORIGIN", "LOCATIONS"};
    Py_ssize_t before[4];
    for (int i = 0; i < 4; ++i) before[i] = Py_REFCNT(main_name(watched[i]));

    Ref module = Ref::steal(module_create(main_name("spec"), &module_definition));
    PyObject* expected = main_name("expected");
    if (PyDict_Check(expected)) {
        ASSERT_TRUE(module) << take_error();
        EXPECT_EQ(1, Py_REFCNT(module.get())) << "the caller holds the only reference";
        bind("created", module.get());
        EXPECT_EQ("", eval_text("mismatch(created, expected)"));
        run("del created");
    } else {
        EXPECT_FALSE(module);
        ASSERT_TRUE(PyErr_Occurred());
        EXPECT_TRUE(PyErr_ExceptionMatches(expected)) << take_error();
        PyErr_Clear();
        EXPECT_EQ("0", eval_text("modules_named(NAME)")) << "the half-made module was not released";
    }
    module.reset();
    for (int i = 0; i < 4; ++i) EXPECT_EQ(before[i], Py_REFCNT(main_name(watched[i]))) << watched[i];
    EXPECT_EQ(compat::current_interpreter(), module_globals.first_interpreter);
    EXPECT_EQ(nullptr, module_globals.module_object);
}

INSTANTIATE_TEST_SUITE_P(
    Specs, ModuleCreateTest,
    ::testing::Values(
        SpecCase{"Extension", "Spec(name=NAME, loader=LOADER, origin=ORIGIN, parent='vorn', "
                              "submodule_search_locations=None)"},
        SpecCase{"Package", "Spec(name=NAME, loader=LOADER, origin=ORIGIN, parent='vorn', "
                            "submodule_search_locations=LOCATIONS)"},
        SpecCase{"NameOnly", "Spec(name=NAME)"},
        SpecCase{"AllNone", "Spec(name=NAME, loader=None, origin=None, parent=None, submodule_search_locations=None)"},
        SpecCase{"AttributeErrorCountsAsMissing",
                 "Spec(name=NAME, loader=LOADER, origin=ORIGIN, submodule_search_locations=LOCATIONS, "
                 "raising=('loader', 'submodule_search_locations'), error=AttributeError)"},
        SpecCase{"LoaderRaises", "Spec(name=NAME, loader=LOADER, raising=('loader',), error=LookupError)"},
        SpecCase{"OriginRaisesAfterLoaderStored",
                 "Spec(name=NAME, loader=LOADER, origin=ORIGIN, raising=('origin',), error=RuntimeError)"},
        SpecCase{"LocationsRaiseAfterThreeStored",
                 "Spec(name=NAME, loader=LOADER, origin=ORIGIN, parent='vorn', submodule_search_locations=LOCATIONS, "
                 "raising=('submodule_search_locations',), error=KeyError)"},
        SpecCase{"NameRaises", "Spec(name=NAME, loader=LOADER, raising=('name',), error=ValueError)"},
        SpecCase{"NoName", "Spec(loader=LOADER, origin=ORIGIN)"}),
    [](const ::testing::TestParamInfo<SpecCase>& info) { return std::string(info.param.label); });

TEST_F(LifecycleTest, CreationHandsBackTheHeldModuleWithoutReadingTheSpec) {
    Ref held = Ref::steal(PyModule_New("vorn.asgi"));
    module_globals.module_object = Ref::borrow(held.get()).release();
    const Py_ssize_t before = Py_REFCNT(held.get());

    Ref again = create("Untouchable()");
    ASSERT_TRUE(again) << take_error();
    EXPECT_EQ(held.get(), again.get());
    EXPECT_EQ(before + 1, Py_REFCNT(held.get()));
}

TEST_F(LifecycleTest, FirstCreationPinsTheInterpreterEvenWhenItFails) {
    PyInterpreterState* first = compat::current_interpreter();
    EXPECT_FALSE(create("Spec(loader=LOADER)"));
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_AttributeError)) << take_error();
    PyErr_Clear();
    ASSERT_EQ(first, module_globals.first_interpreter);

    Ref spec = eval("Untouchable()");
    PyThreadState* main_thread = PyThreadState_Get();
    PyThreadState* sub = Py_NewInterpreter();
    ASSERT_NE(nullptr, sub);
    PyObject* refused = module_create(spec.get(), &module_definition);
    const bool import_error = PyErr_ExceptionMatches(PyExc_ImportError);
    const std::string error = take_error();
    Py_EndInterpreter(sub);
    PyThreadState_Swap(main_thread);

    EXPECT_EQ(nullptr, refused);
    EXPECT_TRUE(import_error);
    EXPECT_EQ("ImportError: Interpreter change detected - this module can only be loaded into one interpreter "
              "per process.",
              error);
    EXPECT_EQ(first, module_globals.first_interpreter);
    Ref module = create("Spec(name=NAME)");
    EXPECT_TRUE(module) << "the first interpreter keeps creating modules: " << take_error();
}

// ---- execution -------------------------------------------------------------------

class ModuleExecTest : public LifecycleTest {
protected:
    void SetUp() override {
        LifecycleTest::SetUp();
        // The stand-in framework is on PYTHONPATH, so the body can run to its end.
        run("import django.core.asgi as framework, traceback\n");
    }
    Ref executed_module() {
        Ref module = create("Spec(name='vorn.asgi', loader=LOADER, origin=ORIGIN, parent='vorn')");
        if (!module) return module;
        if (module_exec(module.get()) != 0) {
            ADD_FAILURE() << "execution failed: " << take_error();
            return Ref();
        }
        return module;
    }
};

TEST_F(ModuleExecTest, ExecutingTheHeldModuleAgainRunsNothing) {
    Ref module = executed_module();
    ASSERT_TRUE(module);
    bind("module", module.get());
    run("before = dict(vars(module))\n");
    const ModuleGlobals state = module_globals;

    EXPECT_EQ(0, module_exec(module.get()));
    EXPECT_FALSE(PyErr_Occurred());
    EXPECT_TRUE(same_state(state, module_globals));
    EXPECT_EQ("1", eval_text("len(framework.calls)")) << "the factory ran again";
    EXPECT_EQ("True", eval_text("vars(module) == before and all(vars(module)[k] is v for k, v in before.items())"));
}

TEST_F(ModuleExecTest, ExecutingAnotherModuleAfterSuccessIsRefused) {
    Ref module = executed_module();
    ASSERT_TRUE(module);
    Ref other = Ref::steal(PyModule_New("vorn.asgi"));
    const ModuleGlobals state = module_globals;

    EXPECT_EQ(-1, module_exec(other.get()));
    EXPECT_EQ("RuntimeError: Module 'asgi' has already been imported. Re-initialisation is not supported.",
              take_error());
    EXPECT_TRUE(same_state(state, module_globals));
    bind("other", other.get());
    EXPECT_EQ("False", eval_text("'__builtins__' in vars(other) or 'application' in vars(other)"));
    EXPECT_EQ("1", eval_text("len(framework.calls)"));
    EXPECT_EQ(module.get(), PyDict_GetItemString(PyImport_GetModuleDict(), "vorn.asgi"));
}

struct RegistrationCase {
    const char* label;
    const char* module_name;   // the name the executed module bears
    const char* existing;      // Python expression already under "vorn.asgi", or null for none
};
void PrintTo(const RegistrationCase& c, std::ostream* out) { *out << c.label; }

class RegistrationTest : public ModuleExecTest, public ::testing::WithParamInterface<RegistrationCase> {};

TEST_P(RegistrationTest, RegistersOnlyWhenTheKeyIsAbsent) {
    const RegistrationCase& c = GetParam();
    run(std::string("sys.modules.pop('vorn.asgi', None)\nplaceholder = ") + (c.existing ? c.existing : "None") +
        "\nif placeholder is not None: sys.modules['vorn.asgi'] = placeholder\n");
    Ref module = create(std::string("Spec(name='") + c.module_name + "', parent='vorn')");
    ASSERT_TRUE(module) << take_error();
    ASSERT_EQ(0, module_exec(module.get())) << take_error();

    PyObject* registered = PyDict_GetItemString(PyImport_GetModuleDict(), "vorn.asgi");
    EXPECT_EQ(c.existing ? main_name("placeholder") : module.get(), registered);
    EXPECT_EQ(nullptr, PyDict_GetItemString(PyImport_GetModuleDict(), "elsewhere.module"))
        << "registered under its own name";
    bind("module", module.get());
    EXPECT_EQ("True", eval_text("module.__builtins__ is sys.modules['builtins'] and "
                                "type(sys.modules['native_runtime']) is types.ModuleType"));
}

INSTANTIATE_TEST_SUITE_P(
    Keys, RegistrationTest,
    ::testing::Values(RegistrationCase{"Absent", "vorn.asgi", nullptr},
                      RegistrationCase{"AbsentUnderAnotherName", "elsewhere.module", nullptr},
                      RegistrationCase{"HeldByAnotherObject", "vorn.asgi", "object()"},
                      RegistrationCase{"HeldByAnotherModuleOfTheSameName", "vorn.asgi", "types.ModuleType('vorn.asgi')"}),
    [](const ::testing::TestParamInfo<RegistrationCase>& info) { return std::string(info.param.label); });

// The native line of the registration's failure check, read from the module's source.
int registration_store_line() {
    std::ifstream source(checkout_root() + "/vorn/asgi.cpp");
    std::string line;
    bool in_registration = false;
    for (int number = 1; std::getline(source, line); ++number) {
        if (line.find("PyDict_SetItemString(modules") != std::string::npos) in_registration = true;
        if (in_registration && line.find("fail_at(") != std::string::npos) return number;
    }
    return 0;
}

// An import has always registered the module before it runs, so only an execution
// outside one reaches the registry store; no allocation in the body is ever failed here.
TEST_F(ModuleExecTest, FailedRegistrationStoreDropsTheModuleAndARetrySucceeds) {
    const int line = registration_store_line();
    ASSERT_GT(line, 0);
    const std::string site = "init vorn.asgi (vorn/asgi.cpp:" + std::to_string(line) + ")";
    run("runtime = sys.modules['native_runtime'] = types.ModuleType('native_runtime')\n"
        "runtime.native_line_in_traceback = True\n"
        "sys.modules.pop('vorn.asgi', None)\n");

    bool reached = false;
    for (long n = 1; n < 2000 && !reached; ++n) {
        Ref module = create("Spec(name='vorn.asgi', parent='vorn')");
        ASSERT_TRUE(module) << take_error();
        FailingAllocator::arm(n);
        const int result = module_exec(module.get());
        FailingAllocator::disarm();
        ASSERT_TRUE(FailingAllocator::failed()) << "N=" << n << ": the execution ran without reaching the store";
        if (result == 0) {
            // The failure was absorbed (PyDict_GetItemString's key): forget this success.
            PyObject* held = module_globals.module_object;
            module_globals.module_object = nullptr;
            Py_DECREF(held);
            ASSERT_EQ(0, PyDict_DelItemString(PyImport_GetModuleDict(), "vorn.asgi"));
            continue;
        }
        ASSERT_TRUE(PyErr_ExceptionMatches(PyExc_MemoryError)) << "N=" << n << ": " << take_error();
        EXPECT_EQ(nullptr, module_globals.module_object) << "N=" << n;
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        if (traceback) PyException_SetTraceback(value, traceback);
        bind("error", value);
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        const std::string entry = eval_text("traceback.extract_tb(error.__traceback__)[-1][2] "
                                            "if error.__traceback__ else ''");
        if (entry == site) {
            reached = true;
            EXPECT_EQ(nullptr, PyDict_GetItemString(PyImport_GetModuleDict(), "vorn.asgi"));
        }
        run("del error\n");
    }
    ASSERT_TRUE(reached) << "the registry store never failed";
    Ref module = create("Spec(name='vorn.asgi', parent='vorn')");
    ASSERT_EQ(0, module_exec(module.get())) << take_error();
    EXPECT_EQ(module.get(), PyDict_GetItemString(PyImport_GetModuleDict(), "vorn.asgi"));
    EXPECT_EQ("True", eval_text("isinstance(sys.modules['vorn.asgi'].application, framework.Application)"));
}

// ---- the version check -----------------------------------------------------------

struct VersionCase {
    const char* label;
    int build_major;
    int build_minor;
    const char* running;
    const char* warning;  // what is warned, "" for nothing
};
void PrintTo(const VersionCase& c, std::ostream* out) { *out << c.label; }

class VersionCheckTest : public LifecycleTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(VersionCheckTest, WarnsOnlyWhenCharactersZeroOrTwoDiffer) {
    const VersionCase& c = GetParam();
    capture_warnings();
    EXPECT_EQ(0, check_version_compat_with(c.build_major, c.build_minor, c.running)) << take_error();
    EXPECT_EQ(c.warning, warning_log());
}

INSTANTIATE_TEST_SUITE_P(
    Versions, VersionCheckTest,
    ::testing::Values(
        VersionCase{"Same", 3, 6, "3.6.15 (default, Dec 11 2026, 03:00:00) \n[GCC 12.2.0]", ""},
        VersionCase{"MinorAhead", 3, 6, "3.7.16",
                    "RuntimeWarning: compiletime version 3.6 of module 'vorn.asgi' does not match runtime version 3.7"},
        VersionCase{"TwoDigitMinorCut", 3, 6, "3.10.1",
                    "RuntimeWarning: compiletime version 3.6 of module 'vorn.asgi' does not match runtime version 3.1"},
        VersionCase{"MajorDiffers", 3, 6, "2.6.9",
                    "RuntimeWarning: compiletime version 3.6 of module 'vorn.asgi' does not match runtime version 2.6"},
        VersionCase{"CharacterOneIgnored", 3, 6, "3-6", ""},
        VersionCase{"FourthCharacterIgnored", 3, 6, "3.61", ""},
        VersionCase{"BothCutToThreePointOne", 3, 12, "3.11.7", ""},
        // Shorter than three characters: character 2 is the terminator, never stale stack.
        VersionCase{"ShortRunningText", 3, 6, "3",
                    "RuntimeWarning: compiletime version 3.6 of module 'vorn.asgi' does not match runtime version 3"}),
    [](const ::testing::TestParamInfo<VersionCase>& info) { return std::string(info.param.label); });

TEST_F(LifecycleTest, VersionWarningAsErrorFailsTheCheck) {
    capture_warnings("error");
    EXPECT_EQ(-1, check_version_compat_with(3, 6, "3.7.0"));
    ASSERT_TRUE(PyErr_ExceptionMatches(PyExc_RuntimeWarning));
    EXPECT_EQ("RuntimeWarning: compiletime version 3.6 of module 'vorn.asgi' does not match runtime version 3.7",
              take_error());
}

TEST_F(LifecycleTest, VersionCheckReadsTheRunningVersion) {
    capture_warnings();
    EXPECT_EQ(0, check_version_compat());
    EXPECT_EQ("", warning_log()) << "the module was built for this interpreter";

    // The build text is the running interpreter's first three characters; "3.0" differs from every one.
    version_override = "3.0.1 (override)";
    const int calls = version_calls;
    EXPECT_EQ(0, check_version_compat());
    EXPECT_EQ(calls + 1, version_calls) << "the module's call did not reach the override";
    EXPECT_EQ("RuntimeWarning: compiletime version " + eval_text("sys.version[:3]") +
                  " of module 'vorn.asgi' does not match runtime version 3.0",
              warning_log());
}

// The interpreter's own multi-phase path (PyModule_FromDefAndSpec, PyModule_ExecDef)
// over the definition that PyInit_asgi hands out, behind an importlib loader, so that
// `import vorn.asgi` runs this program's copy of the module.
PyObject* embedded_create(PyObject*, PyObject* spec) noexcept {
    return PyModule_FromDefAndSpec(reinterpret_cast<PyModuleDef*>(PyInit_asgi()), spec);
}

PyObject* embedded_exec(PyObject*, PyObject* module) noexcept {
    if (PyModule_ExecDef(module, reinterpret_cast<PyModuleDef*>(PyInit_asgi())) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef embedded_methods[] = {
    {"embedded_create", embedded_create, METH_O, nullptr},
    {"embedded_exec", embedded_exec, METH_O, nullptr},
};

constexpr const char* embedded_import = R"(
import importlib.machinery, traceback
import vorn

class EmbeddedLoader:
    def create_module(self, spec):
        return embedded_create(spec)
    def exec_module(self, module):
        embedded_exec(module)

class EmbeddedFinder:
    @staticmethod
    def find_spec(name, path=None, target=None):
        if name == "vorn.asgi":
            return importlib.machinery.ModuleSpec(name, EmbeddedLoader(), origin="embedded")
        return None

sys.meta_path.insert(0, EmbeddedFinder)

def try_import():
    """'ok', or the failure's type, text and the traceback entries in the module's Python file."""
    try:
        import vorn.asgi
    except BaseException as exc:
        entries = [e for e in traceback.extract_tb(exc.__traceback__) if e[0] == "vorn\\asgi.py"]
        return "%s: %s; module entries %r" % (type(exc).__name__, exc, entries)
    return "ok"
)";

TEST_F(ModuleExecTest, VersionMismatchAsErrorFailsTheImportAndKeepsNoModule) {
    for (PyMethodDef& method : embedded_methods) {
        Ref function = Ref::steal(PyCFunction_New(&method, nullptr));
        ASSERT_TRUE(function);
        bind(method.ml_name, function.get());
    }
    run(embedded_import);
    const std::string build_text = eval_text("sys.version[:3]");

    version_override = "3.0.1 (override)";
    capture_warnings("error");
    EXPECT_EQ("RuntimeWarning: compiletime version " + build_text +
                  " of module 'vorn.asgi' does not match runtime version 3.0; module entries []",
              eval_text("try_import()"));
    EXPECT_EQ(nullptr, module_globals.module_object);
    EXPECT_EQ("False", eval_text("'vorn.asgi' in sys.modules"));
    EXPECT_EQ("0", eval_text("len(framework.calls)"));

    // A new attempt on the right version makes a new module and runs it all.
    version_override = nullptr;
    run("_catcher.__exit__(None, None, None)\n");
    EXPECT_EQ("ok", eval_text("try_import()"));
    EXPECT_EQ(PyDict_GetItemString(PyImport_GetModuleDict(), "vorn.asgi"), module_globals.module_object);
    EXPECT_EQ("True", eval_text("isinstance(sys.modules['vorn.asgi'].application, framework.Application)"));
    EXPECT_EQ("1", eval_text("len(framework.calls)"));
}

// ---- constants ----------------------------------------------------------------------

struct NamedConstant {
    PyObject* ModuleGlobals::*field;
    const char* text;
};

constexpr NamedConstant interned_constants[] = {
    {&ModuleGlobals::name_DJANGO_SETTINGS_MODULE, "DJANGO_SETTINGS_MODULE"},
    {&ModuleGlobals::name_application, "application"},
    {&ModuleGlobals::name_native_line_in_traceback, "native_line_in_traceback"},
    {&ModuleGlobals::name_django_core_asgi, "django.core.asgi"},
    {&ModuleGlobals::name_environ, "environ"},
    {&ModuleGlobals::name_get_asgi_application, "get_asgi_application"},
    {&ModuleGlobals::name_os, "os"},
    {&ModuleGlobals::name_setdefault, "setdefault"},
    {&ModuleGlobals::name_test, "__test__"},
};

TEST_F(LifecycleTest, NameConstantsAreTheInternedObjectsWithTheirHash) {
    ASSERT_EQ(0, init_constant_table()) << take_error();
    for (const NamedConstant& constant : interned_constants) {
        PyObject* object = module_globals.*constant.field;
        ASSERT_NE(nullptr, object) << constant.text;
        EXPECT_NE(-1, compat::stored_hash(object)) << constant.text << ": hash not stored";
        bind("constant", object);
        EXPECT_EQ("True", eval_text(std::string("sys.intern('") + constant.text + "'[:]) is constant"))
            << constant.text;
    }
}

TEST_F(LifecycleTest, SettingsDefaultIsAPlainStr) {
    ASSERT_EQ(0, init_constant_table()) << take_error();
    PyObject* settings = module_globals.settings_module_default;
    ASSERT_NE(nullptr, settings);
    EXPECT_FALSE(PyUnicode_CHECK_INTERNED(settings));
    EXPECT_NE(-1, compat::stored_hash(settings));
    bind("settings", settings);
    EXPECT_EQ("True True False", eval_text("' '.join(map(str, (type(settings) is str, settings == 'vorn.settings', "
                                           "sys.intern('vorn.'.__add__('settings')) is settings)))"));
}

TEST_F(LifecycleTest, ArgumentTupleHoldsTheConstantsThemselves) {
    ASSERT_EQ(0, init_constant_table()) << take_error();
    ASSERT_EQ(0, build_argument_tuple()) << take_error();
    PyObject* args = module_globals.setdefault_args;
    ASSERT_TRUE(args && PyTuple_CheckExact(args));
    ASSERT_EQ(2, PyTuple_GET_SIZE(args));
    EXPECT_EQ(module_globals.name_DJANGO_SETTINGS_MODULE, PyTuple_GET_ITEM(args, 0));
    EXPECT_EQ(module_globals.settings_module_default, PyTuple_GET_ITEM(args, 1));
}

struct RowCase {
    const char* label;
    ConstantEntry row;     // target filled in by the test
    const char* expected;  // Python expression of the object the row creates
    bool interned;
};
void PrintTo(const RowCase& c, std::ostream* out) { *out << c.label; }

class ConstantRowTest : public LifecycleTest, public ::testing::WithParamInterface<RowCase> {};

TEST_P(ConstantRowTest, CreatesWhatTheRowFormatSays) {
    const RowCase& c = GetParam();
    PyObject* created = nullptr;
    ConstantEntry table[] = {c.row, {}};
    table[0].target = &created;

    ASSERT_EQ(0, create_constants(table)) << take_error();
    ASSERT_NE(nullptr, created);
    bind("created", created);
    EXPECT_EQ("True", eval_text(std::string("type(created) is type(") + c.expected + ") and created == " +
                                c.expected))
        << "created " << eval_text("repr(created)");
    if (PyUnicode_Check(created)) {
        EXPECT_EQ(c.interned, PyUnicode_CHECK_INTERNED(created) != 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ConstantRowTest,
    ::testing::Values(
        RowCase{"BytesKeepsEmbeddedNul", {nullptr, "ab\0c", 5, nullptr, 0, 0, 0}, "b'ab\\x00c'", false},
        RowCase{"BytesIgnoresEncodingAndIntern", {nullptr, "xyz", 4, "utf-16-le", 0, 0, 1}, "b'xyz'", false},
        RowCase{"Utf16Decoded", {nullptr, "h\0i\0", 5, "utf-16-le", 0, 1, 0}, "'hi'", false},
        RowCase{"UnicodeFlagLatin1Decoded", {nullptr, "\xe9t\xe9", 4, "latin-1", 1, 0, 0}, "'\\xe9t\\xe9'", false},
        RowCase{"PlainUtf8", {nullptr, "caf\xc3\xa9", 6, nullptr, 0, 1, 0}, "'caf\\xe9'", false},
        RowCase{"PlainUsesSizeNotNul", {nullptr, "a\0b", 4, nullptr, 0, 1, 0}, "'a\\x00b'", false},
        RowCase{"InternedReadsUpToNul", {nullptr, "abc\0def", 8, nullptr, 0, 1, 1}, "'abc'", true}),
    [](const ::testing::TestParamInfo<RowCase>& info) { return std::string(info.param.label); });

TEST_F(LifecycleTest, TableStartingWithTerminatorCreatesNothing) {
    PyObject* after = nullptr;
    // Only the target ends the table: the rest of the row would fail if it were created.
    const ConstantEntry table[] = {
        {nullptr, "\xff", 2, "utf-8", 0, 1, 0},
        {&after, "after", 6, nullptr, 0, 1, 1},
        {},
    };
    EXPECT_EQ(0, create_constants(table));
    EXPECT_FALSE(PyErr_Occurred());
    EXPECT_EQ(nullptr, after);
}

TEST_F(LifecycleTest, FailingRowStopsTheTableAndKeepsEarlierRows) {
    PyObject* first = nullptr;
    PyObject* second = nullptr;
    PyObject* failing = Py_None;  // not null, to show the failed result is stored
    PyObject* later = Py_Ellipsis;
    const ConstantEntry table[] = {
        {&first, "alpha", 6, nullptr, 0, 1, 1},
        {&second, "beta", 5, "ascii", 0, 1, 0},
        {&failing, "g\xffmma", 6, "utf-8", 0, 1, 0},
        {&later, "delta", 6, nullptr, 0, 1, 1},
        {},
    };
    EXPECT_EQ(-1, create_constants(table));
    ASSERT_TRUE(PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) << take_error();
    PyErr_Clear();
    ASSERT_TRUE(first && second);
    EXPECT_EQ("alpha beta", text(first) + " " + text(second));
    EXPECT_EQ(nullptr, failing);
    EXPECT_EQ(Py_Ellipsis, later);
}

}  // namespace
}  // namespace vorn::testing
