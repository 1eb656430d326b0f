#!/usr/bin/env python3
"""Writes the bundled synthetic sample cohort, python/corvane/data/sample_cohort.csv.

Every patient is made up. The draws come from one fixed seed and only the standard
library, so the file is the same on every machine: rerun this after changing it and
commit the result. A few rows are deliberately broken or out of range so that the demo
shows how refused rows are reported.

    python3 scripts/make_sample_cohort.py [OUTPUT]
"""

import math
import random
import sys
from pathlib import Path

SEED = 20_240_611
ROWS = 3000
DEFAULT_OUTPUT = Path(__file__).resolve().parent.parent / "python/corvane/data/sample_cohort.csv"
HEADER = (
    "patient_id,sex,age,total_cholesterol,hdl_cholesterol,systolic_bp,has_diabetes,"
    "current_smoker,bmi,egfr,on_htn_meds,on_cholesterol_meds"
)

# Row number (1-based, after the header) -> how that row is broken.
BROKEN = {
    37: ("sex", "unknown"),
    211: ("age", ""),
    404: ("systolic_bp", "14O"),
    777: ("has_diabetes", "maybe"),
    1203: ("egfr", "NA"),
    1999: ("extra", "note: moved away"),
    2500: ("short", None),
}


def draw(rng: random.Random, mean: float, sd: float, low: float, high: float) -> float:
    """A normal draw inside [low, high]; about 1 in 250 lands outside instead."""
    outside = rng.random() < 0.004
    while True:
        x = rng.gauss(mean, sd)
        if (low <= x <= high) != outside:
            return x


def chance(rng: random.Random, p: float) -> int:
    return int(rng.random() < p)


def patient(rng: random.Random, number: int) -> list[str]:
    female = rng.random() < 0.52
    age = round(rng.triangular(30, 79, 50))
    years = age - 30
    # Kept inside the ranges the models accept, bar the rare draw left outside on purpose.
    total = round(draw(rng, 203 if female else 196, 34, 130, 320))
    hdl = round(draw(rng, 58 if female else 47, 13, 20, 100))
    sbp = round(draw(rng, 116 + 0.45 * years, 15, 90, 200))
    diabetes = chance(rng, 0.04 + 0.004 * years)
    smoker = chance(rng, 0.2 - 0.003 * years)
    bmi = round(draw(rng, 28.2, 4.8, 18.5, 39.9), 1)
    egfr = round(draw(rng, 104 - 0.8 * years, 15, 15, 140))
    htn = chance(rng, 0.7 / (1 + math.exp(-(sbp - 140) / 8)) + 0.003 * years)
    statin = chance(rng, 0.06 + 0.005 * years + 0.25 * diabetes)
    return [
        f"S{number:05d}",
        "female" if female else "male",
        str(age),
        str(total),
        str(hdl),
        str(sbp),
        str(diabetes),
        str(smoker),
        f"{bmi:.1f}",
        str(egfr),
        str(htn),
        str(statin),
    ]


def break_row(fields: list[str], how: tuple[str, str | None]) -> list[str]:
    column, value = how
    if column == "extra":
        return fields + [value]
    if column == "short":
        return fields[:-1]
    fields[HEADER.split(",").index(column)] = value
    return fields


def lines() -> list[str]:
    rng = random.Random(SEED)
    out = [HEADER]
    for number in range(1, ROWS + 1):
        fields = patient(rng, number)
        if number in BROKEN:
            fields = break_row(fields, BROKEN[number])
        out.append(",".join(fields))
    return out


def main() -> None:
    output = Path(sys.argv[1]) if len(sys.argv) > 1 else DEFAULT_OUTPUT
    output.parent.mkdir(parents=True, exist_ok=True)
    output.write_text("\n".join(lines()) + "\n", encoding="utf-8", newline="\n")


if __name__ == "__main__":
    main()
