"""The ``corvane`` command line: parse it, run the command, turn failures into exit statuses."""

from __future__ import annotations

import argparse
import codecs
import gc
import json
import os
import select
import stat
import sys
import traceback
from collections.abc import Callable, Sequence

from typing import TYPE_CHECKING

from . import HORIZONS, INPUT_COLUMNS, OUTCOMES
from ._names import BANDS, CHOLESTEROL_UNITS, FLAG, KINDS, OUTCOME_TITLES, SEX, risk_column
from ._optional import MissingDependency
from .command import DEFAULT_BATCH_ROWS, MIN_BATCH_ROWS
from .command.errors import (
    CommandError,
    Exit,
    Interrupted,
    OutputError,
    check_stopped,
    fail,
    stop_on_signals,
)

if TYPE_CHECKING:
    from .command.run import Outcome, Request

SAMPLE = "data/sample_cohort.csv"
STDIN_WAIT_SECONDS = 2
MAX_BATCH_ROWS = 10_000_000

READING = """sex is male/female or a number equal to 1/0;
flags are a number equal to 0/1, true/false or yes/no; numbers are plain decimals (55,
5.5e1); na, n/a, nan, null, none and empty cells are missing."""
UNITS_TEXT = """Units: age in years, cholesterol in mg/dL (or mmol/L with
--cholesterol-unit mmol/L), systolic blood pressure in mmHg, BMI in kg/m2, eGFR in
mL/min/1.73 m2."""

EPILOG = f"""\
Columns: {", ".join(INPUT_COLUMNS)} (names match ignoring case and
surrounding spaces; --column maps others). {READING} {UNITS_TEXT}

Exit status: 0 every row was read (rows a model refuses for its ranges are results, with
the reason in the error column); 1 some rows could not be read (still written, in order,
the reason in the error column); 2 usage error or unreadable input (nothing written);
3 the output could not be written (the previous file is left as it was); 4 internal
error; 5 the input broke off after rows had gone to stdout or another stream (what was
written is incomplete; a file is never left so); 130 interrupted (the previous file is left
as it was)."""

# The patient command's parser, the same whether built alone or among the subcommands.
PATIENT_PARSER = dict(
    description=f"""\
Score one patient given by the eleven inputs: print each risk with its band
({", ".join(label for _, _, label in BANDS)}) or the reason the model refused the patient;
with --json, print the result as one JSON object, as corvane.score gives it for a mapping of
these values.""",
    epilog="""\
Exit status: 0 every model scored the patient; 1 some model refused it, or a value could not
be read; 2 usage error.""",
)
PATIENT_METAVARS = {SEX: "male/female", FLAG: "yes/no"}


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line ``argv`` (default ``sys.argv[1:]``); return the exit status."""
    argv = sys.argv[1:] if argv is None else list(argv)
    # Before the heavy imports, a stop is only noted: raised inside one, it could be swallowed
    # or printed as "Exception ignored". It ends the run in one line once they are done.
    stop_on_signals(later=True)
    if argv[:1] == ["patient"]:
        # One patient is scored on the tables path, without polars, which alone takes longer
        # to import than NumPy and the tables layer together.
        patient = argparse.ArgumentParser(prog="corvane patient", **PATIENT_PARSER)
        add_patient_options(patient)
        status = _run_patient(patient, patient.parse_args(argv[1:]))
        return _stopped_or(status)
    _load()
    # After them as well: polars puts a handler of its own in front, one that restarts a read
    # the signal interrupted, so a run blocked on stdin would never see its Ctrl-C.
    stop_on_signals()
    if (stopped := _stopped_or(None)) is not None:
        return stopped
    parser, commands = _parser()
    args, unknown = parser.parse_known_args(argv)
    if unknown:  # the top-level parser would show its own usage, not the command's
        commands[args.command].error(f"unrecognized arguments: {' '.join(unknown)}")
    if args.command == "patient":
        return _run_patient(commands["patient"], args)
    score_parser = commands[args.command]
    request = _score_request(score_parser, args)
    # What exists now outlives the run: its collections need not walk it again. A caller
    # that runs the command in its own process gets its objects back in the collector's care.
    gc.freeze()
    try:
        if getattr(args, "scheduler", None) is not None:
            return _run_dataset(score_parser, args, request)
        return _run_score(request)
    finally:
        gc.unfreeze()


def _stopped_or(status: int | None) -> int | None:
    """Exit.INTERRUPTED, with its line, if a stop was noted; else ``status``."""
    try:
        check_stopped()
    except (KeyboardInterrupt, Interrupted):
        return fail("interrupted", Exit.INTERRUPTED, _fresh_line())
    return status


def _load() -> None:
    """Import what a run needs (polars above all)."""
    # Importing polars makes some hundred thousand objects and none that are garbage: the
    # cycle collector would only walk them over and over (8 ms of the command's start).
    collecting = gc.isenabled()
    gc.disable()
    try:
        from .command import run  # noqa: F401
    finally:
        if collecting:
            gc.enable()


def _parser() -> tuple[argparse.ArgumentParser, dict[str, argparse.ArgumentParser]]:
    parser = argparse.ArgumentParser(
        prog="corvane",
        description="Cardiovascular risk (total CVD, ASCVD, heart failure; 10 and 30 years)"
        " for every patient of a cohort file.",
    )
    parser.add_argument("--version", action=_VersionAction, nargs=0, help="show the version")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    score = commands.add_parser(
        "score",
        help="score a cohort file (CSV, CSV.gz, Parquet or Arrow) or folder",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Score every row of a cohort file: CSV (any of , ; tab | as delimiter,"
        " UTF-8 with or without BOM, gzip-compressed or not), a Parquet or Arrow/Feather file,"
        " or a folder of Parquet or CSV parts as Spark, Dask, DuckDB or pyarrow write it"
        " (markers, checksums and hidden files skipped, parts in natural order, key=value"
        " partition folders kept as columns). The output repeats the input columns as given"
        " and adds one risk column (a percentage) per outcome and horizon and an 'error'"
        " column saying why a risk is missing. It is written in the format of OUT's extension"
        " (.csv, .csv.gz, .tsv, .tsv.gz, .parquet, .jsonl, .arrow; or --format) and appears"
        " only once complete; stdout, /dev/fd/N and pipes take CSV (or --format) as it comes."
        " Without FILE, rows piped to stdin are scored; with nothing piped, the bundled"
        " synthetic sample cohort is scored and summarised.",
        epilog=EPILOG,
    )
    add_score_options(score)
    report = commands.add_parser(
        "report",
        help="an HTML report of a cohort file, or of a file corvane score wrote",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Write one self-contained HTML page about a cohort: rows read, scored and"
        " refused per model; the spread of each risk, its median and quartiles and the risk"
        " bands (<5%, 5-7.5%, 7.5-20%, >=20%), by sex, by age group and by each --by column;"
        " why rows were refused; and how complete each input was. Only aggregates: no"
        " identifier, no row's value. FILE is read as corvane score reads it; a file that"
        " corvane score wrote is reported with its own risk columns. The page needs no network,"
        " opens offline and prints to PDF.",
        epilog=EPILOG,
    )
    add_score_options(report, command="report")
    # What the two read alike, the score options they do not share take as left unset.
    report.set_defaults(format=None, output_delimiter=None, output_decimal=".", report=None,
                        summary=False, overwrite_columns=False, scheduler=None)
    patient = commands.add_parser(
        "patient", help="score one patient given by options (--sex female --age 50 ...)",
        **PATIENT_PARSER,
    )
    add_patient_options(patient)
    return parser, {"score": score, "report": report, "patient": patient}


def add_score_options(score: argparse.ArgumentParser, command: str = "score") -> None:
    """The options of ``corvane score`` (and of ``corvane report``, which reads alike); one
    more option is one more call here."""
    from .command.formats import FORMATS

    score.add_argument(
        "file", nargs="?", metavar="FILE", help="cohort file or folder of parts; - for stdin"
    )
    if command == "report":
        score.add_argument("-o", "--output", metavar="REPORT", required=True,
                           help="write the report here (an .html file)")
    else:
        score.add_argument("-o", "--output", metavar="OUT",
                           help="write here (default: stdout, CSV)")
        score.add_argument("--format", choices=FORMATS, metavar="NAME",
                           help="output format when OUT's name does not tell it, or for a"
                           f" stream: {', '.join(FORMATS)} (default: from OUT's extension;"
                           " CSV on stdout)")
        score.add_argument("--output-delimiter", metavar="CHAR",
                           help="field delimiter of CSV output, e.g. ';' or tab (default ,)")
        score.add_argument("--output-decimal", default=".", metavar="CHAR",
                           help="decimal mark of numbers in CSV/TSV output: . (default) or ,")
        score.add_argument("--report", metavar="REPORT",
                           help="also write the HTML report of this run (see corvane report)")
    score.add_argument("--by", action="append", default=[], metavar="COLUMN",
                       help="break the report down by this column too, e.g. site (repeatable)")
    score.add_argument("--min-cell", type=int, metavar="N",
                       help="show report counts from 1 to N-1 as <N, and leave out what would"
                       " reveal them")
    add_model_options(score, "columns")
    score.add_argument("--column", action="append", default=[], metavar="INPUT=COLUMN",
                       help="read INPUT from the file's COLUMN, e.g. age=AGE_YRS (repeatable)")
    score.add_argument("--code", action="append", default=[], metavar="INPUT=FROM:TO,...",
                       help="read the cell FROM as TO, e.g. sex=M:male,F:female or"
                       " has_diabetes=Y:1,N:0; a number FROM matches every cell equal to it"
                       " (1 matches 1.0), and the column's other numbers are refused"
                       " (repeatable)")
    score.add_argument("--delimiter", metavar="CHAR",
                       help="field delimiter (default: detected among , ; tab |)")
    score.add_argument("--decimal", default=".", metavar="CHAR",
                       help="decimal mark of numbers: . (default) or ,")
    score.add_argument("--encoding", default="utf-8", metavar="NAME",
                       help="text encoding of a CSV file (default utf-8), e.g. latin-1, utf-16")
    score.add_argument("--skip-rows", type=int, default=0, metavar="N",
                       help="skip N lines above the header, such as an export's title (CSV; Excel's"
                       " sep= line is read and skipped by itself)")
    if command == "score":
        score.add_argument("--summary", action="store_true",
                           help="print the band summary (to stderr when the rows go to stdout)")
        score.add_argument("--overwrite-columns", action="store_true",
                           help="replace risk and error columns the input already has")
        score.add_argument("--scheduler", metavar="ADDRESS",
                           help="score a Parquet dataset (FILE: a directory or a glob) on Dask"
                           " into a directory of Parquet files (OUT), on the scheduler at"
                           " ADDRESS or on local[:N], a cluster of N local processes (default:"
                           " one per processor)")
    score.add_argument("--batch-rows", type=int, default=DEFAULT_BATCH_ROWS, metavar="N",
                       help=f"rows scored at a time (default {DEFAULT_BATCH_ROWS:,}): fewer hold"
                       " less memory, at a cost in time for each batch; below"
                       f" {MIN_BATCH_ROWS:,} rows nothing more is saved, so N is at least that")


def add_model_options(parser: argparse.ArgumentParser, cholesterol: str) -> None:
    """The models asked for and the cholesterol unit, alike for every command."""
    parser.add_argument("--outcomes", action="append", metavar="LIST",
                        help="comma-separated, any of cvd, ascvd, hf (default: all)")
    parser.add_argument("--horizons", action="append", metavar="LIST",
                        help="comma-separated, 10 and/or 30 (default: both)")
    parser.add_argument("--cholesterol-unit", default="mg/dL", metavar="UNIT",
                        help=f"unit of both cholesterol {cholesterol}: mg/dL (default) or mmol/L")


def add_patient_options(patient: argparse.ArgumentParser) -> None:
    """The options of ``corvane patient``: one per input, all required."""
    patient.formatter_class = argparse.RawDescriptionHelpFormatter
    inputs = patient.add_argument_group(
        "the patient (every option required; each value read as a cohort file's cell)",
        f"{READING}\n{UNITS_TEXT}",
    )
    for name, kind in zip(INPUT_COLUMNS, KINDS):
        inputs.add_argument(f"--{name.replace('_', '-')}", dest=name, required=True,
                            metavar=PATIENT_METAVARS.get(kind, "N"))
    add_model_options(patient, "values")
    patient.add_argument("--json", action="store_true",
                         help="print the result as one JSON object: each risk (null where"
                         " refused) and error")


def _run_patient(parser: argparse.ArgumentParser, args: argparse.Namespace) -> Exit:
    outcomes = _split_choices(parser, "--outcomes", args.outcomes, OUTCOMES)
    horizons = _split_choices(parser, "--horizons", args.horizons, HORIZONS)
    unit = _cholesterol_unit(parser, args.cholesterol_unit)
    patient = {name: getattr(args, name) for name in INPUT_COLUMNS}

    def show() -> Exit:
        # The tables path: NumPy starts faster than polars, and the result is corvane.score's.
        from . import score

        result = score(patient, outcomes, horizons, cholesterol_unit=unit)
        if args.json:
            sys.stdout.write(json.dumps(result) + "\n")
        else:
            models = [(o, h) for h in horizons for o in outcomes]
            # Asked of each refusing model alone: ``error`` names each horizon's first refusal.
            reasons = [None if result[risk_column(o, h)] is not None
                       else score(patient, o, h, cholesterol_unit=unit)["error"]
                       for o, h in models]
            sys.stdout.write(_patient_table(models, result, reasons))
        return Exit.OK if result["error"] is None else Exit.NOT_SCORED

    return _finish(None, show)


def _patient_table(models: list, result: dict, reasons: list[str | None]) -> str:
    """Each model's risk and band, or its reason; one line when one reason refused them all."""
    if None not in reasons and len(set(reasons)) == 1:
        return f"not scored: {reasons[0]}\n"
    titles = [f"{h}-year {OUTCOME_TITLES[o]}" for o, h in models]
    width = max(map(len, titles))
    lines = []
    for (o, h), title, reason in zip(models, titles, reasons):
        risk = result[risk_column(o, h)]
        if reason is not None:
            lines.append(f"{title:<{width}}  not scored: {reason}")
        else:
            band = next(label for low, high, label in BANDS if low <= risk < high)
            lines.append(f"{title:<{width}}  {risk:6.2f}%  {band}")
    return "\n".join(lines) + "\n"


def _cholesterol_unit(parser: argparse.ArgumentParser, given: str) -> str:
    units = {u.lower(): u for u in CHOLESTEROL_UNITS}
    unit = units.get(given.strip().lower())
    if unit is None:
        parser.error(f"argument --cholesterol-unit: choose mg/dL or mmol/L, not {given!r}")
    return unit


def _score_request(parser: argparse.ArgumentParser, args: argparse.Namespace) -> Request:
    """The command line as a Request; argument errors end here with the score usage."""
    from ._engine import check_codes
    from .command.run import Request

    outcomes = _split_choices(parser, "--outcomes", args.outcomes, OUTCOMES)
    horizons = _split_choices(parser, "--horizons", args.horizons, HORIZONS)
    if not 1 <= args.batch_rows <= MAX_BATCH_ROWS:
        parser.error(f"argument --batch-rows: must be between 1 and {MAX_BATCH_ROWS:,}")
    unit = _cholesterol_unit(parser, args.cholesterol_unit)
    delimiter = args.delimiter
    if delimiter is not None:
        delimiter = {"tab": "\t", "\\t": "\t"}.get(delimiter.lower(), delimiter)
        if len(delimiter) != 1 or delimiter in '"\r\n':
            parser.error(f"argument --delimiter: one character, or tab, not {args.delimiter!r}")
    if args.skip_rows < 0:
        parser.error(f"argument --skip-rows: a number of lines, not {args.skip_rows}")
    if args.decimal not in (".", ","):
        parser.error(f"argument --decimal: . or , not {args.decimal!r}")
    if args.decimal == "," and delimiter == ",":
        parser.error("argument --decimal: a decimal comma needs another delimiter")
    try:
        codecs.lookup(args.encoding)
    except LookupError:
        parser.error(f"argument --encoding: unknown encoding {args.encoding!r}")
    columns = {}
    for item in args.column:
        name, sep, source = item.partition("=")
        name = _input_name(parser, "--column", name)
        if not sep or not source.strip():
            parser.error(f"argument --column: expected INPUT=COLUMN, not {item!r}")
        columns[name] = source
    codes: dict[str, dict[str, str]] = {}
    for item in args.code:
        name, sep, pairs = item.partition("=")
        name = _input_name(parser, "--code", name)
        table = codes.setdefault(name, {})
        for pair in pairs.split(","):
            source, colon, target = pair.partition(":")
            if not sep or not colon or not source.strip():
                parser.error(f"argument --code: expected INPUT=FROM:TO,..., not {item!r}")
            table[source.strip()] = target.strip()
    try:
        check_codes(codes, args.decimal)
    except ValueError as e:
        parser.error(f"argument --code: {str(e).removeprefix('codes: ')}")
    output_delimiter = args.output_delimiter
    if output_delimiter is not None:
        output_delimiter = {"tab": "\t", "\\t": "\t"}.get(
            output_delimiter.lower(), output_delimiter
        )
        if len(output_delimiter) != 1 or output_delimiter in '"\r\n':
            parser.error("argument --output-delimiter: one character, or tab, not"
                         f" {args.output_delimiter!r}")
    if args.output_decimal not in (".", ","):
        parser.error(f"argument --output-decimal: . or , not {args.output_decimal!r}")
    if args.min_cell is not None and args.min_cell < 2:
        parser.error(f"argument --min-cell: at least 2, not {args.min_cell}")
    report = args.output if args.command == "report" else args.report
    if (args.by or args.min_cell is not None) and report is None:
        parser.error("argument --by/--min-cell: only with --report")
    output = None if args.output in (None, "-") else args.output
    if args.file is None and args.scheduler is None and _stdin_has_data(parser):
        args.file = "-"  # `cat cohort.csv | corvane score` means the piped rows
    if args.file is None and args.output is None:
        output = os.devnull  # the sample's rows are only summarised
    if args.command == "report":
        output = None
    return Request(
        path=args.file, output=output, outcomes=outcomes, horizons=horizons,
        cholesterol_unit=unit, columns=columns, codes=codes, delimiter=delimiter,
        decimal_comma=args.decimal == ",", encoding=args.encoding,
        summary=args.summary or (args.file is None and args.command == "score"),
        overwrite_columns=args.overwrite_columns,
        batch_rows=max(args.batch_rows, MIN_BATCH_ROWS), skip_rows=args.skip_rows,
        output_format=args.format,
        output_delimiter=output_delimiter, output_decimal_comma=args.output_decimal == ",",
        report=report, by=args.by, min_cell=args.min_cell, rows_out=args.command == "score",
    )


def _stdin_has_data(parser: argparse.ArgumentParser) -> bool:
    """Whether standard input brings rows to score: a pipe or a file that is not empty. A
    terminal, /dev/null or a closed one brings none, and the sample is scored instead."""
    try:
        st = os.fstat(sys.stdin.fileno())
    except (AttributeError, OSError, ValueError):  # closed, or no stdin at all
        return False
    if stat.S_ISREG(st.st_mode):
        return st.st_size > 0
    if not (stat.S_ISFIFO(st.st_mode) or stat.S_ISSOCK(st.st_mode)):
        return False
    # A pipe: what comes first tells. Nothing yet is no reason to score the sample instead.
    ready, _, _ = select.select([sys.stdin], [], [], STDIN_WAIT_SECONDS)
    if not ready:
        parser.error(f"nothing came on standard input in {STDIN_WAIT_SECONDS} s: give - to"
                     " wait for it, or a FILE")
    return bool(sys.stdin.buffer.peek(1))


def _run_dataset(
    parser: argparse.ArgumentParser, args: argparse.Namespace, request: Request
) -> int:
    """``--scheduler``: a Parquet dataset scored on Dask into a Parquet directory."""
    single = [option for option, given in (
        ("--delimiter", args.delimiter),
        ("--decimal", args.decimal != "."), ("--encoding", args.encoding != "utf-8"),
        ("--skip-rows", args.skip_rows),
        ("--summary", args.summary), ("--batch-rows", args.batch_rows != DEFAULT_BATCH_ROWS),
        ("--format", args.format), ("--output-delimiter", args.output_delimiter),
        ("--output-decimal", args.output_decimal != "."), ("--report", args.report),
    ) if given]
    if single:
        parser.error(f"argument --scheduler: not with {', '.join(single)}, which only one"
                     " file takes")
    if args.file in (None, "-") or request.output is None:
        parser.error("argument --scheduler: give a Parquet dataset (a directory or a glob)"
                     " and -o OUTDIR")
    from .command.dataset import score_dataset

    return _finish(request.output, lambda: score_dataset(
        args.file, request.output, args.scheduler, request.outcomes, request.horizons,
        cholesterol_unit=request.cholesterol_unit, overwrite_columns=request.overwrite_columns,
        columns=request.columns, codes=request.codes, scorer=_dask_scorer,
    ))


def _dask_scorer():
    from .dask import score

    return score


def _input_name(parser: argparse.ArgumentParser, option: str, name: str) -> str:
    key = name.strip().lower()
    if key not in INPUT_COLUMNS:
        parser.error(f"argument {option}: {name!r} is not an input (choose from"
                     f" {', '.join(INPUT_COLUMNS)})")
    return key


def _split_choices(
    parser: argparse.ArgumentParser, option: str, given: list[str] | None, allowed: Sequence
) -> list:
    # "--outcomes cvd,hf" and "--outcomes cvd --outcomes hf" mean the same.
    chosen = []
    for part in ",".join(given or []).split(","):
        if not part.strip():
            continue
        match = [a for a in allowed if str(a) == part.strip().lower()]
        if not match:
            choices = ", ".join(map(str, allowed))
            parser.error(f"argument {option}: invalid choice {part!r} (choose from {choices})")
        if match[0] not in chosen:
            chosen.append(match[0])
    return chosen or list(allowed)


def _run_score(request: Request) -> int:
    from .command.run import run

    progress = _progress if _progress_wanted(request) else None

    def score() -> Exit:
        if request.path is None:
            from importlib import resources  # only the sample needs it: 10 ms to import

            with resources.as_file(resources.files("corvane").joinpath(SAMPLE)) as sample:
                outcome = run(request, str(sample), "bundled synthetic sample cohort")
        else:
            title = "stdin" if request.path == "-" else request.path
            outcome = run(request, request.path, title, progress)
            if progress:
                sys.stderr.write("\r\033[K")
        return _closing(request, outcome)

    return _finish(request.output if request.rows_out else request.report, score)


def _finish(output: str | None, work: Callable[[], Exit | tuple[int, int]]) -> Exit:
    """Run ``work``; turn how it ends into one message and the exit status, the same for a
    single file and a dataset. ``work`` returns a status, or the rows read and unreadable."""
    kept = f"{output} is unchanged" if output else "the output is incomplete"
    try:
        done = work()
    except OutputError as e:
        return fail(f"{e}; {kept}" if output else str(e), e.status)
    except CommandError as e:
        return fail(str(e), e.status)
    except MissingDependency as e:  # an input or output format that needs an extra
        return fail(str(e), Exit.USAGE)
    except (KeyboardInterrupt, Interrupted):
        return fail(f"interrupted; {kept}", Exit.INTERRUPTED, _fresh_line())
    except BrokenPipeError:
        # The reader went away (e.g. `| head`): stop quietly, and keep Python from
        # complaining again while it flushes stdout at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return Exit.OK
    except BaseException as e:  # a bug; a panic inside a library is a BaseException too
        if isinstance(e, (SystemExit, GeneratorExit)):
            raise
        traceback.print_exc()
        return fail(f"internal error while writing {output or 'stdout'}; please report it",
                    Exit.BUG)
    if isinstance(done, tuple):
        from .command.run import Outcome

        rows, unreadable = done
        return _exit_of(Outcome(rows=rows, unreadable=unreadable))
    return done


def _fresh_line():
    sys.stderr.write("\n")  # past the ^C the terminal shows
    return sys.stderr


def _closing(request: Request, outcome: Outcome) -> Exit:
    """The summary and the closing messages; the exit status of a completed run."""
    if outcome.tally is not None:
        stream = sys.stderr if request.output is None else sys.stdout
        stream.write(outcome.tally.render(stream))
        if request.path is None:
            stream.write("\nScore your own cohort:  corvane score cohort.csv -o scored.csv\n")
        stream.flush()
    if request.path is None:
        return Exit.OK  # the sample's unreadable rows are there on purpose
    return _exit_of(outcome)


def _exit_of(outcome: Outcome) -> Exit:
    from .command.run import exit_message

    message = exit_message(outcome)
    if message:
        print(message, file=sys.stderr)
    return Exit.ROWS_UNREADABLE if outcome.unreadable else Exit.OK


def _progress_wanted(request: Request) -> bool:
    # Not while the rows go to the same terminal: the two would garble.
    return sys.stderr.isatty() and not (request.output is None and sys.stdout.isatty())


def _progress(rows: int) -> None:
    sys.stderr.write(f"\rcorvane: scoring {rows:,} rows")
    sys.stderr.flush()


class _VersionAction(argparse.Action):
    """--version, with the version looked up only when asked: reading the installed
    package's metadata costs every run 10 ms otherwise."""

    def __call__(self, parser, namespace, values, option_string=None):
        sys.stdout.write(f"{parser.prog} {_version()}\n")
        parser.exit()


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("corvane")
    except PackageNotFoundError:
        return "unknown"
