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


DEEP = 2000  # levels of one chain of the deeply nested shape


def deeply_nested(size, depth=DEEP):
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


# ---- element-dense shapes ----------------------------------------------------------------------
# Most of a real document's cost is per element, not per byte: these three put 35 to 80 bytes
# of markup around each element, as catalogues, dictionaries and map extracts do.

NAMES = ("café", "crème brûlée", "naïve", "Zürich", "größe", "東京", "数据", "résumé", "ελληνικά",
         "русский", "ab", "xyz", "lorem", "ipsum", "dolor")
MEANINGS = ("east", "eastern", "sun", "day", "tree", "wood", "book", "origin", "water", "river",
            "mountain", "fire", "gold", "moon", "month", "person", "large", "small", "middle")
READINGS = ("トウ", "ひがし", "ニチ", "ひ", "モク", "き", "ホン", "もと", "スイ", "みず", "サン", "やま",
            "カ", "キン", "ゲツ", "つき", "ジン", "ひと", "ダイ", "おお")


def short_records(size):
    """A catalogue of short records of 7 small fields each (8 elements, about 38 bytes each):
    numbers, short words, entity and character references, CDATA, non-ASCII text."""
    rng = random.Random(4)
    parts = ['<?xml version="1.0" encoding="utf-8"?>\n<catalogue>\n']
    total, i = 0, 0
    while total < size:
        title = " ".join(rng.choice(NAMES) for _ in range(3))
        if rng.random() < 0.3:
            title += " &amp; " + rng.choice(NAMES)
        note = rng.choice(("<![CDATA[a<b & c]]>", "&#233;t&#xE9; only", "not available", "&lt;none&gt;",
                           "in stock"))
        rec = (f'  <record id="{i}" status="{rng.choice(("active", "retired"))}">\n'
               f'    <sku>K-{rng.randint(1000, 99999)}-{rng.choice("ABCDEF")}</sku>\n'
               f'    <title>{title}</title>\n'
               f'    <price currency="EUR">{rng.randint(1, 999)}.{rng.randint(0, 99):02d}</price>\n'
               f'    <quantity>{rng.randint(0, 500)}</quantity>\n'
               f'    <category>{rng.choice(NAMES)} / {rng.choice(NAMES)}</category>\n'
               f'    <note>{note}</note>\n'
               f'    <updated>20{rng.randint(10, 23)}-0{rng.randint(1, 9)}-{rng.randint(10, 28)}</updated>\n'
               f'  </record>\n')
        parts.append(rec)
        total += len(rec.encode())
        i += 1
    parts.append("</catalogue>\n")
    return "".join(parts)


DICT_REFS = ("nelson_c", "nelson_n", "halpern_njecd", "heisig", "gakken", "oneill_kk", "henshall",
             "sh_kk", "jf_cards", "maniette")


def tiny_text(size):
    """A dictionary of entries made of tiny text elements (about 35 bytes each), most with one
    short attribute, much of the text non-ASCII: the shape of a kanji dictionary."""
    rng = random.Random(5)
    parts = ['<?xml version="1.0" encoding="utf-8"?>\n<dictionary>\n']
    total, i = 0, 0
    while total < size:
        cp = 0x4E00 + i % 20000
        lines = [f'<character>\n<literal>{chr(cp)}</literal>\n<cp_value cp_type="ucs">{cp:x}</cp_value>\n',
                 f'<rad_value rad_type="classical">{rng.randint(1, 214)}</rad_value>\n',
                 f"<grade>{rng.randint(1, 9)}</grade>\n<stroke_count>{rng.randint(1, 30)}</stroke_count>\n"]
        for ref in rng.sample(DICT_REFS, rng.randint(2, 6)):
            lines.append(f'<dic_ref dr_type="{ref}">{rng.randint(1, 9999)}</dic_ref>\n')
        for _ in range(rng.randint(1, 4)):
            lines.append(f'<reading r_type="ja_{rng.choice(("on", "kun"))}">{rng.choice(READINGS)}</reading>\n')
        for _ in range(rng.randint(1, 4)):
            lines.append(f"<meaning>{rng.choice(MEANINGS)}</meaning>\n")
        lines.append("</character>\n")
        entry = "".join(lines)
        parts.append(entry)
        total += len(entry.encode())
        i += 1
    parts.append("</dictionary>\n")
    return "".join(parts)


def map_data(size):
    """Map data in the manner of an OpenStreetMap extract: nodes with coordinates and version
    attributes, some with tags, and ways listing node references and tags (about 80 bytes an
    element)."""
    rng = random.Random(6)
    users = ("mapper", "Jörg", "anna_k", "osm-bot", "Zoë", "李明", "pierre", "x")
    keys = (("highway", ("residential", "service", "footway", "primary")),
            ("name", NAMES), ("amenity", ("cafe", "bench", "school", "parking")),
            ("building", ("yes", "house", "garage")), ("surface", ("asphalt", "gravel")))
    parts = ['<?xml version="1.0" encoding="UTF-8"?>\n<osm version="0.6" generator="bench">\n']
    total, i = 0, 0

    def tags(n):
        out = []
        for k, vals in rng.sample(keys, n):
            out.append(f'  <tag k="{k}" v="{rng.choice(vals)}"/>\n')
        return "".join(out)

    def meta():
        return (f'version="{rng.randint(1, 9)}" timestamp="20{rng.randint(10, 23)}-0{rng.randint(1, 9)}-'
                f'{rng.randint(10, 28)}T{rng.randint(10, 23)}:{rng.randint(10, 59)}:{rng.randint(10, 59)}Z" '
                f'changeset="{rng.randint(10**6, 10**8)}" uid="{rng.randint(1, 10**7)}" user="{rng.choice(users)}"')

    while total < size:
        if i % 10 < 8:
            attrs = f'id="{10**8 + i}" visible="true" lat="{rng.uniform(-90, 90):.7f}" lon="{rng.uniform(-180, 180):.7f}" {meta()}'
            n = rng.choice((0, 0, 0, 0, 1, 2))
            item = f" <node {attrs}/>\n" if n == 0 else f" <node {attrs}>\n{tags(n)} </node>\n"
        else:
            refs = "".join(f'  <nd ref="{10**8 + rng.randint(0, i)}"/>\n' for _ in range(rng.randint(2, 6)))
            item = f' <way id="{10**7 + i}" {meta()}>\n{refs}{tags(rng.randint(1, 3))} </way>\n'
        parts.append(item)
        total += len(item.encode())
        i += 1
    parts.append("</osm>\n")
    return "".join(parts)


SHAPES = {
    "text-heavy": (text_heavy, "records", "record"),
    "attribute-dense": (attribute_dense, "table", "row"),
    "deeply-nested": (deeply_nested, "root", "n5"),
    "large-cdata": (large_cdata, "blobs", "blob"),
    "short-records": (short_records, "catalogue", "title"),
    "tiny-text": (tiny_text, "dictionary", "meaning"),
    "map-data": (map_data, "osm", "tag"),
}

# The shapes where the cost per element dominates: the instruction counts are taken on these.
ELEMENT_DENSE = ("short-records", "tiny-text", "map-data")
