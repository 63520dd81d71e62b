"""Secrets: with a distinctive token, every operation runs through its success and failure paths, from
the Python module and from the command-line tool. The token (as text, and as the base64 of git's
Basic credentials) appears nowhere in standard output, standard error, exception messages, log
records, the command lines of child processes (every git command, and every process seen in /proc
while the operations run), or the working copies' configuration. Secrets the operations mint appear
only as their result."""

import base64
import json
import os
import secrets
import stat
import subprocess
import sys
import threading

import pytest

import zorv_sandbox

PYTHON = "/usr/bin/python3"
HERE = os.path.dirname(os.path.abspath(__file__))
SECRET = "zorvSECRET" + secrets.token_hex(12) + "XyZ"


def needles(secret):
    """The secret as text and inside base64 (git's Basic credentials "oauth2:<token>"), at every alignment."""
    raw = secret.encode()
    found = [raw, base64.b64encode(b"oauth2:" + raw)]
    for shift in range(3):
        encoded = base64.b64encode(b"\0" * shift + raw)
        found.append(encoded[4 if shift else 0:-4])
    return found


def leaks(data, secret=SECRET):
    return [n for n in needles(secret) if n in data]


class ProcessWatch:
    """Reads every process's command line in /proc while it runs; keeps the ones holding a needle."""

    def __init__(self, exclude_argv0):
        self.exclude = exclude_argv0
        self.hits = set()
        self.seen = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        own = str(os.getpid())
        while not self._stop.is_set():
            for pid in os.listdir("/proc"):
                if not pid.isdigit() or pid == own:
                    continue
                try:
                    with open(f"/proc/{pid}/cmdline", "rb") as f:
                        cmdline = f.read()
                except OSError:
                    continue
                if not cmdline or cmdline.split(b"\0")[0].decode(errors="replace") == self.exclude:
                    continue
                self.seen += 1
                if leaks(cmdline):
                    self.hits.add(cmdline.replace(b"\0", b" ").decode(errors="replace"))
            self._stop.wait(0.002)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()


@pytest.fixture(scope="module")
def world(tmp_path_factory):
    with zorv_sandbox.Sandbox(token=SECRET) as sandbox:
        status, group = sandbox.api("POST", "groups", {"name": "secrets", "path": "secrets"})
        assert status == 201, group
        user = sandbox.create_user("someone")
        base = tmp_path_factory.mktemp("secrets")
        # git, as found on PATH by the library, writes its command line to a log first.
        shim = base / "bin"
        shim.mkdir()
        log = base / "git-argv.log"
        git = shim / "git"
        git.write_text("#!/bin/sh\nfor a in \"$@\"; do printf '%s\\0' \"$a\"; done >> \"$ZORV_GIT_ARGV_LOG\"\n"
                       "printf '\\n' >> \"$ZORV_GIT_ARGV_LOG\"\nexec /usr/bin/git \"$@\"\n")
        git.chmod(git.stat().st_mode | stat.S_IXUSR)
        env = sandbox.environ()
        env["GITLAB_TOKEN"] = SECRET
        env["PATH"] = f"{shim}:{env.get('PATH', '/usr/bin:/bin')}"
        env["ZORV_GIT_ARGV_LOG"] = str(log)
        yield {"sandbox": sandbox, "group": group["id"], "user": user["id"], "env": env, "work": base / "work",
               "log": log}


def run_phase(world, phase, extra_env=None):
    sandbox = world["sandbox"]
    report = world["work"].parent / f"report-{phase}.json"
    env = dict(world["env"], **(extra_env or {}))
    with ProcessWatch(sandbox.binary) as watch:
        child = subprocess.run([PYTHON, os.path.join(HERE, "secrets_workload.py"), phase, str(world["group"]),
                                str(world["user"]), str(world["work"]), str(report)],
                               env=env, capture_output=True, timeout=600)
    assert child.returncode == 0, child.stderr.decode(errors="replace")[-3000:]
    with open(report, encoding="utf-8") as f:
        result = json.load(f)
    return child, result, watch


def check_clean(world, child, result, watch):
    output = child.stdout + child.stderr
    assert leaks(output) == [], "token in the output"
    for minted in result["minted"]:
        assert leaks(output, minted) == [], "a minted token in the output"
    assert watch.seen > 0
    assert watch.hits == set(), "token in a command line"
    assert leaks(world["log"].read_bytes()) == [], "token in a git command line"
    for config in world["work"].glob("*/.git/config"):
        assert leaks(config.read_bytes()) == [], f"token in {config}"


def faults(sandbox, *rules):
    sandbox.clear_faults()
    for rule in rules:
        sandbox.add_fault(dict(rule, times=0))


def test_python_module_never_shows_the_token(world):
    sandbox = world["sandbox"]
    phases = [
        ("success", [], None),
        # git prints its traffic, credentials unredacted, for whoever asks: the library must not pass it on.
        ("git", [{"path": r"\.git/", "status": 500, "body": "git is down"}],
         {"GIT_CURL_VERBOSE": "1", "GIT_TRACE": "1", "GIT_TRACE_REDACT": "0"}),
        ("refused", [{"path": "^/api/v4/", "status": 500, "body": '{"message":"refused"}'},
                     {"path": r"\.git/", "status": 401, "body": "HTTP Basic: Access denied"}], None),
        ("transport", [{"path": "^/api/v4/", "action": "drop"}, {"path": r"\.git/", "action": "drop"}], None),
        ("tls", [], {"CURL_CA_BUNDLE": os.path.join(HERE, "secrets_workload.py")}),
        ("cleanup", [], None),
    ]
    seen = {}
    for phase, rules, extra_env in phases:
        faults(sandbox, *rules)
        child, result, watch = run_phase(world, phase, extra_env)
        sandbox.clear_faults()
        check_clean(world, child, result, watch)
        seen[phase] = result["outcomes"]

    # The paths were really taken: successes, refusals (no value), and the library's errors.
    ok = seen["success"]
    records = {"create_sub_group", "get_sub_group_info", "create_repo_token", "create_group_access_token",
               "get_access_token_info", "get_project_info", "get_branch_info", "create_branch", "clone_project",
               "create_merge_request", "perform_merge", "get_commits_by_range", "get_tag_list", "get_tag_info",
               "get_project_variable", "get_group_variable", "get_pipeline_status", "get_single_pipeline_status",
               "retry_single_pipeline", "create_issue", "create_note", "close_issue"}
    assert {name for name in records if set(ok[name]) != {"value"}} == set(), ok
    assert ok["get_sub_group_id"] == ["value", "SubgroupNotFoundError"]
    assert "GitError" in seen["git"]["clone_project"] and "GitError" in seen["git"]["commit_project"]
    assert seen["refused"]["create_sub_group"] == ["none"]
    assert "ProjectNotFoundError" in seen["refused"]["create_branch"]
    assert set(seen["transport"]["get_project_info"]) == {"ConnectionDroppedError"}
    assert set(seen["tls"]["get_project_info"]) == {"TlsError"}
    assert seen["cleanup"]["delete_sub_group"] == ["value"]


CLI_CALLS = [
    ("create_sub_group", {"group-name": "clisub", "parent-id": "{g}"}),
    ("get_sub_group_info", {"group-name": "clisub", "parent-id": "{g}"}),
    ("get_sub_group_id", {"group-name": "clisub", "parent-id": "{g}"}),
    ("create_repo_token", {"user-id": "{u}", "token-name": "cli-user-token"}),
    ("create_group_access_token", {"group-id": "{g}", "token-name": "cli-group-token"}),
    ("get_access_token_info", {"group-id": "{g}", "token-name": "cli-group-token"}),
    ("create_project", {"project-name": "cliproj", "group-id": "{g}"}),
    ("get_project_info", {"project-name": "cliproj", "group-id": "{g}"}),
    ("get_branch_info", {"project-name": "cliproj", "group-id": "{g}", "branch-name": "master"}),
    ("create_branch", {"project-name": "cliproj", "group-id": "{g}", "branch-name": "clifeature"}),
    ("commit_file", {"project-name": "cliproj", "group-id": "{g}", "filename": "cli.txt", "file-content": "x"}),
    # (The working copy of commit_project is made by the first clone; later clones, which clear their
    # directory before they fail, go elsewhere.)
    ("clone_project", {"repo-dir": "{w}/{clone}", "project-name": "cliproj", "group-id": "{g}"}),
    ("commit_project", {"repo-dir": "{w}/cliwc", "commit-message": "cli", "project-name": "cliproj",
                        "remote-branch": "master", "group-id": "{g}"}),
    ("create_merge_request", {"project-name": "cliproj", "group-id": "{g}", "title": "t",
                              "source-branch": "clifeature"}),
    ("perform_merge", {"project-name": "cliproj", "group-id": "{g}", "merge-request-id": "1", "title": "m",
                       "timeout": "5"}),
    ("tag_project", {"tag-name": "cli-v1", "project-name": "cliproj", "remote-branch": "master", "group-id": "{g}"}),
    ("get_commits_by_range", {"start-ref": "cli-v1", "end-ref": "master", "project-name": "cliproj",
                              "group-id": "{g}"}),
    ("get_tag_list", {"project-name": "cliproj", "group-id": "{g}"}),
    ("get_tag_info", {"tag-name": "cli-v1", "project-name": "cliproj", "group-id": "{g}"}),
    ("set_project_variable", {"project-name": "cliproj", "key": "K", "value": "v", "group-id": "{g}"}),
    ("get_project_variable", {"project-name": "cliproj", "key": "K", "group-id": "{g}"}),
    ("set_group_variable", {"group-id": "{g}", "key": "GK", "value": "v"}),
    ("get_group_variable", {"group-id": "{g}", "key": "GK"}),
    ("get_pipeline_status", {"project-name": "cliproj", "group-id": "{g}"}),
    ("get_single_pipeline_status", {"project-id": "{g}", "pipeline-id": "1"}),
    ("retry_single_pipeline", {"project-id": "{g}", "pipeline-id": "1"}),
    ("create_issue", {"project-name": "cliproj", "group-id": "{g}", "title": "t", "issue-type": "issue"}),
    ("create_note", {"project-name": "cliproj", "group-id": "{g}", "issue-id": "1", "note-body": "n"}),
    ("close_issue", {"project-name": "cliproj", "group-id": "{g}", "issue-id": "1"}),
    ("delete_branch", {"project-name": "cliproj", "group-id": "{g}", "branch-name": "clifeature"}),
    ("delete_project", {"project-name": "cliproj", "group-id": "{g}"}),
    ("delete_sub_group", {"group-name": "clisub", "parent-id": "{g}"}),
]


@pytest.mark.skipif(not os.environ.get("ZORV_CLI_BIN"), reason="the command-line tool is not built")
def test_command_line_tool_never_shows_the_token(world):
    sandbox = world["sandbox"]
    cli = os.environ["ZORV_CLI_BIN"]
    world["work"].mkdir(exist_ok=True)
    values = {"g": str(world["group"]), "u": str(world["user"]), "w": str(world["work"])}
    statuses = {}
    for phase, rules in (("success", []),
                         ("refused", [{"path": "^/api/v4/", "status": 500, "body": '{"message":"refused"}'},
                                      {"path": r"\.git/", "status": 500, "body": "down"}]),
                         ("transport", [{"path": "^/api/v4/", "action": "drop"}])):
        faults(sandbox, *rules)
        values["clone"] = "cliwc" if phase == "success" else "clone-" + phase
        for name, options in CLI_CALLS:
            argv = [cli, "--poll-interval", "0.05", "--max-tries", "1", name]
            for key, value in options.items():
                argv += ["--" + key, value.format(**values)]
            if name == "commit_project":
                with open(os.path.join(values["w"], "cliwc", f"{phase}.txt"), "w") as f:
                    f.write(phase)
            with ProcessWatch(sandbox.binary) as watch:
                run = subprocess.run(argv, env=world["env"], capture_output=True, timeout=120)
            statuses[(phase, name)] = run.returncode
            output = run.stdout + run.stderr
            assert leaks(output) == [], f"token in the output of {name} ({phase})"
            assert watch.hits == set(), f"token in a command line during {name} ({phase})"
            if name not in ("create_repo_token", "create_group_access_token"):
                # Minted secrets are printed by the commands that mint them, and by no other.
                for token in world.setdefault("cli_minted", []):
                    assert token.encode() not in output, f"a minted token in the output of {name}"
            elif phase == "success":
                world.setdefault("cli_minted", []).append(json.loads(run.stdout.decode().splitlines()[-1]))
        sandbox.clear_faults()
    assert leaks(world["log"].read_bytes()) == []
    assert leaks((world["work"] / "cliwc" / ".git" / "config").read_bytes()) == []
    # The paths were really taken: successes first, then refusals (1) and errors (3).
    assert statuses[("success", "get_project_info")] == 0
    assert statuses[("success", "commit_project")] == 0
    assert statuses[("refused", "create_sub_group")] == 1
    assert statuses[("refused", "commit_project")] == 3
    assert statuses[("transport", "get_project_info")] == 3
