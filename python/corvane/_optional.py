"""Optional dependencies: each imported where it is used, a missing one named with its extra."""

from __future__ import annotations

import importlib
from types import ModuleType


class MissingDependency(ImportError):
    """An optional dependency is not installed; the text is one line naming the extra."""


def require(module: str, extra: str, purpose: str) -> ModuleType:
    """``module`` imported, or MissingDependency: '<purpose> needs <package>: pip install
    "corvane[<extra>]"'.

    Any ImportError counts, not only the module's own absence: a package installed without
    what it needs in turn (dask without pandas) is fixed by the same extra.
    """
    try:
        return importlib.import_module(module)
    except ImportError as e:
        package = module.partition(".")[0]
        raise MissingDependency(
            f'{purpose} needs {package}: pip install "corvane[{extra}]"'
        ) from None
