"""The wheel: built from this checkout, installed into a fresh virtual environment, it holds
the modules, templates and stubs and runs the demo from there."""
import importlib.util
import os
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
MODULES = ["encode", "serialize", "render", "compiled", "spikes"]
PAGES = ["graph.html", "partition.html", "schedule.html", "events.html", "frames.html"]

pytestmark = pytest.mark.slow


def _run(cmd, **kwargs):
    res = subprocess.run([str(c) for c in cmd], capture_output=True, text=True,
                         timeout=600, **kwargs)
    assert res.returncode == 0, f"{cmd}\n{res.stdout[-3000:]}\n{res.stderr[-3000:]}"
    return res


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    missing = [m for m in MODULES if importlib.util.find_spec(f"nivra.viz.{m}") is None]
    if missing:
        pytest.skip(f"modules not built yet: {', '.join(missing)}")
    dist = tmp_path_factory.mktemp("dist")
    _run([sys.executable, "-m", "pip", "wheel", ROOT, "--no-deps", "--no-build-isolation",
          "-q", "-w", dist], cwd=ROOT)
    wheels = list(dist.glob("nivra_viz-*.whl"))
    assert len(wheels) == 1, wheels
    return wheels[0]


def test_wheel_contents(wheel):
    with zipfile.ZipFile(wheel) as zf:
        names = zf.namelist()
        entry_points = next(zf.read(n).decode() for n in names
                            if n.endswith(".dist-info/entry_points.txt"))
        metadata = next(zf.read(n).decode() for n in names if n.endswith(".dist-info/METADATA"))
    for module in MODULES:
        assert any(n.startswith(f"nivra/viz/{module}.") and n.endswith(".so") for n in names), \
            module
        assert f"nivra/viz/{module}.pyi" in names
    for name in ("nivra/viz/py.typed", "nivra/py.typed", "nivra/viz/templates/viewer.html",
                 "nivra/viz/templates/spikes.html", "nivra/viz/templates/timeline.html",
                 "nivra/viz/timeline.py", "nivra/viz/cli.py",
                 "nivra/viz/__main__.py", "nivra/ir/storage.py", "nivra/viz/samples.py"):
        assert name in names, name
    assert "nivra-viz = nivra.viz.cli:main" in entry_points
    for line in ("Name: nivra-viz", "Requires-Dist: numpy", "Requires-Dist: pillow>=9.0",
                 "Provides-Extra: tonic", "Requires-Python: "):
        assert line in metadata, line


def test_installed_wheel_runs_the_demo(wheel, tmp_path):
    venv = tmp_path / "venv"
    _run([sys.executable, "-m", "venv", venv])
    pip = [venv / "bin" / "python", "-m", "pip", "--disable-pip-version-check", "-q"]
    # numpy and pillow come from the package index, as for any user
    _run([*pip, "install", wheel], cwd=tmp_path)
    out = tmp_path / "out"
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME")}
    res = _run([venv / "bin" / "nivra-viz", "demo", "-o", out], cwd=tmp_path, env=env)
    # the pages come first (a NIR page only where the optional nir is installed), then the inputs
    assert [line.split()[0] for line in res.stdout.splitlines()][:5] == [str(out / p) for p in PAGES]
    for page in PAGES:
        text = (out / page).read_text(encoding="utf-8")
        assert text.lstrip().lower().startswith("<!doctype html>"), page
    # the code that ran is the installed copy, not this checkout
    res = _run([venv / "bin" / "python", "-c",
                "import nivra.viz.spikes as s, nivra.viz.cli as c; print(s.__file__, c.__file__)"],
               cwd=tmp_path, env=env)
    assert str(ROOT) not in res.stdout and str(venv) in res.stdout
