"""Inputs the fuzz targets in fuzz/ found, replayed through the public API.

Several of these failed only as memory errors, which a plain build survives
by chance: tools/sanitize-test runs this file (with the whole suite) under
AddressSanitizer, where they fail without their fix.
"""
import pytest

from quelmar import _quelmar as q


@pytest.mark.parametrize(
    ("doc", "paths", "expected"),
    [
        # Entering an element only for an attribute of it grew the level
        # stack under a live reference (heap use after free).
        ("<a>1</a>", ["a.@v"], [None]),
        ('<a v="x">1</a>', ["a.@v", "a.#text"], ["x", 1]),
    ],
)
def test_get_many_regressions(doc, paths, expected):
    assert [r.value for r in q.get_many(doc, paths)] == expected
    assert [r.value for r in q.parse(doc).get_many(paths)] == expected
