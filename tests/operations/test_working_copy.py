"""clone_project and commit_project through the Python module: a round trip of every kind of change,
the refusals, the caller's own git in the clone, the token kept out of everything printed, raised or
stored, and publishing that survives being killed at any step."""

import base64
import os
import re
import signal
import stat
import subprocess
import sys
import textwrap
import time

import pytest

import killing_git
import zorv_sandbox
from zorv_git_gitlab import errors
from zorv_git_gitlab.git import GitlabGit


def git(cwd, *args):
    return subprocess.run(["git", *args], cwd=cwd, check=True, capture_output=True, text=True).stdout


def api_calls(sb):
    """The library's REST requests since the journal was last cleared (git's own are left out)."""
    return [c for c in sb.journal() if c.path.startswith("/api/v4/")]


def tree(cwd, ref):
    """Paths with their modes and blob ids at `ref`: what a commit holds, modes included."""
    return git(cwd, "ls-tree", "-r", ref)


@pytest.fixture
def wc(sb, group, tmp_path, monkeypatch):
    """A fresh project (README.md, a script and a doomed file) cloned into tmp_path/wc."""
    monkeypatch.setenv("GIT_SSL_CAINFO", sb.env["CURL_CA_BUNDLE"])
    monkeypatch.setenv("GITLAB_HOST", sb.env["GITLAB_HOST"])  # GITLAB_TOKEN is the token of this server
    monkeypatch.setenv("GITLAB_TOKEN", sb.token)
    project = sb.project(group["id"])
    sb.commit(project["id"], "master", {"run.sh": "echo hi\n", "old.txt": "old\n", "docs/guide.md": "v1\n"})
    target = tmp_path / "wc"
    repo = GitlabGit.clone_project(str(target), project["name"], group["id"], branch="master")
    assert getattr(repo, "working_tree_dir", repo) == str(target)  # GitPython's Repo, else the directory
    return project, target


def test_every_kind_of_change_reaches_the_server(sb, group, wc, tmp_path, capsys):
    project, target = wc
    (target / "docs" / "guide.md").write_text("v2\n")
    (target / "old.txt").unlink()
    (target / "README.md").rename(target / "READ.md")
    (target / "new.bin").write_bytes(bytes(range(256)) * 4)
    (target / "empty").write_bytes(b"")
    (target / "run.sh").chmod(0o755)
    capsys.readouterr()

    sb.clear_journal()
    GitlabGit.commit_project(str(target), "many changes", project["name"], "master", group["id"],
                             author_name="Ann", author_email="ann@example.com")
    out = capsys.readouterr().out.splitlines()
    assert out == [git(target, "rev-list", "--count", "HEAD^1").strip(), "Successfully committed"]
    # The fetch after the commit lists the refs and asks for no objects: the server's commit was
    # written locally from the answer.
    journal = sb.journal()
    committed = next(i for i, c in enumerate(journal) if c.method == "POST" and c.path.endswith("/repository/commits"))
    refetch = [c for c in journal[committed + 1:] if c.path.endswith("/git-upload-pack")]
    assert len(refetch) <= 1 and not any("command=fetch" in c.body or "want " in c.body for c in refetch)
    assert git(target, "rev-parse", "HEAD^2") == git(target, "rev-parse", "origin/master")

    fresh = tmp_path / "fresh"
    GitlabGit.clone_project(fresh, project["name"], group["id"])  # an os.PathLike, as the stubs allow
    assert tree(fresh, "HEAD") == tree(target, "HEAD")
    assert "100755 blob" in [line for line in tree(fresh, "HEAD").splitlines() if line.endswith("run.sh")][0]
    assert git(fresh, "log", "-1", "--format=%an <%ae>").strip() == "Ann <ann@example.com>"
    # The token is nowhere in the working copies.
    for copy in (target, fresh):
        assert sb.token not in (copy / ".git" / "config").read_text()


def test_files_whose_bytes_differ_from_what_git_stored_are_published_as_stored(sb, group, wc, tmp_path):
    # Line-ending conversion stores "a\nb\n" for the working tree's "a\r\nb\r\n"; the other file is
    # sent from the working tree as it is.
    project, target = wc
    git(target, "config", "core.autocrlf", "true")
    (target / "crlf.txt").write_bytes(b"a\r\nb\r\n")
    (target / "plain.txt").write_bytes(b"plain\n")
    GitlabGit.commit_project(str(target), "line endings", project["name"], "master", group["id"])
    fresh = tmp_path / "fresh"
    GitlabGit.clone_project(str(fresh), project["name"], group["id"])
    assert tree(fresh, "HEAD") == tree(target, "HEAD")
    assert git(fresh, "cat-file", "blob", "HEAD:crlf.txt") == "a\nb\n"


def test_nothing_to_commit_is_silent(sb, wc, capsys):
    project, target = wc
    head = git(target, "rev-parse", "HEAD")
    sb.clear_journal()
    capsys.readouterr()
    GitlabGit.commit_project(str(target), "nothing", project["name"], "master", project["namespace"]["id"])
    assert capsys.readouterr().out == ""
    assert git(target, "rev-parse", "HEAD") == head
    assert api_calls(sb) == []


def test_refused_commit_prints_both_lines_and_keeps_the_local_commit(sb, wc, capsys):
    project, target = wc
    (target / "docs" / "guide.md").write_text("changed\n")
    (target / "old.txt").unlink()
    sb.fault("POST", r"^/api/v4/projects/\d+/repository/commits$", 400, '{"message":"refused"}')
    capsys.readouterr()
    GitlabGit.commit_project(str(target), "refused", project["name"], "master", project["namespace"]["id"])
    lines = capsys.readouterr().out.splitlines()
    assert lines[1:] == ['Failed to commit: {"message":"refused"}', "{'docs/guide.md': 'update', 'old.txt': 'delete'}"]
    assert git(target, "log", "-1", "--format=%s").strip() == "refused"
    assert git(target, "status", "--porcelain") == ""


def test_symbolic_link_is_refused_before_any_request(sb, wc):
    project, target = wc
    os.symlink("/etc/hostname", target / "link")
    sb.clear_journal()
    with pytest.raises(errors.UnpublishableChangeError, match="link") as raised:
        GitlabGit.commit_project(str(target), "link", project["name"], "master", project["namespace"]["id"])
    assert isinstance(raised.value, RuntimeError) and sb.token not in str(raised.value)
    assert [c for c in api_calls(sb) if c.method == "POST"] == []
    assert git(target, "log", "-1", "--format=%s").strip() == "link"


def test_git_failures_name_the_command_but_never_the_token(sb, wc, monkeypatch):
    project, target = wc
    git(target, "remote", "set-url", "origin", "https://127.0.0.1:1/nowhere.git")
    (target / "x.txt").write_text("x\n")
    with pytest.raises(errors.GitError) as raised:
        GitlabGit.commit_project(str(target), "x", project["name"], "master", project["namespace"]["id"])
    assert "fetch" in str(raised.value) and sb.token not in str(raised.value)
    assert not stat.S_ISLNK(os.lstat(target / "x.txt").st_mode)


def files_holding(root, secret):
    """Every file below `root` whose bytes contain `secret`."""
    return [p for p in root.rglob("*") if p.is_file() and not p.is_symlink() and secret.encode() in p.read_bytes()]


def test_callers_own_git_fetches_and_pushes_with_the_token_read_when_git_asks(sb, wc, monkeypatch):
    project, target = wc
    identity = ["-c", "user.name=Caller", "-c", "user.email=caller@example.com"]
    (target / "mine.txt").write_text("pushed by the caller\n")
    git(target, "add", "mine.txt")
    git(target, *identity, "commit", "-q", "-m", "the caller's own commit")
    git(target, "push", "-q", "origin", "HEAD:master")
    sb.commit(project["id"], "master", {"theirs.txt": "from someone else\n"})
    git(target, "pull", "-q", "--ff-only", "origin", "master")
    assert (target / "theirs.txt").read_text() == "from someone else\n"

    (target / "later.txt").write_text("published by the library\n")
    GitlabGit.commit_project(str(target), "later", project["name"], "master", project["namespace"]["id"])
    git(target, "fetch", "-q", "origin")
    assert git(target, "rev-parse", "HEAD^{tree}") == git(target, "rev-parse", "origin/master^{tree}")
    for name in ("mine.txt", "theirs.txt", "later.txt"):
        assert git(target, "cat-file", "-e", f"origin/master:{name}") == ""
    assert files_holding(target, sb.token) == []

    # Without GITLAB_TOKEN the helper stops git at once: its own message, no prompt, no wait.
    monkeypatch.delenv("GITLAB_TOKEN")
    started = time.monotonic()
    failed = subprocess.run(["git", "fetch", "origin"], cwd=target, stdin=subprocess.DEVNULL,
                            capture_output=True, text=True, timeout=60)
    assert failed.returncode != 0
    assert "GITLAB_TOKEN is not set" in failed.stderr and "told us to quit" in failed.stderr
    assert time.monotonic() - started < 10


@pytest.fixture(scope="module")
def second():
    """Another server, with another administrator's token."""
    with zorv_sandbox.Sandbox() as other:
        yield other


def presented(journal):
    """The secrets the journal's requests carried (PRIVATE-TOKEN, the password of Basic credentials),
    and whether git's requests were among them."""
    found, git_requests = set(), False
    for entry in journal:
        headers = {name.lower(): value for name, value in entry["headers"].items()}
        git_requests = git_requests or entry["path"].endswith("/info/refs")
        if "private-token" in headers:
            found.add(headers["private-token"])
        if headers.get("authorization", "").startswith("Basic "):
            found.add(base64.b64decode(headers["authorization"][6:]).decode().partition(":")[2])
    return found, git_requests


def test_each_server_sees_only_its_own_token(sb, group, second, tmp_path, monkeypatch):
    bundle = tmp_path / "both.pem"  # each sandbox has its own CA
    bundle.write_text(open(sb.env["CURL_CA_BUNDLE"]).read() + open(second.env["CURL_CA_BUNDLE"]).read())
    for name in ("CURL_CA_BUNDLE", "GIT_SSL_CAINFO"):
        monkeypatch.setenv(name, str(bundle))
    # The caller's shell names the first server; the second is reached through a subclass.
    monkeypatch.setenv("GITLAB_HOST", sb.env["GITLAB_HOST"])
    monkeypatch.setenv("GITLAB_TOKEN", sb.token)
    monkeypatch.delenv(second.token_variable, raising=False)

    class Second(GitlabGit):
        api_url = second.api_url
        gitlab_token = second.token

    theirs_group = second.group()
    theirs = second.project(theirs_group["id"], files={"a.txt": "a\n"})
    mine = sb.project(group["id"])
    sb.clear_journal()
    second.clear_journal()

    Second.clone_project(str(tmp_path / "b"), theirs["name"], theirs_group["id"])
    (tmp_path / "b" / "b.txt").write_text("b\n")
    Second.commit_project(str(tmp_path / "b"), "b", theirs["name"], "master", theirs_group["id"])
    GitlabGit.clone_project(str(tmp_path / "a"), mine["name"], group["id"])

    # The caller's own git: the first clone's helper answers with GITLAB_TOKEN (GITLAB_HOST names its
    # server); the second's only with the variable of its host, and fails at once without it.
    git(tmp_path / "a", "fetch", "-q", "origin")
    refused = subprocess.run(["git", "fetch", "origin"], cwd=tmp_path / "b", stdin=subprocess.DEVNULL,
                             capture_output=True, text=True, timeout=60)
    assert refused.returncode != 0 and f"set {second.token_variable}" in refused.stderr
    monkeypatch.setenv(second.token_variable, second.token)
    git(tmp_path / "b", "fetch", "-q", "origin")

    assert presented(sb.sandbox.journal()) == ({sb.token}, True)
    assert presented(second.journal()) == ({second.token}, True)


def test_git_reads_gitlab_token_again_only_while_the_class_keeps_it(sb, group, tmp_path):
    """GitlabGit takes its token from the environment: git gets GITLAB_TOKEN as it is at the call. A
    subclass with a token of its own (even the same text) keeps that one."""
    project = sb.project(group["id"])
    later = sb.sandbox.create_user("later-" + project["name"], admin=True)["token"]
    script = textwrap.dedent(f"""
        import os
        from zorv_git_gitlab.git import GitlabGit
        os.environ["GITLAB_TOKEN"] = {later!r}
        GitlabGit.clone_project({str(tmp_path / "a")!r}, {project["name"]!r}, {group["id"]})
        class Own(GitlabGit):
            gitlab_token = {sb.token!r}
        Own.clone_project({str(tmp_path / "b")!r}, {project["name"]!r}, {group["id"]})
    """)
    env = {**os.environ, "GITLAB_HOST": sb.env["GITLAB_HOST"], "GITLAB_TOKEN": sb.token,
           "GIT_SSL_CAINFO": sb.env["CURL_CA_BUNDLE"]}
    sb.clear_journal()
    subprocess.run([sys.executable, "-c", script], env=env, check=True, capture_output=True, timeout=120)
    git_calls = [c for c in sb.sandbox.journal() if c["path"].endswith("/info/refs")]
    assert [presented([c])[0] for c in git_calls] == [{later}, {sb.token}]


def test_a_lock_file_is_kept_while_a_git_works_in_the_copy_and_removed_once_none_does(sb, wc, caplog):
    project, target = wc
    (target / "x.txt").write_text("x\n")
    lock = target / ".git" / "index.lock"
    lock.write_bytes(b"")
    head = git(target, "rev-parse", "HEAD")
    publish = lambda: GitlabGit.commit_project(str(target), "x", project["name"], "master", project["namespace"]["id"])

    # A git at work in the copy may hold the lock: it is named, kept, and nothing else is done.
    live = subprocess.Popen(["git", "cat-file", "--batch"], cwd=target, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL)
    sb.clear_journal()
    with pytest.raises(errors.GitError, match=re.escape(f"the lock file {lock} exists")) as raised:
        publish()
    assert f"git process {live.pid} is working in this repository" in str(raised.value)
    assert lock.exists() and git(target, "rev-parse", "HEAD") == head and sb.journal() == []

    # Killed and not yet reaped (a zombie), that git is gone: its lock is removed and the call publishes.
    live.kill()
    while open(f"/proc/{live.pid}/stat").read().rpartition(")")[2].split()[0] != "Z":
        time.sleep(0.001)
    publish()
    live.wait()
    assert not lock.exists() and git(target, "status", "--porcelain") == ""
    assert git(target, "show", "origin/master:x.txt") == "x\n"
    assert f"removed the lock file {lock}" in caplog.text


PUBLISH = """import sys
from zorv_git_gitlab.git import GitlabGit
GitlabGit.api_url, GitlabGit.gitlab_token = sys.argv[1], sys.argv[2]
GitlabGit.commit_project(sys.argv[3], "publish", sys.argv[4], "master", int(sys.argv[5]))
"""

# Where the publishing child is killed: through killing_git, or by the test once the sandbox holds
# a request of the step open (`delay` on `route`; "drop" makes the server never answer it).
KILL_POINTS = {
    "before the first fetch": {"git": "fetch:1:kill"},
    "during the first fetch": {"route": "git", "action": "delay"},
    "during the merge": {"git": "merge:1:hook-pre-merge-commit"},
    "during the upload, never applied": {"route": "commits", "action": "drop"},
    "during the upload, applied after": {"route": "commits", "action": "delay"},
    "after the 201, before the second fetch": {"git": "fetch:2:kill"},
    "during the second fetch": {"route": "git", "action": "delay", "after_commit": True},
}


def pending_request(entries, route, after=None):
    """The first journal entry on `route` the server has not answered yet, after the first POST on
    `after` when that is given; None when there is none."""
    if after is not None:
        first = next((e["seq"] for e in entries if e["method"] == "POST" and re.search(after, e["path"])), None)
        if first is None:
            return None
        entries = [e for e in entries if e["seq"] > first]
    return next((e for e in entries if e["status"] is None and re.search(route, e["path"])), None)


@pytest.mark.parametrize("point", list(KILL_POINTS))
def test_publishing_killed_at_any_step_then_run_again_publishes_every_change_once(sb, group, tmp_path, point,
                                                                                     monkeypatch):
    kill = KILL_POINTS[point]
    monkeypatch.setenv("GIT_SSL_CAINFO", sb.env["CURL_CA_BUNDLE"])
    monkeypatch.setenv("GITLAB_HOST", sb.env["GITLAB_HOST"])  # GITLAB_TOKEN is the token of this server
    monkeypatch.setenv("GITLAB_TOKEN", sb.token)
    project = sb.project(group["id"])
    sb.commit(project["id"], "master", {"a.txt": "a1\n", "gone.txt": "bye\n"})
    target = tmp_path / "wc"
    GitlabGit.clone_project(str(target), project["name"], group["id"], branch="master")
    env = dict(os.environ)
    git(target, "config", "user.name", "Publisher")
    git(target, "config", "user.email", "publisher@example.com")
    # A local commit and a server commit since the clone (so the merge makes a merge commit), and
    # uncommitted changes of every kind.
    (target / "local.txt").write_text("committed locally\n")
    git(target, "add", "local.txt")
    git(target, "commit", "-q", "-m", "local")
    sb.commit(project["id"], "master", {"server.txt": "from the server\n"})
    (target / "a.txt").write_text("a2\n")
    (target / "new" / "dir").mkdir(parents=True)
    (target / "new" / "dir" / "file.txt").write_text("new\n")
    (target / "gone.txt").unlink()
    commits_url = f"projects/{project['id']}/repository/commits?ref_name=master&per_page=100"
    commits_before = len(sb.ok("GET", commits_url))

    env.update(killing_git.install(tmp_path / "kill"), ZORV_KILL=kill.get("git", ""))
    argv = [sys.executable, "-c", PUBLISH, GitlabGit.api_url, sb.token, str(target), project["name"],
            str(group["id"])]

    routes = {"git": re.escape(project["http_url_to_repo"].split("/", 3)[3]),
              "commits": rf"/api/v4/projects/{project['id']}/repository/commits$"}
    if "route" in kill:
        sb.sandbox.add_fault({"method": "POST" if kill["route"] == "commits" else "*", "path": routes[kill["route"]],
                              "action": kill["action"], "delay_ms": 1000, "times": 0})
    sb.clear_journal()
    child = subprocess.Popen(argv, env=env, start_new_session=True, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    if "route" in kill:
        # Kill once a request of the step is open on the server.
        open_request = None
        deadline = time.monotonic() + 30
        while open_request is None and child.poll() is None and time.monotonic() < deadline:
            open_request = pending_request(sb.sandbox.journal(), routes[kill["route"]],
                                           routes["commits"] if kill.get("after_commit") else None)
            time.sleep(0.01)
        assert open_request is not None, child.communicate()
        os.killpg(child.pid, signal.SIGKILL)
    out, err = child.communicate(timeout=60)
    assert child.returncode == -signal.SIGKILL, (out, err)
    killing_git.wait_dead(child.pid)
    if kill.get("action") == "delay":
        # The server finishes the request before the same call runs again.
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and any(e["seq"] == open_request["seq"] and e["status"] is None
                                                  for e in sb.sandbox.journal()):
            time.sleep(0.05)
    sb.clear_faults()

    env["ZORV_KILL"] = ""
    again = subprocess.run(argv, env=env, capture_output=True, text=True, timeout=120)
    assert again.returncode == 0, again.stderr

    # Exactly one server commit carries the changes, and the server's branch is the working tree.
    assert len(sb.ok("GET", commits_url)) == commits_before + 1
    git(target, "fetch", "-q", "origin")
    assert git(target, "status", "--porcelain") == ""
    assert git(target, "rev-parse", "HEAD^{tree}") == git(target, "rev-parse", "origin/master^{tree}")
    server = {name: git(target, "show", f"origin/master:{name}") for name in
              ("a.txt", "new/dir/file.txt", "local.txt", "server.txt")}
    assert server == {"a.txt": "a2\n", "new/dir/file.txt": "new\n", "local.txt": "committed locally\n",
                      "server.txt": "from the server\n"}
    assert "gone.txt" not in git(target, "ls-tree", "--name-only", "origin/master")
