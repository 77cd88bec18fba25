// Mount table walk: order, end of table, read-only flag, the shared static entry, long fields.
#include <gtest/gtest.h>
#include <mntent.h>

#include <string>
#include <vector>

#include "common/test_util.h"
#include "support/ssmnttab.h"

namespace {

class MountTable : public testing::Test {
   protected:
    kt::TempDir dir;
    std::string table = dir / "mtab";
    void use(const std::string &text) {
        kt::write_file(table, text);
        ss_set_mtab_path(table.c_str());
    }
    void TearDown() override { ss_set_mtab_path(nullptr); }
    std::vector<std::string> walk() {
        std::vector<std::string> paths;
        struct ssmnttab *e;
        while ((e = ss_getmntent()) != nullptr) paths.push_back(e->mt_path);
        return paths;
    }
};

const char kTable[] =
    "/dev/vda / ext4 rw,relatime 0 0\n"
    "tmpfs /mnt/small tmpfs rw,size=2048k 0 0\n"
    "tmpfs /mnt/ro tmpfs ro,relatime 0 0\n"
    "srv:/x /mnt/nfs nfs rw,noatime,ro 0 0\n"
    "tmpfs /mnt/rootish tmpfs rw,errors=remount-ro,nosuid 0 0\n";

TEST_F(MountTable, WalksInFileOrderAndRestartsAfterEnd) {
    use(kTable);
    std::vector<std::string> want = {"/", "/mnt/small", "/mnt/ro", "/mnt/nfs", "/mnt/rootish"};
    EXPECT_EQ(walk(), want);
    EXPECT_EQ(ss_getmntent(), nullptr) << "stays at the end until closed";
    EXPECT_EQ(ss_getmntent(), nullptr);
    ss_endmntent();
    EXPECT_EQ(walk(), want);
    ss_endmntent();
    ss_endmntent();  // closing a closed table does nothing
}

TEST_F(MountTable, FieldsAndReadOnlyFlag) {
    use(kTable);
    struct Want {
        const char *dev, *path, *type;
        int ro;
    } want[] = {{"/dev/vda", "/", "ext4", 0},
                {"tmpfs", "/mnt/small", "tmpfs", 0},
                {"tmpfs", "/mnt/ro", "tmpfs", 1},
                {"srv:/x", "/mnt/nfs", "nfs", 1},
                {"tmpfs", "/mnt/rootish", "tmpfs", 0}};  // "remount-ro" is not "ro"
    for (const auto &w : want) {
        struct ssmnttab *e = ss_getmntent();
        ASSERT_NE(e, nullptr);
        EXPECT_STREQ(e->mt_dev, w.dev);
        EXPECT_STREQ(e->mt_path, w.path);
        EXPECT_STREQ(e->mt_fstype, w.type);
        EXPECT_EQ(e->mt_read_only, w.ro) << w.path;
        EXPECT_EQ(e->mt_time, 0);
    }
    ss_endmntent();
}

TEST_F(MountTable, ReturnedEntryIsOverwrittenByTheNextCall) {
    use(kTable);
    struct ssmnttab *first = ss_getmntent();
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(first->mt_path, "/");
    struct ssmnttab *second = ss_getmntent();
    EXPECT_EQ(first, second);
    EXPECT_STREQ(first->mt_path, "/mnt/small");
    ss_endmntent();
}

TEST_F(MountTable, InterruptedWalkResumes) {
    use(kTable);
    ASSERT_NE(ss_getmntent(), nullptr);
    ASSERT_NE(ss_getmntent(), nullptr);
    struct ssmnttab *e = ss_getmntent();
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->mt_path, "/mnt/ro");
    ss_endmntent();
}

TEST_F(MountTable, LongFieldsAreTerminatedAndLongMountPointsSkipped) {
    std::string long_dev(200, 'd');
    std::string long_type(40, 't');
    std::string long_path = "/" + std::string(127, 'p');  // 128 characters: no room for NUL
    std::string fits_path = "/" + std::string(126, 'q');  // 127 characters: fits
    use(long_dev + " /a " + long_type + " rw 0 0\n" + "x " + long_path + " tmpfs rw 0 0\n" + "y " +
        fits_path + " tmpfs rw 0 0\n");
    struct ssmnttab *e = ss_getmntent();
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(std::string(e->mt_dev), long_dev.substr(0, MT_DEV_SIZE - 1));
    EXPECT_EQ(std::string(e->mt_fstype), long_type.substr(0, MT_FSTYPE_SIZE - 1));
    e = ss_getmntent();
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(std::string(e->mt_path), fits_path) << "a cut mount point names another place";
    EXPECT_EQ(ss_getmntent(), nullptr);
    ss_endmntent();
}

TEST_F(MountTable, LookupByNameLeavesTableClosed) {
    use(kTable);
    ASSERT_NE(ss_getmntent(), nullptr);  // a walk in progress is abandoned
    struct ssmnttab *e = ss_getmntbyname("/mnt/ro");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->mt_read_only, 1);
    e = ss_getmntbyname("srv:/x");
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->mt_path, "/mnt/nfs");
    EXPECT_EQ(ss_getmntbyname("/mnt"), nullptr) << "exact match only";
    e = ss_getmntent();
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->mt_path, "/") << "the next walk starts at the first entry";
    ss_endmntent();
}

TEST_F(MountTable, MissingTableLooksEmpty) {
    ss_set_mtab_path((dir / "none").c_str());
    EXPECT_EQ(ss_getmntent(), nullptr);
    EXPECT_EQ(ss_getmntbyname("/"), nullptr);
}

// The host C library's parser as the oracle: each entry as ss_getmntent must give it.
std::vector<std::string> host_walk(const std::string &path) {
    std::vector<std::string> out;
    FILE *f = setmntent(path.c_str(), "r");
    if (!f) return out;
    while (struct mntent *m = getmntent(f)) {
        if (strlen(m->mnt_dir) >= MT_PATH_SIZE) continue;
        out.push_back(std::string(m->mnt_fsname).substr(0, MT_DEV_SIZE - 1) + "|" + m->mnt_dir +
                      "|" + std::string(m->mnt_type).substr(0, MT_FSTYPE_SIZE - 1) + "|" +
                      (hasmntopt(m, "ro") ? "ro" : "rw"));
    }
    endmntent(f);
    return out;
}

TEST_F(MountTable, ParsesEveryLineAsTheHostCLibraryDoes) {
    const std::string long_line = "dev /long tmpfs rw," + std::string(5000, 'o') + " 0 0\n";
    for (const std::string &text : {
             std::string("/dev/sda1 /mnt/with\\040space ext4 rw 0 0\n"
                         "a\\011b /tab\\012nl\\134back\\\\two\\x vfat ro,noexec 0 0\n"),
             std::string("# a comment\n\n   \t\n  dev\t/indented\t\text4  ro=x,sync 0 0\n"
                         "   # indented comment\nnofields\nlast /no/newline ext2 ro"),
             long_line + "after /after ext4 rw 0 0\n",
             kt::read_file("/proc/self/mounts"),
         }) {
        use(text);
        std::vector<std::string> ours;
        while (struct ssmnttab *e = ss_getmntent())
            ours.push_back(std::string(e->mt_dev) + "|" + e->mt_path + "|" + e->mt_fstype + "|" +
                           (e->mt_read_only ? "ro" : "rw"));
        ss_endmntent();
        EXPECT_EQ(ours, host_walk(table)) << text.substr(0, 200);
    }
}

TEST(MountTableReal, SystemTableListsTheRoot) {
    bool root = false;
    struct ssmnttab *e;
    while ((e = ss_getmntent()) != nullptr) root = root || std::string(e->mt_path) == "/";
    ss_endmntent();
    EXPECT_TRUE(root);
}

}  // namespace
