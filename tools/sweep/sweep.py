#!/usr/bin/python3
"""Randomized correctness sweep of the library.

Draws cases from a seed (printed, so any run can be repeated): a process
count, hosts pretended or not, a start mode, host-CPU or GPU (the emulated
flavour), a topology and algorithm letters, fusing, pipelining, packing, a
communication period, and a few calls of changing sizes, types, operations,
offsets and sync/async.  Each case is one mpiexec run of qor_sweep, which
checks every element against a host reference and the guard elements
around every buffer.  A call that fails must be one the library refuses,
with the error that names why, and must leave the buffer as it was.

  sweep.py --build build/emulated --cases 2000 [--seed S] [--max-count N]

Exit status 1 when any case went wrong; each such case is printed with the
command line that repeats it.
"""
import argparse
import json
import os
import random
import re
import shlex
import subprocess
import sys
import time

LETTERS = "bcmnrps"
PRIMES = [2, 3, 5, 7, 11, 13, 31, 61, 127, 251, 509, 1021, 2039, 4093, 8191, 65521, 131071, 524287]

# The refusals a case may meet, each with the text its error carries.
REFUSALS = {
    "host_half": "host-CPU mode has no half-precision sum",
    "packed_half": "cannot be compressed further",
    "mpi_half": "does not currently support half-precision",
    "pipe_dim0": "Pipelining does not support",
    "pack_fuse": "Parameter '-pack 1.0' cannot be used with parameter '-fuse_dim 1'",
}


CERTAIN = ("host_half", "packed_half")


def init_refusal(case):
    """The refusal qor_init must meet, or None."""
    if case["gpu"] and "-pack" in case["options"] and "-fuse_dim" in case["options"] and "m" in case["letters"]:
        return "pack_fuse"
    return None


def factorizations(n, dims):
    """Ordered factorizations of n into exactly `dims` factors."""
    if dims == 1:
        return [[n]]
    out = []
    for f in range(1, n + 1):
        if n % f == 0:
            out += [[f] + rest for rest in factorizations(n // f, dims - 1)]
    return out


def draw_count(rng, processes, align, max_count):
    kind = rng.random()
    if kind < 0.15:
        c = rng.randrange(0, 65)
    elif kind < 0.45:
        # Around partition and alignment boundaries.
        base = rng.choice([processes * align, processes * align * processes, 2 ** rng.randrange(1, 21)])
        c = base * rng.randrange(1, 9) + rng.choice([-2, -1, 0, 1, 2])
    elif kind < 0.55:
        c = rng.choice(PRIMES) * rng.choice([1, 1, 1, processes])
    elif kind < 0.97:
        c = int(10 ** rng.uniform(1, 6))
    else:
        c = int(10 ** rng.uniform(6, 7))
    return max(0, min(c, max_count))


def draw_case(rng, max_count):
    c = {"np": rng.choices(range(1, 9), weights=[2, 4, 2, 3, 1, 1, 1, 2])[0]}
    c["start"] = rng.choices(["legacy", "nccl", "mpiless"], weights=[70, 15, 15])[0]
    c["gpu"] = 1 if c["start"] != "legacy" else rng.randrange(2)
    c["per_host"] = 0
    options = []
    letters = "r"
    pipe, pack, comm_iter, align = 1, 0, 0, 8
    if c["start"] == "legacy":
        if c["np"] > 1 and rng.random() < 0.25:
            c["per_host"] = rng.choice([d for d in range(1, c["np"]) if c["np"] % d == 0])
        dims = rng.randrange(1, 5)
        letters = "".join(rng.choice(LETTERS) for _ in range(rng.randrange(1, dims + 2)))
        if c["gpu"] and rng.random() < 0.4:
            pipe = rng.randrange(2, 5)
            # Mostly letters a pipelined layer can run on its first dimension.
            if rng.random() < 0.85:
                letters = rng.choice("bnp") + letters[1:]
            options += ["-pipe_thold", str(rng.choice([0, 0, 1000, 100000]))]
        mode = letters
        if rng.random() < 0.7:
            mode += ":" + "x".join(map(str, rng.choice(factorizations(c["np"], dims))))
        options = ["-mode", mode] + options
        if pipe > 1:
            options += ["-pipe", str(pipe)]
        if rng.random() < 0.3:
            options += ["-fuse_dim", "1"]
        if c["gpu"] and rng.random() < 0.25:
            pack = 1
            options += ["-pack", "1.0"]
        if c["gpu"]:
            options += ["-dev_sync", str(rng.randrange(3))]
        if pipe == 1 and rng.random() < 0.15:
            comm_iter = rng.randrange(2, 5)
            options += ["-comm_iter", str(comm_iter)]
        if rng.random() < 0.3:
            align = rng.choice([1, 2, 4, 16, 32])
            options += ["-align_part", str(align)]
        if rng.random() < 0.2:
            options += ["-mpi_inplace", "1"]
    c["options"] = " ".join(options)
    c["letters"], c["pipe"], c["pack"], c["comm_iter"] = letters, pipe, pack, comm_iter
    calls = []
    fixed = None
    for _ in range(rng.randrange(1, 6)):
        half = rng.random() < (0.25 if c["gpu"] else 0.05)
        count = draw_count(rng, c["np"], align, max_count)
        if comm_iter:
            # Gradient accumulation sums the same buffer, call after call.
            half = False
            fixed = count if fixed is None else fixed
            count = fixed
        calls.append({
            "count": count,
            "half": half,
            "avg": rng.random() < 0.3,
            "async": rng.random() < 0.3,
            "offset": rng.choice([0, 0, 1, 2, 3, 5, 7]),
        })
    if comm_iter:
        calls += [dict(calls[-1]) for _ in range(comm_iter)]
    c["calls"] = calls
    return c


def refusals(case, k, first_count):
    """The refusals call k may meet: a failed call must name one of them.
    A call that succeeds must not have met one of the certain ones
    (CERTAIN); the others depend on what selection made of the letters (a
    substitute without MPI, a dimension of one process dropped)."""
    call = case["calls"][k]
    if case["start"] != "legacy":
        return []
    out = []
    if call["half"] and not case["gpu"]:
        out.append("host_half")
    if call["half"] and case["pack"]:
        out.append("packed_half")
    thold = int(re.search(r"-pipe_thold (\d+)", case["options"]).group(1)) if "-pipe_thold" in case["options"] else 0
    pipelined = case["pipe"] > 1 and first_count[call["half"]] >= thold
    if pipelined and case["letters"][0] not in "bnp":
        out.append("pipe_dim0")
    if call["half"] and "m" in case["letters"]:
        out.append("mpi_half")
    return out


def command(case, build):
    calls = ["%d:%s:%s:%d:%d" % (c["count"], "h" if c["half"] else "f", "a" if c["avg"] else "s",
                                 c["async"], c["offset"]) for c in case["calls"]]
    return ["mpiexec", "-n", str(case["np"]), os.path.join(build, "tools", "qor_sweep"), case["start"],
            str(case["gpu"]), case["options"]] + calls


CALL_LINE = re.compile(r"^call (\d+) count=(\d+) status=(\w+) wrong=(\d+) guards=(\d+) intact=(\d) harness=(\d+)$")


def judge(case, out, err, code):
    """(problems, elements checked, wrong elements, right errors)"""
    problems, elements, wrong, right = [], 0, 0, 0
    first_count = {}
    for call in case["calls"]:
        first_count.setdefault(call["half"], call["count"])
    lines = {int(m.group(1)): m for m in map(CALL_LINE.match, out.splitlines()) if m}
    expect = init_refusal(case)
    if "init status=ok" not in out:
        if expect and REFUSALS[expect] in err and "finalize status=ok" in out:
            return [], 0, 0, 1
        problems.append("qor_init failed")
    elif expect:
        problems.append("qor_init succeeded, but should be refused (%s)" % expect)
    for k, call in enumerate(case["calls"]):
        m = lines.get(k)
        if m is None:
            if not problems:
                problems.append("call %d: no result" % k)
            continue
        status, w, g, intact, harness = m.group(3), int(m.group(4)), int(m.group(5)), m.group(6), m.group(7)
        expect = refusals(case, k, first_count)
        if harness != "0":
            problems.append("call %d: the harness's device copies failed" % k)
        elif status == "ok":
            if any(e in CERTAIN for e in expect):
                problems.append("call %d: succeeded, but should be refused (%s)" % (k, " or ".join(expect)))
            elements += call["count"] * case["np"]
            wrong += w
            if w or g:
                problems.append("call %d: %d wrong elements, %d guard elements changed" % (k, w, g))
        elif status == "failed" and any(REFUSALS[e] in err for e in expect):
            right += 1
            if intact != "1":
                problems.append("call %d: refused (%s) but the buffer changed" % (k, " or ".join(expect)))
        else:
            problems.append("call %d: status %s, expected %s" % (k, status, " or ".join(expect) or "success"))
    if "finalize status=ok" not in out:
        problems.append("qor_finalize failed or the job ended early (exit status %s)" % code)
    return problems, elements, wrong, right


def run_case(case, build, timeout):
    env = dict(os.environ)
    env["QOR_WATCHDOG_SEC"] = str(max(10, timeout - 15))
    if case["per_host"]:
        env["QOR_SWEEP_PER_HOST"] = str(case["per_host"])
    try:
        p = subprocess.run(command(case, build), env=env, capture_output=True, text=True, timeout=timeout)
        return p.stdout, p.stderr, p.returncode
    except subprocess.TimeoutExpired as e:
        text = lambda b: b.decode(errors="replace") if isinstance(b, bytes) else (b or "")
        return text(e.stdout), text(e.stderr), "timeout"


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default="build/emulated", help="build folder of the emulated flavour")
    ap.add_argument("--cases", type=int, default=100)
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--max-count", type=int, default=10 ** 7)
    ap.add_argument("--timeout", type=int, default=180, help="seconds per case")
    ap.add_argument("--quiet", action="store_true", help="no progress line")
    ap.add_argument("--replay", help="run the cases of this file (one JSON object a line, as a failure prints them)")
    a = ap.parse_args()
    seed = a.seed if a.seed is not None else random.SystemRandom().randrange(2 ** 32)
    replay = []
    if a.replay:
        with open(a.replay) as f:
            replay = [json.loads(line) for line in f if line.strip() and not line.startswith("#")]
        a.cases = len(replay)
        print("sweep: %d cases of %s" % (a.cases, a.replay), flush=True)
    else:
        print("sweep: seed %d, %d cases" % (seed, a.cases), flush=True)
    rng = random.Random(seed)
    totals = {"calls": 0, "elements": 0, "wrong": 0, "right_errors": 0, "bad": 0}
    start = time.time()
    for n in range(a.cases):
        case = replay[n] if replay else draw_case(rng, a.max_count)
        out, err, code = run_case(case, a.build, a.timeout)
        problems, elements, wrong, right = judge(case, out, err, code)
        totals["calls"] += len(case["calls"])
        totals["elements"] += elements
        totals["wrong"] += wrong
        totals["right_errors"] += right
        if problems:
            totals["bad"] += 1
            env = ("QOR_SWEEP_PER_HOST=%d " % case["per_host"]) if case["per_host"] else ""
            print("case %d FAILED: %s\n  repeat: %s%s\n  case: %s" % (n, "; ".join(problems), env,
                                                                  shlex.join(command(case, a.build)), json.dumps(case)))
            print("  " + "\n  ".join((err.strip().splitlines() or [""])[-8:]), flush=True)
        if not a.quiet and (n + 1) % 50 == 0:
            print("sweep: %d of %d cases, %.0f s" % (n + 1, a.cases, time.time() - start), file=sys.stderr, flush=True)
    print("sweep: %s: %d cases, %d calls, %d elements checked, %d wrong, %d refusals right, %d cases wrong (%.0f s)"
          % (a.replay if a.replay else "seed %d" % seed, a.cases, totals["calls"], totals["elements"], totals["wrong"], totals["right_errors"],
             totals["bad"], time.time() - start))
    return 1 if totals["bad"] else 0


if __name__ == "__main__":
    sys.exit(main())
