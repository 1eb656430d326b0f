"""The one module that calls the extension's private functions: the engine's single pass that
reads every cell by the cell rule and scores it, and the helpers that turn its codes into text.

Every path (``corvane.score`` of any table, the command, the distributed helpers) scores
through :func:`score_columns`, so the same cell gives the same risk and the same reason
everywhere. No NumPy here: the command runs without it.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import _corvane

from ._names import INPUT_COLUMNS, UNREADABLE_CODE, risk_column

#: Index = status code; None for "scored" and for "unreadable", whose reason names the cell.
STATUS_TEXTS: tuple[str | None, ...] = _corvane._status_messages
#: The same, with the cholesterol ranges also in mmol/L.
STATUS_TEXTS_MMOL: tuple[str | None, ...] = _corvane._status_messages_mmol

__all__ = [
    "STATUS_TEXTS",
    "STATUS_TEXTS_MMOL",
    "UNREADABLE_CODE",
    "Options",
    "Pass",
    "count_byte",
    "new_column",
    "score_columns",
    "texts_of_codes",
    "worker_count",
]


@dataclass(frozen=True)
class Options:
    """How the eleven columns are read: their names for messages, what a bad cell of each is
    not (with and without its codes), each column's code map (None or (code, meaning) pairs),
    the decimal separator of text numbers and whether cholesterol is in mmol/L."""

    labels: tuple[str, ...]
    expected: tuple[tuple[str, str], ...]
    codes: tuple[Any, ...]
    decimal: str = "."
    mmol: bool = False

    def as_tuple(self) -> tuple:
        return (self.labels, self.expected, self.codes, self.decimal, self.mmol)


@dataclass
class Pass:
    """One engine pass: per model its risks (NaN where refused), per row its error code (the
    first refusing model's status per horizon, or UNREADABLE_CODE plus a bit per bad column),
    each model's status per row if asked for, and the rows that could not be read with which of
    their bad cells are missing (a bit per column) and their reasons."""

    risks: list[Any]
    errors: Any
    statuses: Any
    values: dict[str, Any]  # input -> its cells as read (NaN where not), for the inputs asked
    unreadable_rows: Any  # int64 column (buffer and Arrow array) of the row numbers
    missing_bits: Any  # uint16 column, per unreadable row: bit j set where column j is missing
    reasons: list[str]
    comma_numbers: int


def score_columns(
    columns: Sequence[Any],
    masks: Sequence[Any],
    options: Options,
    models: Sequence[tuple[str, int]],
    n: int,
    *,
    arrays: Any = None,
    statuses: bool = False,
    values: Sequence[str] = (),
) -> Pass:
    """Read and score the eleven ``columns`` (Arrow arrays or streams, 1-D NumPy arrays or
    object arrays, each with a mask of missing cells or None) for ``models``. Outputs are NumPy
    arrays when ``arrays`` is the NumPy module, else columns that polars takes without a copy.
    Raises TypeError or ValueError naming a column it cannot read, or an option."""
    if arrays is not None:
        # An array per model: arrays of a column's size are reused from the allocator's free
        # memory from call to call, where one (models, n) block comes fresh each time.
        risks = [arrays.empty(n, dtype=arrays.float64) for _ in models]
        errors = arrays.empty(n, dtype=arrays.uint16)
        status = arrays.empty((len(models), n), dtype=arrays.uint8) if statuses else None
        read = {name: arrays.empty(n, dtype=arrays.float64) for name in values}
    else:
        risks = [_corvane._new_column(n, "d") for _ in models]
        errors = _corvane._new_column(n, "H")
        status = None
        read = {name: _corvane._new_column(n, "d") for name in values}
    rows, missing, reasons, commas = _corvane._score_columns(
        tuple(columns),
        tuple(masks),
        options.as_tuple(),
        tuple(risk_column(o, h) for o, h in models),
        tuple(risks),
        status,
        errors,
        tuple(read.get(name) for name in INPUT_COLUMNS) if read else None,
    )
    return Pass(risks, errors, status, read, rows, missing, reasons, commas)


def texts_of_codes(codes: Any, texts: Sequence[str | None]) -> Any:
    """``texts[code]`` for each code of a 1-D uint8 or uint16 array, as a NumPy object array."""
    return _corvane._texts_of_codes(codes, tuple(texts))


def new_column(n: int, fmt: str) -> Any:
    """A column of n float64 ("d") or uint16 ("H") values that polars takes without a copy."""
    return _corvane._new_column(n, fmt)


def count_byte(data: Any, byte: int, start: int = 0, end: int | None = None) -> int:
    """How often ``byte`` occurs in ``data[start:end]``, counted without the interpreter lock."""
    return _corvane._count_byte(data, byte, start, end)


def worker_count() -> int:
    """The native pool's number of threads, starting the pool."""
    return _corvane._worker_count()


def check_codes(codes: Any, decimal: str = ".") -> None:
    """Raise ValueError, naming the input, when a code map has a code or meaning the engine
    cannot read: the same check a pass makes, on an empty table."""
    from ._names import code_maps, expected_texts

    empty = [_corvane._new_column(0, "d") for _ in INPUT_COLUMNS]
    options = Options(INPUT_COLUMNS, expected_texts(codes), code_maps(codes), decimal)
    score_columns(empty, [None] * len(empty), options, [("cvd", 10)], 0)
