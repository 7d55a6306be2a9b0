"""Instruction counts of read_string, read_file, write_string and from_dict under callgrind.

Wall-clock time moves with the load of a shared machine; instruction counts do not. This runs
one operation on one generated document inside valgrind, counting only the instructions spent
inside the module's entry function, and prints the count.

    python bench/callgrind.py                  # every operation on every document (a table)
    python bench/callgrind.py read_string text-heavy
    python bench/callgrind.py --size 1500000 --only read_file

read_string of a non-ASCII str mostly of text encodes it to UTF-8 in every call (the str keeps
no copy), so that is counted; for other documents the str's cached UTF-8 form is made by its
first call. from_dict counts Node.from_dict on the to_dict form of the
document.

Needs valgrind on PATH. The documents are those of docs.py at about 1.5 MB, plus a text whose
characters are mostly outside ASCII.
"""
import argparse
import os
import random
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import docs  # noqa: E402

ENTRY = {
    "read_string": "tessary::module::py_read_string*",
    "read_file": "tessary::module::py_read_file*",
    "write_string": "tessary::module::py_write_string*",
    "from_dict": "tessary::entities::node_from_dict*",
}


def non_ascii(size):
    """Records whose text is mostly Cyrillic, Greek and CJK, with a few references."""
    rng = random.Random(4)
    words = "русский текст ελληνικά κείμενο 東京 数据 日本語 한국어 café größe".split()
    parts = ["<docs>\n"]
    total, i = 0, 0
    while total < size:
        body = " ".join(rng.choice(words) for _ in range(40))
        rec = f'  <doc n="{i}" lang="{rng.choice(words)}">{body} &amp; {i}</doc>\n'
        parts.append(rec)
        total += len(rec.encode())
        i += 1
    parts.append("</docs>\n")
    return "".join(parts)


def documents(size):
    out = {name: (make(size), root) for name, (make, root, _) in docs.SHAPES.items()}
    out["non-ascii"] = (non_ascii(size), "docs")
    return out


def run_one(op, name, size):
    """Runs inside valgrind: builds the document, then calls the operation once."""
    import tessary

    text, root = documents(size)[name]
    if op == "read_string":
        tessary.read_string(text, root)
    elif op == "from_dict":
        tessary.Node.from_dict(tessary.read_string(text, root).to_dict())
    elif op == "read_file":
        with tempfile.NamedTemporaryFile("w", encoding="utf-8", suffix=".xml", delete=False) as f:
            f.write(text)
        try:
            tessary.read_file(f.name, root)
        finally:
            os.unlink(f.name)
    else:
        node = tessary.read_string(text, root)
        tessary.write_string(node, 2, True)


def count(op, name, size):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.out")
        cmd = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
               f"--toggle-collect={ENTRY[op]}", sys.executable, os.path.abspath(__file__),
               "--child", op, name, "--size", str(size)]
        subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(out) as f:
            for line in f:
                m = re.match(r"(?:summary|totals):\s+(\d+)", line)
                if m:
                    return int(m.group(1))
    raise RuntimeError("no summary in the callgrind output")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("op", nargs="?")
    ap.add_argument("doc", nargs="?")
    ap.add_argument("--size", type=int, default=1_500_000)
    ap.add_argument("--only", choices=sorted(ENTRY))
    ap.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    a = ap.parse_args()
    if a.child:
        run_one(a.op, a.doc, a.size)
        return
    ops = [a.op] if a.op else ([a.only] if a.only else list(ENTRY))
    names = [a.doc] if a.doc else list(documents(1000))
    print(f"{'operation':<18}{'document':<18}{'instructions':>16}")
    for op in ops:
        for name in names:
            print(f"{op:<18}{name:<18}{count(op, name, a.size):>16,}", flush=True)


if __name__ == "__main__":
    main()
