"""Loads the built vorn_native for the test modules.

The library is taken from the directory named by VORN_PYTHON_PATH (default:
<repo>/build/python), put first on sys.path so that no other copy is picked up.
"""
import os
import pathlib
import sys

REPO = pathlib.Path(__file__).resolve().parents[2]
LIBRARY_DIR = pathlib.Path(os.environ.get("VORN_PYTHON_PATH", REPO / "build" / "python")).resolve()
LIBRARY_FILE = LIBRARY_DIR / "vorn_native.abi3.so"

sys.path.insert(0, str(LIBRARY_DIR))
import vorn_native  # noqa: E402

if pathlib.Path(vorn_native.__file__).resolve() != LIBRARY_FILE:
    raise ImportError(f"loaded {vorn_native.__file__}, expected {LIBRARY_FILE}")

RustEngine = vorn_native.RustEngine


def engine(algorithm="token_bucket", mode="active", capacity=10, refill_rate=0.0,
           api_key=None, debug=None, backend_url=""):
    return RustEngine(algorithm, mode, capacity, refill_rate, api_key, debug, backend_url)
