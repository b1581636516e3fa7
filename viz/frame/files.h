// viz/frame/files.h: templates read and pages written as UTF-8 text, through Python's
// own path and file objects.
#pragma once

#include "ref.h"

namespace nivra {

/// path.read_text(encoding="utf-8") on a path object; raises on error.
Ref read_text_utf8(PyObject* path);

/// path_type(file).parent / "templates": the template directory beside a module
/// file, through the module's own Path and __file__; raises on error.
Ref templates_beside(PyObject* path_type, PyObject* file);

/// `with open(path, "w", encoding="utf-8") as f: f.write(text)`: the one way pages are
/// written. `path` is anything open() takes; an existing file is replaced, the file is
/// closed on every path out. Raises on error.
void write_text_utf8(PyObject* path, PyObject* text);

/// The same into a new file of `tempfile`.NamedTemporaryFile(mode="w", suffix=suffix,
/// delete=False, encoding="utf-8"), which stays after closing; returns its name. Raises
/// on error (a file made before a failed write is left behind, closed).
Ref write_temp_utf8(PyObject* tempfile, const char* suffix, PyObject* text);

}  // namespace nivra
