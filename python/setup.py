"""The extension module: kxquant/_kxquant, linked with the static libkxquant.

The library is the one CMake built (build/libkxquant.a beside this folder,
or the build folder named by KXQUANT_BUILD_DIR), compiled position-
independent for this; the extension uses only its C header.
"""
import os
from pathlib import Path

from pybind11.setup_helpers import Pybind11Extension
from setuptools import setup

here = Path(__file__).resolve().parent
build = Path(os.environ.get("KXQUANT_BUILD_DIR") or here.parent / "build").resolve()
archive = build / "libkxquant.a"
if not archive.is_file():
    raise SystemExit(f"kxquant: {archive} is missing: build the C library first (scripts/build "
                     "in the repository), or name its CMake build folder in KXQUANT_BUILD_DIR")

setup(ext_modules=[
    Pybind11Extension(
        "kxquant._kxquant",
        ["src/module.cpp"],
        include_dirs=[str(here.parent / "include")],
        extra_objects=[str(archive)],
        # Relinked when the library is rebuilt, not only when module.cpp changes.
        depends=[str(archive), str(here.parent / "include" / "kxquant.h")],
        extra_link_args=["-pthread"],
        cxx_std=17,
    )
])
