"""The fleet benchmark (scripts/bench --only fleet): 8 threads set a CI/CD variable on each of N projects
through the library's Python face, against the sandbox's authenticated API throttle with a known budget
(200 requests per 2 s), once per pacing mode:

  retries alone    the server sends RateLimit-* headers only with its 429 answers; no fixed pacing
  adaptive pacing  the server sends RateLimit-* headers on every answer (as GitLab.com does)
  fixed pacing     no headers on ordinary answers; max_requests_per_second at 95 % of the budget

Counted from the sandbox's journal: the requests the fleet's user sent, the 429 answers among them, and
for every project the writes of the variable the server accepted (each must be one), and the value the
server holds. The achieved rate is the accepted requests per second over the run, as a share of the
budget's 100 a second.

`run(...)` is the part run.py calls; `python3 fleet.py worker ...` is the fleet itself (a process of its
own, with the library's module on PYTHONPATH), printing one line "BENCH-RESULT <json>".
"""

import argparse
import concurrent.futures
import json
import sys
import threading
import time
from pathlib import Path

LIMIT = 200  # requests per period
PERIOD = 2   # seconds
THREADS = 8
MODES = [  # (name, RateLimit-* headers on ordinary answers, max_requests_per_second)
    ("retries alone", False, 0.0),
    ("adaptive pacing", True, 0.0),
    ("fixed pacing", False, 0.95 * LIMIT / PERIOD),
]


def project_name(index):
    return f"fleet-{index:04d}"


def variable_key(mode):
    return "FLEET_" + mode.upper().replace(" ", "_")


# ---------------------------------------------------------------------------------------------
# The part run.py calls


def _ok(sandbox, method, path, body=None):
    status, answer = sandbox.request(method, path, body)
    if not 200 <= status < 300:
        raise RuntimeError(f"{method} {path} answered {status}: {answer}")
    return answer


def _throttle(sandbox, enabled, headers=False):
    _ok(sandbox, "POST", "/-/sandbox/rate-limits", {"reset": True, "headers": headers})
    if enabled:
        _ok(sandbox, "PUT", "/api/v4/application/settings", {
            "throttle_authenticated_api_enabled": True, "throttle_authenticated_api_requests_per_period": LIMIT,
            "throttle_authenticated_api_period_in_seconds": PERIOD})


def run(runner, sandbox, count, python):
    """Seeds a group with `count` projects and a user for the fleet, then runs the fleet once per mode."""
    _throttle(sandbox, enabled=False)
    group = _ok(sandbox, "POST", "/api/v4/groups", {"name": "fleet", "path": "fleet"})
    ids = {}
    for index in range(count):
        record = _ok(sandbox, "POST", "/api/v4/projects", {"name": project_name(index), "namespace_id": group["id"]})
        ids[record["id"]] = index
    token = _ok(sandbox, "POST", "/-/sandbox/users", {"username": "fleet"})["token"]
    results = {"projects": count, "threads": THREADS, "limit": LIMIT, "period": PERIOD, "modes": {}}
    for mode, headers, rate in MODES:
        _throttle(sandbox, enabled=True, headers=headers)
        sandbox.clear_journal()
        argv = [python, str(Path(__file__).resolve()), "worker", "--group", group["id"], "--count", count,
                "--key", variable_key(mode), "--rate", rate]
        worker, _, _ = runner.run([str(a) for a in argv], env={**runner.env, "GITLAB_TOKEN": token})
        journal = sandbox.journal()
        _throttle(sandbox, enabled=False)  # the checks below are the administrator's, unthrottled
        results["modes"][mode] = {**worker, **_count(journal, token, ids, variable_key(mode)),
                                  "values_right": _values_right(sandbox, ids, mode)}
        sandbox.clear_journal()
        r = results["modes"][mode]
        print(f"bench: fleet, {mode}: {r['completed']} done, {r['failed']} failed, {r['throttled']} of "
              f"{r['requests']} requests answered 429, {r['seconds']:.1f} s", file=sys.stderr, flush=True)
    return results


def _count(journal, token, ids, key):
    """The fleet user's requests, the 429s among them, and the accepted writes of `key` per project."""
    mine = [e for e in journal if {k.lower(): v for k, v in e["headers"].items()}.get("private-token") == token]
    writes = dict.fromkeys(ids.values(), 0)
    for entry in mine:
        parts = entry["path"].split("/")  # /api/v4/projects/<id>/variables[/<key>]
        if len(parts) < 6 or parts[3] != "projects" or parts[5] != "variables" or not parts[4].isdigit():
            continue
        accepted = (entry["method"] == "POST" and entry["status"] == 201) or (
            entry["method"] == "PUT" and entry["status"] == 200 and parts[-1] == key)
        if accepted and int(parts[4]) in ids:
            writes[ids[int(parts[4])]] += 1
    return {"requests": len(mine), "throttled": sum(1 for e in mine if e["status"] == 429),
            "written_once": sum(1 for n in writes.values() if n == 1),
            "written_more": sum(1 for n in writes.values() if n > 1)}


def _values_right(sandbox, ids, mode):
    """How many projects hold the variable with the value the fleet set."""
    right = 0
    for project_id, index in ids.items():
        status, record = sandbox.request("GET", f"/api/v4/projects/{project_id}/variables/{variable_key(mode)}")
        right += status == 200 and record["value"] == f"{index}"
    return right


# ---------------------------------------------------------------------------------------------
# The fleet itself


class Lines:
    """Stands for sys.stdout: counts the success and failure lines the operations print."""

    def __init__(self):
        self.lock = threading.Lock()
        self.done = 0
        self.failed = []

    def write(self, text):
        with self.lock:
            for line in text.splitlines():
                if line.endswith("set successfully."):
                    self.done += 1
                elif line:
                    self.failed.append(line)

    def flush(self):
        pass


def worker(args):
    from zorv_git_gitlab.git import GitlabGit

    GitlabGit.max_requests_per_second = args.rate
    lines = Lines()
    errors = []
    real_stdout, sys.stdout = sys.stdout, lines

    def one(index):
        try:
            GitlabGit.set_project_variable(project_name(index), args.key, f"{index}", args.group)
        except Exception as e:  # counted as a failure
            errors.append(f"{type(e).__name__}: {e}")

    # The run starts with a window of the throttle (aligned to Unix time, as GitLab's are), so that no
    # budget left from an earlier window counts for it.
    time.sleep(PERIOD - time.time() % PERIOD)
    start = time.monotonic()
    with concurrent.futures.ThreadPoolExecutor(THREADS) as pool:
        list(pool.map(one, range(args.count)))
    seconds = time.monotonic() - start
    sys.stdout = real_stdout
    failed = len(errors) + len(lines.failed)
    print("BENCH-RESULT " + json.dumps({"completed": lines.done, "failed": failed, "seconds": seconds,
                                        "failures": (errors + lines.failed)[:5]}))


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    w = sub.add_parser("worker")
    w.add_argument("--group", type=int, required=True)
    w.add_argument("--count", type=int, required=True)
    w.add_argument("--key", required=True)
    w.add_argument("--rate", type=float, default=0.0)
    args = parser.parse_args(argv)
    worker(args)


if __name__ == "__main__":
    main(sys.argv[1:])
