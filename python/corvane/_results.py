"""The result of ``corvane.score`` in the kind of table it was given.

Risk columns are float64 in every kind; a refused risk is NaN in NumPy and pandas and null in
polars and Arrow. ``error`` is an object column of str/None in pandas and NumPy and a string
column in polars and Arrow, whatever the rows hold, so partitions of one table always agree.
"""

from __future__ import annotations

from collections.abc import Sequence

import narwhals as nw
import numpy as np

from ._columns import InputTable
from ._scoring import Scores, score_table


def as_scores(source: InputTable, models: Sequence[tuple[str, int]], mmol: bool) -> Scores:
    names, risks, error, messages = score_table(source, models, mmol, want_messages=True)
    result = Scores()
    for k, name in enumerate(names):
        result[name] = risks[k]
    result["error"] = error
    result.messages.update(messages)
    return result


def as_frame(source: InputTable, models: Sequence[tuple[str, int]], mmol: bool):
    """A native table of the input's kind: pandas with the input's index, polars, or Arrow."""
    names, risks, error, _ = score_table(source, models, mmol, want_messages=False)
    namespace = nw.get_native_namespace(source.frame)
    if source.frame.implementation.is_pandas_like():
        # Built directly: each model's risks become a column without a copy, and the error
        # stays an object column of str/None.
        frame = namespace.DataFrame(dict(zip(names, risks)), index=source.index, copy=False)
        frame["error"] = namespace.Series(error, index=frame.index, dtype=object, copy=False)
        return frame
    # Built in polars for Arrow too: pyarrow's own conversion of NumPy or Python values
    # imports pandas, which costs more than scoring a large batch.
    import polars as pl

    frame = pl.DataFrame(
        [pl.Series(name, risks[k], nan_to_null=True) for k, name in enumerate(names)]
        + [pl.Series("error", error.tolist(), pl.String)]
    )
    if source.frame.implementation.is_polars():
        return frame
    import pyarrow as pa

    schema = pa.schema([(name, pa.float64()) for name in names] + [("error", pa.string())])
    return frame.to_arrow().cast(schema)
