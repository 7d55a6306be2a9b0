"""Helpers for the reader tests: reference trees built with xml.parsers.expat, tree comparison
and the conformance-suite manifest."""

import csv
import os
import re
import xml.parsers.expat

# Code points with the Unicode White_Space property (Python's str.isspace also counts
# U+001C..U+001F, which are not white space).
WHITE_SPACE = (
    "\t\n\x0b\x0c\r \x85\xa0\u1680"
    + "".join(chr(c) for c in range(0x2000, 0x200B))
    + "\u2028\u2029\u202f\u205f\u3000"
)

XMLCONF = "/work/shared/data/xmlconf"
CLDR = "/usr/share/unicode/cldr/common"


def trimmed(text):
    text = text.strip(WHITE_SPACE)
    return text or None


def _lines(text):
    return None if text is None else text.replace("\r\n", "\n").replace("\r", "\n")


def expat_tree(data):
    """The tree expat reads from `data` (bytes or str), as nested tuples
    (name, attrs, text, children); namespace processing off."""
    parser = xml.parsers.expat.ParserCreate()
    parser.buffer_text = True
    parser.buffer_size = 1 << 16
    done = []
    # Open elements as [name, attrs, text pieces, finished children].
    stack = []

    def start(name, attrs):
        stack.append([name, attrs, [], []])

    def end(name):
        name, attrs, text, children = stack.pop()
        el = (name, attrs, trimmed("".join(text)), tuple(children))
        (stack[-1][3] if stack else done).append(el)

    def chars(data):
        if stack:
            stack[-1][2].append(data)

    parser.StartElementHandler = start
    parser.EndElementHandler = end
    parser.CharacterDataHandler = chars
    parser.Parse(data, True)
    return done[0]


def node_tree(node):
    """A tessary Node as the same nested tuples."""
    out = {}
    order = []
    work = [node]
    while work:
        n = work.pop()
        order.append(n)
        work.extend(n.children)
    for n in reversed(order):
        out[id(n)] = (n.name, n.attrs, n.text, tuple(out[id(c)] for c in n.children))
    return out[id(node)]


def normalise_lines(tree):
    """Both trees with CR LF and CR in text read as LF: expat normalises line ends, the reader
    keeps text as written."""
    name, attrs, text, children = tree
    work = [(tree, None)]
    result = {}
    order = []
    while work:
        t, _ = work.pop()
        order.append(t)
        work.extend((c, None) for c in t[3])
    for t in reversed(order):
        result[id(t)] = (t[0], t[1], _lines(t[2]), tuple(result[id(c)] for c in t[3]))
    return result[id(tree)]


def first_difference(a, b, path="root"):
    """A readable description of where two trees first differ, or None."""
    work = [(a, b, path)]
    while work:
        x, y, p = work.pop()
        for i, field in enumerate(("name", "attrs", "text")):
            if x[i] != y[i]:
                return f"{p}: {field} {x[i]!r} != {y[i]!r}"
        if len(x[3]) != len(y[3]):
            return f"{p}: {len(x[3])} children != {len(y[3])}"
        work.extend((cx, cy, f"{p}/{cx[0]}[{i}]") for i, (cx, cy) in enumerate(zip(x[3], y[3])))
    return None


def manifest(*uses):
    """Rows of the conformance manifest whose `use` is one of `uses`."""
    path = os.path.join(XMLCONF, "manifest.tsv")
    if not os.path.exists(path):
        return []
    with open(path, newline="", encoding="utf-8") as f:
        rows = list(csv.DictReader(f, delimiter="\t"))
    return [r for r in rows if r["use"] in uses]


def conformance_path(row):
    return os.path.join(XMLCONF, "xmlconf", row["path"])


_FIRST_NAME = re.compile(rb"<([^\s/>!?]+)")


def guessed_root(data):
    """The name after the first '<' that could start an element (for documents expat refuses)."""
    for m in _FIRST_NAME.finditer(data):
        return m.group(1).decode("utf-8", "replace")
    return "doc"


def lxml_tree(path):
    """The tree lxml reads from the file at `path`, as the same nested tuples (for documents
    whose names expat refuses; lxml follows the wider name rules)."""
    from lxml import etree

    parser = etree.XMLParser(resolve_entities=False, load_dtd=False, no_network=True, huge_tree=True)
    root = etree.parse(path, parser).getroot()
    out = {}
    order = []
    work = [root]
    while work:
        e = work.pop()
        order.append(e)
        work.extend(c for c in e if isinstance(c.tag, str))
    for e in reversed(order):
        pieces = [e.text or ""]
        for c in e:
            pieces.append(c.tail or "")
        kids = tuple(out[id(c)] for c in e if isinstance(c.tag, str))
        out[id(e)] = (e.tag, dict(e.attrib), trimmed("".join(pieces)), kids)
    return out[id(root)]
