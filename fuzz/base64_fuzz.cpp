// fuzz/base64_fuzz.cpp: the dispatched base64 kernel equals the scalar one, byte for byte, and
// its text decodes back to the input with a decoder written here from the alphabet alone.
#include "kernels/base64.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int value_of(char c) {
    const char* p = static_cast<const char*>(std::memchr(kAlphabet, c, 64));
    return p ? static_cast<int>(p - kAlphabet) : -1;
}

// Strict RFC 4648 decoding: groups of four, '=' only as the final padding, zero spare bits.
bool decode(const char* text, std::size_t n, std::vector<unsigned char>& out) {
    if (n % 4) return false;
    for (std::size_t i = 0; i < n; i += 4) {
        const bool last = i + 4 == n;
        const int pad = last ? (text[i + 3] == '=') + (text[i + 2] == '=') : 0;
        if (pad == 1 && text[i + 2] == '=') return false;
        int v[4];
        for (int k = 0; k < 4 - pad; ++k)
            if ((v[k] = value_of(text[i + k])) < 0) return false;
        for (int k = 4 - pad; k < 4; ++k) v[k] = 0;
        const std::uint32_t w = std::uint32_t(v[0]) << 18 | std::uint32_t(v[1]) << 12 | std::uint32_t(v[2]) << 6 | v[3];
        if (pad == 2 && (w & 0xFFFF)) return false;
        if (pad == 1 && (w & 0xFF)) return false;
        out.push_back(static_cast<unsigned char>(w >> 16));
        if (pad < 2) out.push_back(static_cast<unsigned char>(w >> 8));
        if (pad < 1) out.push_back(static_cast<unsigned char>(w));
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace nivra::kernels;
    const std::size_t len = base64_length(size);
    // Exactly sized buffers, so the sanitizer sees any read or write past either end.
    std::vector<char> fast(len), slow(len);
    if (!base64_encode(data, size, fast.data(), len)) std::abort();
    if (len && base64_encode(data, size, fast.data(), len - 1)) std::abort();  // a short room is refused
    base64_encode_scalar(data, size, slow.data());
    if (fast != slow) std::abort();
    std::vector<unsigned char> back;
    if (!decode(fast.data(), len, back)) std::abort();
    if (back.size() != size || (size && std::memcmp(back.data(), data, size) != 0)) std::abort();
    // Every offset and length inside the input as well: the vector kernels' tails.
    if (size > 1) {
        const std::size_t off = data[0] % size, n = size - off;
        std::vector<char> a(base64_length(n)), b(base64_length(n));
        if (!base64_encode(data + off, n, a.data(), a.size())) std::abort();
        base64_encode_scalar(data + off, n, b.data());
        if (a != b) std::abort();
    }
    return 0;
}
