// Directory items, cluster index and record headers of both partitions,
// patched by the input; then one partition's days listed, one channel
// directory of one day listed and its records read, and the application's
// search for that channel. The input's first byte picks the day (bits 0-2),
// the channel (bits 3-4), a search window of one day or of twenty years
// (bit 5) and the partition (bit 6); the patches follow.
#include "base.h"
#include "core/search.h"
#include "core/timevalue.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fuzz_layout& b = fuzz_base();
    const uint8_t pick = size > 0 ? data[0] : 0;
    fuzz_reset();
    if (size > 0)
        fuzz_patch(data + 1, size - 1,
                   {b.dir[0], b.index[0], b.data[0], b.second_dir[0], b.dir[1], b.index[1], b.data[1], b.descriptor[0]});
    fuzz_mount();
    fuzz_walk((pick >> 6) & 1, pick);
    try {
        const int64_t day = MakeTimeValue(LocalDateTime{2009, 5, 30 + (pick & 7), 0, 0, 0}, "start");
        const int64_t before = pick & 0x20 ? 10 * 365 * 86400LL : 0, after = pick & 0x20 ? before : 86400;
        SearchContext ctx;
        for (int n = ctx.Begin(12, 0, day - before, day + after, (pick >> 3) & 3); n > 0; n = ctx.Continue()) {
        }
    } catch (const CalendarError&) {
        // a damaged date ends the search, as it ends it in the application
    }
    fuzz_end();
    return 0;
}
