// The module's process-wide state and the evaluation and error-reporting operations the module runs on.
#pragma once

#include "python_compat.h"

#include <cstdint>
#include <source_location>

namespace vorn {

// ---- owned references -------------------------------------------------------

// One strong reference, released when the owner goes out of scope. Borrowed
// references stay plain PyObject pointers.
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* object) noexcept { return Ref(object); }
    static Ref borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Ref(object);
    }
    Ref(Ref&& other) noexcept : object_(other.object_) { other.object_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            reset();
            object_ = other.object_;
            other.object_ = nullptr;
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { reset(); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Hands the reference to the caller.
    [[nodiscard]] PyObject* release() noexcept {
        PyObject* object = object_;
        object_ = nullptr;
        return object;
    }
    // Drops the reference now; the field is null before the object can be freed.
    void reset() noexcept {
        PyObject* object = object_;
        object_ = nullptr;
        Py_XDECREF(object);
    }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

// ---- state ------------------------------------------------------------------

// Per lookup site: the dict's version tag at the last full lookup and what it
// found then. The value is borrowed and trusted only while the tag is current.
struct GlobalLookupCache {
    std::uint64_t dict_version = 0;
    PyObject* cached_value = nullptr;
};

struct CodeCacheEntry {
    PyCodeObject* code;  // strong
    std::int32_t key;    // -native line when that is shown, else the Python line
};

// Synthetic code objects of traceback entries, sorted by key; never shrinks.
struct CodeObjectCache {
    std::int32_t count = 0;
    std::int32_t capacity = 0;
    CodeCacheEntry* entries = nullptr;
};

// Everything the module keeps, for the life of the process. Fields hold strong
// references unless noted; only module_object is ever released.
struct ModuleGlobals {
    PyObject* module_object = nullptr;
    PyObject* module_dict = nullptr;
    PyObject* builtins_module = nullptr;
    PyObject* runtime_module = nullptr;  // "native_runtime", shared with other native modules
    PyObject* empty_tuple = nullptr;
    PyObject* empty_bytes = nullptr;
    Py_ssize_t frame_locals_offset = 0;       // bytes from a frame's start to f_localsplus
    PyInterpreterState* first_interpreter = nullptr;  // identity only, no reference

    PyObject* name_DJANGO_SETTINGS_MODULE = nullptr;
    PyObject* name_application = nullptr;
    PyObject* name_native_line_in_traceback = nullptr;
    PyObject* name_django_core_asgi = nullptr;
    PyObject* name_environ = nullptr;
    PyObject* name_get_asgi_application = nullptr;
    PyObject* name_os = nullptr;
    PyObject* settings_module_default = nullptr;  // "vorn.settings", not interned
    PyObject* name_setdefault = nullptr;
    PyObject* name_test = nullptr;
    PyObject* setdefault_args = nullptr;

    GlobalLookupCache os_lookup_cache;                    // the read of `os` at line 14
    GlobalLookupCache get_asgi_application_lookup_cache;  // the read at line 16
    CodeObjectCache code_cache;
    GlobalLookupCache native_line_option_cache;
};

extern constinit ModuleGlobals module_globals;

// The Python file whose statements the module runs, as tracebacks name it.
inline constexpr const char python_file_name[] = "vorn\\asgi.py";
// The function name of the module's traceback entries.
inline constexpr const char traceback_function_name[] = "init vorn.asgi";
// The module's native source, as the build records it; shown beside the line.
extern const char native_source_path[];

// Where a step failed: the line of the failed check in the native source, the
// statement's line in the Python file, and that file's name.
struct ErrorPosition {
    int native_line = 0;
    int python_line = 0;
    const char* file_name = python_file_name;
};

// Records the failure of the check on the calling line and yields -1, so a
// check reads `if (!x) return fail_at(position, 10);`.
[[nodiscard]] inline int fail_at(ErrorPosition& position, int python_line,
                                 std::source_location here = std::source_location::current()) noexcept {
    position = {static_cast<int>(here.line()), python_line, python_file_name};
    return -1;
}

// ---- module-global lookups and attributes -----------------------------------

Ref lookup_builtin(PyObject* name) noexcept;
Ref get_attribute(PyObject* object, PyObject* name) noexcept;

// Inline at each site: out of line, the call itself costs more than the
// comparison and increment of a lookup at an unchanged tag.
inline Ref lookup_module_global(PyObject* name, GlobalLookupCache& cache) noexcept {
    PyObject* dict = module_globals.module_dict;
    if (compat::dict_version(dict) != cache.dict_version) {
        PyObject* found = _PyDict_GetItem_KnownHash(dict, name, compat::stored_hash(name));
        // The probe may run __eq__ code that changes the dict: take the tag afterwards.
        cache.dict_version = compat::dict_version(dict);
        cache.cached_value = found;
        if (!found && PyErr_Occurred()) return Ref();
    }
    if (cache.cached_value) return Ref::borrow(cache.cached_value);
    // Through a temporary, so that the result need not live in memory on the paths above.
    return Ref::steal(lookup_builtin(name).release());
}

// ---- imports ----------------------------------------------------------------

Ref import_module(PyObject* name, PyObject* from_list) noexcept;
Ref import_name_from(PyObject* module, PyObject* name) noexcept;

// ---- calls --------------------------------------------------------------------

inline constexpr const char recursion_where[] = " while calling a Python object";

Ref call_object(PyObject* callable, PyObject* args) noexcept;
Ref call_no_args(PyObject* callable) noexcept;
Ref fast_call_function(PyCodeObject* code, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* globals) noexcept;

// ---- error reporting -----------------------------------------------------------

void add_traceback_entry(int native_line, int python_line, const char* file_name) noexcept;
Ref create_traceback_code(int native_line, int python_line, const char* file_name) noexcept;
Ref find_cached_code(std::int32_t key) noexcept;
void insert_cached_code(std::int32_t key, PyCodeObject* code) noexcept;
std::int32_t bisect_code_cache(const CodeCacheEntry* entries, std::int32_t count, std::int32_t key) noexcept;
int resolve_c_line(PyThreadState* thread_state, int native_line) noexcept;

}  // namespace vorn
