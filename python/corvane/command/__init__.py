"""The ``corvane score`` command beneath its argument parsing: files in (CSV, Parquet, folders
of Parquet), batches scored by the engine, files out whole or not at all, and the summary.

Its modules import the input rules (``corvane._names``) and the engine (``corvane._engine``)
and nothing else of the package: the tables layer beside it and the public modules above it
stay out, so the command starts without NumPy.
"""

#: Rows scored at a time, unless --batch-rows says otherwise.
DEFAULT_BATCH_ROWS = 200_000
#: Fewer rows at a time save almost no memory (a piece of text is parsed whole) and cost
#: time for every batch: smaller requests are raised to this.
MIN_BATCH_ROWS = 10_000
