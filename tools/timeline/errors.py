"""The tool's own failures: what it could not do, said in one line."""


class Failure(Exception):
    """The tool could not do its work; the message says why, in one line."""
