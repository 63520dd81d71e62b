"""Code written for the original module: inner operations redefined in every way Python allows (and
mocked), ids given as any integral value or text of digits, and the working copy handed back as
GitPython's Repo."""

import contextlib
import importlib.util
from unittest import mock

import pytest

from zorv_git_gitlab.git import GitlabGit

EXISTING = {"name": "feature", "commit": {"id": "0" * 40}}


def subclass_classmethod(recorded):
    class Sub(GitlabGit):
        @classmethod
        def get_branch_info(cls, project_name, group_id, branch_name):
            recorded.append((project_name, group_id, branch_name))
            return EXISTING
    return Sub


def subclass_staticmethod(recorded):
    class Sub(GitlabGit):
        @staticmethod
        def get_branch_info(project_name, group_id, branch_name):
            recorded.append((project_name, group_id, branch_name))
            return EXISTING
    return Sub


def assigned_function(recorded):
    class Sub(GitlabGit):
        pass

    def get_branch_info(project_name, group_id, branch_name):
        recorded.append((project_name, group_id, branch_name))
        return EXISTING
    Sub.get_branch_info = get_branch_info
    return Sub


def assigned_lambda(recorded):
    class Sub(GitlabGit):
        pass
    Sub.get_branch_info = lambda *args: recorded.append(args) or EXISTING
    return Sub


REDEFINITIONS = [subclass_classmethod, subclass_staticmethod, assigned_function, assigned_lambda]


@pytest.mark.parametrize("redefine", REDEFINITIONS + ["patch.object", "patch"])
def test_a_redefined_inner_operation_is_what_the_outer_one_calls(sb, calls, group, project, redefine):
    name, gid = project["name"], group["id"]
    recorded = []
    if callable(redefine):
        cls, patcher = redefine(recorded), None
    else:
        cls = GitlabGit
        patcher = (mock.patch.object(GitlabGit, "get_branch_info", return_value=EXISTING) if redefine == "patch.object"
                   else mock.patch("zorv_git_gitlab.git.GitlabGit.get_branch_info", return_value=EXISTING))
    with patcher or contextlib.nullcontext():
        # The branch "exists" by the redefinition: nothing is created or deleted.
        assert cls.create_branch(name, gid, "feature") is None
        cls.delete_branch(name, gid, "feature")
        if patcher:
            recorded = [c.args for c in GitlabGit.get_branch_info.call_args_list]
    assert recorded == [(name, gid, "feature")] * 2
    assert [c.method for c in calls()] == ["GET", "GET", "DELETE"]  # two lookups, the deletion

    # Once the redefinition is gone (or on the class itself), the library's own lookup is used again.
    assert GitlabGit.create_branch(name, gid, "feature")["name"] == "feature"
    assert [c.method for c in calls()][-2:] == ["GET", "POST"]


def test_a_mocked_project_lookup_serves_every_operation(sb, group, project):
    record = {"id": project["id"], "name": "app"}
    with mock.patch.object(GitlabGit, "get_project_info", return_value=record) as lookup:
        assert GitlabGit.get_branch_info("app", 42, "master")["name"] == "master"
    lookup.assert_called_once_with("app", 42)


class Index:
    """An integral value that is no int."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def integral_forms(value):
    forms = [value, str(value), Index(value)]
    if importlib.util.find_spec("numpy"):
        import numpy
        forms.append(numpy.int64(value))
    return forms


def test_ids_are_accepted_as_any_integral_value_or_text_of_digits(sb, group, project):
    for gid in integral_forms(group["id"]):
        assert GitlabGit.get_project_info(project["name"], gid)["id"] == project["id"], repr(gid)
        assert GitlabGit.get_branch_info(project["name"], gid, "master")["name"] == "master", repr(gid)
    for pid in integral_forms(project["id"]):
        assert GitlabGit.get_single_pipeline_status(pid, 999999) is None  # reaches the server: 404
    for wrong in (True, 1.5, "4x", None):
        with pytest.raises(TypeError, match="group_id"):
            GitlabGit.get_project_info(project["name"], wrong)


def test_clone_project_hands_back_the_working_copy(sb, group, project, tmp_path, monkeypatch):
    git = pytest.importorskip("git")
    monkeypatch.setenv("GIT_SSL_CAINFO", sb.env["CURL_CA_BUNDLE"])
    monkeypatch.setenv("GITLAB_TOKEN", sb.token)
    repo = GitlabGit.clone_project(str(tmp_path / "wc"), project["name"], group["id"])
    assert isinstance(repo, git.Repo)
    assert repo.working_tree_dir == str(tmp_path / "wc")
    assert repo.active_branch.name == "master" and "origin" in [r.name for r in repo.remotes]
    assert (tmp_path / "wc" / "README.md").read_text() == "Hello World"
