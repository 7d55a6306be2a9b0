"""ValueErrors for malformed documents carry position = (line, column) next to the unchanged
byte-offset message: the line from 1, the column from 0 in characters of the text. A line ends
at "\\n", "\\r\\n" or a lone "\\r". Errors that name no offset have no position."""

import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tessary
from support import examples

OFFSET = re.compile(r"at byte (\d+)")


def expected_position(text: str, message: str):
    """The line and column of the byte offset in `message`, worked out on the str itself."""
    offset = int(OFFSET.search(message).group(1))
    before = text.encode("utf-8")[:offset].decode("utf-8")
    lines = re.split(r"\r\n|\r|\n", before)
    return len(lines), len(lines[-1])


def error_of(call, *args):
    with pytest.raises(ValueError) as info:
        call(*args)
    return info.value


def read_both(tmp_path, doc, root="r"):
    """The errors of read_string(doc) and of read_file on the same text written as UTF-8."""
    path = tmp_path / "doc.xml"
    path.write_bytes(doc.encode("utf-8"))
    return error_of(tessary.read_string, doc, root), error_of(tessary.read_file, str(path), root)


CASES = [
    # (document, message, position)
    ("<r>\n  <é/>\n  ü <x></r>", "malformed XML at byte 20: expected </x>, found </r>", (3, 7)),
    ("<r>\n<a>日本語テキスト</a>\n😀😀 &bad; </r>", "unknown entity reference '&bad;' at byte 42", (3, 3)),
    ("<r>\nÄÖÜ\n  ßß<b", "malformed XML: Unclosed tag at byte 17", (3, 4)),
    ("<r>\r\né中😀<x></r>", "malformed XML at byte 17: expected </x>, found </r>", (2, 6)),
    ("é\rü\r\nö\n<r><x></r>", "malformed XML at byte 16: expected </x>, found </r>", (4, 6)),
    ("<r a='€'>\n\n\n</x>", "malformed XML at byte 14: expected </r>, found </x>", (4, 0)),
]


@pytest.mark.parametrize("doc,message,position", CASES)
def test_positions_count_characters_and_lines(tmp_path, doc, message, position):
    for e in read_both(tmp_path, doc):
        assert str(e) == message  # the message stays exactly as it was
        assert e.position == position
        assert expected_position(doc, message) == position
        assert type(e.position) is tuple and all(type(v) is int for v in e.position)


def test_errors_without_an_offset_have_no_position(tmp_path):
    for doc, root in [("<a/>", "r"), ("<r><é>", "r"), ("", "r")]:
        for e in read_both(tmp_path, doc, root):
            assert "byte" not in str(e)
            assert not hasattr(e, "position")


def test_invalid_utf8_in_a_file(tmp_path):
    path = tmp_path / "bad.xml"
    path.write_bytes("<r>\nçà\n  ü".encode("utf-8") + b"\xff</r>")
    e = error_of(tessary.read_file, str(path), "r")
    assert str(e) == "malformed XML at byte 13: invalid UTF-8"
    assert e.position == (3, 3)


def test_a_files_byte_order_mark_is_not_a_column(tmp_path):
    path = tmp_path / "bom.xml"
    path.write_bytes(b"\xef\xbb\xbf<r><x></r>")
    e = error_of(tessary.read_file, str(path), "r")
    assert str(e) == "malformed XML at byte 9: expected </x>, found </r>"
    assert e.position == (1, 6)
    # In a str the mark is a character like any other.
    e = error_of(tessary.read_string, "\ufeff<r><x></r>", "r")
    assert e.position == (1, 7)


def test_position_is_set_on_every_raise_not_shared(tmp_path):
    a = error_of(tessary.read_string, "<r>\n\n<x></r>", "r")
    b = error_of(tessary.read_string, "<r><x></r>", "r")
    assert (a.position, b.position) == ((3, 3), (1, 6))
    assert isinstance(a, ValueError) and a.args == (str(a),)


pieces = st.sampled_from(["\n", "\r\n", "\r", " ", "é", "日本", "😀", "a", "&amp;", "<b/>", "<c>ß</c>"])
faults = st.sampled_from(["<x></r>", "&nope;", "<q", "</z>"])


@settings(max_examples=examples(150), deadline=None)
@given(before=st.lists(pieces, max_size=30), inside=st.lists(pieces, max_size=30), fault=faults)
def test_random_documents_match_the_str_reference(before, inside, fault):
    doc = "".join(before) + "<r>" + "".join(inside) + fault
    e = error_of(tessary.read_string, doc, "r")
    if OFFSET.search(str(e)) is None:
        assert not hasattr(e, "position")
    else:
        assert e.position == expected_position(doc, str(e))
