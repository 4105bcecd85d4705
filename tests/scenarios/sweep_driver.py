# Allocation-failure sweep over the import of vorn.asgi: one forked child per failing allocation.
#
# Runs inside a scenario process (test_sweep.py; test_lifecycle.py for its failure sites). The parent imports everything the
# import needs, then forks one child per N; each child makes the Nth allocation of the
# module's creation and execution fail, checks what the failed import left behind, retries
# with injection off, and writes what it saw to a pipe. A crash shows as the child's signal.
# Forking from one prepared parent gives every child the same fresh state, so every N is a
# first attempt (or, in the "retry" state, a second attempt after one ordinary failure).
import _imp
import faulthandler
import gc
import importlib.util
import json
import os
import signal
import sys
import traceback
import types
import weakref

_failalloc = None  # the allocation-failure module; sweep() imports it (tests/support)

MARK = "@@sweep@@ "


class Window:
    """Counts allocations only while the module is being created or executed.

    _imp.create_dynamic and _imp.exec_dynamic are what the extension loader calls for
    those two steps; wrapping them keeps the import system's own work (finding the spec,
    the module lock, sys.modules bookkeeping) outside the count. `whole` instead counts
    the entire import statement, used for the plain-Python file, which has no such slots.
    """

    def __init__(self):
        self.target = 0  # 0: not armed
        self.counted = 0
        self.hit = False
        self.module = None  # weak reference to the last module executed
        self.active = False

    def reset(self, target):
        self.target, self.counted, self.hit, self.module = target, 0, False, None

    def run(self, call, *args):
        remaining = self.target - self.counted
        if self.active or self.target == 0 or self.hit or remaining < 1:
            return call(*args)
        self.active = True
        _failalloc.arm(remaining)
        try:
            return call(*args)
        finally:
            counted, hit = _failalloc.disarm()
            self.active = False
            self.counted += counted
            self.hit = self.hit or hit


window = Window()
_real_create, _real_exec = _imp.create_dynamic, _imp.exec_dynamic


def _create(spec, *rest):
    return window.run(_real_create, spec, *rest)


def _exec(module):
    if getattr(module, "__name__", None) == "vorn.asgi":
        window.module = weakref.ref(module)
    return window.run(_real_exec, module)


# ---- what the children check -------------------------------------------------

def _nested_tuple(depth):
    nested = int
    for _ in range(depth):
        nested = (nested,)
    return nested


def _isinstance_reaches(depth, cache={}):
    """Whether isinstance() can descend through `depth` nested tuples from here.

    Each level is one Py_EnterRecursiveCall on the thread's recursion counter, the counter
    the module's calls move too (its C counter from 3.12 on), so the deepest level that
    still works moves by exactly as much as a call left the counter off."""
    if depth not in cache:
        cache[depth] = _nested_tuple(depth)
    try:
        return isinstance(0, cache[depth])
    except RecursionError:
        return False


def recursion_headroom(hint=None):
    """The deepest nesting reachable from the caller's stack depth. A `hint` (the answer
    for a nearby depth) turns the search into a few steps up or down from it."""
    if hint is not None:
        depth = hint
        if _isinstance_reaches(depth):
            while _isinstance_reaches(depth + 1):
                depth += 1
        else:
            while depth > 0 and not _isinstance_reaches(depth):
                depth -= 1
        return depth
    low, high = 1, 2
    while _isinstance_reaches(high):
        low, high = high, high * 2
    while high - low > 1:
        mid = (low + high) // 2
        if _isinstance_reaches(mid):
            low = mid
        else:
            high = mid
    return low


def holds_headroom(depth):
    """Whether the deepest reachable nesting from the caller's depth is still `depth`."""
    return _isinstance_reaches(depth) and not _isinstance_reaches(depth + 1)


def describe(exc):
    # Attributes only: reading a summary's source line would import linecache's helpers.
    entries = traceback.StackSummary.extract(traceback.walk_tb(exc.__traceback__), lookup_lines=False)
    innermost = entries[-1] if entries else None
    return {
        "type": type(exc).__name__,
        "message": str(exc)[:200],
        "innermost": [innermost.filename, innermost.lineno, innermost.name] if innermost else None,
        "module_entries": [[e.filename, e.lineno, e.name] for e in entries if e.filename == "vorn\\asgi.py"],
    }


class Factory:
    """Stands in for the framework's factory; remembers what it returned."""

    def __init__(self, framework):
        self.framework = framework
        self.results = []
        self.raise_once = False

        def get_asgi_application():
            if self.raise_once:
                self.raise_once = False
                raise LookupError("ordinary failure before the sweep")
            application = framework.Application()
            self.results.append(application)
            return application

        framework.get_asgi_application = get_asgi_application


def _emit(stream, **values):
    stream.write(MARK + json.dumps(values) + "\n")
    stream.flush()


def _imported_module_checks(factory, calls_before):
    module = sys.modules.get("vorn.asgi")
    return {
        "application_is_result": module is not None and len(factory.results) == calls_before + 1
        and getattr(module, "application", None) is factory.results[-1],
        "test_binding": module is not None and getattr(module, "__test__", None) == {},
        "settings": os.environ.get("DJANGO_SETTINGS_MODULE"),
    }


def _child(n, stream, factory, headroom, whole):
    headroom = recursion_headroom(headroom)  # measured here, where it is checked again
    window.reset(n)
    calls_before = len(factory.results)
    try:
        if whole:
            window.run(__import__, "vorn.asgi")
        else:
            __import__("vorn.asgi")
        error = None
    except BaseException as exc:  # anything the failed import raises is what we report
        error = describe(exc)
        del exc
    window.target = 0
    attempt = {"n": n, "counted": window.counted, "hit": window.hit, "error": error}
    if error is None:
        # Completed, either with no failure left to hit or with the failure absorbed.
        attempt.update(_imported_module_checks(factory, calls_before))
        attempt["depth_kept"] = holds_headroom(headroom)
        _emit(stream, stage="done", **attempt)
        return
    failed_module = window.module
    attempt.update(
        depth_kept=holds_headroom(headroom),
        unregistered="vorn.asgi" not in sys.modules,
        module_dropped=failed_module is None or failed_module() is None,
    )
    _emit(stream, stage="failed", **attempt)

    calls_before = len(factory.results)
    try:
        __import__("vorn.asgi")
        retry_error = None
    except BaseException as exc:
        retry_error = describe(exc)
        del exc
    retry = {"retry_error": retry_error}
    if retry_error is None:
        retry.update(_imported_module_checks(factory, calls_before))
        retry["new_module"] = failed_module is None or sys.modules["vorn.asgi"] is not failed_module()
    _emit(stream, stage="retried", **retry)


def crash_signature(child):
    """Where a crashed child's injected failure surfaced: exception type and the innermost
    frame's file and function, or None when the child died before describing it."""
    failed = child["stages"].get("failed")
    if child["status"] == 0 or not failed or not failed["error"]["innermost"]:
        return None
    file_name, _, function = failed["error"]["innermost"]
    return [failed["error"]["type"], file_name, function]


def sweep(state="first", package_dir=None, whole=False, first_n=1, stop_n=None, step=1,
          stop_on=None, native_line=False, absolute_only=False, until_crash=False):
    """Runs the children for N = first_n, first_n + step, ... until one completes without
    reaching its Nth allocation (or N reaches stop_n). Returns the children's findings.

    state "first": every child makes the first import attempt of its process.
    state "retry": the parent has already made one failed attempt (the factory raised),
    so every child's injected attempt is a retry, with the module's statics filled.
    package_dir: a directory put first on sys.path (to import a plain-Python vorn).
    stop_on: crash signatures; the sweep ends once children crashed with all of them.
    until_crash: the sweep ends at the first child that crashed.
    native_line: traceback entries name the module's native line, which tells its failure
    sites apart.
    absolute_only: the body's package-relative attempts fail from sys.modules at once (it
    then imports absolutely, as always) instead of running importlib's module locks, which
    crash CPython 3.13 under allocation failure even with no native module on the stack."""
    global _failalloc
    import _failalloc as failalloc
    _failalloc = failalloc
    faulthandler.enable()
    if package_dir:
        sys.path.insert(0, package_dir)
    if native_line:
        runtime = sys.modules.setdefault("native_runtime", types.ModuleType("native_runtime"))
        runtime.native_line_in_traceback = True
    import django.core.asgi as framework
    import vorn
    if absolute_only:
        sys.modules["vorn.os"] = None
        sys.modules["vorn.django.core.asgi"] = None
    importlib.util.find_spec("vorn.settings")  # the package's finder, warmed
    factory = Factory(framework)
    _imp.create_dynamic, _imp.exec_dynamic = _create, _exec
    _failalloc.arm(1 << 30)  # installs the counting allocator before the first fork
    _failalloc.disarm()

    if state == "retry":
        factory.raise_once = True
        try:
            __import__("vorn.asgi")
        except LookupError:
            pass
        else:
            raise AssertionError("the prepared failure did not fail the import")

    gc.collect()
    headroom = recursion_headroom()
    for depth in range(headroom - 20, headroom + 2):
        _isinstance_reaches(depth)  # built once here rather than in every child
    children = []
    n = first_n
    while stop_n is None or n < stop_n:
        read_end, write_end = os.pipe()
        gc.collect()  # the same collector state in every child
        pid = os.fork()
        if pid == 0:
            os.close(read_end)
            signal.alarm(60)  # a child that hangs ends by SIGALRM, which the parent sees
            os.dup2(write_end, 2)  # interpreter noise and faulthandler output go to the parent
            stream = os.fdopen(write_end, "w")
            try:
                _child(n, stream, factory, headroom, whole)
            finally:
                stream.flush()
                os._exit(0)
        os.close(write_end)
        with os.fdopen(read_end) as pipe:
            output = pipe.read()
        _, status = os.waitpid(pid, 0)
        child = {"n": n, "status": status, "stages": {}, "text": ""}
        for line in output.splitlines():
            if line.startswith(MARK):
                values = json.loads(line[len(MARK):])
                child["stages"][values.pop("stage")] = values
            else:
                child["text"] += line + "\n"
        if status == 0:
            child["text"] = ""  # ignored-exception noise from a child that held up
        children.append(child)
        done = child["stages"].get("done")
        if status == 0 and done is not None and not done["hit"]:
            break
        if until_crash and status != 0:
            break
        if stop_on and all(signature in [crash_signature(c) for c in children] for signature in stop_on):
            break
        n += step
    return {"headroom": headroom, "children": children}
