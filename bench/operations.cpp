// Google Benchmark program: the module's lookups, calls and error-reporting steps against the interpreter calls they stand for.
//
// Runs embedded in one interpreter (PYTHONHOME and PYTHONPATH come from the
// environment, as bench/run_bench.py sets them). Every benchmark that is a
// baseline for another is named "baseline/..."; the driver pairs them by the
// names listed in its table.
#include "tests/support/module_state.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace vorn::bench {
namespace {

ModuleGlobals& g = module_globals;

// The objects the call benchmarks use, kept alive for the whole run.
struct Callables {
    PyObject* python_function = nullptr;  // def no_args(): return None
    PyObject* builtin_noargs = nullptr;   // sys.getrecursionlimit, METH_NOARGS
    PyObject* generic = nullptr;          // int: a type, through tp_call
};
Callables callables;

[[noreturn]] void die(const char* what) {
    if (PyErr_Occurred()) PyErr_Print();
    std::fprintf(stderr, "operations benchmark: %s\n", what);
    std::exit(2);
}

// Module state as an execution leaves it once the body has run: the module
// "vorn.asgi" in package "vorn", its dict holding `os`, the builtins and runtime
// modules, the empty objects, the frame offset and the constants.
void prepare_module_state() {
    if (vorn::testing::prepare_module_state() < 0) die("module state");

    // The body's bindings, and the callables, defined in the module's own globals.
    Ref result = Ref::steal(PyRun_String(
        "import os, sys\n"
        "def no_args():\n"
        "    return None\n"
        "get_asgi_application = no_args\n"
        "application = object()\n"
        "__test__ = {}\n"
        "_builtin_noargs = sys.getrecursionlimit\n",
        Py_file_input, g.module_dict, g.module_dict));
    if (!result) die("module source");
    callables.python_function = PyDict_GetItemString(g.module_dict, "no_args");
    callables.builtin_noargs = PyDict_GetItemString(g.module_dict, "_builtin_noargs");
    callables.generic = reinterpret_cast<PyObject*>(&PyLong_Type);
    if (!callables.python_function || !callables.builtin_noargs) die("callables");
}

// ---- module-global lookup ----------------------------------------------------

// A cache filled by one full lookup of `os`, as the body's first read leaves it.
GlobalLookupCache filled_cache() {
    GlobalLookupCache cache;
    Ref value = lookup_module_global(g.name_os, cache);
    if (!value) die("lookup of os");
    return cache;
}

void lookup_unchanged_tag(benchmark::State& state) {
    GlobalLookupCache cache = filled_cache();
    benchmark::DoNotOptimize(&cache);
    for (auto _ : state) {
        Ref value = lookup_module_global(g.name_os, cache);
        benchmark::DoNotOptimize(value.get());
    }
}
BENCHMARK(lookup_unchanged_tag);

// What a lookup at an unchanged tag has to do at the least: read the module
// dict's tag where the module keeps the dict, compare it with the cached one and
// take a reference to the cached value, held in a Ref as the lookup's result is.
void baseline_tag_compare_incref(benchmark::State& state) {
    GlobalLookupCache cache = filled_cache();
    benchmark::DoNotOptimize(&cache);
    for (auto _ : state) {
        Ref value;
        if (compat::dict_version(g.module_dict) == cache.dict_version) value = Ref::borrow(cache.cached_value);
        benchmark::DoNotOptimize(value.get());
    }
}
BENCHMARK(baseline_tag_compare_incref)->Name("baseline/tag_compare_incref");

void lookup_full(benchmark::State& state) {
    GlobalLookupCache cache = filled_cache();
    benchmark::DoNotOptimize(&cache);
    PyObject* name = g.name_os;  // a register, as in the baselines: the name is not what is measured
    for (auto _ : state) {
        cache.dict_version = 0;  // no dict has tag 0: every lookup probes
        Ref value = lookup_module_global(name, cache);
        benchmark::DoNotOptimize(value.get());
    }
}
BENCHMARK(lookup_full);

// The probes a full lookup stands for, on the dict where the module keeps it,
// with a reference to what they find held in a Ref as the lookup's result is.
void baseline_known_hash(benchmark::State& state) {
    PyObject* name = g.name_os;
    GlobalLookupCache unused;
    benchmark::DoNotOptimize(&unused);
    for (auto _ : state) {
        unused.dict_version = 0;  // the store lookup_full makes to force its probe
        Ref value = Ref::borrow(_PyDict_GetItem_KnownHash(g.module_dict, name, compat::stored_hash(name)));
        benchmark::DoNotOptimize(value.get());
    }
}
BENCHMARK(baseline_known_hash)->Name("baseline/_PyDict_GetItem_KnownHash");

void baseline_get_item(benchmark::State& state) {
    PyObject* name = g.name_os;
    GlobalLookupCache unused;
    benchmark::DoNotOptimize(&unused);
    for (auto _ : state) {
        unused.dict_version = 0;
        Ref value = Ref::borrow(PyDict_GetItem(g.module_dict, name));
        benchmark::DoNotOptimize(value.get());
    }
}
BENCHMARK(baseline_get_item)->Name("baseline/PyDict_GetItem");

// ---- calls with no arguments ------------------------------------------------

PyObject* callable_for(int route) {
    switch (route) {
        case 0: return callables.python_function;
        case 1: return callables.builtin_noargs;
        default: return callables.generic;
    }
}

void call_no_args_route(benchmark::State& state) {
    PyObject* callable = callable_for(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        Ref result = call_no_args(callable);
        if (!result) die("call_no_args");
        benchmark::DoNotOptimize(result.get());
    }
}
// Routes: 0 the frame route of a Python function, 1 a METH_NOARGS built-in, 2 the generic call.
BENCHMARK(call_no_args_route)->Name("call_no_args")->Arg(0)->Arg(1)->Arg(2);

void baseline_object_call(benchmark::State& state) {
    PyObject* callable = callable_for(static_cast<int>(state.range(0)));
    PyObject* args = g.empty_tuple;
    for (auto _ : state) {
        PyObject* result = PyObject_Call(callable, args, nullptr);
        if (!result) die("PyObject_Call");
        benchmark::DoNotOptimize(result);
        Py_DECREF(result);
    }
}
BENCHMARK(baseline_object_call)->Name("baseline/PyObject_Call")->Arg(0)->Arg(1)->Arg(2);

// ---- the native-line option ---------------------------------------------------

void resolve_c_line_cached(benchmark::State& state) {
    PyThreadState* ts = PyThreadState_Get();
    resolve_c_line(ts, 123);  // creates the option (False) and fills the cache
    for (auto _ : state) benchmark::DoNotOptimize(resolve_c_line(ts, 123));
}
BENCHMARK(resolve_c_line_cached);

void resolve_c_line_uncached(benchmark::State& state) {
    PyThreadState* ts = PyThreadState_Get();
    resolve_c_line(ts, 123);
    for (auto _ : state) {
        g.native_line_option_cache.dict_version = 0;
        benchmark::DoNotOptimize(resolve_c_line(ts, 123));
    }
}
BENCHMARK(resolve_c_line_uncached);

// ---- traceback code objects ---------------------------------------------------

// The cache as a failing body leaves it after failures at each statement line.
void fill_code_cache() {
    if (g.code_cache.count) return;
    for (int line : {1, 10, 12, 14, 16}) {
        Ref code = create_traceback_code(0, line, python_file_name);
        if (!code) die("create_traceback_code");
        insert_cached_code(line, reinterpret_cast<PyCodeObject*>(code.get()));
    }
}

void find_cached_code_hit(benchmark::State& state) {
    fill_code_cache();
    for (auto _ : state) {
        Ref code = find_cached_code(14);
        if (!code) die("cache miss");
        benchmark::DoNotOptimize(code.get());
    }
}
BENCHMARK(find_cached_code_hit);

void create_code(benchmark::State& state) {
    const int native_line = static_cast<int>(state.range(0));
    for (auto _ : state) {
        Ref code = create_traceback_code(native_line, 14, python_file_name);
        if (!code) die("create_traceback_code");
        benchmark::DoNotOptimize(code.get());
    }
}
// 0: the native line hidden (the default); 123: shown, which formats the function name.
BENCHMARK(create_code)->Name("baseline/create_traceback_code")->Arg(0)->Arg(123);

void bisect(benchmark::State& state) {
    const auto count = static_cast<std::int32_t>(state.range(0));
    std::vector<CodeCacheEntry> entries(static_cast<size_t>(count));
    for (std::int32_t i = 0; i < count; ++i) entries[static_cast<size_t>(i)] = {nullptr, 2 * i + 1};
    // Present keys below the largest (above it there is no search), visited in a
    // scattered order so that the branch predictor cannot learn one path.
    std::vector<std::int32_t> keys(1024);
    std::uint32_t x = 12345;
    for (auto& key : keys) {
        x = x * 1103515245u + 12345u;
        key = 2 * static_cast<std::int32_t>((x >> 8) % static_cast<std::uint32_t>(count - 1)) + 1;
    }
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(bisect_code_cache(entries.data(), count, keys[i++ & 1023]));
    }
}
BENCHMARK(bisect)->Name("bisect_code_cache")->Arg(64)->Arg(128)->Arg(1024);

}  // namespace
}  // namespace vorn::bench

int main(int argc, char** argv) {
    Py_InitializeEx(0);
    vorn::bench::prepare_module_state();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
