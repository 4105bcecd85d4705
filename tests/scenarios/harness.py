# Runs one scenario in a fresh interpreter process and hands back its outcome.
#
# A scenario is Python source run with `python -c` in a new process (module state is
# process-wide, so every scenario needs its own). The source may call `report(**values)`
# to pass JSON-serialisable values back; `import_vorn()` imports the module and describes
# any failure, traceback entries included.
import json
import os
import subprocess
import sys
import textwrap

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
FIXTURES = os.path.join(ROOT, "tests", "fixtures")
SUPPORT = os.path.join(ROOT, "tests", "support")
MARKER = "@@vorn-scenario@@ "

PRELUDE = r'''
import json as _json, sys as _sys, traceback as _traceback

def report(**values):
    _sys.stdout.write(%(marker)r + _json.dumps(values) + "\n")
    _sys.stdout.flush()

def describe_exception(exc):
    """Type name, text and traceback entries (file, line, function) of an exception."""
    return {
        "type": type(exc).__name__,
        "message": str(exc),
        "entries": [[f[0], f[1], f[2]] for f in _traceback.extract_tb(exc.__traceback__)],
    }

def import_vorn():
    """Imports vorn.asgi; returns (module, None) or (None, description of the failure)."""
    try:
        import vorn.asgi as module
    except BaseException as exc:
        return None, describe_exception(exc)
    return module, None
''' % {"marker": MARKER}


class Outcome:
    def __init__(self, process):
        self.returncode = process.returncode
        self.stdout = process.stdout
        self.stderr = process.stderr
        self.reports = []
        for line in process.stdout.splitlines():
            if line.startswith(MARKER):
                self.reports.append(json.loads(line[len(MARKER):]))

    @property
    def report(self):
        """The last report; fails loudly when the scenario made none."""
        if not self.reports:
            raise AssertionError("scenario made no report (exit %s)\nstdout:\n%s\nstderr:\n%s"
                                 % (self.returncode, self.stdout, self.stderr))
        return self.reports[-1]

    def __repr__(self):
        return "Outcome(exit=%r, reports=%r, stderr=%r)" % (self.returncode, self.reports, self.stderr[-2000:])


def run_scenario(source, fixtures=("framework",), env=None, python=None, timeout=120, args=()):
    """Runs `source` in a fresh interpreter with the checkout and the named fixture
    directories (under tests/fixtures) on sys.path, and tests/support for _failalloc.
    DJANGO_SETTINGS_MODULE and the fixture controls are removed from the environment
    unless `env` sets them; a value of None in `env` removes a variable."""
    environment = {k: v for k, v in os.environ.items()
                   if k != "DJANGO_SETTINGS_MODULE" and not k.startswith("VORN_FAKE_")}
    path = [ROOT] + [os.path.join(FIXTURES, name) for name in fixtures] + [SUPPORT]
    environment["PYTHONPATH"] = os.pathsep.join(path)
    environment["PYTHONDONTWRITEBYTECODE"] = "1"
    for key, value in (env or {}).items():
        if value is None:
            environment.pop(key, None)
        else:
            environment[key] = value
    code = PRELUDE + "\n" + textwrap.dedent(source)
    process = subprocess.run([python or sys.executable, "-c", code] + list(args), cwd=ROOT,
                             env=environment, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             universal_newlines=True, timeout=timeout)
    return Outcome(process)


def module_entries(description):
    """The traceback entries that name the module's own Python file."""
    return [entry for entry in description["entries"] if entry[0] == "vorn\\asgi.py"]
