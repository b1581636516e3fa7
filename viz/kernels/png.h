// viz/kernels/png.h: PNG files of 8-bit RGB images, compressed by libdeflate.
#pragma once

#include <cstddef>

namespace nivra::kernels {

/// The libdeflate level spike images are written with. Event images are mostly
/// zeros with isolated values: at level 2 they come within a few per cent of
/// zlib's level 6 in size; level 1 is barely faster on dense images and twice
/// as slow on sparse ones (its match finder crawls through long zero runs).
/// Rows stay unfiltered: on such images every PNG filter makes the data larger.
inline constexpr int kPngLevel = 2;

/// Bytes png_encode_rgb8 may write for a width x height image; 0 when it
/// cannot be written as one file of one IDAT chunk here (either side 0 or
/// above 2^31 - 1, or more than 2^31 - 1 bytes of compressed data).
std::size_t png_rgb8_bound(std::size_t width, std::size_t height) noexcept;

/// Writes the PNG file (signature, IHDR, one IDAT, IEND) of a row-major RGB image,
/// 3 bytes a pixel and rows packed, into out (png_rgb8_bound bytes, nonzero),
/// every row unfiltered. `level` is libdeflate's, 0 (stored) to 12. Returns the
/// file's length, or 0 when memory ran out.
[[nodiscard]] std::size_t png_encode_rgb8(const unsigned char* pixels, std::size_t width, std::size_t height,
                                          unsigned char* out, int level = kPngLevel) noexcept;

}  // namespace nivra::kernels
