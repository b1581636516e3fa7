// viz/frame/text.cpp: str views and the escapings shared by the page-writing modules.
#include "text.h"

#include "error.h"

#include "kernels/base64.h"
#include "kernels/memory.h"

namespace nivra {

kernels::Text text_of(PyObject* s) noexcept {
    return {PyUnicode_DATA(s), static_cast<std::size_t>(PyUnicode_GET_LENGTH(s)),
            static_cast<int>(PyUnicode_KIND(s)), static_cast<std::uint32_t>(PyUnicode_MAX_CHAR_VALUE(s))};
}

Ref escape_html(Ref text) {
    const kernels::Text t = text_of(text.get());
    const std::size_t n = kernels::html_escaped_length(t);
    if (n == t.length) return text;
    if (n > static_cast<std::size_t>(PY_SSIZE_T_MAX)) raise(PyExc_OverflowError, "text too long to escape");
    Ref out = new_ref(PyUnicode_New(static_cast<Py_ssize_t>(n), t.max_char));
    if (!kernels::escape_html(t, PyUnicode_DATA(out.get()), n))
        raise(PyExc_SystemError, "escaped text length differs from its plan");
    return out;
}

Ref escape_json_for_script(PyObject* json, kernels::JsonBraces braces) {
    const kernels::Text t = text_of(json);
    const kernels::JsonEscapeInfo info = kernels::json_escape_info(t, braces);
    if (info.length == t.length)
        return PyUnicode_CheckExact(json) ? Ref::borrow(json) : new_ref(PyUnicode_FromObject(json));
    if (info.length > static_cast<std::size_t>(PY_SSIZE_T_MAX)) raise(PyExc_OverflowError, "text too long to escape");
    Ref out = new_ref(PyUnicode_New(static_cast<Py_ssize_t>(info.length), info.max_char));
    if (!kernels::escape_json(t, braces, PyUnicode_DATA(out.get()), PyUnicode_KIND(out.get()), info.length))
        raise(PyExc_SystemError, "escaped text length differs from its plan");
    return out;
}

Ref base64_str(const unsigned char* bytes, std::size_t n) {
    constexpr std::size_t kReleaseGilBytes = 1 << 16;
    const std::size_t len = kernels::base64_length(n);
    if (len > static_cast<std::size_t>(PY_SSIZE_T_MAX)) raise(PyExc_OverflowError, "too many bytes to encode");
    Ref text = new_ref(PyUnicode_New(static_cast<Py_ssize_t>(len), 127));
    char* out = static_cast<char*>(PyUnicode_DATA(text.get()));
    bool done;
    {
        ReleaseGil nogil(n >= kReleaseGilBytes);
        kernels::prefer_huge_pages(out, len);
        done = kernels::base64_encode(bytes, n, out, len);
    }
    if (!done) raise(PyExc_SystemError, "base64 text length differs from its plan");
    return text;
}

}  // namespace nivra
