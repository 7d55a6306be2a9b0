"""Property tests: written trees read back as themselves, and damaged documents never do worse
than a ValueError."""

import os
import tempfile

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tessary
from conftest import SANITIZED

Node = tessary.Node

# Unicode White_Space: what the reader trims from the ends of a text (not str.isspace, which
# also counts U+001C..U+001F).
WHITE_SPACE = frozenset(
    "\t\n\x0b\x0c\r \x85\xa0\u1680\u2028\u2029\u202f\u205f\u3000" + "".join(map(chr, range(0x2000, 0x200B)))
)

EXAMPLES = 20 if SANITIZED else 50
PROPERTY = settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.too_slow])

names = st.from_regex(r"[A-Za-z_][A-Za-z0-9_.:\-]{0,7}", fullmatch=True)
# Every code point but the surrogates, with the characters that need escaping, white space
# and a few awkward sequences made common.
any_char = st.characters(blacklist_categories=("Cs",))
special = st.sampled_from(list("&<>\"'\t\n\r ;#") + ["]]>", "&amp;", "&#65;", "\r\n", "\u3000", "\x85", "\x00"])
texts = st.lists(st.one_of(any_char, special), max_size=12).map("".join)


def trim(text):
    start, end = 0, len(text)
    while start < end and text[start] in WHITE_SPACE:
        start += 1
    while end > start and text[end - 1] in WHITE_SPACE:
        end -= 1
    return text[start:end]


@st.composite
def trees(draw, max_nodes=12):
    """A Node tree of up to `max_nodes` elements, built bottom-up from a random parent layout."""
    count = draw(st.integers(1, max_nodes))
    parents = [None] + [draw(st.integers(0, i - 1)) for i in range(1, count)]
    specs = []
    for _ in range(count):
        attrs = draw(st.dictionaries(names, texts, max_size=3))
        text = draw(st.one_of(st.none(), st.just(""), texts))
        specs.append((draw(names), attrs, text))
    kids = [[] for _ in range(count)]
    nodes = [None] * count
    for i in reversed(range(count)):
        name, attrs, text = specs[i]
        nodes[i] = Node(name, attrs, kids[i][::-1], text)
        if parents[i] is not None:
            kids[parents[i]].append(nodes[i])
    return nodes[0]


def expected_shape(node):
    """(name, attrs, text, children) as the reader should give them back, without recursion."""
    return shape(node, lambda t: None if t is None or trim(t) == "" else trim(t))


def shape(node, text=lambda t: t):
    out = []
    stack = [node]
    while stack:
        n = stack.pop()
        kids = n.children
        out.append((n.name, n.attrs, text(n.text), len(kids)))
        stack.extend(reversed(kids))
    return out


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


TOKENS = [b"<", b"&", b'"', b"'", b"]]>", b"<!--", b">", b"/", b"&#", b";", b"=", b"<![CDATA[", b"<?"]


@st.composite
def mutated_documents(draw):
    tree = draw(trees(max_nodes=8))
    data = bytearray(tessary.write_string(tree, draw(st.integers(0, 3)), draw(st.booleans())).encode())
    for _ in range(draw(st.integers(1, 4))):
        op = draw(st.sampled_from(["delete", "duplicate", "insert", "truncate", "flip"]))
        at = draw(st.integers(0, len(data)))
        if op == "delete":
            del data[at : at + draw(st.integers(1, 4))]
        elif op == "duplicate":
            data[at:at] = data[at : at + draw(st.integers(1, 8))]
        elif op == "insert":
            data[at:at] = draw(st.sampled_from(TOKENS))
        elif op == "truncate":
            del data[at:]
        else:
            if at < len(data):
                data[at] = draw(st.integers(0, 255))
    return tree.name, bytes(data)


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
