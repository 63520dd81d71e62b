"""Subgroups and access tokens against the sandbox."""

import pytest

from conftest import unique
from zorv_git_gitlab.git import GitlabGit

REFUSAL = '{"message":"403 Forbidden"}'


def printed(capsys):
    return capsys.readouterr().out.splitlines()


@pytest.fixture(scope="module")
def crowded(server):
    """A parent group with 105 subgroups, so that the last ones stand on the second page of 100."""
    parent = server.group()
    names = [f"team-{i:03d}" for i in range(105)]
    ids = {name: server.group(parent["id"], name)["id"] for name in names}
    return parent["id"], ids


def test_create_sub_group_sends_name_path_and_numeric_parent(sb, calls, capsys):
    parent = sb.group()["id"]
    name = unique("team")
    assert GitlabGit.create_sub_group(name, parent) is True
    (call,) = calls()
    assert (call.method, call.api_path, call.query) == ("POST", "groups", "")
    assert call.json() == {"name": name, "path": name, "parent_id": parent}
    assert call.keys() == ["name", "path", "parent_id"]
    assert printed(capsys) == ["Subgroup created successfully."]
    assert GitlabGit.get_sub_group_id(name, parent) is not None

    # The same path again is refused by the server with its own message.
    assert GitlabGit.create_sub_group(name, parent) is False
    (line,) = printed(capsys)
    assert line.startswith("Failed to create subgroup. Response: {") and "Failed to save group" in line


def test_create_sub_group_refused_prints_the_answer(sb, capsys):
    parent = sb.group()["id"]
    sb.fault("POST", r"^/api/v4/groups$", 400, '{"message":"Failed to save group {:path=>[\\"taken\\"]}"}')
    assert GitlabGit.create_sub_group(unique("team"), parent) is False
    assert printed(capsys) == ['Failed to create subgroup. Response: {"message":"Failed to save group '
                               '{:path=>[\\"taken\\"]}"}']


def test_subgroup_lookup_reads_later_pages(sb, calls, crowded, capsys):
    parent, ids = crowded
    record = GitlabGit.get_sub_group_info("team-104", parent)
    assert record["id"] == ids["team-104"] and record["name"] == "team-104"
    pages = calls()
    assert [c.query for c in pages] == ["per_page=100", "per_page=100&page=2"]
    assert {c.api_path for c in pages} == {f"groups/{parent}/subgroups"}

    # A match on the first page ends the lookup there.
    assert GitlabGit.get_sub_group_id("team-003", parent) == ids["team-003"]
    assert len(calls()) == 1
    assert printed(capsys) == []


@pytest.mark.parametrize("name", ["Team-104", "team-10", "team-1044"])
def test_subgroup_lookup_matches_the_exact_name_only(sb, crowded, name, capsys):
    parent, _ = crowded
    assert GitlabGit.get_sub_group_info(name, parent) is None
    assert GitlabGit.get_sub_group_id(name, parent) is None
    with pytest.raises(ValueError) as raised:
        GitlabGit.get_sub_group_id(name, parent, raise_error=True)
    assert str(raised.value) == f"Group {name} can not be found"
    assert printed(capsys) == []


def test_subgroup_lookup_of_an_unknown_parent_gives_none(sb, capsys):
    assert GitlabGit.get_sub_group_info("team", 999999) is None
    assert GitlabGit.get_sub_group_id("team", 999999) is None
    assert printed(capsys) == []


def test_delete_sub_group(sb, calls, capsys):
    parent = sb.group()["id"]
    child = sb.group(parent)
    assert GitlabGit.delete_sub_group(child["name"], parent) is True
    assert [(c.method, c.api_path) for c in calls()] == [("GET", f"groups/{parent}/subgroups"),
                                                         ("DELETE", f"groups/{child['id']}")]
    assert printed(capsys) == ["Subgroup deleted successfully."]
    # Marked for deletion and renamed, as GitLab 18 does, until its retention period ends.
    status, marked = sb.api("GET", f"groups/{child['id']}")
    assert (status, marked["path"]) == (200, f"{child['path']}-deletion_scheduled-{child['id']}")
    assert marked["marked_for_deletion_on"]

    # Gone now: nothing to delete, no DELETE sent, and still True.
    assert GitlabGit.delete_sub_group(child["name"], parent) is True
    assert [c.method for c in calls()] == ["GET"]
    assert printed(capsys) == ["Subgroup Not Found"]


def test_delete_sub_group_refused(sb, capsys):
    parent = sb.group()["id"]
    child = sb.group(parent)
    sb.fault("DELETE", rf"^/api/v4/groups/{child['id']}$", 403, REFUSAL)
    assert GitlabGit.delete_sub_group(child["name"], parent) is False
    assert printed(capsys) == ["Failed to delete subgroup. Response: " + REFUSAL]
    assert sb.api("GET", f"groups/{child['id']}")[0] == 200


def test_create_repo_token_mints_a_working_token(sb, calls, capsys):
    user = sb.control("POST", "users", {"username": unique("dev"), "name": "Dev"})
    token = GitlabGit.create_repo_token(user["id"], "ci-read")
    (call,) = calls()
    assert (call.method, call.api_path) == ("POST", f"users/{user['id']}/personal_access_tokens")
    assert call.json() == {"name": "ci-read", "scopes": ["read_api"]}
    assert call.keys() == ["name", "scopes"]
    assert isinstance(token, str) and token
    status, me = sb.api("GET", "user", token=token)
    assert (status, me["id"]) == (200, user["id"])
    assert printed(capsys) == []


def test_create_group_access_token_sends_level_50_as_a_number(sb, calls, capsys):
    group = sb.group()["id"]
    token = GitlabGit.create_group_access_token(group, "deploy")
    (call,) = calls()
    assert (call.method, call.api_path) == ("POST", f"groups/{group}/access_tokens")
    assert call.keys() == ["name", "scopes", "access_level"]
    assert call.json()["scopes"] == ["api", "read_api", "read_registry", "write_registry", "read_repository",
                                     "write_repository"]
    assert type(call.json()["access_level"]) is int and call.json()["access_level"] == 50
    assert isinstance(token, str) and sb.api("GET", f"groups/{group}", token=token)[0] == 200
    record = GitlabGit.get_access_token_info(group, "deploy")
    assert record["access_level"] == 50 and "token" not in record
    assert printed(capsys) == []


@pytest.mark.parametrize("operation,target", [
    ("create_repo_token", r"^/api/v4/users/\d+/personal_access_tokens$"),
    ("create_group_access_token", r"^/api/v4/groups/\d+/access_tokens$"),
])
def test_token_creation_refused(sb, operation, target, capsys):
    owner = sb.group()["id"] if operation == "create_group_access_token" else 1
    sb.fault("POST", target, 403, REFUSAL)
    assert getattr(GitlabGit, operation)(owner, "t") is None
    assert printed(capsys) == ["Failed to create the access token. Response:  " + REFUSAL]


def test_token_lookup_reads_later_pages_and_takes_the_first_of_a_name(sb, calls, capsys):
    group = sb.group()["id"]
    for i in range(101):
        sb.ok("POST", f"groups/{group}/access_tokens", {"name": f"bot-{i:03d}", "scopes": ["read_api"]})
    first = sb.ok("POST", f"groups/{group}/access_tokens", {"name": "Deploy", "scopes": ["read_api"]})
    sb.ok("POST", f"groups/{group}/access_tokens", {"name": "Deploy", "scopes": ["api"]})
    record = GitlabGit.get_access_token_info(group, "Deploy")
    assert record["id"] == first["id"] and record["scopes"] == ["read_api"]
    assert [c.query for c in calls()] == ["per_page=100", "per_page=100&page=2"]
    assert GitlabGit.get_access_token_info(group, "deploy") is None
    assert printed(capsys) == []


def test_token_lookup_refused_gives_none(sb, capsys):
    group = sb.group()["id"]
    sb.fault("GET", rf"^/api/v4/groups/{group}/access_tokens$", 401, '{"message":"401 Unauthorized"}')
    assert GitlabGit.get_access_token_info(group, "deploy") is None
    assert printed(capsys) == []
