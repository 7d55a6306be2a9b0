"""read_string: what is read, every reader error with its offset, zero copy, depth, threads."""

import gc
import sys
import threading
import time

import pytest

from tessary import read_string

from support import WHITE_SPACE, expat_tree, node_tree


def error_of(doc, root="r"):
    with pytest.raises(ValueError) as info:
        read_string(doc, root)
    return str(info.value)


# ---- messages and offsets -------------------------------------------------------------------

@pytest.mark.parametrize(
    "doc, root, message",
    [
        ("", "r", "root tag <r> not found in document"),
        ("<x/>", "r", "root tag <r> not found in document"),
        ("<r>", "r", "unexpected end of document: <r> is never closed"),
        ("<r><a>", "r", "unexpected end of document: <a> is never closed"),
        ("<r", "r", "malformed XML: Unclosed tag at byte 0"),
        ("<a></a", "a", "malformed XML: Unclosed tag at byte 3"),
        ("<r><!-- x", "r", "malformed XML at byte 9: unexpected end of document"),
        ("<r><x></r>", "r", "malformed XML at byte 6: expected </x>, found </r>"),
        ("</x><r/>", "r", "malformed XML at byte 0: unexpected end tag </x>"),
        ("<p></q><r/>", "r", "malformed XML at byte 3: expected </p>, found </q>"),
        ("<r></r x>", "r", "malformed XML at byte 3: malformed end tag </r>"),
        ("<r>a<b</r>", "r", "malformed XML at byte 7: expected whitespace before attribute"),
        ("<r><>x</r>", "r", "malformed XML at byte 3: expected element name after '<'"),
        ("<a><r/></a>< b>", "zz", "malformed XML at byte 11: expected element name after '<'"),
        ('<r a="1"b="2"/>', "r", "malformed XML at byte 8: expected whitespace before attribute"),
        ('<r ="1"/>', "r", "malformed XML at byte 3: expected attribute name"),
        ('<r a="1" a="2"/>', "r", "malformed XML at byte 9: duplicate attribute 'a'"),
        # Attributes are checked in document order: a repeated name is reported before a fault
        # in a later attribute, and a fault before a later repetition.
        ('<r a="1" a="2" b="&bogus;"/>', "r", "malformed XML at byte 9: duplicate attribute 'a'"),
        ('<r a="1" a="2" b="x<y"/>', "r", "malformed XML at byte 9: duplicate attribute 'a'"),
        ('<r a="1" a="2" b=3/>', "r", "malformed XML at byte 9: duplicate attribute 'a'"),
        ('<r a="1" b="2" c="3" b="4" a="5">', "r", "malformed XML at byte 21: duplicate attribute 'b'"),
        ('<r a="1" b="&bogus;" a="2"/>', "r", "unknown entity reference '&bogus;' at byte 12"),
        ('<r a="1" b=2 a="3"/>', "r", "malformed XML at byte 11: value of attribute 'b' is not quoted"),
        ("<r a=1/>", "r", "malformed XML at byte 5: value of attribute 'a' is not quoted"),
        ("<r a />", "r", "malformed XML at byte 3: attribute 'a' has no value"),
        ("<a / >", "a", "malformed XML at byte 3: attribute '/' has no value"),
        ('<r a="x/>', "r", "malformed XML at byte 6: unterminated attribute value"),
        ('<r a="x<y"/>', "r", "malformed XML at byte 7: '<' is not allowed in attribute values"),
        ("<p a=1/><r/>", "r", "malformed XML at byte 5: value of attribute 'a' is not quoted"),
        ("<r>&bad;</r>", "r", "unknown entity reference '&bad;' at byte 3"),
        ("<r>x &nbsp;</r>", "r", "unknown entity reference '&nbsp;' at byte 5"),
        ("<r>&AMP;</r>", "r", "unknown entity reference '&AMP;' at byte 3"),
        ("<r>&;</r>", "r", "unknown entity reference '&;' at byte 3"),
        ("<r>AT&T</r>", "r", "malformed XML at byte 5: unterminated entity reference"),
        ('<r a="&bogus;"/>', "r", "unknown entity reference '&bogus;' at byte 6"),
        ('<r a="1 &#0;"/>', "r", "malformed XML at byte 8: invalid character reference '&#0;'"),
        ("<r><!-- a -- b -></r>", "r", "malformed XML at byte 21: unexpected end of document"),
        ("<r><?pi x></r>", "r", "malformed XML at byte 3: unterminated processing instruction"),
    ],
)
def test_error_messages(doc, root, message):
    assert error_of(doc, root) == message


@pytest.mark.parametrize(
    "ref", ["&#X41;", "&#0;", "&#xD800;", "&#xDFFF;", "&#x110000;", "&#4294967296;", "&#x-41;",
            "&#-65;", "&#;", "&#x;", "&#+;", "&#1a;", "&#xG;", "&#++65;"])
def test_invalid_character_references(ref):
    assert error_of(f"<r>ab{ref}</r>") == f"malformed XML at byte 5: invalid character reference '{ref}'"


def test_offsets_count_utf8_bytes():
    # "é" and "€" are 2 and 3 bytes: offsets are byte offsets, not character indices.
    assert error_of("<r>é€&x;</r>") == "unknown entity reference '&x;' at byte 8"
    assert error_of("<é></ü><r/>", "r") == "malformed XML at byte 4: expected </é>, found </ü>"


def test_first_error_wins_and_later_markup_is_not_checked():
    # The read ends at the root's end tag: nothing after it is examined.
    assert read_string("<r/><x a=1>&bad;</y>", "r").name == "r"
    assert read_string("<d><r>1</r></x>", "r").text == "1"
    # Outside the root, text and start-tag attributes are not checked, end tags are.
    assert read_string("<p a=1>&bogus; <r/></p>", "r").name == "r"
    assert error_of("<p>&bogus;</q><r/>") == "malformed XML at byte 10: expected </p>, found </q>"
    # An unclosed '<' anywhere is found by the index, even after the root.
    assert error_of("<r/><") == "malformed XML: Unclosed tag at byte 4"


# ---- text -----------------------------------------------------------------------------------

def test_text_joining_cdata_and_trimming():
    r = read_string("<r>a<b>inner</b>c<d/>e</r>", "r")
    assert r.text == "ace"
    assert [c.name for c in r.children] == ["b", "d"]
    assert r.children[0].text == "inner" and r.children[1].text is None
    assert read_string("<r>  x  </r>", "r").text == "x"
    assert read_string("<r>   </r>", "r").text is None
    assert read_string("<r></r>", "r").text is None
    assert read_string("<r><![CDATA[<x>&amp;]]></r>", "r").text == "<x>&amp;"
    assert read_string("<r><![CDATA[]]></r>", "r").text is None
    assert read_string("<r> a <![CDATA[ b ]]> c </r>", "r").text == "a  b  c"
    assert read_string("<r>x<!-- c -->y<?p i?>z</r>", "r").text == "xyz"
    # Pieces separated by white space only keep the white space between them.
    assert read_string("<r>\n  a\n  <b/>\n  <c/>\n  z\n</r>", "r").text == "a\n  \n  \n  z"
    assert read_string("<r>a <b/>\n</r>", "r").text == "a"
    assert read_string("<r>\n<b/> <c/>b</r>", "r").text == "b"
    # Line ends in text are kept as written.
    assert read_string("<r>a\r\nb\rc</r>", "r").text == "a\r\nb\rc"


def test_one_byte_texts():
    # Texts of one byte between tags, alone and joined with others: every ASCII byte a text may
    # hold, where white space is trimmed at the ends and kept between pieces, and '&' alone
    # is an unterminated reference wherever it stands.
    for c in map(chr, [0x09, 0x0A, 0x0D, 0x20] + list(range(0x21, 0x7F))):
        if c in "<&":
            continue
        blank = c in " \t\n\r"
        ref = f"&#{ord(c)};"
        for body, want in ((c, None if blank else c), (f"<a/>{c}<b/>", None if blank else c),
                           (f"x<a/>{c}<b/>y", "x" + c + "y"), (f"{c}<a/>{c}", None if blank else c + c),
                           (f"{ref}<a/>{c}", None if blank else c + c)):
            assert read_string(f"<r>{body}</r>", "r").text == want, (c, body)
    for doc, at in (("<r>&</r>", 3), ("<r><a/>&<b/></r>", 7), ("<r>x<a/>&</r>", 8), ("<r>\n<a/>&\n</r>", 8)):
        with pytest.raises(ValueError, match=f"^malformed XML at byte {at}: unterminated entity reference$"):
            read_string(doc, "r")


def test_trimming_uses_unicode_white_space():
    for ws in WHITE_SPACE:
        assert read_string(f"<r>{ws}x{ws}</r>", "r").text == "x", repr(ws)
        assert read_string(f"<r>{ws}<a/>{ws}</r>", "r").text is None, repr(ws)
    # Python's isspace counts these, White_Space does not.
    for c in "\x1c\x1d\x1e\x1f":
        assert read_string(f"<r>{c}x{c}</r>", "r").text == f"{c}x{c}"
    # Other multi-byte characters sharing lead or final bytes with white space stay.
    for c in "\u2000x\u200b", "\u00a1x\u0086", "\u3001x\u1681":
        assert read_string(f"<r>{c}</r>", "r").text == c.strip(WHITE_SPACE)
    # Decoded references are trimmed like any other text.
    assert read_string("<r>&#x3000;&#32;x&#x85;&#10;</r>", "r").text == "x"


# ---- references -----------------------------------------------------------------------------

def test_references_in_text():
    assert read_string("<r>a &lt; b</r>", "r").text == "a < b"
    assert read_string("<r>&lt;&gt;&amp;&quot;&apos;</r>", "r").text == "<>&\"'"
    assert read_string("<r>&#65;&#x42;&#x+43;&#+68;</r>", "r").text == "ABCD"
    assert read_string("<r>&#00000000065;&#x0000000000000041;</r>", "r").text == "AA"
    assert read_string("<r>&amp;lt;</r>", "r").text == "&lt;"
    assert read_string("<r>&#x10FFFF;&#xE000;&#xD7FF;&#xFFFE;&#1;</r>", "r").text == "\U0010ffff\ue000\ud7ff\ufffe\x01"
    assert read_string("<r>&#xe9;&#x20AC;&#x1F600;</r>", "r").text == "é€😀"
    # Tab, line feed and carriage return stay in text.
    assert read_string("<r>a\tb&amp;\nc\r\nd</r>", "r").text == "a\tb&\nc\r\nd"


def test_attributes():
    r = read_string("<r a='1' b = \"two\"\tc='x\"y' d=\"x'y\" e=\"\" f='&lt;&#x41;'/>", "r")
    assert r.attrs == {"a": "1", "b": "two", "c": 'x"y', "d": "x'y", "e": "", "f": "<A"}
    # Tab, line feed, carriage return and CR LF become one space each; references do not.
    assert read_string('<r a="1\t2\n3\r\n4\r5 &#9;&#10;&#13;"/>', "r").attrs == {"a": "1 2 3 4 5 \t\n\r"}
    assert read_string('<r a=" \r\n\r\n "/>', "r").attrs == {"a": "    "}
    # Attribute values are not trimmed; any bytes form a name; '>' may be quoted.
    assert read_string('<r x:y=" v " a.b-c="1>2"/>', "r").attrs == {"x:y": " v ", "a.b-c": "1>2"}
    # Attributes of the root, of children and of self-closing tags are all read.
    r = read_string('<r k="1"><c k="2"/><d k="3">t</d></r>', "r")
    assert r.attrs == {"k": "1"} and [c.attrs["k"] for c in r.children] == ["2", "3"]
    many = "".join(f' a{i}="{i}"' for i in range(300))
    assert read_string(f"<r{many}/>", "r").attrs == {f"a{i}": str(i) for i in range(300)}


# ---- root selection -------------------------------------------------------------------------

def test_root_selection():
    assert read_string("<r/>", "r").name == "r"
    r = read_string("<a><r>x</r></a>", "r")
    assert (r.name, r.text) == ("r", "x")
    assert read_string("<doc><x><r>1</r></x></doc>", "r").text == "1"
    assert read_string("<doc><r/><r>2</r></doc>", "r").text is None
    # Elements with the root's name inside the root are ordinary children.
    r = read_string("<r><r>inner</r>outer</r>", "r")
    assert r.text == "outer" and r.children[0].text == "inner"
    # The name is compared byte for byte: case and prefixes matter.
    assert read_string("<R><a:r/><r>x</r></R>", "r").text == "x"
    assert read_string("<ns:r a='1'/>", "ns:r").attrs == {"a": "1"}
    assert read_string("<a><é>v</é></a>", "é").text == "v"
    # Prolog, doctype, comments and a byte-order mark before the root are skipped.
    doc = '\ufeff<?xml version="1.0"?>\n<!DOCTYPE r>\n<!-- c --><r>t</r>'
    assert read_string(doc, "r").text == "t"


def test_matches_expat_on_mixed_documents():
    doc = (
        '<?xml version="1.0"?>\n<lib xmlns:x="urn:x">\n'
        '  <book id="1" x:lang="en">Title &amp; more<note>n&#233;</note> tail</book>\n'
        '  <book id="2"><![CDATA[raw <text>]]>\u3000</book>\n'
        "  <!-- comment --><empty/><?pi data?>\n</lib>"
    )
    assert node_tree(read_string(doc, "lib")) == expat_tree(doc)


def test_argument_errors():
    with pytest.raises(TypeError) as info:
        read_string(b"<r/>", "r")
    assert str(info.value) == "'bytes' object is not an instance of 'str'"
    assert info.value.__notes__ == ["while processing 'xml_string'"]
    with pytest.raises(TypeError) as info:
        read_string("<r/>", None)
    assert str(info.value) == "'None' is not an instance of 'str'"
    assert info.value.__notes__ == ["while processing 'root_tag'"]
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'root_tag'"):
        read_string("<a/>")
    with pytest.raises(UnicodeEncodeError):
        read_string("<r>\ud800</r>", "r")
    assert read_string(root_tag="r", xml_string="<r/>").name == "r"

    class S(str):
        pass

    assert read_string(S("<r>s</r>"), S("r")).text == "s"


# ---- zero copy and lifetimes ----------------------------------------------------------------

def test_tree_keeps_the_source_string_alive():
    src = "".join(["<r a='v'>", "text", "<c>child</c>", "</r>"])
    base = sys.getrefcount(src)
    root = read_string(src, "r")
    assert sys.getrefcount(src) == base + 1  # the one buffer holds the string
    child = root.children[0]
    del root
    gc.collect()
    assert sys.getrefcount(src) == base + 1
    del src
    assert (child.name, child.text) == ("c", "child")
    del child


def test_source_string_released_after_the_tree_and_after_failures():
    src = "<d>" + "é" * 10 + "<r k='v'>t<x/>&amp;</r></d>"
    base = sys.getrefcount(src)
    root = read_string(src, "r")
    kids = root.children
    del root
    assert sys.getrefcount(src) > base
    del kids
    assert sys.getrefcount(src) == base
    # A tree whose strings were all copied or absent still releases the buffer.
    root = read_string("<r>&amp;</r>" + "", "r")
    del root
    for bad in ("<r a='1' b='2'><x>y</x><z a=1/></r>", "<r>x<y>&bad;</y></r>", "<r><a>t</a>", "<q>t</q>"):
        s = bad + " "  # a fresh string object
        base = sys.getrefcount(s)
        with pytest.raises(ValueError):
            read_string(s, "r")
        assert sys.getrefcount(s) == base


@pytest.mark.parametrize("wide", ["\u00e9", "\u6771", "\U0001F600"])
def test_reading_a_str_leaves_no_utf8_form_in_it(wide):
    # A str of other characters than ASCII gets a UTF-8 form kept in it for its life once the
    # interpreter is asked for one (sys.getsizeof counts it). Reading makes its own instead,
    # and a str that already has one is read from that: both trees are the same.
    import ctypes

    doc = "<r a='" + wide + "'>" + "".join(f"<e k='{i}{wide}'>t{wide}&amp;{i}</e>\n" for i in range(300)) + "</r>"
    src = (doc + " ")[:-1]
    size = sys.getsizeof(src)
    fresh = read_string(src, "r")
    assert sys.getsizeof(src) == size
    as_utf8 = ctypes.pythonapi.PyUnicode_AsUTF8
    as_utf8.argtypes, as_utf8.restype = [ctypes.py_object], ctypes.c_void_p
    as_utf8(src)
    assert sys.getsizeof(src) > size
    cached = read_string(src, "r")
    assert node_tree(fresh) == node_tree(cached) == expat_tree(doc)
    assert fresh.attrs == {"a": wide} and fresh.children[299].text == f"t{wide}&299"


# ---- depth ----------------------------------------------------------------------------------

def test_very_deep_document(deep):
    doc = "<a k='v'>" * deep + "leaf" + "</a>" * deep
    root = read_string(doc, "a")
    node, depth = root, 1
    while node.children:
        (node,) = node.children
        depth += 1
    assert depth == deep and node.text == "leaf" and node.attrs == {"k": "v"}
    del node
    del root
    # Failing deep inside releases the half-built chain without recursion.
    with pytest.raises(ValueError, match="is never closed"):
        read_string("<a>" * deep, "a")
    with pytest.raises(ValueError, match=r"expected </a>, found </b>"):
        read_string("<a>" * deep + "</b>", "a")
    # Deep nesting outside the root is only balanced.
    assert read_string("<p>" * deep + "<r/>" + "</p>" * deep, "r").name == "r"


# ---- threads --------------------------------------------------------------------------------

def test_lock_is_released_while_reading():
    doc = "<p>" + "<x a='1'>t</x>" * 400_000 + "</p>"
    ticks = [0]
    running = threading.Event()
    stop = threading.Event()

    def spin():
        running.set()
        while not stop.is_set():
            ticks[0] += 1

    t = threading.Thread(target=spin)
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-4)
    try:
        t.start()
        running.wait()
        before = ticks[0]
        start = time.perf_counter()
        with pytest.raises(ValueError):
            read_string(doc, "missing")  # long work, no nodes made
        during = ticks[0] - before
        elapsed = time.perf_counter() - start
    finally:
        stop.set()
        t.join()
        sys.setswitchinterval(old)
    assert during > 100, (during, elapsed)


def test_concurrent_reads():
    docs = [f"<r n='{i}'>" + f"<c>{i}&amp;</c>" * 2000 + "</r>" for i in range(8)]
    results = [None] * 8

    def work(i):
        for _ in range(5):
            r = read_string(docs[i], "r")
            results[i] = (r.attrs["n"], len(r.children), r.children[-1].text)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [(str(i), 2000, f"{i}&") for i in range(8)]

