import os
import sys

# Run from a checkout without PYTHONPATH: fall back to the default build directory.
try:
    import tavro._core  # noqa: F401
except ImportError:
    here = os.path.dirname(os.path.abspath(__file__))
    sys.path.insert(0, os.path.join(here, "..", "..", "build", "python"))
    import tavro._core  # noqa: F401
