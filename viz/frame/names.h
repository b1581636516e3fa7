// viz/frame/names.h: interned attribute and global names, made once per process.
#pragma once

#include "error.h"

namespace nivra {

/// An interned str made on first use and kept for the life of the process.
/// Compare by equality, not by pointer: callers may pass names built at run time.
class Name {
public:
    constexpr explicit Name(const char* text) noexcept : text_(text) {}
    /// The interned str (borrowed); raises MemoryError on first use only.
    PyObject* get() const {
        if (!obj_) {
            obj_ = PyUnicode_InternFromString(text_);
            if (!obj_) throw PythonError{};
        }
        return obj_;
    }
    const char* text() const noexcept { return text_; }

private:
    const char* text_;
    mutable PyObject* obj_ = nullptr;
};

}  // namespace nivra
