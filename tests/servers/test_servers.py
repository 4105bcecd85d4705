# Serves the vorn project through the native vorn.asgi module with uvicorn, daphne and hypercorn over loopback.
import concurrent.futures
import json
import os
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.request
from pathlib import Path

REPO_ROOT = Path(__file__).resolve().parents[2]
# Debian's interpreter, whatever python3 happens to run this file: the module is built for it.
PYTHON = "/usr/bin/python3"
START_TIMEOUT = 20.0
REQUEST_TIMEOUT = 10.0
STOP_TIMEOUT = 10.0
HOST = "127.0.0.1"

# How each server is told to serve vorn.asgi:application on HOST:port.
SERVERS = {
    "uvicorn": lambda port: ["-m", "uvicorn", "vorn.asgi:application", "--host", HOST, "--port", str(port)],
    "daphne": lambda port: ["-m", "daphne", "-b", HOST, "-p", str(port), "vorn.asgi:application"],
    "hypercorn": lambda port: ["-m", "hypercorn", "-b", f"{HOST}:{port}", "vorn.asgi:application"],
}

# A proxy from the environment must never see these requests.
_OPENER = urllib.request.build_opener(urllib.request.ProxyHandler({}))

_interpreter_facts = None


def interpreter_facts():
    """EXT_SUFFIX and version of /usr/bin/python3, asked of it rather than of the running interpreter."""
    global _interpreter_facts
    if _interpreter_facts is None:
        out = subprocess.run(
            [PYTHON, "-c", "import json, platform, sysconfig; print(json.dumps("
             "[sysconfig.get_config_var('EXT_SUFFIX'), platform.python_version()]))"],
            capture_output=True, text=True, timeout=30, check=True,
        ).stdout
        _interpreter_facts = json.loads(out)
    return _interpreter_facts


def native_module_path():
    return REPO_ROOT / "vorn" / ("asgi" + interpreter_facts()[0])


def require_native_module(test):
    path = native_module_path()
    if not path.is_file():
        test.fail(f"native module {path} not found for {PYTHON}: build it first: make")
    # A pure-Python vorn/asgi.py would make these tests measure the wrong thing.
    stray = REPO_ROOT / "vorn" / "asgi.py"
    if stray.exists():
        test.fail(f"{stray} must not exist: vorn.asgi is the native module")


def clean_env(**extra):
    env = dict(os.environ)
    # The module must set this itself; an inherited value would hide a missing setdefault.
    env.pop("DJANGO_SETTINGS_MODULE", None)
    env.pop("PYTHONHOME", None)
    env["PYTHONPATH"] = str(REPO_ROOT)
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    env.update(extra)
    return env


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def request(port, path, method="GET", headers=None, data=None):
    """Returns (status, headers, body bytes), treating HTTP error statuses as answers."""
    req = urllib.request.Request(f"http://{HOST}:{port}{path}", method=method, data=data, headers=headers or {})
    try:
        with _OPENER.open(req, timeout=REQUEST_TIMEOUT) as resp:
            return resp.status, resp.headers, resp.read()
    except urllib.error.HTTPError as err:
        with err:
            return err.code, err.headers, err.read()


class NativeModuleTests(unittest.TestCase):
    def test_native_module_is_built(self):
        require_native_module(self)

    def test_fresh_import_builds_django_asgi_handler(self):
        require_native_module(self)
        probe = (
            "import json, os, sys\n"
            "import vorn.asgi\n"
            "from django.core.handlers.asgi import ASGIHandler\n"
            "from django.conf import settings\n"
            "print(json.dumps({\n"
            "    'is_handler': isinstance(vorn.asgi.application, ASGIHandler),\n"
            "    'settings_module': os.environ.get('DJANGO_SETTINGS_MODULE'),\n"
            "    'loaded_settings': settings.SETTINGS_MODULE,\n"
            "    'file': vorn.asgi.__file__,\n"
            "    'test_attr': getattr(vorn.asgi, '__test__', None),\n"
            "}))\n"
        )
        with tempfile.TemporaryDirectory() as tmp:
            # A second settings module proves an already chosen one is kept, not overwritten.
            Path(tmp, "vorn_alt_settings.py").write_text("from vorn.settings import *  # noqa\n")
            cases = [
                ("unset", None, "vorn.settings"),
                ("preset", "vorn_alt_settings", "vorn_alt_settings"),
            ]
            for name, preset, expected in cases:
                with self.subTest(name):
                    env = clean_env(PYTHONPATH=os.pathsep.join([str(REPO_ROOT), tmp]))
                    if preset is not None:
                        env["DJANGO_SETTINGS_MODULE"] = preset
                    # Run from elsewhere so only PYTHONPATH can find the package.
                    proc = subprocess.run([PYTHON, "-c", probe], cwd=tmp, env=env,
                                          capture_output=True, text=True, timeout=60)
                    self.assertEqual(proc.returncode, 0, f"import vorn.asgi failed:\n{proc.stderr}")
                    facts = json.loads(proc.stdout.strip().splitlines()[-1])
                    self.assertTrue(facts["is_handler"], facts)
                    self.assertEqual(facts["settings_module"], expected)
                    self.assertEqual(facts["loaded_settings"], expected)
                    self.assertEqual(Path(facts["file"]).resolve(), native_module_path().resolve())
                    self.assertEqual(facts["test_attr"], {})


class ServerTests(unittest.TestCase):
    def setUp(self):
        require_native_module(self)

    def start(self, name):
        """Starts server `name` on a free loopback port; returns the port once it answers."""
        port = free_port()
        log = tempfile.TemporaryFile(mode="w+")
        self.addCleanup(log.close)
        proc = subprocess.Popen([PYTHON] + SERVERS[name](port), cwd=REPO_ROOT, env=clean_env(),
                                stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
        self.addCleanup(self.stop, proc)
        self.log = log
        self.started = time.monotonic()
        deadline = self.started + START_TIMEOUT
        while True:
            if proc.poll() is not None:
                self.fail(f"{name} exited with {proc.returncode} before answering:\n{self.output()}")
            try:
                with socket.create_connection((HOST, port), timeout=1):
                    pass
                status, _, _ = request(port, "/health")
                if status == 200:
                    return port
            except OSError:
                pass
            if time.monotonic() > deadline:
                self.fail(f"{name} did not answer on port {port} within {START_TIMEOUT}s:\n{self.output()}")
            time.sleep(0.1)

    def output(self):
        self.log.flush()
        self.log.seek(0)
        return self.log.read()[-4000:]

    @staticmethod
    def stop(proc):
        if proc.poll() is None:
            proc.terminate()
            try:
                proc.wait(timeout=STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait(timeout=STOP_TIMEOUT)

    def check_json(self, body):
        return json.loads(body.decode("utf-8"))

    def exercise(self, name):
        port = self.start(name)
        python_version = interpreter_facts()[1]

        def front_page(headers, body):
            text = body.decode("utf-8")
            self.assertIn("<title>vorn</title>", text)
            self.assertIn("served by", text)
            self.assertIn("vorn.asgi", text)

        def health(headers, body):
            data = self.check_json(body)
            self.assertEqual(data["status"], "ok")
            self.assertEqual(data["python"], python_version)
            self.assertTrue(data["native"], f"{name} served a non-native vorn.asgi: {data['asgi_module']}")
            self.assertEqual(Path(data["asgi_module"]).resolve(), native_module_path().resolve())

        def async_view(headers, body):
            self.assertEqual(self.check_json(body), {"async": True})

        def empty(headers, body):
            self.assertEqual(body, b"")

        def allows_get(headers, body):
            self.assertIn("GET", headers.get("Allow", ""))

        def csrf_refused(headers, body):
            self.assertIn(b"CSRF verification failed", body)

        def not_found(headers, body):
            self.assertIn(b"Not Found", body)
            # DEBUG is off by default: no URL pattern listing may leak.
            self.assertNotIn(b"vorn.urls", body)

        # (label, method, path, extra headers, status, content type prefix, body check)
        cases = [
            ("front page", "GET", "/", {}, 200, "text/html", front_page),
            ("health", "GET", "/health", {}, 200, "application/json", health),
            ("async view", "GET", "/async", {}, 200, "application/json", async_view),
            ("HEAD has no body", "HEAD", "/health", {}, 200, "application/json", empty),
            # OPTIONS passes the CSRF check, so the view's own method check answers.
            ("OPTIONS refused", "OPTIONS", "/health", {}, 405, None, allows_get),
            ("OPTIONS refused by async view", "OPTIONS", "/async", {}, 405, None, allows_get),
            ("POST without CSRF token refused", "POST", "/async", {}, 403, "text/html", csrf_refused),
            ("missing path", "GET", "/no-such-page", {}, 404, "text/html", not_found),
            ("query string ignored", "GET", "/async?x=1&y=%20", {}, 200, "application/json", async_view),
            ("localhost allowed", "GET", "/health", {"Host": f"localhost:{port}"}, 200, "application/json", health),
            ("foreign host refused", "GET", "/health", {"Host": "example.com"}, 400, None, None),
        ]
        for label, method, path, headers, status, ctype, check in cases:
            with self.subTest(server=name, case=label):
                data = b"x=1" if method == "POST" else None
                got_status, got_headers, body = request(port, path, method=method, headers=headers, data=data)
                self.assertEqual(got_status, status, f"{method} {path}: {body[:500]!r}")
                if ctype is not None:
                    self.assertTrue(got_headers.get("Content-Type", "").startswith(ctype),
                                    got_headers.get("Content-Type"))
                if check is not None:
                    check(got_headers, body)

        with self.subTest(server=name, case="concurrent async requests"):
            # Several requests in flight at once must each get their own correct answer.
            with concurrent.futures.ThreadPoolExecutor(max_workers=8) as pool:
                results = list(pool.map(lambda _: request(port, "/async"), range(32)))
            for status, _, body in results:
                self.assertEqual(status, 200)
                self.assertEqual(self.check_json(body), {"async": True})

        sys.stderr.write(f"[{name}: {time.monotonic() - self.started:.2f}s] ")

    def test_uvicorn(self):
        self.exercise("uvicorn")

    def test_daphne(self):
        self.exercise("daphne")

    def test_hypercorn(self):
        self.exercise("hypercorn")


if __name__ == "__main__":
    unittest.main()
