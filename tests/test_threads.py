"""Threads under load: reading, writing, searching and converting the same trees and separate
documents at once, every result checked against one computed beforehand on a single thread."""

import os
import random
import sys
import tempfile
import threading
import time

import tessary
from support import SANITIZED, flatten as shape

Node = tessary.Node
SearchType = tessary.SearchType

SECONDS = float(os.environ.get("TESSARY_TEST_THREAD_SECONDS", "3"))
THREADS = 6


def document(seed, elements=150):
    """A document with attributes, references, CDATA, comments and non-ASCII text."""
    rnd = random.Random(seed)
    parts = ['<?xml version="1.0"?>\n<!-- doc %d -->\n<root id="%d">' % (seed, seed)]
    open_names = ["root"]
    for i in range(elements):
        if len(open_names) > 1 and rnd.random() < 0.3:
            parts.append("</%s>" % open_names.pop())
            continue
        name = rnd.choice(["item", "entry", "x", "héllo"])
        attrs = " ".join('k%d="v%d &amp; %s"' % (j, rnd.randrange(9), rnd.choice(["é", "\t", "z"]))
                         for j in range(rnd.randrange(3)))
        text = rnd.choice(["", "plain", " padded ", "a &lt; b", "<![CDATA[<raw>]]>", "ü\u3000", "&#x1F600;"])
        if rnd.random() < 0.4:
            parts.append("<%s %s/>" % (name, attrs) if attrs else "<%s/>" % name)
            if text:
                parts.append(text)
        else:
            parts.append("<%s%s>%s" % (name, " " + attrs if attrs else "", text))
            open_names.append(name)
    while open_names:
        parts.append("</%s>" % open_names.pop())
    return "".join(parts)


def fresh(s):
    """An equal str that is a new object, so its UTF-8 form and lifetime are its own."""
    return (s + "\x00")[:-1]


class Expected:
    """Everything the workers check, computed single-threaded."""

    def __init__(self):
        self.docs = [document(seed) for seed in range(THREADS * 2)]
        self.doc_shapes = [shape(tessary.read_string(d, "root")) for d in self.docs]
        # Shared trees: read ones (strings are ranges of a document) and constructed ones.
        self.trees = [tessary.read_string(d, "root") for d in self.docs[:3]]
        self.trees.append(tessary.Node.from_dict(self.trees[0].to_dict()))
        leaf = Node("leaf", {"a": "1", "b": "\n"}, text="t & t")
        self.trees.append(Node("root", children=[leaf, Node("mid", children=[leaf, leaf]), leaf]))
        self.written = [tessary.write_string(t, i % 3) for i, t in enumerate(self.trees)]
        self.written_bytes = [w.encode() for w in self.written]
        self.dicts = [t.to_dict() for t in self.trees]
        self.searches = []
        for t in self.trees:
            self.searches.append([
                (("search_by_name", "item", None), t.search_by_name("item")),
                (("search_by_name", "leaf", 1), t.search_by_name("leaf", 1)),
                (("search_by_attr", "k1", None), t.search_by_attr("k1")),
                (("search_by_text", "plain", 3), t.search_by_text("plain", 3)),
                (("search", SearchType.Text, "t & t"), t.search(SearchType.Text, "t & t")),
            ])
        self.bad = ["<root><a></root>", "<root>&nope;</root>", "<root", "<root a=1/>"]
        self.bad_messages = []
        for b in self.bad:
            try:
                tessary.read_string(b, "root")
            except ValueError as e:
                self.bad_messages.append(str(e))
            else:
                raise AssertionError(b)


def run_workers(workers):
    errors = []
    deadline = time.monotonic() + SECONDS
    counts = [0] * len(workers)

    def loop(i, work):
        rnd = random.Random(i)
        try:
            while time.monotonic() < deadline:
                work(rnd)
                counts[i] += 1
        except BaseException as e:  # reported by the main thread
            errors.append((i, e))

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        threads = [threading.Thread(target=loop, args=(i, w)) for i, w in enumerate(workers)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    if errors:
        raise errors[0][1]
    assert all(counts), counts
    return counts


def test_mixed_operations_on_shared_trees_and_separate_documents():
    exp = Expected()
    tmp = tempfile.mkdtemp(prefix="tessary-threads-")
    # Subtrees of documents read from fresh strings, handed between threads; whoever takes one
    # may hold the last reference to its document.
    handoff = []
    lock = threading.Lock()

    def reader(rnd):
        k = rnd.randrange(len(exp.docs))
        root = tessary.read_string(fresh(exp.docs[k]), "root")
        assert shape(root) == exp.doc_shapes[k]
        kids = root.children
        with lock:
            handoff.append((k, root if not kids else rnd.choice(kids), root))
            if len(handoff) > 50:
                del handoff[: len(handoff) - 50]
        del root, kids
        b = rnd.randrange(len(exp.bad))
        try:
            tessary.read_string(fresh(exp.bad[b]), "root")
        except ValueError as e:
            assert str(e) == exp.bad_messages[b]

    def writer(rnd):
        k = rnd.randrange(len(exp.trees))
        assert tessary.write_string(exp.trees[k], k % 3) == exp.written[k]
        path = os.path.join(tmp, "out-%d.xml" % threading.get_ident())
        tessary.write_file(exp.trees[k], path, k % 3)
        with open(path, "rb") as f:
            assert f.read() == exp.written_bytes[k]

    def searcher(rnd):
        k = rnd.randrange(len(exp.trees))
        t = exp.trees[k]
        for (method, value, extra), want in exp.searches[k]:
            got = getattr(t, method)(value, extra)
            assert len(got) == len(want) and all(a is b for a, b in zip(got, want)), method

    def converter(rnd):
        k = rnd.randrange(len(exp.trees))
        d = exp.trees[k].to_dict()
        assert d == exp.dicts[k]
        assert shape(Node.from_dict(d)) == shape(exp.trees[k])

    def taker(rnd):
        # Takes subtrees out of the hand-off list: each is still readable after its document's
        # root and string are gone, and writes and searches like the tree it came from.
        with lock:
            item = handoff.pop(rnd.randrange(len(handoff))) if handoff else None
        if item is None:
            time.sleep(0)
            return
        k, sub, root = item
        root_shape = shape(root)
        del item, root
        assert root_shape == exp.doc_shapes[k]
        xml = tessary.write_string(sub, 1)
        back = tessary.read_string(xml, sub.name)
        assert back.name == sub.name and len(back.children) == len(sub.children)
        assert str(sub) == str(sub) and repr(sub) == "Node(%s)" % sub.name
        del sub, back

    workers = [reader, writer, searcher, converter, taker, reader]
    run_workers(workers[:THREADS])


def test_reading_large_documents_while_others_drop_theirs():
    """Long lock-free parses overlap with threads that create and free trees of their own."""
    big = document(99, elements=3000 if not SANITIZED else 600)
    want = shape(tessary.read_string(big, "root"))

    def parse(rnd):
        assert shape(tessary.read_string(fresh(big), "root")) == want

    def churn(rnd):
        trees = [tessary.read_string(fresh("<r a='%d'>é%d<c/></r>" % (i, i)), "r") for i in range(50)]
        kept = [t.children[0] for t in trees]
        del trees
        assert all(c.name == "c" for c in kept)

    run_workers([parse, churn, parse, churn, parse, churn][:THREADS])
