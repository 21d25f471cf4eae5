"""Per-call cost of the Python face on a small state, where the call itself dominates.

    PYTHONPATH=build/python /usr/bin/python3 bench/python_calls.py

Prints nanoseconds per call, the best of several timeit repeats (these machines are shared
and noisy: the minimum is the figure that reflects the code, not the neighbours).
"""

import os
import sys
import timeit

try:
    from tavro import TavroSV
except ImportError:
    here = os.path.dirname(os.path.abspath(__file__))
    sys.path.insert(0, os.path.join(here, "..", "build", "python"))
    from tavro import TavroSV

NUMBER = 200_000
REPEAT = 9


def ns_per_call(stmt, env):
    best = min(timeit.repeat(stmt, globals=env, number=NUMBER, repeat=REPEAT))
    return best / NUMBER * 1e9


def main():
    sv = TavroSV.zero(4)
    env = {"sv": sv, "TavroSV": TavroSV}
    cases = [
        ("sv.get(0)", "sv.get(0)"),
        ("sv.norm_squared()", "sv.norm_squared()"),
        ("sv.get(idx=0)", "sv.get(idx=0)"),
        ("sv.probability(3)", "sv.probability(3)"),
        ("len(sv)", "len(sv)"),
        ("sv.num_qubits", "sv.num_qubits"),
        ("sv.apply_h(0)", "sv.apply_h(0)"),
        ("empty loop (timeit's own cost)", "pass"),
    ]
    print(f"4-qubit state, best of {REPEAT} x {NUMBER} calls")
    for label, stmt in cases:
        print(f"  {label:<32} {ns_per_call(stmt, env):8.1f} ns/call")


if __name__ == "__main__":
    main()
