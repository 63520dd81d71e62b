"""Rate limits through the Python face: a lookup, an existence test or any other request that GitLab
keeps answering 429 raises RateLimitedError, never a miss or a failure line; a throttled write goes out
again and is applied once."""

import pytest

from zorv_git_gitlab.errors import RateLimitedError
from zorv_git_gitlab.git import GitlabGit

HOUR = 3600
NOW = 1_700_000_000 // HOUR * HOUR + 100  # the throttles' clock, stopped 100 s into an hour-long window


@pytest.fixture
def spent(sb):
    """The library user's budget of the authenticated API throttle spent for the next 3500 s."""
    sb.sandbox.rate_limits(now=NOW, throttle_authenticated_api_enabled=True,
                           throttle_authenticated_api_requests_per_period=1,
                           throttle_authenticated_api_period_in_seconds=HOUR)
    assert sb.sandbox.call("GET", "user").status == 200  # as GITLAB_TOKEN: the one request allowed
    sb.clear_journal()
    yield
    sb.sandbox.rate_limits(reset=True)


def test_a_throttled_lookup_raises_and_never_reads_as_missing(sb, group, project, spent, capsys):
    name, gid = project["name"], group["id"]
    for call in (lambda: GitlabGit.get_project_info(name, gid),
                 lambda: GitlabGit.delete_project(name, gid),      # would print "Project ... doesn't exist"
                 lambda: GitlabGit.create_note(name, gid, 1, "n"),  # would raise ProjectNotFoundError
                 lambda: GitlabGit.get_sub_group_id("team", gid, raise_error=True),
                 lambda: GitlabGit.set_group_variable(gid, "KEY", "value")):  # its existence test
        with pytest.raises(RateLimitedError) as raised:
            call()
        error = raised.value
        assert isinstance(error, ConnectionError)  # what callers of a transport fault catch
        assert (error.retry_after, error.limit_name) == (HOUR - 100, "throttle_authenticated_api")
        assert "429 Too Many Requests" in str(error) and "3500 s" in str(error)
    assert capsys.readouterr().out == ""
    # 3500 s is more than retry_total_time allows: one try each, no wait.
    assert [c.status for c in sb.journal()] == [429] * 5


def test_a_throttled_write_goes_out_again_and_is_applied_once(sb, group, project):
    issue = GitlabGit.create_issue(project["name"], group["id"], "throttled", "issue")
    notes = rf"/issues/{issue['iid']}/notes$"
    sb.sandbox.fail("POST", notes, 429, "Retry later\n", headers={"Retry-After": "0"})
    sb.clear_journal()
    note = GitlabGit.create_note(project["name"], group["id"], issue["iid"], "once")
    assert note["body"] == "once"
    assert [c.status for c in sb.journal() if c.method == "POST"] == [429, 201]
    pid = project["id"]
    assert [n["body"] for n in sb.ok("GET", f"projects/{pid}/issues/{issue['iid']}/notes")] == ["once"]
