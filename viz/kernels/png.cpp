// viz/kernels/png.cpp: the PNG container around a libdeflate zlib stream.
#include "png.h"

#include <libdeflate.h>

#include <cstdint>
#include <cstring>
#include <memory>

namespace nivra::kernels {
namespace {

constexpr unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
constexpr std::size_t kMax31 = 0x7fffffff;  // widths, heights and chunk lengths are 31-bit
// Signature, IHDR (12 + 13), the IDAT frame (12) and IEND (12).
constexpr std::size_t kFrameBytes = 8 + 25 + 12 + 12;

void put32(unsigned char* p, std::uint32_t v) noexcept {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

// A chunk whose type and data are already at p + 4: writes the length in front
// and the CRC of type and data behind; returns the end of the chunk.
unsigned char* close_chunk(unsigned char* p, std::size_t data_len) noexcept {
    put32(p, static_cast<std::uint32_t>(data_len));
    put32(p + 8 + data_len, libdeflate_crc32(0, p + 4, 4 + data_len));
    return p + 12 + data_len;
}

// Bytes of the scanlines: a filter-type byte in front of every row.
bool scanline_bytes(std::size_t width, std::size_t height, std::size_t* out) noexcept {
    std::size_t row = 0;
    return !__builtin_mul_overflow(width, std::size_t{3}, &row) && !__builtin_add_overflow(row, std::size_t{1}, &row) &&
           !__builtin_mul_overflow(row, height, out);
}

struct FreeCompressor {
    void operator()(libdeflate_compressor* c) const noexcept { libdeflate_free_compressor(c); }
};

}  // namespace

std::size_t png_rgb8_bound(std::size_t width, std::size_t height) noexcept {
    std::size_t raw = 0;
    if (width == 0 || height == 0 || width > kMax31 || height > kMax31 || !scanline_bytes(width, height, &raw))
        return 0;
    const std::size_t zbound = libdeflate_zlib_compress_bound(nullptr, raw);
    if (zbound < raw || zbound > kMax31) return 0;
    return kFrameBytes + zbound;
}

std::size_t png_encode_rgb8(const unsigned char* pixels, std::size_t width, std::size_t height, unsigned char* out,
                            int level) noexcept {
    const std::size_t bound = png_rgb8_bound(width, height);
    std::size_t raw = 0;
    if (bound == 0 || !scanline_bytes(width, height, &raw)) return 0;
    // Filter type 0 (none) in front of each row.
    std::unique_ptr<unsigned char[]> lines(new (std::nothrow) unsigned char[raw]);
    if (!lines) return 0;
    const std::size_t row = width * 3;
    for (std::size_t y = 0; y < height; ++y) {
        unsigned char* line = lines.get() + y * (row + 1);
        line[0] = 0;
        std::memcpy(line + 1, pixels + y * row, row);
    }
    std::unique_ptr<libdeflate_compressor, FreeCompressor> compressor(libdeflate_alloc_compressor(level));
    if (!compressor) return 0;

    unsigned char* p = out;
    std::memcpy(p, kSignature, sizeof kSignature);
    p += sizeof kSignature;
    std::memcpy(p + 4, "IHDR", 4);
    put32(p + 8, static_cast<std::uint32_t>(width));
    put32(p + 12, static_cast<std::uint32_t>(height));
    // 8 bits a sample, truecolour, deflate, the standard filter set, no interlace.
    const unsigned char ihdr_tail[5] = {8, 2, 0, 0, 0};
    std::memcpy(p + 16, ihdr_tail, sizeof ihdr_tail);
    p = close_chunk(p, 13);

    std::memcpy(p + 4, "IDAT", 4);
    const std::size_t z = libdeflate_zlib_compress(compressor.get(), lines.get(), raw, p + 8, bound - kFrameBytes);
    if (z == 0) return 0;  // not with the bound's room
    p = close_chunk(p, z);

    std::memcpy(p + 4, "IEND", 4);
    p = close_chunk(p, 0);
    return static_cast<std::size_t>(p - out);
}

}  // namespace nivra::kernels
