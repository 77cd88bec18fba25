// Filesystem space queries: megabyte arithmetic on faked statistics, and the real statfs.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <map>
#include <string>

#include "common/test_util.h"
#include "support/fsinfo.h"

namespace {

// Fake statistics by path; "/" is always present so the root comparison has something.
std::map<std::string, FstatStruct> g_fake;

int fake_statfs(const char *path, FstatStruct *buf) {
    auto it = g_fake.find(path);
    if (it == g_fake.end()) return -1;
    *buf = it->second;
    return 0;
}

FstatStruct fs(long bsize, unsigned long blocks, unsigned long bfree, unsigned long bavail,
               int fsid) {
    FstatStruct st;
    memset(&st, 0, sizeof st);
    st.f_bsize = bsize;
    st.f_blocks = blocks;
    st.f_bfree = bfree;
    st.f_bavail = bavail;
    st.f_fsid.__val[0] = fsid;
    return st;
}

class FakeFs : public testing::Test {
   protected:
    void SetUp() override {
        g_fake.clear();
        g_fake["/"] = fs(4096, 100000, 50000, 40000, 1);
        fs_statfs = fake_statfs;
    }
    void TearDown() override {
        fs_statfs = FsStatFunc(statfs64);
        g_fake.clear();
    }
};

TEST_F(FakeFs, MegabytesAvailableTable) {
    struct Case {
        long bsize;
        unsigned long bavail;
        int value;
        int want;
        uint64_t megs;
    } cases[] = {
        {4096, 2560, 10, 1, 10},
        {4096, 2560, 11, 0, 10},
        {4096, 2559, 9, 1, 9},  // partial megabytes are dropped
        {4096, 2559, 10, 0, 9},
        {512, 2048, 1, 1, 1},
        {1024, 1023, 1, 0, 0},
        {256, 4096, 2, 1, 2},               // below 512 counts as 512
        {4096, 0, 0, 1, 0},                 // 0 always passes
        {4096, 1u << 30, -1, 0, 4u << 20},  // a negative value never passes
        {4 << 20, 3, 12, 1, 12},            // 4 MiB blocks: no division by zero
        {4 << 20, 3, 13, 0, 12},
    };
    for (const auto &c : cases) {
        g_fake["/mnt/x"] = fs(c.bsize, 1u << 31, c.bavail, c.bavail, 2);
        uint64_t megs = 777;
        int is_root = 7;
        EXPECT_EQ(FsHasMegSpace("/mnt/x", c.value, &is_root, &megs), c.want)
            << c.bsize << " " << c.bavail << " " << c.value;
        EXPECT_EQ(megs, c.megs) << c.bsize << " " << c.bavail;
        EXPECT_EQ(is_root, 0);
    }
}

TEST_F(FakeFs, ReservedBlocksDoNotCount) {
    g_fake["/r"] = fs(4096, 10000, 5120, 2560, 3);  // 20 MB free, 10 MB for users
    EXPECT_EQ(FsHasMegSpace("/r", 10, nullptr, nullptr), 1);
    EXPECT_EQ(FsHasMegSpace("/r", 11, nullptr, nullptr), 0);
    EXPECT_DOUBLE_EQ(FsBlocksFree("/r", 1024), 5120.0 * 4);
    EXPECT_DOUBLE_EQ(FsBlocksUsed("/r", 4096), 10000.0 - 5120);
    EXPECT_DOUBLE_EQ(FsMegsUsed("/r"), (10000.0 - 5120) * 4096 / 1048576);
}

TEST_F(FakeFs, RootAndUnexaminablePaths) {
    g_fake["/usr"] = fs(4096, 1000, 500, 500, 1);  // same fsid as "/"
    int is_root = 0;
    uint64_t megs = 0;
    EXPECT_EQ(FsHasMegSpace("/usr", 1, &is_root, &megs), 1);
    EXPECT_EQ(is_root, 1);
    is_root = 5;
    megs = 99;
    EXPECT_EQ(FsHasMegSpace("/missing", 1, &is_root, &megs), -1);
    EXPECT_EQ(is_root, 5);
    EXPECT_EQ(megs, 99u) << "out-values untouched when the path cannot be examined";
    EXPECT_EQ(FsCompare("/", "/usr"), 1);
    g_fake["/other"] = fs(4096, 1000, 500, 500, 9);
    EXPECT_EQ(FsCompare("/", "/other"), 0);
    EXPECT_EQ(FsCompare("/", "/missing"), -1);
    EXPECT_EQ(FsBlocksFree("/missing", 512), 0.0);
    EXPECT_EQ(FsBlocksUsed("/missing", 512), 0.0);
}

TEST_F(FakeFs, PercentAvailableAndUnknownOption) {
    g_fake["/p"] = fs(4096, 1000, 300, 250, 4);  // 25 %
    EXPECT_EQ(FsHasPrtSpace("/p", 25, nullptr, nullptr), 1);
    EXPECT_EQ(FsHasPrtSpace("/p", 26, nullptr, nullptr), 0);
    g_fake["/empty"] = fs(4096, 0, 0, 0, 5);
    EXPECT_EQ(FsHasPrtSpace("/empty", 0, nullptr, nullptr), 1);
    EXPECT_EQ(FsHasPrtSpace("/empty", 1, nullptr, nullptr), 0);
    uint64_t megs = 0;
    EXPECT_EQ(fsinfo(3, "/p", 0, nullptr, &megs), -1);
    EXPECT_EQ(megs, 0u) << "250 blocks of 4096 bytes are under a megabyte";
}

TEST(RealFs, StatfsOfExistingAndMissingPaths) {
    kt::TempDir dir;
    uint64_t megs = 0;
    int is_root = -1;
    EXPECT_EQ(FsHasMegSpace(dir.path().c_str(), 0, &is_root, &megs), 1);
    EXPECT_TRUE(is_root == 0 || is_root == 1);
    EXPECT_EQ(FsHasMegSpace("/", 0, &is_root, nullptr), 1);
    EXPECT_EQ(is_root, 1);
    EXPECT_EQ(FsHasMegSpace((dir / "missing").c_str(), 0, nullptr, nullptr), -1);
    EXPECT_EQ(FsHasMegSpace(dir.path().c_str(), 1 << 30, nullptr, nullptr), 0)
        << "a petabyte is more than any test machine has";
}

TEST(RealFs, WritableProbe) {
    kt::TempDir dir;
    EXPECT_EQ(FsIsWritable(dir.path().c_str()), 1);
    EXPECT_EQ(FsIsWritable((dir / "missing").c_str()), 0);
    std::string ro = dir / "ro";
    ASSERT_EQ(mkdir(ro.c_str(), 0555), 0);
    EXPECT_EQ(FsIsWritable(ro.c_str()), 0) << "no write permission bit set";
    EXPECT_EQ(FsIsWritable("/proc"), 0);
    // The probe file leaves nothing behind.
    EXPECT_EQ(kt::sh("ls -A " + kt::quote(dir.path())).out, "ro\n");
}

}  // namespace
