// viz/kernels/memory.h: hints to the OS about large buffers we are about to fill, and
// fresh zero-filled mappings for large outputs.
#pragma once

#include <cstddef>

namespace nivra::kernels {

/// Asks for transparent huge pages over the 2 MiB-aligned interior of a large
/// buffer that is about to be written once from start to end: a fresh
/// allocation otherwise takes one page fault per 4 KiB. A no-op where the
/// platform has no such hint or the buffer is small.
void prefer_huge_pages(void* data, std::size_t size) noexcept;

/// A private anonymous mapping whose `size` bytes from `data` read as zeros.
struct ZeroPages {
    void* data = nullptr;
    std::size_t size = 0;
    void* map = nullptr;  // what unmap_zero_pages gives back
    std::size_t map_size = 0;
};

/// Maps `size` bytes of fresh zero pages starting on a 2 MiB boundary, with huge
/// pages asked for over all of them. Nothing is touched: the OS zeroes each page
/// when it is first written, so an output filled in scattered order finds the page
/// it writes to just zeroed, in cache, instead of zeroed all at once beforehand
/// (and evicted again) as calloc does with reused memory. False where the platform
/// has no such mapping, or when it fails.
[[nodiscard]] bool map_zero_pages(std::size_t size, ZeroPages* out) noexcept;

/// Gives a mapping of map_zero_pages back.
void unmap_zero_pages(const ZeroPages& pages) noexcept;

}  // namespace nivra::kernels
