"""Publishing survives a kill at every step. `commit_project` runs through the Python module in a child
process of its own group with killing_git first on PATH, and the whole group is killed (SIGKILL) at
the N-th git command of a publish, for every N: before the command starts; after leaving the lock
files of a git killed while it held them (at the commands that take locks); and inside each merge,
after MERGE_HEAD is written (pre-merge-commit, prepare-commit-msg hooks) and after the merge commit is
made (post-merge hook). Then the same call runs again, and:

- the server's branch has exactly one new commit, and its tree is the intended one: the branch as it
  was, with every local change applied (an update, a new file, a deletion, a mode change);
- the working copy is clean, on its branch, without lock files or a merge in progress, its HEAD's
  tree is the server's, and none of its new local commits is empty;
- one more publish lands as exactly one more commit.

Also the overlap of a killed call's late request with the call run again (the sandbox holds the
killed call's POST while the next call publishes), in both orders: the changes land once."""

import os
import re
import signal
import subprocess
import sys
import time

import pytest

import killing_git
import zorv_sandbox
from zorv_git_gitlab.git import GitlabGit

sandbox = zorv_sandbox.pytest_fixture(scope="module")

PUBLISH = """import sys
from zorv_git_gitlab.git import GitlabGit
GitlabGit.api_url, GitlabGit.gitlab_token = sys.argv[1], sys.argv[2]
GitlabGit.commit_project(sys.argv[3], "publish", sys.argv[4], "master", int(sys.argv[5]))
"""
# The commands at which a lock of a killed git is left behind: those that take locks.
LOCKING = {"fetch", "merge", "add", "commit", "hash-object"}


def git(cwd, *args):
    return subprocess.run(["git", *args], cwd=cwd, check=True, capture_output=True, text=True).stdout.strip()


def blob_id(text):
    return subprocess.run(["git", "hash-object", "--stdin"], input=text, check=True, capture_output=True,
                          text=True).stdout.strip()


class Copy:
    """A project, a working copy of it that publishes, and a second clone that watches the server."""

    def __init__(self, sb, root):
        self.sb = sb
        group = sb.group()
        self.group_id = group["id"]
        self.project = sb.project(group["id"], files={"a.txt": "a\n", "run.sh": "echo\n", "new/0.txt": "0\n"})
        self.target, self.watcher = root / "wc", root / "watcher"
        for directory in (self.target, self.watcher):
            GitlabGit.clone_project(str(directory), self.project["name"], group["id"], branch="master")
        git(self.target, "config", "user.name", "Publisher")
        git(self.target, "config", "user.email", "publisher@example.com")
        self.kill_dir = root / "kill"
        self.env = {**os.environ, **killing_git.install(self.kill_dir)}
        self.round = 0
        self.commits_route = rf"/api/v4/projects/{self.project['id']}/repository/commits$"

    def publish(self):
        """The call run again, in this process."""
        GitlabGit.commit_project(str(self.target), "publish", self.project["name"], "master", self.group_id)

    def start(self, point=""):
        """The call in a child process of its own group, killed at `point` (see killing_git)."""
        killing_git.reset(self.kill_dir)
        argv = [sys.executable, "-c", PUBLISH, GitlabGit.api_url, GitlabGit.gitlab_token, str(self.target),
                self.project["name"], str(self.group_id)]
        return subprocess.Popen(argv, env={**self.env, "ZORV_KILL": point}, start_new_session=True,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def server_head(self):
        git(self.watcher, "fetch", "-q", "origin")
        return git(self.watcher, "rev-parse", "origin/master")

    def tree(self, rev, cwd=None):
        """path -> (mode, object) of a commit."""
        listing = git(cwd or self.watcher, "ls-tree", "-r", rev)
        return {line.split("\t", 1)[1]: tuple(line.split()[0:3:2]) for line in listing.splitlines()}

    def change(self, updates_only=False):
        """Someone else's commit on the server and local changes of every kind (or only changes to
        files the server has: an update and a mode change, which the server would apply twice without
        last_commit_id); the tree the server's branch must hold once they are published, and the
        server's head before."""
        self.round += 1
        n = self.round
        self.sb.commit(self.project["id"], "master", {f"server/{n}.txt": f"server {n}\n"})
        before = self.server_head()
        expected = self.tree(before)
        (self.target / "a.txt").write_text(f"a {n}\n")
        expected["a.txt"] = (expected["a.txt"][0], blob_id(f"a {n}\n"))
        if not updates_only:
            old = next(self.target.glob("new/*.txt"))
            old.unlink()
            del expected[f"new/{old.name}"]
            (self.target / "new" / f"{n}.txt").write_text(f"new {n}\n")
            expected[f"new/{n}.txt"] = ("100644", blob_id(f"new {n}\n"))
        run = self.target / "run.sh"
        run.chmod(run.stat().st_mode ^ 0o111)
        expected["run.sh"] = ("100755" if run.stat().st_mode & 0o100 else "100644", expected["run.sh"][1])
        return before, expected

    def check(self, before, expected, local_before, what):
        """The state every call must leave once it has returned."""
        head = self.server_head()
        assert git(self.watcher, "rev-list", "--count", f"{before}..{head}") == "1", what
        assert self.tree(head) == expected, what
        wc = self.target
        assert git(wc, "status", "--porcelain", "--untracked-files=all") == "", what
        assert git(wc, "symbolic-ref", "HEAD") == "refs/heads/master", what
        locks = [p for p in (wc / ".git").rglob("*.lock")]
        assert locks == [] and not (wc / ".git" / "MERGE_HEAD").exists(), (what, locks)
        assert git(wc, "rev-parse", "HEAD^{tree}") == git(self.watcher, "rev-parse", f"{head}^{{tree}}"), what
        for commit in git(wc, "rev-list", "--no-merges", "HEAD", f"^{local_before}").split():
            assert subprocess.run(["git", "diff-tree", "--quiet", f"{commit}^", commit], cwd=wc).returncode == 1, \
                (what, "an empty local commit", commit)

    def publish_once_more(self, what):
        before = self.server_head()
        (self.target / "a.txt").write_text(f"a {self.round} again\n")
        self.publish()
        head = self.server_head()
        assert git(self.watcher, "rev-list", "--count", f"{before}..{head}") == "1", what
        assert git(self.watcher, "show", f"{head}:a.txt") == f"a {self.round} again", what
        assert git(self.target, "status", "--porcelain") == "", what

    def killed_round(self, point, what):
        before, expected = self.change()
        local_before = git(self.target, "rev-parse", "HEAD")
        child = self.start(point)
        out, err = child.communicate(timeout=120)
        assert child.returncode == -signal.SIGKILL, (what, out, err)
        killing_git.wait_dead(child.pid)
        self.publish()
        self.check(before, expected, local_before, what)
        self.publish_once_more(what)


@pytest.fixture(scope="module")
def copy(sandbox, tmp_path_factory):
    saved = {k: os.environ.get(k) for k in ("GIT_SSL_CAINFO", "GITLAB_HOST", "GITLAB_TOKEN", "CURL_CA_BUNDLE")}
    saved_class = GitlabGit.api_url, GitlabGit.gitlab_token
    os.environ.update(GIT_SSL_CAINFO=sandbox.env["CURL_CA_BUNDLE"], CURL_CA_BUNDLE=sandbox.env["CURL_CA_BUNDLE"],
                      GITLAB_HOST=sandbox.env["GITLAB_HOST"], GITLAB_TOKEN=sandbox.token)
    GitlabGit.api_url, GitlabGit.gitlab_token = sandbox.api_url, sandbox.token
    try:
        yield Copy(sandbox, tmp_path_factory.mktemp("kill-points"))
    finally:
        GitlabGit.api_url, GitlabGit.gitlab_token = saved_class
        for key, value in saved.items():
            if value is None:
                os.environ.pop(key, None)
            else:
                os.environ[key] = value


@pytest.fixture(scope="module")
def commands(copy):
    """The git commands of one publish, counted by a publish that is not killed."""
    before, expected = copy.change()
    local_before = git(copy.target, "rev-parse", "HEAD")
    child = copy.start()
    out, err = child.communicate(timeout=120)
    assert child.returncode == 0 and "Successfully committed" in out, (out, err)
    copy.check(before, expected, local_before, "a publish that is not killed")
    commands = killing_git.logged(copy.kill_dir)
    # Every step is there: both fetches and merges, the local commit, the last commits of the files.
    assert [c for c in commands if c in ("fetch", "merge", "commit", "diff-tree", "log")] == \
        ["fetch", "merge", "commit", "diff-tree", "log", "fetch", "merge"], commands
    return commands


def test_a_publish_killed_at_any_git_command_is_published_once_by_the_next_call(copy, commands):
    for n, command in enumerate(commands, start=1):
        copy.killed_round(f"any:{n}:kill", f"killed before git command {n} ({command})")
        if command in LOCKING:
            copy.killed_round(f"any:{n}:lock", f"killed holding the locks of git command {n} ({command})")


def test_a_publish_killed_inside_either_merge_is_published_once_by_the_next_call(copy, commands):
    for m in range(1, commands.count("merge") + 1):
        for hook in killing_git.HOOKS:
            copy.killed_round(f"merge:{m}:hook-{hook}", f"killed in the {hook} hook of merge {m}")


def test_a_merge_killed_while_it_rewrote_the_working_tree_is_redone_by_the_next_call(copy, commands):
    # git's checkout writes the files first and the index last, under index.lock: killed in between,
    # a new file and a changed one are at the server's version, the index is not. (No hook runs
    # there, so the state is made by hand, after the fetch the killed call had made.)
    what = "killed in the merge's checkout"
    before, expected = copy.change()
    n = copy.round
    changed = f"server/{n - 1}.txt"
    copy.sb.commit(copy.project["id"], "master", {changed: f"server {n - 1} changed\n"}, action="update")
    before = copy.server_head()
    expected[changed] = (expected[changed][0], blob_id(f"server {n - 1} changed\n"))
    local_before = git(copy.target, "rev-parse", "HEAD")
    git(copy.target, "fetch", "-q", "origin")
    for path in (changed, f"server/{n}.txt"):
        (copy.target / path).write_text(git(copy.watcher, "show", f"{before}:{path}") + "\n")
    (copy.target / ".git" / "index.lock").write_bytes((copy.target / ".git" / "index").read_bytes())
    copy.publish()
    copy.check(before, expected, local_before, what)
    copy.publish_once_more(what)


def posts(sb, route):
    return [e for e in sb.journal() if e["method"] == "POST" and re.search(route, e["path"])]


def test_a_killed_publish_whose_request_lands_late_publishes_once_with_the_next_call(copy, capsys):
    sb = copy.sb
    cli = os.environ.get("ZORV_CLI_BIN")
    # First the late request comes second (the next call's goes through at once), then first (both
    # are held the same time, and the killed call's arrived earlier).
    for rule, late_first in (({"times": 1, "delay_ms": 3000}, False), ({"times": 0, "delay_ms": 1500}, True)):
        what = "late request applied " + ("first" if late_first else "second")
        before, expected = copy.change(updates_only=True)
        local_before = git(copy.target, "rev-parse", "HEAD")
        sb.clear_journal()
        sb.add_fault({"method": "POST", "path": copy.commits_route, "action": "delay", **rule})
        child = copy.start()
        while not any(e["status"] is None for e in posts(sb, copy.commits_route)):
            assert child.poll() is None, (what, child.communicate())
            time.sleep(0.005)
        os.killpg(child.pid, signal.SIGKILL)
        child.communicate(timeout=60)
        killing_git.wait_dead(child.pid)
        capsys.readouterr()
        if late_first and cli:
            # The command-line tool: the next call finds its changes on the server and has nothing to do.
            done = subprocess.run([cli, "commit_project", "--repo-dir", str(copy.target), "--commit-message",
                                   "publish", "--project-name", copy.project["name"], "--remote-branch", "master",
                                   "--group-id", str(copy.group_id)], env=sb.environ(), capture_output=True,
                                  text=True, timeout=120)
            assert done.returncode == 0, (what, done.stdout, done.stderr)
            printed = done.stdout.splitlines()
        else:
            copy.publish()
            printed = capsys.readouterr().out.splitlines()
        deadline = time.monotonic() + 60
        while any(e["status"] is None for e in posts(sb, copy.commits_route)):
            assert time.monotonic() < deadline, (what, posts(sb, copy.commits_route))
            time.sleep(0.01)
        sb.clear_faults()
        # The killed call's request, then the next call's: one is applied, the other refused.
        statuses = [e["status"] for e in posts(sb, copy.commits_route)]
        assert sorted(statuses) == [201, 400], (what, statuses)
        if late_first:
            assert statuses == [201, 400], (what, statuses)
        if statuses == [201, 400]:
            # The next call's own request was refused: it found its changes on the server, printed the
            # commit count and no failure line, and had nothing to do.
            assert len(printed) == 1 and printed[0].isdigit(), (what, printed)
        else:
            assert printed[-1:] == ["Successfully committed"], (what, printed)
        copy.check(before, expected, local_before, what)
        copy.publish_once_more(what)
