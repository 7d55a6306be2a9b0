"""Leaks: every operation, succeeding and failing, repeated many times, must leave the reference
counts of its inputs and the process's memory where they were."""

import gc
import os
import sys
import tempfile

import pytest

import tessary
from support import SANITIZED

Node = tessary.Node
SearchType = tessary.SearchType

_TMP = tempfile.mkdtemp(prefix="tessary-leaks-")
GOOD_FILE = os.path.join(_TMP, "good.xml")
BAD_FILE = os.path.join(_TMP, "bad.xml")
NOT_UTF8 = os.path.join(_TMP, "latin1.xml")
OUT_FILE = os.path.join(_TMP, "out.xml")
MISSING_DIR_FILE = os.path.join(_TMP, "no", "such", "dir.xml")

# Some kilobytes, so that a document, a tree or a decoded string lost per call shows in the
# process's memory long before the tolerance is used up.
GOOD = ('<?xml version="1.0"?><doc><root a="1 &amp; 2" b="x\ty">'
        + "<c>t\u00e9xt &lt; &#x1F600; more</c><c/><![CDATA[raw]]><d k='v' q='a&quot;b'>  spaced  </d>" * 60
        + "</root></doc>")
BAD = {
    "mismatch": "<root><a></root>",
    "entity": "<root>&nope;</root>",
    "char_ref": "<root>&#xD800;</root>",
    "unclosed_tag": "<root",
    "never_closed": "<root><a>",
    "not_found": "<other/>",
    "attribute": '<root a="1" a="2"/>',
}
with open(GOOD_FILE, "w", encoding="utf-8") as f:
    f.write(GOOD)
with open(BAD_FILE, "w", encoding="utf-8") as f:
    f.write(BAD["entity"])
with open(NOT_UTF8, "wb") as f:
    f.write("<root>\u00e9</root>".encode("latin-1"))

ROOT = "root"
TREE = tessary.read_string(GOOD, ROOT)
LEAF = Node("leaf", {"k": "v"}, text="t")
BUILT = Node("top", {"x": "1", "y": "<2>"}, [LEAF, Node("mid", children=[LEAF]), LEAF], "some text")
DICT = BUILT.to_dict()
BAD_DICTS = {
    "union": {"name": "a", "attrs": {}, "children": [], "extra": 2**40 + 1},
    "union_nested": {"name": "a", "attrs": {}, "children": [{"name": "b", "attrs": {"k": None}, "children": []}]},
    "name": {"attrs": {}, "children": []},
    "attrs": {"name": "a", "attrs": [], "children": []},
    "children": {"name": "a", "attrs": {}, "children": {}},
    "child_node": {"name": "a", "attrs": {}, "children": [LEAF]},
}
NAME, KEY, TEXT, BIG = "c", "k", "t", 2**40

ITERATIONS = 3000
WARMUP = 300


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def attempt(fn, *args, **kwargs):
    """Calls fn and returns its exception type, or None; the exception itself is dropped."""
    try:
        fn(*args, **kwargs)
    except Exception as e:
        return type(e)
    return None


def check_stable(op, watched, expect=None):
    # Small ints and interned strings are shared with the whole interpreter; their counts say
    # nothing about this operation.
    watched = [o for o in watched if sys.getrefcount(o) < 10**6]
    for _ in range(WARMUP):
        assert attempt(op) is expect
    gc.collect()
    before = [sys.getrefcount(o) for o in watched]
    rss = rss_bytes()
    for _ in range(ITERATIONS):
        attempt(op)
    gc.collect()
    after = [sys.getrefcount(o) for o in watched]
    assert after == before, "reference counts moved: %s -> %s" % (before, after)
    if not SANITIZED:
        growth = rss_bytes() - rss
        assert growth < 10 * 2**20, "memory grew by %d bytes over %d calls" % (growth, ITERATIONS)


# (id, operation, objects whose reference counts must not move, expected exception)
CASES = [
    ("read_string", lambda: tessary.read_string(GOOD, ROOT), [GOOD, ROOT, Node], None),
    ("read_string_kept_text", lambda: tessary.read_string(GOOD, ROOT).children[0].text, [GOOD, ROOT], None),
    ("read_string_wrong_type", lambda: tessary.read_string(b"<r/>", ROOT), [ROOT], TypeError),
    ("read_string_surrogate", lambda: tessary.read_string("<root>\ud800</root>", ROOT), [ROOT], UnicodeEncodeError),
    ("read_file", lambda: tessary.read_file(GOOD_FILE, ROOT), [GOOD_FILE, ROOT, Node], None),
    ("read_file_bad", lambda: tessary.read_file(BAD_FILE, ROOT), [BAD_FILE, ROOT], ValueError),
    ("read_file_not_utf8", lambda: tessary.read_file(NOT_UTF8, ROOT), [NOT_UTF8, ROOT], ValueError),
    ("read_file_missing", lambda: tessary.read_file(MISSING_DIR_FILE, ROOT), [MISSING_DIR_FILE], FileNotFoundError),
    ("read_file_directory", lambda: tessary.read_file(_TMP, ROOT), [_TMP], IsADirectoryError),
    ("read_file_nul", lambda: tessary.read_file("a\0b", ROOT), [ROOT], OSError),
    ("write_string", lambda: tessary.write_string(TREE, 2), [TREE, LEAF], None),
    ("write_string_built", lambda: tessary.write_string(BUILT, 0, False), [BUILT, LEAF], None),
    ("write_string_bad_indent", lambda: tessary.write_string(BUILT, -1), [BUILT], OverflowError),
    ("write_string_bad_flag", lambda: tessary.write_string(BUILT, 1, "yes"), [BUILT], TypeError),
    ("write_file", lambda: tessary.write_file(BUILT, OUT_FILE), [BUILT, OUT_FILE], None),
    ("write_file_read_tree", lambda: tessary.write_file(TREE, OUT_FILE, 1), [TREE, OUT_FILE], None),
    ("write_file_missing_dir", lambda: tessary.write_file(BUILT, MISSING_DIR_FILE), [BUILT], FileNotFoundError),
    ("write_file_bytes_path", lambda: tessary.write_file(BUILT, OUT_FILE.encode()), [BUILT], TypeError),
    ("search_by_name", lambda: TREE.search_by_name(NAME), [TREE, NAME], None),
    ("search_by_attr", lambda: BUILT.search_by_attr(KEY, 2), [BUILT, LEAF, KEY], None),
    ("search_by_text", lambda: BUILT.search_by_text(TEXT), [BUILT, LEAF, TEXT], None),
    ("search", lambda: BUILT.search(SearchType.Attr, KEY, 1), [BUILT, LEAF, SearchType.Attr, KEY], None),
    ("search_bad_by", lambda: BUILT.search(0, KEY), [BUILT, KEY], TypeError),
    ("search_bad_depth", lambda: BUILT.search_by_name(NAME, BIG), [BUILT, NAME, BIG], OverflowError),
    ("to_dict", lambda: TREE.to_dict(), [TREE], None),
    ("from_dict", lambda: Node.from_dict(DICT), [DICT, DICT["children"][0]], None),
    ("from_dict_not_dict", lambda: Node.from_dict([DICT]), [DICT], TypeError),
    ("node", lambda: Node(NAME, {KEY: TEXT}, [LEAF, LEAF], TEXT), [NAME, KEY, TEXT, LEAF], None),
    ("node_bad_name", lambda: Node(BIG), [BIG], TypeError),
    ("node_bad_attrs", lambda: Node(NAME, [KEY]), [NAME, KEY], TypeError),
    ("node_bad_attr_value", lambda: Node(NAME, {KEY: BIG}), [NAME, KEY, BIG], TypeError),
    ("node_str_children", lambda: Node(NAME, children=TEXT), [NAME, TEXT], TypeError),
    ("node_bad_child", lambda: Node(NAME, children=[LEAF, TEXT]), [NAME, LEAF, TEXT], TypeError),
    ("node_bad_text", lambda: Node(NAME, text=BIG), [NAME, BIG], TypeError),
    ("node_unknown_keyword", lambda: Node(NAME, colour=TEXT), [NAME, TEXT], TypeError),
    ("print", lambda: (str(BUILT), repr(TREE), getattr(BUILT, "__to_string")(3)), [BUILT, TREE, LEAF], None),
    ("print_bad_spacing", lambda: getattr(BUILT, "__to_string")(300), [BUILT], OverflowError),
    ("properties", lambda: (TREE.name, TREE.text, TREE.attrs, TREE.children, LEAF.attrs), [TREE, LEAF], None),
] + [
    ("read_string_bad_" + k, (lambda d=d: tessary.read_string(d, ROOT)), [d, ROOT], ValueError)
    for k, d in BAD.items()
] + [
    ("from_dict_bad_" + k, (lambda d=d: Node.from_dict(d)), [d, LEAF] + list(d.values()),
     TypeError if k.startswith("union") or k == "child_node" else ValueError)
    for k, d in BAD_DICTS.items()
]


@pytest.mark.parametrize("op, watched, expect", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_repeated_operation_is_stable(op, watched, expect):
    check_stable(op, watched, expect)


def test_results_release_their_document():
    """A read tree keeps its source string alive exactly as long as some node of it lives."""
    doc = "".join(["<root>", "<c>\u00e9</c>" * 50, "</root>"])
    base = sys.getrefcount(doc)
    trees = [tessary.read_string(doc, ROOT) for _ in range(200)]
    assert sys.getrefcount(doc) == base + 200
    kept = [t.children[7] for t in trees]
    del trees
    assert sys.getrefcount(doc) == base + 200  # the children still point into it
    dicts = [k.to_dict() for k in kept]
    written = [tessary.write_string(k) for k in kept]
    del kept
    gc.collect()
    assert sys.getrefcount(doc) == base
    assert dicts[0]["text"] == "\u00e9" and "\u00e9" in written[0]


def _shared_by_search(root):
    return root.search_by_name("d")


def _shared_by_children(root):
    return [root.children[5]]


def _root_made_a_child(root):
    return [Node("outer", children=[root, Node("x")])]


def _children_made_children(root):
    return [Node("outer", children=root.children[:3])]


def _search_finds_the_root(root):
    return root.search_by_name(ROOT)


@pytest.mark.parametrize("share", [None, _shared_by_search, _shared_by_children, _root_made_a_child,
                                   _children_made_children, _search_finds_the_root])
def test_a_tree_ends_whole_however_its_nodes_were_shared(share):
    """A parsed tree whose nodes never left it is released at once when its root goes; once any
    node has been handed out, each lives as its references say. Either way the nodes kept stay
    whole until they go, and then every reference on the class and the source is given back."""
    doc = GOOD + " "  # a str of this test's own
    gc.collect()
    base_doc, base_node = sys.getrefcount(doc), sys.getrefcount(Node)
    for _ in range(20):
        root = tessary.read_string(doc, ROOT)
        kept = share(root) if share else []
        expected = [tessary.write_string(k, 0, False) for k in kept]
        del root
        gc.collect()
        # Whatever was kept reads whole: its subtree was not released with the root.
        assert [tessary.write_string(k, 0, False) for k in kept] == expected
        if kept:
            assert sys.getrefcount(doc) > base_doc
        del kept
        gc.collect()
        assert sys.getrefcount(doc) == base_doc
        assert sys.getrefcount(Node) == base_node
