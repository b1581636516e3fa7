// viz/kernels/memory.h: hints to the OS about large buffers we are about to fill.
#pragma once

#include <cstddef>

namespace nivra::kernels {

/// Asks for transparent huge pages over the 2 MiB-aligned interior of a large
/// buffer that is about to be written once from start to end: a fresh
/// allocation otherwise takes one page fault per 4 KiB. A no-op where the
/// platform has no such hint or the buffer is small.
void prefer_huge_pages(void* data, std::size_t size) noexcept;

}  // namespace nivra::kernels
