#!/usr/bin/env python3
"""Seeded-fault run: measures how many deliberate faults the test suite finds.

Each mutant in the list is one small text edit of a source file. For each, in
a private copy of the tree, the edit is applied, the library and tests are
rebuilt, and the suite runs with fail-fast; a mutant is "killed" when the
build's tests fail (or hang past the time limit), "survived" otherwise.

List format (tests/mutants/*.txt), blocks separated by blank lines:
    id: conv-bias-dropped
    file: kernels/ref/Convolution_ref.cpp
    find: <exact text, must occur exactly once in the file>
    replace: <its replacement>
    why: <the fault it models>
A `find`/`replace` value may continue on following lines indented by four
blanks (joined with newlines).
"""
import argparse
import glob
import os
import re
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# Tests outside the GoogleTest binary: the command-line tool, the C99 check,
# the README snippets and the bundled example.
OTHER_TESTS = r"^(CApi|Tools|Readme|Examples)\."


def parse_list(paths):
    mutants = []
    for path in paths:
        cur, key = None, None
        with open(path, encoding="utf-8") as f:
            lines = f.read().split("\n")
        for n, line in enumerate(lines, 1):
            if line.startswith("#"):
                continue
            if not line.strip():
                if cur:
                    mutants.append(cur)
                cur, key = None, None
                continue
            if line.startswith("    ") and key:
                cur[key] += "\n" + line[4:]
                continue
            k, sep, v = line.partition(": ")
            if not sep and line.endswith(":"):
                k, v = line[:-1], ""
            elif not sep:
                sys.exit(f"{path}:{n}: expected 'key: value'")
            if cur is None:
                cur = {"where": f"{os.path.basename(path)}:{n}"}
            cur[k] = v
            key = k
        if cur:
            mutants.append(cur)
    seen = set()
    for m in mutants:
        for k in ("id", "file", "find", "replace", "why"):
            if k not in m:
                sys.exit(f"{m['where']}: missing '{k}'")
        if m["id"] in seen:
            sys.exit(f"{m['where']}: duplicate id {m['id']}")
        seen.add(m["id"])
    return mutants


def sync_tree(tree):
    """Copies the tracked files into the private tree, touching only those whose
    content differs so that the build there stays incremental."""
    files = subprocess.run(["git", "ls-files", "-z"], cwd=ROOT, check=True,
                           capture_output=True).stdout.decode().split("\0")
    tracked = set(filter(None, files))
    # Files dropped from the tree must go from the copy too (the test
    # sources are globbed).
    for d, _, names in os.walk(tree):
        for name in names:
            rel = os.path.relpath(os.path.join(d, name), tree)
            if rel not in tracked:
                os.remove(os.path.join(d, name))
    for rel in sorted(tracked):
        src, dst = os.path.join(ROOT, rel), os.path.join(tree, rel)
        if os.path.islink(src) and os.path.isdir(src):
            # A linked directory (python/corvus/_convert) stays a link, into the copy.
            if not os.path.islink(dst):
                os.makedirs(os.path.dirname(dst), exist_ok=True)
                os.symlink(os.readlink(src), dst)
            continue
        if not os.path.isfile(src):
            continue
        with open(src, "rb") as f:
            data = f.read()
        if os.path.exists(dst):
            with open(dst, "rb") as f:
                if f.read() == data:
                    continue
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        shutil.copy2(src, dst)
        os.utime(dst)


def run(cmd, cwd, timeout):
    try:
        p = subprocess.run(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                           timeout=timeout)
        return p.returncode, p.stdout.decode(errors="replace")
    except subprocess.TimeoutExpired as e:
        return "timeout", (e.stdout or b"").decode(errors="replace")


def build(bdir, jobs):
    return run(["cmake", "--build", bdir, "-j", str(jobs)], bdir, 3600)


def first_failure(log):
    for line in log.splitlines():
        if line.startswith("[  FAILED  ]") or "***Failed" in line or "(Failed)" in line:
            return line.replace("[  FAILED  ]", "").strip()[:100]
    return ""


def mirror_filter(tree, rel):
    """GoogleTest filter for the test file that mirrors a source file
    (kernels/ref/Pooling_ref.cpp -> tests/kernels/ref/Pooling_ref_test.cpp),
    run first because it kills most mutants of that file in seconds."""
    stem = os.path.splitext(os.path.basename(rel))[0].lower()
    suites = set()
    for path in glob.glob(os.path.join(tree, "tests", "**", "*_test.cpp"), recursive=True):
        if os.path.basename(path)[:-len("_test.cpp")].lower() != stem:
            continue
        with open(path, encoding="utf-8") as f:
            suites.update(re.findall(r"^\s*TEST(?:_F|_P)?\(\s*(\w+)\s*,", f.read(), re.M))
    return ":".join(sorted(s + ".*" for s in suites))


def gtest(bdir, timeout, shards, extra):
    """The GoogleTest binary with fail-fast, split over `shards` processes."""
    exe = os.path.join(bdir, "tests", "corvus_tests")
    procs = []
    for i in range(shards):
        env = dict(os.environ, GTEST_TOTAL_SHARDS=str(shards), GTEST_SHARD_INDEX=str(i))
        procs.append(subprocess.Popen([exe, "--gtest_fail_fast", "--gtest_brief=1"] + extra,
                                      cwd=os.path.join(bdir, "tests"), env=env,
                                      stdout=subprocess.PIPE, stderr=subprocess.STDOUT))
    deadline = time.time() + timeout
    failed = ""
    for p in procs:
        try:
            out, _ = p.communicate(timeout=max(1, deadline - time.time()))
        except subprocess.TimeoutExpired:
            for q in procs:
                q.kill()
            return "timeout in corvus_tests"
        if p.returncode != 0 and not failed:
            failed = first_failure(out.decode(errors="replace")) or f"corvus_tests exit {p.returncode}"
    return failed


def suite(bdir, jobs, timeout, first_filter=""):
    """Fail-fast run: the mirrored tests first, then the whole GoogleTest
    binary (where nearly every mutant dies), then the tests outside it.
    Returns (passed, what failed)."""
    if first_filter:
        failed = gtest(bdir, timeout, 1, ["--gtest_filter=" + first_filter])
        if failed:
            return False, failed
    failed = gtest(bdir, timeout, jobs, [])
    if failed:
        return False, failed
    rc, log = run(["ctest", "-R", OTHER_TESTS, "--stop-on-failure", "-j", str(jobs)], bdir, timeout)
    if rc == "timeout":
        return False, "timeout in ctest"
    if rc != 0:
        return False, first_failure(log) or f"ctest exit {rc}"
    return True, ""


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("workdir", nargs="?", help="private tree and build live here")
    ap.add_argument("--check", action="store_true",
                    help="only check that every edit applies to the working tree's sources")
    ap.add_argument("--list", nargs="*", default=None, help="mutant lists (default tests/mutants/*.txt)")
    ap.add_argument("--only", default="", help="comma-separated mutant ids")
    ap.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    ap.add_argument("--timeout", type=int, default=900, help="seconds per suite run")
    ap.add_argument("--report", default=None, help="write one line per mutant here")
    a = ap.parse_args()

    lists = a.list or sorted(glob.glob(os.path.join(ROOT, "tests", "mutants", "*.txt")))
    mutants = parse_list(lists)
    if a.only:
        wanted = set(a.only.split(","))
        mutants = [m for m in mutants if m["id"] in wanted]
    if a.check:
        bad = []
        for m in mutants:
            with open(os.path.join(ROOT, m["file"]), encoding="utf-8") as f:
                n = f.read().count(m["find"])
            if n != 1:
                bad.append(f"{m['id']} ({m['where']}): its text occurs {n} times in {m['file']}")
        print("\n".join(bad) or f"all {len(mutants)} edits apply")
        sys.exit(1 if bad else 0)
    if not a.workdir:
        ap.error("workdir is required")
    work = os.path.abspath(a.workdir)
    tree, bdir = os.path.join(work, "tree"), os.path.join(work, "build")
    os.makedirs(tree, exist_ok=True)
    sync_tree(tree)
    cfg = ["cmake", "-S", tree, "-B", bdir, "-DCMAKE_BUILD_TYPE=Release"]
    if shutil.which("ccache"):
        cfg += ["-DCMAKE_C_COMPILER_LAUNCHER=ccache", "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"]
    rc, log = run(cfg, work, 600)
    if rc != 0:
        sys.exit("configure failed:\n" + log[-3000:])

    # Every edit must apply to today's sources before anything is built.
    for m in mutants:
        with open(os.path.join(tree, m["file"]), encoding="utf-8") as f:
            n = f.read().count(m["find"])
        if n != 1:
            sys.exit(f"mutant {m['id']} ({m['where']}): its text occurs {n} times in {m['file']}")

    rc, log = build(bdir, a.jobs)
    if rc != 0:
        sys.exit("the unmutated build fails:\n" + log[-3000:])
    ok, what = suite(bdir, a.jobs, a.timeout)
    if not ok:
        sys.exit(f"the unmutated suite fails ({what}): fix that first")

    results = []
    t0 = time.time()
    for i, m in enumerate(mutants, 1):
        path = os.path.join(tree, m["file"])
        with open(path, encoding="utf-8") as f:
            original = f.read()
        try:
            with open(path, "w", encoding="utf-8") as f:
                f.write(original.replace(m["find"], m["replace"], 1))
            rc, log = build(bdir, a.jobs)
            if rc != 0:
                state, what = "ERROR", "does not build: " + first_failure(log)
            else:
                ok, what = suite(bdir, a.jobs, a.timeout, mirror_filter(tree, m["file"]))
                state = "SURVIVED" if ok else "KILLED"
        finally:
            with open(path, "w", encoding="utf-8") as f:
                f.write(original)
            os.utime(path)
        results.append((m["id"], state, what))
        print(f"[{i}/{len(mutants)} {time.time() - t0:5.0f}s] {state:8} {m['id']:32} {what}", flush=True)

    build(bdir, a.jobs)  # leave the private build unmutated
    killed = sum(1 for r in results if r[1] == "KILLED")
    errors = [r[0] for r in results if r[1] == "ERROR"]
    survived = [r[0] for r in results if r[1] == "SURVIVED"]
    print(f"\nkilled {killed} of {len(results)}, survived {len(survived)}"
          + (f", not building {len(errors)}" if errors else "")
          + f": score {100.0 * killed / max(1, len(results)):.1f}%")
    if survived:
        print("survivors: " + " ".join(survived))
    if a.report:
        with open(a.report, "w") as f:
            for r in results:
                f.write(f"{r[1]}\t{r[0]}\t{r[2]}\n")
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
