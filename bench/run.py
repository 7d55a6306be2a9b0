"""tessary against lxml, ElementTree and xmltodict, each library timed in a fresh process of its own.

    python bench/run.py            # full run: 1 MB and 20 MB documents of each shape, real
                                   # documents from Debian packages, the CLDR corpus
    python bench/run.py --quick    # under two minutes: 1 MB documents, a tenth of CLDR, 3 rounds
    python bench/run.py --shapes short-records,tiny-text --ops read_string,write_string
                                   # only some rows, to run again the ones that moved
    python bench/instructions.py   # instructions per element under callgrind (separate script)

Every figure comes from a worker process (bench/worker.py) started for one library, one document
and one operation, so that no library runs in a heap another one has shaped and none pays for
another's imports. A worker times the best of several rounds; a round is the call plus freeing
its result; a document given as a str is a new str object in each round, as a program reading
each document once has (a str keeps a UTF-8 form once the interpreter made one). MB/s counts the document's UTF-8 bytes (for writing: the bytes tessary writes, the
same figure for every library, so the columns compare times); ns/el is the time divided by the
number of elements; "x lxml" and "x etree" are how many times faster tessary is. This is a
benchmark, not a test: it asserts nothing, and the floors table at the end only compares.
"""
import argparse
import glob
import gzip
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import docs  # noqa: E402

WORKER = os.path.join(HERE, "worker.py")
CLDR = "/usr/share/unicode/cldr/common"
MB = 1e6

# Real element-dense documents shipped by Debian packages: (name, path, root tag, search tag,
# package). A missing one is skipped with a note naming the package to install.
REAL = (
    ("kanjidic2 dictionary", "/usr/share/edict/kanjidic2.xml.gz", "kanjidic2", "meaning", "kanjidic-xml"),
    ("MAME vgmplay software list", "/usr/share/games/mame/hash/vgmplay.xml", "softwarelist", "rom", "mame-data"),
    ("freedesktop MIME database", "/usr/share/mime/packages/freedesktop.org.xml", "mime-info", "comment",
     "shared-mime-info"),
)

READ_LIBS = ("tessary", "lxml", "etree")
OPS = ("read_string", "read_file", "write_string", "write_file", "search_by_name", "to_dict", "memory",
       "read_after", "threads")

# What later work on the reader and writer is to reach, in a full run (see the floors table).
FLOORS = {
    "read_string": 4.0,     # x lxml, at least
    "read_file": 3.5,
    "write_string": 3.0,
    "write_file": 3.0,
    "memory": 0.55,         # x lxml, at most
    "read_after": 0.8,      # of the fresh speed, at least
    "ns_per_element": 150,  # read_string on element-dense documents, at most
    "kept_per_element": 200,  # bytes, on the short-record shape, at most
}


class Doc:
    def __init__(self, label, files, tag, dense, kind, shape=None):
        self.label = label
        self.files = files  # [(path, root_tag)]
        self.tag = tag      # search tag, or None
        self.dense = dense  # element-dense: the ns-per-element floor applies
        self.kind = kind    # "shape", "real" or "cldr"
        self.shape = shape
        self.nbytes = sum(os.path.getsize(p) for p, _ in files)
        self.elements = sum(count_elements(p) for p, _ in files)
        self.manifest = None
        self.largest = False
        self.write_bytes = 0  # the indented output, where it is known to be too large to write

    SAVED = ("label", "tag", "dense", "kind", "shape", "nbytes", "elements", "largest", "write_bytes")

    def saved(self):
        return {k: getattr(self, k) for k in self.SAVED}

    @classmethod
    def from_saved(cls, d):
        doc = cls.__new__(cls)
        doc.__dict__.update(d)
        return doc


def count_elements(path):
    n = 0
    for _, el in ET.iterparse(path, events=("end",)):
        n += 1
        el.clear()
    return n


def size_label(n):
    return f"{n / MB:.0f} MB" if n >= MB else f"{n / 1e3:.0f} kB"


def root_name(text):
    m = re.search(r"<([A-Za-z_][^\s/>]*)[\s/>]", re.sub(r"<[?!][^>]*>", "", text[:4096], flags=re.S))
    return m.group(1) if m else None


# ---- documents ---------------------------------------------------------------------------------

def make_shapes(tmp, sizes, only):
    out = []
    for shape, (make, root, tag) in docs.SHAPES.items():
        if only and shape not in only:
            continue
        for size in sizes:
            text = make(size)
            path = os.path.join(tmp, f"{shape}-{size}.xml")
            with open(path, "w", encoding="utf-8") as f:
                f.write(text)
            d = Doc(f"{shape} {size_label(len(text.encode()))}", [(path, root)], tag,
                    shape in docs.ELEMENT_DENSE, "shape", shape)
            d.largest = size == sizes[-1]
            if shape == "deeply-nested":
                # Indentation grows with depth: each chain's 2000 levels come to 8 MB of spaces
                # with an indent of 2, and a large document of them to several GB.
                d.write_bytes = text.count("<chain>") * 2 * 2 * (docs.DEEP + 1) * (docs.DEEP + 2) // 2
            out.append(d)
            print(f"  made {d.label}: {d.elements} elements", file=sys.stderr, flush=True)
    return out


def make_real(tmp, notes):
    out = []
    for name, path, root, tag, package in REAL:
        if not os.path.exists(path):
            notes.append(f"{name}: skipped, {path} is missing (install Debian's {package})")
            continue
        if path.endswith(".gz"):
            plain = os.path.join(tmp, os.path.basename(path)[:-3])
            with gzip.open(path, "rb") as src, open(plain, "wb") as dst:
                shutil.copyfileobj(src, dst)
            path = plain
        d = Doc(f"{name} {size_label(os.path.getsize(path))}", [(path, root)], tag, True, "real")
        d.largest = True
        out.append(d)
        print(f"  found {d.label}: {d.elements} elements", file=sys.stderr, flush=True)
    return out


def make_cldr(quick, notes):
    if not os.path.isdir(CLDR):
        notes.append(f"CLDR: skipped, no corpus at {CLDR} (install Debian's unicode-cldr-core)")
        return []
    files = sorted(glob.glob(os.path.join(CLDR, "**", "*.xml"), recursive=True))
    if quick:
        files = files[::10]
    pairs = []
    for p in files:
        with open(p, encoding="utf-8") as f:
            pairs.append((p, root_name(f.read())))
    d = Doc("", pairs, None, False, "cldr")
    d.label = f"CLDR {len(files)} files {size_label(d.nbytes)}"
    d.largest = False
    print(f"  found {d.label}: {d.elements} elements", file=sys.stderr, flush=True)
    return [d]


# ---- running the workers -----------------------------------------------------------------------

def run_worker(doc, op, lib, rounds, budget, tmp):
    if doc.manifest is None:
        doc.manifest = os.path.join(tmp, f"manifest-{id(doc)}.json")
        with open(doc.manifest, "w") as f:
            json.dump({"files": [[p, r, doc.tag] for p, r in doc.files], "tmp": tmp}, f)
    cmd = [sys.executable, WORKER, op, lib, doc.manifest, str(rounds), str(budget)]
    t0 = time.time()
    try:
        r = subprocess.run(cmd, capture_output=True, text=True, timeout=1800)
    except subprocess.TimeoutExpired:
        return {"error": "timed out"}
    lines = r.stdout.strip().splitlines()
    if r.returncode != 0 or not lines:
        return {"error": (r.stderr.strip().splitlines() or ["failed"])[-1][:200], "failed": True}
    res = json.loads(lines[-1])
    res["wall"] = round(time.time() - t0, 2)  # the whole worker, start-up and setup included
    return res


def run_after_pairs(doc, pairs, rounds, budget, tmp, results):
    """Runs pairs - 1 more pairs of workers, a fresh read_string and a read right after lxml, one
    after the other, and keeps the best of each kind (with the first pair's) as the figures the
    after-lxml row compares: both sides then have the same number of processes' luck."""
    fresh = [results[(doc.label, "read_string", "tessary")]]
    after = [results[(doc.label, "read_after", "lxml")]]
    for _ in range(pairs - 1):
        fresh.append(run_worker(doc, "read_string", "tessary", rounds, budget, tmp))
        after.append(run_worker(doc, "read_after", "lxml", rounds, budget, tmp))
    for key, runs in (((doc.label, "read_fresh", "tessary"), fresh), ((doc.label, "read_after", "lxml"), after)):
        times = [r["best"] for r in runs if isinstance(r.get("best"), float)]
        if times:
            results[key] = {"best": min(times), "workers": len(runs), "each": times}


def jobs_for(doc, ops):
    jobs = []
    for op in ops:
        if op in ("read_string", "read_file", "memory"):
            jobs += [(op, lib) for lib in READ_LIBS]
        elif op in ("write_string", "write_file"):
            if doc.write_bytes > 2_000_000_000:
                continue
            # ElementTree takes minutes to parse and indent the whole CLDR corpus, and the
            # writer's figures there are taken against lxml.
            jobs += [(op, lib) for lib in READ_LIBS if not (doc.kind == "cldr" and lib == "etree")]
        elif op == "search_by_name" and doc.tag:
            jobs += [(op, lib) for lib in READ_LIBS]
        elif op == "to_dict" and doc.kind != "cldr":
            jobs += [(op, "tessary"), (op, "xmltodict")]
        elif op == "read_after":
            jobs.append((op, "lxml"))
        elif op == "threads" and doc.largest and doc.kind != "cldr":
            jobs.append((op, "tessary"))
    return jobs


# ---- tables ------------------------------------------------------------------------------------

def print_table(title, header, rows):
    if not rows:
        return
    print(f"\n{title}")
    rows = [list(r) + [""] * (len(header) - len(r)) for r in rows]
    widths = [max(len(str(r[i])) for r in [header] + rows) for i in range(len(header))]
    for r in [header] + rows:
        print("  " + "  ".join(str(c).rjust(w) for c, w in zip(r, widths)))


def cell_time(res):
    if res is None:
        return None
    if "error" in res:
        return res
    return res.get("best")


def speed_rows(docs_, results, op, peers):
    rows = []
    for d in docs_:
        got = {lib: cell_time(results.get((d.label, op, lib))) for lib in ("tessary",) + peers}
        if all(v is None for v in got.values()):
            if op.startswith("write") and d.write_bytes > 2_000_000_000:
                rows.append([d.label, f"{d.elements}", "", f"skipped: {d.write_bytes / 1e9:.0f} GB of output"])
            continue
        nbytes = d.nbytes
        if op.startswith("write"):
            ws = results.get((d.label, "write_string", "tessary")) or {}
            nbytes = ws.get("out_bytes") or nbytes
        row = [d.label, f"{d.elements}", f"{d.nbytes / max(d.elements, 1):.0f}"]
        for lib in ("tessary",) + peers:
            t = got[lib]
            if t is None:
                row += ["-", "-"]
            elif isinstance(t, dict):
                refused = "XMLSyntaxError" in t.get("error", "") or (t.get("stage") == "call" and op.startswith("read"))
                row += ["refused" if refused else "failed", "-"]
            else:
                row += [f"{nbytes / MB / t:.1f}", f"{t * 1e9 / max(d.elements, 1):.0f}"]
        for lib in peers:
            t, ours = got[lib], got["tessary"]
            row.append(f"{t / ours:.2f}x" if isinstance(t, float) and isinstance(ours, float) else "-")
        rows.append(row)
    return rows


def speed_header(peers):
    h = ["document", "elements", "B/el", "tessary MB/s", "ns/el"]
    for p in peers:
        h += [f"{p} MB/s", "ns/el"]
    return h + [f"x {p}" for p in peers]


def memory_rows(docs_, results):
    rows = []
    for d in docs_:
        kept = {}
        row = [d.label, f"{d.elements}"]
        for lib in READ_LIBS:
            r = results.get((d.label, "memory", lib))
            if r is None:
                row += ["-", "-"]
            elif "error" in r:
                row += ["failed", "-"]
            else:
                kept[lib] = r["kept"]
                row += [f"{r['kept'] / 2**20:.1f}", f"{r['kept'] / max(d.elements, 1):.0f}"]
        if len(row) == 2 + 2 * len(READ_LIBS) and all(c == "-" for c in row[2:]):
            continue
        for lib in ("lxml", "etree"):
            ok = lib in kept and "tessary" in kept and kept[lib] > 0
            row.append(f"{kept['tessary'] / kept[lib]:.2f}x" if ok else "-")
        rows.append(row)
    return rows


def fresh_time(results, d):
    """tessary's fresh read_string time the after-lxml row is set against: the best of the workers
    run in pairs with the read-after workers when there were several, else the read_string row's."""
    t = cell_time(results.get((d.label, "read_fresh", "tessary")))
    return t if t is not None else cell_time(results.get((d.label, "read_string", "tessary")))


def after_rows(docs_, results):
    rows = []
    for d in docs_:
        fresh = fresh_time(results, d)
        t = cell_time(results.get((d.label, "read_after", "lxml")))
        if t is None:
            continue
        row = [d.label, f"{d.nbytes / MB / fresh:.1f}" if isinstance(fresh, float) else "-"]
        if isinstance(t, float):
            row += [f"{d.nbytes / MB / t:.1f}", f"{fresh / t:.2f}" if isinstance(fresh, float) else "-"]
        else:
            row += ["refused", "-"]
        rows.append(row)
    return rows


def thread_rows(docs_, results):
    rows = []
    for d in docs_:
        r = results.get((d.label, "threads", "tessary"))
        if r and "one" in r:
            rows.append([d.label, f"{r['one'] * 1e3:.1f}", f"{r['two'] * 1e3:.1f}", f"{r['one'] / r['two']:.2f}x"])
    return rows


def ratio(results, d, op, peer="lxml"):
    a, b = cell_time(results.get((d.label, op, "tessary"))), cell_time(results.get((d.label, op, peer)))
    return b / a if isinstance(a, float) and isinstance(b, float) else None


def floor_rows(docs_, results):
    def mark(v, floor, at_least=True, fmt="{:.2f}"):
        if v is None:
            return "-"
        ok = v >= floor if at_least else v <= floor
        return fmt.format(v) + (" ok" if ok else " BELOW" if at_least else " ABOVE")

    rows = []
    for d in docs_:
        row = [d.label]
        for op in ("read_string", "read_file", "write_string", "write_file"):
            row.append(mark(ratio(results, d, op), FLOORS[op]))
        mt, ml = results.get((d.label, "memory", "tessary")), results.get((d.label, "memory", "lxml"))
        mem = mt["kept"] / ml["kept"] if mt and ml and "kept" in mt and "kept" in ml and ml["kept"] > 0 else None
        row.append(mark(mem, FLOORS["memory"], at_least=False))
        fresh = fresh_time(results, d)
        after = cell_time(results.get((d.label, "read_after", "lxml")))
        row.append(mark(fresh / after if isinstance(fresh, float) and isinstance(after, float) else None,
                        FLOORS["read_after"]))
        rs = cell_time(results.get((d.label, "read_string", "tessary")))
        ns = rs * 1e9 / d.elements if isinstance(rs, float) and d.dense else None
        row.append(mark(ns, FLOORS["ns_per_element"], at_least=False, fmt="{:.0f}"))
        kept = mt["kept"] / d.elements if d.shape == "short-records" and mt and "kept" in mt else None
        row.append(mark(kept, FLOORS["kept_per_element"], at_least=False, fmt="{:.0f}"))
        rows.append(row)
    return rows


def versions():
    from importlib.metadata import PackageNotFoundError, version

    out = []
    for name in ("tessary", "lxml", "xmltodict"):
        try:
            out.append(f"{name} {version(name)}")
        except PackageNotFoundError:
            out.append(f"{name} missing")
    return ", ".join(out)


def cpu_name():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return os.uname().machine


def report(all_docs, results, notes, minutes):
    print_table("read_string(str) vs lxml.etree.fromstring(bytes) vs ElementTree.fromstring(str)",
                speed_header(("lxml", "etree")), speed_rows(all_docs, results, "read_string", ("lxml", "etree")))
    print_table("read_file vs lxml.etree.parse vs ElementTree.parse",
                speed_header(("lxml", "etree")), speed_rows(all_docs, results, "read_file", ("lxml", "etree")))
    print_table("write_string(node, 2) vs lxml tostring(pretty_print=True, encoding='unicode') vs ElementTree "
                "tostring (indented); MB/s of tessary's output",
                speed_header(("lxml", "etree")), speed_rows(all_docs, results, "write_string", ("lxml", "etree")))
    print_table("write_file(node, path, 2) vs lxml ElementTree(tree).write(path, pretty_print=True) vs "
                "ElementTree write (indented); MB/s of tessary's output",
                speed_header(("lxml", "etree")), speed_rows(all_docs, results, "write_file", ("lxml", "etree")))
    print_table("search_by_name vs lxml iter(tag) vs ElementTree iter(tag); MB/s of document",
                speed_header(("lxml", "etree")), speed_rows(all_docs, results, "search_by_name", ("lxml", "etree")))
    print_table("read_string + to_dict vs xmltodict.parse",
                speed_header(("xmltodict",)), speed_rows(all_docs, results, "to_dict", ("xmltodict",)))
    print_table("memory kept by a parsed tree (MiB; bytes per element), fresh process each",
                ["document", "elements", "tessary", "B/el", "lxml", "B/el", "etree", "B/el", "vs lxml", "vs etree"],
                memory_rows(all_docs, results))
    print_table("read_string right after lxml built and freed a tree of the same document in the same "
                "process (MB/s; fraction of the fresh speed; each the best of as many processes, run in "
                "pairs)",
                ["document", "fresh", "after lxml", "of fresh"],
                after_rows(all_docs, results))
    print_table("threads: two documents read by one thread vs two threads",
                ["document", "1 thread ms", "2 threads ms", "speed-up"], thread_rows(all_docs, results))
    print_table("floors for the reader and writer work (x lxml unless noted; ns/el on element-dense documents, "
                "B/el kept on short records)",
                ["document", f"read_string >={FLOORS['read_string']}", f"read_file >={FLOORS['read_file']}",
                 f"write_string >={FLOORS['write_string']}", f"write_file >={FLOORS['write_file']}",
                 f"memory <={FLOORS['memory']}", f"after lxml >={FLOORS['read_after']}",
                 f"ns/el <={FLOORS['ns_per_element']}", f"kept B/el <={FLOORS['kept_per_element']}"],
                floor_rows(all_docs, results))
    for n in notes:
        print(f"\nnote: {n}")
    loads = [v["load"] for v in results.values() if "load" in v]
    if loads:
        print(f"\n{minutes:.1f} minutes; load average (1 minute) from {min(loads):.1f} to {max(loads):.1f} as the "
              f"workers started: above 2 on these {os.cpu_count()} cores, other work was running too")


def save(path, header, all_docs, results, notes, minutes):
    with open(path, "w") as f:
        json.dump({"header": header, "minutes": minutes, "notes": notes,
                   "docs": [d.saved() for d in all_docs],
                   "results": [{"doc": k[0], "op": k[1], "lib": k[2], **v} for k, v in results.items()]},
                  f, indent=1)


def load_saved(path):
    with open(path) as f:
        saved = json.load(f)
    results = {}
    for r in saved["results"]:
        r = dict(r)
        results[(r.pop("doc"), r.pop("op"), r.pop("lib"))] = r
    return saved, [Doc.from_saved(d) for d in saved["docs"]], results


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--quick", action="store_true", help="1 MB documents, a tenth of CLDR, 3 rounds")
    ap.add_argument("--sizes", help="sizes of the generated documents in MB, comma-separated (default 1,20)")
    ap.add_argument("--rounds", type=int, help="rounds per measurement (default 5, quick 3)")
    ap.add_argument("--budget", type=float, help="seconds after which a worker stops adding rounds, "
                    "past the third (default 20, quick 5)")
    ap.add_argument("--shapes", help="comma-separated generated shapes to run (default all)")
    ap.add_argument("--ops", help=f"comma-separated operations (default all: {','.join(OPS)})")
    ap.add_argument("--no-real", action="store_true", help="leave out the real documents")
    ap.add_argument("--no-cldr", action="store_true", help="leave out the CLDR corpus")
    ap.add_argument("--after-pairs", type=int,
                    help="pairs of processes (a fresh read_string, a read right after lxml) whose best "
                         "figures the after-lxml row compares (default 3, quick 1): a process's speed moves "
                         "by up to a third for its whole life on a shared machine, so one of each compares "
                         "two processes' luck as much as the two reads")
    ap.add_argument("--json", help="also write every figure to this file (after each document)")
    ap.add_argument("--tables", metavar="JSON", help="print the tables of a run saved with --json, and stop")
    args = ap.parse_args()

    if args.tables:
        saved, all_docs, results = load_saved(args.tables)
        print("\n".join(saved["header"]))
        report(all_docs, results, saved["notes"], saved["minutes"])
        return

    sizes = [int(float(s) * 1_000_000) for s in (args.sizes or ("1" if args.quick else "1,20")).split(",")]
    rounds = args.rounds or (3 if args.quick else 5)
    pairs = max(1, args.after_pairs or (1 if args.quick else 3))
    budget = args.budget or (5.0 if args.quick else 20.0)
    only = set(args.shapes.split(",")) if args.shapes else None
    ops = args.ops.split(",") if args.ops else list(OPS)
    for op in ops:
        if op not in OPS:
            ap.error(f"unknown operation {op}")

    started = time.time()
    header = [f"tessary benchmark: {cpu_name()}, {os.cpu_count()} cores, Python {sys.version.split()[0]}, "
              f"{versions()}",
              f"best of {rounds} rounds (fewer past {budget:.0f} s, at least 3; short ones repeated for 0.5 s), "
              f"each library in a fresh process "
              f"per document and operation; a str is a new object in each round (never read before)"]
    print("\n".join(header), flush=True)
    notes = []
    results = {}
    tmp = tempfile.mkdtemp(prefix="tessary-bench-")
    try:
        print("preparing documents", file=sys.stderr, flush=True)
        all_docs = make_shapes(tmp, sizes, only)
        if not args.no_real and not args.quick and not only:
            all_docs += make_real(tmp, notes)
        elif args.quick:
            notes.append("real documents: full run only")
        if not args.no_cldr and not only:
            all_docs += make_cldr(args.quick, notes)

        for d in all_docs:
            jobs = jobs_for(d, ops)
            t0 = time.time()
            for op, lib in jobs:
                load = os.getloadavg()[0]
                results[(d.label, op, lib)] = dict(run_worker(d, op, lib, rounds, budget, tmp), load=load)
            if pairs > 1 and ("read_after", "lxml") in jobs and ("read_string", "tessary") in jobs:
                run_after_pairs(d, pairs, rounds, budget, tmp, results)
            print(f"  {d.label}: {len(jobs)} workers, {time.time() - t0:.0f} s", file=sys.stderr, flush=True)
            if args.json:
                save(args.json, header, all_docs, results, notes, (time.time() - started) / 60)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)

    minutes = (time.time() - started) / 60
    if args.json:
        save(args.json, header, all_docs, results, notes, minutes)
    report(all_docs, results, notes, minutes)


if __name__ == "__main__":
    main()
