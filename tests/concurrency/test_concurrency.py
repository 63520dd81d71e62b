"""16 Python threads x 1,000 mixed operations through the Python module against the sandbox: zero
errors, every answer right, and standard output made of whole lines only. The workload runs in a
child interpreter whose standard output is a pipe read by the test, so what is checked is the bytes
that really left the process. ZORV_CONCURRENCY_OPS changes the operations per thread."""

import collections
import json
import os
import subprocess
import sys
import time

THREADS = 16
KINDS = 10
PYTHON = "/usr/bin/python3"

# Runs in the child: argv[1] is the world (ids and the refused README answer) as JSON.
WORKLOAD = r'''
import json, sys, threading, traceback
from zorv_git_gitlab.git import GitlabGit

world = json.loads(sys.argv[1])
ops = int(sys.argv[2])
threads_n = int(sys.argv[3])
g, project, pipeline = world["group"], world["project"], world["pipeline"]
GitlabGit.stall_timeout = 30.0
problems = []
lock = threading.Lock()

def one(kind, t, i):
    if kind == 0:
        p = GitlabGit.get_project_info("conc", g)
        return "" if p and p["id"] == project else "lookup"
    if kind == 1:
        b = GitlabGit.get_branch_info("conc", g, "master")
        return "" if b and b["name"] == "master" else "branch"
    if kind == 2:
        return "missing branch found" if GitlabGit.get_branch_info("conc", g, f"missing-{t}") else ""
    if kind == 3:
        v = GitlabGit.get_project_variable("conc", "SHARED", g)
        return "" if v and v["value"] == "shared-value" else "variable"
    if kind == 4:
        return "" if GitlabGit.set_project_variable("conc", f"T{t}", f"value {i}", g) is None else "result"
    if kind == 5:
        tags = GitlabGit.get_tag_list("conc", g)
        return "" if isinstance(tags, list) and tags and tags[0]["name"] == "v1" else "tags"
    if kind == 6:
        return "" if GitlabGit.commit_file("conc", g, "README.md", "again") is None else "result"
    if kind == 7:
        p = GitlabGit.get_single_pipeline_status(project, pipeline)
        return "" if p and p["id"] == pipeline else "pipeline"
    if kind == 8:
        title = f"issue {t}-{i}"
        issue = GitlabGit.create_issue("conc", g, title, "issue", ["conc"])
        return "" if issue and issue["title"] == title else "issue"
    return "subgroup found" if GitlabGit.get_sub_group_info("no-such-subgroup", g) else ""

def run(t):
    for i in range(ops):
        try:
            problem = one((i + t) % 10, t, i)
        except Exception:
            problem = "exception: " + traceback.format_exc(limit=3)
        if problem:
            with lock:
                problems.append(problem)

threads = [threading.Thread(target=run, args=(t,)) for t in range(threads_n)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
sys.stdout.flush()
sys.stderr.write(json.dumps(problems[:20]) + "\n")
sys.exit(1 if problems else 0)
'''


def ops_per_thread():
    return max(1, int(os.environ.get("ZORV_CONCURRENCY_OPS", "1000")))


def prepare(sandbox):
    status, group = sandbox.api("POST", "groups", {"name": "pyconc", "path": "pyconc"})
    assert status == 201, group
    g = group["id"]
    status, project = sandbox.api("POST", "projects", {"name": "conc", "path": "conc", "namespace_id": g})
    assert status == 201, project
    pid = project["id"]
    for path, body in (
        (f"projects/{pid}/repository/files/README.md",
         {"branch": "master", "content": "Hello World", "commit_message": "README"}),
        # CI configuration: pipelines are made only for commits that hold it.
        (f"projects/{pid}/repository/files/.gitlab-ci.yml",
         {"branch": "master", "content": "t:\n  script: [x]\n", "commit_message": "CI"}),
        (f"projects/{pid}/variables", {"key": "SHARED", "value": "shared-value"}),
        (f"projects/{pid}/repository/tags", {"tag_name": "v1", "ref": "master"}),
    ):
        status, answer = sandbox.api("POST", path, body)
        assert status == 201, answer
    status, pipelines = sandbox.api("GET", f"projects/{pid}/pipelines")
    assert status == 200 and pipelines, pipelines
    refused = sandbox.call("POST", f"projects/{pid}/repository/files/README.md",
                           {"branch": "master", "content": "again", "commit_message": "again"})
    assert refused.status == 400
    return {"group": g, "project": pid, "pipeline": pipelines[0]["id"], "refused": refused.text}


def expected_lines(world, ops):
    lines = collections.Counter()
    for t in range(THREADS):
        for i in range(ops):
            kind = (i + t) % KINDS
            if kind == 4:
                lines[f"Environment variable T{t} set successfully."] += 1
            elif kind == 6:
                lines["Failed to create README.md: " + world["refused"]] += 1
    return lines


def test_sixteen_python_threads_zero_errors_whole_lines(sandbox):
    world = prepare(sandbox)
    ops = ops_per_thread()
    start = time.monotonic()
    child = subprocess.run([PYTHON, "-c", WORKLOAD, json.dumps(world), str(ops), str(THREADS)],
                           env=sandbox.environ(), capture_output=True, timeout=900)
    seconds = time.monotonic() - start
    assert child.returncode == 0, child.stderr.decode(errors="replace")[-4000:]

    out = child.stdout.decode("utf-8")
    assert out == "" or out.endswith("\n"), "output ends inside a line"
    seen = collections.Counter(out.splitlines())
    expected = expected_lines(world, ops)
    foreign = [line for line in seen if line not in expected]
    assert not foreign, f"lines that are no whole line: {foreign[:5]}"
    assert seen == expected
    sys.stderr.write(f"{THREADS} Python threads x {ops} operations: {seconds:.1f} s\n")
