#include "core/startup.h"

#include <mutex>

#include "core/folders.h"
#include "core/language.h"
#include "kxfs.h"

namespace {

// The system-wide place of an installed program's language file; a file
// beside the program serves when there is none.
const char kConfigFolder[] = "/etc/tarvik/";

// The dialog and the command line need no spin-up notice and no locking of
// their own: each keeps the library to one thread at a time. The mount's file
// system serves several threads and takes a real mutex.
void NoWakeup(int) {}
void NoLock() {}

std::mutex g_libraryMutex;
void LockLibrary() { g_libraryMutex.lock(); }
void UnlockLibrary() { g_libraryMutex.unlock(); }

}  // namespace

void UseLibraryMutex() {
    static const kx_hooks hooks = {NoWakeup, LockLibrary, UnlockLibrary};
    kx_set_hooks(&hooks);
}

int DiskCount() {
    disk_info info{};
    const int n = ide_getinfo64(&info);
    return n > 0 ? n : 0;
}

CDiskWriteWatch::CDiskWriteWatch() {
    for (int d = 0; d < DiskCount(); d++) m_base.push_back(ide_get_counters(d).written_sectors);
}

std::vector<DiskWrite> CDiskWriteWatch::Writes() const {
    std::vector<DiskWrite> writes;
    for (int d = 0; d < DiskCount(); d++) {
        const uint64_t now = ide_get_counters(d).written_sectors;
        const uint64_t base = static_cast<size_t>(d) < m_base.size() ? m_base[d] : 0;
        if (now > base) {
            writes.push_back(
                DiskWrite{d, ide_disk_path(d), now - base, ide_disk_is_read_only(d), ide_disk_write_refused(d)});
        }
    }
    return writes;
}

StartupReport InitLibrary(const StartupOptions& options) {
    SetLanguageFile(FindLanguageFile({kConfigFolder, GetModulePath().directory}));
    ide_set_disk_paths(options.diskPaths);
    ide_set_read_only(!options.repair);
    ide_init();
    StartupReport report;
    report.diskCount = DiskCount();
    const CDiskWriteWatch watch;
    kx_set_fs_adapt(1);
    int count = 0;
    packed_time shutdownTime = 0;
    report.result = kx_file_sys_init(&count, &shutdownTime);
    report.usableDrivers = count;
    static const kx_hooks hooks = {NoWakeup, NoLock, NoLock};
    kx_set_hooks(&hooks);
    report.repairs = watch.Writes();
    for (int d = 0; d < report.diskCount; d++) report.writeRefused |= ide_disk_write_refused(d) != 0;
    return report;
}
