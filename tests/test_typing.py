"""The shipped type stubs and package metadata: stubtest agrees with the runtime, a user-style
script passes `mypy --strict`, a script of wrong uses is rejected line by line, and the
installed distribution carries the stubs, the licence and its classifiers."""

import ast
import importlib.metadata
import pathlib
import re
import subprocess
import sys
import tomllib

import pytest

import tessary

HERE = pathlib.Path(__file__).resolve().parent
REPO = HERE.parent
TYPING = HERE / "typing"
SIX = ["SearchType", "Node", "read_file", "read_string", "write_file", "write_string"]


def installed_distribution():
    """The distribution the imported module belongs to; a build used in place (a sanitizer
    build on the path, say) has none, and the packaging checks skip."""
    try:
        dist = importlib.metadata.distribution("tessary")
    except importlib.metadata.PackageNotFoundError:
        dist = None
    module = pathlib.Path(tessary.__file__).resolve()
    if dist is None or not any(pathlib.Path(dist.locate_file(f)).resolve() == module
                               for f in dist.files or ()):
        pytest.skip("tessary is not imported from an installed distribution")
    return dist


def installed_stub() -> pathlib.Path:
    dist = installed_distribution()
    for f in dist.files or ():
        if str(f).replace("\\", "/") == "tessary-stubs/__init__.pyi":
            return pathlib.Path(dist.locate_file(f))
    pytest.fail("the installed distribution has no tessary-stubs/__init__.pyi")


def stub_tree() -> ast.Module:
    return ast.parse(installed_stub().read_text(encoding="utf-8"))


@pytest.fixture(scope="module")
def mypy(tmp_path_factory):
    """Runs mypy from a folder without the sources, with one cache for the whole module."""
    pytest.importorskip("mypy", reason="mypy not installed: pip install '.[typing]'")
    cache = tmp_path_factory.mktemp("mypy-cache")
    cwd = tmp_path_factory.mktemp("mypy-run")

    def run(module, *args):
        extra = ["--cache-dir", str(cache)] if module == "mypy" else []
        return subprocess.run([sys.executable, "-m", module, *extra, *args], cwd=cwd,
                              capture_output=True, text=True, timeout=600)

    return run


def test_module_has_exactly_six_names():
    # The stub adds no name to the module: only the six and module dunders exist at runtime.
    assert tessary.__all__ == SIX
    assert sorted(n for n in dir(tessary) if not n.startswith("__")) == sorted(SIX)
    assert not hasattr(tessary, "__version__")


def test_stub_matches_the_module():
    tree = stub_tree()
    # The installed stub is the repository's.
    assert installed_stub().read_bytes() == (REPO / "tessary-stubs" / "__init__.pyi").read_bytes()
    all_assign = [n for n in tree.body if isinstance(n, ast.Assign)
                  and any(isinstance(t, ast.Name) and t.id == "__all__" for t in n.targets)]
    assert len(all_assign) == 1 and ast.literal_eval(all_assign[0].value) == SIX == tessary.__all__
    public = {n.name for n in tree.body if isinstance(n, (ast.FunctionDef, ast.ClassDef))
              and not n.name.startswith("_")}
    assert public == set(SIX)


def test_every_public_stub_definition_is_documented():
    undocumented = []

    def visit(body, prefix):
        for n in body:
            if isinstance(n, (ast.FunctionDef, ast.ClassDef)):
                if not ast.get_docstring(n):
                    undocumented.append(prefix + n.name)
                if isinstance(n, ast.ClassDef):
                    visit(n.body, prefix + n.name + ".")

    visit(stub_tree().body, "")
    assert undocumented == []
    # The runtime keeps text signatures only; the stub is where the documentation is.
    assert tessary.read_string.__doc__ is None
    assert tessary.read_string.__text_signature__ == "(xml_string, root_tag)"


def test_stubtest_agrees_with_the_runtime(mypy):
    r = mypy("mypy.stubtest", "tessary", "--allowlist", str(HERE / "stubtest-allowlist.txt"))
    assert r.returncode == 0, r.stdout + r.stderr


def test_user_script_passes_strict_mypy(mypy):
    r = mypy("mypy", "--strict", str(TYPING / "good_usage.py"))
    assert r.returncode == 0, r.stdout + r.stderr


def test_wrong_uses_are_rejected_line_by_line(mypy):
    path = TYPING / "bad_usage.py"
    r = mypy("mypy", "--strict", str(path))
    assert r.returncode == 1, r.stdout + r.stderr
    lines = path.read_text(encoding="utf-8").splitlines()
    expected = {i for i, line in enumerate(lines, 1) if line.rstrip().endswith("# error")}
    reported = {int(m.group(1)) for m in re.finditer(r"bad_usage\.py:(\d+): error:", r.stdout)}
    assert expected and reported == expected, r.stdout


def test_distribution_metadata():
    dist = installed_distribution()
    project = tomllib.loads((REPO / "pyproject.toml").read_text(encoding="utf-8"))["project"]
    assert importlib.metadata.version("tessary") == project["version"]
    meta = dist.metadata
    classifiers = meta.get_all("Classifier") or []
    for wanted in ("Operating System :: POSIX :: Linux", "Programming Language :: C++",
                   "Typing :: Typed", "Programming Language :: Python :: 3.11",
                   "Programming Language :: Python :: 3.13"):
        assert wanted in classifiers
    assert "xml" in (meta.get("Keywords") or "").split(",")
    assert meta.get("License-Expression") == "MIT"
    names = {str(f).replace("\\", "/") for f in dist.files or ()}
    licence = [n for n in names if n.endswith("licenses/LICENSE")]
    assert licence, sorted(names)
    text = pathlib.Path(dist.locate_file(licence[0])).read_text(encoding="utf-8")
    assert text == (REPO / "LICENSE").read_text(encoding="utf-8")
    assert text.startswith("MIT License")
    # Nothing at run time is required.
    assert not dist.requires or all("extra ==" in r for r in dist.requires)
