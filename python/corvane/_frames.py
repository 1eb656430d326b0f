"""Reading a dataframe or Arrow table into the engine's eleven columns, through narwhals.

pandas, polars, pyarrow and any Arrow stream come in through one compatibility layer; text
codes and numbers written as text are looked up or parsed by Arrow, without a Python step
per row. Imported only when such a table is scored.
"""

from __future__ import annotations

from concurrent.futures import ThreadPoolExecutor
from typing import Any

import _corvane
import narwhals as nw
import numpy as np

from ._columns import (
    _LOOK_AGAIN,
    _MAX_NAMED_BAD,
    _UNNAMED,
    FAST_CODES,
    INPUT_COLUMNS,
    KINDS,
    NUMBER,
    EngineColumn,
    InputTable,
    _code_of,
    _engine_array,
    _numbers_column,
    _objects_column,
    _pick,
    _reason,
    _value_reasons,
)


def read_frame(table: Any) -> InputTable | None:
    """The eleven engine columns of a dataframe or Arrow input; None for any other object."""
    frame, stream = _as_frame(table)
    if frame is None:
        return None
    found = list(frame.columns)
    picked = _pick(found)
    columns = _frame_columns([frame.get_column(found[picked[name]]) for name in INPUT_COLUMNS])
    index = nw.maybe_get_index(frame)
    return InputTable(len(frame), columns, frame=frame, index=index, arrow_stream=stream)


def _as_frame(table: Any) -> tuple[Any, bool]:
    """A narwhals DataFrame for a dataframe or Arrow input, or None; and whether the input was
    an Arrow stream object that is not a table of its own."""
    try:
        return nw.from_native(table, eager_only=True), False
    except TypeError:
        pass
    except nw.exceptions.DuplicateError:
        # pandas allows repeated names; only a repeated input column is a problem, and
        # _pick names it. Otherwise the inputs alone are read, by position.
        picked = _pick(list(table.columns))
        return nw.from_native(table.iloc[:, sorted(picked.values())], eager_only=True), False
    module = type(table).__module__.split(".")[0]
    if module == "pyarrow" and type(table).__name__ == "RecordBatch":
        import pyarrow as pa

        return nw.from_native(pa.Table.from_batches([table])), False
    if hasattr(table, "__arrow_c_stream__"):
        import pyarrow as pa

        return nw.from_native(pa.table(table)), True
    return None, False


def _frame_columns(series: list[Any]) -> list[EngineColumn]:
    """The eleven columns of a frame. Text columns are looked up on short-lived threads, as
    many as the pool has workers: Arrow releases the interpreter lock while it hashes, and the
    lookups are most of the time a text table takes. The threads end before this returns, so
    no thread outlives the call (a fork after it finds none)."""
    text = [i for i, s in enumerate(series) if isinstance(s.dtype, _TEXT_TYPES)]
    threads = min(len(text), _corvane._worker_count()) if len(text) > 1 else 1
    if threads < 2:
        return [_frame_column(*job) for job in zip(INPUT_COLUMNS, KINDS, series)]
    with ThreadPoolExecutor(threads, thread_name_prefix="corvane-read") as pool:
        looked_up = {
            i: pool.submit(_frame_column, INPUT_COLUMNS[i], KINDS[i], series[i]) for i in text
        }
        # In column order, so the first bad column is the one named, as when read one by one.
        return [
            looked_up[i].result() if i in looked_up else _frame_column(name, kind, s)
            for i, (name, kind, s) in enumerate(zip(INPUT_COLUMNS, KINDS, series))
        ]


_TEXT_TYPES = (nw.String, nw.Categorical, nw.Enum)


def _frame_column(name: str, kind: str, series: Any) -> EngineColumn:
    dtype = series.dtype
    if dtype.is_numeric() or dtype == nw.Boolean:
        if isinstance(dtype, (nw.Decimal, nw.Int128, nw.UInt128)):
            series = series.cast(nw.Float64())
        values = series.to_numpy()  # nulls of a number type come as NaN, read as missing
        missing = None
        if values.dtype.kind not in "biuf":  # booleans with nulls come as objects
            missing = series.is_null().to_numpy()
            values = series.fill_null(False).to_numpy()
        return _numbers_column(name, kind, _engine_array(values), missing)
    if isinstance(dtype, _TEXT_TYPES):
        return _text_column(name, kind, series)
    if dtype == nw.Object:
        return _objects_column(name, kind, series.to_numpy())
    if dtype == nw.Unknown and series.null_count() == len(series):  # a column of nulls only
        missing = np.ones(len(series), dtype=bool)
        return _numbers_column(name, kind, np.zeros(len(series), dtype=np.int8), missing)
    raise TypeError(f"column {name}: cannot read values of type {dtype}")


def _text_column(name: str, kind: str, series: Any) -> EngineColumn:
    """Decode text (or categories) without a Python step per row. Arrow looks each text up
    among the usual spellings; only the distinct texts of the rest are read here, and a
    number column is parsed by Arrow."""
    if kind == NUMBER:
        return _text_numbers_column(name, series)
    import pyarrow as pa
    import pyarrow.compute as pc

    text = series.to_arrow()
    if isinstance(text, pa.ChunkedArray):
        text = text.combine_chunks()
    only_reason = None  # the reason of every bad cell, when it is always the same
    if pa.types.is_dictionary(text.type):
        table, bad_reasons = _code_table(name, kind, text.dictionary.to_pylist())
        codes = table[text.indices.fill_null(len(text.dictionary)).to_numpy(zero_copy_only=False)]
    else:
        spellings, spelling_codes, look_up = _SPELLINGS[kind]
        # A column of usual spellings only is found without nulls, mapped by Arrow and read by
        # the engine where Arrow put it.
        found = pc.index_in(text, value_set=spellings)
        bad_reasons = np.array([f"{name}: missing value"], dtype=object)
        if found.null_count == 0:
            codes = pc.take(spelling_codes, found).to_numpy()
        else:  # other spellings, bad texts and nulls: by their distinct values
            # NumPy maps the misses to _LOOK_AGAIN in the same pass, into a writable array;
            # Arrow's take would carry the nulls and need a fill and a copy after it.
            codes = look_up[found.fill_null(len(spelling_codes)).to_numpy()]
            rest = np.flatnonzero(codes == _LOOK_AGAIN)
            encoded = pc.dictionary_encode(text.take(pa.array(rest)))
            table, bad_reasons = _code_table(name, kind, encoded.dictionary.to_pylist())
            codes[rest] = table[encoded.indices.fill_null(len(encoded.dictionary)).to_numpy(
                zero_copy_only=False)]
            # Every text in the dictionary is in the column: when its bad cells all have one
            # reason (one bad spelling, or only missing values), they are named without a look
            # at the rows.
            present = set(bad_reasons[:-1].tolist())
            if encoded.indices.null_count:
                present.add(bad_reasons[-1])
            if len(present) == 1 and len(bad_reasons) - 1 < _MAX_NAMED_BAD:
                only_reason = present.pop()

    def reasons(rows: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        picked = codes[rows]
        out = np.full(len(rows), None, dtype=object)
        named_rows = (picked < 0) & (picked > _UNNAMED)
        out[named_rows] = bad_reasons[-1 - picked[named_rows].astype(np.intp)]
        others = np.flatnonzero(picked == _UNNAMED)  # more distinct bad texts than codes
        if len(others):
            out[others] = [_reason(name, kind, v) for v in _gather(series, rows[others])]
        return picked < 0, out

    return EngineColumn(codes, None, reasons, only_reason)


def _code_table(name: str, kind: str, texts: list[Any]) -> tuple[np.ndarray, np.ndarray]:
    """The code of each distinct text, then of a null (index len(texts)), and the reasons the
    negative codes stand for. A bad text gets -1 - (its place among the bad ones), so its
    reason is found without looking at the rows again; past _MAX_NAMED_BAD, _UNNAMED."""
    codes_of = [_code_of(kind, t) for t in texts]
    bad_texts = [t for t, c in zip(texts, codes_of) if c is None][:_MAX_NAMED_BAD]
    named = {t: -1 - j for j, t in enumerate(bad_texts)}
    table = np.array(
        [c if c is not None else named.get(t, _UNNAMED) for t, c in zip(texts, codes_of)]
        + [-1 - len(bad_texts)],
        dtype=np.int8,
    )
    reasons = [_reason(name, kind, t) for t in bad_texts] + [f"{name}: missing value"]
    return table, np.array(reasons, dtype=object)


def _spelling_table(kind: str) -> tuple[Any, Any, np.ndarray]:
    import pyarrow as pa

    texts = [t for t in FAST_CODES[kind] if isinstance(t, str)]
    codes = [FAST_CODES[kind][t] for t in texts]
    look_up = np.array(codes + [_LOOK_AGAIN], dtype=np.int8)  # by place, then a miss
    return pa.array(texts, type=pa.string()), pa.array(codes, type=pa.int8()), look_up


class _Spellings(dict):
    """The usual spellings of each kind as an Arrow value set, built on first use."""

    def __missing__(self, kind: str) -> tuple[Any, Any, np.ndarray]:
        self[kind] = _spelling_table(kind)
        return self[kind]


_SPELLINGS = _Spellings()


def _text_numbers_column(name: str, series: Any) -> EngineColumn:
    import pyarrow as pa
    import pyarrow.compute as pc

    text = series.to_arrow()
    if pa.types.is_dictionary(text.type):
        text = text.cast(pa.string())
    trimmed = pc.utf8_trim_whitespace(text)
    number = r"^[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?$|^[+-]?(inf|infinity)$"
    readable = pc.match_substring_regex(trimmed, number, ignore_case=True)
    values = pc.cast(pc.if_else(readable, trimmed, None), pa.float64())
    values = values.to_numpy(zero_copy_only=False)
    values = np.where(np.isnan(values), np.nan, values)  # writable, and nulls are NaN

    def reasons(rows: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        bad = np.isnan(values[rows])
        return bad, _value_reasons(name, NUMBER, bad, lambda r: _gather(series, rows[r]))

    return EngineColumn(values, None, reasons)


def _gather(series: Any, rows: np.ndarray) -> list[Any]:
    return series[rows.tolist()].to_list() if len(rows) else []
