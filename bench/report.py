"""Turning benchmark results into the printed table, and the wire comparison of the clients."""

import os
import platform

LABELS = {
    "cpp": "C++ library",
    "python": "Python library",
    "requests": "(a) requests",
    "curl": "(b) curl program",
    "libcurl": "(c) bare libcurl",
}

OPERATIONS = ["get_project_info", "get_single_pipeline_status", "create_branch"]

# Goals of the issue, as (ratio name, comparison, bound).
LATENCY_GOALS = [("(a)/lib", ">=", 10.0), ("(b)/lib", ">=", 20.0), ("lib/(c)", "<=", 1.2)]


# What http.client (under requests) always adds when no encoding is asked for; it asks for the same
# uncompressed answer as no header at all.
IDENTITY = ("accept-encoding", "identity")


def normalize_journal(entries, branch):
    """The requests as the server saw them: the client's own branch name replaced by <branch>, the
    token by <token>, header names in lower case, Host left out."""
    out = []
    for e in entries:
        headers = {k.lower(): v.replace(branch, "<branch>") for k, v in e["headers"].items()}
        headers.pop("host", None)  # the same server; only its spelling could differ
        if "private-token" in headers:
            headers["private-token"] = "<token>"
        out.append({
            "method": e["method"],
            "path": e["path"].replace(branch, "<branch>"),
            "query": e["query"],
            "headers": dict(sorted(headers.items())),
            "body": e["body"].replace(branch, "<branch>"),
        })
    return out


def compare_wire(seen, reference):
    """Per client: "same", or the first difference from the reference client's requests."""
    want = seen[reference]
    verdicts = {}
    for client, got in seen.items():
        if len(got) != len(want):
            verdicts[client] = f"{len(got)} requests instead of {len(want)}"
            continue
        identity = False
        verdicts[client] = "same"
        for i, (a, b) in enumerate(zip(want, got)):
            if b["headers"].get(IDENTITY[0]) == IDENTITY[1] and IDENTITY[0] not in a["headers"]:
                identity = True
                b = {**b, "headers": {k: v for k, v in b["headers"].items() if k != IDENTITY[0]}}
            if a != b:
                fields = [k for k in a if a[k] != b[k]]
                detail = {k: (a[k], b[k]) for k in fields}
                verdicts[client] = f"request {i + 1} differs in {', '.join(fields)}: {detail}"
                break
        else:
            if identity:
                verdicts[client] = ("same, but for the header Accept-Encoding: identity, which http.client adds "
                                    "itself (it asks for the same uncompressed answer as no header)")
    return {"requests": len(want), "clients": verdicts, "sample": want}


def machine():
    return {"cpus": os.cpu_count(), "system": platform.platform(), "python": platform.python_version()}


def profile_text(profile):
    fast = profile.iterations["fast"]
    slow = profile.iterations["slow"]
    return (f"{profile.rounds} runs per cell; iterations per run: libraries and (c) "
            f"{fast['get_project_info']}/{fast['get_single_pipeline_status']}/{fast['create_branch']}, "
            f"(a) and (b) {slow['get_project_info']}/{slow['get_single_pipeline_status']}/{slow['create_branch']}")


def verdict(value, comparison, bound):
    ok = {">=": value >= bound, "<=": value <= bound, "<": value < bound}[comparison]
    return "met" if ok else "MISSED"


def _ms(us):
    return f"{us / 1000:.3f}"


def _row(cells):
    return "| " + " | ".join(str(c) for c in cells) + " |"


def latency_table(latency):
    lines = ["### Latency per operation (ms, median of runs; each run the median of its iterations)", "",
             _row(["operation"] + [LABELS[c] for c in LABELS] +
                  ["(a)/C++", "(b)/C++", "C++/(c)", "(a)/Py", "(b)/Py", "Py/(c)"]),
             _row(["---"] * 12)]
    for op in latency["cpp"]:
        m = {c: latency[c][op]["median_us"] for c in LABELS}
        cells = [op] + [_ms(m[c]) for c in LABELS]
        for lib in ("cpp", "python"):
            ratios = [m["requests"] / m[lib], m["curl"] / m[lib], m[lib] / m["libcurl"]]
            cells += [f"{r:.1f}x {verdict(r, c, b)}" if i < 2 else f"{r:.2f} {verdict(r, c, b)}"
                      for i, (r, (_, c, b)) in enumerate(zip(ratios, LATENCY_GOALS))]
        lines.append(_row(cells))
    lines += ["", "Goals: (a)/lib >= 10, (b)/lib >= 20, lib/(c) <= 1.2."]
    steps = latency.get("libcurl_requests_us", {}).get("create_branch")
    if steps:
        names = ["lookup", "lookup", "branch GET (404)", "POST"]
        lines += ["", "create_branch request by request, as (c) sends them (ms, median): " +
                  ", ".join(f"{n} {_ms(us)}" for n, us in zip(names, steps)) + "."]
    return lines


# Goals on a link of 20 ms round trip: round trips paid per request sent (library faces), round trips of
# create_branch, and how many times faster than (a) each operation is.
LINK_GOALS = {"per_request": 1.1, "create_branch": 3.3, "requests_ratio": 3.0}


def round_trips(relayed_us, direct_us, rtt_ms):
    """Round trips an operation paid on the link: its time through the relay less its time direct, in
    units of the round trip time."""
    return (relayed_us - direct_us) / 1000.0 / rtt_ms


def _count(requests):
    return f"{requests:g}" if requests == int(requests) else f"{requests:.2f}"


def link_tables(link):
    lines = []
    for rtt, data in link.items():
        cells = data["clients"]
        plan = data["plan"]
        lines += [f"### On a link of {rtt} ms round trip (relay: {float(rtt) / 2:g} ms each way, TCP and TLS "
                  "handshakes included)", "",
                  f"Median of {plan['rounds']} run{'s' if plan['rounds'] != 1 else ''} per cell; iterations per run through the relay: libraries and "
                  f"(c) {'/'.join(str(n) for n in plan['relayed']['fast'].values())}, (a) and (b) "
                  f"{'/'.join(str(n) for n in plan['relayed']['slow'].values())}. Round trips paid: (time through "
                  f"the relay - time direct) / {rtt} ms. Requests sent: counted in the sandbox journal.", "",
                  _row(["operation", "client", "requests sent", "direct ms", "through the relay ms",
                        "round trips paid", "per request"]),
                  _row(["---"] * 7)]
        for op in OPERATIONS:
            for client in LABELS:
                c = cells[client][op]
                paid = round_trips(c["relayed_us"], c["direct_us"], float(rtt))
                per = paid / c["requests"] if c["requests"] else float("nan")
                lines.append(_row([op, LABELS[client], _count(c["requests"]), _ms(c["direct_us"]),
                                   f"{c['relayed_us'] / 1000:.1f}", f"{paid:.2f}", f"{per:.2f}"]))
        lines += ["", "Goals (set for a 20 ms round trip), C++ / Python:"]
        for op in OPERATIONS:
            verdicts = []
            for lib in ("cpp", "python"):
                c = cells[lib][op]
                paid = round_trips(c["relayed_us"], c["direct_us"], float(rtt))
                per = paid / c["requests"]
                ratio = cells["requests"][op]["relayed_us"] / c["relayed_us"]
                text = (f"{per:.2f} round trips per request {verdict(per, '<=', LINK_GOALS['per_request'])}, "
                        f"(a)/lib {ratio:.1f}x {verdict(ratio, '>=', LINK_GOALS['requests_ratio'])}")
                if op == "create_branch":
                    text += f", {paid:.2f} round trips {verdict(paid, '<=', LINK_GOALS['create_branch'])}"
                verdicts.append(text)
            lines.append(f"- {op}: " + " / ".join(verdicts))
        lines += ["", f"(round trips per request <= {LINK_GOALS['per_request']}, (a)/lib >= "
                  f"{LINK_GOALS['requests_ratio']:g}, create_branch <= {LINK_GOALS['create_branch']} round trips)", ""]
    return lines[:-1]


def cpu_table(cpu):
    base = cpu["requests"]["per_request"]
    lines = ["### Client CPU per request (callgrind instructions; (2N - N runs) / requests)", "",
             _row(["client", "instructions per request", "share of (a)", "goal <= 0.10", "start-up instructions"]),
             _row(["---"] * 5)]
    for client in ("cpp", "python", "requests"):
        per = cpu[client]["per_request"]
        share = per / base
        goal = verdict(share, "<=", 0.10) if client != "requests" else ""
        lines.append(_row([LABELS[client], f"{per:,.0f}", f"{share:.3f}", goal, f"{cpu[client]['startup']:,.0f}"]))
    return lines


def costs_lines(costs):
    kept, fresh, no_path = (costs["get_kept_alive_us"], costs["get_fresh_connection_us"],
                            costs["get_fresh_connection_no_ca_path_us"])
    return ["### Costs measured alone (ms, median)", "",
            _row(["what", "ms"]), _row(["---"] * 2),
            _row(["GET of the pipeline record on a kept-alive connection", _ms(kept)]),
            _row(["the same GET on a fresh connection (TLS session resumed; what each request costs a client without kept-alive connections)", _ms(fresh)]),
            _row(["the same, CURLOPT_CAPATH unset (libcurl then caches the CA store)", _ms(no_path)]),
            _row([f"decoding the whole search answer ({costs['search_bytes']} bytes) into ordered_json (the lookup decodes only the matching record)",
                  _ms(costs["decode_search_us"])]),
            _row([f"decoding the pipeline record ({costs['pipeline_bytes']} bytes) into ordered_json",
                  _ms(costs["decode_pipeline_us"])])]


def import_table(imports):
    ours = imports["zorv_git_gitlab.git"]
    theirs = imports["requests, git"]
    ratio = theirs["import_s"] / ours["import_s"]
    return ["### Import in /usr/bin/python3 (ms, median of fresh processes)", "",
            _row(["statement", "import alone", "whole process"]), _row(["---"] * 3),
            _row(["import zorv_git_gitlab.git", f"{ours['import_s'] * 1000:.1f}", f"{ours['process_s'] * 1000:.1f}"]),
            _row(["import requests, git", f"{theirs['import_s'] * 1000:.1f}", f"{theirs['process_s'] * 1000:.1f}"]),
            "", f"Ratio (import alone): {ratio:.1f}x, goal >= 5: {verdict(ratio, '>=', 5.0)}; "
                f"whole process: {theirs['process_s'] / ours['process_s']:.1f}x."] + (
        ["", "Heaviest modules of `import zorv_git_gitlab.git` (cumulative ms, `-X importtime`): " +
         ", ".join(f"{name} {ms:.1f}" for name, ms in imports["modules_ms"].items()) + "."]
        if "modules_ms" in imports else [])


def scale_table(scale):
    """get_project_info with look-alike projects on the instance: requests and time per size (JSON keys of
    the sizes are text after a round trip through the results file)."""
    sizes = sorted(scale, key=int)
    lines = ["### get_project_info on a crowded instance (look-alike projects seeded in bulk, in another group, "
             "newer than the one looked up)", "",
             _row(["look-alikes", "seeding s (this row's)", "C++ requests", "C++ ms", "Python requests", "Python ms",
                   "instance-wide search (before): requests", "its time s", "its result"]),
             _row(["---"] * 9)]
    for size in sizes:
        cell = scale[size]
        cpp, py, before = cell["clients"]["cpp"], cell["clients"]["python"], cell["before"]
        if before["found"]:
            outcome = "found"
        elif before["status"] == 405:
            outcome = "405 past the offset limit: reported missing"
        else:
            outcome = f"not found ({before['status']})"
        lines.append(_row([f"{int(size):,}", f"{cell['seed_s']:.1f}", f"{cpp['requests']:g}", _ms(cpp["median_us"]),
                           f"{py['requests']:g}", _ms(py["median_us"]), before["requests"],
                           "not walked" if before["seconds"] is None else f"{before['seconds']:.2f}", outcome]))
    spread = []
    for client in ("cpp", "python"):
        times = [scale[size]["clients"][client]["median_us"] for size in sizes]
        spread.append(f"{LABELS[client]} {max(times) / min(times):.2f}")
    one = all(scale[size]["clients"][c]["requests"] == 1 for size in sizes for c in ("cpp", "python"))
    lines += ["", f"Goals: 1 request at every size: {'met' if one else 'MISSED'}; time flat across sizes "
              f"(slowest size / fastest): {', '.join(spread)}."]
    return lines


def threads_table(threads):
    lines = ["### get_single_pipeline_status from N threads (requests per second, median of runs; cores busy in "
             "the sandbox and in the client, and cores left idle on the machine, during the timed window)", "",
             _row(["threads", "C++ req/s", "sandbox", "client", "idle", "Python req/s", "sandbox", "client", "idle"]),
             _row(["---"] * 9)]
    for count in threads["cpp"]:
        cells = [count]
        for face in ("cpp", "python"):
            r = threads[face][count]
            cells += [f"{r['per_second']:.0f}", f"{r['server_cores']:.2f}", f"{r['client_cores']:.2f}",
                      f"{r.get('idle_cores', float('nan')):.2f}"]
        lines.append(_row(cells))
    return lines


def commit_table(commit):
    lines = ["### commit_project (s and MiB, median of runs)", "",
             _row(["files", "MiB", "largest MiB", "commit_project", "git plumbing alone", "ratio (goal <= 1.5)",
                   "library peak RSS", "largest git child RSS"]),
             _row(["---"] * 8)]
    for size, c in commit.items():
        ratio = c["library_s"] / c["plumbing_s"]
        lines.append(_row([size, f"{c['bytes'] / 2**20:.0f}", f"{c['largest'] / 2**20:.0f}", f"{c['library_s']:.2f}",
                           f"{c['plumbing_s']:.2f}", f"{ratio:.2f} {verdict(ratio, '<=', 1.5)}",
                           f"{c['library_rss_kib'] / 1024:.1f}", f"{c['git_rss_kib'] / 1024:.1f}"]))
    lines += ["", "Where commit_project's time goes (s): its git commands before the upload (fetch, merge, add, "
              "commit, diff-tree, the log of the files' last commits and small queries); the upload, from the end of "
              "those to the next git command (the request body streamed and the answer received); the second fetch and merge, and the pack bytes that "
              "fetch received (git's GIT_TRACE_PACKFILE) against the bytes of the files committed (goal: under 1 %). "
              "CPU: this process, and the sandbox's own and that of the git commands it ran, during the call.", "",
              _row(["files", "git before upload", "upload (POST)", "second fetch + merge", "second fetch received",
                    "library CPU", "sandbox CPU", "sandbox's git CPU"]),
              _row(["---"] * 8)]
    for size, c in commit.items():
        share = c["second_fetch_bytes"] / c["bytes"]
        received = (f"{c['second_fetch_bytes'] / 2**20:.1f} MiB ({share:.1%}) {verdict(share, '<', 0.01)}"
                    if c["second_fetch_bytes"] >= 2**20 else
                    f"{c['second_fetch_bytes']:,.0f} bytes ({share:.2%}) {verdict(share, '<', 0.01)}")
        lines.append(_row([size, f"{c['before_upload_s']:.2f}", f"{c['upload_s']:.2f}", f"{c['after_upload_s']:.2f}",
                           received, f"{c['library_cpu_s']:.2f}", f"{c['server_cpu_s']:.2f}",
                           f"{c['server_git_cpu_s']:.2f}"]))
    return lines


def fleet_table(fleet):
    allowed = fleet["limit"] / fleet["period"]
    lines = [f"### Fleet: {fleet['threads']} threads set a variable on each of {fleet['projects']} projects through "
             f"the authenticated API throttle ({fleet['limit']} requests per {fleet['period']} s), Python face", "",
             _row(["pacing", "operations completed", "failed", "variables written once", "requests",
                   "429 answers", "seconds", "achieved rate (share of allowed)"]),
             _row(["---"] * 8)]
    goals = {"retries alone": (0.75, None), "adaptive pacing": (0.90, 0.01), "fixed pacing": (None, None)}
    for mode, r in fleet["modes"].items():
        share = r["requests"] and (r["requests"] - r["throttled"]) / r["seconds"] / allowed
        throttled = r["throttled"] / r["requests"] if r["requests"] else 0.0
        once = r["written_once"] == fleet["projects"] and r["values_right"] == fleet["projects"]
        rate_goal, throttle_goal = goals.get(mode, (None, None))
        lines.append(_row([
            mode, r["completed"], f"{r['failed']} {verdict(r['failed'], '<=', 0)}",
            f"{r['written_once']} of {fleet['projects']} {'ok' if once else 'MISSED'}", r["requests"],
            f"{r['throttled']} ({throttled:.1%})" + (f" {verdict(throttled, '<=', throttle_goal)}" if throttle_goal else ""),
            f"{r['seconds']:.1f}",
            f"{share:.1%}" + (f" {verdict(share, '>=', rate_goal)}" if rate_goal else "")]))
    lines += ["", "Goals: 0 failed operations and every variable written exactly once in every mode; adaptive "
              "pacing at least 90 % of the allowed rate with at most 1 % of requests answered 429; retries alone "
              "at least 75 %. The rate counts the requests the server accepted, over the whole run."]
    return lines


def wire_lines(wire):
    lines = [f"Wire check: each client's {wire['requests']} requests (one of each operation) "
             "compared in the sandbox journal with the C++ library's:"]
    for client, v in wire["clients"].items():
        lines.append(f"- {LABELS[client]}: {v}")
    return lines


def table(results, profile_text=""):
    lines = ["## Benchmark results" + (" (quick profile: not for comparison)" if results.get("quick") else ""), ""]
    m = results["machine"]
    lines += [f"Machine: {m['cpus']} CPUs, {m['system']}, Python {m['python']}." +
              (f" {profile_text}." if profile_text else "")]
    if "load" in results:
        lines.append("Load average (1 min) of the machine at the start and the end: " +
                     " and ".join(f"{x:.2f}" for x in results["load"]) + " (other work running at the same time "
                     "shows here and disturbs the numbers).")
    lines.append("")
    sections = [("wire", wire_lines), ("latency", latency_table), ("link", link_tables), ("cpu", cpu_table),
                ("costs", costs_lines),
                ("import", import_table), ("scale", scale_table),
                ("threads", threads_table), ("commit", commit_table), ("fleet", fleet_table)]
    for key, render in sections:
        if key in results:
            lines += render(results[key]) + [""]
    if "seconds" in results:
        lines.append(f"Benchmarks ran {results['seconds'] / 60:.1f} minutes.")
    return "\n".join(lines)
