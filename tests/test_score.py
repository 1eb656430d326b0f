"""corvane.score: risks from the batch functions, exact reasons for refused rows."""

import math

import _corvane
import corvane
import numpy as np
import pytest
from corvane import INPUT_COLUMNS, score

MODELS = [(o, h) for h in (10, 30) for o in ("cvd", "ascvd", "hf")]
BATCH = {(o, h): getattr(_corvane, f"calculate_{h}_yr_{o}_rust_parallel_np") for o, h in MODELS}
SCALAR = {
    (o, h): getattr(_corvane, f"calculate_{h}_yr_{'heart_failure' if o == 'hf' else o}_rust")
    for o, h in MODELS
}
GOOD = {
    "sex": "female", "age": 55.0, "total_cholesterol": 213.0, "hdl_cholesterol": 50.0,
    "systolic_bp": 120.0, "has_diabetes": 0, "current_smoker": 0, "bmi": 27.0, "egfr": 90.0,
    "on_htn_meds": 0, "on_cholesterol_meds": 0,
}


def table(*changes):
    """One row per dict of changes to GOOD, as a mapping of lists."""
    rows = [{**GOOD, **c} for c in changes]
    return {name: [r[name] for r in rows] for name in INPUT_COLUMNS}


def random_cohort(n, seed):
    """Columns of floats, spread a little past every accepted range."""
    rng = np.random.default_rng(seed)
    return {
        "sex": rng.integers(0, 2, n).astype(float),
        "age": rng.uniform(27, 82, n),
        "total_cholesterol": rng.uniform(125, 325, n),
        "hdl_cholesterol": rng.uniform(18, 102, n),
        "systolic_bp": rng.uniform(88, 202, n),
        "has_diabetes": rng.integers(0, 2, n).astype(float),
        "current_smoker": rng.integers(0, 2, n).astype(float),
        "bmi": rng.uniform(18, 40.5, n),
        "egfr": rng.uniform(13, 142, n),
        "on_htn_meds": rng.integers(0, 2, n).astype(float),
        "on_cholesterol_meds": rng.integers(0, 2, n).astype(float),
    }


def as_array(columns):
    return np.column_stack([np.asarray(columns[name], dtype=float) for name in INPUT_COLUMNS])


def scalar_outcome(model, row):
    """(risk, None) or (None, message) from the scalar function for one batch row."""
    r = [float(v) for v in row]
    args = ("male" if r[0] == 1.0 else "female", *r[1:5], r[5] != 0, r[6] != 0, r[7], r[8],
            r[9] != 0, r[10] != 0)
    try:
        return SCALAR[model](*args), None
    except ValueError as e:
        return None, str(e)


def structured(columns):
    out = np.empty(len(columns["age"]), dtype=[(name, "f8") for name in INPUT_COLUMNS])
    for name in INPUT_COLUMNS:
        out[name] = columns[name]
    return out


def as_text(columns):
    return {name: [repr(float(v)) for v in col] for name, col in columns.items()}


def as_frame(columns):
    pd = pytest.importorskip("pandas")
    return pd.DataFrame(columns)


@pytest.mark.parametrize("convert", [dict, structured, as_text],
                         ids=["arrays", "structured", "text"])
def test_risks_are_the_batch_results_bit_for_bit(convert):
    """Catches any conversion that changes a value, or a row that moves or goes missing."""
    columns = random_cohort(3000, seed=8)
    data = as_array(columns)
    result = score(convert(columns))
    assert list(result) == [f"{o}_{h}yr" for o, h in MODELS] + ["error"]
    for model in MODELS:
        got = result[corvane.risk_column(*model)]
        want = BATCH[model](data)
        assert got.dtype == np.float64 and got.shape == (3000,)
        assert np.array_equal(got.view(np.uint64), want.view(np.uint64))
        messages = result.messages[corvane.risk_column(*model)]
        assert np.array_equal(np.isnan(got), messages.astype(bool))


EDGE_ROWS = [
    {"age": 29.999}, {"age": 30}, {"age": 59}, {"age": 60}, {"age": 79},
    {"age": 79.00000000000001}, {"age": math.inf}, {"age": -math.inf},
    {"total_cholesterol": 129.9}, {"total_cholesterol": 320.1},
    {"hdl_cholesterol": 19.5}, {"hdl_cholesterol": 100.5},
    {"systolic_bp": 89}, {"systolic_bp": 200.01},
    {"bmi": 18.4}, {"bmi": 39.9}, {"bmi": 39.900000000000006},
    {"egfr": 14.9}, {"egfr": 140.1}, {"egfr": math.inf},
    # Two bad inputs: the earlier check in the extension's order must win.
    {"age": 90, "total_cholesterol": 5}, {"total_cholesterol": 5, "hdl_cholesterol": 5},
    {"hdl_cholesterol": 5, "systolic_bp": 300}, {"systolic_bp": 300, "bmi": 50},
    {"bmi": 50, "egfr": 500}, {"hdl_cholesterol": 5, "egfr": 500}, {"age": 65, "bmi": 50},
    # On an inclusive bound, with a later input failing: the bound must pass.
    *({name: bound, "egfr": 500} for name, bound in [
        ("age", 30), ("age", 79), ("total_cholesterol", 130), ("total_cholesterol", 320),
        ("hdl_cholesterol", 20), ("hdl_cholesterol", 100), ("systolic_bp", 90),
        ("systolic_bp", 200), ("bmi", 18.5), ("bmi", 39.9)]),
    {"total_cholesterol": 130, "hdl_cholesterol": 100, "sex": "male"},
]


def test_refused_rows_carry_the_scalar_functions_message():
    """Catches a range check out of order, a wrong bound or a message that drifted."""
    result = score(table(*EDGE_ROWS))
    data = as_array(table(*EDGE_ROWS) | {"sex": [1.0 if r.get("sex") == "male" else 0.0
                                                 for r in EDGE_ROWS]})
    for model in MODELS:
        column = corvane.risk_column(*model)
        for i, row in enumerate(data):
            risk, message = scalar_outcome(model, row)
            assert result.messages[column][i] == message, (model, EDGE_ROWS[i])
            if risk is not None:
                assert result[column][i].hex() == risk.hex()
            else:
                assert math.isnan(result[column][i])


@pytest.mark.parametrize("horizons, change, error", [
    ((10, 30), {}, None),
    ((10, 30), {"age": 65}, "30-year: Age must be between 30 and 59"),
    ((10, 30), {"age": 85},
     "10-year: Age must be between 30 and 79; 30-year: Age must be between 30 and 59"),
    ((10, 30), {"age": 65, "bmi": 45},
     "10-year: BMI must be between 18.5 and 39.9; 30-year: Age must be between 30 and 59"),
    ((10, 30), {"total_cholesterol": 100}, "Total cholesterol must be between 130 and 320"),
    ((30,), {"age": 65}, "Age must be between 30 and 59"),
    ((30, 10), {"age": 65}, "30-year: Age must be between 30 and 59"),
    ((10, 30), {"age": None}, "age: missing value"),
])
def test_error_column_says_which_horizon_refused(horizons, change, error):
    assert score(table(change), horizons=horizons)["error"].tolist() == [error]


ACCEPTED = [
    ("sex", "MALE", 1.0), ("sex", "Female", 0.0), ("sex", "mAlE", 1.0), ("sex", " male ", 1.0),
    ("sex", 1, 1.0), ("sex", "0", 0.0), ("sex", 1.0, 1.0),
    ("has_diabetes", "yes", 1.0), ("has_diabetes", "No", 0.0), ("current_smoker", "TRUE", 1.0),
    ("current_smoker", "false", 0.0), ("on_htn_meds", True, 1.0), ("on_htn_meds", "1.0", 1.0),
    ("on_cholesterol_meds", "YeS", 1.0), ("on_cholesterol_meds", np.int64(1), 1.0),
    ("age", "51", 51.0), ("age", " 51.5 ", 51.5), ("bmi", "3.2e1", 32.0),
    ("egfr", np.int32(70), 70.0),
]


@pytest.mark.parametrize("column, value, decoded", ACCEPTED)
def test_accepted_codes_score_like_their_number(column, value, decoded):
    row = {**GOOD, "sex": 0.0, column: decoded}
    want = as_array({k: [v] for k, v in row.items()})
    result = score(table({column: value}))
    assert result["error"].tolist() == [None]
    for model in MODELS:
        got = result[corvane.risk_column(*model)]
        assert got.view(np.uint64).tolist() == BATCH[model](want).view(np.uint64).tolist()


REFUSED = [
    ("sex", "m", "sex: 'm' is not male/female or 1/0"),
    ("sex", "man", "sex: 'man' is not male/female or 1/0"),
    ("sex", 2, "sex: '2' is not male/female or 1/0"),
    ("sex", "", "sex: missing value"),
    ("sex", None, "sex: missing value"),
    ("has_diabetes", "2", "has_diabetes: '2' is not one of 0/1 true/false yes/no"),
    ("has_diabetes", 0.5, "has_diabetes: '0.5' is not one of 0/1 true/false yes/no"),
    ("current_smoker", "maybe", "current_smoker: 'maybe' is not one of 0/1 true/false yes/no"),
    ("on_htn_meds", math.nan, "on_htn_meds: missing value"),
    ("age", "abc", "age: 'abc' is not a number"),
    ("age", "NA", "age: missing value"),
    ("age", " ", "age: missing value"),
    ("total_cholesterol", math.nan, "total_cholesterol: missing value"),
    ("egfr", "n/a", "egfr: missing value"),
    ("bmi", [27], "bmi: '[27]' is not a number"),
]


@pytest.mark.parametrize("column, value, reason", REFUSED)
def test_unreadable_value_refuses_row_for_every_model(column, value, reason):
    """Catches a bad code read as female/true/NaN, as the batch functions would."""
    result = score(table({}, {column: value}, {}))
    assert result["error"].tolist() == [None, reason, None]
    for model in MODELS:
        column_name = corvane.risk_column(*model)
        assert np.isnan(result[column_name]).tolist() == [False, True, False]
        assert result.messages[column_name][1] == reason


@pytest.mark.parametrize("column, values, reason", [
    ("sex", np.array([1.0, 2.0]), "sex: '2.0' is not male/female or 1/0"),
    ("sex", np.array([1, 3]), "sex: '3' is not male/female or 1/0"),
    ("age", np.array([50.0, math.nan]), "age: missing value"),
    ("has_diabetes", np.array([0.0, -1.0]),
     "has_diabetes: '-1.0' is not one of 0/1 true/false yes/no"),
])
def test_numeric_arrays_are_read_as_strictly_as_text(column, values, reason):
    columns = table({}, {}) | {column: values}
    assert score(columns)["error"].tolist() == [None, reason]


def test_every_unreadable_column_is_named():
    result = score(table({"sex": "x", "egfr": None, "age": 200}))
    assert result["error"].tolist() == ["sex: 'x' is not male/female or 1/0; egfr: missing value"]


def test_pandas_missing_values_refuse_the_row():
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame(table({}, {}, {}))
    frame["age"] = pd.array([55, None, 60], dtype="Int64")
    frame["sex"] = pd.Series(["male", "female", np.nan], dtype=object)
    assert score(frame, horizons=10)["error"].tolist() == [
        None, "age: missing value", "sex: missing value"]


@pytest.mark.parametrize("call, error, text", [
    (lambda: score({k: v for k, v in table({}).items() if k != "egfr"}), ValueError, "egfr"),
    (lambda: score(table({}) | {"age": [1, 2]}), ValueError, "differ in length"),
    (lambda: score(table({}), outcomes=("cvd", "stroke")), ValueError, "stroke"),
    (lambda: score(table({}), horizons=(5,)), ValueError, "5"),
    (lambda: score(table({}), outcomes=()), ValueError, "at least one"),
    (lambda: score([[1, 2, 3]]), TypeError, "mapping"),
    (lambda: score(table({}) | {"age": np.ones((1, 1))}), ValueError, "one-dimensional"),
])
def test_unusable_table_is_rejected(call, error, text):
    with pytest.raises(error, match=text):
        call()


def test_outcomes_and_horizons_choose_the_columns_in_order():
    result = score(table({}, {}), outcomes=("hf", "cvd"), horizons=30)
    assert list(result) == ["hf_30yr", "cvd_30yr", "error"]
    assert list(result.messages) == ["hf_30yr", "cvd_30yr"]


def test_empty_table_gives_empty_columns():
    result = score({name: [] for name in INPUT_COLUMNS})
    assert all(len(column) == 0 for column in result.values())
