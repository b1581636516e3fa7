// viz/kernels/raster_scan.cpp: the first of a raster's two reads of its events. One pass
// finds the sensor extents and the time bounds together and, for a limited neuron range,
// keeps the few events that can fall into it; on CPUs with AVX-512 VBMI it takes packed
// records eight at a time. The candidates are then binned by bin_raster_candidates.
#include "event_fields.h"

#if defined(__x86_64__)
// GCC 12's AVX-512 headers fill unused operands with self-initialised variables,
// which -Wmaybe-uninitialized reports wherever they are inlined.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>  // the AVX-512 scan, chosen at run time
#pragma GCC diagnostic pop
#define NIVRA_X86 1
#endif

namespace nivra::kernels {

using namespace fields;

namespace {

// The running results of scan_raster.
struct ScanState {
    __int128 max_x = 0, max_y = 0;
    bool int_time = false;
    __int128 t_lo = 0, t_hi = 0;  // integer times
    double f_lo = std::numeric_limits<double>::infinity();  // other times, as float64
    double f_hi = -std::numeric_limits<double>::infinity();
    bool nan = false;
};

// A width no larger than the final one (the largest x so far plus 1), as the
// candidate test uses it: clamped to [0, 2^32 - 1].
std::uint64_t width_floor(__int128 max_x) noexcept {
    const __int128 w = max_x + 1;
    if (w < 0) return 0;
    return w > 0xFFFFFFFF ? 0xFFFFFFFFu : static_cast<std::uint64_t>(w);
}

// x (and y) of a chunk stored alike as integers: maxima and candidates, read
// straight from the records. The candidate key y * w + x is taken on the uint32
// views of the int32 casts, in 64 bits (no wrap-around).
template <class S, bool HasY, bool Collect>
void scan_xy_same(const Field& xf, const Field& yf, std::size_t start, std::size_t count, ScanState& st,
                  Candidates& cand) noexcept {
    using V = Value<S>;
    const unsigned char* px = xf.base + static_cast<std::ptrdiff_t>(start) * xf.stride;
    const unsigned char* py = HasY ? yf.base + static_cast<std::ptrdiff_t>(start) * yf.stride : nullptr;
    V mx = static_cast<V>(st.max_x), my = static_cast<V>(st.max_y);
    std::uint32_t ux = cand.max_xu, uy = cand.max_yu;
    const std::uint64_t w = width_floor(st.max_x), limit = cand.limit;
    std::uint32_t* out = cand.index + cand.count;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < count; ++i, px += xf.stride) {
        const V x = load<S>(px);
        mx = x > mx ? x : mx;
        [[maybe_unused]] std::uint64_t key = 0;
        if constexpr (Collect) {
            const auto xu = static_cast<std::uint32_t>(static_cast<std::int32_t>(x));
            ux = xu > ux ? xu : ux;
            key = xu;
        }
        if constexpr (HasY) {
            const V y = load<S>(py);
            py += yf.stride;
            my = y > my ? y : my;
            if constexpr (Collect) {
                const auto yu = static_cast<std::uint32_t>(static_cast<std::int32_t>(y));
                uy = yu > uy ? yu : uy;
                key += yu * w;
            }
        }
        if constexpr (Collect) {
            out[kept] = static_cast<std::uint32_t>(start + i);
            kept += key < limit;
        }
    }
    st.max_x = mx;
    st.max_y = my;
    if constexpr (Collect) {
        cand.max_xu = ux;
        cand.max_yu = uy;
        cand.count += kept;
    }
}

// The same for any other integer or bool coordinates: through int32 buffers.
void scan_xy_mixed(const EventColumns& cols, std::size_t start, std::size_t count, bool collect, ScanState& st,
                   Candidates& cand) noexcept {
    st.max_x = chunk_max(cols.x, cols.x.base + static_cast<std::ptrdiff_t>(start) * cols.x.stride, count, st.max_x);
    if (cols.has_y)
        st.max_y = chunk_max(cols.y, cols.y.base + static_cast<std::ptrdiff_t>(start) * cols.y.stride, count,
                             st.max_y);
    if (!collect) return;
    std::int32_t x[kChunk], y[kChunk];
    convert<Target::Int32>(cols.x, start, count, x);
    if (cols.has_y)
        convert<Target::Int32>(cols.y, start, count, y);
    else
        std::fill_n(y, count, 0);
    const std::uint64_t w = width_floor(st.max_x), limit = cand.limit;
    std::uint32_t ux = cand.max_xu, uy = cand.max_yu;
    std::uint32_t* out = cand.index + cand.count;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const auto xu = static_cast<std::uint32_t>(x[i]), yu = static_cast<std::uint32_t>(y[i]);
        ux = xu > ux ? xu : ux;
        uy = yu > uy ? yu : uy;
        out[kept] = static_cast<std::uint32_t>(start + i);
        kept += yu * w + xu < limit;
    }
    cand.max_xu = ux;
    cand.max_yu = cols.has_y ? uy : 0;
    cand.count += kept;
}

// The time bounds of a chunk, as time_bounds finds them.
template <class S>
void scan_t(const Field& t, std::size_t start, std::size_t count, ScanState& st) noexcept {
    using V = Value<S>;
    const unsigned char* p = t.base + static_cast<std::ptrdiff_t>(start) * t.stride;
    if constexpr (kIntegerStorage<S>) {
        V lo = static_cast<V>(st.t_lo), hi = static_cast<V>(st.t_hi);
        for (std::size_t i = 0; i < count; ++i, p += t.stride) {
            const V v = load<S>(p);
            lo = v < lo ? v : lo;
            hi = v > hi ? v : hi;
        }
        st.t_lo = lo;
        st.t_hi = hi;
    } else {
        double lo = st.f_lo, hi = st.f_hi;
        bool nan = st.nan;
        for (std::size_t i = 0; i < count; ++i, p += t.stride) {
            const double v = converted<Target::Float64>(load<S>(p));
            lo = v < lo ? v : lo;
            hi = v > hi ? v : hi;
            nan |= v != v;
        }
        st.f_lo = lo;
        st.f_hi = hi;
        st.nan = nan;
    }
}

// Events [start, start + count) of a scan, one column after the other.
void scan_chunk(const EventColumns& cols, bool same, std::size_t start, std::size_t count, bool collect,
                ScanState& st, Candidates& c) noexcept {
    if (count == 0) return;
    if (same) {
        visit_field(cols.x, [&]<class S>(S) {
            if constexpr (kIntegerStorage<S>) {
                if (cols.has_y && collect) scan_xy_same<S, true, true>(cols.x, cols.y, start, count, st, c);
                else if (cols.has_y) scan_xy_same<S, true, false>(cols.x, cols.y, start, count, st, c);
                else if (collect) scan_xy_same<S, false, true>(cols.x, cols.y, start, count, st, c);
                else scan_xy_same<S, false, false>(cols.x, cols.y, start, count, st, c);
            }
        });
    } else {
        scan_xy_mixed(cols, start, count, collect, st, c);
    }
    visit_field(cols.t, [&]<class S>(S) { scan_t<S>(cols.t, start, count, st); });
}

#if defined(NIVRA_X86)
#define NIVRA_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi,popcnt")))

// Eight records at a time: their x, y and t lie within 128 bytes from the lowest of
// those fields in the first record (strides up to about 16 bytes, the packed layouts),
// so two 64-byte loads and one byte permutation per column take them apart: x into
// dwords 0-7 and y into dwords 8-15 of one vector, t into the eight qwords of another,
// zero-filled, then sign-extended by shifts where the field is signed.
struct Blocks {
    const unsigned char* base = nullptr;  // the lowest of the three fields, record 0
    std::ptrdiff_t stride = 0;
    std::size_t last = 0;                 // the last record a block may start at
    bool any = false;                     // some block fits
    bool signed_xy = false, signed_t = false;
    int xy_shift = 0, t_shift = 0;        // 32 - 8 * size, 64 - 8 * size
    std::uint64_t xy_keep = 0, t_keep = 0;  // the bytes the permutations fill
    alignas(64) unsigned char xy_index[64] = {}, t_index[64] = {};
};

bool blocks_supported() noexcept {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi") &&
           __builtin_cpu_supports("popcnt");
}

// The block layout of n events, or false when their columns do not have one: integer
// x and y of 1, 2 or 4 bytes stored alike, integer t of 4 or 8 bytes, native byte
// order, a positive stride small enough.
bool plan_blocks(const EventColumns& cols, std::size_t n, Blocks* b) noexcept {
    static const bool supported = blocks_supported();
    const auto integer = [](const Field& f) { return (f.kind == FieldKind::Int || f.kind == FieldKind::UInt) && !f.swap; };
    const Field& x = cols.x;
    const Field& t = cols.t;
    if (!supported || !integer(x) || !integer(t) || x.size > 4 || (t.size != 4 && t.size != 8)) return false;
    if (cols.has_y && (!integer(cols.y) || cols.y.kind != x.kind || cols.y.size != x.size)) return false;
    if (x.stride <= 0 || t.stride != x.stride || (cols.has_y && cols.y.stride != x.stride)) return false;
    const unsigned char* lo = std::min(x.base, t.base);
    const unsigned char* hi = std::max(x.base + x.size, t.base + t.size);
    if (cols.has_y) {
        lo = std::min(lo, cols.y.base);
        hi = std::max(hi, cols.y.base + cols.y.size);
    }
    const std::ptrdiff_t span = hi - lo, stride = x.stride;
    if (7 * stride + span > 128 || n < 8) return false;
    // A block at record r reads [lo + r * stride, + 128): it must end within the last
    // record's fields.
    const std::ptrdiff_t room = static_cast<std::ptrdiff_t>(n - 1) * stride + span - 128;
    if (room < 0) return false;
    b->base = lo;
    b->stride = stride;
    b->last = static_cast<std::size_t>(room / stride);
    b->any = true;
    b->signed_xy = x.kind == FieldKind::Int;
    b->signed_t = t.kind == FieldKind::Int;
    b->xy_shift = 32 - 8 * x.size;
    b->t_shift = 64 - 8 * t.size;
    for (int r = 0; r < 8; ++r) {
        for (int k = 0; k < x.size; ++k) {
            const int to = 4 * r + k;
            b->xy_index[to] = static_cast<unsigned char>(r * stride + (x.base - lo) + k);
            b->xy_keep |= std::uint64_t{1} << to;
            if (cols.has_y) {
                b->xy_index[to + 32] = static_cast<unsigned char>(r * stride + (cols.y.base - lo) + k);
                b->xy_keep |= std::uint64_t{1} << (to + 32);
            }
        }
        for (int k = 0; k < t.size; ++k) {
            const int to = 8 * r + k;
            b->t_index[to] = static_cast<unsigned char>(r * stride + (t.base - lo) + k);
            b->t_keep |= std::uint64_t{1} << to;
        }
    }
    return true;
}

NIVRA_AVX512 inline std::uint32_t max_u32(__m256i v) noexcept {
    alignas(32) std::uint32_t l[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(l), v);
    return *std::max_element(l, l + 8);
}
NIVRA_AVX512 inline std::int32_t max_i32(__m256i v) noexcept {
    alignas(32) std::int32_t l[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(l), v);
    return *std::max_element(l, l + 8);
}

// Blocks of 8 events from `start` to `end` (a multiple of 8 apart, none past b.last),
// as scan_chunk would scan them.
template <bool SignedXY, bool SignedT, bool HasY, bool Collect>
NIVRA_AVX512 void scan_blocks(const Blocks& b, std::size_t start, std::size_t end, ScanState& st,
                              Candidates& c) noexcept {
    const __m512i xy_index = _mm512_load_si512(b.xy_index), t_index = _mm512_load_si512(b.t_index);
    const __mmask64 xy_keep = b.xy_keep, t_keep = b.t_keep;
    const __m128i xy_shift = _mm_cvtsi32_si128(b.xy_shift), t_shift = _mm_cvtsi32_si128(b.t_shift);
    // The running maxima as lanes: stored values of at most 4 bytes, sign- or zero-extended.
    __m256i mx = _mm256_set1_epi32(static_cast<std::int32_t>(st.max_x));
    __m256i my = _mm256_set1_epi32(static_cast<std::int32_t>(st.max_y));
    __m256i ux = _mm256_set1_epi32(static_cast<std::int32_t>(c.max_xu));
    __m256i uy = _mm256_set1_epi32(static_cast<std::int32_t>(c.max_yu));
    __m512i t_lo = _mm512_set1_epi64(static_cast<long long>(st.t_lo));
    __m512i t_hi = _mm512_set1_epi64(static_cast<long long>(st.t_hi));
    const __m512i width = _mm512_set1_epi64(static_cast<long long>(width_floor(st.max_x)));
    const __m512i limit = _mm512_set1_epi64(static_cast<long long>(c.limit));
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    std::uint32_t* out = c.index + c.count;
    std::size_t kept = 0;
    for (std::size_t i = start; i < end; i += 8) {
        const unsigned char* p = b.base + static_cast<std::ptrdiff_t>(i) * b.stride;
        const __m512i lo = _mm512_loadu_si512(p), hi = _mm512_loadu_si512(p + 64);
        __m512i xy = _mm512_maskz_permutex2var_epi8(xy_keep, lo, xy_index, hi);
        if constexpr (SignedXY) xy = _mm512_sra_epi32(_mm512_sll_epi32(xy, xy_shift), xy_shift);
        const __m256i x = _mm512_castsi512_si256(xy), y = _mm512_extracti64x4_epi64(xy, 1);
        __m512i t = _mm512_maskz_permutex2var_epi8(t_keep, lo, t_index, hi);
        if constexpr (SignedT) {
            t = _mm512_sra_epi64(_mm512_sll_epi64(t, t_shift), t_shift);
            t_lo = _mm512_min_epi64(t_lo, t);
            t_hi = _mm512_max_epi64(t_hi, t);
        } else {
            t_lo = _mm512_min_epu64(t_lo, t);
            t_hi = _mm512_max_epu64(t_hi, t);
        }
        if constexpr (SignedXY) {
            mx = _mm256_max_epi32(mx, x);
            if constexpr (HasY) my = _mm256_max_epi32(my, y);
        } else {
            mx = _mm256_max_epu32(mx, x);
            if constexpr (HasY) my = _mm256_max_epu32(my, y);
        }
        if constexpr (Collect) {
            // As scan_xy_same: y * width + x on the uint32 views, in 64 bits.
            __m512i key = _mm512_cvtepu32_epi64(x);
            if constexpr (SignedXY) ux = _mm256_max_epu32(ux, x);
            if constexpr (HasY) {
                if constexpr (SignedXY) uy = _mm256_max_epu32(uy, y);
                key = _mm512_add_epi64(key, _mm512_mul_epu32(_mm512_cvtepu32_epi64(y), width));
            }
            const __mmask8 hit = _mm512_cmplt_epu64_mask(key, limit);
            if (hit) {
                // All 8 lanes are stored; the room for the whole chunk was checked.
                const __m256i index = _mm256_add_epi32(lanes, _mm256_set1_epi32(static_cast<std::int32_t>(i)));
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + kept), _mm256_maskz_compress_epi32(hit, index));
                kept += static_cast<std::size_t>(__builtin_popcount(hit));
            }
        }
    }
    alignas(64) std::int64_t t_lanes[16];
    _mm512_store_si512(t_lanes, t_lo);
    _mm512_store_si512(t_lanes + 8, t_hi);
    for (int k = 0; k < 8; ++k) {
        if constexpr (SignedT) {
            st.t_lo = std::min<__int128>(st.t_lo, t_lanes[k]);
            st.t_hi = std::max<__int128>(st.t_hi, t_lanes[8 + k]);
        } else {
            st.t_lo = std::min<__int128>(st.t_lo, static_cast<std::uint64_t>(t_lanes[k]));
            st.t_hi = std::max<__int128>(st.t_hi, static_cast<std::uint64_t>(t_lanes[8 + k]));
        }
    }
    if constexpr (SignedXY) {
        st.max_x = max_i32(mx);
        if constexpr (HasY) st.max_y = max_i32(my);
    } else {
        st.max_x = max_u32(mx);
        if constexpr (HasY) st.max_y = max_u32(my);
    }
    if constexpr (Collect) {
        c.max_xu = SignedXY ? max_u32(ux) : max_u32(mx);
        if constexpr (HasY) c.max_yu = SignedXY ? max_u32(uy) : max_u32(my);
        c.count += kept;
    }
}

// The blocks of a chunk through the instantiation for its storage.
void scan_blocks_of(const Blocks& b, bool has_y, bool collect, std::size_t start, std::size_t end, ScanState& st,
                    Candidates& c) noexcept {
    const auto with = [&]<bool SignedXY, bool SignedT>() {
        if (has_y && collect) scan_blocks<SignedXY, SignedT, true, true>(b, start, end, st, c);
        else if (has_y) scan_blocks<SignedXY, SignedT, true, false>(b, start, end, st, c);
        else if (collect) scan_blocks<SignedXY, SignedT, false, true>(b, start, end, st, c);
        else scan_blocks<SignedXY, SignedT, false, false>(b, start, end, st, c);
    };
    if (b.signed_xy && b.signed_t) with.template operator()<true, true>();
    else if (b.signed_xy) with.template operator()<true, false>();
    else if (b.signed_t) with.template operator()<false, true>();
    else with.template operator()<false, false>();
}
#else
struct Blocks {
    std::size_t last = 0;
    bool any = false;
};
bool plan_blocks(const EventColumns&, std::size_t, Blocks*) noexcept { return false; }
void scan_blocks_of(const Blocks&, bool, bool, std::size_t, std::size_t, ScanState&, Candidates&) noexcept {}
#endif

}  // namespace

void scan_raster(const EventColumns& cols, std::size_t n, __int128 maxima[2], TimeBins* tb,
                 Candidates* cand) noexcept {
    ScanState st;
    // The first chunk's widths come from its own largest x (read twice): from its
    // first x alone, nearly all of it would be a candidate.
    st.max_x = chunk_max(cols.x, cols.x.base, std::min(kChunk, n), value_at(cols.x, cols.x.base));
    st.max_y = cols.has_y ? value_at(cols.y, cols.y.base) : 0;
    st.int_time = visit_field(cols.t, []<class S>(S) { return kIntegerStorage<S>; });
    if (st.int_time) st.t_lo = st.t_hi = value_at(cols.t, cols.t.base);
    Candidates unused;
    Candidates& c = cand ? *cand : unused;
    bool collect = cand != nullptr;
    c.count = 0;
    c.overflow = false;
    c.max_xu = c.max_yu = 0;
    const bool integer_x = cols.x.kind == FieldKind::Int || cols.x.kind == FieldKind::UInt;
    const bool same = cols.has_y ? same_integer_storage(cols) : integer_x;
    Blocks blocks;
    plan_blocks(cols, n, &blocks);
    for (std::size_t start = 0; start < n; start += kChunk) {
        const std::size_t count = std::min(kChunk, n - start);
        if (collect && c.capacity - c.count < count) {
            collect = false;
            c.overflow = true;
        }
        std::size_t done = 0;
        if (blocks.any && start <= blocks.last) {
            done = std::min(count, blocks.last - start + 1) / 8 * 8;
            scan_blocks_of(blocks, cols.has_y, collect, start, start + done, st, c);
        }
        scan_chunk(cols, same, start + done, count - done, collect, st, c);
    }
    maxima[0] = st.max_x;
    maxima[1] = st.max_y;
    tb->has_int_bounds = st.int_time;
    if (st.int_time) {
        tb->int_min = st.t_lo;
        tb->int_max = st.t_hi;
        // float64 of the stored type's values, as the array cast gives them
        visit_field(cols.t, [&]<class S>(S) {
            if constexpr (kIntegerStorage<S>) {
                tb->t_min = static_cast<double>(static_cast<Value<S>>(st.t_lo));
                tb->t_max = static_cast<double>(static_cast<Value<S>>(st.t_hi));
            }
        });
    } else {
        tb->t_min = st.nan ? std::numeric_limits<double>::quiet_NaN() : st.f_lo;
        tb->t_max = st.nan ? std::numeric_limits<double>::quiet_NaN() : st.f_hi;
    }
}

bool candidates_complete(const Candidates& cand, std::int64_t width, bool has_y) noexcept {
    if (cand.overflow) return false;
    if (!has_y) return true;  // the key was x itself: no width involved
    constexpr std::uint64_t kInt32Max = std::numeric_limits<std::int32_t>::max();
    if (width < 0 || static_cast<std::uint64_t>(width) > kInt32Max) return false;
    // All x and y non-negative (their uint32 views below 2^31) and y * width + x within
    // the int32 range: then it grows with the width and stays exact, so a key at or
    // past the limit for a smaller width is past it for this one too.
    return std::uint64_t{cand.max_yu} * static_cast<std::uint64_t>(width) + cand.max_xu <= kInt32Max;
}

void bin_raster_candidates(const EventColumns& cols, const Candidates& cand, const TimeBins& tb,
                           std::int32_t width, std::int64_t n_neurons, float* raster) noexcept {
    double t[kChunk];
    std::int32_t bin[kChunk], x[kChunk], y[kChunk];
    const std::uint32_t w = static_cast<std::uint32_t>(width);
    for (std::size_t start = 0; start < cand.count; start += kChunk) {
        const std::size_t count = std::min(kChunk, cand.count - start);
        const std::uint32_t* idx = cand.index + start;
        gather<Target::Float64>(cols.t, idx, count, t);
        time_bins(t, count, tb, bin);
        gather<Target::Int32>(cols.x, idx, count, x);
        if (cols.has_y) gather<Target::Int32>(cols.y, idx, count, y);
        for (std::size_t i = 0; i < count; ++i)
            add_spike(raster, bin[i], cols.has_y ? neuron_of(x[i], y[i], w) : x[i], n_neurons);
    }
}

}  // namespace nivra::kernels
