// The volume descriptor (partition sector 34) decoded into a driver slot and
// encoded back, field by field, little-endian.
#include <cstring>

#include "volume/volume.h"

namespace {

struct u32_field {
    size_t off;
    uint32_t kx_driver::*member;
};

// Every 32-bit word the library names, with its byte offset.
const u32_field k_words[] = {
    {12, &kx_driver::status},          {16, &kx_driver::start_time1},    {20, &kx_driver::end_time1},
    {24, &kx_driver::current_cluster}, {28, &kx_driver::start_cluster2}, {32, &kx_driver::end_cluster2},
    {36, &kx_driver::start_time2},     {40, &kx_driver::end_time2},      {44, &kx_driver::sector_size},
    {48, &kx_driver::sector_per_clus}, {56, &kx_driver::rev_clus},       {60, &kx_driver::index_off},
    {64, &kx_driver::temp_off},        {68, &kx_driver::dir_off},        {72, &kx_driver::data_off},
    {76, &kx_driver::total_clus},      {84, &kx_driver::type},           {88, &kx_driver::ud_off},
    {92, &kx_driver::ud_item_size},    {96, &kx_driver::ud_item_num},    {100, &kx_driver::ud_first_item},
    {104, &kx_driver::ud_last_item},   {108, &kx_driver::disk_no},       {112, &kx_driver::saved_cluster},
    {116, &kx_driver::index_clus},     {136, &kx_driver::second_dir},    {140, &kx_driver::part},
    {144, &kx_driver::resv1_off},      {148, &kx_driver::resv1_sectors}, {152, &kx_driver::err_status},
    {156, &kx_driver::collision_off},  {160, &kx_driver::collision_num}, {164, &kx_driver::collision_index},
    {184, &kx_driver::resv2_off},      {188, &kx_driver::resv2_sectors}, {232, &kx_driver::part_word},
};

// Words that held pointers on the recorder's 32-bit PC: prev, next and the
// two buffer pointers. They are meaningless on disk.
const size_t k_pointer_words[] = {120, 124, 168, 172};

}  // namespace

void pdp_decode(kx_driver* d, const uint8_t* sector) {
    memcpy(d->raw, sector, KX_DESCRIPTOR_BYTES);
    d->fill_count = sector[8];
    d->table_dirty = sector[9];
    for (const u32_field& f : k_words) d->*f.member = get_le32(sector + f.off);
    memcpy(d->part_label, sector + 192, sizeof d->part_label);
    d->start_sector = get_le64(sector + 224);
}

void pdp_encode(const kx_driver* d, uint8_t* sector) {
    memcpy(sector, d->raw, KX_DESCRIPTOR_BYTES);
    sector[8] = d->fill_count;
    sector[9] = d->table_dirty;
    for (const u32_field& f : k_words) put_le32(sector + f.off, d->*f.member);
    if (d->stored_total_clus != 0) put_le32(sector + 76, d->stored_total_clus);
    for (size_t off : k_pointer_words) put_le32(sector + off, 0);
    memcpy(sector + 192, d->part_label, sizeof d->part_label);
    put_le64(sector + 224, d->start_sector);
    put_le32(sector + 328, KX_CHECK_WORD);
}
