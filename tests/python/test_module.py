"""Module contents, exception classes, the error mapping and the fault exception."""

import json
import subprocess
import sys

import numpy as np
import pytest

import tavro._core as core
from tavro._core import TavroSV

DOCS = {
    "TavroError": "Base class for tavro-specific runtime errors.",
    "GateShapeError": "Gate matrix has the wrong shape or dtype.",
    "QubitIndexError": "Qubit index out of bounds.",
    "DegenerateStateError":
        "State has zero or non-finite norm \u2014 cannot be sampled or projected.",
    "NonUnitaryError": "Gate matrix is not unitary within tolerance.",
}


def test_attributes_in_the_order_they_are_added_and_nothing_else():
    assert [n for n in vars(core) if not n.startswith("_")] == [
        "TavroSV", "Rng", "optimize_ordering", *DOCS]
    assert core.__doc__ == "" and not hasattr(core, "__version__")


@pytest.mark.parametrize("name", DOCS)
def test_exception_class(name):
    cls, base = getattr(core, name), RuntimeError if name == "TavroError" else core.TavroError
    assert (cls.__qualname__, cls.__module__, cls.__bases__) == (name, "_core", (base,))
    assert cls.__doc__ == DOCS[name] and cls("text").args == ("text",)
    assert set(vars(cls)) <= {"__module__", "__doc__", "__weakref__"}  # nothing of its own


# One row per variant a call can produce (DegenerateState: with the sampling tests), the class
# and the full display text.
MAP_ERR = [
    (lambda: TavroSV.zero(60), ValueError, "invalid number of qubits: 60 qubits: 2^60 amplitudes "
     "of 16 bytes each cannot be addressed on a 64-bit host"),
    (lambda: TavroSV.zero(3).apply_h(9), core.QubitIndexError,
     "qubit index 9 out of bounds for state vector with 3 qubits"),
    (lambda: TavroSV.zero(3).apply_cx(0, 0), core.QubitIndexError,
     "two-qubit gate operands must be distinct, got (0, 0)"),
    (lambda: TavroSV.zero(3).get(8), ValueError, "invalid basis-state index: index 8 >= 2^3"),
    (lambda: TavroSV.from_amplitudes(40, np.zeros(1, complex)), ValueError,
     "invalid state-vector buffer length: expected 1099511627776, got 1"),  # before reserving
    (lambda: TavroSV.zero(59), MemoryError,
     "allocation failed for 576460752303423488 complex amplitudes (8589934592 GiB)"),
]


@pytest.mark.parametrize("call,cls,message", MAP_ERR)
def test_core_errors_raise_the_mapped_class_with_the_display_text(call, cls, message):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value) is cls and info.value.args == (message,)


# The address space runs out between a dynamic state's reservation and its clone's: a fault
# reachable through the public API, run in a child with a limit of its own.
FAULT_CHILD = """
import json, resource, tavro._core as core
sv = core.TavroSV.zero(26, dynamic_qubits=True)  # 1 GiB reserved, untouched
vm = [int(l.split()[1]) * 1024 for l in open("/proc/self/status") if l.startswith("VmSize")][0]
resource.setrlimit(resource.RLIMIT_AS, (vm + (256 << 20), resource.RLIM_INFINITY))
try:
    sv.clone()
except BaseException as e:  # its bases say that an `except Exception` would not catch it
    print(json.dumps([[c.__name__ for c in type(e).__mro__[1:]], e.args, repr(sv)]))
"""


def test_fault_is_a_base_exception_and_releases_the_state():
    child = subprocess.run([sys.executable, "-c", FAULT_CHILD], capture_output=True, text=True)
    message = "cloning a dynamic state re-reserves what it already held: AllocationFailed { "
    assert json.loads(child.stdout or "null") == [
        ["BaseException", "object"], [message + "amplitudes: 67108864 }"],
        "TavroSV(num_qubits=26, live_qubits=0, dynamic)"], child.stderr
