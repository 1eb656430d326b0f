"""What every reader of a cohort shares: the eleven inputs and their kinds, the models, the
cholesterol units and the refusal texts.

No NumPy here: ``import corvane`` and the ``corvane score`` command, which reads and writes
its columns through polars, start without it; ``corvane.score`` brings it in on first use.
"""

from __future__ import annotations

import numbers
import sys
from collections.abc import Iterable, Sequence
from typing import Any, Literal

import _corvane

#: The eleven inputs, in the order the engine takes them: the scalar functions' parameters,
#: read from the extension so that the names live in one place.
INPUT_COLUMNS: tuple[str, ...] = tuple(
    name.strip() for name in _corvane.calculate_10_yr_cvd_rust.__text_signature__[1:-1].split(",")
)
SEX, NUMBER, FLAG = "sex", "number", "flag"
KINDS = (SEX, NUMBER, NUMBER, NUMBER, NUMBER, FLAG, FLAG, NUMBER, NUMBER, FLAG, FLAG)
MISSING_TEXTS = frozenset({"", "na", "n/a", "nan", "null", "none"})
#: What a cell of each kind should be, as a refusal names it.
EXPECTED = {SEX: "male/female or 1/0", FLAG: "one of 0/1 true/false yes/no", NUMBER: "a number"}

Outcome = Literal["cvd", "ascvd", "hf"]
Horizon = Literal[10, 30]
OUTCOMES: tuple[Outcome, ...] = ("cvd", "ascvd", "hf")
HORIZONS: tuple[Horizon, ...] = (10, 30)
CHOLESTEROL_UNITS = ("mg/dL", "mmol/L")

# Index = status code; None for "scored" and for "unreadable", whose reason names the cell.
_MESSAGES: tuple[str | None, ...] = _corvane._status_messages
_MESSAGES_MMOL: tuple[str | None, ...] = _corvane._status_messages_mmol
ERROR_RADIX = 10  # the engine's error code: first horizon's status + 10 * the second's
# An unreadable row's error code instead: this plus bit j for each bad cell, j in input order.
UNREADABLE_CODE = ERROR_RADIX * ERROR_RADIX


def risk_column(outcome: str, horizon: int) -> str:
    """Name of the risk column for one outcome and horizon, e.g. ``"cvd_10yr"``."""
    return f"{outcome}_{horizon}yr"


def resolve_models(outcomes: Any, horizons: Any) -> list[tuple[str, int]]:
    """(outcome, horizon) pairs in output order: by horizon, then outcome."""
    outcome_list = _choices("outcomes", outcomes, OUTCOMES, (str,))
    # numbers.Integral also takes NumPy's integers, which register with it.
    horizon_list = _choices("horizons", horizons, HORIZONS, (numbers.Integral,))
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
    return [shared(t) for t in (_MESSAGES_MMOL if mmol else _MESSAGES)]


def shared(text: str | None) -> str | None:
    # One object per distinct text, interned: CPython 3.12 keeps interned texts for good and
    # skips their reference counts, so a column holding them with None costs nothing to fill
    # or to free. Freeing a column of counted texts mixed with None mispredicts a branch at
    # every change between them (3.5 ms per 10^6 rows, paid when the caller drops the result).
    return None if text is None else sys.intern(text)


def error_texts(horizons: list[int], texts: Sequence[str | None]) -> list[str | None]:
    """The error text of every error code, None for 0 (every model scored) and for the codes of
    unreadable rows, whose reasons are found cell by cell."""
    table: list[str | None] = [None] * (UNREADABLE_CODE + (1 << len(INPUT_COLUMNS)))
    for a, first in enumerate(texts):
        for b, second in enumerate(texts if len(horizons) == 2 else [None]):
            table[a + ERROR_RADIX * b] = shared(_two_horizons(horizons, first, second))
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
