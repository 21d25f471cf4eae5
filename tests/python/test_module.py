"""Module contents, exception classes, the error mapping and the fault exception."""

import json
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import tavro
import tavro._core as core
from tavro._core import TavroSV

PUBLIC = [
    "TavroSV",
    "Rng",
    "TavroError",
    "GateShapeError",
    "QubitIndexError",
    "DegenerateStateError",
    "NonUnitaryError",
]


def test_public_attributes_in_the_order_they_are_added():
    assert [n for n in vars(core) if not n.startswith("_")] == PUBLIC


def test_module_docstring_is_empty_and_there_is_no_version():
    assert core.__doc__ == ""
    assert not hasattr(core, "__version__")


def test_package_reexports_the_module_objects():
    for name in PUBLIC:
        assert getattr(tavro, name) is getattr(core, name), name


EXCEPTION_CLASSES = [
    ("TavroError", RuntimeError, "Base class for tavro-specific runtime errors."),
    ("GateShapeError", core.TavroError, "Gate matrix has the wrong shape or dtype."),
    ("QubitIndexError", core.TavroError, "Qubit index out of bounds."),
    (
        "DegenerateStateError",
        core.TavroError,
        "State has zero or non-finite norm \u2014 cannot be sampled or projected.",
    ),
    ("NonUnitaryError", core.TavroError, "Gate matrix is not unitary within tolerance."),
]


@pytest.mark.parametrize("name,base,doc", EXCEPTION_CLASSES, ids=[c[0] for c in EXCEPTION_CLASSES])
def test_exception_class(name, base, doc):
    cls = getattr(core, name)
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__module__ == "_core"
    assert cls.__bases__ == (base,)
    assert cls.__doc__ == doc
    assert issubclass(cls, RuntimeError)
    # No attributes or methods of its own; an instance carries its one message.
    assert set(vars(cls)) <= {"__module__", "__doc__", "__weakref__"}
    assert cls("text").args == ("text",)


def test_degenerate_state_docstring_keeps_the_em_dash():
    assert "norm \u2014 cannot" in core.DegenerateStateError.__doc__


# Every variant that a call can produce today, with its class and its full display text.
LIMIT_60 = "60 qubits: 2^60 amplitudes of 16 bytes each cannot be addressed on a 64-bit host"
GIB_2_59 = "allocation failed for 576460752303423488 complex amplitudes (8589934592 GiB)"
GIB_2_40 = "allocation failed for 1099511627776 complex amplitudes (16384 GiB)"

MAP_ERR = [
    ("zero(60)", lambda: TavroSV.zero(60), ValueError, "invalid number of qubits: " + LIMIT_60),
    (
        "zero(64, dynamic)",
        lambda: TavroSV.zero(64, True),
        ValueError,
        "invalid number of qubits: 64 qubits: 2^64 amplitudes of 16 bytes each cannot be "
        "addressed on a 64-bit host",
    ),
    (
        "zero(4000000000)",
        lambda: TavroSV.zero(4000000000),
        ValueError,
        "invalid number of qubits: 4000000000 qubits: 2^4000000000 amplitudes of 16 bytes each "
        "cannot be addressed on a 64-bit host",
    ),
    (
        "60 bits, limit before entries",
        lambda: TavroSV.from_bitstring([2] * 60),
        ValueError,
        "invalid number of qubits: " + LIMIT_60,
    ),
    (
        "from_amplitudes(60), limit before length",
        lambda: TavroSV.from_amplitudes(60, np.zeros(1, np.complex128)),
        ValueError,
        "invalid number of qubits: " + LIMIT_60,
    ),
    (
        "bad bit",
        lambda: TavroSV.from_bitstring([0, 2, 3]),
        ValueError,
        "invalid basis-state index: bitstring entries must be 0 or 1, got 2 at qubit 1",
    ),
    (
        "get out of range",
        lambda: TavroSV.zero(3).get(8),
        ValueError,
        "invalid basis-state index: index 8 >= 2^3",
    ),
    (
        "wrong length",
        lambda: TavroSV.from_amplitudes(2, np.zeros(3, np.complex128)),
        ValueError,
        "invalid state-vector buffer length: expected 4, got 3",
    ),
    (
        "length checked before reserving",
        lambda: TavroSV.from_amplitudes(40, np.zeros(1, np.complex128)),
        ValueError,
        "invalid state-vector buffer length: expected 1099511627776, got 1",
    ),
    ("zero(59)", lambda: TavroSV.zero(59), MemoryError, GIB_2_59),
    ("zero(59, dynamic)", lambda: TavroSV.zero(59, dynamic_qubits=True), MemoryError, GIB_2_59),
    ("zero(40)", lambda: TavroSV.zero(40), MemoryError, GIB_2_40),
    ("40 zero bits", lambda: TavroSV.from_bitstring(bytes(40)), MemoryError, GIB_2_40),
]


@pytest.mark.parametrize("call,cls,message", [c[1:] for c in MAP_ERR], ids=[c[0] for c in MAP_ERR])
def test_core_errors_raise_the_mapped_class_with_the_display_text(call, cls, message):
    with pytest.raises(BaseException) as info:
        call()
    # The built-in class itself, not one of the module's subclasses of RuntimeError.
    assert type(info.value) is cls
    assert info.value.args == (message,)


# A fault is reachable through the public API when the address space runs out between a
# dynamic state's reservation and its clone's; run it in a child with a limit of its own.
FAULT_CHILD = textwrap.dedent(
    """
    import json, resource
    import tavro._core as core

    sv = core.TavroSV.zero(26, dynamic_qubits=True)  # 1 GiB reserved, untouched
    vm = [int(l.split()[1]) * 1024 for l in open("/proc/self/status") if l.startswith("VmSize")][0]
    resource.setrlimit(resource.RLIMIT_AS, (vm + (256 << 20), resource.RLIM_INFINITY))
    out = {"caught_as_exception": False}
    classes = []
    for attempt in range(2):
        try:
            sv.clone()
        except Exception:
            out["caught_as_exception"] = True
        except BaseException as e:
            classes.append(type(e))
            out["mro"] = [c.__name__ for c in type(e).__mro__]
            out["message"] = str(e)
            out["args"] = list(e.args)
    out["same_class"] = len(classes) == 2 and classes[0] is classes[1]
    out["module_attribute"] = any(v is classes[0] for v in vars(core).values())
    out["usable_after"] = [len(sv), sv.live_qubits, repr(sv)]
    print(json.dumps(out))
    """
)


def test_fault_is_raised_as_a_base_exception_outside_the_module():
    child = subprocess.run(
        [sys.executable, "-c", FAULT_CHILD],
        capture_output=True,
        text=True,
        timeout=120,
        env=dict(os.environ),
    )
    assert child.returncode == 0, child.stderr
    out = json.loads(child.stdout)
    message = (
        "cloning a dynamic state re-reserves what it already held: "
        "AllocationFailed { amplitudes: 67108864 }"
    )
    assert out["caught_as_exception"] is False
    assert out["mro"][1:] == ["BaseException", "object"]
    assert out["message"] == message
    assert out["args"] == [message]
    assert out["same_class"] is True
    assert out["module_attribute"] is False
    # The use flag was released on the way out.
    assert out["usable_after"] == [1, 0, "TavroSV(num_qubits=26, live_qubits=0, dynamic)"]
