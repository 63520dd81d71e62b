"""A `git` to put first on PATH that kills the process group it runs in (SIGKILL, the way a CI timeout
or the OOM killer ends a job) at a chosen git command. Every command it sees (the library's; git's
own inner commands do not come through PATH) is appended to the log `<dir>/log`, one subcommand a
line. ZORV_KILL names the point: "<which>:<n>:<how>", where <which> is a subcommand ("merge") or
"any", <n> counts the commands of that kind, and <how> is

- "kill": the group is killed before the command starts;
- "lock": the same, after leaving the lock files a git killed while it held them leaves (index.lock,
  a copy of the index, and the lock of the ref the command would move);
- "hook-<name>": the command runs with the hook <name> (pre-merge-commit, prepare-commit-msg,
  post-merge, ...) killing the group from inside git.

An empty ZORV_KILL kills nothing."""

import os
import subprocess
import time

SCRIPT = r"""#!/bin/sh
sub= skip=
for arg; do
    if [ -n "$skip" ]; then skip=; continue; fi
    case "$arg" in -c|-C) skip=1 ;; -*) ;; *) sub=$arg; break ;; esac
done
[ -n "$sub" ] || exec "$REAL_GIT" "$@"
echo "$sub" >> "$ZORV_KILL_DIR/log"
count() {
    n=$(( $(cat "$ZORV_KILL_DIR/count-$1" 2>/dev/null || echo 0) + 1 ))
    echo "$n" > "$ZORV_KILL_DIR/count-$1"
    echo "$n"
}
all=$(count any)
mine=$(count "$sub")
for point in "any:$all" "$sub:$mine"; do
    case "$ZORV_KILL" in
        "$point:kill") kill -KILL 0 ;;
        "$point:lock")
            gitdir=$("$REAL_GIT" rev-parse --git-dir)
            cp "$gitdir/index" "$gitdir/index.lock"
            case "$sub" in
                fetch) ref=refs/remotes/origin/master ;;
                *) ref=$("$REAL_GIT" symbolic-ref -q HEAD || echo HEAD) ;;
            esac
            mkdir -p "$gitdir/$(dirname "$ref")"
            : > "$gitdir/$ref.lock"
            kill -KILL 0 ;;
        "$point:hook-"*) exec "$REAL_GIT" -c core.hooksPath="$ZORV_KILL_DIR/hooks-${ZORV_KILL##*:hook-}" "$@" ;;
    esac
done
exec "$REAL_GIT" "$@"
"""

HOOKS = ("pre-merge-commit", "prepare-commit-msg", "post-merge")


def install(directory):
    """Writes the git and one hooks folder per hook of HOOKS into `directory`; the environment
    (added to os.environ's) that puts it first on PATH, with nothing to kill yet."""
    directory.mkdir(parents=True, exist_ok=True)
    (directory / "git").write_text(SCRIPT)
    (directory / "git").chmod(0o755)
    for hook in HOOKS:
        (directory / f"hooks-{hook}").mkdir(exist_ok=True)
        (directory / f"hooks-{hook}" / hook).write_text("#!/bin/sh\nkill -KILL 0\n")
        (directory / f"hooks-{hook}" / hook).chmod(0o755)
    real = subprocess.run(["sh", "-c", "command -v git"], capture_output=True, text=True, check=True).stdout.strip()
    return {"REAL_GIT": real, "ZORV_KILL_DIR": str(directory), "ZORV_KILL": "",
            "PATH": f"{directory}{os.pathsep}{os.environ['PATH']}"}


def reset(directory):
    """Forgets the commands counted and logged so far."""
    for entry in directory.iterdir():
        if entry.name == "log" or entry.name.startswith("count-"):
            entry.unlink()


def logged(directory):
    """The subcommands run since the last reset, in order."""
    log = directory / "log"
    return log.read_text().split() if log.exists() else []


def wait_dead(group, seconds=30):
    """Waits until no process of the process group `group` runs any more (zombies count as gone).
    SIGKILL is delivered to each member on its own: the child a test waited for can be reaped while
    another member (a git, or this script killing the group) is still exiting in its working copy,
    where the next call would rightly find a live git."""
    deadline = time.monotonic() + seconds
    while True:
        alive = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open(f"/proc/{entry}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
            except OSError:
                continue  # gone meanwhile
            if int(fields[2]) == group and fields[0] != "Z":
                alive.append(int(entry))
        if not alive:
            return
        assert time.monotonic() < deadline, f"processes {alive} of killed group {group} still run"
        time.sleep(0.01)
