"""The six scalar risk functions: values to the last bit, messages and their order, sex rules."""

import itertools
import math
import random

import pytest

from conftest import SCALAR_FUNCTIONS
from reference import bounds, inputs, random_inputs, reference, replace

INF = math.inf
NAN = math.nan
NUMERIC = ("age", "total_cholesterol", "hdl_cholesterol", "systolic_bp", "bmi", "egfr")
FLAGS = ("has_diabetes", "current_smoker", "on_htn_meds", "on_cholesterol_meds")
MESSAGES = {
    "total_cholesterol": "Total cholesterol must be between 130 and 320",
    "hdl_cholesterol": "HDL cholesterol must be between 20 and 100",
    "systolic_bp": "Systolic blood pressure must be between 90 and 200",
    "bmi": "BMI must be between 18.5 and 39.9",
    "egfr": "eGFR must be between 15 and 140",
}
AGE_MESSAGES = {10: "Age must be between 30 and 79", 30: "Age must be between 30 and 59"}
SEX_MESSAGE = "Sex must be either 'male' or 'female'."

each_function = pytest.mark.parametrize("s", SCALAR_FUNCTIONS, ids=str)


def message(s, field):
    return AGE_MESSAGES[s.horizon] if field == "age" else MESSAGES[field]


def outcome(s, args):
    """A result as its hex text, or the message of the ValueError raised."""
    try:
        result = s(*args)
    except ValueError as e:
        assert type(e) is ValueError
        assert len(e.args) == 1 and type(e.args[0]) is str and str(e) == e.args[0]
        return e.args[0]
    assert type(result) is float
    return result.hex()


def expected(s, args):
    r = reference(s.model, s.horizon, *args)
    return r if isinstance(r, str) else r.hex()


@each_function
def test_random_inputs_equal_reference_to_the_last_bit(s):
    """A reordered sum, a fused multiply-add, exp() for pow() or a wrong coefficient shows here."""
    rng = random.Random(f"scalar-{s.name}")
    wrong = []
    for _ in range(3000):
        args = random_inputs(rng, s.horizon)
        got, want = outcome(s, args), expected(s, args)
        if got != want:
            wrong.append((args, got, want))
    assert not wrong[:3], f"{len(wrong)} of 3000 differ"


KNOTS = [
    dict(age=30.0), dict(age=55.0), dict(age=59.0), dict(age=60.0), dict(age=79.0),
    dict(age=79.00000000000001), dict(age=math.nextafter(30.0, 0.0)),
    dict(systolic_bp=110.0), dict(systolic_bp=math.nextafter(110.0, 0.0)),
    dict(systolic_bp=math.nextafter(110.0, INF)), dict(systolic_bp=90.0),
    dict(systolic_bp=130.0), dict(systolic_bp=200.0),
    dict(egfr=60.0), dict(egfr=math.nextafter(60.0, 0.0)), dict(egfr=15.0), dict(egfr=140.0),
    dict(bmi=30.0), dict(bmi=math.nextafter(30.0, INF)), dict(bmi=18.5), dict(bmi=39.9),
    dict(bmi=39.900000000000006), dict(bmi=40.0),
    dict(total_cholesterol=130.0, hdl_cholesterol=100.0),
    dict(total_cholesterol=320.0, hdl_cholesterol=20.0),
    dict(total_cholesterol=130.0, hdl_cholesterol=20.0),
    dict(age=79.0, systolic_bp=90.0, egfr=15.0, bmi=39.9),
    dict(age=30.0, systolic_bp=200.0, egfr=140.0, bmi=18.5),
]


@each_function
@pytest.mark.parametrize("flags", [False, True], ids=["flags-off", "flags-on"])
@pytest.mark.parametrize("sex", ["female", "male"])
@pytest.mark.parametrize("changes", KNOTS, ids=lambda c: str(c)[1:-1])
def test_knots_and_bounds_equal_reference(s, flags, sex, changes):
    """A piece clamped on the wrong side of its knot, or a bound off by one ulp, differs here."""
    args = inputs(sex=sex, **dict.fromkeys(FLAGS, flags), **changes)
    assert outcome(s, args) == expected(s, args)


@each_function
def test_every_flag_combination_equals_reference(s):
    """A flag wired to the wrong term, or a term added when its flag is off, differs here."""
    for sex, *flags in itertools.product(["female", "male"], *[[False, True]] * 4):
        for age in (35.0, 55.0, 58.5):
            args = inputs(sex=sex, age=age, **dict(zip(FLAGS, flags)))
            assert outcome(s, args) == expected(s, args), args


def _bad_value(s, field, kind):
    lo, hi, _ = bounds(field, s.horizon)
    return {"below": math.nextafter(lo, -INF), "above": math.nextafter(hi, INF), "nan": NAN,
            "inf": INF, "-inf": -INF}[kind]


@each_function
@pytest.mark.parametrize("field", NUMERIC)
@pytest.mark.parametrize("kind", ["below", "above", "nan", "inf", "-inf"])
def test_out_of_range_raises_exact_message(s, field, kind):
    """An exclusive bound, or a NaN slipping through a comparison, is accepted here."""
    with pytest.raises(ValueError) as info:
        s(*inputs(**{field: _bad_value(s, field, kind)}))
    assert type(info.value) is ValueError
    assert info.value.args == (message(s, field),)


@each_function
@pytest.mark.parametrize("first, later", list(itertools.combinations(NUMERIC, 2)))
def test_first_failing_check_wins(s, first, later):
    """Checks run age, cholesterol, HDL, pressure, BMI, eGFR; a reordered check shows here."""
    with pytest.raises(ValueError) as info:
        s(*inputs(**{first: NAN, later: -INF}))
    assert info.value.args == (message(s, first),)


@each_function
@pytest.mark.parametrize("field", NUMERIC)
def test_range_error_beats_bad_sex(s, field):
    with pytest.raises(ValueError) as info:
        s(*inputs(sex="m", **{field: INF}))
    assert info.value.args == (message(s, field),)


ACCEPTED_SEXES = [
    ("MALE", "male"), ("Male", "male"), ("mAlE", "male"), ("MaLe", "male"),
    ("FEMALE", "female"), ("Female", "female"), ("fEmAlE", "female"), ("FEMALe", "female"),
]
REFUSED_SEXES = [
    " male", "male ", "\tmale", "male\n", "m", "M", "f", "F", "man", "woman", "", "fem", "femal",
    "males", "femalee", "ma le", "male\x00", "\x00male", "MÄLE", "mâle", "ｍａｌｅ", "Ｆemale",
    "ma\u200ble", "male\u0301", "malefemale", "femalemale", "male" * 100, "\U0001f600",
]


@each_function
@pytest.mark.parametrize("text, lowered", ACCEPTED_SEXES)
def test_sex_in_any_ascii_case_selects_same_set(s, text, lowered):
    rng = random.Random(f"sex-{text}")
    for _ in range(20):
        args = random_inputs(rng, s.horizon)
        assert outcome(s, (text,) + args[1:]) == outcome(s, (lowered,) + args[1:])


@each_function
def test_male_and_female_select_different_sets(s):
    assert outcome(s, inputs(sex="male")) != outcome(s, inputs(sex="female"))


@each_function
@pytest.mark.parametrize("text", REFUSED_SEXES, ids=repr)
def test_other_sex_texts_refused(s, text):
    """Trimming, prefix matching or Unicode folding would accept one of these."""
    with pytest.raises(ValueError) as info:
        s(*inputs(sex=text))
    assert type(info.value) is ValueError
    assert info.value.args == (SEX_MESSAGE,)


@pytest.mark.parametrize("s", [s for s in SCALAR_FUNCTIONS if s.model != "hf"], ids=str)
def test_bmi_does_not_change_cvd_or_ascvd(s):
    rng = random.Random(f"bmi-{s.name}")
    for _ in range(200):
        args = random_inputs(rng, s.horizon)
        bmis = (18.5, 24.0, 29.999999999999996, 30.0, 30.5, 39.9, rng.uniform(18.5, 39.9))
        assert len({outcome(s, replace(args, bmi=b)) for b in bmis}) == 1, args


@pytest.mark.parametrize("s", [s for s in SCALAR_FUNCTIONS if s.model == "hf"], ids=str)
def test_cholesterol_and_its_treatment_do_not_change_hf(s):
    rng = random.Random(f"chol-{s.name}")
    for _ in range(200):
        args = random_inputs(rng, s.horizon)
        variants = [
            dict(total_cholesterol=130.0, hdl_cholesterol=100.0),
            dict(total_cholesterol=320.0, hdl_cholesterol=20.0),
            dict(total_cholesterol=rng.uniform(130, 320), hdl_cholesterol=rng.uniform(20, 100)),
            dict(on_cholesterol_meds=True),
            dict(on_cholesterol_meds=False),
        ]
        assert len({outcome(s, replace(args, **v)) for v in variants}) == 1, args


@each_function
def test_inputs_the_model_uses_change_the_result(s):
    """Guards the two tests above, which would pass if a function ignored every input."""
    used = ["age", "systolic_bp", "egfr"]
    used += ["bmi"] if s.model == "hf" else ["total_cholesterol", "hdl_cholesterol"]
    for field in used:
        lo, hi, _ = bounds(field, s.horizon)
        assert outcome(s, inputs(**{field: lo})) != outcome(s, inputs(**{field: hi})), field
