"""Reads an embedded sample document, prints its tree, searches it, converts it to a dict and
writes it back as XML. Run after `pip install .`:  python examples/demo.py"""
import json

import tessary

SAMPLE = """<?xml version="1.0" encoding="utf-8"?>
<!-- A small library catalogue -->
<catalogue>
  <shelf id="fiction">
    <book id="b1" lang="en"><title>Don't Panic &amp; Carry On</title><year>1979</year></book>
    <book id="b2" lang="fr"><title>L'Étranger</title><year>1942</year></book>
  </shelf>
  <shelf id="reference">
    <book id="b3"><title><![CDATA[<XML> in a Nutshell]]></title><year>2004</year></book>
  </shelf>
</catalogue>
"""


def main():
    root = tessary.read_string(SAMPLE, "catalogue")
    print("== the tree")
    print(root)
    print("== every title")
    for title in root.search_by_name("title"):
        print(" ", title.text)
    print("== books with a lang attribute")
    print(" ", [b.attrs["id"] for b in root.search_by_attr("lang")])
    print("== the first shelf as a dict")
    print(json.dumps(root.children[0].to_dict(), indent=2, sort_keys=True, ensure_ascii=False))
    print("== written back")
    print(tessary.write_string(root, 2))


if __name__ == "__main__":
    main()
