"""Generated documents: well-formed ones are read into the tree expat gives; mangled ones never
crash and fail only with ValueError."""

import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings, strategies as st  # noqa: E402

from tessary import read_file, read_string  # noqa: E402

from support import edits, examples, expat_tree, mutate, node_tree  # noqa: E402

NAMES = st.sampled_from(["a", "b", "item", "x:y", "é", "中文", "n-1", "_", "A.b"])
# Characters that exercise escaping, white space trimming and multi-byte boundaries (control
# characters such as U+001C are left out: expat refuses them). Raw CR is left out of text
# (expat would fold it into LF); it appears as a reference instead.
CHARS = st.sampled_from(list("ab <>&\"'\t\n;#x\u3000\u0085\u00a0\u2028é€😀") + ["]]>"])
TEXT = st.lists(CHARS, max_size=12).map("".join)

ESCAPES = {"<": ["&lt;", "&#60;", "&#x3c;"], "&": ["&amp;", "&#38;", "&#x26;"], ">": [">", "&gt;"],
           '"': ['"', "&quot;", "&#34;"], "'": ["'", "&apos;", "&#39;"], "\r": ["&#13;", "&#xD;"]}


def escape(draw, s, quote=None):
    out = []
    for i, c in enumerate(s):
        if c == ">" and s[max(0, i - 2):i] == "]]":
            out.append("&gt;")  # "]]>" may not appear in character data
        elif c == quote:
            out.append(draw(st.sampled_from(["&quot;" if c == '"' else "&apos;", f"&#{ord(c)};"])))
        elif c in ESCAPES:
            out.append(draw(st.sampled_from(ESCAPES[c])))
        elif c not in "\t\n" and draw(st.integers(0, 9)) == 0:
            out.append(draw(st.sampled_from([f"&#{ord(c)};", f"&#x{ord(c):X};", f"&#x{ord(c):04x};"])))
        else:
            out.append(c)
    return "".join(out)


@st.composite
def text_run(draw):
    """Character data: escaped text, sometimes CDATA sections, comments or PIs."""
    parts = []
    for _ in range(draw(st.integers(0, 3))):
        kind = draw(st.integers(0, 5))
        raw = draw(TEXT)
        if kind == 0:
            parts.append("<![CDATA[" + raw.replace("]]>", "]] >") + "]]>")
        elif kind == 1:
            parts.append("<!--" + raw.replace("-", "") + "-->")
        elif kind == 2:
            parts.append("<?pi " + raw.replace("?>", "? >") + "?>")
        else:
            parts.append(escape(draw, raw))
    return "".join(parts)


@st.composite
def attributes(draw):
    names = draw(st.lists(NAMES, max_size=4, unique=True))
    out = []
    for n in names:
        value = draw(TEXT) + draw(st.sampled_from(["", "\r\n", "\r", "\t"]))
        quote = draw(st.sampled_from(['"', "'"]))
        sep = draw(st.sampled_from([" ", "\n", "\t ", "  "]))
        eq = draw(st.sampled_from(["=", " = ", "\n="]))
        out.append(f"{sep}{n}{eq}{quote}{escape(draw, value, quote)}{quote}")
    return "".join(out)


@st.composite
def element(draw, depth=0):
    name = draw(NAMES)
    attrs = draw(attributes())
    if depth > 3 or draw(st.integers(0, 3)) == 0:
        if draw(st.booleans()):
            return f"<{name}{attrs}{draw(st.sampled_from(['', ' ']))}/>"
        return f"<{name}{attrs}>{draw(text_run())}</{name}{draw(st.sampled_from(['', ' ', chr(10)]))}>"
    body = [draw(text_run())]
    for _ in range(draw(st.integers(0, 3))):
        body.append(draw(element(depth + 1)))
        body.append(draw(text_run()))
    return f"<{name}{attrs}>{''.join(body)}</{name}>"


@st.composite
def document(draw):
    prolog = draw(st.sampled_from(["", '<?xml version="1.0"?>\n', "\ufeff", "<!-- c -->\n", "<!DOCTYPE d>"]))
    return prolog + draw(element()) + draw(st.sampled_from(["", "\n", "<!-- end -->"]))


SETTINGS = settings(max_examples=examples(120), deadline=None, suppress_health_check=[HealthCheck.too_slow])


@SETTINGS
@given(document())
def test_generated_documents_match_expat(doc):
    expected = expat_tree(doc.encode())
    assert node_tree(read_string(doc, expected[0])) == expected


@settings(max_examples=examples(200), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(document(), edits(), NAMES)
def test_mangled_documents_fail_cleanly(doc, changes, root):
    bad = mutate(doc, changes)
    try:
        r = read_string(bad, root)
    except ValueError:
        return
    # Whatever is read is a well-formed tree of str values.
    node_tree(r)


@settings(max_examples=examples(100), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(document(), st.integers(0, 10_000), st.binary(min_size=1, max_size=4), NAMES, st.data())
def test_mangled_files_fail_cleanly(tmp_path_factory, doc, pos, junk, root, data):
    raw = mutate(doc.encode(), [("insert", pos, 0, junk, 0)])
    path = tmp_path_factory.mktemp("m") / "doc.xml"
    path.write_bytes(raw)
    try:
        valid = raw.decode("utf-8")
    except UnicodeDecodeError as e:
        with pytest.raises(ValueError, match=f"^malformed XML at byte {e.start}: invalid UTF-8$"):
            read_file(str(path), root)
        return
    try:
        got = node_tree(read_file(str(path), root))
    except ValueError as e:
        with pytest.raises(ValueError) as again:
            read_string(valid, root)
        assert str(again.value) == str(e)
        return
    assert got == node_tree(read_string(valid, root))
