"""Base class of the working-copy clients."""

import os

from zorv_git import _core


class Git:
    """Operations on local working directories shared by every client; class-level only."""

    @classmethod
    def clean_workspace(cls, path, destroy=False):
        """Empty `path` (or, with `destroy`, remove it). Afterwards it is absent or empty.

        Returns True when something was removed."""
        return _core.clean_workspace(os.fspath(path), bool(destroy))
