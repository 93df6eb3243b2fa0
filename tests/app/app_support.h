// Recorder disks for the application's and front ends' tests, filled the way
// the recorder's writer leaves them and mounted as the application starts.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <iterator>

#include "core/results.h"
#include "core/startup.h"
#include "core/timevalue.h"
#include "kxtime.h"
#include "platform/clock.h"
#include "support/record_layout.h"
#include "volume/volume.h"

namespace app_test {

using Strings = std::vector<std::string>;

inline packed_time At(int y, int mo, int d, int h, int mi) {
    return make_packed_time(y, mo, d, h, mi, 0);
}

inline int64_t T(const std::string& text) {
    int64_t t = 0;
    return ParseDateTime(text, &t) ? t : throw std::invalid_argument(text);
}

inline std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}
inline std::string ReadText(const std::string& path) {
    const std::vector<uint8_t> bytes = ReadFile(path);
    return std::string(bytes.begin(), bytes.end());
}

// `blank` empty disks, then the disk under test: partitions of these sizes in
// sectors (0: no entry) from sector 2048, formatted with `spc` sectors per
// cluster. The fake clock runs; the library's messages go to `log`.
struct AppDisk {
    LogCapture log;
    TempDir dir;
    std::vector<std::string> images;
    std::string image;  // the disk under test
    const int disk;     // its index
    const uint32_t spc;

    explicit AppDisk(const std::vector<uint64_t>& sizes, uint32_t sectorsPerCluster = 16, int blank = 0)
        : disk(blank), spc(sectorsPerCluster) {
        pc_clock_set_fake(pc_local_time{2009, 1, 1, 0, 0, 0}, 1000000);
        for (int i = 0; i < blank; i++)
            images.push_back(make_sparse_image(dir.file("blank" + std::to_string(i)), 64));
        kx_partition table[4] = {};
        uint64_t next = 2048;
        for (size_t i = 0; i < sizes.size(); i++) {
            if (sizes[i] != 0) table[i] = kx_partition{next, sizes[i]};
            next += sizes[i];
        }
        image = make_sparse_image(dir.file("disk.img"), next + 64);
        images.push_back(image);
        use_disks(images);
        init_buf_pool();  // nothing cached from another test's disk
        kx_set_fs_adapt(1);
        EXPECT_EQ(0, kx_write_partitions(disk, table));
        for (size_t i = 0; i < sizes.size(); i++)
            EXPECT_TRUE(sizes[i] == 0 || kx_format_driver(disk, (int)i, spc) == 0);
        int count = 0;
        packed_time shutdown = 0;
        EXPECT_EQ(0, kx_file_sys_init(&count, &shutdown));
    }
    ~AppDisk() { pc_clock_use_real(); }

    // A recording of `bytes` bytes (whole sectors) in this disk's clusters.
    layout_record Sized(int channel, packed_time start, packed_time end, uint64_t bytes) const {
        const uint64_t sectors = bytes / 512;
        return make_record((uint8_t)channel, start, end, (uint32_t)((sectors + spc - 1) / spc),
                           (uint16_t)(sectors % spc));
    }
    // Lays recordings out on a partition one after the other (their times
    // ascend); each gets its clusters filled in.
    void Record(int part, std::vector<layout_record>& recs) {
        RecordLayout layout(get_pdp(disk, part));
        for (layout_record& r : recs) layout.write(r);
    }
    // Starts the library over the disks the way the application starts.
    StartupReport Mount(bool repair = false) { return InitLibrary(StartupOptions{images, repair}); }
};

// "start - end" of every row such a search fills: its Start Time and End
// Time columns.
inline Strings Spans(int channel, const std::string& start, const std::string& end) {
    CResultList list;
    list.Search(1, 0, channel, T(start), T(end));
    list.FetchAll();
    Strings out;
    for (size_t i = 0; i < list.Items().size(); i++)
        out.push_back(list.RowTexts(i)[2] + " - " + list.RowTexts(i)[3]);
    return out;
}

// While it lives, `call` runs (with its count, from 1) in the lock hook around
// every adapter call: a download's worker can be stopped or held there.
class CallHook {
   public:
    explicit CallHook(std::function<void(int)> call) {
        static const kx_hooks hooks = {nullptr, [] { s_call(++s_count); }, [] {}};
        s_call = std::move(call);
        s_count = 0;
        kx_set_hooks(&hooks);
    }
    ~CallHook() { kx_set_hooks(nullptr); }

   private:
    static inline std::function<void(int)> s_call;
    static inline std::atomic<int> s_count;
};

}  // namespace app_test
