# Type stubs of zorv_git: the base class of the working-copy clients.
import os

class Git:
    @classmethod
    def clean_workspace(cls, path: str | os.PathLike[str], destroy: bool = False) -> bool: ...
