// The disk label and the partition table: recognising a label, reading the
// four entries (also of the older form) and writing a table, on a sparse
// image file and on the same image attached as a loop block device.
//
// Label sectors are laid out byte by byte here and checked on the disk with
// the disk-access library, past the buffer pool; the pool is emptied before
// every check so that the library reads what the disk holds.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "disk.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "volume/volume.h"

namespace {

const uint64_t k_sectors = 4096;
using Sector = std::vector<uint8_t>;

// An image file attached as a loop block device for the life of the object.
// Only the device this object attached is detached.
class LoopDevice {
public:
    explicit LoopDevice(const std::string& image) {
        std::string cmd = "losetup -f --show '" + image + "' 2>&1";
        FILE* p = popen(cmd.c_str(), "r");
        if (!p) {
            m_error = "popen failed";
            return;
        }
        char line[512];
        std::string out;
        while (fgets(line, sizeof line, p)) out += line;
        int status = pclose(p);
        while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && out.rfind("/dev/", 0) == 0)
            m_device = out;
        else
            m_error = out.empty() ? "losetup failed" : out;
    }
    ~LoopDevice() {
        if (!m_device.empty()) {
            std::string cmd = "losetup -d '" + m_device + "'";
            if (system(cmd.c_str()) != 0) fprintf(stderr, "could not detach %s\n", m_device.c_str());
        }
    }
    LoopDevice(const LoopDevice&) = delete;
    LoopDevice& operator=(const LoopDevice&) = delete;

    const std::string& device() const { return m_device; }
    const std::string& error() const { return m_error; }

private:
    std::string m_device;
    std::string m_error;
};

Sector signature_sector() {
    Sector s(SECTOR_SIZE, 0);
    memcpy(s.data(), "KXFS4.1", 8);
    return s;
}

// A table sector: header words, no entries.
Sector table_sector(uint32_t kind, uint32_t major = 3, uint32_t minor = 1, uint32_t check = KX_CHECK_WORD) {
    Sector t(SECTOR_SIZE, 0);
    put_le32(&t[40], major);
    put_le32(&t[44], minor);
    put_le32(&t[48], kind);
    put_le32(&t[308], check);
    return t;
}

struct entry_words {
    uint32_t in_use, desc, end;
    uint64_t start, size;
};

void set_entry(Sector& t, int i, const entry_words& e) {
    uint8_t* p = &t[52 + 64 * i];
    put_le32(p + 20, e.desc);
    put_le32(p + 36, e.end);
    put_le32(p + 40, e.in_use);
    put_le64(p + 48, e.start);
    put_le64(p + 56, e.size);
}

struct Parts {
    kx_partition p[4];
    bool operator==(const Parts& o) const {
        for (int i = 0; i < 4; i++)
            if (p[i].start != o.p[i].start || p[i].size != o.p[i].size) return false;
        return true;
    }
};

std::ostream& operator<<(std::ostream& os, const Parts& parts) {
    for (const kx_partition& e : parts.p) os << "{" << e.start << "," << e.size << "} ";
    return os;
}

class Label : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        m_image = make_sparse_image(m_dir.file("disk.img"), k_sectors);
        m_disk = m_image;
        if (std::string(GetParam()) == "loop") {
            m_loop = std::make_unique<LoopDevice>(m_image);
            if (m_loop->device().empty()) GTEST_SKIP() << "no loop device (" << m_loop->error() << ")";
            m_disk = m_loop->device();
        }
        attach(false);
    }
    void TearDown() override {
        // The library lets go of the loop device before it is detached.
        use_disks({m_image});
        m_loop.reset();
    }

    void attach(bool read_only) {
        use_disks({m_disk}, read_only);
        ide_getinfo64(&g_disk_info);
        ASSERT_EQ(g_disk_info.capa[0], k_sectors);
        init_buf_pool();
        disk_reset_state();
    }

    void put(uint64_t lba, const Sector& s) { ASSERT_EQ(ide_write64(0, 1, (uint32_t)lba, 0, s.data()), 0); }
    Sector get(uint64_t lba) {
        Sector s(SECTOR_SIZE);
        EXPECT_EQ(ide_read64(0, 1, (uint32_t)lba, 0, s.data()), 0);
        return s;
    }
    // Lays out a label on the disk and makes the library forget what it cached.
    void put_label(const Sector& table, const Sector& sector0) {
        put(KX_LABEL_SECTOR, table);
        put(0, sector0);
        init_buf_pool();
    }
    int state() {
        int s = -1;
        EXPECT_EQ(check_disk_label(0, &s), 0);
        return s;
    }
    int read(Parts* out) {
        init_buf_pool();
        return kx_read_partitions(0, out->p);
    }
    Parts read_back() {
        Parts out{};
        EXPECT_EQ(read(&out), 0);
        return out;
    }

    TempDir m_dir;
    std::unique_ptr<LoopDevice> m_loop;  // detached before m_dir goes
    LogCapture m_log;
    std::string m_image;
    std::string m_disk;
};

TEST_P(Label, IsRecognisedByItsWordsKindAndSignature) {
    Sector unsigned0(SECTOR_SIZE, 0);
    memcpy(unsigned0.data(), "KXFS4.1X", 8);  // the zero byte belongs to the signature
    struct {
        Sector table;
        bool is_signed;
        int state;
    } rows[] = {
        {table_sector(2), false, LABEL_VALID},
        {table_sector(3), true, LABEL_VALID},
        {table_sector(3), false, LABEL_INVALID},
        {table_sector(1), true, LABEL_UNSUPPORTED},
        {table_sector(4), true, LABEL_UNSUPPORTED},
        {table_sector(0, 3, 1, 0), true, LABEL_NONE},  // no table: check word not looked at
        {table_sector(2, 4, 1), true, LABEL_INVALID},
        {table_sector(2, 3, 0), true, LABEL_INVALID},
        {table_sector(2, 3, 1, 0x55AA55AB), true, LABEL_INVALID},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        SCOPED_TRACE("row " + std::to_string(i));
        put_label(rows[i].table, rows[i].is_signed ? signature_sector() : unsigned0);
        EXPECT_EQ(state(), rows[i].state);
        Parts parts{};
        EXPECT_EQ(read(&parts), rows[i].state == LABEL_VALID ? 0 : 1);
    }
}

TEST_P(Label, AnUnreadableTableSectorIsReportedAndNothingIsWritten) {
    put_label(table_sector(2), signature_sector());
    ide_inject_fault(0, KX_LABEL_SECTOR, KX_LABEL_SECTOR, IDE_FAULT_READ);
    ide_reset_counters();
    int s = -1;
    EXPECT_EQ(check_disk_label(0, &s), 4);
    Parts parts{};
    EXPECT_EQ(read(&parts), 4);
    const Parts wanted = {{{64, 100}, {0, 0}, {0, 0}, {0, 0}}};
    EXPECT_EQ(kx_write_partitions(0, wanted.p), 4);
    EXPECT_EQ(ide_get_counters(0).writes, 0u);
}

TEST_P(Label, WritingOverAnInvalidLabelCreatesTableAndSignature) {
    put_label(Sector(SECTOR_SIZE, 0xCD), Sector(SECTOR_SIZE, 0xAB));
    const Parts wanted = {{{64, 1000}, {1064, 2000}, {0, 0}, {0, 0}}};
    ASSERT_EQ(kx_write_partitions(0, wanted.p), 0);

    Sector table = table_sector(3);
    for (int i = 0; i < 4; i++) set_entry(table, i, {1, KX_TEMP_OFF, 0, wanted.p[i].start, wanted.p[i].size});
    memset(&table[312], 0xCD, SECTOR_SIZE - 312);  // beyond the table: kept
    EXPECT_EQ(get(KX_LABEL_SECTOR), table);
    EXPECT_EQ(get(0), signature_sector());
    // The empty entries, as written, read back as 0/0.
    EXPECT_EQ(read_back(), wanted);
    EXPECT_EQ(state(), LABEL_VALID);
}

TEST_P(Label, WritingOverAValidLabelChangesOnlyTheEntries) {
    Sector table = table_sector(2);  // valid without the signature
    memset(&table[0], 0x5C, 36);
    put_le32(&table[36], 7);
    for (int i = 0; i < 4; i++) memset(&table[52 + 64 * i], 0x70 + i, 64);
    memset(&table[312], 0xEF, SECTOR_SIZE - 312);
    const Sector sector0(SECTOR_SIZE, 0xAB);
    put_label(table, sector0);

    const Parts wanted = {{{4000, 96}, {64, 1000}, {0, 0}, {1064, 2000}}};
    ASSERT_EQ(kx_write_partitions(0, wanted.p), 0);
    Sector expected = table;
    for (int i = 0; i < 4; i++) {
        uint8_t* e = &expected[52 + 64 * i];
        put_le32(e + 20, KX_TEMP_OFF);
        put_le32(e + 36, 0);
        put_le32(e + 40, 1);
        put_le64(e + 48, wanted.p[i].start);
        put_le64(e + 56, wanted.p[i].size);
    }
    EXPECT_EQ(get(KX_LABEL_SECTOR), expected);
    EXPECT_EQ(get(0), sector0);
    EXPECT_EQ(read_back(), wanted);
}

TEST_P(Label, AnEmptyEntryWrittenOverAnOlderTableStaysEmpty) {
    // The older table's last entry ends at 5 x 4096; written again as empty
    // it must not come back as a partition from sector 0 to that end.
    Sector table = table_sector(2);
    set_entry(table, 0, {1, 1034, 0, 0, 0});
    set_entry(table, 3, {1, 13034, 5, 0, 0});
    put_label(table, signature_sector());
    const Parts wanted = {{{64, 1000}, {0, 0}, {0, 0}, {0, 0}}};
    ASSERT_EQ(kx_write_partitions(0, wanted.p), 0);
    EXPECT_EQ(read_back(), wanted);
}

TEST_P(Label, OverlappingPartitionsAreRefusedBeforeAnythingChanges) {
    const Parts first = {{{64, 1000}, {1064, 2000}, {0, 0}, {0, 0}}};
    Sector garbage(SECTOR_SIZE, 0xCD);
    for (bool valid : {true, false}) {
        SCOPED_TRACE(valid ? "valid label" : "invalid label");
        if (valid) {
            init_buf_pool();
            ASSERT_EQ(kx_write_partitions(0, first.p), 0);
        } else {
            put_label(garbage, garbage);
        }
        const Sector table = get(KX_LABEL_SECTOR), sector0 = get(0);
        release_buf(read_buf(0, KX_LABEL_SECTOR));  // the pool holds the table
        ide_reset_counters();
        m_log.clear();

        const Parts overlapping = {{{64, 1000}, {0, 0}, {1063, 10}, {5000, 5}}};
        EXPECT_EQ(kx_write_partitions(0, overlapping.p), 1);
        EXPECT_EQ(m_log.text(), "kx_write_partitions, partition range overlaped.\n");
        EXPECT_EQ(ide_get_counters(0).writes, 0u);
        buf_head* cached = find_buf(0, KX_LABEL_SECTOR);
        ASSERT_NE(cached, nullptr);
        EXPECT_EQ(Sector(cached->data, cached->data + SECTOR_SIZE), table);
        EXPECT_EQ(cached->dirty, 0);
        release_buf(cached);
        EXPECT_EQ(get(KX_LABEL_SECTOR), table);
        EXPECT_EQ(get(0), sector0);
    }
}

TEST_P(Label, PartitionsThatTouchOrAreEmptyDoNotOverlap) {
    struct {
        Parts parts;
        bool accepted;
    } rows[] = {
        {{{{0, 100}, {100, 100}, {150, 0}, {150, 0}}}, true},
        {{{{200, 100}, {0, 200}, {300, 1}, {0, 0}}}, true},
        {{{{0, 101}, {100, 100}, {0, 0}, {0, 0}}}, false},
        {{{{0, 0}, {200, 100}, {0, 0}, {0, 201}}}, false},  // a later entry reaching back
        {{{{500, 1}, {0, 0}, {500, 1}, {0, 0}}}, false},    // the same sector twice
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        SCOPED_TRACE("row " + std::to_string(i));
        EXPECT_EQ(kx_write_partitions(0, rows[i].parts.p), rows[i].accepted ? 0 : 1);
        if (!rows[i].accepted) continue;
        // Size-0 entries are stored as empty and read back as 0/0.
        Parts expected = rows[i].parts;
        for (kx_partition& e : expected.p)
            if (e.size == 0) e.start = 0;
        EXPECT_EQ(read_back(), expected);
    }
}

TEST_P(Label, OlderTablesGiveSizesFromTheirDescriptorSectors) {
    struct {
        entry_words e[4];
        Parts parts;
    } rows[] = {
        // Each partition runs to the next one's descriptor; the last in use
        // to its end word, the last entry always so. Nonzero sizes are taken
        // as they stand.
        {{{1, 1034, 99, 0, 0}, {1, 5034, 0, 0, 0}, {1, 9034, 0, 0, 0}, {1, 13034, 5, 0, 0}},
         {{{1000, 4000}, {5000, 4000}, {9000, 4000}, {13000, 7480}}}},
        {{{1, 1034, 0, 0, 0}, {1, 0, 0, 2000, 500}, {1, 9034, 4, 0, 0}, {0, 0, 0, 0, 0}},
         {{{1000, 0}, {2000, 500}, {9000, 7384}, {0, 0}}}},
        // Damaged entries that would wrap read as empty.
        {{{1, 9034, 0, 0, 0}, {1, 5034, 0, 0, 0}, {1, 20, 0, 0, 0}, {1, 13034, 1, 0, 0}},
         {{{9000, 0}, {5000, 0}, {0, 0}, {13000, 0}}}},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        SCOPED_TRACE("row " + std::to_string(i));
        Sector table = table_sector(2);
        for (int j = 0; j < 4; j++) set_entry(table, j, rows[i].e[j]);
        put_label(table, Sector(SECTOR_SIZE, 0));
        EXPECT_EQ(read_back(), rows[i].parts);
    }
}

TEST_P(Label, AReadOnlyDiskIsNeverWrittenYetReadsBackWhatWasWritten) {
    attach(true);
    const uint64_t before = file_digest(m_image);
    const Parts wanted = {{{64, 1000}, {1064, 2000}, {0, 0}, {3064, 1000}}};
    ASSERT_EQ(kx_write_partitions(0, wanted.p), 0);
    EXPECT_EQ(file_digest(m_image), before);
    EXPECT_EQ(read_back(), wanted);
    EXPECT_EQ(state(), LABEL_VALID);
    EXPECT_EQ(get(0), signature_sector());
}

INSTANTIATE_TEST_SUITE_P(Backing, Label, ::testing::Values("image", "loop"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param);
                         });

}  // namespace
