"""The sandbox server for Python tests (standard library only).

    sandbox = Sandbox()            # binary from ZORV_SANDBOX_BIN
    sandbox.start()                # sandbox.env: GITLAB_HOST, GITLAB_TOKEN, CURL_CA_BUNDLE, GIT_SSL_CAINFO
    status, group = sandbox.api("POST", "groups", {"name": "g", "path": "g"})
    sandbox.add_fault({"method": "GET", "path": "^/api/v4/projects$", "status": 503})
    calls = sandbox.journal()
    sandbox.stop()

In a conftest.py:  sandbox = zorv_sandbox.pytest_fixture()   # a session-scoped fixture "sandbox"
"""

import http.client
import json
import os
import ssl
import subprocess
import threading
import urllib.parse

ENV_KEYS = ("GITLAB_HOST", "GITLAB_TOKEN", "CURL_CA_BUNDLE", "GIT_SSL_CAINFO")


class SandboxError(RuntimeError):
    """A control request was refused, or the sandbox could not be started."""


class Reply:
    """One answer: status, headers (names in lower case), raw body, and the decoded JSON (or None)."""

    def __init__(self, status, headers, body):
        self.status = status
        self.headers = {}
        for name, value in headers:
            name = name.lower()
            self.headers[name] = self.headers[name] + ", " + value if name in self.headers else value
        self.body = body
        try:
            self.json = json.loads(body) if body else None
        except ValueError:
            self.json = None

    @property
    def text(self):
        return self.body.decode("utf-8", "replace")

    def __repr__(self):
        return f"Reply({self.status}, {self.text[:200]!r})"


class Sandbox:
    """A running zorv-gitlab-sandbox process and a small HTTPS client for it."""

    def __init__(self, binary=None, data_dir=None, token=None, port=None, threads=None, args=()):
        self.binary = binary or os.environ.get("ZORV_SANDBOX_BIN")
        if not self.binary:
            raise SandboxError("ZORV_SANDBOX_BIN is not set")
        self.argv = [self.binary, "--watch-stdin"]
        if data_dir is not None:
            self.argv += ["--data-dir", str(data_dir)]
        if token is not None:
            self.argv += ["--token", token]
        if port is not None:
            self.argv += ["--port", str(port)]
        if threads is not None:
            self.argv += ["--threads", str(threads)]
        self.argv += list(args)
        self.process = None
        self.env = {}
        self._context = None

    # --- lifetime -------------------------------------------------------------------------------

    def start(self, timeout=30):
        """Starts the server and waits for its SANDBOX_READY line; returns self."""
        # stdin stays open while we run: the sandbox stops by itself when it reaches its end,
        # so it never outlives a test run that dies.
        self.process = subprocess.Popen(self.argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=None, text=True)
        timer = threading.Timer(timeout, self.process.kill)
        timer.start()
        try:
            env = {}
            for line in self.process.stdout:
                line = line.rstrip("\n")
                if line == "SANDBOX_READY":
                    break
                key, sep, value = line.partition("=")
                if sep:
                    env[key] = value
            else:
                code = self.process.wait()
                raise SandboxError(f"the sandbox ended before it was ready (exit status {code})")
        finally:
            timer.cancel()
        missing = [k for k in ENV_KEYS if k not in env]
        if missing:
            self.stop()
            raise SandboxError(f"the sandbox did not print {missing}")
        self.env = env
        self._context = ssl.create_default_context(cafile=env["CURL_CA_BUNDLE"])
        return self

    def stop(self, timeout=30):
        """Stops the server (SIGTERM through the end of its input) and waits for it."""
        if self.process is None:
            return
        process, self.process = self.process, None
        try:
            process.stdin.close()
        except OSError:
            pass
        try:
            process.wait(timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        process.stdout.close()

    def __enter__(self):
        return self.start() if self.process is None else self

    def __exit__(self, *exc):
        self.stop()

    @property
    def running(self):
        return self.process is not None and self.process.poll() is None

    # --- addresses ------------------------------------------------------------------------------

    @property
    def host(self):
        return self.env["GITLAB_HOST"]

    @property
    def token(self):
        return self.env["GITLAB_TOKEN"]

    @property
    def base_url(self):
        return "https://" + self.host

    @property
    def api_url(self):
        return self.base_url + "/api/v4/"

    def environ(self, base=None):
        """A copy of `base` (default os.environ) with the sandbox's four variables set."""
        merged = dict(os.environ if base is None else base)
        merged.update(self.env)
        return merged

    # --- requests -------------------------------------------------------------------------------

    def request(self, method, target, body=None, headers=None, timeout=120):
        """Sends `target` (path and query, exactly as given) and returns a Reply.
        `body`: bytes or str sent as is, or a dict/list sent as JSON."""
        headers = dict(headers or {})
        if isinstance(body, (dict, list)):
            body = json.dumps(body).encode()
            headers.setdefault("Content-Type", "application/json")
        elif isinstance(body, str):
            body = body.encode()
        host, _, port = self.host.rpartition(":")
        conn = http.client.HTTPSConnection(host, int(port), context=self._context, timeout=timeout)
        try:
            conn.putrequest(method, target, skip_accept_encoding=True)
            for name, value in headers.items():
                conn.putheader(name, value)
            if body is not None:
                conn.putheader("Content-Length", str(len(body)))
            conn.endheaders(body)
            response = conn.getresponse()
            return Reply(response.status, response.getheaders(), response.read())
        finally:
            conn.close()

    def call(self, method, path, body=None, token=None, query=None, form=None, headers=None):
        """A call below /api/v4/ returning the whole Reply. `body` goes as JSON, `form` form-encoded,
        `query` (a dict or list of pairs) into the query string; `token` "" sends none."""
        target = "/api/v4/" + path
        if query:
            target += ("&" if "?" in target else "?") + urllib.parse.urlencode(query)
        headers = dict(headers or {})
        secret = self.token if token is None else token
        if secret:
            headers["PRIVATE-TOKEN"] = secret
        if form is not None:
            headers["Content-Type"] = "application/x-www-form-urlencoded"
            body = urllib.parse.urlencode(form)
        return self.request(method, target, body, headers)

    def api(self, method, path, body=None, token=None, **kwargs):
        """(status, decoded body or text) of a call below /api/v4/, as the administrator by default."""
        reply = self.call(method, path, body, token=token, **kwargs)
        return reply.status, reply.json if reply.json is not None else reply.text

    # --- control routes -------------------------------------------------------------------------

    def control(self, method, path, body=None):
        """A control route below /-/sandbox/; the decoded answer. Raises SandboxError for >= 400."""
        reply = self.request(method, "/-/sandbox/" + path, body if body is not None else None)
        if reply.status >= 400:
            raise SandboxError(f"{method} /-/sandbox/{path} answered {reply.status}: {reply.text}")
        return reply.json

    def journal(self):
        return self.control("GET", "journal")

    def clear_journal(self):
        self.control("DELETE", "journal")

    def add_fault(self, rule):
        return self.control("POST", "faults", rule)["id"]

    def clear_faults(self):
        self.control("DELETE", "faults")

    def create_user(self, username, name=None, admin=False):
        """The user record plus "token" (a personal access token of the user)."""
        return self.control("POST", "users", {"username": username, "name": name or username, "admin": admin})

    def settings(self, **changes):
        return self.control("POST", "settings", changes)

    def set_pipeline_status(self, project_id, pipeline_id, status):
        return self.control("POST", f"projects/{project_id}/pipelines/{pipeline_id}", {"status": status})


def pytest_fixture(name="sandbox", scope="session", **options):
    """A pytest fixture (default: session-scoped, named "sandbox") yielding a started Sandbox.
    Put `sandbox = zorv_sandbox.pytest_fixture()` in a conftest.py."""
    import pytest

    @pytest.fixture(scope=scope, name=name)
    def _sandbox():
        with Sandbox(**options) as sandbox:
            yield sandbox

    return _sandbox
