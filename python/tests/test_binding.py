"""The binding against the header: it cannot drift, and no argument is cut to 32 bits."""
import ctypes
import os
import re
import subprocess
import sys

import pytest

from conftest import PYTHON_DIR, REPO
from zrqapi import _library

HEADER = os.path.join(REPO, "include", "zrqapi.h")

_C_TYPES = {
    "int32_t": ctypes.c_int32,
    "uint32_t": ctypes.c_uint32,
    "int32_t*": ctypes.POINTER(ctypes.c_int32),
    "char*": ctypes.c_char_p,
    "const char*": ctypes.c_char_p,
}


def declared_functions():
    """name -> (result type, [argument types]) for every ZRQ_API declaration."""
    text = re.sub(r"/\*.*?\*/", "", open(HEADER).read(), flags=re.S)
    found = {}
    for result, name, args in re.findall(r"ZRQ_API\(([^)]*)\)\s*(\w+)\s*\(([^)]*)\)\s*;", text):
        types = []
        for arg in args.split(","):
            arg = arg.strip()
            if arg in ("void", ""):
                continue
            # Drop the parameter's name, keep its type ("int32_t* x" -> "int32_t*").
            kind = re.sub(r"\s*\b\w+$", "", arg).replace(" *", "*").strip()
            types.append(kind)
        found[name] = (result.strip().replace(" *", "*"), types)
    return found


def test_header_is_parsed():
    declared = declared_functions()
    # A parser that found nothing would let every check below pass.
    assert len(declared) >= 80
    assert declared["Kap_GetRtPos"] == ("int32_t", ["int32_t*", "int32_t*", "int32_t*"])


def test_every_declared_function_has_the_declared_prototype():
    declared = declared_functions()
    assert set(_library.PROTOTYPES) == set(declared)
    for name, (result, args) in declared.items():
        restype, argtypes = _library.PROTOTYPES[name]
        assert restype is _C_TYPES[result], name
        assert list(argtypes) == [_C_TYPES[a] for a in args], name


def test_every_function_is_typed_for_type_checkers():
    typed = {name for name in _library.Library.__annotations__ if name.startswith(("Nirek", "Kap_"))}
    assert typed == set(_library.PROTOTYPES)


def test_the_loaded_library_binds_every_function(lib):
    for name, (restype, argtypes) in _library.PROTOTYPES.items():
        function = lib.functions[name]
        assert function.restype is restype and list(function.argtypes) == list(argtypes), name
        assert callable(getattr(lib, name))


@pytest.mark.parametrize("value", [0, 1, -1, 2**31 - 1, -(2**31)])
def test_values_that_fit_pass_unchanged(lib, value):
    assert lib.Kap_TestCall(value) == value


@pytest.mark.parametrize("value", [2**31, -(2**31) - 1, 2**32 + 5])
def test_values_that_do_not_fit_are_refused_not_wrapped(lib, value):
    # Plain ctypes would pass 2**32 + 5 as 5.
    with pytest.raises(OverflowError):
        lib.Kap_TestCall(value)


@pytest.mark.parametrize("args", [(), (1, 2), ("3",), (1.5,)])
def test_wrong_arity_or_type_is_refused(lib, args):
    with pytest.raises(TypeError):
        lib.Kap_TestCall(*args)


def test_version_and_place_of_the_library(lib):
    assert lib.version() == (2, 1)
    out = subprocess.run([sys.executable, "-m", "zrqapi"], cwd=PYTHON_DIR, capture_output=True, text=True,
                         check=True).stdout
    assert "library API 2.1" in out
    assert os.path.realpath(lib.path) in out


def test_missing_library_is_reported_with_the_way_out():
    env = dict(os.environ, ZRQAPI_LIBRARY="/nonexistent/libzrqapi.so.2")
    done = subprocess.run([sys.executable, "-m", "zrqapi"], cwd=PYTHON_DIR, env=env, capture_output=True,
                          text=True)
    assert done.returncode == 1
    assert "ZRQAPI_LIBRARY" in done.stderr and "/nonexistent/libzrqapi.so.2" in done.stderr


def test_package_version_follows_the_project_version():
    import zrqapi
    project = re.search(r"project\(zrqapi VERSION ([\d.]+)", open(os.path.join(REPO, "CMakeLists.txt")).read())
    assert zrqapi.__version__ == project.group(1)


def test_the_windows_lookup_finds_every_function_with_its_stdcall_argument_bytes():
    # Under stdcall the callee pops the arguments: a prototype whose size
    # differs from the DLL's would corrupt the caller's stack.
    exported = {}
    for line in open(os.path.join(REPO, "exports", "zrqapi.def")):
        match = re.match(r"\s+(\S+)\s*=\s*(\S+)", line)
        if match:
            exported[match.group(1)] = match.group(2)
    assert len(exported) > 150
    plain_missing = set()
    for name, (_, argtypes) in _library.PROTOTYPES.items():
        argument_bytes = 4 * len(argtypes)
        if name in exported:
            assert exported[name].endswith(f"@{argument_bytes}"), (name, exported[name])
        else:
            plain_missing.add(name)
            assert f"_{name}@{argument_bytes}" in exported, name
    assert plain_missing == _library._WINDOWS_ONLY_DECORATED


def test_the_command_line_takes_its_arguments(box):
    def run(*args):
        return subprocess.run([sys.executable, "-m", "zrqapi", *args], cwd=PYTHON_DIR, capture_output=True,
                              text=True, timeout=60)

    helped = run("--help")
    assert helped.returncode == 0 and "ports" in helped.stdout and "probe" in helped.stdout
    assert run("--version").stdout.strip() == f"zrqapi {_library_version()}"
    assert run("--bogus").returncode == 2
    listed = run("--root", box.root, "ports").stdout.splitlines()
    assert f"COM3  {box.com_link}  present  (configured)" in listed and len(listed) == 8
    probed = run("--root", box.root, "probe")
    assert probed.returncode == 0 and "identifier 'ZRQBOX.1'" in probed.stdout, probed.stderr
    # An unplugged adapter: the link to its device leads nowhere.
    os.symlink(os.path.join(box.root, "gone"), os.path.join(box.root, "dev", "com4"))
    missing = run("--root", box.root, "probe", "4")
    assert missing.returncode == 7 and "does not exist" in missing.stderr


def _library_version():
    import zrqapi
    return zrqapi.__version__
