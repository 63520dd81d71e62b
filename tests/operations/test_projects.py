"""The project lookup, projects, the single-file commit and branches against the sandbox."""

import base64

import pytest

from conftest import unique
from zorv_git_gitlab import errors
from zorv_git_gitlab.git import GitlabGit

GROUPS = 5
PER_GROUP = 50
EXACT_AT = [0, 15, 25, 40, 49]  # the round in which each group gets its project named exactly "app"


def printed(capsys):
    return capsys.readouterr().out.splitlines()


@pytest.fixture(scope="module")
def apps(server):
    """250 projects whose names contain "app", created round-robin over five groups; each group has one
    named exactly "app", created early in one group and late in another, so the server's search lists
    them on different pages. Returns [(group id, id of its "app")]."""
    groups = [server.group()["id"] for _ in range(GROUPS)]
    exact = [None] * GROUPS
    for i in range(PER_GROUP):
        for g, group in enumerate(groups):
            name = "app" if i == EXACT_AT[g] else f"app-{g}-{i}"
            record = server.project(group, name, readme=False)
            if name == "app":
                exact[g] = record["id"]
    # The layout must really spread the five over the three pages of the search.
    assert {search_page_of(server, pid) for pid in exact} == {1, 2, 3}
    return list(zip(groups, exact))


def search_page_of(server, project_id):
    """The page (of 100) on which the server's search for "app" lists the project."""
    page = 1
    while True:
        status, records = server.api("GET", f"projects?search=app&simple=true&per_page=100&page={page}")
        assert status == 200 and records
        if any(r["id"] == project_id for r in records):
            return page
        page += 1


@pytest.mark.parametrize("g", range(GROUPS))
def test_lookup_finds_the_project_on_whichever_page_it_stands(sb, calls, apps, g, capsys):
    group, expected = apps[g]
    page = search_page_of(sb, expected)
    record = GitlabGit.get_project_info("app", group)
    assert record["id"] == expected and record["name"] == "app" and record["namespace"]["id"] == group
    queries = [c.query for c in calls()]
    assert queries == ["search=app&simple=True&per_page=100"] + [
        f"search=app&simple=True&per_page=100&page={n}" for n in range(2, page + 1)]
    assert printed(capsys) == []


@pytest.mark.parametrize("name", ["App", "ap", "app-0"])
def test_lookup_wants_the_exact_name(sb, apps, name, capsys):
    assert GitlabGit.get_project_info(name, apps[0][0]) is None
    assert printed(capsys) == []


def test_lookup_refused_gives_none_and_a_text_group_id_is_its_number(sb, calls, apps, capsys):
    group = apps[0][0]
    assert GitlabGit.get_project_info("app", str(group))["namespace"]["id"] == group
    calls()
    sb.fault("GET", r"^/api/v4/projects$", 500, '{"message":"500 Internal Server Error"}')
    assert GitlabGit.get_project_info("app", group) is None
    assert [c.status for c in calls()] == [500]
    assert printed(capsys) == []


def raw_file(sb, project_id, path, ref="master"):
    encoded = path.replace("/", "%2F")
    status, record = sb.api("GET", f"projects/{project_id}/repository/files/{encoded}?ref={ref}")
    assert status == 200, record
    return base64.b64decode(record["content"]).decode()


def test_create_project_then_seeds_the_readme(sb, calls, group, capsys):
    name = unique("web")
    assert GitlabGit.create_project(name, group["id"], visibility="private") is None
    create, readme = calls()  # the README commit reuses the project of the creation's answer
    assert (create.method, create.api_path) == ("POST", "projects")
    assert create.headers["content-type"] == "application/json"
    assert create.keys() == ["name", "description", "path", "namespace_id", "visibility"]
    assert create.json() == {"name": name, "description": name, "path": name, "namespace_id": str(group["id"]),
                             "visibility": "internal"}
    project = GitlabGit.get_project_info(name, group["id"])
    assert (readme.method, readme.api_path) == ("POST", f"projects/{project['id']}/repository/files/README.md")
    assert printed(capsys) == [f"Project {name} created successfully.", "Successfully created README.md"]
    assert raw_file(sb, project["id"], "README.md") == "Hello World"

    # A second creation is refused (the name is taken) and the README commit is still tried.
    GitlabGit.create_project(name, group["id"])
    refused, seed = printed(capsys)
    assert refused.startswith("Failed to create the project. Response:  {") and "taken" in refused
    assert seed.startswith("Failed to create README.md: {")


def test_create_project_refused_for_a_project_that_does_not_exist(sb, calls, group, capsys):
    body = '{"message":{"path":["is reserved"]}}'
    sb.fault("POST", r"^/api/v4/projects$", 400, body)
    with pytest.raises(errors.ProjectNotFoundError) as raised:
        GitlabGit.create_project(unique("web"), group["id"])
    assert isinstance(raised.value, TypeError) and isinstance(raised.value, LookupError)
    assert printed(capsys) == ["Failed to create the project. Response:  " + body]
    assert [c.method for c in calls()] == ["POST", "GET"]


def test_delete_project(sb, calls, group, project, capsys):
    name = project["name"]
    GitlabGit.delete_project(name, group["id"])
    assert [(c.method, c.api_path) for c in calls()] == [("GET", "projects"), ("DELETE", f"projects/{project['id']}")]
    assert printed(capsys) == [f"Project {name} accepted deletion successfully."]
    # Marked for deletion, archived and renamed, as GitLab 18 does, until its retention period ends.
    status, marked = sb.api("GET", f"projects/{project['id']}")
    assert (status, marked["name"], marked["archived"]) == (200, f"{name}-deletion_scheduled-{project['id']}", True)

    GitlabGit.delete_project(name, group["id"])
    assert [c.method for c in calls()] == ["GET"]
    assert printed(capsys) == [f"Project {name} doesn't exist"]


@pytest.mark.parametrize("status,body", [(204, ""), (403, '{"message":"403 Forbidden"}')])
def test_delete_project_refused(sb, group, project, status, body, capsys):
    sb.fault("DELETE", rf"^/api/v4/projects/{project['id']}$", status, body)
    GitlabGit.delete_project(project["name"], group["id"])
    assert printed(capsys) == ["Failed to delete the project. Response:  " + body]


def test_commit_file_in_a_folder(sb, calls, group, project, capsys):
    text = "Grüße ✓\nline two\n"
    GitlabGit.commit_file(project["name"], group["id"], "docs/guide.md", text)
    _, post = calls()
    assert (post.method, post.api_path) == ("POST", f"projects/{project['id']}/repository/files/docs%2Fguide.md")
    assert post.keys() == ["branch", "content", "commit_message", "encoding"]
    assert post.json() == {"branch": "master", "content": base64.b64encode(text.encode()).decode(),
                           "commit_message": "docs/guide.md", "encoding": "base64"}
    assert printed(capsys) == ["Successfully created docs/guide.md"]
    assert raw_file(sb, project["id"], "docs/guide.md") == text

    GitlabGit.commit_file(project["name"], group["id"], "docs/guide.md", "again")
    (line,) = printed(capsys)
    assert line.startswith("Failed to create docs/guide.md: {") and "already exists" in line


def test_commit_file_refused_and_without_project(sb, calls, group, project, capsys):
    body = '{"message":"You are not allowed to push into this branch"}'
    sb.fault("POST", r"/repository/files/", 403, body)
    GitlabGit.commit_file(project["name"], group["id"], "a.txt", "")
    assert printed(capsys) == ["Failed to create a.txt: " + body]
    calls()
    with pytest.raises(errors.ProjectNotFoundError):
        GitlabGit.commit_file(unique("nothing"), group["id"], "a.txt", "x")
    assert [c.method for c in calls()] == ["GET"]


BRANCH = "release/1.0"
BRANCH_PATH = "repository/branches/release%2F1.0"


def test_branch_with_a_slash_created_read_and_deleted(sb, calls, group, project, capsys):
    pid, name, gid = project["id"], project["name"], group["id"]
    master = sb.ok("GET", f"projects/{pid}/repository/branches/master")

    created = GitlabGit.create_branch(name, gid, BRANCH)
    assert created["name"] == BRANCH and created["commit"]["id"] == master["commit"]["id"]
    sent = calls()
    assert [(c.method, c.api_path) for c in sent] == [
        ("GET", "projects"), ("GET", f"projects/{pid}/{BRANCH_PATH}"), ("POST", f"projects/{pid}/repository/branches")]
    assert sent[-1].keys() == ["id", "branch", "ref"]
    assert sent[-1].json() == {"id": pid, "branch": BRANCH, "ref": "master"}

    assert GitlabGit.get_branch_info(name, gid, BRANCH)["name"] == BRANCH
    assert [(c.method, c.api_path, c.status) for c in calls()] == [
        ("GET", "projects", 200), ("GET", f"projects/{pid}/{BRANCH_PATH}", 200)]

    # It exists now: no second POST.
    assert GitlabGit.create_branch(name, gid, BRANCH, "other") is None
    assert [c.method for c in calls()] == ["GET", "GET"]

    GitlabGit.delete_branch(name, gid, BRANCH)
    sent = calls()
    assert [(c.method, c.api_path, c.status) for c in sent[1:]] == [
        ("GET", f"projects/{pid}/{BRANCH_PATH}", 200), ("DELETE", f"projects/{pid}/{BRANCH_PATH}", 204)]
    assert printed(capsys) == [f"Project {name}/{BRANCH} accepted deletion successfully."]
    assert GitlabGit.get_branch_info(name, gid, BRANCH) is None

    # Absent now: no DELETE, nothing printed.
    calls()
    GitlabGit.delete_branch(name, gid, BRANCH)
    assert [c.method for c in calls()] == ["GET", "GET"]
    assert printed(capsys) == []


def test_create_branch_from_a_ref_and_refused(sb, calls, group, project, capsys):
    pid, name, gid = project["id"], project["name"], group["id"]
    side = sb.commit(pid, "side", {"side.txt": "x"}, start_branch="master")
    assert GitlabGit.create_branch(name, gid, "from-side", "side")["commit"]["id"] == side["id"]
    assert calls()[-1].json()["ref"] == "side"

    sb.fault("POST", r"/repository/branches$", 400, '{"message":"Branch name is invalid"}')
    assert GitlabGit.create_branch(name, gid, "other") is None
    assert GitlabGit.create_branch(name, gid, "x", "no-such-ref") is None
    assert printed(capsys) == []


@pytest.mark.parametrize("status,body,success", [
    (202, "", True), (200, "{}", False), (500, '{"message":"500 Internal Server Error"}', False)])
def test_delete_branch_answers(sb, group, project, status, body, success, capsys):
    sb.ok("POST", f"projects/{project['id']}/repository/branches", {"branch": "gone", "ref": "master"})
    sb.fault("DELETE", r"/repository/branches/gone$", status, body)
    GitlabGit.delete_branch(project["name"], group["id"], "gone")
    expected = (f"Project {project['name']}/gone accepted deletion successfully." if success
                else "Failed to delete the project. Response:  " + body)
    assert printed(capsys) == [expected]
