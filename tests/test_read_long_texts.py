"""read_string of a str that is not all ASCII: the tree is the same as read_file makes of the same
document, however its long texts are kept (a tree that needs few of the document's bytes keeps
its long texts as the str's own characters and gives the rest up)."""

import gc
import os
import subprocess
import sys

import pytest

import tessary
from support import EMULATED, all_nodes, flatten, require_child_interpreter

# One character of each width a str stores its characters in, and the bytes each takes in UTF-8.
WIDE = {"latin-1": ("é", 2), "bmp": ("東", 3), "astral": ("😀", 4)}
LONG = 256  # bytes of UTF-8 from which a text is long


def filler(ch, nbytes, seed=0):
    """Text of exactly `nbytes` bytes of UTF-8: runs of ASCII with `ch` among them."""
    out, size, i = [], 0, seed
    unit = len(ch.encode())
    while size < nbytes:
        if i % 7 == 3 and nbytes - size >= unit:
            out.append(ch)
            size += unit
        else:
            out.append("abcdefghij"[i % 10])
            size += 1
        i += 1
    return "".join(out)


def documents(ch):
    """Documents dominated by long texts, each with the parts a tree keeps in other forms."""
    long1, long2 = filler(ch, 4000, 1), filler(ch, 3000, 2)
    flat = "".join(f"<t n='{i}'>{filler(ch, 2000, i)}</t>" for i in range(20))
    yield "flat", f"<r>{flat}</r>"
    # Texts just below, at and just above the length that makes a text long, whatever width
    # the character that crosses it has.
    edges = "".join(f"<e>{filler(ch, n, n)}</e><e>{'x' * (n - 1)}{ch}</e>" for n in range(LONG - 5, LONG + 6))
    yield "edges", f"<r>{edges}{'<pad>' + long1 * 3 + '</pad>'}</r>"
    # A parent whose only text follows its children: its text lies after theirs in the
    # document, while the tree lists it first.
    yield "text after children", f"<r><a><b>{long1}</b><c k=\"{ch}\">{long2}</c>{long1}</a><d>{long2}</d></r>"
    # Non-ASCII names, keys and values; short texts; texts with references (decoded copies);
    # CDATA; mixed content (joined); empty elements.
    yield "mixed", (
        f"<r><n{ch} {ch}k=\"v{ch}&amp;\">short {ch}</n{ch}>"
        f"<c><![CDATA[{long1}<not markup/>]]></c>"
        f"<ref>{long2} &amp; &#x1F600; &lt;{long1}</ref>"
        f"<m>{long1}<i/>{long2}</m><empty/><e2></e2>"
        f"<deep><a><b><c>{long2}</c></b></a></deep>{long1}</r>"
    )


def cases():
    for label, (ch, _) in WIDE.items():
        for name, doc in documents(ch):
            yield pytest.param(doc, id=f"{label}-{name}")


@pytest.mark.parametrize("doc", list(cases()))
def test_a_str_reads_as_its_bytes_do(doc, tmp_path):
    path = tmp_path / "doc.xml"
    path.write_bytes(doc.encode())
    from_str = tessary.read_string(doc, "r")
    from_file = tessary.read_file(str(path), "r")
    assert flatten(from_str) == flatten(from_file)
    assert from_str.to_dict() == from_file.to_dict()
    assert str(from_str) == str(from_file)
    for indent in (None, 2):
        args = () if indent is None else (indent,)
        assert tessary.write_string(from_str, *args) == tessary.write_string(from_file, *args)
    out = tmp_path / "out.xml"
    tessary.write_file(from_str, str(out))
    assert tessary.write_string(tessary.read_file(str(out), "r")) == tessary.write_string(from_file)
    # Every text is found by searching for it, and only where the file's tree finds it.
    for n in all_nodes(from_file)[:60]:
        if n.text is not None:
            assert [m.name for m in from_str.search_by_text(n.text)] == [m.name for m in from_file.search_by_text(n.text)]
            assert from_str.search_by_text(n.text + "x") == []
            assert from_str.search_by_text(n.text[:-1]) == [] or n.text[:-1] in {m.text for m in all_nodes(from_file)}


def test_the_tree_outlives_the_str_and_its_other_trees():
    ch = "東"
    long1 = filler(ch, 5000)
    doc = "".join(["<r>", *(f"<t>{long1}{i}</t>" for i in range(10)), "</r>"])
    first = tessary.read_string(doc, "r")
    second = tessary.read_string(doc, "r")
    expected = [f"{long1}{i}" for i in range(10)]
    del doc
    gc.collect()
    assert [c.text for c in first.children] == expected
    del first
    gc.collect()
    assert [c.text for c in second.children] == expected
    kept = second.children[3]
    del second
    gc.collect()
    assert kept.text == expected[3]
    written = tessary.write_string(tessary.Node("w", {}, [kept]))
    assert tessary.read_string(written, "w").children[0].text == expected[3]


def test_a_lone_surrogate_is_the_interpreters_error():
    with pytest.raises(UnicodeEncodeError):
        tessary.read_string(f"<r>{'x' * 300}\ud800</r>", "r")
    with pytest.raises(UnicodeEncodeError):
        tessary.read_string("<r>é\udfff</r>", "r")
    # The document's error comes first, named as the document's, as it does for an ASCII str.
    with pytest.raises(UnicodeEncodeError) as e:
        tessary.read_string("<r>é\udfff</r>", 5)
    assert e.value.__notes__ == ["while processing 'xml_string'"]
    with pytest.raises(TypeError) as t:
        tessary.read_string("<r>é</r>", 5)
    assert t.value.__notes__ == ["while processing 'root_tag'"]


def test_reader_errors_are_where_the_files_are(tmp_path):
    doc = "<r>\n<a>" + filler("東", 1000) + "</a>\n<b>é</c></r>"
    path = tmp_path / "bad.xml"
    path.write_bytes(doc.encode())
    with pytest.raises(ValueError) as from_str:
        tessary.read_string(doc, "r")
    with pytest.raises(ValueError) as from_file:
        tessary.read_file(str(path), "r")
    assert str(from_str.value) == str(from_file.value)
    assert from_str.value.position == from_file.value.position


MEMORY_SCRIPT = r"""
import gc, ctypes, sys
sys.path[:0] = sys.argv[1:]
import tessary
libc = ctypes.CDLL("libc.so.6")
def rss():
    return int(open("/proc/self/statm").read().split()[1]) * 4096
body = ("lorem ipsum 東京 dolor " * 100)[:2000]
doc = "<r>" + "".join(f"<blob id='{i}'><![CDATA[{body}]]></blob>" for i in range(4000)) + "</r>"
size = len(doc.encode())
gc.collect(); libc.malloc_trim(0); before = rss()
tree = tessary.read_string(doc, "r")
gc.collect(); libc.malloc_trim(0); kept = rss() - before
assert tree.children[17].text == body
print(kept / size)
"""


@pytest.mark.skipif(not sys.platform.startswith("linux") or os.environ.get("TESSARY_TEST_SANITIZED") is not None
                    or EMULATED, reason="resident memory is read from /proc, and a sanitizer's allocator or an "
                    "emulator's own memory would be counted with the tree")
def test_a_tree_of_long_texts_keeps_no_copy_of_them():
    require_child_interpreter()
    out = subprocess.run([sys.executable, "-c", MEMORY_SCRIPT, *sys.path], capture_output=True, text=True, check=True)
    # 10 MB of UTF-8: the tree keeps a fraction of it (with a copy it would keep more than all).
    assert float(out.stdout) < 0.5


@pytest.mark.parametrize("ch", ["a", "é", "東", "😀"])
def test_a_file_mostly_of_text_reads_the_same_as_its_str(ch, tmp_path):
    # Text with references is kept decoded, so the tree refers to few of the file's bytes and
    # keeps only those.
    body = (filler(ch, 300) + " &amp; &lt;x&gt; &#233; ") * 4
    doc = "<r>" + "".join(f"<e k='{i}'><t>{ch}{i}</t><b>{body}</b></e>" for i in range(50)) + "</r>"
    path = tmp_path / "doc.xml"
    path.write_bytes(doc.encode())
    from_file = tessary.read_file(str(path), "r")
    from_str = tessary.read_string(doc, "r")
    assert flatten(from_file) == flatten(from_str)
    assert tessary.write_string(from_file) == tessary.write_string(from_str)
    assert [n.attrs for n in from_file.search_by_name("e")] == [{"k": str(i)} for i in range(50)]


def escaped(text):
    return (text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
            .replace('"', "&quot;").replace("'", "&apos;"))


# Characters one of whose bytes in a str's units is that of a replaced character: U+263C and
# U+3C26 in two-byte units, U+1F33C in four-byte ones.
@pytest.mark.parametrize("ch", ["é", "東", "😀", "\u263c", "\u3c26", "\U0001f33c"])
def test_long_texts_are_written_with_their_replaced_characters(ch, tmp_path):
    special = "<&>\"'"
    bodies = [
        special + filler(ch, 600, 1) + special,
        filler(ch, 300, 2) + "".join(f"{c}{ch}{c}{c}" for c in special) + filler(ch, 300, 3),
        "&" * 3000 + ch,  # five times as long written: the result outgrows its first size
        ch * 400,
    ]
    doc = "<r>" + "".join(f"<t n='{i}'><![CDATA[{b}]]></t>" for i, b in enumerate(bodies)) + "</r>"
    path = tmp_path / "doc.xml"
    path.write_bytes(doc.encode())
    tree = tessary.read_string(doc, "r")
    out = tessary.write_string(tree)
    assert out == tessary.write_string(tessary.read_file(str(path), "r"))
    for i, b in enumerate(bodies):
        assert f'<t n="{i}">{escaped(b)}</t>' in out
        assert tessary.write_string(tree.children[i]).endswith(f'<t n="{i}">{escaped(b)}</t>')


def test_a_long_text_is_written_in_the_narrowest_kind_its_output_needs():
    # The str is of two-byte units; the text written holds only Latin-1 or only ASCII.
    for body in ["é" * 300 + "<>", "plain & simple " * 40 + "end"]:
        doc = f"<r><東>x</東><t><![CDATA[{body}]]></t>{'y' * 2000}</r>"
        tree = tessary.read_string(doc, "r")
        out = tessary.write_string(tree.children[1])
        assert out.endswith(f"<t>{escaped(body)}</t>")
        # A str in a wider kind than its characters need compares unequal to its own copy.
        assert out == out.encode().decode()
        assert max(out) < "\u0100"
