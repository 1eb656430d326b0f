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
    columns: Sequence[EngineColumn], n: int, models: Sequence[tuple[str, int]], mmol: bool
) -> tuple[np.ndarray, np.ndarray]:
    """Risks (models, n) float64 and statuses (models, n) uint8 from one engine pass."""
    risks = np.empty((len(models), n), dtype=np.float64)
    statuses = np.empty((len(models), n), dtype=np.uint8)
    _corvane._score_columns(
        tuple(c.values for c in columns),
        tuple(c.missing for c in columns),
        tuple(risk_column(o, h) for o, h in models),
        mmol,
        risks,
        statuses,
    )
    return risks, statuses


def unreadable_reasons(columns: Sequence[EngineColumn], rows: np.ndarray) -> np.ndarray:
    """For each of ``rows`` (all refused as unreadable), every bad cell's reason, "; "-joined."""
    out = np.full(len(rows), None, dtype=object)
    for column in columns:
        reasons = column.reasons(rows)
        has = reasons.astype(bool)
        first = has & ~out.astype(bool)
        out[first] = reasons[first]
        both = has & ~first
        out[both] = out[both] + "; " + reasons[both]
    return out


def error_codes(
    statuses: np.ndarray, models: Sequence[tuple[str, int]]
) -> tuple[np.ndarray, list[int]]:
    """Per horizon, the status of the first model that refused each row (0 where none did).

    Returns a (horizons, n) uint8 array and the horizons in order.
    """
    horizons = list(dict.fromkeys(h for _, h in models))
    codes = np.zeros((len(horizons), statuses.shape[1]), dtype=np.uint8)
    for k, (_, horizon) in enumerate(models):
        row = codes[horizons.index(horizon)]
        np.copyto(row, statuses[k], where=row == 0)
    return codes, horizons


def error_column(
    codes: np.ndarray, horizons: list[int], texts: Sequence[str | None], reasons: np.ndarray,
    unreadable_rows: np.ndarray,
) -> np.ndarray:
    """The error text of each row as an object array, None where every model scored."""
    if len(horizons) == 1:
        table = np.array(texts, dtype=object)
        error = table[codes[0]]
    else:
        (h1, h2), size = horizons, len(texts)
        table = np.full(size * size, None, dtype=object)
        for a in range(size):
            for b in range(size):
                table[a * size + b] = _two_horizons(h1, texts[a], h2, texts[b])
        combined = codes[0].astype(np.intp)
        combined *= size
        combined += codes[1]
        error = table[combined]
        del combined
    error[unreadable_rows] = reasons  # unreadable rows are refused by every model alike
    return error


def _two_horizons(h1: int, m1: str | None, h2: int, m2: str | None) -> str | None:
    if m1 == m2:
        return m1
    if m1 is None:
        return f"{h2}-year: {m2}"
    if m2 is None:
        return f"{h1}-year: {m1}"
    return f"{h1}-year: {m1}; {h2}-year: {m2}"


def model_messages(
    statuses: np.ndarray, texts: Sequence[str | None], reasons: np.ndarray,
    unreadable_rows: np.ndarray,
) -> np.ndarray:
    table = np.array(texts, dtype=object)
    messages = table[statuses]
    messages[unreadable_rows] = reasons
    return messages


def score_table(
    source: InputTable, models: Sequence[tuple[str, int]], mmol: bool, want_messages: bool
) -> tuple[list[str], np.ndarray, np.ndarray, dict[str, np.ndarray]]:
    """Risk column names, risks (models, n), the error column and, if asked, each model's
    messages."""
    risks, statuses = run_engine(source.columns, source.n, models, mmol)
    texts = status_texts(mmol)
    # A row is unreadable for every model alike, so the first model's statuses say which.
    unreadable_rows = np.flatnonzero(statuses[0] == UNREADABLE)
    reasons = unreadable_reasons(source.columns, unreadable_rows)
    names = [risk_column(o, h) for o, h in models]
    messages = {}
    if want_messages:
        for k, name in enumerate(names):
            messages[name] = model_messages(statuses[k], texts, reasons, unreadable_rows)
    codes, horizons = error_codes(statuses, models)
    del statuses  # the largest temporary, gone before the error column is built
    error = error_column(codes, horizons, texts, reasons, unreadable_rows)
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
