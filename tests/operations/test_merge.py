"""Merge requests with the wait for the server's merge check, tags, and commit ranges, against the sandbox."""

import logging
import time
import urllib.parse

import pytest

from zorv_git_gitlab import errors
from zorv_git_gitlab.git import GitlabGit


def printed(capsys):
    return capsys.readouterr().out.splitlines()


def waits(caplog):
    return [r.getMessage() for r in caplog.records if r.levelno == logging.INFO and r.name == "root"]


@pytest.fixture
def change(sb, project):
    """A project with a merge request from feature/x, which adds one file to master."""
    sb.commit(project["id"], "feature/x", {"feature.txt": "new\n"}, start_branch="master")
    mr = sb.ok("POST", f"projects/{project['id']}/merge_requests",
               {"title": "Add feature", "source_branch": "feature/x", "target_branch": "master"})
    return project, mr["iid"]


def mr_calls(sent, project_id, iid):
    path = f"projects/{project_id}/merge_requests/{iid}"
    return [c.method for c in sent if c.api_path == path], [c for c in sent if c.api_path == path + "/merge"]


def test_create_merge_request(sb, calls, group, project, capsys):
    pid = project["id"]
    sb.commit(pid, "feature/y", {"y.txt": "y"}, start_branch="master")
    record = GitlabGit.create_merge_request(project["name"], group["id"], "Add y", "feature/y")
    assert (record["source_branch"], record["target_branch"], record["title"]) == ("feature/y", "master", "Add y")
    post = calls()[-1]
    assert (post.method, post.api_path) == ("POST", f"projects/{pid}/merge_requests")
    assert post.keys() == ["title", "source_branch", "target_branch"]
    assert post.json() == {"title": "Add y", "source_branch": "feature/y", "target_branch": "master"}
    assert printed(capsys) == []

    # An open merge request for the same branches exists already: the server refuses with 409.
    assert GitlabGit.create_merge_request(project["name"], group["id"], "Again", "feature/y") is None
    assert calls()[-1].status == 409
    (line,) = printed(capsys)
    assert line.startswith(f"Failed to create merge request {project['name']}: ")


def test_create_merge_request_answered_200_is_a_failure(sb, group, project, capsys):
    sb.fault("POST", r"/merge_requests$", 200, '{"iid":1}')
    assert GitlabGit.create_merge_request(project["name"], group["id"], "t", "a", "b") is None
    assert printed(capsys) == [f"Failed to create merge request {project['name']}: " + '{"iid":1}']


def test_perform_merge_waits_for_the_check_then_merges(sb, calls, group, change, monkeypatch, caplog, capsys):
    project, iid = change
    pid, name = project["id"], project["name"]
    sb.control("POST", "settings", {"merge_check_delay_ms": 400})
    monkeypatch.setattr(GitlabGit, "merge_poll_interval", 0.1)
    caplog.set_level(logging.INFO)
    # The first two polls see the other states of an unfinished check; the sandbox's own check follows.
    for state in ("unchecked", "cannot_be_merged_recheck"):
        sb.fault("GET", rf"^/api/v4/projects/{pid}/merge_requests/{iid}$", 200, {"iid": iid, "merge_status": state})

    record = GitlabGit.perform_merge(name, group["id"], iid, "Merge feature/x")
    assert record["state"] == "merged" and record["merge_commit_sha"]
    sent = calls()
    polls, (put,) = mr_calls(sent, pid, iid)
    assert len(polls) >= 4 and set(polls) == {"GET"}  # unchecked, recheck, checking ..., can_be_merged
    assert sent[-1] is put and put.method == "PUT"
    assert put.keys() == ["should_remove_source_branch", "merge_commit_message"]
    assert put.json() == {"should_remove_source_branch": True, "merge_commit_message": "Merge feature/x"}
    assert waits(caplog) == [f"{name}/{iid}: checking waiting 0.1 seconds"] * (len(polls) - 1)
    assert printed(capsys) == []

    assert sb.api("GET", f"projects/{pid}/repository/branches/feature%2Fx")[0] == 404
    assert sb.ok("GET", f"projects/{pid}/repository/files/feature.txt?ref=master")["file_name"] == "feature.txt"
    merge_commit = sb.ok("GET", f"projects/{pid}/repository/commits/{record['merge_commit_sha']}")
    assert merge_commit["message"].startswith("Merge feature/x") and len(merge_commit["parent_ids"]) == 2


@pytest.mark.parametrize("interval,timeout,polls", [(0.5, 0.7, 2), (0.7, 1, 2), (0.5, 0, 0)])
def test_perform_merge_times_out_while_the_check_runs(sb, calls, group, change, monkeypatch, caplog,
                                                      interval, timeout, polls):
    project, iid = change
    sb.control("POST", f"projects/{project['id']}/merge_requests/{iid}", {"merge_status": "checking"})
    monkeypatch.setattr(GitlabGit, "merge_poll_interval", interval)
    caplog.set_level(logging.INFO)
    began = time.monotonic()
    with pytest.raises(errors.MergeTimeoutError) as raised:
        GitlabGit.perform_merge(project["name"], group["id"], iid, "never", timeout)
    elapsed = time.monotonic() - began
    assert isinstance(raised.value, RuntimeError)
    assert str(raised.value) == f"Merge Request Checking Timeout after {timeout} seconds"
    gets, puts = mr_calls(calls(), project["id"], iid)
    assert (len(gets), puts) == (polls, [])
    assert len(waits(caplog)) == polls
    assert polls * interval <= elapsed < polls * interval + 1.5


@pytest.mark.parametrize("status,body", [(404, '{"message":"404 Not found"}'), (200, '{"iid":1}'),
                                         (500, "oops")])
def test_perform_merge_poll_not_answered_with_a_status(sb, calls, group, change, monkeypatch, status, body, capsys):
    project, iid = change
    monkeypatch.setattr(GitlabGit, "merge_poll_interval", 0.05)
    sb.fault("GET", rf"/merge_requests/{iid}$", status, body)
    assert GitlabGit.perform_merge(project["name"], group["id"], iid, "m", 5) is None
    assert printed(capsys) == [f"Failed to perform merge {project['name']}/{iid} {body}"]
    gets, puts = mr_calls(calls(), project["id"], iid)
    assert (gets, puts) == (["GET"], [])


def test_perform_merge_of_a_conflict_is_refused(sb, calls, group, project, monkeypatch, capsys):
    pid = project["id"]
    sb.commit(pid, "clash", {"README.md": "theirs"}, start_branch="master", action="update")
    sb.commit(pid, "master", {"README.md": "ours"}, action="update")
    iid = sb.ok("POST", f"projects/{pid}/merge_requests",
                {"title": "Clash", "source_branch": "clash", "target_branch": "master"})["iid"]
    sb.control("POST", "settings", {"merge_check_delay_ms": 0})
    monkeypatch.setattr(GitlabGit, "merge_poll_interval", 0.05)
    assert GitlabGit.perform_merge(project["name"], group["id"], iid, "m", 5) is None
    (line,) = printed(capsys)
    assert line.startswith(f"Failed to perform merge {project['name']}/{iid} {{")
    _, (put,) = mr_calls(calls(), pid, iid)
    assert put.status in (405, 406, 422)
    assert sb.api("GET", f"projects/{pid}/repository/branches/clash")[0] == 200


# --- tags -----------------------------------------------------------------------------------------

@pytest.fixture(scope="module")
def tagged(server, group):
    """A project with 150 tags v1.0 ... v1.149 and the tag release/2.0."""
    project = server.project(group["id"])
    for i in range(150):
        server.ok("POST", f"projects/{project['id']}/repository/tags", {"tag_name": f"v1.{i}", "ref": "master"})
    server.ok("POST", f"projects/{project['id']}/repository/tags", {"tag_name": "release/2.0", "ref": "master"})
    return project


def test_get_tag_list_returns_every_tag_by_version(sb, calls, group, tagged, capsys):
    tags = GitlabGit.get_tag_list(tagged["name"], group["id"])
    names = [t["name"] for t in tags]
    assert len(names) == 151 and len(set(names)) == 151
    numbered = [n for n in names if n.startswith("v1.")]
    assert numbered == [f"v1.{i}" for i in reversed(range(150))]
    sent = calls()[1:]
    assert [(c.api_path, c.query) for c in sent] == [
        (f"projects/{tagged['id']}/repository/tags", "order_by=version&per_page=100"),
        (f"projects/{tagged['id']}/repository/tags", "order_by=version&per_page=100&page=2")]
    assert printed(capsys) == []


def test_get_tag_info(sb, calls, group, tagged, capsys):
    assert GitlabGit.get_tag_info("release/2.0", tagged["name"], group["id"])["name"] == "release/2.0"
    assert calls()[-1].api_path == f"projects/{tagged['id']}/repository/tags/release%2F2.0"
    assert GitlabGit.get_tag_info("v9", tagged["name"], group["id"]) is None
    assert calls()[-1].status == 404
    assert printed(capsys) == []


@pytest.mark.parametrize("operation", ["get_tag_list", "get_commits_by_range"])
def test_lists_refused_give_none(sb, group, tagged, operation, capsys):
    sb.fault("GET", r"/repository/(tags|commits)$", 500, "{}")
    args = ("a", "b") if operation == "get_commits_by_range" else ()
    assert getattr(GitlabGit, operation)(*args, tagged["name"], group["id"]) is None
    assert printed(capsys) == []


def test_tag_project(sb, calls, group, project, capsys):
    pid, name = project["id"], project["name"]
    GitlabGit.tag_project("rel/3.0", name, "master", group["id"])
    sent = calls()
    assert [(c.method, c.api_path) for c in sent] == [
        ("GET", f"groups/{group['id']}/projects"), ("GET", f"projects/{pid}/repository/tags/rel%2F3.0"),
        ("POST", f"projects/{pid}/repository/tags")]
    post = sent[-1]
    assert post.headers["content-type"].startswith("application/x-www-form-urlencoded")
    assert urllib.parse.parse_qsl(post.body) == [("tag_name", "rel/3.0"), ("ref", "master"), ("message", "rel/3.0")]
    assert printed(capsys) == ["Successfully tagged rel/3.0"]
    tag = sb.ok("GET", f"projects/{pid}/repository/tags/rel%2F3.0")
    assert tag["message"] == "rel/3.0"

    # It exists now: no second POST, nothing printed.
    GitlabGit.tag_project("rel/3.0", name, "master", group["id"])
    assert [c.method for c in calls()] == ["GET", "GET"]
    assert printed(capsys) == []


@pytest.mark.parametrize("status,body", [(400, '{"message":"Tag v1 already exists"}'), (200, "{}")])
def test_tag_project_refused(sb, group, project, status, body, capsys):
    sb.fault("POST", r"/repository/tags$", status, body)
    GitlabGit.tag_project("v1", project["name"], "master", group["id"])
    assert printed(capsys) == ["Failed to tag v1: " + body]


# --- commit ranges ----------------------------------------------------------------------------------

def test_get_commits_by_range_is_the_symmetric_difference(sb, calls, group, project, capsys):
    pid = project["id"]
    ours = [sb.commit(pid, "release/1.0", {"a.txt": "a"}, start_branch="master")["id"],
            sb.commit(pid, "release/1.0", {"b.txt": "b"})["id"]]
    theirs = sb.commit(pid, "master", {"c.txt": "c"})["id"]
    commits = GitlabGit.get_commits_by_range("master", "release/1.0", project["name"], group["id"])
    assert sorted(c["id"] for c in commits) == sorted(ours + [theirs])
    get = calls()[-1]
    assert (get.api_path, get.query) == (f"projects/{pid}/repository/commits",
                                         "ref_name=master...release%2F1.0&per_page=100")

    # GitLab lists nothing, with 200, for a ref it does not know: an empty list, not None.
    assert GitlabGit.get_commits_by_range("master", "no-such-branch", project["name"], group["id"]) == []
    assert printed(capsys) == []
