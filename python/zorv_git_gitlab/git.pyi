# Type stubs of zorv_git_gitlab.git: the 32 class methods of GitlabGit with their parameters, defaults
# and results. Ids (groups, users, projects, pipelines, issues, merge requests) are accepted as any
# integral value or as text of digits.
import os
from typing import Any, ClassVar, SupportsIndex

from git.repo.base import Repo

from zorv_git import Git
from zorv_git_gitlab.errors import ProjectNotFoundError as ProjectNotFoundError

_Id = SupportsIndex | str
_Record = dict[str, Any]
_Records = list[dict[str, Any]]

class GitlabGit(Git):
    PIPELINE_END_STATUS: ClassVar[list[str]]
    api_url: ClassVar[str]
    gitlab_token: ClassVar[str | None]
    connect_timeout: ClassVar[float]
    stall_timeout: ClassVar[float]
    max_tries: ClassVar[int]
    retry_total_time: ClassVar[float]
    merge_poll_interval: ClassVar[float]
    max_response_bytes: ClassVar[int]

    # Groups and access tokens
    @classmethod
    def create_sub_group(cls, group_name: str, parent_id: _Id) -> bool: ...
    @classmethod
    def delete_sub_group(cls, group_name: str, parent_id: _Id) -> bool: ...
    @classmethod
    def get_sub_group_id(cls, group_name: str, parent_id: _Id, raise_error: bool = False) -> int | None: ...
    @classmethod
    def get_sub_group_info(cls, group_name: str, parent_id: _Id) -> _Record | None: ...
    @classmethod
    def create_repo_token(cls, user_id: _Id, token_name: str) -> str | None: ...
    @classmethod
    def create_group_access_token(cls, group_id: _Id, token_name: str) -> str | None: ...
    @classmethod
    def get_access_token_info(cls, group_id: _Id, token_name: str) -> _Record | None: ...

    # Projects, branches and files
    @classmethod
    def create_project(cls, project_name: str, group_id: _Id, **kwargs: Any) -> None: ...
    @classmethod
    def get_project_info(cls, project_name: str, group_id: _Id, **kwargs: Any) -> _Record | None: ...
    @classmethod
    def delete_project(cls, project_name: str, group_id: _Id, **kwargs: Any) -> None: ...
    @classmethod
    def get_branch_info(cls, project_name: str, group_id: _Id, branch_name: str) -> _Record | None: ...
    @classmethod
    def create_branch(cls, project_name: str, group_id: _Id, branch_name: str,
                      ref: str = "master") -> _Record | None: ...
    @classmethod
    def delete_branch(cls, project_name: str, group_id: _Id, branch_name: str) -> None: ...
    @classmethod
    def clone_project(cls, repo_dir: str | os.PathLike[str], project_name: str, group_id: _Id, overwrite: bool = True,
                      branch: str | None = None, **kwargs: Any) -> Repo | str: ...
    @classmethod
    def commit_file(cls, project_name: str, group_id: _Id, filename: str, file_content: str) -> None: ...

    # Working copies
    @classmethod
    def commit_project(cls, repo_dir: str | os.PathLike[str], commit_message: str, project_name: str, remote_branch: str,
                       group_id: _Id, author_name: str | None = None, author_email: str | None = None,
                       **kwargs: Any) -> None: ...

    # Merge requests, tags and history
    @classmethod
    def create_merge_request(cls, project_name: str, group_id: _Id, title: str, source_branch: str,
                             target_branch: str = "master") -> _Record | None: ...
    @classmethod
    def perform_merge(cls, project_name: str, group_id: _Id, merge_request_id: _Id, title: str,
                      timeout: float = 60) -> _Record | None: ...
    @classmethod
    def get_commits_by_range(cls, start_ref: str, end_ref: str, project_name: str,
                             group_id: _Id) -> _Records | None: ...
    @classmethod
    def get_tag_list(cls, project_name: str, group_id: _Id) -> _Records | None: ...
    @classmethod
    def get_tag_info(cls, tag_name: str, project_name: str, group_id: _Id) -> _Record | None: ...
    @classmethod
    def tag_project(cls, tag_name: str, project_name: str, remote_branch: str, group_id: _Id) -> None: ...

    # CI/CD
    @classmethod
    def get_project_variable(cls, project_name: str, key: str, group_id: _Id) -> _Record | None: ...
    @classmethod
    def set_project_variable(cls, project_name: str, key: str, value: str, group_id: _Id, is_file: bool = False,
                             overwrite: bool = True) -> None: ...
    @classmethod
    def get_group_variable(cls, group_id: _Id, key: str) -> _Record | None: ...
    @classmethod
    def set_group_variable(cls, group_id: _Id, key: str, value: str, is_file: bool = False,
                           overwrite: bool = True) -> None: ...
    @classmethod
    def get_pipeline_status(cls, project_name: str, group_id: _Id, ref: str = "master",
                            last_minutes: int = 1440) -> _Records | None: ...
    @classmethod
    def get_single_pipeline_status(cls, project_id: _Id, pipeline_id: _Id) -> _Record | None: ...
    @classmethod
    def retry_single_pipeline(cls, project_id: _Id, pipeline_id: _Id) -> _Record | None: ...

    # Issues
    @classmethod
    def create_issue(cls, project_name: str, group_id: _Id, title: str, issue_type: str,
                     labels: list[str] | None = None) -> _Record | None: ...
    @classmethod
    def close_issue(cls, project_name: str, group_id: _Id, issue_id: _Id) -> _Record | None: ...
    @classmethod
    def create_note(cls, project_name: str, group_id: _Id, issue_id: _Id, note_body: str) -> _Record | None: ...
