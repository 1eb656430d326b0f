"""One patient: corvane.score of a mapping of single values, and the `corvane patient` command."""

import decimal
import json
import subprocess
import sys

import corvane
import numpy as np
import pandas as pd
import pytest

RISKS = ["cvd_10yr", "ascvd_10yr", "hf_10yr", "cvd_30yr", "ascvd_30yr", "hf_30yr"]
PATIENT = {
    "sex": "female", "age": 50, "total_cholesterol": 200, "hdl_cholesterol": 45,
    "systolic_bp": 160, "has_diabetes": True, "current_smoker": "yes", "bmi": 35, "egfr": 90,
    "on_htn_meds": 1, "on_cholesterol_meds": False,
}
MMOL = {**PATIENT, "total_cholesterol": 5.2, "hdl_cholesterol": "1.16"}


def exact(result):
    """A result with each float as its bits, so that == compares them exactly."""
    return {k: v.hex() if isinstance(v, float) else v for k, v in result.items()}


def one_row(patient, **options):
    """The same patient scored as a one-row table, refused risks as None."""
    table = corvane.score({k: [v] for k, v in patient.items()}, **options)
    return {k: c[0] if k == "error" or not np.isnan(c[0]) else None for k, c in table.items()}


@pytest.mark.parametrize("patient, options", [
    (PATIENT, {}),
    ({**PATIENT, "age": 62}, {}),  # the 30-year equations refuse it
    ({**PATIENT, "age": "abc", "bmi": None}, {}),
    ({**PATIENT, "sex": "Male", "egfr": pd.NA}, {"outcomes": "hf"}),
    (MMOL, {"cholesterol_unit": "mmol/L", "horizons": [30, 10]}),
    ({**PATIENT, "age": np.int64(50), "bmi": np.float32(35.3), "has_diabetes": np.bool_(True),
      "sex": np.str_("female"), "egfr": np.float64(89.5)}, {}),
    ({**PATIENT, "age": decimal.Decimal("51.25"), "systolic_bp": decimal.Decimal("1.6E+2")}, {}),
], ids=["in-range", "age-62", "unreadable", "missing", "mmol", "numpy-scalars", "decimal"])
def test_patient_is_the_one_row_table_bit_for_bit(patient, options):
    """A patient read or scored otherwise than its one-row table, or a float changed."""
    result = corvane.score(patient, **options)
    assert type(result) is dict
    assert all(type(v) is float for k, v in result.items() if k != "error" and v is not None)
    assert exact(result) == exact(one_row(patient, **options))


def test_kept_values_come_first_as_given():
    result = corvane.score({"id": decimal.Decimal("7.0"), **PATIENT, "age": 62}, keep=["id"], outcomes="cvd")
    assert result == {
        "id": decimal.Decimal("7.0"),
        "cvd_10yr": corvane.score({**PATIENT, "age": 62}, outcomes="cvd")["cvd_10yr"],
        "cvd_30yr": None,
        "error": "30-year: Age must be between 30 and 59",
    }


@pytest.mark.parametrize("table, keep", [
    ({**PATIENT, "age": [50]}, ()),
    ({**{k: [v] for k, v in PATIENT.items()}, "sex": "female"}, ()),
    ({**PATIENT, "id": ["P1"]}, ["id"]),
])
def test_single_values_mixed_with_columns_are_refused(table, keep):
    with pytest.raises(ValueError, match="^the mapping mixes single values .* with columns"):
        corvane.score(table, keep=keep)


def test_keys_not_read_do_not_decide_the_kind():
    """An unused scalar beside columns turned a cohort into an error, or an unused list a
    patient into one."""
    table = corvane.score({**{k: [v, v] for k, v in PATIENT.items()}, "source": "registry"})
    assert len(table["error"]) == 2
    assert corvane.score({**PATIENT, "visits": [1, 2, 3]})["error"] is None


def corvane_patient(*args, **given):
    options = {**{k: str(v) for k, v in PATIENT.items()}, **given}
    argv = [f"--{k.replace('_', '-')}={v}" for k, v in options.items() if v is not None]
    return subprocess.run([sys.executable, "-m", "corvane", "patient", *argv, *args],
                          capture_output=True, text=True, timeout=60)


@pytest.mark.parametrize("given, args, options, status", [
    ({}, (), {}, 0),
    ({"age": "62"}, ("--outcomes", "hf,cvd"), {"outcomes": ["hf", "cvd"]}, 1),
    ({"age": "abc", "has_diabetes": "TRUE"}, (), {}, 1),
    ({"has_diabetes": "1", "total_cholesterol": "5.2", "hdl_cholesterol": "1.1"},
     ("--cholesterol-unit", "mmol/L", "--horizons", "30"),
     {"cholesterol_unit": "mmol/L", "horizons": 30}, 0),
    ({"bmi": ""}, ("--horizons", "10"), {"horizons": 10}, 1),
])
def test_json_is_the_patients_dict_bit_for_bit(given, args, options, status):
    """A float printed short of repr, a key out of order, or the wrong exit status."""
    run = corvane_patient("--json", *args, **given)
    assert (run.returncode, run.stderr) == (status, "")
    expected = corvane.score({**{k: str(v) for k, v in PATIENT.items()}, **given}, **options)
    assert list(json.loads(run.stdout)) == list(expected)
    assert exact(json.loads(run.stdout)) == exact(expected)


def test_table_shows_each_models_risk_and_band_or_reason():
    run = corvane_patient(age="62", bmi="24.5")
    assert run.returncode == 1
    lines = run.stdout.splitlines()
    assert [line.split("  ")[0] for line in lines] == [
        f"{h}-year {title}" for h in (10, 30) for title in (
            "total cardiovascular disease", "atherosclerotic cardiovascular disease",
            "heart failure")]
    risks = corvane.score({**PATIENT, "age": 62, "bmi": 24.5})
    for line, name in zip(lines[:3], RISKS):
        risk, band = line.split()[-2:]
        assert risk == f"{risks[name]:.2f}%"
        assert band == ("<5%" if risks[name] < 5 else "5-7.5%" if risks[name] < 7.5
                        else "7.5-20%" if risks[name] < 20 else ">=20%")
    assert all(line.endswith("  not scored: Age must be between 30 and 59") for line in lines[3:])
    unreadable = corvane_patient(age="abc")
    assert (unreadable.returncode, unreadable.stdout) == (1, "not scored: age: 'abc' is not a number\n")


@pytest.mark.parametrize("given, args, message", [
    ({"egfr": None, "sex": None}, (), "the following arguments are required: --sex, --egfr"),
    ({}, ("--cholesterol-unit", "g/L"), "choose mg/dL or mmol/L, not 'g/L'"),
    ({}, ("--horizons", "20"), "invalid choice '20'"),
    ({}, ("--extra",), "unrecognized arguments: --extra"),
])
def test_usage_errors_exit_2_naming_the_problem(given, args, message):
    run = corvane_patient(*args, **given)
    assert (run.returncode, run.stdout) == (2, "")
    assert message in run.stderr.splitlines()[-1]


def test_help_lists_the_command_and_its_units():
    top = subprocess.run([sys.executable, "-m", "corvane", "--help"], capture_output=True,
                         text=True, timeout=60).stdout
    assert [line.split()[1:2] for line in top.splitlines() if line.split()[:1] == ["patient"]] == [
        ["score"]]
    own = corvane_patient("--help").stdout
    assert "systolic blood pressure in mmHg" in own and "--on-cholesterol-meds yes/no" in own
