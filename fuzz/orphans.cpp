// The orphan scan over damaged directory items, cluster indexes and
// descriptors of both partitions (the input is a patch list): every chain
// must lie in its ring, hold each cluster once, never share a cluster with
// another chain, add up to the sectors it reports and read back.
#include <cstdlib>
#include <vector>

#include "base.h"
#include "volume/volume.h"

namespace {

struct seen_clusters {
    const kx_driver* pdp;
    int part;
    std::vector<uint8_t> seen;
};

int check_chain(void* ctx, const kx_orphan* o, const uint32_t* clusters) {
    seen_clusters& s = *static_cast<seen_clusters*>(ctx);
    const uint32_t spc = s.pdp->sector_per_clus;
    if (o->clusters == 0 || clusters[0] != o->first_cluster || o->last_sectors == 0 ||
        o->last_sectors > spc || o->sectors != (uint64_t)(o->clusters - 1) * spc + o->last_sectors)
        abort();
    for (uint32_t i = 0; i < o->clusters; i++) {
        const uint32_t c = clusters[i];
        if (c < s.pdp->rev_clus || c >= s.pdp->total_clus || s.seen[c]) abort();
        s.seen[c] = 1;
    }
    uint8_t buf[8 * 512];
    const uint32_t n = o->sectors < 8 ? (uint32_t)o->sectors : 8;
    if (kx_orphan_read(0, s.part, clusters, o->clusters, o->last_sectors, o->sectors - n, buf, n) != 0)
        abort();
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fuzz_layout& b = fuzz_base();
    fuzz_reset();
    fuzz_patch(data, size, {b.dir[0], b.index[0], b.dir[1], b.index[1], b.descriptor[0]});
    fuzz_mount();
    for (int part = 0; part < 2; part++) {
        const kx_driver* pdp = get_pdp(0, part);
        if (pdp == nullptr) continue;
        seen_clusters s{pdp, part, std::vector<uint8_t>(pdp->total_clus, 0)};
        kx_orphan_scan(0, part, check_chain, &s);
    }
    fuzz_end();
    return 0;
}
