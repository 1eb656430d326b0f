"""The cohort report as one HTML page: inline CSS and SVG charts drawn here, each chart beside
the table of numbers it is drawn from, and nothing that asks the network for anything."""

from __future__ import annotations

import math
from html import escape
from typing import Any

# Ordered light to dark, so the bands stay in order for every kind of colour vision and in grey.
BAND_COLORS = ("#fed98e", "#fe9929", "#cc4c02", "#662506")
BAR_COLOR = "#3b5b7c"
TRACK_COLOR = "#e4e4e4"
DASH = "\u2013"  # a value left out, or one that does not exist
SHORT_OUTCOMES = {"cvd": "CVD", "ascvd": "ASCVD", "hf": "HF"}
# The group chart's text cannot wrap; the table beside it has the full name.
LEVEL_CHARS = 24

CSS = """\
:root{color-scheme:light}
*{-webkit-print-color-adjust:exact;print-color-adjust:exact}
body{font:15px/1.45 system-ui,-apple-system,"Segoe UI",Roboto,"Helvetica Neue",Arial,sans-serif;
color:#1b1b1b;background:#fff;max-width:1120px;margin:0 auto;padding:1.5rem}
h1{font-size:1.6rem;margin:0 0 .5rem}
h2{font-size:1.3rem;margin:2.2rem 0 .6rem;border-bottom:2px solid #ccc;padding-bottom:.2rem}
h3{font-size:1.1rem;margin:1.6rem 0 .4rem}
dl.meta{display:grid;grid-template-columns:max-content 1fr;gap:.1rem 1rem;margin:.5rem 0}
dl.meta dt{font-weight:600}dl.meta dd{margin:0}
table{border-collapse:collapse;margin:.4rem 0 1rem;font-variant-numeric:tabular-nums}
caption{text-align:left;font-weight:600;padding:.2rem 0}
th,td{padding:.2rem .6rem;border-bottom:1px solid #d6d6d6;vertical-align:top}
thead th{border-bottom:2px solid #888;text-align:left}
th[scope=row],th[scope=rowgroup]{text-align:left;font-weight:600}
.n,.nw{white-space:nowrap}.n{text-align:right}
table.bins th{white-space:nowrap}
/* Breakdown tables are the bulk of a large page: alignment by position, not a class per cell. */
table.by td{text-align:right;white-space:nowrap}
table.by td:first-of-type{text-align:left}
thead th.n{text-align:right}
tbody.level tr:last-child td,tbody.level th{border-bottom:1px solid #999}
small{color:#555;font-weight:400}
.pair{display:flex;flex-wrap:wrap;gap:.5rem 2rem;align-items:flex-start}
figure{margin:.4rem 0}
figcaption{font-size:.9rem;color:#333}
svg{display:block;max-width:100%;height:auto;font-family:inherit}
svg text{fill:#1b1b1b;font-size:12px}
ul.legend{list-style:none;padding:0;margin:.3rem 0;display:flex;flex-wrap:wrap;gap:.2rem 1rem}
ul.legend span{display:inline-block;width:.9em;height:.9em;margin-right:.3em;
vertical-align:-.1em;border:1px solid #555}
details summary{cursor:pointer;color:#234;margin:.2rem 0}
nav ol{columns:2;margin:.3rem 0}
@page{size:A4;margin:12mm}
@media print{
body{max-width:none;padding:0;font-size:10pt}
nav,details>summary{display:none}
details::details-content{content-visibility:visible;display:block}
figure,section.model,table.small,tbody.level{break-inside:avoid}
h2,h3,thead{break-after:avoid}
.pair{display:block}
.pair>div{display:flex;gap:2rem;align-items:flex-start}
/* The histogram's numbers in columns, so a model and its numbers share one page. */
table.bins{display:block}
table.bins caption{display:block}
table.bins thead{display:none}
table.bins tbody{display:grid;grid-template-rows:repeat(var(--rows),auto);grid-auto-flow:column;
column-gap:1.5rem}
table.bins tr{display:flex;justify-content:space-between;gap:.8rem;border-bottom:1px solid #d6d6d6}
table.bins th,table.bins td{border:0;padding:.05rem .1rem}
a{color:inherit;text-decoration:none}
}
"""


def render(data: dict[str, Any]) -> str:
    """The whole page for one cohort's aggregates (counts may be texts such as "<10", shares
    and medians None where they are left out)."""
    models = data.get("models") or []
    bands = data.get("bands") or []
    colors = {b["label"]: BAND_COLORS[i % len(BAND_COLORS)] for i, b in enumerate(bands)}
    short = {m["column"]: _short_name(m) for m in models}
    title = _text(data.get("title") or "Cardiovascular risk of a cohort")
    groups = data.get("groups") or []
    parts = [
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n",
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n",
        f"<title>{title}</title>\n<style>\n{CSS}</style>\n</head>\n<body>\n",
        f"<header>\n<h1>{title}</h1>\n{_meta(data)}</header>\n",
        _contents(models, groups),
        "<main>\n",
        _summary(data, models, short),
        _options(data.get("options") or {}),
        '<section id="models" aria-labelledby="models-h">\n',
        '<h2 id="models-h">Risk by model</h2>\n',
        _legend(bands, colors),
    ]
    parts += [_model(i, m, colors) for i, m in enumerate(models)]
    parts.append("</section>\n")
    parts += [_group(i, g, models, short, bands, colors) for i, g in enumerate(groups)]
    parts += [_refusals(data, models), _inputs(data), _notes(data)]
    parts.append("</main>\n</body>\n</html>\n")
    return "".join(parts)


def _short_name(model: dict[str, Any]) -> str:
    """"CVD 10-yr" for the 10-year total CVD model: what tables with many models show."""
    outcome = model.get("outcome")
    if outcome is None or model.get("horizon") is None:
        return str(model.get("column", ""))
    return f"{SHORT_OUTCOMES.get(outcome, str(outcome).upper())} {model['horizon']}-yr"


# --- values --------------------------------------------------------------------------------


def _text(value: Any) -> str:
    return escape(str(value), quote=True)


def _count(value: Any) -> str:
    """An integer with thousands separators; a suppressed count as the text it came as."""
    if value is None:
        return DASH
    if isinstance(value, int) and not isinstance(value, bool):
        return f"{value:,}"
    if isinstance(value, float) and value.is_integer():
        return f"{int(value):,}"
    return _text(value)


def _percent(value: Any) -> str:
    """A risk already in percent, one decimal."""
    return DASH if value is None else f"{value:.1f}%"


def _share(value: Any) -> str:
    """A fraction of the scored patients, as a percentage with one decimal."""
    return DASH if value is None else f"{100 * value:.1f}%"


def _median(entry: dict[str, Any]) -> str:
    median = entry.get("median")
    if median is None:
        return DASH
    q1, q3 = entry.get("q1"), entry.get("q3")
    if q1 is None or q3 is None:
        return _percent(median)
    return f"{_percent(median)} ({q1:.1f}{DASH}{q3:.1f})"


def _is_count(value: Any) -> bool:
    """Whether a count is a number one may draw: suppressed ones arrive as texts."""
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _band_cell(band: dict[str, Any] | None) -> str:
    """A band's share; where the share is left out, the suppressed count says why."""
    if band is None:
        return DASH
    if band.get("share") is not None:
        return _share(band["share"])
    count = band.get("count")
    return _count(count) if isinstance(count, str) else DASH


def _edge(value: float) -> str:
    return f"{value:g}"


def _bins(edges: list[float]) -> list[str]:
    """Each bin's label; the last bin is open-ended when its upper edge is 100%."""
    labels = [f"{_edge(lo)}{DASH}{_edge(hi)}" for lo, hi in zip(edges, edges[1:])]
    if labels and edges[-1] >= 100:
        labels[-1] = f"\u2265{_edge(edges[-2])}"
    return labels


def _step(peak: float) -> float:
    """A round step (1, 2 or 5 times a power of ten) giving four or five gridlines up to peak."""
    if peak <= 0:
        return 1.0
    raw = peak / 4
    power = 10.0 ** math.floor(math.log10(raw))
    for factor in (1, 2, 2.5, 5, 10):
        if factor * power >= raw:
            return max(factor * power, 1.0)
    return 10 * power


def _num(value: float) -> str:
    """A coordinate: short, since the group charts draw thousands of them."""
    return f"{value:.1f}".rstrip("0").rstrip(".")


# --- header and summary --------------------------------------------------------------------


def _meta(data: dict[str, Any]) -> str:
    min_cell = data.get("min_cell")
    suppression = ("none" if min_cell is None
                   else f"counts from 1 to {_count(min_cell - 1) if _is_count(min_cell) else '?'}"
                   f" are shown as &lt;{_count(min_cell)}")
    rows = [("Input", _text(data.get("input", DASH))), ("Created", _text(data.get("created", DASH))),
            ("corvane version", _text(data.get("version", DASH))),
            ("Small counts", suppression)]
    return ('<dl class="meta">\n' + "".join(f"<dt>{k}</dt><dd>{v}</dd>\n" for k, v in rows)
            + "</dl>\n")


def _contents(models: list[dict[str, Any]], groups: list[dict[str, Any]]) -> str:
    links = [("summary", "Summary"), ("options", "Options used"), ("models", "Risk by model")]
    links += [(f"g{i}", f"By {_text(g.get('title', g.get('name', '')))}")
              for i, g in enumerate(groups)]
    links += [("refusals", "Why rows were not scored"), ("inputs", "Input completeness"),
              ("notes", "Notes")]
    items = "".join(f'<li><a href="#{k}">{v}</a></li>' for k, v in links)
    return f'<nav aria-label="Contents">\n<ol>{items}</ol>\n</nav>\n'


def _summary(data: dict[str, Any], models: list[dict[str, Any]], short: dict[str, str]) -> str:
    rows = data.get("rows") or {}
    names = {"read": "Rows read", "scored_by_every_model": "Rows scored by every model",
             "unreadable": "Rows that could not be read"}
    body = "".join(f'<tr><th scope="row">{_text(names.get(k, k))}</th>'
                   f'<td class="n">{_count(v)}</td></tr>\n' for k, v in rows.items())
    out = ['<section id="summary" aria-labelledby="summary-h">\n<h2 id="summary-h">Summary</h2>\n',
           f'<table class="small">\n<caption>Rows</caption>\n<tbody>\n{body}</tbody>\n</table>\n',
           '<table class="small">\n<caption>Patients per model</caption>\n<thead><tr>'
           '<th scope="col">Model</th><th scope="col">Short name</th>'
           '<th scope="col" class="n">Scored</th><th scope="col" class="n">Refused</th>'
           '<th scope="col" class="n">Unreadable</th>'
           '<th scope="col" class="n">Median risk (Q1&#8211;Q3)</th></tr></thead>\n<tbody>\n']
    for m in models:
        out.append(f'<tr><th scope="row">{_text(m.get("title", m["column"]))}</th>'
                   f'<td class="nw">{_text(short[m["column"]])}</td>'
                   f'<td class="n">{_count(m.get("scored"))}</td>'
                   f'<td class="n">{_count(m.get("refused"))}</td>'
                   f'<td class="n">{_count(m.get("unreadable"))}</td>'
                   f'<td class="n">{_median(m)}</td></tr>\n')
    out.append("</tbody>\n</table>\n</section>\n")
    return "".join(out)


def _option_value(value: Any) -> str:
    """Lists as "a, b", mappings as "key = value", nested ones as "key: (...)"."""
    if value is None:
        return DASH
    if isinstance(value, dict):
        if not value:
            return DASH
        return "; ".join(f"{_text(k)}: {_option_value(v)}" if isinstance(v, dict)
                         else f"{_text(k)} = {_option_value(v)}" for k, v in value.items())
    if isinstance(value, (list, tuple)):
        return ", ".join(_option_value(v) for v in value) if value else DASH
    return _text(value)


def _options(options: dict[str, Any]) -> str:
    body = "".join(f'<tr><th scope="row">{_text(k)}</th><td>{_option_value(v)}</td></tr>\n'
                   for k, v in options.items())
    return ('<section id="options" aria-labelledby="options-h">\n'
            '<h2 id="options-h">Options used</h2>\n<p>The run can be repeated with these.</p>\n'
            f'<table class="small">\n<tbody>\n{body}</tbody>\n</table>\n</section>\n')


def _legend(bands: list[dict[str, Any]], colors: dict[str, str]) -> str:
    items = "".join(f'<li><span style="background:{colors[b["label"]]}"></span>'
                    f'{_text(b["label"])}</li>' for b in bands)
    items += f'<li><span style="background:{TRACK_COLOR}"></span>left out</li>'
    return f'<ul class="legend" aria-label="Risk bands">{items}</ul>\n'


# --- one model -----------------------------------------------------------------------------


def _model(index: int, model: dict[str, Any], colors: dict[str, str]) -> str:
    title = _text(model.get("title", model["column"]))
    anchor = f"m{index}"
    bands = model.get("bands") or []
    band_rows = "".join(
        f'<tr><th scope="row" class="nw">{_text(b["label"])}</th>'
        f'<td class="n">{_count(b.get("count"))}</td>'
        f'<td class="n">{_share(b.get("share"))}</td></tr>\n' for b in bands)
    histogram = model.get("histogram") or {}
    edges, counts = histogram.get("edges") or [], histogram.get("counts") or []
    bin_rows = "".join(f'<tr><th scope="row">{lab}</th><td class="n">{_count(c)}</td></tr>\n'
                       for lab, c in zip(_bins(edges), counts))
    return (
        f'<section class="model" id="{anchor}" aria-labelledby="{anchor}-h">\n'
        f'<h3 id="{anchor}-h">{title}</h3>\n'
        f"<p>{_scored_line(model)}</p>\n"
        '<div class="pair">\n<figure>\n'
        f"{_histogram_svg(title, model, edges, counts)}\n"
        f"{_bands_svg(title, bands, colors)}\n</figure>\n<div>\n"
        f'<table class="small">\n<caption>Patients per risk band</caption>\n<thead><tr>'
        '<th scope="col">Band</th><th scope="col" class="n">Patients</th>'
        f'<th scope="col" class="n">Share</th></tr></thead>\n<tbody>\n{band_rows}</tbody>\n'
        "</table>\n"
        "<details>\n<summary>The histogram's numbers</summary>\n"
        f'<table class="bins" style="--rows:{math.ceil(len(counts) / 4)}">\n'
        "<caption>Patients per 1% of risk</caption>\n<thead><tr><th scope=\"col\">Risk (%)</th>"
        f'<th scope="col" class="n">Patients</th></tr></thead>\n<tbody>\n{bin_rows}'
        "</tbody>\n</table>\n</details>\n</div>\n</div>\n</section>\n")


def _scored_line(model: dict[str, Any]) -> str:
    if model.get("scored") == 0:
        return "No patient was scored by this model."
    return f'Scored {_count(model.get("scored"))}; median risk {_median(model)}.'


def _histogram_svg(title: str, model: dict[str, Any], edges: list[float],
                   counts: list[Any]) -> str:
    width, height = 600, 250
    left, right, top, bottom = 76, 12, 12, 46
    plot_w, plot_h = width - left - right, height - top - bottom
    drawn = [c for c in counts if _is_count(c)]
    step = _step(max(drawn, default=0))
    ceiling = step * max(1, math.ceil(max(drawn, default=0) / step))
    label = (f"Histogram of {title} risk: {_count(model.get('scored'))} patients scored, "
             f"median {_median(model)}. Its numbers are in the table beside it.")
    out = [f'<svg role="img" aria-label="{label}" width="{width}" height="{height}" '
           f'viewBox="0 0 {width} {height}" xmlns="http://www.w3.org/2000/svg">'
           f"<title>{label}</title>"]
    # Nothing drawn: a scale would only suggest a count of one.
    ticks = [k * step for k in range(int(round(ceiling / step)) + 1)] if any(drawn) else [0]
    for t in ticks:
        y = top + plot_h - plot_h * t / ceiling
        out.append(f'<line x1="{left}" x2="{width - right}" y1="{_num(y)}" y2="{_num(y)}" '
                   'stroke="#ddd"/>'
                   f'<text x="{left - 6}" y="{_num(y + 4)}" text-anchor="end">'
                   f"{_count(int(t)) if float(t).is_integer() else t}</text>")
    n = len(counts)
    slot = plot_w / max(n, 1)
    for i, c in enumerate(counts):
        if _is_count(c) and c > 0:
            h = plot_h * c / ceiling
            out.append(f'<rect x="{_num(left + i * slot + 1)}" y="{_num(top + plot_h - h)}" '
                       f'width="{_num(max(slot - 2, 1))}" height="{_num(h)}" '
                       f'fill="{BAR_COLOR}"/>')
    base = top + plot_h
    out.append(f'<line x1="{left}" x2="{width - right}" y1="{base}" y2="{base}" stroke="#333"/>')
    open_end = len(edges) >= 2 and edges[-1] >= 100
    inner = n - 1 if open_end else n
    every = max(1, math.ceil(inner / 6))
    for i in range(0, inner + (0 if open_end else 1), every):
        x = left + i * slot
        out.append(f'<line x1="{_num(x)}" x2="{_num(x)}" y1="{base}" y2="{base + 4}" '
                   f'stroke="#333"/><text x="{_num(x)}" y="{base + 17}" text-anchor="middle">'
                   f"{_edge(edges[i])}</text>")
    if open_end and n:
        x = left + (n - 0.5) * slot
        out.append(f'<text x="{_num(x)}" y="{base + 17}" text-anchor="middle">'
                   f"\u2265{_edge(edges[-2])}</text>")
    out.append(f'<text x="{left + plot_w / 2:.0f}" y="{height - 6}" text-anchor="middle">'
               "Estimated risk (%)</text>"
               f'<text transform="translate(14 {top + plot_h / 2:.0f}) rotate(-90)" '
               'text-anchor="middle">Patients</text>')
    if not drawn or max(drawn) == 0:
        out.append(f'<text x="{left + plot_w / 2:.0f}" y="{top + plot_h / 2:.0f}" '
                   'text-anchor="middle">No patient scored</text>')
    out.append("</svg>")
    return "".join(out)


def _bands_svg(title: str, bands: list[dict[str, Any]], colors: dict[str, str]) -> str:
    row, label_w, bar_w = 26, 78, 360
    width, height = 600, row * len(bands) + 8
    label = f"Patients per risk band, {title}. Counts and shares are in the table beside it."
    out = [f'<svg role="img" aria-label="{label}" width="{width}" height="{height}" '
           f'viewBox="0 0 {width} {height}" xmlns="http://www.w3.org/2000/svg">'
           f"<title>{label}</title>"]
    for i, b in enumerate(bands):
        y = 4 + i * row
        share = b.get("share")
        out.append(f'<text x="{label_w - 8}" y="{y + 17}" text-anchor="end">'
                   f'{_text(b["label"])}</text>'
                   f'<rect x="{label_w}" y="{y + 3}" width="{bar_w}" height="{row - 8}" '
                   f'fill="#f2f2f2"/>')
        w = 0.0
        if share is not None:
            w = bar_w * share
            out.append(f'<rect x="{label_w}" y="{y + 3}" width="{_num(w)}" height="{row - 8}" '
                       f'fill="{colors.get(b["label"], BAR_COLOR)}" stroke="#444" '
                       'stroke-width=".6"/>')
        text = _count(b.get("count"))
        if share is not None:
            text += f" ({_share(share)})"
        out.append(f'<text x="{label_w + bar_w + 8}" y="{y + 17}">{text}</text>')
    out.append("</svg>")
    return "".join(out)


# --- breakdowns ----------------------------------------------------------------------------


def _group(index: int, group: dict[str, Any], models: list[dict[str, Any]],
           short: dict[str, str], bands: list[dict[str, Any]], colors: dict[str, str]) -> str:
    anchor = f"g{index}"
    title = _text(group.get("title", group.get("name", "")))
    levels = group.get("levels") or []
    order = [m["column"] for m in models]
    head = "".join(f'<th scope="col" class="n">{_text(b["label"])}</th>' for b in bands)
    out = [f'<section id="{anchor}" aria-labelledby="{anchor}-h">\n'
           f'<h2 id="{anchor}-h">By {title}</h2>\n<figure>\n',
           _group_svg(title, levels, order, short, bands, colors),
           f"\n<figcaption>Share of each level's scored patients in each risk band, per model."
           f"</figcaption>\n{_legend(bands, colors)}</figure>\n",
           f'<table class="by">\n<caption>By {title}: scored patients, median risk and share '
           'per band</caption>\n<thead><tr><th scope="col">Level</th><th scope="col">Model</th>'
           '<th scope="col" class="n">Scored</th>'
           f'<th scope="col" class="n">Median (Q1&#8211;Q3)</th>{head}</tr></thead>\n']
    for level in levels:
        entries = _by_model(level, order)
        name = (f'{_text(level.get("level", ""))}<br><small>{_count(level.get("rows"))} rows'
                "</small>")
        out.append('<tbody class="level">\n')
        for k, (column, e) in enumerate(entries):
            lead = (f'<th scope="rowgroup" rowspan="{len(entries)}">{name}</th>' if k == 0
                    else "")
            by_label = {b.get("label"): b for b in e.get("bands") or []}
            cells = "".join(f"<td>{_band_cell(by_label.get(b['label']))}</td>"
                            for b in bands)
            out.append(f"<tr>{lead}<td>{_text(short.get(column, column))}</td>"
                       f"<td>{_count(e.get('scored'))}</td><td>{_median(e)}</td>{cells}</tr>\n")
        if not entries:
            out.append(f'<tr><th scope="rowgroup">{name}</th>'
                       f'<td colspan="{3 + len(bands)}">{DASH}</td></tr>\n')
        out.append("</tbody>\n")
    out.append("</table>\n</section>\n")
    return "".join(out)


def _by_model(level: dict[str, Any], order: list[str]) -> list[tuple[str, dict[str, Any]]]:
    """The level's entries in the report's model order; models the level lacks are skipped."""
    entries = {e.get("column"): e for e in level.get("models") or []}
    return [(c, entries[c]) for c in order if c in entries]


def _placed(shares: list[float | None]) -> list[tuple[int, float, float]]:
    """(band, start, width) of the bands one can place on a bar of total 1: the known run from
    the left and the known run from the right. What lies between stays blank, so a bar never
    shows more than the table does."""
    placed, start = [], 0.0
    first_unknown = len(shares)
    for i, s in enumerate(shares):
        if s is None:
            first_unknown = i
            break
        placed.append((i, start, s))
        start += s
    end = 1.0
    for i in range(len(shares) - 1, first_unknown, -1):
        if shares[i] is None:
            break
        end -= shares[i]
        placed.append((i, end, shares[i]))
    return placed


def _group_svg(title: str, levels: list[dict[str, Any]], order: list[str],
               short: dict[str, str], bands: list[dict[str, Any]], colors: dict[str, str]) -> str:
    """Small multiples: a row per level, a panel per model, one stacked bar of band shares each.
    One path per band colour keeps a chart of many levels small."""
    row, label_w, panel_w, gap, head = 16, 170, 104, 20, 22
    width = label_w + len(order) * (panel_w + gap)
    height = head + row * len(levels) + 22
    label = (f"Share of patients in each risk band by {title}, one bar per level and model. "
             "The numbers are in the table below.")
    out = [f'<svg role="img" aria-label="{label}" width="{width}" height="{height}" '
           f'viewBox="0 0 {width} {height}" xmlns="http://www.w3.org/2000/svg">'
           f"<title>{label}</title>"]
    paths: list[list[str]] = [[] for _ in bands]
    tracks = []
    for j, column in enumerate(order):
        x0 = label_w + j * (panel_w + gap)
        out.append(f'<text x="{x0 + panel_w / 2:.0f}" y="15" text-anchor="middle">'
                   f"{_text(short.get(column, column))}</text>")
        bottom = head + row * len(levels) + 14
        for frac, anchor in ((0, "start"), (0.5, "middle"), (1, "end")):
            out.append(f'<text x="{_num(x0 + panel_w * frac)}" y="{bottom}" '
                       f'text-anchor="{anchor}" font-size="10">{int(frac * 100)}%</text>')
    for r, level in enumerate(levels):
        y = head + r * row
        name = str(level.get("level", ""))
        if len(name) > LEVEL_CHARS:
            name = name[: LEVEL_CHARS - 1] + "\u2026"
        out.append(f'<text x="{label_w - 8}" y="{y + 11}" text-anchor="end">{_text(name)}</text>')
        entries = dict(_by_model(level, order))
        for j, column in enumerate(order):
            x0 = label_w + j * (panel_w + gap)
            entry = entries.get(column)
            if entry is None or entry.get("scored") == 0:
                continue  # nobody to show: no track either, so it does not read as left out
            tracks.append(f"M{_num(x0)} {y + 2}h{panel_w}v11h-{panel_w}z")
            by_label = {b.get("label"): b.get("share") for b in entry.get("bands") or []}
            shares = [by_label.get(b["label"]) for b in bands]
            for band, start, share in _placed(shares):
                if share > 0:
                    paths[band].append(f"M{_num(x0 + panel_w * start)} {y + 2}"
                                       f"h{_num(panel_w * share)}v11h-{_num(panel_w * share)}z")
    out.insert(1, f'<path fill="{TRACK_COLOR}" d="{"".join(tracks)}"/>')
    for band, d in zip(bands, paths):
        if d:
            out.append(f'<path fill="{colors[band["label"]]}" d="{"".join(d)}"/>')
    out.append("</svg>")
    return "".join(out)


# --- refusals, inputs, notes ---------------------------------------------------------------


def _refusals(data: dict[str, Any], models: list[dict[str, Any]]) -> str:
    refusals = data.get("refusals") or []
    horizons = [str(h) for h in (data.get("options") or {}).get("horizons") or []]
    horizons = list(dict.fromkeys(horizons + [str(m.get("horizon")) for m in models
                                              if m.get("horizon") is not None]))
    for r in refusals:
        horizons += [h for h in r.get("counts") or {} if h not in horizons]
    head = "".join(f'<th scope="col" class="n">{_text(h)}-year models</th>' for h in horizons)
    body = "".join(
        f'<tr><th scope="row">{_text(r.get("reason", ""))}</th>'
        + "".join(f'<td class="n">{_count((r.get("counts") or {}).get(h))}</td>'
                  for h in horizons) + "</tr>\n" for r in refusals)
    if not refusals:
        body = f'<tr><td colspan="{1 + len(horizons)}">Every readable row was scored.</td></tr>\n'
    return ('<section id="refusals" aria-labelledby="refusals-h">\n'
            '<h2 id="refusals-h">Why rows were not scored</h2>\n'
            "<table>\n<caption>Rows refused, by reason, most frequent first</caption>\n"
            f'<thead><tr><th scope="col">Reason</th>{head}</tr></thead>\n'
            f"<tbody>\n{body}</tbody>\n</table>\n</section>\n")


def _inputs(data: dict[str, Any]) -> str:
    body = "".join(
        f'<tr><th scope="row">{_text(r.get("input", ""))}</th><td>{_text(r.get("column", ""))}'
        f'</td><td class="n">{_count(r.get("missing"))}</td>'
        f'<td class="n">{_count(r.get("unreadable"))}</td>'
        f'<td class="n">{_count(r.get("out_of_range"))}</td></tr>\n'
        for r in data.get("inputs") or [])
    return ('<section id="inputs" aria-labelledby="inputs-h">\n'
            '<h2 id="inputs-h">Input completeness</h2>\n'
            "<table>\n<caption>Cells per input that were missing, unreadable or out of range"
            '</caption>\n<thead><tr><th scope="col">Input</th><th scope="col">Column read</th>'
            '<th scope="col" class="n">Missing</th><th scope="col" class="n">Unreadable</th>'
            '<th scope="col" class="n">Out of range</th></tr></thead>\n'
            f"<tbody>\n{body}</tbody>\n</table>\n</section>\n")


def _notes(data: dict[str, Any]) -> str:
    items = "".join(f"<li>{_text(n)}</li>\n" for n in data.get("notes") or [])
    return ('<section id="notes" aria-labelledby="notes-h">\n<h2 id="notes-h">Notes</h2>\n'
            f"<ul>\n{items}</ul>\n</section>\n")
