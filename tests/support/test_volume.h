// Disks and formatted recorder volumes on sparse temporary images, for the
// tests of the volume and metadata layers.
//
// TestDisks makes the images in a fresh folder, points the disk-access
// library at them, stands the fake clock at 2009-05-31 12:00:00 (tick 1000)
// with the adapter flag off, and runs the library's start-up; the library's
// messages go to `log`. The destructor puts the real clock back.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "meta/meta.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

using sector_bytes = std::vector<uint8_t>;

class TestDisks {
   public:
    explicit TestDisks(const std::vector<uint64_t>& sectors);
    ~TestDisks();
    TestDisks(const TestDisks&) = delete;
    TestDisks& operator=(const TestDisks&) = delete;

    // A table of `parts` consecutive partitions of `size` sectors from
    // `start`, each formatted with `spc` sectors per cluster.
    void format(int disk, int parts, uint64_t size, uint32_t spc, uint64_t start = 2048);
    // The library's start-up with the log cleared first; `count` gets the
    // number of mounted partitions.
    int start_up(packed_time shutdown = 0);

    // Disk bytes read and written past the buffer pool; put_word changes one
    // little-endian word of a sector and empties the pool.
    sector_bytes sector(uint64_t lba, int disk = 0) const;
    void put_sector(uint64_t lba, const sector_bytes& s, int disk = 0);
    void put_word(uint64_t lba, size_t off, uint32_t value, int disk = 0);
    const std::string& image(int disk = 0) const { return m_images[disk]; }

    TempDir dir;
    LogCapture log;
    int count = 0;

   private:
    std::vector<std::string> m_images;
};

// One disk holding one formatted volume, partition 0 at `start`, mounted.
class TestVolume : public TestDisks {
   public:
    explicit TestVolume(uint64_t size = 1u << 20, uint32_t spc = 64, uint64_t start = 2048);

    // Start-up again over the disk; pdp is looked up afresh (null when the
    // volume no longer mounts).
    int remount(packed_time shutdown = 0);

    // The volume's metadata as the disk holds it.
    kx_driver desc() const;
    uint32_t desc_word(size_t off) const;
    kx_dir_item item(uint32_t clus) const;
    uint64_t desc_lba() const { return start + KX_TEMP_OFF; }

    const uint64_t start;
    kx_driver* pdp = nullptr;
};

// Sets several 32-bit fields of a driver slot at once:
// set_fields(pdp, {{&kx_driver::current_cluster, 500}, {&kx_driver::end_time1, t}}).
using driver_field = std::pair<uint32_t kx_driver::*, uint32_t>;
inline void set_fields(kx_driver* d, std::initializer_list<driver_field> fields) {
    for (const driver_field& f : fields) d->*f.first = f.second;
}

// Compares printed text whole with a golden file. With TARVIK_UPDATE_GOLDEN=1
// in the environment the file is written from `actual` instead (review the
// difference before committing it).
void expect_text_file(const std::string& path, const std::string& actual);

#ifdef TARVIK_SOURCE_DIR
// Golden files live beside the tests: tests/<layer>/golden/<name>.
#define EXPECT_GOLDEN(layer_and_name, actual) \
    expect_text_file(std::string(TARVIK_SOURCE_DIR) + "/tests/" + (layer_and_name), (actual))
#endif
