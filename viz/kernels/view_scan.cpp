// viz/kernels/view_scan.cpp: the viewer's opening pass over a chunk (see view_scan.h).
//
// Events go through in blocks: the time column gives each event's activity step (found
// once per run of equal steps, which sorted recordings have), the coordinates and the
// polarity are read into the block's buffers, the block is checked against the room of
// the outputs and only then counted.
#include "view_scan.h"

#include "event_fields.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace nivra::kernels {

using namespace fields;

namespace {

constexpr std::size_t kBlock = 1024;  // the block's buffers (26 KiB) live on the stack
// Steps are kept within this, so that step arithmetic never overflows.
constexpr std::int64_t kStepLimit = std::int64_t{1} << 62;
constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();

struct Block {
    std::int64_t step[kBlock];
    std::int64_t x[kBlock], y[kBlock];
    unsigned char off[kBlock], valid[kBlock];
};

// What a block's time column gave, committed only with the block.
struct Times {
    std::size_t bad = 0;
    bool any = false, sorted = true, have_last = false;
    Number lo, hi, last;
    std::int64_t step_lo = 0, step_hi = 0;
};

// What a block's time loop found besides its extremes, for either kind of time.
void found(Times& r, std::size_t bad, std::size_t count, bool have_last, bool sorted, std::int64_t s_lo,
           std::int64_t s_hi) noexcept {
    r.bad = bad;
    r.any = count > bad;
    r.have_last = have_last;
    r.sorted = sorted;
    r.step_lo = s_lo;
    r.step_hi = s_hi;
}

std::int64_t clamped(__int128 k) noexcept {
    return k > kStepLimit ? kStepLimit : (k < -kStepLimit ? -kStepLimit : static_cast<std::int64_t>(k));
}

__int128 floor_div(__int128 d, std::int64_t s) noexcept {
    if (d >= std::numeric_limits<std::int64_t>::min() && d <= kInt64Max) {
        const std::int64_t a = static_cast<std::int64_t>(d);
        std::int64_t q = a / s;
        if (a % s != 0 && a < 0) --q;
        return q;
    }
    __int128 q = d / s;
    if (d % s != 0 && d < 0) --q;
    return q;
}

// Saturated to int64: a run bound past it still compares right against int64 times.
std::int64_t saturated(__int128 v) noexcept {
    constexpr __int128 lo = std::numeric_limits<std::int64_t>::min();
    return v > kInt64Max ? kInt64Max : (v < lo ? std::numeric_limits<std::int64_t>::min() : static_cast<std::int64_t>(v));
}

// Integer times: W is int64 for storages it holds (the common case: 64-bit compares),
// __int128 for uint64.
template <class S, class W>
void int_times(const ScanSpec& spec, const ScanTotals& tot, std::size_t start, std::size_t count, Block& b,
               Times& r) noexcept {
    const Field& t = spec.cols.t;
    const unsigned char* p = t.base + static_cast<std::ptrdiff_t>(start) * t.stride;
    const __int128 o = tot.origin.i;
    const std::int64_t s = spec.step;
    // (numeric_limits may know nothing of __int128 in strict modes)
    constexpr W top = std::is_same_v<W, std::int64_t> ? W{kInt64Max} : W{1} << 100, bottom = -top - 1;
    W lo = top, hi = bottom;
    W last = tot.any_time ? static_cast<W>(tot.last.i) : bottom;
    bool sorted = true;
    W run_lo = 1, run_hi = 0;  // [run_lo, run_hi): the times of step `run`
    std::int64_t run = 0, s_lo = kStepLimit, s_hi = -kStepLimit;
    for (std::size_t i = 0; i < count; ++i, p += t.stride) {
        const W v = static_cast<W>(load<S>(p));
        lo = v < lo ? v : lo;
        hi = v > hi ? v : hi;
        sorted &= v >= last;
        last = v;
        if (!(v >= run_lo && v < run_hi)) {
            run = clamped(floor_div(__int128{v} - o, s));
            const __int128 begin = o + __int128{run} * s;
            if constexpr (std::is_same_v<W, std::int64_t>) {
                run_lo = saturated(begin);
                run_hi = saturated(begin + s);
            } else {
                run_lo = begin;
                run_hi = begin + s;
            }
            s_lo = run < s_lo ? run : s_lo;
            s_hi = run > s_hi ? run : s_hi;
        }
        b.step[i] = run;
    }
    std::fill_n(b.valid, count, static_cast<unsigned char>(1));
    r.lo.i = lo;
    r.hi.i = hi;
    r.last.i = last;
    found(r, 0, count, true, sorted, s_lo, s_hi);
}

// The float64 time where step k begins, as the array arithmetic gives it: a whole
// origin plus k * step in integers, else the origin plus float64(k * step).
double edge(const ScanTotals& tot, std::int64_t k, std::int64_t s) noexcept {
    const __int128 ks = __int128{k} * s;
    return tot.origin_whole ? static_cast<double>(tot.origin.i + ks) : tot.origin.f + static_cast<double>(ks);
}

template <class S>
void float_times(const ScanSpec& spec, const ScanTotals& tot, std::size_t start, std::size_t count, Block& b,
                 Times& r) noexcept {
    const Field& t = spec.cols.t;
    const unsigned char* p = t.base + static_cast<std::ptrdiff_t>(start) * t.stride;
    const double inf = std::numeric_limits<double>::infinity();
    const double of = tot.origin_whole ? static_cast<double>(tot.origin.i) : tot.origin.f;
    const std::int64_t s = spec.step;
    const double sd = static_cast<double>(s);
    double lo = inf, hi = -inf, last = tot.last.f;
    bool have_last = tot.any_time, sorted = true;
    double e_lo = 1, e_hi = 0;  // [e_lo, e_hi): the times of step `run`
    std::int64_t run = 0, s_lo = kStepLimit, s_hi = -kStepLimit;
    std::size_t bad = 0;
    for (std::size_t i = 0; i < count; ++i, p += t.stride) {
        const double v = converted<Target::Float64>(load<S>(p));
        const bool finite = v - v == 0.0;
        b.valid[i] = finite;
        if (!finite) {
            ++bad;
            continue;
        }
        lo = v < lo ? v : lo;
        hi = v > hi ? v : hi;
        sorted = sorted && !(have_last && v < last);
        last = v;
        have_last = true;
        if (!(v >= e_lo && v < e_hi)) {
            double q = std::floor((v - of) / sd);
            const double cap = static_cast<double>(kStepLimit);
            q = q > cap ? cap : (q < -cap ? -cap : q);
            std::int64_t k = static_cast<std::int64_t>(q);
            // the quotient's rounding may land one step off the edges: step to them
            for (int j = 0; j < 4 && k > -kStepLimit && edge(tot, k, s) > v; ++j) --k;
            for (int j = 0; j < 4 && k < kStepLimit && edge(tot, k + 1, s) <= v; ++j) ++k;
            run = k;
            e_lo = edge(tot, k, s);
            e_hi = edge(tot, k + 1, s);
            s_lo = run < s_lo ? run : s_lo;
            s_hi = run > s_hi ? run : s_hi;
        }
        b.step[i] = run;
    }
    r.lo.f = lo;
    r.hi.f = hi;
    r.last.f = last;
    found(r, bad, count, have_last, sorted, s_lo, s_hi);
}

void read_times(const ScanSpec& spec, const ScanTotals& tot, std::size_t start, std::size_t count, Block& b,
                Times& r) noexcept {
    visit_field(spec.cols.t, [&]<class S>(S) {
        if constexpr (std::is_same_v<Value<S>, std::uint64_t>)
            int_times<S, __int128>(spec, tot, start, count, b, r);
        else if constexpr (kIntegerStorage<S>)
            int_times<S, std::int64_t>(spec, tot, start, count, b, r);
        else
            float_times<S>(spec, tot, start, count, b, r);
    });
}

// The first valid time of the block as the activity's origin, when there is none yet.
void take_origin(const ScanSpec& spec, ScanTotals& tot, std::size_t start, std::size_t count) noexcept {
    const Field& t = spec.cols.t;
    const unsigned char* p = t.base + static_cast<std::ptrdiff_t>(start) * t.stride;
    visit_field(t, [&]<class S>(S) {
        if constexpr (kIntegerStorage<S>) {
            tot.origin.i = load<S>(p);
            tot.origin_whole = true;
            tot.any_origin = count > 0;
        } else {
            for (std::size_t i = 0; i < count; ++i, p += t.stride) {
                const double v = converted<Target::Float64>(load<S>(p));
                if (v - v != 0.0) continue;
                // a whole number within float64's exact integers counts as an integer
                tot.origin_whole = v == std::floor(v) && std::fabs(v) < 9007199254740992.0;
                if (tot.origin_whole) tot.origin.i = static_cast<std::int64_t>(v);
                tot.origin.f = v;
                tot.any_origin = true;
                return;
            }
        }
    });
}

// A coordinate as the binning casts it: integers as they are (past int64: the largest),
// floats truncated to int32 (NaN and values int32 cannot hold: its smallest).
template <class S>
std::int64_t read_coords(const Field& f, std::size_t start, std::size_t count, std::int64_t* out) noexcept {
    const unsigned char* p = f.base + static_cast<std::ptrdiff_t>(start) * f.stride;
    std::int64_t top = std::numeric_limits<std::int64_t>::min();
    for (std::size_t i = 0; i < count; ++i, p += f.stride) {
        const auto v = load<S>(p);
        using V = decltype(v);
        std::int64_t c;
        if constexpr (std::is_floating_point_v<V>)
            c = to_int32(static_cast<double>(v));
        else if constexpr (std::is_same_v<V, std::uint64_t>)
            c = v > static_cast<std::uint64_t>(kInt64Max) ? kInt64Max : static_cast<std::int64_t>(v);
        else
            c = static_cast<std::int64_t>(v);
        out[i] = c;
        top = c > top ? c : top;
    }
    return top;
}

// OFF (1) for a polarity at or below zero, ON (0) above it.
template <class S>
void read_off(const Field& f, std::size_t start, std::size_t count, unsigned char* out) noexcept {
    const unsigned char* p = f.base + static_cast<std::ptrdiff_t>(start) * f.stride;
    for (std::size_t i = 0; i < count; ++i, p += f.stride) out[i] = !(load<S>(p) > 0);
}

void keep_extreme(bool have, Number& into, const Number& v, bool is_int, bool low) noexcept {
    if (!have) {
        into = v;
    } else if (is_int) {
        into.i = low ? std::min(into.i, v.i) : std::max(into.i, v.i);
    } else {
        into.f = low ? std::min(into.f, v.f) : std::max(into.f, v.f);
    }
}

}  // namespace

ScanResult view_scan(const ScanSpec& spec, ScanTotals& tot, ScanChunk& chunk, std::size_t n) noexcept {
    ScanResult res;
    Block b;
    const EventColumns& cols = spec.cols;
    const std::int64_t plane = spec.width * spec.height;
    for (std::size_t start = 0; start < n; start += kBlock) {
        const std::size_t count = std::min(kBlock, n - start);
        if (!tot.any_origin) take_origin(spec, tot, start, count);
        Times tr;
        read_times(spec, tot, start, count, b, tr);
        std::int64_t bx = visit_field(cols.x, [&]<class S>(S) { return read_coords<S>(cols.x, start, count, b.x); });
        std::int64_t by = 0;
        if (cols.has_y)
            by = visit_field(cols.y, [&]<class S>(S) { return read_coords<S>(cols.y, start, count, b.y); });
        else
            std::fill_n(b.y, count, std::int64_t{0});
        if (cols.has_p)
            visit_field(cols.p, [&]<class S>(S) { read_off<S>(cols.p, start, count, b.off); });
        else
            std::fill_n(b.off, count, static_cast<unsigned char>(0));

        // Room: the block's steps and coordinates within the outputs (the coordinates'
        // maxima over the events with a valid time only, when some have none).
        if (tr.bad) {
            bx = by = std::numeric_limits<std::int64_t>::min();
            for (std::size_t i = 0; i < count; ++i) {
                if (!b.valid[i]) continue;
                bx = std::max(bx, b.x[i]);
                by = std::max(by, b.y[i]);
            }
        }
        if (tr.any) {
            const std::int64_t lo = tot.any_step ? std::min(tot.step_lo, tr.step_lo) : tr.step_lo;
            const std::int64_t hi = tot.any_step ? std::max(tot.step_hi, tr.step_hi) : tr.step_hi;
            if (tr.step_lo < spec.first || tr.step_hi - spec.first >= spec.bins) {
                res.stop = ScanStop::Activity;
                res.need_a = lo;
                res.need_b = hi;
                return res;
            }
            const std::int64_t xm = tot.any_xy ? std::max(tot.x_max, bx) : bx;
            const std::int64_t ym = tot.any_xy ? std::max(tot.y_max, by) : by;
            std::int64_t need_w = xm < 0 ? 0 : (xm == kInt64Max ? kInt64Max : xm + 1);
            std::int64_t need_h = !cols.has_y ? 1 : (ym < 0 ? 0 : (ym == kInt64Max ? kInt64Max : ym + 1));
            if (spec.limited) {
                need_w = std::min(need_w, spec.limit_width);
                need_h = std::min(need_h, spec.limit_height);
            }
            if (need_w > spec.width || need_h > spec.height) {
                res.stop = ScanStop::Pixels;
                res.need_a = need_w;
                res.need_b = need_h;
                return res;
            }
        }

        // Counted.
        tot.count += count;
        tot.bad_time += tr.bad;
        if (tr.any) {
            const bool is_int = spec.int_time;
            keep_extreme(tot.any_time, tot.t_lo, tr.lo, is_int, true);
            keep_extreme(tot.any_time, tot.t_hi, tr.hi, is_int, false);
            keep_extreme(chunk.any, chunk.lo, tr.lo, is_int, true);
            keep_extreme(chunk.any, chunk.hi, tr.hi, is_int, false);
            tot.last = tr.last;
            tot.any_time = chunk.any = true;
            tot.sorted = tot.sorted && tr.sorted;
            tot.step_lo = tot.any_step ? std::min(tot.step_lo, tr.step_lo) : tr.step_lo;
            tot.step_hi = tot.any_step ? std::max(tot.step_hi, tr.step_hi) : tr.step_hi;
            tot.any_step = true;
            tot.x_max = tot.any_xy ? std::max(tot.x_max, bx) : bx;
            tot.y_max = tot.any_xy ? std::max(tot.y_max, by) : by;
            tot.any_xy = true;
        }
        // Activity: the events of a run of one step are counted before being added (a
        // sorted recording has long runs, which would otherwise add to one place in turn).
        // Pixels: each event's place (or -1), counted in the next loop.
        std::int64_t* const act = spec.activity;
        std::int64_t* const act_off = act + spec.bins;
        const std::int64_t first = spec.first;
        std::int64_t run = 0, run_all = 0, run_off = 0;
        const std::int64_t lw = spec.limited ? spec.limit_width : kInt64Max;
        const std::int64_t lh = spec.limited ? spec.limit_height : kInt64Max;
        std::uint64_t negative = 0, outside = 0;
        std::int64_t* const place = b.x;
        for (std::size_t i = 0; i < count; ++i) {
            const std::int64_t x = b.x[i], y = b.y[i];
            if (!b.valid[i]) {
                place[i] = -1;
                continue;
            }
            if (b.step[i] != run) {
                if (run_all) act[run - first] += run_all - run_off, act_off[run - first] += run_off;
                run = b.step[i];
                run_all = run_off = 0;
            }
            ++run_all;
            run_off += b.off[i];
            const bool neg = (x | y) < 0, out = !neg && (x >= lw || y >= lh);
            negative += neg;
            outside += out;
            place[i] = !neg && !out ? b.off[i] * plane + y * spec.width + x : -1;
        }
        if (run_all) act[run - first] += run_all - run_off, act_off[run - first] += run_off;
        constexpr std::size_t kAhead = 64;
        std::int64_t* const pixels = spec.pixels;
        for (std::size_t i = 0; i < count; ++i) {
            if (i + kAhead < count && place[i + kAhead] >= 0) __builtin_prefetch(pixels + place[i + kAhead], 1);
            if (place[i] >= 0) pixels[place[i]] += 1;
        }
        tot.negative += negative;
        tot.outside += outside;
        res.consumed = start + count;
    }
    return res;
}

}  // namespace nivra::kernels
