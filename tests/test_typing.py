"""The type stubs of the five modules: mypy --strict accepts a script that uses every public
function, and every function's stub matches the signature the module itself reports."""
import ast
import re
import importlib
import importlib.util
import subprocess
import sys
from pathlib import Path

import pytest

import nivra.viz

HERE = Path(__file__).parent
MODULES = ["encode", "serialize", "render", "compiled", "spikes"]
PACKAGE_DIR = Path(nivra.viz.__file__).parent


def test_stubs_and_marker_are_installed():
    for name in MODULES:
        assert (PACKAGE_DIR / f"{name}.pyi").is_file(), name
    assert (PACKAGE_DIR / "py.typed").is_file()
    assert (PACKAGE_DIR.parent / "py.typed").is_file()  # nivra.ir is typed too


def _stub_signatures(name):
    """Function name to the signature text of its stub, written the way the module's own
    signature line writes it, but without the type words of typed parameters."""
    tree = ast.parse((PACKAGE_DIR / f"{name}.pyi").read_text(encoding="utf-8"))
    out = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            text = ast.unparse(node).splitlines()[0]
            text = text.removeprefix("def ").removesuffix(": ...").rstrip(":")
            out[node.name] = re.sub(r"\s*=\s*", " = ", text)
    return out


def _doc_signature(func):
    """The signature line at the head of a function's docstring, with the type words of
    typed parameters ("str name: str" becomes "name: str") dropped."""
    line = func.__doc__.splitlines()[0]
    for word in ("int", "str", "bool", "dict", "tuple"):
        line = line.replace(f"({word} ", "(").replace(f", {word} ", ", ")
    return line


@pytest.mark.parametrize("name", MODULES)
def test_stub_matches_module(name):
    if importlib.util.find_spec(f"nivra.viz.{name}") is None:
        pytest.skip(f"nivra.viz.{name} not built yet")
    module = importlib.import_module(f"nivra.viz.{name}")
    stubs = _stub_signatures(name)
    functions = {n: f for n, f in vars(module).items()
                 if callable(f) and getattr(f, "__module__", None) == module.__name__
                 and not isinstance(f, type)}
    assert set(stubs) == set(functions)
    for fname, func in functions.items():
        assert stubs[fname] == _doc_signature(func), fname


@pytest.mark.slow
def test_mypy_strict_accepts_sample_usage_and_the_command_line(tmp_path):
    # Only the stubs are read, so this runs before the modules are built as well.
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed")
    for target in ([str(HERE / "typing" / "sample_usage.py")], ["-m", "nivra.viz.cli"]):
        res = subprocess.run(
            [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
             *target], capture_output=True, text=True, cwd=tmp_path)
        assert res.returncode == 0, res.stdout + res.stderr
