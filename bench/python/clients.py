"""The Python side of the benchmarks, run by bench/run.py with /usr/bin/python3.

Two clients send the same requests:
  library   zorv_git_gitlab.git.GitlabGit (the library's Python face)
  requests  baseline (a): module-level `requests` calls, a new connection per request, written the
            straightforward way; only the headers requests adds on its own are aligned with the
            library's (User-Agent; no Accept-Encoding, no Connection) and the JSON body is written
            compactly, so that both put the same bytes on the wire.

Subcommands (each prints one line "BENCH-RESULT <json>"):
  latency  --client C --op OP --iterations N [--warmup N] --tag T <target>
  sequence --client C --count N --tag T <target>       every operation N times (for callgrind)
  threads  --threads N --millis MS [--server-pid PID] <target>
           library get_single_pipeline_status from N threads: throughput, CPU of client and server
<target>: --project NAME --group ID --project-id ID --pipeline-id ID
"""

import argparse
import json
import os
import statistics
import sys
import threading
import time

USER_AGENT = "zorv_git_gitlab/0.1"


class RequestsClient:
    """Baseline (a): what a user of `requests` would write for the three operations."""

    def __init__(self, target):
        import requests

        self.requests = requests
        self.t = target
        self.api = "https://" + os.environ["GITLAB_HOST"] + "/api/v4/"
        self.headers = {"PRIVATE-TOKEN": os.environ["GITLAB_TOKEN"], "User-Agent": USER_AGENT,
                        "Accept-Encoding": None, "Connection": None}

    def _project(self):
        r = self.requests.get(f"{self.api}groups/{self.t.group}/projects", headers=self.headers,
                              params={"search": self.t.project, "simple": True, "with_shared": False,
                                      "include_subgroups": False, "per_page": 100})
        if r.status_code != 200:
            return None
        for project in r.json():
            if project["name"] == self.t.project and project["namespace"]["id"] == self.t.group:
                return project
        return None

    def get_project_info(self):
        if self._project() is None:
            raise RuntimeError("project not found")

    def get_single_pipeline_status(self):
        r = self.requests.get(f"{self.api}projects/{self.t.project_id}/pipelines/{self.t.pipeline_id}",
                              headers=self.headers)
        if r.status_code != 200:
            raise RuntimeError(f"pipeline GET answered {r.status_code}")
        r.json()

    def create_branch(self, branch):
        project_id = self._project()["id"]
        self._project()  # the existence test repeats the lookup
        r = self.requests.get(f"{self.api}projects/{project_id}/repository/branches/{branch}", headers=self.headers)
        if r.status_code == 200 and r.json():
            raise RuntimeError(f"branch {branch} exists")
        body = json.dumps({"id": project_id, "branch": branch, "ref": "master"}, separators=(",", ":"))
        r = self.requests.post(f"{self.api}projects/{project_id}/repository/branches",
                               headers={**self.headers, "Content-Type": "application/json"}, data=body)
        if r.status_code != 201:
            raise RuntimeError(f"branch creation answered {r.status_code}: {r.text}")
        r.json()


class LibraryClient:
    """The library's Python face."""

    def __init__(self, target):
        from zorv_git_gitlab.git import GitlabGit

        self.g = GitlabGit
        self.t = target

    def get_project_info(self):
        if self.g.get_project_info(self.t.project, self.t.group) is None:
            raise RuntimeError("project not found")

    def get_single_pipeline_status(self):
        if self.g.get_single_pipeline_status(self.t.project_id, self.t.pipeline_id) is None:
            raise RuntimeError("no pipeline record")

    def create_branch(self, branch):
        if self.g.create_branch(self.t.project, self.t.group, branch) is None:
            raise RuntimeError(f"branch {branch} not created")


CLIENTS = {"requests": RequestsClient, "library": LibraryClient}


def run_operation(client, op, branch):
    if op == "create_branch":
        client.create_branch(branch)
    else:
        getattr(client, op)()


def summarize(samples_us):
    samples_us = sorted(samples_us)
    return {"count": len(samples_us), "median_us": statistics.median(samples_us),
            "mean_us": statistics.fmean(samples_us), "min_us": samples_us[0],
            "p90_us": samples_us[min(len(samples_us) - 1, len(samples_us) * 9 // 10)]}


def latency(args, target):
    client = CLIENTS[args.client](target)
    for i in range(args.warmup):
        run_operation(client, args.op, f"{args.tag}-w-{i}")
    samples = []
    clock = time.perf_counter_ns
    for i in range(args.iterations):
        branch = f"{args.tag}-{i}"
        start = clock()
        run_operation(client, args.op, branch)
        samples.append((clock() - start) / 1000.0)
    return summarize(samples)


def sequence(args, target):
    client = CLIENTS[args.client](target)
    for i in range(args.count):
        client.get_project_info()
        client.get_single_pipeline_status()
        client.create_branch(f"{args.tag}-{i}")
    return {"iterations": args.count, "requests": args.count * 6}


def process_cpu_seconds(pid):
    """CPU seconds (user + system) of another process, from /proc."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def machine_idle_seconds():
    """Idle CPU seconds of the whole machine so far (idle and iowait of /proc/stat's "cpu" line)."""
    with open("/proc/stat") as f:
        fields = f.readline().split()
    return (int(fields[4]) + int(fields[5])) / os.sysconf("SC_CLK_TCK")


def threads(args, target):
    """Every thread first opens its connection with one call; then all run until the same deadline,
    and only calls completed before it count. CPU use of this process and of the server is taken over
    the same window, and the machine's idle time."""
    from zorv_git_gitlab.git import GitlabGit

    done = [0] * args.threads
    failures = []
    ready = threading.Barrier(args.threads + 1)
    go = threading.Event()
    deadline = [0.0]

    def work(index):
        try:
            GitlabGit.get_single_pipeline_status(target.project_id, target.pipeline_id)
        except Exception as e:  # reported after the join
            failures.append(repr(e))
        ready.wait()
        go.wait()
        while not failures:
            try:
                if GitlabGit.get_single_pipeline_status(target.project_id, target.pipeline_id) is None:
                    failures.append("no pipeline record")
            except Exception as e:
                failures.append(repr(e))
            if time.monotonic() > deadline[0]:
                break
            done[index] += 1

    workers = [threading.Thread(target=work, args=(i,)) for i in range(args.threads)]
    for w in workers:
        w.start()
    ready.wait()
    window = args.millis / 1000.0
    client_cpu = -time.process_time()
    server_cpu = -process_cpu_seconds(args.server_pid) if args.server_pid else 0.0
    idle = -machine_idle_seconds()
    deadline[0] = time.monotonic() + window
    go.set()
    time.sleep(max(0.0, deadline[0] - time.monotonic()))
    client_cpu += time.process_time()
    server_cpu += process_cpu_seconds(args.server_pid) if args.server_pid else 0.0
    idle += machine_idle_seconds()
    for w in workers:
        w.join()
    if failures:
        raise RuntimeError(failures[0])
    total = sum(done)
    return {"threads": args.threads, "requests": total, "per_second": total / window,
            "client_cores": client_cpu / window, "server_cores": server_cpu / window, "idle_cores": idle / window}


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("command", choices=["latency", "sequence", "threads"])
    parser.add_argument("--client", choices=sorted(CLIENTS), default="library")
    parser.add_argument("--op")
    parser.add_argument("--iterations", type=int, default=10)
    parser.add_argument("--warmup", type=int, default=3)
    parser.add_argument("--count", type=int, default=1)
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--millis", type=int, default=1000)
    parser.add_argument("--server-pid", type=int, default=0)
    parser.add_argument("--tag", default="py")
    parser.add_argument("--project", required=True)
    parser.add_argument("--group", type=int, required=True)
    parser.add_argument("--project-id", type=int, default=0)
    parser.add_argument("--pipeline-id", type=int, default=0)
    args = parser.parse_args(argv)
    result = {"latency": latency, "sequence": sequence, "threads": threads}[args.command](args, args)
    sys.stdout.flush()
    print("BENCH-RESULT " + json.dumps(result), flush=True)


if __name__ == "__main__":
    main(sys.argv[1:])
