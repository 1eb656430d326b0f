"""Type stub for the _corvane extension: exact cardiovascular risk, scalar and batch.

Scalar functions return the risk in percent or raise ValueError with the first failing
input's message. Batch functions take a float64 array of shape (n, 11) in the column order
sex (1.0 male, anything else female), age, total_cholesterol, hdl_cholesterol, systolic_bp,
has_diabetes, current_smoker, bmi, egfr, on_htn_meds, on_cholesterol_meds (flags: nonzero
is true) and return n risks, NaN where a row fails validation.
"""

from collections.abc import Buffer
from typing import Literal, Protocol, final

import numpy as np
import numpy.typing as npt

__all__: list[str]

class _StandardRisk(Protocol):
    """A total-CVD or ASCVD scalar function."""

    def __call__(
        self,
        sex: str,
        age: float,
        total_cholesterol: float,
        hdl_cholesterol: float,
        systolic_bp: float,
        has_diabetes: bool,
        current_smoker: bool,
        bmi: float,
        egfr: float,
        on_htn_meds: bool,
        on_cholesterol_meds: bool,
    ) -> float: ...

class _HeartFailureRisk(Protocol):
    """A heart-failure scalar function; three parameters are named differently."""

    def __call__(
        self,
        sex: str,
        age: float,
        total_cholesterol: float,
        hdl_cholesterol: float,
        systolic_bp: float,
        has_diabetes: bool,
        is_smoker: bool,
        bmi: float,
        egfr: float,
        on_meds: bool,
        _cholesterol_treated: bool,
    ) -> float: ...

class _BatchRisk(Protocol):
    """A batch function: (n, 11) float64 rows in, n risks out."""

    def __call__(self, data: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]: ...

calculate_10_yr_heart_failure_rust: _HeartFailureRisk
calculate_30_yr_heart_failure_rust: _HeartFailureRisk
calculate_10_yr_ascvd_rust: _StandardRisk
calculate_30_yr_ascvd_rust: _StandardRisk
calculate_10_yr_cvd_rust: _StandardRisk
calculate_30_yr_cvd_rust: _StandardRisk
calculate_10_yr_ascvd_rust_parallel_np: _BatchRisk
calculate_30_yr_ascvd_rust_parallel_np: _BatchRisk
calculate_10_yr_cvd_rust_parallel_np: _BatchRisk
calculate_30_yr_cvd_rust_parallel_np: _BatchRisk
calculate_10_yr_hf_rust_parallel_np: _BatchRisk
calculate_30_yr_hf_rust_parallel_np: _BatchRisk

# Private: the columnar engine behind corvane.score, and the pool's size.
_status_messages: tuple[str | None, ...]
_status_messages_mmol: tuple[str | None, ...]

def _score_columns(
    columns: tuple[object, ...],
    masks: tuple[npt.NDArray[np.bool_] | None, ...],
    options: tuple[
        tuple[str, ...],
        tuple[tuple[str, str], ...],
        tuple[tuple[tuple[object, object], ...] | None, ...],
        str,
        bool,
    ],
    models: tuple[str, ...],
    risks: tuple[npt.NDArray[np.float64] | ArrowColumn, ...],
    statuses: npt.NDArray[np.uint8] | None,
    errors: npt.NDArray[np.uint16] | ArrowColumn,
    values: tuple[npt.NDArray[np.float64] | ArrowColumn | None, ...] | None = None,
    /,
) -> tuple[ArrowColumn, ArrowColumn, list[str], int]:
    """Reads eleven columns (Arrow arrays or streams, 1-D NumPy or object arrays) by the cell
    rule and scores them, writing each wanted input's values as read into ``values``; returns the unreadable rows (int64), their missing cells (uint16
    bits), their reasons and how many bad numbers a decimal comma would read."""
def _texts_of_codes(
    codes: npt.NDArray[np.uint8 | np.uint16], texts: tuple[str | None, ...], /
) -> npt.NDArray[np.object_]:
    """texts[code] for each code, as a new object array. Private, not in __all__."""
def _new_column(n: int, format: Literal["d", "H"], /) -> ArrowColumn:
    """A writable column of n uninitialised float64 ("d") or uint16 ("H") values."""
def _count_byte(buffer: Buffer, byte: int, start: int | None, end: int | None, /) -> int:
    """How many times byte occurs in buffer[start:end]."""
def _worker_count() -> int:
    """The worker pool's number of threads; creates the pool. Private, not in __all__."""

# Private: values shared with polars (pl.Series(column)) without a copy. Not a module attribute;
# made only by _new_column and _score_columns.
@final
class ArrowColumn:
    def __len__(self) -> int: ...
    def __buffer__(self, flags: int, /) -> memoryview: ...
    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]:
        """The Arrow (schema, array) capsules; the column is read-only from then on."""
