"""A user's own pytest file: automation code run against the sandbox through the plugin's fixtures."""

import os
import subprocess

from zorv_git_gitlab.git import GitlabGit


def test_create_project_against_the_sandbox(gitlab_sandbox, gitlab_group):
    GitlabGit.create_project("app", gitlab_group["id"])

    # Which requests did the code send: the project, then README.md on master in it.
    create, readme = gitlab_sandbox.requests()
    assert str(create) == "POST /api/v4/projects"
    assert create.body["name"] == "app" and int(create.body["namespace_id"]) == gitlab_group["id"]
    assert readme.method == "POST" and readme.api_path.endswith("/repository/files/README.md")
    assert readme.body["branch"] == "master"
    assert {r.token for r in (create, readme)} == {gitlab_sandbox.token}
    status, project = gitlab_sandbox.api("GET", f"projects/{gitlab_group['full_path']}%2Fapp")
    assert status == 200 and project["namespace"]["id"] == gitlab_group["id"]


def test_faults_and_subprocesses(gitlab_sandbox, gitlab_group):
    # The next lookup is answered 500: the operation reports no project.
    gitlab_sandbox.fail("GET", r"/projects$", status=500)
    assert GitlabGit.get_project_info("app", gitlab_group["id"]) is None
    (lookup,) = gitlab_sandbox.requests()
    assert (lookup.api_path, lookup.status) == (f"groups/{gitlab_group['id']}/projects", 500)
    # Subprocesses see the sandbox too.
    host = subprocess.run(["sh", "-c", 'echo "$GITLAB_HOST $GIT_SSL_CAINFO"'], capture_output=True, text=True)
    assert host.stdout.split() == [gitlab_sandbox.host, gitlab_sandbox.env["GIT_SSL_CAINFO"]]
    assert os.environ["GITLAB_TOKEN"] == gitlab_sandbox.token
