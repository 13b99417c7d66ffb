#!/usr/bin/env python3
"""Mutation check: how many realistic faults does the test suite catch?

Each mutant in tools/mutants.txt names a file, a text that occurs exactly once
in it and the text that replaces it.  The check copies the project into a
work folder (never touching the checkout), builds the emulated flavour once,
makes sure the unmutated suite passes, then applies the mutants one at a
time: rebuild incrementally, run the tests of the mutant's area first and,
when they all pass, the whole suite.  A mutant is killed when a test fails or
times out (a hang is a caught fault: CTest's time-out reports it too).

  tools/mutation_check.py                     # every mutant, current tree
  tools/mutation_check.py --ref HEAD~3        # the tree of another commit
  tools/mutation_check.py --only ring-neighbour --only own-contribution
  tools/mutation_check.py --list              # names and areas only

The mutants always come from the checkout's tools/mutants.txt, so that two
versions of the suite can be measured against the same faults.  Results go
to <work>/results.txt; the last line reads
"mutation check: K of N killed, S survived, B not applicable".
"""

import argparse
import os
import shutil
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Area of a source file: the tests under tests/<area>/ are run first.
INCLUDE_AREAS = {
    "qor_sw.h": "engine",
    "qor_hw.h": "hw",
    "qor_dim.h": "hw",
    "qor_stat.h": "stat",
}


class Mutant:
    def __init__(self, name):
        self.name = name
        self.file = None
        self.old = None
        self.new = None
        self.area = None
        self.why = ""

    def source_area(self):
        if self.area:
            return self.area
        parts = self.file.split("/")
        if parts[0] == "src":
            return parts[1]
        if parts[0] == "gpu_emu":
            return "gpu_emu"
        return INCLUDE_AREAS.get(parts[-1], "common")


def unescape(text):
    """\\n is a line break, \\\\ a backslash; other characters stand as they are."""
    out = []
    i = 0
    while i < len(text):
        if text[i] == "\\" and i + 1 < len(text) and text[i + 1] in "n\\":
            out.append("\n" if text[i + 1] == "n" else "\\")
            i += 2
        else:
            out.append(text[i])
            i += 1
    return "".join(out)


def read_mutants(path):
    """[name] starts a mutant; then 'file:', 'old:', 'new:' and optional
    'area:' lines; '#' lines before a mutant say why it is realistic."""
    mutants = []
    comment = []
    with open(path) as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if not line.strip():
                continue
            if line.startswith("#"):
                comment.append(line.lstrip("# "))
                continue
            if line.startswith("[") and line.endswith("]"):
                mutants.append(Mutant(line[1:-1]))
                mutants[-1].why = " ".join(comment)
                comment = []
                continue
            key, sep, value = line.partition(": ")
            if not sep or not mutants or key not in ("file", "old", "new", "area"):
                sys.exit(f"{path}:{number}: expected [name] or file/old/new/area: value")
            setattr(mutants[-1], key, unescape(value))
    for m in mutants:
        if None in (m.file, m.old, m.new):
            sys.exit(f"{path}: mutant {m.name} needs file, old and new")
    return mutants


def run(cmd, cwd, log, timeout=None):
    """Runs cmd, appending its output to log; returns (exit code, timed out)."""
    with open(log, "a") as out:
        out.write(f"\n$ {' '.join(cmd)}\n")
        out.flush()
        # A session of its own, so that a time-out takes mpiexec and its
        # ranks along.
        proc = subprocess.Popen(cmd, cwd=cwd, stdout=out, stderr=subprocess.STDOUT,
                                start_new_session=True)
        try:
            return proc.wait(timeout=timeout), False
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
            # Ranks that Open MPI moved to process groups of their own.
            subprocess.run(["pkill", "-9", "-f", cwd], check=False)
            return 1, True


def copy_tree(ref, tree):
    # Copies carry the time of copying, not their source's: a build folder
    # kept from an earlier run must see every file as new, or objects built
    # after a source was last edited would be taken as up to date.
    shutil.rmtree(tree, ignore_errors=True)
    os.makedirs(tree)
    if ref:
        archive = subprocess.run(["git", "archive", ref], cwd=ROOT, check=True,
                                 capture_output=True).stdout
        subprocess.run(["tar", "-x", "-m", "-C", tree], input=archive, check=True)
        return
    files = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                           cwd=ROOT, check=True, capture_output=True).stdout.split(b"\0")
    for name in filter(None, (f.decode() for f in files)):
        src = os.path.join(ROOT, name)
        if not os.path.isfile(src):
            continue  # deleted in the working tree
        dst = os.path.join(tree, name)
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        shutil.copy(src, dst)


def area_regex(build, area):
    """Tests of the programs built under tests/<area>/; None when there are none."""
    folder = os.path.join(build, "tests", area)
    names = []
    if os.path.isdir(folder):
        for name in sorted(os.listdir(folder)):
            path = os.path.join(folder, name)
            if os.path.isfile(path) and os.access(path, os.X_OK) and "." not in name:
                names.append(name)
    return f"^({'|'.join(names)})(\\.|$)" if names else None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--mutants", default=os.path.join(ROOT, "tools", "mutants.txt"))
    parser.add_argument("--work", default=os.path.join(ROOT, "build", "mutation"))
    parser.add_argument("--ref", help="git revision to copy instead of the working tree")
    parser.add_argument("--only", action="append", help="run only this mutant (repeatable)")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    parser.add_argument("--area-timeout", type=int, default=400)
    parser.add_argument("--suite-timeout", type=int, default=900)
    parser.add_argument("--list", action="store_true")
    args = parser.parse_args()
    # The steps run in other folders: a relative work folder would move with them.
    args.work = os.path.abspath(args.work)

    mutants = read_mutants(args.mutants)
    if args.only:
        unknown = set(args.only) - {m.name for m in mutants}
        if unknown:
            sys.exit(f"unknown mutants: {', '.join(sorted(unknown))}")
        mutants = [m for m in mutants if m.name in args.only]
    if args.list:
        for m in mutants:
            print(f"{m.name:28} {m.source_area():10} {m.file}")
        return 0

    tree = os.path.join(args.work, "tree")
    build = os.path.join(args.work, "build")
    log = os.path.join(args.work, "mutation.log")
    os.makedirs(args.work, exist_ok=True)
    open(log, "w").close()
    copy_tree(args.ref, tree)
    jobs = ["-j", str(args.jobs)]

    print(f"mutation check: building the emulated flavour in {build}", flush=True)
    rc, _ = run(["cmake", "-S", tree, "-B", build, "-DQOR_GPU=emulated", "-DQOR_BUILD_BENCH=OFF"],
                tree, log)
    if rc == 0:
        rc, _ = run(["cmake", "--build", build] + jobs, tree, log)
    if rc != 0:
        sys.exit(f"mutation check: the unmutated tree does not build (see {log})")
    rc, _ = run(["ctest"] + jobs, build, log, args.suite_timeout)
    if rc != 0:
        sys.exit(f"mutation check: the unmutated suite fails (see {log})")

    results = []
    for m in mutants:
        path = os.path.join(tree, m.file)
        started = time.time()
        try:
            with open(path) as f:
                original = f.read()
        except OSError:
            original = ""
        if original.count(m.old) != 1:
            results.append((m, "not applicable", "text found %d times" % original.count(m.old)))
            print(f"  {m.name:28} not applicable", flush=True)
            continue
        with open(path, "w") as f:
            f.write(original.replace(m.old, m.new))
        try:
            rc, _ = run(["cmake", "--build", build] + jobs, tree, log)
            if rc != 0:
                outcome, detail = "not applicable", "does not build"
            else:
                outcome, detail = "survived", ""
                stages = []
                regex = area_regex(build, m.source_area())
                if regex:
                    stages.append(("area", ["-R", regex], args.area_timeout))
                stages.append(("suite", [], args.suite_timeout))
                for stage, select, limit in stages:
                    rc, timed_out = run(["ctest", "--stop-on-failure"] + jobs + select,
                                        build, log, limit)
                    if rc != 0:
                        outcome = "killed"
                        detail = f"by the {stage} tests" + (" (time-out)" if timed_out else "")
                        break
        finally:
            with open(path, "w") as f:
                f.write(original)
        results.append((m, outcome, detail))
        print(f"  {m.name:28} {outcome} {detail} ({time.time() - started:.0f} s)", flush=True)

    killed = sum(1 for _, o, _ in results if o == "killed")
    survived = sum(1 for _, o, _ in results if o == "survived")
    skipped = sum(1 for _, o, _ in results if o == "not applicable")
    summary = (f"mutation check: {killed} of {killed + survived} killed, {survived} survived, "
               f"{skipped} not applicable")
    with open(os.path.join(args.work, "results.txt"), "w") as out:
        for m, outcome, detail in results:
            out.write(f"{m.name}\t{outcome}\t{detail}\n")
        out.write(summary + "\n")
    print(summary)
    # Leave the build of the unmutated tree behind.
    run(["cmake", "--build", build] + jobs, tree, log)
    return 0


if __name__ == "__main__":
    sys.exit(main())
