"""Instructions per element of tessary's reader, writer and dict conversion, counted by callgrind.

    python bench/instructions.py                      # every operation on the element-dense shapes
    python bench/instructions.py --ops read_string --shapes short-records
    python bench/instructions.py --real               # also the real documents (16-20 MB: slower)
    python bench/instructions.py --profile read_string --shapes short-records --module-dir build/profile/site

Instruction counts do not move with the machine's load, unlike wall-clock times. Each figure is
(the count of a process that does the call twice) minus (the count of one that does it once),
divided by the number of elements: interpreter start-up, imports, loading the document and any
setup (the tree a write starts from) cancel out, and what is left is one warm call plus freeing
its result, as a timed round of bench/run.py counts it. The documents are generated (about 2 MB
each) before valgrind starts; the runs go through bench/worker.py --repeat.

--profile also prints where the instructions of that one call go: the difference of the two runs
per function (self cost), grouped into the reader's and writer's stages, and the top functions.
It needs a build whose symbols are kept (the installed wheel is stripped), for example

    pip install --no-deps --target build/profile/site -C install.strip=false \\
        -C cmake.define.CMAKE_CXX_FLAGS=-g -C build-dir=build/profile/cmake .

which is the same optimised code with its symbols; --module-dir puts it first on the path.
"""
import argparse
import gzip
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import docs  # noqa: E402
import run  # noqa: E402  (the real documents and the element count)

WORKER = os.path.join(HERE, "worker.py")
OPS = ("read_string", "read_file", "write_string", "write_file", "to_dict")
WORKER_OP = {"to_dict": "tree_to_dict"}  # to_dict of a tree read beforehand

# Self costs grouped by the function they are counted in (with a build that keeps its symbols,
# code inlined from a header is counted in the function it was inlined into), first match wins.
# The names are those of this module's C++ code, CPython's C API and glibc.
GROUPS = (
    ("allocation (malloc/free)", r"^(malloc|free|calloc|realloc|cfree|_int_malloc|_int_free|_int_realloc|"
     r"malloc_consolidate|unlink_chunk.*|alloc_perturb|sysmalloc|systrim|tcache_\w+|_PyObject_Malloc|"
     r"_PyObject_Free|_PyObject_Realloc|_PyObject_Calloc|PyObject_Malloc|PyObject_Free|PyObject_Realloc|"
     r"PyObject_Calloc|PyMem_\w+|_PyMem_\w+|pymalloc_\w+|new_arena|_PyObject_Arena\w+|"
     r"operator new.*|operator delete.*)$"),
    ("memcpy/memset/memcmp/memchr", r"^(__mem\w+|__str\w+|memcpy|memmove|memset|memcmp|bcmp|memchr|strlen)$"),
    ("UTF-8 to str units", r"^tessary::index::.*(utf8|Utf8|max_byte|decode|ucs[124]|latin1)"),
    ("structural index", r"^tessary::index::"),
    ("attribute maps", r"^tessary::storage::(AttrMap|next_hash_key|siphash)"),
    ("text references (SharedText, buffers)", r"^tessary::storage::(SharedText|SourceBuffer|BufferRef|ReleaseBatch)"),
    ("tree builder and reference decoding", r"^tessary::read::"),
    ("Node creation", r"^(tessary::entities::(nodes_from_flat|nodes_from_record|make_node\w*)|PyType_GenericAlloc|"
     r"_Py_NewReference|_PyObject_Init\w*)$"),
    ("Node freeing", r"^(tessary::entities::.*(destroy_one|node_dealloc)|_Py_Dealloc)"),
    ("Python str creation", r"^(tessary::entities::text_to_python|PyUnicode_\w+|_PyUnicode_\w+|unicode_\w+|"
     r"ucs[124]lib_\w+|ascii_decode|resize_compact)$"),
    ("dict conversion", r"^tessary::entities::.*(dict|Dict|node_map|NodeMap|put|classify)"),
    ("serializer, escaping and sinks", r"^tessary::write::"),
    ("Node borrows", r"^tessary::entities::(borrow_\w+|SharedBorrow)"),
    ("entry, arguments and lock", r"^tessary::module::"),
    ("other tessary", r"^tessary::"),
    ("CPython dicts and lists", r"^(PyDict\w*|_PyDict\w*|dict_\w+|insertdict|_Py_dict_lookup|lookdict\w*|"
     r"unicodekeys_\w+|new_keys_object|PyList\w*|_PyList\w*|list_\w+)$"),
    ("CPython cyclic GC", r"^(gc_\w+|visit_\w+|\w+_traverse|_PyObject_GC\w*|PyObject_GC\w*|collect\w*)$"),
    ("CPython interpreter", r"libpython|/Python-3|^(_PyEval\w*|PyEval\w*|_Py\w*|Py\w*)('\d+)?$"),
)


def function_of(key):
    """The function of a callgrind_annotate line 'file:function [object]', without its
    parameter list."""
    key = re.sub(r"\s*\[[^\]]*\]$", "", key)
    func = key.split(":", 1)[1] if re.match(r"^[^:]*:[^:]", key) else key
    func = func.replace("(anonymous namespace)", "{anon}")
    func = re.sub(r"\s*\[clone [^\]]*\]", "", func)
    if "tessary::" in func and not func.startswith("tessary::"):
        func = func[func.index("tessary::"):]  # a template's return type comes first
    return func.split("(", 1)[0].strip()


def callgrind(out, k, op, lib, manifest, env):
    cmd = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, WORKER,
           "--repeat", str(k), WORKER_OP.get(op, op), lib, manifest]
    r = subprocess.run(cmd, capture_output=True, text=True, env=env)
    if r.returncode != 0:
        raise SystemExit(f"callgrind failed ({' '.join(cmd)}):\n{r.stderr[-2000:]}")
    with open(out) as f:
        for line in f:
            if line.startswith("summary:") or line.startswith("totals:"):
                return int(line.split()[1])
    raise SystemExit(f"no total in {out}")


def annotate(path, inclusive):
    """Cost per line of callgrind_annotate's function table (whole program, no threshold)."""
    r = subprocess.run(["callgrind_annotate", f"--inclusive={'yes' if inclusive else 'no'}", "--threshold=100",
                        "--auto=no", path], capture_output=True, text=True, check=True)
    costs = {}
    started = False
    for line in r.stdout.splitlines():
        if "file:function" in line:
            started = True
            continue
        if not started:
            continue
        if not line.strip() or line.startswith("---"):
            if costs:
                break
            continue
        m = re.match(r"^\s*([\d,]+)\s+(?:\(\s*[\d.]+%\)\s+)?(.+)$", line)
        if m:
            name = m.group(2).strip()
            costs[name] = costs.get(name, 0) + int(m.group(1).replace(",", ""))
    return costs


def tessary_inclusive(path):
    """Inclusive cost of each of tessary's own functions: the line of the function itself (the
    one naming its object), not those of code inlined into it."""
    out = {}
    for k, v in annotate(path, True).items():
        m = re.search(r"\[([^\]]*)\]$", k)
        if m and "tessary" in os.path.basename(m.group(1)):
            f = function_of(k)
            if f.startswith("tessary::") and not re.search(r"'\d+$", f):
                out[f] = max(out.get(f, 0), v)
    return out


def group_of(key):
    """The group of a callgrind_annotate line: by its function, and for the interpreter's own
    functions by the file or object they come from."""
    func = function_of(key)
    for label, pattern in GROUPS:
        if re.search(pattern, func) or (label == "CPython interpreter" and re.search(pattern, key)):
            return label
    return "other (loader, unknown)"


def short_name(name, width=100):
    func = function_of(name)
    return func if len(func) <= width else func[: width - 3] + "..."


def profile(once, twice, elements, top):
    a, b = annotate(once, False), annotate(twice, False)
    diff, groups, group_of_func = {}, {}, {}
    for k in set(a) | set(b):  # the lines of one function (inlined code from several files) summed
        v = b.get(k, 0) - a.get(k, 0)
        f, g = function_of(k), group_of(k)
        diff[f] = diff.get(f, 0) + v
        groups[g] = groups.get(g, 0) + v
        group_of_func.setdefault(f, g)
    total = sum(diff.values())
    print(f"\n  where the instructions of one call go ({total:,} in all, {total / elements:.0f} per element)")
    print(f"  {'group':<40} {'instructions':>14} {'per element':>12} {'share':>7}")
    for g, v in sorted(groups.items(), key=lambda kv: -kv[1]):
        if abs(v) >= total * 0.001:
            print(f"  {g:<40} {v:>14,} {v / elements:>12.1f} {v / total:>6.1%}")
    ia, ib = tessary_inclusive(once), tessary_inclusive(twice)
    inc = {f: ib.get(f, 0) - ia.get(f, 0) for f in set(ia) | set(ib)}
    print("\n  stages: tessary's functions by inclusive cost (what they and all they call do)")
    for f, v in sorted(inc.items(), key=lambda kv: -kv[1])[:16]:
        if v > 0:
            print(f"  {v:>14,} {v / elements:>8.1f}/el {v / total:>6.1%}  {short_name(f)}")
    print(f"\n  top {top} functions by self cost")
    for k, v in sorted(diff.items(), key=lambda kv: -kv[1])[:top]:
        print(f"  {v:>14,} {v / elements:>8.1f}/el {v / total:>6.1%}  [{group_of_func[k]}] {short_name(k)}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--shapes", help=f"comma-separated shapes (default {','.join(docs.ELEMENT_DENSE)})")
    ap.add_argument("--ops", help=f"comma-separated operations (default {','.join(OPS)})")
    ap.add_argument("--size", type=float, default=2.0, help="document size in MB (default 2)")
    ap.add_argument("--real", action="store_true", help="also the real documents that are installed")
    ap.add_argument("--profile", metavar="OP", help="print where one call's instructions go")
    ap.add_argument("--top", type=int, default=30, help="functions listed by --profile (default 30)")
    ap.add_argument("--module-dir", help="a folder put first on the path: a build with symbols")
    ap.add_argument("--keep", metavar="DIR", help="keep the callgrind output files in this folder")
    args = ap.parse_args()
    if shutil.which("valgrind") is None:
        raise SystemExit("valgrind is not installed (Debian's valgrind)")

    shapes = args.shapes.split(",") if args.shapes else list(docs.ELEMENT_DENSE)
    ops = [args.profile] if args.profile else (args.ops.split(",") if args.ops else list(OPS))
    for op in ops:
        if op not in OPS:
            ap.error(f"unknown operation {op}")
    env = dict(os.environ, PYTHONHASHSEED="0")
    if args.module_dir:
        env["PYTHONPATH"] = os.path.abspath(args.module_dir) + os.pathsep + env.get("PYTHONPATH", "")

    tmp = tempfile.mkdtemp(prefix="tessary-instr-")
    keep = args.keep
    if keep:
        os.makedirs(keep, exist_ok=True)
    try:
        documents = []
        for shape in shapes:
            make, root, tag = docs.SHAPES[shape]
            path = os.path.join(tmp, f"{shape}.xml")
            with open(path, "w", encoding="utf-8") as f:
                f.write(make(int(args.size * 1e6)))
            documents.append((shape, path, root, tag))
        if args.real and not args.profile:
            for name, path, root, tag, package in run.REAL:
                if not os.path.exists(path):
                    print(f"note: {name} skipped, {path} is missing (install Debian's {package})")
                    continue
                if path.endswith(".gz"):
                    plain = os.path.join(tmp, os.path.basename(path)[:-3])
                    with gzip.open(path, "rb") as src, open(plain, "wb") as dst:
                        shutil.copyfileobj(src, dst)
                    path = plain
                documents.append((name, path, root, tag))

        probe = subprocess.run([sys.executable, "-c", "import tessary; print(tessary.__file__)"],
                               capture_output=True, text=True, env=env)
        print(f"instructions per element under callgrind (twice minus once), tessary from "
              f"{probe.stdout.strip() or '?'}")
        print(f"  {'document':<34} {'elements':>9} {'B/el':>5}  " + "  ".join(f"{op:>12}" for op in ops))
        for name, path, root, tag in documents:
            elements = run.count_elements(path)
            manifest = os.path.join(tmp, f"manifest-{len(name)}-{abs(hash(name))}.json")
            with open(manifest, "w") as f:
                json.dump({"files": [[path, root, tag]], "tmp": tmp}, f)
            cells = []
            for op in ops:
                outs = []
                counts = []
                for k in (1, 2):
                    out = os.path.join(keep or tmp, f"callgrind.{re.sub(r'[^A-Za-z0-9]+', '-', name)}.{op}.{k}")
                    counts.append(callgrind(out, k, op, "tessary", manifest, env))
                    outs.append(out)
                cells.append(f"{(counts[1] - counts[0]) / elements:12.0f}")
                if args.profile:
                    line = f"  {name:<34} {elements:>9} {os.path.getsize(path) / elements:>5.0f}  " + "  ".join(cells)
                    print(line, flush=True)
                    profile(outs[0], outs[1], elements, args.top)
            if not args.profile:
                print(f"  {name:<34} {elements:>9} {os.path.getsize(path) / elements:>5.0f}  " + "  ".join(cells),
                      flush=True)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
