import os
import sys

# Run from a checkout without PYTHONPATH: fall back to the default build directory.
try:
    import tavro._core  # noqa: F401
except ImportError:
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "build", "python"))
