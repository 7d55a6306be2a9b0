"""Node.search_by_name, search_by_attr, search_by_text and search."""
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tessary
from tessary import Node, SearchType

from support import examples, keyed_chain, model_search, query_trees

# SearchType members are unhashable, so this is a list rather than a dict.
METHODS = [
    (SearchType.Tag, "search_by_name", lambda n, s: n.name == s),
    (SearchType.Attr, "search_by_attr", lambda n, s: s in n.attrs),
    (SearchType.Text, "search_by_text", lambda n, s: n.text == s),
]


def sample():
    """<a><b/><c><b/></c><b/></a>, built with the constructor."""
    b1, b2, b3 = Node("b"), Node("b"), Node("b")
    return Node("a", children=[b1, Node("c", children=[b2]), b3]), (b1, b2, b3)


def same(got, expected):
    return type(got) is list and len(got) == len(expected) and all(g is e for g, e in zip(got, expected))


class TestOrderAndIdentity:
    def test_preorder_and_node_itself_first(self):
        a, (b1, b2, b3) = sample()
        assert same(a.search_by_name("b"), [b1, b2, b3])
        outer = Node("b", children=[a])
        assert same(outer.search_by_name("b"), [outer, b1, b2, b3])
        assert a.search_by_name("c")[0] is a.children[1]

    def test_shared_child_reported_once_per_path(self):
        x = Node("x", {"id": "1"})
        mid = Node("m", children=[x, x])
        assert same(Node("r", children=[mid, x, mid]).search_by_attr("id"), [x] * 5)

    def test_no_match_is_a_new_empty_list(self):
        a, _ = sample()
        r1, r2 = a.search_by_name("zz"), a.search_by_name("zz")
        assert r1 == [] and r1 is not r2


class TestDepth:
    def test_budgets(self):
        a, (b1, b2, b3) = sample()
        assert a.search_by_name("b", 0) == [] and same(a.search_by_name("a", 0), [a])
        assert same(a.search_by_name("b", 1), [b1, b3]) and same(a.search_by_name("b", True), [b1, b3])
        for unlimited in (None, 2, -1, -2**31, 2**31 - 1):
            assert same(a.search_by_name("b", unlimited), [b1, b2, b3])

        class Index:
            def __index__(self):
                return 0

        assert same(a.search_by_name("a", Index()), [a])

    def test_levels_counted_on_a_chain(self):
        c = keyed_chain(10)
        for d in range(12):
            assert len(c.search_by_name("n", d)) == min(d + 1, 10)
            assert len(c.search_by_name("leaf", d)) == (d >= 10)

    @pytest.mark.parametrize("depth, exc, message", [
        (2**31, OverflowError, "number too large to fit in target type"),
        (-2**31 - 1, OverflowError, "number too small to fit in target type"),
        (2**63, OverflowError, None),
        (1.0, TypeError, None),
    ])
    def test_bad_depth(self, depth, exc, message):
        with pytest.raises(exc) as info:
            Node("a").search_by_name("a", depth)
        assert message is None or str(info.value) == message
        assert info.value.__notes__ == ["while processing 'depth'"]


class TestExactComparison:
    def test_bytes_compared_exactly(self):
        empty, absent = Node("e", text=""), Node("n")
        item, spaced = Node("item"), Node("t", text=" hi ")
        xs = [Node("x", {"id": ""}), Node("x", {"ID": "1"}), Node("x", {"other": "id"})]
        root = Node("ab", {"key": "v"}, [absent, empty, item, spaced] + xs, "ab")
        assert root.search_by_name("Item") == [] and same(root.search_by_name("item"), [item])
        assert root.search_by_text("hi") == [] and same(root.search_by_text(" hi "), [spaced])
        assert same(root.search_by_text(""), [empty])  # absent text never matches
        assert same(root.search_by_attr("id"), xs[:1])  # the value, even empty, is irrelevant
        assert root.search_by_name("a") == [] and root.search_by_attr("ke") == [] and root.search_by_text("abc") == []

    def test_non_ascii_and_str_subclass(self):
        n = Node("é名", {"ключ": ""}, text="𝄞")
        assert same(n.search_by_name(type("S", (str,), {})("é名")), [n]) and n.search_by_name("e名") == []
        assert same(n.search_by_attr("ключ"), [n]) and same(n.search_by_text("𝄞"), [n])

    def test_parsed_document_strings(self):
        try:
            root = tessary.read_string('<a x="1"><b id="">hi</b><c><b>hi</b></c><B ID="2"/></a>', "a")
        except NotImplementedError:
            pytest.skip("reader not built")
        bs = root.search_by_name("b")
        assert len(bs) == 2 and bs[1] is root.children[1].children[0]
        assert same(root.search_by_attr("id"), bs[:1]) and same(root.search_by_text("hi"), bs)
        assert same(root.search_by_attr("x"), [root]) and same(root.search_by_name("B", 1), [root.children[2]])


class TestArguments:
    def test_search_dispatches_like_the_specific_methods(self):
        a, _ = sample()
        for by, method, _ in METHODS:
            for value in ("b", "a", "id", ""):
                for depth in (None, 0, 1, -1):
                    assert same(a.search(by, value, depth), getattr(a, method)(value, depth))
        assert same(a.search(value="b", by=SearchType.Tag, depth=1), a.search_by_name(name="b", depth=1))

    @pytest.mark.parametrize("args, message, param", [
        (("Tag", "a"), "'str' object is not an instance of 'SearchType'", "by"),
        ((0, 5, 1.5), "'int' object is not an instance of 'SearchType'", "by"),
        ((None, "a"), "'None' is not an instance of 'SearchType'", "by"),
        ((SearchType.Tag, 5, 1.5), "'int' object is not an instance of 'str'", "value"),
    ])
    def test_search_arguments_checked_in_order(self, args, message, param):
        with pytest.raises(TypeError) as info:
            Node("a").search(*args)
        assert str(info.value) == message and info.value.__notes__ == [f"while processing '{param}'"]

    @pytest.mark.parametrize("method, param", [("search_by_name", "name"), ("search_by_attr", "key"),
                                               ("search_by_text", "text")])
    def test_string_parameter_named(self, method, param):
        with pytest.raises(TypeError) as info:
            getattr(Node("a"), method)(None, 1.5)
        assert str(info.value) == "'None' is not an instance of 'str'"
        assert info.value.__notes__ == [f"while processing '{param}'"]
        with pytest.raises(UnicodeEncodeError) as info:
            getattr(Node("a"), method)("\ud800")
        assert info.value.__notes__ == [f"while processing '{param}'"]
        with pytest.raises(TypeError, match=rf"^Node.{method}\(\) takes from 1 to 2 positional arguments but 3 were given$"):
            getattr(Node("a"), method)("a", 1, 2)


@settings(max_examples=examples(100), deadline=None)
@given(query_trees(), st.sampled_from(METHODS), st.sampled_from(["a", "b", "item", "", "id", "k", "hi"]),
       st.one_of(st.none(), st.integers(-3, 6)))
def test_walk_matches_recursive_model(root, kind, value, depth):
    by, method, test = kind
    expected = model_search(root, lambda n: test(n, value), depth)
    assert same(getattr(root, method)(value, depth), expected)
    assert same(root.search(by, value, depth), expected)


def test_reference_counts_stable():
    x = Node("x", {"id": "1"}, text="t")
    root = Node("r", children=[x, x, Node("y", children=[x])])
    before = (sys.getrefcount(root), sys.getrefcount(x))
    for _ in range(200):
        root.search_by_name("x")
        root.search_by_attr("id", 1)
        root.search(SearchType.Text, "t")
        with pytest.raises(OverflowError):
            root.search_by_name("x", 2**40)
    assert (sys.getrefcount(root), sys.getrefcount(x)) == before
    found = root.search_by_name("x")
    assert sys.getrefcount(x) == before[1] + 3  # each entry holds its own reference
    del found
    assert sys.getrefcount(x) == before[1]


def test_million_deep_chain(deep):
    root = keyed_chain(deep)
    found = root.search_by_name("leaf")
    assert len(found) == 1 and found[0].text == "bottom"
    assert len(root.search_by_attr("k")) == deep // 2
    assert root.search_by_text("bottom", deep - 1) == [] and len(root.search(SearchType.Text, "bottom", deep)) == 1
