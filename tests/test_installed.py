"""The suite tests the installed package: every make target installs trovel
into a venv (`make wheel-test` from the wheel into a venv without build
tools), and a stray checkout on sys.path would test the sources instead."""
import sysconfig
from pathlib import Path

import _trovel
import trovel
import trovel._kernels

SITE = Path(sysconfig.get_paths()["platlib"]).resolve()


def test_modules_come_from_the_interpreters_site_packages():
    for mod in (trovel, _trovel, trovel._kernels):
        assert Path(mod.__file__).resolve().is_relative_to(SITE), mod.__file__


def test_the_stubs_are_installed_beside_the_modules():
    for stub in ("_trovel.pyi", "_trovel-stubs/__init__.pyi", "trovel/_kernels.pyi", "trovel/py.typed"):
        assert (SITE / stub).is_file(), stub
