"""A PEP 517 build backend for vorn that needs nothing but the standard library.

`pip install .` runs it with build isolation and no package index: it builds
the one native library with CMake (which must be on PATH, with a C++20
compiler) and writes an abi3 wheel holding the library as the module
vorn_native, its type stub, and the pure-Python package vorn. build_sdist
packs the sources that build needs.

Two config settings serve scripts/dist.sh, which builds the library itself:
"library" names an already built (and stripped) library to pack instead of
building one, and "platform-tag" the wheel's platform tag (by default the
running interpreter's, such as linux_x86_64).
"""
import base64
import hashlib
import io
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NAME = "vorn"
SUMMARY = "In-process request rate limiter: one native library for CPython and Node.js"
# One build serves every CPython from 3.8 on: the module uses the stable ABI.
PYTHON_TAG, ABI_TAG = "cp38", "abi3"
# Sources an sdist carries: everything the wheel build reads.
SDIST_PATHS = ["CMakeLists.txt", "cmake", "src", "python", "vorn", "lua", "stubs",
               "build_backend", "pyproject.toml", "README.md"]
# Fixed zip timestamps keep two builds of the same tree byte-identical.
ZIP_DATE = (1980, 1, 1, 0, 0, 0)


def _version():
    with open(os.path.join(ROOT, NAME, "__init__.py"), encoding="utf-8") as source:
        match = re.search(r'^__version__ = "([^"]+)"', source.read(), re.M)
    if match is None:
        raise RuntimeError("no __version__ in vorn/__init__.py")
    return match.group(1)


def _setting(config_settings, name):
    value = (config_settings or {}).get(name)
    return value if isinstance(value, str) and value else None


def _platform_tag(config_settings=None):
    given = _setting(config_settings, "platform-tag")
    if given is not None:
        if not re.match(r"^[a-z0-9_]+$", given):
            raise ValueError("platform-tag must be one wheel platform tag, not %r" % given)
        return given
    return sysconfig.get_platform().replace("-", "_").replace(".", "_")


def _dist_info():
    return "%s-%s.dist-info" % (NAME, _version())


def _metadata():
    return ("Metadata-Version: 2.1\nName: %s\nVersion: %s\nSummary: %s\n"
            "Requires-Python: >=3.8\nProvides-Extra: redis\n"
            "Requires-Dist: redis>=4.3; extra == \"redis\"\n" % (NAME, _version(), SUMMARY))


def _wheel_file(config_settings=None):
    return ("Wheel-Version: 1.0\nGenerator: vorn_build_backend %s\nRoot-Is-Purelib: false\n"
            "Tag: %s-%s-%s\n" % (_version(), PYTHON_TAG, ABI_TAG,
                                  _platform_tag(config_settings)))


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    target = os.path.join(metadata_directory, _dist_info())
    os.makedirs(target, exist_ok=True)
    for name, text in (("METADATA", _metadata()), ("WHEEL", _wheel_file(config_settings))):
        with open(os.path.join(target, name), "w", encoding="utf-8") as out:
            out.write(text)
    return _dist_info()


def _cmake_python_args():
    # Build against the headers of the interpreter running pip when it has them;
    # any CPython 3.8+ headers do, since the module uses only the limited API.
    include = sysconfig.get_paths().get("include", "")
    if include and os.path.exists(os.path.join(include, "Python.h")):
        return ["-DVORN_PYTHON=" + sys.executable]
    return []


def _build_library(build_dir):
    if shutil.which("cmake") is None:
        raise RuntimeError("building vorn needs CMake 3.25 or later on PATH")
    configure = ["cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
                 "-DVORN_BUILD_TESTS=OFF", "-DVORN_BUILD_BENCH=OFF"] + _cmake_python_args()
    jobs = str(max(1, min(os.cpu_count() or 1, 8)))
    build = ["cmake", "--build", build_dir, "--target", "vorn_native", "-j", jobs]
    for command in (configure, build):
        # Output goes to stderr: stdout of a hook is not ours to fill.
        subprocess.run(command, check=True, stdout=sys.stderr)
    library = os.path.join(build_dir, "python", "vorn_native.abi3.so")
    if not os.path.isfile(library):
        raise RuntimeError("the build did not produce " + library)
    return library


def _record_line(arcname, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return "%s,sha256=%s,%d" % (arcname, digest, len(data))


def _wheel_members(library, config_settings=None):
    """(archive name, bytes, executable) for every file of the wheel but RECORD."""
    members = []

    def add_file(arcname, path, executable=False):
        with open(path, "rb") as source:
            members.append((arcname, source.read(), executable))

    add_file("vorn_native.abi3.so", library, executable=True)
    stub = os.path.join(ROOT, "stubs", "vorn_native.pyi")
    add_file("vorn_native.pyi", stub)
    # PEP 561 finds typing for a single-file module only through a stub package.
    add_file("vorn_native-stubs/__init__.pyi", stub)
    package = os.path.join(ROOT, NAME)
    for name in sorted(os.listdir(package)):
        if name.endswith(".py") or name == "py.typed":
            add_file(NAME + "/" + name, os.path.join(package, name))
    # The Lua scripts of the Redis engine, shared with the npm package.
    scripts = os.path.join(ROOT, "lua")
    for name in sorted(os.listdir(scripts)):
        if name.endswith(".lua"):
            add_file(NAME + "/lua/" + name, os.path.join(scripts, name))
    info = _dist_info()
    members.append((info + "/METADATA", _metadata().encode(), False))
    members.append((info + "/WHEEL", _wheel_file(config_settings).encode(), False))
    members.append((info + "/top_level.txt", b"vorn\nvorn_native\n", False))
    return members


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    wheel_name = "%s-%s-%s-%s-%s.whl" % (NAME, _version(), PYTHON_TAG, ABI_TAG,
                                         _platform_tag(config_settings))
    library = _setting(config_settings, "library")
    if library is not None:
        if not os.path.isfile(library):
            raise RuntimeError("no library at " + library)
        members = _wheel_members(library, config_settings)
    else:
        with tempfile.TemporaryDirectory(prefix="vorn-wheel-") as build_dir:
            members = _wheel_members(_build_library(build_dir), config_settings)
    record_name = _dist_info() + "/RECORD"
    record = [_record_line(arcname, data) for arcname, data, _ in members]
    record.append(record_name + ",,")
    members.append((record_name, ("\n".join(record) + "\n").encode(), False))
    os.makedirs(wheel_directory, exist_ok=True)
    partial = os.path.join(wheel_directory, wheel_name + ".part")
    with zipfile.ZipFile(partial, "w", zipfile.ZIP_DEFLATED) as wheel:
        for arcname, data, executable in members:
            entry = zipfile.ZipInfo(arcname, ZIP_DATE)
            entry.external_attr = (0o755 if executable else 0o644) << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            wheel.writestr(entry, data)
    os.replace(partial, os.path.join(wheel_directory, wheel_name))
    return wheel_name


def _sdist_files():
    for path in SDIST_PATHS:
        full = os.path.join(ROOT, path)
        if os.path.isfile(full):
            yield path
            continue
        for directory, subdirs, files in os.walk(full):
            subdirs[:] = sorted(d for d in subdirs if d != "__pycache__")
            for name in sorted(files):
                if not name.endswith((".pyc", ".pyo")):
                    yield os.path.relpath(os.path.join(directory, name), ROOT)


def build_sdist(sdist_directory, config_settings=None):
    base = "%s-%s" % (NAME, _version())
    os.makedirs(sdist_directory, exist_ok=True)
    target = os.path.join(sdist_directory, base + ".tar.gz")
    with tarfile.open(target, "w:gz", format=tarfile.PAX_FORMAT) as archive:
        for path in _sdist_files():
            entry = archive.gettarinfo(os.path.join(ROOT, path), base + "/" + path)
            entry.uid = entry.gid = 0
            entry.uname = entry.gname = ""
            with open(os.path.join(ROOT, path), "rb") as source:
                archive.addfile(entry, source)
        info = tarfile.TarInfo(base + "/PKG-INFO")
        data = _metadata().encode()
        info.size = len(data)
        archive.addfile(info, io.BytesIO(data))
    return base + ".tar.gz"
