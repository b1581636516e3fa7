// viz/kernels/memory.cpp: page hints and zero-page mappings for large output buffers.
#include "memory.h"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace nivra::kernels {
namespace {

constexpr std::uintptr_t kHuge = std::uintptr_t{1} << 21;

}  // namespace

void prefer_huge_pages(void* data, std::size_t size) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (size < 4 * kHuge) return;
    const std::uintptr_t begin = (reinterpret_cast<std::uintptr_t>(data) + kHuge - 1) & ~(kHuge - 1);
    const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(data) + size) & ~(kHuge - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);  // a hint: errors are harmless
#else
    (void)data;
    (void)size;
#endif
}

bool map_zero_pages(std::size_t size, ZeroPages* out) noexcept {
#if defined(__linux__)
    // Room for the data rounded up to whole huge pages, starting on a huge-page
    // boundary somewhere in the first 2 MiB.
    if (size == 0 || size > SIZE_MAX / 2) return false;
    const std::size_t rounded = (size + kHuge - 1) & ~(kHuge - 1);
    const std::size_t map_size = rounded + kHuge;
    void* map = mmap(nullptr, map_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED) return false;
    const std::uintptr_t data = (reinterpret_cast<std::uintptr_t>(map) + kHuge - 1) & ~(kHuge - 1);
#if defined(MADV_HUGEPAGE)
    madvise(reinterpret_cast<void*>(data), rounded, MADV_HUGEPAGE);  // a hint: errors are harmless
#endif
    out->data = reinterpret_cast<void*>(data);
    out->size = size;
    out->map = map;
    out->map_size = map_size;
    return true;
#else
    (void)size;
    (void)out;
    return false;
#endif
}

void unmap_zero_pages(const ZeroPages& pages) noexcept {
#if defined(__linux__)
    if (pages.map) munmap(pages.map, pages.map_size);
#else
    (void)pages;
#endif
}

}  // namespace nivra::kernels
