"""The type stubs shipped with the module: they match the class, and mypy reads a caller's script with them."""

import ast
import inspect
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

import zorv_git_gitlab
from zorv_git_gitlab import _core
from zorv_git_gitlab.git import GitlabGit

PACKAGE_DIR = os.path.dirname(zorv_git_gitlab.__file__)


# The stub annotations that admit a value of each runtime annotation ("" admits anything).
ADMITS = {"int": {"_Id", "int", "float"}, "str": {"str", "str | None", "str | os.PathLike[str]"}, "bool": {"bool"},
          "list": {"list[str] | None"}}


def stub_signatures():
    """name -> ([(parameter, default source or None, annotation source)], **kwargs) for every method of
    GitlabGit in git.pyi."""
    with open(os.path.join(PACKAGE_DIR, "git.pyi"), encoding="utf-8") as f:
        tree = ast.parse(f.read())
    cls = next(node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == "GitlabGit")
    result = {}
    for fn in (node for node in cls.body if isinstance(node, ast.FunctionDef)):
        params = fn.args.args[1:]
        defaults = [None] * (len(params) - len(fn.args.defaults)) + [ast.unparse(d) for d in fn.args.defaults]
        extra = fn.args.kwarg is not None
        result[fn.name] = ([(p.arg, d, ast.unparse(p.annotation)) for p, d in zip(params, defaults)], extra)
    return result


def test_stubs_describe_every_operation_as_the_class_defines_it():
    stubs = stub_signatures()
    runtime = {name for name, value in vars(GitlabGit).items()
               if isinstance(value, classmethod) and not name.startswith("_")}
    assert runtime <= set(stubs), f"operations without a stub: {sorted(runtime - set(stubs))}"
    assert len(stubs) == len(_core.OPERATIONS)
    for name, (params, extra) in stubs.items():
        signature = inspect.signature(getattr(GitlabGit, name))
        actual = [(p.name, None if p.default is inspect.Parameter.empty else repr(p.default))
                  for p in signature.parameters.values() if p.kind is not inspect.Parameter.VAR_KEYWORD]
        assert [(p, d) for p, d, _ in params] == actual, name
        for (parameter, _, stub_type), shown in zip(params, signature.parameters.values()):
            runtime_type = "" if shown.annotation is inspect.Parameter.empty else shown.annotation.__name__
            assert not runtime_type or stub_type in ADMITS[runtime_type], (name, parameter, stub_type, runtime_type)
        assert extra == any(p.kind is inspect.Parameter.VAR_KEYWORD for p in signature.parameters.values()), name


@pytest.mark.skipif(shutil.which("mypy") is None, reason="mypy is not installed")
def test_mypy_checks_a_callers_script_against_the_stubs(tmp_path):
    good = tmp_path / "good.py"
    good.write_text(textwrap.dedent("""
        from zorv_git_gitlab.git import GitlabGit

        project = GitlabGit.get_project_info("app", 42)
        if project is not None:
            print(project["web_url"])
        ok: bool = GitlabGit.create_sub_group("team", "42")
        for tag in GitlabGit.get_tag_list("app", 42) or []:
            print(tag["name"])
        GitlabGit.create_branch("app", 42, "topic", ref="main")
        token: str | None = GitlabGit.create_group_access_token(42, "ci")
    """))
    bad = tmp_path / "bad.py"
    bad.write_text(textwrap.dedent("""
        from zorv_git_gitlab.git import GitlabGit

        count: int = GitlabGit.get_project_info("app", 42)
        GitlabGit.create_branch("app", 42)
    """))
    env = dict(os.environ, MYPYPATH=os.path.dirname(PACKAGE_DIR))
    command = [shutil.which("mypy"), "--no-incremental", "--cache-dir", os.devnull, "--strict", "good.py", "bad.py"]
    checked = subprocess.run(command, env=env, capture_output=True, text=True, cwd=tmp_path)
    errors = [line for line in checked.stdout.splitlines() if ": error: " in line]
    assert checked.returncode == 1, checked.stdout + checked.stderr
    assert [line.split(":")[0] for line in errors] == ["bad.py", "bad.py"], checked.stdout
    assert 'Incompatible types in assignment (expression has type "Optional[Dict[str, Any]]"' in errors[0]
    assert 'Missing positional argument "branch_name"' in errors[1]
