"""Shared helpers for the writer tests."""

import tessary

DECLARATION = '<?xml version="1.0" encoding="utf-8"?>\n'

_TEXT = {"&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;", "'": "&apos;"}
_ATTR = dict(_TEXT, **{"\t": "&#9;", "\r": "&#13;", "\n": "&#10;"})


def escape(s, attribute=False):
    """Reference escaping, character by character."""
    table = _ATTR if attribute else _TEXT
    return "".join(table.get(c, c) for c in s)


def flatten(node):
    """The tree as a pre-order list of (name, attrs, text, child count), built without recursion."""
    out = []
    stack = [node]
    while stack:
        n = stack.pop()
        kids = n.children
        out.append((n.name, n.attrs, n.text, len(kids)))
        stack.extend(reversed(kids))
    return out


def chain(depth, name="a"):
    """A tree `depth` elements deep, one child per level."""
    node = tessary.Node(name)
    for _ in range(depth - 1):
        node = tessary.Node(name, children=[node])
    return node


def reader_available():
    try:
        tessary.read_string("<r/>", "r")
    except NotImplementedError:
        return False
    return True
