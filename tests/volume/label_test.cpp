// The disk label and the partition table (also of the older form), laid out
// byte by byte on a sparse image and checked past the buffer pool.
#include <gtest/gtest.h>

#include <cstring>

#include "support/test_volume.h"

namespace {

using Parts = std::vector<std::pair<uint64_t, uint64_t>>;  // start, size of the four entries

sector_bytes signature(const char* text = "KXFS4.1") {
    sector_bytes s(SECTOR_SIZE, 0);
    memcpy(s.data(), text, 8);
    return s;
}

// A table sector with these header words and entries (in_use, descriptor
// sector, older-form end word, start, size).
sector_bytes table(uint32_t kind, std::vector<std::vector<uint64_t>> entries = {}, uint32_t major = 3,
                   uint32_t minor = 1, uint32_t check = KX_CHECK_WORD,
                   sector_bytes t = sector_bytes(SECTOR_SIZE, 0)) {
    const uint32_t header[][2] = {{40, major}, {44, minor}, {48, kind}, {308, check}};
    for (const auto& h : header) put_le32(&t[h[0]], h[1]);
    for (size_t i = 0; i < entries.size(); i++) {
        uint8_t* p = &t[52 + 64 * i];
        put_le32(p + 40, (uint32_t)entries[i][0]);
        put_le32(p + 20, (uint32_t)entries[i][1]);
        put_le32(p + 36, (uint32_t)entries[i][2]);
        put_le64(p + 48, entries[i][3]);
        put_le64(p + 56, entries[i][4]);
    }
    return t;
}

class Label : public ::testing::Test {
   protected:
    void SetUp() override {
        use_disks({make_sparse_image(m_dir.file("disk.img"), 4096)});
        ide_getinfo64(&g_disk_info);
        ASSERT_EQ(g_disk_info.capa[0], 4096u);
        init_buf_pool();
    }
    sector_bytes get(uint32_t lba) {
        sector_bytes s(SECTOR_SIZE);
        EXPECT_EQ(ide_read64(0, 1, lba, 0, s.data()), 0);
        return s;
    }
    // Lays a label out on the disk, past the pool, which is emptied.
    void put_label(const sector_bytes& table, const sector_bytes& sector0) {
        ASSERT_EQ(ide_write64(0, 1, KX_LABEL_SECTOR, 0, table.data()), 0);
        ASSERT_EQ(ide_write64(0, 1, 0, 0, sector0.data()), 0);
        init_buf_pool();
    }
    int read(Parts* out = nullptr) {
        kx_partition p[4] = {};
        init_buf_pool();
        const int r = kx_read_partitions(0, p);
        for (int i = 0; out && i < 4; i++) out->emplace_back(p[i].start, p[i].size);
        return r;
    }
    Parts read_back() {
        Parts out;
        EXPECT_EQ(read(&out), 0);
        return out;
    }
    int write(const Parts& parts) {
        kx_partition p[4];
        for (int i = 0; i < 4; i++) p[i] = {parts[i].first, parts[i].second};
        return kx_write_partitions(0, p);
    }
    int state() {
        int s = -1;
        EXPECT_EQ(check_disk_label(0, &s), 0);
        return s;
    }

    TempDir m_dir;
    LogCapture m_log;
};

}  // namespace

// Kind 2 needs no signature, kind 3 does, kinds 1 and 4 are not supported; an
// unreadable table is no "no label" to be written over.
TEST_F(Label, IsRecognisedByItsWordsKindAndSignature) {
    const struct {
        sector_bytes table, sector0;
        int state;
    } rows[] = {
        {table(2), signature("KXFS4.1X"), LABEL_VALID},
        {table(3), signature(), LABEL_VALID},
        {table(3), signature("KXFS4.1X"), LABEL_INVALID},
        {table(1), signature(), LABEL_UNSUPPORTED},
        {table(4), signature(), LABEL_UNSUPPORTED},
        {table(0, {}, 3, 1, 0), signature(), LABEL_NONE},
        {table(2, {}, 4, 1), signature(), LABEL_INVALID},
        {table(2, {}, 3, 0), signature(), LABEL_INVALID},
        {table(2, {}, 3, 1, 0x55AA55AB), signature(), LABEL_INVALID},
    };
    for (size_t i = 0; i < std::size(rows); i++) {
        put_label(rows[i].table, rows[i].sector0);
        EXPECT_EQ(state(), rows[i].state) << "row " << i;
        EXPECT_EQ(read(), rows[i].state == LABEL_VALID ? 0 : 1) << "row " << i;
    }
    ide_inject_fault(0, KX_LABEL_SECTOR, KX_LABEL_SECTOR, IDE_FAULT_READ);
    ide_reset_counters();
    EXPECT_EQ(read(), 4);
    EXPECT_EQ(write({{64, 100}, {0, 0}, {0, 0}, {0, 0}}), 4);
    EXPECT_EQ(ide_get_counters(0).writes, 0u);
}

// Over a valid label only the entries change. Mended: the older form's end
// word is cleared, else an empty entry reads back as a partition up to it.
TEST_F(Label, WritingATableChangesOnlyWhatItMust) {
    const Parts wanted = {{4000, 96}, {0, 0}, {64, 1000}, {1064, 2000}};
    std::vector<std::vector<uint64_t>> entries;
    for (const auto& [start, size] : wanted) entries.push_back({1, KX_TEMP_OFF, 0, start, size});
    for (bool valid : {false, true}) {
        sector_bytes old = valid ? table(2) : sector_bytes(SECTOR_SIZE, 0xCD);
        memset(&old[312], 0xEF, SECTOR_SIZE - 312);
        if (valid) {
            memset(&old[0], 0x5C, 36);
            memset(&old[52], 0x70, 4 * 64);  // older-form entries with end words
        }
        put_label(old, sector_bytes(SECTOR_SIZE, 0xAB));
        ASSERT_EQ(write(wanted), 0);
        sector_bytes expected = valid ? table(2, entries, 3, 1, KX_CHECK_WORD, old) : table(3, entries);
        memset(&expected[312], 0xEF, SECTOR_SIZE - 312);
        EXPECT_EQ(get(KX_LABEL_SECTOR), expected) << valid;
        EXPECT_EQ(get(0), valid ? sector_bytes(SECTOR_SIZE, 0xAB) : signature()) << valid;
        EXPECT_EQ(read_back(), wanted) << valid;
    }
}

// Mended: the overlap check runs before the fresh table is laid over the
// pool's copy; touching or empty partitions do not overlap.
TEST_F(Label, OverlappingPartitionsAreRefusedBeforeAnythingChanges) {
    for (bool valid : {true, false}) {
        if (valid) {
            ASSERT_EQ(write({{64, 1000}, {1064, 2000}, {0, 0}, {0, 0}}), 0);
        } else {
            put_label(sector_bytes(SECTOR_SIZE, 0xCD), sector_bytes(SECTOR_SIZE, 0xCD));
        }
        const sector_bytes label = get(KX_LABEL_SECTOR), sector0 = get(0);
        release_buf(read_buf(0, KX_LABEL_SECTOR));  // the pool holds the table
        ide_reset_counters();
        m_log.clear();
        EXPECT_EQ(write({{64, 1000}, {0, 0}, {1063, 10}, {5000, 5}}), 1);
        EXPECT_EQ(m_log.text(), "kx_write_partitions, partition range overlaped.\n");
        EXPECT_EQ(ide_get_counters(0).writes, 0u);
        buf_head* cached = find_buf(0, KX_LABEL_SECTOR);
        ASSERT_NE(cached, nullptr);
        EXPECT_TRUE(sector_bytes(cached->data, cached->data + SECTOR_SIZE) == label && !cached->dirty)
            << valid;
        release_buf(cached);
        EXPECT_TRUE(get(KX_LABEL_SECTOR) == label && get(0) == sector0) << valid;
    }
    const std::pair<Parts, bool> rows[] = {
        {{{0, 100}, {100, 100}, {150, 0}, {150, 0}}, true}, {{{200, 100}, {0, 200}, {300, 1}, {0, 0}}, true},
        {{{0, 101}, {100, 100}, {0, 0}, {0, 0}}, false},    {{{0, 0}, {200, 100}, {0, 0}, {0, 201}}, false},
        {{{500, 1}, {0, 0}, {500, 1}, {0, 0}}, false},
    };
    for (auto [parts, accepted] : rows) {
        EXPECT_EQ(write(parts), accepted ? 0 : 1) << parts[0].second;
        for (auto& e : parts) e.first = e.second ? e.first : 0;  // size-0 entries are stored as empty
        if (accepted) {
            EXPECT_EQ(read_back(), parts);
        }
    }
}

// The older form keeps no sizes: each partition runs to the next one's
// descriptor, the last to its end word. Mended: a descriptor below sector 34
// or an end before the start reads as size 0, not a wrapped 4e9 sectors.
TEST_F(Label, OlderTablesGiveSizesFromTheirDescriptorSectors) {
    const std::pair<std::vector<std::vector<uint64_t>>, Parts> rows[] = {
        {{{1, 1034, 99, 0, 0}, {1, 5034, 0, 0, 0}, {1, 9034, 0, 0, 0}, {1, 13034, 5, 0, 0}},
         {{1000, 4000}, {5000, 4000}, {9000, 4000}, {13000, 7480}}},
        {{{1, 1034, 0, 0, 0}, {1, 0, 0, 2000, 500}, {1, 9034, 4, 0, 0}, {0, 0, 0, 0, 0}},
         {{1000, 0}, {2000, 500}, {9000, 7384}, {0, 0}}},
        {{{1, 9034, 0, 0, 0}, {1, 5034, 0, 0, 0}, {1, 20, 0, 0, 0}, {1, 13034, 1, 0, 0}},
         {{9000, 0}, {5000, 0}, {0, 0}, {13000, 0}}},
    };
    for (const auto& [entries, parts] : rows) {
        put_label(table(2, entries), sector_bytes(SECTOR_SIZE, 0));
        EXPECT_EQ(read_back(), parts);
    }
}
