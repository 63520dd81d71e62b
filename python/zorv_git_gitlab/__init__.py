"""Automates a GitLab server through its REST API (v4) and drives local git working copies.

Use ``from zorv_git_gitlab.git import GitlabGit``."""
