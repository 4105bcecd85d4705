// Calls by route (Python function, no-argument built-in, generic slot), their errors, and the recursion accounting around them.
#include "embedded_python.h"

#include <cctype>
#include <ostream>
#include <string>

namespace vorn::testing {
namespace {

int depth() { return compat::recursion_depth(PyThreadState_Get()); }

// ---- native callables ---------------------------------------------------------

// A tp_call that runs no accounting of its own and returns a constant.
PyObject* constant_call(PyObject*, PyObject*, PyObject*) { return PyUnicode_FromString("through tp_call"); }
// A tp_call that fails without saying why.
PyObject* silent_null_call(PyObject*, PyObject*, PyObject*) { return nullptr; }

PyType_Slot constant_call_slots[] = {{Py_tp_call, reinterpret_cast<void*>(constant_call)}, {0, nullptr}};
PyType_Spec constant_call_spec = {"vorn_test.ConstantCall", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT,
                                  constant_call_slots};
PyType_Slot silent_null_slots[] = {{Py_tp_call, reinterpret_cast<void*>(silent_null_call)}, {0, nullptr}};
PyType_Spec silent_null_spec = {"vorn_test.SilentNullCall", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT,
                                silent_null_slots};

// A METH_NOARGS function that returns the self it was given ("no self" for
// null) and insists on a null argument.
PyObject* report_self(PyObject* self, PyObject* argument) {
    if (argument) {
        PyErr_SetString(PyExc_AssertionError, "a no-argument function was given an argument");
        return nullptr;
    }
    if (!self) return PyUnicode_FromString("no self");
    Py_INCREF(self);
    return self;
}
PyObject* silent_null_noargs(PyObject*, PyObject*) { return nullptr; }

PyMethodDef report_self_def = {"report_self", report_self, METH_NOARGS, nullptr};
PyMethodDef report_self_static_def = {"report_self_static", report_self, METH_NOARGS | METH_STATIC, nullptr};
PyMethodDef silent_null_noargs_def = {"silent_null_noargs", silent_null_noargs, METH_NOARGS, nullptr};

// The module state, and in __main__ the callables of the tests and two
// helpers that describe a result, or the error of a plain Python call.
class CallTest : public PythonTest {
protected:
    void SetUp() override {
        PythonTest::SetUp();
        prepare_module_state();
        add_native("ConstantCall", Ref::steal(PyType_FromSpec(&constant_call_spec)));
        add_native("SilentNullCall", Ref::steal(PyType_FromSpec(&silent_null_spec)));
        add_native("self_marker", eval("['self marker']"));
        add_native("report_self", Ref::steal(PyCFunction_NewEx(&report_self_def, main_name("self_marker"), nullptr)));
        add_native("report_self_static",
                   Ref::steal(PyCFunction_NewEx(&report_self_static_def, main_name("self_marker"), nullptr)));
        add_native("silent_null_noargs",
                   Ref::steal(PyCFunction_NewEx(&silent_null_noargs_def, main_name("self_marker"), nullptr)));
        run(R"(
import sys, types

constant_call = ConstantCall()
silent_null_call = SilentNullCall()

def describe(value):
    if isinstance(value, types.GeneratorType):
        return 'generator yielding %r' % (list(value),)
    if isinstance(value, Plain):
        return 'a Plain'
    return repr(value)

def plain_call(function, *args):
    try:
        return describe(function(*args))
    except Exception as error:
        return '%s: %s' % (type(error).__name__, error)

class Plain:
    def __init__(self, *args):
        self.args = args
    def method(self, *args):
        return ('method', args)

class CallableInstance:
    def __call__(self, *args):
        return ('__call__', args)

def no_params():
    return 'no params'
def all_defaults(a='a default', b='b default'):
    return (a, b)
def one_required(a, b='b default'):
    return (a, b)
def kw_only(*, k='k default'):
    return k
def kw_required(*, k):
    return k
def generator():
    yield 'yielded'
def star_args(*args):
    return args
def default_and_star(a='a default', *args):
    return (a, args)
def make_closure():
    cell = 'from the cell'
    def closure():
        return cell
    return closure
closure = make_closure()
own_globals = {'marker': 'from its own globals'}
exec('def reads_global():\n    return marker', own_globals)
reads_global = own_globals['reads_global']
marker = 'from __main__'
def pair(a, b):
    return (a, b)
)");
    }

    void add_native(const char* name, Ref object) {
        ASSERT_TRUE(object) << take_error();
        ASSERT_EQ(0, PyDict_SetItemString(main_dict_, name, object.get()));
    }

    // describe(result), or the pending error as "Type: message".
    std::string outcome(Ref result) {
        if (!result) return take_error();
        Ref description = Ref::steal(PyObject_CallFunctionObjArgs(main_name("describe"), result.get(), nullptr));
        return description ? text(description.get()) : "describe failed: " + take_error();
    }
};

// ---- call_no_args and call_object against plain Python calls ----------------

struct CallCase {
    const char* callable;  // expression evaluated in __main__
    const char* expected;  // outcome, which a plain Python call gives as well
};

// Names the case in test listings.
void PrintTo(const CallCase& c, std::ostream* out) { *out << c.callable; }

class CallNoArgsTest : public CallTest, public ::testing::WithParamInterface<CallCase> {};

// Whatever the route, the outcome is that of a plain call with no arguments;
// the depth is as found and the callable keeps its reference count.
TEST_P(CallNoArgsTest, SameOutcomeAsPlainCall) {
    const CallCase& c = GetParam();
    Ref callable = eval(c.callable);
    ASSERT_TRUE(callable) << take_error();
    const Py_ssize_t callable_refs = Py_REFCNT(callable.get());
    const int depth_before = depth();

    const std::string ours = outcome(call_no_args(callable.get()));
    EXPECT_EQ(depth_before, depth());
    EXPECT_EQ(callable_refs, Py_REFCNT(callable.get()));
    EXPECT_EQ(c.expected, ours);
    Ref plain = eval(std::string("plain_call(") + c.callable + ")");
    ASSERT_TRUE(plain) << take_error();
    EXPECT_EQ(text(plain.get()), ours);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, CallNoArgsTest,
    ::testing::Values(
        // Python functions: the frame route (no parameters, or defaults for all)...
        CallCase{"no_params", "'no params'"},
        CallCase{"all_defaults", "('a default', 'b default')"},
        CallCase{"reads_global", "'from its own globals'"},
        // ...and the full evaluation for everything else.
        CallCase{"one_required", "TypeError: one_required() missing 1 required positional argument: 'a'"},
        CallCase{"kw_only", "'k default'"},
        CallCase{"kw_required", "TypeError: kw_required() missing 1 required keyword-only argument: 'k'"},
        CallCase{"generator", "generator yielding ['yielded']"},
        CallCase{"star_args", "()"},
        CallCase{"default_and_star", "('a default', ())"},
        CallCase{"closure", "'from the cell'"},
        // No-argument built-ins, with their self unless static.
        CallCase{"report_self", "['self marker']"},
        CallCase{"report_self_static", "'no self'"},
        CallCase{"'abc'.upper", "'ABC'"},
        // Everything else goes through the type's slot with the empty tuple.
        CallCase{"len", "TypeError: len() takes exactly one argument (0 given)"},
        CallCase{"Plain().method", "('method', ())"},
        CallCase{"Plain", "a Plain"},
        CallCase{"CallableInstance()", "('__call__', ())"},
        CallCase{"constant_call", "'through tp_call'"},
        CallCase{"42", "TypeError: 'int' object is not callable"}),
    [](const auto& info) {
        std::string name;
        for (const char* p = info.param.callable; *p; ++p)
            if (std::isalnum(static_cast<unsigned char>(*p))) name += *p;
        return name;
    });

TEST_F(CallTest, CallObjectSameOutcomeAsPlainCall) {
    struct Case {
        const char* callable;
        const char* args;  // a tuple expression
        const char* expected;
    };
    const Case cases[] = {
        {"pair", "(1, 2)", "(1, 2)"},
        {"pair", "(1,)", "TypeError: pair() missing 1 required positional argument: 'b'"},
        {"no_params", "()", "'no params'"},
        {"{}.setdefault", "('key', 'default')", "'default'"},
        {"len", "([1, 2, 3],)", "3"},
        {"len", "()", "TypeError: len() takes exactly one argument (0 given)"},
        {"Plain().method", "('x',)", "('method', ('x',))"},
        {"Plain", "(1,)", "a Plain"},
        {"CallableInstance()", "('x',)", "('__call__', ('x',))"},
        {"constant_call", "()", "'through tp_call'"},
        {"42", "()", "TypeError: 'int' object is not callable"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.callable) + c.args);
        Ref callable = eval(c.callable);
        Ref args = eval(c.args);
        ASSERT_TRUE(callable && args) << take_error();
        const Py_ssize_t callable_refs = Py_REFCNT(callable.get());
        const Py_ssize_t args_refs = Py_REFCNT(args.get());
        const int depth_before = depth();

        const std::string ours = outcome(call_object(callable.get(), args.get()));
        EXPECT_EQ(depth_before, depth());
        EXPECT_EQ(callable_refs, Py_REFCNT(callable.get()));
        EXPECT_EQ(args_refs, Py_REFCNT(args.get()));
        EXPECT_EQ(c.expected, ours);
        ASSERT_EQ(0, PyDict_SetItemString(main_dict_, "callable", callable.get()));
        ASSERT_EQ(0, PyDict_SetItemString(main_dict_, "args", args.get()));
        Ref plain = eval("plain_call(callable, *args)");
        ASSERT_TRUE(plain) << take_error();
        EXPECT_EQ(text(plain.get()), ours);
    }
}

// ---- the frame route ------------------------------------------------------------

// The defaults tuple's items become the parameters: the very objects, with
// their reference counts as before once the call is over.
TEST_F(CallTest, FrameRouteFillsParametersFromDefaults) {
    run(R"(
first_default, second_default = object(), object()
def identities(a=first_default, b=second_default):
    return (a, b)
)");
    PyObject* first = main_name("first_default");
    PyObject* second = main_name("second_default");
    const Py_ssize_t first_refs = Py_REFCNT(first);
    const Py_ssize_t second_refs = Py_REFCNT(second);
    Ref result = call_no_args(main_name("identities"));
    ASSERT_TRUE(result) << take_error();
    EXPECT_EQ(first, PyTuple_GET_ITEM(result.get(), 0));
    EXPECT_EQ(second, PyTuple_GET_ITEM(result.get(), 1));
    result.reset();
    EXPECT_EQ(first_refs, Py_REFCNT(first));
    EXPECT_EQ(second_refs, Py_REFCNT(second));
}

// The code runs against the globals it is given, with the arguments in its
// parameter slots; the arguments keep their reference counts.
TEST_F(CallTest, FastCallFunctionRunsCodeWithGivenGlobals) {
    run(R"(
def positional(a, b):
    return (a, b, marker)
def no_arguments():
    return marker
given_globals = {'marker': 'from the given globals', '__builtins__': __builtins__}
globals_without_marker = {'__builtins__': __builtins__}
arguments = (object(), object())
)");
    PyObject* globals = main_name("given_globals");
    PyObject* arguments = main_name("arguments");
    PyObject* const* items = &PyTuple_GET_ITEM(arguments, 0);
    const Py_ssize_t item_refs[2] = {Py_REFCNT(items[0]), Py_REFCNT(items[1])};
    auto code_of = [this](const char* function) {
        return reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(main_name(function)));
    };
    const int depth_before = depth();

    Ref with_arguments = fast_call_function(code_of("positional"), items, 2, globals);
    ASSERT_TRUE(with_arguments) << take_error();
    EXPECT_EQ(items[0], PyTuple_GET_ITEM(with_arguments.get(), 0));
    EXPECT_EQ(items[1], PyTuple_GET_ITEM(with_arguments.get(), 1));
    EXPECT_EQ("from the given globals", text(PyTuple_GET_ITEM(with_arguments.get(), 2)));
    with_arguments.reset();
    EXPECT_EQ(item_refs[0], Py_REFCNT(items[0]));
    EXPECT_EQ(item_refs[1], Py_REFCNT(items[1]));

    Ref without = fast_call_function(code_of("no_arguments"), nullptr, 0, globals);
    ASSERT_TRUE(without) << take_error();
    EXPECT_EQ("from the given globals", text(without.get()));

    Ref failing = fast_call_function(code_of("no_arguments"), nullptr, 0, main_name("globals_without_marker"));
    EXPECT_FALSE(failing);
    EXPECT_EQ("NameError: name 'marker' is not defined", take_error());
    EXPECT_EQ(depth_before, depth());
}

// ---- null results without an error ----------------------------------------

// A slot or a no-argument function called directly that returns null without
// an exception is reported as the SystemError of a generic call.
TEST_F(CallTest, NullWithoutErrorBecomesSystemError) {
    const std::string expected = "SystemError: NULL result without error in PyObject_Call";
    PyObject* null_call = main_name("silent_null_call");
    PyObject* null_noargs = main_name("silent_null_noargs");
    const int depth_before = depth();

    EXPECT_EQ(expected, outcome(call_object(null_call, module_globals.empty_tuple)));
    EXPECT_EQ(expected, outcome(call_no_args(null_call)));
    EXPECT_EQ(expected, outcome(call_no_args(null_noargs)));
    EXPECT_EQ(depth_before, depth());
}

// ---- recursion limit --------------------------------------------------------------

using CallOperation = Ref (*)(PyObject* target);

struct RecursionCase {
    const char* label;
    CallOperation operation;
    const char* target;  // a callable in __main__ that makes no calls of its own
};

// Names the case in test listings.
void PrintTo(const RecursionCase& c, std::ostream* out) { *out << c.label; }

// A native call chain that grows one level at a time through call_object. At
// each level the operation under test first calls the target; once its own
// enter step fails, the chain ends. A RecursionError without our text comes
// from a step inside the target (its frame's evaluation) at the level before:
// the chain goes one deeper then.
struct RecursionChain {
    CallOperation operation = nullptr;
    PyObject* target = nullptr;
    int levels = 0;
    int depth_mismatches = 0;
    std::string failure;  // the failure of the operation under test
};
RecursionChain chain;

bool ends_with(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The message of a fetched exception value, read without calls: at the limit
// str() would fail for want of depth itself.
std::string message_of(PyObject* value) {
    if (value && PyExceptionInstance_Check(value)) {
        PyObject* args = reinterpret_cast<PyBaseExceptionObject*>(value)->args;
        value = PyTuple_GET_SIZE(args) > 0 ? PyTuple_GET_ITEM(args, 0) : nullptr;
    }
    const char* text = value && PyUnicode_Check(value) ? PyUnicode_AsUTF8(value) : nullptr;
    return text ? text : "";
}

PyObject* descend(PyObject* self, PyObject* args, PyObject*) {
    ++chain.levels;
    int before = depth();
    Ref result = chain.operation(chain.target);
    if (depth() != before) ++chain.depth_mismatches;
    if (!result) {
        if (!PyErr_ExceptionMatches(PyExc_RecursionError)) return nullptr;
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        const std::string text = message_of(value);
        if (ends_with(text, recursion_where)) {
            chain.failure = std::string("RecursionError: ") + text;
            PyErr_Restore(type, value, traceback);
            return nullptr;
        }
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        // Up to 3.8 the failed step marked the thread as overflowed, which
        // would let the next steps past the limit.
        if (char* overflowed = compat::recursion_overflowed_flag(PyThreadState_Get())) *overflowed = 0;
    }
    result.reset();
    before = depth();
    Ref deeper = call_object(self, args);
    if (depth() != before) ++chain.depth_mismatches;
    return deeper.release();
}

PyType_Slot descend_slots[] = {{Py_tp_call, reinterpret_cast<void*>(descend)}, {0, nullptr}};
PyType_Spec descend_spec = {"vorn_test.Descend", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT, descend_slots};

class RecursionTest : public CallTest, public ::testing::WithParamInterface<RecursionCase> {};

TEST_P(RecursionTest, PastTheLimitRaisesAndKeepsDepth) {
    const RecursionCase& c = GetParam();
    // A low limit keeps the chain short where the limit governs these steps
    // (from 3.12 on they count against a fixed native limit instead).
    run("sys.setrecursionlimit(60)");
    chain.operation = c.operation;
    chain.target = main_name(c.target);
    ASSERT_TRUE(chain.target);
    Ref descend_type = Ref::steal(PyType_FromSpec(&descend_spec));
    ASSERT_TRUE(descend_type) << take_error();
    Ref start = Ref::steal(PyObject_CallObject(descend_type.get(), nullptr));
    ASSERT_TRUE(start) << take_error();
    const int depth_before = depth();

    Ref result = call_object(start.get(), module_globals.empty_tuple);
    EXPECT_FALSE(result);
    const std::string error = take_error();
    EXPECT_EQ(depth_before, depth());
    EXPECT_GT(chain.levels, 1);
    EXPECT_EQ(0, chain.depth_mismatches);
    EXPECT_EQ("RecursionError: maximum recursion depth exceeded while calling a Python object", chain.failure);
    EXPECT_EQ(chain.failure, error);
}

Ref call_object_without_args(PyObject* target) { return call_object(target, module_globals.empty_tuple); }

INSTANTIATE_TEST_SUITE_P(Calls, RecursionTest,
                         ::testing::Values(RecursionCase{"CallObject", call_object_without_args, "constant_call"},
                                           RecursionCase{"FrameRoute", call_no_args, "no_params"},
                                           RecursionCase{"EvaluatedFunction", call_no_args, "star_args"},
                                           RecursionCase{"NoArgsBuiltin", call_no_args, "report_self"},
                                           RecursionCase{"Generic", call_no_args, "constant_call"}),
                         [](const auto& info) { return std::string(info.param.label); });

// ---- low-water mark ----------------------------------------------------------------

TEST(RecursionLowWaterMark, Table) {
    const int table[][2] = {{1000, 950}, {201, 151}, {200, 150}, {100, 75}, {10, 6}, {3, 0}, {1, 0}};
    for (const auto& row : table) EXPECT_EQ(row[1], compat::recursion_low_water_mark(row[0])) << row[0];
}

// Where the thread state has the flag, the leave step of each operation clears
// it once the depth drops below the mark, and only then.
TEST_F(CallTest, LeaveClearsOverflowedBelowTheMark) {
    PyThreadState* ts = PyThreadState_Get();
    char* overflowed = compat::recursion_overflowed_flag(ts);
    if (!overflowed) GTEST_SKIP() << "this interpreter keeps no overflowed flag";
    struct Operation {
        const char* label;
        Ref (*call)(PyObject*);
        const char* target;
    };
    const Operation operations[] = {
        {"call_object", call_object_without_args, "constant_call"},
        {"frame route", call_no_args, "no_params"},
        {"evaluated function", call_no_args, "star_args"},
        {"no-argument builtin", call_no_args, "report_self"},
    };
    const int limits[] = {1000, 201, 200, 100, 10, 3, 1};
    const int depth_at_start = depth();
    for (const Operation& operation : operations) {
        for (int limit : limits) {
            const int mark = compat::recursion_low_water_mark(limit);
            // The leave brings the depth back to where the call started.
            for (int start : {mark - 1, mark}) {
                SCOPED_TRACE(std::string(operation.label) + ", limit " + std::to_string(limit) +
                             ", depth " + std::to_string(start));
                Py_SetRecursionLimit(limit);
                compat::adjust_recursion_depth(ts, start - depth());
                *overflowed = 1;
                Ref result = operation.call(main_name(operation.target));
                EXPECT_TRUE(result) << take_error();
                EXPECT_EQ(start, depth());
                EXPECT_EQ(start < mark ? 0 : 1, *overflowed);
                compat::adjust_recursion_depth(ts, depth_at_start - depth());
                *overflowed = 0;
                Py_SetRecursionLimit(1000);
            }
        }
    }
}

}  // namespace
}  // namespace vorn::testing
