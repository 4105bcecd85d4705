// Synthetic traceback entries for failed steps, with a sorted cache of their code objects.
#include "runtime.h"

#include <cstring>

namespace vorn {

namespace {

constexpr std::int32_t cache_growth = 64;

CodeObjectCache& code_cache() noexcept { return module_globals.code_cache; }

}  // namespace

std::int32_t bisect_code_cache(const CodeCacheEntry* entries, std::int32_t count, std::int32_t key) noexcept {
    std::int32_t end = count - 1;
    // Keys usually arrive in rising order: placing one at the end needs no search.
    if (key > entries[end].key) return count;
    std::int32_t start = 0;
    std::int32_t mid = 0;
    while (start < end) {
        mid = start + (end - start) / 2;
        if (key < entries[mid].key) {
            end = mid;
        } else if (key > entries[mid].key) {
            start = mid + 1;
        } else {
            return mid;
        }
    }
    return key <= entries[mid].key ? mid : mid + 1;
}

Ref find_cached_code(std::int32_t key) noexcept {
    const CodeObjectCache& cache = code_cache();
    if (key == 0 || !cache.entries) return Ref();
    const std::int32_t pos = bisect_code_cache(cache.entries, cache.count, key);
    if (pos < cache.count && cache.entries[pos].key == key)
        return Ref::borrow(reinterpret_cast<PyObject*>(cache.entries[pos].code));
    return Ref();
}

void insert_cached_code(std::int32_t key, PyCodeObject* code) noexcept {
    CodeObjectCache& cache = code_cache();
    if (key == 0) return;
    if (!cache.entries) {
        auto* entries = static_cast<CodeCacheEntry*>(PyMem_Malloc(cache_growth * sizeof(CodeCacheEntry)));
        if (!entries) return;
        Py_INCREF(code);
        entries[0] = {code, key};
        cache.entries = entries;
        cache.capacity = cache_growth;
        cache.count = 1;
        return;
    }
    const std::int32_t pos = bisect_code_cache(cache.entries, cache.count, key);
    if (cache.count == cache.capacity) {
        const std::int32_t capacity = cache.capacity + cache_growth;
        auto* entries = static_cast<CodeCacheEntry*>(
            PyMem_Realloc(cache.entries, static_cast<size_t>(capacity) * sizeof(CodeCacheEntry)));
        if (!entries) return;
        cache.entries = entries;
        cache.capacity = capacity;
    }
    std::memmove(&cache.entries[pos + 1], &cache.entries[pos],
                 static_cast<size_t>(cache.count - pos) * sizeof(CodeCacheEntry));
    cache.count += 1;
    Py_INCREF(code);
    cache.entries[pos] = {code, key};
}

Ref create_traceback_code(int native_line, int python_line, const char* file_name) noexcept {
    // Declared in reverse of their release order: the file name goes first.
    Ref function;
    Ref file = Ref::steal(PyUnicode_FromString(file_name));
    if (!file) return Ref();
    function = Ref::steal(native_line
                                  ? PyUnicode_FromFormat("%s (%s:%d)", traceback_function_name,
                                                         native_source_path, native_line)
                                  : PyUnicode_FromString(traceback_function_name));
    if (!function) return Ref();
    return Ref::steal(reinterpret_cast<PyObject*>(
        compat::new_traceback_code(file.get(), function.get(), python_line,
                                   module_globals.empty_bytes, module_globals.empty_tuple)));
}

void add_traceback_entry(int native_line, int python_line, const char* file_name) noexcept {
    PyThreadState* ts = compat::unchecked_thread_state();
    if (native_line) native_line = resolve_c_line(ts, native_line);
    const std::int32_t key = native_line ? -native_line : python_line;

    Ref code;
    if (key != 0 && code_cache().entries) code = find_cached_code(key);
    if (!code) {
        code = create_traceback_code(native_line, python_line, file_name);
        if (!code) return;
        insert_cached_code(key, reinterpret_cast<PyCodeObject*>(code.get()));
    }
    // Set aside around the frame's creation: from 3.8 on PyFrame_New gives up
    // when an exception is pending and the globals lack __builtins__ (a failure
    // before the module binds it), and a failure of its own must not replace
    // the exception being reported.
    compat::PendingException reported = compat::take_pending_exception(ts);
    Ref frame = Ref::steal(reinterpret_cast<PyObject*>(
        PyFrame_New(ts, reinterpret_cast<PyCodeObject*>(code.get()), module_globals.module_dict, nullptr)));
    compat::put_back_pending_exception(ts, reported);
    if (frame) {
        compat::set_frame_line(reinterpret_cast<PyFrameObject*>(frame.get()), python_line);
        PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
    }
    code.reset();  // the code object goes before the frame
}

}  // namespace vorn
