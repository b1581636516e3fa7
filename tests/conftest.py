"""Shared fixtures for the nivra.viz test suite."""
import subprocess
import sys
import textwrap

import pytest


@pytest.fixture
def run_python():
    """Runs a snippet in a fresh interpreter and returns its stdout (asserting success)."""

    def run(code: str, expect_ok: bool = True) -> str:
        proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                              capture_output=True, text=True, timeout=120)
        if expect_ok:
            assert proc.returncode == 0, proc.stderr
        return proc.stdout + proc.stderr

    return run
