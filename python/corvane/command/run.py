"""``corvane score FILE``: read a cohort in batches, score every row, write it out whole."""

from __future__ import annotations

import functools
import threading
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any

import polars as pl

from .._engine import STATUS_TEXTS, STATUS_TEXTS_MMOL, Options, score_columns
from .._names import (
    INPUT_COLUMNS,
    ColumnsNotFound,
    cholesterol_in_mmol,
    code_maps,
    error_texts,
    expected_texts,
    output_names,
    pick_columns,
    reads_polars_type,
    risk_column,
)
from . import DEFAULT_BATCH_ROWS
from .._report import Cohort, Report, report_options, version
from .errors import IncompleteError, InputError, OutputError
from .source import Source, open_source, other_delimiter_hint
from .formats import choose_layout, uuid_columns
from .output import Output, inside_input, same_file, stdout_identity
from .summary import Tally



@dataclass
class Request:
    """What the command line asks for."""

    path: str | None  # None: the bundled sample
    output: str | None  # None: stdout
    outcomes: list[str]
    horizons: list[int]
    cholesterol_unit: str = "mg/dL"
    columns: dict[str, str] = field(default_factory=dict)  # input name -> file column
    codes: dict[str, dict[str, str]] = field(default_factory=dict)
    delimiter: str | None = None
    decimal_comma: bool = False
    encoding: str = "utf-8"
    summary: bool = False
    overwrite_columns: bool = False
    batch_rows: int = DEFAULT_BATCH_ROWS
    skip_rows: int = 0  # lines above the header
    output_format: str | None = None  # None: from the output's name
    output_delimiter: str | None = None  # None: the format's
    output_decimal_comma: bool = False
    report: str | None = None  # the cohort report's page, written from the same pass
    by: list[str] = field(default_factory=list)  # the report's own breakdowns
    min_cell: int | None = None
    rows_out: bool = True  # False: only the report is wanted


@dataclass
class Outcome:
    rows: int = 0
    unreadable: int = 0
    comma_numbers: int = 0
    tally: Tally | None = None
    cohort: Cohort | None = None
    mmol_medians: tuple[float, float] | None = None  # cholesterol read as mg/dL looks like mmol/L


@dataclass
class Plan:
    """Where each input sits among the file's columns and how the engine reads its cells."""

    positions: list[int]  # file column of each input, in input order
    options: Options
    models: list[tuple[str, int]]
    values: tuple[str, ...] = ()  # inputs wanted as read, for a report
    by: list[int] = field(default_factory=list)  # the report's breakdowns, as file columns
    risks: list[int] | None = None  # a scored file's risk columns, reported as they are


def readable_type(dtype: pl.DataType) -> bool:
    """Whether a column of this type holds single values: numbers, text, categories, dates.
    Lists, structs and binary data are not read."""
    return not (dtype.is_nested() or dtype in (pl.Binary, pl.Object))


def _engine_column(column: pl.Series) -> pl.Series:
    """A column the engine reads in place: numbers, booleans, text and categories as they are;
    any other single value (a date, a time) as its text."""
    return column if reads_polars_type(column.dtype) else column.cast(pl.String)


def score_frame(frame: pl.DataFrame, plan: Plan):
    """The risk columns then ``error`` of a batch, in polars, and the engine's pass.

    The engine reads the batch's columns in place and writes into columns that polars then
    takes over, all through Arrow's C interface: the command needs no NumPy. A row with a bad
    cell is named by the pass (``unreadable_rows``, ``reasons``); its error is null here.
    """
    columns = [_engine_column(frame.to_series(i)) for i in plan.positions]
    done = score_columns(columns, [None] * len(columns), plan.options, plan.models, len(frame),
                         values=plan.values)
    del columns  # the inputs' Arrow arrays go back to polars
    names = [risk_column(o, h) for o, h in plan.models]
    texts = _error_texts(tuple(h for _, h in plan.models), plan.options.mmol)
    scores = pl.DataFrame(
        [pl.Series(r).alias(name).fill_nan(None) for name, r in zip(names, done.risks)]
        + [texts.gather(pl.Series(done.errors))]
    )
    return scores, done


@functools.cache
def _error_texts(horizons: tuple[int, ...], mmol: bool) -> pl.Series:
    """The error text of each error code, as a column to gather from; a bad row's is null."""
    statuses = STATUS_TEXTS_MMOL if mmol else STATUS_TEXTS
    texts = error_texts(list(dict.fromkeys(horizons)), list(statuses))
    return pl.Series("error", texts, pl.String)


def plan_columns(source: Source, request: Request) -> tuple[Plan, list[int]]:
    """Where the inputs are, and which file columns are echoed. Raises InputError."""
    try:
        found = pick_columns(source.header, request.columns or None)
    except ColumnsNotFound as e:
        if e.repeated is not None:
            raise InputError(
                f"{source.name}: column '{e.repeated}' appears more than once in the header"
            ) from None
        listed = ", ".join(f"'{m}'" for m in e.missing)
        found_text = ", ".join(source.header)
        if len(found_text) > 200:
            found_text = found_text[:197] + "..."
        hint = (
            ""
            if source.is_parquet
            else other_delimiter_hint(
                source, lambda n: count_wanted(n, request), len(INPUT_COLUMNS)
            )
        )
        raise InputError(
            f"{source.name}: missing column{'s' * (len(e.missing) > 1)} {listed} in the header"
            f" (found: {found_text}){hint}"
        ) from None
    positions = dict(zip(INPUT_COLUMNS, found))
    labels = {name: source.header[i].strip() for name, i in positions.items()}
    if source.schema is not None:
        for name, position in positions.items():
            dtype = source.schema[source.header[position]]
            if not readable_type(dtype):
                raise InputError(
                    f"{source.name}: column '{labels[name]}' holds {dtype} values, not numbers"
                    " or text"
                )
    scored = _scored_columns(source.header, request) if not request.rows_out else None
    echoed = echoed_columns(source.name, source.header,
                            request.overwrite_columns or scored is not None)
    options = Options(
        labels=tuple(labels[name] for name in INPUT_COLUMNS),
        expected=expected_texts(request.codes),
        codes=code_maps(request.codes or None),
        decimal="," if request.decimal_comma else ".",
        mmol=cholesterol_in_mmol(request.cholesterol_unit),
    )
    models = [(o, h) for h in request.horizons for o in request.outcomes]
    plan = Plan([positions[name] for name in INPUT_COLUMNS], options, models)
    if request.report is not None:
        plan.values, plan.risks = ("sex", "age"), scored
        plan.by = [_find_column(source, name) for name in request.by]
    return plan, echoed


def _scored_columns(header: Sequence[str], request: Request) -> list[int] | None:
    """The risk columns of a file that ``corvane score`` wrote, in model order, when it has
    every one asked for and ``error``; else None."""
    keys = {column.strip().lower(): i for i, column in enumerate(header)}
    wanted = [risk_column(o, h) for h in request.horizons for o in request.outcomes]
    if "error" not in keys or any(name not in keys for name in wanted):
        return None
    return [keys[name] for name in wanted]


def _find_column(source: Source, name: str) -> int:
    """The file column ``--by`` names: by its exact name, else ignoring case and spaces."""
    if name in source.header:
        return source.header.index(name)
    matches = [i for i, c in enumerate(source.header) if c.strip().lower() == name.strip().lower()]
    if len(matches) != 1:
        raise InputError(f"{source.name}: no column '{name}' to break the report down by")
    return matches[0]


def echoed_columns(name: str, header: Sequence[str], overwrite: bool) -> list[int]:
    """The positions of the input columns the output repeats: all but those named (ignoring
    case and surrounding spaces) like a result column, a former run's, which ``overwrite``
    drops and which are refused otherwise: new risks beside stale ones would be read as one
    result. Raises InputError."""
    produced = output_names()
    clashes = [i for i, column in enumerate(header) if column.strip().lower() in produced]
    if clashes and not overwrite:
        listed = ", ".join(f"'{header[i].strip()}'" for i in clashes)
        raise InputError(
            f"{name} already has the output column{'s' * (len(clashes) > 1)} {listed};"
            " give --overwrite-columns to replace them"
        )
    return [i for i in range(len(header)) if i not in clashes]


def count_wanted(names: Sequence[str], request: Request) -> int:
    keys = {n.strip().lower() for n in names}
    return sum(request.columns.get(n, n).strip().lower() in keys for n in INPUT_COLUMNS)


def run(
    request: Request, path: str, title: str, progress: Callable[[int], None] | None = None
) -> Outcome:
    """Score ``path`` into ``request.output``. Raises InputError / OutputError / interrupts."""
    layout = choose_layout(
        request.output, request.output_format, request.output_delimiter,
        request.output_decimal_comma,
    )
    source = open_source(
        path,
        delimiter=request.delimiter,
        encoding=request.encoding,
        batch_rows=request.batch_rows,
        wanted=lambda names: count_wanted(names, request),
        skip_rows=request.skip_rows,
    )
    try:
        if request.skip_rows and source.is_parquet:
            raise InputError(f"{source.name}: --skip-rows skips lines of text, not of Parquet")
        plan, echoed = plan_columns(source, request)
        if request.rows_out:
            _refuse_self_overwrite(source, request.output)
        if request.report is not None:
            _refuse_self_overwrite(source, request.report)
        risks = [risk_column(o, h) for h in request.horizons for o in request.outcomes]
        names = [source.header[i] for i in echoed] + risks + ["error"]
        outcome = Outcome()
        if request.summary:
            outcome.tally = Tally(
                title,
                [(o, h) for h in request.horizons for o in request.outcomes],
                STATUS_TEXTS_MMOL if plan.options.mmol else STATUS_TEXTS,
            )
        if request.report is not None:
            outcome.cohort = Cohort(plan.models, STATUS_TEXTS_MMOL if plan.options.mmol
                                    else STATUS_TEXTS, plan.options.labels, request.by,
                                    request.min_cell)
        output = reading = writing = None
        wrote = False
        try:
            # Created inside the try: an interrupt as it returns still removes its file.
            uuids = ()
            if source.schema is not None and pl.Binary in source.schema.dtypes():
                uuids = uuid_columns(source.spool or path)
            output = Output(request.output, names, layout, uuids) if request.rows_out else _Kept()
            # The next batch is read and the last one written while this one is scored:
            # the three overlap, and at most three batches are held at once. Only files
            # are read and written aside: a thread blocked on stdin or on a pipe nobody
            # reads could not be waited for, and would abort the interpreter's exit.
            batches = source.batches()
            read_aside = path != "-"
            write_aside = output.is_own_file
            reading = _Task(read_aside, next, batches, None)
            while (batch := reading.result()) is not None:
                reading = _Task(read_aside, next, batches, None)
                frame = _score_batch(batch, plan, echoed, request, source, outcome)
                if writing is not None:
                    writing.result()
                writing = _Task(write_aside, output.write, frame)
                wrote = True
                if progress is not None:
                    progress(outcome.rows)
            if writing is not None:
                writing.result()
            if not wrote and output.format in ("parquet", "arrow"):
                output.write(_empty(source, echoed, risks))
            output.commit()
            if outcome.cohort is not None:
                _save_report(outcome.cohort, request, title)
        except InputError as e:
            streamed = wrote and not output.is_own_file
            settle(reading, writing, output)
            if streamed:
                # Rows already went down a stream: they cannot be taken back.
                raise IncompleteError(
                    f"{e}; the rows written to {request.output or 'stdout'} before it are"
                    " incomplete"
                ) from None
            raise
        except BaseException:
            settle(reading, writing, output)
            raise
        return outcome
    finally:
        source.close()


def _save_report(cohort: Cohort, request: Request, title: str) -> None:
    options = report_options(cohort.models, request.cholesterol_unit, request.columns,
                             request.codes, request.by, request.min_cell)
    report = Report(cohort.data(title, options, version()))
    try:
        report.save(request.report)
    except OSError as e:
        raise OutputError(f"cannot write {request.report}: {e.strerror or e}") from None


class _Kept:
    """The output of a run that only reports: the rows go nowhere."""

    format = "none"
    is_own_file = False

    def write(self, frame: pl.DataFrame) -> None:
        pass

    def commit(self) -> None:
        pass

    def abort(self) -> None:
        pass


def settle(reading: _Task | None, writing: _Task | None, output: Output | None) -> None:
    """Drop the output of a run that failed. What still runs on a file ends soon: it is
    waited for before the file is closed."""
    for task in (reading, writing):
        if task is not None:
            task.settle()
    if output is not None:
        output.abort()


class _Task:
    """One call, run on a thread of its own if ``aside``, else at once (raising at once);
    ``result()`` waits for it and returns or raises."""

    def __init__(self, aside: bool, fn: Callable[..., Any], *args: Any) -> None:
        self._done = threading.Event()
        self._value: Any = None
        self._error: BaseException | None = None
        if aside:
            threading.Thread(target=self._run, args=(fn, args)).start()
        else:
            self._value = fn(*args)
            self._done.set()

    def _run(self, fn: Callable[..., Any], args: tuple) -> None:
        try:
            self._value = fn(*args)
        except BaseException as e:  # raised again by result(), on the calling thread
            self._error = e
        finally:
            self._done.set()

    def result(self) -> Any:
        self._done.wait()  # a signal still interrupts the wait
        if self._error is not None:
            error, self._error = self._error, None
            raise error
        return self._value

    def settle(self) -> None:
        """Wait for the call to end, whatever it gives."""
        self._done.wait()


def _score_batch(batch, plan, echoed, request, source, outcome) -> pl.DataFrame:
    if outcome.rows == 0 and not plan.options.mmol:
        outcome.mmol_medians = _mmol_medians(batch.frame, plan, request.decimal_comma)
    scores, done = score_frame(batch.frame, plan)
    reasons = None
    if len(done.reasons):
        reasons = pl.repeat(None, len(scores), dtype=pl.String, eager=True).scatter(
            pl.Series(done.unreadable_rows), pl.Series(done.reasons, dtype=pl.String)
        )
    unreadable = _unreadable_reasons(reasons, batch, source)
    bad = None
    if unreadable is not None:
        bad = unreadable.is_not_null()
        # A row with a bad cell has no risks already; one with too many values may have: only
        # a column holding risks of such rows is rewritten.
        risks = scores.columns[:-1]
        held = scores.select((pl.col(c).is_not_null() & bad).any() for c in risks).row(0)
        scores = scores.with_columns(
            [pl.when(bad).then(None).otherwise(pl.col(c)).alias(c)
             for c, has in zip(risks, held) if has]
            + [pl.coalesce(unreadable, pl.col("error")).alias("error")]
        )
        outcome.unreadable += int(bad.sum())
    outcome.rows += len(scores)
    outcome.comma_numbers += done.comma_numbers
    if outcome.tally is not None:
        outcome.tally.add(scores, pl.Series(done.errors), bad)
    if outcome.cohort is not None:
        _add_to_report(outcome.cohort, batch.frame, scores, done, plan)
    return pl.concat([batch.frame.select(f"c{i}" for i in echoed), scores], how="horizontal")


def _add_to_report(cohort: Cohort, frame: pl.DataFrame, scores: pl.DataFrame, done: Any,
                   plan: Plan) -> None:
    if plan.risks is not None:  # a scored file: its own risks, as they are
        risks = [frame.to_series(i).cast(pl.Float64, strict=False) for i in plan.risks]
    else:
        risks = [scores.to_series(k) for k in range(len(plan.models))]
    cohort.add(risks, pl.Series(done.errors), pl.Series(done.missing_bits),
               pl.Series(done.values["sex"]), pl.Series(done.values["age"]),
               [frame.to_series(i) for i in plan.by])


def _mmol_medians(frame: pl.DataFrame, plan: Plan, decimal_comma: bool):
    """The medians of total and HDL cholesterol in the first rows, when both are typical of
    mmol/L and impossible in mg/dL; else None."""
    medians = []
    for name in ("total_cholesterol", "hdl_cholesterol"):
        column = frame.to_series(plan.positions[INPUT_COLUMNS.index(name)]).head(1000)
        if column.dtype == pl.String:
            column = column.str.strip_chars()
            if decimal_comma:
                column = column.str.replace(",", ".", literal=True)
        elif not column.dtype.is_numeric():
            return None
        medians.append(column.cast(pl.Float64, strict=False).median())
    total, hdl = medians
    if total is None or hdl is None or not (1 < total < 20 and 0.2 < hdl < 5):
        return None
    return total, hdl


def _unreadable_reasons(reasons: pl.Series | None, batch, source: Source) -> pl.Series | None:
    """ "line N: why" for each row that cannot be read, else null; None when every row can."""
    if reasons is None:
        if batch.extra is None:
            return None
        reasons = pl.Series("reason", dtype=pl.String).extend_constant(None, len(batch.extra))
    bad = reasons.is_not_null()
    if batch.extra is not None:
        bad = bad | (batch.extra > 0)
    if not bad.any():
        return None
    rows = bad.arg_true()
    if isinstance(batch.where, pl.Series):
        where = batch.where.gather(rows)
    else:
        where = rows.cast(pl.Int64) + batch.where
    subset = pl.DataFrame({"why": reasons.gather(rows), "where": where})
    prefix = pl.concat_str(pl.lit(f"{source.where_word} "), pl.col("where"), pl.lit(": "))
    files = batch.files(rows)
    if files is not None:  # a folder's row is counted within its own file
        subset = subset.with_columns(file=files)
        prefix = pl.concat_str(pl.col("file"), pl.lit(" "), prefix)
    text = pl.concat_str(prefix, pl.col("why"))
    if batch.extra is not None:
        width = len(source.header)
        subset = subset.with_columns(extra=batch.extra.gather(rows))
        too_many = pl.concat_str(
            prefix, pl.col("extra") + width, pl.lit(f" values instead of {width}")
        )
        text = pl.when(pl.col("extra") > 0).then(too_many).otherwise(text)
    texts = subset.select(text).to_series()
    return pl.repeat(None, len(reasons), dtype=pl.String, eager=True).alias("error").scatter(
        rows, texts
    )


def _empty(source: Source, echoed: list[int], risks: list[str]) -> pl.DataFrame:
    inputs = {
        f"c{i}": source.schema[source.header[i]] if source.schema else pl.String for i in echoed
    }
    return pl.DataFrame(schema={**inputs, **dict.fromkeys(risks, pl.Float64), "error": pl.String})


def _refuse_self_overwrite(source: Source, output: str | None) -> None:
    if output is None:
        target = stdout_identity()
        if target is not None and target in source.identity:
            raise InputError(f"refusing to write the output into the input {source.name}")
        return
    if same_file(output, source.identity):
        raise InputError(f"{output}: refusing to overwrite the input {source.name}")
    inside_input(output, source.folders)


def exit_message(outcome: Outcome) -> str | None:
    parts = []
    if outcome.unreadable:
        parts.append(
            f"corvane: {outcome.unreadable:,} of {outcome.rows:,} rows could not be read;"
            " the error column says why"
        )
    if outcome.mmol_medians:
        total, hdl = outcome.mmol_medians
        parts.append(
            f"corvane: total and HDL cholesterol look like mmol/L (medians {total:.3g} and"
            f" {hdl:.3g}); give --cholesterol-unit mmol/L to read them so"
        )
    if outcome.comma_numbers:
        parts.append(
            f"corvane: {outcome.comma_numbers:,} numbers have a decimal comma;"
            " give --decimal , to read them"
        )
    return "\n".join(parts) or None
