"""write_string and write_file: layout, escaping, declaration, arguments, files, limits."""

import os
import threading

import pytest

from tessary import Node, write_file, write_string
from support import DECLARATION, chain, escape


def ws(node, indent=None, decl=False):
    return write_string(node, indent, decl)


# ---- layout ---------------------------------------------------------------------------------


def test_worked_example():
    tree = Node(
        "r",
        {"id": "1"},
        [
            Node("a", text="x & y"),
            Node("b", {"k": 'v"w'}),
            Node("c", children=[Node("d")], text="t"),
        ],
    )
    assert write_string(tree, 2) == (
        '<?xml version="1.0" encoding="utf-8"?>\n<r id="1">\n  <a>x &amp; y</a>\n'
        '  <b k="v&quot;w"/>\n  <c>t<d/>\n  </c>\n</r>'
    )


def test_element_forms():
    assert ws(Node("n")) == "<n/>"
    assert ws(Node("n", {"a": "1"})) == '<n a="1"/>'
    assert ws(Node("n", text="")) == "<n></n>"
    assert ws(Node("n", text="hi")) == "<n>hi</n>"
    # An element with empty text and children still takes the text's place: no break before
    # the first child.
    assert ws(Node("n", children=[Node("c")], text=""), 2) == "<n><c/>\n</n>"


def test_indentation_levels():
    two = Node("root", children=[Node("x"), Node("y")])
    assert ws(two, 0) == "<root>\n<x/>\n<y/>\n</root>"
    assert ws(two, 4) == "<root>\n    <x/>\n    <y/>\n</root>"
    assert ws(two) == ws(two, 4)
    deep = Node("a", children=[Node("b", children=[Node("c", text="t")])])
    assert ws(deep, 3) == "<a>\n   <b>\n      <c>t</c>\n   </b>\n</a>"
    assert ws(deep, 0) == "<a>\n<b>\n<c>t</c>\n</b>\n</a>"


def test_indentation_past_short_runs():
    # Nested 40 deep with indents up to 70 spaces per level: the indentation of a line passes
    # 64 spaces at different depths, and one level alone can be longer than that.
    for indent in (1, 3, 7, 16, 33, 64, 65, 70):
        tree = chain(40, "n")
        lines = [" " * (indent * d) + "<n>" for d in range(39)] + [" " * (indent * 39) + "<n/>"]
        lines += [" " * (indent * d) + "</n>" for d in reversed(range(39))]
        assert ws(tree, indent) == "\n".join(lines)


def test_output_far_beyond_the_size_estimate():
    # The output buffer is sized from the tree before escaping and indentation; escaping
    # every character, or indenting deeply, makes the output several times larger, so the
    # writer must move to a larger buffer part-way and still return the exact text.
    amp = "&" * 100_000
    out = ws(Node("e", {"k": amp}, text="<" * 100_000))
    assert out == f'<e k="{"&amp;" * 100_000}">{"&lt;" * 100_000}</e>'
    assert out.isascii() and len(out) == 900_012
    tree = chain(300, "n")
    lines = [" " * (50 * d) + "<n>" for d in range(299)] + [" " * (50 * 299) + "<n/>"]
    lines += [" " * (50 * d) + "</n>" for d in reversed(range(299))]
    for decl in (False, True):
        got = ws(tree, 50, decl)
        assert got == (DECLARATION if decl else "") + "\n".join(lines)
        assert hash(got) == hash(got[:]) and got.encode("ascii")
    wide = ws(Node("e", {"k": "é" * 50_000, "a": "&" * 50_000}))
    assert wide in (f'<e k="{"é" * 50_000}" a="{"&amp;" * 50_000}"/>', f'<e a="{"&amp;" * 50_000}" k="{"é" * 50_000}"/>')


def test_text_before_children():
    tree = Node("p", children=[Node("a", text="1"), Node("b")], text="lead")
    assert ws(tree, 2) == "<p>lead<a>1</a>\n  <b/>\n</p>"
    nested = Node("r", children=[Node("p", children=[Node("q")], text="t")])
    assert ws(nested, 2) == "<r>\n  <p>t<q/>\n  </p>\n</r>"


def test_shared_node_written_at_every_occurrence():
    leaf = Node("leaf", {"k": "v"}, text="x")
    mid = Node("mid", children=[leaf, leaf])
    tree = Node("r", children=[mid, leaf, mid])
    out = ws(tree, 1)
    assert out.count('<leaf k="v">x</leaf>') == 5
    assert out.count("<mid>") == 2


def test_names_and_keys_written_verbatim():
    assert ws(Node("a&<b", {"k<&": "v"})) == '<a&<b k<&="v"/>'
    assert ws(Node("é\U0001F600", text="t")) == "<é\U0001F600>t</é\U0001F600>"


def test_attribute_order_follows_the_map():
    attrs = {f"k{i}": str(i) for i in range(40)}
    for _ in range(5):
        node = Node("e", attrs, text="t")
        expected = "<e" + "".join(f' {k}="{v}"' for k, v in node.attrs.items()) + ">t</e>"
        assert ws(node) == expected
        # A child keeps its own map's order inside a larger tree as well.
        parent = Node("p", children=[node])
        assert ws(parent, 0) == "<p>\n" + expected + "\n</p>"


def test_declaration():
    n = Node("r")
    assert write_string(n) == DECLARATION + "<r/>"
    assert write_string(n, None, None) == DECLARATION + "<r/>"
    assert write_string(n, default_xml_def=True) == DECLARATION + "<r/>"
    assert write_string(n, default_xml_def=False) == "<r/>"
    tree = Node("r", children=[Node("a")])
    assert write_string(tree, indent=None, default_xml_def=None) == DECLARATION + "<r>\n    <a/>\n</r>"


# ---- escaping -------------------------------------------------------------------------------

CASES = [
    ("", "", ""),
    ("a<b", "a&lt;b", "a&lt;b"),
    ("x & y", "x &amp; y", "x &amp; y"),
    ("it's \"ok\"", "it&apos;s &quot;ok&quot;", "it&apos;s &quot;ok&quot;"),
    ("&amp;", "&amp;amp;", "&amp;amp;"),
    ("]]>", "]]&gt;", "]]&gt;"),
    ("\r\n", "\r\n", "&#13;&#10;"),
    ("a\tb\nc\rd", "a\tb\nc\rd", "a&#9;b&#10;c&#13;d"),
    ("é\U0001F600\u2028", "é\U0001F600\u2028", "é\U0001F600\u2028"),
    ("\x01\x08\x0b\x0c\x1f\x7f", "\x01\x08\x0b\x0c\x1f\x7f", "\x01\x08\x0b\x0c\x1f\x7f"),
]


@pytest.mark.parametrize("raw,text,attr", CASES)
def test_escaping_table(raw, text, attr):
    assert ws(Node("e", text=raw)) == f"<e>{text}</e>"
    assert ws(Node("e", {"k": raw})) == f'<e k="{attr}"/>'


def test_escaping_long_runs_at_every_position():
    # Special characters at every offset of texts longer than one 16-byte block, next to
    # multi-byte characters, so block edges and the scalar tail are both crossed.
    specials = "&<>\"'\t\r\n"
    for length in (15, 16, 17, 31, 32, 33, 64, 100):
        for pos in range(length):
            for c in specials:
                s = "é" * (pos // 2) + "x" * (pos % 2) + c + "y" * (length - pos)
                assert ws(Node("e", text=s)) == f"<e>{escape(s)}</e>"
                assert ws(Node("e", {"k": s})) == f'<e k="{escape(s, True)}"/>'
    dense = "".join(specials[i % 8] + "é" * (i % 3) for i in range(500))
    assert ws(Node("e", {"k": dense}, text=dense)) == f'<e k="{escape(dense, True)}">{escape(dense)}</e>'


def test_short_names_keys_and_values_of_every_length():
    # Names and keys shorter and longer than one 8- or 16-byte move, values shorter than one
    # scan block with a special character at every offset.
    specials = "&<>\"'\t\r\n"
    for length in range(0, 20):
        name = "n" * max(length, 1)
        key = "k" * max(length, 1)
        plain = "v" * length
        assert ws(Node(name, {key: plain})) == f'<{name} {key}="{plain}"/>'
        assert ws(Node(name, children=[Node(name)])) == f"<{name}>\n    <{name}/>\n</{name}>"
        for pos in range(length):
            for c in specials:
                v = plain[:pos] + c + plain[pos + 1:]
                assert ws(Node("e", text=v + "¦")) == f"<e>{escape(v)}¦</e>"  # '¦' is '&' plus 0x80
                assert ws(Node("e", {key: v, "z": v + "é"})) in (
                    f'<e {key}="{escape(v, True)}" z="{escape(v, True)}é"/>',
                    f'<e z="{escape(v, True)}é" {key}="{escape(v, True)}"/>',
                )
    every = specials * 2
    assert ws(Node("e", {"k": every})) == f'<e k="{escape(every, True)}"/>'


# ---- arguments ------------------------------------------------------------------------------


def test_signatures():
    assert write_string.__text_signature__ == "(node, indent=None, default_xml_def=None)"
    assert write_file.__text_signature__ == "(node, file_path, indent=None, default_xml_def=None)"


def raises_with_note(exc, call, message, note):
    with pytest.raises(exc) as info:
        call()
    if message is not None:
        assert str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{note}'"]
    return info.value


def test_argument_errors(tmp_path):
    n = Node("r")
    with pytest.raises(TypeError, match=r"^write_string\(\) takes from 1 to 3 positional arguments but 4 were given$"):
        write_string(n, 2, True, 5)
    with pytest.raises(TypeError, match=r"^write_file\(\) missing 1 required positional argument: 'file_path'$"):
        write_file(n)
    with pytest.raises(TypeError, match=r"unexpected keyword argument 'spacing'"):
        write_string(n, spacing=2)
    raises_with_note(TypeError, lambda: write_string("r"), "'str' object is not an instance of 'Node'", "node")
    raises_with_note(TypeError, lambda: write_string(None), "'None' is not an instance of 'Node'", "node")
    raises_with_note(OverflowError, lambda: write_string(n, -1), None, "indent")
    raises_with_note(OverflowError, lambda: write_string(n, 2**64), None, "indent")
    raises_with_note(TypeError, lambda: write_string(n, 2.0), None, "indent")
    raises_with_note(TypeError, lambda: write_string(n, "4"), None, "indent")
    raises_with_note(TypeError, lambda: write_string(n, 2, 1), "'int' object is not an instance of 'bool'", "default_xml_def")
    p = tmp_path / "out.xml"
    raises_with_note(TypeError, lambda: write_file(n, p), "'PosixPath' object is not an instance of 'str'", "file_path")
    raises_with_note(TypeError, lambda: write_file(n, bytes(p)), "'bytes' object is not an instance of 'str'", "file_path")
    raises_with_note(UnicodeEncodeError, lambda: write_file(n, str(tmp_path) + "/\udc80"), None, "file_path")
    # Conversion runs in parameter order and fails before any file is opened.
    raises_with_note(TypeError, lambda: write_file(5, 5, -1), None, "node")
    raises_with_note(TypeError, lambda: write_file(n, 5, -1), None, "file_path")
    raises_with_note(OverflowError, lambda: write_file(n, str(p), -1, 5), None, "indent")
    raises_with_note(TypeError, lambda: write_file(n, str(p), 1, 5), None, "default_xml_def")
    assert not p.exists()


# ---- files ----------------------------------------------------------------------------------


def big_tree():
    kids = [Node("item", {"n": str(i), "q": "a\"b'<"}, text=f"value {i} & more") for i in range(800)]
    huge = "x<y&z " * 3000  # one text, escaped to far more than 8192 bytes
    plain = "p" * 20000  # one run without specials: a single piece larger than the buffer
    kids.append(Node("huge", {"attr": huge}, text=huge))
    kids.append(Node("plain", {"attr": plain}, text=plain))
    kids.extend(kids[:50])
    return Node("root", {"x": "1"}, kids, text="top")


@pytest.mark.parametrize("indent,decl", [(None, None), (0, False), (3, True), (9000, False)])
def test_file_matches_string(tmp_path, indent, decl):
    tree = big_tree()
    expected = write_string(tree, indent, decl)
    assert len(expected.encode()) > 8192 * 10
    p = tmp_path / "out.xml"
    assert write_file(tree, str(p), indent, decl) is None
    assert p.read_bytes() == expected.encode("utf-8")
    assert write_file(tree, file_path=str(p), indent=indent, default_xml_def=decl) is None
    assert p.read_bytes() == expected.encode("utf-8")


def test_file_sizes_around_the_buffer(tmp_path):
    # Outputs and single pieces of every size near the 8192-byte buffer.
    p = tmp_path / "out.xml"
    for size in list(range(8150, 8200)) + list(range(16370, 16400)):
        for tree in (Node("r", text="t" * size), Node("r", children=[Node("a", text="t" * size), Node("b")])):
            write_file(tree, str(p), 1, True)
            assert p.read_bytes() == write_string(tree, 1, True).encode()


def test_file_pieces_around_the_large_buffer(tmp_path):
    # write_file buffers up to 256 KiB and writes pieces of 8 KiB or more straight through:
    # outputs that end at and around the buffer's edge, single texts just under and over the
    # straight-through size after a nearly full buffer, and escaped texts that grow past both.
    p = tmp_path / "out.xml"
    edge = 262144
    filler = [Node("f", {"i": str(i)}, text="x" * 1000) for i in range(250)]  # about 256 KiB
    used = len(write_string(Node("r", children=filler), 0, False).encode())
    trees = []
    for size in (edge - used - 40, edge - used - 8, edge - used + 3, 8191 - 12, 8192, 8193):
        for text in ("t" * max(size, 1), "<&" * max(size // 2, 1)):
            trees.append(Node("r", children=filler + [Node("big", {"k": text[:300]}, text=text), Node("end")]))
            trees.append(Node("r", children=[Node("big", text=text)] + filler))
    for tree in trees:
        for decl in (True, False):
            write_file(tree, str(p), 0, decl)
            assert p.read_bytes() == write_string(tree, 0, decl).encode()


def test_existing_file_replaced(tmp_path):
    p = tmp_path / "out.xml"
    p.write_bytes(b"z" * 100000)
    write_file(Node("r"), str(p))
    assert p.read_bytes() == (DECLARATION + "<r/>").encode()
    rel = "relative.xml"
    cwd = os.getcwd()
    os.chdir(tmp_path)
    try:
        write_file(Node("r"), rel, 0, False)
    finally:
        os.chdir(cwd)
    assert (tmp_path / rel).read_bytes() == b"<r/>"


def os_error(call):
    with pytest.raises(OSError) as info:
        call()
    e = info.value
    assert e.args == (str(e),) and e.errno is None and e.filename is None
    return e


def test_file_errors(tmp_path):
    n = Node("r", text="t")
    missing = tmp_path / "no" / "such" / "out.xml"
    e = os_error(lambda: write_file(n, str(missing)))
    assert type(e) is FileNotFoundError and str(e) == "No such file or directory (os error 2)"
    assert not missing.parent.exists()
    e = os_error(lambda: write_file(n, str(tmp_path)))
    assert type(e) is IsADirectoryError and str(e) == "Is a directory (os error 21)"
    f = tmp_path / "file"
    f.write_text("keep")
    e = os_error(lambda: write_file(n, str(f / "child.xml")))
    assert type(e) is NotADirectoryError and str(e) == "Not a directory (os error 20)"
    e = os_error(lambda: write_file(n, str(tmp_path / "a\0b.xml")))
    assert type(e) is OSError and str(e) == "file name contained an unexpected NUL byte"
    assert sorted(os.listdir(tmp_path)) == ["file"] and f.read_text() == "keep"
    if os.path.exists("/dev/full"):
        for tree in (n, big_tree()):
            e = os_error(lambda: write_file(tree, "/dev/full"))
            assert type(e) is OSError and str(e) == "No space left on device (os error 28)"


# ---- limits ---------------------------------------------------------------------------------


@pytest.mark.skipif(
    bool(os.environ.get("TESSARY_TEST_SANITIZED")) and "allocator_may_return_null=1" not in os.environ.get("ASAN_OPTIONS", ""),
    reason="the sanitizer's allocator aborts on impossible sizes unless allocator_may_return_null=1",
)
def test_huge_indent_is_a_memory_error():
    two = Node("r", children=[Node("a")])
    four = Node("r", children=[Node("a", children=[Node("b", children=[Node("c")])])])
    for tree, indent in ((two, 2**62), (two, 2**63 - 1), (two, 2**64 - 1), (four, 2**63), (four, 2**64 - 1)):
        with pytest.raises(MemoryError):
            write_string(tree, indent)
    # No indentation is written when nothing is nested.
    assert write_string(Node("r", text="t"), 2**64 - 1, False) == "<r>t</r>"
    assert write_string(two, 3) == DECLARATION + "<r>\n   <a/>\n</r>"


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_huge_indent_to_file_writes_until_refused():
    # The spaces go out a buffer at a time, so the disk, not memory, is what refuses.
    tree = Node("r", children=[Node("a", children=[Node("b")])])
    for indent in (2**62, 2**64 - 1):
        e = os_error(lambda: write_file(tree, "/dev/full", indent))
        assert str(e) == "No space left on device (os error 28)"


def test_deep_tree(deep, tmp_path):
    tree = chain(deep)
    out = write_string(tree, 0, False)
    assert out == "<a>\n" * (deep - 1) + "<a/>" + "\n</a>" * (deep - 1)
    p = tmp_path / "deep.xml"
    write_file(tree, str(p), 0, False)
    assert p.read_bytes() == out.encode()
    del out, tree


def test_threads_write_the_same_tree():
    tree = big_tree()
    expected = write_string(tree, 2)
    results = []

    def work():
        for _ in range(5):
            results.append(write_string(tree, 2))

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == 20 and all(r == expected for r in results)
