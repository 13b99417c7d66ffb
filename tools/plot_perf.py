#!/usr/bin/python3
"""Draws qor_perf results: bus bandwidth against buffer size (log axis), the
library and its reference (dashed), one pair of lines per JSON file.

    tools/plot_perf.py [-o out.png] [--title TEXT] run1.json [run2.json ...]

Needs Debian's python3-matplotlib (tools/setup_deps.sh installs it).
"""
import argparse
import json
import os
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def size_label(n):
    for unit, scale in (("G", 1 << 30), ("M", 1 << 20), ("K", 1 << 10)):
        if n >= scale and n % scale == 0:
            return f"{n // scale}{unit}"
    return str(n)


def main():
    parser = argparse.ArgumentParser(description="qor_perf busbw against size")
    parser.add_argument("files", nargs="+", help="JSON files written by qor_perf -J")
    parser.add_argument("-o", "--output", default="qor_perf.png", help="PNG to write")
    parser.add_argument("--title", default=None)
    args = parser.parse_args()

    fig, ax = plt.subplots(figsize=(8, 4.5), dpi=80)
    for k, name in enumerate(args.files):
        try:
            with open(name) as f:
                run = json.load(f)
            rows = run["rows"]
            sizes = [r["bytes"] for r in rows]
            bus = [r["busbw"] for r in rows]
            ref = [r["ref_busbw"] for r in rows]
        except (OSError, ValueError, KeyError, TypeError) as e:
            print(f"plot_perf: {name}: not a qor_perf JSON file ({e})", file=sys.stderr)
            return 1
        color = f"C{k % 10}"
        stem = os.path.splitext(os.path.basename(name))[0]
        label = f"{stem}: {run.get('label', '?')}, {run.get('processes', '?')} processes"
        ax.plot(sizes, bus, "o-", color=color, label=f"libqor, {label}")
        ax.plot(sizes, ref, "x--", color=color, alpha=0.7, label=f"{run.get('reference', 'reference')}, {stem}")
        ticks = sizes
    ax.set_xscale("log", base=2)
    ax.set_xticks(ticks[:: max(1, len(ticks) // 9)])
    ax.set_xticklabels([size_label(s) for s in ticks[:: max(1, len(ticks) // 9)]])
    ax.set_xlabel("buffer size (bytes)")
    ax.set_ylabel("busbw (GB/s)")
    ax.set_title(args.title or "qor_perf: bus bandwidth, library (solid) and reference (dashed)")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(args.output)
    print(f"plot_perf: wrote {args.output}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
