# Allocation-failure sweep over the import of vorn.asgi, one forked child per failing allocation.
#
# Runs inside a scenario process (test_lifecycle.py). `prepare()` imports everything the
# import needs; `sweep()` then forks one child per N. Each child makes the Nth allocation
# of the module's creation and execution fail, describes the failed import, retries with
# injection off and writes both outcomes to a pipe; a crash shows as the child's signal.
# Every child starts from the same prepared, never-imported state.
import _imp
import importlib.util
import json
import os
import signal
import sys
import types

import _failalloc


def prepare():
    import django.core.asgi  # noqa: F401  (the stand-in framework; os comes with it)
    import vorn  # noqa: F401
    runtime = sys.modules.setdefault("native_runtime", types.ModuleType("native_runtime"))
    runtime.native_line_in_traceback = True
    importlib.util.find_spec("vorn.asgi")  # fills the path finder's caches
    # The body's package-relative attempts fail from sys.modules at once (then it imports
    # absolutely, as always). Otherwise they run importlib's module locks, which crash
    # CPython 3.13 under allocation failure even with no native module on the stack.
    sys.modules["vorn.os"] = None
    sys.modules["vorn.django.core.asgi"] = None


class Window:
    """Counts allocations only inside _imp.create_dynamic and _imp.exec_dynamic, the
    extension loader's two steps, so the import system's own work stays uncounted."""

    def __init__(self):
        self.left = 0  # allocations to go until the failing one; 0: not armed
        self.injected = False
        self.executed = None  # the module object handed to the execution step
        for name in ("create_dynamic", "exec_dynamic"):
            setattr(_imp, name, self.wrap(getattr(_imp, name), name == "exec_dynamic"))

    def wrap(self, step, is_exec):
        def counted_step(argument):
            if is_exec:
                self.executed = argument
            if self.left <= 0:
                return step(argument)
            _failalloc.arm(self.left)
            try:
                return step(argument)
            finally:
                counted, failed = _failalloc.disarm()
                self.injected = self.injected or failed
                self.left = 0 if failed else self.left - counted
        return counted_step


def describe(exc):
    """Type, text and traceback entries (file, line, function), read without importing anything."""
    entries = []
    tb = exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        entries.append([code.co_filename, tb.tb_lineno, code.co_name])
        tb = tb.tb_next
    return {"type": type(exc).__name__, "message": str(exc), "entries": entries}


def child(n, write):
    """The failing attempt and the retry; each outcome is written as soon as it is known,
    so that the parent learns where the failure was even if the retry never returns."""
    window = Window()
    window.left = n
    first = None
    try:
        __import__("vorn.asgi")
    except BaseException as exc:
        first = exc
    window.left = 0
    write({"n": n, "injected": window.injected, "first": None if first is None else describe(first)})
    failed_module = window.executed
    try:
        __import__("vorn.asgi")
        module = sys.modules["vorn.asgi"]
        framework = sys.modules["django.core.asgi"]
        write({"second": {
            "application": isinstance(vars(module).get("application"), framework.Application),
            "new_module": first is None or failed_module is None or module is not failed_module,
        }})
    except BaseException as exc:
        write({"second": {"error": describe(exc)}})


def attempt(n, seconds=10):
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(read_end)
            signal.alarm(seconds)  # a child that hangs ends by SIGALRM
            child(n, lambda values: os.write(write_end, (json.dumps(values) + "\n").encode()))
        finally:
            os._exit(0)
    os.close(write_end)
    chunks = []
    while True:
        chunk = os.read(read_end, 1 << 16)
        if not chunk:
            break
        chunks.append(chunk)
    os.close(read_end)
    _, status = os.waitpid(pid, 0)
    result = {"n": n}
    for line in b"".join(chunks).decode().splitlines():
        result.update(json.loads(line))
    result["status"] = status
    return result


def sweep(limit=3000):
    """Results for N = 1, 2, ... up to the first import that succeeds without injection."""
    prepare()
    results = []
    for n in range(1, limit + 1):
        result = attempt(n)
        results.append(result)
        if result.get("first") is None and result.get("injected") is False:
            break
    return results
