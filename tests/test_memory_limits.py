"""Every operation run under real address-space limits (RLIMIT_AS) on a document of about ten
megabytes: each call succeeds with the right result or raises MemoryError, never takes the
process down; after it the same process reads and writes as before, and a tree that existed
before the call still writes the same bytes. Each operation runs in its own child interpreter,
so one that aborts fails its own case only."""

import subprocess
import sys
import textwrap

import pytest

from support import SANITIZED, require_child_interpreter

pytestmark = pytest.mark.skipif(
    SANITIZED, reason="the sanitizer build reserves terabytes of address space up front, so an "
                      "address-space limit cannot bound it")

# Limits above what the child uses once its tree and inputs exist, in MB: from too little for
# most operations to enough for all of them.
HEADROOMS = (20, 60, 120, 250, 500)

_CHILD = r'''
import os, resource, sys, zlib
import tessary
from tessary import Node, SearchType, read_file, read_string, write_file, write_string

HEADROOMS = {headrooms!r}
path = {path!r}
out_path = {out_path!r}

def document(n):
    parts = ['<?xml version="1.0"?>\n<!-- generated -->\n<root version="1">']
    for i in range(n):
        parts.append(
            f'<item id="{{i}}" kind="k{{i % 7}}" note="a &amp; b &#x263A; {{i}}">'
            f'<name>n{{i}} &lt;x&gt;</name><![CDATA[raw {{i}} <&>]]>tail'
            f'<empty flag="{{i % 2}}"/></item>\n')
    parts.append('</root>\n')
    return "".join(parts)

doc = document(75_000)
with open(path, "w", encoding="utf-8") as f:
    f.write(doc)
tree = read_string(doc, "root")
written = write_string(tree)
expected = {{
    "read_string": True, "read_file": True, "from_dict": True, "to_dict": True,
    "write_string": written, "write_file": written, "str": str(tree),
    "search_by_name": 75_000, "search_by_attr": 75_000, "search_by_text": 1, "search": 75_000,
    "node": 150_000,
}}
as_dict = tree.to_dict()
SMALL = "<a x='1'>t &amp; u<b/></a>"
small_written = write_string(read_string(SMALL, "a"))
children = [Node("c", {{"k": str(i)}}, text="t") for i in range(150_000)]

def run(op):
    # (Attribute order differs between maps, so new trees are compared as dicts.)
    if op == "read_string": return read_string(doc, "root")
    if op == "read_file": return read_file(path, "root")
    if op == "from_dict": return Node.from_dict(as_dict)
    if op == "write_string": return write_string(tree)
    if op == "write_file":
        write_file(tree, out_path)
        with open(out_path, encoding="utf-8") as f:
            return f.read()
    if op == "str": return str(tree)
    if op == "to_dict": return tree.to_dict()
    if op == "search_by_name": return len(tree.search_by_name("name"))
    if op == "search_by_attr": return len(tree.search_by_attr("flag"))
    if op == "search_by_text": return len(tree.search_by_text("raw 7 <&>tail"))
    if op == "search": return len(tree.search(SearchType.Attr, "kind", 1))
    if op == "node": return len(Node("p", {{"a": "b"}}, children, "x").children)

def right(op, value):
    if op in ("read_string", "read_file", "from_dict"): return value.to_dict() == as_dict
    if op == "to_dict": return value == as_dict
    return value == expected[op]

def limited(op, headroom):
    size = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
    hard = resource.getrlimit(resource.RLIMIT_AS)[1]
    resource.setrlimit(resource.RLIMIT_AS, (size + (headroom << 20), hard))
    try:
        value = run(op)
        got = "ok"
    except MemoryError:
        value, got = None, "MemoryError"
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
    return got, value

op = sys.argv[1]
for headroom in HEADROOMS:
    got, value = limited(op, headroom)
    if got == "ok" and not right(op, value):
        got = "wrong-result"
    # The process goes on as before: a new read and write, the old tree unchanged.
    small = write_string(read_string(SMALL, "a"))
    same = write_string(tree) == written
    print(headroom, got, small == small_written, same)
value = run(op)
print("unlimited", right(op, value))
'''

OPERATIONS = ("read_string", "read_file", "from_dict", "str", "write_string", "write_file", "to_dict",
              "search_by_name", "search_by_attr", "search_by_text", "search", "node")


@pytest.mark.parametrize("op", OPERATIONS)
def test_operation_under_address_space_limits(op, tmp_path):
    require_child_interpreter()
    script = textwrap.dedent(_CHILD).format(
        headrooms=HEADROOMS, path=str(tmp_path / "doc.xml"), out_path=str(tmp_path / "out.xml"))
    done = subprocess.run([sys.executable, "-c", script, op], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, (
        f"child exited with {done.returncode} (negative: killed by that signal)\n"
        f"stdout:\n{done.stdout}\nstderr:\n{done.stderr[-4000:]}")
    lines = done.stdout.splitlines()
    assert len(lines) == len(HEADROOMS) + 1, done.stdout
    for line, headroom in zip(lines, HEADROOMS):
        h, got, small_ok, tree_ok = line.split()
        assert int(h) == headroom
        assert got in ("ok", "MemoryError"), line
        assert small_ok == "True" and tree_ok == "True", line
    assert lines[-1] == "unlimited True"
