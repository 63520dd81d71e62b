"""The C++ part of `pip install`: CMake configures and builds the native modules, the shared library
and the programs, then installs its "wheel" component (see cmake/install.cmake) into the directory
setuptools packs, inside the packages, and its "wheel_data" component (the bash completion) as the
wheel's data, which pip puts under the environment's prefix. Metadata lives in pyproject.toml.

Environment: ZORV_CMAKE_BUILD_DIR names an already configured build tree to build and install from
(the tests use it to skip a second build); CMAKE_BUILD_PARALLEL_LEVEL the build's parallelism;
ZORV_CMAKE_ARGS more configure options."""

import os
import re
import shlex
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

SOURCE = Path(__file__).resolve().parent
TARGETS = ["zorv_git_py", "zorv_git_gitlab_py", "zorv-gitlab-sandbox", "zorv-gitlab", "zorv-gitlab-completion"]


def _version():
    match = re.search(r"project\(zorv_git_gitlab VERSION ([0-9.]+)", (SOURCE / "CMakeLists.txt").read_text())
    return match.group(1)


def _run(args):
    print("+", shlex.join(args), flush=True)
    subprocess.run(args, check=True)


class CMakeBuild(build_ext):
    """Builds every native part with one CMake run; the extensions listed below only name its outputs."""

    def run(self):
        build_dir = os.environ.get("ZORV_CMAKE_BUILD_DIR")
        if build_dir:
            self._check_reused(Path(build_dir))
        else:
            build_dir = str(Path(self.build_temp).resolve() / "cmake")
            self._configure(build_dir)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        _run(["cmake", "--build", build_dir, "--parallel", jobs, "--target", *TARGETS])
        # The packages' directory: in place for an editable install, else what the wheel is made of.
        destination = Path("python" if self.inplace else self.build_lib).resolve()
        _run(["cmake", "--install", build_dir, "--component", "wheel", "--prefix", str(destination), "--strip"])
        # The files the environment's prefix receives (share/bash-completion/...): the wheel's data.
        data = Path(self.build_temp).resolve() / "data"
        shutil.rmtree(data, ignore_errors=True)
        _run(["cmake", "--install", build_dir, "--component", "wheel_data", "--prefix", str(data)])
        self.distribution.data_files = [(str(f.parent.relative_to(data)), [str(f)])
                                        for f in sorted(data.rglob("*")) if f.is_file()]

    def _configure(self, build_dir):
        args = ["cmake", "-S", str(SOURCE), "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
                "-DZORV_BUILD_TESTS=OFF", "-DZORV_BUILD_PYTHON=ON", f"-DPython_EXECUTABLE={sys.executable}"]
        if shutil.which("ccache"):
            args += ["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache", "-DCMAKE_C_COMPILER_LAUNCHER=ccache"]
        args += shlex.split(os.environ.get("ZORV_CMAKE_ARGS", ""))
        _run(args)

    def _check_reused(self, build_dir):
        """A reused tree must have built the module for this Python's ABI."""
        suffix = sysconfig.get_config_var("EXT_SUFFIX")
        cache = (build_dir / "CMakeCache.txt").read_text()
        python = re.search(r"^Python_EXECUTABLE:[A-Z]+=(.*)$", cache, re.M)
        if python is None:
            raise RuntimeError(f"{build_dir} is not a configured build tree of this project")
        probe = subprocess.run([python.group(1), "-c", "import sysconfig; print(sysconfig.get_config_var('EXT_SUFFIX'))"],
                               capture_output=True, text=True, check=True).stdout.strip()
        if probe != suffix:
            raise RuntimeError(f"{build_dir} builds for {python.group(1)} ({probe}), not for this Python ({suffix})")


def _bdist_wheel():
    """The bdist_wheel command of the `wheel` package: the environment's own, else the one of Debian's
    python3-wheel, since a fresh venv has none and the build must not download it."""
    try:
        from wheel.bdist_wheel import bdist_wheel
    except ImportError:
        system = "/usr/lib/python3/dist-packages"
        sys.path.append(system)
        try:
            from wheel.bdist_wheel import bdist_wheel  # its submodules load from the package's own path
        except ImportError:
            return {}
        finally:
            sys.path.remove(system)
    return {"bdist_wheel": bdist_wheel}


setup(
    version=_version(),
    ext_modules=[Extension("zorv_git._core", sources=[]), Extension("zorv_git_gitlab._core", sources=[])],
    cmdclass={"build_ext": CMakeBuild, **_bdist_wheel()},
    # Out of the way of a CMake build tree in build/.
    options={"build": {"build_base": "build/setuptools"}},
)
