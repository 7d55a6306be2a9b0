"""Deterministic generated documents of several shapes, for the benchmark."""
import random

WORDS = ("lorem ipsum dolor sit amet consectetur adipiscing elit sed do eiusmod tempor incididunt ut labore "
         "et dolore magna aliqua café naïve façade Zürich größe 東京 数据 résumé ελληνικά русский").split()


def _text(rng, n):
    return " ".join(rng.choice(WORDS) for _ in range(n))


def text_heavy(size):
    """Records with long text bodies, entity and character references, non-ASCII text."""
    rng = random.Random(1)
    parts = ['<?xml version="1.0" encoding="utf-8"?>\n<records>\n']
    total, i = 0, 0
    while total < size:
        body = _text(rng, 60).replace(" et ", " &amp; ").replace(" ut ", " &lt;ut&gt; ").replace(" sed ", " &#233; ")
        rec = (f'  <record id="r{i}">\n    <title>{_text(rng, 6)}</title>\n'
               f'    <author>{_text(rng, 2)}</author>\n    <body>{body}</body>\n  </record>\n')
        parts.append(rec)
        total += len(rec.encode())
        i += 1
    parts.append("</records>\n")
    return "".join(parts)


def attribute_dense(size):
    """Rows of many quoted attributes: more than five quotes per '<'."""
    rng = random.Random(2)
    parts = ['<?xml version="1.0" encoding="utf-8"?>\n<table>\n']
    total, i = 0, 0
    while total < size:
        attrs = " ".join(f'c{k}="{rng.randint(0, 10**6)}"' for k in range(8))
        row = f'  <row id="{i}" name="{rng.choice(WORDS)}" {attrs} flag="{rng.choice(("yes", "no"))}"/>\n'
        parts.append(row)
        total += len(row.encode())
        i += 1
    parts.append("</table>\n")
    return "".join(parts)


def deeply_nested(size, depth=2000):
    """Chains of elements nested `depth` levels, repeated until the size is reached."""
    parts = ["<root>"]
    total = 0
    chain_open = "".join(f"<n{d % 10} d=\"{d}\">" for d in range(depth))
    chain_close = "".join(f"</n{d % 10}>" for d in reversed(range(depth)))
    chain = f"<chain>{chain_open}leaf{chain_close}</chain>\n"
    while total < size:
        parts.append(chain)
        total += len(chain)
    parts.append("</root>")
    return "".join(parts)


def large_cdata(size):
    """Few elements holding large CDATA sections of markup-like text."""
    rng = random.Random(3)
    parts = ["<blobs>\n"]
    total = 0
    while total < size:
        payload = "".join(f"<p class='x'>{_text(rng, 12)} &amp; a < b > c</p>\n" for _ in range(400))
        blob = f"  <blob><![CDATA[{payload}]]></blob>\n"
        parts.append(blob)
        total += len(blob.encode())
    parts.append("</blobs>\n")
    return "".join(parts)


SHAPES = {
    "text-heavy": (text_heavy, "records", "record"),
    "attribute-dense": (attribute_dense, "table", "row"),
    "deeply-nested": (deeply_nested, "root", "n5"),
    "large-cdata": (large_cdata, "blobs", "blob"),
}
