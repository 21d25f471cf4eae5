#!/usr/bin/env python3
"""Prints the ratios of one or more tavro_bench JSON outputs side by side.

    ratio_table.py all_workers.json [one_worker.json ...]

One row per benchmark and ratio kind, one column group per worker count, one column per qubit
count. Repetitions of a benchmark (--benchmark_repetitions, or several files of the same worker
count) are combined as the median of their ratios. A cell marked '!' exceeds the limit that
benchmark is held to (limit_of below). The limits are stated for all workers on 26 and 28
qubits, so only those cells can be marked: the column group of the most workers, when there
is more than one worker, and the 26- and 28-qubit columns. Rows with no stated limit are never
marked.
"""
import json
import re
import sys

# benchmark name -> (counter, limit)
LIMITS = {
    "state/zero_pass": ("ratio", 2.5),
    "state/clone": ("ratio", 2.0),
    "state/norm_squared": ("ratio_read", 1.5),
    "state/normalize": ("ratio", 2.5),
    "sample/shots_1000": ("ratio", 0.6),
}
# The qubit counts the limits are stated for: the memory-bound sizes.
LIMITED_QUBITS = {26, 28}
SUFFIX = re.compile(r"(/(min_time|iterations):[0-9.]+)?(/manual_time)?$")
DIAGONAL_1Q = {"z", "s", "sdg", "t", "tdg", "p"}
CONTROLLED_2Q = {"cx", "cy", "crx", "cry", "crz"}
FIXED_GROUPS = {"01", "02", "10", "12", "20", "21"}
BOTH_HIGH = {"2_3", "2_5", "mid", "top2"}
LOW_SLOT_HIGH = BOTH_HIGH  # pairs whose lower slot is 2 or more
READ_ALL_SUMS = {"prob_zero_t0", "prob_zero_t1", "prob_zero_t3"}


def limit_of(name):
    parts = name.split("/")
    if parts[0] == "walk":
        return ("ratio", 1.2)
    if parts[0] == "gate1q":
        gate, slot = parts[1].rsplit("_", 1)
        if gate in DIAGONAL_1Q and slot not in ("t0", "t1"):
            return ("ratio", 0.5)
        return ("ratio", 0.9)
    if parts[0] == "2q":
        gate, pair = parts[1], parts[2]
        if gate in CONTROLLED_2Q:
            if pair in FIXED_GROUPS:
                return ("ratio", 0.95)
            return ("ratio", 0.5) if pair in BOTH_HIGH else None
        if gate in ("cz", "cp"):
            return ("ratio", 0.3) if pair in LOW_SLOT_HIGH else None
        if gate in ("swap", "iswap"):
            return ("ratio", 0.6) if pair in BOTH_HIGH else None
        return ("ratio", 1.0)
    if parts[0] == "mc":
        gate, config = parts[1], parts[2]
        if config.endswith("_low"):
            return None  # runs of one amplitude touch every line
        if gate == "c2q":
            return ("ratio", 0.6) if config.startswith("c1") else None
        return ("ratio", 0.35) if config.startswith("c2") else ("ratio", 0.2)
    if parts[0] == "kq":
        return ("ratio", {"k3": 1.0, "k4": 1.4, "k5": 3.0}[parts[1]])
    if parts[0] == "diag":
        return ("ratio", 0.9)
    if parts[0] == "sample":
        if parts[1].startswith("prob_zero"):
            # Slots 0, 1 (runs shorter than a line), 3 and 4 read every line.
            return ("ratio", 0.75 if parts[1] in READ_ALL_SUMS else 0.45)
        if parts[1].startswith("measure"):
            return ("ratio", 1.2)
    return LIMITS.get(name)


def load(path):
    """(workers, {(name, n): [benchmark entries]})"""
    with open(path) as f:
        data = json.load(f)
    workers = data.get("context", {}).get("tavro_workers", "?")
    runs = {}
    for b in data.get("benchmarks", []):
        if b.get("run_type") == "aggregate" or b.get("error_occurred"):
            continue
        if "ratio" not in b and "ratio_read" not in b:
            continue  # rows with no ratio (ordering/...) are read from the console
        full = SUFFIX.sub("", b["run_name"] if "run_name" in b else b["name"])
        name, _, n = full.rpartition("/")
        runs.setdefault((name, int(n)), []).append(b)
    return workers, runs


def combine(entries, counter):
    """The median of the counter over all repetitions, or None."""
    values = sorted(e[counter] for e in entries if counter in e)
    if not values:
        return None
    h = len(values) // 2
    return values[h] if len(values) % 2 else (values[h - 1] + values[h]) / 2


def all_workers(groups):
    """The worker count of the all-workers run: the largest above 1, or None."""
    counts = [int(w) for w in groups if str(w).isdigit()]
    return str(max(counts)) if counts and max(counts) > 1 else None


def main(paths):
    groups = {}  # workers -> (name, n) -> [entries]
    for p in paths:
        workers, runs = load(p)
        group = groups.setdefault(workers, {})
        for key, entries in runs.items():
            group.setdefault(key, []).extend(entries)
    keys = []
    for group in groups.values():
        for (name, _), entries in group.items():
            for counter in ("ratio", "ratio_read"):
                if any(counter in e for e in entries) and (name, counter) not in keys:
                    keys.append((name, counter))
    qubits = sorted({n for g in groups.values() for (_, n) in g})
    width = max([len(f"{name} {counter}") for name, counter in keys] + [10])
    head = " " * width
    for workers in groups:
        head += " | " + f"workers={workers}".ljust(8 * len(qubits) - 1)
    print(head)
    head = "benchmark".ljust(width)
    for _ in groups:
        head += " | " + " ".join(f"{n:>7}" for n in qubits)
    print(head)
    print("-" * len(head))
    held = all_workers(groups)
    for name, counter in keys:
        row = f"{name} {counter}".ljust(width)
        lim = limit_of(name)
        for workers, group in groups.items():
            parts = []
            for n in qubits:
                v = combine(group.get((name, n), []), counter)
                if v is None:
                    parts.append(" " * 7)
                    continue
                applies = workers == held and n in LIMITED_QUBITS and lim and lim[0] == counter
                flag = "!" if applies and v > lim[1] else " "
                parts.append(f"{v:6.2f}{flag}")
            row += " | " + " ".join(parts)
        print(row)
    print()
    print("ratio: median over blocks of (fastest iteration / fastest streaming pass beside it);")
    print("ratio_read: the same against the read-only pass. '!' = above the benchmark's limit,")
    print("marked only where one is stated: all workers, 26 and 28 qubits (limit_of, and")
    print("bench/README.md).")


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    main(sys.argv[1:])
