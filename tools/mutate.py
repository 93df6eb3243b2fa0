#!/usr/bin/env python3
"""Mutation runner: how many single-line faults does the test suite catch?

Each file under tests/mutants/ is a small patch that plants one fault of a kind
developers really make (a flipped comparison, a removed bound check, a wrong
on-disk offset, a skipped write-back...). For each patch in turn this script
applies it to a scratch copy of the tree, rebuilds incrementally, runs ctest
with a per-test time-out, reverts, and records which tests failed. A mutant is
"killed" when at least one test fails (or times out), "survived" when all pass,
"stale" when the patch no longer applies (the code moved on: rewrite it, it is
not counted) and "invalid" when the mutated tree does not build (not counted).

    tools/mutate.py [--only SUBSTRING[,SUBSTRING...]] [--timeout S] [--results FILE]

Run it by hand; it takes a while (one incremental build and one suite per
mutant). The scratch copy lives in --scratch (default /tmp/tarvik-mutants) and
is reused between runs so that builds stay incremental.
"""
import argparse
import collections
import json
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
MUTANTS = ROOT / "tests" / "mutants"

# The layer a source file belongs to, by path prefix (first match wins).
LAYERS = [
    ("DiskIOCtl/", "diskioctl"), ("platform/", "platform"), ("Src/disk", "disk"),
    ("Src/kxtime", "time"), ("Src/volume/", "volume"), ("Src/meta/", "meta"),
    ("Src/file/", "file"), ("Src/adapt/", "adapt"), ("app/core/", "core"),
    ("app/cli/", "cli"), ("app/mount/", "mount"),
    ("tools/", "tools"),
]


# Knobs that make the slow tests cheaper per mutant: the randomized oracle test
# runs fewer random cases (its seeds stay fixed, so a kill is reproducible).
FAST_ENV = {"TARVIK_ORACLE_HISTORIES": "8", "TZ": "UTC"}


def run(cmd, cwd, timeout=None):
    return subprocess.run(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, timeout=timeout)


def patched_file(patch):
    for line in patch.read_text().splitlines():
        if line.startswith("+++ "):
            name = line[4:].split("\t")[0].strip()
            return name[2:] if name.startswith("b/") else name
    return "?"


def layer_of(path):
    return next((layer for prefix, layer in LAYERS if path.startswith(prefix)), "other")


def sync_tree(scratch):
    """Copies the tracked files (as they are in the work tree) into the scratch
    copy, touching only files whose bytes differ so the build stays incremental."""
    files = set(filter(None, run(["git", "ls-files", "-z"], ROOT).stdout.split("\0")))
    for stray in [p for p in scratch.rglob("*") if p.is_file() and "build" not in p.parts]:
        if str(stray.relative_to(scratch)) not in files:
            stray.unlink()  # a file the tree dropped must not stay in a source glob
    for name in sorted(files):
        src, dst = ROOT / name, scratch / name
        if not src.is_file():
            continue
        if dst.is_file() and dst.read_bytes() == src.read_bytes():
            continue
        dst.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(src, dst)  # a fresh mtime: the build must see the change


def configure(scratch, build):
    args = ["cmake", "-S", str(scratch), "-B", str(build), "-G", "Ninja",
            "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
            "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2",  # no debug info: faster links
            "-DTARVIK_GUI=OFF"]  # the dialog's tests cost the most; its logic lives in app/core
    if shutil.which("ccache"):
        args.append("-DCMAKE_CXX_COMPILER_LAUNCHER=ccache")
    if shutil.which("mold"):
        args.append("-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=mold")
    out = run(args, scratch)
    if out.returncode:
        sys.exit("configure failed:\n" + out.stdout[-3000:])


def build_ok(build):
    return run(["nice", "-n", "10", "cmake", "--build", str(build), "-j", "2"], build).returncode == 0


def programs(build):
    """The build's executables and their modification times."""
    return {p: p.stat().st_mtime_ns for p in build.rglob("*")
            if p.is_file() and os.access(p, os.X_OK) and "CMakeFiles" not in p.parts and not p.suffix}


def affected(before, after):
    """The CTest name filter for the programs a mutant's build relinked: a test
    program that was not relinked cannot see the fault. "layer.*" tests live in
    test_layer, "fuzz.replay.name" in replay_name; the command-line tests also
    run the tarvik program; no test runs a benchmark or kxmkdisk. Any other
    relinked program runs the whole suite."""
    changed = [p.name for p, t in after.items() if before.get(p) != t]
    prefixes = set()
    for name in changed:
        if name.startswith("test_"):
            prefixes.add(name[len("test_"):] + "\\.")
        elif name.startswith("replay_"):
            prefixes.add("fuzz\\.replay\\." + name[len("replay_"):] + "$")
        elif name == "tarvik":
            prefixes.add("cli\\.")
        elif name.startswith("bench_") or name == "kxmkdisk":
            continue  # no test runs these
        else:
            return None
    return "^(%s)" % "|".join(sorted(prefixes)) if prefixes else ""


def failed_tests(build, timeout, only=None, first=False):
    """Runs the suite (or the tests matching `only`); returns the names of the
    tests that failed or timed out (with `first`, only the first of them: a
    mutant that hangs every listing then costs one time-out, not dozens)."""
    log = build / "Testing" / "Temporary" / "LastTestsFailed.log"
    if log.exists():
        log.unlink()
    env = dict(os.environ, **FAST_ENV)
    # ctest and its tests run in a session of their own, so that a runner
    # stopped half-way (Ctrl-C, kill) takes them down too instead of leaving
    # them running against the scratch tree.
    suite = subprocess.Popen(["nice", "-n", "10", "ctest", "-j", "2", "--timeout", str(timeout), "-Q"] +
                             (["--stop-on-failure"] if first else []) +
                             (["-R", only] if only else []),
                             cwd=build, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                             start_new_session=True)
    try:
        suite.wait()
    except BaseException:
        os.killpg(suite.pid, signal.SIGKILL)
        raise
    if not log.exists():
        return []
    return [line.split(":", 1)[1] for line in log.read_text().splitlines() if ":" in line]


def test_file(name, scratch):
    """Maps a CTest name ("layer.Suite.Case", "dialog.name") to its source file."""
    layer, _, rest = name.partition(".")
    if layer == "fuzz":  # "fuzz.replay.NAME" replays the corpora of fuzz/NAME.cpp
        return "fuzz/" + rest.rpartition(".")[2] + ".cpp"
    tests = scratch / "tests"
    rest = re.sub(r"^[^/]*/", "", rest)          # a parameterised suite's prefix
    suite, _, case = rest.partition(".")
    case = case.split("/")[0]
    pattern = re.compile(r"TEST(?:_F|_P)?\(\s*%s\s*,\s*%s\s*\)" % (re.escape(suite), re.escape(case)))
    folder = tests / layer
    for path in sorted(folder.glob("*.cpp")) if folder.is_dir() else []:
        if pattern.search(path.read_text(errors="replace")):
            return str(path.relative_to(scratch))
    for path in sorted(folder.glob("*.cpp")) if folder.is_dir() else []:
        if re.search(r"\b%s\b" % re.escape(suite), path.read_text(errors="replace")):
            return str(path.relative_to(scratch))
    return f"tests/{layer}/?"


def patch(scratch, mutant, *extra):
    return run(["patch", "-p1", "-s", "-f", "--no-backup-if-mismatch", *extra, "-i", str(mutant)],
               scratch).returncode == 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--only", help="run only the mutants whose file name contains this (several, comma-separated, run in that order)")
    parser.add_argument("--timeout", type=int, default=120, help="per-test time-out in seconds")
    parser.add_argument("--scratch", default="/tmp/tarvik-mutants")
    parser.add_argument("--results", help="also write the report to this file")
    parser.add_argument("--first", action="store_true",
                        help="stop each mutant's tests at the first failure (faster; names one killing test)")
    args = parser.parse_args()
    if args.results and args.results.endswith(".json"):
        parser.error("--results names the text report; the test cases that killed each mutant go "
                     "beside it in a file of the same name ending in .json")
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("stopped"))

    scratch = pathlib.Path(args.scratch)
    build = scratch / "build"
    scratch.mkdir(parents=True, exist_ok=True)
    sync_tree(scratch)
    configure(scratch, build)
    if not build_ok(build):
        sys.exit("the unmutated tree does not build")
    began = time.time()
    if failed_tests(build, args.timeout):
        sys.exit("the unmutated suite fails: mend it first")
    suite_seconds = time.time() - began
    print(f"unmutated suite: {suite_seconds:.0f} s", flush=True)

    # --only "core-,cli-,file-": those mutants, in that order of groups.
    groups = args.only.split(",") if args.only else [""]
    mutants = [p for g in groups for p in sorted(MUTANTS.glob("*.patch")) if g in p.name]
    mutants = list(dict.fromkeys(mutants))
    rows, started, killing_tests = [], time.time(), {}
    for mutant in mutants:
        source = patched_file(mutant)
        if not patch(scratch, mutant, "--dry-run"):
            status, killers = "stale", []
        else:
            before = programs(build)
            patch(scratch, mutant)
            if not build_ok(build):
                status, killers = "invalid", []
            else:
                only = affected(before, programs(build))
                failed = failed_tests(build, args.timeout, only, args.first) if only != "" else []
                killing_tests[mutant.stem] = sorted(failed)
                status = "killed" if failed else "SURVIVED"
                killers = sorted({test_file(name, scratch) for name in failed})
            patch(scratch, mutant, "-R")
        rows.append((mutant.stem, layer_of(source), status, killers))
        print(f"{mutant.stem:44} {layer_of(source):9} {status:8} {' '.join(killers)}", flush=True)
        if args.results:  # which test cases killed each: what a pruning may not remove all of
            pathlib.Path(args.results).with_suffix(".json").write_text(json.dumps(killing_tests, indent=1) + "\n")
    build_ok(build)  # leave the scratch build matching the tree

    lines = [f"{name:44} {layer:9} {status:8} {' '.join(k)}" for name, layer, status, k in rows]
    per_layer = collections.defaultdict(collections.Counter)
    for _, layer, status, _ in rows:
        per_layer[layer][status] += 1
    lines.append("")
    lines.append(f"{'layer':10} killed survived stale invalid")
    for layer in sorted(per_layer):
        c = per_layer[layer]
        lines.append(f"{layer:10} {c['killed']:6} {c['SURVIVED']:8} {c['stale']:5} {c['invalid']:7}")
    total = collections.Counter(status for _, _, status, _ in rows)
    counted = total["killed"] + total["SURVIVED"]
    rate = 100.0 * total["killed"] / counted if counted else 0.0
    lines.append(f"\nkilled {total['killed']} of {counted} counted mutants ({rate:.1f} %); "
                 f"{total['stale']} stale, {total['invalid']} invalid; {time.time() - started:.0f} s; "
                 f"the unmutated suite took {suite_seconds:.0f} s")
    report = "\n".join(lines) + "\n"
    print(report[report.index("\nlayer"):])
    if args.results:
        pathlib.Path(args.results).write_text(report)
    return 0 if not total["SURVIVED"] else 1


if __name__ == "__main__":
    sys.exit(main())
