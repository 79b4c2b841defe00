"""The extension module itself: registrations, docstrings, module definition,
the interpreter-version gate, sub-interpreters and argument conversion."""
import ctypes
import os
import shutil
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _trovel
from helpers import Index, addr, f64

U = I = "typing.SupportsInt | typing.SupportsIndex"
D = "typing.SupportsFloat | typing.SupportsIndex"

# Every callable in registration order: (name, parameter kinds, result).
SIGNATURES = [
    ("poly_grid_contains", [U] * 8, "None"),
    ("pixel_frac", [D] * 4 + [U] * 10, "None"),
    ("pixel_frac", [U] * 14, "None"),
    ("enclosed_circle", [U] * 4 + [D] * 3 + [U] * 6, "None"),
    ("enclosed_strut", [U] * 4 + [D] * 9 + [U] * 6, "None"),
    ("clip_triangles_to_circle", [U, I, D, D, D, I, D, U, U, U], "int"),
    ("clip_triangles_to_strut", [U, I] + [D] * 12 + [U, U, U], "int"),
    ("accumulate_triangles", [U, U, U, U, I, I], "None"),
    ("clip_area", [U, I, I], "float"),
]


def signature_text(name, params, result):
    args = ", ".join(f"arg{k}: {t}" for k, t in enumerate(params))
    return f"{name}({args}) -> {result}"


def expected_docstrings():
    by_name = {}
    for name, params, result in SIGNATURES:
        by_name.setdefault(name, []).append(signature_text(name, params, result))
    docs = {}
    for name, sigs in by_name.items():
        if len(sigs) == 1:
            docs[name] = sigs[0] + "\n"
        else:
            body = "\n".join(f"{k}. {s}\n" for k, s in enumerate(sigs, 1))
            docs[name] = f"{name}(*args, **kwargs)\nOverloaded function.\n\n{body}"
    return docs


def test_module_has_exactly_the_registered_callables_and_no_docstring():
    public = {n for n in dir(_trovel) if not n.startswith("__")}
    assert public == {name for name, _, _ in SIGNATURES}
    assert _trovel.__doc__ is None


@pytest.mark.parametrize("name", sorted({s[0] for s in SIGNATURES}))
def test_docstring_is_the_generated_signature(name):
    assert getattr(_trovel, name).__doc__ == expected_docstrings()[name]


# --- the module definition, read from what the init function returns --------

class PyModuleDefSlot(ctypes.Structure):
    _fields_ = [("slot", ctypes.c_int), ("value", ctypes.c_void_p)]


class PyModuleDef(ctypes.Structure):
    _fields_ = [
        ("ob_refcnt", ctypes.c_ssize_t), ("ob_type", ctypes.c_void_p),
        ("m_init", ctypes.c_void_p), ("m_index", ctypes.c_ssize_t), ("m_copy", ctypes.c_void_p),
        ("m_name", ctypes.c_char_p), ("m_doc", ctypes.c_char_p), ("m_size", ctypes.c_ssize_t),
        ("m_methods", ctypes.c_void_p), ("m_slots", ctypes.POINTER(PyModuleDefSlot)),
        ("m_traverse", ctypes.c_void_p), ("m_clear", ctypes.c_void_p), ("m_free", ctypes.c_void_p),
    ]


def read_module_def():
    init = ctypes.PyDLL(_trovel.__file__).PyInit__trovel
    init.restype = ctypes.c_void_p
    return PyModuleDef.from_address(init())


def test_module_definition():
    mdef = read_module_def()
    assert mdef.m_name == b"_trovel"
    assert mdef.m_doc is None
    assert mdef.m_size == 0
    assert mdef.m_methods is None
    assert (mdef.m_traverse, mdef.m_clear, mdef.m_free) == (None, None, None)
    slots = []
    k = 0
    while mdef.m_slots[k].slot != 0:
        slots.append((mdef.m_slots[k].slot, mdef.m_slots[k].value))
        k += 1
    assert mdef.m_slots[k].value is None
    # create, exec, multiple interpreters not supported; never "GIL not used" (4)
    assert [s for s, _ in slots] == [1, 2, 3]
    assert slots[0][1] and slots[1][1]
    assert slots[2][1] is None


def test_init_function_is_the_only_exported_function():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    out = subprocess.run([nm, "-D", "--defined-only", _trovel.__file__],
                         capture_output=True, text=True, check=True).stdout
    functions = [line.split()[-1] for line in out.splitlines() if line.split()[1] in "Tt"]
    assert functions == ["PyInit__trovel"]


# --- the interpreter-version gate -------------------------------------------

SHIM_SOURCE = r"""
#include <stdlib.h>
const char *Py_GetVersion(void) { return getenv("TROVEL_FAKE_PY_VERSION"); }
"""

PROBE = textwrap.dedent("""
    import ctypes, os, sys
    get = ctypes.pythonapi.Py_GetVersion
    get.restype = ctypes.c_char_p
    if get().decode() != os.environ["TROVEL_FAKE_PY_VERSION"]:
        print("SHIM-INACTIVE")
        sys.exit(0)
    try:
        import _trovel
    except ImportError as e:
        print("ImportError:" + str(e))
    else:
        print("imported")
""")


@pytest.fixture(scope="module")
def version_shim(tmp_path_factory):
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        pytest.skip("no C compiler for the Py_GetVersion shim")
    d = tmp_path_factory.mktemp("shim")
    (d / "shim.c").write_text(SHIM_SOURCE)
    subprocess.run([cc, "-shared", "-fPIC", "-o", str(d / "shim.so"), str(d / "shim.c")], check=True)
    return d / "shim.so"


def import_with_version(shim, version):
    # After anything already preloaded: a sanitizer runtime must stay first.
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(shim)]))
    env = dict(os.environ, LD_PRELOAD=preload, TROVEL_FAKE_PY_VERSION=version)
    out = subprocess.run([sys.executable, "-c", PROBE], env=env, capture_output=True, text=True,
                         timeout=60)
    assert out.returncode == 0, out.stderr
    result = out.stdout.strip()
    if result == "SHIM-INACTIVE":
        pytest.skip("this interpreter binds Py_GetVersion so that a preloaded shim cannot replace it")
    return result


@pytest.mark.parametrize("version", [
    "3.12.4 (main, Jun  1 2024, 00:00:00) [GCC 12.2.0]",
    "3.130 (main, Jan  1 2030, 00:00:00) [GCC 12.2.0]",
    "3.1 (x)",
])
def test_version_gate_refuses_other_versions(version_shim, version):
    message = ("Python version mismatch: module was compiled for Python 3.13, "
               f"but the interpreter version is incompatible: {version}.")
    assert import_with_version(version_shim, version) == "ImportError:" + message


@pytest.mark.parametrize("version", ["3.13.5+ (heads/3.13:abcdef) [GCC 12.2.0]", "3.13.0 (main)"])
def test_version_gate_accepts_3_13(version_shim, version):
    assert import_with_version(version_shim, version) == "imported"


# --- sub-interpreters and re-import -----------------------------------------

def run_python(code):
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                         text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    return out.stdout.strip()


def test_import_in_subinterpreter_is_refused():
    out = run_python("""
        import _interpreters
        interp = _interpreters.create()
        err = _interpreters.run_string(interp, "import _trovel")
        _interpreters.destroy(interp)
        print(err.type.__name__ if err else "imported")
    """)
    assert out == "ImportError"


def test_second_import_gives_the_working_module():
    out = run_python("""
        import sys, numpy as np
        import _trovel
        first = sys.modules.pop("_trovel")
        import _trovel
        tri = np.array([-10.0, -10.0, 10.0, -10.0, 0.0, 10.0])
        print(_trovel is first, _trovel.clip_area(tri.ctypes.data, 0, 0))
    """)
    assert out == "True 1.0"


# --- argument conversion ----------------------------------------------------

class IntOnly:
    def __int__(self):
        return 0


class FloatOnly:
    def __float__(self):
        return 0.0


COVER = f64(-10, -10, 10, -10, 0, 10)  # covers pixel (0, 0) and its neighbours


CORNER = f64(-0.5, -0.5, 1.5, -0.5, -0.5, 1.5)  # covers pixel (0, 0), half of (1, 0)


@pytest.mark.parametrize("i,area", [
    (0, 1.0), (True, 0.5), (False, 1.0), (Index(1), 0.5), (np.int64(1), 0.5), (IntOnly(), 1.0),
    (2**31 - 1, 0.0), (-2**31, 0.0),
])
def test_int_parameter_accepts_integers_and_index_objects(i, area):
    # The column reaches the kernel as the integer it stands for.
    assert _trovel.clip_area(addr(CORNER), i, 0) == area


@pytest.mark.parametrize("i", [0.0, 2**31, -2**31 - 1, "0", None, np.float64(0), FloatOnly()])
def test_int_parameter_rejects(i):
    with pytest.raises(TypeError):
        _trovel.clip_area(addr(COVER), i, 0)
    with pytest.raises(TypeError):
        _trovel.clip_area(addr(COVER), 0, i)


def test_address_parameter_accepts_index_objects():
    assert _trovel.clip_area(Index(addr(COVER)), 0, 0) == 1.0


@pytest.mark.parametrize("a", [-1, 2**64, 2.0**40, None])
def test_address_parameter_rejects(a):
    with pytest.raises(TypeError):
        _trovel.clip_area(a, 0, 0)


@pytest.mark.parametrize("call", [
    lambda: _trovel.clip_area(addr(COVER), 0, j=0),
    lambda: _trovel.clip_area(tri=addr(COVER), i=0, j=0),
    lambda: _trovel.clip_area(addr(COVER), 0),
    lambda: _trovel.clip_area(addr(COVER), 0, 0, 0),
])
def test_keywords_and_wrong_argument_counts_are_rejected(call):
    with pytest.raises(TypeError):
        call()


def test_single_overload_converts_integers_for_doubles_but_no_float_address():
    pq, j, out = f64(0, 0, 0, 0), f64(1, 0, 0, 1), f64(np.nan)
    args = [*(addr(pq) + 8 * k for k in range(4)), 0, 0, 10,
            *(addr(j) + 8 * k for k in range(4)), addr(out), 1]
    assert _trovel.enclosed_circle(*args) is None and out[0] == 1.0
    for k in [0, 3, 7, 11, 12]:
        with pytest.raises(TypeError):
            _trovel.enclosed_circle(*args[:k], float(args[k]), *args[k + 1:])


@pytest.mark.parametrize("a", [np.uint64, np.int64, Index])
def test_address_parameter_accepts_numpy_integers(a):
    assert _trovel.clip_area(a(addr(COVER)), np.int32(0), 0) == 1.0


@pytest.mark.parametrize("a", [Index(-1), np.int64(-1), Index(2**64)])
def test_address_parameter_rejects_index_objects_out_of_range(a):
    with pytest.raises(TypeError):
        _trovel.clip_area(a, 0, 0)
