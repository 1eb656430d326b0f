"""The result of ``corvane.score`` in the kind of table it was given.

Risk columns are float64 in every kind; a refused risk is NaN in NumPy and pandas and null in
polars and Arrow. ``error`` is an object column of str/None in pandas and NumPy and a string
column in polars and Arrow, whatever the rows hold, so partitions of one table always agree.
"""

from __future__ import annotations

from collections.abc import Sequence

import narwhals as nw

from ._columns import InputTable
from ._scoring import Scored, Scores, score_table


def as_scores(source: InputTable, models: Sequence[tuple[str, int]], mmol: bool) -> Scores:
    scored = score_table(source, models, mmol, want_messages=True)
    result = Scores()
    for name, risks in zip(scored.names, scored.risks):
        result[name] = risks
    result["error"] = scored.error
    result.messages.update(scored.messages)
    return result


def as_frame(source: InputTable, models: Sequence[tuple[str, int]], mmol: bool):
    """A native table of the input's kind: pandas with the input's index, polars, or Arrow."""
    pandas_like = source.frame.implementation.is_pandas_like()
    scored = score_table(source, models, mmol, want_messages=False, error_objects=pandas_like)
    namespace = nw.get_native_namespace(source.frame)
    if pandas_like:
        # Built directly: each model's risks become a column without a copy, and the error
        # stays an object column of str/None.
        frame = namespace.DataFrame(
            dict(zip(scored.names, scored.risks)), index=source.index, copy=False
        )
        frame["error"] = namespace.Series(scored.error, index=frame.index, dtype=object, copy=False)
        return frame
    frame = as_polars(scored)
    if source.frame.implementation.is_polars():
        return frame
    import pyarrow as pa

    schema = pa.schema([(name, pa.float64()) for name in scored.names] + [("error", pa.string())])
    return frame.to_arrow().cast(schema)


def as_polars(scored: Scored):
    """The scores as a polars DataFrame. Arrow results are built here too: pyarrow's own
    conversion of NumPy or Python values imports pandas, which costs more than scoring a
    large batch."""
    import polars as pl

    # The error column is gathered from the texts of the codes, in polars: no Python object
    # per row.
    error = pl.Series("error", scored.code_texts, pl.String).gather(scored.codes)
    if len(scored.unreadable_rows):
        error = error.scatter(scored.unreadable_rows, pl.Series(scored.reasons, dtype=pl.String))
    return pl.DataFrame(
        [pl.Series(name, risks, nan_to_null=True) for name, risks in zip(scored.names,
                                                                           scored.risks)]
        + [error]
    )
