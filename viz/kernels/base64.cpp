// viz/kernels/base64.cpp: base64 encoding kernels (scalar reference, SSSE3, AVX2), chosen once.
#include "base64.h"

#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#define NIVRA_X86 1
#endif

namespace nivra::kernels {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Two output characters for each 12-bit group: 3 input bytes take two lookups.
struct PairTable {
    char pairs[4096][2];
    constexpr PairTable() : pairs{} {
        for (int i = 0; i < 4096; ++i) {
            pairs[i][0] = kAlphabet[i >> 6];
            pairs[i][1] = kAlphabet[i & 63];
        }
    }
};
constexpr PairTable kPairs;

// The tail (fewer than 3 bytes) and '=' padding.
void encode_tail(const unsigned char* in, std::size_t n, char* out) noexcept {
    if (n == 1) {
        out[0] = kAlphabet[in[0] >> 2];
        out[1] = kAlphabet[(in[0] & 0x03) << 4];
        out[2] = '=';
        out[3] = '=';
    } else if (n == 2) {
        out[0] = kAlphabet[in[0] >> 2];
        out[1] = kAlphabet[((in[0] & 0x03) << 4) | (in[1] >> 4)];
        out[2] = kAlphabet[(in[1] & 0x0f) << 2];
        out[3] = '=';
    }
}

#ifdef NIVRA_X86
// 12 input bytes -> 16 characters per step. The shuffle gathers bytes
// [b1 b0 b2 b1] per 32-bit lane; the multiplies move each 6-bit field
// into its own byte:
//   lane bits: 00aaaaaa 00bbbbbb 00cccccc 00dddddd
// then each index 0..63 is mapped to ASCII by adding an offset picked by
// range (A-Z, a-z, 0-9, '+', '/').
__attribute__((target("ssse3"))) inline __m128i enc_reshuffle(__m128i in) {
    in = _mm_shuffle_epi8(in, _mm_set_epi8(10, 11, 9, 10, 7, 8, 6, 7, 4, 5, 3, 4, 1, 2, 0, 1));
    const __m128i t0 = _mm_and_si128(in, _mm_set1_epi32(0x0fc0fc00));
    const __m128i t1 = _mm_mulhi_epu16(t0, _mm_set1_epi32(0x04000040));
    const __m128i t2 = _mm_and_si128(in, _mm_set1_epi32(0x003f03f0));
    const __m128i t3 = _mm_mullo_epi16(t2, _mm_set1_epi32(0x01000010));
    return _mm_or_si128(t1, t3);
}

__attribute__((target("ssse3"))) inline __m128i enc_translate(__m128i idx) {
    const __m128i lut = _mm_setr_epi8('a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                                      '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62,
                                      '/' - 63, 'A', 0, 0);
    __m128i r = _mm_subs_epu8(idx, _mm_set1_epi8(51));
    const __m128i less = _mm_cmpgt_epi8(_mm_set1_epi8(26), idx);
    r = _mm_or_si128(r, _mm_and_si128(less, _mm_set1_epi8(13)));
    return _mm_add_epi8(_mm_shuffle_epi8(lut, r), idx);
}

__attribute__((target("ssse3"))) void encode_ssse3(const unsigned char* in, std::size_t n, char* out) noexcept {
    // Each step loads 16 bytes and uses 12: stop while 16 remain readable.
    while (n >= 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), enc_translate(enc_reshuffle(v)));
        in += 12;
        n -= 12;
        out += 16;
    }
    base64_encode_scalar(in, n, out);
}

__attribute__((target("avx2"))) inline __m256i enc_reshuffle256(__m256i in) {
    in = _mm256_shuffle_epi8(in, _mm256_set_epi8(10, 11, 9, 10, 7, 8, 6, 7, 4, 5, 3, 4, 1, 2, 0, 1,
                                                 10, 11, 9, 10, 7, 8, 6, 7, 4, 5, 3, 4, 1, 2, 0, 1));
    const __m256i t0 = _mm256_and_si256(in, _mm256_set1_epi32(0x0fc0fc00));
    const __m256i t1 = _mm256_mulhi_epu16(t0, _mm256_set1_epi32(0x04000040));
    const __m256i t2 = _mm256_and_si256(in, _mm256_set1_epi32(0x003f03f0));
    const __m256i t3 = _mm256_mullo_epi16(t2, _mm256_set1_epi32(0x01000010));
    return _mm256_or_si256(t1, t3);
}

__attribute__((target("avx2"))) inline __m256i enc_translate256(__m256i idx) {
    const __m256i lut = _mm256_setr_epi8(
        'a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
        '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0, 'a' - 26, '0' - 52, '0' - 52, '0' - 52,
        '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63,
        'A', 0, 0);
    __m256i r = _mm256_subs_epu8(idx, _mm256_set1_epi8(51));
    const __m256i less = _mm256_cmpgt_epi8(_mm256_set1_epi8(26), idx);
    r = _mm256_or_si256(r, _mm256_and_si256(less, _mm256_set1_epi8(13)));
    return _mm256_add_epi8(_mm256_shuffle_epi8(lut, r), idx);
}

__attribute__((target("avx2"))) void encode_avx2(const unsigned char* in, std::size_t n, char* out) noexcept {
    // 24 input bytes -> 32 characters per step: two 12-byte groups, one per
    // 128-bit lane. Each lane loads 16 bytes, so 28 bytes must be readable.
    while (n >= 28) {
        const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
        const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 12));
        const __m256i v = _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), enc_translate256(enc_reshuffle256(v)));
        in += 24;
        n -= 24;
        out += 32;
    }
    encode_ssse3(in, n, out);
}
#endif

using Kernel = void (*)(const unsigned char*, std::size_t, char*) noexcept;

struct Choice {
    Kernel fn;
    const char* name;
};

Choice choose() noexcept {
#ifdef NIVRA_X86
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return {encode_avx2, "avx2"};
    if (__builtin_cpu_supports("ssse3")) return {encode_ssse3, "ssse3"};
#endif
    return {base64_encode_scalar, "scalar"};
}

const Choice& chosen() noexcept {
    static const Choice c = choose();
    return c;
}

}  // namespace

void base64_encode_scalar(const unsigned char* in, std::size_t n, char* out) noexcept {
    while (n >= 3) {
        const std::uint32_t w = (std::uint32_t{in[0]} << 16) | (std::uint32_t{in[1]} << 8) | in[2];
        std::memcpy(out, kPairs.pairs[w >> 12], 2);
        std::memcpy(out + 2, kPairs.pairs[w & 0xfff], 2);
        in += 3;
        n -= 3;
        out += 4;
    }
    encode_tail(in, n, out);
}

bool base64_encode(const unsigned char* in, std::size_t n, char* out, std::size_t room) noexcept {
    if (room != base64_length(n)) return false;
    chosen().fn(in, n, out);
    return true;
}

const char* base64_kernel() noexcept { return chosen().name; }

}  // namespace nivra::kernels
