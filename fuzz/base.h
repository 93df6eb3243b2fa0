// Shared by the fuzz targets: one small recorder disk built once per process
// in memory, and a fresh start of the library over it for every input.
//
// The base disk holds two partitions of 4 KiB clusters. Partition 0 has
// recordings of three channels over several days in a ring that has wrapped
// (two time sections) and is closed. Partition 1 was left open by a
// recording that never finished, so every start-up repairs it.
//
// An input changes the disk through patches. The disk is opened read-only,
// so the patches and everything the library writes (repairs, summaries)
// live in the disk-access library's overlay, which the next start drops.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kxfs.h"

// A run of sectors an input may patch.
struct fuzz_area {
    uint64_t lba;
    uint32_t sectors;
};

// Where the base disk keeps what the targets patch.
struct fuzz_layout {
    fuzz_area descriptor[2];  // descriptor and collision list sector
    fuzz_area dir[2];         // directory items of the clusters in use
    fuzz_area second_dir[2];
    fuzz_area index[2];      // cluster index sectors
    fuzz_area user_data[2];  // first sectors of the user-data ring
    fuzz_area data[2];       // first sectors of the ring's clusters ("KXII" headers)
};

// Builds the base disk on the first call; the layout of it.
const fuzz_layout& fuzz_base(void);

// Starts the library afresh over the base disk: disk table reopened
// read-only (overlay emptied), fake clock, single-driver mode, messages
// silenced. Patches are applied with fuzz_patch before fuzz_mount.
void fuzz_reset(void);
// Ends an input: drops the overlay (and every patch in it) so that an
// input frees what it allocated, which keeps libFuzzer's leak check quiet.
void fuzz_end(void);
// Writes bytes into the overlay at byte offset `off` of sector `lba`,
// clipped to the sector.
void fuzz_put(uint64_t lba, size_t off, const uint8_t* bytes, size_t len);
// Applies an input's patch list over `areas`. Each patch is: area (u8,
// modulo the areas), sector in it (u16 LE, modulo its length), byte offset
// (u16 LE, modulo 512), length (u8), then that many bytes (fewer at the
// input's end).
void fuzz_patch(const uint8_t* data, size_t size, const std::vector<fuzz_area>& areas);
// The library's start-up over the patched disk; the number of mounted
// partitions.
int fuzz_mount(packed_time shutdown = 0);

// Walks what the path adapter shows of a partition: its days, then one
// channel directory of one of them (`pick`: bits 0-2 the day, modulo the
// days listed, bits 3-4 the channel), opening every record listed there and
// reading some whole. Returns a checksum so that nothing is optimised away.
uint64_t fuzz_walk(int part, uint8_t pick);
// Each of the four partitions' information and root listing, as the
// start-up dumps and a disk listing show them.
void fuzz_roots(void);
// Lists a path through kx_findfirst/kx_findnext; the names.
std::vector<std::string> fuzz_list(const std::string& path);
// Opens a path for reading and reads it to its end in odd-sized pieces.
uint64_t fuzz_read_path(const std::string& path);
