// viz/kernels/colour.cpp: frame stacks coloured into RGB images, ON blue and OFF red,
// each frame scaled by its own peak (see events.h).
#include "events.h"

#include <cmath>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace nivra::kernels {

namespace {

// The peak of a plane, or false when a value is NaN or infinite.
bool plane_peak(const float* v, std::size_t plane, float* peak) noexcept {
    float hi = -std::numeric_limits<float>::infinity();
    bool finite = true;
    std::size_t i = 0;
#if defined(__SSE2__)
    __m128 acc = _mm_set1_ps(hi), bad = _mm_setzero_ps();
    for (; i + 4 <= plane; i += 4) {
        const __m128 x = _mm_loadu_ps(v + i);
        acc = _mm_max_ps(acc, x);
        const __m128 d = _mm_sub_ps(x, x);  // NaN exactly for NaN and infinities
        bad = _mm_or_ps(bad, _mm_cmpunord_ps(d, d));
    }
    float lanes[4];
    _mm_storeu_ps(lanes, acc);
    for (float lane : lanes) hi = lane > hi ? lane : hi;
    finite = _mm_movemask_ps(bad) == 0;
#endif
    for (; i < plane; ++i) {
        hi = v[i] > hi ? v[i] : hi;
        finite &= std::isfinite(v[i]);
    }
    *peak = hi;
    return finite;
}

// uint8(clip(v / scale * 255, 0, 255)), each step in float32.
inline unsigned char scaled(float v, float scale) noexcept {
    float q = v / scale;
    q = q * 255.0f;
    q = q < 0.0f ? 0.0f : q;
    q = q > 255.0f ? 255.0f : q;
    return static_cast<unsigned char>(q);
}

// One colour channel of a frame: out[i * 3] = scaled(v[i], scale).
void paint_channel(const float* v, std::size_t plane, float scale, unsigned char* out) noexcept {
    std::size_t i = 0;
#if defined(__SSE2__)
    // The same steps four pixels at a time: the values are finite, and for finite q
    // max(q, 0) and min(q, 255) equal the compares above (-0.0 ends as 0 either way);
    // the truncating conversion of a value in [0, 255] equals the uint8 cast.
    const __m128 s = _mm_set1_ps(scale), k255 = _mm_set1_ps(255.0f), zero = _mm_setzero_ps();
    for (; i + 4 <= plane; i += 4) {
        __m128 q = _mm_mul_ps(_mm_div_ps(_mm_loadu_ps(v + i), s), k255);
        q = _mm_min_ps(_mm_max_ps(q, zero), k255);
        const __m128i n = _mm_cvttps_epi32(q);
        alignas(16) std::int32_t lanes[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(lanes), n);
        out[(i + 0) * 3] = static_cast<unsigned char>(lanes[0]);
        out[(i + 1) * 3] = static_cast<unsigned char>(lanes[1]);
        out[(i + 2) * 3] = static_cast<unsigned char>(lanes[2]);
        out[(i + 3) * 3] = static_cast<unsigned char>(lanes[3]);
    }
#endif
    for (; i < plane; ++i) out[i * 3] = scaled(v[i], scale);
}

}  // namespace

Status colour_frames(Planes on, Planes off, std::size_t n, std::size_t plane, bool shared_scale,
                     unsigned char* rgb) noexcept {
    for (std::size_t f = 0; f < n; ++f) {
        const float* on_f = on.base + static_cast<std::ptrdiff_t>(f) * on.stride;
        const float* off_f = off.base ? off.base + static_cast<std::ptrdiff_t>(f) * off.stride : nullptr;
        float peak_on, peak_off = 0.0f;
        if (!plane_peak(on_f, plane, &peak_on)) return Status::NonFinite;
        if (off_f && !plane_peak(off_f, plane, &peak_off)) return Status::NonFinite;
        const float max_on = peak_on >= 1.0f ? peak_on : 1.0f;
        const float max_off = peak_off >= 1.0f ? peak_off : 1.0f;
        const float shared = max_on >= max_off ? max_on : max_off;
        unsigned char* out = rgb + f * plane * 3;
        paint_channel(on_f, plane, shared_scale ? shared : max_on, out + 2);
        if (off_f) paint_channel(off_f, plane, shared_scale ? shared : max_off, out);
    }
    return Status::Ok;
}

}  // namespace nivra::kernels
