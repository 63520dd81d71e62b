"""The sandbox server as a test kit: start a local GitLab stand-in, point code at it, seed it, and
check which requests the code sent (standard library only, and the library's rule for naming a
server's token variable).

    from zorv_git_gitlab.testing import Sandbox

    with Sandbox() as sandbox:                  # the installed zorv-gitlab-sandbox
        env = sandbox.environ()                 # GITLAB_HOST, GITLAB_TOKEN, CURL_CA_BUNDLE, GIT_SSL_CAINFO, ...
        group = sandbox.group()                 # a fresh group to work in
        sandbox.fail("GET", r"/projects$", status=503, times=2)
        ...                                     # run the code under test
        for request in sandbox.requests():      # what it sent: method, path, decoded query and body
            print(request, request.query, request.body)

With pytest the fixtures ``gitlab_sandbox`` (one sandbox for the session) and ``gitlab_group`` (a fresh
group per test, with GitlabGit and the environment pointed at the sandbox) come from the plugin
``zorv_git_gitlab.testing.plugin``, loaded by itself once the package is installed.
"""

import http.client
import json
import os
import re
import shutil
import ssl
import subprocess
import threading
import urllib.parse
import uuid
from pathlib import Path

__all__ = ["ENV_KEYS", "Reply", "Request", "Sandbox", "SandboxError", "find_sandbox_binary", "pytest_fixture"]

ENV_KEYS = ("GITLAB_HOST", "GITLAB_TOKEN", "CURL_CA_BUNDLE", "GIT_SSL_CAINFO")
PROGRAM = "zorv-gitlab-sandbox"
_API = "/api/v4/"


class SandboxError(RuntimeError):
    """A control request was refused, or the sandbox could not be found or started."""


def find_sandbox_binary():
    """The zorv-gitlab-sandbox to run: $ZORV_SANDBOX_BIN when set, else the one installed with this
    package by pip, else the first on PATH, else the one of the CMake installation prefix."""
    explicit = os.environ.get("ZORV_SANDBOX_BIN")
    if explicit:
        return explicit
    places = [Path(__file__).resolve().parent.parent / "bin" / PROGRAM]
    on_path = shutil.which(PROGRAM)
    if on_path:
        places.append(Path(on_path))
    try:
        from zorv_git_gitlab.testing._installed import BINDIR  # written by `cmake --install`
        places.append(Path(BINDIR) / PROGRAM)
    except ImportError:
        pass
    for place in places:
        if place.is_file() and os.access(place, os.X_OK):
            return str(place)
    raise SandboxError(f"{PROGRAM} not found (looked in {', '.join(map(str, places))} and PATH); "
                       "install the package or set ZORV_SANDBOX_BIN")


def _decode_form(text):
    """name -> value of a query string or form body; a name given more than once maps to a list."""
    decoded = {}
    for name, value in urllib.parse.parse_qsl(text or "", keep_blank_values=True):
        if name in decoded:
            previous = decoded[name]
            decoded[name] = previous + [value] if isinstance(previous, list) else [previous, value]
        else:
            decoded[name] = value
    return decoded


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


class Request:
    """One request the sandbox received (a journal entry), decoded for assertions.

    ``method``; ``path`` raw as sent (``/api/v4/projects/7/repository/branches/feature%2Fx``) and
    ``api_path`` the part below /api/v4/; ``query`` the decoded query string (a dict; a repeated name
    gives a list); ``body`` the decoded body (JSON value, form fields as a dict, else text; None when
    empty) and ``text`` the body as sent; ``headers`` (names in lower case); ``status`` as answered
    (None for a dropped connection). ``str(request)`` is ``"POST /api/v4/projects"``."""

    def __init__(self, entry):
        self.seq = entry.get("seq")
        self.method = entry["method"]
        self.path = entry["path"]
        self.raw_query = entry.get("query", "")
        self.query = _decode_form(self.raw_query)
        self.headers = {name.lower(): value for name, value in entry.get("headers", {}).items()}
        self.text = entry.get("body", "")
        self.status = entry.get("status")
        self.body = self._decode_body()

    def _decode_body(self):
        if not self.text:
            return None
        content_type = self.headers.get("content-type", "")
        if "application/x-www-form-urlencoded" in content_type:
            return _decode_form(self.text)
        try:
            return json.loads(self.text)
        except ValueError:
            return self.text

    @property
    def api_path(self):
        return self.path[len(_API):] if self.path.startswith(_API) else self.path

    @property
    def token(self):
        """The token the request carried (PRIVATE-TOKEN or bearer), or None."""
        bearer = self.headers.get("authorization", "")
        return self.headers.get("private-token") or (bearer[7:] if bearer.lower().startswith("bearer ") else None)

    def __str__(self):
        return f"{self.method} {self.path}" + (f"?{self.raw_query}" if self.raw_query else "")

    def __repr__(self):
        return f"<Request {self} -> {self.status}>"


class Sandbox:
    """A running zorv-gitlab-sandbox process and a small HTTPS client for it."""

    def __init__(self, binary=None, data_dir=None, token=None, port=None, threads=None, args=()):
        self.binary = str(binary) if binary else find_sandbox_binary()
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
        self._seeder = None

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
                self.process = None
                raise SandboxError(f"the sandbox ended before it was ready (exit status {code})")
        finally:
            timer.cancel()
        missing = [k for k in ENV_KEYS if k not in env]
        if missing:
            self.stop()
            raise SandboxError(f"the sandbox did not print {missing}")
        self.env = env
        self._context = ssl.create_default_context(cafile=env["CURL_CA_BUNDLE"])
        self._seeder = None
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
    def token_variable(self):
        """The variable that holds the token for this sandbox's host, which the credential helper of a
        clone of it reads (GITLAB_TOKEN_127_0_0_1_<port>; see the README's Configuration)."""
        from zorv_git_gitlab._core import token_variable  # the library's one rule for the name

        return token_variable(self.host)

    @property
    def base_url(self):
        return "https://" + self.host

    @property
    def api_url(self):
        return self.base_url + _API

    def environ(self, base=None):
        """A copy of `base` (default os.environ) with the sandbox's four variables set, and its token
        also under token_variable, so that git in a clone of this sandbox finds it even where
        GITLAB_HOST names another server."""
        merged = dict(os.environ if base is None else base)
        merged.update(self.env)
        merged[self.token_variable] = self.token
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
        target = _API + path
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
        reply = self.request(method, "/-/sandbox/" + path, body)
        if reply.status >= 400:
            raise SandboxError(f"{method} /-/sandbox/{path} answered {reply.status}: {reply.text}")
        return reply.json

    def journal(self):
        """Every request received since the journal was last cleared, as the sandbox records them."""
        return self.control("GET", "journal")

    def clear_journal(self):
        self.control("DELETE", "journal")

    def add_fault(self, rule):
        """Adds a fault rule (see docs/sandbox.md); its id."""
        return self.control("POST", "faults", rule)["id"]

    def clear_faults(self):
        self.control("DELETE", "faults")

    def create_user(self, username, name=None, admin=False):
        """The user record plus "token" (a personal access token of the user)."""
        return self.control("POST", "users", {"username": username, "name": name or username, "admin": admin})

    def settings(self, **changes):
        return self.control("POST", "settings", changes)

    def rate_limits(self, preset=None, *, reset=False, headers=None, now=..., **settings):
        """GitLab's throttles. `preset` "self-managed" or "gitlab.com" replaces the settings (and the
        informational headers) with that instance's; `reset` restores those the sandbox started with;
        `headers` sends RateLimit-* headers on ordinary answers or not; `now` (Unix seconds) stops the
        throttles' clock there, None lets it run again. Then `settings`, by GitLab's names
        (throttle_authenticated_api_enabled=True, notes_create_limit=5, ...), are set through PUT
        /application/settings by the seeding administrator. The counts restart. The application
        settings as they then are."""
        body = {}
        if preset is not None:
            body["preset"] = preset
        if reset:
            body["reset"] = True
        if headers is not None:
            body["headers"] = headers
        if now is not ...:
            body["now"] = now
        state = self.control("POST", "rate-limits", body)
        return self._seed("PUT", "application/settings", settings) if settings else state["settings"]

    def set_pipeline_status(self, project_id, pipeline_id, status):
        return self.control("POST", f"projects/{project_id}/pipelines/{pipeline_id}", {"status": status})

    # --- what the code under test sent -----------------------------------------------------------

    def requests(self, method=None, path=None, clear=False):
        """The requests received since the journal was last cleared, oldest first, as Request objects;
        the kit's own seeding calls (group(), project(), commit()) are left out. `method` keeps those of
        one method, `path` those whose raw path contains a match of that regex; `clear` empties the
        journal afterwards, so the next call sees only newer requests."""
        entries = self.journal()
        if clear:
            self.clear_journal()
        found = [Request(entry) for entry in entries]
        return [r for r in found
                if (self._seeder is None or r.token != self._seeder)
                and (method is None or r.method == method.upper())
                and (path is None or re.search(path, r.path))]

    # --- faults for the next requests ------------------------------------------------------------

    def fail(self, method, path, status=500, body=None, times=1, headers=None):
        """The next `times` requests of `method` ("*": any) whose raw path matches the regex `path`
        are answered `status` with `body` (text, or a JSON value) without reaching the route. `times`
        0: until clear_faults(). The rule's id."""
        rule = {"method": method, "path": path, "status": status, "times": times}
        if body is not None:
            rule["body"] = body
        if headers:
            rule["headers"] = headers
        return self.add_fault(rule)

    def delay(self, method, path, ms, times=1):
        """The next `times` matching requests wait `ms` milliseconds, then are answered normally."""
        return self.add_fault({"method": method, "path": path, "action": "delay", "delay_ms": ms, "times": times})

    def drop(self, method, path, times=1):
        """The next `times` matching requests get their connection closed without an answer."""
        return self.add_fault({"method": method, "path": path, "action": "drop", "times": times})

    # --- seeding --------------------------------------------------------------------------------

    def _seed(self, method, path, body):
        """An API call by a second administrator kept for seeding, so requests() can leave it out."""
        if self._seeder is None:
            self._seeder = self.create_user("seeder-" + uuid.uuid4().hex[:8], admin=True)["token"]
        status, answer = self.api(method, path, body, token=self._seeder)
        if not 200 <= status < 300:
            raise SandboxError(f"{method} {_API}{path} answered {status}: {answer}")
        return answer

    def group(self, name=None, parent_id=None):
        """A new group (a unique name unless given); its record."""
        name = name or "group-" + uuid.uuid4().hex[:10]
        body = {"name": name, "path": name}
        if parent_id is not None:
            body["parent_id"] = parent_id
        return self._seed("POST", "groups", body)

    def project(self, group_id, name=None, files=None):
        """A new project in the group; with `files` (path -> text) a first commit on master holding them."""
        record = self._seed("POST", "projects", {"name": name or "project-" + uuid.uuid4().hex[:10],
                                                 "namespace_id": group_id})
        if files:
            self.commit(record["id"], "master", files)
        return record

    def projects(self, group_id, names, **fields):
        """Many projects in the group at once, each made and checked as POST /projects makes it (a
        control route, so in no journal); their bare repositories are made on first use. `fields`:
        description, visibility, default_branch. Their ids, in the names' order."""
        return self.control("POST", "projects", {"namespace_id": group_id, "names": list(names), **fields})["ids"]

    def commit(self, project_id, branch, files, start_branch=None, action="create"):
        """A commit on `branch` with `files` (path -> text), each given `action` ("create", or "update"
        for files that exist); its record."""
        body = {"branch": branch, "commit_message": "change " + ", ".join(files),
                "actions": [{"action": action, "file_path": path, "content": text} for path, text in files.items()]}
        if start_branch:
            body["start_branch"] = start_branch
        return self._seed("POST", f"projects/{project_id}/repository/commits", body)


def pytest_fixture(name="sandbox", scope="session", **options):
    """A pytest fixture (default: session-scoped, named "sandbox") yielding a started Sandbox.
    Put `sandbox = pytest_fixture()` in a conftest.py for a sandbox of its own (the plugin's
    `gitlab_sandbox` is one shared by the whole session)."""
    import pytest

    @pytest.fixture(scope=scope, name=name)
    def _sandbox():
        with Sandbox(**options) as sandbox:
            yield sandbox

    return _sandbox
