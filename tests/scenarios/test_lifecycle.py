# Scenario tests of the module's lifecycle: docstring and module dict, one execution per process, the interpreter pin, allocation failures, the library's exports.
import os
import re
import subprocess
import sys
import sysconfig
import unittest
from urllib.parse import urlsplit

from tests.scenarios.harness import ROOT, run_scenario

DOCSTRING = (
    "\n"
    "ASGI config for vorn project.\n"
    "\n"
    "It exposes the ASGI callable as a module-level variable named ``application``.\n"
    "\n"
    "For more information on this file, see\n"
    "https://docs.djangoproject.com/en/3.0/howto/deployment/asgi/\n"
)


class ImportedModuleTest(unittest.TestCase):
    def test_docstring_and_dict_after_an_ordinary_import(self):
        outcome = run_scenario("""
            import builtins, sys
            module, error = import_vorn()
            spec = module.__spec__
            report(error=error, doc=module.__doc__, keys=sorted(vars(module)),
                   loader_is_spec_loader=module.__loader__ is spec.loader,
                   file_is_origin=module.__file__ == spec.origin and module.__file__.endswith(".so"),
                   package=module.__package__,
                   builtins_is_module=module.__builtins__ is builtins,
                   runtime=type(sys.modules.get("native_runtime")).__name__,
                   registered=sys.modules["vorn.asgi"] is module)
        """)
        r = outcome.report
        self.assertIsNone(r["error"])
        self.assertEqual(DOCSTRING, r["doc"])
        lines = r["doc"].split("\n")
        self.assertEqual(8, len(lines))  # seven lines, each ended by a line feed
        address = urlsplit(lines[6])
        self.assertEqual(("https", "docs.djangoproject.com", "/en/3.0/howto/deployment/asgi/"),
                         (address.scheme, address.netloc, address.path))
        # What creation copies from the spec, execution binds and the body binds; nothing else.
        self.assertEqual(sorted(["__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__",
                                 "__builtins__", "os", "get_asgi_application", "application", "__test__"]),
                         r["keys"])
        self.assertTrue(r["loader_is_spec_loader"])
        self.assertTrue(r["file_is_origin"])
        self.assertEqual("vorn", r["package"])
        self.assertTrue(r["builtins_is_module"])
        self.assertEqual("module", r["runtime"])
        self.assertTrue(r["registered"])

    def test_reload_and_reimport_do_not_run_the_body_again(self):
        outcome = run_scenario("""
            import importlib, sys
            import django.core.asgi as framework
            module, error = import_vorn()
            application = module.application
            reloaded = importlib.reload(module)
            del sys.modules["vorn.asgi"]
            again, again_error = import_vorn()
            report(error=error or again_error, calls=len(framework.calls),
                   reloaded_same=reloaded is module, again_same=again is module,
                   application_same=again.application is application)
        """)
        self.assertEqual({"error": None, "calls": 1, "reloaded_same": True, "again_same": True,
                          "application_same": True}, outcome.report)


SUBINTERPRETER = """
import json, sys
outcome = []
for attempt in range(2):
    try:
        import vorn.asgi
        outcome.append(["imported"])
    except BaseException as exc:
        outcome.append([type(exc).__name__, str(exc)])
outcome.append("vorn.asgi" in sys.modules)
with open(%r, "w") as f:
    json.dump(outcome, f)
"""


class SecondInterpreterTest(unittest.TestCase):
    def test_import_from_a_second_interpreter_is_refused(self):
        outcome = run_scenario("""
            import json, os, sys, tempfile
            try:
                from _testcapi import run_in_subinterp
            except ImportError as exc:
                report(skip="no _testcapi.run_in_subinterp here: %%s" %% exc)
                raise SystemExit
            import django.core.asgi as framework
            module, error = import_vorn()
            fd, path = tempfile.mkstemp()
            os.close(fd)
            status = run_in_subinterp(%r %% path)
            with open(path) as f:
                sub = json.load(f)
            os.unlink(path)
            # The first interpreter keeps its module and still creates it on a new import.
            del sys.modules["vorn.asgi"]
            again, again_error = import_vorn()
            report(error=error or again_error, status=status, sub=sub, again_same=again is module,
                   calls=len(framework.calls), application=type(again.application).__name__)
        """ % SUBINTERPRETER)
        r = outcome.report
        if "skip" in r:
            self.skipTest(r["skip"])
        refused = ["ImportError",
                   "Interpreter change detected - this module can only be loaded into one interpreter per process."]
        self.assertEqual({"error": None, "status": 0, "sub": [refused, refused, False], "again_same": True,
                          "calls": 1, "application": "Application"}, r)


# ---- allocation failures ------------------------------------------------------------

NATIVE_SOURCE = os.path.join(ROOT, "vorn", "asgi.cpp")

# Lifecycle failure sites by what their check tests; the first marker found in the
# statement names the site ("__builtins__" before builtins_module, which it mentions too).
LIFECYCLE_MARKERS = [
    ("version check", "check_version_compat"),
    ("empty tuple", "g.empty_tuple"),
    ("empty bytes", "g.empty_bytes"),
    ("module dict", "g.module_dict"),
    ("__builtins__ binding", '"__builtins__"'),
    ("builtins fetch", "g.builtins_module"),
    ("native_runtime fetch", "g.runtime_module"),
    ("constants", "init_constant_table"),
    ("module registry", "!modules"),
    ("registration", "PyDict_SetItemString(modules"),
    ("argument tuple", "build_argument_tuple"),
]

# Where an allocation can make the lifecycle fail in an import on every interpreter here.
# The others cannot be reached that way: no warning is issued on the matching version;
# PyTuple_New(0) and the empty bytes object are shared singletons; a module always has a
# dict and the interpreter a module registry; an ordinary import has put the module under
# "vorn.asgi" already, and PyDict_GetItemString swallows a failure to make its key (the
# store that follows then succeeds); PyTuple_Pack(2) takes a tuple from the free list.
REACHABLE = {"builtins fetch", "native_runtime fetch", "__builtins__ binding", "constants"}


def lifecycle_sites():
    """Native line -> site name, for every failure check of the execution's lifecycle steps."""
    with open(NATIVE_SOURCE) as f:
        lines = f.read().split("\n")
    start = next(i for i, line in enumerate(lines) if line.startswith("int run_execution("))
    end = next(i for i in range(start, len(lines)) if lines[i] == "}")
    sites = {}
    for i in range(start + 1, end):
        if "fail_at(" not in lines[i]:
            continue
        first = i
        while lines[first - 1].strip() and not lines[first - 1].strip().startswith("//") \
                and lines[first - 1].rstrip()[-1] not in ";{}":
            first -= 1
        statement = " ".join(lines[first:i + 1])
        name = next(name for name, marker in LIFECYCLE_MARKERS if marker in statement)
        sites[i + 1] = name
    return sites


class AllocationFailureTest(unittest.TestCase):
    def test_every_reachable_lifecycle_site_fails_cleanly_and_recovers(self):
        sites = lifecycle_sites()
        self.assertEqual(sorted(name for name, _ in LIFECYCLE_MARKERS), sorted(sites.values()))
        outcome = run_scenario("""
            from tests.scenarios import sweep_driver
            report(**sweep_driver.sweep(native_line=True, absolute_only=True))
        """, timeout=500)
        children = outcome.report["children"]
        last = children[-1]
        self.assertTrue(last["status"] == 0 and "done" in last["stages"] and not last["stages"]["done"]["hit"],
                        "the sweep never reached an import without injection: %r" % last)

        reached = {}
        interpreter_faults = []
        for child in children[:-1]:
            n = child["n"]
            stages = child["stages"]
            if "done" in stages and child["status"] == 0:
                continue  # the failed allocation was absorbed without failing the import
            first = stages.get("failed", {}).get("error")
            retried = stages.get("retried")
            recovered = retried is not None and retried["retry_error"] is None and \
                retried["application_is_result"] and retried["new_module"]
            if child["status"] != 0 or not recovered:
                # Tolerated only where the failed allocation was in importlib's own code
                # (its module locks): what the import system does after that is its own affair.
                innermost = first["innermost"][0] if first and first["innermost"] else None
                self.assertEqual("<frozen importlib._bootstrap>", innermost,
                                 "N=%d: crashed, hung or could not import again: %r" % (n, child))
                interpreter_faults.append(n)
                continue
            entries = first["module_entries"]
            self.assertLessEqual(len(entries), 1, "N=%d: %r" % (n, first))
            site = None
            if entries:
                match = re.fullmatch(r"init vorn\.asgi \(vorn/asgi\.cpp:(\d+)\)", entries[0][2])
                self.assertIsNotNone(match, "N=%d: entry %r" % (n, entries[0]))
                site = sites.get(int(match.group(1)))
            if site is not None:
                self.assertEqual("MemoryError", first["type"], "N=%d at %s: %r" % (n, site, first))
                self.assertEqual(1, entries[0][1])
                reached.setdefault(site, n)
            else:
                # Elsewhere (the loader's own work, the body's calls into the interpreter)
                # the interpreter's own error may surface instead.
                self.assertIn(first["type"], ("MemoryError", "SystemError"), "N=%d: %r" % (n, first))
        sys.stderr.write("\nlifecycle sites reached (first N): %r; not reached: %s; importlib faults at N=%r\n"
                         % (reached, sorted(set(sites.values()) - set(reached)), interpreter_faults))
        missing = REACHABLE - set(reached)
        self.assertFalse(missing, "lifecycle sites never reached by an allocation failure: %s (reached: %r)"
                         % (sorted(missing), reached))


# ---- the library -------------------------------------------------------------------------

class LibraryTest(unittest.TestCase):
    def test_exports_only_the_entry_point_and_needs_no_cxx_runtime(self):
        library = os.path.join(ROOT, "vorn", "asgi" + sysconfig.get_config_var("EXT_SUFFIX"))
        self.assertTrue(os.path.exists(library), library)

        def tool(*args):
            try:
                return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                      universal_newlines=True, check=True).stdout
            except FileNotFoundError:
                self.skipTest("binutils' %s is not installed" % args[0])

        exported = [line.split()[-1] for line in tool("nm", "-D", "--defined-only", library).splitlines()
                    if line.strip()]
        self.assertEqual(["PyInit_asgi"], exported)
        needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", tool("readelf", "-d", library))
        self.assertTrue(needed)
        self.assertEqual([], [name for name in needed if name.startswith(("libstdc++", "libgcc_s"))], needed)


if __name__ == "__main__":
    unittest.main()
