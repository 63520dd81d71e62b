"""The client against what a real GitLab server enforces and the sandbox imitates: each refusal ends in the
operation's failure line (or a clear outcome), never in a crash, a hang or a success line."""

import pytest

import zorv_sandbox
from conftest import unique
from zorv_git_gitlab.git import GitlabGit

CI = "test:\n  script: [\"true\"]\n"


def printed(capsys):
    return capsys.readouterr().out.splitlines()


def as_token(token):
    """GitlabGit acting with another token."""
    return type("Other", (GitlabGit,), {"gitlab_token": token})


def user_token(sb, scopes):
    """A new user's personal access token holding only `scopes`; (user, token)."""
    user = sb.control("POST", "users", {"username": unique("u")})
    token = sb.ok("POST", f"users/{user['id']}/personal_access_tokens", {"name": "t", "scopes": scopes})["token"]
    return user, token


def read_api_token_writes(sb, group, project):
    # lib/api/api.rb: read_api admits GET and HEAD only; a write is answered 403 insufficient_scope.
    _, token = user_token(sb, ["read_api"])
    result = as_token(token).set_project_variable(project["name"], "K", "v", group["id"])
    return result, 403, "Failed to set environment variable K"


def token_above_the_creators_role(sb, group, project):
    # ResourceAccessTokens::CreateService: a Maintainer may not mint an Owner-level group token.
    user, token = user_token(sb, ["api"])
    sb.ok("POST", f"groups/{group['id']}/members", {"user_id": user["id"], "access_level": 40})
    return as_token(token).create_group_access_token(group["id"], "deploy"), 400, "Failed to create the access token"


def draft_merge(sb, group, project):
    # lib/api/merge_requests.rb: a draft is not mergeable, the merge is refused with 405.
    sb.commit(project["id"], "topic", {"t.txt": "t"}, start_branch="master")
    mr = sb.ok("POST", f"projects/{project['id']}/merge_requests",
               {"title": "Draft: topic", "source_branch": "topic", "target_branch": "master"})
    return GitlabGit.perform_merge(project["name"], group["id"], mr["iid"], "merge", timeout=20), 405, \
        "Failed to perform merge"


def variable_in_two_scopes(sb, group, project):
    # lib/api/helpers/variables_helpers.rb#find_variable: one key in several scopes answers 409.
    for scope in ("*", "production"):
        sb.ok("POST", f"projects/{project['id']}/variables", {"key": "TWICE", "value": "v", "environment_scope": scope})
    return GitlabGit.set_project_variable(project["name"], "TWICE", "new", group["id"]), 409, \
        "Failed to set environment variable TWICE"


def branch_from_master_on_a_main_project(sb, group, project):
    # lib/gitlab/default_branch.rb: new projects start on main; a branch from "master" has no ref to start at.
    bare = sb.ok("POST", "projects", {"name": unique("prj"), "namespace_id": group["id"]})
    sb.commit(bare["id"], "main", {"README.md": "hi"})
    assert sb.api("GET", f"projects/{bare['id']}")[1]["default_branch"] == "main"
    return GitlabGit.create_branch(bare["name"], group["id"], "feature"), 400, None  # it prints no line


ENFORCED = [read_api_token_writes, token_above_the_creators_role, draft_merge, variable_in_two_scopes,
            branch_from_master_on_a_main_project]


@pytest.mark.parametrize("case", ENFORCED, ids=lambda case: case.__name__)
def test_a_refusal_ends_in_the_failure_line(sb, calls, group, project, case, capsys):
    sb.sandbox.settings(merge_check_delay_ms=50)
    result, status, line = case(sb, group, project)
    assert not result
    assert status in [c.status for c in sb.journal()]
    out = printed(capsys)
    assert (out[-1].startswith(line) if line else out == []), out
    assert not any("success" in text.lower() for text in out), out


def test_what_the_server_keeps_or_leaves_out_reaches_the_caller_as_it_is(sb, calls, group, project, capsys):
    # Revoked tokens stay listed with their flags (PersonalAccessTokensFinder without a state filter).
    token = sb.ok("POST", f"groups/{group['id']}/access_tokens", {"name": unique("old"), "scopes": ["api"]})
    sb.ok("DELETE", f"groups/{group['id']}/access_tokens/{token['id']}")
    record = GitlabGit.get_access_token_info(group["id"], token["name"])
    assert (record["id"], record["revoked"], record["active"]) == (token["id"], True, False)

    # No .gitlab-ci.yml, no pipeline; with it, one.
    assert GitlabGit.get_pipeline_status(project["name"], group["id"]) == []
    sha = sb.commit(project["id"], "master", {".gitlab-ci.yml": CI})["id"]
    assert [p["sha"] for p in GitlabGit.get_pipeline_status(project["name"], group["id"])] == [sha]

    # A project marked for deletion is renamed: it is no longer found, and its name is free again.
    GitlabGit.delete_project(project["name"], group["id"])
    assert GitlabGit.get_project_info(project["name"], group["id"]) is None
    GitlabGit.create_project(project["name"], group["id"])
    assert GitlabGit.get_project_info(project["name"], group["id"])["id"] != project["id"]
    assert printed(capsys)[:2] == [f"Project {project['name']} accepted deletion successfully.",
                                   f"Project {project['name']} created successfully."]


def test_registry_scopes_refused_without_a_container_registry(monkeypatch, capsys):
    # Gitlab::Auth.resource_bot_scopes leave out the registry scopes on an instance without a registry.
    with zorv_sandbox.Sandbox(args=["--no-registry"]) as strict:
        monkeypatch.setenv("CURL_CA_BUNDLE", strict.env["CURL_CA_BUNDLE"])
        client = type("NoRegistry", (GitlabGit,), {"api_url": strict.api_url, "gitlab_token": strict.token})
        group = strict.api("POST", "groups", {"name": "g", "path": "g"})[1]
        assert client.create_group_access_token(group["id"], "deploy") is None
        (line,) = printed(capsys)
        assert line == ("Failed to create the access token. Response:  "
                        '{"error":"scopes does not have a valid value"}')
