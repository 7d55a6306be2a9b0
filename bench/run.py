"""tessary against lxml, ElementTree and xmltodict, side by side in one run.

    python bench/run.py            # full run: 1 MB and 50 MB documents of each shape + CLDR
    python bench/run.py --quick    # about a minute: 1 MB documents, a CLDR sample, fewer rounds

Each measurement is the best of several rounds, the libraries interleaved within each round.
Throughput is MB of UTF-8 input (or output, for writing) per second; "x lxml" and "x etree" are
how many times faster tessary is. Memory is measured in a fresh process per library. This is a
benchmark, not a test: it asserts nothing.
"""
import argparse
import gc
import glob
import os
import re
import resource
import subprocess
import sys
import tempfile
import threading
import time
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import docs  # noqa: E402

import tessary  # noqa: E402

try:
    import lxml.etree as LX
except ImportError:  # the table then shows "-" for lxml
    LX = None
try:
    import xmltodict
except ImportError:
    xmltodict = None

CLDR = "/usr/share/unicode/cldr/common"
MB = 1e6


def best(fn, rounds):
    t = float("inf")
    for _ in range(rounds):
        gc.collect()
        t0 = time.perf_counter()
        fn()
        t = min(t, time.perf_counter() - t0)
    return t


def interleaved(fns, rounds):
    """Best time of each callable (None entries skipped), alternating them within each round."""
    times = {k: float("inf") for k, f in fns.items() if f is not None}
    for _ in range(rounds):
        for k, f in fns.items():
            if f is None:
                continue
            gc.collect()
            t0 = time.perf_counter()
            try:
                f()
            except Exception as e:  # a peer refusing a document is reported, not fatal
                times[k] = e
                fns[k] = None
                continue
            times[k] = min(times[k], time.perf_counter() - t0)
    return times


def fmt_row(label, nbytes, times, ours="tessary", peers=("lxml", "etree")):
    cells = [label]
    t_ours = times.get(ours)
    for k in (ours,) + peers:
        t = times.get(k)
        if t is None:
            cells.append("-")
        elif isinstance(t, Exception):
            cells.append("refused")
        else:
            cells.append(f"{nbytes / MB / t:9.1f}")
    for k in peers:
        t = times.get(k)
        if isinstance(t, float) and isinstance(t_ours, float):
            cells.append(f"{t / t_ours:6.2f}x")
        else:
            cells.append("-")
    return cells


def print_table(title, header, rows):
    print(f"\n{title}")
    widths = [max(len(str(r[i])) for r in [header] + rows) for i in range(len(header))]
    for r in [header] + rows:
        print("  " + "  ".join(str(c).rjust(w) for c, w in zip(r, widths)))


def root_name(text):
    m = re.search(r"<([A-Za-z_][^\s/>]*)[\s/>]", re.sub(r"<[?!][^>]*>", "", text[:4096], flags=re.S))
    return m.group(1) if m else None


def run_shapes(sizes, rounds, table):
    tmp = tempfile.mkdtemp(prefix="tessary-bench-")
    for shape, (make, root, tag) in docs.SHAPES.items():
        for size in sizes:
            text = make(size)
            data = text.encode()
            n = len(data)
            label = f"{shape} {n / MB:.0f} MB" if n >= MB else f"{shape} {n / 1e3:.0f} kB"
            path = os.path.join(tmp, f"{shape}-{size}.xml")
            with open(path, "wb") as f:
                f.write(data)
            lx_parser = LX.XMLParser() if LX else None  # default limits: lxml refuses very deep documents
            t = interleaved({
                "tessary": lambda: tessary.read_string(text, root),
                "lxml": (lambda: LX.fromstring(data, lx_parser)) if LX else None,
                "etree": lambda: ET.fromstring(text),
            }, rounds)
            table["read_string"].append(fmt_row(label, n, t))
            t = interleaved({
                "tessary": lambda: tessary.read_file(path, root),
                "lxml": (lambda: LX.parse(path, lx_parser)) if LX else None,
                "etree": lambda: ET.parse(path),
            }, rounds)
            table["read_file"].append(fmt_row(label, n, t))

            ours = tessary.read_string(text, root)
            try:
                lx_root = LX.fromstring(data, lx_parser) if LX else None
            except Exception:
                lx_root = None
            try:
                et_root = ET.fromstring(text)
                ET.indent(et_root)
            except Exception:  # RecursionError included: ET.indent recurses
                et_root = None
            # Indentation grows with depth: the 50 MB deeply nested document would come out at
            # about 15 GB with an indent of 2, more than this benchmark should ask for.
            deep_spaces = text.count("<chain>") * 2 * 2 * 2001 * 2002 // 2 if shape == "deeply-nested" else 0
            if deep_spaces > 2_000_000_000:
                table["write_string"].append([label, f"skipped: {deep_spaces / 1e9:.0f} GB of output", "", "", "", ""])
                write_skipped = True
            else:
                write_skipped = False
            out_len = 0 if write_skipped else len(tessary.write_string(ours, 2).encode())
            t = {} if write_skipped else interleaved({
                "tessary": lambda: tessary.write_string(ours, 2),
                "lxml": (lambda: LX.tostring(lx_root, pretty_print=True, encoding="unicode")) if lx_root is not None else None,
                "etree": (lambda: ET.tostring(et_root, encoding="unicode")) if et_root is not None else None,
            }, rounds)
            if not write_skipped:
                table["write_string"].append(fmt_row(label, out_len, t))

            t = interleaved({
                "tessary": lambda: ours.search_by_name(tag),
                "lxml": (lambda: list(lx_root.iter(tag))) if lx_root is not None else None,
                "etree": (lambda: list(et_root.iter(tag))) if et_root is not None else None,
            }, rounds)
            table["search_by_name"].append(fmt_row(label, n, t))

            if xmltodict is not None:
                t = interleaved({
                    "tessary": lambda: tessary.read_string(text, root).to_dict(),
                    "xmltodict": lambda: xmltodict.parse(text),
                }, max(1, rounds // 2) if n > 10 * MB else rounds)
                table["to_dict"].append(fmt_row(label, n, t, peers=("xmltodict",)))

            table["memory"].append(memory_row(label, path, root))
            if size == sizes[-1]:
                table["threads"].append(threads_row(label, text, root, rounds))
            del ours, lx_root, et_root
    return tmp


def cldr_files(quick):
    files = sorted(glob.glob(os.path.join(CLDR, "**", "*.xml"), recursive=True))
    if quick:
        files = files[::10]
    out = []
    for p in files:
        with open(p, encoding="utf-8") as f:
            text = f.read()
        out.append((p, text, text.encode(), root_name(text)))
    return out


def run_cldr(quick, rounds, table):
    if not os.path.isdir(CLDR):
        print(f"\n(no CLDR corpus at {CLDR}: install Debian's unicode-cldr-core)")
        return
    files = cldr_files(quick)
    n = sum(len(b) for _, _, b, _ in files)
    label = f"CLDR {len(files)} files {n / MB:.0f} MB"
    t = interleaved({
        "tessary": lambda: [tessary.read_string(s, r) for _, s, _, r in files],
        "lxml": (lambda: [LX.fromstring(b) for _, _, b, _ in files]) if LX else None,
        "etree": lambda: [ET.fromstring(s) for _, s, _, _ in files],
    }, rounds)
    table["read_string"].append(fmt_row(label, n, t))
    t = interleaved({
        "tessary": lambda: [tessary.read_file(p, r) for p, _, _, r in files],
        "lxml": (lambda: [LX.parse(p) for p, _, _, _ in files]) if LX else None,
        "etree": lambda: [ET.parse(p) for p, _, _, _ in files],
    }, rounds)
    table["read_file"].append(fmt_row(label, n, t))


# ---- memory, in a fresh process per library ----------------------------------------------------

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


def memory_child(lib, path, root):
    with open(path, "rb") as f:
        data = f.read()
    text = data.decode()
    # For tessary this includes the UTF-8 form that Python caches in a non-ASCII str.
    gc.collect()
    trim()
    before = rss_bytes()
    if lib == "tessary":
        tree = tessary.read_string(text, root)
    elif lib == "lxml":
        tree = LX.fromstring(data)
    else:
        tree = ET.fromstring(text)
    gc.collect()
    trim()
    after = rss_bytes()
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(after - before, peak - before)
    del tree


def memory_row(label, path, root):
    cells = [label]
    kept = {}
    for lib in ("tessary", "lxml", "etree"):
        if lib == "lxml" and LX is None:
            cells.append("-")
            continue
        r = subprocess.run([sys.executable, __file__, "--memory-child", lib, path, root],
                           capture_output=True, text=True)
        if r.returncode != 0 or not r.stdout.strip():
            cells.append("failed")
            continue
        k, _peak = map(int, r.stdout.split())
        kept[lib] = k
        cells.append(f"{k / MB:8.1f}")
    for lib in ("lxml", "etree"):
        if lib in kept and "tessary" in kept and kept[lib] > 0:
            cells.append(f"{kept['tessary'] / kept[lib]:5.2f}x")
        else:
            cells.append("-")
    return cells


# ---- threads ---------------------------------------------------------------------------------

def threads_row(label, text, root, rounds):
    """Two documents read one after the other on one thread, and at once on two threads of a
    pool made beforehand (starting threads, and their fresh malloc arenas, is not measured)."""
    from concurrent.futures import ThreadPoolExecutor

    other = text[:-1] + text[-1]  # the same content in a separate str object
    read = lambda d: tessary.read_string(d, root) and None  # noqa: E731 - the tree is dropped in the thread
    with ThreadPoolExecutor(2) as pool:
        list(pool.map(read, (text, other)))  # warm both threads

        def one_thread():
            read(text)
            read(other)

        def two_threads():
            list(pool.map(read, (text, other)))

        t1 = best(one_thread, rounds)
        t2 = best(two_threads, rounds)
    return [label, f"{t1 * 1e3:8.1f}", f"{t2 * 1e3:8.1f}", f"{t1 / t2:5.2f}x"]


def xmltodict_version():
    try:
        from importlib.metadata import version

        return version("xmltodict")
    except Exception:
        return getattr(xmltodict, "__version__", "?")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="1 MB documents, a CLDR sample, fewer rounds")
    ap.add_argument("--memory-child", nargs=3, metavar=("LIB", "PATH", "ROOT"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.memory_child:
        memory_child(*args.memory_child)
        return

    sizes = [1_000_000] if args.quick else [1_000_000, 50_000_000]
    rounds = 3 if args.quick else 5
    print(f"tessary benchmark on {os.uname().machine}, {os.cpu_count()} cores, Python {sys.version.split()[0]}"
          f"{', lxml ' + LX.__version__ if LX else ''}{', xmltodict ' + xmltodict_version() if xmltodict else ''}")
    table = {k: [] for k in ("read_string", "read_file", "write_string", "search_by_name", "to_dict", "memory", "threads")}
    run_shapes(sizes, rounds, table)
    run_cldr(args.quick, rounds, table)

    speed = ["document", "tessary MB/s", "lxml MB/s", "etree MB/s", "x lxml", "x etree"]
    print_table("read_string(str) vs lxml.etree.fromstring(bytes) vs ElementTree.fromstring(str)", speed, table["read_string"])
    print_table("read_file vs lxml.etree.parse vs ElementTree.parse", speed, table["read_file"])
    print_table("write_string(node, 2) vs lxml tostring(pretty_print=True) vs ElementTree.tostring (indented); MB of output",
                speed, table["write_string"])
    print_table("search_by_name vs lxml iter(tag) vs ElementTree iter(tag); MB of document", speed, table["search_by_name"])
    print_table("read_string + to_dict vs xmltodict.parse", ["document", "tessary MB/s", "xmltodict MB/s", "x xmltodict"],
                table["to_dict"])
    print_table("memory kept by a parsed tree (MB, fresh process each)",
                ["document", "tessary", "lxml", "etree", "vs lxml", "vs etree"], table["memory"])
    print_table("threads: two documents read by one thread vs two threads",
                ["document", "1 thread ms", "2 threads ms", "speed-up"], table["threads"])


if __name__ == "__main__":
    main()
