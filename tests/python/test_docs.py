"""Docstrings assembled from shared parts: the parts land whole at their marker's indentation,
a wrong name is refused, and every assembled docstring keeps no marker and runs its examples."""

import doctest
import inspect
import re

import pytest

from sonvar import imaging, jobs, motion, sequence, simulator
from sonvar._docs import shared_doc

PART = """
points : (n, 3) array_like
    Positions, m.
"""


def test_shared_doc_places_parts_and_refuses_wrong_names():
    class Owner:
        @shared_doc(points=PART)
        def method(self):
            """Sum.

            Parameters
            ----------
            {points}
            scale : float
            """

    assert inspect.getdoc(Owner.method) == (
        "Sum.\n\nParameters\n----------\npoints : (n, 3) array_like\n    Positions, m.\n"
        "scale : float")

    def undocumented():
        pass
    assert shared_doc(points=PART)(undocumented).__doc__ is None  # python -OO

    def unknown():
        """{points}
        {other}
        """
    with pytest.raises(ValueError) as e:
        shared_doc(points=PART)(unknown)
    assert str(e.value) == ("test_shared_doc_places_parts_and_refuses_wrong_names.<locals>."
                            "unknown: no shared docstring part 'other'")

    def unused():
        """Nothing shared. {points} stays text inside a line."""
    with pytest.raises(ValueError) as e:
        shared_doc(points=PART)(unused)
    assert str(e.value) == ("test_shared_doc_places_parts_and_refuses_wrong_names.<locals>."
                            "unused: docstring does not name ['points']")


MARKER = re.compile(r"^\s*\{[A-Za-z_]\w*\}\s*$", re.MULTILINE)


@pytest.mark.parametrize("module", [motion, sequence, simulator, imaging, jobs])
def test_assembled_docstrings_keep_no_marker_and_their_examples_run(module):
    docs = {}
    for name, obj in vars(module).items():
        if getattr(obj, "__module__", None) != module.__name__:
            continue
        docs[name] = obj.__doc__ or ""
        for member, value in vars(obj).items() if inspect.isclass(obj) else ():
            docs[f"{name}.{member}"] = getattr(value, "__doc__", None) or ""
    assert [name for name, doc in docs.items() if MARKER.search(doc)] == []
    result = doctest.testmod(module)
    assert result.failed == 0
    assert result.attempted > 0 or module is jobs
