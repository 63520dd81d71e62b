"""Shared fixtures of the REST operation tests: one sandbox for the whole run, GitlabGit pointed at it,
the journal of requests one call sent, fault rules, and seeding of groups, projects and commits."""

import base64
import itertools
import json
import os

import pytest

import zorv_sandbox
from zorv_git_gitlab.git import GitlabGit

API = "/api/v4/"
_names = itertools.count(1)


def unique(prefix):
    return f"{prefix}-{next(_names)}"


class Call:
    """One journaled request, with the parts the tests compare."""

    def __init__(self, entry):
        self.method = entry["method"]
        self.path = entry["path"]
        self.query = entry["query"]
        self.body = entry["body"]
        self.status = entry["status"]
        self.headers = {k.lower(): v for k, v in entry["headers"].items()}

    @property
    def api_path(self):
        return self.path[len(API):] if self.path.startswith(API) else self.path

    def json(self):
        return json.loads(self.body)

    def keys(self):
        return list(self.json())

    def __repr__(self):
        return f"{self.method} {self.path}?{self.query} -> {self.status}"


class Server:
    """The sandbox as the tests use it: API calls for setting up and checking, journal, fault rules,
    settings. The tests' own API calls use a second administrator's token, so that the journal tells
    them apart from the library's requests, which carry GITLAB_TOKEN."""

    def __init__(self, sandbox):
        self.sandbox = sandbox
        self.env = sandbox.env
        self.token = self.env["GITLAB_TOKEN"]
        self.seeder = sandbox.create_user("seeder", admin=True)["token"]

    def api(self, method, path, body=None, token=None):
        """(status, decoded body) of an API call below /api/v4/, as the seeding administrator by default."""
        return self.sandbox.api(method, path, body, token=token or self.seeder)

    def ok(self, method, path, body=None):
        status, answer = self.api(method, path, body)
        assert 200 <= status < 300, (method, path, status, answer)
        return answer

    def journal(self):
        """The requests received since the journal was last cleared, except the tests' own."""
        calls = [Call(e) for e in self.sandbox.journal()]
        return [c for c in calls if c.headers.get("private-token") != self.seeder]

    def clear_journal(self):
        self.sandbox.clear_journal()

    def fault(self, method, path, status, body="", times=1):
        """The next `times` requests `method` whose raw path matches the regex `path` answer `status`."""
        self.sandbox.add_fault({"method": method, "path": path, "status": status, "body": body, "times": times})

    def clear_faults(self):
        self.sandbox.clear_faults()

    def control(self, method, path, body=None):
        return self.sandbox.control(method, path, body)

    # --- seeding, straight through the API -------------------------------------------------------

    def group(self, parent_id=None, name=None):
        name = name or unique("grp")
        body = {"name": name, "path": name}
        if parent_id is not None:
            body["parent_id"] = parent_id
        return self.ok("POST", "groups", body)

    def project(self, group_id, name=None, readme=True):
        record = self.ok("POST", "projects", {"name": name or unique("prj"), "namespace_id": group_id})
        if readme:
            self.commit(record["id"], "master", {"README.md": "Hello World"})
        return record

    def commit(self, project_id, branch, files, start_branch=None, action="create"):
        """One commit on `branch` creating (or updating) `files` (path -> text); its record."""
        body = {"branch": branch, "commit_message": "change " + ", ".join(files),
                "actions": [{"action": action, "file_path": path, "encoding": "base64",
                             "content": base64.b64encode(text.encode()).decode()}
                            for path, text in files.items()]}
        if start_branch:
            body["start_branch"] = start_branch
        return self.ok("POST", f"projects/{project_id}/repository/commits", body)


sandbox = zorv_sandbox.pytest_fixture()


@pytest.fixture(scope="session")
def server(sandbox):
    """The sandbox, with GitlabGit and the CA bundle pointed at it for the whole run."""
    saved_bundle = os.environ.get("CURL_CA_BUNDLE")
    saved = GitlabGit.api_url, GitlabGit.gitlab_token
    os.environ["CURL_CA_BUNDLE"] = sandbox.env["CURL_CA_BUNDLE"]
    GitlabGit.api_url = sandbox.api_url
    GitlabGit.gitlab_token = sandbox.token
    try:
        yield Server(sandbox)
    finally:
        GitlabGit.api_url, GitlabGit.gitlab_token = saved
        if saved_bundle is None:
            os.environ.pop("CURL_CA_BUNDLE", None)
        else:
            os.environ["CURL_CA_BUNDLE"] = saved_bundle


@pytest.fixture
def sb(server):
    """The sandbox with an empty journal and no fault rules left over from an earlier test."""
    server.clear_faults()
    server.clear_journal()
    yield server
    server.clear_faults()


@pytest.fixture
def calls(sb):
    """calls() -> the library's requests since the last calls() (or since the test began); each must
    carry GITLAB_TOKEN as PRIVATE-TOKEN."""

    def take():
        entries = sb.journal()
        sb.clear_journal()
        for call in entries:
            assert call.headers.get("private-token") == sb.token, call
        return entries

    return take


@pytest.fixture(scope="session")
def group(server):
    """A group shared by the tests that only need somewhere to put their own projects."""
    return server.group()


@pytest.fixture
def project(server, group):
    """A fresh project holding README.md on master."""
    return server.project(group["id"])
