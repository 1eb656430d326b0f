"""What every reader of a cohort shares: the eleven inputs and their kinds, the models, the
cholesterol units, the reading options (column names, code maps, kept columns) and the texts
that name a refusal, the outcomes' titles and the risk bands.

No NumPy here: ``import corvane`` and the ``corvane score`` command, which reads and writes
its columns through polars, start without it; ``corvane.score`` brings it in on first use.
"""

from __future__ import annotations

import math
import numbers
import re
import sys
from collections.abc import Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Any, Literal, Protocol, get_args

import _corvane

if TYPE_CHECKING:
    from decimal import Decimal

    import numpy as np

#: The eleven inputs, in the order the engine takes them: the scalar functions' parameters,
#: read from the extension so that the names live in one place.
INPUT_COLUMNS: tuple[str, ...] = tuple(
    name.strip() for name in _corvane.calculate_10_yr_cvd_rust.__text_signature__[1:-1].split(",")
)
#: How each outcome is named to a reader.
OUTCOME_TITLES = {
    "cvd": "total cardiovascular disease",
    "ascvd": "atherosclerotic cardiovascular disease",
    "hf": "heart failure",
}
#: The risk bands a result is shown in: [low, high) in percent, and the band's label.
BANDS = (
    (0.0, 5.0, "<5%"), (5.0, 7.5, "5-7.5%"), (7.5, 20.0, "7.5-20%"), (20.0, math.inf, ">=20%")
)

SEX, NUMBER, FLAG = "sex", "number", "flag"
KINDS = (SEX, NUMBER, NUMBER, NUMBER, NUMBER, FLAG, FLAG, NUMBER, NUMBER, FLAG, FLAG)
#: What a cell of each kind should be, as a refusal names it.
EXPECTED = {SEX: "male/female or 1/0", FLAG: "one of 0/1 true/false yes/no", NUMBER: "a number"}
#: The same in a column with codes of its own, where a number is read only through them.
_EXPECTED_MAPPED = {SEX: "male/female", FLAG: "true/false yes/no"}

Outcome = Literal["cvd", "ascvd", "hf"]
Horizon = Literal[10, 30]
OUTCOMES: tuple[Outcome, ...] = ("cvd", "ascvd", "hf")
HORIZONS: tuple[Horizon, ...] = (10, 30)
CholesterolUnit = Literal["mg/dL", "mmol/L"]
CHOLESTEROL_UNITS: tuple[CholesterolUnit, ...] = get_args(CholesterolUnit)
#: ``columns``: an input's name to the table's column that holds it.
Columns = Mapping[str, str]
#: ``codes``: an input's name to its own codes and what each means.
Codes = Mapping[str, Mapping[Any, Any]]
#: One patient's value of an input: what a mapping holds for one patient rather than a
#: column. Lazy, so that NumPy and decimal stay unimported.
type Cell = str | bytes | float | Decimal | np.generic | None


class ArrowStream(Protocol):
    """Any table that hands out its data as an Arrow C stream."""

    def __arrow_c_stream__(self, requested_schema: Any = None, /) -> object: ...

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


def output_names() -> set[str]:
    """Every column a result can hold: the six risks and ``error``."""
    return {"error"} | {risk_column(o, h) for o in OUTCOMES for h in HORIZONS}


class ColumnsNotFound(ValueError):
    """The input columns of a table cannot be told: ``missing`` the names not found, or
    ``repeated`` the one found more than once (as its matching key)."""

    def __init__(self, message: str, missing: Sequence[str] = (), repeated: Any = None) -> None:
        super().__init__(message)
        self.missing = list(missing)
        self.repeated = repeated


def pick_columns(found: Sequence[Any], columns: Mapping[str, Any] | None) -> list[int]:
    """The position in ``found`` of each input's column, in input order. An input's column is
    the one ``columns`` names for it, else its own name; either matches exactly, or else after
    stripping spaces and ignoring case (a name given in ``columns`` matches exactly first).
    Raises ColumnsNotFound naming what is missing or repeated."""
    wanted = {name: name for name in INPUT_COLUMNS}
    named = set()  # inputs the caller named a column for: an exact match wins there
    if columns is not None:
        if not isinstance(columns, Mapping):
            raise TypeError(
                f"columns must map an input name to a column name, not {type(columns).__name__}"
            )
        for name, column in columns.items():
            if name not in wanted:
                raise ValueError(
                    f"columns: {name!r} is not an input (inputs: {', '.join(INPUT_COLUMNS)})"
                )
            wanted[name] = column
            named.add(name)
    keys = [f.strip().lower() if isinstance(f, str) else f for f in found]
    positions, missing = [], []
    for name, column in wanted.items():
        exact = [i for i, f in enumerate(found) if f == column] if name in named else []
        key = column.strip().lower() if isinstance(column, str) else column
        loose = exact or [i for i, k in enumerate(keys) if k == key]
        if len(loose) > 1:
            shown = " and ".join(repr(found[i]) for i in loose)
            raise ColumnsNotFound(
                f"column {column!r} appears more than once (as {shown})", repeated=key
            )
        if not loose:
            missing.append(str(column))
            continue
        positions.append(loose[0])
    if missing:
        shown = ", ".join(map(str, found)) if len(found) else "none"
        if len(shown) > 200:
            shown = shown[:197] + "..."
        raise ColumnsNotFound(
            f"missing column{'s' * (len(missing) > 1)}: {', '.join(missing)} (found: {shown})",
            missing=missing,
        )
    return positions


def keep_columns(keep: Sequence[Any] | str, found: Sequence[Any]) -> list[Any]:
    """``keep`` as a list, checked against the columns ``found`` and the output's names."""
    keep = [keep] if isinstance(keep, str) else list(keep)
    missing = [name for name in keep if name not in found]
    if missing:
        raise ValueError(
            f"keep: no column {', '.join(map(repr, missing))}"
            f" (found: {', '.join(map(str, found))})"
        )
    clash = [name for name in keep if name in output_names()]
    if clash:
        raise ValueError(f"keep: {', '.join(map(repr, clash))} is an output column's name")
    if len(set(keep)) != len(keep):
        raise ValueError("keep: a column is named twice")
    return keep


def code_maps(codes: Mapping[str, Mapping[Any, Any]] | None) -> tuple[Any, ...]:
    """Each input's code map as the engine takes it: None, or its (code, meaning) pairs. The
    engine decides what each code and meaning reads as, by the cell rule."""
    if codes is None:
        return (None,) * len(INPUT_COLUMNS)
    if not isinstance(codes, Mapping):
        raise TypeError(f"codes must map an input name to its codes, not {type(codes).__name__}")
    for name, mapping in codes.items():
        if name not in INPUT_COLUMNS:
            raise ValueError(f"codes: {name!r} is not an input (inputs: {', '.join(INPUT_COLUMNS)})")
        if not isinstance(mapping, Mapping) or not mapping:
            raise TypeError(f"codes: {name} must map each code to its meaning, e.g. {{1: 'male'}}")
    return tuple(
        tuple(codes[name].items()) if name in codes else None for name in INPUT_COLUMNS
    )


def expected_texts(codes: Mapping[str, Mapping[Any, Any]] | None) -> tuple[tuple[str, str], ...]:
    """Per input, what a bad cell is not, as its refusal says: with the column's own codes
    when it has some; and the same without them."""
    out = []
    for name, kind in zip(INPUT_COLUMNS, KINDS):
        plain = EXPECTED[kind]
        mapping = (codes or {}).get(name)
        if not mapping:
            out.append((plain, plain))
            continue
        listed = "/".join(str(code).strip() for code in mapping)
        extra = f" or {_EXPECTED_MAPPED[kind]}" if kind in _EXPECTED_MAPPED else " or a number"
        out.append((f"one of the codes {listed}{extra}", plain))
    return tuple(out)


def reads_polars_type(dtype: Any) -> bool:
    """Whether the engine reads a polars column of this type in place: numbers, decimals,
    booleans, nulls, text and categories (Arrow's own layouts of them)."""
    import polars as pl

    return (
        dtype.is_numeric()
        or dtype.is_decimal()
        or dtype in (pl.Boolean, pl.Null, pl.String, pl.Categorical)
        or isinstance(dtype, pl.Enum)
    )


_DIGITS = re.compile(r"(\d+)")


def natural_key(text: str) -> list[tuple]:
    """Sorts ``part.2`` before ``part.10`` and ``site 9`` before ``site 10``: runs of digits
    compare as numbers, each piece of a path on its own."""
    return [
        tuple((0, int(t), "") if t.isdigit() else (1, 0, t) for t in _DIGITS.split(piece) if t)
        for piece in text.split("/")
    ]


#: The SQL functions the SQL helpers register, in output order: one per risk column, then
#: ``corvane_error``.
SQL_FUNCTIONS: tuple[tuple[str, str], ...] = tuple(
    (f"corvane_{name}", name)
    for name in [risk_column(o, h) for h in HORIZONS for o in OUTCOMES] + ["error"]
)
