// viz/frame/text.h: str objects as views for the text kernels, the escapings pages need, and
// base64 text.
#pragma once

#include "ref.h"

#include "kernels/page.h"

namespace nivra {

/// A read-only view of a str's code points for the text kernels; never raises.
kernels::Text text_of(PyObject* s) noexcept;

/// `text` (a str) with & < > " ' written as &amp; &lt; &gt; &quot; &#x27; in one
/// pass; the same object when it has none of them. Raises MemoryError or OverflowError.
Ref escape_html(Ref text);

/// JSON text (a str) made safe inside a <script> element: < > & U+2028 U+2029 written
/// as \u escapes (and, with JsonBraces::InStrings, every { inside a string literal as
/// \u007b, so no placeholder occurs in it). The same document; the same object when
/// nothing needs escaping. Raises MemoryError or OverflowError.
Ref escape_json_for_script(PyObject* json, kernels::JsonBraces braces);

/// The base64 text of n bytes, written straight into a new ASCII str (with the interpreter
/// lock released for large inputs). Raises MemoryError or OverflowError.
Ref base64_str(const unsigned char* bytes, std::size_t n);

}  // namespace nivra
