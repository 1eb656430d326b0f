"""The engine call behind ``corvane.score``: models, units, refusal texts and the result table.

The extension scores the eleven columns for every requested model in one pass and gives, per
model, a risk column and a status code per row. The texts of the eight refusals come from the
extension (``_corvane._status_messages``); this module adds only what it alone knows: which
cell of an unreadable row was bad, the mmol/L form of a cholesterol range, and which horizon
refused.
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from typing import Any, Literal

import _corvane
import numpy as np

from ._columns import INPUT_COLUMNS, EngineColumn, InputTable

Outcome = Literal["cvd", "ascvd", "hf"]
Horizon = Literal[10, 30]
OUTCOMES: tuple[Outcome, ...] = ("cvd", "ascvd", "hf")
HORIZONS: tuple[Horizon, ...] = (10, 30)
CHOLESTEROL_UNITS = ("mg/dL", "mmol/L")

# Index = status code; None for "scored" and for "unreadable", whose reason names the cell.
_MESSAGES: tuple[str | None, ...] = _corvane._status_messages
_MESSAGES_MMOL: tuple[str | None, ...] = _corvane._status_messages_mmol
UNREADABLE = len(_MESSAGES) - 1
ERROR_RADIX = 10  # the engine's error code: first horizon's status + 10 * the second's


def risk_column(outcome: str, horizon: int) -> str:
    """Name of the risk column for one outcome and horizon, e.g. ``"cvd_10yr"``."""
    return f"{outcome}_{horizon}yr"


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


def resolve_models(outcomes: Any, horizons: Any) -> list[tuple[str, int]]:
    """(outcome, horizon) pairs in output order: by horizon, then outcome."""
    outcome_list = _choices("outcomes", outcomes, OUTCOMES, (str,))
    horizon_list = _choices("horizons", horizons, HORIZONS, (int, np.integer))
    if not outcome_list or not horizon_list:
        raise ValueError("at least one outcome and one horizon are needed")
    for o in outcome_list:
        if o not in OUTCOMES:
            raise ValueError(f"unknown outcome {o!r}: choose from {', '.join(OUTCOMES)}")
    for h in horizon_list:
        if isinstance(h, bool) or h not in HORIZONS:
            raise ValueError(f"unknown horizon {h!r}: choose from 10, 30")
    outcome_list = list(dict.fromkeys(outcome_list))
    horizon_list = list(dict.fromkeys(int(h) for h in horizon_list))
    return [(o, h) for h in horizon_list for o in outcome_list]


def _choices(parameter: str, given: Any, allowed: Sequence[Any], single: tuple) -> list[Any]:
    if isinstance(given, single):
        return [given]
    shown = ", ".join(map(repr, allowed))
    if isinstance(given, (str, bytes)) or not isinstance(given, Iterable):
        raise TypeError(
            f"{parameter} must be one of {shown} or a sequence of them,"
            f" not {type(given).__name__} {given!r}"
        )
    return list(given)


def cholesterol_in_mmol(unit: Any) -> bool:
    if unit not in CHOLESTEROL_UNITS:
        raise ValueError(f"cholesterol_unit must be 'mg/dL' or 'mmol/L', not {unit!r}")
    return unit == "mmol/L"


def status_texts(mmol: bool) -> list[str | None]:
    """The refusal text of each status code; in mmol/L the cholesterol ranges say both units."""
    return list(_MESSAGES_MMOL if mmol else _MESSAGES)


def run_engine(
    columns: Sequence[EngineColumn],
    n: int,
    models: Sequence[tuple[str, int]],
    mmol: bool,
    want_statuses: bool,
) -> tuple[np.ndarray, np.ndarray | None, np.ndarray]:
    """One engine pass: risks (models, n) float64; each model's status per row (models, n)
    uint8 if wanted; and each row's error code (n,) uint8, the first refusing model's status
    in the first horizon plus ``ERROR_RADIX`` times that in the second."""
    risks = np.empty((len(models), n), dtype=np.float64)
    statuses = np.empty((len(models), n), dtype=np.uint8) if want_statuses else None
    errors = np.empty((1, n), dtype=np.uint8)
    _corvane._score_columns(
        tuple(c.values for c in columns),
        tuple(c.missing for c in columns),
        tuple(risk_column(o, h) for o, h in models),
        mmol,
        risks,
        statuses,
        errors,
    )
    return risks, statuses, errors[0]


def unreadable_reasons(columns: Sequence[EngineColumn], rows: np.ndarray) -> np.ndarray:
    """For each of ``rows`` (all refused as unreadable), every bad cell's reason, "; "-joined."""
    out = np.full(len(rows), None, dtype=object)
    named = np.zeros(len(rows), dtype=bool)
    for column in columns:
        bad, reasons = column.reasons(rows)
        first = bad & ~named
        out[first] = reasons[first]
        more = bad & named
        if more.any():
            out[more] = out[more] + "; " + reasons[more]
        named |= bad
    return out


def error_texts(horizons: list[int], texts: Sequence[str | None]) -> np.ndarray:
    """The error text of every error code, None for 0 (every model scored)."""
    table = np.full(ERROR_RADIX * ERROR_RADIX, None, dtype=object)
    for a, first in enumerate(texts):
        for b, second in enumerate(texts if len(horizons) == 2 else [None]):
            table[a + ERROR_RADIX * b] = _two_horizons(horizons, first, second)
    return table


def _two_horizons(horizons: list[int], m1: str | None, m2: str | None) -> str | None:
    if m1 == m2 or len(horizons) == 1:
        return m1
    h1, h2 = horizons
    if m1 is None:
        return f"{h2}-year: {m2}"
    if m2 is None:
        return f"{h1}-year: {m1}"
    return f"{h1}-year: {m1}; {h2}-year: {m2}"


def score_table(
    source: InputTable, models: Sequence[tuple[str, int]], mmol: bool, want_messages: bool
) -> tuple[list[str], np.ndarray, np.ndarray, dict[str, np.ndarray]]:
    """Risk column names, risks (models, n), the error column (an object array of str/None)
    and, if asked, each model's messages."""
    risks, statuses, errors = run_engine(source.columns, source.n, models, mmol, want_messages)
    texts = status_texts(mmol)
    # A row is unreadable for every model alike, so its code is UNREADABLE in each horizon.
    unreadable_rows = np.flatnonzero(errors % ERROR_RADIX == UNREADABLE)
    reasons = unreadable_reasons(source.columns, unreadable_rows)
    source.columns = []  # decoded codes are done with: free them before the error column
    names = [risk_column(o, h) for o, h in models]
    messages = {}
    if statuses is not None:
        table = np.array(texts, dtype=object)
        for k, name in enumerate(names):
            messages[name] = table[statuses[k]]
            messages[name][unreadable_rows] = reasons
        del statuses
    horizons = list(dict.fromkeys(h for _, h in models))
    error = error_texts(horizons, texts)[errors]
    del errors
    error[unreadable_rows] = reasons
    return names, risks, error, messages


__all__ = [
    "CHOLESTEROL_UNITS",
    "HORIZONS",
    "INPUT_COLUMNS",
    "OUTCOMES",
    "Scores",
    "cholesterol_in_mmol",
    "resolve_models",
    "risk_column",
    "score_table",
]
