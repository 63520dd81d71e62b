"""`cmake --install` of the build tree into a staging directory (DESTDIR), then the installed files used
the way an outside user would: the CMake package from an outside project, the pkg-config file from a
compiler command line, the Python packages from `/`, and the installed programs."""

import os
import re
import subprocess
from pathlib import Path

import pytest

SOURCE_DIR = Path(__file__).resolve().parents[2]
PYTHON = "/usr/bin/python3"
CLOSED_PORT_HOST = "127.0.0.1:9"  # nothing listens on the discard port: the request fails at once


def _build_dir():
    for variable in ("ZORV_CLI_BIN", "ZORV_SANDBOX_BIN"):
        if os.environ.get(variable):
            for parent in Path(os.environ[variable]).resolve().parents:
                if (parent / "CMakeCache.txt").is_file():
                    return parent
    pytest.fail("ZORV_CLI_BIN or ZORV_SANDBOX_BIN must name a program of the build tree")


def _cache(build_dir, name):
    match = re.search(rf"^{name}:[A-Z]+=(.*)$", (build_dir / "CMakeCache.txt").read_text(), re.M)
    assert match, f"{name} is not in the CMake cache"
    return match.group(1)


def _run(args, **kwargs):
    kwargs.setdefault("env", os.environ.copy())
    done = subprocess.run(args, capture_output=True, text=True, timeout=600, **kwargs)
    assert done.returncode == 0, f"{args} failed ({done.returncode}):\n{done.stdout}\n{done.stderr}"
    return done


def _staged(stage, absolute):
    return stage / str(absolute).lstrip("/")


def _runpath(binary):
    dynamic = _run(["readelf", "-d", str(binary)]).stdout
    match = re.search(r"\((?:RUNPATH|RPATH)\)\s+Library (?:runpath|rpath): \[(.*)\]", dynamic)
    return match.group(1).split(":") if match else []


def _resolves_to(runpath, binary_dir, libdir):
    """True when one entry of the run path names `libdir` once installed (absolute or $ORIGIN-relative)."""
    for entry in runpath:
        entry = entry.replace("$ORIGIN", str(binary_dir)).replace("${ORIGIN}", str(binary_dir))
        if os.path.normpath(entry) == os.path.normpath(libdir):
            return True
    return False


@pytest.fixture(scope="module")
def installed(tmp_path_factory):
    build_dir = _build_dir()
    stage = tmp_path_factory.mktemp("stage")
    env = os.environ.copy()
    env["DESTDIR"] = str(stage)
    _run(["cmake", "--install", str(build_dir)], env=env)
    prefix = Path(_cache(build_dir, "CMAKE_INSTALL_PREFIX"))
    site = Path(_cache(build_dir, "ZORV_PYTHON_INSTALL_DIR"))
    libdir = _cache(build_dir, "CMAKE_INSTALL_LIBDIR")
    return {
        "stage": stage,
        "prefix": prefix,
        "root": _staged(stage, prefix),
        "lib": _staged(stage, prefix / libdir),
        "libdir": prefix / libdir,
        "site": _staged(stage, site),
        "final_site": site,
    }


def test_files_are_installed(installed):
    root = installed["root"]
    for header in ("zorv_git/git.hpp", "zorv_git_gitlab/git.hpp", "zorv_git_gitlab/operations.hpp",
                   "zorv_git_gitlab/context.hpp", "zorv_git_gitlab/errors.hpp", "zorv_git_gitlab/json.hpp"):
        assert (root / "include" / header).is_file(), header
    package = installed["lib"] / "cmake/zorv_git_gitlab"
    for name in ("zorv_git_gitlabConfig.cmake", "zorv_git_gitlabConfigVersion.cmake", "zorv_git_gitlabTargets.cmake"):
        assert (package / name).is_file(), name
    assert "find_dependency(nlohmann_json" in (package / "zorv_git_gitlabConfig.cmake").read_text()
    assert (installed["lib"] / "libzorv_git_gitlab.so").exists()
    for program in ("zorv-gitlab", "zorv-gitlab-sandbox"):
        assert os.access(root / "bin" / program, os.X_OK), program
    assert (installed["site"] / "zorv_git_gitlab/git.py").is_file()
    assert list((installed["site"] / "zorv_git_gitlab").glob("_core*.so"))
    assert list((installed["site"] / "zorv_git").glob("_core*.so"))
    # Nothing of the build or source tree is named by the installed package files.
    for written in (package / "zorv_git_gitlabTargets.cmake", installed["lib"] / "pkgconfig/zorv_git_gitlab.pc"):
        assert str(SOURCE_DIR) not in written.read_text(), written


def test_cmake_consumer_builds_and_runs(installed, tmp_path):
    build = tmp_path / "consumer"
    _run(["cmake", "-S", str(SOURCE_DIR / "tests/cmake-consumer"), "-B", str(build),
          f"-DCMAKE_PREFIX_PATH={installed['root']}", "-DCMAKE_BUILD_TYPE=Release"])
    _run(["cmake", "--build", str(build), "-j2"])
    env = os.environ.copy()
    env["GITLAB_HOST"] = CLOSED_PORT_HOST
    env.pop("LD_LIBRARY_PATH", None)
    out = _run([str(build / "consumer")], env=env).stdout
    assert f"api_url https://{CLOSED_PORT_HOST}/api/v4/" in out
    assert "end states 4" in out
    assert "transport error" in out  # the request really went through libcurl
    # It runs with the installed library, not the build tree's.
    libraries = _run(["ldd", str(build / "consumer")]).stdout
    line = next(l for l in libraries.splitlines() if "libzorv_git_gitlab" in l)
    assert str(installed["root"]) in line, line


def test_pkg_config_describes_the_installed_library(installed, tmp_path):
    env = os.environ.copy()
    env["PKG_CONFIG_PATH"] = str(installed["lib"] / "pkgconfig")
    version = _run(["pkg-config", "--modversion", "zorv_git_gitlab"], env=env).stdout.strip()
    assert version == _cache(_build_dir(), "CMAKE_PROJECT_VERSION")
    flags = _run(["pkg-config", "--cflags", "--libs", "zorv_git_gitlab"], env=env).stdout.split()
    include_dirs = [os.path.realpath(f[2:]) for f in flags if f.startswith("-I")]
    assert os.path.realpath(installed["root"] / "include") in include_dirs
    libdir = os.path.realpath(_run(["pkg-config", "--variable=libdir", "zorv_git_gitlab"], env=env).stdout.strip())
    assert libdir == os.path.realpath(installed["lib"])
    assert "-lzorv_git_gitlab" in flags

    program = tmp_path / "pc.cpp"
    program.write_text('#include <zorv_git_gitlab/git.hpp>\n#include <iostream>\n'
                       'int main() { std::cout << zorv_git_gitlab::GitlabGit::api_url.get() << "\\n"; }\n')
    _run(["c++", "-std=c++20", str(program), "-o", str(tmp_path / "pc"), *flags, f"-Wl,-rpath,{libdir}"], env=env)
    run_env = os.environ.copy()
    run_env["GITLAB_HOST"] = "gitlab.example.com"
    assert _run([str(tmp_path / "pc")], env=run_env).stdout == "https://gitlab.example.com/api/v4/\n"


def test_python_module_imports_from_outside_the_build_tree(installed):
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "PYTHONPATH": str(installed["site"]),
           "GITLAB_HOST": "gitlab.example.com",
           # The stage is not the final place: the library is found here as it would be at the prefix.
           "LD_LIBRARY_PATH": str(installed["lib"])}
    code = ("import zorv_git_gitlab.git as m, zorv_git\n"
            "from zorv_git_gitlab.git import GitlabGit\n"
            "print(m.__file__); print(zorv_git.__file__); print(GitlabGit.api_url)\n"
            "print([l.split()[-1] for l in open('/proc/self/maps') if 'libzorv_git_gitlab' in l][0])\n")
    out = _run([PYTHON, "-c", code], cwd="/", env=env).stdout.splitlines()
    assert out[0].startswith(str(installed["site"])), out[0]
    assert out[1].startswith(str(installed["site"])), out[1]
    assert out[2] == "https://gitlab.example.com/api/v4/"
    assert out[3].startswith(str(installed["root"])), out[3]
    # Once installed for real, each native module finds the library at the prefix by its run path.
    for core in (installed["site"] / "zorv_git_gitlab").glob("_core*.so"):
        final_dir = installed["final_site"] / "zorv_git_gitlab"
        assert _resolves_to(_runpath(core), final_dir, installed["libdir"]), _runpath(core)


def test_installed_programs_run(installed):
    env = os.environ.copy()
    env.pop("LD_LIBRARY_PATH", None)
    tool = installed["root"] / "bin/zorv-gitlab"
    # The tool finds the library next to it in the stage, by its relative run path.
    resolved = _run(["ldd", str(tool)], env=env).stdout
    line = next(l for l in resolved.splitlines() if "libzorv_git_gitlab" in l)
    assert str(installed["root"]) in line, line
    help_text = _run([str(tool), "--help"], env=env).stdout
    assert "create_branch" in help_text and "retry_single_pipeline" in help_text
