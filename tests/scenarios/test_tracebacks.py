# Scenario tests of the traceback entry a failed import of vorn.asgi carries, and of the native-line option.
import os
import re
import textwrap
import unittest

from tests.scenarios.harness import ROOT, module_entries, run_scenario

MODULE_FILE = "vorn\\asgi.py"
PLAIN_NAME = "init vorn.asgi"
SHOWN_NAME = re.compile(r"init vorn\.asgi \(vorn/asgi\.cpp:(\d+)\)\Z")

with open(os.path.join(ROOT, "vorn", "asgi.cpp")) as _source:
    SOURCE_LINES = _source.read().splitlines()


def failing_check(native_line):
    """The failure check on native_line of vorn/asgi.cpp. The line shown must hold the whole
    check, the condition tested and its fail_at( call, not the tail of a longer statement."""
    if not 1 <= native_line <= len(SOURCE_LINES):
        raise AssertionError("line %d is outside vorn/asgi.cpp" % native_line)
    check = SOURCE_LINES[native_line - 1].strip()
    if not (check.startswith("if (") and "fail_at(" in check):
        raise AssertionError("vorn/asgi.cpp:%d is no whole failure check: %r" % (native_line, check))
    return check


def function_lines(name):
    """The lines of vorn/asgi.cpp from the definition of `int name(` to its closing brace."""
    start = next(i for i, text in enumerate(SOURCE_LINES, 1) if re.match(r"int %s\(" % name, text))
    end = next(i for i in range(start, len(SOURCE_LINES) + 1) if SOURCE_LINES[i - 1] == "}")
    return range(start, end + 1)


# Defines attempt(): one import of vorn.asgi, returning the exception or None.
ATTEMPT = '''
import sys

def attempt():
    try:
        import vorn.asgi
    except BaseException as exc:
        return exc
    return None

def restore():
    pass
'''

# Makes the runtime module the way another native module would, with the option on.
OPTION_ON = '''
import types
sys.modules["native_runtime"] = types.ModuleType("native_runtime")
sys.modules["native_runtime"].native_line_in_traceback = True
'''

# A key that lands on a name's hash slot and fails every comparison.
COLLIDES = '''
        class Collides:
            def __init__(self, name):
                self.name = name
            def __hash__(self):
                return hash(self.name)
            def __eq__(self, other):
                raise ArithmeticError("compared with " + self.name)
        '''

# Runs exec_module by hand, so that the module dict can be prepared between
# creation and execution, and sys.modules lacks the module during execution.
BY_HAND = '''
        import importlib.util
        spec = importlib.util.find_spec("vorn.asgi")
        module = importlib.util.module_from_spec(spec)

        def attempt():
            try:
                spec.loader.exec_module(module)
            except BaseException as exc:
                return exc
            return None
        '''

RUN = '''
failure = attempt()
restore()
runtime = sys.modules.get("native_runtime")
if runtime is None:
    option = "<no module>"
elif hasattr(runtime, "native_line_in_traceback"):
    option = repr(runtime.native_line_in_traceback)
else:
    option = "<absent>"
report(failure=describe_exception(failure) if failure is not None else None, option=option)
'''

# name: (setup, line, exception type, functions called below the entry,
#        a fragment of the failing check, whether the option decides)
FAILURES = {
    "import os": ('''
        _os = sys.modules["os"]
        sys.modules["os"] = None
        def restore():
            sys.modules["os"] = _os
        ''', 10, "ModuleNotFoundError", [], "(!os)", True),
    "name missing from the framework": ('''
        import os
        os.environ["VORN_FAKE_NO_FACTORY"] = "1"
        ''', 12, "ImportError", [], "(!value)", True),
    "os.environ.setdefault raises": ('''
        import os, django.core.asgi
        class Environ:
            def setdefault(self, key, value):
                raise KeyError(key)
        _environ = os.environ
        os.environ = Environ()
        def restore():
            os.environ = _environ
        ''', 14, "KeyError", ["setdefault"], "(!result)", True),
    "factory raises": ('''
        import django.core.asgi
        def factory():
            raise LookupError("no application")
        django.core.asgi.get_asgi_application = factory
        ''', 16, "LookupError", ["factory"], "(!application)", True),
    "__test__ binding": (COLLIDES + '''
        import django.core.asgi
        def factory():
            sys.modules["vorn.asgi"].__dict__[Collides("__test__")] = None
            return "application"
        django.core.asgi.get_asgi_application = factory
        ''', 1, "ArithmeticError", ["__eq__"], "g.name_test", True),
    # The first attempt of the process fails before the runtime module is held:
    # the native line is shown whatever the option says.
    "builtins fetch": (COLLIDES + '''
        _builtins = sys.modules.pop("builtins")
        _key = Collides("builtins")
        sys.modules[_key] = None
        def restore():
            del sys.modules[_key]
            sys.modules["builtins"] = _builtins
        ''', 1, "ArithmeticError", ["__eq__"], "(!g.builtins_module)", False),
    "runtime module fetch": (COLLIDES + '''
        _key = Collides("native_runtime")
        sys.modules[_key] = None
        def restore():
            del sys.modules[_key]
        ''', 1, "ArithmeticError", ["__eq__"], "(!g.runtime_module)", False),
    "registration in sys.modules": (COLLIDES + BY_HAND + '''
        _key = Collides("vorn.asgi")
        sys.modules[_key] = None
        def restore():
            del sys.modules[_key]
        ''', 1, "ArithmeticError", ["__eq__"], '"vorn.asgi", g.module_object', True),
}


def source(*pieces):
    """Scenario source from pieces, each dedented on its own."""
    return "".join(textwrap.dedent(piece) for piece in pieces)


def scenario(setup, option_on=False, run=RUN):
    return source(ATTEMPT, OPTION_ON if option_on else "", setup, run)


class TracebackTestCase(unittest.TestCase):
    def the_entry(self, failure, line, called=()):
        """Checks that the failure carries exactly one entry of the module, at `line`, standing
        right above the entries of the code it called; returns the entry's function name."""
        entries = failure["entries"]
        positions = [i for i, entry in enumerate(entries) if entry[0] == MODULE_FILE]
        self.assertEqual(1, len(positions), entries)
        position = positions[0]
        self.assertEqual(line, entries[position][1], entries)
        self.assertEqual(list(called), [entry[2] for entry in entries[position + 1:]], entries)
        # Above it only the importer: the scenario and the import system.
        for file_name, _, _ in entries[:position]:
            self.assertTrue(file_name == "<string>" or file_name.startswith("<frozen importlib"), entries)
        return entries[position][2]

    def shown_check(self, name, line):
        """The failing check named by a function name that shows the native line."""
        match = SHOWN_NAME.match(name)
        self.assertIsNotNone(match, name)
        native_line = int(match.group(1))
        check = failing_check(native_line)
        self.assertIn("fail_at(position, %d)" % line, check)
        return native_line, check


class FailurePlacesTest(TracebackTestCase):
    def test_every_failure_carries_one_entry_of_the_module(self):
        for name, (setup, line, exception, called, fragment, option_decides) in FAILURES.items():
            # Where the option cannot decide, the option is left alone.
            for option_on in (False, True) if option_decides else (False,):
                with self.subTest(name, option_on=option_on):
                    outcome = run_scenario(scenario(setup, option_on))
                    failure = outcome.report["failure"]
                    self.assertIsNotNone(failure, outcome)
                    self.assertEqual(exception, failure["type"], failure)
                    function_name = self.the_entry(failure, line, called)
                    if option_decides and not option_on:
                        self.assertEqual(PLAIN_NAME, function_name)
                        self.assertEqual("False", outcome.report["option"])
                    else:
                        _, check = self.shown_check(function_name, line)
                        self.assertIn(fragment, check)
                    if not option_decides:
                        # Without the runtime module nothing read the option or created it.
                        self.assertEqual("<no module>", outcome.report["option"])

    def test_allocation_failures_in_the_lifecycle(self):
        # Each attempt makes the nth allocation of the execution fail, until one
        # attempt gets through; every failure from the builtins fetch on names its check.
        outcome = run_scenario(source(ATTEMPT, OPTION_ON, BY_HAND, '''
            import _failalloc, traceback
            import os, django.core.asgi
            def attempt_failing(n):
                try:
                    _failalloc.arm(n)
                    spec.loader.exec_module(module)
                except BaseException as exc:
                    return exc
                finally:
                    _failalloc.disarm()
                return None

            results = []
            for n in range(1, 200):
                module = importlib.util.module_from_spec(spec)
                failure = attempt_failing(n)
                sys.modules.pop("vorn.asgi", None)
                if failure is None:
                    break
                results.append(describe_exception(failure))
            report(results=results, succeeded=failure is None)
            '''))
        self.assertTrue(outcome.report["succeeded"], outcome)
        checks = []
        for failure in outcome.report["results"]:
            self.assertEqual("MemoryError", failure["type"], failure)
            if module_entries(failure):
                _, check = self.shown_check(self.the_entry(failure, 1), 1)
                checks.append(check)
            else:
                # Only allocations of the import system before the execution holds the module.
                self.assertEqual([], checks, outcome.report["results"])
        # The fetches fail by allocation on some versions only; the collisions above reach them.
        for fragment in ('"__builtins__"', "init_constant_table()"):
            self.assertTrue(any(fragment in check for check in checks), (fragment, checks))

    def test_first_attempt_shows_the_native_line_until_the_option_name_exists(self):
        # The option is set to hide the line and counts its truth tests. In the
        # first attempt of a process the binding of __builtins__ and the first
        # constants fail before the option's name exists: the line is shown and
        # the option is not read. One process per allocation number.
        checks = {}
        for n in range(1, 40):
            outcome = run_scenario(source(ATTEMPT, BY_HAND, '''
                import types, _failalloc
                runtime = sys.modules["native_runtime"] = types.ModuleType("native_runtime")
                class Counting:
                    tests = 0
                    def __bool__(self):
                        Counting.tests += 1
                        return False
                runtime.native_line_in_traceback = Counting()
                try:
                    _failalloc.arm(int(sys.argv[1]))
                    spec.loader.exec_module(module)
                    failure = None
                except BaseException as exc:
                    failure = exc
                finally:
                    _failalloc.disarm()
                report(failure=describe_exception(failure) if failure else None, tests=Counting.tests)
                '''), args=[str(n)])
            failure = outcome.report["failure"]
            if failure is None or not module_entries(failure):
                continue
            name = self.the_entry(failure, 1)
            match = SHOWN_NAME.match(name)
            if not match:
                self.assertEqual(PLAIN_NAME, name)
                self.assertGreater(outcome.report["tests"], 0)
                break
            self.assertEqual(0, outcome.report["tests"], name)
            checks[n] = failing_check(int(match.group(1)))
        else:
            self.fail("no attempt got as far as reading the option: %r" % checks)
        self.assertTrue(any('"__builtins__"' in check for check in checks.values()), checks)

    def test_allocation_failure_at_the_test_binding(self):
        # The factory arms the allocator: the first allocation after it returns fails.
        outcome = run_scenario(source(ATTEMPT, OPTION_ON, '''
            import _failalloc, django.core.asgi
            def factory():
                _failalloc.arm(1)
                return "application"
            django.core.asgi.get_asgi_application = factory
            failure = attempt()
            _failalloc.disarm()
            report(failure=describe_exception(failure))
            '''))
        failure = outcome.report["failure"]
        self.assertEqual("MemoryError", failure["type"], failure)
        native_line, _ = self.shown_check(self.the_entry(failure, 1), 1)
        self.assertIn(native_line, function_lines("bind_test"))

    def test_failures_before_the_module_is_held_carry_no_entry(self):
        cases = [
            # module_create reads the spec before any module exists.
            ("spec unreadable", "LookupError", '''
                import importlib.util, _imp
                spec = importlib.util.find_spec("vorn.asgi")
                class Spec:
                    name = spec.name
                    origin = spec.origin
                    parent = spec.parent
                    submodule_search_locations = None
                    @property
                    def loader(self):
                        raise LookupError("no loader")
                try:
                    _imp.create_dynamic(Spec())
                except BaseException as exc:
                    failure = exc
                report(failure=describe_exception(failure))
                '''),
            # Two modules created before either runs: the second execution is refused.
            ("second initialisation", "RuntimeError", '''
                import importlib.util
                spec = importlib.util.find_spec("vorn.asgi")
                first = importlib.util.module_from_spec(spec)
                second = importlib.util.module_from_spec(spec)
                spec.loader.exec_module(first)
                try:
                    spec.loader.exec_module(second)
                except BaseException as exc:
                    failure = exc
                report(failure=describe_exception(failure))
                '''),
        ]
        for name, exception, source in cases:
            with self.subTest(name):
                outcome = run_scenario(scenario(source, option_on=True, run=""))
                failure = outcome.report["failure"]
                self.assertEqual(exception, failure["type"], failure)
                self.assertEqual([], module_entries(failure), failure)


# The factory raises a pre-made exception and keeps its own frame; the
# scenario reports whether the exception that left the import is that one,
# with the factory's traceback entry right below the module's.
OPTION_SCENARIO = ATTEMPT + '''
import types, django.core.asgi
runtime = sys.modules["native_runtime"] = types.ModuleType("native_runtime")
class Raising:
    calls = 0
    def __bool__(self):
        Raising.calls += 1
        raise ZeroDivisionError("truth test")
ERROR = LookupError("no application")
frames = []
def factory():
    frames.append(sys._getframe())
    raise ERROR
django.core.asgi.get_asgi_application = factory
%(set_option)s
value = getattr(runtime, "native_line_in_traceback", None)
failure = attempt()
traceback = failure.__traceback__
while traceback.tb_frame.f_code.co_filename != "vorn\\\\asgi.py":
    traceback = traceback.tb_next
below = traceback.tb_next
report(failure=describe_exception(failure),
       same_exception=failure is ERROR and type(failure) is LookupError,
       context=repr(failure.__context__),
       factory_frame_below=below is not None and below.tb_next is None and below.tb_frame is frames[0],
       option=repr(getattr(runtime, "native_line_in_traceback", "<absent>")),
       option_unchanged=getattr(runtime, "native_line_in_traceback", None) is value,
       truth_tests=Raising.calls)
'''


class OptionTest(TracebackTestCase):
    def test_the_option_decides_whether_the_native_line_is_shown(self):
        cases = [
            ("True", True), ("1", True), ("'x'", True),
            ("False", False), ("0", False), ("''", False), ("None", False),
            ("Raising()", False),
        ]
        for expression, shown in cases:
            with self.subTest(expression):
                outcome = run_scenario(OPTION_SCENARIO % {
                    "set_option": "runtime.native_line_in_traceback = " + expression})
                report = outcome.report
                name = self.the_entry(report["failure"], 16, ["factory"])
                if shown:
                    _, check = self.shown_check(name, 16)
                    self.assertIn("(!application)", check)
                else:
                    self.assertEqual(PLAIN_NAME, name)
                self.assertTrue(report["option_unchanged"], report)
                # The import's own exception, whatever the option's truth test did.
                self.assertTrue(report["same_exception"], report)
                self.assertTrue(report["factory_frame_below"], report)
                self.assertEqual("None", report["context"])
                if expression == "Raising()":
                    self.assertGreater(report["truth_tests"], 0)

    def test_an_absent_option_is_created_switched_off(self):
        outcome = run_scenario(OPTION_SCENARIO % {"set_option": ""})
        report = outcome.report
        self.assertEqual(PLAIN_NAME, self.the_entry(report["failure"], 16, ["factory"]))
        self.assertEqual("False", report["option"])
        self.assertTrue(report["same_exception"], report)
        self.assertTrue(report["factory_frame_below"], report)

    def test_a_change_between_attempts_is_seen_at_the_next(self):
        # Another module sets the option between attempts; attempts under the
        # same setting reuse the code object made the first time.
        outcome = run_scenario(source(ATTEMPT, '''
            import os, django.core.asgi
            os.environ["VORN_FAKE_FACTORY_RAISES"] = "no application"

            def entry():
                failure = attempt()
                traceback = failure.__traceback__
                while traceback.tb_frame.f_code.co_filename != "vorn\\\\asgi.py":
                    traceback = traceback.tb_next
                return traceback.tb_frame.f_code

            codes = [entry()]
            runtime = sys.modules["native_runtime"]
            settings = [True, 0, "on", False]
            for setting in settings:
                runtime.native_line_in_traceback = setting
                codes.append(entry())
            del runtime.native_line_in_traceback
            codes.append(entry())
            report(names=[code.co_name for code in codes],
                   same=[[codes.index(code) for code in codes]],
                   option=repr(runtime.native_line_in_traceback))
            '''))
        report = outcome.report
        names = report["names"]
        shown = [bool(SHOWN_NAME.match(name)) for name in names]
        # absent, True, 0, "on", False, deleted again
        self.assertEqual([False, True, False, True, False, False], shown, names)
        self.assertEqual(len(set(names)), 2, names)
        # Each setting's entry reuses the first code object made for it.
        self.assertEqual([[0, 1, 0, 1, 0, 0]], report["same"])
        self.assertEqual("False", report["option"])


if __name__ == "__main__":
    unittest.main()
