"""clone_project and commit_project through the Python module: a round trip of every kind of change,
the refusals, and the token kept out of everything printed, raised or stored."""

import os
import stat
import subprocess

import pytest

from zorv_git_gitlab import errors
from zorv_git_gitlab.git import GitlabGit


def git(cwd, *args):
    return subprocess.run(["git", *args], cwd=cwd, check=True, capture_output=True, text=True).stdout


def api_calls(sb):
    """The library's REST requests since the journal was last cleared (git's own are left out)."""
    return [c for c in sb.journal() if c.path.startswith("/api/v4/")]


def tree(cwd, ref):
    """Paths with their modes and blob ids at `ref`: what a commit holds, modes included."""
    return git(cwd, "ls-tree", "-r", ref)


@pytest.fixture
def wc(sb, group, tmp_path, monkeypatch):
    """A fresh project (README.md, a script and a doomed file) cloned into tmp_path/wc."""
    monkeypatch.setenv("GIT_SSL_CAINFO", sb.env["CURL_CA_BUNDLE"])
    monkeypatch.setenv("GITLAB_TOKEN", sb.token)
    project = sb.project(group["id"])
    sb.commit(project["id"], "master", {"run.sh": "echo hi\n", "old.txt": "old\n", "docs/guide.md": "v1\n"})
    target = tmp_path / "wc"
    repo = GitlabGit.clone_project(str(target), project["name"], group["id"])
    assert getattr(repo, "working_tree_dir", repo) == str(target)  # GitPython's Repo, else the directory
    return project, target


def test_every_kind_of_change_reaches_the_server(sb, group, wc, tmp_path, capsys):
    project, target = wc
    (target / "docs" / "guide.md").write_text("v2\n")
    (target / "old.txt").unlink()
    (target / "README.md").rename(target / "READ.md")
    (target / "new.bin").write_bytes(bytes(range(256)) * 4)
    (target / "empty").write_bytes(b"")
    (target / "run.sh").chmod(0o755)
    capsys.readouterr()

    GitlabGit.commit_project(str(target), "many changes", project["name"], "master", group["id"],
                             author_name="Ann", author_email="ann@example.com")
    out = capsys.readouterr().out.splitlines()
    assert out == [git(target, "rev-list", "--count", "HEAD^1").strip(), "Successfully committed"]

    fresh = tmp_path / "fresh"
    GitlabGit.clone_project(str(fresh), project["name"], group["id"])
    assert tree(fresh, "HEAD") == tree(target, "HEAD")
    assert "100755 blob" in [line for line in tree(fresh, "HEAD").splitlines() if line.endswith("run.sh")][0]
    assert git(fresh, "log", "-1", "--format=%an <%ae>").strip() == "Ann <ann@example.com>"
    # The token is nowhere in the working copies.
    for copy in (target, fresh):
        assert sb.token not in (copy / ".git" / "config").read_text()


def test_nothing_to_commit_is_silent(sb, wc, capsys):
    project, target = wc
    head = git(target, "rev-parse", "HEAD")
    sb.clear_journal()
    capsys.readouterr()
    GitlabGit.commit_project(str(target), "nothing", project["name"], "master", project["namespace"]["id"])
    assert capsys.readouterr().out == ""
    assert git(target, "rev-parse", "HEAD") == head
    assert api_calls(sb) == []


def test_refused_commit_prints_both_lines_and_keeps_the_local_commit(sb, wc, capsys):
    project, target = wc
    (target / "docs" / "guide.md").write_text("changed\n")
    (target / "old.txt").unlink()
    sb.fault("POST", r"^/api/v4/projects/\d+/repository/commits$", 400, '{"message":"refused"}')
    capsys.readouterr()
    GitlabGit.commit_project(str(target), "refused", project["name"], "master", project["namespace"]["id"])
    lines = capsys.readouterr().out.splitlines()
    assert lines[1:] == ['Failed to commit: {"message":"refused"}', "{'docs/guide.md': 'update', 'old.txt': 'delete'}"]
    assert git(target, "log", "-1", "--format=%s").strip() == "refused"
    assert git(target, "status", "--porcelain") == ""


def test_symbolic_link_is_refused_before_any_request(sb, wc):
    project, target = wc
    os.symlink("/etc/hostname", target / "link")
    sb.clear_journal()
    with pytest.raises(errors.UnpublishableChangeError, match="link") as raised:
        GitlabGit.commit_project(str(target), "link", project["name"], "master", project["namespace"]["id"])
    assert isinstance(raised.value, RuntimeError) and sb.token not in str(raised.value)
    assert [c for c in api_calls(sb) if c.method == "POST"] == []
    assert git(target, "log", "-1", "--format=%s").strip() == "link"


def test_git_failures_name_the_command_but_never_the_token(sb, wc, monkeypatch):
    project, target = wc
    git(target, "remote", "set-url", "origin", "https://127.0.0.1:1/nowhere.git")
    (target / "x.txt").write_text("x\n")
    with pytest.raises(errors.GitError) as raised:
        GitlabGit.commit_project(str(target), "x", project["name"], "master", project["namespace"]["id"])
    assert "fetch" in str(raised.value) and sb.token not in str(raised.value)
    assert not stat.S_ISLNK(os.lstat(target / "x.txt").st_mode)
