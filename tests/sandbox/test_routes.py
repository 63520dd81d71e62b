"""Status codes, error bodies and records of the core routes: users and tokens, groups, projects,
CI/CD variables, pipelines, issues and notes."""

import os
import re
import subprocess
import urllib.parse

import pytest

from conftest import ok, unique

ISO = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")
DATE = re.compile(r"^\d{4}-\d\d-\d\d$")


# --- users and tokens ---------------------------------------------------------------------------

def test_personal_access_tokens_are_minted_by_administrators_only(sb):
    user = sb.create_user(unique("dev"), "Dev")
    status, token = sb.api("POST", f"users/{user['id']}/personal_access_tokens", {"name": "ci", "scopes": ["read_api"]})
    assert status == 201
    assert (token["name"], token["scopes"], token["user_id"], token["revoked"], token["active"]) == (
        "ci", ["read_api"], user["id"], False, True)
    assert isinstance(token["id"], int) and DATE.match(token["expires_at"]) and ISO.match(token["created_at"])
    me = sb.call("GET", "user", token=token["token"])
    assert (me.status, me.json["id"], me.json["username"]) == (200, user["id"], user["username"])

    refused = sb.call("POST", f"users/{user['id']}/personal_access_tokens", {"name": "x", "scopes": ["api"]},
                      token=user["token"])
    assert (refused.status, refused.json) == (403, {"message": "403 Forbidden"})
    assert sb.api("POST", "users/99999/personal_access_tokens", {"name": "x", "scopes": ["api"]}) == (
        404, {"message": "404 User Not Found"})
    assert sb.api("POST", f"users/{user['id']}/personal_access_tokens", {"name": "x"}) == (
        400, {"error": "scopes is missing"})
    assert sb.api("POST", f"users/{user['id']}/personal_access_tokens", {"name": "x", "scopes": ["everything"]}) == (
        400, {"error": "scopes does not have a valid value"})
    # The route GitLab does not have.
    assert sb.api("POST", f"users/{user['id']}/access_tokens", {"name": "x", "scopes": ["api"]}) == (
        404, {"error": "404 Not Found"})


def test_users_are_read_by_id(sb):
    user = sb.create_user(unique("dev"))
    status, record = sb.api("GET", f"users/{user['id']}")
    assert status == 200 and record["username"] == user["username"] and record["state"] == "active"
    assert sb.api("GET", "users/424242") == (404, {"message": "404 User Not Found"})
    # Someone else's view of a user has no private fields.
    other = sb.create_user(unique("dev"))
    assert "email" not in sb.call("GET", f"users/{user['id']}", token=other["token"]).json


def test_group_access_tokens(sb, group):
    base = f"groups/{group['id']}/access_tokens"
    status, token = sb.api("POST", base, {"name": "deploy", "scopes": ["api", "read_repository"]})
    assert status == 201 and token["access_level"] == 40 and token["token"]
    assert DATE.match(token["expires_at"])
    status, top = sb.api("POST", base, {"name": "owner", "scopes": ["api"], "access_level": 50,
                                        "expires_at": "2031-01-02"})
    assert (status, top["access_level"], top["expires_at"]) == (201, 50, "2031-01-02")
    for level in (0, 15, 60):
        assert sb.api("POST", base, {"name": "x", "scopes": ["api"], "access_level": level}) == (
            400, {"error": "access_level does not have a valid value"})
    assert sb.api("POST", base, {"name": "x"}) == (400, {"error": "scopes is missing"})
    assert sb.api("POST", "groups/99999/access_tokens", {"name": "x", "scopes": ["api"]}) == (
        404, {"message": "404 Group Not Found"})

    listed = sb.call("GET", base)
    assert listed.status == 200
    assert [(t["name"], t["access_level"]) for t in listed.json] == [("deploy", 40), ("owner", 50)]
    assert all("token" not in t for t in listed.json)
    # The secret authenticates as the token's bot user.
    me = sb.call("GET", "user", token=token["token"])
    assert me.status == 200 and me.json["bot"] is True and me.json["name"] == "deploy"
    # Revoked, it does not.
    assert sb.call("DELETE", f"{base}/{token['id']}").status == 204
    assert sb.call("GET", "user", token=token["token"]).status == 401


def test_expired_tokens_are_inactive_and_refused(sb, group):
    user = sb.create_user(unique("dev"))
    personal = ok(sb, "POST", f"users/{user['id']}/personal_access_tokens",
                  {"name": "old", "scopes": ["api"], "expires_at": "2020-01-01"})
    base = f"groups/{group['id']}/access_tokens"
    grouped = ok(sb, "POST", base, {"name": "old", "scopes": ["api"], "expires_at": "2020-01-01"})
    assert (personal["active"], grouped["active"]) == (False, False)
    assert [sb.call("GET", "user", token=t["token"]).status for t in (personal, grouped)] == [401, 401]
    assert ok(sb, "GET", f"{base}/{grouped['id']}")["active"] is False
    assert [t["id"] for t in ok(sb, "GET", base, query={"state": "inactive"})] == [grouped["id"]]
    assert ok(sb, "GET", base, query={"state": "active"}) == []


# --- groups -------------------------------------------------------------------------------------

def test_group_creation_and_its_refusals(sb, group):
    assert isinstance(group["id"], int) and group["parent_id"] is None
    assert group["full_path"] == group["path"] and group["web_url"].endswith("/groups/" + group["path"])
    assert ISO.match(group["created_at"])
    name = unique("child")
    status, child = sb.api("POST", "groups", {"name": name, "path": name, "parent_id": group["id"]})
    assert status == 201
    assert (child["parent_id"], child["full_path"], child["full_name"]) == (
        group["id"], f"{group['path']}/{name}", f"{group['name']} / {name}")

    assert sb.api("POST", "groups", {"name": "other", "path": name, "parent_id": group["id"]}) == (
        400, {"message": 'Failed to save group {:path=>["has already been taken"]}'})
    assert sb.api("POST", "groups", {"name": name, "path": name, "parent_id": group["id"]}) == (
        400, {"message": 'Failed to save group {:name=>["has already been taken"], :path=>["has already been taken"]}'})
    # The same path under another parent is fine; so is a top-level group of that path.
    assert sb.api("POST", "groups", {"name": name, "path": name})[0] == 201
    assert sb.api("POST", "groups", {"name": "x", "path": "-bad"})[0] == 400
    assert sb.api("POST", "groups", {"name": "x"}) == (400, {"error": "path is missing"})
    assert sb.api("POST", "groups", {"name": "x", "path": "x-1", "parent_id": 999999}) == (
        404, {"message": "404 Group Not Found"})


def test_group_reads_and_deletion(sb, group):
    status, record = sb.api("GET", f"groups/{group['id']}")
    assert status == 200 and record["id"] == group["id"] and record["projects"] == []
    assert sb.api("GET", "groups/" + urllib.parse.quote(group["full_path"], safe=""))[1]["id"] == group["id"]
    assert sb.api("GET", "groups/999999") == (404, {"message": "404 Group Not Found"})
    assert sb.api("GET", "groups/999999/subgroups") == (404, {"message": "404 Group Not Found"})

    child = ok(sb, "POST", "groups", {"name": "c", "path": "c", "parent_id": group["id"]})
    inner = ok(sb, "POST", "projects", {"name": "inner", "namespace_id": child["id"]})
    # GitLab 18 marks the group for deletion and renames it; what is below it stays, under the new path.
    assert sb.api("DELETE", f"groups/{group['id']}") == (202, {"message": "202 Accepted"})
    renamed = f"{group['path']}-deletion_scheduled-{group['id']}"
    status, marked = sb.api("GET", f"groups/{group['id']}")
    assert (status, marked["path"], marked["full_path"]) == (200, renamed, renamed) and marked["marked_for_deletion_on"]
    assert sb.api("GET", f"groups/{child['id']}")[1]["full_path"] == renamed + "/c"
    assert sb.api("GET", f"projects/{inner['id']}")[1]["path_with_namespace"] == renamed + "/c/inner"
    assert sb.api("DELETE", f"groups/{group['id']}") == (400, {"message": "Group has been already marked for deletion"})


# --- projects -----------------------------------------------------------------------------------

def data_dir(sb):
    return os.path.dirname(os.path.dirname(sb.env["CURL_CA_BUNDLE"]))


def test_project_creation_makes_a_bare_repository(sb, group):
    name = unique("App")
    status, p = sb.api("POST", "projects", {"name": name, "description": name, "path": name,
                                            "namespace_id": str(group["id"]), "visibility": "internal"})
    assert status == 201
    full = f"{group['full_path']}/{name}"
    assert (p["name"], p["path"], p["path_with_namespace"], p["visibility"], p["default_branch"]) == (
        name, name, full, "internal", "main")
    assert p["http_url_to_repo"] == f"https://{sb.host}/{full}.git"
    assert p["web_url"] == f"https://{sb.host}/{full}"
    assert p["namespace"] == {"id": group["id"], "name": group["name"], "path": group["path"], "kind": "group",
                              "full_path": group["full_path"], "parent_id": None, "avatar_url": None,
                              "web_url": group["web_url"]}
    assert p["empty_repo"] is True and ISO.match(p["created_at"]) and isinstance(p["id"], int)

    repo = os.path.join(data_dir(sb), "repositories", full + ".git")
    git = lambda *args: subprocess.run(["git", "--git-dir", repo, *args], capture_output=True, text=True)
    assert git("rev-parse", "--is-bare-repository").stdout.strip() == "true"
    assert git("symbolic-ref", "HEAD").stdout.strip() == "refs/heads/main"

    taken = {"message": {"name": ["has already been taken"], "path": ["has already been taken"]}}
    assert sb.api("POST", "projects", {"name": name, "path": name, "namespace_id": group["id"]}) == (400, taken)
    assert sb.api("POST", "projects", {"name": "other", "path": name.lower(), "namespace_id": group["id"]}) == (
        400, {"message": {"path": ["has already been taken"]}})
    assert sb.api("POST", "projects", {"namespace_id": group["id"]}) == (
        400, {"error": "name, path are missing, at least one parameter must be provided"})
    assert sb.api("POST", "projects", {"name": "x", "namespace_id": 999999}) == (
        404, {"message": "404 Namespace Not Found"})

    # GitLab 18 archives the project and renames it "<path>-deletion_scheduled-<id>" (its repository follows).
    assert sb.api("DELETE", f"projects/{p['id']}") == (202, {"message": "202 Accepted"})
    assert not os.path.exists(repo)
    status, marked = sb.api("GET", f"projects/{p['id']}")
    assert (status, marked["path"], marked["archived"]) == (200, f"{name}-deletion_scheduled-{p['id']}", True)
    assert os.path.isdir(os.path.join(data_dir(sb), "repositories", marked["path_with_namespace"] + ".git"))
    assert sb.api("DELETE", f"projects/{p['id']}") == (400, {"message": "Project has been already marked for deletion"})


def test_a_project_without_namespace_lands_in_the_callers_namespace(sb):
    user = sb.create_user(unique("dev"))
    status, p = sb.api("POST", "projects", {"name": "Mine Too"}, token=user["token"])
    assert status == 201
    assert (p["path"], p["namespace"]["kind"], p["path_with_namespace"]) == (
        "mine-too", "user", f"{user['username']}/mine-too")


def test_project_visibility_cannot_exceed_its_groups(sb):
    name = unique("private")
    private = ok(sb, "POST", "groups", {"name": name, "path": name, "visibility": "private"})
    assert sb.api("POST", "projects", {"name": "p", "namespace_id": private["id"], "visibility": "internal"}) == (
        400, {"message": {"visibility_level": ["internal is not allowed in a private group."]}})
    assert sb.api("POST", "projects", {"name": "p", "namespace_id": private["id"]})[0] == 201


def test_project_search(sb, group):
    names = ["Alpha", "alphabet", "beta", "ab"]
    ids = {n: ok(sb, "POST", "projects", {"name": n, "namespace_id": group["id"]})["id"] for n in names}
    scope = {"search": "ALPHA", "simple": "True", "per_page": 100}
    found = sb.call("GET", "projects", query=scope).json
    mine = [p["id"] for p in found if p["namespace"]["id"] == group["id"]]
    # Case-insensitive substring of name or path, newest first.
    assert mine == [ids["alphabet"], ids["Alpha"]]
    simple = found[0]
    assert {"id", "name", "path", "path_with_namespace", "http_url_to_repo", "namespace"} <= set(simple)
    assert "visibility" not in simple and "_links" not in simple
    assert "visibility" in sb.call("GET", "projects", query={"search": "alpha"}).json[0]
    # Under three characters the text must match a whole name or path.
    short = [p["id"] for p in sb.call("GET", "projects", query={"search": "AB", "per_page": 100}).json
             if p["namespace"]["id"] == group["id"]]
    assert short == [ids["ab"]]


# --- CI/CD variables ----------------------------------------------------------------------------

@pytest.fixture(params=["project", "group"])
def owner(request, sb, group, project):
    return f"projects/{project['id']}" if request.param == "project" else f"groups/{group['id']}"


def test_variables_create_read_update_delete(sb, owner):
    base = f"{owner}/variables"
    status, v = sb.api("POST", base, {"key": "TOKEN_A", "value": "abcdefgh", "variable_type": "env_var",
                                      "protected": False, "masked": True})
    assert status == 201
    assert v == {"variable_type": "env_var", "key": "TOKEN_A", "value": "abcdefgh", "hidden": False,
                 "protected": False, "masked": True, "raw": False, "environment_scope": "*", "description": None}
    assert sb.api("GET", f"{base}/TOKEN_A") == (200, v)
    assert sb.api("POST", base, {"key": "TOKEN_A", "value": "x"}) == (
        400, {"message": {"key": ["(TOKEN_A) has already been taken"]}})

    # An update sent as a form body changes the value only.
    reply = sb.call("PUT", f"{base}/TOKEN_A", form={"value": "ijklmnop"})
    assert reply.status == 200 and reply.json == {**v, "value": "ijklmnop"}
    assert sb.api("PUT", f"{base}/TOKEN_A", {"value": "short"}) == (400, {"message": {"value": ["is invalid"]}})
    assert sb.api("PUT", f"{base}/NOPE", {"value": "x"}) == (404, {"message": "404 Variable Not Found"})

    assert sb.call("DELETE", f"{base}/TOKEN_A").status == 204
    assert sb.api("GET", f"{base}/TOKEN_A") == (404, {"message": "404 Variable Not Found"})
    assert sb.api("DELETE", f"{base}/TOKEN_A") == (404, {"message": "404 Variable Not Found"})


def test_variable_values_are_checked(sb, owner):
    base = f"{owner}/variables"
    invalid = (400, {"message": {"value": ["is invalid"]}})
    assert sb.api("POST", base, {"key": "SEVEN", "value": "1234567", "masked": True}) == invalid
    assert sb.api("POST", base, {"key": "SPACE", "value": "has a space", "masked": True}) == invalid
    assert sb.api("POST", base, {"key": "OK_CHARS", "value": "a_+=/@:.~-9", "masked": True})[0] == 201
    assert sb.api("POST", base, {"key": "FILE", "value": "x", "variable_type": "file"})[1]["variable_type"] == "file"
    assert sb.api("POST", base, {"key": "T", "value": "x", "variable_type": "other"}) == (
        400, {"error": "variable_type does not have a valid value"})
    assert sb.api("POST", base, {"key": "bad-key", "value": "x"})[0] == 400
    assert sb.api("POST", base, {"value": "x"}) == (400, {"error": "key is missing"})


@pytest.mark.parametrize("text,expected", [
    ("1", True), ("on", True), ("ON", True), ("t", True), ("True", True), ("yes", True), ("Y", True),
    ("0", False), ("off", False), ("f", False), ("False", False), ("no", False), ("N", False),
])
def test_booleans_are_coerced_like_grape(sb, project, text, expected):
    key = "FLAG_" + unique("v").replace("-", "_")
    reply = sb.call("POST", f"projects/{project['id']}/variables", form={"key": key, "value": "x", "protected": text})
    assert (reply.status, reply.json["protected"]) == (201, expected)


def test_an_unreadable_boolean_is_refused(sb, project):
    reply = sb.call("POST", f"projects/{project['id']}/variables", form={"key": "K", "value": "x", "masked": "maybe"})
    assert (reply.status, reply.json) == (400, {"error": "masked is invalid"})


# --- pipelines ----------------------------------------------------------------------------------

def test_pipelines_list_filter_read_and_retry(sb, project):
    pid = project["id"]
    first = sb.control("POST", f"projects/{pid}/pipelines", {"ref": "master", "sha": "a" * 40})
    second = sb.control("POST", f"projects/{pid}/pipelines", {"ref": "master", "sha": "b" * 40, "status": "failed"})
    other = sb.control("POST", f"projects/{pid}/pipelines", {"ref": "dev", "sha": "c" * 40})
    assert (first["iid"], second["iid"], other["iid"]) == (1, 2, 3)
    assert second["before_sha"] == "a" * 40 and first["before_sha"] == "0" * 40

    listed = sb.call("GET", f"projects/{pid}/pipelines", query={"ref": "master"})
    assert [p["id"] for p in listed.json] == [second["id"], first["id"]]
    assert set(listed.json[0]) == {"id", "iid", "project_id", "sha", "ref", "status", "source", "created_at",
                                   "updated_at", "web_url", "name"}
    assert [p["id"] for p in sb.api("GET", f"projects/{pid}/pipelines?status=failed")[1]] == [second["id"]]
    assert sb.call("GET", f"projects/{pid}/pipelines", query={"updated_after": "2999-01-01T00:00:00Z"}).json == []
    window = sb.call("GET", f"projects/{pid}/pipelines",
                     query={"ref": "dev", "updated_after": "2020-04-30T12:00:00.250000Z"})
    assert [p["id"] for p in window.json] == [other["id"]]
    assert sb.call("GET", f"projects/{pid}/pipelines", query={"updated_after": "yesterday"}).status == 400

    status, one = sb.api("GET", f"projects/{pid}/pipelines/{second['id']}")
    assert status == 200 and one["status"] == "failed" and one["user"]["username"] == "root"
    assert sb.api("GET", f"projects/{pid}/pipelines/999999") == (404, {"message": "404 Not found"})
    assert sb.api("GET", f"projects/{pid}/pipelines/{second['id'] + 1000}")[0] == 404

    status, retried = sb.api("POST", f"projects/{pid}/pipelines/{second['id']}/retry")
    assert (status, retried["status"]) == (201, "pending")
    assert sb.api("POST", f"projects/{pid}/pipelines/999999/retry") == (404, {"message": "404 Not found"})


def test_pipeline_states_are_set_through_the_control_route(sb, project):
    pid = project["id"]
    p = sb.control("POST", f"projects/{pid}/pipelines", {"ref": "master"})
    running = sb.set_pipeline_status(pid, p["id"], "running")
    assert running["status"] == "running" and ISO.match(running["started_at"]) and running["finished_at"] is None
    done = sb.set_pipeline_status(pid, p["id"], "success")
    assert done["status"] == "success" and ISO.match(done["finished_at"]) and isinstance(done["duration"], int)
    assert sb.api("GET", f"projects/{pid}/pipelines/{p['id']}")[1]["status"] == "success"
    with pytest.raises(Exception, match="400"):
        sb.set_pipeline_status(pid, p["id"], "exploded")


# --- issues and notes ---------------------------------------------------------------------------

def test_issues_from_query_parameters(sb, project):
    base = f"projects/{project['id']}/issues"
    reply = sb.call("POST", base, query={"title": "Broken", "issue_type": "incident", "labels": "beta,alpha"})
    assert reply.status == 201
    issue = reply.json
    assert (issue["iid"], issue["title"], issue["labels"], issue["issue_type"], issue["type"], issue["state"]) == (
        1, "Broken", ["alpha", "beta"], "incident", "INCIDENT", "opened")
    assert issue["project_id"] == project["id"] and issue["author"]["username"] == "root"
    assert issue["web_url"].endswith(f"/{project['path_with_namespace']}/-/issues/1")
    empty = sb.call("POST", base, query={"title": "Second", "issue_type": "issue", "labels": ""}).json
    assert (empty["iid"], empty["labels"]) == (2, [])
    assert sb.call("POST", base, query={"issue_type": "issue"}).json == {"error": "title is missing"}
    assert sb.call("POST", base, query={"title": "x", "issue_type": "story"}).status == 400

    closed = sb.call("PUT", f"{base}/1", query={"state_event": "close"})
    assert (closed.status, closed.json["state"]) == (200, "closed") and ISO.match(closed.json["closed_at"])
    assert closed.json["closed_by"]["username"] == "root"
    reopened = sb.call("PUT", f"{base}/1", query={"state_event": "reopen"}).json
    assert (reopened["state"], reopened["closed_at"]) == ("opened", None)
    assert sb.call("PUT", f"{base}/1", query={"state_event": "delete"}).status == 400
    assert sb.call("PUT", f"{base}/1").status == 400
    assert sb.call("PUT", f"{base}/99", query={"state_event": "close"}).json == {"message": "404 Issue Not Found"}


def test_notes_on_issues(sb, project):
    base = f"projects/{project['id']}/issues"
    sb.call("POST", base, query={"title": "t", "issue_type": "issue"})
    reply = sb.call("POST", f"{base}/1/notes", query={"body": "Looks good"})
    assert reply.status == 201
    note = reply.json
    assert (note["body"], note["noteable_type"], note["noteable_iid"], note["system"]) == (
        "Looks good", "Issue", 1, False)
    assert sb.call("POST", f"{base}/1/notes").json == {"error": "body is missing"}
    assert sb.call("POST", f"{base}/7/notes", query={"body": "x"}).json == {"message": "404 Issue Not Found"}
    assert sb.api("GET", f"{base}/1")[1]["user_notes_count"] == 1
    assert [n["body"] for n in sb.api("GET", f"{base}/1/notes")[1]] == ["Looks good"]


def test_a_group_marked_for_deletion_keeps_its_tokens_until_it_is_removed(sb):
    name = unique("doomed")
    group = ok(sb, "POST", "groups", {"name": name, "path": name})
    token = ok(sb, "POST", f"groups/{group['id']}/access_tokens", {"name": "t", "scopes": ["api"]})["token"]
    assert sb.call("GET", "user", token=token).status == 200
    assert sb.call("DELETE", f"groups/{group['id']}").status == 202
    assert sb.call("GET", "user", token=token).status == 200


def test_a_project_made_again_under_a_deleted_ones_name_starts_afresh(sb, group):
    first = ok(sb, "POST", "projects", {"name": "again", "namespace_id": group["id"]})
    ok(sb, "POST", f"projects/{first['id']}/variables", {"key": "OLD", "value": "x"})
    sb.control("POST", f"projects/{first['id']}/pipelines", {"ref": "master"})
    ok(sb, "POST", f"projects/{first['id']}/issues", {"title": "old", "issue_type": "issue"})
    assert sb.call("DELETE", f"projects/{first['id']}").status == 202
    second = ok(sb, "POST", "projects", {"name": "again", "namespace_id": group["id"]})
    assert second["id"] != first["id"] and second["empty_repo"] is True
    assert sb.api("GET", f"projects/{second['id']}/variables")[1] == []
    assert sb.api("GET", f"projects/{second['id']}/pipelines")[1] == []
    assert ok(sb, "POST", f"projects/{second['id']}/issues", {"title": "new", "issue_type": "issue"})["iid"] == 1


def test_issue_labels_are_replaced_added_and_removed(sb, project):
    base = f"projects/{project['id']}/issues"
    ok(sb, "POST", base, {"title": "t", "labels": " b , a,,b "})
    assert sb.api("GET", f"{base}/1")[1]["labels"] == ["a", "b"]
    assert ok(sb, "PUT", f"{base}/1", {"add_labels": "c,a"})["labels"] == ["a", "b", "c"]
    assert ok(sb, "PUT", f"{base}/1", {"remove_labels": "b"})["labels"] == ["a", "c"]
    assert ok(sb, "PUT", f"{base}/1", {"labels": ""})["labels"] == []
    assert [i["iid"] for i in sb.api("GET", f"{base}?state=opened")[1]] == [1]
    assert sb.api("GET", f"{base}?state=closed")[1] == []


def test_pipeline_ordering_and_time_windows(sb, project):
    pid = project["id"]
    made = [sb.control("POST", f"projects/{pid}/pipelines", {"ref": ref}) for ref in ("b", "a", "c")]
    ids = [p["id"] for p in made]
    assert [p["id"] for p in sb.api("GET", f"projects/{pid}/pipelines?sort=asc")[1]] == ids
    assert [p["ref"] for p in sb.api("GET", f"projects/{pid}/pipelines?order_by=ref&sort=asc")[1]] == ["a", "b", "c"]
    assert sb.api("GET", f"projects/{pid}/pipelines?order_by=colour")[0] == 400
    # Dates alone and offsets are read as GitLab reads them.
    assert len(sb.call("GET", f"projects/{pid}/pipelines", query={"updated_after": "2000-01-01"}).json) == 3
    assert sb.call("GET", f"projects/{pid}/pipelines", query={"updated_before": "2000-01-01T00:00:00+02:00"}).json == []
    later = sb.call("GET", f"projects/{pid}/pipelines", query={"updated_before": "2999-12-31T23:59:59.999999Z"})
    assert len(later.json) == 3
    # by user: the creator's pipelines (ties newest first), then another user's
    by = sb.create_user(unique("dev"))["id"]
    last = sb.control("POST", f"projects/{pid}/pipelines", {"ref": "d", "user_id": by})["id"]
    assert sb.api("GET", f"projects/{pid}/pipelines?order_by=user_id&sort=desc")[1][0]["id"] == last
    assert [p["id"] for p in sb.api("GET", f"projects/{pid}/pipelines?order_by=user_id&sort=asc")[1]] == ids[::-1] + [last]
