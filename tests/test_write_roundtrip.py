"""Documents read, written and read back give the same tree: every CLDR file and every
accepted file of the XML conformance suite."""

import csv
import pathlib
import xml.parsers.expat

import pytest

import tessary
from write_support import flatten, reader_available

pytestmark = pytest.mark.skipif(not reader_available(), reason="read_string is not available yet")

CLDR = pathlib.Path("/usr/share/unicode/cldr/common")
XMLCONF = pathlib.Path("/work/shared/data/xmlconf")


def cldr_files():
    return sorted(CLDR.rglob("*.xml")) if CLDR.is_dir() else []


def conformance_files():
    manifest = XMLCONF / "manifest.tsv"
    if not manifest.is_file():
        return []
    with open(manifest, newline="", encoding="utf-8") as f:
        rows = list(csv.DictReader(f, delimiter="\t"))
    return [XMLCONF / "xmlconf" / r["path"] for r in rows if r["use"] == "accept"]


class _Found(Exception):
    pass


def root_name(path):
    """The document element's name, as expat sees it (the DOCTYPE is skipped)."""
    parser = xml.parsers.expat.ParserCreate()

    def start(name, attrs):
        raise _Found(name)

    parser.StartElementHandler = start
    try:
        with open(path, "rb") as f:
            parser.ParseFile(f)
    except _Found as found:
        return found.args[0]
    raise AssertionError(f"no element in {path}")


def check_round_trip(path, tmp_path=None):
    root = root_name(path)
    first = tessary.read_file(str(path), root)
    expected = flatten(first)
    text = tessary.write_string(first)
    assert flatten(tessary.read_string(text, root)) == expected
    if tmp_path is not None:
        out = tmp_path / "out.xml"
        tessary.write_file(first, str(out), 0, False)
        assert flatten(tessary.read_file(str(out), root)) == expected


@pytest.mark.parametrize("path", cldr_files(), ids=lambda p: str(p.relative_to(CLDR)))
def test_cldr(path):
    check_round_trip(path)


@pytest.mark.parametrize("path", conformance_files(), ids=lambda p: p.name)
def test_conformance_accept(path, tmp_path):
    check_round_trip(path, tmp_path)


def test_corpora_present():
    assert len(cldr_files()) == 2039
    assert len(conformance_files()) == 211
