#!/usr/bin/env python3
"""Prints the ratios of one or more tavro_bench JSON outputs side by side.

    ratio_table.py all_workers.json [one_worker.json ...]

One row per benchmark and ratio kind, one column group per worker count, one column per qubit
count. Several files of the same worker count (repeated runs) give the median of their
values. A cell marked '!' exceeds the limit that benchmark is held to
(LIMITS below); the limits are stated for all workers on 26 and 28 qubits, and shown on the
other columns only for comparison.
"""
import json
import re
import statistics
import sys

# benchmark name -> (counter, limit)
LIMITS = {
    "state/zero_pass": ("ratio", 2.5),
    "state/clone": ("ratio", 2.0),
    "state/norm_squared": ("ratio_read", 1.5),
    "state/normalize": ("ratio", 2.5),
}
WALK_LIMIT = ("ratio", 1.2)
SUFFIX = re.compile(r"(/min_time:[0-9.]+)?(/manual_time)?$")


def limit_of(name):
    if name.startswith("walk/"):
        return WALK_LIMIT
    return LIMITS.get(name)


def load(path):
    with open(path) as f:
        data = json.load(f)
    workers = data.get("context", {}).get("tavro_workers", "?")
    cells = {}  # (name, counter) -> {n: value}
    for b in data.get("benchmarks", []):
        if b.get("run_type") == "aggregate" or b.get("error_occurred"):
            continue
        full = SUFFIX.sub("", b["name"])
        name, _, n = full.rpartition("/")
        for counter in ("ratio", "ratio_read"):
            if counter in b:
                cells.setdefault((name, counter), {})[int(n)] = b[counter]
    return workers, cells


def main(paths):
    groups = {}  # workers -> (name, counter) -> n -> [values]
    for p in paths:
        workers, cells = load(p)
        group = groups.setdefault(workers, {})
        for key, values in cells.items():
            for n, v in values.items():
                group.setdefault(key, {}).setdefault(n, []).append(v)
    runs = [(w, {k: {n: statistics.median(vs) for n, vs in v.items()} for k, v in g.items()})
            for w, g in groups.items()]
    keys = []
    for _, cells in runs:
        for k in cells:
            if k not in keys:
                keys.append(k)
    qubits = sorted({n for _, cells in runs for v in cells.values() for n in v})
    width = max([len(f"{name} {counter}") for name, counter in keys] + [10])
    head = " " * width
    for workers, _ in runs:
        count = sum(1 for p in paths if load(p)[0] == workers)
        group = f"workers={workers}" + (f" (median of {count} runs)" if count > 1 else "")
        head += " | " + group.ljust(8 * len(qubits) - 1)
    print(head)
    head = "benchmark".ljust(width)
    for _ in runs:
        head += " | " + " ".join(f"{n:>7}" for n in qubits)
    print(head)
    print("-" * len(head))
    for name, counter in keys:
        row = f"{name} {counter}".ljust(width)
        lim = limit_of(name)
        for _, cells in runs:
            values = cells.get((name, counter), {})
            parts = []
            for n in qubits:
                if n not in values:
                    parts.append(" " * 7)
                    continue
                v = values[n]
                flag = "!" if lim and lim[0] == counter and v > lim[1] else " "
                parts.append(f"{v:6.2f}{flag}")
            row += " | " + " ".join(parts)
        print(row)
    print()
    print("ratio: fastest iteration / fastest streaming pass (x c, in place) on the same qubit count;")
    print("ratio_read: the same against the read-only pass. '!' = above the limit:",
          ", ".join(f"{k} {c} <= {v}" for k, (c, v) in LIMITS.items()),
          f", walk/* ratio <= {WALK_LIMIT[1]} (all workers, 26 and 28 qubits)")


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    main(sys.argv[1:])
