"""Start tags against a plain model of how a start tag is read: where the tag ends (quoted values
are stepped over, "/>" ends an empty element), then its attributes in order, each value decoded,
with every problem reported at its byte offset. The reader reads the common well-formed tags in
one pass and leaves everything else to a general path; generated tags of both kinds, and many
near misses, must come out exactly as the model says."""

import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

import tessary
from support import SANITIZED, examples

SETTINGS = settings(max_examples=examples(150 if SANITIZED else 600), deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much])

SPACE = b" \t\n\r\f"
ENTITIES = {b"lt": "<", b"gt": ">", b"amp": "&", b"quot": '"', b"apos": "'"}


def tag_end(doc, i):
    """The byte a start tag ends on and whether it is empty ("/>"), walking from the end of its
    name; None when it never ends."""
    n = len(doc)
    while True:
        found = [j for j in (doc.find(c, i) for c in b"\"'/>") if j != -1]
        if not found:
            return None
        j = min(found)
        b = doc[j:j + 1]
        if b == b">":
            return j, False
        if b == b"/":
            if doc[j + 1:j + 2] == b">":
                return j + 1, True
            i = j + 1
            continue
        close = doc.find(b, j + 1)
        i = close + 1 if close != -1 else j + 2
        if i >= n:
            return None


class Problem(Exception):
    pass


def decode_value(raw, base):
    out, i = [], 0
    while i < len(raw):
        c = raw[i:i + 1]
        if c in (b"\t", b"\n", b"\r"):
            out.append(" ")
            i += 2 if raw[i:i + 2] == b"\r\n" else 1
        elif c == b"&":
            semi = raw.find(b";", i + 1)
            if semi == -1:
                raise Problem(f"malformed XML at byte {base + i}: unterminated entity reference")
            body = raw[i + 1:semi]
            if body in ENTITIES:
                out.append(ENTITIES[body])
            elif not body.startswith(b"#"):
                raise Problem(f"unknown entity reference '&{body.decode()};' at byte {base + i}")
            else:
                digits, radix = body[1:], 10
                if digits.startswith(b"x"):
                    digits, radix = digits[1:], 16
                if digits.startswith(b"+"):
                    digits = digits[1:]
                ok = digits and all(chr(d) in "0123456789abcdefABCDEF"[:radix + (6 if radix == 16 else 0)]
                                    for d in digits)
                value = int(digits, radix) if ok else 0
                if not (0 < value <= 0xFFFFFFFF) or 0xD800 <= value <= 0xDFFF or value > 0x10FFFF:
                    raise Problem(f"malformed XML at byte {base + i}: invalid character reference "
                                  f"'&{body.decode()};'")
                out.append(chr(value))
            i = semi + 1
        else:
            j = i + 1
            while j < len(raw) and raw[j:j + 1] not in (b"\t", b"\n", b"\r", b"&"):
                j += 1
            out.append(raw[i:j].decode())
            i = j
    return "".join(out)


def attributes(doc, start, end):
    """The attributes of the area [start, end) of a start tag, or the Problem."""
    attrs, p, last = [], start, start

    def fail(message):
        # A repeated name among the attributes before the problem is reported first.
        seen = set()
        for key, _, at in attrs:
            if key in seen:
                raise Problem(f"malformed XML at byte {at}: duplicate attribute '{key}'")
            seen.add(key)
        raise Problem(message)

    while True:
        while p < end and doc[p] in SPACE:
            p += 1
        if p == end:
            break
        if p == last:
            fail(f"malformed XML at byte {p}: expected whitespace before attribute")
        key_start = p
        while p < end and doc[p] not in SPACE + b"=\"'":
            p += 1
        key = doc[key_start:p].decode()
        if p == key_start:
            fail(f"malformed XML at byte {p}: expected attribute name")
        while p < end and doc[p] in SPACE:
            p += 1
        if p == end or doc[p:p + 1] != b"=":
            fail(f"malformed XML at byte {key_start}: attribute '{key}' has no value")
        p += 1
        while p < end and doc[p] in SPACE:
            p += 1
        if p == end or doc[p:p + 1] not in (b'"', b"'"):
            fail(f"malformed XML at byte {p}: value of attribute '{key}' is not quoted")
        quote, value_start = doc[p:p + 1], p + 1
        close = doc.find(quote, value_start, end)
        if close == -1:
            fail(f"malformed XML at byte {value_start}: unterminated attribute value")
        raw = doc[value_start:close]
        if b"<" in raw:
            fail(f"malformed XML at byte {value_start + raw.index(b'<')}: '<' is not allowed in attribute values")
        try:
            value = decode_value(raw, value_start)
        except Problem as e:
            fail(str(e))
        attrs.append((key, value, key_start))
        p = last = close + 1
    seen = set()
    for key, _, at in attrs:
        if key in seen:
            raise Problem(f"malformed XML at byte {at}: duplicate attribute '{key}'")
        seen.add(key)
    return {k: v for k, v, _ in attrs}


def read(doc_bytes):
    try:
        node = tessary.read_string(doc_bytes.decode(), "r")
    except ValueError as e:
        return str(e)
    return node.attrs


def expected(doc_bytes):
    end = tag_end(doc_bytes, 2)
    assume(end is not None)
    e, empty = end
    try:
        return attributes(doc_bytes, 2, e - 1 if empty else e)
    except Problem as p:
        return str(p)


pieces = st.sampled_from([
    " ", "  ", "\t", "\n", "\r\n", "\f", "=", " = ", '"', "'", "/", "a", "b", "key", "k2", "x.y",
    "é", "東", '"v"', "'v'", '"a b"', '"&amp;"', '"&lt;&gt;"', '"&#65;"', '"&#x263A;"', '"&bogus;"',
    '"&#0;"', '"a&b"', '"\t\n\r\n"', '"<"', '">"', "'\"'", '"\'"', '"/"', "\x00",
])


@st.composite
def start_tags(draw):
    """A start tag of element r: attributes well formed most of the time, mangled otherwise."""
    parts = []
    for _ in range(draw(st.integers(0, 20))):
        if draw(st.integers(0, 9)) == 0:
            parts.append(draw(st.lists(pieces, min_size=1, max_size=4).map("".join)))
        else:
            key = draw(st.sampled_from(["a", "b", "id", "k", "key", "x-y", "é", "ns:k"])) + str(draw(st.integers(0, 40)))
            if draw(st.integers(0, 9)) == 0:
                key = key.rstrip("0123456789")  # names that repeat more often
            space = draw(st.sampled_from([" ", "\n  ", "\t"]))
            eq = draw(st.sampled_from(["=", "=", " = ", "\n=\n"]))
            value = draw(st.sampled_from(['"1"', "'2'", '"some words"', '"&amp;&#x41;"', '"a\tb"', '""',
                                          "'it\"s'", '"52.8012151"', '"李明"']))
            parts.append(space + key + eq + value)
    end = draw(st.sampled_from([">", "/>", " >", " />", "\n/>"]))
    body = "".join(parts) + end
    # The element's name is r: what follows must not continue it.
    return "<r" + (body if body[0] in " \t\n\r\f/>" else " " + body)


@SETTINGS
@given(tag=start_tags())
def test_start_tags_match_the_model(tag):
    doc = tag + ("" if tag.endswith("/>") else "x</r>")
    b = doc.encode()
    # Only documents whose start tag ends where it was generated to end: the rest of the
    # document is then the text and end tag the model expects.
    end = tag_end(b, 2)
    assume(end is not None and end[0] == len(tag.encode()) - 1)
    assert read(b) == expected(b)


def test_many_attributes_on_both_sides_of_the_one_pass_limit():
    # Up to 16 attributes are read in one pass; more go the general way. Every one must be
    # kept exactly once, and a repetition found wherever it is.
    for n in (1, 2, 15, 16, 17, 40):
        names = [f"a{i}" for i in range(n)]
        doc = "<r " + " ".join(f'{k}="{i}"' for i, k in enumerate(names)) + "/>"
        assert tessary.read_string(doc, "r").attrs == {k: str(i) for i, k in enumerate(names)}
        for repeat in {0, n // 2, n - 1}:
            bad = doc[:-2] + f' {names[repeat]}="again"/>'
            offset = len(bad.encode()) - len(f'{names[repeat]}="again"/>')
            with pytest.raises(ValueError, match=f"at byte {offset}: duplicate attribute '{names[repeat]}'"):
                tessary.read_string(bad, "r")


def test_attribute_order_varies_and_keeps_every_attribute():
    doc = '<r a="1" b="2" c="3" d="4" e="5"/>'
    orders = {tuple(tessary.read_string(doc, "r").attrs) for _ in range(200)}
    assert len(orders) > 10
    assert all(sorted(o) == list("abcde") for o in orders)
    # Lookups find every key, in maps with and without an index.
    for n in (3, 16, 20):
        doc = "<x><r " + " ".join(f'k{i}="{i}"' for i in range(n)) + "/></x>"
        root = tessary.read_string(doc, "x")
        for i in range(n):
            assert len(root.search_by_attr(f"k{i}")) == 1


def test_tag_at_the_very_end_of_the_document():
    # The byte after the document is a 0 the one-pass reader stops at: a tag cut short there
    # must read as unclosed, whatever state the tag was in.
    for doc in ['<r a="1"', "<r a", "<r a=", '<r a="', "<r ", '<r a="1" ', '<r a="1"/']:
        with pytest.raises(ValueError, match="Unclosed tag at byte 0"):
            tessary.read_string(doc, "r")
    assert tessary.read_string('<r a="1"/>', "r").attrs == {"a": "1"}


@st.composite
def long_start_tags(draw):
    """A well-formed start tag of element r with long names and long values holding the bytes a
    one-pass reader must look at and pass (white space, '/', '=', '>', the other quote, '!')
    or stop at (references, tab, '<') anywhere, so that names and value ends fall on both sides
    of the edges of 64-byte blocks."""
    parts = []
    for i in range(draw(st.integers(1, 18))):
        key = f"k{i}" + "n" * draw(st.sampled_from([0, 0, 1, 3, 20, 61, 62, 63, 64, 70]))
        quote = draw(st.sampled_from(['"', '"', "'"]))
        chars = draw(st.lists(st.sampled_from(list("ab9.-") * 4 + [" ", "/", "=", ">", "!", "#", "&amp;", "\t",
                                                                "<", "é", "&#65;", "'", '"']),
                              max_size=draw(st.sampled_from([3, 20, 90]))))
        value = "".join(c for c in chars if c != quote)
        parts.append(draw(st.sampled_from([" ", " ", "  ", "\n"])) + key + "=" + quote + value + quote)
    return "<r" + "".join(parts) + draw(st.sampled_from([">", "/>", " >"]))


@SETTINGS
@given(tag=long_start_tags(), tail=st.integers(0, 140))
def test_long_start_tags_with_room_after_them_match_the_model(tag, tail):
    # A comment after the root leaves room past the tag, so that its last attributes are read
    # from whole blocks too (the one-pass reader reads a block only where the document has it).
    doc = tag + ("" if tag.endswith("/>") else "x</r>") + "<!--" + "y" * tail + "-->"
    b = doc.encode()
    end = tag_end(b, 2)
    assume(end is not None and end[0] == len(tag.encode()) - 1)
    assert read(b) == expected(b)


@pytest.mark.parametrize("length", [1, 2, 15, 16, 17, 31, 32, 33, 63, 64, 65])
def test_names_end_only_at_white_space_slash_or_gt(length, tmp_path):
    # The bytes below the space that are not white space here (tab, line feed, form feed,
    # carriage return, space), and those just above it, end no name: each is kept in the name
    # of a start, end and empty tag wherever it falls among the name's bytes, and the white
    # space that does end a name may follow it.
    odd = [c for c in range(1, 0x22) if c not in (0x09, 0x0A, 0x0C, 0x0D, 0x20)] + [0x7F]
    for i, c in enumerate(odd):
        name = "".join(chr(odd[(i + k) % len(odd)]) if k % 3 == 1 else "n" for k in range(length))
        name = "e" + name[1:]
        for after_open, after_close in (("", ""), (" a='1'", " "), ("\n", "\t")):
            doc = f"<r><{name}{after_open}>t</{name}{after_close}><{name}{after_open}/></r>"
            for node in (tessary.read_string(doc, "r"), tessary.read_file(str(write(tmp_path, doc)), "r")):
                assert [(k.name, k.text, k.attrs) for k in node.children] == [
                    (name, "t", {"a": "1"} if "a=" in after_open else {}),
                    (name, None, {"a": "1"} if "a=" in after_open else {})], (repr(name), after_open)


def write(tmp_path, doc):
    path = tmp_path / "doc.xml"
    path.write_bytes(doc.encode())
    return path
