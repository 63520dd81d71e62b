"""Requests an operation sends when it reuses the project it found, and the calls a subclass that
redefines the project lookup still receives."""

from zorv_git_gitlab.git import GitlabGit

BRANCH = "feature/counted"
BRANCH_PATH = "repository/branches/feature%2Fcounted"


class CountingLookup(GitlabGit):
    """Redefines the project lookup; records each call and answers with the library's own."""
    lookups = []

    @classmethod
    def get_project_info(cls, project_name, group_id, **kwargs):
        cls.lookups.append((project_name, group_id))
        return super().get_project_info(project_name, group_id)


def test_create_branch_looks_the_project_up_once_unless_the_lookup_is_redefined(sb, calls, group, project):
    pid, name, gid = project["id"], project["name"], group["id"]
    lookup = ("GET", f"groups/{gid}/projects")
    assert GitlabGit.create_branch(name, gid, BRANCH)["name"] == BRANCH
    assert [(c.method, c.api_path) for c in calls()] == [
        lookup, ("GET", f"projects/{pid}/{BRANCH_PATH}"), ("POST", f"projects/{pid}/repository/branches")]

    # A redefined lookup is called by create_branch and again by get_branch_info, as documented.
    CountingLookup.lookups = []
    assert CountingLookup.create_branch(name, gid, BRANCH) is None  # exists now
    assert CountingLookup.lookups == [(name, gid), (name, gid)]
    assert [(c.method, c.api_path) for c in calls()] == [lookup, lookup, ("GET", f"projects/{pid}/{BRANCH_PATH}")]
