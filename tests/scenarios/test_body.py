# Scenarios for the module body: its bindings, the settings default, the factory call, and every failure site.
import os
import re
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
import django
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
        ("not ASCII", "projekt_\u00e9t\u00e9.settings", "projekt_\u00e9t\u00e9.settings"),
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
                outcome = run_scenario(SPY + r'''
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


if __name__ == "__main__":
    unittest.main()
