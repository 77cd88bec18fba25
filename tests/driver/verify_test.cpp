// Space verification and relocation on faked filesystem statistics and a faked mount table,
// with real directories, links and removals in a scratch directory.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <string>

#include "common/test_util.h"
#include "driver/kelpa.h"
#include "gzip/gzip.h"
#include "support/fsinfo.h"
#include "support/ssmnttab.h"

namespace {

std::map<std::string, int> g_megs;  // megabytes available by exact path; absent: unexaminable

int fake_statfs(const char *path, FstatStruct *buf) {
    memset(buf, 0, sizeof *buf);
    auto it = g_megs.find(path);
    if (it == g_megs.end()) return std::string(path) == "/" ? 0 : -1;
    buf->f_bsize = 4096;
    buf->f_blocks = buf->f_bfree = buf->f_bavail = static_cast<unsigned long>(it->second) * 256;
    return 0;
}

std::string lnk(const std::string &p) {
    char buf[512];
    ssize_t n = readlink(p.c_str(), buf, sizeof buf);
    return n < 0 ? "" : std::string(buf, static_cast<size_t>(n));
}

class Verify : public testing::Test {
   protected:
    kt::TempDir d;
    std::string target = d / "target", room = d / "room", room2 = d / "room2", small = d / "small",
                ro = d / "ro", tdir = d / "tdir", mem = d / "mem", mem2 = d / "mem2",
                mem3 = d / "mem3";
    int fd = -1;
    std::string err;

    void SetUp() override {
        for (const auto &p : {target, room, room2, small, ro, tdir, mem, mem2, mem3})
            mkdir(p.c_str(), 0755);
        g_megs.clear();
        fs_statfs = fake_statfs;
        // Memory and kernel filesystems with room come first, as /dev and /dev/shm do.
        kt::write_file(d / "mtab", "devtmpfs " + mem + " devtmpfs rw 0 0\n" + "tmpfs " + mem2 +
                                       " tmpfs rw 0 0\n" + "cgroup2 " + mem3 + " cgroup2 rw 0 0\n" +
                                       "/dev/vdb " + ro + " ext4 ro 0 0\n" +
                                       "none /nonexistent ext4 rw 0 0\n" + "/dev/vdc " + small +
                                       " ext2 rw 0 0\n" + "srv:/x " + room + " nfs rw 0 0\n" +
                                       "/dev/vdd " + room2 + " xfs rw 0 0\n");
        ss_set_mtab_path((d / "mtab").c_str());
        uncompress_dir[0] = '\0';
        verbose = 0;
        sympath[0] = '\0';
        strcpy(ifname, "./arc");
        archive("");
    }
    void TearDown() override {
        if (fd >= 0) close(fd);
        fs_statfs = FsStatFunc(statfs64);
        ss_set_mtab_path(nullptr);
        uncompress_dir[0] = '\0';
        verbose = 0;
    }
    // An archive file whose payload starts at offset 4.
    void archive(const std::string &feats) {
        if (fd >= 0) close(fd);
        kt::write_file(d / "arc", "STUB" + std::string(100, 'x'));
        fd = open((d / "arc").c_str(), O_RDONLY);
        preamble_end = 4;
        lseek(fd, 20, SEEK_SET);
        strcpy(features, feats.c_str());
    }
    int run() {
        testing::internal::CaptureStderr();
        int r = verify_fs(fd, 5ul << 20);  // needs 6 MB
        err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 20) << "the input position is restored";
        return r;
    }
    std::string linked(const std::string &real) {
        return "./arc: extracting into " + real + " through the temporary link " + target +
               "/pkg\n";
    }
    std::string no_space(const std::string &full, int megs, const std::string &fs) {
        return full + ": not enough space to extract the archive.\n" + "Please make at least " +
               std::to_string(megs) + "Mb available in " + fs + ".\n" +
               "Alternatively, you can make space available on another filesystem where a\n"
               "\"pkg\" directory can be created. Ensure that the \"pkg\" directory\n"
               "does not exist before trying again.\n";
    }
};

TEST_F(Verify, NoVfyfsItemMeansNoCheck) {
    strcpy(features, "FSSUB=pkg,NAME=x");
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(err, "");
}

TEST_F(Verify, TargetWithRoomExtractsInPlace) {
    strcpy(features, ("VFYFS=" + target + ",FSSUB=pkg").c_str());
    g_megs[target] = 6;
    EXPECT_EQ(run(), 0);
    EXPECT_STREQ(sympath, "");
    EXPECT_EQ(err, "");
    EXPECT_FALSE(kt::file_exists(target + "/pkg"));
}

TEST_F(Verify, MissingTargetPassesBecauseItCannotBeExamined) {
    strcpy(features, ("VFYFS=" + d / "later" + ",FSSUB=pkg").c_str());
    EXPECT_EQ(run(), 0);
    EXPECT_STREQ(sympath, "");
}

TEST_F(Verify, ShortOrMissingValuesAreRefusedSilently) {
    for (std::string f : {"VFYFS=" + target, "VFYFS=" + target + ",FSSUB=p",
                          std::string("VFYFS=/,FSSUB=pkg"), "VFYFS=" + target + ",FSSUB="}) {
        strcpy(features, f.c_str());
        EXPECT_EQ(run(), -1) << f;
        EXPECT_EQ(err, "") << f;
    }
}

TEST_F(Verify, TooLongValueIsRefusedWithMessage) {
    strcpy(features, ("VFYFS=/" + std::string(200, 'v') + ",FSSUB=pkg").c_str());
    EXPECT_EQ(run(), -1);
    EXPECT_NE(err.find("too long"), std::string::npos) << err;
}

TEST_F(Verify, ExistingExtractionDirectoryIsRefused) {
    strcpy(features, ("VFYFS=" + target + "/,FSSUB=pkg").c_str());
    mkdir((target + "/pkg").c_str(), 0755);
    EXPECT_EQ(run(), -1);
    EXPECT_EQ(err, target +
                       "/pkg: extraction directory exists!\n"
                       "Please remove it first then try again.\n");
}

TEST_F(Verify, FullTargetRelocatesToFirstWritableDiskMountWithRoom) {
    strcpy(features, ("VFYFS=" + target + ",FSSUB=pkg").c_str());
    g_megs = {{target, 5}, {mem, 100}, {mem2, 100}, {mem3, 100},
              {ro, 100},   {small, 5}, {room, 6},   {room2, 100}};
    mode_t old = umask(077);
    EXPECT_EQ(run(), 0);
    umask(old);
    EXPECT_EQ(err, target + "/pkg: not enough space. Looking for space in other filesystems.\n" +
                       "Trying " + room + " ...\n" + linked(room + "/pkg"));
    EXPECT_EQ(std::string(sympath), target + "/pkg");
    EXPECT_EQ(lnk(target + "/pkg"), room + "/pkg");
    struct stat st;
    ASSERT_EQ(stat((room + "/pkg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
}

TEST_F(Verify, CandidateHoldingTheSubdirectoryIsSkipped) {
    strcpy(features, ("VFYFS=" + target + ",FSSUB=pkg").c_str());
    g_megs = {{target, 1}, {room, 6}, {room2, 6}};
    mkdir((room + "/pkg").c_str(), 0700);
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(err, target + "/pkg: not enough space. Looking for space in other filesystems.\n" +
                       "Trying " + room + " ...\n" + room + "/pkg: already exists.\n" + "Trying " +
                       room2 + " ...\n" + linked(room2 + "/pkg"));
    EXPECT_EQ(lnk(target + "/pkg"), room2 + "/pkg");
}

TEST_F(Verify, NoRoomAnywhereFailsWithThreeMessages) {
    strcpy(features, ("VFYFS=" + target + ",FSSUB=pkg").c_str());
    g_megs = {{target, 1}, {ro, 100}, {room, 5}};
    EXPECT_EQ(run(), -1);
    EXPECT_EQ(err, target + "/pkg: not enough space. Looking for space in other filesystems.\n" +
                       no_space(target + "/pkg", 6, target));
    EXPECT_STREQ(sympath, "");
}

// The whole member is checked before the space: an archive damaged in its trailer reports the
// damage on a full filesystem, where the same archive intact reports the space.
TEST_F(Verify, DamageIsReportedBeforeTheSpace) {
    kt::write_file(d / "data.txt", kt::text_bytes(5000, 1));
    kt::RunResult b =
        kt::run({kt::kelpa_bin(), "-V", target, "-S", "pkg", "data.txt"}, "", d.path());
    ASSERT_EQ(b.status, 0) << b.err;
    std::string damaged = b.out;
    damaged[damaged.size() - 8] ^= 1;  // the trailer's CRC-32
    struct {
        std::string archive;
        int status;  // 1: a fatal decoding error, 2: do_decompress refused
        const char *says;
    } cases[] = {{b.out, 2, ": not enough space to extract the archive."},
                 {damaged, 1, "invalid compressed data--crc error"}};
    g_megs = {{target, 0}};
    char name[] = "kelpa";
    progname = name;
    for (const auto &c : cases) {
        kt::write_file(d / "pkg.run", c.archive, 0755);
        const std::string path = d / "pkg.run";
        EXPECT_EXIT(exit(do_decompress(path.c_str()) == 0 ? 0 : 2),
                    testing::ExitedWithCode(c.status), testing::HasSubstr(c.says));
    }
    EXPECT_FALSE(kt::file_exists(target + "/pkg"));
}

TEST_F(Verify, TempDirWithRoomIsUsedEvenWhenTargetHasRoom) {
    strcpy(features, ("VFYFS=" + target + ",FSSUB=pkg").c_str());
    strcpy(uncompress_dir, (tdir + "/").c_str());
    g_megs = {{target, 100}, {tdir, 6}};
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(err, linked(tdir + "/pkg"));
    EXPECT_EQ(lnk(target + "/pkg"), tdir + "/pkg");
}

TEST_F(Verify, FullTempDirAndFullTargetFailWithoutWalk) {
    strcpy(features, ("VFYFS=" + target + ",FSSUB=pkg").c_str());
    strcpy(uncompress_dir, tdir.c_str());
    g_megs = {{target, 1}, {tdir, 1}, {room, 100}};
    EXPECT_EQ(run(), -1);
    EXPECT_EQ(err, no_space(tdir + "/pkg", 6, target));
    EXPECT_FALSE(kt::file_exists(room + "/pkg"));
}

TEST_F(Verify, FullTempDirFallsBackToTargetWithRoom) {
    strcpy(features, ("VFYFS=" + target + ",FSSUB=pkg").c_str());
    strcpy(uncompress_dir, tdir.c_str());
    g_megs = {{target, 6}, {tdir, 1}};
    EXPECT_EQ(run(), 0);
    EXPECT_STREQ(sympath, "");
    EXPECT_FALSE(kt::file_exists(target + "/pkg"));
}

TEST_F(Verify, RelativeTempDirIsRefusedAndTheWalkFollows) {
    strcpy(features, ("VFYFS=" + target + ",FSSUB=pkg").c_str());
    strcpy(uncompress_dir, "reltmp");
    g_megs = {{target, 100}, {"reltmp", 100}, {room, 6}};
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(err,
              "reltmp/pkg: Invalid argument\nTrying " + room + " ...\n" + linked(room + "/pkg"));
    EXPECT_EQ(lnk(target + "/pkg"), room + "/pkg");
}

TEST_F(Verify, RelativeVfyfsMakesARelativeLink) {
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(d.path().c_str()), 0);
    strcpy(features, "VFYFS=target,FSSUB=pkg");
    g_megs = {{target, 1}, {room, 6}};
    int r = run();
    EXPECT_EQ(r, 0);
    EXPECT_STREQ(sympath, "target/pkg");
    EXPECT_EQ(lnk(target + "/pkg"), room + "/pkg");
    ASSERT_EQ(chdir(cwd), 0);
}

TEST_F(Verify, LinkSiteIsNeverReplaced) {
    // With -t the extraction directory is elsewhere, but whatever sits where the link would
    // go (a previous installation, a file, a link of the user's) stays, and nothing is made.
    strcpy(features, ("VFYFS=" + target + ",FSSUB=pkg").c_str());
    g_megs = {{target, 100}, {tdir, 100}};
    kt::write_file(room + "/keep", "kept\n");
    const std::string vars = "S=" + kt::quote(target + "/pkg") + " R=" + kt::quote(room) + "; ";
    struct Row {
        std::string make, check;  // shell commands on the link site S and a directory R
    } rows[] = {{"mkdir $S && echo kept > $S/keep", "cat $S/keep"},
                {"echo kept > $S", "cat $S"},
                {"ln -s $R $S", "cat $S/keep"},
                {"ln -s $R/gone $S", "readlink $S | grep -q gone && cat $R/keep"}};
    for (const auto &row : rows) {
        kt::sh(vars + row.make);
        strcpy(uncompress_dir, tdir.c_str());
        EXPECT_EQ(run(), -1) << row.make;
        EXPECT_EQ(err, target +
                           "/pkg: extraction directory exists!\n"
                           "Please remove it first then try again.\n")
            << row.make;
        EXPECT_STREQ(sympath, "");
        EXPECT_FALSE(kt::file_exists(tdir + "/pkg")) << row.make;
        EXPECT_EQ(kt::sh(vars + row.check).out, "kept\n") << row.make;
        kt::sh(vars + "rm -rf $S");
    }
}

TEST_F(Verify, VerboseAnswersNoThenAcceptsEmptyLine) {
    strcpy(features, ("VFYFS=" + target + ",FSSUB=pkg").c_str());
    g_megs = {{target, 1}, {room, 6}, {room2, 6}};
    verbose = 1;
    kt::write_file(d / "answers", "no thanks\n\n");
    ASSERT_NE(freopen((d / "answers").c_str(), "r", stdin), nullptr);
    testing::internal::CaptureStdout();
    EXPECT_EQ(run(), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Creating temporary link to " + room + "/pkg\n" +
                       "OK to create temporary link? [y]: " + "Creating temporary link to " +
                       room2 + "/pkg\n" + "OK to create temporary link? [y]: ");
    EXPECT_EQ(lnk(target + "/pkg"), room2 + "/pkg");
    EXPECT_FALSE(kt::file_exists(room + "/pkg")) << "a declined candidate gets no directory";
}

TEST_F(Verify, ControlCharactersInPathsAreShownAsOctal) {
    // An OSC 52 clipboard write in the archive's FSSUB value reaches no terminal.
    const std::string sub = "p\033]52;c;eA==\007kg", shown = "p\\033]52;c;eA==\\007kg";
    strcpy(features, ("VFYFS=" + target + ",FSSUB=" + sub).c_str());
    g_megs = {{target, 1}, {room, 6}};
    verbose = 1;
    kt::write_file(d / "answers", "\n");
    ASSERT_NE(freopen((d / "answers").c_str(), "r", stdin), nullptr);
    testing::internal::CaptureStdout();
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Creating temporary link to " + room + "/" +
                                                          shown +
                                                          "\nOK to create temporary link? [y]: ");
    EXPECT_EQ(err, target + "/" + shown +
                       ": not enough space. Looking for space in other filesystems.\nTrying " +
                       room + " ...\n./arc: extracting into " + room + "/" + shown +
                       " through the temporary link " + target + "/" + shown + "\n");
    EXPECT_EQ(lnk(target + "/" + sub), room + "/" + sub);

    unlink((target + "/" + sub).c_str());
    g_megs = {{target, 1}};
    EXPECT_EQ(run(), -1);
    EXPECT_EQ(err, target + "/" + shown +
                       ": not enough space. Looking for space in other filesystems.\n" + target +
                       "/" + shown + ": not enough space to extract the archive.\n" +
                       "Please make at least 6Mb available in " + target + ".\n" +
                       "Alternatively, you can make space available on another filesystem where "
                       "a\n\"" +
                       shown + "\" directory can be created. Ensure that the \"" + shown +
                       "\" directory\ndoes not exist before trying again.\n");
}

TEST(MegsForSize, OneMegabyteMoreThanTheWholeMegabytes) {
    // 4,700,000,000 bytes: a 32-bit ISIZE would say 405,032,704 and ask for 387.
    struct Case {
        unsigned long size;
        int megs;
    } cases[] = {{8437760, 9}, {1048575, 1}, {1048576, 2}, {0, 1}, {4700000000ul, 4483}};
    for (const auto &c : cases) EXPECT_EQ(megs_for_size(c.size), c.megs) << c.size;
}

}  // namespace
