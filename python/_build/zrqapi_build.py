"""A build backend for the zrqapi package that needs only the standard library.

The package is pure Python, so a wheel is its files, three metadata files and
a record of their hashes. Keeping the backend here means installing it needs
no package index.
"""
import base64
import hashlib
import io
import os
import re
import tarfile
import zipfile

HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGE = "zrqapi"
SUMMARY = "Drive a stepper-motor controller box on a serial port (over the ZRQAPI library)"


def _version():
    with open(os.path.join(HERE, PACKAGE, "__init__.py")) as file:
        return re.search(r'^__version__ = "([^"]+)"', file.read(), re.M).group(1)


def _package_files():
    files = []
    for directory, subdirectories, names in os.walk(os.path.join(HERE, PACKAGE)):
        subdirectories[:] = sorted(d for d in subdirectories if d != "__pycache__")
        for name in sorted(names):
            if name.endswith(".py") or name == "py.typed":
                path = os.path.join(directory, name)
                files.append((os.path.relpath(path, HERE).replace(os.sep, "/"), path))
    return files


def _metadata():
    return (f"Metadata-Version: 2.1\nName: {PACKAGE}\nVersion: {_version()}\nSummary: {SUMMARY}\n"
            "Requires-Python: >=3.8\n")


def _dist_info():
    return f"{PACKAGE}-{_version()}.dist-info"


def _wheel_text():
    return "Wheel-Version: 1.0\nGenerator: zrqapi_build\nRoot-Is-Purelib: true\nTag: py3-none-any\n"


def _write_wheel(directory, entries):
    """entries: (archive name, bytes). Adds the RECORD and returns the wheel's file name."""
    name = f"{PACKAGE}-{_version()}-py3-none-any.whl"
    record = []
    with zipfile.ZipFile(os.path.join(directory, name), "w", zipfile.ZIP_DEFLATED) as wheel:
        for arcname, data in entries:
            wheel.writestr(arcname, data)
            digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
            record.append(f"{arcname},sha256={digest},{len(data)}")
        record_name = f"{_dist_info()}/RECORD"
        record.append(f"{record_name},,")
        wheel.writestr(record_name, "\n".join(record) + "\n")
    return name


def _metadata_entries():
    return [(f"{_dist_info()}/METADATA", _metadata().encode()),
            (f"{_dist_info()}/WHEEL", _wheel_text().encode())]


def get_requires_for_build_wheel(config_settings=None):
    return []


get_requires_for_build_sdist = get_requires_for_build_wheel
get_requires_for_build_editable = get_requires_for_build_wheel


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    target = os.path.join(metadata_directory, _dist_info())
    os.makedirs(target, exist_ok=True)
    for arcname, data in _metadata_entries():
        with open(os.path.join(metadata_directory, arcname), "wb") as file:
            file.write(data)
    return _dist_info()


prepare_metadata_for_build_editable = prepare_metadata_for_build_wheel


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    entries = []
    for arcname, path in _package_files():
        with open(path, "rb") as file:
            entries.append((arcname, file.read()))
    return _write_wheel(wheel_directory, entries + _metadata_entries())


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    # A path file puts the source directory itself on sys.path.
    entries = [(f"__editable__.{PACKAGE}.pth", (HERE + "\n").encode())]
    return _write_wheel(wheel_directory, entries + _metadata_entries())


def build_sdist(sdist_directory, config_settings=None):
    base = f"{PACKAGE}-{_version()}"
    name = f"{base}.tar.gz"
    with tarfile.open(os.path.join(sdist_directory, name), "w:gz") as sdist:
        for relative in ["pyproject.toml", "_build/zrqapi_build.py"] + [a for a, _ in _package_files()]:
            sdist.add(os.path.join(HERE, relative), f"{base}/{relative}")
        info = tarfile.TarInfo(f"{base}/PKG-INFO")
        data = _metadata().encode()
        info.size = len(data)
        sdist.addfile(info, io.BytesIO(data))
    return name
