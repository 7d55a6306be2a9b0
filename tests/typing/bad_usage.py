"""Wrong uses of the API: mypy must report an error on each line marked `# error`, and on no
other line."""

from __future__ import annotations

import tessary
from tessary import Node, SearchType

root = tessary.read_string(b"<a/>", "a")  # error
root2 = tessary.read_string("<a/>")  # error
node = Node("a")
node.name = "b"  # error
name: int = node.name  # error
text: str = node.text  # error
node.children.append("x")  # error
Node("a", children="xy")  # error
Node("a", attrs={"k": 1})  # error
Node("a", attrs=[("k", "v")])  # error
node.search_by_name("a", depth="2")  # error
node.search("Tag", "a")  # error
tessary.write_string(node, indent="4")  # error
tessary.write_string(node, default_xml_def=1)  # error
tessary.write_file(node)  # error
out: str = tessary.write_file(node, "x.xml")  # error
SearchType.Tag < SearchType.Attr  # error
node.to_dict()["nmae"]  # error
tessary.read_string("<a/>", "a", strict=True)  # error
tessary.__version__  # error
tessary.PanicException  # error
Node.from_dict("<a/>")  # error
