# One sample of the import benchmark, run in a fresh interpreter: times `import vorn.asgi` alone and reports JSON.
#
# argv: package root (holding the variant's vorn/), fixtures root, mode.
# Mode "time": the import's wall time and the resident memory it added.
# Mode "callgrind": the import between os.getppid() and os.getpgrp(), which the
# driver's callgrind options use to zero the counters and dump them.
# Mode "callgrind-empty": the same markers around nothing, to subtract.
import json
import os
import sys
import time

root, fixtures, mode = sys.argv[1:4]
sys.path[:0] = [root, fixtures]

# The trivial framework stand-in and the package are imported first: what is
# measured is the module's own import.
import django.core.asgi  # noqa: E402,F401
import vorn  # noqa: E402,F401


def resident_kib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


if mode == "time":
    before = resident_kib()
    start = time.perf_counter()
    import vorn.asgi  # noqa: E402,F401
    elapsed = time.perf_counter() - start
    added = resident_kib() - before
    assert "vorn.asgi" in sys.modules
    print(json.dumps({"seconds": elapsed, "rss_kib": added}))
elif mode == "callgrind":
    os.getppid()
    import vorn.asgi  # noqa: E402,F401,F811
    os.getpgrp()
    assert "vorn.asgi" in sys.modules
else:
    os.getppid()
    os.getpgrp()
