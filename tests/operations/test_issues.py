"""Issues and notes against the sandbox: every field travels in the query string, the body stays empty."""

import urllib.parse

import pytest

from zorv_git_gitlab.git import GitlabGit


def printed(capsys):
    return capsys.readouterr().out.splitlines()


def fields(call):
    assert call.body == "" and "content-type" not in call.headers
    return urllib.parse.parse_qsl(call.query, keep_blank_values=True)


@pytest.mark.parametrize("labels,sent,stored", [
    (["alpha", "beta"], "alpha,beta", ["alpha", "beta"]),
    (None, "", []),
    ([], "", []),
])
def test_create_issue(sb, calls, group, project, labels, sent, stored, capsys):
    issue = GitlabGit.create_issue(project["name"], group["id"], "Crash & burn", "incident", labels)
    assert issue["title"] == "Crash & burn" and issue["iid"] >= 1 and sorted(issue["labels"]) == stored
    post = calls()[-1]
    assert (post.method, post.api_path, post.status) == ("POST", f"projects/{project['id']}/issues", 201)
    assert fields(post) == [("title", "Crash & burn"), ("issue_type", "incident"), ("labels", sent)]
    if labels:
        assert "labels=alpha%2Cbeta" in post.query
    assert printed(capsys) == []


def test_close_issue_and_add_a_note(sb, calls, group, project, capsys):
    pid, name = project["id"], project["name"]
    iid = sb.ok("POST", f"projects/{pid}/issues", {"title": "t"})["iid"]
    closed = GitlabGit.close_issue(name, group["id"], iid)
    assert (closed["iid"], closed["state"]) == (iid, "closed")
    put = calls()[-1]
    assert (put.method, put.api_path) == ("PUT", f"projects/{pid}/issues/{iid}")
    assert fields(put) == [("state_event", "close")]

    note = GitlabGit.create_note(name, group["id"], iid, "Fixed in v1.2, see #3")
    assert note["body"] == "Fixed in v1.2, see #3"
    post = calls()[-1]
    assert (post.method, post.api_path, post.status) == ("POST", f"projects/{pid}/issues/{iid}/notes", 201)
    assert fields(post) == [("body", "Fixed in v1.2, see #3")]
    assert printed(capsys) == []

    # An issue that does not exist: the server's 404, in the failure lines.
    assert GitlabGit.close_issue(name, group["id"], 9999) is None
    assert GitlabGit.create_note(name, group["id"], 9999, "x") is None
    close_line, note_line = printed(capsys)
    assert close_line.startswith(f"Failed to close issue {name}/9999. Response: {{") and "404" in close_line
    assert note_line.startswith(f"Failed to create note {name}. Response: {{") and "404" in note_line


@pytest.mark.parametrize("operation,args,target,status,line", [
    ("create_issue", ("t", "issue"), r"/issues$", 400, "Failed to create issue {name}. Response: "),
    ("create_issue", ("t", "issue"), r"/issues$", 200, "Failed to create issue {name}. Response: "),
    ("close_issue", (7,), r"/issues/7$", 403, "Failed to close issue {name}/7. Response: "),
    ("close_issue", (7,), r"/issues/7$", 201, "Failed to close issue {name}/7. Response: "),
    ("create_note", (7, "n"), r"/notes$", 200, "Failed to create note {name}. Response: "),
    ("create_note", (7, "n"), r"/notes$", 422, "Failed to create note {name}. Response: "),
])
def test_issue_operations_refused(sb, group, project, operation, args, target, status, line, capsys):
    body = '{"message":"refused"}'
    sb.fault("*", target, status, body)
    assert getattr(GitlabGit, operation)(project["name"], group["id"], *args) is None
    assert printed(capsys) == [line.format(name=project["name"]) + body]

