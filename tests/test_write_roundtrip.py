"""Documents read, written and read back give the same tree: every CLDR file and every
accepted file of the XML conformance suite."""

import os
import xml.parsers.expat

import pytest

import tessary
from support import (
    CLDR_FILE_COUNTS, cldr_files, cldr_params, cldr_version, conformance_files,
    flatten, needs_cldr,
)


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


@pytest.mark.parametrize("path", cldr_params())
def test_cldr(path):
    check_round_trip(path)


@pytest.mark.parametrize("path", conformance_files("accept"), ids=os.path.basename)
def test_conformance_accept(path, tmp_path):
    check_round_trip(path, tmp_path)


def test_corpora_present():
    assert len(conformance_files("accept")) == 211


@needs_cldr
def test_cldr_corpus_complete():
    # Every file of a release whose count is known; of another release, at least as many as
    # the corpus test asks for.
    expected = CLDR_FILE_COUNTS.get(cldr_version())
    if expected is None:
        assert len(cldr_files()) >= 2000
    else:
        assert len(cldr_files()) == expected
