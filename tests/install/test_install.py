"""`cmake --install` of the build tree into a staging directory (DESTDIR), then the installed files used
the way an outside user would: the CMake package from an outside project, the pkg-config file from a
compiler command line, the Python packages from `/`, the installed programs, and a user's project
testing its automation with the installed test kit (user_project/: a pytest file and a GoogleTest
file). Then `pip install` into fresh venvs, reusing this build tree's native parts."""

import os
import re
import shutil
import subprocess
import zipfile
from pathlib import Path

import pytest

SOURCE_DIR = Path(__file__).resolve().parents[2]
PYTHON = "/usr/bin/python3"
CLOSED_PORT_HOST = "127.0.0.1:9"  # nothing listens on the discard port: the request fails at once
USER_PROJECT = Path(__file__).resolve().parent / "user_project"


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


def _user_env(**changes):
    """The environment of a user's shell: nothing names the build tree or the sandbox program."""
    env = {k: v for k, v in os.environ.items()
           if not k.startswith("ZORV_") and k not in ("PYTHONPATH", "LD_LIBRARY_PATH")}
    env.update(changes)
    return env


def _user_project(tmp_path):
    """A copy of the user's project outside the source tree."""
    return Path(shutil.copytree(USER_PROJECT, tmp_path / "user_project"))


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
    assert (root / "include/zorv_git_gitlab/testing/sandbox.hpp").is_file()
    assert (installed["lib"] / "libzorv_git_gitlab_testing.so").exists()
    assert (installed["site"] / "zorv_git_gitlab/git.py").is_file()
    assert (installed["site"] / "zorv_git_gitlab/testing/plugin.py").is_file()
    stubs = [stub.relative_to(SOURCE_DIR / "python") for stub in (SOURCE_DIR / "python").rglob("*.pyi")]
    for stub in stubs + [Path("zorv_git_gitlab/git.pyi")]:  # git.pyi is written from the operation table
        assert (installed["site"] / stub).is_file(), stub
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


def test_user_project_against_the_installed_kit(installed, tmp_path):
    """The user's pytest file gets the plugin's fixtures through the installed entry point, and the
    GoogleTest file builds with the CMake package's testing component; each finds the installed
    sandbox program by itself (pytest: on PATH; C++: next to the installed library)."""
    project = _user_project(tmp_path)
    env = _user_env(PATH=f"{installed['root'] / 'bin'}:{os.environ['PATH']}", PYTHONPATH=str(installed["site"]),
                    LD_LIBRARY_PATH=str(installed["lib"]))  # the stage is not the final place of the library
    out = _run([PYTHON, "-m", "pytest", "-q", "-p", "no:cacheprovider", str(project / "test_release.py")],
               env=env, cwd=tmp_path).stdout
    assert "2 passed" in out, out

    build = tmp_path / "build"
    _run(["cmake", "-S", str(project), "-B", str(build), f"-DCMAKE_PREFIX_PATH={installed['root']}",
          "-DCMAKE_BUILD_TYPE=Release"], env=_user_env())
    _run(["cmake", "--build", str(build), "-j2"], env=_user_env())
    out = _run([str(build / "release_test")], env=_user_env(), cwd=tmp_path).stdout
    assert "[  PASSED  ] 2 tests" in out, out


def test_sandbox_exec_runs_a_command_against_it(installed):
    program = str(installed["root"] / "bin/zorv-gitlab-sandbox")
    script = ('test "$CURL_CA_BUNDLE" = "$GIT_SSL_CAINFO" && '
              'curl -sf --cacert "$CURL_CA_BUNDLE" -H "PRIVATE-TOKEN: $GITLAB_TOKEN" "https://$GITLAB_HOST/api/v4/user" '
              '&& exit 7')
    done = subprocess.run([program, "--exec", "sh", "-c", script], capture_output=True, text=True, timeout=120,
                          env=_user_env())
    assert done.returncode == 7, done.stderr
    assert '"username":"root"' in done.stdout
    missing = subprocess.run([program, "--exec", "no-such-command-here"], capture_output=True, text=True,
                             timeout=120, env=_user_env())
    assert missing.returncode == 127 and "no-such-command-here" in missing.stderr


def test_pip_install_and_wheel_into_fresh_venvs(tmp_path):
    """`pip install --no-build-isolation <checkout>` and `pip wheel` offline, each in a fresh venv. Both
    reuse this build tree's native parts (ZORV_CMAKE_BUILD_DIR) instead of a second full build."""
    checkout = Path(shutil.copytree(SOURCE_DIR, tmp_path / "checkout",
                                    ignore=shutil.ignore_patterns("build*", ".git", "__pycache__", "*.egg-info")))
    pip_env = _user_env(ZORV_CMAKE_BUILD_DIR=str(_build_dir()), PIP_NO_INDEX="1", PIP_DISABLE_PIP_VERSION_CHECK="1")
    project = _user_project(tmp_path)

    # A venv that sees the system's pytest: the user's pytest file runs there against the pip install.
    first = tmp_path / "venv-install"
    _run([PYTHON, "-m", "venv", "--system-site-packages", str(first)])
    _run([str(first / "bin/pip"), "install", "--no-build-isolation", str(checkout)], env=pip_env, cwd=tmp_path)
    out = _run([str(first / "bin/python"), "-m", "pytest", "-q", "-p", "no:cacheprovider",
                str(project / "test_release.py")], env=_user_env(), cwd=tmp_path).stdout
    assert "2 passed" in out, out

    # A plain venv: the wheel is built there, carries the library, the programs and the stubs, and
    # installs into it; the kit and the programs work from it.
    second = tmp_path / "venv-wheel"
    _run([PYTHON, "-m", "venv", str(second)])
    _run([str(second / "bin/pip"), "wheel", "--no-build-isolation", "--no-deps", "-w", str(tmp_path / "dist"),
          str(checkout)], env=pip_env, cwd=tmp_path)
    (wheel,) = (tmp_path / "dist").glob("zorv_git_gitlab-*.whl")
    names = set(zipfile.ZipFile(wheel).namelist())
    expected = {"zorv_git_gitlab/libzorv_git_gitlab.so.0", "zorv_git_gitlab/bin/zorv-gitlab-sandbox",
                "zorv_git_gitlab/bin/zorv-gitlab", "zorv_git_gitlab/testing/plugin.py", "zorv_git_gitlab/git.pyi"}
    expected |= {str(p.relative_to(checkout / "python")) for p in (checkout / "python").rglob("*.pyi")}
    expected |= {str(p.relative_to(checkout / "python")) for p in (checkout / "python").rglob("py.typed")}
    assert expected <= names, expected - names
    _run([str(second / "bin/pip"), "install", str(wheel)], env=pip_env, cwd=tmp_path)
    script = ("import os, sys, zorv_git_gitlab\n"
              "from zorv_git_gitlab.git import GitlabGit\n"
              "assert 'zorv_git_gitlab.testing' not in sys.modules  # the module does not pull in the kit\n"
              "from zorv_git_gitlab.testing import Sandbox\n"
              "with Sandbox() as sb:\n"
              "    os.environ.update(sb.env)\n"
              "    GitlabGit.api_url, GitlabGit.gitlab_token = sb.api_url, sb.token\n"
              "    group = sb.group()\n"
              "    GitlabGit.create_project('app', group['id'])\n"
              "    print(sb.binary.startswith(os.path.dirname(zorv_git_gitlab.__file__)),"
              " [str(r) for r in sb.requests('POST')][0])\n"
              "print([l.split()[-1] for l in open('/proc/self/maps') if 'libzorv_git_gitlab' in l][0])\n")
    *_, found, library = _run([str(second / "bin/python"), "-c", script], env=_user_env(), cwd=tmp_path).stdout.splitlines()
    assert found == "True POST /api/v4/projects"  # the sandbox program came with the wheel
    assert library.startswith(str(second)), library  # and the library too
    done = subprocess.run([str(second / "bin/zorv-gitlab-sandbox"), "--exec", str(second / "bin/zorv-gitlab"),
                           "get_project_info", "--project-name", "none", "--group-id", "1"],
                          capture_output=True, text=True, timeout=120, env=_user_env())
    assert done.returncode == 1, (done.stdout, done.stderr)  # found nothing: the tool reached the sandbox
