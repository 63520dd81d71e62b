"""GitLab's throttles in the sandbox: the application settings that configure them, Rack::Attack's
authenticated API throttle and the application limiter's endpoint limits, each answering as GitLab does
(lib/gitlab/rack_attack.rb, lib/api/helpers/rate_limiter.rb). The throttles' clock is stopped, so that
windows and Retry-After are exact."""

import email.utils

import pytest

import zorv_sandbox
from conftest import ok, unique

HOUR = 3600
NOW = 1_700_000_000 // HOUR * HOUR + 100  # 100 s into an hour-long window
JSON_429 = {"message": {"error": "This endpoint has been requested too many times. Try again later."}}


def user(sb, admin=False):
    return sb.create_user(unique("rl-user"), admin=admin)["token"]


def test_application_settings_are_gitlabs_and_for_administrators_only(sb):
    defaults = ok(sb, "GET", "application/settings")
    assert defaults == {
        "throttle_authenticated_api_enabled": False, "throttle_authenticated_api_requests_per_period": 7200,
        "throttle_authenticated_api_period_in_seconds": 3600, "projects_api_limit": 0, "project_api_limit": 0,
        "group_projects_api_limit": 0, "groups_api_limit": 0, "group_api_limit": 0, "notes_create_limit": 300,
        "issues_create_limit": 0, "rate_limiting_response_text": None}
    plain = user(sb)
    assert sb.api("GET", "application/settings", token=plain) == (403, {"message": "403 Forbidden"})
    assert sb.api("PUT", "application/settings", {"notes_create_limit": 1}, token=plain)[0] == 403

    # Form fields and JSON alike; other parameters are ignored.
    changed = sb.call("PUT", "application/settings", form={"throttle_authenticated_api_enabled": "true",
                                                           "notes_create_limit": "5", "unknown": "x"}).json
    assert changed["throttle_authenticated_api_enabled"] is True and changed["notes_create_limit"] == 5
    assert "unknown" not in changed

    # Refusals change nothing: a value out of range, of the wrong type, or no setting named at all.
    assert sb.api("PUT", "application/settings", {"throttle_authenticated_api_period_in_seconds": 0,
                                                  "groups_api_limit": -1, "projects_api_limit": 9}) == (400, {
        "message": {"throttle_authenticated_api_period_in_seconds": ["must be greater than 0"],
                    "groups_api_limit": ["must be greater than or equal to 0"]}})
    assert sb.api("PUT", "application/settings", {"notes_create_limit": "many"}) == (
        400, {"error": "notes_create_limit is invalid"})
    status, answer = sb.api("PUT", "application/settings", {"unknown": 1})
    assert status == 400 and answer["error"].endswith(" are missing, at least one parameter must be provided")
    assert ok(sb, "GET", "application/settings") == {**defaults, "throttle_authenticated_api_enabled": True,
                                                      "notes_create_limit": 5}


def test_the_authenticated_api_throttle_answers_before_anything_as_rack_attack_does(sb, project):
    sb.rate_limits(now=NOW, throttle_authenticated_api_enabled=True,
                   throttle_authenticated_api_requests_per_period=2, throttle_authenticated_api_period_in_seconds=HOUR)
    token, other = user(sb), user(sb)
    sb.clear_journal()
    assert [sb.call("GET", "user", token=token).status for _ in range(2)] == [200, 200]
    reply = sb.call("GET", "projects/999999", token=token)  # refused before routing: never a 404
    reset = NOW - 100 + HOUR
    assert (reply.status, reply.headers["content-type"], reply.text) == (429, "text/plain", "Retry later\n")
    assert {name: reply.headers[name.lower()] for name in (
        "RateLimit-Name", "RateLimit-Limit", "RateLimit-Observed", "RateLimit-Remaining", "RateLimit-Reset",
        "RateLimit-ResetTime", "Retry-After")} == {
        "RateLimit-Name": "throttle_authenticated_api", "RateLimit-Limit": "1",  # per minute, rounded up
        "RateLimit-Observed": "3", "RateLimit-Remaining": "0", "RateLimit-Reset": str(reset),
        "RateLimit-ResetTime": email.utils.formatdate(reset, usegmt=True), "Retry-After": str(HOUR - 100)}
    # A write is refused the same way, and nothing is done: counts are per user.
    assert sb.call("POST", f"projects/{project['id']}/issues", token=token, query={"title": "t"}).status == 429
    assert ok(sb, "GET", f"projects/{project['id']}/issues") == []
    assert sb.call("GET", "user", token=other).status == 200
    # Requests without a valid token and the control routes are not counted here.
    assert sb.call("GET", "user", token="").status == 401
    sb.journal()
    assert [e["status"] for e in sb.journal()] == [200, 200, 429, 429, 200, 200, 401]

    sb.api("PUT", "application/settings", {"rate_limiting_response_text": "Slow down"},
           token=sb.create_user(unique("rl-admin"), admin=True)["token"])
    assert sb.call("GET", "user", token=token).text == "Slow down\n"


def test_ratelimit_headers_on_ordinary_answers_only_when_asked(sb):
    sb.rate_limits(now=NOW, throttle_authenticated_api_enabled=True,
                   throttle_authenticated_api_requests_per_period=120, throttle_authenticated_api_period_in_seconds=60)
    token = user(sb)
    assert "ratelimit-remaining" not in sb.call("GET", "user", token=token).headers
    sb.rate_limits(headers=True, now=NOW)
    answers = [sb.call("GET", "user", token=token) for _ in range(2)]
    assert [(a.status, a.headers["ratelimit-limit"], a.headers["ratelimit-remaining"], a.headers["ratelimit-reset"])
            for a in answers] == [(200, "120", "119", str(NOW - NOW % 60 + 60)), (200, "120", "118", str(NOW - NOW % 60 + 60))]
    assert "retry-after" not in answers[0].headers


def test_endpoint_limits_answer_json_before_the_handler_runs(sb, group, project):
    sb.rate_limits(now=NOW, headers=True, throttle_authenticated_api_enabled=True, notes_create_limit=1,
                   issues_create_limit=1, projects_api_limit=1, project_api_limit=2)
    token = user(sb)
    pid = project["id"]
    other = ok(sb, "POST", "projects", {"name": unique("prj"), "namespace_id": group["id"]})
    iid = sb.call("POST", f"projects/{pid}/issues", token=token, query={"title": "a"}).json["iid"]
    # Issue creation counts per user and project.
    refused = sb.call("POST", f"projects/{pid}/issues", token=token, query={"title": "b"})
    assert (refused.status, refused.json) == (429, JSON_429)
    assert "ratelimit-remaining" not in refused.headers  # the limiter's answers carry no RateLimit-* headers
    assert sb.call("POST", f"projects/{other['id']}/issues", token=token, query={"title": "c"}).status == 201
    assert [i["title"] for i in ok(sb, "GET", f"projects/{pid}/issues")] == ["a"]
    # Note creation counts per user.
    assert sb.call("POST", f"projects/{pid}/issues/{iid}/notes", token=token, query={"body": "n"}).status == 201
    assert sb.call("POST", f"projects/{pid}/issues/{iid}/notes", token=token, query={"body": "m"}).json == JSON_429
    assert [n["body"] for n in ok(sb, "GET", f"projects/{pid}/issues/{iid}/notes")] == ["n"]
    # The Projects API reads, each by its route.
    assert sb.call("GET", "projects", token=token, query={"search": "x"}).status == 200
    assert sb.call("GET", "projects", token=token, query={"search": "y"}).status == 429
    assert [sb.call("GET", f"projects/{pid}", token=token).status for _ in range(3)] == [200, 200, 429]
    assert sb.call("GET", f"projects/{pid}/issues", token=token).status == 200


def test_the_gitlab_com_preset(sb):
    with zorv_sandbox.Sandbox(args=["--rate-limits", "gitlab.com"]) as com:
        settings = ok(com, "GET", "application/settings")
        assert {k: settings[k] for k in ("throttle_authenticated_api_enabled",
                                         "throttle_authenticated_api_requests_per_period",
                                         "throttle_authenticated_api_period_in_seconds", "projects_api_limit",
                                         "project_api_limit", "group_projects_api_limit", "groups_api_limit",
                                         "group_api_limit", "notes_create_limit", "issues_create_limit")} == {
            "throttle_authenticated_api_enabled": True, "throttle_authenticated_api_requests_per_period": 2000,
            "throttle_authenticated_api_period_in_seconds": 60, "projects_api_limit": 2000, "project_api_limit": 400,
            "group_projects_api_limit": 600, "groups_api_limit": 50, "group_api_limit": 400,
            "notes_create_limit": 60, "issues_create_limit": 200}
        answer = com.call("GET", "user")
        assert (answer.headers["ratelimit-name"], answer.headers["ratelimit-limit"]) == (
            "throttle_authenticated_api", "2000")
    assert sb.rate_limits(preset="gitlab.com") == settings
    with pytest.raises(zorv_sandbox.SandboxError):
        sb.rate_limits(preset="bitbucket")
