"""The writer against a small model of its layout, on random trees.

The model states the layout element by element: a childless, textless element is `<n/>`; an
element with text and no children is `<n>text</n>`; otherwise each child starts on its own
line indented one level deeper, except a first child that directly follows its parent's text,
and the end tag starts a new line at the element's own level.
"""

import os
import tempfile

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from tessary import write_file, write_string
from support import DECLARATION, escape, examples, trees


def model(node, indent, level=0):
    start = "<" + node.name + "".join(f' {k}="{escape(v, True)}"' for k, v in node.attrs.items())
    kids = node.children
    if not kids and node.text is None:
        return start + "/>"
    end = f"</{node.name}>"
    body = escape(node.text) if node.text is not None else ""
    if not kids:
        return start + ">" + body + end
    out = start + ">" + body
    for i, kid in enumerate(kids):
        if not (i == 0 and node.text is not None):
            out += "\n" + " " * (indent * (level + 1))
        out += model(kid, indent, level + 1)
    return out + "\n" + " " * (indent * level) + end


chars = st.sampled_from(list("ab &<>\"'\t\r\n\x01é€") + ["\U0001F600", "x" * 20])
texts = st.lists(chars, max_size=12).map("".join)
names = st.sampled_from(["a", "b", "item", "é", "x-y", "ns:t"])
attrs = st.dictionaries(st.sampled_from(["k", "id", "v", "é", "a_b"]), texts, max_size=4)


# Nodes shared under several parents; a subtree walked at most 160 times.
TREES = trees(names, attrs, st.none() | texts, max_nodes=20, shared=True, max_paths=160)


@settings(max_examples=examples(100), deadline=None)
@given(TREES, st.integers(0, 6), st.booleans())
def test_layout_matches_model(tree, indent, decl):
    expected = (DECLARATION if decl else "") + model(tree, indent)
    assert write_string(tree, indent, decl) == expected


@settings(max_examples=examples(40), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(TREES, st.integers(0, 300), st.booleans())
def test_file_bytes_match_string(tree, indent, decl):
    fd, path = tempfile.mkstemp(suffix=".xml")
    os.close(fd)
    try:
        write_file(tree, path, indent, decl)
        with open(path, "rb") as f:
            assert f.read() == write_string(tree, indent, decl).encode("utf-8")
    finally:
        os.unlink(path)
