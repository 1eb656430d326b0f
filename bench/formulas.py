"""An independent baseline on purpose: it repeats the coefficients rather than reading the module's.

The benchmark races the module against these: the 10-year total-CVD and heart-failure equations
written the way a user without corvane would write them, once in plain Python for one patient and
once with vectorized NumPy operations for an (n, 11) array.

Both follow the published order of operations, so they are expected to agree with the module;
the benchmark checks that before it trusts a timing.
"""

import math

import numpy as np

E = 2.718281828459045

FIELDS = (
    "constant", "diabetes", "current_smoker", "on_htn_meds", "on_cholesterol_meds", "age",
    "age_squared", "mmol_factor", "non_hdl", "hdl", "sbp_below_110", "sbp_110_plus",
    "egfr_60_plus", "egfr_below_60", "htn_meds_x_sbp", "cholesterol_meds_x_non_hdl",
    "age_x_non_hdl", "age_x_hdl", "age_x_sbp", "age_x_egfr", "age_x_diabetes", "age_x_smoker",
    "bmi_below_30", "bmi_30_plus", "age_x_bmi",
)
# (female, male) per field, in FIELDS order.
_CVD10 = (
    (-3.307728, -3.031168), (0.8667604, 0.7692857), (0.5360739, 0.4386871),
    (0.3151672, 0.288879), (-0.1477655, -0.1337349), (0.7939329, 0.7688528), (0.0, 0.0),
    (0.02586, 0.02586), (0.0305239, 0.0736174), (-0.1606857, -0.0954431),
    (-0.2394003, -0.4347345), (0.3600781, 0.3362658), (0.0433769, 0.0164827),
    (0.6045917, 0.5378979), (-0.0663612, -0.0475924), (0.1197879, 0.150273),
    (-0.0819715, -0.0517874), (0.0306769, 0.0191169), (-0.0946348, -0.1049477),
    (-0.1637806, -0.1543702), (-0.27057, -0.2251948), (-0.078715, -0.0895067), (0.0, 0.0),
    (0.0, 0.0), (0.0, 0.0),
)
_HF10 = (
    (-4.310409, -3.946391), (1.038346, 0.923776), (0.583916, 0.5023736),
    (0.3534442, 0.2980922), (0.0, 0.0), (0.8998235, 0.8972642), (0.0, 0.0), (0.02586, 0.0),
    (0.0, 0.0), (0.0, 0.0), (-0.4559771, -0.6811466), (0.3576505, 0.3634461),
    (0.0557087, 0.0251827), (0.7451638, 0.6926917), (-0.0981511, -0.0497731), (0.0, 0.0),
    (0.0, 0.0), (0.0, 0.0), (-0.0946663, -0.1289201), (-0.1884289, -0.1797778),
    (-0.3581041, -0.3040924), (-0.1159453, -0.1401688), (-0.0072294, -0.0485841),
    (0.2997706, 0.3726929), (-0.003878, 0.0068126),
)
MODELS = {
    model: {sex: dict(zip(FIELDS, (pair[i] for pair in table)))
            for i, sex in enumerate(("female", "male"))}
    for model, table in (("cvd", _CVD10), ("hf", _HF10))
}


def python_risk(model, sex, age, total_cholesterol, hdl_cholesterol, systolic_bp, has_diabetes,
                current_smoker, bmi, egfr, on_htn_meds, on_cholesterol_meds):
    """One 10-year risk in percent; ValueError for a value out of range or an unknown sex."""
    if not 30 <= age <= 79:
        raise ValueError("Age must be between 30 and 79")
    if not 130 <= total_cholesterol <= 320:
        raise ValueError("Total cholesterol must be between 130 and 320")
    if not 20 <= hdl_cholesterol <= 100:
        raise ValueError("HDL cholesterol must be between 20 and 100")
    if not 90 <= systolic_bp <= 200:
        raise ValueError("Systolic blood pressure must be between 90 and 200")
    if not 18.5 <= bmi <= 39.9:
        raise ValueError("BMI must be between 18.5 and 39.9")
    if not 15 <= egfr <= 140:
        raise ValueError("eGFR must be between 15 and 140")
    sex = sex.lower()
    if sex not in ("male", "female"):
        raise ValueError("Sex must be either 'male' or 'female'.")
    c = MODELS[model][sex]
    a = (age - 55.0) / 10.0
    f = c["mmol_factor"]
    n = (total_cholesterol - hdl_cholesterol) * f - 3.5
    h = (hdl_cholesterol * f - 1.3) / 0.3
    sl = (min(systolic_bp, 110.0) - 110.0) / 20.0
    sh = (max(systolic_bp, 110.0) - 130.0) / 20.0
    el = (min(egfr, 60.0) - 60.0) / -15.0
    eh = (max(egfr, 60.0) - 90.0) / -15.0
    bl = (min(bmi, 30.0) - 25.0) / 5.0
    bh = (max(bmi, 30.0) - 30.0) / 5.0
    x = c["age_squared"] * (a * a) + c["age"] * a
    x += c["constant"]
    x += c["non_hdl"] * n
    x += c["hdl"] * h
    x += c["sbp_below_110"] * sl
    x += c["sbp_110_plus"] * sh
    x += c["diabetes"] if has_diabetes else 0.0
    x += c["current_smoker"] if current_smoker else 0.0
    x += c["egfr_below_60"] * el
    x += c["egfr_60_plus"] * eh
    x += c["on_htn_meds"] if on_htn_meds else 0.0
    x += c["on_cholesterol_meds"] if on_cholesterol_meds else 0.0
    x += c["htn_meds_x_sbp"] * sh if on_htn_meds else 0.0
    x += c["cholesterol_meds_x_non_hdl"] * n if on_cholesterol_meds else 0.0
    x += (c["age_x_non_hdl"] * a) * n
    x += ((c["age_x_hdl"] * a) * (hdl_cholesterol * f - 1.3)) / 0.3
    x += (c["age_x_sbp"] * a) * sh
    x += c["age_x_diabetes"] * a if has_diabetes else 0.0
    x += c["age_x_smoker"] * a if current_smoker else 0.0
    x += (c["age_x_egfr"] * a) * el
    x += c["bmi_below_30"] * bl
    x += c["bmi_30_plus"] * bh
    x += (c["age_x_bmi"] * a) * bh
    p = math.pow(E, x)
    return p / (1.0 + p) * 100.0


def numpy_risk(model, data):
    """10-year risks of the rows of an (n, 11) float64 array; NaN where a row is out of range."""
    sex, age, tc, hdl, sbp, diabetes, smoker, bmi, egfr, htn, chol = data.T
    diabetes, smoker, htn, chol = diabetes != 0, smoker != 0, htn != 0, chol != 0
    valid = ((age >= 30) & (age <= 79) & (tc >= 130) & (tc <= 320) & (hdl >= 20) & (hdl <= 100)
             & (sbp >= 90) & (sbp <= 200) & (bmi >= 18.5) & (bmi <= 39.9) & (egfr >= 15)
             & (egfr <= 140))
    male = sex == 1.0
    sets = MODELS[model]
    c = {k: np.where(male, sets["male"][k], sets["female"][k]) for k in FIELDS}
    with np.errstate(all="ignore"):
        a = (age - 55.0) / 10.0
        f = c["mmol_factor"]
        n = (tc - hdl) * f - 3.5
        h = (hdl * f - 1.3) / 0.3
        sl = (np.minimum(sbp, 110.0) - 110.0) / 20.0
        sh = (np.maximum(sbp, 110.0) - 130.0) / 20.0
        el = (np.minimum(egfr, 60.0) - 60.0) / -15.0
        eh = (np.maximum(egfr, 60.0) - 90.0) / -15.0
        bl = (np.minimum(bmi, 30.0) - 25.0) / 5.0
        bh = (np.maximum(bmi, 30.0) - 30.0) / 5.0
        x = c["age_squared"] * (a * a) + c["age"] * a
        x += c["constant"]
        x += c["non_hdl"] * n
        x += c["hdl"] * h
        x += c["sbp_below_110"] * sl
        x += c["sbp_110_plus"] * sh
        x += np.where(diabetes, c["diabetes"], 0.0)
        x += np.where(smoker, c["current_smoker"], 0.0)
        x += c["egfr_below_60"] * el
        x += c["egfr_60_plus"] * eh
        x += np.where(htn, c["on_htn_meds"], 0.0)
        x += np.where(chol, c["on_cholesterol_meds"], 0.0)
        x += np.where(htn, c["htn_meds_x_sbp"] * sh, 0.0)
        x += np.where(chol, c["cholesterol_meds_x_non_hdl"] * n, 0.0)
        x += (c["age_x_non_hdl"] * a) * n
        x += ((c["age_x_hdl"] * a) * (hdl * f - 1.3)) / 0.3
        x += (c["age_x_sbp"] * a) * sh
        x += np.where(diabetes, c["age_x_diabetes"] * a, 0.0)
        x += np.where(smoker, c["age_x_smoker"] * a, 0.0)
        x += (c["age_x_egfr"] * a) * el
        x += c["bmi_below_30"] * bl
        x += c["bmi_30_plus"] * bh
        x += (c["age_x_bmi"] * a) * bh
        p = np.power(E, x)
        risk = p / (1.0 + p) * 100.0
    return np.where(valid, risk, np.nan)
