// viz/kernels/events.cpp: event binning and frame colouring (see events.h).
//
// Events are processed in chunks: each column of a chunk is first converted into a
// small typed buffer by a loop specialised for its storage (type, byte order; chosen
// by visit_field), then the chunk is scattered. Memory use is the caller's output plus
// these buffers.
#include "events.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>  // _mm_div_pd, _mm_cvttpd_epi32: two events per step
#endif

namespace nivra::kernels {
namespace {

constexpr std::size_t kChunk = 2048;

template <std::size_t N>
struct Bits;
template <>
struct Bits<1> { using type = std::uint8_t; };
template <>
struct Bits<2> { using type = std::uint16_t; };
template <>
struct Bits<4> { using type = std::uint32_t; };
template <>
struct Bits<8> { using type = std::uint64_t; };

// The storage of a bool field: one byte, any non-zero value is true.
struct BoolByte {};

// How a field stores its values: the C++ type of one value (BoolByte for bools) and
// whether its bytes are in the other order. visit_field passes one of these.
template <class T, bool Swap>
struct Storage {
    using type = T;
    static constexpr bool swap = Swap;
};

// The value stored at p: bools as 0 or 1, everything else as its own type.
template <class S>
inline auto load(const unsigned char* p) noexcept {
    using T = typename S::type;
    if constexpr (std::is_same_v<T, BoolByte>) {
        return static_cast<std::uint8_t>(*p != 0);
    } else {
        using U = typename Bits<sizeof(T)>::type;
        U u;
        std::memcpy(&u, p, sizeof u);
        if constexpr (S::swap && sizeof(T) == 2) u = __builtin_bswap16(u);
        if constexpr (S::swap && sizeof(T) == 4) u = __builtin_bswap32(u);
        if constexpr (S::swap && sizeof(T) == 8) u = __builtin_bswap64(u);
        return std::bit_cast<T>(u);
    }
}

// The type load<S> gives.
template <class S>
using Value = decltype(load<S>(nullptr));

// True for the storages of integer fields (bools are not among them).
template <class S>
constexpr bool kIntegerStorage = std::is_integral_v<typename S::type>;

// Calls fn(Storage<T, Swap>{}) for the field's storage and returns its result: the one
// place that dispatches on kind, size and byte order. Every storage a Field may hold
// (field_supported) is instantiated, so fn returns one type for all of them.
template <class F>
decltype(auto) visit_field(const Field& f, F&& fn) noexcept {
    const auto by_kind = [&]<bool Swap>(std::bool_constant<Swap>) -> decltype(auto) {
        switch (f.kind) {
            case FieldKind::Bool: return fn(Storage<BoolByte, Swap>{});
            case FieldKind::Int:
                switch (f.size) {
                    case 1: return fn(Storage<std::int8_t, Swap>{});
                    case 2: return fn(Storage<std::int16_t, Swap>{});
                    case 4: return fn(Storage<std::int32_t, Swap>{});
                    default: return fn(Storage<std::int64_t, Swap>{});
                }
            case FieldKind::UInt:
                switch (f.size) {
                    case 1: return fn(Storage<std::uint8_t, Swap>{});
                    case 2: return fn(Storage<std::uint16_t, Swap>{});
                    case 4: return fn(Storage<std::uint32_t, Swap>{});
                    default: return fn(Storage<std::uint64_t, Swap>{});
                }
            case FieldKind::Float: break;
        }
        if (f.size == 4) return fn(Storage<float, Swap>{});
        return fn(Storage<double, Swap>{});
    };
    if (f.swap) return by_kind(std::true_type{});
    return by_kind(std::false_type{});
}

// float64 -> int32 as the hardware truncating conversion does it: NaN and values
// whose truncation does not fit give INT32_MIN.
inline std::int32_t to_int32(double v) noexcept {
    if (v > -2147483649.0 && v < 2147483648.0) return static_cast<std::int32_t>(v);
    return std::numeric_limits<std::int32_t>::min();
}

// What a column is converted into.
enum class Target { Float64, Int32, Positive };

template <class S, Target To, class Out>
void convert_loop(const unsigned char* p, std::ptrdiff_t stride, std::size_t count, Out* out) noexcept {
    using V = Value<S>;
    for (std::size_t i = 0; i < count; ++i, p += stride) {
        const V v = load<S>(p);
        if constexpr (To == Target::Float64) {
            out[i] = static_cast<double>(v);
        } else if constexpr (To == Target::Int32) {
            if constexpr (std::is_floating_point_v<V>)
                out[i] = to_int32(static_cast<double>(v));
            else
                out[i] = static_cast<std::int32_t>(v);  // modular, as the array cast wraps
        } else {
            out[i] = static_cast<unsigned char>(v > V(0));
        }
    }
}

// Converts events [start, start + count) of a field.
template <Target To, class Out>
void convert(const Field& f, std::size_t start, std::size_t count, Out* out) noexcept {
    const unsigned char* p = f.base + static_cast<std::ptrdiff_t>(start) * f.stride;
    visit_field(f, [&]<class S>(S) { convert_loop<S, To>(p, f.stride, count, out); });
}

// The clipped time bin of each event of a chunk, from its float64 time: the
// reference loop.
void time_bins_scalar(const double* t, std::size_t count, const TimeBins& tb, std::int32_t* bin) noexcept {
    const std::int32_t last = tb.bins - 1;
    for (std::size_t i = 0; i < count; ++i) {
        const double v = (t[i] - tb.t_min) / tb.t_range * tb.scale;
        const std::int32_t b = to_int32(v);
        bin[i] = b < 0 ? 0 : (b > last ? last : b);
    }
}

// The same, two events per step. cvttpd2dq is the truncating conversion whose
// NaN / out-of-range result (INT32_MIN) the reference loop spells out.
void time_bins(const double* t, std::size_t count, const TimeBins& tb, std::int32_t* bin) noexcept {
#if defined(__SSE2__)
    const __m128d t_min = _mm_set1_pd(tb.t_min), range = _mm_set1_pd(tb.t_range), scale = _mm_set1_pd(tb.scale);
    const __m128i zero = _mm_setzero_si128(), last = _mm_set1_epi32(tb.bins - 1);
    std::size_t i = 0;
    for (; i + 2 <= count; i += 2) {
        __m128d v = _mm_loadu_pd(t + i);
        v = _mm_mul_pd(_mm_div_pd(_mm_sub_pd(v, t_min), range), scale);
        __m128i b = _mm_cvttpd_epi32(v);
        // clip to [0, last]: SSE2 has no 32-bit min/max, so select by compares.
        b = _mm_andnot_si128(_mm_cmplt_epi32(b, zero), b);
        const __m128i over = _mm_cmpgt_epi32(b, last);
        b = _mm_or_si128(_mm_and_si128(over, last), _mm_andnot_si128(over, b));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(bin + i), b);
    }
    time_bins_scalar(t + i, count - i, tb, bin + i);
#else
    time_bins_scalar(t, count, tb, bin);
#endif
}

// Integer timestamps take a shortcut that gives the same bins. The bin of a time is
// a monotonic function of it (conversion to float64, subtracting t_min, dividing by
// and multiplying with positive constants, truncation and clipping all keep order;
// the values stay far below the int32 range). So the integers of each bin form one
// run [edge[b], edge[b + 1]), and the edges can be found once by binary search with
// the float64 formula itself. Sorted recordings then stay inside the current run
// almost always: two compares per event instead of a conversion and a division.
// Unsorted chunks (many misses) go back to the formula for a while.
class IntTimeBins {
public:
    static constexpr std::int32_t kMaxBins = 1024;
    using Wide = TimeBins::Wide;

    // False when the shortcut does not apply (float times, too many bins).
    bool init(const Field& t, const TimeBins& tb) noexcept {
        if (t.kind != FieldKind::Int && t.kind != FieldKind::UInt) return false;
        if (tb.bins > kMaxBins || !(tb.t_range > 0) || tb.t_range == std::numeric_limits<double>::infinity())
            return false;
        field_ = t;
        tb_ = tb;
        // The exact integer bounds (the float64 ones may be rounded).
        if (!tb.has_int_bounds) return false;
        const Wide lo = tb.int_min, hi = tb.int_max;
        edges_[0] = lo;
        for (std::int32_t b = 1; b < tb.bins; ++b) {
            Wide a = edges_[b - 1], z = hi + 1;  // first t in [a, z) with bin(t) >= b, else z
            while (a < z) {
                const Wide mid = a + (z - a) / 2;
                if (bin_of(mid) >= b)
                    z = mid;
                else
                    a = mid + 1;
            }
            edges_[b] = a;
        }
        edges_[tb.bins] = hi + 1;
        return true;
    }

    // Bins of events [start, start + count); false when the chunk was too unsorted
    // for the shortcut (bins are still right).
    bool bins(std::size_t start, std::size_t count, std::int32_t* bin) noexcept {
        const unsigned char* p = field_.base + static_cast<std::ptrdiff_t>(start) * field_.stride;
        return visit_field(field_, [&]<class S>(S) {
            if constexpr (kIntegerStorage<S>) return run_loop<S>(p, count, bin);
            return false;  // init() took only integer times
        });
    }

private:
    template <class S>
    bool run_loop(const unsigned char* p, std::size_t count, std::int32_t* bin) noexcept {
        std::size_t misses = 0;
        std::int32_t cur = cur_;
        Wide lo = edges_[cur], hi = edges_[cur + 1];
        for (std::size_t i = 0; i < count; ++i, p += field_.stride) {
            const Wide v = load<S>(p);
            if (v < lo || v >= hi) [[unlikely]] {
                ++misses;
                // upper_bound over edges_[1 .. bins]: the run holding v.
                std::int32_t a = 0, z = tb_.bins - 1;
                while (a < z) {
                    const std::int32_t mid = a + (z - a + 1) / 2;
                    if (edges_[mid] <= v)
                        a = mid;
                    else
                        z = mid - 1;
                }
                cur = a;
                lo = edges_[cur];
                hi = edges_[cur + 1];
            }
            bin[i] = cur;
        }
        cur_ = cur;
        return misses * 16 <= count;
    }

private:
    // The formula, on the float64 the array cast gives for this integer.
    std::int32_t bin_of(Wide t) const noexcept {
        const double d = field_.kind == FieldKind::UInt ? static_cast<double>(static_cast<std::uint64_t>(t))
                                                        : static_cast<double>(static_cast<std::int64_t>(t));
        std::int32_t out;
        time_bins_scalar(&d, 1, tb_, &out);
        return out;
    }

    Field field_;
    TimeBins tb_{};
    std::int32_t cur_ = 0;
    Wide edges_[kMaxBins + 1];
};

// The bins of a chunk: through the integer runs while they pay off, else the formula.
class ChunkBins {
public:
    ChunkBins(const Field& t, const TimeBins& tb) noexcept : t_(t), tb_(tb) { use_runs_ = runs_.init(t, tb); }
    void bins(std::size_t start, std::size_t count, std::int32_t* bin) noexcept {
        if (use_runs_ && skip_ == 0) {
            if (!runs_.bins(start, count, bin)) skip_ = 32;
            return;
        }
        if (skip_ > 0) --skip_;
        double t[kChunk];
        convert<Target::Float64>(t_, start, count, t);
        time_bins(t, count, tb_, bin);
    }

private:
    const Field& t_;
    const TimeBins& tb_;
    IntTimeBins runs_;
    bool use_runs_ = false;
    int skip_ = 0;
};

}  // namespace

bool field_supported(FieldKind kind, int size) noexcept {
    switch (kind) {
        case FieldKind::Bool: return size == 1;
        case FieldKind::Int:
        case FieldKind::UInt: return size == 1 || size == 2 || size == 4 || size == 8;
        case FieldKind::Float: return size == 4 || size == 8;
    }
    return false;
}

namespace {

// One value of an integer or bool field, widened (bool: 0 or 1).
__int128 value_at(const Field& f, const unsigned char* p) noexcept {
    return visit_field(f, [&]<class S>(S) -> __int128 {
        if constexpr (std::is_floating_point_v<Value<S>>) return 0;  // not asked for floats
        else return load<S>(p);
    });
}

// The maximum of an integer or bool field over n events from p, given the maximum so far.
__int128 chunk_max(const Field& f, const unsigned char* p, std::size_t n, __int128 hi) noexcept {
    return visit_field(f, [&]<class S>(S) -> __int128 {
        using V = Value<S>;
        if constexpr (std::is_floating_point_v<V>) {
            return hi;  // not asked for floats
        } else {
            V m = static_cast<V>(hi);
            for (std::size_t i = 0; i < n; ++i) {
                const V v = load<S>(p + static_cast<std::ptrdiff_t>(i) * f.stride);
                m = v > m ? v : m;
            }
            return m;
        }
    });
}

}  // namespace

void column_maxima(const Field* fields, std::size_t k, std::size_t n, __int128* out) noexcept {
    // Seeded with the first event; then chunk by chunk, so the records of a chunk
    // are read from memory once for all fields.
    for (std::size_t j = 0; j < k; ++j) out[j] = value_at(fields[j], fields[j].base);
    for (std::size_t start = 0; start < n; start += kChunk) {
        const std::size_t count = std::min(kChunk, n - start);
        for (std::size_t j = 0; j < k; ++j) {
            const Field& f = fields[j];
            out[j] = chunk_max(f, f.base + static_cast<std::ptrdiff_t>(start) * f.stride, count, out[j]);
        }
    }
}

namespace {

// The bounds of integer times in one pass, exactly and as float64.
template <class S>
void int_bounds(const Field& t, std::size_t n, TimeBins* tb) noexcept {
    using V = Value<S>;
    V mn = load<S>(t.base), mx = mn;
    for (std::size_t i = 1; i < n; ++i) {
        const V v = load<S>(t.base + static_cast<std::ptrdiff_t>(i) * t.stride);
        mn = v < mn ? v : mn;
        mx = v > mx ? v : mx;
    }
    // The conversion to float64 is monotonic, so it commutes with min and max.
    tb->t_min = static_cast<double>(mn);
    tb->t_max = static_cast<double>(mx);
    tb->has_int_bounds = true;
    tb->int_min = mn;
    tb->int_max = mx;
}

}  // namespace

void time_bounds(const Field& t, std::size_t n, TimeBins* tb) noexcept {
    tb->has_int_bounds = false;
    const bool done = visit_field(t, [&]<class S>(S) {
        if constexpr (kIntegerStorage<S>) int_bounds<S>(t, n, tb);
        return kIntegerStorage<S>;
    });
    if (done) return;
    double buf[kChunk];
    double lo = std::numeric_limits<double>::infinity();
    double hi = -std::numeric_limits<double>::infinity();
    bool nan = false;
    for (std::size_t start = 0; start < n; start += kChunk) {
        const std::size_t count = std::min(kChunk, n - start);
        convert<Target::Float64>(t, start, count, buf);
        for (std::size_t i = 0; i < count; ++i) {
            const double v = buf[i];
            lo = v < lo ? v : lo;
            hi = v > hi ? v : hi;
            nan |= v != v;
        }
    }
    if (nan) lo = hi = std::numeric_limits<double>::quiet_NaN();
    tb->t_min = lo;
    tb->t_max = hi;
}

namespace {

// Cells of a chunk's events in the frame stack (-1 for events outside the sensor), from
// x and y stored alike: read straight from the records, no int32 buffers in between.
template <class S>
std::size_t cells_same(const Field& xf, const Field& yf, std::size_t start, std::size_t count,
                       const std::int32_t* bin, const unsigned char* on, std::int64_t width,
                       std::int64_t height, std::int64_t* cell) noexcept {
    const unsigned char* px = xf.base + static_cast<std::ptrdiff_t>(start) * xf.stride;
    const unsigned char* py = yf.base + static_cast<std::ptrdiff_t>(start) * yf.stride;
    const std::int64_t plane = width * height;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < count; ++i, px += xf.stride, py += yf.stride) {
        // The int32 cast of each coordinate, as the array cast does it (wrap-around).
        const std::int64_t xi = static_cast<std::int32_t>(load<S>(px));
        const std::int64_t yi = static_cast<std::int32_t>(load<S>(py));
        const bool inside = xi >= 0 && xi < width && yi >= 0 && yi < height;
        cell[kept] = (static_cast<std::int64_t>(bin[i]) * 2 + (on[i] ? 0 : 1)) * plane + yi * width + xi;
        kept += inside;
    }
    return kept;
}

// True when x and y are integers stored alike (the common case has its own loop).
bool same_integer_storage(const EventColumns& cols) noexcept {
    return cols.has_y && cols.x.kind == cols.y.kind && cols.x.size == cols.y.size && cols.x.swap == cols.y.swap &&
           (cols.x.kind == FieldKind::Int || cols.x.kind == FieldKind::UInt);
}

}  // namespace

void bin_frames(const EventColumns& cols, std::size_t n, const TimeBins& tb, std::int64_t width,
                std::int64_t height, float* frames) noexcept {
    ChunkBins chunk_bins(cols.t, tb);
    std::int32_t bin[kChunk], x[kChunk], y[kChunk];
    std::int64_t cell[kChunk];
    unsigned char on[kChunk];
    const std::int64_t plane = width * height;
    const bool same = same_integer_storage(cols);
    for (std::size_t start = 0; start < n; start += kChunk) {
        const std::size_t count = std::min(kChunk, n - start);
        chunk_bins.bins(start, count, bin);
        if (cols.has_p)
            convert<Target::Positive>(cols.p, start, count, on);
        else
            std::fill_n(on, count, static_cast<unsigned char>(1));
        std::size_t kept = 0;
        if (same) {
            // y is stored as x is: x's storage reads both.
            kept = visit_field(cols.x, [&]<class S>(S) -> std::size_t {
                if constexpr (kIntegerStorage<S>)
                    return cells_same<S>(cols.x, cols.y, start, count, bin, on, width, height, cell);
                return 0;  // same_integer_storage holds only for integers
            });
        } else {
            convert<Target::Int32>(cols.x, start, count, x);
            if (cols.has_y)
                convert<Target::Int32>(cols.y, start, count, y);
            else
                std::fill_n(y, count, 0);
            // Cell of each event (-1: outside the sensor is skipped).
            for (std::size_t i = 0; i < count; ++i) {
                const std::int64_t xi = x[i], yi = y[i];
                const bool inside = xi >= 0 && xi < width && yi >= 0 && yi < height;
                const std::int64_t channel = on[i] ? 0 : 1;
                cell[kept] = (static_cast<std::int64_t>(bin[i]) * 2 + channel) * plane + yi * width + xi;
                kept += inside;
            }
        }
        // The adds wait on cache misses otherwise: fetch the cells a few events ahead.
        constexpr std::size_t kAhead = 16;
        for (std::size_t i = 0; i < kept; ++i) {
            if (i + kAhead < kept) __builtin_prefetch(frames + cell[i + kAhead], 1);
            frames[cell[i]] += 1.0f;
        }
    }
}

void accumulate_frames(float* frames, std::size_t bins, std::size_t plane) noexcept {
    for (std::size_t f = 1; f < bins; ++f) {
        const float* prev = frames + (f - 1) * plane;
        float* cur = frames + f * plane;
        for (std::size_t i = 0; i < plane; ++i) cur[i] = prev[i] + cur[i];
    }
}

namespace {

// Neuron of each event of a chunk, int32(y * width + x) with int32 wrap-around, from
// x and y stored alike (as cells_same).
template <class S>
void neurons_same(const Field& xf, const Field& yf, std::size_t start, std::size_t count, std::uint32_t w,
                  std::int32_t* neuron) noexcept {
    const unsigned char* px = xf.base + static_cast<std::ptrdiff_t>(start) * xf.stride;
    const unsigned char* py = yf.base + static_cast<std::ptrdiff_t>(start) * yf.stride;
    for (std::size_t i = 0; i < count; ++i, px += xf.stride, py += yf.stride) {
        const auto xi = static_cast<std::uint32_t>(static_cast<std::int32_t>(load<S>(px)));
        const auto yi = static_cast<std::uint32_t>(static_cast<std::int32_t>(load<S>(py)));
        neuron[i] = static_cast<std::int32_t>(yi * w + xi);
    }
}

}  // namespace

void bin_raster(const EventColumns& cols, std::size_t n, const TimeBins& tb, std::int32_t width,
                std::int64_t n_neurons, float* raster) noexcept {
    ChunkBins chunk_bins(cols.t, tb);
    std::int32_t bin[kChunk], x[kChunk], y[kChunk], neuron[kChunk];
    const std::uint32_t w = static_cast<std::uint32_t>(width);
    const bool same = same_integer_storage(cols);
    for (std::size_t start = 0; start < n; start += kChunk) {
        const std::size_t count = std::min(kChunk, n - start);
        chunk_bins.bins(start, count, bin);
        if (same) {
            visit_field(cols.x, [&]<class S>(S) {
                if constexpr (kIntegerStorage<S>) neurons_same<S>(cols.x, cols.y, start, count, w, neuron);
            });
        } else {
            convert<Target::Int32>(cols.x, start, count, x);
            if (cols.has_y) convert<Target::Int32>(cols.y, start, count, y);
            for (std::size_t i = 0; i < count; ++i)
                // int32 arithmetic wraps, as the array arithmetic does.
                neuron[i] = cols.has_y ? static_cast<std::int32_t>(static_cast<std::uint32_t>(y[i]) * w +
                                                                   static_cast<std::uint32_t>(x[i]))
                                       : x[i];
        }
        for (std::size_t i = 0; i < count; ++i) {
            if (neuron[i] < 0 || neuron[i] >= n_neurons) continue;
            raster[static_cast<std::int64_t>(bin[i]) * n_neurons + neuron[i]] += 1.0f;
        }
    }
}

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
