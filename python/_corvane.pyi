"""Type stub for the _corvane extension: exact cardiovascular risk, scalar and batch.

Scalar functions return the risk in percent or raise ValueError with the first failing
input's message. Batch functions take a float64 array of shape (n, 11) in the column order
sex (1.0 male, anything else female), age, total_cholesterol, hdl_cholesterol, systolic_bp,
has_diabetes, current_smoker, bmi, egfr, on_htn_meds, on_cholesterol_meds (flags: nonzero
is true) and return n risks, NaN where a row fails validation.
"""

from typing import Protocol

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
    columns: tuple[npt.NDArray[np.generic], ...],
    missing: tuple[npt.NDArray[np.bool_] | None, ...],
    models: tuple[str, ...],
    cholesterol_mmol: bool,
    risks: npt.NDArray[np.float64],
    statuses: npt.NDArray[np.uint8] | None,
    errors: npt.NDArray[np.uint8] | None,
    /,
) -> None: ...
def _worker_count() -> int:
    """The worker pool's number of threads; creates the pool. Private, not in __all__."""
