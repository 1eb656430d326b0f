"""Prints the six scalar risks of a few example patients."""

import _corvane

PATIENTS = [
    # sex, age, total_chol, hdl, sbp, diabetes, smoker, bmi, egfr, htn_meds, chol_meds
    ("female", 50, 200.0, 45.0, 160.0, True, True, 35.0, 90.0, True, False),
    ("male", 55, 213.0, 50.0, 120.0, False, False, 30.0, 90.0, False, False),
    ("Male", 40, 160.0, 60.0, 112.0, False, True, 24.5, 110.0, False, True),
    ("FEMALE", 70, 250.0, 38.0, 145.0, True, False, 28.0, 55.0, True, True),
]
FUNCTIONS = [
    ("10-yr CVD", _corvane.calculate_10_yr_cvd_rust),
    ("30-yr CVD", _corvane.calculate_30_yr_cvd_rust),
    ("10-yr ASCVD", _corvane.calculate_10_yr_ascvd_rust),
    ("30-yr ASCVD", _corvane.calculate_30_yr_ascvd_rust),
    ("10-yr HF", _corvane.calculate_10_yr_heart_failure_rust),
    ("30-yr HF", _corvane.calculate_30_yr_heart_failure_rust),
]


def main() -> None:
    for patient in PATIENTS:
        print(f"{patient[0]}, age {patient[1]}, TC {patient[2]}, HDL {patient[3]}, SBP {patient[4]}")
        for label, fn in FUNCTIONS:
            try:
                text = f"{fn(*patient):.2f}%"
            except ValueError as e:
                text = f"refused: {e}"
            print(f"  {label:<12} {text}")


if __name__ == "__main__":
    main()
