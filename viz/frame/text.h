// viz/frame/text.h: str objects as views for the text kernels, and HTML escaping of a str.
#pragma once

#include "ref.h"

#include "kernels/page.h"

namespace nivra {

/// A read-only view of a str's code points for the text kernels; never raises.
kernels::Text text_of(PyObject* s) noexcept;

/// `text` (a str) with & < > " ' written as &amp; &lt; &gt; &quot; &#x27; in one
/// pass; the same object when it has none of them. Raises MemoryError or OverflowError.
Ref escape_html(Ref text);

}  // namespace nivra
