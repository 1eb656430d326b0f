"""The band summary of a scored cohort: per model the scored count, median and risk bands."""

from __future__ import annotations

import collections
import io
import math
import re
from collections.abc import Sequence

import polars as pl

from .._names import risk_column

OUTCOME_TITLES = {
    "cvd": "total cardiovascular disease",
    "ascvd": "atherosclerotic cardiovascular disease",
    "hf": "heart failure",
}
BANDS = (
    (0.0, 5.0, "<5%"), (5.0, 7.5, "5-7.5%"), (7.5, 20.0, "7.5-20%"), (20.0, math.inf, ">=20%")
)
_LISTED_UNREADABLE = 20
_UNREADABLE = re.compile(r"^(line|row) \d+: ")
_HORIZON_PART = re.compile(r"(?:^|; )(\d+)-year: ")


class Tally:
    """Risks and refusal reasons gathered batch by batch."""

    def __init__(self, title: str, models: Sequence[tuple[str, int]]) -> None:
        self.title = title
        self.models = list(models)
        self.horizons = list(dict.fromkeys(h for _, h in models))
        self.risks: dict[str, list[pl.Series]] = {risk_column(o, h): [] for o, h in models}
        self.reasons: collections.Counter[tuple[str, int]] = collections.Counter()
        self.unreadable: list[str] = []
        self.unreadable_count = 0
        self.rows = 0
        self.unscored = 0

    def add(self, scores: pl.DataFrame) -> None:
        self.rows += len(scores)
        for name, parts in self.risks.items():
            parts.append(scores[name].drop_nulls())
        refused = scores.filter(pl.col("error").is_not_null())
        self.unscored += len(refused)
        firsts = {
            h: next(risk_column(o, hh) for o, hh in self.models if hh == h) for h in self.horizons
        }
        unreadable = refused.filter(pl.col("error").str.contains(_UNREADABLE.pattern))
        self.unreadable_count += len(unreadable)
        room = _LISTED_UNREADABLE - len(self.unreadable)
        self.unreadable.extend(unreadable["error"].head(max(room, 0)).to_list())
        ranged = refused.filter(~pl.col("error").str.contains(_UNREADABLE.pattern))
        flags = [pl.col(firsts[h]).is_null().alias(str(h)) for h in self.horizons]
        grouped = ranged.group_by("error", *flags).len()
        for row in grouped.iter_rows(named=True):
            parts = _by_horizon(row["error"])
            for h in self.horizons:
                if row[str(h)]:
                    text = parts.get(h, row["error"]) if parts else row["error"]
                    self.reasons[text, h] += row["len"]

    def render(self, stream) -> str:
        fancy = _can_print("█▏≥–—", stream)
        out = io.StringIO()
        out.write(
            f"corvane {'—' if fancy else '-'} {self.title}: {self.rows:,} patients,"
            f" {self.rows - self.unscored:,} scored by every model\n"
            "Estimated risk of each outcome, and how many patients fall in each risk band.\n"
        )
        if 30 in self.horizons:
            out.write("The 30-year equations cover ages 30-59 only.\n")
        for outcome, horizon in self.models:
            parts = self.risks[risk_column(outcome, horizon)]
            risks = pl.concat(parts) if parts else pl.Series(dtype=pl.Float64)
            out.write(_histogram(f"{horizon}-year {OUTCOME_TITLES[outcome]}", risks, fancy))
        if self.unscored:
            out.write(self._refusals())
        return out.getvalue()

    def _refusals(self) -> str:
        heading = "".join(f"{f'{h}-year':>9}" for h in self.horizons)
        lines = [f"\nRows not scored {'(the error column gives each row its reason)':<50}{heading}"]
        counts: dict[str, dict[int, int]] = collections.defaultdict(dict)
        for (text, h), count in self.reasons.items():
            counts[text][h] = count
        by_total = sorted(counts.items(), key=lambda item: (-sum(item[1].values()), item[0]))
        if self.unreadable_count:
            listed = {h: self.unreadable_count for h in self.horizons}
            by_total.append(("unreadable or malformed rows, listed below", listed))
        for text, per_horizon in by_total:
            cells = "".join(
                f"{per_horizon[h]:>9,}" if h in per_horizon else " " * 8 + "-"
                for h in self.horizons
            )
            lines.append(f"   {text:<63}{cells}")
        lines.extend(f"      {text}" for text in self.unreadable)
        if self.unreadable_count > len(self.unreadable):
            lines.append(f"      ... and {self.unreadable_count - len(self.unreadable):,} more")
        return "\n".join(lines) + "\n"


def _by_horizon(error: str) -> dict[int, str]:
    """{horizon: message} of an error naming its horizons ("10-year: ...; 30-year: ...")."""
    pieces = _HORIZON_PART.split(error)
    if len(pieces) < 3 or pieces[0]:
        return {}
    return {int(h): text for h, text in zip(pieces[1::2], pieces[2::2])}


def _histogram(title: str, risks: pl.Series, fancy: bool) -> str:
    median = f"median {_median(risks):.1f}%" if len(risks) else ""
    lines = [f"\n{title:<48} {len(risks):>6,} scored   {median}"]
    counts = [int(((risks >= lo) & (risks < hi)).sum()) for lo, hi, _ in BANDS]
    widest = max(counts) or 1
    for (_, _, label), count in zip(BANDS, counts):
        if fancy:
            label = label.replace(">=", "≥").replace("-", "–")
        bar = ("█" if fancy else "#") * round(30 * count / widest)
        if count and not bar:
            bar = "▏" if fancy else "#"  # some, however few
        lines.append(f"   {label:<8} {bar:<30} {count:>6,} {count / max(len(risks), 1):6.1%}")
    return "\n".join(lines) + "\n"


def _median(risks: pl.Series) -> float:
    # The middle value, or the mean of the middle two, as NumPy's median takes it.
    ordered = risks.sort()
    middle = len(ordered) // 2
    if len(ordered) % 2:
        return ordered[middle]
    return (ordered[middle - 1] + ordered[middle]) / 2


def _can_print(text: str, stream) -> bool:
    try:
        text.encode(getattr(stream, "encoding", None) or "ascii")
    except (UnicodeEncodeError, LookupError):
        return False
    return True
