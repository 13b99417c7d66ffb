#!/usr/bin/python3
"""Prints qor_perf JSON files as Markdown tables of x ref (the reference's
time over the library's, both measured in the same run) per size.

    bench/perf_table.py DIR

Files are named GROUP.MODE.K.json (K: the repeat); each group gets a table
with one column per mode, each cell the runs' values joined by " / ".
Where a group holds tuned modes (their options ask for -mode p) and fixed
ones, two more columns compare them on the median over the runs: the best
fixed mode, and each tuned mode over it.
"""
import glob
import json
import os
import statistics
import sys


def label(run):
    """The options that tell the runs apart (host-CPU mode is a given)."""
    return run["options"].replace("-cpu_only 1", "").replace("-mode ", "").strip()


def tuned(name):
    return name == "p" or name.startswith("p ")


def main():
    if len(sys.argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    groups = {}
    for path in sorted(glob.glob(os.path.join(sys.argv[1], "*.json"))):
        group = os.path.basename(path).rsplit(".", 3)[0]
        with open(path) as f:
            run = json.load(f)
        groups.setdefault(group, {}).setdefault(label(run), []).append(run)
    for group, modes in sorted(groups.items()):
        names = list(modes)
        fixed = [m for m in names if not tuned(m)]
        compare = [m for m in names if tuned(m)] if fixed else []
        print(f"\n{group}: x ref per run")
        head = [f"`{m}`" for m in names] + (["best fixed"] if compare else [])
        head += [f"`{m}` / best" for m in compare]
        print("| bytes | " + " | ".join(head) + " |")
        print("|---" * (len(head) + 1) + "|")
        sizes = [r["bytes"] for r in modes[names[0]][0]["rows"]]
        for i, size in enumerate(sizes):
            x = {m: [run["rows"][i]["x_ref"] for run in runs] for m, runs in modes.items()}
            cells = [" / ".join(f"{v:.2f}" for v in x[m]) for m in names]
            if compare:
                best = max(fixed, key=lambda m: statistics.median(x[m]))
                top = statistics.median(x[best])
                cells.append(f"`{best}` {top:.2f}")
                cells += [f"{statistics.median(x[m]) / top:.2f}" for m in compare]
            print(f"| {size} | " + " | ".join(cells) + " |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
