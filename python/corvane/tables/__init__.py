"""Tables of every kind scored by the engine and given back in the same kind.

``score`` is the whole path behind :func:`corvane.score`: the table's columns are handed to
the engine as they are (Arrow arrays, NumPy or object arrays), read there cell by cell by the
one rule, scored in the same pass, and the result built in the caller's kind.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np

from .._engine import Options, Pass, score_columns
from .._names import code_maps, expected_texts
from ._read import Table, read_table
from ._results import Scores, build

__all__ = ["Scores", "Table", "argument_scorer", "read_table", "score", "score_pass"]


def score(
    table: Any,
    models: Sequence[tuple[str, int]],
    mmol: bool,
    *,
    columns: Mapping[str, Any] | None = None,
    codes: Mapping[str, Mapping[Any, Any]] | None = None,
    keep: Any = (),
) -> Any:
    """``table`` scored for ``models``, as a table of its kind."""
    source, done = score_pass(table, models, mmol, columns=columns, codes=codes, keep=keep)
    return build(source, done, models, mmol)


def score_pass(
    table: Any,
    models: Sequence[tuple[str, int]],
    mmol: bool,
    *,
    columns: Mapping[str, Any] | None = None,
    codes: Mapping[str, Mapping[Any, Any]] | None = None,
    keep: Any = (),
    values: Sequence[str] = (),
) -> tuple[Table, Pass]:
    """The table as read and the engine's pass over it, with the ``values`` of the inputs
    named there as read."""
    maps, expected = code_maps(codes), expected_texts(codes)
    source = read_table(table, columns, keep)
    options = Options(source.labels, expected, maps, ".", mmol)
    done = score_columns(
        source.columns,
        source.masks,
        options,
        models,
        source.n,
        arrays=np,
        statuses=source.kind == "mapping",
        values=values,
    )
    source.columns = []  # the inputs' arrays go back before the result is built
    return source, done


def argument_scorer(mmol: bool, codes: Mapping[str, Mapping[Any, Any]] | None) -> Any:
    """The bodies of the SQL functions for these options (an ``ArgumentScorer``); ValueError for
    a code map the engine cannot read."""
    # Imported here: pyarrow costs more to import than a pandas table costs to score.
    from ._arguments import ArgumentScorer

    return ArgumentScorer(mmol, codes)
