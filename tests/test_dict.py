"""Node.to_dict and Node.from_dict."""
import gc
import sys
from collections import OrderedDict

import pytest
from hypothesis import given, settings

import tessary
from tessary import Node, read_string, write_string

from support import (
    all_nodes, examples, keyed_chain, keyed_chain_dict, query_trees, same_tree, same_tree_as_dict,
)

HEAD = "failed to extract enum HashmapTypes ('String | Vec | NullableString | Map')"


def mismatch(obj, target):
    if obj is None:
        return f"TypeError: 'None' is not an instance of '{target}'"
    return f"TypeError: '{type(obj).__qualname__}' object is not an instance of '{target}'"


def field(variant, cause):
    return f"TypeError: failed to extract field HashmapTypes::{variant}.0, caused by {cause}"


def union(value, vec=None, map_=None, string=None):
    """The union error for `value`; the keywords replace reasons that its type does not fix."""
    return "\n".join([
        HEAD,
        "- variant String (String): " + field("String", string or mismatch(value, "str")),
        "- variant Vec (Vec): " + field("Vec", vec or mismatch(value, "Sequence")),
        "- variant NullableString (NullableString): " + field("NullableString", string or mismatch(value, "str")),
        "- variant Map (Map): " + field("Map", map_ or mismatch(value, "dict")),
    ])


def leaf(name="b", **extra):
    return {"name": name, "attrs": {}, "children": [], **extra}


def from_dict_error(d, exc=TypeError):
    before = repr(d)
    with pytest.raises(exc) as info:
        Node.from_dict(d)
    assert repr(d) == before  # the input is never changed
    return info.value


class Raising:
    """A sequence whose iteration fails with a chained exception (its length fails too, which
    only sizes the list and is ignored)."""

    def __len__(self):
        raise RuntimeError("no length")

    def __getitem__(self, i):
        raise IndexError(i)

    def __iter__(self):
        try:
            raise KeyError("k")
        except KeyError as e:
            raise ValueError("boom") from e


class Looping(Raising):
    def __iter__(self):
        a, b = ValueError("a"), ValueError("b")
        a.__cause__, b.__cause__ = b, a
        raise a


class Mutating(Raising):
    """A sequence that changes a dictionary while it is iterated."""

    def __init__(self, target, change):
        self.target, self.change = target, change

    def __iter__(self):
        self.change(self.target)
        return iter([])


class TestToDict:
    def test_shape(self):
        assert Node("a").to_dict() == {"name": "a", "attrs": {}, "children": [], "text": None}
        d = Node("a", {"x": "1"}, [Node("b", text="")], "hi").to_dict()
        assert d == {"name": "a", "attrs": {"x": "1"}, "text": "hi",
                     "children": [{"name": "b", "attrs": {}, "children": [], "text": ""}]}
        assert type(d["attrs"]) is dict and type(d["children"]) is list

    def test_parsed_document(self):
        try:
            root = tessary.read_string('<a x="1">hi<b/></a>', "a")
        except NotImplementedError:
            pytest.skip("reader not built")
        assert root.to_dict() == {"name": "a", "attrs": {"x": "1"}, "text": "hi",
                                  "children": [{"name": "b", "attrs": {}, "children": [], "text": None}]}

    def test_new_objects_per_occurrence_sharing_nothing(self):
        x = Node("x", {"k": "v"}, [Node("y")])
        n = Node("r", children=[x, x])
        d = n.to_dict()
        a, b = d["children"]
        assert a == b and a is not b and a["attrs"] is not b["attrs"] and a["children"] is not b["children"]
        a["attrs"]["k"] = "changed"
        d["children"].append({})
        assert x.attrs == {"k": "v"} and len(n.children) == 2

    def test_key_orders_unspecified_contents_equal(self):
        n = Node("a", {f"k{i}": str(i) for i in range(12)}, [Node("b")], "t")
        dicts = [n.to_dict() for _ in range(60)]
        assert all(d == dicts[0] for d in dicts)
        for part in (lambda d: d, lambda d: d["attrs"], lambda d: d["children"][0]):
            assert len({tuple(part(d)) for d in dicts}) > 1

    def test_many_names_and_keys_some_alike(self):
        # Names and keys repeat across a document and are made once per conversion; this mixes
        # more distinct ones than are kept, long ones, and ones alike in everything but a middle
        # byte, in both an owned tree and a parsed one.
        names = [f"n{i}" for i in range(700)] + ["q" * 200 + str(i) for i in range(5)]
        names += ["x" * 12 + chr(0x41 + i) + "y" * 27 for i in range(40)] + ["é" * 30, "é" * 31]
        kids = [Node(n, {n: str(i), "k" + n: n, "shared": n}, text=n) for i, n in enumerate(names)]
        owned = Node("r", {"x" * 12 + "Z" + "y" * 27: "1"}, kids)
        parsed = read_string(write_string(owned, 0), "r")
        for root in (owned, parsed):
            d = root.to_dict()
            assert d["attrs"] == {"x" * 12 + "Z" + "y" * 27: "1"}
            assert [c["name"] for c in d["children"]] == names
            for i, (c, n) in enumerate(zip(d["children"], names)):
                assert c == {"name": n, "attrs": {n: str(i), "k" + n: n, "shared": n}, "children": [], "text": n}

    def test_collector_state_restored(self):
        was = gc.isenabled()
        try:
            for enabled in (True, False):
                gc.enable() if enabled else gc.disable()
                keyed_chain(50).to_dict()
                assert gc.isenabled() is enabled
        finally:
            gc.enable() if was else gc.disable()


class TestFromDict:
    def test_builds_new_nodes(self):
        class S(str):
            pass

        n = Node("q").from_dict(dict_=OrderedDict(name=S("a"), attrs={S("a b"): "<&>"}, text="hi",
                                                  children=(leaf(""), leaf("c"))))
        assert (n.name, n.attrs, n.text, type(n)) == ("a", {"a b": "<&>"}, "hi", Node)
        assert [c.name for c in n.children] == ["", "c"] and all(type(c) is Node for c in n.children)

    @pytest.mark.parametrize("text, expected", [(None, None), ([], None), ({}, None), ("", ""), ("hi", "hi"),
                                                ((), None), ({"k": "v"}, None), ([leaf()], None)])
    def test_text_variants(self, text, expected):
        assert Node.from_dict(leaf("a", text=text)).text == expected
        assert Node.from_dict(leaf("a")).text is None

    def test_extra_keys_ignored(self):
        n = Node.from_dict(leaf("a", extra="s", more=[leaf("zz")], none=None, m={"k": "v"}, e={}))
        assert (n.name, n.children, n.attrs) == ("a", [], {})

    def test_repeated_key_text_last_wins(self):
        class K(str):
            def __hash__(self):
                return 12345

            def __eq__(self, other):
                return self is other

        assert Node.from_dict({"name": "first", K("name"): "second", "attrs": {}, "children": []}).name == "second"
        assert str(from_dict_error({"name": "first", K("name"): None, "attrs": {}, "children": []},
                                   ValueError)) == "Invalid name"

    @pytest.mark.parametrize("d, message", [
        ({"attrs": {}, "children": []}, "Invalid name"),
        (leaf(None), "Invalid name"),
        (leaf([]), "Invalid name"),
        (leaf({}), "Invalid name"),
        ({"name": "a", "children": []}, "Invalid attrs"),
        ({"name": "a", "attrs": [], "children": []}, "Invalid attrs"),
        ({"name": "a", "attrs": "x", "children": []}, "Invalid attrs"),
        ({"name": "a", "attrs": {}}, "Invalid children"),
        ({"name": "a", "attrs": {}, "children": {}}, "Invalid children"),
        ({"name": "a", "attrs": {}, "children": "xy"}, "Invalid children"),
        ({"name": "a", "attrs": {}, "children": None}, "Invalid children"),
        ({"children": {}}, "Invalid name"),
        ({"name": "a", "children": {}}, "Invalid attrs"),
        (leaf("a", children=[{"attrs": {}, "children": []}]), "Invalid name"),
        # the first child is validated completely, grandchildren included, before the second
        (leaf("r", children=[leaf("c", children=[{"name": "g", "children": []}]), {}]), "Invalid attrs"),
    ])
    def test_validation(self, d, message):
        e = from_dict_error(d, ValueError)
        assert str(e) == message and not getattr(e, "__notes__", None)

    def test_conversion_errors_come_before_validation(self):
        assert str(from_dict_error({"attrs": {}, "children": [], "x": 5})).startswith(HEAD)
        assert str(from_dict_error(leaf("r", children=[{}, leaf("c", junk=1.5)]))).startswith(HEAD)


class TestConversionErrors:
    def test_argument_errors(self):
        for arg, message in [([], "'list' object is not an instance of 'dict'"),
                             (None, "'None' is not an instance of 'dict'"),
                             ({"name": "a", 1: "x"}, "'int' object is not an instance of 'str'")]:
            e = from_dict_error(arg)
            assert str(e) == message and e.__notes__ == ["while processing 'dict_'"]
        with pytest.raises(TypeError, match=r"^Node.from_dict\(\) missing 1 required positional argument: 'dict_'$"):
            Node.from_dict()

    @pytest.mark.parametrize("make", [
        lambda: ("text", 5, union(5)),
        lambda: ("children", [leaf(), 1], union([], vec=mismatch(1, "dict"))),
        lambda: ("children", [Node("b")], union([], vec=mismatch(Node("b"), "dict"))),
        lambda: ("children", [leaf(text=5)], union([], vec="TypeError: " + union(5))),
        lambda: ("children", [{2: "x"}], union([], vec=mismatch(2, "str"))),
        lambda: ("attrs", {"k": None}, union({}, map_=mismatch(None, "str"))),
        lambda: ("children", (x for x in []), union((x for x in []))),
        lambda: ("children", Raising(), union(Raising(), vec="ValueError: boom, caused by KeyError: 'k'")),
        lambda: ("children", Looping(), union(Looping(), vec="ValueError: a, caused by ValueError: b")),
        lambda: ("text", "\ud800", union("", vec="TypeError: Can't extract `str` to `Vec`", string=(
            "UnicodeEncodeError: 'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"))),
    ])
    def test_union_error_text(self, make):
        key, value, expected = make()
        e = from_dict_error({**leaf("a"), key: value})
        assert str(e) == expected and e.__notes__ == ["while processing 'dict_'"]

    def test_error_nested_deep(self):
        d, expected = leaf("x", text=5.5), union(5.5)
        for _ in range(300):
            d, expected = leaf("x", children=[d]), union([], vec="TypeError: " + expected)
        assert str(from_dict_error(d)) == expected


def swap_text_for_zz(t):
    del t["text"]
    t["zz"] = None


@pytest.mark.parametrize("change, nested, message", [
    (lambda t: t.__setitem__("new", "x"), False, "dictionary changed size during iteration"),
    (swap_text_for_zz, False, "dictionary keys changed during iteration"),
    (lambda t: t.pop("children"), False, "dictionary changed size during iteration"),  # frees the value
    (lambda t: t.clear(), True, "dictionary changed size during iteration"),
])
def test_dictionary_changed_during_conversion(change, nested, message):
    d = {"name": "a", "attrs": {}, "text": None}
    d["children"] = Mutating(d, change)
    with pytest.raises(BaseException) as info:
        Node.from_dict(leaf("r", children=[d]) if nested else d)
    assert type(info.value).__name__ == "PanicException" and not isinstance(info.value, Exception)
    assert str(info.value) == message


@settings(max_examples=examples(80), deadline=None)
@given(query_trees())
def test_round_trip(root):
    d = root.to_dict()
    assert same_tree_as_dict(root, d)
    out = Node.from_dict(d)
    assert same_tree(root, out)
    originals = {id(n) for n in all_nodes(root)}
    assert not any(id(n) in originals for n in all_nodes(out))  # shared nodes become copies


def test_reference_counts_stable():
    x = Node("x", {"k": "v"}, text="t")
    root = Node("r", children=[x, Node("y", children=[x])])
    name, kids = "some-name", [leaf("c")]
    good = {"name": name, "attrs": {"k": "v"}, "children": kids}
    bad = {"name": name, "attrs": {"k": "v"}, "children": kids + [3]}
    invalid = {"name": name, "attrs": {}, "children": kids * 3 + [{"name": "x"}]}  # after made siblings
    objs = (root, x, good, bad, invalid, name, kids)
    before = [sys.getrefcount(o) for o in objs]
    for _ in range(100):
        root.to_dict()
        Node.from_dict(good)
        with pytest.raises(TypeError):
            Node.from_dict(bad)
        with pytest.raises(ValueError):
            Node.from_dict(invalid)
    assert [sys.getrefcount(o) for o in objs] == before


def test_to_dict_million_deep(deep):
    d = keyed_chain(deep).to_dict()
    levels = 0
    while d["children"]:
        assert d["name"] == "n"
        (d,) = d["children"]
        levels += 1
    assert levels == deep and d == {"name": "leaf", "attrs": {"at": "leaf"}, "children": [], "text": "bottom"}


def test_from_dict_million_deep(deep):
    n = Node.from_dict(keyed_chain_dict(deep))
    levels = 0
    while n.children:
        assert n.name == "n"
        (n,) = n.children
        levels += 1
    assert levels == deep and (n.name, n.attrs, n.text) == ("leaf", {"at": "leaf"}, "bottom")
