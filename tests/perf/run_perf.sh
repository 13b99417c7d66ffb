#!/bin/sh
# run_perf.sh MPIEXEC NPROCS QOR_PERF FLAGS...: qor_perf under mpiexec; its
# table and its JSON file must have the same sizes, none wrong.
set -eu
launch=$1 np=$2 perf=$3
shift 3
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
"$launch" -n "$np" --oversubscribe "$perf" -J "$out/rows.json" "$@" >"$out/table"
/usr/bin/python3 - "$out/rows.json" "$out/table" <<'PY'
import json, sys
rows = json.load(open(sys.argv[1]))["rows"]
table = [l.split() for l in open(sys.argv[2]) if not l.startswith("#")]
assert rows and [int(t[0]) for t in table] == [r["bytes"] for r in rows], (table, rows)
assert all(r["wrong"] == 0 and r["time_us"] > 0 and r["ref_time_us"] > 0 for r in rows), rows
# The plain copy is measured on the host only, where its time is a time.
assert all(r["copy_us"] is None or r["copy_us"] > 0 for r in rows), rows
PY
