"""The library's errors as Python exceptions; messages are the library's own."""


class Error(Exception):
    """Base of every error the library raises on purpose."""


class FileError(Error, OSError):
    """A file or folder cannot be opened, read or written."""

    def __str__(self):
        return str(self.args[0]) if self.args else ""


class ContentError(Error, ValueError):
    """A file or value is malformed: bad JSON, a missing or wrongly typed member, a bad number."""


class ArgumentError(Error, ValueError):
    """An argument outside what the operation accepts."""


class ArgumentTypeError(ArgumentError, TypeError):
    """An argument of a type the parameter does not take (also a TypeError)."""


class OutOfRangeError(KeyError, IndexError):
    """A key or position that its container does not hold (both a KeyError and an IndexError)."""

    def __str__(self):
        return str(self.args[0]) if self.args else ""
