// Support library: mount table access. One mount-table entry as a fixed-size copy, and a walk
// over the system's table of mounted filesystems, one entry per call.
#pragma once

#include <ctime>

// Field widths of an entry, each including the terminating NUL.
inline constexpr unsigned MT_DEV_SIZE = 128;
inline constexpr unsigned MT_PATH_SIZE = 128;
inline constexpr unsigned MT_FSTYPE_SIZE = 32;

// The table read by default.
inline constexpr const char *MTAB_PATH = "/etc/mtab";

struct ssmnttab {
    char mt_dev[MT_DEV_SIZE];        // mounted device or filesystem name
    char mt_path[MT_PATH_SIZE];      // mount point directory
    char mt_fstype[MT_FSTYPE_SIZE];  // filesystem type
    char mt_read_only;               // 1 when mounted with the option "ro"
    time_t mt_time;                  // always 0
};

// The next entry of the table (a static copy, overwritten by the next call), or NULL after
// the last entry and while the table cannot be opened.
struct ssmnttab *ss_getmntent(void);
// Closes the table, so that the next ss_getmntent starts again at the first entry.
void ss_endmntent(void);
// The first entry whose device or mount point equals name exactly; leaves the table closed.
struct ssmnttab *ss_getmntbyname(const char *name);

// 0 when files written to a filesystem of type fstype live only in memory or the type is made
// up by the kernel (tmpfs, devtmpfs, proc, cgroup, ...): an installation placed there is gone
// at the next boot or cannot be stored at all. 1 for every other type, disk and network
// filesystems and overlay included.
int ss_fstype_keeps_files(const char *fstype);

// Test seam: reads the table from path instead of MTAB_PATH (NULL restores the default).
// The path is copied. Closes any walk in progress.
void ss_set_mtab_path(const char *path);
