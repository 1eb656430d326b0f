"""A cohort's report: what was read, scored and refused, how risk is spread and how that differs
by sex, age group and the reader's own columns, gathered batch by batch from the engine's pass.

Only aggregates leave it: counts, shares, medians and quartiles. No identifier, no row's cell,
and no minimum or maximum of an input (that would be one patient's value). With ``min_cell``,
every count from 1 to ``min_cell - 1`` is shown as ``"<min_cell"``, and whatever would let a
reader work one back (its share, its bar, the one other count of a set that its total would
give away) is left out too.
"""

from __future__ import annotations

import copy
import datetime
import os
import tempfile
from collections import Counter
from collections.abc import Sequence
from typing import Any

import polars as pl

from .._names import (
    BANDS,
    ERROR_RADIX,
    INPUT_COLUMNS,
    OUTCOME_TITLES,
    UNREADABLE_CODE,
    natural_key,
    risk_column,
)

#: Histogram bins of risk: one percentage point each up to 30%, then everything above.
HISTOGRAM_EDGES = (*range(31), 100)
AGE_GROUPS = ("under 30", "30-39", "40-49", "50-59", "60-69", "70-79", "80 and over")
SEXES = ("female", "male")
MISSING = "(missing)"
OTHER = "(other"
#: A count left out only because, with its set's total, it would give a small one away.
HIDDEN = "hidden"
#: Levels shown of the reader's columns, all together (a page of about 1.4 KB a level stays
#: well under 500 KB); past each one's share, its rarest levels are put together.
MAX_LEVELS = 120
#: A median or quartile of fewer risks than this would be one patient's risk, or nearly.
FEWEST_FOR_QUANTILES = 5
# A model's range refusal names its input by the start of its text.
_RANGE_INPUTS = {
    "Age": "age",
    "Total cholesterol": "total_cholesterol",
    "HDL cholesterol": "hdl_cholesterol",
    "Systolic blood pressure": "systolic_bp",
    "BMI": "bmi",
    "eGFR": "egfr",
    "Sex": "sex",
}


class Cohort:
    """The report's numbers, gathered one batch at a time."""

    def __init__(
        self,
        models: Sequence[tuple[str, int]],
        statuses: Sequence[str | None],
        labels: Sequence[str],
        by: Sequence[str] = (),
        min_cell: int | None = None,
    ) -> None:
        self.models = list(models)
        self.columns = [risk_column(o, h) for o, h in self.models]
        self.horizons = list(dict.fromkeys(h for _, h in self.models))
        self.statuses = list(statuses)  # the refusal text of each status code
        self.labels = list(labels)  # each input's column in the table, in input order
        self.by = list(by)
        self.min_cell = min_cell
        self.rows = 0
        self.codes: Counter[int] = Counter()
        self.missing = [0] * len(INPUT_COLUMNS)
        self._frames: list[pl.DataFrame] = []

    def add(
        self,
        risks: Sequence[Any],
        codes: Any,
        missing_bits: Any,
        sex: Any,
        age: Any,
        by: Sequence[pl.Series] = (),
    ) -> None:
        """One batch: each model's risks (NaN or null where refused), each row's error code,
        the missing-cell bits of its unreadable rows, sex and age as read (NaN where not),
        and the reader's columns."""
        n = len(codes)
        self.rows += n
        codes = pl.Series("code", codes, pl.UInt16)
        for code, count in codes.value_counts().iter_rows():
            self.codes[code] += count
        bits = pl.Series("bits", missing_bits, dtype=pl.UInt16)
        if len(bits):
            counted = pl.DataFrame(bits).select(
                ((pl.col("bits") // (1 << j)) % 2).sum().alias(str(j))
                for j in range(len(INPUT_COLUMNS))
            ).row(0)
            for j, count in enumerate(counted):
                self.missing[j] += int(count)
        columns = {
            name: pl.Series(name, risk, dtype=pl.Float64).fill_nan(None)
            for name, risk in zip(self.columns, risks)
        }
        columns["sex"] = pl.Series("sex", sex, dtype=pl.Float64)
        columns["age"] = pl.Series("age", age, dtype=pl.Float64)
        for i, column in enumerate(by):
            columns[f"by{i}"] = column.cast(pl.String).alias(f"by{i}")
        frame = pl.DataFrame(columns).with_columns(
            pl.col("sex").fill_nan(None).cast(pl.UInt8),
            ((pl.col("age").fill_nan(None).clip(20, 89) - 20) // 10).cast(pl.UInt8),
        )
        self._frames.append(frame)

    def data(self, title: str, options: dict[str, Any], version: str) -> dict[str, Any]:
        """Every number of the report, as plain data (the shape ``Report.to_dict`` gives)."""
        frame = (
            pl.concat(self._frames) if self._frames else pl.DataFrame(
                {**dict.fromkeys(self.columns, pl.Series([], dtype=pl.Float64)),
                 "sex": pl.Series([], dtype=pl.UInt8), "age": pl.Series([], dtype=pl.UInt8),
                 **{f"by{i}": pl.Series([], dtype=pl.String) for i in range(len(self.by))}}
            )
        )
        unreadable = sum(c for code, c in self.codes.items() if code >= UNREADABLE_CODE)
        cut = _Suppression(self.min_cell)
        models = []
        whole = _summaries(frame, self.columns)
        for (outcome, horizon), column, summary in zip(self.models, self.columns, whole):
            scored = summary["scored"]
            histogram = frame[column].drop_nulls().floor().clip(0, 30).cast(pl.Int32)
            counts = dict(histogram.value_counts().iter_rows())
            shown, refused, bad = cut.counts(
                [scored, self.rows - scored - unreadable, unreadable], self.rows
            )
            models.append({
                "column": column,
                "outcome": outcome,
                "horizon": horizon,
                "title": f"{horizon}-year {OUTCOME_TITLES[outcome]}",
                "scored": shown,
                "refused": refused,
                "unreadable": bad,
                **cut.quantiles(summary),
                "bands": cut.bands(summary["bands"], scored),
                "histogram": {
                    "edges": list(HISTOGRAM_EDGES),
                    "counts": cut.counts([counts.get(b, 0) for b in range(31)], scored),
                },
            })
        groups = [
            self._breakdown(frame, "sex", "Sex", "sex", list(SEXES), cut),
            self._breakdown(frame, "age_group", "Age group", "age", list(AGE_GROUPS), cut),
        ]
        for i, name in enumerate(self.by):
            groups.append(self._breakdown(frame, name, name, f"by{i}", None, cut))
        notes = []
        if self.min_cell:
            notes.append(
                f"Counts from 1 to {self.min_cell - 1} are shown as <{self.min_cell}, and the"
                " shares, bars and other counts that would reveal them are left out."
            )
        notes.append(
            f"Medians and quartiles of fewer than {max(FEWEST_FOR_QUANTILES, self.min_cell or 0)}"
            " risks are left out: they would be single patients' values."
        )
        return {
            "title": "Cardiovascular risk of a cohort",
            "input": title,
            "created": datetime.datetime.now(datetime.timezone.utc).strftime(
                "%Y-%m-%d %H:%M UTC"
            ),
            "version": version,
            "options": options,
            "min_cell": self.min_cell,
            "rows": {
                "read": cut.count(self.rows),
                "scored_by_every_model": cut.count(self.codes.get(0, 0)),
                "unreadable": cut.count(unreadable),
            },
            "bands": [
                {"label": label, "low": low, "high": None if high == float("inf") else high}
                for low, high, label in BANDS
            ],
            "models": models,
            "groups": groups,
            "refusals": self._refusals(cut),
            "inputs": self._inputs(cut),
            "notes": notes,
        }

    def _breakdown(
        self, frame: pl.DataFrame, name: str, title: str, key: str,
        levels: list[str] | None, cut: _Suppression,
    ) -> dict[str, Any]:
        """Per level of ``key``: its rows and each model's summary. ``levels`` names the codes
        0, 1, ... of a key read by the engine; None for a reader's column, shown as written."""
        keys = frame[key]
        if levels is None:
            sizes = keys.value_counts(sort=True)
            most = max(8, MAX_LEVELS // len(self.by))
            if len(sizes) > most:
                kept = sizes[key].head(most - 1)
                other = f"{OTHER} {len(sizes) - len(kept):,} levels)"
                keys = pl.when(keys.is_in(kept) | keys.is_null()).then(keys).otherwise(
                    pl.lit(other)
                )
                keys = frame.select(keys.alias(key)).to_series()
        summaries = _summaries(frame.with_columns(keys.alias("level")), self.columns, "level")
        sizes = cut.counts([summary["rows"] for summary in summaries], self.rows)
        shown = []
        for summary, size in zip(summaries, sizes):
            level = summary["level"]
            text = MISSING if level is None else levels[level] if levels else str(level)
            shown.append((level is None, _order(level, levels), {
                "level": text,
                "rows": size,
                "models": [
                    {"column": column, "scored": cut.count(s["scored"]), **cut.quantiles(s),
                     "bands": cut.bands(s["bands"], s["scored"])}
                    for column, s in zip(self.columns, summary["models"])
                ],
            }))
        shown.sort(key=lambda item: item[:2])
        return {"name": name, "title": title, "levels": [entry for *_, entry in shown]}

    def _refusals(self, cut: _Suppression) -> list[dict[str, Any]]:
        counts: Counter[tuple[str, int]] = Counter()
        for code, n in self.codes.items():
            if code >= UNREADABLE_CODE:
                continue
            for slot, horizon in enumerate(self.horizons):
                status = code // ERROR_RADIX**slot % ERROR_RADIX
                if status:
                    counts[self.statuses[status], horizon] += n
        for j, (missing, bad) in enumerate(zip(self.missing, self._bad_cells())):
            for horizon in self.horizons:
                if missing:
                    counts[f"{self.labels[j]}: missing value", horizon] += missing
                if bad > missing:
                    counts[f"{self.labels[j]}: unreadable value", horizon] += bad - missing
        reasons: dict[str, dict[int, int]] = {}
        for (text, horizon), n in counts.items():
            reasons.setdefault(text, {})[horizon] = n
        ordered = sorted(reasons.items(), key=lambda item: (-sum(item[1].values()), item[0]))
        return [{"reason": text, "counts": {str(h): cut.count(n) for h, n in per.items()}}
                for text, per in ordered]

    def _bad_cells(self) -> list[int]:
        """Per input, the rows whose cell in it is missing or unreadable."""
        bad = [0] * len(INPUT_COLUMNS)
        for code, n in self.codes.items():
            if code >= UNREADABLE_CODE:
                for j in range(len(INPUT_COLUMNS)):
                    bad[j] += n * ((code - UNREADABLE_CODE) >> j & 1)
        return bad

    def _inputs(self, cut: _Suppression) -> list[dict[str, Any]]:
        out_of_range = [0] * len(INPUT_COLUMNS)
        for code, n in self.codes.items():
            if code >= UNREADABLE_CODE:
                continue
            named = set()
            for slot in range(len(self.horizons)):
                text = self.statuses[code // ERROR_RADIX**slot % ERROR_RADIX] or ""
                named |= {name for start, name in _RANGE_INPUTS.items() if text.startswith(start)}
            for name in named:
                out_of_range[INPUT_COLUMNS.index(name)] += n
        return [
            {"input": name, "column": label, "missing": cut.count(missing),
             "unreadable": cut.count(bad - missing), "out_of_range": cut.count(outside)}
            for name, label, missing, bad, outside in zip(
                INPUT_COLUMNS, self.labels, self.missing, self._bad_cells(), out_of_range)
        ]


def _order(level: Any, levels: list[str] | None) -> Any:
    """How levels sort: the engine's codes in their own order, a reader's values in natural
    order (site 9 before site 10), the levels put together and the missing last."""
    if level is None or levels is not None:
        return (0, [[(0, level or 0, "")]])
    return (int(str(level).startswith(OTHER)), natural_key(str(level)))


def _summaries(
    frame: pl.DataFrame, columns: list[str], key: str | None = None
) -> list[dict[str, Any]]:
    """Per model (or, with ``key``, per level and model): scored count, median, quartiles and
    band counts, in one pass of polars."""
    aggregations = [pl.len().alias("rows")]
    for k, column in enumerate(columns):
        risk = pl.col(column)
        aggregations += [
            risk.count().alias(f"scored{k}"),
            risk.median().alias(f"median{k}"),
            risk.quantile(0.25, "linear").alias(f"q1_{k}"),
            risk.quantile(0.75, "linear").alias(f"q3_{k}"),
        ]
        aggregations += [((risk >= low) & (risk < high)).sum().alias(f"band{k}_{b}")
                         for b, (low, high, _) in enumerate(BANDS)]
    table = frame.group_by(key).agg(aggregations) if key else frame.select(aggregations)
    summaries = []
    for row in table.iter_rows(named=True):
        per_model = [
            {"scored": row[f"scored{k}"], "median": row[f"median{k}"], "q1": row[f"q1_{k}"],
             "q3": row[f"q3_{k}"], "bands": [row[f"band{k}_{b}"] for b in range(len(BANDS))]}
            for k in range(len(columns))
        ]
        if key is None:
            return per_model
        summaries.append({"level": row[key], "rows": row["rows"], "models": per_model})
    return summaries


class _Suppression:
    """Small counts hidden as publishing rules ask, or shown as they are."""

    def __init__(self, min_cell: int | None) -> None:
        self.min_cell = min_cell

    def hidden(self, count: int) -> bool:
        return bool(self.min_cell) and 0 < count < self.min_cell

    def count(self, count: int) -> int | str:
        return f"<{self.min_cell}" if self.hidden(count) else int(count)

    def counts(self, counts: list[int], total: int) -> list[int | str]:
        """A set of counts whose total is shown: one hidden count alone would be the total
        less the others, so the smallest other count is hidden with it (as "hidden": it is
        not small)."""
        small = {i for i, c in enumerate(counts) if self.hidden(c)}
        also = set()
        if len(small) == 1 and not self.hidden(total):
            others = [(c, i) for i, c in enumerate(counts) if i not in small and c > 0]
            if others:
                also.add(min(others)[1])
        return [f"<{self.min_cell}" if i in small else HIDDEN if i in also else int(c)
                for i, c in enumerate(counts)]

    def bands(self, counts: list[int], total: int) -> list[dict[str, Any]]:
        shown = self.counts(counts, total)
        return [
            {"label": label, "count": count,
             "share": count / total if isinstance(count, int) and total else None}
            for (_, _, label), count in zip(BANDS, shown)
        ]

    def quantiles(self, summary: dict[str, Any]) -> dict[str, float | None]:
        enough = summary["scored"] >= max(FEWEST_FOR_QUANTILES, self.min_cell or 0)
        return {name: summary[name] if enough else None for name in ("median", "q1", "q3")}


def report_options(
    models: Sequence[tuple[str, int]], cholesterol_unit: str, columns: Any, codes: Any,
    by: Sequence[str], min_cell: int | None,
) -> dict[str, Any]:
    """The options a report was made with, as plain data, so that it can be made again."""
    return {
        "outcomes": list(dict.fromkeys(o for o, _ in models)),
        "horizons": list(dict.fromkeys(h for _, h in models)),
        "cholesterol_unit": cholesterol_unit,
        "columns": {str(k): str(v) for k, v in (columns or {}).items()},
        "codes": {str(k): {str(a): str(b) for a, b in v.items()} for k, v in (codes or {}).items()},
        "by": list(by),
        "min_cell": min_cell,
    }


def version() -> str:
    from importlib.metadata import PackageNotFoundError
    from importlib.metadata import version as installed

    try:
        return installed("corvane")
    except PackageNotFoundError:
        return "unknown"


class Report:
    """A cohort's report: ``to_dict()`` gives every number, ``save(path)`` writes the page,
    and a notebook shows it inline."""

    def __init__(self, data: dict[str, Any]) -> None:
        self._data = data

    def to_dict(self) -> dict[str, Any]:
        """Every number of the report, as plain Python data."""
        return copy.deepcopy(self._data)

    def html(self) -> str:
        """The report as one self-contained HTML page."""
        from ._html import render

        return render(self._data)

    def save(self, path: str | os.PathLike[str]) -> None:
        """Write the page to ``path``; it appears whole or not at all."""
        write_whole(os.fspath(path), self.html().encode("utf-8"))

    def _repr_html_(self) -> str:
        import html

        # In a frame of its own: the page's styles stay off the notebook's.
        page = html.escape(self.html(), quote=True)
        return (f'<iframe srcdoc="{page}" style="width:100%;height:900px;border:0"'
                ' title="Cardiovascular risk report"></iframe>')

    def __repr__(self) -> str:
        rows = self._data["rows"]["read"]
        return f"<corvane Report of {self._data['input']}: {rows} rows>"


def write_whole(path: str, data: bytes) -> None:
    """``data`` into ``path`` through a temporary file beside it, renamed into place."""
    directory = os.path.dirname(os.path.abspath(path))
    fd, temp = tempfile.mkstemp(dir=directory, prefix=f".{os.path.basename(path)}.",
                                suffix=".partial")
    try:
        with os.fdopen(fd, "wb") as out:
            out.write(data)
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temp, 0o666 & ~umask)
        os.replace(temp, path)
    except BaseException:
        try:
            os.unlink(temp)
        except OSError:
            pass
        raise
