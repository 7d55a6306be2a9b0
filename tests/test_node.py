"""Node and SearchType as Python sees them: construction, properties, printed form, identity."""
import gc
import sys

import pytest

from tessary import Node, SearchType


def to_string(node, spacing=None):
    return getattr(node, "__to_string")(spacing)


class TestConstructionAndProperties:
    def test_defaults(self):
        n = Node("a")
        assert (n.name, n.text, n.attrs, n.children) == ("a", None, {}, [])

    def test_all_fields(self):
        c = Node("c")
        n = Node("a", {"x": "1", "y": ""}, [c, c], "hi")
        assert n.name == "a" and n.text == "hi"
        assert n.attrs == {"x": "1", "y": ""}
        assert n.children == [c, c] and n.children[0] is c and n.children[1] is c

    def test_empty_text_is_not_absent(self):
        assert Node("a", text="").text == ""

    def test_values_stored_unvalidated(self):
        n = Node("", {"a b": "<&>"}, None, "<x>&amp;")
        assert n.name == "" and n.attrs == {"a b": "<&>"} and n.text == "<x>&amp;"

    def test_non_ascii_round_trip(self):
        n = Node("é名", {"ключ": "𝄞"}, text="\u3000x\u0085")
        assert n.name == "é名" and n.attrs == {"ключ": "𝄞"} and n.text == "\u3000x\u0085"

    def test_tuple_and_empty_children(self):
        c = Node("c")
        assert Node("a", children=(c,)).children == [c]
        assert Node("a", children=[]).children == []

    def test_properties_are_new_objects_each_time(self):
        c = Node("c")
        n = Node("a", {"k": "v"}, [c])
        assert n.children is not n.children
        assert n.attrs is not n.attrs
        n.children.append(Node("z"))
        n.attrs["new"] = "x"
        assert n.children == [c] and n.attrs == {"k": "v"}

    def test_attrs_lose_dict_order_but_keep_content(self):
        d = {f"k{i}": str(i) for i in range(50)}
        n = Node("a", d)
        assert n.attrs == d
        assert list(n.attrs) == list(n.attrs)  # stable for one map

    def test_attrs_order_differs_between_maps(self):
        d = {f"k{i}": str(i) for i in range(20)}
        orders = {tuple(Node("a", d).attrs) for _ in range(20)}
        assert len(orders) > 1

    def test_read_only(self):
        n = Node("a")
        for prop in ("name", "text", "attrs", "children"):
            with pytest.raises(AttributeError):
                setattr(n, prop, "b")
            with pytest.raises(AttributeError):
                delattr(n, prop)
        with pytest.raises(AttributeError):
            n.other = 1
        assert n.name == "a"

    def test_children_doc(self):
        assert Node.children.__doc__ == "Children are shared references to the same nodes, not copies."
        assert Node.name.__doc__ is None


class TestClassProperties:
    def test_qualified_name(self):
        assert Node.__module__ == "builtins" and Node.__qualname__ == "Node"
        assert SearchType.__module__ == "builtins" and SearchType.__qualname__ == "SearchType"

    def test_not_subclassable(self):
        with pytest.raises(TypeError):
            type("X", (Node,), {})
        with pytest.raises(TypeError):
            type("Y", (SearchType,), {})

    def test_no_dict_no_weakref_no_gc(self):
        import weakref

        n = Node("a")
        assert not hasattr(n, "__dict__")
        with pytest.raises(TypeError):
            weakref.ref(n)
        assert not gc.is_tracked(n)

    def test_identity_equality_and_hash(self):
        a, b = Node("a"), Node("a")
        assert a != b and a == a
        assert hash(a) == object.__hash__(a)
        assert len({a, b, a}) == 2

    def test_repr(self):
        assert repr(Node("item")) == "Node(item)"
        assert repr(Node("x y")) == "Node(x y)"


class TestPrintedForm:
    def test_worked_example(self):
        n = Node("a", {"x": "1"}, [Node("b", children=[Node("c")])], "hi")
        lines = ["Name: a", "Attributes:", "x: 1", "Text: hi", "Children:", "  Name: b", "  Children:",
                 "      Name: c", "", ""]
        assert str(n) == "\n".join(lines)
        assert to_string(n) == str(n) == to_string(n, 0)

    def test_empty_text_line(self):
        assert str(Node("a", text="")) == "Name: a\nText: "

    def test_empty_sections_omitted(self):
        assert str(Node("a", attrs={}, children=[])) == "Name: a"

    def test_spacing_three(self):
        out = to_string(Node("p", children=[Node("c")]), 3)
        assert out == "   Name: p\n   Children:\n        Name: c\n"

    def test_consecutive_children_separated_by_empty_line(self):
        out = str(Node("p", children=[Node("a"), Node("b")]))
        assert out == "Name: p\nChildren:\n  Name: a\n\n  Name: b\n"

    def test_text_inserted_verbatim(self):
        assert str(Node("a", text="l1\nl2 <&>")) == "Name: a\nText: l1\nl2 <&>"

    def test_attributes_follow_map_order(self):
        n = Node("a", {f"k{i}": str(i) for i in range(10)})
        lines = str(n).split("\n")
        assert lines[2:] == [f"{k}: {v}" for k, v in n.attrs.items()]

    def test_width_wraps_at_256(self):
        # Depth 127 under width 0 has width 254; its children get (254 + 2) mod 256 = 0.
        leaf = Node("leaf", text="t")
        n = Node("d127", children=[leaf], text="x")
        for i in range(126, -1, -1):
            n = Node(f"d{i}", children=[n])
        out = str(n)
        lines = out.split("\n")
        d127 = [l for l in lines if l.endswith("Name: d127")][0]
        assert d127 == " " * (252 + 254) + "Name: d127"
        assert " " * 254 + "Text: x" in lines
        assert (" " * 254 + "Name: leaf") in lines  # parent's prefix + the child's own (0)
        assert "Text: t" in lines  # width 0: no indentation


class TestSearchType:
    def test_members(self):
        assert [repr(m) for m in (SearchType.Tag, SearchType.Attr, SearchType.Text)] == [
            "SearchType.Tag", "SearchType.Attr", "SearchType.Text"]
        assert str(SearchType.Attr) == "SearchType.Attr"
        assert [int(m) for m in (SearchType.Tag, SearchType.Attr, SearchType.Text)] == [0, 1, 2]
        assert SearchType.Tag is SearchType.Tag

    def test_comparisons(self):
        assert SearchType.Tag == 0 and SearchType.Attr == 1 and SearchType.Text == SearchType.Text
        assert SearchType.Tag != SearchType.Attr and SearchType.Tag != 1
        assert SearchType.Attr == True  # noqa: E712 - integer conversion of bool
        assert not (SearchType.Tag == "Tag") and SearchType.Tag != "Tag"
        assert not (SearchType.Tag == None)  # noqa: E711
        with pytest.raises(TypeError):
            SearchType.Tag < SearchType.Attr
        with pytest.raises(TypeError):
            SearchType.Tag >= 0

    def test_unhashable_and_not_instantiable(self):
        with pytest.raises(TypeError):
            hash(SearchType.Tag)
        with pytest.raises(TypeError):
            {SearchType.Tag}
        with pytest.raises(TypeError):
            SearchType()
        with pytest.raises(TypeError):
            SearchType.Tag = 5


class TestLifetimes:
    def test_reference_counts_come_back(self):
        child, name, text = Node("c"), "nm" * 10, "tx" * 10
        attrs = {"k": "v"}
        before = [sys.getrefcount(o) for o in (child, name, text, attrs)]
        for _ in range(1000):
            n = Node(name, attrs, [child, child], text)
            n.children, n.attrs, n.name, n.text, str(n), repr(n)
            del n
        assert [sys.getrefcount(o) for o in (child, name, text, attrs)] == before

    def test_child_outlives_parent_and_parent_keeps_child(self):
        c = Node("c")
        p = Node("p", children=[c])
        before = sys.getrefcount(c)
        del p
        assert sys.getrefcount(c) == before - 1
        p = Node("p", children=[Node("only")])
        kid = p.children[0]
        del p
        assert kid.name == "only"


class TestDepth:
    def test_million_deep_chain_built_and_destroyed(self, deep):
        n = Node("leaf")
        for _ in range(deep):
            n = Node("x", children=[n])
        # Walk down without recursion to check it is whole.
        cur, depth = n, 0
        while cur.children:
            cur = cur.children[0]
            depth += 1
        assert depth == deep and cur.name == "leaf"
        del n, cur

    def test_deep_chain_printed(self, deep):
        levels = min(deep, 100_000)  # the outline of a million levels would be ~400 MB
        n = Node("leaf")
        for _ in range(levels):
            n = Node("x", children=[n])
        out = str(n)
        assert out.count("Name: ") == levels + 1
        assert out.startswith("Name: x\nChildren:\n  Name: x\n")
