"""The risks as SQL functions of a DuckDB connection.

    import duckdb
    import corvane.duckdb

    con = duckdb.connect()
    corvane.duckdb.register(con)
    con.sql(\"\"\"
        SELECT patient_id,
               corvane_cvd_10yr(sex, age, total_cholesterol, hdl_cholesterol, systolic_bp,
                                has_diabetes, current_smoker, bmi, egfr, on_htn_meds,
                                on_cholesterol_meds) AS cvd_10yr
        FROM 'cohort.parquet'
    \"\"\")

Each function reads its arguments as ``corvane.score`` reads a table's cells, by the one rule,
so a query gives the same risks and reasons as ``corvane.score`` of the same table.
``corvane.score`` of a DuckDB relation returns a relation too, on the same connection.

Needs ``pip install "corvane[duckdb]"``.
"""

from __future__ import annotations

import inspect
from collections.abc import Mapping
from typing import Any

from ._names import INPUT_COLUMNS, SQL_FUNCTIONS, cholesterol_in_mmol
from .tables import argument_scorer

try:
    import duckdb
    import pyarrow as pa
except ImportError as e:  # pragma: no cover - depends on the environment
    raise ImportError('corvane.duckdb needs DuckDB: pip install "corvane[duckdb]"') from e

__all__ = ["RISKS", "register"]

#: The function that scores every model at once: a STRUCT of the six risks and ``error``.
RISKS = "corvane_risks"
_FIELDS = [column for _, column in SQL_FUNCTIONS]
_STRUCT = "STRUCT(" + ", ".join(
    f"{column} {'VARCHAR' if column == 'error' else 'DOUBLE'}" for column in _FIELDS) + ")"

# Eleven parameters of no declared type: DuckDB then passes each argument as it is (text as
# text, DECIMAL as decimal, BOOLEAN as bool), where a declared DOUBLE or VARCHAR would have it
# cast the cell first, and the cast would decide how the cell reads, not the rule.
_PARAMETERS = inspect.Signature(
    [inspect.Parameter(name, inspect.Parameter.POSITIONAL_ONLY) for name in INPUT_COLUMNS]
)


def register(
    con: duckdb.DuckDBPyConnection,
    *,
    cholesterol_unit: str = "mg/dL",
    codes: Mapping[str, Mapping[Any, Any]] | None = None,
) -> None:
    """Register on ``con`` the SQL functions ``corvane_cvd_10yr``, ``corvane_ascvd_10yr``,
    ``corvane_hf_10yr``, ``corvane_cvd_30yr``, ``corvane_ascvd_30yr``, ``corvane_hf_30yr``
    (DOUBLE, NULL where the model refuses) and ``corvane_error`` (VARCHAR: the reason
    ``corvane.score``'s ``error`` column gives for the six models, NULL where all six scored).

    Each takes the eleven inputs in their order (sex, age, total_cholesterol, ...,
    on_cholesterol_meds), each of any type: a VARCHAR ``'  51.5 '``, a DECIMAL, a BOOLEAN flag
    and NULL read as ``corvane.score`` reads such cells. A reason names the input by its name
    (``"age: missing value"``). ``cholesterol_unit`` and ``codes`` are those of
    ``corvane.score`` and apply to every function registered here; ValueError for a wrong one.
    They are macros over ``corvane_risks``, which gives all seven as one STRUCT, so a query
    that calls several of them on the same arguments scores each batch once.

    >>> con = duckdb.connect()
    >>> register(con)
    >>> con.sql("SELECT corvane_hf_10yr('female', 62, 213, 50, 120, 'no', 0, 27, 90, false,"
    ...         " 0) AS hf").fetchall()
    [(2.126...,)]
    """
    scorer = argument_scorer(cholesterol_in_mmol(cholesterol_unit), codes)
    con.create_function(
        RISKS,
        _body(scorer),
        None,  # no types: see _PARAMETERS
        duckdb.sqltype(_STRUCT),
        type="arrow",
        null_handling="special",  # a NULL is a missing value, with its reason
        side_effects=False,
    )
    # Each function a field of the one that scores every model: a query calling several on the
    # same arguments has DuckDB evaluate that one once per batch, not once per function.
    arguments = ", ".join(f"a{i}" for i in range(len(INPUT_COLUMNS)))
    for name, column in SQL_FUNCTIONS:
        # TEMP: kept with the connection, never written into a database file that would
        # outlive the Python function it calls.
        con.execute(f"CREATE OR REPLACE TEMP MACRO {name}({arguments}) AS"
                    f" ({RISKS}({arguments})).{column}")


def _body(scorer: Any) -> Any:
    def body(*arguments: pa.ChunkedArray) -> pa.Array:
        columns = scorer.score(arguments)
        return pa.StructArray.from_arrays(list(columns.values()), names=_FIELDS)

    body.__signature__ = _PARAMETERS  # type: ignore[attr-defined]
    body.__name__ = RISKS
    return body
