"""The Python interface of zorv_git_gitlab.git: names, parameters, configuration, dispatch, errors."""

import inspect
import os
import re
import subprocess
import sys

import pytest

import zorv_git
from zorv_git_gitlab import _core, errors
from zorv_git_gitlab.git import GitlabGit

# name: (parameters as "name:annotation=default", accepts extra keywords)
OPERATIONS = {
    "create_sub_group": ("group_name:str parent_id:int", False),
    "delete_sub_group": ("group_name:str parent_id:int", False),
    "get_sub_group_id": ("group_name:str parent_id:int raise_error:bool=False", False),
    "get_sub_group_info": ("group_name:str parent_id:int", False),
    "create_repo_token": ("user_id:int token_name:str", False),
    "create_group_access_token": ("group_id:int token_name:str", False),
    "get_access_token_info": ("group_id:int token_name:str", False),
    "create_project": ("project_name:str group_id:int", True),
    "get_project_info": ("project_name:str group_id:int", True),
    "delete_project": ("project_name:str group_id:int", True),
    "get_branch_info": ("project_name:str group_id:int branch_name:str", False),
    "create_branch": ("project_name:str group_id:int branch_name:str ref:str='master'", False),
    "delete_branch": ("project_name:str group_id:int branch_name:str", False),
    "clone_project": ("repo_dir:str project_name:str group_id:int overwrite:bool=True branch:str=None", True),
    "commit_file": ("project_name:str group_id:int filename:str file_content", False),
    "commit_project": ("repo_dir:str commit_message:str project_name:str remote_branch:str group_id:int "
                       "author_name:str=None author_email:str=None", True),
    "create_merge_request": ("project_name:str group_id:int title:str source_branch:str target_branch:str='master'",
                             False),
    "perform_merge": ("project_name:str group_id:int merge_request_id:int title:str timeout:int=60", False),
    "get_commits_by_range": ("start_ref:str end_ref:str project_name:str group_id:int", False),
    "get_tag_list": ("project_name:str group_id:int", False),
    "get_tag_info": ("tag_name:str project_name:str group_id:int", False),
    "tag_project": ("tag_name:str project_name:str remote_branch:str group_id:int", False),
    "get_project_variable": ("project_name:str key:str group_id:int", False),
    "set_project_variable": ("project_name:str key:str value:str group_id:int is_file:bool=False overwrite:bool=True",
                             False),
    "get_group_variable": ("group_id:int key:str", False),
    "set_group_variable": ("group_id:int key:str value:str is_file:bool=False overwrite:bool=True", False),
    "get_pipeline_status": ("project_name:str group_id:int ref:str='master' last_minutes:int=1440", False),
    "get_single_pipeline_status": ("project_id pipeline_id", False),
    "retry_single_pipeline": ("project_id pipeline_id", False),
    "create_issue": ("project_name:str group_id:int title:str issue_type:str labels:list=None", False),
    "close_issue": ("project_name:str group_id:int issue_id:int", False),
    "create_note": ("project_name:str group_id:int issue_id:int note_body:str", False),
}

UNREACHABLE = "https://127.0.0.1:1/api/v4/"


def describe(parameter):
    text = parameter.name
    if parameter.annotation is not inspect.Parameter.empty:
        text += ":" + parameter.annotation.__name__
    if parameter.default is not inspect.Parameter.empty:
        text += "=" + repr(parameter.default)
    return text


@pytest.mark.parametrize("name", OPERATIONS)
def test_operation_signatures(name):
    expected, extra = OPERATIONS[name]
    method = getattr(GitlabGit, name)
    assert inspect.ismethod(method) and method.__self__ is GitlabGit, "a class method"
    signature = inspect.signature(method)
    plain = [p for p in signature.parameters.values() if p.kind is p.POSITIONAL_OR_KEYWORD]
    assert " ".join(describe(p) for p in plain) == expected
    assert any(p.kind is p.VAR_KEYWORD for p in signature.parameters.values()) == extra
    assert signature.return_annotation is inspect.Signature.empty
    # The native function carries the same parameter names (for its errors and help()).
    native = getattr(_core, name).__doc__.splitlines()[0]
    assert [n for n in re.findall(r"(\w+): ", native) if n != "cls"] == [p.name for p in plain]


def test_get_project_info_signature_reads_as_documented():
    assert str(inspect.signature(GitlabGit.get_project_info)) == "(project_name: str, group_id: int, **kwargs)"


def test_class_shape():
    assert GitlabGit.__bases__ == (zorv_git.Git,)
    assert GitlabGit.PIPELINE_END_STATUS == ["success", "failed", "canceled", "skipped"]
    assert isinstance(GitlabGit.PIPELINE_END_STATUS, list)
    assert len(OPERATIONS) == 32


def class_attributes(env):
    """api_url and gitlab_token as a fresh interpreter computes them from `env`."""
    code = "from zorv_git_gitlab.git import GitlabGit as G; print(repr(G.api_url)); print(repr(G.gitlab_token))"
    full = {k: v for k, v in os.environ.items() if k not in ("GITLAB_HOST", "GITLAB_TOKEN")}
    full.update(env)
    out = subprocess.run([sys.executable, "-c", code], env=full, capture_output=True, text=True, check=True).stdout
    return [eval(line) for line in out.splitlines()]  # noqa: S307 (repr of str/None written by the child)


@pytest.mark.parametrize("env, api_url, token", [
    ({"GITLAB_HOST": "gitlab.example.com", "GITLAB_TOKEN": "t0k"}, "https://gitlab.example.com/api/v4/", "t0k"),
    ({}, "https://None/api/v4/", None),
    ({"GITLAB_HOST": ""}, "https:///api/v4/", None),
    ({"GITLAB_HOST": "host:8443/"}, "https://host:8443//api/v4/", None),
])
def test_configuration_from_environment(env, api_url, token):
    assert class_attributes(env) == [api_url, token]


def test_extra_keywords_only_where_documented():
    class Offline(GitlabGit):
        api_url = UNREACHABLE
        connect_timeout = 2.0

        @classmethod
        def get_project_info(cls, project_name, group_id, **kwargs):
            return None

    assert Offline.get_project_info("app", 1, visibility="private") is None
    with pytest.raises(TypeError):
        Offline.get_branch_info("app", 1, "main", visibility="private")


class Recorder(GitlabGit):
    """Redefines the inner calls and records them; nothing reaches a server."""
    api_url = UNREACHABLE
    connect_timeout = 2.0
    calls = []

    @classmethod
    def get_project_info(cls, project_name, group_id, **kwargs):
        cls.calls.append(("get_project_info", project_name, group_id))
        return None

    @classmethod
    def clean_workspace(cls, path, destroy=False):
        cls.calls.append(("clean_workspace", path, destroy))
        return True


@pytest.fixture
def recorder():
    Recorder.calls = []
    return Recorder


def test_inner_calls_go_through_the_subclass(recorder, tmp_path, capsys):
    recorder.delete_project("app", 7)
    assert capsys.readouterr().out == "Project app doesn't exist\n"
    with pytest.raises(errors.ProjectNotFoundError) as raised:
        recorder.create_branch("app", 7, "feature/x")
    assert isinstance(raised.value, LookupError) and isinstance(raised.value, TypeError)
    assert "app" in str(raised.value) and "7" in str(raised.value)

    (tmp_path / ".hidden").write_text("x")
    with pytest.raises(errors.ProjectNotFoundError):
        recorder.clone_project(str(tmp_path), "app", 7)
    assert recorder.calls == [("get_project_info", "app", 7), ("get_project_info", "app", 7),
                              ("clean_workspace", str(tmp_path), True), ("get_project_info", "app", 7)]


def test_clone_refuses_a_non_empty_directory_before_any_request(recorder, tmp_path):
    (tmp_path / "file").write_text("x")
    with pytest.raises(ValueError, match=r" is not empty!$") as raised:
        recorder.clone_project(str(tmp_path), "app", 7, overwrite=False)
    assert isinstance(raised.value, errors.DirectoryNotEmptyError)
    assert recorder.calls == [] and (tmp_path / "file").exists()


def test_assigned_attributes_are_read_at_each_call():
    class Elsewhere(GitlabGit):
        connect_timeout = 2.0

    Elsewhere.api_url = UNREACHABLE
    with pytest.raises(ConnectionError) as raised:
        Elsewhere.get_project_info("app", 1)
    assert isinstance(raised.value, errors.ConnectError)
    assert "127.0.0.1:1" in str(raised.value)
    Elsewhere.api_url = "https://127.0.0.1:2/api/v4/"
    with pytest.raises(errors.ConnectError, match="127.0.0.1:2"):
        Elsewhere.get_project_info("app", 1)


def test_error_types_are_what_callers_already_catch():
    expectations = {
        errors.ConnectError: ConnectionError,
        errors.TlsError: ConnectionError,
        errors.RequestTimeoutError: TimeoutError,
        errors.JsonDecodeError: ValueError,
        errors.MissingFieldError: KeyError,
        errors.SubgroupNotFoundError: ValueError,
        errors.DirectoryNotEmptyError: ValueError,
        errors.MergeTimeoutError: RuntimeError,
        errors.GitError: RuntimeError,
    }
    for error, builtin in expectations.items():
        assert issubclass(error, builtin) and issubclass(error, errors.GitlabError), error
    assert issubclass(errors.ProjectNotFoundError, LookupError) and issubclass(errors.ProjectNotFoundError, TypeError)


def test_clean_workspace_empties_or_removes(tmp_path):
    target = tmp_path / "work"
    (target / "sub").mkdir(parents=True)
    (target / ".git").write_text("x")
    (target / "sub" / "f").write_text("x")
    assert zorv_git.Git.clean_workspace(str(target)) is True
    assert target.is_dir() and list(target.iterdir()) == []
    assert GitlabGit.clean_workspace(str(target)) is False  # nothing left to remove
    (target / "f").write_text("x")
    assert GitlabGit.clean_workspace(target, destroy=True) is True
    assert not target.exists()
