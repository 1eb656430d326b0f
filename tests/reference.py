"""Independent pure-Python evaluation of the corvane risk equations.

Written from the published equations, operation by operation: Python floats
are IEEE doubles and math.pow is the C library's pow, so a result here equals
the module's to the last bit.

    reference(model, horizon, *inputs) -> float percentage, or the message text
    random_inputs(rng, horizon)          -> eleven in-range inputs
    inputs(**changes)                    -> BASELINE with some inputs replaced
    replace(args, **changes)             -> the same for any eleven inputs

model is "cvd", "ascvd" or "hf"; horizon is 10 or 30; inputs are the eleven
values in parameter order (sex, age, total_cholesterol, hdl_cholesterol,
systolic_bp, has_diabetes, current_smoker, bmi, egfr, on_htn_meds,
on_cholesterol_meds).
"""

import math

# Input names in parameter order (the heart-failure functions rename 7, 10, 11).
NAMES = (
    "sex", "age", "total_cholesterol", "hdl_cholesterol", "systolic_bp", "has_diabetes",
    "current_smoker", "bmi", "egfr", "on_htn_meds", "on_cholesterol_meds",
)
BASELINE = ("female", 50.0, 200.0, 50.0, 120.0, False, False, 25.0, 90.0, False, False)

AGE_LIMIT = {10: 79.0, 30: 59.0}
# After age, checked in this order; the first failure is reported.
_RANGES = (
    ("total_cholesterol", 130.0, 320.0, "Total cholesterol must be between 130 and 320"),
    ("hdl_cholesterol", 20.0, 100.0, "HDL cholesterol must be between 20 and 100"),
    ("systolic_bp", 90.0, 200.0, "Systolic blood pressure must be between 90 and 200"),
    ("bmi", 18.5, 39.9, "BMI must be between 18.5 and 39.9"),
    ("egfr", 15.0, 140.0, "eGFR must be between 15 and 140"),
)
SEX_MESSAGE = "Sex must be either 'male' or 'female'."

# Coefficients: field -> (10-year female, 10-year male, 30-year female, 30-year male).
_CVD = {
    "constant": (-3.307728, -3.031168, -1.318827, -1.148204),
    "diabetes": (0.8667604, 0.7692857, 0.6793894, 0.5331276),
    "current_smoker": (0.5360739, 0.4386871, 0.3196112, 0.2141914),
    "on_htn_meds": (0.3151672, 0.288879, 0.2894, 0.232714),
    "on_cholesterol_meds": (-0.1477655, -0.1337349, -0.075688, -0.0272112),
    "age": (0.7939329, 0.7688528, 0.5503079, 0.4627309),
    "age_squared": (0.0, 0.0, -0.0928369, -0.0984281),
    "mmol_factor": (0.02586, 0.02586, 0.02586, 0.02586),
    "non_hdl": (0.0305239, 0.0736174, 0.0409794, 0.0836088),
    "hdl": (-0.1606857, -0.0954431, -0.1663306, -0.1029824),
    "sbp_below_110": (-0.2394003, -0.4347345, -0.1628654, -0.2140352),
    "sbp_110_plus": (0.3600781, 0.3362658, 0.3299505, 0.2904325),
    "egfr_60_plus": (0.0433769, 0.0164827, 0.0553528, 0.0603775),
    "egfr_below_60": (0.6045917, 0.5378979, 0.1857101, 0.1155556),
    "htn_meds_x_sbp": (-0.0663612, -0.0475924, -0.056367, -0.0384488),
    "cholesterol_meds_x_non_hdl": (0.1197879, 0.150273, 0.1071019, 0.134192),
    "age_x_non_hdl": (-0.0819715, -0.0517874, -0.0751438, -0.0511759),
    "age_x_hdl": (0.0306769, 0.0191169, 0.0301786, 0.0165865),
    "age_x_sbp": (-0.0946348, -0.1049477, -0.0998776, -0.1101437),
    "age_x_egfr": (-0.1637806, -0.1543702, -0.1450788, -0.1166776),
    "age_x_diabetes": (-0.27057, -0.2251948, -0.3206166, -0.2585943),
    "age_x_smoker": (-0.078715, -0.0895067, -0.1607862, -0.1566406),
    "bmi_below_30": (0.0, 0.0, 0.0, 0.0),
    "bmi_30_plus": (0.0, 0.0, 0.0, 0.0),
    "age_x_bmi": (0.0, 0.0, 0.0, 0.0),
}
_ASCVD = {
    "constant": (-3.819975, -3.500655, -1.974074, -1.736444),
    "diabetes": (0.8348585, 0.7189597, 0.6296707, 0.4790257),
    "current_smoker": (0.4831078, 0.3956973, 0.268292, 0.1782635),
    "on_htn_meds": (0.2265309, 0.2036522, 0.1875292, 0.1421182),
    "on_cholesterol_meds": (-0.0592374, -0.0865581, 0.0152476, 0.0135996),
    "age": (0.719883, 0.7099847, 0.4669202, 0.3994099),
    "age_squared": (0.0, 0.0, -0.0893118, -0.0937484),
    "mmol_factor": (0.02586, 0.02586, 0.02586, 0.02586),
    "non_hdl": (0.1176967, 0.1658663, 0.1256901, 0.1744643),
    "hdl": (-0.151185, -0.1144285, -0.1542255, -0.120203),
    "sbp_below_110": (-0.0835358, -0.2837212, -0.0018093, -0.0665117),
    "sbp_110_plus": (0.3592852, 0.3239977, 0.322949, 0.2753037),
    "egfr_60_plus": (0.0397779, 0.0203619, 0.0499663, 0.0602553),
    "egfr_below_60": (0.4864619, 0.3690075, 0.100106, -0.0218789),
    "htn_meds_x_sbp": (-0.0395762, -0.0322916, -0.0276123, -0.0218265),
    "cholesterol_meds_x_non_hdl": (0.0844423, 0.114563, 0.0736147, 0.1013148),
    "age_x_non_hdl": (-0.0567839, -0.0300005, -0.0521962, -0.0312619),
    "age_x_hdl": (0.0325692, 0.0232747, 0.0316918, 0.020673),
    "age_x_sbp": (-0.1035985, -0.0927024, -0.1046101, -0.0920935),
    "age_x_egfr": (-0.1671492, -0.1217081, -0.1299149, -0.0712547),
    "age_x_diabetes": (-0.2417542, -0.2018525, -0.2727793, -0.2159947),
    "age_x_smoker": (-0.0791142, -0.0970527, -0.1530907, -0.1548811),
    "bmi_below_30": (0.0, 0.0, 0.0, 0.0),
    "bmi_30_plus": (0.0, 0.0, 0.0, 0.0),
    "age_x_bmi": (0.0, 0.0, 0.0, 0.0),
}
_HF = {
    "constant": (-4.310409, -3.946391, -2.205379, -1.95751),
    "diabetes": (1.038346, 0.923776, 0.8330787, 0.6840338),
    "current_smoker": (0.583916, 0.5023736, 0.3438651, 0.2656273),
    "on_htn_meds": (0.3534442, 0.2980922, 0.333921, 0.2583631),
    "on_cholesterol_meds": (0.0, 0.0, 0.0, 0.0),
    "age": (0.8998235, 0.8972642, 0.6254374, 0.5681541),
    "age_squared": (0.0, 0.0, -0.0983038, -0.1048388),
    "mmol_factor": (0.02586, 0.0, 0.0, 0.0),
    "non_hdl": (0.0, 0.0, 0.0, 0.0),
    "hdl": (0.0, 0.0, 0.0, 0.0),
    "sbp_below_110": (-0.4559771, -0.6811466, -0.3919241, -0.4761564),
    "sbp_110_plus": (0.3576505, 0.3634461, 0.3142295, 0.30324),
    "egfr_60_plus": (0.0557087, 0.0251827, 0.0667159, 0.0638923),
    "egfr_below_60": (0.7451638, 0.6926917, 0.2981642, 0.2541805),
    "htn_meds_x_sbp": (-0.0981511, -0.0497731, -0.0893177, -0.0391938),
    "cholesterol_meds_x_non_hdl": (0.0, 0.0, 0.0, 0.0),
    "age_x_non_hdl": (0.0, 0.0, 0.0, 0.0),
    "age_x_hdl": (0.0, 0.0, 0.0, 0.0),
    "age_x_sbp": (-0.0946663, -0.1289201, -0.0974299, -0.1269124),
    "age_x_egfr": (-0.1884289, -0.1797778, -0.1564215, -0.1342618),
    "age_x_diabetes": (-0.3581041, -0.3040924, -0.404855, -0.3273572),
    "age_x_smoker": (-0.1159453, -0.1401688, -0.1982991, -0.2043019),
    "bmi_below_30": (-0.0072294, -0.0485841, 0.0594874, 0.0833107),
    "bmi_30_plus": (0.2997706, 0.3726929, 0.2525536, 0.26999),
    "age_x_bmi": (-0.003878, 0.0068126, -0.0035619, -0.0182831),
}

_COLUMNS = ((10, "female"), (10, "male"), (30, "female"), (30, "male"))
COEFFICIENTS = {
    (model, horizon, sex): {field: row[i] for field, row in table.items()}
    for model, table in (("cvd", _CVD), ("ascvd", _ASCVD), ("hf", _HF))
    for i, (horizon, sex) in enumerate(_COLUMNS)
}


def ranges(horizon):
    """(name, lower, upper, message) of the six numeric inputs, in checking order."""
    limit = AGE_LIMIT[horizon]
    return (("age", 30.0, limit, f"Age must be between 30 and {limit:.0f}"),) + _RANGES


def bounds(name, horizon):
    """(lower, upper, message) of one numeric input."""
    return next(r[1:] for r in ranges(horizon) if r[0] == name)


def validate(horizon, age, tc, hdl, sbp, bmi, egfr):
    """The first failing range message, or None. Written as "not in range" so NaN fails."""
    for (_, lo, hi, message), value in zip(ranges(horizon), (age, tc, hdl, sbp, bmi, egfr)):
        if not (value >= lo and value <= hi):
            return message
    return None


def predictor(c, diabetes, smoker, htn, chol, sbp, non_hdl, hdl, a, a2, egfr, bmi):
    """The linear predictor, summed term by term in the published order."""
    f = c["mmol_factor"]
    n = non_hdl * f - 3.5
    h = (hdl * f - 1.3) / 0.3
    sl = (min(sbp, 110.0) - 110.0) / 20.0
    sh = (max(sbp, 110.0) - 130.0) / 20.0
    el = (min(egfr, 60.0) - 60.0) / -15.0
    eh = (max(egfr, 60.0) - 90.0) / -15.0
    bl = (min(bmi, 30.0) - 25.0) / 5.0
    bh = (max(bmi, 30.0) - 30.0) / 5.0
    terms = (
        c["age_squared"] * a2,
        c["age"] * a,
        c["constant"],
        c["non_hdl"] * n,
        c["hdl"] * h,
        c["sbp_below_110"] * sl,
        c["sbp_110_plus"] * sh,
        c["diabetes"] if diabetes else 0.0,
        c["current_smoker"] if smoker else 0.0,
        c["egfr_below_60"] * el,
        c["egfr_60_plus"] * eh,
        c["on_htn_meds"] if htn else 0.0,
        c["on_cholesterol_meds"] if chol else 0.0,
        c["htn_meds_x_sbp"] * sh if htn else 0.0,
        c["cholesterol_meds_x_non_hdl"] * n if chol else 0.0,
        (c["age_x_non_hdl"] * a) * n,
        ((c["age_x_hdl"] * a) * (hdl * f - 1.3)) / 0.3,
        (c["age_x_sbp"] * a) * sh,
        c["age_x_diabetes"] * a if diabetes else 0.0,
        c["age_x_smoker"] * a if smoker else 0.0,
        (c["age_x_egfr"] * a) * el,
        c["bmi_below_30"] * bl,
        c["bmi_30_plus"] * bh,
        (c["age_x_bmi"] * a) * bh,
    )
    x = terms[0] + terms[1]
    for term in terms[2:]:
        x += term
    return x


def reference(model, horizon, sex, age, tc, hdl, sbp, diabetes, smoker, bmi, egfr, htn, chol):
    """Risk percentage as a float, or the message text of the first failure."""
    age, tc, hdl, sbp, bmi, egfr = map(float, (age, tc, hdl, sbp, bmi, egfr))
    message = validate(horizon, age, tc, hdl, sbp, bmi, egfr)
    if message is not None:
        return message
    non_hdl = tc - hdl
    a = (age - 55.0) / 10.0
    lowered = sex.lower()  # full Unicode lowering, then an exact comparison
    if lowered not in ("male", "female"):
        return SEX_MESSAGE
    c = COEFFICIENTS[(model, horizon, lowered)]
    x = predictor(c, diabetes, smoker, htn, chol, sbp, non_hdl, hdl, a, a * a, egfr, bmi)
    p = math.pow(2.718281828459045, x)
    return (p / (1.0 + p)) * 100.0


def replace(args, **changes):
    """The eleven inputs with some replaced, by standard name."""
    values = list(args)
    for name, value in changes.items():
        values[NAMES.index(name)] = value
    return tuple(values)


def inputs(**changes):
    """BASELINE with some inputs replaced, by standard name."""
    return replace(BASELINE, **changes)


_SEXES = ("male", "female", "Male", "FEMALE", "mAlE", "fEMale")
# Knots and bounds turn up often: that is where off-by-one-piece faults live.
_KNOTS = {
    "age": (30.0, 55.0, 59.0, 60.0, 79.0),
    "total_cholesterol": (130.0, 320.0),
    "hdl_cholesterol": (20.0, 100.0),
    "systolic_bp": (90.0, 110.0, 130.0, 200.0),
    "bmi": (18.5, 25.0, 30.0, 39.9),
    "egfr": (15.0, 60.0, 90.0, 140.0),
}


def _draw(rng, name, horizon):
    lo, hi, _ = bounds(name, horizon)
    pick = rng.random()
    if pick < 0.1:
        return rng.choice([v for v in _KNOTS[name] if lo <= v <= hi])
    if pick < 0.3:
        return float(rng.randint(math.ceil(lo), math.floor(hi)))
    return rng.uniform(lo, hi)


def random_inputs(rng, horizon):
    """Eleven in-range inputs for one evaluation, drawn from a random.Random."""
    def draw(name):
        return _draw(rng, name, horizon)

    def flag():
        return rng.random() < 0.5

    return (
        rng.choice(_SEXES), draw("age"), draw("total_cholesterol"), draw("hdl_cholesterol"),
        draw("systolic_bp"), flag(), flag(), draw("bmi"), draw("egfr"), flag(), flag(),
    )
