"""A user's script: everything here must pass `mypy --strict` against the shipped stubs, and
every `assert_type` pins the exact type the stub gives."""

from __future__ import annotations

import importlib.metadata
from typing import assert_type

import tessary
from tessary import Node, SearchType


def titles(path: str) -> list[str]:
    root = tessary.read_file(path, "catalog")
    return [n.text or "" for n in root.search_by_name("title", depth=2)]


def main() -> None:
    root = tessary.read_string('<a x="1">hi<b/></a>', "a")
    assert_type(root, Node)
    assert_type(root.name, str)
    assert_type(root.text, str | None)
    assert_type(root.attrs, dict[str, str])
    assert_type(root.children, list[Node])
    assert_type(root.search_by_attr("x"), list[Node])
    assert_type(root.search_by_text("hi", None), list[Node])
    assert_type(root.search(SearchType.Tag, "b", depth=-1), list[Node])
    assert_type(int(SearchType.Text), int)
    assert_type(SearchType.Attr == 1, bool)
    assert_type(root.__to_string(2), str)

    built = Node("r", {"k": "v"}, (root, Node("c", text="")), None)
    again = Node(name="r", attrs=None, children=[built], text="t")
    assert_type(tessary.write_string(again, 2, default_xml_def=False), str)
    assert_type(tessary.write_file(again, "/dev/null", indent=None), None)

    d = root.to_dict()
    assert_type(d["name"], str)
    assert_type(d["attrs"], dict[str, str])
    assert_type(d["text"], str | None)
    for child in d["children"]:
        assert_type(child["children"][0]["name"], str)
    copy = Node.from_dict(d)
    loose = Node.from_dict({"name": "x", "attrs": {}, "children": [], "extra": 1})
    assert_type(copy, Node)
    assert_type(loose, Node)

    version: str = importlib.metadata.version("tessary")
    print(version, titles("catalog.xml") if False else [])


if __name__ == "__main__":
    main()
