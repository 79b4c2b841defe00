"""Checks of `make wheel` and `make wheel-test`; each exits non-zero on failure.

    wheel_check.py flags BUILD_NINJA     the wheel's compile and link flags
    wheel_check.py contents WHEEL SDIST  what the two archives hold, the tag
    wheel_check.py installed             run by the fresh venv's interpreter:
                                         no build tools, and trovel imported
                                         from that venv's site-packages

Only the standard library is used, so the fresh venv needs nothing for it.
"""
from __future__ import annotations

import re
import sys
import tarfile
import zipfile
from fnmatch import fnmatch
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# Results are the same bits only if nothing is fused or reordered; a wheel
# runs on machines other than the one that built it, so nothing tuned to the
# builder either.
REQUIRED_COMPILE = ["-ffp-contract=off", "-fno-fast-math", "-O3"]
REQUIRED_LINK = ["-ffp-contract=off", "-fno-fast-math"]
FORBIDDEN = re.compile(r"^(-ffast-math|-Ofast|-funsafe-math-optimizations|-ffp-contract=(fast|on)"
                       r"|-m(arch|tune|cpu)=native)$")


def fail(message: str) -> None:
    sys.exit(f"error: {message}")


def flags(build_ninja: str) -> None:
    text = Path(build_ninja).read_text()
    compile_lines = re.findall(r"^  FLAGS = (.*)$", text, re.M)
    link_lines = re.findall(r"^  LINK_FLAGS = (.*)$", text, re.M)
    if not compile_lines or len(link_lines) < 2:      # one link step per module
        fail(f"{build_ninja}: no compile or link flags found")
    for kind, lines, required in (("compile", compile_lines, REQUIRED_COMPILE),
                                  ("link", link_lines, REQUIRED_LINK)):
        for line in lines:
            words = line.split()
            missing = [f for f in required if f not in words]
            bad = [w for w in words if FORBIDDEN.match(w)]
            if missing or bad:
                fail(f"{kind} flags {line!r}: missing {missing}, forbidden {bad}")
        for line in sorted(set(lines)):
            print(f"{kind}: {line}")


def contents(wheel: str, sdist: str) -> None:
    with zipfile.ZipFile(wheel) as z:
        names = z.namelist()
        info = next(n for n in names if n.endswith(".dist-info/WHEEL"))
        tags = [line.split(":", 1)[1].strip()
                for line in z.read(info).decode().splitlines() if line.startswith("Tag:")]
    # the checked layer as it is in the source tree, and what CMake installs
    package = sorted(str(p.relative_to(ROOT / "python")) for p in (ROOT / "python" / "trovel").rglob("*")
                     if p.is_file() and "__pycache__" not in p.parts)
    needed = package + ["_trovel.pyi", "_trovel-stubs/__init__.pyi"]
    patterns = ["_trovel.cpython-313-*.so", "trovel/_kernels.cpython-313-*.so"]
    missing = [n for n in needed if n not in names]
    missing += [p for p in patterns if not any(fnmatch(n, p) for n in names)]
    if missing:
        fail(f"{wheel} lacks {missing}")
    if sys.platform.startswith("linux") and not all(t.split("-")[-1].startswith("manylinux") for t in tags):
        fail(f"{wheel} is not tagged manylinux: {tags}")
    grafted = [n for n in names if ".libs/" in n]
    with tarfile.open(sdist) as t:
        top = {m.name.split("/", 1)[1] for m in t.getmembers() if "/" in m.name}
    in_sdist = ["pyproject.toml", "CMakeLists.txt", "LICENSE", "README.md", "src/trovel/exports.map",
                "python/_trovel.pyi", "tests/conftest.py"]
    if [n for n in in_sdist if n not in top]:
        fail(f"{sdist} lacks {[n for n in in_sdist if n not in top]}")
    print(f"{Path(wheel).name}: tag {', '.join(tags)}; {len(names)} files; "
          f"libraries grafted in: {grafted or 'none'}")
    print(f"{Path(sdist).name}: {len(top)} files")


BUILD_TOOLS = ["cmake", "ninja", "scikit_build_core", "pybind11", "setuptools", "mesonpy", "build"]


def installed() -> None:
    import importlib.metadata
    import importlib.util
    import sysconfig

    present = [m for m in BUILD_TOOLS if importlib.util.find_spec(m) is not None]
    dists = {d.metadata["Name"].lower().replace("_", "-") for d in importlib.metadata.distributions()}
    present += sorted(dists & {"cmake", "ninja", "scikit-build-core", "pybind11", "setuptools",
                               "meson", "meson-python", "build"})
    if present:
        fail(f"the test venv holds build tools: {sorted(set(present))}")
    source = (ROOT / "python").resolve()
    on_path = [p for p in sys.path if p and Path(p).resolve() == source]
    if on_path:
        fail(f"the source tree is on sys.path: {on_path}")
    import _trovel
    import trovel
    import trovel._kernels

    site = Path(sysconfig.get_paths()["platlib"]).resolve()
    for mod in (trovel, _trovel, trovel._kernels):
        where = Path(mod.__file__).resolve()
        if not where.is_relative_to(site):
            fail(f"{mod.__name__} comes from {where}, not from {site}")
        print(f"{mod.__name__}: {mod.__file__}")
    print(f"trovel {trovel.__version__} from the wheel, in {sys.prefix}")


if __name__ == "__main__":
    command, args = sys.argv[1], sys.argv[2:]
    {"flags": flags, "contents": contents, "installed": installed}[command](*args)
