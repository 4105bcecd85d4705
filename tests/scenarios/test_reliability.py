# Reliability of vorn.asgi: reference accounting, memory kept per failed attempt, threads, recursion depth, bad import specs and environments.
import unittest

from tests.scenarios.harness import run_scenario

# A scenario prelude: a factory that can be switched to fail, with the texts of the
# module's interned constants.
FACTORY = r'''
import builtins, gc, os, sys
import django.core.asgi as framework
import vorn

switch = {"fail": False}
applications = []

def get_asgi_application():
    if switch["fail"]:
        raise LookupError("switched on")
    application = framework.Application()
    applications.append(application)
    return application

framework.get_asgi_application = get_asgi_application

CONSTANT_TEXTS = ["DJANGO_SETTINGS_MODULE", "application", "native_line_in_traceback",
                  "django.core.asgi", "environ", "get_asgi_application", "os", "setdefault",
                  "__test__"]
# Interned up front and held here, so the module's constants are these very objects.
constants = {text: sys.intern(text) for text in CONSTANT_TEXTS}

def failing_attempt():
    switch["fail"] = True
    try:
        import vorn.asgi
    except LookupError:
        pass
    else:
        raise AssertionError("the switched-on factory did not fail the import")
    switch["fail"] = False
'''

# What the module keeps after a successful first import, by object: a reference in
# ModuleGlobals (builtins, the runtime module, one per constant), a binding in the module
# dict (os, the factory, application) or a key of it (os, get_asgi_application,
# application, __test__), the __builtins__ binding, and setdefault_args' hold on its first
# element. os.environ is only read.
KEPT_BY_SUCCESS = {
    "os module": 1, "os.environ": 0, "factory": 1, "builtins": 2,
    "name DJANGO_SETTINGS_MODULE": 2, "name application": 2, "name native_line_in_traceback": 1,
    "name django.core.asgi": 1, "name environ": 1, "name get_asgi_application": 2, "name os": 2,
    "name setdefault": 1, "name __test__": 2,
}
# A failed attempt (the factory raising at line 16) followed by a successful retry: the
# failed attempt's references are never released, its module dict (bindings and keys of
# os and get_asgi_application, __builtins__) stays alive in ModuleGlobals, its argument
# tuple holds DJANGO_SETTINGS_MODULE, and reporting the failure created the runtime
# module's native_line_in_traceback attribute.
KEPT_BY_FAILURE_AND_RETRY = {
    "os module": 2, "os.environ": 0, "factory": 2, "builtins": 4,
    "name DJANGO_SETTINGS_MODULE": 4, "name application": 3, "name native_line_in_traceback": 3,
    "name django.core.asgi": 2, "name environ": 2, "name get_asgi_application": 4, "name os": 4,
    "name setdefault": 2, "name __test__": 3,
}

REFERENCES = FACTORY + r'''
def counts():
    # The type attribute cache holds names it has looked up; empty it so it counts nothing.
    sys._clear_type_cache()
    gc.collect()
    found = {"os module": sys.getrefcount(os), "os.environ": sys.getrefcount(os.environ),
             "factory": sys.getrefcount(get_asgi_application),
             "builtins": sys.getrefcount(builtins)}
    for text, constant in constants.items():
        # Keys of their own: a key equal to the text would itself be the constant.
        found["name " + text] = sys.getrefcount(constant)
    return found

def immortal(obj):
    # From 3.12 on some objects (interned strings among them) ignore reference counting.
    count = sys.getrefcount(obj)
    holder = [obj]
    return sys.getrefcount(obj) == count

counts()  # a first run settles what running counts() itself caches
before = counts()
if FAIL_FIRST:
    failing_attempt()
import vorn.asgi
after = counts()
immortal = [key for key, obj in [("os module", os), ("os.environ", os.environ),
                                 ("factory", get_asgi_application), ("builtins", builtins)]
            + [("name " + text, constant) for text, constant in constants.items()]
            if immortal(obj)]
runtime = sys.modules["native_runtime"]
report(delta={key: after[key] - before[key] for key in before}, immortal=immortal,
       # held by: the applications list, the module dict, getrefcount's argument
       application=sys.getrefcount(applications[0]), applications=len(applications),
       # held by: sys.modules, each execution's ModuleGlobals reference, `runtime` and the argument
       runtime=sys.getrefcount(runtime),
       option=getattr(runtime, "native_line_in_traceback", "absent"))
'''

BLOCKS = FACTORY + r'''
kept_dicts = [None] * 128  # preallocated: appending would allocate as it grows

def get_asgi_application():
    kept_dicts[switch["attempts"]] = sys.modules["vorn.asgi"].__dict__
    switch["attempts"] += 1
    if switch["fail"]:
        raise LookupError("switched on")
    return framework.Application()

framework.get_asgi_application = get_asgi_application
switch["attempts"] = 0

def blocks():
    sys._clear_type_cache()
    gc.collect()
    return sys.getallocatedblocks()

for _ in range(10):  # first attempts fill caches (code objects of the traceback entry, ...)
    failing_attempt()
start = blocks()
for _ in range(100):
    failing_attempt()
grown = blocks()
# Emptying the failed attempts' module dicts releases everything reachable from them;
# what remains is held by the module directly.
for module_dict in kept_dicts[10:110]:
    module_dict.clear()
residual = blocks()
import vorn.asgi
report(counted=start > 0, gross=(grown - start) / 100, net=(residual - start) / 100,
       application=type(vorn.asgi.application).__name__)
'''

THREADS = r'''
import threading, time
import django.core.asgi as framework

calls = []

def get_asgi_application():
    calls.append(threading.current_thread().name)
    time.sleep(0.3)  # releases the GIL: the other thread's import runs meanwhile
    return framework.Application()

framework.get_asgi_application = get_asgi_application
barrier = threading.Barrier(2)
modules, errors = {}, []

def worker():
    barrier.wait()
    try:
        import vorn.asgi
        modules[threading.current_thread().name] = vorn.asgi
    except BaseException as exc:
        errors.append(repr(exc))

threads = [threading.Thread(target=worker, name="t%d" % i) for i in range(2)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
report(calls=len(calls), errors=errors, distinct=len({id(m) for m in modules.values()}),
       imported=len(modules),
       same_application=len({id(m.application) for m in modules.values()}) == 1)
'''

RECURSION = r'''
import os, sys
import django.core.asgi

def depth_here():
    frame, depth = sys._getframe(1), 0
    while frame is not None:
        depth += 1
        frame = frame.f_back
    return depth

def import_at(remaining):
    if remaining > 0:
        return import_at(remaining - 1)
    try:
        import vorn.asgi
        return "ok"
    except RecursionError:
        return "RecursionError"
    except BaseException as exc:
        return "%s: %s" % (type(exc).__name__, exc)

limit = sys.getrecursionlimit()
outcomes = {}
for depth in range(limit - 50, limit + 1):
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        os.dup2(write_end, 2)
        base = depth_here()
        try:
            outcome = import_at(depth - base)
        except RecursionError:
            outcome = "unreachable"  # Python itself cannot recurse that deep here
        if outcome not in ("ok", "unreachable"):
            try:
                import vorn.asgi  # from a shallow depth the retry must succeed
                outcome += "/retried"
            except BaseException as exc:
                outcome += "/retry failed: %r" % exc
        os.write(write_end, outcome.encode())
        os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as pipe:
        text = pipe.read().decode(errors="replace")
    _, status = os.waitpid(pid, 0)
    outcomes[depth] = [status, text[-300:]]
report(outcomes=outcomes)
'''

SPECS = r'''
import importlib.util, random, sys
import vorn

real = importlib.util.find_spec("vorn.asgi")
MISSING = object()
COPIED = (("loader", "__loader__", True), ("origin", "__file__", True),
          ("parent", "__package__", True), ("submodule_search_locations", "__path__", False))


class Raises:
    def __init__(self, exception):
        self.exception = exception


class Odd(str):
    pass


class Refused(Exception):
    pass


class Interrupted(BaseException):
    pass


class Vanished(AttributeError):
    pass


def pool():
    return [MISSING, MISSING, None, None, 0, 1.5, "text", b"bytes", [], ["/somewhere"], (), {},
            object(), real.loader, Odd("odd"), Raises(Refused("refused")),
            Raises(KeyError("key")), Raises(Interrupted()), Raises(Vanished("vanished")),
            Raises(AttributeError("plain"))]


class Spec:
    """An import spec whose attributes come from a table. Until the module asks for
    "loader" (its first read after "name"), "origin" reads as the real path, since the
    interpreter's loader needs that to find the library."""

    def __init__(self, name, values):
        self.__dict__.update(_name=name, _values=values, _reads=[])

    def __getattribute__(self, attribute):
        if attribute.startswith("_"):
            return object.__getattribute__(self, attribute)
        reads = self._reads
        reads.append(attribute)
        if attribute == "name":
            return self._name
        if attribute == "origin" and "loader" not in reads:
            return real.origin
        value = self._values.get(attribute, MISSING)
        if isinstance(value, Raises):
            raise value.exception
        if value is MISSING:
            raise AttributeError(attribute)
        return value


def expected(name, values):
    """The creation rules: (exception, dict, reads of the module) for a spec."""
    namespace = {"__name__": name, "__doc__": DOC, "__package__": None, "__loader__": None,
                 "__spec__": None}
    reads = ["name"]
    for attribute, key, store_none in COPIED:
        reads.append(attribute)
        value = values.get(attribute, MISSING)
        if isinstance(value, Raises):
            if isinstance(value.exception, AttributeError):
                continue
            return value.exception, None, reads
        if value is MISSING or (value is None and not store_none):
            continue
        namespace[key] = value
    return None, namespace, reads


rng = random.Random(20261211)
# A str subclass as the name is left out: CPython 3.13.0's own PyModule_NewObject aborts
# on a name the collector tracks (see test_str_subclass_name).
names = ["vorn.asgi", "asgi", "elsewhere.asgi", "a.b.c.asgi"]
DOC = None
mismatches, outcomes = [], {"created": 0, "failed": 0}
for index in range(300):
    choices = pool()
    values = {attribute: rng.choice(choices) for attribute, _, _ in COPIED}
    name = rng.choice(names)
    spec = Spec(name, values)
    try:
        module = real.loader.create_module(spec)
        error = None
    except BaseException as exc:
        module, error = None, exc
    if DOC is None and module is not None:
        DOC = vars(module).get("__doc__")
    want_error, want_namespace, want_reads = expected(name, values)
    # The module's own reads: from the "name" just before "loader" on; after a creation
    # the loader reads "name" once more for its verbose message.
    reads = spec._reads
    reads = reads[reads.index("loader") - 1:] if "loader" in reads else reads[-1:]
    if error is None and reads[-1:] == ["name"] and len(reads) > 1:
        reads = reads[:-1]
    problem = None
    if want_error is not None:
        outcomes["failed"] += 1
        if error is not want_error:
            problem = "raised %r, expected %r" % (error, want_error)
    else:
        outcomes["created"] += 1
        if error is not None:
            problem = "raised %r" % (error,)
        else:
            namespace = dict(vars(module))
            if set(namespace) != set(want_namespace):
                problem = "keys %r, expected %r" % (sorted(namespace), sorted(want_namespace))
            else:
                for key, value in want_namespace.items():
                    same = namespace[key] == value if key == "__doc__" else namespace[key] is value
                    if not same:
                        problem = "%s is %r, expected %r" % (key, namespace[key], value)
    if problem is None and reads != want_reads:
        problem = "read %r, expected %r" % (reads, want_reads)
    if problem is not None:
        mismatches.append("spec %d (%r, %r): %s" % (index, name, values, problem))

import vorn.asgi
report(mismatches=mismatches[:20], outcomes=outcomes, doc=DOC is not None,
       application=type(vorn.asgi.application).__name__)
'''

STR_SUBCLASS_NAME = r'''
import ctypes, importlib.util, os
import vorn

class Odd(str):
    pass

def in_child(action):
    pid = os.fork()
    if pid == 0:
        os.dup2(os.open(os.devnull, os.O_WRONLY), 2)
        os._exit(0 if action() else 3)
    return os.waitpid(pid, 0)[1]

real = importlib.util.find_spec("vorn.asgi")
name = Odd("vorn.asgi")

def by_the_module():
    spec = importlib.util.spec_from_file_location(name, real.origin, loader=real.loader)
    return real.loader.create_module(spec).__name__ is name

def by_the_interpreter():
    new_object = ctypes.pythonapi.PyModule_NewObject
    new_object.restype, new_object.argtypes = ctypes.py_object, [ctypes.py_object]
    return new_object(name).__name__ is name

report(module=in_child(by_the_module), interpreter=in_child(by_the_interpreter))
'''

ENVIRON = FACTORY + r'''
import traceback


class WithoutSetdefault:
    pass


class RaisingSetdefault:
    def setdefault(self, key, value):
        raise ValueError("setdefault refused %s" % key)


class NotCallable:
    setdefault = 42


class RaisingOnAccess:
    @property
    def setdefault(self):
        raise KeyError("not now")


real_environ = os.environ
cases = {"missing": WithoutSetdefault(), "raising": RaisingSetdefault(),
         "not callable": NotCallable(), "raising on access": RaisingOnAccess(), "None": None}
def details(exc, replacement):
    # Type, text and the attribute details the interpreter attaches from 3.10 on.
    return [type(exc).__name__, str(exc), getattr(exc, "name", None),
            getattr(exc, "obj", None) is replacement]


found = {}
for label, replacement in cases.items():
    os.environ = replacement
    try:
        os.environ.setdefault("DJANGO_SETTINGS_MODULE", "vorn.settings")
    except BaseException as exc:
        interpreter = details(exc, replacement)
    raised, lines = None, None
    try:
        import vorn.asgi
    except BaseException as exc:
        raised = details(exc, replacement)
        lines = [entry[1] for entry in traceback.extract_tb(exc.__traceback__)
                 if entry[0] == "vorn\\asgi.py"]
    finally:
        os.environ = real_environ
    found[label] = {"interpreter": interpreter, "module": raised, "lines": lines,
                    "sys_modules": "vorn.asgi" in sys.modules,
                    "factory_calls": len(applications),
                    "settings": os.environ.get("DJANGO_SETTINGS_MODULE")}

module, failure = import_vorn()
report(found=found, retry=failure, application=module is not None and module.application is applications[-1])
'''


class ReferenceAccounting(unittest.TestCase):
    maxDiff = None

    def check(self, fail_first, kept):
        outcome = run_scenario("FAIL_FIRST = %r\n" % fail_first + REFERENCES)
        result = outcome.report
        expected = {key: (0 if key in result["immortal"] else delta) for key, delta in kept.items()}
        self.assertEqual(result["delta"], expected)
        self.assertEqual(result["applications"], 1)
        self.assertEqual(result["application"], 3)
        executions = 2 if fail_first else 1
        self.assertEqual(result["runtime"], 3 + executions)
        self.assertEqual(result["option"], False if fail_first else "absent")

    def test_successful_import(self):
        self.check(False, KEPT_BY_SUCCESS)

    def test_failed_import_then_successful_retry(self):
        self.check(True, KEPT_BY_FAILURE_AND_RETRY)

    def test_memory_kept_per_failed_attempt(self):
        result = run_scenario(BLOCKS).report
        if not result["counted"]:
            self.skipTest("no pymalloc blocks to count (PYTHONMALLOC=malloc)")
        # Per failed attempt the module keeps, beyond what its module dict holds: the dict
        # itself, the argument tuple and the tuple's "vorn.settings" string.
        self.assertAlmostEqual(result["net"], 3, delta=0.2)
        # Everything else kept is reachable from that dict (module attributes, the spec
        # and the loader of the attempt); bounded, not growing with the attempts.
        self.assertLess(result["gross"], 40)
        self.assertEqual(result["application"], "Application")


class Concurrency(unittest.TestCase):
    def test_two_threads_importing_at_once_share_one_module_and_one_factory_call(self):
        result = run_scenario(THREADS).report
        self.assertEqual(result["errors"], [])
        self.assertEqual(result["imported"], 2)
        self.assertEqual(result["distinct"], 1)
        self.assertEqual(result["calls"], 1)
        self.assertTrue(result["same_application"])

    def test_import_near_the_recursion_limit_succeeds_or_raises_recursion_error(self):
        outcomes = run_scenario(RECURSION, timeout=600).report["outcomes"]
        self.assertEqual(len(outcomes), 51)
        limit = max(map(int, outcomes))
        for depth, (status, text) in sorted(outcomes.items(), key=lambda item: int(item[0])):
            with self.subTest(depth=depth):
                self.assertEqual(status, 0, text)
                if int(depth) >= limit - 2 and text == "unreachable":
                    continue  # the Python recursion that gets there already hits the limit
                self.assertIn(text, ("ok", "RecursionError/retried"))
        # The sweep crosses the limit: both outcomes occur.
        texts = {text for _, text in outcomes.values()}
        self.assertLessEqual({"ok", "RecursionError/retried"}, texts)


class BadInput(unittest.TestCase):
    def test_random_import_specs_are_created_as_the_rules_predict(self):
        result = run_scenario(SPECS).report
        self.assertEqual(result["mismatches"], [])
        self.assertTrue(result["doc"])
        # Both kinds occur in the sample.
        self.assertGreater(result["outcomes"]["created"], 50)
        self.assertGreater(result["outcomes"]["failed"], 50)
        self.assertEqual(result["application"], "Application")

    def test_str_subclass_name(self):
        # The name becomes __name__ as it is; where that kills the process, the
        # interpreter's PyModule_NewObject alone dies the same way.
        result = run_scenario(STR_SUBCLASS_NAME).report
        if result["module"] != 0:
            self.assertEqual(result["interpreter"], result["module"])
        else:
            self.assertEqual(result["interpreter"], 0)

    def test_replaced_environ_fails_line_14_with_the_interpreters_error(self):
        result = run_scenario(ENVIRON).report
        self.assertEqual(set(result["found"]), {"missing", "raising", "not callable",
                                                "raising on access", "None"})
        for label, found in result["found"].items():
            with self.subTest(environ=label):
                self.assertEqual(found["module"], found["interpreter"])
                self.assertEqual(found["lines"], [14])
                self.assertFalse(found["sys_modules"])
                self.assertEqual(found["factory_calls"], 0)
                self.assertIsNone(found["settings"])
        self.assertIsNone(result["retry"])
        self.assertTrue(result["application"])


if __name__ == "__main__":
    unittest.main()
