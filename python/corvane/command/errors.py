"""The command's one error model: its exit statuses, the errors a user's run can end with, and
the one place that turns them into a line on stderr and a status."""

from __future__ import annotations

import enum
import signal
import sys
from typing import TextIO

# Signals that end a run: each leaves the target as it was and no temporary file behind.
STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT)
_stopped: list[int] = []  # the signals received, oldest first


class Exit(enum.IntEnum):
    """The exit statuses of ``corvane``, for single files and datasets alike."""

    OK = 0  # every row was read
    ROWS_UNREADABLE = 1  # some rows could not be read; written all the same, with the reason
    NOT_SCORED = 1  # corvane patient: a model refused the patient, or a value could not be read
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


def stop_on_signals(later: bool = False) -> None:
    """Ctrl-C, SIGTERM, SIGHUP and SIGQUIT stop the run once; while it cleans up, further
    ones wait. Each is also remembered: an interrupt swallowed on its way (an import that
    caught it, a library's thread) still keeps the output from being put in place.

    ``later``: only remember them, for ``check_stopped`` to raise. Raised inside an import, an
    interrupt can land in a finaliser or a callback, where Python prints it as "Exception
    ignored" and goes on.

    polars reports a Ctrl-C that arrives during its work as well, so one keypress can
    come twice: the second must not cut the removal of the temporary file short.
    """

    def stop(signum, frame):
        _stopped.append(signum)
        if later or isinstance(sys.exc_info()[1], (KeyboardInterrupt, Interrupted)):
            return  # already stopping: the cleanup runs in the interrupt's except block
        raise KeyboardInterrupt if signum == signal.SIGINT else Interrupted

    for signum in STOP_SIGNALS:
        signal.signal(signum, stop)


def check_stopped() -> None:
    """Raise the interrupt again if a stopping signal came, even one that was swallowed."""
    if _stopped:
        raise KeyboardInterrupt if _stopped[0] == signal.SIGINT else Interrupted


def fail(message: str, status: Exit, stream: TextIO | None = None) -> Exit:
    """Print ``corvane: message`` as one line on stderr; return ``status``."""
    try:
        print(f"corvane: {message}", file=stream or sys.stderr, flush=True)
    except (OSError, ValueError):
        pass  # no terminal left (SIGHUP) or stderr closed: the status still tells
    return status
