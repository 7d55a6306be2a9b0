"""Reading a folder of XML files in parallel.

    python examples/many_files.py [FOLDER] [--root TAG] [--workers N] [--no-dask]

Without FOLDER, a folder of sample catalogue files is written to a temporary directory first.

1. Threads on one machine. `tessary.read_file` releases the interpreter lock while it reads,
   indexes and parses a file, so a thread pool parses several files at once; only making the
   Node objects at the end of each call takes the lock. The example times the same job on one
   thread and on N and prints the speed-up.
2. Worker processes, on one machine or many. When Dask's `distributed` is installed
   (`pip install 'tessary[examples]'`), the same function runs on a local cluster of worker
   processes; pointed at a scheduler address (`--scheduler tcp://host:8786`) it runs on
   whatever machines that cluster has. Nodes do not cross processes (they cannot be pickled),
   so a worker sends back plain data: fields it extracted, or `node.to_dict()`, which the
   receiving side turns back into a tree with `Node.from_dict` when it needs one.
"""

from __future__ import annotations

import argparse
import logging
import os
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any

import tessary
from tessary import Node


def write_sample(folder: Path, files: int = 64, books: int = 2000) -> list[Path]:
    """Writes `files` catalogue documents of `books` entries each into `folder`."""
    folder.mkdir(parents=True, exist_ok=True)
    paths = []
    for f in range(files):
        parts = ['<?xml version="1.0" encoding="utf-8"?>\n<catalog shelf="%d">\n' % f]
        for b in range(books):
            parts.append(
                f'  <book id="b{f}-{b}" lang="{"de" if b % 3 else "en"}">'
                f"<title>Band {b} – Größe &amp; Maß</title>"
                f"<author>Autorin {b % 97}</author><price>{(b * 7) % 100}.{b % 100:02d}</price>"
                f"<notes><![CDATA[free text <{b}>]]></notes></book>\n"
            )
        parts.append("</catalog>\n")
        path = folder / f"catalog-{f:04d}.xml"
        path.write_text("".join(parts), encoding="utf-8")
        paths.append(path)
    return paths


def summarise(path: str, root_tag: str = "catalog") -> dict[str, Any]:
    """Parses one file and returns fields extracted from it, as plain data: what a worker
    process sends back."""
    root = tessary.read_file(path, root_tag)
    books = root.search_by_name("book", depth=1)
    prices = [float(p.text) for p in root.search_by_name("price") if p.text]
    titles = books[0].search_by_name("title", depth=1) if books else []
    return {
        "file": os.path.basename(path),
        "authors": len({a.text for a in root.search_by_name("author", depth=2)}),
        "books": len(books),
        "total_price": round(sum(prices), 2),
        "first_title": titles[0].text if titles else None,
    }


def first_book(path: str, root_tag: str = "catalog") -> dict[str, Any] | None:
    """Parses one file and returns its first book as `to_dict()`: a subtree as plain data."""
    books = tessary.read_file(path, root_tag).search_by_name("book", depth=1)
    return books[0].to_dict() if books else None


def run_threads(paths: list[str], workers: int, root_tag: str = "catalog") -> list[dict[str, Any]]:
    """`summarise` over `paths` on a pool of `workers` threads, results in the order of paths."""
    with ThreadPoolExecutor(max_workers=workers) as pool:
        return list(pool.map(lambda p: summarise(p, root_tag), paths))


def run_dask(paths: list[str], workers: int, root_tag: str = "catalog",
             scheduler: str | None = None) -> tuple[list[dict[str, Any]], list[dict[str, Any] | None]]:
    """`summarise` and `first_book` over `paths` on a Dask cluster: a new local one of
    `workers` single-threaded processes, or the one at `scheduler`."""
    from dask.distributed import Client, LocalCluster

    cluster = None
    if scheduler is None:
        cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                               dashboard_address=None, silence_logs=logging.ERROR)
    client = Client(scheduler if scheduler is not None else cluster)
    try:
        if __name__ != "__main__":
            # Imported as a module (not run as a script): the workers import it by name too.
            client.upload_file(__file__)
        summaries = client.gather(client.map(summarise, paths, root_tag=root_tag))
        books = client.gather(client.map(first_book, paths[:4], root_tag=root_tag))
        return summaries, books
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


def timed(fn, *args):
    t0 = time.perf_counter()
    result = fn(*args)
    return result, time.perf_counter() - t0


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("folder", nargs="?", help="folder of .xml files (default: write a sample)")
    ap.add_argument("--root", default="catalog", help="root tag of every file (default: catalog)")
    ap.add_argument("--workers", type=int, default=os.cpu_count() or 2)
    ap.add_argument("--files", type=int, default=64, help="files in the sample folder")
    ap.add_argument("--no-dask", action="store_true", help="skip the Dask run")
    ap.add_argument("--scheduler", help="address of a running Dask scheduler")
    args = ap.parse_args(argv)

    with tempfile.TemporaryDirectory() as tmp:
        if args.folder:
            paths = sorted(str(p) for p in Path(args.folder).glob("*.xml"))
        else:
            paths = [str(p) for p in write_sample(Path(tmp), args.files)]
        if not paths:
            print(f"no .xml files in {args.folder}", file=sys.stderr)
            return 1
        mb = sum(os.path.getsize(p) for p in paths) / 1e6
        workers = max(1, args.workers)
        print(f"{len(paths)} files, {mb:.1f} MB")

        one, t1 = timed(run_threads, paths, 1, args.root)
        many, tn = timed(run_threads, paths, workers, args.root)
        assert one == many
        print(f"threads: 1 thread {t1:.2f}s ({mb / t1:.0f} MB/s), {workers} threads {tn:.2f}s "
              f"({mb / tn:.0f} MB/s): speed-up {t1 / tn:.2f}x")
        print(f"  {sum(s['books'] for s in many)} books, "
              f"{sum(s['total_price'] for s in many):.2f} in prices")

        if args.no_dask:
            return 0
        try:
            import dask.distributed  # noqa: F401
        except ImportError:
            print("dask: not installed (pip install 'tessary[examples]'), skipped")
            return 0
        (summaries, books), td = timed(run_dask, paths, workers, args.root, args.scheduler)
        assert summaries == many
        print(f"dask: {workers} worker processes {td:.2f}s, including the cluster's start-up; "
              "same results as the threads")
        book = next((b for b in books if b is not None), None)
        if book is not None:
            node = Node.from_dict(book)  # the worker's dict, back as a tree on this side
            print(f"  first book from a worker: {node.attrs['id']}: "
                  f"{node.search_by_name('title')[0].text}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
