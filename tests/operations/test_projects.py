"""The project lookup, projects, the single-file commit and branches against the sandbox."""

import base64

import pytest

from conftest import unique
from zorv_git_gitlab import errors
from zorv_git_gitlab.git import GitlabGit

LATER = [10, 120, 230]  # look-alikes made after each group's "app": it stands on page 1, 2, 3 of its group
LOOKUP_QUERY = "search=app&simple=True&with_shared=False&include_subgroups=False&per_page=100"


def printed(capsys):
    return capsys.readouterr().out.splitlines()


@pytest.fixture(scope="module")
def apps(server):
    """Projects whose names contain "app", seeded in bulk: three groups each hold one named exactly "app"
    followed by 10, 120 or 230 newer look-alikes, so that the group's answer (newest first, 100 a page)
    lists it on page 1, 2 or 3; another group holds an "app" of its own and 300 look-alikes.
    Returns [(group id, id of its "app", page)]."""
    elsewhere = server.group()["id"]
    server.sandbox.projects(elsewhere, ["app"] + [f"app-x-{i}" for i in range(300)])
    made = []
    for g, later in enumerate(LATER):
        group = server.group()["id"]
        ids = server.sandbox.projects(group, ["app"] + [f"app-{g}-{i}" for i in range(later)])
        made.append((group, ids[0], later // 100 + 1))
    return made


def search_page_of(server, group, project_id):
    """The page (of 100) on which the group's search for "app" lists the project."""
    page = 1
    while True:
        status, records = server.api("GET", f"groups/{group}/projects?search=app&simple=true&per_page=100&page={page}")
        assert status == 200 and records
        if any(r["id"] == project_id for r in records):
            return page
        page += 1


@pytest.mark.parametrize("g", range(len(LATER)))
def test_lookup_reads_the_groups_pages_until_the_project(sb, calls, apps, g, capsys):
    group, expected, page = apps[g]
    assert search_page_of(sb, group, expected) == page
    record = GitlabGit.get_project_info("app", group)
    assert record["id"] == expected and record["name"] == "app" and record["namespace"]["id"] == group
    sent = calls()
    assert {c.api_path for c in sent} == {f"groups/{group}/projects"}
    assert [c.query for c in sent] == [LOOKUP_QUERY] + [f"{LOOKUP_QUERY}&page={n}" for n in range(2, page + 1)]
    assert printed(capsys) == []


def test_lookup_asks_the_group_once_and_keeps_what_it_finds(sb, calls, capsys):
    """One request however crowded the instance; an archived project is found, a project shared into the
    group or one in a subgroup is not, and a group that does not exist gives None."""
    home, elsewhere = sb.group()["id"], sb.group()["id"]
    sub = sb.group(parent_id=home)["id"]
    old = sb.project(home, "old", readme=False)
    sb.ok("POST", f"projects/{old['id']}/archive")
    lib = sb.project(elsewhere, "lib", readme=False)
    sb.ok("POST", f"projects/{lib['id']}/share", {"group_id": home, "group_access": 30})
    tool = sb.project(sub, "tool", readme=False)
    sb.sandbox.projects(elsewhere, [f"old-{i}" for i in range(300)] + [f"tool-{i}" for i in range(300)])
    calls()
    found = GitlabGit.get_project_info("old", home)
    assert found["id"] == old["id"] and GitlabGit.get_project_info("lib", elsewhere)["id"] == lib["id"]
    assert GitlabGit.get_project_info("lib", home) is None
    assert GitlabGit.get_project_info("tool", home) is None
    assert GitlabGit.get_project_info("tool", sub)["id"] == tool["id"]
    assert GitlabGit.get_project_info("old", 999999) is None
    sent = calls()
    assert [c.api_path for c in sent] == [f"groups/{g}/projects" for g in (home, elsewhere, home, home, sub, 999999)]
    assert [c.status for c in sent] == [200] * 5 + [404]
    assert printed(capsys) == []


@pytest.mark.parametrize("name", ["App", "ap", "app-0"])
def test_lookup_wants_the_exact_name(sb, apps, name, capsys):
    assert GitlabGit.get_project_info(name, apps[0][0]) is None
    assert printed(capsys) == []


def test_lookup_refused_gives_none_and_a_text_group_id_is_its_number(sb, calls, apps, capsys):
    group = apps[0][0]
    assert GitlabGit.get_project_info("app", str(group))["namespace"]["id"] == group
    calls()
    sb.fault("GET", r"^/api/v4/groups/[0-9]+/projects$", 500, '{"message":"500 Internal Server Error"}')
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
    assert [(c.method, c.api_path) for c in calls()] == [
        ("GET", f"groups/{group['id']}/projects"), ("DELETE", f"projects/{project['id']}")]
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
    assert [(c.method, c.api_path) for c in sent] == [("GET", f"groups/{gid}/projects"),
                                                     ("GET", f"projects/{pid}/{BRANCH_PATH}"),
                                                     ("POST", f"projects/{pid}/repository/branches")]
    assert sent[-1].keys() == ["id", "branch", "ref"]
    assert sent[-1].json() == {"id": pid, "branch": BRANCH, "ref": "master"}

    assert GitlabGit.get_branch_info(name, gid, BRANCH)["name"] == BRANCH
    assert [(c.method, c.api_path, c.status) for c in calls()] == [
        ("GET", f"groups/{gid}/projects", 200), ("GET", f"projects/{pid}/{BRANCH_PATH}", 200)]

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
