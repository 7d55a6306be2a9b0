"""Property tests: written trees read back as themselves, and damaged documents never do worse
than a ValueError."""

import os
import tempfile

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tessary
import support
from support import SANITIZED, edits, examples, flatten as shape, mutate, trimmed

EXAMPLES = 20 if SANITIZED else 50
PROPERTY = settings(max_examples=examples(EXAMPLES), deadline=None, suppress_health_check=[HealthCheck.too_slow])

names = st.from_regex(r"[A-Za-z_][A-Za-z0-9_.:\-]{0,7}", fullmatch=True)
# Every code point but the surrogates, with the characters that need escaping, white space
# and a few awkward sequences made common.
any_char = st.characters(blacklist_categories=("Cs",))
special = st.sampled_from(list("&<>\"'\t\n\r ;#") + ["]]>", "&amp;", "&#65;", "\r\n", "\u3000", "\x85", "\x00"])
texts = st.lists(st.one_of(any_char, special), max_size=12).map("".join)


# Names the reader reads back, every code point but the surrogates in texts and values.
def trees(max_nodes=12):
    return support.trees(names, st.dictionaries(names, texts, max_size=3),
                         st.one_of(st.none(), st.just(""), texts), max_nodes=max_nodes)


def expected_shape(node):
    """(name, attrs, text, children) as the reader should give them back."""
    return shape(node, trimmed)


@PROPERTY
@given(tree=trees(), indent=st.integers(0, 6), declaration=st.booleans())
def test_written_tree_reads_back(tree, indent, declaration):
    xml = tessary.write_string(tree, indent, declaration)
    back = tessary.read_string(xml, tree.name)
    assert shape(back) == expected_shape(tree)


@PROPERTY
@given(tree=trees(max_nodes=6))
def test_round_trip_is_stable(tree):
    """Once read back (its strings now ranges of the document), a tree is a fixed point."""
    once = tessary.read_string(tessary.write_string(tree, 2), tree.name)
    again = tessary.read_string(tessary.write_string(once, 0, False), tree.name)
    assert shape(again) == shape(once)


@st.composite
def mutated_documents(draw):
    tree = draw(trees(max_nodes=8))
    data = tessary.write_string(tree, draw(st.integers(0, 3)), draw(st.booleans())).encode()
    return tree.name, mutate(data, draw(edits(max_size=4)))


_FILES = tempfile.mkdtemp(prefix="tessary-property-")


@PROPERTY
@given(case=mutated_documents())
def test_mutated_documents_fail_cleanly(case):
    root, data = case
    # The str form: invalid UTF-8 (a byte cut out of a sequence) becomes replacement characters.
    text = data.decode("utf-8", "replace")
    try:
        from_string = shape(tessary.read_string(text, root))
    except ValueError as e:
        assert type(e) is ValueError and str(e)
        from_string = None
    # The file form sees the raw bytes and must refuse invalid UTF-8 cleanly as well.
    path = os.path.join(_FILES, "doc.xml")
    with open(path, "wb") as f:
        f.write(data)
    try:
        from_file = shape(tessary.read_file(path, root))
    except ValueError as e:
        assert type(e) is ValueError and str(e)
        from_file = None
    try:
        data.decode("utf-8")
    except UnicodeDecodeError:
        assert from_file is None
    else:
        # Same bytes, same outcome, whichever way they arrive.
        assert from_file == from_string


@PROPERTY
@given(tree=trees(max_nodes=6), fraction=st.floats(0, 1, exclude_max=True))
def test_every_proper_prefix_of_a_document_fails(tree, fraction):
    # The written root is the first element of its name and its end is the last byte, so no
    # proper prefix holds a complete root.
    xml = tessary.write_string(tree, 1, False)
    with pytest.raises(ValueError):
        tessary.read_string(xml[: int(fraction * len(xml))], tree.name)
