"""Calls a checker must refuse: the line after each ``# expect:`` has exactly the errors
named there, for mypy and for pyright, and no other line has any."""
# pyright: strict

import pandas as pd
import polars as pl

import corvane

frame = pd.DataFrame({"sex": ["female"], "age": [62]})
# expect: mypy[assignment] pyright[reportAssignmentType]
as_polars: pl.DataFrame = corvane.score(frame)
# Texts are sequences too, yet a mapping of texts is one patient, not columns.
# expect: mypy[assignment] pyright[reportAssignmentType]
columns: corvane.Scores = corvane.score({"sex": "female"})
# expect: mypy[call-overload] pyright[reportCallIssue,reportArgumentType]
corvane.score(frame, cholesterol_unit="mmol/l")
