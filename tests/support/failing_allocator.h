// Test-only: makes the Nth allocation through the interpreter's allocators fail, once.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vorn::testing {

// Wraps the "mem" and "object" allocator domains. While armed, every allocation
// (malloc, calloc, realloc) counts; the one that makes the count reach the
// target returns null, and later ones succeed again.
class FailingAllocator {
public:
    // The `nth` allocation from now on fails (1 = the very next one).
    static void arm(long nth) noexcept {
        install();
        state().count = 0;
        state().target = nth;
        state().failed = false;
    }
    // Stops counting; returns how many allocations were counted since arm().
    static long disarm() noexcept {
        state().target = 0;
        return state().count;
    }
    static bool failed() noexcept { return state().failed; }
    static long count() noexcept { return state().count; }

private:
    struct State {
        bool installed = false;
        long count = 0;
        long target = 0;  // 0: not armed
        bool failed = false;
        PyMemAllocatorEx mem{};
        PyMemAllocatorEx object{};
    };
    static State& state() noexcept {
        static State instance;
        return instance;
    }

    static bool should_fail() noexcept {
        State& s = state();
        if (s.target == 0) return false;
        if (++s.count != s.target) return false;
        s.failed = true;
        return true;
    }
    static PyMemAllocatorEx& original(void* ctx) noexcept { return *static_cast<PyMemAllocatorEx*>(ctx); }

    static void* malloc_(void* ctx, size_t size) noexcept {
        if (should_fail()) return nullptr;
        return original(ctx).malloc(original(ctx).ctx, size);
    }
    static void* calloc_(void* ctx, size_t n, size_t size) noexcept {
        if (should_fail()) return nullptr;
        return original(ctx).calloc(original(ctx).ctx, n, size);
    }
    static void* realloc_(void* ctx, void* ptr, size_t size) noexcept {
        if (should_fail()) return nullptr;
        return original(ctx).realloc(original(ctx).ctx, ptr, size);
    }
    static void free_(void* ctx, void* ptr) noexcept { original(ctx).free(original(ctx).ctx, ptr); }

    static void install() noexcept {
        State& s = state();
        if (s.installed) return;
        s.installed = true;
        PyMem_GetAllocator(PYMEM_DOMAIN_MEM, &s.mem);
        PyMem_GetAllocator(PYMEM_DOMAIN_OBJ, &s.object);
        PyMemAllocatorEx mem{&s.mem, malloc_, calloc_, realloc_, free_};
        PyMemAllocatorEx object{&s.object, malloc_, calloc_, realloc_, free_};
        PyMem_SetAllocator(PYMEM_DOMAIN_MEM, &mem);
        PyMem_SetAllocator(PYMEM_DOMAIN_OBJ, &object);
    }
};

}  // namespace vorn::testing
