"""Output strings of every storage width: the writer fills a str of the kind its largest
character needs, chunk by chunk, and texts become strs the same way. A str built in the wrong
kind compares unequal to the same characters built by Python, so every check here is a plain
equality against a string Python made."""

import pytest

from tessary import Node, read_string, write_string
from support import escape

# One sample per width, and one character of each width for mixing.
ASCII, LATIN1, BMP, ASTRAL = "plain", "café", "東京", "\U0001F600"
WIDTHS = [ASCII, LATIN1, BMP, ASTRAL]


def ws(node, indent=2):
    return write_string(node, indent, False)


@pytest.mark.parametrize("inner", WIDTHS)
@pytest.mark.parametrize("outer", WIDTHS)
def test_subtree_narrower_than_its_document(inner, outer):
    # The document's widest character only bounds what a subtree holds: writing the inner element
    # alone, or reading its text, must give the subtree's own width.
    doc = f'<r a="{outer}"><m x="{outer}">{outer}</m><i k="{inner}">{inner}</i></r>'
    root = read_string(doc, "r")
    inner_node = root.children[1]
    assert ws(inner_node) == f'<i k="{inner}">{inner}</i>'
    assert inner_node.text == inner and inner_node.attrs == {"k": inner}
    assert inner_node.text.isascii() == inner.isascii()
    assert ws(root) == f'<r a="{outer}">\n  <m x="{outer}">{outer}</m>\n  <i k="{inner}">{inner}</i>\n</r>'


@pytest.mark.parametrize("width", [LATIN1, BMP, ASTRAL])
def test_characters_across_chunk_edges(width):
    # Output passes through a 32 KiB buffer: shifting a long run of multi-byte characters by
    # every offset puts character boundaries at every position of a chunk edge.
    run = (width + "ab<") * 4000
    for shift in range(8):
        text = "x" * shift + run
        node = Node("t", {"k": run[: 5000 + shift]}, [Node("c", text=text)])
        expected = f'<t k="{escape(run[: 5000 + shift], True)}">\n  <c>{escape(text)}</c>\n</t>'
        assert ws(node) == expected
        assert read_string(expected, "t").children[0].text == text


@pytest.mark.parametrize("width", WIDTHS)
def test_output_far_beyond_the_estimate_in_every_width(width):
    # Every '<' and '&' becomes four or five characters: far more output than the tree's size
    # suggests, so part of it is written past the first allocation.
    text = (width + "<&") * 60_000
    node = Node("e", {"k": text}, [Node("c", text=text)] * 3, text)
    body = escape(text)
    expected = f'<e k="{escape(text, True)}">{body}' + f"<c>{body}</c>" + f"\n  <c>{body}</c>" * 2 + "\n</e>"
    assert ws(node) == expected


def test_text_from_references_and_from_ranges():
    # Texts decoded from references are owned strings; verbatim ones are ranges of the document.
    doc = "<r><a>caf&#233;</a><b>&#x1F600;x</b><c>é</c><d>東</d><e>x</e></r>"
    root = read_string(doc, "r")
    assert [c.text for c in root.children] == ["café", "\U0001F600x", "é", "東", "x"]
    d = root.to_dict()
    assert [c["text"] for c in d["children"]] == ["café", "\U0001F600x", "é", "東", "x"]
    assert {c["text"] for c in d["children"]} >= {"x", "é"}  # hashes agree with Python's strs


def test_overlong_free_round_trip_of_every_kind():
    chars = "".join(chr(c) for c in (0x41, 0x7F, 0x80, 0xFF, 0x100, 0x7FF, 0x800, 0xFFFD, 0x10000, 0x10FFFF))
    for end in range(1, len(chars) + 1):
        piece = chars[:end]
        node = read_string(f"<r k='{piece}'>{piece}</r>", "r")
        assert node.text == piece and node.attrs["k"] == piece
        assert ws(node) == f'<r k="{piece}">{piece}</r>'
        assert ws(Node("r", {"k": piece}, text=piece)) == f'<r k="{piece}">{piece}</r>'
