"""The module surface: contents, signatures, argument binding and conversion errors."""
import inspect
import sys

import pytest

import tessary
from tessary import Node, SearchType


def test_all_lists_the_six_names_in_order():
    assert tessary.__all__ == ["SearchType", "Node", "read_file", "read_string", "write_file", "write_string"]
    for name in tessary.__all__:
        assert getattr(tessary, name) is not None


def test_functions_belong_to_the_module():
    for name in ("read_file", "read_string", "write_file", "write_string"):
        assert getattr(tessary, name).__module__ == "tessary"
        assert getattr(tessary, name).__name__ == name


@pytest.mark.parametrize(
    "obj, text",
    [
        (tessary.read_string, "(xml_string, root_tag)"),
        (tessary.read_file, "(file_path, root_tag)"),
        (tessary.write_string, "(node, indent=None, default_xml_def=None)"),
        (tessary.write_file, "(node, file_path, indent=None, default_xml_def=None)"),
        (Node, "(name, attrs=None, children=None, text=None)"),
        (Node.search_by_name, "(self, /, name, depth=None)"),
        (Node.search_by_attr, "(self, /, key, depth=None)"),
        (Node.search_by_text, "(self, /, text, depth=None)"),
        (Node.search, "(self, /, by, value, depth=None)"),
        (Node.to_dict, "(self, /)"),
        (getattr(Node, "__to_string"), "(self, /, spacing=None)"),
    ],
)
def test_text_signatures(obj, text):
    assert str(inspect.signature(obj)) == text


def test_from_dict_signature_binds_the_class():
    assert str(inspect.signature(Node.from_dict)) == "(dict_)"
    assert Node.__text_signature__ == "(name, attrs=None, children=None, text=None)"
    assert not Node.__doc__


class TestBinding:
    def test_missing_one(self):
        with pytest.raises(TypeError, match=r"^read_string\(\) missing 1 required positional argument: 'root_tag'$"):
            tessary.read_string("<a/>")

    def test_missing_two_joined_with_and(self):
        with pytest.raises(TypeError) as e:
            tessary.read_string()
        assert str(e.value) == "read_string() missing 2 required positional arguments: 'xml_string' and 'root_tag'"

    def test_missing_for_method_names_the_class(self):
        n = Node("a")
        with pytest.raises(TypeError) as e:
            n.search()
        assert str(e.value) == "Node.search() missing 2 required positional arguments: 'by' and 'value'"

    def test_unexpected_keyword(self):
        with pytest.raises(TypeError) as e:
            tessary.read_string(xml_string="<a/>", root_tag="a", x=1)
        assert str(e.value) == "read_string() got an unexpected keyword argument 'x'"

    def test_too_many_with_optional_parameters(self):
        with pytest.raises(TypeError) as e:
            tessary.write_string(Node("a"), 2, True, 5)
        assert str(e.value) == "write_string() takes from 1 to 3 positional arguments but 4 were given"

    def test_too_many_all_required(self):
        with pytest.raises(TypeError) as e:
            tessary.read_string("a", "b", "c")
        assert str(e.value) == "read_string() takes 2 positional arguments but 3 were given"

    def test_too_many_one_given_says_was(self):
        with pytest.raises(TypeError) as e:
            getattr(Node("a"), "__to_string")(1, 2)
        assert str(e.value) == "Node.__to_string() takes from 0 to 1 positional arguments but 2 were given"
        with pytest.raises(TypeError) as e:
            Node.from_dict({}, {})
        assert str(e.value) == "Node.from_dict() takes 1 positional arguments but 2 were given"

    def test_multiple_values_positional_then_keyword(self):
        with pytest.raises(TypeError) as e:
            Node("a", name="b")
        assert str(e.value) == "Node.__new__() got multiple values for argument 'name'"

    def test_constructor_missing(self):
        with pytest.raises(TypeError) as e:
            Node()
        assert str(e.value) == "Node.__new__() missing 1 required positional argument: 'name'"

    def test_binding_runs_before_conversion(self):
        # A wrong type and an unknown keyword: the keyword is reported, nothing is converted.
        with pytest.raises(TypeError) as e:
            Node(5, bogus=1)
        assert "unexpected keyword argument 'bogus'" in str(e.value)
        assert not getattr(e.value, "__notes__", None)


class TestConversion:
    def test_str_mismatch_has_note(self):
        with pytest.raises(TypeError) as e:
            Node(5)
        assert str(e.value) == "'int' object is not an instance of 'str'"
        assert e.value.__notes__ == ["while processing 'name'"]

    def test_none_mismatch_text(self):
        with pytest.raises(TypeError) as e:
            Node(None)
        assert str(e.value) == "'None' is not an instance of 'str'"

    def test_str_subclass_accepted(self):
        class S(str):
            pass

        assert Node(S("x"), text=S("t")).name == "x"

    def test_lone_surrogate_is_the_interpreters_error(self):
        with pytest.raises(UnicodeEncodeError) as e:
            Node("\ud800")
        assert e.value.__notes__ == ["while processing 'name'"]

    def test_children_str_refused(self):
        with pytest.raises(TypeError) as e:
            Node("a", children="xy")
        assert str(e.value) == "Can't extract `str` to `Vec`"
        assert e.value.__notes__ == ["while processing 'children'"]

    def test_children_not_a_sequence(self):
        with pytest.raises(TypeError) as e:
            Node("a", children={Node("b")})
        assert str(e.value) == "'set' object is not an instance of 'Sequence'"

    def test_children_with_a_non_node(self):
        with pytest.raises(TypeError) as e:
            Node("a", children=[Node("b"), "c"])
        assert str(e.value) == "'str' object is not an instance of 'Node'"
        assert e.value.__notes__ == ["while processing 'children'"]

    def test_children_iteration_error_propagates(self):
        class Bad:
            def __len__(self):
                raise RuntimeError("no length")

            def __getitem__(self, i):
                if i == 1:
                    raise KeyError("boom")
                return Node("x")

        with pytest.raises(KeyError) as e:
            Node("a", children=Bad())
        assert e.value.__notes__ == ["while processing 'children'"]

    def test_attrs_must_be_a_dict_of_str(self):
        with pytest.raises(TypeError) as e:
            Node("a", attrs=[])
        assert str(e.value) == "'list' object is not an instance of 'dict'"
        assert e.value.__notes__ == ["while processing 'attrs'"]
        with pytest.raises(TypeError) as e:
            Node("a", attrs={"k": 1})
        assert str(e.value) == "'int' object is not an instance of 'str'"
        with pytest.raises(TypeError):
            Node("a", attrs={1: "v"})

    def test_conversion_order_name_first(self):
        with pytest.raises(TypeError) as e:
            Node(1, attrs=2, children=3, text=4)
        assert e.value.__notes__ == ["while processing 'name'"]
        with pytest.raises(TypeError) as e:
            Node("a", attrs={}, children=3, text=4)
        assert e.value.__notes__ == ["while processing 'children'"]

    @pytest.mark.parametrize(
        "value, exc, text",
        [
            (256, OverflowError, "number too large to fit in target type"),
            (-1, OverflowError, "number too small to fit in target type"),
            (2**70, OverflowError, None),
            (1.5, TypeError, None),
            ("3", TypeError, None),
        ],
    )
    def test_u8_spacing(self, value, exc, text):
        with pytest.raises(exc) as e:
            getattr(Node("a"), "__to_string")(value)
        if text is not None:
            assert str(e.value) == text
        assert e.value.__notes__ == ["while processing 'spacing'"]

    def test_u8_accepts_bool_and_index(self):
        class I:
            def __index__(self):
                return 2

        n = Node("a")
        assert getattr(n, "__to_string")(True) == " Name: a"
        assert getattr(n, "__to_string")(I()) == "  Name: a"
        assert getattr(n, "__to_string")(255) == " " * 255 + "Name: a"


def test_failed_conversion_releases_what_it_took():
    child = Node("c")
    text = "some text"
    before = (sys.getrefcount(child), sys.getrefcount(text))
    for _ in range(1000):
        with pytest.raises(TypeError):
            Node("a", children=[child, child], text=text, attrs=5)
        with pytest.raises(TypeError):
            Node("a", children=[child, 5])
    assert (sys.getrefcount(child), sys.getrefcount(text)) == before
