"""The ``corvane score`` command beneath its argument parsing: files in (CSV, Parquet, folders
of Parquet), batches scored by the engine, files out whole or not at all, and the summary.

Its modules import the input rules (``corvane._names``) and the engine (``corvane._engine``)
and nothing else of the package: the tables layer beside it and the public modules above it
stay out, so the command starts without NumPy.
"""
