// viz/kernels/base64.h: standard base64 (RFC 4648, '+' '/', '=' padding, no line breaks).
#pragma once

#include <cstddef>

namespace nivra::kernels {

/// Characters needed for n input bytes.
constexpr std::size_t base64_length(std::size_t n) noexcept { return (n + 2) / 3 * 4; }

/// Encodes n bytes into out, which has room for `room` characters (no
/// terminator is written). Every kernel writes exactly base64_length(n)
/// characters, so a room of any other size is refused up front: false, and
/// nothing written. Uses the fastest kernel this CPU has, chosen once.
[[nodiscard]] bool base64_encode(const unsigned char* in, std::size_t n, char* out, std::size_t room) noexcept;

/// The portable kernel every other one must match byte for byte.
void base64_encode_scalar(const unsigned char* in, std::size_t n, char* out) noexcept;

/// The name of the kernel base64_encode uses on this CPU ("avx2", "ssse3", "scalar").
const char* base64_kernel() noexcept;

}  // namespace nivra::kernels
