"""The control routes and the server's own behaviour: the journal, every fault action, start-up
lines, saved state across restarts, and many concurrent clients."""

import concurrent.futures
import http.client
import os
import socket
import ssl
import subprocess
import time
import urllib.parse

import pytest

import zorv_sandbox
from conftest import ok, unique


# --- journal ------------------------------------------------------------------------------------

def test_the_journal_records_requests_as_sent(sb, project):
    full = urllib.parse.quote(project["path_with_namespace"], safe="")
    sb.clear_journal()
    sb.call("POST", f"projects/{full}/variables", query={"key": "K"}, form={"value": "a b&c"})
    sb.call("GET", "projects", token="", query={"search": "x y"})
    sb.journal()  # control routes are not journaled
    first, second = sb.journal()
    assert second["seq"] > first["seq"]
    assert (first["method"], first["path"], first["query"]) == ("POST", f"/api/v4/projects/{full}/variables", "key=K")
    assert "%2F" in first["path"]
    assert first["body"] == "value=a+b%26c" and first["status"] == 201
    headers = {k.lower(): v for k, v in first["headers"].items()}
    assert headers["private-token"] == sb.token
    assert headers["content-type"] == "application/x-www-form-urlencoded"
    assert (second["path"], second["query"], second["body"], second["status"]) == (
        "/api/v4/projects", "search=x+y", "", 401)
    sb.clear_journal()
    assert sb.journal() == []


# --- fault rules --------------------------------------------------------------------------------

def test_respond_faults_count_down_and_match_method_and_raw_path(sb, group):
    gid = group["id"]
    sb.clear_journal()
    sb.add_fault({"method": "GET", "path": rf"^/api/v4/groups/{gid}$", "times": 2, "status": 503,
                  "body": {"message": "busy"}, "headers": {"Retry-After": "7"}})
    for _ in range(2):
        reply = sb.call("GET", f"groups/{gid}")
        assert (reply.status, reply.json, reply.headers["retry-after"]) == (503, {"message": "busy"}, "7")
    assert sb.call("GET", f"groups/{gid}").status == 200
    # Another method or path is left alone; a rule may apply before authentication.
    sb.add_fault({"method": "DELETE", "path": "groups", "status": 418, "body": "teapot"})
    assert sb.call("GET", f"groups/{gid}").status == 200
    reply = sb.call("DELETE", f"groups/{gid}", token="")
    assert (reply.status, reply.text, reply.headers["content-type"]) == (418, "teapot", "text/plain")
    statuses = [e["status"] for e in sb.journal()]
    assert statuses == [503, 503, 200, 200, 418]


def test_forever_rules_last_until_cleared(sb):
    sb.add_fault({"path": "^/api/v4/user$", "times": 0, "status": 500})
    assert [sb.call("GET", "user").status for _ in range(3)] == [500, 500, 500]
    sb.clear_faults()
    assert sb.call("GET", "user").status == 200


def test_delay_slows_the_answer_then_routes_normally(sb):
    sb.add_fault({"path": "^/api/v4/user$", "action": "delay", "delay_ms": 400})
    start = time.monotonic()
    reply = sb.call("GET", "user")
    assert reply.status == 200 and reply.json["username"] == "root"
    assert time.monotonic() - start >= 0.4


def raw_exchange(sb, target, timeout=5):
    """Sends one GET on a fresh connection; returns the http.client response or raises."""
    host, _, port = sb.host.rpartition(":")
    conn = http.client.HTTPSConnection(host, int(port), context=ssl.create_default_context(
        cafile=sb.env["CURL_CA_BUNDLE"]), timeout=timeout)
    conn.request("GET", target, headers={"PRIVATE-TOKEN": sb.token})
    response = conn.getresponse()
    return conn, response


def test_drop_closes_the_connection_without_an_answer(sb):
    sb.add_fault({"path": "^/api/v4/user$", "action": "drop"})
    with pytest.raises((http.client.RemoteDisconnected, ConnectionError, ssl.SSLError)):
        raw_exchange(sb, "/api/v4/user")
    assert sb.call("GET", "user").status == 200
    assert [e["status"] for e in sb.journal()] == [None, 200]


def test_hang_never_answers_until_the_client_gives_up(sb):
    sb.add_fault({"path": "^/api/v4/user$", "action": "hang"})
    start = time.monotonic()
    with pytest.raises((TimeoutError, socket.timeout)):
        raw_exchange(sb, "/api/v4/user", timeout=1)
    assert 0.9 <= time.monotonic() - start < 5
    assert sb.call("GET", "user").status == 200


def test_truncate_announces_more_than_it_sends(sb):
    sb.add_fault({"path": "^/api/v4/user$", "action": "truncate", "body": '{"id": 1, "na'})
    conn, response = raw_exchange(sb, "/api/v4/user")
    assert response.status == 200 and int(response.getheader("Content-Length")) > len('{"id": 1, "na')
    with pytest.raises(http.client.IncompleteRead) as caught:
        response.read()
    assert caught.value.partial == b'{"id": 1, "na'
    conn.close()


def test_huge_streams_a_body_of_the_given_size(sb):
    size = 3 * 1024 * 1024 + 17
    sb.add_fault({"path": "^/api/v4/projects$", "action": "huge", "size": size})
    conn, response = raw_exchange(sb, "/api/v4/projects", timeout=30)
    body = response.read()
    conn.close()
    assert response.status == 200 and int(response.getheader("Content-Length")) == size
    assert len(body) == size and body[:1] == b'"' and body[-1:] == b'"' and set(body[1:-1]) == {ord("x")}


def test_malformed_rules_are_refused(sb):
    for rule in ({"path": "("}, {"action": "explode"}, {"times": -1}):
        with pytest.raises(zorv_sandbox.SandboxError, match="400"):
            sb.add_fault(rule)


def test_control_routes_need_no_token_and_reject_bad_bodies(sb):
    user = sb.create_user(unique("dev"), "Dev Eloper")
    assert (user["name"], user["state"], user["is_admin"]) == ("Dev Eloper", "active", False)
    assert user["token"].startswith("glpat-")
    with pytest.raises(zorv_sandbox.SandboxError, match="409"):
        sb.create_user(user["username"])
    admin = sb.create_user(unique("boss"), admin=True)
    assert sb.call("GET", "user", token=admin["token"]).json["is_admin"] is True

    settings = sb.settings(merge_check_delay_ms=250)
    assert settings["merge_check_delay_ms"] == 250
    with pytest.raises(zorv_sandbox.SandboxError, match="400"):
        sb.settings(merge_check_delay_ms=-1)
    sb.settings(merge_check_delay_ms=1000)
    assert sb.request("POST", "/-/sandbox/faults", "[1, 2]").status == 400


# --- start-up, restarts, concurrency ------------------------------------------------------------

def test_start_up_prints_exactly_the_environment(tmp_path):
    proc = subprocess.Popen([os.environ["ZORV_SANDBOX_BIN"], "--token", "glpat-fixed-admin"],
                            stdout=subprocess.PIPE, text=True)
    try:
        lines = [proc.stdout.readline().rstrip("\n") for _ in range(5)]
        keys = [line.partition("=")[0] for line in lines]
        assert keys == ["GITLAB_HOST", "GITLAB_TOKEN", "CURL_CA_BUNDLE", "GIT_SSL_CAINFO", "SANDBOX_READY"]
        env = dict(line.split("=", 1) for line in lines[:4])
        assert env["GITLAB_TOKEN"] == "glpat-fixed-admin"
        assert env["CURL_CA_BUNDLE"] == env["GIT_SSL_CAINFO"] and os.path.isfile(env["CURL_CA_BUNDLE"])
        port = int(env["GITLAB_HOST"].removeprefix("127.0.0.1:"))
        # The certificate names both 127.0.0.1 and localhost.
        context = ssl.create_default_context(cafile=env["CURL_CA_BUNDLE"])
        for name in ("127.0.0.1", "localhost"):
            with socket.create_connection(("127.0.0.1", port)) as raw:
                with context.wrap_socket(raw, server_hostname=name) as tls:
                    assert tls.version().startswith("TLS")
        data_dir = os.path.dirname(os.path.dirname(env["CURL_CA_BUNDLE"]))
        assert os.path.isdir(data_dir)
    finally:
        proc.terminate()
        assert proc.wait(10) == 0
    # A temporary data directory goes with the server.
    assert not os.path.exists(data_dir)


def test_exec_without_a_command_is_a_one_line_usage_error():
    done = subprocess.run([os.environ["ZORV_SANDBOX_BIN"], "--exec"], capture_output=True, text=True, timeout=30)
    assert (done.returncode, done.stdout) == (2, "")
    assert done.stderr.count("\n") == 1 and "--exec" in done.stderr


def test_state_and_repositories_survive_a_restart(tmp_path):
    with zorv_sandbox.Sandbox(data_dir=tmp_path) as first:
        token = first.token
        name = unique("kept")
        group = ok(first, "POST", "groups", {"name": name, "path": name})
        project = ok(first, "POST", "projects", {"name": "p", "namespace_id": group["id"]})
        ok(first, "POST", f"groups/{group['id']}/variables", {"key": "KEEP", "value": "v"})
        user = first.create_user(unique("dev"))
    with zorv_sandbox.Sandbox(data_dir=tmp_path) as second:
        assert second.token == token
        status, again = second.api("GET", f"projects/{project['id']}")
        assert status == 200 and again["path_with_namespace"] == project["path_with_namespace"]
        # Addresses follow the new port.
        assert again["http_url_to_repo"] == f"https://{second.host}/{project['path_with_namespace']}.git"
        assert again["web_url"].startswith(f"https://{second.host}/")
        assert second.api("GET", f"groups/{group['id']}/variables/KEEP")[1]["value"] == "v"
        assert second.call("GET", "user", token=user["token"]).json["id"] == user["id"]
        assert os.path.isdir(os.path.join(tmp_path, "repositories", project["path_with_namespace"] + ".git"))
        # Ids continue where they stopped.
        assert ok(second, "POST", "groups", {"name": "n", "path": unique("n")})["id"] > group["id"]


def test_sixteen_clients_with_kept_alive_connections(sb):
    host, _, port = sb.host.rpartition(":")
    context = ssl.create_default_context(cafile=sb.env["CURL_CA_BUNDLE"])

    def client(_):
        conn = http.client.HTTPSConnection(host, int(port), context=context, timeout=30)
        statuses = []
        for _ in range(25):
            conn.request("GET", "/api/v4/user", headers={"PRIVATE-TOKEN": sb.token})
            response = conn.getresponse()
            response.read()
            statuses.append(response.status)
        conn.close()
        return statuses

    start = time.monotonic()
    with concurrent.futures.ThreadPoolExecutor(32) as pool:
        results = list(pool.map(client, range(32)))
    assert all(s == [200] * 25 for s in results)
    assert time.monotonic() - start < 20


def test_the_first_matching_rule_wins_and_paths_are_searched(sb):
    sb.add_fault({"path": "user", "status": 502})            # unanchored: matches /api/v4/user
    sb.add_fault({"path": "^/api/v4/user$", "status": 503})
    assert [sb.call("GET", "user").status for _ in range(3)] == [502, 503, 200]
    sb.add_fault({"method": "*", "path": "^/api/v4/user$", "status": 504, "delay_ms": 300})
    start = time.monotonic()
    assert sb.call("GET", "user").status == 504 and time.monotonic() - start >= 0.3


def test_large_bodies_are_journaled_up_to_a_mebibyte(sb):
    body = "x" * (1024 * 1024 + 10)
    sb.call("POST", "user", body, headers={"Content-Type": "text/plain", "X-Twice": "a"})
    (entry,) = sb.journal()
    assert len(entry["body"]) == 1024 * 1024 and entry["body_truncated"] is True and entry["status"] == 404


def test_concurrent_writers_get_distinct_records(sb, group):
    def create(i):
        return sb.api("POST", "groups", {"name": f"w{i}", "path": f"w{i}", "parent_id": group["id"]})

    with concurrent.futures.ThreadPoolExecutor(16) as pool:
        results = list(pool.map(create, range(48)))
    assert {status for status, _ in results} == {201}
    assert len({g["id"] for _, g in results}) == 48
    listed = sb.call("GET", f"groups/{group['id']}/subgroups", query={"per_page": 100})
    assert listed.headers["x-total"] == "48"


def test_counters_continue_after_a_restart(tmp_path):
    with zorv_sandbox.Sandbox(data_dir=tmp_path) as first:
        name = unique("kept")
        group = ok(first, "POST", "groups", {"name": name, "path": name})
        project = ok(first, "POST", "projects", {"name": "p", "namespace_id": group["id"]})
        ok(first, "POST", f"projects/{project['id']}/issues", {"title": "one"})
        pipeline = first.control("POST", f"projects/{project['id']}/pipelines", {"ref": "master"})
        token = ok(first, "POST", f"groups/{group['id']}/access_tokens", {"name": "t", "scopes": ["api"]})["token"]
    with zorv_sandbox.Sandbox(data_dir=tmp_path, token="glpat-second-admin") as second:
        assert second.token == "glpat-second-admin"
        assert second.call("GET", "user", token=token).status == 200
        assert ok(second, "POST", f"projects/{project['id']}/issues", {"title": "two"})["iid"] == 2
        again = second.control("POST", f"projects/{project['id']}/pipelines", {"ref": "master"})
        assert (again["id"], again["iid"]) == (pipeline["id"] + 1, pipeline["iid"] + 1)
        assert again["before_sha"] == pipeline["sha"]
