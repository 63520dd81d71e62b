"""Every operation of GitlabGit, run by test_secrets.py in a child interpreter so that its real standard
output and standard error can be searched for the token. Exceptions are printed whole (traceback and
message) and log records are written to standard error, so all of them are searched too.

    secrets_workload.py PHASE GROUP_ID USER_ID WORK_DIR REPORT_FILE

PHASE: "success" (everything as it should go), "git" (the git routes refused), "refused" (every API
request refused), "transport" (connections dropped), "tls" (a CA bundle that does not match),
"cleanup" (the deletions). The report file gets, per operation, what came of each call, and the
secrets the operations minted (so that the test can search for them too).
"""

import json
import logging
import os
import sys
import traceback

from zorv_git_gitlab.git import GitlabGit

logging.basicConfig(level=logging.DEBUG, stream=sys.stderr, format="LOG %(levelname)s %(name)s: %(message)s")

phase, group, user, work, report_file = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4], sys.argv[5]
GitlabGit.merge_poll_interval = 0.05
GitlabGit.stall_timeout = 2.0
GitlabGit.max_tries = 2
GitlabGit.retry_total_time = 2.0

outcomes = {}
minted = []


def call(name, *args):
    try:
        result = getattr(GitlabGit, name)(*args)
    except Exception as error:  # noqa: BLE001  every error is printed and searched
        traceback.print_exc()
        sys.stderr.write(f"MESSAGE {type(error).__name__}: {error}\nREPR {error!r}\n")
        outcomes.setdefault(name, []).append(type(error).__name__)
        return None
    outcomes.setdefault(name, []).append("value" if result not in (None, False) else "none")
    return result


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as file:
        file.write(text)


wc = os.path.join(work, "wc")
wc2 = os.path.join(work, "wc2")

if phase == "cleanup":
    call("delete_branch", "proj", group, "doomed")
    call("clean_workspace", wc2, True)
    call("delete_project", "proj", group)
    call("delete_sub_group", "sub", group)
else:
    call("create_sub_group", "sub", group)
    call("get_sub_group_info", "sub", group)
    call("get_sub_group_id", "sub", group)
    call("get_sub_group_id", "no-such-group", group, True)
    minted.append(call("create_repo_token", user, "user-token"))
    minted.append(call("create_group_access_token", group, "group-token"))
    call("get_access_token_info", group, "group-token")
    call("create_project", "proj", group)
    # Pipelines are made only for commits whose tree holds CI configuration.
    call("commit_file", "proj", group, ".gitlab-ci.yml", "job:\n  script: [\"true\"]\n")
    project = call("get_project_info", "proj", group)
    call("get_branch_info", "proj", group, "master")
    call("create_branch", "proj", group, "feature")
    call("create_branch", "proj", group, "doomed")
    call("commit_file", "proj", group, f"added-{phase}.txt", "text")
    # The first clone is kept for the later phases, whose own clones fail.
    if not os.path.isdir(os.path.join(wc, ".git")):
        call("clone_project", wc, "proj", group)
    else:
        call("clone_project", os.path.join(work, f"clone-{phase}"), "proj", group)
    write(os.path.join(wc, f"change-{phase}.txt"), phase)
    call("commit_project", wc, "publish " + phase, "proj", "master", group)
    call("clone_project", wc2, "proj", group, True, "feature")
    write(os.path.join(wc2, f"feature-{phase}.txt"), phase)
    call("commit_project", wc2, "feature " + phase, "proj", "feature", group, "Author", "author@example.com")
    mr = call("create_merge_request", "proj", group, "MR " + phase, "feature")
    call("perform_merge", "proj", group, mr["iid"] if mr else 1, "merge " + phase, 10)
    call("tag_project", f"a-{phase}", "proj", "master", group)
    call("commit_file", "proj", group, f"later-{phase}.txt", "later")
    call("tag_project", f"b-{phase}", "proj", "master", group)
    call("get_commits_by_range", f"a-{phase}", f"b-{phase}", "proj", group)
    call("get_tag_list", "proj", group)
    call("get_tag_info", f"a-{phase}", "proj", group)
    call("set_project_variable", "proj", "PV", "project-value", group)
    call("get_project_variable", "proj", "PV", group)
    call("set_group_variable", group, "GV", "group-value")
    call("get_group_variable", group, "GV")
    pipelines = call("get_pipeline_status", "proj", group)
    project_id = project["id"] if project else 1
    pipeline_id = pipelines[0]["id"] if pipelines else 1
    call("get_single_pipeline_status", project_id, pipeline_id)
    call("retry_single_pipeline", project_id, pipeline_id)
    issue = call("create_issue", "proj", group, "bug " + phase, "issue", ["a", "b"])
    iid = issue["iid"] if issue else 1
    call("create_note", "proj", group, iid, "a note")
    call("close_issue", "proj", group, iid)

sys.stdout.flush()
with open(report_file, "w", encoding="utf-8") as report:
    json.dump({"outcomes": outcomes, "minted": [m for m in minted if m]}, report)
