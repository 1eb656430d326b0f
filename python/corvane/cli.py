"""The ``corvane`` command: score a cohort CSV, or summarise the bundled sample cohort."""

from __future__ import annotations

import argparse
import collections
import csv
import io
import os
import statistics
import sys
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from importlib import resources
from typing import IO

import numpy as np

from . import HORIZONS, INPUT_COLUMNS, OUTCOMES, Scores, _columns, _results, risk_column
from ._columns import FAST_CODES as _FAST_CODES
from ._columns import FLAG as _FLAG
from ._columns import KINDS as _KINDS
from ._columns import SEX as _SEX
from ._scoring import resolve_models as _resolve_models

SAMPLE = "data/sample_cohort.csv"
DEFAULT_CHUNK_BYTES = 4 << 20
EXIT_OK, EXIT_ROWS_FAILED, EXIT_USAGE = 0, 1, 2

OUTCOME_TITLES = {
    "cvd": "total cardiovascular disease",
    "ascvd": "atherosclerotic cardiovascular disease",
    "hf": "heart failure",
}
BANDS = ((0.0, 5.0, "<5%"), (5.0, 7.5, "5-7.5%"), (7.5, 20.0, "7.5-20%"), (20.0, np.inf, ">=20%"))
_FLAG_COLUMNS = [j for j, kind in enumerate(_KINDS) if kind == _FLAG]


class UsageError(Exception):
    """A problem with the command line or the input as a whole: exit status 2."""


@dataclass
class Layout:
    """Where the inputs sit in the file's columns."""

    width: int
    positions: list[int]  # file column of each INPUT_COLUMNS entry


@dataclass
class Chunk:
    """Scored rows of one block of input lines, in input order."""

    passthrough: list[str]  # each row's input columns, as CSV text
    scores: Scores


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line ``argv`` (default ``sys.argv[1:]``); return the exit status."""
    parser = _parser()
    args = parser.parse_args(argv)
    outcomes = _split_choices(parser, "--outcomes", args.outcomes, OUTCOMES)
    horizons = _split_choices(parser, "--horizons", args.horizons, HORIZONS)
    if args.chunk_bytes < 1:
        parser.error("argument --chunk-bytes: must be positive")
    try:
        models = _resolve_models(outcomes, horizons)
        if args.file is None:
            return _summarise_sample(models, args.output, args.chunk_bytes)
        return _score_file(args.file, args.output, models, args.chunk_bytes)
    except UsageError as e:
        print(f"corvane: {e}", file=sys.stderr)
        return EXIT_USAGE
    except KeyboardInterrupt:
        print(file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (e.g. `| head`): stop quietly, and keep Python from
        # complaining again while it flushes stdout at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_ROWS_FAILED


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="corvane",
        description="Cardiovascular risk (total CVD, ASCVD, heart failure; 10 and 30 years)"
        " for every patient of a cohort file.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    score = commands.add_parser(
        "score",
        help="score a cohort CSV",
        description="Score every row of a CSV cohort file. The output repeats the input"
        " columns and adds one risk column (a percentage) per outcome and horizon and an"
        " 'error' column saying why a risk is missing. Without FILE, the bundled synthetic"
        " sample cohort is scored and summarised (and with -o, its scored rows written).",
        epilog="Required columns: " + ", ".join(INPUT_COLUMNS) + ". sex is male/female (any"
        " case) or 1/0; flags are 0/1, true/false or yes/no. Exit status: 0 when every row"
        " was scored, 1 when some row was refused or malformed (the run still completes), 2"
        " when the input cannot be read at all (e.g. a missing column). Summarising the"
        " bundled sample exits with 0: its refused rows are there on purpose.",
    )
    score.add_argument(
        "file", nargs="?", metavar="FILE", help="CSV file with a header line, or - for stdin"
    )
    score.add_argument("-o", "--output", metavar="OUT", help="write here instead of stdout")
    score.add_argument(
        "--outcomes",
        nargs="+",
        action="extend",
        metavar="OUTCOME",
        help="any of cvd, ascvd, hf (default: all)",
    )
    score.add_argument(
        "--horizons",
        nargs="+",
        action="extend",
        metavar="YEARS",
        help="10 and/or 30 (default: both)",
    )
    score.add_argument(
        "--chunk-bytes",
        type=int,
        default=DEFAULT_CHUNK_BYTES,
        metavar="N",
        help="read the input about N bytes at a time; memory use follows (default 4 MiB)",
    )
    return parser


def _split_choices(
    parser: argparse.ArgumentParser, option: str, given: list[str] | None, allowed: Sequence
) -> list:
    # "--outcomes cvd hf" and "--outcomes cvd,hf" mean the same.
    chosen = []
    for part in ",".join(given or []).split(","):
        if not part.strip():
            continue
        match = [a for a in allowed if str(a) == part.strip().lower()]
        if not match:
            choices = ", ".join(map(str, allowed))
            parser.error(f"argument {option}: invalid choice {part!r} (choose from {choices})")
        chosen.append(match[0])
    return chosen or list(allowed)


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("corvane")
    except PackageNotFoundError:
        return "unknown"


# Reading ------------------------------------------------------------------------------------


def _has_message(messages: np.ndarray) -> np.ndarray:
    """Which rows of a message column hold a message (None is falsy, a message is not)."""
    return messages.astype(bool)


def _decode_columns(columns: Sequence[list[str]]) -> tuple[np.ndarray, dict[int, list[str]]]:
    """The (n, 11) values of text columns, and each unreadable row's reasons."""
    n = len(columns[0])
    values = np.empty((n, len(INPUT_COLUMNS)), dtype=np.float64)
    bad = np.zeros(n, dtype=bool)
    decoded = []
    for j, (name, kind, column) in enumerate(zip(INPUT_COLUMNS, _KINDS, columns)):
        array = np.empty(n, dtype=object)
        array[:] = column
        decoded.append(_columns.read_column(name, kind, array))
        values[:, j] = decoded[-1].values
        bad |= np.isnan(values[:, j]) if kind == "number" else values[:, j] < 0
    rows = np.flatnonzero(bad)
    problems: dict[int, list[str]] = {int(r): [] for r in rows}
    for column in decoded:
        bad, reasons = column.reasons(rows)
        for r, reason in zip(rows[bad].tolist(), reasons[bad].tolist()):
            problems[r].append(reason)
    return values, problems


def _score_values(values: np.ndarray, problems: dict, models) -> Scores:
    """Scores of decoded rows; a row with problems is refused with their "; "-joined text."""
    n = len(values)
    rows = np.fromiter(problems.keys(), np.intp, len(problems))
    texts = np.empty(len(rows), dtype=object)
    texts[:] = [r if isinstance(r, str) else "; ".join(r) for r in problems.values()]
    missing = np.zeros(n, dtype=bool)
    missing[rows] = True
    lookup = np.full(n, None, dtype=object)
    lookup[rows] = texts
    columns = [
        _columns.EngineColumn(
            values[:, j],
            missing if j == 0 else None,
            (lambda r: (missing[r], lookup[r]))
            if j == 0
            else (lambda r: (np.zeros(len(r), bool), np.full(len(r), None, object))),
        )
        for j in range(len(INPUT_COLUMNS))
    ]
    for j, kind in enumerate(_KINDS):
        if kind != "number":  # a row with problems may hold -1 codes; they are masked anyway
            columns[j].values = np.where(missing, 0.0, values[:, j])
    return _results.as_scores(_columns.InputTable(n, columns), models, False)


def _read_header(stream: IO[bytes], name: str, models: Sequence[tuple[str, int]]):
    """The header line's text and the layout of the required columns in it."""
    raw = stream.readline()
    text = raw.decode("utf-8", "surrogateescape").removeprefix("\ufeff").rstrip("\r\n")
    if not text.strip():
        raise UsageError(f"{name}: no header line (expected column names)")
    fields = next(csv.reader([text]))
    keys = [f.strip().lower() for f in fields]
    positions = []
    missing = []
    for column in INPUT_COLUMNS:
        if keys.count(column) > 1:
            raise UsageError(f"{name}: column '{column}' appears more than once in the header")
        if column in keys:
            positions.append(keys.index(column))
        else:
            missing.append(column)
    if missing:
        listed = ", ".join(f"'{m}'" for m in missing)
        raise UsageError(
            f"{name}: missing column{'s' * (len(missing) > 1)} {listed} in the header"
            f" (found: {', '.join(fields)})"
        )
    for column in [risk_column(o, h) for o, h in models] + ["error"]:
        if column in keys:
            raise UsageError(f"{name}: the input already has an output column '{column}'")
    return text, Layout(width=len(fields), positions=positions)


def _blocks(stream: IO[bytes], size: int) -> Iterator[bytes]:
    """The stream in pieces of about ``size`` bytes, each ending at a line end."""
    rest = b""
    while True:
        data = stream.read(size)
        if not data:
            if rest:
                yield rest
            return
        data = rest + data
        cut = data.rfind(b"\n") + 1
        rest = data[cut:]
        if cut:
            yield data[:cut]


def _lines(block: bytes) -> list[str]:
    text = block.decode("utf-8", "surrogateescape")
    if "\r" in text:
        text = text.replace("\r\n", "\n")
    lines = text.split("\n")
    if lines[-1] == "":
        lines.pop()
    elif lines[-1].endswith("\r"):  # a last line ended by a lone CR
        lines[-1] = lines[-1][:-1]
    return lines


def _parse_lines(lines: list[str], first_line: int, layout: Layout):
    """Decode a block of lines: (values, problems by row, passthrough text by row)."""
    values = _parse_regular(lines, layout)
    if values is not None:
        return values, {}, lines
    return _parse_irregular(lines, first_line, layout)


def _parse_regular(lines: list[str], layout: Layout) -> np.ndarray | None:
    """Fast path for a block of plain, well-formed rows; None if the block is not one."""
    commas = list(map(str.count, lines, [","] * len(lines)))
    if not lines or commas.count(layout.width - 1) != len(lines):
        return None
    if any(map(str.__contains__, lines, ['"'] * len(lines))):
        return None
    try:
        values = np.loadtxt(
            lines,
            dtype=np.float64,
            delimiter=",",
            comments=None,
            quotechar=None,
            usecols=layout.positions,
            converters={layout.positions[0]: _FAST_CODES[_SEX].__getitem__},
            ndmin=2,
        )
    except (ValueError, KeyError):
        return None
    # loadtxt reads "nan" and any number for a flag: let the careful path explain those.
    flags = values[:, _FLAG_COLUMNS]
    if np.isnan(values).any() or ((flags != 0.0) & (flags != 1.0)).any():
        return None
    return values


def _parse_irregular(lines: list[str], first_line: int, layout: Layout):
    width = layout.width
    empty = [""] * width
    rows: list[list[str]] = []
    passthrough: list[str] = []
    line_numbers: list[int] = []
    malformed: dict[int, str] = {}
    for number, line in enumerate(lines, first_line):
        if not line.strip():
            continue  # a blank line is not a row
        fields, quoting_error = _split(line)
        if quoting_error or len(fields) != width:
            if quoting_error:
                malformed[len(rows)] = f"line {number}: badly quoted ({quoting_error})"
            else:
                malformed[len(rows)] = f"line {number}: {len(fields)} values instead of {width}"
            fields = (fields + empty)[:width]
            line = _csv_line(fields)
        rows.append(fields)
        passthrough.append(line)
        line_numbers.append(number)
    columns = [[row[p] for row in rows] for p in layout.positions]
    values, problems = _decode_columns(columns)
    reasons = {
        row: f"line {line_numbers[row]}: " + "; ".join(text) for row, text in problems.items()
    }
    reasons.update(malformed)
    return values, reasons, passthrough


def _split(line: str) -> tuple[list[str], str | None]:
    if '"' not in line:
        return line.split(","), None
    try:
        return next(csv.reader([line], strict=True)), None
    except csv.Error as e:
        try:  # keep what a lenient reading finds, for the output's input columns
            fields = next(csv.reader([line]))
        except csv.Error:
            fields = line.split(",")
        return fields, str(e)


def _csv_field(text: str) -> str:
    if any(c in text for c in ',"\r\n'):
        return '"' + text.replace('"', '""') + '"'
    return text


def _csv_line(fields: Sequence[str]) -> str:
    return ",".join(map(_csv_field, fields))


def _scored_chunks(
    stream: IO[bytes],
    layout: Layout,
    models: Sequence[tuple[str, int]],
    chunk_bytes: int,
    progress: _Progress | None = None,
) -> Iterator[Chunk]:
    line = 2  # the header is line 1
    done = 0
    for block in _blocks(stream, chunk_bytes):
        lines = _lines(block)
        values, problems, passthrough = _parse_lines(lines, line, layout)
        line += len(lines)
        done += len(block)
        yield Chunk(passthrough, _score_values(values, problems, models))
        if progress:
            progress.update(done, len(passthrough))


# Writing ------------------------------------------------------------------------------------


def _output_header(header: str, models: Sequence[tuple[str, int]]) -> bytes:
    columns = [risk_column(o, h) for o, h in models] + ["error"]
    return f"{header},{','.join(columns)}\n".encode("utf-8", "surrogateescape")


def _format_chunk(chunk: Chunk) -> str:
    if not chunk.passthrough:
        return ""  # a block of blank lines
    columns = [chunk.passthrough]
    for name, risks in chunk.scores.items():
        if name == "error":
            texts = [""] * len(risks)
            quoted: dict[str, str] = {}  # most rows share a handful of messages
            for i in np.flatnonzero(_has_message(risks)).tolist():
                text = risks[i]
                if text not in quoted:
                    quoted[text] = _csv_field(text)
                texts[i] = quoted[text]
        else:
            # repr is the shortest text that reads back as the same double.
            texts = list(map(float.__repr__, risks.tolist()))
            for i in np.flatnonzero(np.isnan(risks)).tolist():
                texts[i] = ""
        columns.append(texts)
    return "\n".join(map(",".join, zip(*columns))) + "\n"


class _Progress:
    """A one-line progress bar on stderr, drawn only when stderr is a terminal."""

    def __init__(self, total_bytes: int | None) -> None:
        self.total = total_bytes
        self.rows = 0

    @staticmethod
    def wanted(to_stdout: bool) -> bool:
        # Not while the CSV itself goes to the same terminal: the two would garble.
        return sys.stderr.isatty() and not (to_stdout and sys.stdout.isatty())

    def update(self, done_bytes: int, rows: int) -> None:
        self.rows += rows
        if self.total:
            share = min(done_bytes / self.total, 1.0)
            bar = "#" * int(share * 30)
            text = f"[{bar:<30}] {share:4.0%}  {self.rows:,} rows"
        else:
            text = f"{self.rows:,} rows"
        sys.stderr.write(f"\rcorvane: scoring {text}")
        sys.stderr.flush()

    def close(self) -> None:
        sys.stderr.write("\r\033[K")
        sys.stderr.flush()


def _score_file(path: str, output: str | None, models, chunk_bytes: int) -> int:
    name = "stdin" if path == "-" else path
    try:
        stream = sys.stdin.buffer if path == "-" else open(path, "rb")
    except OSError as e:
        raise UsageError(f"cannot read {path}: {e.strerror}") from None
    with stream:
        header, layout = _read_header(stream, name, models)
        out = _open_output(output, path)
        try:
            progress = None
            if _Progress.wanted(out is sys.stdout.buffer):
                size = os.fstat(stream.fileno()).st_size if path != "-" else 0
                progress = _Progress(size or None)
            out.write(_output_header(header, models))
            rows = refused = 0
            for chunk in _scored_chunks(stream, layout, models, chunk_bytes, progress):
                out.write(_format_chunk(chunk).encode("utf-8", "surrogateescape"))
                rows += len(chunk.passthrough)
                refused += int(np.count_nonzero(_has_message(chunk.scores["error"])))
            if progress:
                progress.close()
        finally:
            if out is not sys.stdout.buffer:
                out.close()
            else:
                out.flush()
    if refused:
        print(
            f"corvane: {refused:,} of {rows:,} rows not fully scored;"
            " the error column says why",
            file=sys.stderr,
        )
        return EXIT_ROWS_FAILED
    return EXIT_OK


def _open_output(output: str | None, input_path: str) -> IO[bytes]:
    if output is None or output == "-":
        return sys.stdout.buffer
    if input_path != "-" and os.path.exists(output) and os.path.samefile(output, input_path):
        raise UsageError(f"{output}: refusing to overwrite the input file")
    try:
        return open(output, "wb")
    except OSError as e:
        raise UsageError(f"cannot write {output}: {e.strerror}") from None


# The bundled sample -------------------------------------------------------------------------


def _summarise_sample(models, output: str | None, chunk_bytes: int) -> int:
    with resources.files("corvane").joinpath(SAMPLE).open("rb") as stream:
        header, layout = _read_header(stream, "sample cohort", models)
        chunks = list(_scored_chunks(stream, layout, models, chunk_bytes))
    if output is not None:
        with _open_output(output, "-") as out:
            out.write(_output_header(header, models))
            for chunk in chunks:
                out.write(_format_chunk(chunk).encode("utf-8", "surrogateescape"))
    scores = Scores()
    for name in chunks[0].scores:
        scores[name] = np.concatenate([c.scores[name] for c in chunks])
    for name in chunks[0].scores.messages:
        scores.messages[name] = np.concatenate([c.scores.messages[name] for c in chunks])
    sys.stdout.write(_summary(scores, models))
    sys.stdout.flush()
    return EXIT_OK


def _summary(scores: Scores, models: Sequence[tuple[str, int]]) -> str:
    fancy = _can_print("█▏≥–—")
    n = len(scores["error"])
    unscored = int(np.count_nonzero(_has_message(scores["error"])))
    out = io.StringIO()
    out.write(
        f"corvane {'—' if fancy else '-'} bundled synthetic sample cohort: {n:,} patients,"
        f" {n - unscored:,} scored by every model\n"
        "Estimated risk of each outcome, and how many patients fall in each risk band.\n"
    )
    if any(h == 30 for _, h in models):
        out.write("The 30-year equations cover ages 30-59 only.\n")
    for outcome, horizon in models:
        risks = scores[risk_column(outcome, horizon)]
        out.write(_histogram(f"{horizon}-year {OUTCOME_TITLES[outcome]}", risks, fancy))
    if unscored:
        out.write(_refusals(scores, models))
    out.write("\nScore your own cohort:  corvane score cohort.csv -o scored.csv\n")
    return out.getvalue()


def _histogram(title: str, risks: np.ndarray, fancy: bool) -> str:
    scored = risks[~np.isnan(risks)]
    median = f"median {statistics.median(scored.tolist()):.1f}%" if len(scored) else ""
    lines = [f"\n{title:<48} {len(scored):>6,} scored   {median}"]
    counts = [int(np.count_nonzero((scored >= lo) & (scored < hi))) for lo, hi, _ in BANDS]
    widest = max(counts) or 1
    for (_, _, label), count in zip(BANDS, counts):
        if fancy:
            label = label.replace(">=", "≥").replace("-", "–")
        bar = ("█" if fancy else "#") * round(30 * count / widest)
        if count and not bar:
            bar = "▏" if fancy else "#"  # some, however few
        lines.append(f"   {label:<8} {bar:<30} {count:>6,} {count / max(len(scored), 1):6.1%}")
    return "\n".join(lines) + "\n"


def _refusals(scores: Scores, models: Sequence[tuple[str, int]]) -> str:
    """Rows not scored: range messages counted per horizon, unreadable rows listed."""
    horizons = list(dict.fromkeys(h for _, h in models))
    counts: dict[str, dict[int, int]] = collections.defaultdict(dict)
    unreadable: dict[str, None] = {}
    for horizon in horizons:
        first = next(risk_column(o, h) for o, h in models if h == horizon)
        messages = scores.messages[first]
        for text, count in collections.Counter(messages[_has_message(messages)]).items():
            if text.startswith("line "):
                unreadable[text] = None
            else:
                counts[text][horizon] = count
    heading = "".join(f"{f'{h}-year':>9}" for h in horizons)
    lines = [f"\nRows not scored {'(the error column gives each row its reason)':<50}{heading}"]
    by_total = sorted(counts.items(), key=lambda item: -sum(item[1].values()))
    if unreadable:
        listed = {h: len(unreadable) for h in horizons}
        by_total.append(("unreadable or malformed rows, listed below", listed))
    for text, per_horizon in by_total:
        cells = "".join(f"{per_horizon[h]:>9,}" if h in per_horizon else " " * 8 + "-"
                        for h in horizons)
        lines.append(f"   {text:<63}{cells}")
    lines.extend(f"      {text}" for text in unreadable)
    return "\n".join(lines) + "\n"


def _can_print(text: str) -> bool:
    try:
        text.encode(sys.stdout.encoding or "ascii")
    except (UnicodeEncodeError, LookupError):
        return False
    return True
