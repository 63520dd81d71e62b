"""Helpers of the repository route tests."""

import base64
import os
import subprocess
import urllib.parse


def commit(sandbox, project, branch, actions, message="change", **extra):
    """POST repository/commits; returns the Reply."""
    body = {"branch": branch, "commit_message": message, "actions": actions}
    body.update(extra)
    return sandbox.call("POST", f"projects/{project['id']}/repository/commits", body)


def write_files(sandbox, project, branch, files, message="change", **extra):
    """One API commit creating or updating files ({path: text}); returns the commit record."""
    existing = set()
    for path in files:
        s, _ = sandbox.api("GET", f"projects/{project['id']}/repository/files/{quote(path)}", query={"ref": branch})
        if s == 200:
            existing.add(path)
    actions = [{"action": "update" if p in existing else "create", "file_path": p,
                "content": base64.b64encode(t.encode()).decode(), "encoding": "base64"}
               for p, t in files.items()]
    reply = commit(sandbox, project, branch, actions, message, **extra)
    assert reply.status == 201, reply
    return reply.json


def quote(value):
    """A value as one path segment (GitLab wants '/' as %2F)."""
    return urllib.parse.quote(value, safe="")


def git(*args, cwd=None, env=None, input=None):
    """Runs git and returns its stdout; fails the test with git's stderr."""
    run_env = dict(os.environ)
    run_env.update({"GIT_CONFIG_NOSYSTEM": "1", "GIT_CONFIG_GLOBAL": os.devnull, "GIT_TERMINAL_PROMPT": "0",
                    "GIT_AUTHOR_NAME": "Tester", "GIT_AUTHOR_EMAIL": "tester@example.com",
                    "GIT_COMMITTER_NAME": "Tester", "GIT_COMMITTER_EMAIL": "tester@example.com"})
    run_env.update(env or {})
    result = subprocess.run(["git", *args], cwd=cwd, env=run_env, input=input, capture_output=True, text=True)
    assert result.returncode == 0, f"git {' '.join(args)}: {result.stderr}"
    return result.stdout


def clone_url(sandbox, project, token=None):
    """The project's clone address with oauth2:<token> credentials in it."""
    url = project["http_url_to_repo"]
    scheme, rest = url.split("://", 1)
    return f"{scheme}://oauth2:{token or sandbox.token}@{rest}"
