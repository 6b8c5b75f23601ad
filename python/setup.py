"""The extension module kxquant._kxquant: module.cpp compiled together with
libkxquant's own sources, so no CMake build is needed first. It is linked
with Debian's zlib and libdeflate and exports PyInit__kxquant alone.

What is taken from CMakeLists.txt, the one place that says it: the version
(project(... VERSION ...)) and the folders of src/ the library is made of
(KX_LIB_FOLDERS, besides src/libkxquant). From the repository the sources
are ../src and ../include; an sdist carries them, with CMakeLists.txt, in
cxx/ (copied when the sdist is made) and builds from there.
"""
import os
import re
import shutil
from pathlib import Path

from pybind11.setup_helpers import ParallelCompile, Pybind11Extension
from setuptools import setup
from setuptools.command.build_ext import build_ext
from setuptools.command.sdist import sdist

here = Path(__file__).resolve().parent
tree = here / "cxx" if (here / "cxx").is_dir() else here.parent
cmake = (tree / "CMakeLists.txt").read_text()
version = re.search(r"project\(\w+ VERSION ([0-9.]+)", cmake)[1]
folders = ["libkxquant", *re.search(r"set\(KX_LIB_FOLDERS ([\w ]+)\)", cmake)[1].split()]


def library_files(suffixes):
    """The library's files of src/ with these suffixes, as CMake takes them
    (not the programs' mains), relative to the tree."""
    return sorted(p.relative_to(tree) for folder in folders
                  for p in (tree / "src" / folder).iterdir()
                  if p.suffix in suffixes and not p.name.endswith("_main.cpp"))


class BuildExt(build_ext):
    """The library's sources are added here rather than listed in setup(),
    so that they stay out of the package's own file list (they are outside
    its folder in the repository)."""

    def build_extensions(self):
        # KXQUANT_LIBRARY=/abs/path/build/libkxquant.a links a CMake build's static
        # library instead (objects built from these same sources), which
        # saves compiling them again where such a build is at hand.
        prebuilt = os.environ.get("KXQUANT_LIBRARY")
        sources = [] if prebuilt else [str(tree / p) for p in library_files({".cpp"})]
        for ext in self.extensions:
            ext.sources += [s for s in sources if s not in ext.sources]
            if prebuilt:
                ext.extra_objects = [str(Path(prebuilt).resolve())]
        super().build_extensions()


class Sdist(sdist):
    """The library's sources and headers and CMakeLists.txt in cxx/."""

    def make_release_tree(self, base_dir, files):
        super().make_release_tree(base_dir, files)
        for rel in [Path("CMakeLists.txt"), Path("include/kxquant.h"),
                    *library_files({".cpp", ".h", ".map"})]:
            (Path(base_dir) / "cxx" / rel).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(tree / rel, Path(base_dir) / "cxx" / rel)


# As many compilers at once as there are processors (KXQUANT_BUILD_JOBS=N for N).
ParallelCompile("KXQUANT_BUILD_JOBS").install()

setup(
    version=version,
    cmdclass={"build_ext": BuildExt, "sdist": Sdist},
    ext_modules=[
        Pybind11Extension(
            "kxquant._kxquant",
            ["src/module.cpp"],
            include_dirs=[str(tree / "include"), str(tree / "src")],
            define_macros=[("KX_VERSION", f'"{version}"')],
            # Rebuilt for a new version too, and a changed header or export list.
            depends=[str(tree / p) for p in ["CMakeLists.txt", *library_files({".h"})]] +
            [str(here / "src" / "exports.map")],
            extra_compile_args=["-O2", "-fno-semantic-interposition"],
            extra_link_args=["-pthread", f"-Wl,--version-script={here / 'src' / 'exports.map'}"],
            libraries=["deflate", "z"],
            cxx_std=20,
        )
    ],
)
