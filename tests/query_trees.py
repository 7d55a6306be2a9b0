"""Helpers for the search and dict conversion tests: random trees with shared nodes, a plain
Python model of the search walk, and iterative walks for trees too deep to recurse over."""
import gc

from hypothesis import strategies as st

from tessary import Node

NAMES = ["a", "b", "item", "Item", ""]
KEYS = ["id", "ID", "k", "é"]
TEXTS = [None, "", "hi", " hi ", "x"]


@st.composite
def shared_trees(draw, max_nodes=15, max_paths=300):
    """A Node DAG built bottom-up: each node takes its children from the nodes made before it,
    so the same node can stand under several parents or twice in one children list. Sharing can
    make the tree as walked (one visit per path) exponentially large, so children are dropped
    once a node's subtree would exceed `max_paths` visits."""
    made, paths = [], []
    for _ in range(draw(st.integers(1, max_nodes))):
        picks = draw(st.lists(st.integers(0, len(made) - 1), max_size=4)) if made else []
        kids, size = [], 1
        for i in picks:
            if size + paths[i] <= max_paths:
                kids.append(made[i])
                size += paths[i]
        attrs = draw(st.dictionaries(st.sampled_from(KEYS), st.sampled_from(["", "1", "v"]), max_size=3))
        made.append(Node(draw(st.sampled_from(NAMES)), attrs, kids, draw(st.sampled_from(TEXTS))))
        paths.append(size)
    return made[-1]


def model_search(node, test, depth):
    """The walk as plainly as it can be said: pre-order, recursive, depth-limited."""
    out = []

    def visit(n, budget):
        if test(n):
            out.append(n)
        if depth is not None and budget == 0:
            return
        for c in n.children:
            visit(c, budget - 1)

    visit(node, -1 if depth is None else depth)
    return out


def chain(depth, leaf_text="bottom"):
    """A chain of `depth` levels above one leaf; every other level has an attribute."""
    cur = Node("leaf", {"at": "leaf"}, None, leaf_text)
    for i in range(depth):
        cur = Node("n", {"k": str(i)} if i % 2 else None, [cur])
    return cur


def dict_chain(depth):
    """The dict form of a chain of `depth` levels above one leaf, built without recursion (and
    without the cyclic collector rescanning the growing chain every few hundred levels)."""
    was = gc.isenabled()
    gc.disable()
    try:
        cur = {"name": "leaf", "attrs": {"at": "leaf"}, "children": [], "text": "bottom"}
        for _ in range(depth):
            cur = {"name": "n", "attrs": {}, "children": [cur], "text": None}
        return cur
    finally:
        if was:
            gc.enable()


def same_tree_as_dict(node, d):
    """True when `d` has exactly the dict shape of `node`'s subtree; walks with a work list."""
    work = [(node, d)]
    while work:
        n, x = work.pop()
        if type(x) is not dict or set(x) != {"name", "attrs", "children", "text"}:
            return False
        if x["name"] != n.name or x["attrs"] != n.attrs or x["text"] != n.text:
            return False
        if type(x["attrs"]) is not dict or type(x["children"]) is not list:
            return False
        kids = n.children
        if len(kids) != len(x["children"]):
            return False
        work.extend(zip(kids, x["children"]))
    return True


def same_tree(a, b):
    """Two Node trees with the same names, attributes, texts and child order (iterative)."""
    work = [(a, b)]
    while work:
        x, y = work.pop()
        if (x.name, x.attrs, x.text) != (y.name, y.attrs, y.text):
            return False
        xs, ys = x.children, y.children
        if len(xs) != len(ys):
            return False
        work.extend(zip(xs, ys))
    return True


def all_nodes(node):
    """Every node object reached, once per path, in pre-order."""
    out, work = [], [node]
    while work:
        n = work.pop()
        out.append(n)
        work.extend(reversed(n.children))
    return out
