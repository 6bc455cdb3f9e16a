"""Helpers for code that must not depend on how many items a query found."""
from __future__ import annotations

from quelmar._quelmar import Result


def as_list(result: Result) -> list[Result]:
    """The items of a Result as a list of Results, whatever its mode.

    ``[]`` for no match, ``[result]`` for one (a scalar is not split into
    characters, a dict-like Result not into its keys), one Result per item
    otherwise. Code that loops over matches stays the same for every count:

        for book in quelmar.as_list(quelmar.get(doc, "catalog.book")):
            ...
    """
    n = len(result)
    if n == 0:
        return []
    if n == 1:
        return [result]
    return list(result)  # a Result of several items iterates one-item Results
