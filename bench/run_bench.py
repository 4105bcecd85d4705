#!/usr/bin/env python3
# make bench: measures the import, the operations and the footprint of vorn.asgi side by side and prints one table of ratios.
#
# Import: `import vorn.asgi` in fresh processes on 3.6 and the newest interpreter,
# four variants interleaved round by round in throw-away copies of the package:
# the module, the plain five-line file from its .pyc, the floor module
# (bench/floor/asgi.cpp: only the two imports, relative then absolute) and the work
# floor (the same source doing everything the import is required to do through the
# plain API, with nothing cached). The framework is
# a stand-in whose factory does nothing (bench/fixtures). Ratios are medians of
# per-round ratios; instruction counts come from callgrind.
# Operations: bench/operations.cpp (Google Benchmark) embedding the same
# interpreters, each operation beside the interpreter call it stands for.
# Footprint: the built libraries of every interpreter.
import argparse
import json
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FIXTURES = os.path.join(ROOT, "tests", "fixtures", "framework")
# The import is measured against a factory that does nothing (bench/fixtures); the
# operations program embeds the tests' stand-in, which the module state it prepares expects.
IMPORT_FIXTURES = os.path.join(ROOT, "bench", "fixtures")
CHILD = os.path.join(ROOT, "bench", "import_child.py")

PLAIN_SOURCE = """\
import os
from django.core.asgi import get_asgi_application
os.environ.setdefault("DJANGO_SETTINGS_MODULE", "vorn.settings")
application = get_asgi_application()
__test__ = {}
"""

VARIANTS = ("module", "plain", "floor", "work_floor")


def log(*parts):
    print(*parts, file=sys.stderr, flush=True)


def interpreters():
    out = subprocess.run([os.path.join(ROOT, "tools", "interpreters.sh")], check=True,
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, universal_newlines=True).stdout
    found = []
    for line in out.splitlines():
        if not line:
            continue
        tag, python, include, libdir, suffix, builds, ldlib = line.split("|")
        found.append({"tag": tag, "python": python, "libdir": libdir, "suffix": suffix,
                      "builds": builds == "1"})
    return found


def child_env(extra=None):
    # No inherited Python or stand-in settings; a fixed hash seed keeps callgrind's counts repeatable.
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("PYTHON", "VORN_FAKE_")) and k != "DJANGO_SETTINGS_MODULE"}
    env["PYTHONHASHSEED"] = "0"
    env.update(extra or {})
    return env


def make_variants(interp, build, workdir):
    """Copies of the package, differing only in what vorn.asgi is."""
    roots = {}
    for variant in VARIANTS:
        root = os.path.join(workdir, interp["tag"], variant)
        package = os.path.join(root, "vorn")
        os.makedirs(package)
        for name in sorted(os.listdir(os.path.join(ROOT, "vorn"))):
            if name.endswith(".py"):
                shutil.copy(os.path.join(ROOT, "vorn", name), package)
        library = "asgi" + interp["suffix"]
        if variant == "module":
            shutil.copy(os.path.join(ROOT, "vorn", library), package)
        elif variant in ("floor", "work_floor"):
            shutil.copy(os.path.join(build, "bench", variant, library), package)
        else:
            with open(os.path.join(package, "asgi.py"), "w") as f:
                f.write(PLAIN_SOURCE)
        # Every .py of the copy (and of the stand-in) imports from its .pyc.
        subprocess.run([interp["python"], "-m", "compileall", "-q", root, IMPORT_FIXTURES], check=True,
                       env=child_env(), stdout=subprocess.DEVNULL)
        roots[variant] = root
    return roots


def time_imports(interp, roots, rounds, rng):
    samples = {v: [] for v in VARIANTS}
    rss = {v: [] for v in VARIANTS}
    for _ in range(rounds):
        order = list(VARIANTS)
        rng.shuffle(order)
        for variant in order:
            out = subprocess.run([interp["python"], CHILD, roots[variant], IMPORT_FIXTURES, "time"], check=True,
                                 env=child_env(), stdout=subprocess.PIPE, universal_newlines=True).stdout
            result = json.loads(out)
            samples[variant].append(result["seconds"])
            rss[variant].append(result["rss_kib"])
    return samples, rss


def callgrind_count(interp, root, mode, workdir, env=None):
    out_file = os.path.join(workdir, "callgrind.out")
    for name in os.listdir(workdir):
        if name.startswith("callgrind.out"):
            os.unlink(os.path.join(workdir, name))
    subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out_file,
                    "--zero-before=getppid", "--dump-before=getpgrp",
                    interp["python"], CHILD, root, IMPORT_FIXTURES, mode],
                   check=True, env=child_env(env), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    with open(out_file + ".1") as dump:
        for line in dump:
            if line.startswith("summary:"):
                return int(line.split()[1])
    raise RuntimeError("no summary in the callgrind dump")


# Where the module's instructions go, by inclusive count (callgrind_annotate), against the floor's.
BREAKDOWN = [
    ("library load (dlopen)", "dlopen_doit"),
    ("module creation from the import spec", "vorn::module_create("),
    ("constants", "vorn::create_constants("),
    ("the two imports", "vorn::import_module("),
    ("os.environ.setdefault", "vorn::call_object("),
    ("factory call", "vorn::call_no_args("),
]


def inclusive_counts(dump):
    out = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", dump], check=True,
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, universal_newlines=True).stdout
    found = {}
    for label, needle in BREAKDOWN:
        for line in out.splitlines():
            if needle in line:
                found[label] = int(line.split()[0].replace(",", ""))
                break
    return found


def count_instructions(interp, roots, reps, workdir):
    cgdir = os.path.join(workdir, interp["tag"], "callgrind")
    os.makedirs(cgdir)
    empty = statistics.median(callgrind_count(interp, roots["module"], "callgrind-empty", cgdir)
                              for _ in range(reps))
    counts = {}
    breakdown = {}
    for v in VARIANTS:
        counts[v] = statistics.median(callgrind_count(interp, roots[v], "callgrind", cgdir)
                                      for _ in range(reps)) - empty
        if shutil.which("callgrind_annotate"):
            breakdown[v] = inclusive_counts(os.path.join(cgdir, "callgrind.out.1"))
    counts["breakdown"] = breakdown
    # A deployment that sets the variable itself spares setdefault its KeyError and its
    # write to the environment; the floor never calls it.
    preset = {"DJANGO_SETTINGS_MODULE": "vorn.settings"}
    counts["preset"] = {v: statistics.median(callgrind_count(interp, roots[v], "callgrind", cgdir, preset)
                                             for _ in range(reps)) - empty
                        for v in ("module", "floor")}
    return counts


def run_operations(interp, build, reps):
    program = os.path.join(build, "bench", "operations_" + interp["tag"])
    if not os.path.exists(program):
        return None
    env = child_env({"PYTHONHOME": os.path.dirname(interp["libdir"]),
                     "PYTHONPATH": ROOT + os.pathsep + FIXTURES})
    out = subprocess.run([program, "--benchmark_format=json", "--benchmark_min_time=0.05",
                          "--benchmark_repetitions=%d" % reps, "--benchmark_enable_random_interleaving=true"],
                         check=True, env=env, stdout=subprocess.PIPE, universal_newlines=True).stdout
    times = {}
    for row in json.loads(out)["benchmarks"]:
        if row.get("run_type") == "iteration":
            times.setdefault(row["run_name"], []).append(row["cpu_time"])
    # The fastest repetition: interference from other work on the machine only ever adds time.
    return {name: min(values) for name, values in times.items()}


def elf_facts(path):
    dynamic = subprocess.run(["readelf", "-d", "-W", path], check=True, stdout=subprocess.PIPE,
                             universal_newlines=True).stdout
    needed = [line.split("[", 1)[1].split("]", 1)[0] for line in dynamic.splitlines() if "(NEEDED)" in line]
    symbols = subprocess.run(["nm", "-D", "--defined-only", path], check=True, stdout=subprocess.PIPE,
                             universal_newlines=True).stdout.split()
    exported = [s for s in symbols[2::3]]
    relocs = subprocess.run(["readelf", "-r", "-W", path], check=True, stdout=subprocess.PIPE,
                            universal_newlines=True).stdout
    relocations = sum(1 for line in relocs.splitlines() if line[:1] in "0123456789abcdef" and line.strip())
    return {"size": os.path.getsize(path), "exported": exported, "needed": needed, "relocations": relocations}


# ---- the table -----------------------------------------------------------------------------

rows = []
verdicts = []


def row(section, what, ratio, target="", met=None, context=""):
    if met is not None:
        verdicts.append(met)
    rows.append((section, what, ratio, target, "" if met is None else ("yes" if met else "**no**"), context))


def us(seconds):
    return "%.0f µs" % (seconds * 1e6)


def paired_ratio(a, b):
    return statistics.median(x / y for x, y in zip(a, b))


# The comparisons of the import, each by paired median time and by instructions:
# (numerator, denominator, what it shows).
COMPARISONS = [
    ("module", "floor", "module / floor module"),
    ("work_floor", "floor", "work floor / floor module: the required work besides the two imports"),
    ("module", "work_floor", "module / work floor: the module's own machinery"),
    ("module", "plain", "module / plain .pyc"),
    ("floor", "plain", "floor module / plain .pyc"),
]


def import_rows(interp, samples, rss, counts, is_reference):
    section = "import " + interp["tag"]
    med = {v: statistics.median(samples[v]) for v in VARIANTS}
    for a, b, label in COMPARISONS:
        ratio = paired_ratio(samples[a], samples[b])
        checked = is_reference and (a, b) == ("module", "floor")
        target = "≤ 1.10x" if checked else ("reported" if (a, b) == ("module", "plain") else "")
        row(section, label + " (paired median)", "%.3fx" % ratio, target, (ratio <= 1.10) if checked else None,
            "%s vs %s" % (us(med[a]), us(med[b])))
    if counts:
        for a, b, label in COMPARISONS:
            row(section, "instructions: %s (callgrind)" % label, "%.3fx" % (counts[a] / counts[b]), "", None,
                "%.0fk vs %.0fk" % (counts[a] / 1e3, counts[b] / 1e3))
        preset = counts["preset"]
        row(section, "instructions: module / floor module, DJANGO_SETTINGS_MODULE already set (callgrind)",
            "%.3fx" % (preset["module"] / preset["floor"]), "", None,
            "%.0fk vs %.0fk" % (preset["module"] / 1e3, preset["floor"] / 1e3))
        module_parts = counts["breakdown"].get("module", {})
        floor_loads = [(name, counts["breakdown"].get(v, {}).get("library load (dlopen)"))
                       for name, v in (("floor", "floor"), ("work floor", "work_floor"))]
        if module_parts:
            parts = []
            for label, _ in BREAKDOWN:
                if label not in module_parts:
                    continue
                text = "%s %.0fk" % (label, module_parts[label] / 1e3)
                if label.startswith("library load"):
                    text += " (%s)" % ", ".join("%s %.0fk" % (name, load / 1e3) for name, load in floor_loads if load)
                parts.append(text)
            row(section, "module's instructions by step (callgrind, inclusive)", "", "", None, "; ".join(parts))
    row(section, "resident memory added: module / plain / floor / work floor", "", "", None,
        " / ".join("%d KiB" % statistics.median(rss[v]) for v in VARIANTS))


OPERATIONS = [
    # (measured, baseline, label, target ratio or None, target text, on reference only)
    ("lookup_unchanged_tag", "baseline/tag_compare_incref",
     "lookup_module_global, unchanged tag / tag compare + incref", 1.2, "≤ 1.2x"),
    ("lookup_full", "baseline/_PyDict_GetItem_KnownHash",
     "lookup_module_global, full / _PyDict_GetItem_KnownHash", 1.1, "≤ 1.1x"),
    ("lookup_full", "baseline/PyDict_GetItem", "lookup_module_global, full / PyDict_GetItem", None, ""),
    ("call_no_args/0", "baseline/PyObject_Call/0",
     "call_no_args, Python function (direct route) / PyObject_Call(f, ())", 1.0, "< 1x"),
    ("call_no_args/1", "baseline/PyObject_Call/1",
     "call_no_args, METH_NOARGS built-in / PyObject_Call(f, ())", None, ""),
    ("call_no_args/2", "baseline/PyObject_Call/2", "call_no_args, generic (int) / PyObject_Call(f, ())", None, ""),
    ("resolve_c_line_cached", "resolve_c_line_uncached", "resolve_c_line, cached / uncached", None, ""),
    ("find_cached_code_hit", "baseline/create_traceback_code/0",
     "find_cached_code hit / create_traceback_code", 0.1, "≤ 0.1x"),
    ("find_cached_code_hit", "baseline/create_traceback_code/123",
     "find_cached_code hit / create_traceback_code, native line shown", None, ""),
]


def operation_rows(interp, times, is_reference):
    section = "operations " + interp["tag"]
    for measured, baseline, label, limit, target in OPERATIONS:
        if measured not in times or baseline not in times:
            continue
        ratio = times[measured] / times[baseline]
        checked = limit is not None and is_reference
        met = None
        if checked:
            met = ratio < limit if target.startswith("<") else ratio <= limit
        row(section, label, "%.2fx" % ratio, target if checked else "", met,
            "%.1f ns vs %.1f ns" % (times[measured], times[baseline]))
    bisects = [(n, times.get("bisect_code_cache/%d" % n)) for n in (64, 128, 1024)]
    if all(t is not None for _, t in bisects):
        row(section, "bisect_code_cache at 64 / 128 / 1024 keys", "%.2fx / %.2fx" % (
            bisects[1][1] / bisects[0][1], bisects[2][1] / bisects[0][1]), "", None,
            " / ".join("%.1f ns" % t for _, t in bisects))


def footprint_rows(built):
    for interp in built:
        path = os.path.join(ROOT, "vorn", "asgi" + interp["suffix"])
        if not os.path.exists(path):
            continue
        facts = elf_facts(path)
        bad = [n for n in facts["needed"] if n.startswith(("libstdc++", "libgcc_s"))]
        row("footprint " + interp["tag"], "NEEDED: " + ", ".join(facts["needed"]), "", "no libstdc++/libgcc_s",
            not bad, "%.1f KiB, %d exported (%s), %d relocations" % (
                facts["size"] / 1024, len(facts["exported"]), ", ".join(facts["exported"]), facts["relocations"]))


def print_table():
    print()
    print("| part | measurement | ratio | target | met | absolute (context) |")
    print("| --- | --- | --- | --- | --- | --- |")
    for r in rows:
        print("| " + " | ".join(r) + " |")
    print()
    print("targets met: %d of %d" % (sum(verdicts), len(verdicts)))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", default="build")
    parser.add_argument("--rounds", type=int, default=int(os.environ.get("VORN_BENCH_ROUNDS", "100")))
    parser.add_argument("--callgrind-reps", type=int, default=2)
    parser.add_argument("--op-reps", type=int, default=9)
    parser.add_argument("--parts", default="import,operations,footprint",
                        help="comma-separated subset of import, operations, footprint")
    args = parser.parse_args()
    build = os.path.abspath(args.build)

    found = interpreters()
    built = [i for i in found if i["builds"]]
    reference = next(i for i in built if i["tag"] == "py36")
    newest = built[-1]
    targets = [reference] if newest is reference else [reference, newest]
    have_valgrind = shutil.which("valgrind") is not None
    if not have_valgrind:
        log("bench: valgrind not found: no instruction counts")

    parts = set(args.parts.split(","))
    rng = random.Random(1)
    with tempfile.TemporaryDirectory(prefix="vorn-bench-") as workdir:
        for interp in targets if "import" in parts else []:
            is_reference = interp is reference
            log("bench: %s: import, %d rounds of %s" % (interp["tag"], args.rounds, ", ".join(VARIANTS)))
            roots = make_variants(interp, build, workdir)
            samples, rss = time_imports(interp, roots, args.rounds, rng)
            counts = None
            if have_valgrind:
                log("bench: %s: import under callgrind" % interp["tag"])
                counts = count_instructions(interp, roots, args.callgrind_reps, workdir)
            import_rows(interp, samples, rss, counts, is_reference)
        for interp in targets if "operations" in parts else []:
            log("bench: %s: operations" % interp["tag"])
            times = run_operations(interp, build, args.op_reps)
            if times is None:
                log("bench: %s: no operations program (Google Benchmark missing?)" % interp["tag"])
                continue
            operation_rows(interp, times, interp is reference)
    if "footprint" in parts:
        footprint_rows(built)
    print_table()


if __name__ == "__main__":
    main()
