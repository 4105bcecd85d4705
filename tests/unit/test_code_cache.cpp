// Traceback entries and the cache of their code objects: keys, order, growth, reuse and allocation failures.
#include "embedded_python.h"
#include "tests/support/failing_allocator.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <ostream>
#include <random>
#include <vector>

namespace vorn::testing {
namespace {

// Sets the pending exception aside for Python code to run, and puts it back.
class SetAside {
public:
    SetAside() { PyErr_Fetch(&type_, &value_, &traceback_); }
    ~SetAside() { PyErr_Restore(type_, value_, traceback_); }
    SetAside(const SetAside&) = delete;
    SetAside& operator=(const SetAside&) = delete;

private:
    PyObject *type_, *value_, *traceback_;
};

// One entry of a traceback, as the interpreter will show it.
struct Entry {
    PyObject* code;  // borrowed: the traceback keeps it alive
    long line;
};

class CodeCacheTest : public PythonTest {
protected:
    void SetUp() override {
        PythonTest::SetUp();
        prepare_module_state();
    }

    static CodeObjectCache& cache() { return module_globals.code_cache; }

    // A fresh exception, pending, for add_traceback_entry to extend.
    static void raise_fresh() {
        PyErr_Clear();
        PyErr_SetString(PyExc_LookupError, "failed step");
    }

    // The entries of the pending exception's traceback, outermost first; the
    // exception stays pending.
    static std::vector<Entry> entries() {
        std::vector<Entry> found;
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        for (PyObject* tb = traceback; tb && tb != Py_None;) {
            Ref frame = Ref::steal(PyObject_GetAttrString(tb, "tb_frame"));
            Ref code = Ref::steal(PyObject_GetAttrString(frame.get(), "f_code"));
            Ref line = Ref::steal(PyObject_GetAttrString(tb, "tb_lineno"));
            found.push_back({code.get(), PyLong_AsLong(line.get())});
            Ref next = Ref::steal(PyObject_GetAttrString(tb, "tb_next"));
            tb = next.get();  // the traceback chain keeps it alive
        }
        PyErr_Restore(type, value, traceback);
        return found;
    }

    static std::string code_text(PyObject* code, const char* attribute) {
        Ref value = Ref::steal(PyObject_GetAttrString(code, attribute));
        return value ? text(value.get()) : take_error();
    }

    static long first_line(PyObject* code) {
        Ref value = Ref::steal(PyObject_GetAttrString(code, "co_firstlineno"));
        return value ? PyLong_AsLong(value.get()) : -1;
    }

    static std::vector<std::int32_t> keys() {
        std::vector<std::int32_t> found;
        for (std::int32_t i = 0; i < cache().count; ++i) found.push_back(cache().entries[i].key);
        return found;
    }

    void set_option(const char* expression) {
        SetAside pending;
        run(std::string("import native_runtime\nnative_runtime.native_line_in_traceback = ") + expression);
    }

    // A code object to fill the cache with.
    static Ref filler_code() { return create_traceback_code(0, 1, python_file_name); }

    // Inserts keys first..last, all with the same code object.
    static void fill(std::int32_t first, std::int32_t last, PyObject* code) {
        for (std::int32_t key = first; key <= last; ++key)
            insert_cached_code(key, reinterpret_cast<PyCodeObject*>(code));
    }
};

TEST_F(CodeCacheTest, FirstEntryCreatesRoomForSixtyFour) {
    raise_fresh();
    add_traceback_entry(120, 16, python_file_name);

    ASSERT_EQ(1, cache().count);
    EXPECT_EQ(64, cache().capacity);
    EXPECT_EQ(16, cache().entries[0].key);  // the option was absent: hidden, keyed by the Python line
    const std::vector<Entry> added = entries();
    ASSERT_EQ(1u, added.size());
    PyObject* code = added[0].code;
    EXPECT_EQ(reinterpret_cast<PyObject*>(cache().entries[0].code), code);
    EXPECT_EQ(16, added[0].line);
    EXPECT_EQ("init vorn.asgi", code_text(code, "co_name"));
    EXPECT_EQ("vorn\\asgi.py", code_text(code, "co_filename"));
    EXPECT_EQ(16, first_line(code));
    EXPECT_EQ("LookupError: failed step", take_error());
    // With the traceback gone only the cache holds the code object.
    EXPECT_EQ(1, Py_REFCNT(code));
}

TEST_F(CodeCacheTest, RepeatedFailureReusesTheCodeObject) {
    raise_fresh();
    add_traceback_entry(120, 16, python_file_name);
    add_traceback_entry(120, 16, python_file_name);

    EXPECT_EQ(1, cache().count);
    const std::vector<Entry> added = entries();
    ASSERT_EQ(2u, added.size());
    EXPECT_EQ(added[0].code, added[1].code);
    EXPECT_EQ(reinterpret_cast<PyObject*>(cache().entries[0].code), added[0].code);
    PyErr_Clear();
    EXPECT_EQ(1, Py_REFCNT(cache().entries[0].code));
}

TEST_F(CodeCacheTest, ShownAndHiddenEntriesLiveUnderDifferentKeys) {
    raise_fresh();
    set_option("True");
    add_traceback_entry(120, 16, python_file_name);
    set_option("False");
    add_traceback_entry(120, 16, python_file_name);

    EXPECT_EQ((std::vector<std::int32_t>{-120, 16}), keys());
    const std::vector<Entry> added = entries();
    ASSERT_EQ(2u, added.size());
    // The later entry stands above the earlier one.
    EXPECT_EQ(reinterpret_cast<PyObject*>(cache().entries[1].code), added[0].code);
    EXPECT_EQ(reinterpret_cast<PyObject*>(cache().entries[0].code), added[1].code);
    EXPECT_EQ("init vorn.asgi", code_text(added[0].code, "co_name"));
    EXPECT_EQ(std::string("init vorn.asgi (") + native_source_path + ":120)", code_text(added[1].code, "co_name"));
    for (const Entry& entry : added) {
        EXPECT_EQ(16, entry.line);
        EXPECT_EQ(16, first_line(entry.code));
    }
}

TEST_F(CodeCacheTest, NativeLineZeroSkipsTheOption) {
    raise_fresh();
    add_traceback_entry(0, 14, python_file_name);
    {
        // Reading the option would have created it.
        SetAside pending;
        EXPECT_FALSE(PyObject_HasAttrString(module_globals.runtime_module, "native_line_in_traceback"));
    }
    set_option("True");
    add_traceback_entry(0, 10, python_file_name);

    EXPECT_EQ((std::vector<std::int32_t>{10, 14}), keys());
    for (const Entry& entry : entries()) EXPECT_EQ("init vorn.asgi", code_text(entry.code, "co_name"));
}

TEST_F(CodeCacheTest, SixtyFifthKeyGrowsToOneHundredTwentyEightInOrder) {
    std::vector<int> lines;
    for (int line = 1; line <= 65; ++line) lines.push_back(line * 3);
    std::shuffle(lines.begin(), lines.end(), std::mt19937(7));
    raise_fresh();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        add_traceback_entry(0, lines[i], python_file_name);
        EXPECT_EQ(i < 64 ? 64 : 128, cache().capacity) << "after " << i + 1 << " keys";
    }
    ASSERT_EQ(65, cache().count);
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(std::vector<std::int32_t>(lines.begin(), lines.end()), keys());
    // Every code object moved with its key.
    for (std::int32_t i = 0; i < cache().count; ++i)
        EXPECT_EQ(cache().entries[i].key, first_line(reinterpret_cast<PyObject*>(cache().entries[i].code)));
    EXPECT_EQ(65u, entries().size());
}

TEST_F(CodeCacheTest, KeyBelowAllOthersGoesToIndexZero) {
    raise_fresh();
    for (int line : {10, 20, 30}) add_traceback_entry(0, line, python_file_name);
    set_option("True");
    add_traceback_entry(250, 5, python_file_name);  // shown: key -250

    EXPECT_EQ((std::vector<std::int32_t>{-250, 10, 20, 30}), keys());
    EXPECT_EQ(5, first_line(reinterpret_cast<PyObject*>(cache().entries[0].code)));
    for (std::int32_t i = 1; i < cache().count; ++i)
        EXPECT_EQ(cache().entries[i].key, first_line(reinterpret_cast<PyObject*>(cache().entries[i].code)));
}

// The allocation that fails is either the array's (first insertion) or its
// growth (a full array); the cache must come out exactly as it went in.
struct AllocationCase {
    const char* name;
    std::int32_t prefilled;  // keys 1..prefilled in the cache beforehand
};

void PrintTo(const AllocationCase& param, std::ostream* out) { *out << param.name; }

class CacheAllocationTest : public CodeCacheTest, public ::testing::WithParamInterface<AllocationCase> {};

TEST_P(CacheAllocationTest, FailureLeavesTheCacheUnchanged) {
    Ref code = filler_code();
    ASSERT_TRUE(code) << take_error();
    fill(1, GetParam().prefilled, code.get());
    const CodeObjectCache before = cache();
    const std::vector<std::int32_t> keys_before = keys();
    const Py_ssize_t references = Py_REFCNT(code.get());

    FailingAllocator::arm(1);
    insert_cached_code(1000, reinterpret_cast<PyCodeObject*>(code.get()));
    FailingAllocator::disarm();

    EXPECT_TRUE(FailingAllocator::failed());
    EXPECT_EQ(before.entries, cache().entries);
    EXPECT_EQ(before.count, cache().count);
    EXPECT_EQ(before.capacity, cache().capacity);
    EXPECT_EQ(keys_before, keys());
    EXPECT_EQ(references, Py_REFCNT(code.get()));
    EXPECT_FALSE(PyErr_Occurred());
}

TEST_P(CacheAllocationTest, EntryIsAddedAllTheSame) {
    Ref code = filler_code();
    ASSERT_TRUE(code) << take_error();
    fill(1, GetParam().prefilled, code.get());
    const CodeObjectCache before = cache();

    // Fail the 1st, 2nd, ... allocation of a new entry until one fails where the
    // code object exists already: that is the array's allocation. Earlier ones
    // (the strings and the code object) add no entry; a later one would have
    // cached the code object.
    bool reached = false;
    for (long nth = 1; nth < 200 && !reached; ++nth) {
        raise_fresh();
        FailingAllocator::arm(nth);
        add_traceback_entry(0, 500, python_file_name);
        FailingAllocator::disarm();
        ASSERT_TRUE(FailingAllocator::failed()) << "no allocation of the cache failed";
        ASSERT_EQ(before.count, cache().count) << "allocation " << nth << " was not the cache's";
        const std::vector<Entry> added = entries();
        if (added.empty()) continue;
        reached = true;
        ASSERT_EQ(1u, added.size());
        EXPECT_EQ(500, added[0].line);
        EXPECT_EQ("init vorn.asgi", code_text(added[0].code, "co_name"));
        EXPECT_EQ(before.entries, cache().entries);
        EXPECT_EQ(before.capacity, cache().capacity);
        // The original exception, not a MemoryError.
        EXPECT_EQ("LookupError: failed step", take_error());
    }
    EXPECT_TRUE(reached);
}

INSTANTIATE_TEST_SUITE_P(CodeCache, CacheAllocationTest,
                         ::testing::Values(AllocationCase{"FirstInsertion", 0}, AllocationCase{"Growth", 64}),
                         [](const ::testing::TestParamInfo<AllocationCase>& info) { return info.param.name; });

TEST_F(CodeCacheTest, FailingFrameLeavesTheCodeObjectCachedAndAddsNoEntry) {
    // Live generators hold the frames of the interpreter's free lists (up to
    // 3.10), so that a new frame must be allocated.
    run("def _generator():\n    yield\n_held = [_generator() for _ in range(400)]\n");
    Ref code = filler_code();
    ASSERT_TRUE(code) << take_error();
    fill(1, 1, code.get());  // the array exists and has room: inserting allocates nothing

    // Allocations before PyFrame_New: those of the code object.
    create_traceback_code(0, 700, python_file_name).reset();
    FailingAllocator::arm(LONG_MAX);
    create_traceback_code(0, 701, python_file_name).reset();
    const long before_frame = FailingAllocator::disarm();
    // A whole entry: the code object, then the frame and the traceback, each allocating.
    raise_fresh();
    FailingAllocator::arm(LONG_MAX);
    add_traceback_entry(0, 702, python_file_name);
    const long whole_entry = FailingAllocator::disarm();
    ASSERT_EQ(1u, entries().size());
    ASSERT_GE(whole_entry, before_frame + 2);

    raise_fresh();
    FailingAllocator::arm(before_frame + 1);
    add_traceback_entry(0, 703, python_file_name);
    // Nothing ran after the failed allocation: no traceback object was made.
    EXPECT_EQ(before_frame + 1, FailingAllocator::disarm());
    EXPECT_TRUE(FailingAllocator::failed());

    EXPECT_TRUE(entries().empty());
    Ref cached = find_cached_code(703);
    ASSERT_TRUE(cached);
    EXPECT_EQ(2, Py_REFCNT(cached.get()));  // the cache's and ours
    EXPECT_EQ("LookupError: failed step", take_error());
}

TEST_F(CodeCacheTest, FindMissesWithoutRaising) {
    EXPECT_FALSE(find_cached_code(16));  // empty
    Ref code = filler_code();
    ASSERT_TRUE(code) << take_error();
    fill(10, 12, code.get());
    insert_cached_code(0, reinterpret_cast<PyCodeObject*>(code.get()));  // never cached
    EXPECT_EQ((std::vector<std::int32_t>{10, 11, 12}), keys());
    for (std::int32_t key : {0, 9, 13, -11}) EXPECT_FALSE(find_cached_code(key)) << key;
    EXPECT_EQ(code.get(), find_cached_code(11).get());
    EXPECT_FALSE(PyErr_Occurred());
}

using ErrorExitTest = PythonTest;

// The module dict is not held: the error exit adds no entry.
TEST_F(ErrorExitTest, WithoutModuleDictAddsNoEntry) {
    Ref not_a_module = eval("object()");
    ASSERT_TRUE(not_a_module) << take_error();
    EXPECT_EQ(-1, module_exec(not_a_module.get()));
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    EXPECT_EQ(PyExc_SystemError, type);
    EXPECT_EQ(nullptr, traceback);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    EXPECT_EQ(nullptr, module_globals.code_cache.entries);
    EXPECT_EQ(nullptr, module_globals.module_object);
}

// bisect_code_cache against std::lower_bound on random sorted distinct keys.
TEST(BisectCodeCache, AgreesWithAReferenceSearch) {
    std::mt19937 random(20240601);
    std::uniform_int_distribution<std::int32_t> any_key(-5000, 5000);
    for (std::int32_t size = 1; size <= 300; ++size) {
        std::vector<std::int32_t> keys;
        while (static_cast<std::int32_t>(keys.size()) < size) {
            keys.push_back(any_key(random));
            std::sort(keys.begin(), keys.end());
            keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
        }
        std::vector<CodeCacheEntry> cache;
        for (std::int32_t key : keys) cache.push_back({nullptr, key});
        std::vector<std::int32_t> probes = {INT32_MIN, INT32_MAX, keys.front() - 1, keys.back() + 1};
        for (std::int32_t key : keys) {
            probes.push_back(key);      // present
            probes.push_back(key + 1);  // absent unless the next key
            probes.push_back(key - 1);
        }
        for (std::int32_t probe : probes) {
            const auto expected = std::lower_bound(keys.begin(), keys.end(), probe) - keys.begin();
            ASSERT_EQ(expected, bisect_code_cache(cache.data(), size, probe)) << "size " << size << ", key " << probe;
        }
    }
}

}  // namespace
}  // namespace vorn::testing
