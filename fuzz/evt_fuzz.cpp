// fuzz/evt_fuzz.cpp: the Prophesee word decoders on any bytes, in every encoding: no read or
// write outside the input and output, the output never overfilled, and decoding in two
// pieces (at any word boundary, into a small output, resuming from the state) gives the
// events and the state of decoding in one piece.
#include "kernels/evt.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

namespace e = nivra::kernels::evt;

// Every event of data[0, size), decoded into outputs of `room` events at a time, the
// first call ending at byte `cut`; the state at the end in *state.
std::vector<e::Event> decode_all(const std::uint8_t* data, std::size_t size, std::size_t cut, std::size_t room,
                                 e::State* state, e::Status* last) {
    std::vector<e::Event> events;
    std::vector<e::Event> out(room);
    std::size_t pos = 0, end = cut;
    for (int guard = 0; guard < 1 << 20; ++guard) {
        std::size_t written = 0, consumed = 0;
        *last = e::decode(data + pos, end - pos, *state, out.data(), room, &written, &consumed);
        if (written > room || consumed > end - pos) std::abort();
        events.insert(events.end(), out.begin(), out.begin() + static_cast<std::ptrdiff_t>(written));
        pos += consumed;
        if (*last == e::Status::Full) continue;
        if (*last != e::Status::Ok || end == size) return events;
        end = size;
    }
    std::abort();  // no progress
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const e::Encoding encodings[] = {e::Encoding::Evt3, e::Encoding::Evt2, e::Encoding::Evt21, e::Encoding::Dat};
    const e::Encoding encoding = encodings[data[0] % 4];
    const std::size_t unit = e::word_size(static_cast<std::int64_t>(encoding));
    data += 1;
    size -= 1;
    // Exactly sized copy, so the sanitizer sees any read past its end.
    std::vector<std::uint8_t> bytes(data, data + size);
    e::State whole = e::start(encoding), parts = e::start(encoding);
    e::Status a, b;
    const std::size_t cut = (size / unit) ? (data[0] % (size / unit + 1)) * unit : 0;
    const auto one = decode_all(bytes.data(), size, size, 1 << 12, &whole, &a);
    const auto two = decode_all(bytes.data(), size, cut, e::kMinRoom, &parts, &b);
    if (a != b || one.size() != two.size() || std::memcmp(&whole, &parts, sizeof whole) != 0) std::abort();
    if (!one.empty() && std::memcmp(one.data(), two.data(), one.size() * sizeof(e::Event)) != 0) std::abort();
    if (static_cast<std::size_t>(whole.events) != one.size()) std::abort();
    // The scan counts what decoding writes.
    e::State scan = e::start(encoding);
    std::size_t written = 0, consumed = 0;
    const e::Status s = e::decode(bytes.data(), size, scan, nullptr, 0, &written, &consumed);
    if (s != a || scan.events != whole.events || (scan.events && (scan.t_min != whole.t_min || scan.t_max != whole.t_max)))
        std::abort();
    return 0;
}
