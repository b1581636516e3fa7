"""Module creation and execution: one module object per process, attributes, failures."""
import importlib
import sys

import pytest

MODULES = {
    "encode": "Array encoding utilities for nivra.viz.",
    "serialize": "Graph serialization for nivra.viz.",
    "render": "HTML rendering for nivra.viz.",
    "compiled": "Visualization for compiled/partitioned NIVRA IR graphs.",
    "spikes": "Spike and event visualization for nivra.viz.",
}


@pytest.mark.parametrize("name", MODULES)
def test_module_attributes(name):
    mod = pytest.importorskip(f"nivra.viz.{name}")
    assert mod.__doc__.split("\n")[0] == MODULES[name]
    assert mod.__name__ == f"nivra.viz.{name}"
    assert mod.__package__ == "nivra.viz"
    assert mod.__file__.endswith(".so") and mod.__loader__ is not None
    assert mod.__test__ == {}
    assert sys.modules[f"nivra.viz.{name}"] is mod
    assert importlib.import_module(f"nivra.viz.{name}") is mod
    assert importlib.reload(mod) is mod


def test_second_module_object_is_refused(run_python):
    out = run_python("""
        import importlib.util
        spec = importlib.util.find_spec("nivra.viz.encode")
        first = importlib.util.module_from_spec(spec)
        second = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(first)
        try:
            spec.loader.exec_module(second)
        except RuntimeError as e:
            print(e)
        # once executed, creating again hands back the same object
        print(importlib.util.module_from_spec(spec) is first)
    """)
    assert "Module 'encode' has already been imported. Re-initialisation is not supported." in out
    assert "True" in out


def test_failed_body_can_be_retried(run_python):
    out = run_python("""
        import sys
        sys.modules["numpy"] = None
        try:
            import nivra.viz.encode
        except ImportError as e:
            print("first:", isinstance(e, ImportError))
        del sys.modules["numpy"]
        import nivra.viz.encode
        print("second:", nivra.viz.encode.format_size(2048))
    """)
    assert "first: True" in out and "second: 2.0 KB" in out


def test_other_interpreter_is_refused(run_python):
    out = run_python("""
        try:
            import _interpreters as interpreters
        except ImportError:
            try:
                import _xxsubinterpreters as interpreters
            except ImportError:
                print("SKIP"); raise SystemExit
        import nivra.viz.encode
        # a legacy interpreter shares the process's import state, so only our own check refuses
        try:
            iid = interpreters.create("legacy")
        except TypeError:
            iid = interpreters.create()
        try:
            print(interpreters.run_string(iid, "import nivra.viz.encode"))
        except Exception as e:
            print(e)
    """)
    if "SKIP" in out:
        pytest.skip("no subinterpreter support")
    ours = "Interpreter change detected - this module can only be loaded into one interpreter per process."
    # Without a legacy interpreter (3.12) the import system may refuse first, with its own words.
    assert ours in out or "does not support loading in subinterpreters" in out
