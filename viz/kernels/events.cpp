// viz/kernels/events.cpp: event binning and frame colouring (see events.h).
//
// Events are processed in chunks: each column of a chunk is first converted into a
// small typed buffer by a loop specialised for its storage (type, byte order; chosen
// by visit_field), then the chunk is scattered. Memory use is the caller's output plus
// these buffers.
//
// A raster reads its events twice: scan_raster finds the sensor extents and the time
// bounds (and, for a limited neuron range, the few events that can fall into it), then
// the binning. On CPUs with AVX-512 VBMI the scan takes packed records eight at a time.
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

}  // namespace

void bin_raster(const EventColumns& cols, std::size_t n, const TimeBins& tb, std::int32_t width,
                std::int64_t n_neurons, float* raster) noexcept {
    ChunkBins chunk_bins(cols.t, tb);
    std::int32_t bin[kChunk], x[kChunk], y[kChunk];
    const std::uint32_t w = static_cast<std::uint32_t>(width);
    const bool same = same_integer_storage(cols);
    for (std::size_t start = 0; start < n; start += kChunk) {
        const std::size_t count = std::min(kChunk, n - start);
        chunk_bins.bins(start, count, bin);
        if (same) {
            visit_field(cols.x, [&]<class S>(S) {
                if constexpr (kIntegerStorage<S>)
                    add_spikes_same<S>(cols.x, cols.y, start, count, bin, w, n_neurons, raster);
            });
            continue;
        }
        convert<Target::Int32>(cols.x, start, count, x);
        if (cols.has_y) convert<Target::Int32>(cols.y, start, count, y);
        for (std::size_t i = 0; i < count; ++i)
            add_spike(raster, bin[i], cols.has_y ? neuron_of(x[i], y[i], w) : x[i], n_neurons);
    }
}

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
