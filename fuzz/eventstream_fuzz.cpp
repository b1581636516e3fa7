// fuzz/eventstream_fuzz.cpp: the Event Stream decoder, fed a stream in blocks of any size into
// outputs of any room (resuming where each call stopped), gives the events, time and stop of
// one call over the whole stream; counting alone agrees; every event lies on the sensor, in
// time order. Input: type bit, width - 1, height - 1, block and room sizes, then the stream.
#include "kernels/eventstream.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using namespace nivra::kernels;

struct Run {
    EsResult last;  // the final call's stop (used: the bytes taken in all)
    std::uint64_t t = 0;
    std::vector<unsigned char> records;
};

Run in_blocks(EsType type, const std::vector<unsigned char>& in, std::uint16_t w, std::uint16_t h,
              std::size_t block, std::size_t room) {
    Run run;
    std::size_t pos = 0, limit = std::min(in.size(), block);
    for (;;) {
        // Exactly sized copies, so the sanitizer sees a read past the block or a write past the room.
        std::vector<unsigned char> piece(in.begin() + static_cast<std::ptrdiff_t>(pos),
                                         in.begin() + static_cast<std::ptrdiff_t>(limit));
        std::vector<unsigned char> out(room * 13);
        EsOutput o{out.data(), 13, room};
        const EsResult r = decode_event_stream(type, piece.data(), piece.size(), w, h, &run.t, o);
        if (r.used > piece.size() || r.events > room) std::abort();
        run.records.insert(run.records.end(), out.begin(), out.begin() + static_cast<std::ptrdiff_t>(r.events * 13));
        pos += r.used;
        run.last = r;
        run.last.used = pos;
        if (r.status == EsStatus::OutsideSensor) return run;
        if (r.status == EsStatus::NeedBytes) {
            if (limit == in.size()) return run;
            limit = std::min(in.size(), limit + block);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    const EsType type = (data[0] & 1) ? EsType::Atis : EsType::Dvs;
    const auto width = static_cast<std::uint16_t>(data[1] + 1), height = static_cast<std::uint16_t>(data[2] + 1);
    const std::size_t block = 1 + (data[3] & 15), room = 1 + (data[3] >> 4);
    const std::vector<unsigned char> in(data + 4, data + size);

    std::uint64_t t = 0;
    const std::size_t capacity = in.size() / kEsEventBytes + 1;
    std::vector<unsigned char> whole(capacity * 13);
    const EsResult all = decode_event_stream(type, in.data(), in.size(), width, height, &t,
                                             EsOutput{whole.data(), 13, capacity});
    if (all.status == EsStatus::Full || all.used > in.size()) std::abort();
    if (all.status == EsStatus::NeedBytes && in.size() - all.used >= kEsEventBytes) std::abort();

    std::uint64_t counted_t = 0;
    const EsResult counted = decode_event_stream(type, in.data(), in.size(), width, height, &counted_t, EsOutput{});
    if (counted.status != all.status || counted.used != all.used || counted.events != all.events ||
        counted.exposures != all.exposures || counted.last != all.last || counted_t != t)
        std::abort();

    const Run run = in_blocks(type, in, width, height, block, room);
    if (run.last.status != all.status || run.last.used != all.used || run.t != t ||
        run.records.size() != all.events * 13 ||
        (!run.records.empty() && std::memcmp(run.records.data(), whole.data(), run.records.size()) != 0))
        std::abort();

    std::int64_t before = 0;
    for (std::size_t i = 0; i < all.events; ++i) {
        std::int64_t et;
        std::uint16_t x, y;
        std::memcpy(&et, &whole[i * 13], 8);
        std::memcpy(&x, &whole[i * 13 + 8], 2);
        std::memcpy(&y, &whole[i * 13 + 10], 2);
        if (et < before || x >= width || y >= height || whole[i * 13 + 12] > 1) std::abort();
        before = et;
    }
    if (all.events && static_cast<std::uint64_t>(before) != all.last) std::abort();
    return 0;
}
