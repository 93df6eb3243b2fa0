// What a disk is, for the job report: its kind, files, size, the model and
// serial number of a block device, the hashes an E01 image stores, and its
// bytes as they are on it (for hashing the whole source).
#include <fcntl.h>
#include <linux/hdreg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>

#include "disk_table.h"

namespace {

std::string trimmed(std::string s) {
    const size_t first = s.find_first_not_of(" \t\n\0", 0, 4);
    if (first == std::string::npos) return {};
    return s.substr(first, s.find_last_not_of(" \t\n\0", std::string::npos, 4) - first + 1);
}

std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    return trimmed(text);
}

// The sysfs folder of the whole disk a block device belongs to.
std::string sysfs_disk(dev_t rdev) {
    char real[PATH_MAX];
    const std::string link = "/sys/dev/block/" + std::to_string(major(rdev)) + ":" + std::to_string(minor(rdev));
    if (!realpath(link.c_str(), real)) return {};
    std::string dir = real;
    struct stat st;
    if (stat((dir + "/partition").c_str(), &st) == 0) dir = dir.substr(0, dir.rfind('/'));
    return dir;
}

// The kernel gives the serial number in different places by bus: NVMe and
// some SCSI drivers as device/serial, virtio as serial, SCSI disks in the
// unit serial number page (a 4-byte head, then the text).
std::string sysfs_serial(const std::string& dir) {
    for (const char* name : {"/device/serial", "/serial"}) {
        std::string s = read_text(dir + name);
        if (!s.empty()) return s;
    }
    std::string page = read_text(dir + "/device/vpd_pg80");
    return page.size() > 4 ? trimmed(page.substr(4)) : std::string();
}

// ATA disks answer IDENTIFY DEVICE; its text fields are space-padded.
void ata_identity(const std::string& path, std::string* model, std::string* serial) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    hd_driveid id{};
    if (ioctl(fd, HDIO_GET_IDENTITY, &id) == 0) {
        if (model->empty()) *model = trimmed(std::string(reinterpret_cast<char*>(id.model), sizeof id.model));
        if (serial->empty()) *serial = trimmed(std::string(reinterpret_cast<char*>(id.serial_no), sizeof id.serial_no));
    }
    close(fd);
}

}  // namespace

bool ide_disk_source(int disk, ide_source* out) {
    const ide_disk* d = disk < 0 ? nullptr : ide_find_disk(static_cast<uint32_t>(disk));
    if (!d || !d->image) return false;
    *out = ide_source{};
    out->path = d->path;
    out->kind = d->image->kind();
    out->files = d->image->files();
    out->bytes = d->image->size();
    out->stored_md5 = d->image->stored_md5();
    out->stored_sha1 = d->image->stored_sha1();
    struct stat st;
    if (out->kind == "block device" && stat(d->path.c_str(), &st) == 0) {
        const std::string dir = sysfs_disk(st.st_rdev);
        if (!dir.empty()) {
            out->model = read_text(dir + "/device/model");
            out->serial = sysfs_serial(dir);
        }
        if (out->model.empty() || out->serial.empty()) ata_identity(d->path, &out->model, &out->serial);
    }
    return true;
}

int ide_read_image(int disk, uint64_t offset, void* buf, size_t bytes) {
    ide_disk* d = disk < 0 ? nullptr : ide_find_disk(static_cast<uint32_t>(disk));
    if (!d || !d->image) return IDE_ERR_NO_DISK;
    if (!buf) return IDE_ERR_ARG;
    if (offset > d->image->size() || bytes > d->image->size() - offset) return IDE_ERR_RANGE;
    return d->image->read_at(offset, buf, bytes);
}

uint32_t ide_disk_checksum_errors(int disk) {
    const ide_disk* d = disk < 0 ? nullptr : ide_find_disk(static_cast<uint32_t>(disk));
    return d && d->image ? d->image->checksum_errors() : 0;
}
