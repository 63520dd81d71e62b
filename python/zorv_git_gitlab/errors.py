"""The errors of zorv_git_gitlab. Each also derives from the built-in error callers already catch."""


class GitlabError(Exception):
    """Base of every error the library raises."""


class TransportError(GitlabError, ConnectionError):
    """The request did not complete."""


class ConnectError(TransportError):
    """Name resolution failed or the connection was refused."""


class TlsError(TransportError):
    """The server's certificate was refused or the TLS handshake failed."""


class RequestTimeoutError(TransportError, TimeoutError):
    """The connect limit or the stall limit was reached."""


class ConnectionDroppedError(TransportError):
    """The server closed the connection before the answer was complete."""


class ResponseTooLargeError(TransportError):
    """The answer exceeded GitlabGit.max_response_bytes."""


class RateLimitedError(TransportError):
    """GitLab answered 429 Too Many Requests to every try the retry budget allowed (or asked to wait
    longer than what was left of it). GitLab did nothing with the request; it may be made again later.

    ``retry_after``: the seconds GitLab asked to wait (None when it did not say); ``limit_name``: the
    throttle that refused it (its RateLimit-Name header, such as ``throttle_authenticated_api``), or None."""

    retry_after = None
    limit_name = None


class JsonDecodeError(GitlabError, ValueError):
    """A success answer whose body is not JSON."""


class MissingFieldError(GitlabError, KeyError):
    """A server record without a field the operation reads."""

    def __str__(self) -> str:
        return str(self.args[0]) if self.args else ""


class ProjectNotFoundError(GitlabError, LookupError, TypeError):
    """The project lookup found no project of that name in that group."""


class SubgroupNotFoundError(GitlabError, ValueError):
    """get_sub_group_id(..., raise_error=True) found no subgroup of that name."""


class DirectoryNotEmptyError(GitlabError, ValueError):
    """clone_project was given a non-empty directory and overwrite=False."""


class MergeTimeoutError(GitlabError, RuntimeError):
    """perform_merge ran out of time while the server was still checking."""


class GitError(GitlabError, RuntimeError):
    """A git command failed."""


class UnpublishableChangeError(GitError):
    """A change of the working copy that the commits API cannot carry (a symbolic link)."""
