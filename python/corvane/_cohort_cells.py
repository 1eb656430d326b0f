"""The eleven model inputs read out of a batch's cells, vectorized, with a reason per bad cell."""

from __future__ import annotations

from dataclasses import dataclass, field

import polars as pl

from ._names import EXPECTED, FLAG, INPUT_COLUMNS, MISSING_TEXTS, NUMBER, SEX
from ._names import KINDS as KINDS_IN_ORDER

KINDS = dict(zip(INPUT_COLUMNS, KINDS_IN_ORDER))  # each input's kind, by name
# Accepted codes, compared after stripping and lower-casing; numbers equal to 1 or 0 also do.
_CODES = {
    SEX: {"male": 1.0, "female": 0.0, "1": 1.0, "0": 0.0},
    FLAG: {"1": 1.0, "0": 0.0, "true": 1.0, "false": 0.0, "yes": 1.0, "no": 0.0},
}
# The codes as files usually spell them, read without stripping or lower-casing.
_SPELLINGS = {
    kind: {f(text): v for text, v in codes.items() for f in (str, str.upper, str.capitalize)}
    for kind, codes in _CODES.items()
}
# The spelling nearly every file uses; the others are looked up only where a column has them.
_USUAL = {SEX: {"male": 1.0, "female": 0.0}, FLAG: {"1": 1.0, "0": 0.0}}
MISSING = sorted(MISSING_TEXTS)
_SHOWN_CHARS = 40


@dataclass
class Plan:
    """Where each input sits among the file's columns and how its cells are read."""

    positions: dict[str, int]  # input name -> file column index
    labels: dict[str, str]  # input name -> the column's name in the file, for messages
    codes: dict[str, dict[str, str]] = field(default_factory=dict)  # input -> {from: to}
    decimal_comma: bool = False
    # Decoding expressions by the batch's schema, built on first use.
    expressions: dict = field(default_factory=dict, repr=False, compare=False)


@dataclass
class Decoded:
    inputs: pl.DataFrame  # the eleven inputs as Float64, null where a cell is bad
    reasons: pl.Series | None  # per row: "age: missing value; ..." or null; None if none bad
    comma_numbers: int  # cells that would read as numbers with a decimal comma


def code_problem(name: str, to: str) -> str | None:
    """Why ``to`` cannot stand for a value of input ``name`` (for --code), or None."""
    kind = KINDS[name]
    if kind == NUMBER:
        try:
            float(to)
        except ValueError:
            return f"{to!r} is not a number"
    elif to.strip().lower() not in _CODES[kind]:
        return f"{to!r} is not one of {'/'.join(_CODES[kind])}"
    return None


def decode(frame: pl.DataFrame, plan: Plan) -> Decoded:
    """Decode the input columns of ``frame`` (named c0, c1, ...).

    A first pass reads the common spellings of every cell; only the rows where it finds
    nothing are read again carefully (spaces, letter case, missing markers) and explained.
    Each polars call costs a fixed tenth of a millisecond or more, so a batch makes few.
    """
    exprs = _expressions(plan, frame.schema)
    first = frame.lazy().select(exprs.first).with_columns(_UNREAD).collect()
    unread = first.drop_in_place("_unread")
    # A column that holds other spellings (yes/no, Male) is read again with all of them.
    spelled = [
        name
        for name in exprs.again
        if first[name].null_count() > frame[f"c{plan.positions[name]}"].null_count()
    ]
    if spelled:
        first = first.with_columns(frame.select(exprs.again[name] for name in spelled))
        unread = first.select(_UNREAD).to_series()
    if not unread.any():
        return Decoded(first, None, 0)
    rows = unread.arg_true()
    subset = frame[rows]
    # Only the columns with a bad cell among these rows are read again and explained; a
    # column whose bad cells are all empty (the usual case) is not read again: each is a
    # missing value.
    bad_counts = dict(zip(INPUT_COLUMNS, first[rows].select(_BAD_CELLS).row(0)))
    bad = [name for name in INPUT_COLUMNS if bad_counts[name]]
    look = [
        name
        for name in bad
        if subset[f"c{plan.positions[name]}"].null_count() != bad_counts[name]
    ]
    read = subset.select(
        *[exprs.careful[name] for name in look],
        pl.sum_horizontal(pl.lit(0), *[exprs.commas[name] for name in look]).sum().alias("commas"),
        *[(exprs.missing if name in look else exprs.empty)[name].alias(f"why {name}")
          for name in bad],
        *[exprs.unread_text[name].alias(f"text {name}") for name in look],
    )
    commas = int(read["commas"][0])
    inputs = first.with_columns(first[name].scatter(rows, read[name]) for name in look)
    explained = [name for name in bad if name not in look or read[name].null_count()]
    if not explained:  # every cell read on a closer look (spaces, letter case)
        return Decoded(inputs, None, commas)
    # A bad text is shown as Python shows it, looked up once per distinct text.
    distinct = (
        read.select(pl.col(f"text {n}").drop_nulls().unique().implode() for n in look).row(0)
        if look
        else ()
    )
    read = read.with_columns(
        pl.coalesce(
            f"why {name}",
            pl.col(f"text {name}").replace_strict(
                _not_readable(plan.labels[name], KINDS[name], texts),
                default=None,
                return_dtype=pl.String,
            ),
        ).alias(f"why {name}")
        for name, texts in zip(look, distinct)
    )
    joined = pl.concat_str([f"why {name}" for name in explained], separator="; ",
                           ignore_nulls=True)
    why = read.select(pl.when(joined != "").then(joined)).to_series()
    reasons = pl.Series("reason", dtype=pl.String).extend_constant(None, len(frame))
    return Decoded(inputs, reasons.scatter(rows, why), commas)


_UNREAD = pl.any_horizontal(pl.all().is_null() | pl.all().is_nan()).alias("_unread")
_BAD_CELLS = (pl.all().is_null() | pl.all().is_nan()).sum()


@dataclass
class _Expressions:
    """The expressions that decode one kind of batch, built once per run: building them
    costs as much as a batch's careful pass."""

    first: list[pl.Expr]  # each input by its usual spelling
    again: dict[str, pl.Expr]  # inputs whose other spellings are looked up when present
    careful: dict[str, pl.Expr]  # per input: its cell read carefully
    commas: dict[str, pl.Expr]  # per input: 1 where a decimal comma would read the cell
    missing: dict[str, pl.Expr]  # per input: its reason where the cell is missing, else null
    unread_text: dict[str, pl.Expr]  # per input: the text of a cell that is bad, not missing
    empty: dict[str, pl.Expr]  # per input: its reason where the cell is empty, else null


def _expressions(plan: Plan, schema: pl.Schema) -> _Expressions:
    key = tuple(schema.items())
    cached = plan.expressions.get(key)
    if cached is not None:
        return cached
    first = [_fast_value(name, schema, plan, _USUAL).alias(name) for name in INPUT_COLUMNS]
    again = {
        name: _fast_value(name, schema, plan, _SPELLINGS).alias(name)
        for name in INPUT_COLUMNS
        if KINDS[name] != NUMBER
        and not reads_as_number(schema[f"c{plan.positions[name]}"])
        and name not in plan.codes
    }
    parts = {name: _careful_value(name, schema, plan) for name in INPUT_COLUMNS}
    careful = {
        name: pl.when(missing).then(None).otherwise(value).alias(name)
        for name, (value, missing, _) in parts.items()
    }
    commas = {name: comma for name, (_, _, comma) in parts.items()}
    missing_reasons = {
        name: pl.when(missing).then(pl.lit(f"{plan.labels[name]}: missing value"))
        for name, (_, missing, _) in parts.items()
    }
    unread_text = {
        name: pl.when(~missing & value.is_null()).then(
            pl.col(f"c{plan.positions[name]}").cast(pl.String)
        )
        for name, (value, missing, _) in parts.items()
    }
    empty = {
        name: pl.when(pl.col(f"c{plan.positions[name]}").is_null()).then(
            pl.lit(f"{plan.labels[name]}: missing value")
        )
        for name in INPUT_COLUMNS
    }
    cached = plan.expressions[key] = _Expressions(
        first, again, careful, commas, missing_reasons, unread_text, empty
    )
    return cached


def reads_as_number(dtype: pl.DataType) -> bool:
    """Whether a column of this type is read as numbers; any other (text, categories, dates)
    is read as its text."""
    return dtype.is_numeric() or dtype in (pl.Boolean, pl.Null)


def readable_type(dtype: pl.DataType) -> bool:
    """Whether a column of this type holds single values: numbers, text, categories, dates.
    Lists, structs and binary data are not read."""
    return not (dtype.is_nested() or dtype in (pl.Binary, pl.Object))


def _typed_value(name: str, schema: pl.Schema, plan: Plan) -> pl.Expr | None:
    """The value of a column read as numbers (a code only when 0 or 1), or None for a
    column read as text."""
    source = f"c{plan.positions[name]}"
    if not reads_as_number(schema[source]) or name in plan.codes:
        return None
    value = pl.col(source).cast(pl.Float64, strict=False)
    return value if KINDS[name] == NUMBER else pl.when(value.is_in([0.0, 1.0])).then(value)


def _fast_value(name: str, schema: pl.Schema, plan: Plan, spellings: dict) -> pl.Expr:
    """The cell's value when spelled as one of ``spellings``, else null (or NaN)."""
    column = pl.col(f"c{plan.positions[name]}")
    kind = KINDS[name]
    codes = plan.codes.get(name)
    value = _typed_value(name, schema, plan)
    if value is not None:
        return value
    text = column.cast(pl.String)
    if codes:
        text = text.replace(codes)
    if kind == NUMBER:
        if plan.decimal_comma:
            text = text.str.replace(",", ".", literal=True)
        return text.cast(pl.Float64, strict=False)  # NaN is sent to the careful pass
    if spellings is _USUAL and not codes:
        # Two comparisons cost a fifth of a lookup among all the spellings.
        (one, one_value), (zero, zero_value) = _USUAL[kind].items()
        return pl.when(text == one).then(one_value).when(text == zero).then(zero_value)
    return text.replace_strict(spellings[kind], default=None, return_dtype=pl.Float64)


def _careful_value(name: str, schema: pl.Schema, plan: Plan):
    """(value or null, whether the cell is missing, 1 where a decimal comma would read it)."""
    column = pl.col(f"c{plan.positions[name]}")
    kind = KINDS[name]
    codes = plan.codes.get(name)
    value = _typed_value(name, schema, plan)
    if value is not None:
        number = column.cast(pl.Float64, strict=False)
        return value, number.is_null() | number.is_nan(), pl.lit(0)
    text = column.cast(pl.String).str.strip_chars()
    if codes:
        text = text.replace(codes)
    lower = text.str.to_lowercase()
    missing = column.is_null() | lower.is_in(MISSING)
    if kind == NUMBER:
        readable = text.str.replace(",", ".", literal=True) if plan.decimal_comma else text
        value = readable.cast(pl.Float64, strict=False)
        missing = missing | value.is_nan().fill_null(False)
        comma = pl.lit(0)
        if not plan.decimal_comma:
            with_comma = text.str.replace(",", ".", literal=True).cast(pl.Float64, strict=False)
            comma = (value.is_null() & with_comma.is_not_null()).cast(pl.Int64)
        return value, missing, comma
    # A flag or sex code written as a number follows the file's decimal mark too ("1,0").
    readable = text.str.replace(",", ".", literal=True) if plan.decimal_comma else text
    number = readable.cast(pl.Float64, strict=False)
    value = pl.coalesce(
        lower.replace_strict(_CODES[kind], default=None, return_dtype=pl.Float64),
        pl.when(number.is_in([0.0, 1.0])).then(number),
    )
    return value, missing, pl.lit(0)


def _not_readable(label: str, kind: str, texts: list[str]) -> dict[str, str]:
    """The reason of each of the distinct bad ``texts``: the text as Python would quote it in
    a message, shortened to 40 characters."""
    reasons = {}
    for text in texts:
        shown = repr(text)
        if len(shown) > _SHOWN_CHARS:
            shown = shown[: _SHOWN_CHARS - 3] + "..."
        reasons[text] = f"{label}: {shown} is not {EXPECTED[kind]}"
    return reasons
