"""write_string writes its result str in one pass: the str is made at the writer's first flush in
the kind of what it has seen so far, widened when a later character needs a wider kind, grown
when the output outgrows it, and cut to length at the end. These cases put the characters at
the edges of each kind (0x7F/0x80, 0xFF/0x100, 0xFFFF/0x10000) and the escapes that lengthen the
output into every place a character can stand (name, key, value, text, several levels down),
before and after the first flush, and compare with a string Python builds. A str of the wrong
kind, length or padding compares unequal, and its size shows left-over room."""

import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from tessary import Node, read_string, write_file, write_string
from support import DECLARATION, escape, examples, trees

EDGES = ["\x7f", "\x80", "\xff", "\u0100", "\uffff", "\U00010000", "\U0010ffff"]
ESCAPED = "&<>\"'\t\r\n"


def reference(node, indent, level=0):
    start = "<" + node.name + "".join(f' {k}="{escape(v, True)}"' for k, v in node.attrs.items())
    kids = node.children
    if not kids and node.text is None:
        return start + "/>"
    out = start + ">" + (escape(node.text) if node.text is not None else "")
    for i, kid in enumerate(kids):
        if not (i == 0 and node.text is not None):
            out += "\n" + " " * (indent * (level + 1))
        out += reference(kid, indent, level + 1)
    if kids:
        out += "\n" + " " * (indent * level)
    return out + f"</{node.name}>"


def check(node, indent=2, decl=False):
    got = write_string(node, indent, decl)
    want = (DECLARATION if decl else "") + reference(node, indent)
    assert got == want
    # Exactly as large as the same characters built by Python: no room left over, right kind.
    assert sys.getsizeof(got) == sys.getsizeof("".join(list(want)))
    return got


@pytest.mark.parametrize("ch", EDGES)
@pytest.mark.parametrize("where", ["name", "key", "value", "text", "deep-text", "last"])
def test_widest_character_in_each_place(ch, where):
    # The one character of its kind sits in one place only; everything else is ASCII.
    name = "n" + ch if where == "name" else "n"
    attrs = {("k" + ch if where == "key" else "k"): ("v" + ch if where == "value" else "v")}
    text = "t" + ch + "<" if where == "text" else "t&"
    deep = Node("d", text="x" + ch if where == "deep-text" else "x")
    last = Node("z" + ch if where == "last" else "z")
    tree = Node(name, attrs, [Node("c", {"a": "1"}, [deep]), last], text)
    for indent in (0, 1, 4):
        for decl in (False, True):
            check(tree, indent, decl)


@pytest.mark.parametrize("ch", EDGES)
def test_widest_character_alone(ch):
    # Output whose only non-ASCII character is the very last or the very first one.
    check(Node("r", text=ch))
    check(Node(ch))
    check(Node("r", {"k": ch}))
    check(Node(ch, children=[Node("a")]), 3, True)


@pytest.mark.parametrize("ch", ["a"] + EDGES)
def test_escapes_lengthen_the_output_in_every_kind(ch):
    # Every escaped character in text and in a value, alone, in runs and around the character of
    # each kind, at lengths on both sides of the 16-byte vector.
    for n in (0, 1, 15, 16, 17, 31, 32, 33, 100):
        for c in ESCAPED:
            text = (c + ch) * (n // 2) + c * (n % 2)
            check(Node("e", {"k": text, "j": c * n}, [Node("c", text=c * n)], text))
    check(Node("e", {"k": ESCAPED * 50 + ch}, text=ESCAPED * 50 + ch), 0)


def test_empty_and_minimal_outputs():
    check(Node("a"))
    check(Node("a", text=""))
    check(Node("a", {"k": ""}, text=""))
    check(Node("a", {"k": ""}), 0, True)
    check(Node("a", children=[Node("b", text="")]), 0)
    # The declaration alone is ASCII: a non-ASCII tree after it still takes its own kind.
    for ch in EDGES:
        check(Node("a", text=ch), 0, True)


@pytest.mark.parametrize("indent", [0, 1, 2, 7, 64, 65, 200])
def test_indentation_in_every_kind(indent):
    # Indentation counts in the length: deep trees where the spaces outweigh everything else,
    # with and without text directly before the first child.
    for ch in ["x"] + EDGES:
        leaf = Node("l" + ch)
        tree = leaf
        for depth in range(12):
            tree = Node("p", {"d": str(depth)}, [tree, Node("s", text=ch)], ch if depth % 3 == 0 else None)
        check(tree, indent, indent % 2 == 0)


@pytest.mark.parametrize("outer", ["x", "\xe9", "\u6771", "\U0001F600"])
@pytest.mark.parametrize("inner", ["x", "\xe9", "\u6771", "\U0001F600"])
def test_read_subtrees_are_measured_by_their_own_bytes(outer, inner):
    # Ranges of a document share the document's widest byte as their bound; the output's kind
    # still follows the subtree's own characters, in names and keys too.
    doc = (
        f'<r{outer} a="{outer}&amp;"><m x="{outer}">{outer}&lt;</m>'
        f'<i{inner} k{inner}="{inner}&quot;">{inner}&amp;<j>{inner}</j></i{inner}></r{outer}>'
    )
    root = read_string(doc, "r" + outer)
    inner_node = root.children[1]
    for indent in (0, 2):
        check(inner_node, indent)
        check(root, indent, True)


def test_large_output_in_every_kind(tmp_path):
    # Large enough that the wide kinds go through many buffer-fulls; the file gets the same
    # characters as UTF-8.
    for ch in ["a"] + EDGES[1:]:
        kids = [Node("i", {"n": str(i), "v": ch * (i % 7)}, text=f"{ch}&{i}" if i % 2 else None) for i in range(3000)]
        tree = Node("r", children=kids * 4)
        out = check(tree, 1, True)
        p = tmp_path / "o.xml"
        write_file(tree, str(p), 1, True)
        assert p.read_bytes() == out.encode("utf-8", "surrogatepass")


# More output than the writer's buffer holds (32 KiB), so that the result str is made, and its
# kind chosen, before the rest is written.
PAST_BUFFER = 40_000


@pytest.mark.parametrize("first", ["a", "\xe9", "\u0100"])
@pytest.mark.parametrize("late", ["\x7f", "\x80", "\xff", "\u0100", "\uffff", "\U00010000"])
@pytest.mark.parametrize("where", ["name", "value", "text"])
def test_wider_character_after_the_first_flush(first, late, where):
    # The str is made in the kind of the first buffer-full, then widened (its units converted)
    # when a character that needs a wider kind comes; a narrower one changes nothing.
    kids = [Node("c", {"n": str(i)}, text=first + "&" * (i % 3)) for i in range(PAST_BUFFER // 16)]
    last = Node("z" + late if where == "name" else "z", {"v": late if where == "value" else "v"},
                text=late if where == "text" else None)
    for indent, decl in ((0, False), (2, True)):
        check(Node("r", children=kids + [last, Node("after", text=first)]), indent, decl)


def test_widening_converts_megabytes_of_output():
    # Over a MiB written before the wide character, converted piece by piece; twice widened.
    kids = [Node("c", {"k": "v" * 20}, text="x" * 80 + str(i)) for i in range(12_000)]
    check(Node("r", children=kids + [Node("l", text="\xe9")] + kids + [Node("u", text="\U0001F600")]), 1, True)


def test_output_outgrows_its_first_array():
    # A tree built in Python gives no hint of its size: the str grows from the first buffer-full.
    kids = [Node("item", {"id": str(i), "v": "\u6771" * (i % 5)}, text="t" * (i % 50)) for i in range(30_000)]
    check(Node("r", children=kids), 2, True)
    # A document read without white space and written with much indentation outgrows the
    # room its source's size suggested.
    xml = "<r>" + "<a><b><c/></b></a>" * 5_000 + "<\u6771/></r>"
    check(read_string(xml, "r"), 40)


@pytest.mark.parametrize("ch", ["a", "\xe9", "\u6771", "\U0001F600"])
def test_indentation_longer_than_the_buffer(ch):
    # Runs of spaces longer than the buffer go straight into the str, in its kind.
    tree = Node("r" + ch, children=[Node("a", children=[Node("b", text=ch)]), Node("c")])
    for indent in (PAST_BUFFER, 3 * PAST_BUFFER):
        check(tree, indent, True)


def test_small_subtree_of_a_large_document():
    # The str is first made as large as the source document; a small subtree's output is still
    # cut to its exact length and kind, past the buffer or not.
    xml = "<r><s><t>\xe9</t></s>" + "".join(f"<i n='{i}'>\u6771{i}</i>" for i in range(50_000)) + "</r>"
    root = read_string(xml, "r")
    check(root.children[0], 2)
    check(Node("w", children=list(root.children[1:3000])), 2, True)


@pytest.mark.parametrize("ch", ["a", "\xe9", "\u6771", "\U0001F600"])
def test_middling_outputs_are_exact_every_time(ch):
    # Documents of a few hundred KiB to about a MiB, written again and again: the str is first
    # made larger than the output, then either copied to its exact length or cut in place,
    # depending on the sizes freed before. Every result is the same exact, canonical str. (The
    # expected text is joined directly: the recursive reference is quadratic on this many
    # children under a sanitizer's allocator.)
    for count in (3_000, 12_000, 40_000):
        xml = "<r>" + "".join(f"<i n='{i}'>{ch}&amp;{i}</i>" for i in range(count)) + "</r>"
        root = read_string(xml, "r")
        for indent, decl in ((0, False), (2, True)):
            pad = "\n" + " " * indent
            want = (DECLARATION if decl else "") + "<r>" + "".join(
                f'{pad}<i n="{i}">{ch}&amp;{i}</i>' for i in range(count)) + "\n</r>"
            for _ in range(3):
                got = write_string(root, indent, decl)
                same = got == want  # not compared inside assert: a diff of MiB strings takes ages
                assert same, f"output {len(got)} characters, expected {len(want)}"
                assert sys.getsizeof(got) == sys.getsizeof(got[:1] + got[1:])


chars = st.sampled_from(list("ab &<>\"'\t\r\n\x01") + EDGES[:-1] + ["x" * 20, "\u00e9" * 9])
texts = st.lists(chars, max_size=12).map("".join)
names = st.sampled_from(["a", "item", "\u00e9", "\u6771", "x-y"])
attrs = st.dictionaries(st.sampled_from(["k", "id", "\u00e9"]), texts, max_size=3)
TREES = trees(names, attrs, st.none() | texts, max_nodes=15)


@settings(max_examples=examples(150), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(TREES, st.integers(0, 5), st.booleans(), st.sampled_from(["\U0010ffff", "\uffff", "\xff"]))
def test_measured_layout_matches_reference(tree, indent, decl, wide):
    # A tree read back from a document with a wider character beside it: its ranges carry the
    # document's bound, so unless the tree is as wide, the output is measured exactly and written
    # again. Compared with the reference built from the read nodes' own properties.
    doc = f"<w>{write_string(tree, indent, False)}<z>{wide}</z></w>"
    sub = read_string(doc, "w").children[0]
    check(sub, indent, decl)


@pytest.mark.parametrize("early", ["\xe9", "\u0100"])
@pytest.mark.parametrize("late", ["\xe9", "\u0100", "\U00010000", None])
@pytest.mark.parametrize("widest", ["\U0010ffff", "\uffff", "\xff"])
def test_kind_of_a_parsed_document_past_the_buffer(early, late, widest):
    # Once the output of a document's tree turns out not to be ASCII, the str is made in the kind
    # the whole document needs: right when a wider character comes late, and narrowed when the
    # widest character of the document lies outside what is written (a comment, a processing
    # instruction) or in a subtree not written.
    rows = "".join(f'<c n="{i}">{early if i == 5 else "t"}&amp;{i}</c>' for i in range(PAST_BUFFER // 16))
    tail = f"<z>{late}</z>" if late else "<z/>"
    for where in ("comment", "pi", "sibling"):
        if where == "comment":
            xml = f"<!-- {widest} --><r><s>{rows}{tail}</s></r>"
        elif where == "pi":
            xml = f"<r><?p {widest}?><s>{rows}{tail}</s></r>"
        else:
            xml = f"<r><s>{rows}{tail}</s><w>{widest}</w></r>"
        root = read_string(xml, "r")
        sub = root.children[0]
        for indent, decl in ((0, False), (2, True)):
            check(sub, indent, decl)
            check(root, indent, decl)
