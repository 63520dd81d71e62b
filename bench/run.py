"""Runs every benchmark of the library against one sandbox and prints one table (Markdown).

Started by scripts/bench with /usr/bin/python3 after the build. Each measured value is the median of
several runs; each run of a latency benchmark is itself the median of many iterations. The raw
results are written as JSON next to the build (bench-results.json).

Parts, in order: the wire check (every client sends the same requests), latency per operation,
client CPU per request (callgrind), import time, threads, commit_project, the fleet through a throttle
(bench/fleet.py). With --rtt, the link part instead: every client and operation timed directly and
through a relay that delays each direction (bench/driver/relay.cpp), and the round trips each operation
paid.
"""

import argparse
import http.client
import itertools
import datetime
import json
import os
import random
import resource
import shutil
import signal
import ssl
import statistics
import subprocess
import sys
import time
import zlib
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import fleet  # noqa: E402
import report  # noqa: E402

PYTHON = "/usr/bin/python3"
HERE = Path(__file__).resolve().parent
CLIENTS_PY = HERE / "python" / "clients.py"
OPERATIONS = report.OPERATIONS
# client -> (program family, name given to it)
CLIENTS = {
    "cpp": ("driver", "library"),
    "python": ("python", "library"),
    "requests": ("python", "requests"),
    "curl": ("driver", "curl"),
    "libcurl": ("driver", "libcurl"),
}


class Profile:
    """How much of everything to run; `quick` is for trying the benchmarks out, not for numbers."""

    def __init__(self, quick):
        self.rounds = 3 if quick else 5
        fast = 30 if quick else 300
        slow = 5 if quick else 40
        # client kind -> operation -> iterations per run
        self.iterations = {
            "fast": {"get_project_info": fast, "get_single_pipeline_status": fast, "create_branch": fast // 3},
            "slow": {"get_project_info": slow, "get_single_pipeline_status": slow, "create_branch": max(3, slow // 3)},
        }
        # N of the N / 2N callgrind runs; requests costs enough per request for a smaller N.
        self.callgrind_n = {"cpp": 2, "python": 2, "requests": 1} if quick else {"cpp": 10, "python": 10, "requests": 4}
        self.import_runs = 5 if quick else 15
        self.cost_iterations = 40 if quick else 400
        self.thread_counts = [1, 2, 4, 8, 16]
        self.thread_millis = 400 if quick else 1500
        self.thread_rounds = 1 if quick else 3
        self.commit_sizes = [200, 1000] if quick else [1000, 10000]
        self.commit_rounds = 1 if quick else 3
        self.fleet_projects = 150 if quick else 700
        self.quick = quick

    def link(self, rtt_ms):
        """Runs and iterations per run for the link part: direct, and through the relay (fewer on a slow
        link, where one iteration of (a)'s create_branch takes about 14 round trips)."""
        slow_link = rtt_ms > 50
        rounds = (1 if slow_link else 2) if self.quick else (2 if slow_link else 3)
        fast, fast_branch, slow, slow_branch = (8, 3, 3, 2) if self.quick else (20, 8, 8, 4)
        if slow_link:
            fast, fast_branch, slow, slow_branch = max(4, fast // 3), max(2, fast_branch // 3), max(2, slow // 3), 2
        relayed = {"fast": {"get_project_info": fast, "get_single_pipeline_status": fast, "create_branch": fast_branch},
                   "slow": {"get_project_info": slow, "get_single_pipeline_status": slow, "create_branch": slow_branch}}
        direct = ({"fast": {"get_project_info": 15, "get_single_pipeline_status": 15, "create_branch": 5},
                   "slow": {"get_project_info": 4, "get_single_pipeline_status": 4, "create_branch": 2}} if self.quick else
                  {"fast": {"get_project_info": 50, "get_single_pipeline_status": 50, "create_branch": 15},
                   "slow": {"get_project_info": 10, "get_single_pipeline_status": 10, "create_branch": 4}})
        return {"rounds": rounds, "relayed": relayed, "direct": direct, "warmup": 2}


# ---------------------------------------------------------------------------------------------
# The sandbox


class Sandbox:
    """One zorv-gitlab-sandbox for the whole run, stopped on exit."""

    def __init__(self, program, threads):
        self.proc = subprocess.Popen([program, "--threads", str(threads)], stdout=subprocess.PIPE, text=True)
        self.env = {}
        for line in self.proc.stdout:
            line = line.strip()
            if line == "SANDBOX_READY":
                break
            name, _, value = line.partition("=")
            self.env[name] = value
        else:
            raise RuntimeError("the sandbox ended before it was ready")
        host, _, port = self.env["GITLAB_HOST"].partition(":")
        self.host, self.port = host, int(port)
        self.tls = ssl.create_default_context(cafile=self.env["CURL_CA_BUNDLE"])
        self.conn = None

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()

    def request(self, method, path, body=None, token=True):
        headers = {"Content-Type": "application/json"}
        if token:
            headers["PRIVATE-TOKEN"] = self.env["GITLAB_TOKEN"]
        data = None if body is None else json.dumps(body)
        for attempt in range(2):
            if self.conn is None:
                self.conn = http.client.HTTPSConnection(self.host, self.port, context=self.tls, timeout=120)
            try:
                self.conn.request(method, path, body=data, headers=headers)
                answer = self.conn.getresponse()
                text = answer.read()
                break
            except (http.client.HTTPException, OSError):
                self.conn.close()
                self.conn = None
                if attempt:
                    raise
        return answer.status, (json.loads(text) if text else None)

    def cpu_times(self):
        """CPU seconds used so far by the sandbox itself and by the children it has reaped (git)."""
        fields = Path(f"/proc/{self.proc.pid}/stat").read_text().rsplit(")", 1)[1].split()
        tick = os.sysconf("SC_CLK_TCK")
        return (int(fields[11]) + int(fields[12])) / tick, (int(fields[13]) + int(fields[14])) / tick

    def clear_journal(self):
        self.request("DELETE", "/-/sandbox/journal", token=False)

    def journal(self):
        return self.request("GET", "/-/sandbox/journal", token=False)[1]


# ---------------------------------------------------------------------------------------------
# Running the clients


class Runner:
    def __init__(self, build, sandbox, workdir):
        self.build = Path(build)
        self.driver = self.build / "bench" / "zorv-bench"
        self.sandbox = sandbox
        self.workdir = Path(workdir)
        self.env = dict(os.environ)
        self.env.update(sandbox.env)
        self.env["PYTHONPATH"] = str(self.build / "python")
        self.env.pop("REQUESTS_CA_BUNDLE", None)  # requests then uses CURL_CA_BUNDLE, as the library does
        self.env.update({"GIT_AUTHOR_NAME": "Bench", "GIT_AUTHOR_EMAIL": "bench@example.com",
                         "GIT_COMMITTER_NAME": "Bench", "GIT_COMMITTER_EMAIL": "bench@example.com",
                         "LC_ALL": "C"})
        self.target = {}

    def command(self, family, subcommand, options, target=True):
        argv = [str(self.driver), subcommand] if family == "driver" else [PYTHON, str(CLIENTS_PY), subcommand]
        if target:
            options = {**self.target, **options}
        for name, value in options.items():
            argv += ["--" + name, str(value)]
        return argv

    def run(self, argv, env=None, prefix=()):
        """Runs a client to its end; its BENCH-RESULT, its standard output and its CPU seconds."""
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        proc = subprocess.run(list(prefix) + argv, env=env or self.env, capture_output=True, text=True)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        if proc.returncode != 0:
            raise RuntimeError(f"{' '.join(argv)} failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr}")
        result = None
        for line in proc.stdout.splitlines():
            if line.startswith("BENCH-RESULT "):
                result = json.loads(line[len("BENCH-RESULT "):])
        cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
        return result, proc.stdout, cpu

    def client(self, client, subcommand, options, prefix=(), env=None):
        family, name = CLIENTS[client]
        return self.run(self.command(family, subcommand, {"client": name, **options}), env=env, prefix=prefix)[0]


# ---------------------------------------------------------------------------------------------
# Setup


# The branch every benchmark works on: create_project commits its README there, so it exists whatever
# the server names a new project's default branch.
BRANCH = "master"
CI_CONFIG = "test:\n  script:\n    - echo benchmark\n"


def setup(runner, sandbox):
    status, group = sandbox.request("POST", "/api/v4/groups", {"name": "bench", "path": "bench"})
    if status != 201:
        raise RuntimeError(f"cannot create the group: {status} {group}")
    gid = group["id"]
    # Projects whose names contain the one looked up, so that the search answer holds several.
    for name in ["bench-app-ui", "my-bench-app", "bench-app"]:
        runner.run(runner.command("driver", "create-project", {"project": name, "group": gid}, target=False))
    status, found = sandbox.request("GET", f"/api/v4/groups/{gid}/projects?search=bench-app&simple=true")
    project = next(p for p in found if p["name"] == "bench-app")
    # Pipelines run for commits that hold CI configuration (GitLab creates none without it). The file
    # goes to master, where create_project put its README, whatever the project's default branch.
    status, answer = sandbox.request("POST", f"/api/v4/projects/{project['id']}/repository/files/.gitlab-ci.yml", {
        "branch": BRANCH, "content": CI_CONFIG, "commit_message": "CI configuration"})
    if status != 201:
        raise RuntimeError(f"cannot commit .gitlab-ci.yml: {status} {answer}")
    status, pipelines = sandbox.request("GET", f"/api/v4/projects/{project['id']}/pipelines")
    if status != 200 or not pipelines:
        raise RuntimeError(f"the project has no pipeline: {status} {pipelines}")
    runner.target = {"project": "bench-app", "group": gid, "project-id": project["id"],
                     "pipeline-id": pipelines[0]["id"]}
    return gid


# ---------------------------------------------------------------------------------------------
# 0. The same requests on the wire


def wire_check(runner, sandbox):
    """Every client runs each operation once; the journal entries must be the same for all."""
    seen = {}
    for index, client in enumerate(CLIENTS):
        sandbox.clear_journal()
        tag = f"wire{index}"
        for op in OPERATIONS:
            runner.client(client, "latency", {"op": op, "iterations": 1, "warmup": 0, "tag": tag})
        seen[client] = report.normalize_journal(sandbox.journal(), f"{tag}-0")
    sandbox.clear_journal()
    return report.compare_wire(seen, reference="cpp")


# ---------------------------------------------------------------------------------------------
# 1. Latency


def latency(runner, sandbox, profile):
    runs = {client: {op: [] for op in OPERATIONS} for client in CLIENTS}
    steps = {op: [] for op in OPERATIONS}  # (c)'s time per request of the operation, run by run
    for r in range(profile.rounds):
        for client in CLIENTS:
            kind = "slow" if client in ("requests", "curl") else "fast"
            for op in OPERATIONS:
                result = runner.client(client, "latency", {
                    "op": op, "iterations": profile.iterations[kind][op], "warmup": 3, "tag": f"lat-{client}-{r}"})
                runs[client][op].append(result["median_us"])
                if "requests_median_us" in result:
                    steps[op].append(result["requests_median_us"])
        sandbox.clear_journal()
    result = {client: {op: {"median_us": statistics.median(v), "runs_us": v} for op, v in ops.items()}
              for client, ops in runs.items()}
    result["libcurl_requests_us"] = {op: [statistics.median(run[i] for run in v) for i in range(len(v[0]))]
                                     for op, v in steps.items() if v}
    return result


# ---------------------------------------------------------------------------------------------
# 1b. On a real link: the same operations through a relay that delays both directions


class Relay:
    """zorv-bench relay in front of the sandbox, on 127.0.0.1; stopped by closing its input."""

    def __init__(self, driver, target, one_way_ms):
        self.proc = subprocess.Popen([str(driver), "relay", "--to", target, "--one-way-ms", str(one_way_ms)],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline().strip()
        if not line.startswith("RELAY_PORT="):
            self.stop()
            raise RuntimeError(f"the relay did not start: {line!r}")
        self.host = f"127.0.0.1:{line.removeprefix('RELAY_PORT=')}"

    def stop(self):
        if self.proc.poll() is None:
            self.proc.stdin.close()
            try:
                self.proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def link(runner, sandbox, profile, rtts):
    """Per round trip time: every client and operation timed directly and through the relay (run after
    run, in turns), and the requests each operation sent, counted in the sandbox journal."""
    result = {}
    for rtt in rtts:
        plan = profile.link(rtt)
        relay = Relay(runner.driver, sandbox.env["GITLAB_HOST"], rtt / 2)
        relayed_env = {**runner.env, "GITLAB_HOST": relay.host}
        runs = {c: {op: {"direct": [], "relayed": [], "requests": []} for op in OPERATIONS} for c in CLIENTS}
        try:
            for r in range(plan["rounds"]):
                for client in CLIENTS:
                    kind = "slow" if client in ("requests", "curl") else "fast"
                    for op in OPERATIONS:
                        cell = runs[client][op]
                        direct = runner.client(client, "latency", {
                            "op": op, "iterations": plan["direct"][kind][op], "warmup": 3,
                            "tag": f"rtt{rtt}-d-{client}-{r}"})
                        cell["direct"].append(direct["median_us"])
                        sandbox.clear_journal()
                        iterations = plan["relayed"][kind][op]
                        relayed = runner.client(client, "latency", {
                            "op": op, "iterations": iterations, "warmup": plan["warmup"],
                            "tag": f"rtt{rtt}-r-{client}-{r}"}, env=relayed_env)
                        cell["relayed"].append(relayed["median_us"])
                        cell["requests"].append(len(sandbox.journal()) / (iterations + plan["warmup"]))
                sandbox.clear_journal()
                print(f"bench: link {rtt} ms, round {r + 1} of {plan['rounds']} done", file=sys.stderr, flush=True)
        finally:
            relay.stop()
        result[rtt] = {"plan": plan, "clients": {
            client: {op: {"direct_us": statistics.median(cell["direct"]),
                          "relayed_us": statistics.median(cell["relayed"]),
                          "requests": statistics.median(cell["requests"]), "runs": cell}
                     for op, cell in ops.items()}
            for client, ops in runs.items()}}
    return result


# ---------------------------------------------------------------------------------------------
# 2. Client CPU per request


def callgrind_instructions(runner, argv, out):
    runner.run(argv, prefix=["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}"])
    for line in Path(out).read_text().splitlines():
        if line.startswith("summary:") or line.startswith("totals:"):
            return int(line.split()[1])
    raise RuntimeError(f"no instruction total in {out}")


def cpu(runner, profile):
    commands = {
        "cpp": lambda count, tag: runner.command("driver", "sequence", {"count": count, "tag": tag}),
        "python": lambda count, tag: runner.command("python", "sequence",
                                                    {"client": "library", "count": count, "tag": tag}),
        "requests": lambda count, tag: runner.command("python", "sequence",
                                                      {"client": "requests", "count": count, "tag": tag}),
    }
    result = {}
    for client, command in commands.items():
        n = profile.callgrind_n[client]
        totals = {}
        for count in (n, 2 * n):
            out = runner.workdir / f"callgrind.{client}.{count}"
            totals[count] = callgrind_instructions(runner, command(count, f"cg-{client}-{count}"), out)
        requests = n * 6  # the sequence sends six requests per iteration
        result[client] = {"instructions": totals, "per_request": (totals[2 * n] - totals[n]) / requests,
                          "startup": totals[n] - (totals[2 * n] - totals[n])}
    return result


# ---------------------------------------------------------------------------------------------
# Costs measured alone


def costs(runner, profile):
    return runner.run(runner.command("driver", "costs", {"iterations": profile.cost_iterations}))[0]


# ---------------------------------------------------------------------------------------------
# 3. Import time


IMPORT_PROBE = ("import time; t = time.perf_counter(); {}; "
                "print('BENCH-RESULT', '{{\"seconds\": %r}}' % (time.perf_counter() - t))")


def import_time(runner, profile):
    statements = {"zorv_git_gitlab.git": "import zorv_git_gitlab.git", "requests, git": "import requests, git"}
    samples = {name: {"import": [], "process": []} for name in statements}
    for name, statement in statements.items():  # once each, so that byte code is compiled and cached
        runner.run([PYTHON, "-c", IMPORT_PROBE.format(statement)])
    for _ in range(profile.import_runs):
        for name, statement in statements.items():
            start = time.perf_counter()
            result = runner.run([PYTHON, "-c", IMPORT_PROBE.format(statement)])[0]
            samples[name]["process"].append(time.perf_counter() - start)
            samples[name]["import"].append(result["seconds"])
    result = {name: {"import_s": statistics.median(s["import"]), "process_s": statistics.median(s["process"])}
              for name, s in samples.items()}
    result["modules_ms"] = import_breakdown(runner, "import zorv_git_gitlab.git", profile.import_runs)
    return result


def import_breakdown(runner, statement, runs):
    """Median cumulative import time (ms) of the heaviest modules, from `python3 -X importtime`."""
    seen = {}
    for _ in range(runs):
        proc = subprocess.run([PYTHON, "-X", "importtime", "-c", statement], env=runner.env, capture_output=True,
                              text=True, check=True)
        for line in proc.stderr.splitlines():
            if not line.startswith("import time:") or "cumulative" in line:
                continue
            _, cumulative, name = (part.strip() for part in line[len("import time:"):].split("|"))
            seen.setdefault(name, []).append(int(cumulative) / 1000.0)
    medians = {name: statistics.median(v) for name, v in seen.items() if len(v) == runs}
    return dict(sorted(medians.items(), key=lambda kv: -kv[1])[:6])


# ---------------------------------------------------------------------------------------------
# 3b. The project lookup on a crowded instance


SCALE_SIZES = [100, 10_000, 100_000]
SCALE_NAME = "scale-app"
SCALE_CHUNK = 10_000  # names per seeding request


def old_search(sandbox, gid, name, matches):
    """What the lookup sent before: the instance-wide search (GET /projects?search=NAME&simple=True,
    per_page=100, newest first) page by page until the project in the group turns up. When the project
    (the oldest of `matches`) stands past the pages that offset paging reaches (50,000 records), they are
    not walked: the first page past them is asked for, to show the refusal the walk would end with.
    Returns requests, seconds (None when not walked), whether it was found, and the last status."""
    base = f"/api/v4/projects?search={name}&simple=True&per_page=100"
    reachable = 50_000 // 100
    if -(-matches // 100) > reachable:
        status, _ = sandbox.request("GET", f"{base}&page={reachable + 1}")
        return {"requests": reachable + 1, "seconds": None, "found": False, "status": status}
    started = time.monotonic()
    for page in itertools.count(1):
        status, records = sandbox.request("GET", f"{base}&page={page}")
        found = status == 200 and any(r["name"] == name and r["namespace"]["id"] == gid for r in records)
        if found or status != 200 or not records:
            return {"requests": page, "seconds": time.monotonic() - started, "found": found, "status": status}
    return None


def lookup_at_scale(build, profile):
    """get_project_info with 100, 10,000 and 100,000 look-alike projects on the instance (names that
    contain the one looked up, in another group, all newer than it), seeded in bulk into a sandbox of
    its own: the requests each lookup sent (sandbox journal) and its time, for both library faces,
    beside the instance-wide search the lookup used before."""
    sandbox = Sandbox(str(build / "sandbox" / "zorv-gitlab-sandbox"), 16)
    try:
        runner = Runner(build, sandbox, build / "bench-work")
        groups = [sandbox.request("POST", "/api/v4/groups", {"name": n, "path": n})[1]["id"]
                  for n in ("scale-home", "scale-crowd")]
        status, target = sandbox.request("POST", "/api/v4/projects", {"name": SCALE_NAME, "namespace_id": groups[0]})
        if status != 201:
            raise RuntimeError(f"cannot create the project: {status} {target}")
        runner.target = {"project": SCALE_NAME, "group": groups[0], "project-id": target["id"], "pipeline-id": 0}
        result, seeded = {}, 0
        for size in SCALE_SIZES:
            started = time.monotonic()
            while seeded < size:
                names = [f"{SCALE_NAME}-{i:06d}" for i in range(seeded, min(size, seeded + SCALE_CHUNK))]
                status, answer = sandbox.request("POST", "/-/sandbox/projects",
                                                 {"namespace_id": groups[1], "names": names}, token=False)
                if status != 201:
                    raise RuntimeError(f"seeding failed: {status} {answer}")
                seeded += len(names)
            cell = {"seed_s": time.monotonic() - started, "clients": {}}
            for client in ("cpp", "python"):
                iterations = profile.iterations["fast"]["get_project_info"]
                runs, sent = [], []
                for r in range(profile.rounds):
                    sandbox.clear_journal()
                    timed = runner.client(client, "latency", {"op": "get_project_info", "iterations": iterations,
                                                              "warmup": 3, "tag": f"scale-{size}-{r}"})
                    runs.append(timed["median_us"])
                    sent.append(len(sandbox.journal()) / (iterations + 3))
                cell["clients"][client] = {"median_us": statistics.median(runs), "runs_us": runs,
                                           "requests": statistics.median(sent)}
            sandbox.clear_journal()
            cell["before"] = old_search(sandbox, groups[0], SCALE_NAME, size + 1)
            result[size] = cell
            print(f"bench: lookup with {size} look-alikes: seeded in {cell['seed_s']:.1f} s", file=sys.stderr,
                  flush=True)
        return result
    finally:
        sandbox.stop()


# ---------------------------------------------------------------------------------------------
# 4. Threads


def threads(runner, sandbox, profile):
    result = {}
    for family in ("driver", "python"):
        rows = {}
        for count in profile.thread_counts:
            runs = [runner.run(runner.command(family, "threads", {
                "threads": count, "millis": profile.thread_millis, "server-pid": sandbox.proc.pid}))[0]
                for _ in range(profile.thread_rounds)]
            rows[count] = {key: statistics.median(run[key] for run in runs)
                           for key in ("per_second", "server_cores", "client_cores", "idle_cores")}
            rows[count]["runs"] = [run["per_second"] for run in runs]
            sandbox.clear_journal()
        result["cpp" if family == "driver" else "python"] = rows
    return result


# ---------------------------------------------------------------------------------------------
# 5. commit_project


LARGE_FILES = [16 << 20, 8 << 20, 4 << 20]


def write_files(root, count, seed):
    """`count` changed files: README.md modified, a few large binaries, the rest text of 100 B to 16 KiB."""
    rng = random.Random(seed)
    root = Path(root)
    (root / "README.md").write_text("Benchmark working copy\n")
    (root / "assets").mkdir(exist_ok=True)
    for i, size in enumerate(LARGE_FILES):
        (root / "assets" / f"blob-{i}.bin").write_bytes(rng.randbytes(size))
    total = sum(LARGE_FILES)
    for i in range(count - len(LARGE_FILES) - 1):
        directory = root / "src" / f"d{i // 100:03d}"
        if i % 100 == 0:
            directory.mkdir(parents=True, exist_ok=True)
        size = int(100 * (16384 / 100) ** rng.random())
        text = rng.randbytes(size // 2 + 1).hex()[:size]
        (directory / f"file-{i:05d}.txt").write_text(text)
        total += size
    return total


def trace_breakdown(path):
    """The top-level git commands of a trace2 event file, in order, as [name, seconds, end] (end: the
    wall-clock time of its exit event in seconds since the epoch, None when the event has no time)."""
    starts, spans = {}, []
    for line in Path(path).read_text().splitlines():
        event = json.loads(line)
        if "/" in event.get("sid", "/"):
            continue  # a process started by git itself
        if event["event"] == "start":
            starts[event["sid"]] = event["argv"]
        elif event["event"] == "exit" and event["sid"] in starts:
            end = event.get("time")
            if end is not None:
                end = datetime.datetime.fromisoformat(end.replace("Z", "+00:00")).timestamp()
            spans.append([git_command(starts[event["sid"]]), event["t_abs"], end])
    return spans


def git_command(argv):
    """The git command of a trace2 start event's argv ("fetch" for `git -c a=b fetch origin`, "log" for
    `git --literal-pathspecs log`): the first word after git's own options."""
    argv = argv[1:]
    while argv and argv[0].startswith("-"):
        argv = argv[2:] if argv[0] in ("-c", "-C") else argv[1:]
    return argv[0] if argv else "git"


def commit_phases(spans):
    """Seconds of commit_project's phases from its git commands: the upload is the time between the end
    of the last command before it (the diff-tree that lists the changes, or the log after it that finds
    the last commits of the files to update or delete) and the start of the next command (a cat-file
    reading objects during the upload is part of it); before it, and after it (the second fetch and
    merge), the commands' own times."""
    work = [span for span in spans if span[0] != "cat-file"]
    names = [span[0] for span in work]
    if "diff-tree" not in names:
        return {"before_upload": sum(span[1] for span in work), "upload": 0.0, "after_upload": 0.0}
    cut = names.index("diff-tree")
    if cut + 1 < len(work) and names[cut + 1] == "log":
        cut += 1
    upload = 0.0
    if cut + 1 < len(work):
        following = work[cut + 1]
        upload = (following[2] - following[1]) - work[cut][2]
    return {"before_upload": sum(span[1] for span in work[:cut + 1]), "upload": upload,
            "after_upload": sum(span[1] for span in work[cut + 1:])}


def pack_sizes(data):
    """Byte sizes of the pack streams in `data`, as git writes them one after another to
    GIT_TRACE_PACKFILE (the whole packs a process received). A pack has no length field: each object
    is walked (type and size header, a delta's base, its zlib stream) up to the 20-byte trailer."""
    sizes, start = [], 0
    view = memoryview(data)
    while start < len(data):
        if bytes(view[start:start + 4]) != b"PACK":
            raise ValueError(f"no pack header at byte {start} of the pack trace")
        pos = start + 12
        for _ in range(int.from_bytes(view[start + 8:start + 12], "big")):
            byte = view[pos]
            kind = (byte >> 4) & 7
            pos += 1
            while byte & 0x80:
                byte = view[pos]
                pos += 1
            if kind == 6:  # delta against an object at an offset: a variable-length number
                while view[pos] & 0x80:
                    pos += 1
                pos += 1
            elif kind == 7:  # delta against an object named by its id
                pos += 20
            inflater = zlib.decompressobj()
            while not inflater.eof:
                piece = view[pos:pos + 65536]
                if not piece:
                    raise ValueError("the pack trace ends inside an object")
                inflater.decompress(piece)
                pos += len(piece) - len(inflater.unused_data)
        pos += 20
        sizes.append(pos - start)
        start = pos
    return sizes


def fetch_received(trace_path, pack_path):
    """Pack bytes received by each top-level `git fetch` of a trace2 event file, in order. A fetch that
    received objects ran index-pack or unpack-objects below it; their packs are in the pack trace, in
    the same order."""
    fetches, receiving = [], []
    for line in Path(trace_path).read_text().splitlines():
        event = json.loads(line)
        if event["event"] != "start":
            continue
        sid, name = event["sid"], git_command(event["argv"])
        if "/" not in sid and name == "fetch":
            fetches.append(sid)
        elif sid.split("/")[0] in fetches and name in ("index-pack", "unpack-objects"):
            receiving.append(sid.split("/")[0])
    sizes = pack_sizes(Path(pack_path).read_bytes()) if Path(pack_path).exists() else []
    if len(sizes) != len(receiving):
        raise RuntimeError(f"{len(sizes)} packs traced for {len(receiving)} fetches that received objects")
    received = dict.fromkeys(fetches, 0)
    for sid, size in zip(receiving, sizes):
        received[sid] += size
    return list(received.values())


def commit_project(runner, sandbox, profile, gid):
    result = {}
    for size in profile.commit_sizes:
        # The files are written once per size and copied into each run's fresh clone.
        template = runner.workdir / f"files-{size}"
        template.mkdir()
        total = write_files(template, size, seed=size)
        runs = []
        for r in range(profile.commit_rounds):
            name = f"bench-commit-{size}-{r}"
            setup_start = time.monotonic()
            runner.run(runner.command("driver", "create-project", {"project": name, "group": gid}, target=False))
            base = runner.workdir / name
            library_copy, plumbing_copy = base / "library", base / "plumbing"
            runner.run(runner.command("driver", "clone", {"dir": library_copy, "project": name, "group": gid,
                                                          "branch": BRANCH}, target=False))
            subprocess.run(["cp", "-a", f"{template}/.", str(library_copy)], check=True)
            subprocess.run(["cp", "-a", str(library_copy), str(plumbing_copy)], check=True)
            os.sync()  # neither timed run pays for writing back the copies
            setup = time.monotonic() - setup_start
            message = f"Benchmark commit of {size} files"
            plumbing, _, _ = runner.run(runner.command("driver", "plumbing", {
                "dir": plumbing_copy, "branch": BRANCH, "message": message}, target=False))
            # cat-file answers "missing" for an unknown object and still succeeds: check it read every file.
            if plumbing["blobs"] != size or plumbing["blob_bytes"] < total:
                raise RuntimeError(f"the git plumbing read {plumbing['blobs']} blobs of {plumbing['blob_bytes']} "
                                   f"bytes, expected {size} files of {total} bytes")
            trace, packs = base / "trace2.json", base / "packs.bin"
            env = {**runner.env, "GIT_TRACE2_EVENT": str(trace), "GIT_TRACE_PACKFILE": str(packs)}
            argv = runner.command("driver", "commit-project", {"dir": library_copy, "message": message,
                                                               "project": name, "branch": BRANCH, "group": gid},
                                  target=False)
            server_before = sandbox.cpu_times()
            library, stdout, _ = runner.run(argv, env=env)
            server_after = sandbox.cpu_times()
            if "Successfully committed" not in stdout:
                raise RuntimeError(f"commit_project did not commit:\n{stdout}")
            received = fetch_received(trace, packs)
            runs.append({"library": library, "plumbing": plumbing, "git": trace_breakdown(trace), "bytes": total,
                         "fetches_received": received,
                         "setup_s": setup, "server_cpu_s": server_after[0] - server_before[0],
                         "server_git_cpu_s": server_after[1] - server_before[1]})
            shutil.rmtree(base)
            sandbox.clear_journal()
            print(f"bench: commit_project of {size} files: {library['seconds']:.1f} s, plumbing "
                  f"{plumbing['seconds']:.1f} s, setup {setup:.1f} s", file=sys.stderr, flush=True)
        shutil.rmtree(template)
        result[size] = {
            "runs": runs,
            "bytes": total,
            "largest": max(LARGE_FILES),
            "library_s": statistics.median(run["library"]["seconds"] for run in runs),
            "plumbing_s": statistics.median(run["plumbing"]["seconds"] for run in runs),
            "library_rss_kib": statistics.median(run["library"]["max_rss_kib"] for run in runs),
            "git_rss_kib": statistics.median(run["library"]["max_rss_children_kib"] for run in runs),
            "upload_s": statistics.median(commit_phases(run["git"])["upload"] for run in runs),
            "before_upload_s": statistics.median(commit_phases(run["git"])["before_upload"] for run in runs),
            "after_upload_s": statistics.median(commit_phases(run["git"])["after_upload"] for run in runs),
            # The last fetch is the one after the upload.
            "second_fetch_bytes": statistics.median(run["fetches_received"][-1] for run in runs),
            "library_cpu_s": statistics.median(run["library"]["cpu_seconds"] for run in runs),
            "server_cpu_s": statistics.median(run["server_cpu_s"] for run in runs),
            "server_git_cpu_s": statistics.median(run["server_git_cpu_s"] for run in runs),
        }
    return result


# ---------------------------------------------------------------------------------------------


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", required=True, help="the build directory (configured with ZORV_BUILD_BENCH=ON)")
    parser.add_argument("--quick", action="store_true", help="few iterations, to try the benchmarks out")
    parser.add_argument("--only", help="comma-separated parts: wire,latency,link,cpu,costs,import,scale,threads,"
                                       "commit,fleet")
    parser.add_argument("--sandbox-threads", type=int, default=64)
    parser.add_argument("--commit-sizes", help="comma-separated file counts for commit_project (default 1000,10000)")
    parser.add_argument("--commit-rounds", type=int, help="runs per commit_project size (default 3)")
    parser.add_argument("--rtt", help="comma-separated round trip times in ms: run the link part (every "
                                      "operation directly and through a delaying relay) instead of the others")
    args = parser.parse_args(argv)
    rtts = [int(x) for x in args.rtt.split(",")] if args.rtt else []
    parts = set((args.only or ("link" if rtts else "wire,latency,cpu,costs,import,scale,threads,commit,fleet"))
                .split(","))
    if "link" in parts and not rtts:
        parser.error("the link part needs --rtt")
    profile = Profile(args.quick)
    if args.commit_sizes:
        profile.commit_sizes = [int(n) for n in args.commit_sizes.split(",")]
    if args.commit_rounds:
        profile.commit_rounds = args.commit_rounds
    build = Path(args.build).resolve()
    started = time.monotonic()
    results = {"quick": args.quick, "machine": report.machine(), "load": [os.getloadavg()[0]]}

    sandbox = Sandbox(str(build / "sandbox" / "zorv-gitlab-sandbox"), args.sandbox_threads)
    workdir = build / "bench-work"  # working copies and callgrind files, removed at the end
    shutil.rmtree(workdir, ignore_errors=True)
    workdir.mkdir()
    try:
        runner = Runner(build, sandbox, workdir)
        gid = setup(runner, sandbox)

        def part(name, function, *a):
            if name not in parts:
                return
            t = time.monotonic()
            print(f"bench: {name} ...", file=sys.stderr, flush=True)
            results[name] = function(*a)
            print(f"bench: {name} took {time.monotonic() - t:.0f} s", file=sys.stderr, flush=True)

        part("wire", wire_check, runner, sandbox)
        part("latency", latency, runner, sandbox, profile)
        part("link", link, runner, sandbox, profile, rtts)
        part("cpu", cpu, runner, profile)
        part("costs", costs, runner, profile)
        part("import", import_time, runner, profile)
        part("scale", lookup_at_scale, build, profile)
        part("threads", threads, runner, sandbox, profile)
        part("commit", commit_project, runner, sandbox, profile, gid)
        part("fleet", fleet.run, runner, sandbox, profile.fleet_projects, PYTHON)
    finally:
        sandbox.stop()
        shutil.rmtree(workdir, ignore_errors=True)
    results["seconds"] = time.monotonic() - started
    results["load"].append(os.getloadavg()[0])
    (build / ("bench-link-results.json" if rtts else "bench-results.json")).write_text(json.dumps(results, indent=1))
    print(report.table(results, profile_text=report.profile_text(profile) if "latency" in results else ""))


if __name__ == "__main__":
    main(sys.argv[1:])
