"""The engine call behind ``corvane.score`` and its result table.

The extension scores the eleven columns for every requested model in one pass and gives, per
model, a risk column and a status code per row. The texts of the refusals are in ``_names``;
this module adds which cell of an unreadable row was bad.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass

import _corvane
import numpy as np

from ._columns import EngineColumn, InputTable
from ._names import UNREADABLE_CODE, error_texts, risk_column, shared, status_texts


class Scores(dict[str, np.ndarray]):
    """The result of :func:`corvane.score` for a mapping or a structured array: a dict of
    equally long NumPy columns, in row order.

    Keys are the risk columns, by horizon and then outcome in the order asked for
    (``"cvd_10yr"``, ``"ascvd_10yr"``, ... as named by :func:`risk_column`), then ``"error"``:

    - each risk column is a float64 array of percentages, NaN where the row was refused;
    - ``"error"`` is an object array holding, per row, why some risk is missing, or None
      when every requested risk was computed. When all refused models agree, this is the
      message alone; otherwise each horizon's message is prefixed, as in
      ``"30-year: Age must be between 30 and 59"``.

    ``messages`` maps each risk column to an object array with the exact reason for each
    refused row of that model and None elsewhere. For a range problem the reason is the
    message the scalar function raises (e.g. ``"BMI must be between 18.5 and 39.9"``);
    for a missing or unreadable value it names the column (``"age: missing value"``).
    """

    messages: dict[str, np.ndarray]

    def __init__(self) -> None:
        super().__init__()
        self.messages = {}


Scores.__module__ = "corvane"  # shown, and pickled, as the package's own


def run_engine(
    values: Sequence[np.ndarray],
    missing: Sequence[np.ndarray | None],
    n: int,
    models: Sequence[tuple[str, int]],
    mmol: bool,
    want_statuses: bool,
) -> tuple[list[np.ndarray], np.ndarray | None, np.ndarray]:
    """One engine pass over the eleven columns (``values``, each with its mask of missing cells
    or None): each model's risks (n,) float64; each model's status per row (models, n) uint8 if
    wanted; and each row's error code (n,) uint16, the first refusing model's status in the
    first horizon plus ``ERROR_RADIX`` times that in the second, or for an unreadable row
    ``UNREADABLE_CODE`` plus its bad columns' bits."""
    # An array per model: arrays of a column's size are reused from the allocator's free memory
    # from call to call, where one (models, n) block comes fresh and is faulted in page by page.
    risks = [np.empty((1, n), dtype=np.float64) for _ in models]
    statuses = np.empty((len(models), n), dtype=np.uint8) if want_statuses else None
    errors = np.empty((1, n), dtype=np.uint16)
    _corvane._score_columns(
        tuple(values),
        tuple(missing),
        tuple(risk_column(o, h) for o, h in models),
        mmol,
        tuple(risks),
        statuses,
        errors,
    )
    return [r[0] for r in risks], statuses, errors[0]


def unreadable_reasons(
    columns: Sequence[EngineColumn], rows: np.ndarray, bad_columns: np.ndarray
) -> np.ndarray:
    """For each of ``rows`` (all refused as unreadable, bit j of ``bad_columns`` set where
    column j's cell is bad), every bad cell's reason, "; "-joined."""
    # A row whose bad cells all have their column's one reason is named by its bits alone:
    # the texts of the bits that occur, looked up per row by the extension.
    fixed = sum(1 << j for j, c in enumerate(columns) if c.only_reason is not None)
    by_bits = (bad_columns & ~np.uint16(fixed)) == 0
    if not by_bits.any():
        return _reasons_by_column(columns, rows, bad_columns)
    all_by_bits = bool(by_bits.all())
    bits = bad_columns if all_by_bits else bad_columns[by_bits]
    table: list[str | None] = [None] * (int(bits.max()) + 1)
    for found in np.flatnonzero(np.bincount(bits)).tolist():
        table[found] = shared(
            "; ".join(c.only_reason for j, c in enumerate(columns) if found >> j & 1)
        )
    named = _corvane._texts_of_codes(bits, tuple(table))
    if all_by_bits:
        return named
    out = np.empty(len(rows), dtype=object)
    out[by_bits] = named
    rest = np.flatnonzero(~by_bits)
    out[rest] = _reasons_by_column(columns, rows[rest], bad_columns[rest])
    return out


def _reasons_by_column(
    columns: Sequence[EngineColumn], rows: np.ndarray, bad_columns: np.ndarray
) -> np.ndarray:
    """The reasons of rows with a bad cell in a column of several reasons: each column is
    asked only at the cells the engine found bad, and has the last word on which it names."""
    out = np.full(len(rows), None, dtype=object)
    named = np.zeros(len(rows), dtype=bool)
    # A row of booleans per column: NumPy finds the set places of booleans about twice as fast
    # as those of the integer bits.
    bits = np.left_shift(1, np.arange(len(columns), dtype=bad_columns.dtype))
    bad_cells = (bad_columns & bits[:, None]) != 0
    for j, column in enumerate(columns):
        at = np.flatnonzero(bad_cells[j])
        if not len(at):
            continue
        if column.only_reason is not None:
            # Its reason is known: no gather from the column at scattered rows, which misses
            # the cache at nearly every cell.
            reasons = column.only_reason
            first = ~named[at]
            more = at[~first]
            rest = "; " + reasons
        else:
            bad, reasons = column.reasons(rows[at])
            if not bad.all():
                at, reasons = at[bad], reasons[bad]
            first = ~named[at]
            more = at[~first]
            rest = "; " + reasons[~first] if len(more) else None
            reasons = reasons[first]
        out[at[first]] = reasons
        if len(more):
            out[more] = out[more] + rest
        named[at] = True
    return out


@dataclass
class Scored:
    """One table's scores: the risks, and each row's error either as Python objects or as a
    code into ``code_texts``, with the reasons of the unreadable rows (whose codes have no
    text) given apart."""

    names: list[str]  # the risk columns
    risks: list[np.ndarray]
    error: np.ndarray | None  # (n,) objects, str/None, if asked for; else:
    codes: np.ndarray | None  # (n,) uint16 error code per row
    code_texts: list[str | None]  # the error text of each code
    unreadable_rows: np.ndarray
    reasons: np.ndarray  # of each unreadable row
    messages: dict[str, np.ndarray]  # per risk column, if asked for


def score_table(
    source: InputTable,
    models: Sequence[tuple[str, int]],
    mmol: bool,
    want_messages: bool,
    error_objects: bool = True,
) -> Scored:
    """Every row of ``source`` scored; the error column as objects, or else as codes; and, if
    asked, each model's messages."""
    risks, statuses, errors = run_engine(
        [c.values for c in source.columns],
        [c.missing for c in source.columns],
        source.n,
        models,
        mmol,
        want_messages,
    )
    texts = status_texts(mmol)
    horizons = list(dict.fromkeys(h for _, h in models))
    unreadable_rows = np.flatnonzero(errors >= UNREADABLE_CODE)
    bad_columns = errors[unreadable_rows] - UNREADABLE_CODE
    reasons = unreadable_reasons(source.columns, unreadable_rows, bad_columns)
    source.columns = []  # decoded codes are done with: free them before the error column
    names = [risk_column(o, h) for o, h in models]
    messages = {}
    if statuses is not None:
        for k, name in enumerate(names):
            messages[name] = _corvane._texts_of_codes(statuses[k], tuple(texts))
            messages[name][unreadable_rows] = reasons
        del statuses
    code_texts = error_texts(horizons, texts)
    if not error_objects:
        return Scored(names, risks, None, errors, code_texts, unreadable_rows, reasons, messages)
    error = _corvane._texts_of_codes(errors, tuple(code_texts))
    del errors  # before the result is built: the next call's arrays reuse its memory
    error[unreadable_rows] = reasons
    return Scored(names, risks, error, None, code_texts, unreadable_rows, reasons, messages)


__all__ = ["Scored", "Scores", "run_engine", "score_table", "unreadable_reasons"]
