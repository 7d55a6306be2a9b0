"""What the tests share: where their data is (and how to get what is missing), reference trees
from expat and lxml, the one family of random Node trees, the one document mutator, reference
escaping, and tree walks. Every walk here uses a work list, so million-level trees pass."""

import csv
import functools
import gc
import os
import pathlib
import re
import subprocess
import sys
import textwrap
import xml.parsers.expat

import pytest
from hypothesis import strategies as st

from tessary import Node

# ---- the environment ------------------------------------------------------------------------

# Depth of the "million levels" tests. Emulated runs (qemu) scale it down through the
# environment; the default is the full million.
DEEP = int(os.environ.get("TESSARY_TEST_DEEP", "1000000"))

# Set when the suite runs against the sanitizer build, whose allocations are slower.
SANITIZED = bool(os.environ.get("TESSARY_TEST_SANITIZED"))

# Set when the suite runs under emulation (qemu), where pure-Python work such as building the
# reference trees is twenty to a hundred times slower: the corpus and property tests take a
# sample.
EMULATED = bool(os.environ.get("TESSARY_TEST_EMULATED"))


def examples(full):
    """The examples a property test draws: all of them natively, a fifth under emulation, where
    drawing them (hypothesis in pure Python) costs about a hundred times what it does natively."""
    return max(10, full // 5) if EMULATED else full

# ---- inputs that could take the process down ------------------------------------------------
# An input that never ends, or that lies about its size, is tried in a child interpreter whose
# address space is limited to what it has after start-up plus GUARD_HEADROOM: if the module ever
# again tried to take all the memory it can get, the child fails (or is killed) and the test says
# so, while the test run goes on.

GUARD_HEADROOM = 256 << 20

_GUARD_PRELUDE = '''
import os, resource, sys
import tessary
from tessary import Node, read_file, read_string

def limit_memory(headroom):
    size = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
    hard = resource.getrlimit(resource.RLIMIT_AS)[1]
    soft = size + headroom if hard == resource.RLIM_INFINITY else min(size + headroom, hard)
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    try:
        probe = bytearray(2 * headroom)  # must not fit
    except MemoryError:
        return True
    del probe
    return False

def outcome(fn):
    try:
        value = fn()
    except Exception as e:
        return "%s: %s" % (type(e).__name__, e)
    return "ok: %r" % (value,)
'''

@functools.cache
def child_interpreter_problem():
    """Why this interpreter cannot start a child copy of itself, or None. Under qemu-user
    without binfmt_misc the kernel cannot run an arm64 executable, and the spawn fails."""
    try:
        done = subprocess.run([sys.executable, "-c", "print('ok')"], capture_output=True, text=True,
                              timeout=300)
    except (OSError, subprocess.TimeoutExpired) as e:
        return f"cannot start a child interpreter here: {e}"
    if done.stdout.strip() != "ok":
        return (f"cannot start a child interpreter here (exit status {done.returncode}); an emulated "
                "interpreter needs binfmt_misc for its children")
    return None


def require_child_interpreter():
    problem = child_interpreter_problem()
    if problem:
        pytest.skip(problem)


_SANITIZED_REASON = ("the sanitizer build reserves terabytes of address space up front, so an "
                     "address-space limit cannot bound it, and this input only ends when memory runs out")


def run_guarded(body, endless=False, headroom=GUARD_HEADROOM, timeout=120):
    """Runs `body` (Python source, after a prelude that imports tessary and defines `outcome(fn)`,
    the exception a call ends in as "Type: message") in a child interpreter under an
    address-space limit, and returns its standard output as a list of lines; fails the test when
    the child dies from a signal or exits with another status than 0. In the sanitizer build the
    child runs without the limit; an `endless` input, which only the limit ends, is skipped there
    and wherever the limit turns out to have no effect (an emulator may ignore it)."""
    if SANITIZED and endless:
        pytest.skip(_SANITIZED_REASON)
    require_child_interpreter()
    limited = not SANITIZED
    script = _GUARD_PRELUDE
    if limited:
        script += (f"if not limit_memory({headroom}):\n"
                   "    print('the address-space limit has no effect here')\n"
                   f"    if {endless}: sys.exit(0)\n")
    script += textwrap.dedent(body)
    try:
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=timeout)
    except OSError as e:  # an emulated interpreter that the kernel cannot start by itself
        pytest.skip(f"cannot start a child interpreter here: {e}")
    lines = done.stdout.splitlines()
    if lines[:1] == ["the address-space limit has no effect here"]:
        if endless:
            pytest.skip("the address-space limit has no effect here")
        lines = lines[1:]
    assert done.returncode == 0, (
        f"child exited with {done.returncode} (negative: killed by that signal)\n"
        f"stdout:\n{done.stdout}\nstderr:\n{done.stderr[-4000:]}")
    return lines

# ---- test data ------------------------------------------------------------------------------

DATA = pathlib.Path(__file__).resolve().parent / "data"

# The part of the W3C/OASIS XML conformance suite the tests read, with its manifest.
XMLCONF = DATA / "xmlconf"

# Debian's unicode-cldr-core installs the CLDR corpus here; TESSARY_TEST_CLDR names another copy.
CLDR = pathlib.Path(os.environ.get("TESSARY_TEST_CLDR") or "/usr/share/unicode/cldr/common")
CLDR_MISSING = (f"CLDR corpus not found at {CLDR}: apt install unicode-cldr-core "
                "(or set TESSARY_TEST_CLDR to a CLDR common/ folder)")

# *.xml files of the CLDR releases Debian ships (41 in bookworm, 46 in trixie), by version:
# the corpus tests check that none went missing.
CLDR_FILE_COUNTS = {"41": 2039, "46": 2405}


@functools.cache
def cldr_files():
    """Every *.xml file of the CLDR corpus, as sorted str paths; empty when it is not installed."""
    found = []
    for folder, _, names in os.walk(CLDR):
        found.extend(os.path.join(folder, n) for n in names if n.endswith(".xml"))
    return tuple(sorted(found))


def cldr_version():
    """The installed CLDR release (e.g. "41"), read from its LDML DTD; None when unknown."""
    try:
        dtd = (CLDR / "dtd" / "ldml.dtd").read_text(encoding="utf-8", errors="replace")
    except OSError:
        return None
    m = re.search(r'cldrVersion\s+CDATA\s+#FIXED\s+"([^"]+)"', dtd)
    return m.group(1) if m else None


needs_cldr = pytest.mark.skipif(not cldr_files(), reason=CLDR_MISSING)


def cldr_params():
    """The CLDR files as test parameters (ids relative to the corpus), or one skipped parameter
    saying how to get the corpus."""
    files = cldr_files()
    if not files:
        return [pytest.param(None, id="cldr-missing", marks=pytest.mark.skip(reason=CLDR_MISSING))]
    return [pytest.param(p, id=os.path.relpath(p, CLDR)) for p in files]


@functools.cache
def _manifest_rows():
    with open(XMLCONF / "manifest.tsv", newline="", encoding="utf-8") as f:
        return tuple(csv.DictReader(f, delimiter="\t"))


def manifest(*uses):
    """Rows of the conformance manifest whose `use` is one of `uses`."""
    return [r for r in _manifest_rows() if r["use"] in uses]


def conformance_path(row):
    return str(XMLCONF / "xmlconf" / row["path"])


def conformance_files(*uses):
    return [conformance_path(r) for r in manifest(*uses)]


LXML_MISSING = "lxml not installed: pip install '.[test]'"


def lxml_etree():
    try:
        from lxml import etree
    except ImportError:
        pytest.skip(LXML_MISSING)
    return etree


# ---- reference trees ------------------------------------------------------------------------
# A tree here is nested tuples (name, attrs, text, children), text trimmed as the reader trims.

# Code points with the Unicode White_Space property (Python's str.isspace also counts
# U+001C..U+001F, which are not white space).
WHITE_SPACE = (
    "\t\n\x0b\x0c\r \x85\xa0\u1680"
    + "".join(chr(c) for c in range(0x2000, 0x200B))
    + "\u2028\u2029\u202f\u205f\u3000"
)


def trimmed(text):
    """`text` as the reader keeps it: Unicode white space trimmed, None when nothing is left."""
    if text is None:
        return None
    return text.strip(WHITE_SPACE) or None


def _bottom_up(root, children, make):
    """Builds a value per node, children first, without recursion: make(node, child values)."""
    order, work = [], [root]
    while work:
        n = work.pop()
        order.append(n)
        work.extend(children(n))
    done = {}
    for n in reversed(order):
        done[id(n)] = make(n, tuple(done[id(c)] for c in children(n)))
    return done[id(root)]


def expat_tree(data):
    """The tree expat reads from `data` (bytes or str); namespace processing off."""
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


def lxml_tree(path):
    """The tree lxml reads from the file at `path` (for documents whose names expat refuses;
    lxml follows the wider name rules). Skips the test when lxml is not installed."""
    etree = lxml_etree()
    parser = etree.XMLParser(resolve_entities=False, load_dtd=False, no_network=True, huge_tree=True)
    root = etree.parse(path, parser).getroot()

    def elements(e):
        return [c for c in e if isinstance(c.tag, str)]

    def make(e, kids):
        pieces = [e.text or ""] + [c.tail or "" for c in e]
        return (e.tag, dict(e.attrib), trimmed("".join(pieces)), kids)

    return _bottom_up(root, elements, make)


def node_tree(node):
    """A tessary Node as the same nested tuples."""
    return _bottom_up(node, lambda n: n.children, lambda n, kids: (n.name, n.attrs, n.text, kids))


def normalise_lines(tree):
    """The tree with CR LF and CR in text read as LF: expat and lxml normalise line ends, the
    reader keeps text as written."""
    def lines(text):
        return None if text is None else text.replace("\r\n", "\n").replace("\r", "\n")

    return _bottom_up(tree, lambda t: t[3], lambda t, kids: (t[0], t[1], lines(t[2]), kids))


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


_FIRST_NAME = re.compile(rb"<([^\s/>!?]+)")


def guessed_root(data):
    """The name after the first '<' that could start an element (for documents expat refuses)."""
    for m in _FIRST_NAME.finditer(data):
        return m.group(1).decode("utf-8", "replace")
    return "doc"


# ---- tree walks -----------------------------------------------------------------------------

def flatten(node, text=lambda t: t):
    """The tree as a pre-order list of (name, attrs, text(node.text), child count)."""
    out = []
    stack = [node]
    while stack:
        n = stack.pop()
        kids = n.children
        out.append((n.name, n.attrs, text(n.text), len(kids)))
        stack.extend(reversed(kids))
    return out


def all_nodes(node):
    """Every node object reached, once per path, in pre-order."""
    out, work = [], [node]
    while work:
        n = work.pop()
        out.append(n)
        work.extend(reversed(n.children))
    return out


def same_tree(a, b):
    """Two Node trees with the same names, attributes, texts and child order."""
    work = [(a, b)]
    while work:
        x, y = work.pop()
        if (x.name, x.attrs, x.text) != (y.name, y.attrs, y.text):
            return False
        xs, ys = x.children, y.children
        if len(xs) != len(ys):
            return False
        work.extend(zip(xs, ys))
    return True


def same_tree_as_dict(node, d):
    """True when `d` has exactly the dict shape of `node`'s subtree."""
    work = [(node, d)]
    while work:
        n, x = work.pop()
        if type(x) is not dict or set(x) != {"name", "attrs", "children", "text"}:
            return False
        if x["name"] != n.name or x["attrs"] != n.attrs or x["text"] != n.text:
            return False
        if type(x["attrs"]) is not dict or type(x["children"]) is not list:
            return False
        kids = n.children
        if len(kids) != len(x["children"]):
            return False
        work.extend(zip(kids, x["children"]))
    return True


def model_search(node, test, depth):
    """The search walk as plainly as it can be said: pre-order, recursive, depth-limited (for
    the small random trees only)."""
    out = []

    def visit(n, budget):
        if test(n):
            out.append(n)
        if depth is not None and budget == 0:
            return
        for c in n.children:
            visit(c, budget - 1)

    visit(node, -1 if depth is None else depth)
    return out


# ---- writing --------------------------------------------------------------------------------

DECLARATION = '<?xml version="1.0" encoding="utf-8"?>\n'

_TEXT = {"&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;", "'": "&apos;"}
_ATTR = dict(_TEXT, **{"\t": "&#9;", "\r": "&#13;", "\n": "&#10;"})


def escape(s, attribute=False):
    """Reference escaping, character by character."""
    table = _ATTR if attribute else _TEXT
    return "".join(table.get(c, c) for c in s)


# ---- trees ----------------------------------------------------------------------------------

def chain(levels, name="a", leaf=None, attrs=None):
    """`levels` elements named `name`, each the only child of the one above, over `leaf` when
    one is given; `attrs(i)` gives the attributes of level i counted from the bottom."""
    cur = leaf
    for i in range(levels):
        cur = Node(name, attrs(i) if attrs else None, None if cur is None else [cur])
    return cur


def keyed_chain(levels, leaf_text="bottom"):
    """`levels` elements named "n" over one leaf; every other level has a "k" attribute."""
    leaf = Node("leaf", {"at": "leaf"}, None, leaf_text)
    return chain(levels, "n", leaf, lambda i: {"k": str(i)} if i % 2 else None)


def keyed_chain_dict(levels):
    """The dict form of keyed_chain(levels), built without the cyclic collector rescanning the
    growing chain every few hundred levels."""
    was = gc.isenabled()
    gc.disable()
    try:
        cur = {"name": "leaf", "attrs": {"at": "leaf"}, "children": [], "text": "bottom"}
        for _ in range(levels):
            cur = {"name": "n", "attrs": {}, "children": [cur], "text": None}
        return cur
    finally:
        if was:
            gc.enable()


@st.composite
def trees(draw, names, attrs, texts, max_nodes=12, shared=False, max_paths=300):
    """A random Node tree from the given strategies for names, attribute dicts and texts.

    Built bottom-up. Without sharing every node has one parent, a random earlier node, so any
    ordered tree of up to `max_nodes` elements can come out. With sharing each node takes up to
    four children from the nodes made before it, so the same node can stand under several
    parents or twice in one children list; a child is left out once the parent's subtree would
    exceed `max_paths` visits (one per path), which sharing could otherwise make exponential."""
    count = draw(st.integers(1, max_nodes))
    if not shared:
        parents = [None] + [draw(st.integers(0, i - 1)) for i in range(1, count)]
        specs = [(draw(names), draw(attrs), draw(texts)) for _ in range(count)]
        kids = [[] for _ in range(count)]
        nodes = [None] * count
        for i in reversed(range(count)):
            name, a, text = specs[i]
            nodes[i] = Node(name, a, kids[i][::-1], text)
            if parents[i] is not None:
                kids[parents[i]].append(nodes[i])
        return nodes[0]
    made, paths = [], []
    for _ in range(count):
        picks = draw(st.lists(st.integers(0, len(made) - 1), max_size=4)) if made else []
        kids, size = [], 1
        for i in picks:
            if size + paths[i] <= max_paths:
                kids.append(made[i])
                size += paths[i]
        made.append(Node(draw(names), draw(attrs), kids, draw(texts)))
        paths.append(size)
    return made[-1]


# The search and dict tests' alphabet: names that differ only by case, the empty name, keys
# that differ only by case, repeated texts.
QUERY_NAMES = ["a", "b", "item", "Item", ""]
QUERY_KEYS = ["id", "ID", "k", "é"]
QUERY_TEXTS = [None, "", "hi", " hi ", "x"]


def query_trees():
    """Trees with shared nodes over the query alphabet."""
    return trees(st.sampled_from(QUERY_NAMES),
                 st.dictionaries(st.sampled_from(QUERY_KEYS), st.sampled_from(["", "1", "v"]), max_size=3),
                 st.sampled_from(QUERY_TEXTS), max_nodes=15, shared=True)


# ---- damaged documents ----------------------------------------------------------------------

# What the mutator inserts: markup delimiters and the starts of constructs, which turn a
# well-formed document into near misses rather than noise.
EDIT_TOKENS = list("<>&;'\"/!?-[]=# x") + ["<!--", "]]>", "<![CDATA[", "<?", "&#", "</", "\x00"]
_EDIT_OPS = ["insert", "delete", "replace", "duplicate", "truncate", "set"]


def edits(max_size=6):
    """Edits for `mutate`: (operation, position, length, token, byte) tuples."""
    return st.lists(st.tuples(st.sampled_from(_EDIT_OPS), st.integers(0, 10_000), st.integers(1, 8),
                              st.sampled_from(EDIT_TOKENS), st.integers(0, 255)),
                    min_size=1, max_size=max_size)


def mutate(doc, edits):
    """`doc` (str or bytes) with the edits applied in turn; positions wrap around its length.
    In bytes, "set" writes any byte value, so sequences of UTF-8 get broken; in a str it writes
    that code point. An inserted token may be bytes of any kind."""
    for op, pos, length, token, byte in edits:
        pos %= len(doc) + 1
        if isinstance(doc, bytes):
            token, one = token if isinstance(token, bytes) else token.encode(), bytes([byte])
        else:
            one = chr(byte)
        if op == "insert":
            doc = doc[:pos] + token + doc[pos:]
        elif op == "delete":
            doc = doc[:pos] + doc[pos + length:]
        elif op == "replace":
            doc = doc[:pos] + token + doc[pos + 1:]
        elif op == "duplicate":
            doc = doc[:pos] + doc[pos:pos + length] + doc[pos:]
        elif op == "truncate":
            doc = doc[:pos]
        elif pos < len(doc):
            doc = doc[:pos] + one + doc[pos + 1:]
    return doc
