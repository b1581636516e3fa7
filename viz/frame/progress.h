// viz/frame/progress.h: the progress hook that long stages report to (nivra.viz._progress).
#pragma once

#include "ref.h"

namespace nivra {

/// Calls the progress callback set by nivra.viz._progress.reporting, when one is set in
/// this context: callback(stage, done, total). Without one it costs a dictionary lookup
/// (two when the Python module is imported). Raises what the callback raises.
void report_progress(const char* stage, Py_ssize_t done, Py_ssize_t total);

}  // namespace nivra
