"""Each operation with its n-th allocation failing, for n = 1, 2, 3, ... until a run has no
failure to inject: every run raises MemoryError or gives the right result, and whatever a failed
call built is released (the inputs' reference counts and the number of live nodes come back).

Needs the build whose allocations go through a failure counter (CMake option
TESSARY_FAULT_INJECTION); with any other build of the module the tests are skipped. Failures of
the interpreter's own allocations are injected as well where CPython's _testcapi offers
set_nomemory."""

import ctypes
import gc
import itertools
import sys

import pytest

import tessary
from tessary import Node, SearchType, read_file, read_string, write_file, write_string


def _hooks():
    try:
        lib = ctypes.CDLL(tessary.__file__)
        lib.tessary_fault_fail_nth.argtypes = [ctypes.c_long]
        lib.tessary_fault_failures.restype = ctypes.c_long
        lib.tessary_fault_drop_kept_pages.restype = None
    except (OSError, AttributeError):
        return None
    return lib


HOOKS = _hooks()
pytestmark = pytest.mark.skipif(
    HOOKS is None,
    reason="needs the allocation-failure build: cmake -S . -B build/fault -DTESSARY_FAULT_INJECTION=ON "
           "-DPython_EXECUTABLE=$(which python) && cmake --build build/fault, then PYTHONPATH=build/fault")

try:
    import _testcapi
    SET_NOMEMORY = getattr(_testcapi, "set_nomemory", None)
except ImportError:
    SET_NOMEMORY = None


def live_nodes():
    # Each Node holds a reference on its class.
    return sys.getrefcount(Node)


def sweep(call, check, keep=(), limit=100_000):
    """Runs `call` with its n-th allocation failing for n = 1, 2, ... until no failure was
    injected; `check` judges every result. Returns the number of runs."""
    # Garbage of earlier tests may hold a kept object (a one-character name is one shared str):
    # collected during the sweep, it would change the count the sweep compares with.
    gc.collect()
    counts = [sys.getrefcount(o) for o in keep]
    nodes = live_nodes()
    for n in itertools.count(1):
        assert n < limit
        # Pages kept from earlier calls would spare a read its mappings: none are kept, so every
        # one it needs is made, and can be made to fail.
        HOOKS.tessary_fault_drop_kept_pages()
        HOOKS.tessary_fault_fail_nth(n)
        try:
            value, error = call(), None
        except MemoryError as e:
            value, error = None, e
        finally:
            injected = HOOKS.tessary_fault_failures()
            HOOKS.tessary_fault_fail_nth(0)
        if error is None:
            check(value)
        else:
            assert injected, f"MemoryError at n={n} without an injected failure: {error!r}"
        del value, error
        assert [sys.getrefcount(o) for o in keep] == counts, f"references kept at n={n}"
        assert live_nodes() == nodes, f"nodes kept at n={n}"
        if not injected:
            return n


def sweep_python(call, check, limit=2000):
    """The same with the interpreter's n-th allocation failing (CPython's _testcapi)."""
    if SET_NOMEMORY is None:
        return
    nodes = live_nodes()
    for n in range(limit):
        SET_NOMEMORY(n, n + 1)
        try:
            value, error = call(), None
        except MemoryError as e:
            value, error = None, e
        finally:
            _testcapi.remove_mem_hooks()
        if error is None:
            check(value)
            del value
            assert live_nodes() == nodes
            if n > 50:  # calls are short: past this many, no allocation is left to fail
                return
        del error
    assert live_nodes() == nodes


DOCS = {
    "attributes": ('<r a="1" b=\'two\' c="x y"><e k="v"/><e k="w" j="u"/></r>', "r"),
    "references": ('<r v="a &amp; &#x263A; &lt;b&gt;">x &amp; y &#65;&#x42; <c>&quot;&apos;</c></r>', "r"),
    "cdata": ("<r><![CDATA[<raw> & ]]>text<![CDATA[more]]><c><![CDATA[]]></c></r>", "r"),
    "deep": ("".join(f"<d{i} i='{i}'>t{i}" for i in range(60)) + "".join(f"</d{i}>" for i in reversed(range(60))),
             "d0"),
    "mixed": ("<?xml version='1.0'?><!-- c --><outer><r>a<!-- x -->b<?pi x?> c \n <x/>\n d</r></outer>", "r"),
    "long text": ("<r>" + "word &amp; " * 2000 + "<c>" + "z" * 5000 + "</c></r>", "r"),
    # A str of other characters than ASCII, mostly long texts: read from an encoded copy that
    # is then given up, its long texts kept as the str's characters.
    "long wide texts": ("<r>" + "".join(f"<t k='{i}'>{'é東😀 ' * 100}{i}</t>" for i in range(5)) +
                        "<d>" + "w &amp; é " * 100 + "</d></r>", "r"),
    # Other characters than ASCII in small elements: read from an encoded copy kept whole.
    "wide elements": ("<r>" + "".join(f"<e k='\u00e9{i}'>\u6771{i}</e>" for i in range(50)) + "</r>", "r"),
    "many attributes": ("<r " + " ".join(f'a{i}="v{i}"' for i in range(200)) + "/>", "r"),
    "errors": ('<r a="1" a="2"/>', "r"),
}


@pytest.mark.parametrize("name", sorted(DOCS))
def test_read_string(name):
    xml, root = DOCS[name]
    try:
        expected = read_string(xml, root).to_dict()
    except ValueError as e:
        expected = e

    def call():
        try:
            return read_string(xml, root)
        except ValueError as e:
            return e

    def check(value):
        if isinstance(expected, ValueError):
            assert isinstance(value, ValueError) and str(value) == str(expected)
        else:
            assert value.to_dict() == expected

    assert sweep(call, check, keep=(xml, root)) > 1
    sweep_python(call, check)


@pytest.mark.parametrize("name", ["attributes", "references", "deep", "long text", "long wide texts", "errors"])
def test_read_file(name, tmp_path):
    xml, root = DOCS[name]
    path = tmp_path / "doc.xml"
    path.write_text(xml, encoding="utf-8")
    try:
        expected = read_string(xml, root).to_dict()
    except ValueError as e:
        expected = e

    def call():
        try:
            return read_file(str(path), root)
        except ValueError as e:
            return e

    def check(value):
        if isinstance(expected, ValueError):
            assert isinstance(value, ValueError) and str(value) == str(expected)
        else:
            assert value.to_dict() == expected

    sweep(call, check)


def sample_tree():
    xml = ("<r a='1' b='&lt;2&gt;'>text &amp; more<c k='v'>x</c><c k='w'/>"
           "<d><e>\u00e9\u263a\U0001F600</e><e>deep</e></d></r>")
    return read_string(xml, "r")


def test_writes(tmp_path):
    tree = sample_tree()
    for indent, decl in ((None, None), (0, False), (3, True)):
        expected = write_string(tree, indent, decl)
        sweep(lambda: write_string(tree, indent, decl), lambda v: v == expected or pytest.fail(v), keep=(tree,))
        path = tmp_path / "out.xml"

        def call():
            write_file(tree, str(path), indent, decl)
            return path.read_text(encoding="utf-8")

        def check(value):
            assert value == expected

        sweep(call, check, keep=(tree,))
    sweep_python(lambda: write_string(tree), lambda v: v == write_string(tree) or pytest.fail(v))


def test_writes_through_the_exact_measure():
    # An ASCII subtree of a document with astral characters, and text that grows past the
    # estimate when escaped: both are written after measuring the output exactly.
    narrow = sample_tree().children[0]
    escapes = read_string("<r>" + "&lt;&amp;" * 300 + "<c>\u00e9</c></r>", "r")
    # Long texts kept as a str's characters, written unit by unit, the result outgrowing its
    # first size as the references lengthen them.
    wide = read_string("<r>" + "".join(f"<t><![CDATA[{'<&>é東 ' * 200}]]></t>" for _ in range(5)) + "</r>", "r")
    for tree in (narrow, escapes, wide):
        for indent in (None, 2):
            expected = write_string(tree, indent)
            sweep(lambda: write_string(tree, indent), lambda v: v == expected or pytest.fail(v), keep=(tree,))


def test_queries():
    tree = sample_tree()
    cases = [
        (lambda: tree.search_by_name("e"), ["e", "e"]),
        (lambda: tree.search_by_attr("k", 1), ["c", "c"]),
        (lambda: tree.search_by_text("deep"), ["e"]),
        (lambda: tree.search(SearchType.Tag, "c"), ["c", "c"]),
    ]
    for call, names in cases:
        def check(value, names=names):
            assert [n.name for n in value] == names
        sweep(call, check, keep=(tree,))
        sweep_python(call, check)

    expected = tree.to_dict()

    def check_dict(value):
        assert value == expected

    sweep(tree.to_dict, check_dict, keep=(tree,))
    sweep_python(tree.to_dict, check_dict)

    text = str(tree)

    def check_str(value):
        assert value == text

    sweep(lambda: str(tree), check_str, keep=(tree,))
    sweep_python(lambda: str(tree), check_str)


def test_from_dict():
    tree = sample_tree()
    d = tree.to_dict()
    d["extra"] = {"ignored": "values"}

    def check(value):
        assert value.to_dict() == tree.to_dict()

    sweep(lambda: Node.from_dict(d), check, keep=(d, d["children"][0]))
    sweep_python(lambda: Node.from_dict(d), check)

    bad = {"name": "x", "attrs": {"k": "v"}, "children": [{"name": "y", "attrs": {}, "children": [], "text": 3}]}

    def call_bad():
        try:
            return Node.from_dict(bad)
        except TypeError as e:
            return e

    sweep(call_bad, lambda v: isinstance(v, TypeError) or pytest.fail(repr(v)), keep=(bad,))


def test_constructor_and_properties():
    kids = [Node("k", {"i": str(i)}, text="t") for i in range(20)]
    attrs = {f"a{i}": "v" * i for i in range(30)}

    def make():
        return Node("n\u00e9", attrs, kids, "text \u263a")

    def check(value):
        assert value.name == "n\u00e9" and value.attrs == attrs and value.text == "text \u263a"
        assert value.children == kids

    sweep(make, check, keep=(attrs, kids[0]))
    sweep_python(make, check)

    node = make()
    for prop, want in (("name", "n\u00e9"), ("attrs", attrs), ("children", kids), ("text", "text \u263a")):
        def check_prop(value, want=want):
            assert value == want
        sweep(lambda prop=prop: getattr(node, prop), check_prop, keep=(node,))
