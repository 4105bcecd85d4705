// Relative-first imports with the absolute fallback, from-lists, and names taken from imported modules.
#include "embedded_python.h"

#include <ostream>
#include <string>

namespace vorn::testing {
namespace {

// The module state of an execution, with the import fixtures (packages that
// carry their own `os` and `django.core.asgi`) on sys.path besides the checkout
// and the stand-in framework.
// Pointing the module's __package__ at a fixture makes the relative attempt
// find it.
class ImportTest : public PythonTest {
protected:
    void SetUp() override {
        PythonTest::SetUp();
        prepare_module_state();
        run("import os, sys\nsys.path.insert(0, '" + checkout_root() + "/tests/fixtures/imports')\n");
    }

    void set_package(const char* package) {
        Ref value = Ref::steal(PyUnicode_FromString(package));
        ASSERT_EQ(0, PyDict_SetItemString(module_globals.module_dict, "__package__", value.get()));
    }

    // A borrowed reference to sys.modules[name], or null.
    static PyObject* loaded(const char* name) { return PyDict_GetItemString(PyImport_GetModuleDict(), name); }
};

enum class FromList { None, Empty, Factory };

struct ImportCase {
    const char* label;
    const char* package;  // __package__ of the module, which the relative attempt resolves against
    const char* name;
    FromList from_list;
    const char* setup;     // Python statements run first, or null
    const char* expected;  // "sys.modules[...]" key of the result, or the error
    bool error;
};

// Names the case in test listings.
void PrintTo(const ImportCase& c, std::ostream* out) { *out << c.label; }

class ImportModuleTest : public ImportTest, public ::testing::WithParamInterface<ImportCase> {};

TEST_P(ImportModuleTest, ResolvesRelativeFirst) {
    const ImportCase& c = GetParam();
    set_package(c.package);
    if (c.setup) run(c.setup);
    Ref name = interned_name(c.name);
    Ref from_list;
    if (c.from_list != FromList::None) from_list = Ref::steal(PyList_New(0));
    if (c.from_list == FromList::Factory) {
        ASSERT_EQ(0, PyList_Append(from_list.get(), module_globals.name_get_asgi_application));
    }
    const Py_ssize_t from_list_refs = from_list ? Py_REFCNT(from_list.get()) : 0;

    Ref module = import_module(name.get(), from_list.get());
    if (c.error) {
        EXPECT_FALSE(module);
        EXPECT_EQ(c.expected, take_error());
    } else {
        ASSERT_TRUE(module) << take_error();
        EXPECT_EQ(loaded(c.expected), module.get()) << "got " << text(module.get());
    }
    // The caller's from-list stays the caller's.
    if (from_list) {
        EXPECT_EQ(from_list_refs, Py_REFCNT(from_list.get()));
    }
}

constexpr const char without_framework[] = R"(
sys.path[:] = [p for p in sys.path if not os.path.isdir(os.path.join(p, 'django'))]
for key in [key for key in sys.modules if key == 'django' or key.startswith('django.')]:
    del sys.modules[key]
)";

INSTANTIATE_TEST_SUITE_P(
    Imports, ImportModuleTest,
    ::testing::Values(
        // Nothing named os inside vorn: the relative attempt's not-found error
        // gives way to the standard module.
        ImportCase{"StandardOs", "vorn", "os", FromList::None, nullptr, "os", false},
        ImportCase{"PackageOsWins", "pkg_with_os", "os", FromList::None, nullptr, "pkg_with_os.os", false},
        ImportCase{"PackageOsWinsEmptyList", "pkg_with_os", "os", FromList::Empty, nullptr, "pkg_with_os.os",
                   false},
        ImportCase{"BrokenPackageOsEndsImport", "pkg_with_broken_os", "os", FromList::None, nullptr,
                   "ValueError: os inside pkg_with_broken_os failed", true},
        // Without a from-list the top package of the dotted name comes back.
        ImportCase{"FrameworkTopPackage", "vorn", "django.core.asgi", FromList::None, nullptr, "django", false},
        ImportCase{"FrameworkTopPackageEmptyList", "vorn", "django.core.asgi", FromList::Empty, nullptr, "django",
                   false},
        ImportCase{"FrameworkSubmodule", "vorn", "django.core.asgi", FromList::Factory, nullptr,
                   "django.core.asgi", false},
        ImportCase{"PackageFrameworkWins", "pkg_with_os", "django.core.asgi", FromList::Factory, nullptr,
                   "pkg_with_os.django.core.asgi", false},
        ImportCase{"PackageFrameworkTopPackage", "pkg_with_os", "django.core.asgi", FromList::None, nullptr,
                   "pkg_with_os.django", false},
        // The absolute attempt's error, not the relative one's ('vorn.django').
        ImportCase{"MissingFramework", "vorn", "django.core.asgi", FromList::Factory, without_framework,
                   "ModuleNotFoundError: No module named 'django'", true},
        ImportCase{"MissingFrameworkNoList", "vorn", "django.core.asgi", FromList::None, without_framework,
                   "ModuleNotFoundError: No module named 'django'", true}),
    [](const auto& info) { return std::string(info.param.label); });

// The interpreter's import function is called directly: a replaced
// builtins.__import__ is neither consulted nor able to change the result.
// (What the imports reach is loaded first: loading source may use it.)
TEST_F(ImportTest, IgnoresReplacedBuiltinImport) {
    run(R"(
import builtins
import vorn, django.core.asgi
import_calls = []
def replaced_import(*args, **kwargs):
    import_calls.append(args[0])
    raise ImportError('replaced __import__ was called')
builtins.__import__ = replaced_import
)");
    Ref os_module = import_module(module_globals.name_os, nullptr);
    EXPECT_EQ(loaded("os"), os_module.get()) << take_error();

    Ref from_list = Ref::steal(PyList_New(0));
    ASSERT_EQ(0, PyList_Append(from_list.get(), module_globals.name_get_asgi_application));
    Ref framework = import_module(module_globals.name_django_core_asgi, from_list.get());
    ASSERT_TRUE(framework) << take_error();
    EXPECT_EQ(loaded("django.core.asgi"), framework.get());

    Ref calls = eval("len(import_calls)");
    EXPECT_EQ(0, PyLong_AsLong(calls.get()));
}

// A missing attribute becomes the ImportError of a from-import; every other
// error of the read passes through as it is.
TEST_F(ImportTest, NameFromModule) {
    run(R"(
import types

class AttributeErrorSubclass(AttributeError):
    pass

# Each read raises a new exception, so no traceback keeps the module alive.
class RaisingModule(types.ModuleType):
    def __getattribute__(self, name):
        error_type, message = object.__getattribute__(self, 'error')
        raise error_type(message)

def raising_module(error_type, message):
    module = RaisingModule('raising')
    module.error = (error_type, message)
    return module

with_factory = types.ModuleType('with_factory')
with_factory.get_asgi_application = factory = lambda: None
)");
    struct Case {
        const char* module;
        const char* expected;  // "factory" for the bound value, else the error
    };
    const Case cases[] = {
        {"with_factory", "factory"},
        {"types.ModuleType('without_factory')", "ImportError: cannot import name get_asgi_application"},
        {"raising_module(AttributeErrorSubclass, 'hidden')", "ImportError: cannot import name get_asgi_application"},
        {"raising_module(KeyError, 'get_asgi_application')", "KeyError: 'get_asgi_application'"},
        {"raising_module(RuntimeError, 'broken module')", "RuntimeError: broken module"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.module);
        Ref module = eval(c.module);
        ASSERT_TRUE(module) << take_error();
        const Py_ssize_t module_refs = Py_REFCNT(module.get());
        Ref value = import_name_from(module.get(), module_globals.name_get_asgi_application);
        if (std::string(c.expected) == "factory") {
            EXPECT_EQ(main_name("factory"), value.get()) << take_error();
        } else {
            EXPECT_FALSE(value);
            EXPECT_EQ(c.expected, take_error());
        }
        value.reset();
        EXPECT_EQ(module_refs, Py_REFCNT(module.get()));
    }
}

}  // namespace
}  // namespace vorn::testing
