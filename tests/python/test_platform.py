"""The package on a platform without a wheel: reaching the engine raises an
ImportError naming the platform found and those supported, while the loader's
own error stands on a supported platform, and the pure-Python parts import
anywhere."""
import importlib
import pathlib
import subprocess
import sys
import textwrap
import unittest
from unittest import mock

import vorn_loader  # noqa: F401  (puts the built library on sys.path)

REPO = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO))
from vorn import _native  # noqa: E402

SUPPORTED = "vorn's wheels are for linux-x86_64 and linux-aarch64 with glibc 2.34 or later"

# (sys.platform, machine, libc_ver(), the platform named, or None where supported)
PLATFORMS = [
    ("darwin", "arm64", ("", ""), "darwin-arm64"),
    ("win32", "AMD64", ("", ""), "win32-amd64"),
    ("linux", "x86_64", ("", ""), "linux-x86_64 without glibc (musl?)"),
    ("linux", "x86_64", ("glibc", "2.33"), "linux-x86_64 with glibc 2.33"),
    ("linux", "aarch64", ("glibc", "2.4"), "linux-aarch64 with glibc 2.4"),
    ("linux", "ppc64le", ("glibc", "2.36"), "linux-ppc64le with glibc 2.36"),
    ("linux", "x86_64", ("glibc", "2.34"), None),
    ("linux", "aarch64", ("glibc", "2.39"), None),
]


class PlatformTest(unittest.TestCase):
    def test_each_platform_is_told_apart(self):
        for index, (system, machine, libc, named) in enumerate(PLATFORMS):
            with self.subTest(index=index, platform=(system, machine, libc)), \
                    mock.patch.object(_native.sys, "platform", system), \
                    mock.patch.object(_native.platform, "machine", return_value=machine), \
                    mock.patch.object(_native.platform, "libc_ver", return_value=libc):
                problem = _native.unsupported_platform()
                if named is None:
                    self.assertIsNone(problem)
                else:
                    self.assertIn("no native engine for %s; " % named, problem)
                    self.assertIn(SUPPORTED, problem)

    def test_a_failed_load_is_explained_only_where_no_wheel_runs(self):
        for system, machine, libc, explained in PLATFORMS[0:1] + PLATFORMS[-1:]:
            with self.subTest(platform=(system, machine, libc)), \
                    mock.patch.dict(sys.modules, {"vorn_native": None}), \
                    mock.patch.object(sys, "platform", system), \
                    mock.patch("platform.machine", return_value=machine), \
                    mock.patch("platform.libc_ver", return_value=libc):
                with self.assertRaises(ImportError) as raised:
                    importlib.reload(_native)
            if explained is None:
                self.assertIn("vorn_native", str(raised.exception))
            else:
                self.assertIn("no native engine for %s; " % explained, str(raised.exception))
                self.assertIsInstance(raised.exception.__cause__, ImportError)
        importlib.reload(_native)

    def test_the_pure_parts_import_without_the_engine(self):
        # A new interpreter in which vorn_native cannot be imported at all.
        code = textwrap.dedent("""
            import sys
            sys.modules["vorn_native"] = None
            import vorn, vorn.limits, vorn.address
            assert vorn.parse_limit("5/second")
            try:
                vorn.create_engine()
            except ImportError as error:
                print("refused:", error)
        """)
        done = subprocess.run([sys.executable, "-c", code], cwd=str(REPO), capture_output=True,
                              text=True, check=True)
        self.assertIn("refused:", done.stdout)


if __name__ == "__main__":
    unittest.main()
