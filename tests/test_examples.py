"""examples/many_files.py: the thread pool gives the same results as one thread and as a
direct parse, the script runs end to end, and (when Dask's `distributed` is installed, the
`examples` extra) worker processes send back the same plain data."""

import importlib.util
import pathlib
import subprocess
import sys

import pytest

import tessary

EXAMPLE = pathlib.Path(__file__).resolve().parent.parent / "examples" / "many_files.py"


@pytest.fixture(scope="module")
def many_files():
    spec = importlib.util.spec_from_file_location("many_files", EXAMPLE)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def folder(tmp_path_factory, many_files):
    path = tmp_path_factory.mktemp("catalogs")
    return path, [str(p) for p in many_files.write_sample(path, files=6, books=150)]


def test_sample_files_parse_and_summaries_are_right(many_files, folder):
    _, paths = folder
    s = many_files.summarise(paths[2])
    assert s["file"] == "catalog-0002.xml"
    assert s["books"] == 150
    assert s["authors"] == 97
    assert s["total_price"] == round(sum(float(f"{(b * 7) % 100}.{b % 100:02d}") for b in range(150)), 2)
    # Text with entities and multi-byte characters comes back decoded.
    assert s["first_title"] == "Band 0 – Größe & Maß"
    book = many_files.first_book(paths[0])
    assert book["name"] == "book" and book["attrs"] == {"id": "b0-0", "lang": "en"}
    assert [c["name"] for c in book["children"]] == ["title", "author", "price", "notes"]
    assert book["children"][3]["text"] == "free text <0>"
    # The dict crosses back into a tree equal to the original subtree (attribute order is a
    # hash map's, so the trees are compared as dicts).
    original = tessary.read_file(paths[0], "catalog").children[0]
    rebuilt = tessary.Node.from_dict(book)
    assert rebuilt.to_dict() == original.to_dict() == book
    assert len(tessary.write_string(rebuilt)) == len(tessary.write_string(original))


def test_thread_pool_matches_one_thread(many_files, folder):
    _, paths = folder
    one = many_files.run_threads(paths, 1)
    assert [s["file"] for s in one] == [pathlib.Path(p).name for p in paths]
    for workers in (2, 4, 16):
        assert many_files.run_threads(paths, workers) == one


def test_errors_reach_the_caller_from_the_pool(many_files, tmp_path):
    good = tmp_path / "good.xml"
    good.write_text("<catalog><book/></catalog>", encoding="utf-8")
    bad = tmp_path / "bad.xml"
    bad.write_text("<catalog><book></catalog>", encoding="utf-8")
    with pytest.raises(ValueError, match="malformed XML at byte"):
        many_files.run_threads([str(good), str(bad)], 2)
    with pytest.raises(FileNotFoundError):
        many_files.run_threads([str(tmp_path / "missing.xml")], 2)


# The script's main() is run in this process (an emulated interpreter cannot start another).
def test_script_runs_on_a_folder_and_prints_the_speed_up(many_files, folder, capsys):
    path, _ = folder
    assert many_files.main([str(path), "--workers", "2", "--no-dask"]) == 0
    out = capsys.readouterr().out
    assert "6 files" in out
    assert "speed-up" in out and "900 books" in out


def test_script_reports_an_empty_folder(many_files, tmp_path, capsys):
    assert many_files.main([str(tmp_path), "--no-dask"]) == 1
    assert "no .xml files" in capsys.readouterr().err


def test_dask_workers_return_the_same_plain_data(many_files, folder):
    pytest.importorskip("distributed", reason="Dask not installed: pip install '.[examples]'")
    _, paths = folder
    summaries, books = many_files.run_dask(paths, 2)
    assert summaries == many_files.run_threads(paths, 2)
    assert books == [many_files.first_book(p) for p in paths[:4]]


def test_script_runs_the_dask_job(folder):
    pytest.importorskip("distributed", reason="Dask not installed: pip install '.[examples]'")
    path, _ = folder
    # Run as a script: the functions travel to the workers by value.
    r = subprocess.run([sys.executable, str(EXAMPLE), str(path), "--workers", "2"],
                       capture_output=True, text=True, timeout=600)
    assert r.returncode == 0, r.stderr
    assert "same results as the threads" in r.stdout
    assert "first book from a worker: b0-0: Band 0 – Größe & Maß" in r.stdout
