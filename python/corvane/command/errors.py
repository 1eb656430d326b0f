"""The command's one error model: its exit statuses, the errors a user's run can end with, and
the one place that turns them into a line on stderr and a status."""

from __future__ import annotations

import enum
import sys
from typing import TextIO


class Exit(enum.IntEnum):
    """The exit statuses of ``corvane``, for single files and datasets alike."""

    OK = 0  # every row was read
    ROWS_UNREADABLE = 1  # some rows could not be read; written all the same, with the reason
    USAGE = 2  # a usage error or an unreadable input: nothing written
    OUTPUT = 3  # the output could not be written: the previous file is left as it was
    BUG = 4  # an internal error, with its traceback
    INCOMPLETE = 5  # the input broke off after rows had gone to a stream: those are incomplete
    INTERRUPTED = 130  # Ctrl-C, SIGTERM, SIGHUP or SIGQUIT: the previous file is left as it was


class CommandError(Exception):
    """A run that ends early for a reason of the user's world; the text is the whole message."""

    status = Exit.USAGE


class InputError(CommandError):
    """The input cannot be read as a whole, or the options do not fit it."""

    status = Exit.USAGE


class OutputError(CommandError):
    """The output cannot be written."""

    status = Exit.OUTPUT


class IncompleteError(CommandError):
    """The input broke off after part of the output had already gone to a stream."""

    status = Exit.INCOMPLETE


class Interrupted(BaseException):
    """A signal that ends the run (SIGTERM, SIGHUP, SIGQUIT), treated like Ctrl-C."""


def fail(message: str, status: Exit, stream: TextIO | None = None) -> Exit:
    """Print ``corvane: message`` as one line on stderr; return ``status``."""
    print(f"corvane: {message}", file=stream or sys.stderr)
    return status
