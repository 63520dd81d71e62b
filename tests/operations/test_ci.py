"""CI/CD variables and pipelines against the sandbox."""

import datetime
import re
import urllib.parse

import pytest

from conftest import unique
from zorv_git_gitlab.git import GitlabGit


def printed(capsys):
    return capsys.readouterr().out.splitlines()


class Scope:
    """The project or the group flavour of the variable operations, called alike."""

    def __init__(self, kind, group, project):
        self.kind, self.group, self.project = kind, group["id"], project
        self.base = f"projects/{project['id']}/variables" if kind == "project" else f"groups/{self.group}/variables"

    def set(self, key, value, **flags):
        if self.kind == "project":
            return GitlabGit.set_project_variable(self.project["name"], key, value, self.group, **flags)
        return GitlabGit.set_group_variable(self.group, key, value, **flags)

    def get(self, key):
        if self.kind == "project":
            return GitlabGit.get_project_variable(self.project["name"], key, self.group)
        return GitlabGit.get_group_variable(self.group, key)

    def own(self, sent):
        """The requests about variables, without the project lookup."""
        return [c for c in sent if c.api_path.startswith(self.base)]


@pytest.fixture(params=["project", "group"])
def scope(request, sb):
    """A fresh group, and a project in it, seen as one of the two flavours."""
    group = sb.group()
    return Scope(request.param, group, sb.project(group["id"], readme=False))


CREATED = [  # kind, value, is_file, masked, variable_type
    ("group", "abc", False, False, "env_var"),
    ("group", "12345678", False, True, "env_var"),
    ("group", "has a space", False, False, "env_var"),
    ("project", "p@ss:word", False, True, "env_var"),
    ("project", "1234567", False, False, "env_var"),
    ("project", "with space inside", False, False, "env_var"),
    ("project", "a-file-of-some-length", True, False, "file"),
]


@pytest.mark.parametrize("kind,value,is_file,masked,variable_type", CREATED)
def test_set_variable_creates_it_masked_only_when_it_can_be(sb, calls, group, project, kind, value, is_file,
                                                            masked, variable_type, capsys):
    where = Scope(kind, group, project)
    key = unique("KEY").replace("-", "_")
    assert where.set(key, value, is_file=is_file) is None
    check, post = where.own(calls())
    assert (check.method, check.api_path, check.status) == ("GET", f"{where.base}/{key}", 404)
    assert (post.method, post.api_path, post.status) == ("POST", where.base, 201)
    assert post.keys() == ["key", "value", "variable_type", "protected", "masked"]
    assert post.json() == {"key": key, "value": value, "variable_type": variable_type, "protected": False,
                           "masked": masked}
    assert printed(capsys) == [f"Environment variable {key} set successfully."]
    record = where.get(key)
    assert (record["value"], record["masked"], record["variable_type"]) == (value, masked, variable_type)


def test_set_variable_overwrites_only_the_value_when_allowed(sb, calls, scope, capsys):
    scope.set("TOKEN", "first-value-1", is_file=True)
    printed(capsys)
    calls()
    scope.set("TOKEN", "second value")
    check, put = scope.own(calls())
    assert (check.method, check.status, put.method, put.api_path) == ("GET", 200, "PUT", f"{scope.base}/TOKEN")
    assert put.headers["content-type"].startswith("application/x-www-form-urlencoded")
    assert urllib.parse.parse_qsl(put.body) == [("value", "second value")]
    assert printed(capsys) == ["Environment variable TOKEN set successfully."]
    record = scope.get("TOKEN")
    assert (record["value"], record["variable_type"]) == ("second value", "file")

    scope.set("TOKEN", "third", overwrite=False)
    assert [c.method for c in scope.own(calls())] == ["GET", "GET"]  # the getter above, then the check
    assert printed(capsys) == ["Environment variable TOKEN exists and it is requested to not overwrite it"]
    assert scope.get("TOKEN")["value"] == "second value"


def test_set_variable_after_a_refused_existence_check_still_posts(sb, calls, scope, capsys):
    sb.fault("GET", r"/variables/CHECKED$", 403, '{"message":"403 Forbidden"}')
    scope.set("CHECKED", "value")
    assert [(c.method, c.status) for c in scope.own(calls())] == [("GET", 403), ("POST", 201)]
    assert printed(capsys) == ["Environment variable CHECKED set successfully."]


@pytest.mark.parametrize("status,body,ok", [(204, "", True), (300, "moved", False),
                                            (400, '{"message":{"value":["is invalid"]}}', False)])
def test_set_variable_write_answers(sb, scope, status, body, ok, capsys):
    sb.fault("POST", r"/variables$", status, body)
    scope.set("RELEASE_CHANNEL", "stable")
    assert printed(capsys) == ["Environment variable RELEASE_CHANNEL set successfully." if ok else
                               "Failed to set environment variable RELEASE_CHANNEL. Response: " + body]


def test_get_variable_missing_gives_none(sb, scope, capsys):
    assert scope.get("NOT_THERE") is None
    assert printed(capsys) == []


# --- pipelines ----------------------------------------------------------------------------------------

@pytest.fixture
def pipelines(sb, project):
    """A project with pipelines on master (one per commit once it holds CI configuration) and one on the
    branch dev."""
    pid = project["id"]
    sb.commit(pid, "master", {".gitlab-ci.yml": "test:\n  script: [\"true\"]\n"})
    sb.commit(pid, "master", {"one.txt": "1"})
    sb.commit(pid, "dev", {"two.txt": "2"}, start_branch="master")
    found = sb.ok("GET", f"projects/{pid}/pipelines?per_page=100")
    return project, found


def updated_after(query):
    value = dict(urllib.parse.parse_qsl(query))["updated_after"]
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{6})?Z", value), value
    return datetime.datetime.fromisoformat(value[:-1]).replace(tzinfo=datetime.timezone.utc)


def test_get_pipeline_status_filters_by_ref_and_window(sb, calls, group, pipelines, capsys):
    project, everything = pipelines
    on_master = [p["id"] for p in everything if p["ref"] == "master"]
    assert len(on_master) >= 2
    found = GitlabGit.get_pipeline_status(project["name"], group["id"])
    assert [p["id"] for p in found] == on_master
    get = calls()[-1]
    assert get.api_path == f"projects/{project['id']}/pipelines"
    assert [k for k, _ in urllib.parse.parse_qsl(get.query)] == ["ref", "updated_after", "per_page"]
    assert get.query.startswith("ref=master&updated_after=")
    day_ago = datetime.datetime.now(datetime.timezone.utc) - datetime.timedelta(minutes=1440)
    assert abs((updated_after(get.query) - day_ago).total_seconds()) < 30

    assert [p["ref"] for p in GitlabGit.get_pipeline_status(project["name"], group["id"], "dev", 60)] == ["dev"]
    assert GitlabGit.get_pipeline_status(project["name"], group["id"], "dev", -5) == []
    assert updated_after(calls()[-1].query) > datetime.datetime.now(datetime.timezone.utc)
    assert printed(capsys) == []


def test_get_pipeline_status_refused_or_without_project(sb, calls, group, project, capsys):
    body = '{"message":"404 Project Not Found"}'
    sb.fault("GET", r"/pipelines$", 404, body)
    assert GitlabGit.get_pipeline_status(project["name"], group["id"], "release/1.0") is None
    assert printed(capsys) == [f"Failed to get pipeline status {project['name']}/release/1.0. Response: {body}"]
    calls()
    missing = unique("missing")
    assert GitlabGit.get_pipeline_status(missing, group["id"]) is None
    assert printed(capsys) == [f"Project {missing} doesn't exist"]
    assert [c.api_path for c in calls()] == [f"groups/{group['id']}/projects"]


def test_single_pipeline_read_and_retried(sb, calls, pipelines, capsys):
    project, everything = pipelines
    pid, pipeline = project["id"], everything[0]["id"]
    sb.control("POST", f"projects/{pid}/pipelines/{pipeline}", {"status": "failed"})
    assert GitlabGit.get_single_pipeline_status(pid, pipeline)["status"] == "failed"
    assert GitlabGit.get_single_pipeline_status(str(pid), str(pipeline))["id"] == pipeline
    calls()

    retried = GitlabGit.retry_single_pipeline(pid, pipeline)
    assert retried["id"] == pipeline and retried["status"] not in GitlabGit.PIPELINE_END_STATUS
    (post,) = calls()
    assert (post.method, post.api_path, post.query, post.body, post.status) == (
        "POST", f"projects/{pid}/pipelines/{pipeline}/retry", "", "", 201)
    assert "content-type" not in post.headers
    assert GitlabGit.get_single_pipeline_status(pid, pipeline)["status"] == retried["status"]

    assert GitlabGit.get_single_pipeline_status(pid, 999999) is None
    assert GitlabGit.retry_single_pipeline(pid, 999999) is None
    assert [c.status for c in calls()] == [200, 404, 404]
    assert printed(capsys) == []
