"""Read XML into immutable trees of Node objects, write trees back as XML, search them and
convert them to and from plain dicts."""

from collections.abc import Sequence
from typing import Any, ClassVar, Literal, TypedDict, final

__all__ = ["SearchType", "Node", "read_file", "read_string", "write_file", "write_string"]

class _NodeDict(TypedDict):
    """The dict form of one node, as `Node.to_dict` makes it."""

    name: str
    attrs: dict[str, str]
    children: list[_NodeDict]
    text: str | None

@final
class SearchType:
    """What `Node.search` compares: the tag name, an attribute key, or the text.

    The three members are the only instances (the class cannot be called). A member equals
    itself and its integer value; members are not hashable and not ordered."""

    Tag: ClassVar[SearchType]
    """Compare tag names (value 0)."""
    Attr: ClassVar[SearchType]
    """Compare attribute keys (value 1)."""
    Text: ClassVar[SearchType]
    """Compare texts (value 2)."""
    __hash__: ClassVar[None]  # type: ignore[assignment]

    def __int__(self) -> Literal[0, 1, 2]:
        """The member's value: 0, 1 or 2."""
    def __eq__(self, other: object, /) -> bool:
        """True for the same member, or for an integer equal to the member's value."""
    def __ne__(self, other: object, /) -> bool:
        """The negation of ``==``."""

@final
class Node:
    """Node(name, attrs=None, children=None, text=None)

    One XML element. Nodes are immutable; children are shared references, so the same node
    can stand under several parents. Equality and hashing are by identity."""

    def __new__(
        cls,
        name: str,
        attrs: dict[str, str] | None = None,
        children: Sequence[Node] | None = None,
        text: str | None = None,
    ) -> Node:
        """A new node. `attrs` is a dict of str to str, `children` any sequence of Nodes (not a
        str), `text` a str or None (an empty str is an empty text, not an absent one)."""
    @property
    def name(self) -> str:
        """The tag name."""
    @property
    def text(self) -> str | None:
        """All character data and CDATA content of the element joined in document order,
        trimmed of white space at both ends; None when absent (or only white space)."""
    @property
    def attrs(self) -> dict[str, str]:
        """A new dict of the attributes each time, in the order of an internal hash map with a
        random key per map: stable for one node and the same in `str()`, the writer and
        `to_dict`, but not document order."""
    @property
    def children(self) -> list[Node]:
        """Children are shared references to the same nodes, not copies.

        A new list each time, holding the child nodes themselves, in order."""
    def __to_string(self, spacing: int | None = None) -> str:
        """The printed outline ("Name: …", "Attributes:", "Text: …", "Children:"), indented
        by `spacing` spaces (0 to 255; None is 0); `str(node)` is the same with no spacing."""
    def search_by_name(self, name: str, depth: int | None = None) -> list[Node]:
        """The nodes of the subtree whose tag name equals `name` exactly, in pre-order (this
        node first if it matches). `depth` limits the distance from this node (0: only this
        node); None or a negative depth searches the whole subtree."""
    def search_by_attr(self, key: str, depth: int | None = None) -> list[Node]:
        """The nodes of the subtree that have an attribute named `key`, in pre-order; `depth`
        as for `search_by_name`."""
    def search_by_text(self, text: str, depth: int | None = None) -> list[Node]:
        """The nodes of the subtree whose text equals `text` exactly, in pre-order; `depth` as
        for `search_by_name`."""
    def search(self, by: SearchType, value: str, depth: int | None = None) -> list[Node]:
        """`search_by_name`, `search_by_attr` or `search_by_text`, chosen by `by`
        (`SearchType.Tag`, `SearchType.Attr` or `SearchType.Text`)."""
    def to_dict(self) -> _NodeDict:
        """The subtree as nested plain dicts: {"name": str, "attrs": {str: str},
        "children": [dict, ...], "text": str | None} (key order unspecified)."""
    @classmethod
    def from_dict(cls, dict_: _NodeDict | dict[str, Any]) -> Node:
        """A new tree built from the shape `to_dict` makes. Extra keys are ignored and a
        missing "text" means no text; a missing or ill-typed "name", "attrs" or "children"
        raises ValueError("Invalid name" / "Invalid attrs" / "Invalid children")."""

def read_string(xml_string: str, root_tag: str) -> Node:
    """Parse a str. The result is the first element in document order, at any depth, whose
    tag name equals `root_tag`; everything before it is only checked for balanced tags and
    nothing after its end tag is looked at. The document is not copied: names, attribute
    values and texts that need no decoding are ranges into the string passed, which the tree
    keeps alive.

    A malformed document raises ValueError; when its message names a byte offset, the
    exception's `position` is (line, column): the line counted from 1, the column from 0 in
    characters of that line."""

def read_file(file_path: str, root_tag: str) -> Node:
    """Parse the bytes of a file, like `read_string`. The file must be UTF-8; a leading
    byte-order mark is ignored. File errors raise the OSError subclass for the error."""

def write_string(node: Node, indent: int | None = None, default_xml_def: bool | None = None) -> str:
    """The XML text of the tree. `indent` (default 4) is the number of spaces per level;
    every element starts on its own line, an element with text and no children is written
    on one line, an empty element as <name/>. `default_xml_def` (default True) puts
    <?xml version="1.0" encoding="utf-8"?> and a line feed first."""

def write_file(
    node: Node, file_path: str, indent: int | None = None, default_xml_def: bool | None = None
) -> None:
    """Write the same bytes as `write_string` to a file, created or truncated."""
