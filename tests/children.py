"""Child processes of the tests."""
import subprocess

# LeakSanitizer's own tracer (the process that stops every thread for the leak check at
# exit) has been seen to crash, rarely, in children that load many libraries: that is the
# checker failing, not a finding, so such a child is run once more.
_TRACER_CRASH = "LeakSanitizer has encountered a fatal error"


def run_child(args, **kwargs) -> subprocess.CompletedProcess:
    """subprocess.run with captured text output, run again once if the leak checker's
    tracer crashed at the child's exit."""
    kwargs.setdefault("capture_output", True)
    kwargs.setdefault("text", True)
    proc = subprocess.run(args, **kwargs)
    if proc.returncode != 0 and _TRACER_CRASH in (proc.stderr or ""):
        proc = subprocess.run(args, **kwargs)
    return proc
