# Allocation-failure sweep: the Nth allocation of the module's creation and execution fails, for every N.
import os
import shutil
import sys
import tempfile
import unittest

from tests.scenarios.harness import ROOT, run_scenario
from tests.scenarios.sweep_driver import crash_signature

# Every N where it matters most (the oldest supported interpreter and the newest);
# every few N elsewhere, to keep the whole suite's time in bounds.
FULL = sys.version_info[:2] in ((3, 6), (3, 13))
FIRST_STEP = 1 if FULL else 3
RETRY_STEP = 3 if FULL else 7

PLAIN_ASGI = '''import os
from django.core.asgi import get_asgi_application
os.environ.setdefault("DJANGO_SETTINGS_MODULE", "vorn.settings")
application = get_asgi_application()
__test__ = {}
'''


def sweep(**options):
    source = "from tests.scenarios import sweep_driver\nreport(**sweep_driver.sweep(**%r))" % (options,)
    outcome = run_scenario(source, timeout=1500)
    return outcome.report


class AllocationFailureSweep(unittest.TestCase):
    def check_children(self, result, step):
        children = result["children"]
        self.assertTrue(children)
        last = children[-1]
        if step == 1:
            # The sweep ran until an import met no injected failure at all.
            self.assertEqual(last["status"], 0)
            self.assertFalse(last["stages"]["done"]["hit"], last)
        crashes = []
        for child in children:
            with self.subTest(n=child["n"]):
                if child["status"] != 0:
                    crashes.append(child)
                    continue
                stages = child["stages"]
                if "done" in stages:
                    # No failure left to hit, or one the interpreter absorbed: a sound import.
                    done = stages["done"]
                    self.assertTrue(done["application_is_result"], done)
                    self.assertTrue(done["test_binding"], done)
                    self.assertEqual(done["settings"], "vorn.settings")
                    self.assertTrue(done["depth_kept"], done)
                    continue
                failed = stages["failed"]
                self.assertTrue(failed["hit"], failed)
                self.assertIsNotNone(failed["error"], failed)
                self.assertTrue(failed["depth_kept"], failed)
                self.assertTrue(failed["unregistered"], failed)
                self.assertTrue(failed["module_dropped"], failed)
                retried = stages["retried"]
                self.assertIsNone(retried["retry_error"], retried)
                self.assertTrue(retried["application_is_result"], retried)
                self.assertTrue(retried["test_binding"], retried)
                self.assertTrue(retried["new_module"], retried)
                self.assertEqual(retried["settings"], "vorn.settings")
        return crashes

    def check_crashes_are_the_interpreters(self, crashes):
        """A crash is accepted only when the plain-Python vorn/asgi.py crashes the same way:
        the injected failure surfacing at the same interpreter function, then a signal."""
        if not crashes:
            return
        wanted = [crash_signature(child) for child in crashes]
        self.assertNotIn(None, wanted, [c["text"][-2000:] for c in crashes])
        wanted = sorted(map(list, {tuple(signature) for signature in wanted}))
        package = tempfile.mkdtemp(prefix="vorn-plain-")
        try:
            os.mkdir(os.path.join(package, "vorn"))
            for name in ("__init__.py", "settings.py", "urls.py", "views.py"):
                shutil.copy(os.path.join(ROOT, "vorn", name), os.path.join(package, "vorn", name))
            with open(os.path.join(package, "vorn", "asgi.py"), "w") as stream:
                stream.write(PLAIN_ASGI)
            plain = sweep(package_dir=package, whole=True, stop_on=wanted)["children"]
        finally:
            shutil.rmtree(package)
        reproduced = [crash_signature(child) for child in plain]
        missing = [signature for signature in wanted if signature not in reproduced]
        self.assertFalse(missing, "crashes the plain-Python file does not share: %r\n%s"
                         % (missing, "\n".join(c["text"][-1500:] for c in crashes)))
        sys.stderr.write("\ninterpreter crashes shared with the plain-Python file: %s\n"
                         % wanted)

    def test_first_attempt_of_a_process(self):
        result = sweep(state="first", step=FIRST_STEP)
        self.check_crashes_are_the_interpreters(self.check_children(result, FIRST_STEP))

    def test_retry_after_an_ordinary_failure(self):
        result = sweep(state="retry", step=RETRY_STEP)
        self.check_crashes_are_the_interpreters(self.check_children(result, RETRY_STEP))


if __name__ == "__main__":
    unittest.main()
