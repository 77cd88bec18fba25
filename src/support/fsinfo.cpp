// Support library: filesystem space queries built on statfs64. Owns only the seam pointer
// through which the statistics are obtained.
#include "support/fsinfo.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Space is counted in units of 512 bytes; 2048 of them make a megabyte.
constexpr uint64_t UNIT_BYTES = 512;
constexpr uint64_t UNITS_PER_MEG = 2048;
// The probe file "%s/%ld._fst.": a directory of at most PATH_MAX characters plus the name.
constexpr size_t PROBE_NAME_SIZE = 4096 + 32;

int default_statfs(const char *path, FstatStruct *buf) {
    return statfs64(path, buf);
}

uint64_t block_bytes(const FstatStruct &st) {
    uint64_t b = static_cast<uint64_t>(st.f_bsize);
    return b < UNIT_BYTES ? UNIT_BYTES : b;
}

// Megabytes in `blocks` blocks of the filesystem, remainder dropped. Blocks larger than a
// megabyte would give 0 blocks per megabyte; they are counted by multiplying instead.
uint64_t blocks_to_megs(const FstatStruct &st, uint64_t blocks) {
    uint64_t units = block_bytes(st) / UNIT_BYTES;
    uint64_t bdiv = UNITS_PER_MEG / units;
    if (bdiv == 0) return blocks * (units / UNITS_PER_MEG);
    return blocks / bdiv;
}

}  // namespace

FsStatFunc fs_statfs = default_statfs;

int fsinfo(int opts, const char *path, int value, int *is_root, uint64_t *megs_avl) {
    FstatStruct st;
    if (fs_statfs(path, &st) != 0) return -1;
    FstatStruct root;
    memset(&root, 0, sizeof root);
    fs_statfs("/", &root);
    if (is_root) *is_root = st.f_fsid.__val[0] == root.f_fsid.__val[0] ? 1 : 0;

    uint64_t megs = blocks_to_megs(st, static_cast<uint64_t>(st.f_bavail));
    if (megs_avl) *megs_avl = megs;
    // A negative value widens to a huge unsigned one and never passes.
    uint64_t want = static_cast<uint64_t>(static_cast<int64_t>(value));
    if (opts == FS_OPT_MEGS) return megs >= want ? 1 : 0;
    if (opts == FS_OPT_PERCENT) {
        uint64_t pavail = 0;
        if (st.f_blocks != 0)
            pavail = static_cast<uint64_t>(static_cast<float>(st.f_bavail) /
                                           static_cast<float>(st.f_blocks) * 100.0f);
        return pavail >= want ? 1 : 0;
    }
    return -1;
}

int FsHasMegSpace(const char *path, int value, int *is_root, uint64_t *megs_avl) {
    return fsinfo(FS_OPT_MEGS, path, value, is_root, megs_avl);
}

int FsHasPrtSpace(const char *path, int value, int *is_root, uint64_t *megs_avl) {
    return fsinfo(FS_OPT_PERCENT, path, value, is_root, megs_avl);
}

int FsCompare(const char *p1, const char *p2) {
    FstatStruct a, b;
    if (fs_statfs(p1, &a) != 0 || fs_statfs(p2, &b) != 0) return -1;
    return a.f_fsid.__val[0] == b.f_fsid.__val[0] ? 1 : 0;
}

double FsBlocksUsed(const char *path, int block_size) {
    FstatStruct st;
    if (fs_statfs(path, &st) != 0) return 0.0;
    return static_cast<double>(st.f_blocks - st.f_bfree) * static_cast<double>(block_bytes(st)) /
           block_size;
}

double FsMegsUsed(const char *path) {
    return FsBlocksUsed(path, static_cast<int>(UNIT_BYTES)) / static_cast<double>(UNITS_PER_MEG);
}

double FsBlocksFree(const char *path, int block_size) {
    FstatStruct st;
    if (fs_statfs(path, &st) != 0) return 0.0;
    return static_cast<double>(st.f_bfree) * static_cast<double>(block_bytes(st)) / block_size;
}

int FsIsWritable(const char *p) {
    struct stat st;
    if (stat(p, &st) != 0) return 0;
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return 0;
    char probe[PROBE_NAME_SIZE];
    int n = snprintf(probe, sizeof probe, "%s/%ld._fst.", p, static_cast<long>(time(nullptr)));
    if (n < 0 || static_cast<size_t>(n) >= sizeof probe) return 0;
    int result = 1;
    int fd = creat64(probe, 0777);
    if (fd >= 0)
        close(fd);
    else if (errno == EROFS)
        result = 0;
    unlink(probe);
    return result;
}
