# Scenarios for the module body: its bindings, the settings default, the factory call, and every failure site.
import os
import re
import shutil
import tempfile
import unittest

from tests.scenarios.harness import FIXTURES, ROOT, module_entries, run_scenario

BODY_NAMES = ["os", "get_asgi_application", "application", "__test__"]


def body_sites():
    """Site number -> (native line, line in vorn\\asgi.py), read from the body's checks in
    vorn/asgi.cpp in their order, so the tests follow the source when lines move."""
    with open(os.path.join(ROOT, "vorn", "asgi.cpp")) as source:
        lines = source.read().splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith("int import_os("))
    end = next(i for i, line in enumerate(lines) if line.startswith("int run_body("))
    sites = {}
    for index in range(start, end):
        match = re.search(r"fail_at\(position, (\d+)\)", lines[index])
        if match:
            sites[len(sites) + 1] = (index + 1, int(match.group(1)))
    assert len(sites) == 15, sites
    return sites


# Shared by the scenarios below: a finder that sees the module object while its body
# imports `os` (the relative attempt asks for vorn.os), so a failed import can still be
# inspected, and a summary of a module's body bindings.
SPY = r'''
import sys, os

class Spy:
    module = None
    @classmethod
    def find_spec(cls, name, path=None, target=None):
        if name == "vorn.os" and cls.module is None:
            cls.module = sys.modules.get("vorn.asgi")
        return None

sys.meta_path.insert(0, Spy)

def bindings(module):
    names = vars(module)
    return {name: name in names for name in %r}

def fake():
    return sys.modules.get("django.core.asgi")
''' % (BODY_NAMES,)


class SuccessTest(unittest.TestCase):
    # The factory's result is bound as it is, whatever it is.
    RESULTS = [
        ("the fixture's application", None, "Application"),
        ("None", "None", "NoneType"),
        ("a large int", "10 ** 40", "int"),
        ("a str subclass", "type('Name', (str,), {})('app')", "Name"),
        ("a class", "type", "type"),
    ]

    def test_bindings(self):
        for label, expression, type_name in self.RESULTS:
            with self.subTest(label):
                outcome = run_scenario(SPY + r'''
module, failure = import_vorn()
asgi = fake()
report(failure=failure,
       os=module.os is os,
       factory=module.get_asgi_application is asgi.get_asgi_application,
       calls=asgi.calls,
       same=len(asgi.returned) == 1 and module.application is asgi.returned[0],
       type=type(module.application).__name__,
       test_type=type(module.__test__).__name__, test_len=len(module.__test__),
       other_names=sorted(n for n in vars(module) if not n.startswith("__")),
       spied=Spy.module is module)
''', env={"VORN_FAKE_RETURNS": expression})
                r = outcome.report
                self.assertIsNone(r["failure"])
                self.assertTrue(r["os"])
                self.assertTrue(r["factory"])
                self.assertEqual(r["calls"], ["vorn.settings"])
                self.assertTrue(r["same"], "application is not the factory's very result")
                self.assertEqual(r["type"], type_name)
                self.assertEqual((r["test_type"], r["test_len"]), ("dict", 0))
                self.assertEqual(r["other_names"], ["application", "get_asgi_application", "os"])
                self.assertTrue(r["spied"])


class FactoryCallsTest(unittest.TestCase):
    # After a successful import nothing runs the body again.
    REPEATS = [
        ("import statement", "import vorn.asgi as again"),
        ("importlib.import_module", "again = importlib.import_module('vorn.asgi')"),
        ("importlib.reload", "again = importlib.reload(module)"),
        ("import after removal from sys.modules", "del sys.modules['vorn.asgi']\nimport vorn.asgi as again"),
        ("from-import of application", "from vorn.asgi import application as app\nagain = module"),
    ]

    def test_factory_called_once(self):
        for label, repeat in self.REPEATS:
            with self.subTest(label):
                outcome = run_scenario(r'''
import importlib, sys
module, failure = import_vorn()
application = module.application
asgi = sys.modules["django.core.asgi"]
calls_after_first = len(asgi.calls)
for _ in range(2):
%s
report(failure=failure, first=calls_after_first, calls=len(asgi.calls),
       same_module=again is module and sys.modules["vorn.asgi"] is module,
       same_application=module.application is application)
''' % "\n".join("    " + line for line in repeat.splitlines()))
                self.assertEqual(outcome.report, {"failure": None, "first": 1, "calls": 1, "same_module": True,
                                                  "same_application": True}, outcome)


class SettingsModuleTest(unittest.TestCase):
    CASES = [
        ("unset", None, "vorn.settings"),
        ("empty", "", ""),
        ("another project", "other.settings", "other.settings"),
        ("the default itself", "vorn.settings", "vorn.settings"),
    ]

    def test_preset_kept_unset_defaulted(self):
        for label, preset, expected in self.CASES:
            with self.subTest(label):
                outcome = run_scenario(r'''
import ctypes, os, sys
module, failure = import_vorn()
process = ctypes.CDLL(None).getenv
process.restype = ctypes.c_char_p
raw = process(b"DJANGO_SETTINGS_MODULE")
report(failure=failure, environ=os.environ.get("DJANGO_SETTINGS_MODULE"),
       process=None if raw is None else os.fsdecode(raw),
       seen=sys.modules["django.core.asgi"].calls)
''', env={"DJANGO_SETTINGS_MODULE": preset})
                r = outcome.report
                self.assertIsNone(r["failure"])
                self.assertEqual(r["environ"], expected)
                self.assertEqual(r["process"], expected, "the default did not reach the process environment")
                self.assertEqual(r["seen"], [expected], "the factory ran before line 14 or saw another value")


# os rebound in the module's dict while the framework is imported (VORN_FAKE_ON_IMPORT
# runs then); line 14 must read the new binding. `Env` stands in for os.environ.
REBIND = r'''
import types
class Env:
    def __init__(self, setdefault=None):
        self.args = []
        self._setdefault = setdefault
    def setdefault(self, *args):
        self.args.append(args)
        return self._setdefault(*args) if self._setdefault else args[1]
module = sys.modules["vorn.asgi"]
'''


class RebindOsTest(unittest.TestCase):
    def test_line_14_uses_the_new_binding(self):
        outcome = run_scenario(SPY + r'''
module, failure = import_vorn()
report(failure=failure, args=module.os.environ.args, os_is_module=module.os is os,
       environ="DJANGO_SETTINGS_MODULE" in os.environ, seen=fake().calls,
       application=type(module.application).__name__)
''', env={"VORN_FAKE_ON_IMPORT": REBIND + "module.os = types.SimpleNamespace(environ=Env())"})
        self.assertEqual(outcome.report, {
            "failure": None, "args": [["DJANGO_SETTINGS_MODULE", "vorn.settings"]], "os_is_module": False,
            "environ": False, "seen": [None], "application": "Application"}, outcome)


class FailureTest(unittest.TestCase):
    """Each case: what fails, where, what the failed module's dict holds, and that a new
    attempt in the same process, with the cause gone, runs the whole body and succeeds."""

    # label, fixtures, env, exception type, message, line,
    # names bound in the failed module, DJANGO_SETTINGS_MODULE after the failure,
    # source that removes the cause
    CASES = [
        ("framework missing", (), {}, "ModuleNotFoundError", "No module named 'django'", 12,
         ["os"], None,
         "sys.path.append(%r)" % os.path.join(FIXTURES, "framework")),
        ("name missing", ("framework",), {"VORN_FAKE_NO_FACTORY": "1"}, "ImportError",
         "cannot import name get_asgi_application", 12,
         ["os"], None,
         "del os.environ['VORN_FAKE_NO_FACTORY']; del sys.modules['django.core.asgi']"),
        ("factory raises", ("framework",), {"VORN_FAKE_FACTORY_RAISES": "no settings"}, "LookupError",
         "no settings", 16,
         ["os", "get_asgi_application"], "vorn.settings",
         "del os.environ['VORN_FAKE_FACTORY_RAISES']"),
        ("os deleted during the framework import", ("framework",),
         {"VORN_FAKE_ON_IMPORT": REBIND + "del vars(module)['os']"}, "NameError",
         "name 'os' is not defined", 14,
         ["get_asgi_application"], None, ""),
        ("os rebound to an object without environ", ("framework",),
         {"VORN_FAKE_ON_IMPORT": REBIND + "module.os = object()"}, "AttributeError",
         "'object' object has no attribute 'environ'", 14,
         ["os", "get_asgi_application"], None, ""),
        ("environ without setdefault", ("framework",),
         {"VORN_FAKE_ON_IMPORT": REBIND + "module.os = types.SimpleNamespace(environ=object())"},
         "AttributeError", "'object' object has no attribute 'setdefault'", 14,
         ["os", "get_asgi_application"], None, ""),
        ("setdefault raises", ("framework",),
         {"VORN_FAKE_ON_IMPORT": REBIND + "module.os = types.SimpleNamespace(environ=Env(lambda k, v: {}[k]))"},
         "KeyError", "'DJANGO_SETTINGS_MODULE'", 14,
         ["os", "get_asgi_application"], None, ""),
        ("setdefault removes the factory", ("framework",),
         {"VORN_FAKE_ON_IMPORT": REBIND + "module.os = types.SimpleNamespace("
                                          "environ=Env(lambda k, v: delattr(module, 'get_asgi_application')))"},
         "NameError", "name 'get_asgi_application' is not defined", 16,
         ["os"], None, ""),
        ("setdefault rebinds the factory to an int", ("framework",),
         {"VORN_FAKE_ON_IMPORT": REBIND + "module.os = types.SimpleNamespace("
                                          "environ=Env(lambda k, v: setattr(module, 'get_asgi_application', 5)))"},
         "TypeError", "'int' object is not callable", 16,
         ["os", "get_asgi_application"], None, ""),
    ]

    def test_failures(self):
        for label, fixtures, env, exc_type, message, line, bound, settings, remedy in self.CASES:
            with self.subTest(label):
                # Without the fixture, an installed Django (Debian's) is hidden too.
                hide = "" if fixtures else (
                    "sys.path[:] = [p for p in sys.path if not os.path.isdir(os.path.join(p, 'django'))]")
                outcome = run_scenario(SPY + hide + r'''
module, failure = import_vorn()
failed = Spy.module
first = dict(failure=failure, bindings=bindings(failed), registered="vorn.asgi" in sys.modules,
             settings=os.environ.get("DJANGO_SETTINGS_MODULE"))
os.environ.pop("VORN_FAKE_ON_IMPORT", None)
%s
asgi = fake()
calls_before = len(asgi.calls) if asgi else 0
module, failure = import_vorn()
asgi = fake()
report(first=first, failure=failure, bindings=module and bindings(module),
       new_module=module is not failed and sys.modules.get("vorn.asgi") is module,
       calls=len(asgi.calls) - calls_before,
       same=module is not None and module.application is asgi.returned[-1])
''' % remedy, fixtures=fixtures, env=env)
                r = outcome.report
                first = r["first"]
                self.assertIsNotNone(first["failure"], "the first import did not fail")
                self.assertEqual(first["failure"]["type"], exc_type)
                self.assertEqual(first["failure"]["message"], message)
                self.assertEqual(module_entries(first["failure"]),
                                 [["vorn\\asgi.py", line, "init vorn.asgi"]])
                self.assertEqual(first["bindings"], {name: name in bound for name in BODY_NAMES})
                self.assertFalse(first["registered"])
                self.assertEqual(first["settings"], settings)
                # The new attempt ran every statement once more, into a new module.
                self.assertIsNone(r["failure"], r["failure"])
                self.assertEqual(r["bindings"], {name: True for name in BODY_NAMES})
                self.assertTrue(r["new_module"])
                self.assertEqual(r["calls"], 1)
                self.assertTrue(r["same"])

    def test_factory_exception_entry_precedes_the_factory_frame(self):
        # The module's entry sits between the importer's frames and the factory's own.
        outcome = run_scenario("module, failure = import_vorn()\nreport(entries=failure['entries'])",
                               env={"VORN_FAKE_FACTORY_RAISES": "x"})
        names = [(entry[0].replace(os.sep, "/").endswith("django/core/asgi.py"), entry[2])
                 for entry in outcome.report["entries"]]
        position = names.index((False, "init vorn.asgi"))
        self.assertEqual(names[position + 1:], [(True, "get_asgi_application")])


# Allocation-failure sweep, run as: SWEEP hook preparation stop-lines.
#
# The parent imports everything the import needs, then forks one child per k: the child
# arms _failalloc just before `import vorn.asgi`, counts the allocations up to a hook point
# (the finder asked for vorn.os or vorn.django, or the factory's last step), makes the kth
# allocation after it fail, reports the failure, retries with injection off and reports
# that too. Forking from one prepared parent gives every child the same state, so each k
# is a first attempt; counting from the hook keeps k's meaning however the parent's free
# lists stood when it forked.
#
# The preparation, made at the hook point in every child, is what makes an operation
# allocate at all: "full" leaves the module dict no spare room, so the next new key resizes
# it; "one free" leaves room for exactly one; "no spare dicts" empties the dict free list,
# so PyDict_New must allocate. Otherwise these bindings and PyDict_New reuse memory.
SWEEP = r"""
import gc, json, os, sys, traceback, types
import django.core.asgi as asgi
import _failalloc, vorn

runtime = sys.modules["native_runtime"] = types.ModuleType("native_runtime")
runtime.native_line_in_traceback = True
HOOK, PREPARATION, STOP_LINES = sys.argv[1], sys.argv[2], set(json.loads(sys.argv[3]))


def dict_capacities():
    # sys.getsizeof of a dict -> how many entries its table takes before the next insertion resizes it
    table, scratch, size = {}, {}, sys.getsizeof({})
    for i in range(4096):
        scratch["c%d" % i] = None
        grown = sys.getsizeof(scratch)
        if grown != size:
            table[size], size = i, grown
    return table

CAPACITIES = dict_capacities()
HELD = []


def fill(d, room):
    size, i = sys.getsizeof(d), 0
    # After a resize the table holds exactly len(d) entries, deleted ones gone.
    while sys.getsizeof(d) == size:
        d["_pad%d" % i] = i
        i += 1
    size = sys.getsizeof(d)
    while len(d) < CAPACITIES[size] - room:
        d["_pad%d" % i] = i
        i += 1
    assert sys.getsizeof(d) == size


def prepare():
    module_dict = vars(sys.modules["vorn.asgi"])
    if PREPARATION == "full":
        fill(module_dict, 0)
    elif PREPARATION == "one free":
        fill(module_dict, 1)
    elif PREPARATION == "no spare dicts":
        HELD.append([{} for _ in range(500)])


state = {"active": False, "after_hook": 0, "offset": None, "module": None}


def at_hook():
    if not state["active"]:
        return
    state["active"] = False
    state["module"] = sys.modules.get("vorn.asgi")
    state["offset"] = _failalloc.disarm()[0]
    prepare()
    # The preparation's own allocations are not counted.
    _failalloc.arm(state["after_hook"])


class Hook:
    @staticmethod
    def find_spec(name, path=None, target=None):
        if name == HOOK:
            at_hook()
        return None

sys.meta_path.insert(0, Hook)
asgi.on_call = at_hook if HOOK == "factory" else None


def attempt():
    # import_vorn() without reading source lines, which would cost every child file reads
    try:
        # Not `import vorn.asgi as module`: on 3.6 that reads the package attribute, which a
        # failure in the importer's own bookkeeping after the body may leave unset.
        __import__("vorn.asgi")
        module = sys.modules["vorn.asgi"]
    except BaseException as exc:
        entries = traceback.StackSummary.extract(traceback.walk_tb(exc.__traceback__), lookup_lines=False)
        return None, {"type": type(exc).__name__, "message": str(exc),
                      "entries": [[e.filename, e.lineno, e.name] for e in entries]}
    return module, None


def child(k):
    state["active"], state["after_hook"] = True, k
    _failalloc.arm(1 << 40)  # counts the allocations up to the hook
    module, failure = attempt()
    failed = _failalloc.disarm()[1]
    state["active"] = False
    if state["offset"] is None:
        report(k=k, hook_missed=True, failure=failure)
        os._exit(5)
    n = state["offset"] + k  # the failed allocation's number within the import
    if failure is None and not failed:
        os._exit(3)  # the import needs fewer than n allocations: the sweep is over
    # A failure after the body completed belongs to the importer's own bookkeeping.
    completed = state["module"] is not None and "__test__" in vars(state["module"])
    retry, retry_failure = attempt()
    report(n=n, failure=failure, body_completed=completed, retry_failure=retry_failure,
           retry_complete=retry is not None and retry.application is asgi.returned[-1]
           and retry.__test__ == {} and retry.os is os and retry.get_asgi_application is asgi.get_asgi_application)
    lines = [int(e[2].rsplit(":", 1)[1].rstrip(")")) for e in (failure or {"entries": []})["entries"]
             if e[0] == "vorn\\asgi.py" and ":" in e[2]]
    os._exit(4 if (failure is not None and completed) or STOP_LINES & set(lines) else 0)


def fork(run):
    sys.stdout.flush()
    pid = os.fork()
    if pid == 0:
        try:
            run()
        finally:
            os._exit(70)
    status = os.waitpid(pid, 0)[1]
    return os.WEXITSTATUS(status) if os.WIFEXITED(status) else -os.WTERMSIG(status)


_failalloc.arm(1 << 40)  # installs the counting allocator before the first fork
_failalloc.disarm()
gc.collect()
gc.disable()  # no collection may refill a free list in between

k = 1
while True:
    code = fork(lambda: child(k))
    if code not in (0, 3, 4):
        report(n=k, crashed=code)  # n: here the k of the child
    if code in (3, 4, 5) or k > 5000:
        break
    k += 1
report(end=k, code=code)
"""


def sweep(hook, preparation, stop_lines=()):
    outcome = run_scenario(SWEEP, args=[hook, preparation, repr(sorted(stop_lines))])
    reports = outcome.reports
    if not reports or "end" not in reports[-1] or reports[-1]["code"] == 5:
        raise AssertionError("the sweep did not finish: %r" % outcome)
    return outcome, [r for r in reports if "n" in r]


PLAIN_ASGI = """import os
from django.core.asgi import get_asgi_application
os.environ.setdefault("DJANGO_SETTINGS_MODULE", "vorn.settings")
application = get_asgi_application()
__test__ = {}
"""


def interpreter_crashes_alone():
    """The allocation number at which the plain-Python import crashes, or None."""
    directory = tempfile.mkdtemp(prefix="vorn-plain-")
    try:
        os.mkdir(os.path.join(directory, "vorn"))
        open(os.path.join(directory, "vorn", "__init__.py"), "w").close()
        with open(os.path.join(directory, "vorn", "asgi.py"), "w") as plain:
            plain.write(PLAIN_ASGI)
        # The whole import is swept, from its first allocation, up to the first crash.
        source = ("from tests.scenarios import sweep_driver\n"
                  "children = sweep_driver.sweep(package_dir=%r, whole=True, until_crash=True)['children']\n"
                  "report(crashed=next((c['n'] for c in children if c['status'] != 0), None))" % directory)
        return run_scenario(source, timeout=500).report["crashed"]
    finally:
        shutil.rmtree(directory)


def native_line(entry):
    match = re.match(r"init vorn\.asgi \((.*):(\d+)\)$", entry[2])
    return match and (match.group(1), int(match.group(2)))


class AllocationFailureTest(unittest.TestCase):
    SITES = body_sites()
    # The bindings, the from-list and the __test__ dict fail only for want of memory.
    MEMORY_ONLY = {2, 3, 6, 13, 14, 15}
    BY_NATIVE_LINE = {native: (site, line) for site, (native, line) in SITES.items()}

    control_crash = "not run"

    def check_crashes(self, crashed):
        # Some interpreters' import machinery itself crashes under allocation failure
        # (seen on 3.9, 3.12, 3.13 and Debian's 3.11, in importlib's module-lock code). A
        # crashed child is excused only where a plain-Python vorn.asgi crashes too.
        if not crashed:
            return
        if AllocationFailureTest.control_crash == "not run":
            AllocationFailureTest.control_crash = interpreter_crashes_alone()
        self.assertIsNotNone(AllocationFailureTest.control_crash,
                             "children crashed at k=%r, but the interpreter's import does not crash alone" % crashed)

    def check_attempts(self, attempts):
        """Every injected failure names one body site with its own line, and a new
        attempt afterwards succeeds; returns site -> the failures reported there."""
        reached = {}
        self.check_crashes([attempt["n"] for attempt in attempts if "crashed" in attempt])
        for attempt in attempts:
            if "crashed" in attempt:
                continue
            failure = attempt["failure"]
            if failure is None:
                continue  # absorbed by the interpreter; the import went on and succeeded
            with self.subTest(n=attempt["n"]):
                self.assertIsNone(attempt["retry_failure"])
                self.assertTrue(attempt["retry_complete"])
                entries = module_entries(failure)
                if attempt["body_completed"]:
                    self.assertEqual(entries, [], failure)
                    continue
                self.assertEqual(len(entries), 1, failure)
                path, native = native_line(entries[0])
                self.assertTrue(path.replace("\\", "/").endswith("vorn/asgi.cpp"), path)
                self.assertIn(native, self.BY_NATIVE_LINE, "not a failure site of the body")
                site, line = self.BY_NATIVE_LINE[native]
                self.assertEqual(entries[0][1], line)
                if site in self.MEMORY_ONLY:
                    self.assertEqual((failure["type"], failure["message"]), ("MemoryError", ""))
                reached.setdefault(site, []).append(failure)
        return reached

    def test_sweep_of_the_body(self):
        # Whatever allocation fails from the body's import of os on, the failure names its
        # site and a new import succeeds.
        outcome, attempts = sweep("vorn.os", "none")
        self.assertTrue(attempts, outcome)
        reached = self.check_attempts(attempts)
        # Sites whose operation always allocates, on every interpreter (the from-list's item
        # array among them; the binding and PyDict_New sites allocate only when the dict or
        # the free list runs out, see below).
        self.assertLessEqual({1, 3, 4, 10, 12}, set(reached))

    # site, hook point, preparation that makes the site's operation allocate
    # (site 3 needs none: the sweep of the body reaches it)
    TARGETS = [
        (2, "vorn.os", "full"),
        (6, "vorn.django", "full"),
        (13, "factory", "full"),
        (14, "factory", "no spare dicts"),
        (15, "factory", "one free"),
    ]

    def test_sites_only_exhausted_memory_reaches(self):
        for site, hook, preparation in self.TARGETS:
            with self.subTest(site=site):
                later = [native for number, (native, _) in self.SITES.items() if number >= site]
                outcome, attempts = sweep(hook, preparation, later)
                reached = self.check_attempts(attempts)
                self.assertIn(site, reached, "site %d not reached: %r" % (site, attempts))


if __name__ == "__main__":
    unittest.main()
