// Support library: mount table access. Owns the open table stream between calls and the
// one static entry that every successful lookup fills and returns. Parsing of the table is
// the platform's (getmntent, hasmntopt).
#include "support/ssmnttab.h"

#include <cstdio>
#include <cstring>
#include <mntent.h>

namespace {

// Longest table path the test seam accepts: PATH_MAX.
constexpr size_t MTAB_PATH_SIZE = 4096;

FILE *mtfp = nullptr;
// Empty means MTAB_PATH; kept in zeroed storage so the stub carries no 4 KiB of data.
char mtab_path[MTAB_PATH_SIZE];
struct ssmnttab entry;

// Copies src into a field of width n, padding with NULs; false when src does not fit
// with its terminator (the field then holds the first n - 1 bytes).
bool copy_field(char *dst, const char *src, size_t n) {
    size_t len = strnlen(src, n);
    bool fits = len < n;
    if (!fits) len = n - 1;
    memcpy(dst, src, len);
    memset(dst + len, 0, n - len);
    return fits;
}

// Fills the static entry from mt. A mount point that does not fit is refused (NULL): a cut
// path names a different directory, and callers create directories under mt_path. A device
// name or type that does not fit is only cut, since nothing acts on them.
struct ssmnttab *mt_copy(struct mntent *mt) {
    copy_field(entry.mt_dev, mt->mnt_fsname, MT_DEV_SIZE);
    if (!copy_field(entry.mt_path, mt->mnt_dir, MT_PATH_SIZE)) return nullptr;
    copy_field(entry.mt_fstype, mt->mnt_type, MT_FSTYPE_SIZE);
    entry.mt_read_only = hasmntopt(mt, "ro") != nullptr ? 1 : 0;
    entry.mt_time = 0;
    return &entry;
}

}  // namespace

struct ssmnttab *ss_getmntent(void) {
    if (!mtfp) {
        mtfp = setmntent(mtab_path[0] ? mtab_path : MTAB_PATH, "r");
        if (!mtfp) return nullptr;
    }
    struct mntent *mt;
    while ((mt = getmntent(mtfp)) != nullptr) {
        struct ssmnttab *e = mt_copy(mt);
        if (e) return e;
    }
    return nullptr;
}

void ss_endmntent(void) {
    if (mtfp) endmntent(mtfp);
    mtfp = nullptr;
}

int ss_fstype_keeps_files(const char *fstype) {
    // Memory filesystems, then the kernel's interface filesystems. overlay is not here: its
    // files persist where its upper layer does, which is a disk in the usual case, and it is
    // the root filesystem of containers, where leaving it out would leave nothing to choose.
    static const char *const forgetful[] = {
        "tmpfs",      "devtmpfs", "ramfs",     "rootfs",  "hugetlbfs",  "mqueue",      "proc",
        "sysfs",      "devpts",   "cgroup",    "cgroup2", "securityfs", "debugfs",     "tracefs",
        "pstore",     "bpf",      "configfs",  "fusectl", "autofs",     "binfmt_misc", "efivarfs",
        "rpc_pipefs", "nsfs",     "selinuxfs", "nfsd"};
    for (const char *t : forgetful)
        if (strcmp(fstype, t) == 0) return 0;
    return 1;
}

struct ssmnttab *ss_getmntbyname(const char *name) {
    ss_endmntent();
    struct ssmnttab *e;
    while ((e = ss_getmntent()) != nullptr) {
        if (strcmp(e->mt_dev, name) == 0 || strcmp(e->mt_path, name) == 0) break;
    }
    ss_endmntent();
    return e;
}

void ss_set_mtab_path(const char *path) {
    ss_endmntent();
    snprintf(mtab_path, sizeof mtab_path, "%s", path ? path : "");
}
