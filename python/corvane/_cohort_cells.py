"""The eleven model inputs read out of a batch's cells, vectorized, with a reason per bad cell."""

from __future__ import annotations

from dataclasses import dataclass, field

import polars as pl

from . import INPUT_COLUMNS

_SEX, _NUMBER, _FLAG = "sex", "number", "flag"
KINDS = dict(
    zip(
        INPUT_COLUMNS,
        (_SEX, _NUMBER, _NUMBER, _NUMBER, _NUMBER, _FLAG, _FLAG, _NUMBER, _NUMBER, _FLAG, _FLAG),
    )
)
# Accepted codes, compared after stripping and lower-casing; numbers equal to 1 or 0 also do.
_CODES = {
    _SEX: {"male": 1.0, "female": 0.0, "1": 1.0, "0": 0.0},
    _FLAG: {"1": 1.0, "0": 0.0, "true": 1.0, "false": 0.0, "yes": 1.0, "no": 0.0},
}
MISSING = ("", "na", "n/a", "nan", "null", "none")
_EXPECTED = {
    _SEX: "male/female or 1/0",
    _FLAG: "one of 0/1 true/false yes/no",
    _NUMBER: "a number",
}
_SHOWN_CHARS = 40


@dataclass
class Plan:
    """Where each input sits among the file's columns and how its cells are read."""

    positions: dict[str, int]  # input name -> file column index
    labels: dict[str, str]  # input name -> the column's name in the file, for messages
    codes: dict[str, dict[str, str]] = field(default_factory=dict)  # input -> {from: to}
    decimal_comma: bool = False


@dataclass
class Decoded:
    inputs: pl.DataFrame  # the eleven inputs as Float64, null where a cell is bad
    reasons: pl.Series  # per row: "age: missing value; ..." or null
    comma_numbers: int  # cells that would read as numbers with a decimal comma


def code_problem(name: str, to: str) -> str | None:
    """Why ``to`` cannot stand for a value of input ``name`` (for --code), or None."""
    kind = KINDS[name]
    if kind == _NUMBER:
        try:
            float(to)
        except ValueError:
            return f"{to!r} is not a number"
    elif to.strip().lower() not in _CODES[kind]:
        return f"{to!r} is not one of {'/'.join(_CODES[kind])}"
    return None


def decode(frame: pl.DataFrame, plan: Plan) -> Decoded:
    """Decode the input columns of ``frame`` (named c0, c1, ...) with one select per batch."""
    values, reasons, commas = [], [], []
    for name in INPUT_COLUMNS:
        column = pl.col(f"c{plan.positions[name]}")
        kind = KINDS[name]
        dtype = frame.schema[f"c{plan.positions[name]}"]
        codes = plan.codes.get(name)
        if dtype != pl.String and not codes:
            value, missing, shown, comma = _decode_typed(column, kind)
        else:
            value, missing, shown, comma = _decode_text(column.cast(pl.String), kind, plan, codes)
        bad = value.is_null() & ~missing
        label = plan.labels[name]
        reasons.append(
            pl.when(missing)
            .then(pl.lit(f"{label}: missing value"))
            .when(bad)
            .then(pl.concat_str(pl.lit(f"{label}: "), shown, pl.lit(f" is not {_EXPECTED[kind]}")))
            .alias(f"why_{name}")
        )
        values.append(pl.when(missing | bad).then(None).otherwise(value).alias(name))
        commas.append(comma.alias(f"comma_{name}"))
    out = frame.select(*values, *reasons, pl.sum_horizontal(commas).sum().alias("commas"))
    why = out.select(
        pl.concat_str([f"why_{n}" for n in INPUT_COLUMNS], separator="; ", ignore_nulls=True)
    ).to_series()
    why = pl.select(pl.when(why.str.len_bytes() > 0).then(why)).to_series()
    commas_found = int(out["commas"][0]) if len(out) else 0
    return Decoded(out.select(INPUT_COLUMNS), why, commas_found)


def _decode_typed(column: pl.Expr, kind: str):
    value = column.cast(pl.Float64, strict=False)
    missing = value.is_null() | value.is_nan()
    if kind != _NUMBER:
        value = pl.when(value.is_in([0.0, 1.0])).then(value)
    return value, missing, column.cast(pl.String), pl.lit(0)


def _decode_text(column: pl.Expr, kind: str, plan: Plan, codes: dict[str, str] | None):
    text = column.str.strip_chars()
    if codes:
        text = text.replace(codes)
    lower = text.str.to_lowercase()
    missing = column.is_null() | lower.is_in(MISSING)
    if kind == _NUMBER:
        readable = text.str.replace(",", ".", literal=True) if plan.decimal_comma else text
        value = readable.cast(pl.Float64, strict=False)
        comma = (
            pl.lit(0)
            if plan.decimal_comma
            else (
                value.is_null()
                & text.str.replace(",", ".", literal=True).cast(pl.Float64, strict=False).is_not_null()
            ).sum()
        )
        missing = missing | value.is_nan().fill_null(False)
    else:
        number = text.cast(pl.Float64, strict=False)
        value = pl.coalesce(
            lower.replace_strict(_CODES[kind], default=None, return_dtype=pl.Float64),
            pl.when(number.is_in([0.0, 1.0])).then(number),
        )
        comma = pl.lit(0)
    return value, missing, _quoted(column), comma


def _quoted(column: pl.Expr) -> pl.Expr:
    """The cell as Python would quote it in a message, shortened to 40 characters."""
    escaped = column.str.replace_all("\\", "\\\\", literal=True)
    single = pl.concat_str(pl.lit("'"), escaped.str.replace_all("'", "\\'", literal=True), pl.lit("'"))
    double = pl.concat_str(pl.lit('"'), escaped, pl.lit('"'))
    # Python's repr uses double quotes for text holding a single quote and no double quote.
    use_double = column.str.contains("'", literal=True) & ~column.str.contains('"', literal=True)
    shown = pl.when(use_double).then(double).otherwise(single)
    shown = shown.str.replace_all("\n", "\\n", literal=True).str.replace_all("\r", "\\r", literal=True)
    shown = shown.str.replace_all("\t", "\\t", literal=True)
    return (
        pl.when(shown.str.len_chars() > _SHOWN_CHARS)
        .then(pl.concat_str(shown.str.slice(0, _SHOWN_CHARS - 3), pl.lit("...")))
        .otherwise(shown)
    )
