"""The band summary of a scored cohort: per model the scored count, median and risk bands."""

from __future__ import annotations

import collections
import io
from collections.abc import Sequence

import polars as pl

from .._names import BANDS, ERROR_RADIX, OUTCOME_TITLES, UNREADABLE_CODE, risk_column

_LISTED_UNREADABLE = 20


class Tally:
    """Risks and refusal reasons gathered batch by batch, the reasons counted from the
    engine's codes: each horizon's status in a readable row, and which rows were unreadable."""

    def __init__(
        self, title: str, models: Sequence[tuple[str, int]], texts: Sequence[str | None]
    ) -> None:
        self.title = title
        self.models = list(models)
        self.horizons = list(dict.fromkeys(h for _, h in models))
        self.texts = list(texts)  # the refusal text of each status
        self.risks: dict[str, list[pl.Series]] = {risk_column(o, h): [] for o, h in models}
        self.reasons: collections.Counter[tuple[str, int]] = collections.Counter()
        self.unreadable: list[str] = []
        self.unreadable_count = 0
        self.rows = 0
        self.unscored = 0

    def add(self, scores: pl.DataFrame, codes: pl.Series, unreadable: pl.Series | None) -> None:
        """One batch: its scores, each row's error code, and which rows could not be read
        (their errors are listed as they are), or None when all could."""
        self.rows += len(scores)
        for name, parts in self.risks.items():
            parts.append(scores[name].drop_nulls())
        self.unscored += len(scores) - scores["error"].null_count()
        readable = codes < UNREADABLE_CODE
        if unreadable is not None:
            self.unreadable_count += int(unreadable.sum())
            room = _LISTED_UNREADABLE - len(self.unreadable)
            self.unreadable.extend(scores["error"].filter(unreadable).head(max(room, 0)).to_list())
            readable = readable & ~unreadable
        counted = pl.DataFrame({"code": codes}).filter(readable & (codes > 0))
        for code, count in counted.group_by("code").len().iter_rows():
            for slot, h in enumerate(self.horizons):
                status = code // ERROR_RADIX**slot % ERROR_RADIX
                if status:
                    self.reasons[self.texts[status], h] += count

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
