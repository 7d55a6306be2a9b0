"""read_file: file errors, encodings, large files, the conformance suite and the CLDR corpus."""

import os
import re
import xml.parsers.expat

import pytest

from tessary import read_file, read_string

from support import (
    EMULATED, SANITIZED, cldr_files, conformance_path, expat_tree, first_difference, guessed_root,
    lxml_tree, manifest, needs_cldr, node_tree, normalise_lines,
)


def write(tmp_path, data, name="doc.xml"):
    p = tmp_path / name
    p.write_bytes(data)
    return str(p)


# ---- file errors ----------------------------------------------------------------------------

def test_file_errors(tmp_path):
    with pytest.raises(FileNotFoundError) as info:
        read_file(str(tmp_path / "missing.xml"), "r")
    assert str(info.value).endswith("(os error 2)") and info.value.errno is None
    with pytest.raises(IsADirectoryError, match=r"\(os error 21\)$"):
        read_file(str(tmp_path), "r")
    with pytest.raises(NotADirectoryError):
        read_file(write(tmp_path, b"<r/>") + "/x", "r")
    with pytest.raises(OSError) as info:
        read_file(str(tmp_path / "a\x00b"), "r")
    assert type(info.value) is OSError
    assert str(info.value) == "file name contained an unexpected NUL byte"
    unreadable = write(tmp_path, b"<r/>", "secret.xml")
    os.chmod(unreadable, 0)
    if not os.access(unreadable, os.R_OK):  # root may read it anyway
        with pytest.raises(PermissionError):
            read_file(unreadable, "r")


def test_file_arguments(tmp_path):
    path = write(tmp_path, b"<r/>")
    with pytest.raises(TypeError) as info:
        read_file(tmp_path / "doc.xml", "r")
    assert info.value.__notes__ == ["while processing 'file_path'"]
    with pytest.raises(TypeError):
        read_file(path.encode(), "r")
    with pytest.raises(TypeError) as info:
        read_file(path, 1)
    assert info.value.__notes__ == ["while processing 'root_tag'"]
    # The path is converted before the root tag.
    with pytest.raises(TypeError) as info:
        read_file(None, None)
    assert info.value.__notes__ == ["while processing 'file_path'"]
    assert read_file(root_tag="r", file_path=path).name == "r"


def test_file_contents(tmp_path):
    assert read_file(write(tmp_path, b"\xef\xbb\xbf<r a='1'>x</r>"), "r").attrs == {"a": "1"}
    assert read_file(write(tmp_path, "<r>é€😀 &#xe9;</r>".encode()), "r").text == "é€😀 é"
    with pytest.raises(ValueError, match="root tag <r> not found in document"):
        read_file(write(tmp_path, b""), "r")
    with pytest.raises(ValueError, match="unknown entity reference '&x;' at byte 3"):
        read_file(write(tmp_path, b"<r>&x;</r>"), "r")
    # A file with no size reported up front is read to its end.
    if os.path.exists("/proc/self/status"):
        with pytest.raises(ValueError, match="not found"):
            read_file("/proc/self/status", "r")


@pytest.mark.parametrize(
    "bad",
    [b"\x80", b"\xbf", b"\xc0\xaf", b"\xc1\xbf", b"\xe0\x80\xaf", b"\xe0\x9f\xbf", b"\xed\xa0\x80",
     b"\xed\xbf\xbf", b"\xf0\x80\x80\xaf", b"\xf0\x8f\xbf\xbf", b"\xf4\x90\x80\x80", b"\xf5\x80\x80\x80",
     b"\xff", b"\xfe", b"\xc3", b"\xe2\x82", b"\xf0\x9f\x98", b"\xc3A", b"\xe2\x82A", b"\xf0\x9f\x98A",
     b"\xe2A\xac"])
def test_invalid_utf8(tmp_path, bad):
    for prefix in (b"", b"<r>", b"<r>" + "é€".encode() + b"x" * 40, b"<r a='" + b"y" * 17):
        data = prefix + bad + b"</r>"
        with pytest.raises(ValueError) as info:
            read_file(write(tmp_path, data), "r")
        assert str(info.value) == f"malformed XML at byte {len(prefix)}: invalid UTF-8"
    # Even after the root's end: the whole file is checked first.
    with pytest.raises(ValueError, match="at byte 4: invalid UTF-8"):
        read_file(write(tmp_path, b"<r/>" + bad), "r")


def test_valid_utf8_boundaries(tmp_path):
    # The extremes of each sequence length are accepted.
    text = "\x7f\x80\u07ff\u0800\ud7ff\ue000\uffff\U00010000\U0010ffff"
    for pad in range(20):  # place them across the 16-byte blocks
        data = ("<r>" + "a" * pad + text + "</r>").encode()
        assert read_file(write(tmp_path, data), "r").text == "a" * pad + text


def test_large_file(tmp_path):
    row = '<item id="{0}" name="n&amp;{0}">text {0} é</item>\n'
    body = "".join(row.format(i) for i in range(200_000))
    data = ("<root>\n" + body + "</root>").encode()
    assert len(data) > 8_000_000
    root = read_file(write(tmp_path, data), "root")
    kids = root.children
    assert len(kids) == 200_000
    for i in (0, 1, 65_535, 123_457, 199_999):
        assert (kids[i].attrs, kids[i].text) == ({"id": str(i), "name": f"n&{i}"}, f"text {i} é")


# ---- the conformance suite ------------------------------------------------------------------

ACCEPT = manifest("accept")
ACCEPT_ED5 = manifest("accept-ed5")
REJECT = manifest("reject", "reject-ed1-4")


def strip_line_ends(tree):
    """Text with every CR and LF removed: the reader keeps line ends as written, expat folds
    CR LF and CR into LF, so line ends are the one place where the trees may differ."""
    work, done, order = [tree], {}, []
    while work:
        t = work.pop()
        order.append(t)
        work.extend(t[3])
    for t in reversed(order):
        text = None if t[2] is None else re.sub("[\r\n]", "", t[2])
        done[id(t)] = (t[0], t[1], text, tuple(done[id(c)] for c in t[3]))
    return done[id(tree)]


def test_conformance_accept():
    assert len(ACCEPT) == 211
    failures = []
    for row in ACCEPT:
        path = conformance_path(row)
        with open(path, "rb") as f:
            data = f.read()
        expected = expat_tree(data)
        got = node_tree(read_file(path, expected[0]))
        if b"\r" in data:
            # Exactly, once the raw line ends are folded the way expat folds them ...
            folded = data.replace(b"\r\n", b"\n").replace(b"\r", b"\n").decode()
            diff = first_difference(node_tree(read_string(folded, expected[0])), expected)
            # ... and up to line ends when read as written.
            diff = diff or first_difference(strip_line_ends(got), strip_line_ends(expected))
        else:
            diff = first_difference(got, expected)
        if diff:
            failures.append((row["id"], diff))
    assert failures == []


def test_conformance_accept_fifth_edition_names():
    # Names are not checked, so documents that only the wider name rules allow are read; expat
    # refuses most of them, lxml follows those rules and serves as the reference.
    assert len(ACCEPT_ED5) == 312
    failures = []
    for row in ACCEPT_ED5:
        path = conformance_path(row)
        expected = lxml_tree(path)
        got = node_tree(read_file(path, expected[0]))
        diff = first_difference(normalise_lines(got), normalise_lines(expected))
        if diff:
            failures.append((row["id"], diff))
    assert failures == []


def test_conformance_reject_never_crashes():
    assert len(REJECT) == 205
    for row in REJECT:
        path = conformance_path(row)
        with open(path, "rb") as f:
            data = f.read()
        for root in {guessed_root(data), "doc", "nonexistent"}:
            try:
                read_file(path, root)
            except ValueError:
                pass
        try:
            text = data.decode("utf-8")
        except UnicodeDecodeError:
            continue
        try:
            read_string(text, guessed_root(data))
        except ValueError:
            pass


# ---- real documents -------------------------------------------------------------------------

@needs_cldr
def test_cldr_corpus():
    files = cldr_files()
    assert len(files) >= 2000
    if SANITIZED or EMULATED:
        files = files[::10]  # several times slower there; a tenth still covers every folder
    failures = []
    for path in files:
        with open(path, "rb") as f:
            data = f.read()
        try:
            expected = expat_tree(data)
        except xml.parsers.expat.ExpatError as e:  # pragma: no cover - the corpus is well-formed
            failures.append((path, f"expat: {e}"))
            continue
        diff = first_difference(node_tree(read_file(path, expected[0])), expected)
        if diff:
            failures.append((path, diff))
    assert failures == []
