// Global-name lookups cached by the module dict's version tag, the builtins fallback, and attribute reads.
#include "embedded_python.h"

#include <ostream>
#include <string>

namespace vorn::testing {
namespace {

// A module dict in which every probe for `get_asgi_application` is visible: a
// key that has the name's hash but never equals it sits in the name's first
// slot, so each probe calls its __eq__, which counts (or raises when told to).
class LookupTest : public PythonTest {
protected:
    void SetUp() override {
        PythonTest::SetUp();
        prepare_module_state();
        run(R"(
import builtins

class CollidingKey(str):
    __hash__ = str.__hash__
    eq_calls = 0
    raise_on_eq = None
    on_eq = None

    def __eq__(self, other):
        CollidingKey.eq_calls += 1
        if CollidingKey.on_eq is not None:
            CollidingKey.on_eq()
        if CollidingKey.raise_on_eq is not None:
            raise CollidingKey.raise_on_eq
        return False

    def __ne__(self, other):
        return not self.__eq__(other)
)");
        name_ = module_globals.name_get_asgi_application;
        Ref key = eval("CollidingKey('get_asgi_application')");
        ASSERT_TRUE(key) << take_error();
        ASSERT_EQ(0, PyDict_SetItem(module_globals.module_dict, key.get(), Py_None));
        ASSERT_EQ(0, PyDict_SetItemString(main_dict_, "module_dict", module_globals.module_dict));
        reset_probe_count();
    }

    void reset_probe_count() { run("CollidingKey.eq_calls = 0"); }

    // Whether the module dict was probed for the name since the last reset. A
    // probe for an absent name may pass the colliding key more than once, so
    // only the fact is reliable, not the count.
    bool probed() {
        Ref count = eval("CollidingKey.eq_calls");
        EXPECT_TRUE(count) << take_error();
        return count && PyLong_AsLong(count.get()) > 0;
    }

    // Binds the name in the module dict, as the body's statements do.
    void bind_in_module(PyObject* value) {
        ASSERT_EQ(0, PyDict_SetItem(module_globals.module_dict, name_, value));
        reset_probe_count();
    }

    void bind_in_builtins(PyObject* value) {
        ASSERT_EQ(0, PyObject_SetAttr(module_globals.builtins_module, name_, value));
    }

    std::uint64_t current_tag() const { return compat::dict_version(module_globals.module_dict); }

    PyObject* name_ = nullptr;
    GlobalLookupCache& cache_ = module_globals.get_asgi_application_lookup_cache;
};

struct WhereCase {
    const char* label;
    bool in_module;
    bool in_builtins;
};

// Names the case in test listings.
void PrintTo(const WhereCase& c, std::ostream* out) { *out << c.label; }

class LookupWhereTest : public LookupTest, public ::testing::WithParamInterface<WhereCase> {};

// Two lookups at one site with the module dict unchanged in between: the first
// probes, the second does not; builtins are read again each time (a new value
// bound there between the lookups is what the second one returns).
TEST_P(LookupWhereTest, FirstLookupProbesRepeatUsesRecord) {
    const WhereCase& c = GetParam();
    Ref module_value = eval("object()");
    Ref builtins_first = eval("['builtins, first']");
    Ref builtins_second = eval("['builtins, second']");
    if (c.in_module) bind_in_module(module_value.get());
    if (c.in_builtins) bind_in_builtins(builtins_first.get());
    const Py_ssize_t module_value_refs = Py_REFCNT(module_value.get());

    Ref results[2];
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round == 0 ? "first lookup" : "repeated lookup");
        if (round == 1 && c.in_builtins) bind_in_builtins(builtins_second.get());
        results[round] = lookup_module_global(name_, cache_);
        const std::string error = take_error();
        EXPECT_EQ(round == 0, probed());
        reset_probe_count();

        PyObject* expected = c.in_module     ? module_value.get()
                             : c.in_builtins ? (round == 0 ? builtins_first : builtins_second).get()
                                             : nullptr;
        if (expected) {
            EXPECT_EQ(expected, results[round].get()) << error;
        } else {
            EXPECT_FALSE(results[round]);
            EXPECT_EQ("NameError: name 'get_asgi_application' is not defined", error);
        }
        // Only a value found in the module dict is recorded, with the current tag.
        EXPECT_EQ(current_tag(), cache_.dict_version);
        EXPECT_EQ(c.in_module ? module_value.get() : nullptr, cache_.cached_value);
    }
    // Each hit is a new reference of its own; the record holds none.
    EXPECT_EQ(module_value_refs + (c.in_module ? 2 : 0), Py_REFCNT(module_value.get()));
    results[0].reset();
    results[1].reset();
    EXPECT_EQ(module_value_refs, Py_REFCNT(module_value.get()));
}

INSTANTIATE_TEST_SUITE_P(Lookup, LookupWhereTest,
                         ::testing::Values(WhereCase{"ModuleOnly", true, false},
                                           WhereCase{"ModuleBeatsBuiltins", true, true},
                                           WhereCase{"BuiltinsOnly", false, true},
                                           WhereCase{"Neither", false, false}),
                         [](const auto& info) { return std::string(info.param.label); });

struct ChangeCase {
    const char* label;
    const char* statement;  // run with `module_dict` and `replacement` bound in __main__
    bool value_replaced;
};

// Names the case in test listings.
void PrintTo(const ChangeCase& c, std::ostream* out) { *out << c.label; }

class LookupAfterChangeTest : public LookupTest, public ::testing::WithParamInterface<ChangeCase> {};

// Any change of the module dict gives it a new tag, so the next lookup at every
// site is a full one again and sees the dict as it is now.
TEST_P(LookupAfterChangeTest, NextLookupAtEverySiteIsFull) {
    const ChangeCase& c = GetParam();
    Ref original = eval("object()");
    Ref replacement = eval("object()");
    ASSERT_EQ(0, PyDict_SetItemString(main_dict_, "replacement", replacement.get()));
    bind_in_module(original.get());
    GlobalLookupCache& other_site = module_globals.os_lookup_cache;
    for (GlobalLookupCache* site : {&cache_, &other_site}) {
        Ref value = lookup_module_global(name_, *site);
        ASSERT_EQ(original.get(), value.get()) << take_error();
    }
    reset_probe_count();

    run(c.statement);
    reset_probe_count();
    for (GlobalLookupCache* site : {&cache_, &other_site}) {
        SCOPED_TRACE(site == &cache_ ? "first site" : "second site");
        Ref value = lookup_module_global(name_, *site);
        EXPECT_EQ(c.value_replaced ? replacement.get() : original.get(), value.get()) << take_error();
        EXPECT_TRUE(probed());
        reset_probe_count();
        EXPECT_EQ(current_tag(), site->dict_version);
        EXPECT_EQ(value.get(), site->cached_value);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lookup, LookupAfterChangeTest,
    ::testing::Values(ChangeCase{"UnrelatedNameBound", "module_dict['unrelated'] = 1", false},
                      ChangeCase{"UnrelatedNameDeleted", "del module_dict['__doc__']", false},
                      ChangeCase{"NameRebound", "module_dict['get_asgi_application'] = replacement", true}),
    [](const auto& info) { return std::string(info.param.label); });

// A repeated execution after a failed import has a new module dict: its tag is
// new, so the records of the earlier dict are not trusted.
TEST_F(LookupTest, NewModuleDictIsLookedUpAfresh) {
    Ref original = eval("object()");
    bind_in_module(original.get());
    Ref first = lookup_module_global(name_, cache_);
    ASSERT_EQ(original.get(), first.get()) << take_error();

    Ref replacement = eval("object()");
    Ref new_dict = Ref::steal(PyDict_New());
    ASSERT_EQ(0, PyDict_SetItem(new_dict.get(), name_, replacement.get()));
    module_globals.module_dict = new_dict.get();  // the old dict stays alive in the module
    Ref second = lookup_module_global(name_, cache_);
    EXPECT_EQ(replacement.get(), second.get()) << take_error();
    EXPECT_EQ(compat::dict_version(new_dict.get()), cache_.dict_version);
    EXPECT_EQ(replacement.get(), cache_.cached_value);
}

// A probe that raises ends the lookup with that exception (builtins, which hold
// the name, are not consulted) but still records the tag with no value, so the
// next lookup at that tag goes straight to builtins without probing.
TEST_F(LookupTest, FailedProbeRaisesAndRecordsNoValue) {
    Ref from_builtins = eval("['from builtins']");
    bind_in_builtins(from_builtins.get());
    run("CollidingKey.raise_on_eq = ValueError('probe failed')");

    Ref failed = lookup_module_global(name_, cache_);
    EXPECT_FALSE(failed);
    EXPECT_EQ("ValueError: probe failed", take_error());
    EXPECT_TRUE(probed());
    EXPECT_EQ(current_tag(), cache_.dict_version);
    EXPECT_EQ(nullptr, cache_.cached_value);

    run("CollidingKey.raise_on_eq = None");
    reset_probe_count();
    Ref again = lookup_module_global(name_, cache_);
    EXPECT_EQ(from_builtins.get(), again.get()) << take_error();
    EXPECT_FALSE(probed());
}

// Code run by the probe may change the dict: the record takes the tag the dict
// has once the probe is over, so a repeat at that tag does not probe again.
TEST_F(LookupTest, RecordTakesTheTagAfterTheProbe) {
    Ref value = eval("object()");
    bind_in_module(value.get());
    run(R"(
def bind_once():
    CollidingKey.on_eq = None
    module_dict['bound_by_the_probe'] = True
CollidingKey.on_eq = bind_once
)");
    Ref first = lookup_module_global(name_, cache_);
    ASSERT_EQ(value.get(), first.get()) << take_error();
    ASSERT_TRUE(PyDict_GetItemString(module_globals.module_dict, "bound_by_the_probe"));
    EXPECT_EQ(current_tag(), cache_.dict_version);
    reset_probe_count();
    Ref second = lookup_module_global(name_, cache_);
    EXPECT_EQ(value.get(), second.get()) << take_error();
    EXPECT_FALSE(probed());
}

// Whatever the read of builtins raises, the lookup reports the name as undefined.
TEST_F(LookupTest, AnyBuiltinsReadErrorBecomesNameError) {
    run(R"(
class RaisingBuiltins:
    def __init__(self, error):
        self.error = error
    def __getattribute__(self, name):
        raise object.__getattribute__(self, 'error')
)");
    const char* builtins_objects[] = {
        "RaisingBuiltins(KeyError('get_asgi_application'))",
        "RaisingBuiltins(RuntimeError('broken builtins'))",
        "RaisingBuiltins(AttributeError('no such name'))",
        "object()",
    };
    for (const char* expression : builtins_objects) {
        SCOPED_TRACE(expression);
        Ref builtins = eval(expression);
        ASSERT_TRUE(builtins) << take_error();
        module_globals.builtins_module = builtins.get();
        Ref direct = lookup_builtin(name_);
        EXPECT_FALSE(direct);
        EXPECT_EQ("NameError: name 'get_asgi_application' is not defined", take_error());
        Ref through_site = lookup_module_global(name_, cache_);
        EXPECT_FALSE(through_site);
        EXPECT_EQ("NameError: name 'get_asgi_application' is not defined", take_error());
        EXPECT_EQ(current_tag(), cache_.dict_version);
        EXPECT_EQ(nullptr, cache_.cached_value);
    }
}

// ---- get_attribute ------------------------------------------------------------

// A type with only the old-style tp_getattr slot, which takes the name as a C
// string: get_attribute must go through PyObject_GetAttr for it.
PyObject* char_name_getattr(PyObject*, char* name) {
    if (std::string(name) == "missing") {
        PyErr_SetString(PyExc_LookupError, "no attribute 'missing' here");
        return nullptr;
    }
    return PyUnicode_FromFormat("char name %s", name);
}

PyType_Slot char_name_slots[] = {{Py_tp_getattr, reinterpret_cast<void*>(char_name_getattr)}, {0, nullptr}};
PyType_Spec char_name_spec = {"vorn_test.CharNameGetattr", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT,
                              char_name_slots};

// A tp_getattro that hands back the name it was given, whatever its type.
PyObject* echo_getattro(PyObject*, PyObject* name) {
    return PyTuple_Pack(1, name);
}

PyType_Slot echo_slots[] = {{Py_tp_getattro, reinterpret_cast<void*>(echo_getattro)}, {0, nullptr}};
PyType_Spec echo_spec = {"vorn_test.EchoGetattro", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT, echo_slots};

using GetAttributeTest = PythonTest;

TEST_F(GetAttributeTest, PassesResultOrErrorThrough) {
    Ref char_name_type = Ref::steal(PyType_FromSpec(&char_name_spec));
    ASSERT_TRUE(char_name_type) << take_error();
    ASSERT_EQ(nullptr, reinterpret_cast<PyTypeObject*>(char_name_type.get())->tp_getattro);
    ASSERT_EQ(0, PyDict_SetItemString(main_dict_, "CharNameGetattr", char_name_type.get()));
    run(R"(
class WithGetattr:
    present = 'class attribute'
    def __getattr__(self, name):
        if name == 'missing':
            raise KeyError('raised by __getattr__')
        return 'computed ' + name

class RaisingGetattribute:
    def __getattribute__(self, name):
        raise KeyError('raised by __getattribute__')
)");
    struct Case {
        const char* object;
        const char* name;
        const char* expected;  // str() of the result, or the error
    };
    const Case cases[] = {
        {"WithGetattr()", "present", "class attribute"},
        {"WithGetattr()", "other", "computed other"},
        {"WithGetattr()", "missing", "KeyError: 'raised by __getattr__'"},
        {"RaisingGetattribute()", "present", "KeyError: 'raised by __getattribute__'"},
        {"object()", "missing", "AttributeError: 'object' object has no attribute 'missing'"},
        {"CharNameGetattr()", "present", "char name present"},
        {"CharNameGetattr()", "missing", "LookupError: no attribute 'missing' here"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.object) + "." + c.name);
        Ref object = eval(c.object);
        ASSERT_TRUE(object) << take_error();
        Ref name = interned_name(c.name);
        const Py_ssize_t object_refs = Py_REFCNT(object.get());
        Ref value = get_attribute(object.get(), name.get());
        EXPECT_EQ(c.expected, value ? text(value.get()) : take_error());
        value.reset();
        EXPECT_EQ(object_refs, Py_REFCNT(object.get()));
    }
}

// The slot is called as it is: no name check of PyObject_GetAttr's in between.
TEST_F(GetAttributeTest, CallsTheSlotDirectly) {
    Ref echo_type = Ref::steal(PyType_FromSpec(&echo_spec));
    ASSERT_TRUE(echo_type) << take_error();
    Ref echo = Ref::steal(PyObject_CallObject(echo_type.get(), nullptr));
    ASSERT_TRUE(echo) << take_error();
    Ref not_a_str = Ref::steal(PyLong_FromLong(42));
    Ref value = get_attribute(echo.get(), not_a_str.get());
    ASSERT_TRUE(value) << take_error();
    EXPECT_EQ(not_a_str.get(), PyTuple_GET_ITEM(value.get(), 0));
}

}  // namespace
}  // namespace vorn::testing
