// viz/kernels/accumulate.cpp: a recording's page counts in one pass per chunk (see
// accumulate.h).
//
// Events go through in blocks of kChunk: each column of a block is read once by a loop
// made for its storage (the time column also selects the events and takes the block's
// extremes; the coordinates are cast to int32 and checked), then the block's time bins
// are found and its events scattered into the outputs. Nothing of a block is counted
// before the check that the outputs can hold it. The loops are kept to the work the
// block needs (no window, every coordinate in int32's range: the common case).
#include "accumulate.h"

#include "event_fields.h"

#include <optional>

namespace nivra::kernels {

using namespace fields;

namespace {

constexpr std::int32_t kInt32Min = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kInt32Max = std::numeric_limits<std::int32_t>::max();

// What a block's time column gave: selection flags (in the caller's buffer) and the
// block's counts and extremes, committed only when the block is.
struct TimeBlock {
    std::uint64_t bad = 0, outside = 0;
    bool any_time = false, any_selected = false, all_selected = false;
    Number t_lo, t_hi, s_lo, s_hi;
};

// The window's bounds in a storage's own values: `none` when no value can be selected,
// lower/upper unset when every value passes that side.
template <class V>
struct Bounds {
    bool none = false, has_lo = false, has_hi = false;
    V lo{}, hi{};
};

template <class V>
Bounds<V> int_bounds(const AccSpec& spec) noexcept {
    Bounds<V> b;
    const __int128 vmin = std::numeric_limits<V>::lowest(), vmax = std::numeric_limits<V>::max();
    if (spec.has_lo) {
        if (spec.lo.i > vmax) b.none = true;
        else if (spec.lo.i > vmin) b.has_lo = true, b.lo = static_cast<V>(spec.lo.i);
    }
    if (spec.has_hi) {
        if (spec.hi.i <= vmin) b.none = true;
        else if (spec.hi.i <= vmax) b.has_hi = true, b.hi = static_cast<V>(spec.hi.i);
    }
    return b;
}

// Integer times of a block: extremes, and with a window the selection. Lo and Hi say
// which bounds the window has.
template <class S, bool Lo, bool Hi>
void int_times(const Field& t, std::size_t start, std::size_t count, const Bounds<Value<S>>& b, unsigned char* sel,
               TimeBlock& tb) noexcept {
    using V = Value<S>;
    const unsigned char* p = t.base + static_cast<std::ptrdiff_t>(start) * t.stride;
    const std::ptrdiff_t stride = t.stride;
    V lo = std::numeric_limits<V>::max(), hi = std::numeric_limits<V>::lowest();
    V slo = lo, shi = hi;
    std::size_t picked = 0;
    for (std::size_t i = 0; i < count; ++i, p += stride) {
        const V v = load<S>(p);
        lo = v < lo ? v : lo;
        hi = v > hi ? v : hi;
        if constexpr (Lo || Hi) {
            bool in = true;
            if constexpr (Lo) in = v >= b.lo;
            if constexpr (Hi) in = in && v < b.hi;
            sel[i] = in;
            picked += in;
            slo = in && v < slo ? v : slo;
            shi = in && v > shi ? v : shi;
        }
    }
    if constexpr (!(Lo || Hi)) {
        std::fill_n(sel, count, static_cast<unsigned char>(1));
        picked = count;
        slo = lo;
        shi = hi;
    }
    tb.outside = count - picked;
    tb.any_time = count > 0;
    tb.t_lo.i = lo;
    tb.t_hi.i = hi;
    tb.any_selected = picked > 0;
    tb.all_selected = picked == count;
    tb.s_lo.i = slo;
    tb.s_hi.i = shi;
}

// Float (and bool) times of a block: finite ones only; the window on t - origin.
template <class S, bool Window>
void float_times(const AccSpec& spec, std::size_t start, std::size_t count, unsigned char* sel,
                 TimeBlock& tb) noexcept {
    const Field& t = spec.cols.t;
    const unsigned char* p = t.base + static_cast<std::ptrdiff_t>(start) * t.stride;
    const double inf = std::numeric_limits<double>::infinity();
    const double origin = spec.origin.f;
    const double lo_b = spec.has_lo ? spec.lo.f : -inf, hi_b = spec.has_hi ? spec.hi.f : inf;
    const bool open_hi = !spec.has_hi;
    double lo = inf, hi = -inf, slo = inf, shi = -inf;
    std::size_t picked = 0, bad = 0;
    for (std::size_t i = 0; i < count; ++i, p += t.stride) {
        const double v = converted<Target::Float64>(load<S>(p));
        const bool finite = v - v == 0.0;
        bad += !finite;
        lo = finite && v < lo ? v : lo;
        hi = finite && v > hi ? v : hi;
        bool in = finite;
        if constexpr (Window) {
            const double rel = v - origin;
            in = in && rel >= lo_b && (open_hi || rel < hi_b);
        }
        sel[i] = in;
        picked += in;
        slo = in && v < slo ? v : slo;
        shi = in && v > shi ? v : shi;
    }
    tb.bad = bad;
    tb.outside = count - picked - bad;
    tb.any_time = count > bad;
    tb.t_lo.f = lo;
    tb.t_hi.f = hi;
    tb.any_selected = picked > 0;
    tb.all_selected = picked == count;
    tb.s_lo.f = slo;
    tb.s_hi.f = shi;
}

void read_times(const AccSpec& spec, std::size_t start, std::size_t count, unsigned char* sel,
                TimeBlock& tb) noexcept {
    const Field& t = spec.cols.t;
    visit_field(t, [&]<class S>(S) {
        if constexpr (kIntegerStorage<S>) {
            const Bounds<Value<S>> b = int_bounds<Value<S>>(spec);
            if (b.none) {
                int_times<S, false, false>(t, start, count, b, sel, tb);
                std::fill_n(sel, count, static_cast<unsigned char>(0));
                tb.outside = count;
                tb.any_selected = tb.all_selected = false;
            } else if (b.has_lo && b.has_hi) {
                int_times<S, true, true>(t, start, count, b, sel, tb);
            } else if (b.has_lo) {
                int_times<S, true, false>(t, start, count, b, sel, tb);
            } else if (b.has_hi) {
                int_times<S, false, true>(t, start, count, b, sel, tb);
            } else {
                int_times<S, false, false>(t, start, count, b, sel, tb);
            }
        } else if (spec.has_lo || spec.has_hi) {
            float_times<S, true>(spec, start, count, sel, tb);
        } else {
            float_times<S, false>(spec, start, count, sel, tb);
        }
    });
}

// A float64 time has a fraction (times beyond 2^52 are whole).
inline bool has_fraction(double v) noexcept {
    if (!(v > -4.5e15 && v < 4.5e15)) return false;
    return v != static_cast<double>(static_cast<std::int64_t>(v));
}

// True when a selected float time of the block has a fraction.
template <class S>
bool any_fraction(const Field& t, std::size_t start, std::size_t count, const unsigned char* sel) noexcept {
    const unsigned char* p = t.base + static_cast<std::ptrdiff_t>(start) * t.stride;
    for (std::size_t i = 0; i < count; ++i, p += t.stride)
        if (sel[i] && has_fraction(converted<Target::Float64>(load<S>(p)))) return true;
    return false;
}

// Histogram step of integer times from the span's start: runs of equal steps are met
// in order in sorted recordings, so the division is done once per run.
class IntSteps {
public:
    IntSteps(__int128 start, __int128 step, std::int64_t steps) noexcept
        : start_(start), step_(static_cast<std::uint64_t>(step)), last_(static_cast<std::uint64_t>(steps - 1)) {}
    template <class V>
    std::int64_t of(V v) noexcept {
        if (__int128{v} < start_) return 0;
        const std::uint64_t d = static_cast<std::uint64_t>(__int128{v} - start_);
        if (d - run_lo_ < step_) return run_;  // unsigned: false below run_lo_ too
        const std::uint64_t k = d / step_;
        if (k >= last_) return static_cast<std::int64_t>(last_);
        run_ = static_cast<std::int64_t>(k);
        run_lo_ = k * step_;
        return run_;
    }

private:
    __int128 start_;
    std::uint64_t step_, last_;
    std::int64_t run_ = 0;
    std::uint64_t run_lo_ = 0;
};

// Histogram steps of the selected events of a block (others left as they are).
void histogram_steps(const AccSpec& spec, std::size_t start, std::size_t count, const unsigned char* sel,
                     IntSteps* int_steps, std::int64_t* step) noexcept {
    const Field& t = spec.cols.t;
    const unsigned char* p0 = t.base + static_cast<std::ptrdiff_t>(start) * t.stride;
    visit_field(t, [&]<class S>(S) {
        const unsigned char* p = p0;
        if constexpr (kIntegerStorage<S>) {
            for (std::size_t i = 0; i < count; ++i, p += t.stride)
                if (sel[i]) step[i] = int_steps->of(load<S>(p));
        } else {
            const double step_f = spec.histogram_step.f, start_f = spec.histogram_start.f;
            for (std::size_t i = 0; i < count; ++i, p += t.stride) {
                if (!sel[i]) continue;
                const double k = (converted<Target::Float64>(load<S>(p)) - start_f) / step_f;
                step[i] = k > 0 ? static_cast<std::int64_t>(k < 9.0e18 ? k : 9.0e18) : 0;
            }
        }
    });
}

// Fit codes of a cast coordinate.
enum : unsigned char { kFits = 0, kUnfitNegative = 1, kUnfitOther = 2 };

// What a block's coordinate column gave: the largest raw value of the selected events
// (NaN left out), the largest selected value that int32 holds, and whether every value
// fits (the codes are written only when not).
struct CoordBlock {
    bool any = false;
    Number max;
    std::int32_t fit_max = kInt32Min;
    bool all_fit = true;
};

// Storages whose every value int32 holds.
template <class V>
constexpr bool kAlwaysFits = std::is_integral_v<V> && (sizeof(V) < 4 || (sizeof(V) == 4 && std::is_signed_v<V>));

template <class S, bool AllSelected>
void read_coords(const Field& f, std::size_t start, std::size_t count, const unsigned char* sel,
                 std::int32_t* out, unsigned char* code, CoordBlock& cb) noexcept {
    using V = Value<S>;
    const unsigned char* p = f.base + static_cast<std::ptrdiff_t>(start) * f.stride;
    const std::ptrdiff_t stride = f.stride;
    if constexpr (std::is_floating_point_v<V>) {
        double mx = -std::numeric_limits<double>::infinity();
        std::int32_t fit_max = kInt32Min;
        bool any = false, all_fit = true;
        for (std::size_t i = 0; i < count; ++i, p += stride) {
            const double d = static_cast<double>(load<S>(p));
            const bool fits = d > -2147483649.0 && d < 2147483648.0;
            const std::int32_t v = fits ? static_cast<std::int32_t>(d) : 0;
            out[i] = v;
            code[i] = fits ? kFits : (d < 0 ? kUnfitNegative : kUnfitOther);
            all_fit &= fits;
            const bool s = AllSelected || sel[i];
            const bool take = s && d == d;
            any |= take;
            mx = take && d > mx ? d : mx;
            fit_max = s && fits && v > fit_max ? v : fit_max;
        }
        cb.any = any;
        cb.max.f = mx;
        cb.fit_max = fit_max;
        cb.all_fit = all_fit;
    } else if constexpr (kAlwaysFits<V>) {
        V mx = std::numeric_limits<V>::lowest();
        for (std::size_t i = 0; i < count; ++i, p += stride) {
            const V v = load<S>(p);
            out[i] = static_cast<std::int32_t>(v);
            if constexpr (AllSelected) mx = v > mx ? v : mx;
            else mx = sel[i] && v > mx ? v : mx;
        }
        cb.any = AllSelected ? count > 0 : std::any_of(sel, sel + count, [](unsigned char s) { return s != 0; });
        cb.max.i = mx;
        cb.fit_max = cb.any ? static_cast<std::int32_t>(mx) : kInt32Min;
        cb.all_fit = true;
    } else {
        V mx = std::numeric_limits<V>::lowest();
        std::int32_t fit_max = kInt32Min;
        bool any = false, all_fit = true;
        for (std::size_t i = 0; i < count; ++i, p += stride) {
            const V v = load<S>(p);
            bool fits;
            if constexpr (std::is_unsigned_v<V>) fits = v <= static_cast<V>(kInt32Max);
            else fits = v >= kInt32Min && v <= kInt32Max;
            const std::int32_t c = fits ? static_cast<std::int32_t>(v) : 0;
            out[i] = c;
            if constexpr (std::is_signed_v<V>)
                code[i] = fits ? kFits : (v < 0 ? kUnfitNegative : kUnfitOther);
            else
                code[i] = fits ? kFits : kUnfitOther;
            all_fit &= fits;
            const bool s = AllSelected || sel[i];
            any |= s;
            mx = s && v > mx ? v : mx;
            fit_max = s && fits && c > fit_max ? c : fit_max;
        }
        cb.any = any;
        cb.max.i = mx;
        cb.fit_max = fit_max;
        cb.all_fit = all_fit;
    }
}

void read_coords_of(const Field& f, std::size_t start, std::size_t count, const unsigned char* sel,
                    bool all_selected, std::int32_t* out, unsigned char* code, CoordBlock& cb) noexcept {
    visit_field(f, [&]<class S>(S) {
        if (all_selected) read_coords<S, true>(f, start, count, sel, out, code, cb);
        else read_coords<S, false>(f, start, count, sel, out, code, cb);
    });
}

// total = min(total, v) / max(total, v), exact or in float64.
void take_min(Number& total, const Number& v, bool is_int) noexcept {
    if (is_int) total.i = v.i < total.i ? v.i : total.i;
    else total.f = v.f < total.f ? v.f : total.f;
}
void take_max(Number& total, const Number& v, bool is_int) noexcept {
    if (is_int) total.i = v.i > total.i ? v.i : total.i;
    else total.f = v.f > total.f ? v.f : total.f;
}

// Folds a block's extreme into the totals' (the first one taken as it is).
void fold_max(bool block_any, const Number& v, bool is_int, bool& any, Number& total) noexcept {
    if (!block_any) return;
    if (any) take_max(total, v, is_int);
    else total = v;
    any = true;
}

// Width of the raster from a largest x (exact or float64), clamped to [0, cap].
std::int64_t width_of(const Number& x_max, bool is_int, std::int64_t cap) noexcept {
    if (is_int) {
        const __int128 w = x_max.i + 1;
        return w < 0 ? 0 : (w > cap ? cap : static_cast<std::int64_t>(w));
    }
    const double m = x_max.f;
    if (!(m > -1.0)) return 0;  // -inf, or below -1: int() + 1 is at most 0
    if (m >= static_cast<double>(cap)) return cap;
    return static_cast<std::int64_t>(m) + 1;  // int() truncates toward zero
}

// Moves the raster's entries from width `from` to width `to` (> from >= 1) in place:
// neuron y * from + x becomes y * to + x, which is no smaller, so a sweep from the
// top never writes over an entry not yet moved; neurons past the limit are dropped.
void relayout_raster(float* raster, std::int64_t bins, std::int64_t limit, std::int64_t from, std::int64_t to) noexcept {
    for (std::int64_t b = 0; b < bins; ++b) {
        float* row = raster + b * limit;
        for (std::int64_t i = limit - 1; i >= from; --i) {
            const float v = row[i];
            if (v == 0.0f) continue;
            row[i] = 0.0f;
            const std::int64_t j = (i / from) * to + i % from;
            if (j < limit) row[j] = v;
        }
    }
}

// The bin of an integer time, by the float64 formula on the value the array cast gives.
std::int32_t int_bin(const TimeBins& tb, __int128 t, bool unsigned64) noexcept {
    const double d = unsigned64 ? static_cast<double>(static_cast<std::uint64_t>(t))
                                : static_cast<double>(static_cast<std::int64_t>(t));
    std::int32_t out;
    time_bins_scalar(&d, 1, tb, &out);
    return out;
}

}  // namespace

bool grid_of_frames(const AccSpec& spec, std::int32_t* out) noexcept {
    const TimeBins& f = spec.frame_tb;
    const TimeBins& g = spec.grid_tb;
    if (!spec.int_time || !f.has_int_bounds || f.bins > kMaxShortcutFrames || f.int_max < f.int_min) return false;
    const bool u64 = spec.cols.t.kind == FieldKind::UInt && spec.cols.t.size == 8;
    // The first time of each frame's run of integer times (the bin is monotonic in t).
    __int128 first = f.int_min;
    for (std::int32_t b = 0; b < f.bins; ++b) {
        __int128 a = first, z = f.int_max + 1;  // the first t with bin > b, else z
        while (a < z) {
            const __int128 mid = a + (z - a) / 2;
            if (int_bin(f, mid, u64) > b) z = mid;
            else a = mid + 1;
        }
        const __int128 end = a;  // the run of frame b is [first, end)
        if (end <= first) {
            out[b] = -1;  // no integer time falls into this frame
        } else {
            const std::int32_t g0 = int_bin(g, first, u64), g1 = int_bin(g, end - 1, u64);
            out[b] = g0 == g1 ? g0 : -1;
        }
        first = end;
    }
    return true;
}

std::int64_t raster_width(const AccSpec& spec, const AccTotals& totals, std::int64_t limit) noexcept {
    if (!totals.any_x) return 0;
    return width_of(totals.x_max, spec.int_x, limit + 1);
}

AccResult accumulate(const AccSpec& spec, const AccOutputs& out, AccTotals& totals, std::size_t n) noexcept {
    const EventColumns& cols = spec.cols;
    AccResult res;
    const bool binning = spec.binning;
    const bool want_steps = binning && out.histogram;
    std::optional<ChunkBins> frame_bins, grid_bins;
    if (binning && out.frames) frame_bins.emplace(cols.t, spec.frame_tb);
    if (binning && out.grid) grid_bins.emplace(cols.t, spec.grid_tb);
    std::optional<IntSteps> int_steps;
    if (want_steps && spec.int_time)
        int_steps.emplace(spec.histogram_start.i, spec.histogram_step.i, out.histogram_steps);
    // Grid bins taken from the frame bins where a frame lies inside one grid bin.
    const std::int32_t* grid_of = out.frames && out.grid ? out.grid_of_frame : nullptr;
    bool any_split = true;
    if (grid_of) {
        any_split = false;
        for (std::int32_t b = 0; b < spec.frame_tb.bins; ++b) any_split |= grid_of[b] < 0;
    }

    const std::int64_t width = spec.width, height = spec.height, plane = width * height;
    const std::int64_t limit = out.raster_limit;
    unsigned char sel[kChunk], xcode[kChunk], ycode[kChunk], on[kChunk];
    std::int32_t x[kChunk], y[kChunk], fbin[kChunk], gbin[kChunk], rbin[kChunk];
    std::int64_t step[kChunk], cell[kChunk];
    std::uint32_t kept_index[kChunk];
    std::int32_t column[kChunk];
    const bool mapped = out.pixel_map != nullptr;

    for (std::size_t start = 0; start < n; start += kChunk) {
        const std::size_t count = std::min(kChunk, n - start);
        if (out.raster && cols.has_y && !mapped && out.pending_capacity - totals.pending < count) {
            res.stop = AccStop::Room;
            res.consumed = start;
            return res;
        }
        TimeBlock tb;
        read_times(spec, start, count, sel, tb);
        CoordBlock xb, yb;
        read_coords_of(cols.x, start, count, sel, tb.all_selected, x, xcode, xb);
        if (cols.has_y) {
            read_coords_of(cols.y, start, count, sel, tb.all_selected, y, ycode, yb);
        } else {
            std::fill_n(y, count, 0);
            yb.any = false;
            yb.fit_max = 0;
        }
        const bool all_fit = xb.all_fit && yb.all_fit;
        if (!xb.all_fit && yb.all_fit) std::fill_n(ycode, count, kFits);
        if (xb.all_fit && !yb.all_fit) std::fill_n(xcode, count, kFits);
        if (spec.detected && binning && (xb.fit_max >= width || yb.fit_max >= height)) {
            res.stop = AccStop::Grow;
            res.consumed = start;
            res.need_width = std::max<std::int64_t>(width, std::int64_t{xb.fit_max} + 1);
            res.need_height = std::max<std::int64_t>(height, std::int64_t{yb.fit_max} + 1);
            return res;
        }

        // The block is counted from here on.
        const std::int64_t w_before = raster_width(spec, totals, limit);
        totals.count += count;
        totals.bad_time += tb.bad;
        totals.outside_window += tb.outside;
        if (tb.any_time) {
            if (totals.any_time) {
                take_min(totals.t_lo, tb.t_lo, spec.int_time);
                take_max(totals.t_hi, tb.t_hi, spec.int_time);
            } else {
                totals.t_lo = tb.t_lo;
                totals.t_hi = tb.t_hi;
                totals.any_time = true;
            }
        }
        if (!tb.any_selected) continue;
        if (totals.any_selected) {
            take_min(totals.s_lo, tb.s_lo, spec.int_time);
            take_max(totals.s_hi, tb.s_hi, spec.int_time);
        } else {
            totals.s_lo = tb.s_lo;
            totals.s_hi = tb.s_hi;
            totals.any_selected = true;
        }
        fold_max(xb.any, xb.max, spec.int_x, totals.any_x, totals.x_max);
        if (cols.has_y) fold_max(yb.any, yb.max, spec.int_y, totals.any_y, totals.y_max);
        if (!spec.int_time && !totals.fractional)
            visit_field(cols.t, [&]<class S>(S) { totals.fractional = any_fraction<S>(cols.t, start, count, sel); });

        // Raster columns laid out for the width the selected events now reach.
        const std::int64_t w = raster_width(spec, totals, limit);
        if (out.raster && cols.has_y && !mapped && w > w_before && w_before >= 1)
            relayout_raster(out.raster, spec.raster_tb.bins, limit, w_before, w);

        // Events on the sensor, and the ones left off it.
        std::size_t kept = 0;
        std::uint64_t negative = 0;
        const bool bounded = !spec.detected;
        if (tb.all_selected && all_fit) {
            for (std::size_t i = 0; i < count; ++i) {
                const std::int64_t xi = x[i], yi = y[i];
                const bool inside = xi >= 0 && yi >= 0 && (!bounded || (xi < width && yi < height));
                kept_index[kept] = static_cast<std::uint32_t>(i);
                kept += inside;
                negative += (xi < 0) | (yi < 0);
            }
        } else {
            for (std::size_t i = 0; i < count; ++i) {
                if (!sel[i]) continue;
                const std::int64_t xi = x[i], yi = y[i];
                const bool fits = all_fit || (xcode[i] | ycode[i]) == kFits;
                const bool inside = fits && xi >= 0 && yi >= 0 && (!bounded || (xi < width && yi < height));
                kept_index[kept] = static_cast<std::uint32_t>(i);
                kept += inside;
                if (all_fit)
                    negative += (xi < 0) | (yi < 0);
                else
                    negative += (xcode[i] == kFits ? xi < 0 : xcode[i] == kUnfitNegative) ||
                                (ycode[i] == kFits ? yi < 0 : ycode[i] == kUnfitNegative);
            }
        }
        const std::uint64_t selected = count - tb.bad - tb.outside;
        totals.outside += selected - kept;
        totals.negative += negative;
        if (!binning) continue;

        // The adds (and map look-ups) wait on cache misses otherwise: fetch the cells a
        // few events ahead.
        constexpr std::size_t kAhead = 16;

        // Pixels the map leaves out: off every output, counted (on the sensor, so in range).
        if (mapped) {
            for (std::size_t k = 0; k < kept; ++k) {
                const std::size_t i = kept_index[k];
                cell[k] = std::int64_t{y[i]} * width + x[i];
            }
            std::size_t m = 0;
            for (std::size_t k = 0; k < kept; ++k) {
                if (k + kAhead < kept) __builtin_prefetch(out.pixel_map + cell[k + kAhead], 0);
                const std::size_t i = kept_index[k];
                const std::int32_t c = out.pixel_map[cell[k]];
                kept_index[m] = static_cast<std::uint32_t>(i);
                column[m] = c;
                m += c != kLeftOutPixel;
            }
            totals.masked += kept - m;
            kept = m;
        }

        if (cols.has_p)
            convert<Target::Positive>(cols.p, start, count, on);
        else
            std::fill_n(on, count, static_cast<unsigned char>(1));
        if (frame_bins) frame_bins->bins(start, count, fbin);

        if (out.frames) {
            for (std::size_t k = 0; k < kept; ++k) {
                const std::size_t i = kept_index[k];
                cell[k] = (static_cast<std::int64_t>(fbin[i]) * 2 + (on[i] ? 0 : 1)) * plane +
                          std::int64_t{y[i]} * width + x[i];
            }
            float* target = out.frames;
            for (std::size_t k = 0; k < kept; ++k) {
                if (k + kAhead < kept) __builtin_prefetch(target + cell[k + kAhead], 1);
                target[cell[k]] += 1.0f;
            }
        }
        if (out.grid && any_split) {
            // Without the frames' shortcut every event; with it only those of frames that
            // straddle a grid bin's edge (the rest are the caller's to add from the frames).
            grid_bins->bins(start, count, gbin);
            std::size_t m = 0;
            for (std::size_t k = 0; k < kept; ++k) {
                const std::size_t i = kept_index[k];
                if (grid_of && grid_of[fbin[i]] >= 0) continue;
                cell[m++] = (static_cast<std::int64_t>(gbin[i]) * 2 + (on[i] ? 0 : 1)) * plane +
                            std::int64_t{y[i]} * width + x[i];
            }
            float* target = out.grid;
            for (std::size_t k = 0; k < m; ++k) {
                if (k + kAhead < m) __builtin_prefetch(target + cell[k + kAhead], 1);
                target[cell[k]] += 1.0f;
            }
        }
        if (out.pixels) {
            for (std::size_t k = 0; k < kept; ++k) {
                const std::size_t i = kept_index[k];
                cell[k] = (on[i] ? 0 : plane) + std::int64_t{y[i]} * width + x[i];
            }
            for (std::size_t k = 0; k < kept; ++k) {
                if (k + kAhead < kept) __builtin_prefetch(out.pixels + cell[k + kAhead], 1);
                out.pixels[cell[k]] += 1;
            }
        }
        if (out.histogram) {
            histogram_steps(spec, start, count, sel, int_steps ? &*int_steps : nullptr, step);
            const std::int64_t last = out.histogram_steps - 1;
            for (std::size_t k = 0; k < kept; ++k) {
                const std::size_t i = kept_index[k];
                const std::int64_t s = step[i] > last ? last : step[i];
                out.histogram[s * 2 + (on[i] ? 0 : 1)] += 1;
            }
        }
        if (out.raster && mapped) {
            // Drawn events of the pixels that have a raster column.
            std::size_t m = 0;
            for (std::size_t k = 0; k < kept; ++k) {
                const std::int32_t c = column[k];
                column[m] = c;
                kept_index[m] = static_cast<std::uint32_t>(start + kept_index[k]);
                m += c >= 0 && c < limit;
            }
            if (m) {
                double tv[kChunk];
                gather<Target::Float64>(cols.t, kept_index, m, tv);
                time_bins(tv, m, spec.raster_tb, rbin);
            }
            for (std::size_t k = 0; k < m; ++k) out.raster[std::int64_t{rbin[k]} * limit + column[k]] += 1.0f;
        } else if (out.raster) {
            // The events whose neuron can be in range (few, for a limited raster), then
            // their time bins by the formula (the runs of the frames' bins give the same).
            std::size_t m = 0;
            for (std::size_t i = 0; i < count; ++i) {
                if (!tb.all_selected && !sel[i]) continue;
                if (!all_fit && (xcode[i] | ycode[i]) != kFits) continue;
                const std::int64_t xi = x[i], yi = y[i];
                bool candidate;
                if (!cols.has_y) {
                    candidate = xi >= 0 && xi < limit;
                } else {
                    // Never in range: y < 0, or row 0 left of the sensor; past the limit
                    // now is past it later too (w only grows). |y * w + x| < 2^62.
                    candidate = yi >= 0 && (yi > 0 || xi >= 0) && yi * w + xi < limit;
                }
                kept_index[m] = static_cast<std::uint32_t>(start + i);
                m += candidate;
            }
            if (m) {
                double tv[kChunk];
                gather<Target::Float64>(cols.t, kept_index, m, tv);
                time_bins(tv, m, spec.raster_tb, rbin);
            }
            float* raster = out.raster;
            for (std::size_t k = 0; k < m; ++k) {
                const std::size_t i = kept_index[k] - start;
                const std::int64_t xi = x[i], yi = y[i];
                const std::int64_t neuron = cols.has_y ? yi * w + xi : xi;
                if (xi >= 0) {
                    raster[std::int64_t{rbin[k]} * limit + neuron] += 1.0f;
                } else {
                    std::int32_t* e = out.pending + 3 * totals.pending++;
                    e[0] = rbin[k];
                    e[1] = y[i];
                    e[2] = x[i];
                }
            }
        }
    }
    res.consumed = n;
    return res;
}

}  // namespace nivra::kernels
