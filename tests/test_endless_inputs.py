"""Inputs that never end or lie about their size: dictionaries that contain themselves, sequences
whose __len__ is wrong or whose items never run out, and files that are not text or never end.
Each is refused at once, or ends in MemoryError, never by taking the process down. The cases that
could take it down run in a child interpreter under an address-space limit (support.run_guarded)."""

import os
import sys
import threading
import time

import pytest

from tessary import Node, read_file

from support import run_guarded

CIRCULAR = "ValueError: Circular reference detected"


def leaf(name):
    return {"name": name, "attrs": {}, "children": []}


# ---- dictionaries that contain themselves ---------------------------------------------------

def test_cycles_are_refused_at_once():
    out = run_guarded("""
        d = {"name": "a", "attrs": {}, "children": []}
        d["children"].append(d)
        print(outcome(lambda: Node.from_dict(d)))

        a = {"name": "a", "attrs": {}, "children": []}
        b = {"name": "b", "attrs": {}, "children": [a]}
        a["children"].append(b)
        print(outcome(lambda: Node.from_dict(a)))
        print(outcome(lambda: Node.from_dict(b)))

        # Through a tuple, a sequence of its own, and a key that is converted but then ignored.
        t = {"name": "t", "attrs": {}}
        t["children"] = ({"name": "x", "attrs": {}, "children": ()}, t)
        print(outcome(lambda: Node.from_dict(t)))
        class Seq:
            def __init__(self, items): self.items = items
            def __len__(self): return len(self.items)
            def __getitem__(self, i): return self.items[i]
        s = {"name": "s", "attrs": {}}
        s["children"] = Seq([s])
        print(outcome(lambda: Node.from_dict(s)))
        x = {"name": "x", "attrs": {}, "children": []}
        x["extra"] = [x]
        print(outcome(lambda: Node.from_dict(x)))

        # Far down, back to a dictionary in the middle of the path; shared dictionaries beside it.
        top = {"name": "0", "attrs": {}, "children": []}
        here, middle = top, None
        for i in range(1, 2000):
            nxt = {"name": str(i), "attrs": {}, "children": []}
            here["children"] += [{"name": "s", "attrs": {}, "children": []}, nxt]
            here = nxt
            if i == 700:
                middle = here
        here["children"].append(middle)
        print(outcome(lambda: Node.from_dict(top)))

        # Nothing built before the cycle was met is kept.
        def rss():
            return int(open("/proc/self/statm").read().split()[1]) * resource.getpagesize()
        for _ in range(20):
            outcome(lambda: Node.from_dict(top))
        before = [sys.getrefcount(o) for o in (d, a, b, top, middle)]
        start = rss()
        for _ in range(300):
            outcome(lambda: Node.from_dict(d))
            outcome(lambda: Node.from_dict(a))
            outcome(lambda: Node.from_dict(top))
        print([sys.getrefcount(o) for o in (d, a, b, top, middle)] == before)
        print(bool(os.environ.get("TESSARY_TEST_SANITIZED")) or rss() - start < 10 << 20)
    """)
    assert out == [CIRCULAR] * 7 + ["True", "True"]


def test_shared_dicts_convert_once_per_occurrence():
    s = leaf("s")
    diamond = {"name": "top", "attrs": {}, "children": [
        {"name": "l", "attrs": {}, "children": [s]},
        {"name": "r", "attrs": {}, "children": [s, s]},
    ], "other": [s]}
    node = Node.from_dict(diamond)
    assert [c.name for c in node.children] == ["l", "r"]
    assert [c.name for c in node.children[1].children] == ["s", "s"]
    assert node.children[1].children[0] is not node.children[1].children[1]

    # Each level holds the level below twice: 2^12 paths through 13 dictionaries.
    level = leaf("bottom")
    for i in range(12):
        level = {"name": f"l{i}", "attrs": {}, "children": [level, level]}
    node = Node.from_dict(level)
    assert len(node.search_by_name("bottom")) == 2 ** 12

    # A dictionary shared with the one that failed is not taken for a cycle either.
    bad = {"name": "bad", "attrs": {"k": None}, "children": []}
    with pytest.raises(TypeError):
        Node.from_dict({"name": "a", "attrs": {}, "children": [s, bad, s]})
    assert Node.from_dict({"name": "a", "attrs": {}, "children": [s, s]}).children[1].name == "s"


def test_list_that_contains_itself():
    # Items must be dicts, so a list inside itself fails as a value of no variant.
    looped = []
    looped.append(looped)
    with pytest.raises(TypeError) as info:
        Node.from_dict({"name": "a", "attrs": {}, "children": looped})
    assert "'list' object is not an instance of 'dict'" in str(info.value)
    # (A list that holds the dictionary holding it is a cycle of that dictionary: the first case
    # of test_cycles_are_refused_at_once.)


# ---- __len__ is a hint ----------------------------------------------------------------------

def test_lying_lengths_give_the_items_really_yielded():
    out = run_guarded("""
        nodes = [Node(str(i)) for i in range(3)]
        dicts = [{"name": str(i), "attrs": {}, "children": []} for i in range(3)]

        def lying(length, items):
            class Lying:
                def __len__(self): return length()
                def __getitem__(self, i): return items[i]
            return Lying()

        class BigList(list):
            def __len__(self): return 10 ** 15
        class BigTuple(tuple):
            def __len__(self): return 10 ** 15
        def boom(): raise RuntimeError("no length")

        lengths = [lambda: 10 ** 15, lambda: sys.maxsize, lambda: 10 ** 30, lambda: -1, boom, lambda: 0]
        for make_items in (lambda: nodes, lambda: dicts):
            items = make_items()
            seqs = [lying(n, items) for n in lengths] + [BigList(items), BigTuple(items)]
            for seq in seqs:
                if items is nodes:
                    got = Node("p", children=seq).children
                else:
                    got = Node.from_dict({"name": "p", "attrs": {}, "children": seq}).children
                # What iterating gives (list() itself presizes from __len__ in some versions).
                yielded = [getattr(x, "name", None) or x["name"] for x in seq]
                print([c.name for c in got], yielded)

        # The lengths asked for are not kept either.
        watched = nodes + dicts
        before = [sys.getrefcount(o) for o in watched]
        for _ in range(500):
            Node("p", children=lying(lambda: 10 ** 15, nodes))
            Node.from_dict({"name": "p", "attrs": {}, "children": BigList(dicts)})
        print([sys.getrefcount(o) for o in watched] == before)
    """)
    assert len(out) == 17
    for line in out[:16]:
        assert line == "['0', '1', '2'] ['0', '1', '2']"
    assert out[16] == "True"


def test_sequences_that_yield_more_than_they_report():
    many = [Node(str(i)) for i in range(5000)]

    class Short:
        def __len__(self):
            return 1

        def __getitem__(self, i):
            return many[i]

    assert Node("p", children=Short()).children == many
    class ShortList(list):
        def __len__(self):
            return 2

    dicts = ShortList(leaf(str(i)) for i in range(5000))
    got = Node.from_dict({"name": "p", "attrs": {}, "children": dicts}).children
    assert [c.name for c in got] == [str(i) for i in range(5000)]


def test_endless_sequences_end_in_memory_error():
    out = run_guarded("""
        n = Node("x")
        d = {"name": "x", "attrs": {}, "children": []}
        class Endless:
            def __init__(self, item): self.item = item
            def __getitem__(self, i): return self.item
        print(outcome(lambda: list(Endless(n))).split(":")[0])
        print(outcome(lambda: Node("a", children=Endless(n))))
        print(outcome(lambda: Node.from_dict({"name": "a", "attrs": {}, "children": Endless(d)})))
        # What the calls built was given back: the process goes on as before.
        print(outcome(lambda: [c.name for c in Node("a", children=[n] * 3).children]))
        print(sys.getrefcount(n) < 10, sys.getrefcount(d) < 10)
    """, endless=True, headroom=96 << 20)
    assert out == ["MemoryError", "MemoryError: ", "MemoryError: ", "ok: ['x', 'x', 'x']", "True True"]


def test_memory_error_from_iteration_is_not_a_type_error():
    class Failing:
        def __getitem__(self, i):
            if i == 2:
                raise MemoryError("from the sequence")
            return leaf("c")

    with pytest.raises(MemoryError, match="from the sequence"):
        Node.from_dict({"name": "a", "attrs": {}, "children": Failing()})
    with pytest.raises(MemoryError, match="from the sequence"):
        Node.from_dict({"name": "a", "attrs": {}, "children": [{"name": "b", "attrs": {}, "children": Failing()}]})

    class FailingNodes:
        def __getitem__(self, i):
            raise MemoryError("from the sequence")

    with pytest.raises(MemoryError, match="from the sequence"):
        Node("a", children=FailingNodes())
    # Any other error of an iteration still makes the value fit no variant.
    class Broken:
        def __getitem__(self, i):
            raise KeyError("broken")

    with pytest.raises(TypeError, match="KeyError"):
        Node.from_dict({"name": "a", "attrs": {}, "children": Broken()})


# ---- files that are not text or never end ---------------------------------------------------

def test_random_device_fails_at_the_first_bad_byte():
    if not os.path.exists("/dev/urandom"):
        pytest.skip("no /dev/urandom")
    out = run_guarded("""
        print(outcome(lambda: read_file("/dev/urandom", "a")))
    """)
    assert len(out) == 1
    prefix, _, rest = out[0].partition("ValueError: malformed XML at byte ")
    assert prefix == "" and rest.endswith(": invalid UTF-8"), out
    # A random byte stream turns invalid within a few bytes; reading on would have met the limit.
    assert int(rest.split(":")[0]) < 4096


def test_endless_valid_stream_ends_in_memory_error(tmp_path):
    if not os.path.exists("/dev/zero"):
        pytest.skip("no /dev/zero")
    # A regular file reported far larger than memory (sparse: it takes no disk).
    huge = tmp_path / "huge.xml"
    try:
        with open(huge, "wb") as f:
            f.truncate(64 << 30)
    except OSError as e:
        pytest.skip(f"cannot make a sparse 64 GiB file here: {e}")
    try:
        out = run_guarded(f"""
            print(outcome(lambda: read_file("/dev/zero", "a")))
            print(outcome(lambda: read_file({str(huge)!r}, "a")))
            print(outcome(lambda: read_file("/proc/self/status", "a")))
        """, endless=True)
    finally:
        huge.unlink()
    assert out == ["MemoryError: the document does not fit in memory"] * 2 + [
        "ValueError: root tag <a> not found in document"]


def write(tmp_path, data, name="doc.xml"):
    p = tmp_path / name
    p.write_bytes(data)
    return str(p)


# Offsets where a file is cut into pieces as it is read: the first pieces of a stream, pieces of
# a regular file, and the doublings of a growing buffer.
EDGES = [4096, 8192, 65536, 131072, 262144, 393216]


@pytest.mark.parametrize("edge", EDGES)
def test_characters_cut_by_pieces(tmp_path, edge):
    chars = ["é", "€", "😀"]
    for ch in chars:
        enc = ch.encode()
        for start in range(edge - len(enc), edge + 1):
            # Valid: the character straddles the edge and the text reads back whole.
            head = b"<r>" + b"a" * (start - 3)
            data = head + enc + b"</r>"
            assert read_file(write(tmp_path, data), "r").text == "a" * (start - 3) + ch
            # Invalid: the same character cut short, then an invalid lead byte; each reported at
            # its first byte as validating the whole file would.
            for bad in (enc[:-1] + b"A", enc[:-1] + b"\xff", b"\xff" + enc):
                with pytest.raises(ValueError) as info:
                    read_file(write(tmp_path, head + bad + b"</r>"), "r")
                assert str(info.value) == f"malformed XML at byte {start}: invalid UTF-8"
        # A character left open at the very end of the file.
        data = b"<r>" + b"a" * (edge - 4) + enc[:-1]
        with pytest.raises(ValueError, match=f"^malformed XML at byte {edge - 1}: invalid UTF-8$"):
            read_file(write(tmp_path, data), "r")


class Fifo:
    """A named pipe fed by a thread: `pieces` are written one by one (with a short pause, so that
    reads see them apart), and the pipe stays open until `release` is set or `deadline` passes."""

    def __init__(self, tmp_path, pieces, keep_open=False, deadline=30.0):
        self.path = str(tmp_path / "pipe.xml")
        os.mkfifo(self.path)
        self.release = threading.Event()
        self.closed_at = None
        self.thread = threading.Thread(target=self._feed, args=(pieces, keep_open, deadline))
        self.thread.start()

    def _feed(self, pieces, keep_open, deadline):
        try:
            with open(self.path, "wb", buffering=0) as f:
                for p in pieces:
                    f.write(p)
                    time.sleep(0.002)
                if keep_open:
                    self.release.wait(deadline)
        except BrokenPipeError:
            pass  # the reader stopped early
        self.closed_at = time.monotonic()

    def join(self):
        self.release.set()
        self.thread.join(1.0)
        if self.thread.is_alive():
            # The reader never opened the pipe: open it here so that the writer's open returns.
            os.close(os.open(self.path, os.O_RDONLY | os.O_NONBLOCK))
            self.thread.join()


def test_stream_that_turns_invalid_fails_before_its_end(tmp_path):
    if not hasattr(os, "mkfifo"):
        pytest.skip("no named pipes")
    # Valid text across the first pieces and a doubling of the buffer, then a bad byte, and the
    # writer keeps the pipe open: the read must stop at the bad byte, not wait for the end.
    body = ("<r>" + "é" * 6000).encode()
    fifo = Fifo(tmp_path, [body[i:i + 1000] for i in range(0, len(body), 1000)] + [b"\xff<x/>"],
                keep_open=True)
    try:
        with pytest.raises(ValueError) as info:
            read_file(fifo.path, "r")
        returned_at = time.monotonic()
        still_open = fifo.closed_at is None
    finally:
        fifo.join()
    assert str(info.value) == f"malformed XML at byte {len(body)}: invalid UTF-8"
    assert still_open and fifo.closed_at >= returned_at


@pytest.mark.parametrize("pieces, expected", [
    # A character cut between two writes.
    ([b"<r>", b"\xc3", b"\xa9", b"</r>"], "é"),
    ([b"<r>\xe2", b"\x82", b"\xac\xf0\x9f", b"\x98", b"\x80</r>"], "€😀"),
    # A stream longer than the first pieces, read to its end.
    ([b"<r>"] + [b"x\xc3\xa9" * 700] * 30 + [b"</r>"], "xé" * 700 * 30),
])
def test_stream_read_to_its_end(tmp_path, pieces, expected):
    if not hasattr(os, "mkfifo"):
        pytest.skip("no named pipes")
    fifo = Fifo(tmp_path, pieces)
    try:
        node = read_file(fifo.path, "r")
    finally:
        fifo.join()
    assert node.text == expected


@pytest.mark.parametrize("pieces, offset", [
    ([b"<r>", b"\xe2\x82", b"A</r>"], 3),
    ([b"<r>ab", b"\xf0\x9f\x98"], 5),  # left open at the end of the stream
    ([b"<r>" + b"a" * 5000, b"\xc3", b"(</r>"], 5003),
])
def test_stream_with_a_cut_character_that_is_never_completed(tmp_path, pieces, offset):
    if not hasattr(os, "mkfifo"):
        pytest.skip("no named pipes")
    fifo = Fifo(tmp_path, pieces)
    try:
        with pytest.raises(ValueError) as info:
            read_file(fifo.path, "r")
    finally:
        fifo.join()
    assert str(info.value) == f"malformed XML at byte {offset}: invalid UTF-8"
