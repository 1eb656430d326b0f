"""Cardiovascular risk for whole cohorts, built on the batch functions of ``_corvane``.

``score(table)`` takes the eleven inputs as named columns and returns one risk column
(a percentage) per outcome and horizon, plus, for every row a model refuses, the exact
reason. The command ``corvane score`` does the same for CSV files of any size.

Outcomes: ``"cvd"`` (total cardiovascular disease), ``"ascvd"`` (atherosclerotic
cardiovascular disease) and ``"hf"`` (heart failure). Horizons: 10 and 30 years; the
30-year equations apply to ages 30 to 59 only.

Reading a row is stricter than the batch functions: sex must be male/female (any case)
or 1/0, each flag 0/1, true/false or yes/no (any case), and every value must be present
and readable. Anything else refuses the row with a reason naming the column, where the
batch functions would read it as female, true or NaN.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import Any, Literal

import _corvane
import numpy as np

__all__ = [
    "HORIZONS",
    "INPUT_COLUMNS",
    "OUTCOMES",
    "Scores",
    "risk_column",
    "score",
]

Outcome = Literal["cvd", "ascvd", "hf"]
Horizon = Literal[10, 30]

#: The eleven inputs, in the column order of the batch functions' array.
INPUT_COLUMNS: tuple[str, ...] = (
    "sex",
    "age",
    "total_cholesterol",
    "hdl_cholesterol",
    "systolic_bp",
    "has_diabetes",
    "current_smoker",
    "bmi",
    "egfr",
    "on_htn_meds",
    "on_cholesterol_meds",
)
OUTCOMES: tuple[Outcome, ...] = ("cvd", "ascvd", "hf")
HORIZONS: tuple[Horizon, ...] = (10, 30)

_SEX, _NUMBER, _FLAG = "sex", "number", "flag"
_KINDS = (_SEX, _NUMBER, _NUMBER, _NUMBER, _NUMBER, _FLAG, _FLAG, _NUMBER, _NUMBER, _FLAG, _FLAG)

_BATCH: dict[tuple[str, int], Callable[[np.ndarray], np.ndarray]] = {
    (outcome, horizon): getattr(_corvane, f"calculate_{horizon}_yr_{outcome}_rust_parallel_np")
    for outcome in OUTCOMES
    for horizon in HORIZONS
}
_SCALAR: dict[tuple[str, int], Callable[..., float]] = {
    (outcome, horizon): getattr(
        _corvane,
        f"calculate_{horizon}_yr_{'heart_failure' if outcome == 'hf' else outcome}_rust",
    )
    for outcome in OUTCOMES
    for horizon in HORIZONS
}

# The extension's range checks, in its order; the first failure is the row's message.
# Columns are indices into INPUT_COLUMNS.
_AGE_CHECK = {
    10: (1, 30.0, 79.0, "Age must be between 30 and 79"),
    30: (1, 30.0, 59.0, "Age must be between 30 and 59"),
}
_RANGE_CHECKS = (
    (2, 130.0, 320.0, "Total cholesterol must be between 130 and 320"),
    (3, 20.0, 100.0, "HDL cholesterol must be between 20 and 100"),
    (4, 90.0, 200.0, "Systolic blood pressure must be between 90 and 200"),
    (7, 18.5, 39.9, "BMI must be between 18.5 and 39.9"),
    (8, 15.0, 140.0, "eGFR must be between 15 and 140"),
)

# Accepted codes, compared after stripping and lower-casing. Numbers equal to 1 or 0 are
# accepted as well (1.0 from a float column means the same as "1").
_SEX_CODES = {"male": 1.0, "female": 0.0, "1": 1.0, "0": 0.0}
_FLAG_CODES = {"1": 1.0, "0": 0.0, "true": 1.0, "false": 0.0, "yes": 1.0, "no": 0.0}
_MISSING = frozenset({"", "na", "n/a", "nan", "null", "none"})
_EXPECTED = {
    _SEX: "male/female or 1/0",
    _FLAG: "one of 0/1 true/false yes/no",
    _NUMBER: "a number",
}


def _spellings(codes: dict[str, float]) -> dict[Any, float]:
    # Exact-match lookup table for the common spellings, so a column of them decodes
    # with one dict lookup per value; anything else takes the slow path.
    table: dict[Any, float] = {1: 1.0, 0: 0.0}  # also matches 1.0, True, np.float64(0) ...
    for text, value in codes.items():
        for spelling in (text, text.upper(), text.capitalize()):
            table[spelling] = value
    return table


_FAST_CODES = {_SEX: _spellings(_SEX_CODES), _FLAG: _spellings(_FLAG_CODES)}
_CODES = {_SEX: _SEX_CODES, _FLAG: _FLAG_CODES}


def risk_column(outcome: str, horizon: int) -> str:
    """Name of the risk column for one outcome and horizon, e.g. ``"cvd_10yr"``."""
    return f"{outcome}_{horizon}yr"


class Scores(dict[str, np.ndarray]):
    """The result of :func:`score`: a dict of equally long columns, in row order.

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

    ``pandas.DataFrame(scores)`` gives a data frame of all columns.
    """

    messages: dict[str, np.ndarray]

    def __init__(self) -> None:
        super().__init__()
        self.messages = {}


def score(
    table: Any,
    outcomes: Iterable[str] | str = OUTCOMES,
    horizons: Iterable[int] | int = HORIZONS,
) -> Scores:
    """Score every row of ``table`` for the chosen outcomes and horizons.

    ``table`` is a mapping of column name to a sequence or 1-D array, a NumPy structured
    array, or a pandas DataFrame. It needs the columns of ``INPUT_COLUMNS`` (other columns
    are ignored):

    - ``sex``: ``"male"``/``"female"`` in any case, or 1/0 (1 is male);
    - ``age``, ``total_cholesterol``, ``hdl_cholesterol`` (mg/dL), ``systolic_bp``,
      ``bmi``, ``egfr``: numbers, or text that reads as a number;
    - ``has_diabetes``, ``current_smoker``, ``on_htn_meds``, ``on_cholesterol_meds``:
      booleans, 0/1, or ``"true"``/``"false"``/``"yes"``/``"no"`` in any case.

    A missing value (None, NaN, empty text, ``"NA"``) or an unreadable one refuses the row
    for every model, with a reason naming the column. Values out of a model's range refuse
    the row for that model with the scalar function's message.

    ``outcomes`` is any of ``"cvd"``, ``"ascvd"``, ``"hf"``; ``horizons`` any of 10, 30.
    Risks are computed by the extension's batch functions and equal them bit for bit.

    Raises ValueError when a column is missing, columns differ in length, or an outcome
    or horizon is unknown; TypeError when ``table`` is none of the accepted kinds.

    >>> s = score({"sex": ["female"], "age": [55], "total_cholesterol": [213],
    ...            "hdl_cholesterol": [50], "systolic_bp": [120], "has_diabetes": [0],
    ...            "current_smoker": [0], "bmi": [27], "egfr": [90], "on_htn_meds": [0],
    ...            "on_cholesterol_meds": [0]}, outcomes="cvd", horizons=10)
    >>> list(s)
    ['cvd_10yr', 'error']
    """
    models = _resolve_models(outcomes, horizons)
    columns = _input_columns(table)
    values, problems = _decode_columns(columns)
    return _score_values(values, problems, models)


def _resolve_models(
    outcomes: Iterable[str] | str, horizons: Iterable[int] | int
) -> list[tuple[str, int]]:
    """(outcome, horizon) pairs in output order: by horizon, then outcome."""
    outcome_list = [outcomes] if isinstance(outcomes, str) else list(outcomes)
    horizon_list = [horizons] if isinstance(horizons, (int, np.integer)) else list(horizons)
    for o in outcome_list:
        if o not in OUTCOMES:
            raise ValueError(f"unknown outcome {o!r}: choose from {', '.join(OUTCOMES)}")
    for h in horizon_list:
        if h not in HORIZONS:
            raise ValueError(f"unknown horizon {h!r}: choose from 10, 30")
    if not outcome_list or not horizon_list:
        raise ValueError("at least one outcome and one horizon are needed")
    outcome_list = list(dict.fromkeys(outcome_list))
    horizon_list = list(dict.fromkeys(int(h) for h in horizon_list))
    return [(o, h) for h in horizon_list for o in outcome_list]


def _input_columns(table: Any) -> list[Any]:
    """The eleven input columns of ``table``, in INPUT_COLUMNS order."""
    names = getattr(getattr(table, "dtype", None), "names", None)
    if names is not None:  # structured array
        get, present = table.__getitem__, set(names)
    elif hasattr(table, "columns") and hasattr(table, "iloc"):  # pandas DataFrame
        get, present = table.__getitem__, set(table.columns)
    elif isinstance(table, Mapping):
        get, present = table.__getitem__, set(table)
    else:
        raise TypeError(
            "table must be a mapping of column name to values, a structured array or a"
            f" pandas DataFrame, not {type(table).__name__}"
        )
    missing = [name for name in INPUT_COLUMNS if name not in present]
    if missing:
        raise ValueError(f"missing column{'s' * (len(missing) > 1)}: {', '.join(missing)}")
    columns = [_as_column(name, get(name)) for name in INPUT_COLUMNS]
    lengths = {len(c) for c in columns}
    if len(lengths) > 1:
        sizes = ", ".join(f"{n} has {len(c)}" for n, c in zip(INPUT_COLUMNS, columns))
        raise ValueError(f"columns differ in length: {sizes}")
    return columns


def _as_column(name: str, column: Any) -> np.ndarray | list[Any]:
    # A numeric 1-D array is decoded vectorized; anything else value by value.
    if hasattr(column, "iloc"):  # pandas Series
        kind = getattr(column.dtype, "kind", None) or "O"
        if isinstance(column.dtype, np.dtype) and kind in "biuf":
            return column.to_numpy()
        if kind in "biuf":  # nullable integer, float or boolean: NA becomes NaN
            return column.to_numpy(dtype=np.float64, na_value=np.nan)
        return column.to_numpy(dtype=object, na_value=None).tolist()
    if isinstance(column, np.ndarray):
        if column.ndim != 1:
            raise ValueError(f"column {name} must be one-dimensional, not of shape {column.shape}")
        return column if column.dtype.kind in "biuf" else column.tolist()
    if isinstance(column, (str, bytes)) or not isinstance(column, Iterable):
        raise TypeError(f"column {name} must be a sequence of values, not {type(column).__name__}")
    return column if isinstance(column, list) else list(column)


def _decode_columns(columns: Sequence[Any]) -> tuple[np.ndarray, dict[int, list[str]]]:
    """Decode the eleven input columns into the batch array.

    Returns the (n, 11) float64 array and, for every row that cannot be read, the list
    of reasons (``"age: missing value"``), one per bad column, in column order.
    """
    n = len(columns[0])
    values = np.empty((n, len(INPUT_COLUMNS)), dtype=np.float64)
    problems: dict[int, list[str]] = {}
    for j, (name, kind, column) in enumerate(zip(INPUT_COLUMNS, _KINDS, columns)):
        values[:, j], bad = _decode_column(name, kind, column)
        for row, reason in bad.items():
            problems.setdefault(row, []).append(reason)
    return values, problems


def _decode_column(name: str, kind: str, column: Any) -> tuple[np.ndarray, dict[int, str]]:
    """Decode one column of ``kind`` (_SEX, _NUMBER or _FLAG) into float64.

    ``column`` is a numeric 1-D array or a list of arbitrary values (text, numbers, None).
    Returns the values and a reason for each row that cannot be read; those rows' values
    are meaningless.
    """
    if isinstance(column, np.ndarray):
        values = column.astype(np.float64)
        return values, _check_numbers(name, kind, values, column)
    try:
        if kind == _NUMBER:
            values = np.fromiter(map(float, column), np.float64, len(column))
        else:
            codes = list(map(_FAST_CODES[kind].get, column))
            if None in codes:  # fromiter would quietly turn None into NaN
                raise ValueError
            values = np.array(codes, dtype=np.float64)
    except (TypeError, ValueError):
        return _decode_slowly(name, kind, column)
    return values, _check_numbers(name, kind, values, column)


def _check_numbers(
    name: str, kind: str, values: np.ndarray, original: Sequence[Any] | np.ndarray
) -> dict[int, str]:
    # NaN is a missing value; a sex or flag must be exactly 0 or 1.
    bad = np.isnan(values)
    if kind != _NUMBER:
        bad |= (values != 0.0) & (values != 1.0)
    if not bad.any():
        return {}
    return {i: _reason(name, kind, original[i]) for i in np.flatnonzero(bad).tolist()}


def _decode_slowly(
    name: str, kind: str, column: Sequence[Any]
) -> tuple[np.ndarray, dict[int, str]]:
    values = np.empty(len(column), dtype=np.float64)
    reasons = {}
    for i, value in enumerate(column):
        decoded = _decode_value(kind, value)
        if decoded is None:
            reasons[i] = _reason(name, kind, value)
            decoded = math.nan
        values[i] = decoded
    return values, reasons


def _decode_value(kind: str, value: Any) -> float | None:
    """One value as float, or None when it is missing or unreadable."""
    if isinstance(value, str):
        text = value.strip().lower()
        if kind != _NUMBER and text in _CODES[kind]:
            return _CODES[kind][text]
        if text in _MISSING:
            return None
        value = text
    elif value is None:
        return None
    try:
        number = float(value)
    except (TypeError, ValueError):
        return None
    if math.isnan(number) or (kind != _NUMBER and number not in (0.0, 1.0)):
        return None
    return number


def _reason(name: str, kind: str, value: Any) -> str:
    if value is None or (isinstance(value, str) and value.strip().lower() in _MISSING):
        return f"{name}: missing value"
    if not isinstance(value, str):
        try:
            if math.isnan(value):
                return f"{name}: missing value"
        except TypeError:
            pass
    shown = repr(value if isinstance(value, str) else _plain(value))
    if len(shown) > 40:
        shown = shown[:37] + "..."
    return f"{name}: {shown} is not {_EXPECTED[kind]}"


def _plain(value: Any) -> Any:
    # np.float64(2.0) shows as 2.0, not as its constructor call.
    item = getattr(value, "item", None)
    return item() if callable(item) and getattr(value, "ndim", None) == 0 else value


def _score_values(
    values: np.ndarray,
    problems: Mapping[int, Sequence[str]] | Mapping[int, str],
    models: Sequence[tuple[str, int]],
) -> Scores:
    """Run the batch functions on decoded rows and attach a reason to every refused row.

    ``values`` is the (n, 11) float64 batch array; ``problems`` maps each unreadable row
    to its reasons (their "; "-joined text becomes the row's message for every model).
    """
    n = len(values)
    unreadable = np.fromiter(problems.keys(), np.intp, len(problems))
    unreadable_text = np.empty(len(problems), dtype=object)
    unreadable_text[:] = [r if isinstance(r, str) else "; ".join(r) for r in problems.values()]

    result = Scores()
    per_horizon: dict[int, np.ndarray] = {}
    for outcome, horizon in models:
        risk = _BATCH[outcome, horizon](values)
        refused = np.isnan(risk)
        refused[unreadable] = False
        refused_rows = np.flatnonzero(refused)
        messages = np.full(n, None, dtype=object)
        if len(refused_rows):
            messages[refused_rows] = _range_messages(values, refused_rows, outcome, horizon)
        risk[unreadable] = math.nan
        messages[unreadable] = unreadable_text
        column = risk_column(outcome, horizon)
        result[column] = risk
        result.messages[column] = messages
        # The error column holds one message per horizon: the first refusing outcome's.
        if horizon not in per_horizon:
            per_horizon[horizon] = messages.copy()
        else:
            first = per_horizon[horizon]
            np.copyto(first, messages, where=~_has_message(first))
    result["error"] = _error_column(n, per_horizon)
    return result


def _has_message(messages: np.ndarray) -> np.ndarray:
    """Which rows of a message column hold a message (None is falsy, a message is not)."""
    return messages.astype(bool)


def _range_messages(values: np.ndarray, rows: np.ndarray, outcome: str, horizon: int) -> np.ndarray:
    """The scalar function's message for each of ``rows``, which the batch refused."""
    sub = values[rows]
    messages = np.full(len(rows), None, dtype=object)
    pending = np.ones(len(rows), dtype=bool)
    for col, low, high, text in (_AGE_CHECK[horizon], *_RANGE_CHECKS):
        v = sub[:, col]
        # Written as "in range" and negated, so NaN fails like in the extension.
        failed = pending & ~((v >= low) & (v <= high))
        messages[failed] = text
        pending &= ~failed
    # Anything the range checks do not explain is asked of the scalar function itself.
    for i in np.flatnonzero(pending).tolist():
        messages[i] = _scalar_message(outcome, horizon, sub[i])
    return messages


def _scalar_message(outcome: str, horizon: int, row: np.ndarray) -> str:
    r = row.tolist()
    args = ("male" if r[0] == 1.0 else "female", r[1], r[2], r[3], r[4], r[5] != 0.0,
            r[6] != 0.0, r[7], r[8], r[9] != 0.0, r[10] != 0.0)
    try:
        risk = _SCALAR[outcome, horizon](*args)
    except ValueError as e:
        return str(e)
    return f"internal error: batch gave no risk where the scalar function gives {risk!r}"


def _error_column(n: int, per_horizon: dict[int, np.ndarray]) -> np.ndarray:
    if len(per_horizon) == 1:
        return next(iter(per_horizon.values()))
    error = np.full(n, None, dtype=object)
    (h1, m1), (h2, m2) = per_horizon.items()
    has1, has2 = _has_message(m1), _has_message(m2)
    same = has1 & has2 & (m1 == m2)
    error[same] = m1[same]
    only1, only2, both = has1 & ~has2, has2 & ~has1, has1 & has2 & ~same
    error[only1] = f"{h1}-year: " + m1[only1]
    error[only2] = f"{h2}-year: " + m2[only2]
    error[both] = f"{h1}-year: " + m1[both] + f"; {h2}-year: " + m2[both]
    return error


def __getattr__(name: str) -> Any:
    if name == "__version__":
        from importlib.metadata import version

        return version("corvane")
    raise AttributeError(f"module 'corvane' has no attribute {name!r}")

