// viz/kernels/event_fields.h: reading the fields of event records, for the event kernels
// (events.cpp, raster_scan.cpp) only: each storage (type, size, byte order) as a type,
// visit_field to choose the loop for a field, the conversions the array casts make, and
// the time bins of a chunk.
#pragma once

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

namespace nivra::kernels::fields {


inline constexpr std::size_t kChunk = 2048;

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

// One value converted as the array cast does it.
template <Target To, class V>
inline auto converted(V v) noexcept {
    if constexpr (To == Target::Float64) {
        return static_cast<double>(v);
    } else if constexpr (To == Target::Int32) {
        if constexpr (std::is_floating_point_v<V>)
            return to_int32(static_cast<double>(v));
        else
            return static_cast<std::int32_t>(v);  // modular, as the array cast wraps
    } else {
        return static_cast<unsigned char>(v > V(0));
    }
}

template <class S, Target To, class Out>
void convert_loop(const unsigned char* p, std::ptrdiff_t stride, std::size_t count, Out* out) noexcept {
    for (std::size_t i = 0; i < count; ++i, p += stride) out[i] = converted<To>(load<S>(p));
}

// Converts events [start, start + count) of a field.
template <Target To, class Out>
void convert(const Field& f, std::size_t start, std::size_t count, Out* out) noexcept {
    const unsigned char* p = f.base + static_cast<std::ptrdiff_t>(start) * f.stride;
    visit_field(f, [&]<class S>(S) { convert_loop<S, To>(p, f.stride, count, out); });
}

// Converts the events idx[0 .. count) of a field.
template <Target To, class Out>
void gather(const Field& f, const std::uint32_t* idx, std::size_t count, Out* out) noexcept {
    visit_field(f, [&]<class S>(S) {
        for (std::size_t i = 0; i < count; ++i)
            out[i] = converted<To>(load<S>(f.base + static_cast<std::ptrdiff_t>(idx[i]) * f.stride));
    });
}

// The clipped time bin of each event of a chunk, from its float64 time: the
// reference loop.
inline void time_bins_scalar(const double* t, std::size_t count, const TimeBins& tb, std::int32_t* bin) noexcept {
    const std::int32_t last = tb.bins - 1;
    for (std::size_t i = 0; i < count; ++i) {
        const double v = (t[i] - tb.t_min) / tb.t_range * tb.scale;
        const std::int32_t b = to_int32(v);
        bin[i] = b < 0 ? 0 : (b > last ? last : b);
    }
}

// The same, two events per step. cvttpd2dq is the truncating conversion whose
// NaN / out-of-range result (INT32_MIN) the reference loop spells out.
inline void time_bins(const double* t, std::size_t count, const TimeBins& tb, std::int32_t* bin) noexcept {
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
        using V = Value<S>;
        std::size_t misses = 0;
        std::int32_t cur = cur_;
        // The current run as values of the field's own type: it is never empty (run 0
        // holds the smallest time, and a search lands on a run holding v), so its
        // first and last values lie between the smallest and largest time.
        V lo = static_cast<V>(edges_[cur]), last = static_cast<V>(edges_[cur + 1] - 1);
        for (std::size_t i = 0; i < count; ++i, p += field_.stride) {
            const V v = load<S>(p);
            if (v < lo || v > last) [[unlikely]] {
                ++misses;
                // upper_bound over edges_[1 .. bins]: the run holding v.
                std::int32_t a = 0, z = tb_.bins - 1;
                while (a < z) {
                    const std::int32_t mid = a + (z - a + 1) / 2;
                    if (edges_[mid] <= Wide{v})
                        a = mid;
                    else
                        z = mid - 1;
                }
                cur = a;
                lo = static_cast<V>(edges_[cur]);
                last = static_cast<V>(edges_[cur + 1] - 1);
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



// One value of an integer or bool field, widened (bool: 0 or 1).
inline __int128 value_at(const Field& f, const unsigned char* p) noexcept {
    return visit_field(f, [&]<class S>(S) -> __int128 {
        if constexpr (std::is_floating_point_v<Value<S>>) return 0;  // not asked for floats
        else return load<S>(p);
    });
}

// The maximum of an integer or bool field over n events from p, given the maximum so far.
inline __int128 chunk_max(const Field& f, const unsigned char* p, std::size_t n, __int128 hi) noexcept {
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
inline bool same_integer_storage(const EventColumns& cols) noexcept {
    return cols.has_y && cols.x.kind == cols.y.kind && cols.x.size == cols.y.size && cols.x.swap == cols.y.swap &&
           (cols.x.kind == FieldKind::Int || cols.x.kind == FieldKind::UInt);
}



// raster[bin][neuron] += 1 when the neuron is in range.
inline void add_spike(float* raster, std::int32_t bin, std::int32_t neuron, std::int64_t n_neurons) noexcept {
    if (neuron >= 0 && neuron < n_neurons) raster[static_cast<std::int64_t>(bin) * n_neurons + neuron] += 1.0f;
}

// int32(y * width + x): int32 arithmetic wraps, as the array arithmetic does.
inline std::int32_t neuron_of(std::int32_t x, std::int32_t y, std::uint32_t w) noexcept {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(y) * w + static_cast<std::uint32_t>(x));
}

// The events of a chunk with x and y stored alike, read straight from the records
// and added into the raster.
template <class S>
void add_spikes_same(const Field& xf, const Field& yf, std::size_t start, std::size_t count,
                     const std::int32_t* bin, std::uint32_t w, std::int64_t n_neurons, float* raster) noexcept {
    const unsigned char* px = xf.base + static_cast<std::ptrdiff_t>(start) * xf.stride;
    const unsigned char* py = yf.base + static_cast<std::ptrdiff_t>(start) * yf.stride;
    for (std::size_t i = 0; i < count; ++i, px += xf.stride, py += yf.stride) {
        const auto x = static_cast<std::int32_t>(load<S>(px));
        const auto y = static_cast<std::int32_t>(load<S>(py));
        add_spike(raster, bin[i], neuron_of(x, y, w), n_neurons);
    }
}


}  // namespace nivra::kernels::fields
