"""The eleven inputs given by position, as an SQL function gets its arguments, scored for every
model into Arrow columns: the six risks (null where refused) and ``error``."""

from __future__ import annotations

import threading
from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np
import pyarrow as pa

from .._engine import Options, score_columns, texts_of_codes
from .._names import (
    HORIZONS,
    INPUT_COLUMNS,
    OUTCOMES,
    SQL_FUNCTIONS,
    code_maps,
    error_texts,
    expected_texts,
)
from ._results import status_texts

#: Every model, in the order of ``corvane.score``'s columns.
ALL_MODELS = [(o, h) for h in HORIZONS for o in OUTCOMES]


class ArgumentScorer:
    """The SQL functions' bodies for one set of options, checked once, when it is made.

    A query calling several of the functions hands each the same batch of arguments: the first
    call scores every model and keeps the result; the next, given arguments of the same bytes,
    takes its column from it. The last batch is kept per thread, as a database may call from
    several.
    """

    def __init__(self, mmol: bool, codes: Mapping[str, Mapping[Any, Any]] | None) -> None:
        # Reasons name each input by its own name: an SQL argument has no column name.
        self.options_ = Options(INPUT_COLUMNS, expected_texts(codes), code_maps(codes), ".", mmol)
        self.code_texts_ = error_texts(list(HORIZONS), status_texts(mmol))
        self.last_: dict[int, tuple[list[Any], dict[str, pa.Array]]] = {}
        self.score([pa.array([], pa.float64())] * len(INPUT_COLUMNS))  # a bad code map raises now

    def column(self, function: str, arguments: Sequence[Any]) -> pa.Array:
        """The result of the SQL function named ``function`` (``corvane_cvd_10yr``, ...,
        ``corvane_error``) for one batch of its eleven arguments."""
        thread = threading.get_ident()
        kept = self.last_.pop(thread, None)  # the old batch goes before the new is scored
        if kept is None or not same_arguments(kept[0], arguments):
            kept = (list(arguments), self.score(arguments))
        self.last_[thread] = kept
        return kept[1][function]

    def score(self, arguments: Sequence[Any]) -> dict[str, pa.Array]:
        """Each SQL function's result for the eleven Arrow arrays or chunked arrays."""
        if len(arguments) != len(INPUT_COLUMNS):
            raise TypeError(f"expected the {len(INPUT_COLUMNS)} inputs, got {len(arguments)}")
        n = len(arguments[0])
        done = score_columns(
            arguments, [None] * len(arguments), self.options_, ALL_MODELS, n, arrays=np
        )
        # Built in pyarrow directly: a batch of an SQL query is small, and the general result's
        # trip through polars would cost more than scoring it.
        risks = [pa.array(r, mask=np.isnan(r)) for r in done.risks]
        error = texts_of_codes(done.errors, self.code_texts_)
        rows = np.asarray(done.unreadable_rows).astype(np.intp, copy=False)
        error[rows] = np.fromiter(done.reasons, dtype=object, count=len(done.reasons))
        columns = risks + [pa.array(error, pa.string())]
        return {name: column for (name, _), column in zip(SQL_FUNCTIONS, columns)}


def same_arguments(a: Sequence[Any], b: Sequence[Any]) -> bool:
    """Whether two batches of arguments hold the same cells: arrays of one type and equal values,
    floats bit for bit (as values -0.0 equals 0.0, but a refusal quotes the cell as it is).
    False now and then for equal cells (a NaN, say) costs a second scoring, never a wrong
    result."""
    return len(a) == len(b) and all(_same_array(x, y) for x, y in zip(a, b))


def _same_array(x: Any, y: Any) -> bool:
    if x is y:
        return True
    if not x.equals(y):  # type and values, in one native call
        return False
    if x.type.id not in _FLOAT_IDS:
        return True
    xs, ys = _chunks(x), _chunks(y)
    # Equal values differ at most in the sign of a zero, or in the bytes under a null.
    return len(xs) == len(ys) and all(
        p.offset == q.offset and len(p) == len(q) and p.buffers()[1].equals(q.buffers()[1])
        for p, q in zip(xs, ys)
    )


def _chunks(x: Any) -> list[Any]:
    return x.chunks if isinstance(x, pa.ChunkedArray) else [x]


_FLOAT_IDS = {pa.float16().id, pa.float32().id, pa.float64().id}
