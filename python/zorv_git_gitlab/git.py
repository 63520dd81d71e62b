"""GitlabGit: automates a GitLab server through its REST API (v4) and drives local git working copies.

Every operation is a class method; the work is done by the library's C++ core with the GIL released.
Operations read the class attributes of the class they are called on at the moment of the call, and
reach each other through that class, so a subclass that redefines an operation or assigns
``api_url``/``gitlab_token`` changes it for every operation called on that subclass.
"""

import os

from zorv_git import Git
from zorv_git_gitlab import _core
from zorv_git_gitlab.errors import ProjectNotFoundError  # noqa: F401  (re-exported for callers)

# The operations other operations call through the class; their order matches the native context.
_INNER = ("get_project_info", "get_sub_group_info", "get_branch_info", "get_tag_info", "commit_file",
          "clean_workspace")


def _group(value):
    """A group, user or issue id: an int, or text holding one."""
    if isinstance(value, int):
        return value
    if isinstance(value, str) and value.strip().lstrip("+-").isdigit():
        return int(value)
    raise TypeError(f"expected an integer id, got {value!r}")


class GitlabGit(Git):
    PIPELINE_END_STATUS = ["success", "failed", "canceled", "skipped"]
    api_url = "https://" + str(os.environ.get("GITLAB_HOST")) + "/api/v4/"
    gitlab_token = os.environ.get("GITLAB_TOKEN")

    # Request limits (seconds): connecting, and a transfer stalled below 1 byte/s.
    connect_timeout = 30.0
    stall_timeout = 120.0
    # GET requests are retried on 429, 502, 503, 504 and dropped connections: attempts in all, and the
    # time they may take together.
    max_tries = 4
    retry_total_time = 60.0
    # Seconds between perform_merge's polls of the merge check.
    merge_poll_interval = 5.0
    # Largest answer accepted, in bytes.
    max_response_bytes = 256 * 1024 * 1024

    @classmethod
    def _context(cls):
        redefined = tuple(i for i, name in enumerate(_INNER)
                          if getattr(cls, name).__func__ is not _ORIGINAL[name])
        return (cls, cls.api_url, cls.gitlab_token, cls.connect_timeout, cls.stall_timeout, cls.max_tries,
                cls.retry_total_time, cls.merge_poll_interval, cls.max_response_bytes, redefined)

    # --- Groups and access tokens ---------------------------------------------------------------

    @classmethod
    def create_sub_group(cls, group_name: str, parent_id: int):
        """Create subgroup `group_name` under `parent_id`; True on success, else False (failure line printed)."""
        return _core.create_sub_group(cls._context(), group_name, _group(parent_id))

    @classmethod
    def delete_sub_group(cls, group_name: str, parent_id: int):
        """Delete the subgroup; True when deleted or not found, False when refused."""
        return _core.delete_sub_group(cls._context(), group_name, _group(parent_id))

    @classmethod
    def get_sub_group_id(cls, group_name: str, parent_id: int, raise_error: bool = False):
        """The subgroup's id, or None; with raise_error a missing subgroup raises SubgroupNotFoundError (a ValueError)."""
        return _core.get_sub_group_id(cls._context(), group_name, _group(parent_id), bool(raise_error))

    @classmethod
    def get_sub_group_info(cls, group_name: str, parent_id: int):
        """The record of the direct subgroup named exactly `group_name`, or None."""
        return _core.get_sub_group_info(cls._context(), group_name, _group(parent_id))

    @classmethod
    def create_repo_token(cls, user_id: int, token_name: str):
        """Mint a personal access token (scope read_api) for a user; its secret text, or None."""
        return _core.create_repo_token(cls._context(), _group(user_id), token_name)

    @classmethod
    def create_group_access_token(cls, group_id: int, token_name: str):
        """Mint a group access token (access level 50); its secret text, or None."""
        return _core.create_group_access_token(cls._context(), _group(group_id), token_name)

    @classmethod
    def get_access_token_info(cls, group_id: int, token_name: str):
        """The group's first token record named exactly `token_name`, or None."""
        return _core.get_access_token_info(cls._context(), _group(group_id), token_name)

    # --- Projects, branches and files -----------------------------------------------------------

    @classmethod
    def create_project(cls, project_name: str, group_id: int, **kwargs):
        """Create an internal project and commit README.md ("Hello World") to master in it."""
        return _core.create_project(cls._context(), project_name, _group(group_id))

    @classmethod
    def get_project_info(cls, project_name: str, group_id: int, **kwargs):
        """The project named exactly `project_name` in group `group_id` (an int), or None."""
        if not isinstance(group_id, int):
            return None  # a group id given as text never equals the server's number
        return _core.get_project_info(cls._context(), project_name, group_id)

    @classmethod
    def delete_project(cls, project_name: str, group_id: int, **kwargs):
        """Delete the project; prints whether it was accepted, refused or missing."""
        return _core.delete_project(cls._context(), project_name, _group(group_id))

    @classmethod
    def get_branch_info(cls, project_name: str, group_id: int, branch_name: str):
        """The branch record, or None."""
        return _core.get_branch_info(cls._context(), project_name, _group(group_id), branch_name)

    @classmethod
    def create_branch(cls, project_name: str, group_id: int, branch_name: str, ref: str = "master"):
        """Create the branch from `ref` unless it exists; the new branch record, or None."""
        return _core.create_branch(cls._context(), project_name, _group(group_id), branch_name, ref)

    @classmethod
    def delete_branch(cls, project_name: str, group_id: int, branch_name: str):
        """Delete the branch if it exists; prints the outcome."""
        return _core.delete_branch(cls._context(), project_name, _group(group_id), branch_name)

    @classmethod
    def clone_project(cls, repo_dir: str, project_name: str, group_id: int, overwrite: bool = True,
                      branch: str = None, **kwargs):
        """Clone the project into `repo_dir`; returns the working copy's directory."""
        return _core.clone_project(cls._context(), os.fspath(repo_dir), project_name, _group(group_id),
                                   bool(overwrite), branch)

    @classmethod
    def commit_file(cls, project_name: str, group_id: int, filename: str, file_content):
        """Commit one new file with the text `file_content` to master; prints the outcome."""
        return _core.commit_file(cls._context(), project_name, _group(group_id), filename, file_content)

    # --- Working copies -------------------------------------------------------------------------

    @classmethod
    def commit_project(cls, repo_dir: str, commit_message: str, project_name: str, remote_branch: str,
                       group_id: int, author_name: str = None, author_email: str = None, **kwargs):
        """Publish every local change of the working copy to `remote_branch` as one commit."""
        return _core.commit_project(cls._context(), os.fspath(repo_dir), commit_message, project_name,
                                    remote_branch, _group(group_id), author_name, author_email)

    # --- Merge requests, tags and history -------------------------------------------------------

    @classmethod
    def create_merge_request(cls, project_name: str, group_id: int, title: str, source_branch: str,
                             target_branch: str = "master"):
        """Open a merge request; its record, or None."""
        return _core.create_merge_request(cls._context(), project_name, _group(group_id), title, source_branch,
                                          target_branch)

    @classmethod
    def perform_merge(cls, project_name: str, group_id: int, merge_request_id: int, title: str,
                      timeout: int = 60):
        """Wait for the server's merge check, then merge; the merged record, or None.

        Raises MergeTimeoutError (a RuntimeError) when the check does not end within `timeout` seconds."""
        return _core.perform_merge(cls._context(), project_name, _group(group_id), _group(merge_request_id),
                                   title, float(timeout))

    @classmethod
    def get_commits_by_range(cls, start_ref: str, end_ref: str, project_name: str, group_id: int):
        """The commits of start_ref...end_ref, or None."""
        return _core.get_commits_by_range(cls._context(), start_ref, end_ref, project_name, _group(group_id))

    @classmethod
    def get_tag_list(cls, project_name: str, group_id: int):
        """The project's tags ordered by version, or None."""
        return _core.get_tag_list(cls._context(), project_name, _group(group_id))

    @classmethod
    def get_tag_info(cls, tag_name: str, project_name: str, group_id: int):
        """The tag record, or None."""
        return _core.get_tag_info(cls._context(), tag_name, project_name, _group(group_id))

    @classmethod
    def tag_project(cls, tag_name: str, project_name: str, remote_branch: str, group_id: int):
        """Tag `remote_branch` unless the tag exists; prints the outcome."""
        return _core.tag_project(cls._context(), tag_name, project_name, remote_branch, _group(group_id))

    # --- CI/CD ----------------------------------------------------------------------------------

    @classmethod
    def get_project_variable(cls, project_name: str, key: str, group_id: int):
        """The project variable's record, or None."""
        return _core.get_project_variable(cls._context(), project_name, key, _group(group_id))

    @classmethod
    def set_project_variable(cls, project_name: str, key: str, value: str, group_id: int, is_file: bool = False,
                             overwrite: bool = True):
        """Create or (with overwrite) update a project variable; prints the outcome."""
        return _core.set_project_variable(cls._context(), project_name, key, value, _group(group_id),
                                          bool(is_file), bool(overwrite))

    @classmethod
    def get_group_variable(cls, group_id: int, key: str):
        """The group variable's record, or None."""
        return _core.get_group_variable(cls._context(), _group(group_id), key)

    @classmethod
    def set_group_variable(cls, group_id: int, key: str, value: str, is_file: bool = False, overwrite: bool = True):
        """Create or (with overwrite) update a group variable; prints the outcome."""
        return _core.set_group_variable(cls._context(), _group(group_id), key, value, bool(is_file),
                                        bool(overwrite))

    @classmethod
    def get_pipeline_status(cls, project_name: str, group_id: int, ref: str = "master", last_minutes: int = 1440):
        """The pipelines of `ref` updated in the last `last_minutes` minutes, or None."""
        return _core.get_pipeline_status(cls._context(), project_name, _group(group_id), ref, int(last_minutes))

    @classmethod
    def get_single_pipeline_status(cls, project_id, pipeline_id):
        """One pipeline's record, or None."""
        return _core.get_single_pipeline_status(cls._context(), project_id, pipeline_id)

    @classmethod
    def retry_single_pipeline(cls, project_id, pipeline_id):
        """Retry a pipeline; its record, or None."""
        return _core.retry_single_pipeline(cls._context(), project_id, pipeline_id)

    # --- Issues ---------------------------------------------------------------------------------

    @classmethod
    def create_issue(cls, project_name: str, group_id: int, title: str, issue_type: str, labels: list = None):
        """Open an issue; its record, or None."""
        return _core.create_issue(cls._context(), project_name, _group(group_id), title, issue_type,
                                  list(labels or ()))

    @classmethod
    def close_issue(cls, project_name: str, group_id: int, issue_id: int):
        """Close an issue; its record, or None."""
        return _core.close_issue(cls._context(), project_name, _group(group_id), _group(issue_id))

    @classmethod
    def create_note(cls, project_name: str, group_id: int, issue_id: int, note_body: str):
        """Add a note to an issue; its record, or None."""
        return _core.create_note(cls._context(), project_name, _group(group_id), _group(issue_id), note_body)


_ORIGINAL = {name: getattr(GitlabGit, name).__func__ for name in _INNER}
