"""The tests' name for the installed test kit zorv_git_gitlab.testing (one implementation for the
tests and for users)."""

from zorv_git_gitlab.testing import *  # noqa: F401,F403
