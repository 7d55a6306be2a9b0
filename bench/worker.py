"""One measurement in a process of its own: the benchmark driver (run.py) and the instruction
counter (instructions.py) start this once per library, document and operation, so that no library
runs in a heap another one has already shaped, and every library pays for its own imports only.

    python bench/worker.py OP LIB MANIFEST ROUNDS BUDGET   # prints one JSON line of results
    python bench/worker.py --repeat K OP LIB MANIFEST      # runs the call K times, untimed

MANIFEST is a JSON file: {"files": [[path, root_tag, search_tag], ...], "tmp": folder}. A document
of several files (the CLDR corpus) is one call per file, in order, and a round is all of them.

A round is the call plus freeing its result: the result is dropped inside the timed region, and
the cyclic collector runs before each round, outside it (no library's tree has cycles, so the
drop frees the whole tree). The best round is kept. At least three rounds run (or ROUNDS, if
fewer); after that, rounds stop early once BUDGET seconds have gone. Short rounds go on until
half a second has gone (at most 100 of them), so that the best of them is not a slow spell's.
"""
import gc
import json
import os
import resource
import shutil
import sys
import time

LIBS = ("tessary", "lxml", "etree", "xmltodict")


def load(lib):
    if lib == "tessary":
        import tessary

        return tessary
    if lib == "lxml":
        import lxml.etree

        return lxml.etree
    if lib == "etree":
        import xml.etree.ElementTree

        return xml.etree.ElementTree
    if lib == "xmltodict":
        import xmltodict

        return xmltodict
    raise SystemExit(f"unknown library {lib}")


def read_texts(files):
    out = []
    for path, _root, _tag in files:
        with open(path, encoding="utf-8") as f:
            out.append(f.read())
    return out


def read_bytes(files):
    out = []
    for path, _root, _tag in files:
        with open(path, "rb") as f:
            out.append(f.read())
    return out


# ---- the operations ----------------------------------------------------------------------------
# Each maker does the untimed setup and returns the call a round times. Calls return their result
# so that the round drops it; `out_bytes` is filled in for the operations that produce text.

def parse_all(lib, mod, files):
    """Trees of every file, as each library's reader makes them from a str (lxml: bytes)."""
    if lib == "tessary":
        return [mod.read_string(t, r) for t, (_, r, _) in zip(read_texts(files), files)]
    if lib == "lxml":
        return [mod.fromstring(b) for b in read_bytes(files)]
    return [mod.fromstring(t) for t in read_texts(files)]


class FreshTexts:
    """The documents as strs, new objects before every round (`renew`, untimed). A str keeps the
    UTF-8 form the interpreter makes of it once asked for one, so a reader that asks would find
    it made in every round after the first: each round reads strs never read before, as a
    program reading each document once does."""

    def __init__(self, files):
        self._texts = read_texts(files)
        self.texts = self._texts

    def renew(self):
        self.texts = [(t + " ")[:-1] for t in self._texts]


def make_read_string(lib, mod, files, info):
    if lib == "tessary":
        fresh, roots = FreshTexts(files), [r for _, r, _ in files]
        info["before"] = fresh.renew
        return lambda: [mod.read_string(t, r) for t, r in zip(fresh.texts, roots)]
    if lib == "lxml":
        datas = read_bytes(files)
        return lambda: [mod.fromstring(b) for b in datas]
    if lib == "etree":
        fresh = FreshTexts(files)
        info["before"] = fresh.renew
        return lambda: [mod.fromstring(t) for t in fresh.texts]
    raise SystemExit("read_string: tessary, lxml or etree")


def make_read_file(lib, mod, files, info):
    if lib == "tessary":
        return lambda: [mod.read_file(p, r) for p, r, _ in files]
    if lib in ("lxml", "etree"):
        return lambda: [mod.parse(p) for p, _, _ in files]
    raise SystemExit("read_file: tessary, lxml or etree")


def _indented(lib, mod, files):
    trees = parse_all(lib, mod, files)
    if lib == "etree":
        for t in trees:
            mod.indent(t)  # recursive: fails on very deep trees, and the row says so
    return trees


def make_write_string(lib, mod, files, info):
    trees = _indented(lib, mod, files)
    if lib == "tessary":
        fn = lambda: [mod.write_string(t, 2) for t in trees]  # noqa: E731
    elif lib == "lxml":
        fn = lambda: [mod.tostring(t, pretty_print=True, encoding="unicode") for t in trees]  # noqa: E731
    else:
        fn = lambda: [mod.tostring(t, encoding="unicode") for t in trees]  # noqa: E731
    info["out_bytes"] = sum(len(s.encode()) for s in fn())
    return fn


def make_write_file(lib, mod, files, info):
    """Each file written anew: the files of the previous round are removed before the round, so
    that no round pays for truncating the last one's pages."""
    trees = _indented(lib, mod, files)
    outdir = os.path.join(info["tmp"], f"out-{lib}-{os.getpid()}")
    os.mkdir(outdir)
    info["cleanup"] = outdir
    paths = [os.path.join(outdir, f"{i}.xml") for i in range(len(trees))]
    pairs = list(zip(trees, paths))
    if lib == "tessary":
        def fn():
            for t, p in pairs:
                mod.write_file(t, p, 2)
    elif lib == "lxml":
        def fn():
            for t, p in pairs:
                mod.ElementTree(t).write(p, pretty_print=True)
    else:
        def fn():
            for t, p in pairs:
                mod.ElementTree(t).write(p, encoding="utf-8", xml_declaration=True)

    def remove():
        for p in paths:
            if os.path.exists(p):
                os.unlink(p)

    fn()
    info["out_bytes"] = sum(os.path.getsize(p) for p in paths)
    info["before"] = remove
    return fn


def make_search_by_name(lib, mod, files, info):
    trees = parse_all(lib, mod, files)
    pairs = [(t, tag) for t, (_, _, tag) in zip(trees, files)]
    if lib == "tessary":
        return lambda: [t.search_by_name(tag) for t, tag in pairs]
    return lambda: [list(t.iter(tag)) for t, tag in pairs]


def make_to_dict(lib, mod, files, info):
    fresh = FreshTexts(files)
    info["before"] = fresh.renew
    if lib == "tessary":
        roots = [r for _, r, _ in files]
        return lambda: [mod.read_string(t, r).to_dict() for t, r in zip(fresh.texts, roots)]
    if lib == "xmltodict":
        return lambda: [mod.parse(t) for t in fresh.texts]
    raise SystemExit("to_dict: tessary or xmltodict")


def make_tree_to_dict(lib, mod, files, info):
    """to_dict alone, on a tree read beforehand (for the instruction counts)."""
    trees = parse_all(lib, mod, files)
    return lambda: [t.to_dict() for t in trees]


MAKERS = {
    "read_string": make_read_string,
    "read_file": make_read_file,
    "write_string": make_write_string,
    "write_file": make_write_file,
    "search_by_name": make_search_by_name,
    "to_dict": make_to_dict,
    "tree_to_dict": make_tree_to_dict,
}


# Short rounds (a 1 MB document takes a few milliseconds) are repeated until the timed calls
# have taken this much time, up to this many rounds: on a shared machine a handful of them can
# all land in a slow spell, and the best of many is the figure that does not. Only the timed
# calls count, so that a row whose rounds each first run something else (another library's
# tree, for the read right after it) gets as many rounds as the row it is compared with.
SHORT_ROUNDS_SECONDS = 0.5
SHORT_ROUNDS_MAX = 100


def best_of(fn, rounds, budget, before=None):
    best, done, start, timed = float("inf"), 0, time.perf_counter(), 0.0
    while done < rounds or (done < SHORT_ROUNDS_MAX and timed < SHORT_ROUNDS_SECONDS):
        if before is not None:
            before()
        gc.collect()
        t0 = time.perf_counter()
        fn()  # the result is dropped here, inside the timed region
        took = time.perf_counter() - t0
        best = min(best, took)
        timed += took
        done += 1
        if done >= 3 and time.perf_counter() - start > budget:
            break
    return best, done


# ---- rows measured differently -----------------------------------------------------------------

def read_after(other, files, rounds, budget):
    """tessary's read_string, each round right after `other` built and freed a tree of the same
    document in this process."""
    import tessary

    mod = load(other)
    if other == "lxml":
        datas = read_bytes(files)
        build = lambda: [mod.fromstring(b) for b in datas]  # noqa: E731
    else:
        texts_ = read_texts(files)
        build = lambda: [mod.fromstring(t) for t in texts_]  # noqa: E731
    fresh, roots = FreshTexts(files), [r for _, r, _ in files]

    def before():
        build()  # built and dropped
        fresh.renew()

    best, done = best_of(lambda: [tessary.read_string(t, r) for t, r in zip(fresh.texts, roots)], rounds, budget,
                         before)
    return {"best": best, "rounds": done}


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def trim():
    """Gives freed heap memory back to the system (glibc), so RSS counts what is still in use
    rather than what the allocator kept from temporary buffers. Done the same for every library."""
    try:
        import ctypes

        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


def memory(lib, files):
    """Resident memory a library's trees of the document keep, beyond the input held before.
    For tessary this includes the UTF-8 form Python caches in a non-ASCII str that the tree
    points into, or, for a document mostly of text, what the tree keeps of its own form."""
    mod = load(lib)
    inputs = read_bytes(files) if lib == "lxml" else read_texts(files)
    roots = [r for _, r, _ in files]
    gc.collect()
    trim()
    before = rss_bytes()
    if lib == "tessary":
        trees = [mod.read_string(t, r) for t, r in zip(inputs, roots)]
    else:
        trees = [mod.fromstring(x) for x in inputs]
    gc.collect()
    trim()
    after = rss_bytes()
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    del trees
    return {"kept": after - before, "peak": peak - before}


def threads(files, rounds, budget):
    """Two documents read one after the other on one thread, and at once on two threads of a
    pool made beforehand (starting threads, and their fresh malloc arenas, is not measured)."""
    from concurrent.futures import ThreadPoolExecutor

    import tessary

    (path, root, _), = files[:1]
    with open(path, encoding="utf-8") as f:
        text = f.read()
    other = text[:-1] + text[-1]  # the same content in a separate str object

    def read(d):
        tessary.read_string(d, root)  # the tree is dropped in the thread

    with ThreadPoolExecutor(2) as pool:
        list(pool.map(read, (text, other)))  # warm both threads

        def one_thread():
            read(text)
            read(other)

        t1, _ = best_of(one_thread, rounds, budget)
        t2, done = best_of(lambda: list(pool.map(read, (text, other))), rounds, budget)
    return {"one": t1, "two": t2, "rounds": done}


def main(argv):
    if argv[:1] == ["--repeat"]:
        # Untimed: the setup, then the call K times, each result dropped. Run under callgrind with
        # K = 1 and K = 2, the difference of the two counts is the cost of one warm call.
        k, op, lib, manifest = int(argv[1]), argv[2], argv[3], argv[4]
        with open(manifest) as f:
            m = json.load(f)
        files = [tuple(x) for x in m["files"]]
        info = {"tmp": m["tmp"]}
        fn = MAKERS[op](lib, load(lib), files, info)
        # The untimed step before each round (new strs, for one) is run as often for K = 1 as
        # for K = 2, so that the difference is the calls alone.
        runs = max(k, 2)
        for i in range(runs):
            if info.get("before"):
                info["before"]()
            if i >= runs - k:
                fn()
        if info.get("cleanup"):
            shutil.rmtree(info["cleanup"], ignore_errors=True)
        return 0

    op, lib, manifest, rounds, budget = argv[0], argv[1], argv[2], int(argv[3]), float(argv[4])
    with open(manifest) as f:
        m = json.load(f)
    files = [tuple(x) for x in m["files"]]
    info = {"tmp": m["tmp"]}
    try:
        if op in ("memory", "read_after", "threads"):
            try:
                if op == "memory":
                    res = memory(lib, files)
                elif op == "read_after":
                    res = read_after(lib, files, rounds, budget)
                else:
                    res = threads(files, rounds, budget)
            except Exception as e:  # lxml refusing a very deep document, for one
                print(json.dumps({"error": f"{type(e).__name__}: {e}"[:200], "stage": "call"}))
                return 0
        else:
            mod = load(lib)
            try:
                fn = MAKERS[op](lib, mod, files, info)
            except Exception as e:  # a peer refusing a document is reported, not fatal
                print(json.dumps({"error": f"{type(e).__name__}: {e}"[:200], "stage": "setup"}))
                return 0
            try:
                best, done = best_of(fn, rounds, budget, info.get("before"))
            except Exception as e:
                print(json.dumps({"error": f"{type(e).__name__}: {e}"[:200], "stage": "call"}))
                return 0
            res = {"best": best, "rounds": done}
            if info.get("out_bytes") is not None:
                res["out_bytes"] = info["out_bytes"]
    finally:
        if info.get("cleanup"):
            shutil.rmtree(info["cleanup"], ignore_errors=True)
    print(json.dumps(res))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
