"""Merge requests: creation, the check from unchecked to a result, holding a state, and merging."""

import time

import pytest

import zorv_sandbox

from helpers import commit, write_files

DELAY_MS = 300


@pytest.fixture
def branches(sandbox, project):
    """master with a README (and CI configuration), `clean` adding a file, `conflict` changing the README like
    master does."""
    sandbox.settings(merge_check_delay_ms=DELAY_MS)
    write_files(sandbox, project, "master", {"README.md": "base\n", ".gitlab-ci.yml": "t:\n  script: [x]\n"})
    assert commit(sandbox, project, "clean", [{"action": "create", "file_path": "new.txt", "content": "n\n"}],
                  start_branch="master").status == 201
    assert commit(sandbox, project, "conflict", [{"action": "update", "file_path": "README.md", "content": "b\n"}],
                  start_branch="master").status == 201
    write_files(sandbox, project, "master", {"README.md": "master\n"})
    return project


def open_mr(sandbox, project, source, target="master", **extra):
    body = {"title": f"{source} into {target}", "source_branch": source, "target_branch": target}
    body.update(extra)
    status, mr = sandbox.api("POST", f"projects/{project['id']}/merge_requests", body)
    assert status == 201, mr
    return mr


def show(sandbox, project, iid):
    status, mr = sandbox.api("GET", f"projects/{project['id']}/merge_requests/{iid}")
    assert status == 200, mr
    return mr


def settle(sandbox, project, iid):
    """Polls until the check has a result (it needs the delay plus one look)."""
    deadline = time.monotonic() + 10
    while True:
        mr = show(sandbox, project, iid)
        if mr["merge_status"] not in ("unchecked", "checking") or time.monotonic() > deadline:
            return mr
        time.sleep(DELAY_MS / 1000 / 3)


def merge(sandbox, project, iid, **body):
    return sandbox.call("PUT", f"projects/{project['id']}/merge_requests/{iid}/merge", body)


class TestCreate:
    def test_record_and_refusals(self, sandbox, branches):
        p = branches
        mr = open_mr(sandbox, p, "clean", description="why")
        assert (mr["iid"], mr["project_id"], mr["state"]) == (1, p["id"], "opened")
        assert (mr["merge_status"], mr["detailed_merge_status"]) == ("unchecked", "unchecked")
        assert (mr["source_branch"], mr["target_branch"], mr["description"]) == ("clean", "master", "why")
        assert mr["web_url"] == p["web_url"] + "/-/merge_requests/1"
        assert mr["references"]["full"] == p["path_with_namespace"] + "!1"
        assert mr["author"]["username"] and mr["merged_at"] is None and mr["merge_commit_sha"] is None
        status, branch = sandbox.api("GET", f"projects/{p['id']}/repository/branches/clean")
        assert mr["sha"] == branch["commit"]["id"]
        assert mr["changes_count"] == "1"

        url = f"projects/{p['id']}/merge_requests"
        assert sandbox.api("POST", url, {"title": "t", "source_branch": "clean", "target_branch": "master"}) == (
            409, {"message": ["Another open merge request already exists for this source branch: !1"]})
        assert sandbox.api("POST", url, {"title": "t", "source_branch": "gone", "target_branch": "master"}) == (
            400, {"message": {"source_branch": ["does not exist"]}})
        assert sandbox.api("POST", url, {"title": "t", "source_branch": "clean", "target_branch": "gone"}) == (
            400, {"message": {"target_branch": ["does not exist"]}})
        assert sandbox.api("POST", url, {"title": "t", "source_branch": "master", "target_branch": "master"}) == (
            422, {"message": ["You can't use same project/branch for source and target"]})
        assert sandbox.api("POST", url, {"source_branch": "clean", "target_branch": "master"}) == (
            400, {"error": "title is missing"})
        # another target for the same source is a different merge request
        assert open_mr(sandbox, p, "clean", target="conflict")["iid"] == 2

        status, listed = sandbox.api("GET", url, query={"state": "opened"})
        assert [m["iid"] for m in listed] == [2, 1]
        assert sandbox.api("GET", f"{url}/99") == (404, {"message": "404 Not found"})


class TestCheckAndMerge:
    def test_check_moves_from_unchecked_through_checking_to_a_result(self, sandbox, branches):
        p = branches
        clean = open_mr(sandbox, p, "clean")
        conflict = open_mr(sandbox, p, "conflict")
        first = show(sandbox, p, clean["iid"])
        assert (first["merge_status"], first["detailed_merge_status"]) == ("checking", "checking")
        # while checking, a merge is not allowed
        assert merge(sandbox, p, clean["iid"]).json == {"message": "405 Method Not Allowed"}

        done = settle(sandbox, p, clean["iid"])
        assert (done["merge_status"], done["detailed_merge_status"], done["has_conflicts"]) == (
            "can_be_merged", "mergeable", False)
        bad = settle(sandbox, p, conflict["iid"])
        assert (bad["merge_status"], bad["detailed_merge_status"], bad["has_conflicts"]) == (
            "cannot_be_merged", "conflict", True)
        reply = merge(sandbox, p, conflict["iid"])
        assert (reply.status, reply.json) == (405, {"message": "405 Method Not Allowed"})

        # a new commit on the source branch starts the check again
        assert commit(sandbox, p, "clean", [{"action": "create", "file_path": "more.txt", "content": "m"}]).status == 201
        assert show(sandbox, p, clean["iid"])["merge_status"] == "checking"
        assert settle(sandbox, p, clean["iid"])["merge_status"] == "can_be_merged"

    def test_merge_writes_a_merge_commit_and_removes_the_source_branch(self, sandbox, branches):
        p = branches
        mr = open_mr(sandbox, p, "clean")
        assert settle(sandbox, p, mr["iid"])["merge_status"] == "can_be_merged"
        status, target = sandbox.api("GET", f"projects/{p['id']}/repository/branches/master")
        status, source = sandbox.api("GET", f"projects/{p['id']}/repository/branches/clean")

        reply = merge(sandbox, p, mr["iid"], sha="0" * 40)
        assert (reply.status, reply.json) == (
            409, {"message": f"SHA does not match HEAD of source branch: {source['commit']['id']}"})

        reply = merge(sandbox, p, mr["iid"], should_remove_source_branch=True, merge_commit_message="Merge clean")
        assert reply.status == 200, reply
        merged = reply.json
        assert (merged["state"], merged["detailed_merge_status"]) == ("merged", "not_open")
        assert merged["merged_at"] and merged["merged_by"]["username"]
        status, after = sandbox.api("GET", f"projects/{p['id']}/repository/branches/master")
        head = after["commit"]
        assert merged["merge_commit_sha"] == head["id"]
        assert head["parent_ids"] == [target["commit"]["id"], source["commit"]["id"]]
        assert head["message"] == "Merge clean"
        assert sandbox.api("GET", f"projects/{p['id']}/repository/branches/clean")[0] == 404
        status, pipelines = sandbox.api("GET", f"projects/{p['id']}/pipelines", query={"ref": "master"})
        assert pipelines[0]["sha"] == head["id"]
        assert merge(sandbox, p, mr["iid"]).status == 405  # already merged
        assert sandbox.api("GET", f"projects/{p['id']}/merge_requests", query={"state": "merged"})[1][0]["iid"] == \
            mr["iid"]

    def test_held_state_and_a_conflict_found_at_merge_time(self, sandbox, branches):
        p = branches
        mr = open_mr(sandbox, p, "conflict")
        control = f"projects/{p['id']}/merge_requests/{mr['iid']}"
        held = sandbox.control("POST", control, {"merge_status": "checking"})
        assert held["merge_status"] == "checking"
        time.sleep(DELAY_MS / 1000 * 2)
        for _ in range(3):
            assert show(sandbox, p, mr["iid"])["merge_status"] == "checking"
        # held as mergeable, the merge itself meets the real conflict
        sandbox.control("POST", control, {"merge_status": "can_be_merged"})
        assert show(sandbox, p, mr["iid"])["detailed_merge_status"] == "mergeable"
        reply = merge(sandbox, p, mr["iid"])
        assert (reply.status, reply.json) == (422, {"message": "Branch cannot be merged"})
        # released, the check goes on from where it was
        sandbox.control("POST", control, {"merge_status": None})
        assert settle(sandbox, p, mr["iid"])["merge_status"] == "cannot_be_merged"
        with pytest.raises(zorv_sandbox.SandboxError):
            sandbox.control("POST", control, {"merge_status": "sideways"})

    def test_closed_merge_request_cannot_be_merged(self, sandbox, branches):
        p = branches
        mr = open_mr(sandbox, p, "clean")
        status, closed = sandbox.api("PUT", f"projects/{p['id']}/merge_requests/{mr['iid']}", {"state_event": "close"})
        assert status == 200 and closed["state"] == "closed" and closed["detailed_merge_status"] == "not_open"
        assert merge(sandbox, p, mr["iid"]).status == 405
        # closed ones do not block a new merge request for the same branches
        assert open_mr(sandbox, p, "clean")["iid"] == mr["iid"] + 1
