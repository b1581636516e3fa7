"""The README's quick start works as written: its shell commands and its Python code run
(in a scratch directory) and leave the pages they promise."""
import importlib.util
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from children import run_child

README = Path(__file__).resolve().parent.parent / "README.md"
MODULES = ["encode", "serialize", "render", "compiled", "spikes"]


def quick_start_blocks(lang):
    text = README.read_text(encoding="utf-8")
    match = re.search(r"^## Quick start\n(.*?)(?=^## )", text, re.S | re.M)
    assert match, "README has no Quick start section"
    return re.findall(rf"^```{lang}\n(.*?)^```", match.group(1), re.S | re.M)


@pytest.fixture
def scratch(tmp_path):
    missing = [m for m in MODULES if importlib.util.find_spec(f"nivra.viz.{m}") is None]
    if missing:
        pytest.skip(f"modules not built yet: {', '.join(missing)}")
    env = dict(os.environ)
    env["PATH"] = str(Path(sys.executable).parent) + os.pathsep + env.get("PATH", "")
    env.pop("PYTHONPATH", None)
    return tmp_path, env


def test_quick_start_has_commands():
    sh = quick_start_blocks("sh")
    assert sh and "nivra-viz demo" in sh[0]
    used = set(re.findall(r"^nivra-viz (\w+)", "\n".join(sh), re.M))
    assert used == {"demo", "graph", "partition", "schedule", "events", "frames"}
    assert quick_start_blocks("python")


def test_quick_start_shell_commands_run(scratch):
    cwd, env = scratch
    for block in quick_start_blocks("sh"):
        res = run_child(["bash", "-euo", "pipefail", "-c", block], cwd=cwd, env=env,
                        timeout=600)
        assert res.returncode == 0, block + "\n" + res.stdout + res.stderr
        for page in re.findall(r"-o (out/\S+\.html)", block):
            assert (cwd / page).stat().st_size > 500, page
    for page in ("graph", "partition", "schedule", "events", "frames"):
        assert (cwd / "out" / f"{page}.html").exists()


def test_quick_start_python_runs(scratch):
    cwd, env = scratch
    for block in quick_start_blocks("python"):
        res = run_child([sys.executable, "-c", block], cwd=cwd, env=env, timeout=600)
        assert res.returncode == 0, block + "\n" + res.stdout + res.stderr
    for page in ("my_model", "my_cores", "my_timeline", "my_events"):
        assert (cwd / "out" / f"{page}.html").stat().st_size > 500, page


def test_quick_start_output_is_what_the_command_prints(scratch):
    """The output the quick start shows for its window page: the summary and the warning
    word for word, the page line up to its size."""
    cwd, env = scratch
    text = README.read_text(encoding="utf-8")
    match = re.search(r"^## Quick start\n(.*?)(?=^## )", text, re.S | re.M)
    shown = re.findall(r"^```text\n(.*?)^```", match.group(1), re.S | re.M)
    assert shown, "the quick start shows no command output"
    summary, page, warning = shown[0].splitlines()
    command = next(line for line in quick_start_blocks("sh")[0].splitlines()
                   if line.startswith("nivra-viz events") and "out/window.html" in line)
    subprocess.run(["nivra-viz", "demo", "-o", "out"], cwd=cwd, env=env, check=True,
                   capture_output=True)
    res = run_child(command.split(), cwd=cwd, env=env)
    assert res.returncode == 0, res.stderr
    out = res.stdout.splitlines()
    assert out[0] == summary and res.stderr.splitlines() == [warning]
    assert re.fullmatch(r"out/window\.html \(\d+(\.\d)? kB\)", page) and out[1].startswith("out/window.html (")
