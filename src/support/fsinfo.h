// Support library: filesystem space queries on the filesystem that holds a path.
// A megabyte is 1048576 bytes, 2048 units of 512 bytes.
#pragma once

#include <cstdint>
#include <sys/statfs.h>

typedef struct statfs64 FstatStruct;

// fsinfo's opts: compare megabytes or percent available.
inline constexpr int FS_OPT_PERCENT = 1;
inline constexpr int FS_OPT_MEGS = 2;

// 1 when the filesystem holding path has at least value megabytes (FS_OPT_MEGS) or value
// percent (FS_OPT_PERCENT) available to unprivileged users, 0 when less, -1 when path cannot
// be examined (the out-values are then untouched). Either out-pointer may be NULL.
int fsinfo(int opts, const char *path, int value, int *is_root, uint64_t *megs_avl);
int FsHasMegSpace(const char *path, int value, int *is_root, uint64_t *megs_avl);
int FsHasPrtSpace(const char *path, int value, int *is_root, uint64_t *megs_avl);
// 1 when both paths lie on one filesystem, 0 when not, -1 when either cannot be examined.
int FsCompare(const char *p1, const char *p2);
double FsBlocksUsed(const char *path, int block_size);
double FsMegsUsed(const char *path);
double FsBlocksFree(const char *path, int block_size);
int FsIsWritable(const char *p);

// Test seam: the statistics call behind every query (statfs64 by default).
typedef int (*FsStatFunc)(const char *path, FstatStruct *buf);
extern FsStatFunc fs_statfs;
