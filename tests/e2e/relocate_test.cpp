// Space verification and relocation end to end, on real filesystems: each case runs the
// archive chrooted into a private mount namespace whose mount table holds only a read-only
// root, a read-only /usr, /proc, tmpfs mounts of chosen sizes and directories of two ext2
// filesystems on loop devices (one with room, one too small), so the walk of the mount table
// is the case's own and nothing outside it can be chosen or changed.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "gzip/decode_harness.h"
#include "common/test_util.h"
#include "driver/archive_maker.h"

namespace {

using kt::RunResult;

bool namespaces_available() {
    static const bool ok = kt::sh("unshare -m true").status == 0;
    return ok;
}

// An ext2 filesystem in an image file on a loop device, shared by the cases: each mounts it
// in its own namespace and uses directories of its own in it. Empty device when the host has
// no loop devices.
struct Disk {
    kt::TempDir dir;
    std::string dev;
    explicit Disk(const std::string &size) {
        RunResult r =
            kt::sh("PATH=$PATH:/usr/sbin:/sbin; f=" + kt::quote(dir / "img") + "; truncate -s " +
                   size + " $f && mkfs.ext2 -q -F -m 0 $f && " + "losetup -f --show $f");
        if (r.status == 0 && !r.out.empty()) dev = r.out.substr(0, r.out.find('\n'));
    }
    ~Disk() {
        if (!dev.empty()) kt::sh("losetup -d " + dev);
    }
};

// Mount sizes standing for a directory of the roomy or the too small ext2 filesystem.
const std::string kDisk = "disk", kFullDisk = "full-disk";

struct Mount {
    std::string dir;   // mount point under the new root
    std::string size;  // tmpfs size, e.g. "2m", or kDisk, kFullDisk
    bool read_only = false;
};

struct Case {
    kt::TempDir host;  // holds the new root's mount point and the archive
    std::vector<Mount> mounts;
    std::string args;    // arguments to the archive
    std::string before;  // shell commands run in the new root before the archive
    std::string driver;  // runs the archive instead of "./arc ARGS < answers"
    std::string after;   // shell commands run in the new root after the archive
    std::string input;   // standard input of the archive
    RunResult r;

    void archive(const std::string &pre, const std::string &payload) {
        kt::write_archive(host / "arc", pre, payload);
    }
    std::string script(const Disk &roomy, const Disk &full) const {
        std::string R = kt::quote(host / "root"), H = kt::quote(host.path());
        std::string s = "set -e\nR=" + R + "\nH=" + H +
                        "\nmkdir -p $R\nmount -t tmpfs -o size=48m tmpfs $R\n"
                        "mkdir -p $R/usr $R/proc $R/etc $R/dev $R/work\n"
                        "for d in bin lib lib64 sbin; do ln -s usr/$d $R/$d; done\n"
                        "mount --bind /usr $R/usr\nmount -o remount,bind,ro $R/usr\n"
                        "mount -t proc proc $R/proc\nln -s /proc/self/mounts $R/etc/mtab\n"
                        "mknod -m 666 $R/dev/null c 1 3\n"
                        "mkdir $H/disk $H/full-disk\n"
                        "mount -t ext2 " +
                        roomy.dev + " $H/disk\nmount -t ext2 " + full.dev + " $H/full-disk\n" +
                        "cp " + kt::quote(host / "arc") + " $R/work/arc\n";
        kt::write_file(host / "answers", input);
        s += "cp " + kt::quote(host / "answers") + " $R/work/answers\n";
        for (size_t k = 0; k < mounts.size(); ++k) {
            const Mount &m = mounts[k];
            s += "mkdir -p $R" + m.dir + "\n";
            if (m.size == kDisk || m.size == kFullDisk) {
                std::string d = "$(mktemp -d $H/" + m.size + "/d.XXXXXX)";
                s += "D=" + d + "; chmod 755 $D; mount --bind $D $R" + m.dir + "\n";
                if (m.read_only) s += "mount -o remount,bind,ro $R" + m.dir + "\n";
            } else {
                s += "mount -t tmpfs -o " + (m.read_only ? std::string("ro,") : "") +
                     "size=" + m.size + " tmpfs $R" + m.dir + "\n";
            }
        }
        s += "mount -o remount,ro $R\nset +e\n";
        std::string run =
            driver.empty() ? "./arc " + args + " < answers; echo \"rc=$?\"; " : driver + "; ";
        std::string inside = before + "cd /work && " + run + after;
        return s + "exec chroot $R /bin/sh -c " + kt::quote(inside) + "\n";
    }
};

void run_parallel(const std::vector<Case *> &cases, const Disk &roomy, const Disk &full) {
    std::vector<std::thread> threads;
    for (Case *c : cases)
        threads.emplace_back([c, &roomy, &full] {
            c->r = kt::run({"unshare", "-m", "sh", "-c", c->script(roomy, full)});
        });
    for (auto &t : threads) t.join();
}

std::string pre(const std::string &features, const std::string &run, const std::string &pipe) {
    return kt::preamble(features, "Relocating", run, pipe);
}

// A member of 4 GiB + 100 MiB + 1841 zero bytes, whose ISIZE (kept modulo 2^32) says
// 104,859,441. One fixed-code block: a literal 0, then 8g matches of length 258 at distance
// 1. Groups of 8 matches are 104 bits, whole bytes, and all start 3 bits into a byte, so the
// stream is a head, one 13-byte period repeated, and a tail (RFC 1951 3.2.5, 3.2.6).
std::string huge_zeros_member() {
    const unsigned long g = 2131699, n = 1 + 258 * 8 * g;
    kt::BitWriter w;
    w.bits(1, 1).bits(1, 2).fixed_sym(0);                      // BFINAL, BTYPE = fixed; literal 0
    for (int i = 0; i < 16; ++i) w.fixed_sym(285).code(0, 5);  // length 258, distance 1
    const std::string b = w.fixed_sym(256).str();
    std::string deflate = b.substr(0, 14);
    for (unsigned long i = 1; i < g; ++i) deflate += b.substr(14, 13);
    deflate += b.substr(27);
    // CRC-32 of n zero bytes from an outside implementation.
    const std::string crc = kt::sh(
                                "python3 -c 'import zlib\nz = bytes(1 << 20)\nc = 0\n"
                                "for i in range(" +
                                std::to_string(n >> 20) +
                                "): "
                                "c = zlib.crc32(z, c)\nprint(zlib.crc32(bytes(" +
                                std::to_string(n & 0xfffff) + "), c))'")
                                .out;
    return std::string("\x1f\x8b\x08\x08\0\0\0\0\x02\x03zeros\0", 16) + deflate +
           kt::le32(std::stoul(crc)) + kt::le32(n);
}

const std::string kBanner = "\nRelocating\n\nPlease wait...\n";
const std::string kToBig =
    "./arc: extracting into /big/pkg through the temporary link /small/pkg\n";
const std::string kLooking =
    "/small/pkg: not enough space. Looking for space in other filesystems.\n";

std::string no_space(const std::string &full, int megs, const std::string &fs) {
    return full + ": not enough space to extract the archive.\nPlease make at least " +
           std::to_string(megs) + "Mb available in " + fs +
           ".\nAlternatively, you can make space available on another filesystem where a\n"
           "\"pkg\" directory can be created. Ensure that the \"pkg\" directory\n"
           "does not exist before trying again.\n";
}

TEST(Relocate, ThroughTemporaryLinkIntoRoomyFilesystems) {
    if (!namespaces_available()) GTEST_SKIP() << "no private mount namespaces here";
    Disk roomy("64m"), full_disk("2m");
    if (roomy.dev.empty() || full_disk.dev.empty()) GTEST_SKIP() << "no loop devices here";
    // 3,000,000 zeros in a tar stream: ISIZE under 3 MiB, so 3 MB are needed; the member
    // itself is a few kilobytes.
    const std::string tar = kt::tar_of({{"sub/zeros", std::string(3000000, '\0')}});
    const std::string member = kt::gzip_member(tar, "pkg.tar");
    const std::string features = "VFYFS=/small,FSSUB=pkg";
    const std::string post = "echo \"post:$(readlink /small/pkg):$FSSUB\"";
    const std::string check =
        "test -e /small/pkg || test -L /small/pkg || echo link-gone; "
        "wc -c < /big/pkg/sub/zeros 2>/dev/null; ls /small";

    Case full;  // target too small: the walk skips memory (/shm) and /ro, and picks /big
    full.mounts = {{"/small", "2m"}, {"/shm", "16m"}, {"/ro", kDisk, true}, {"/big", kDisk}};
    full.archive(pre(features, post, "cd /small/pkg && tar xf -"), member);
    full.after = check;

    Case tdir;  // -t: the link goes to the offered directory although the target has room,
                // and although it is in memory: the user chose it
    tdir.mounts = {{"/small", "8m"}, {"/big", "16m"}};
    tdir.archive(pre(features, post, "cd /small/pkg && tar xf -"), member);
    tdir.args = "-t /big/";
    tdir.after = check;

    Case none;  // no writable filesystem has 3 MB
    none.mounts = {{"/small", "2m"}, {"/ro", kDisk, true}, {"/big", kFullDisk}};
    none.archive(pre(features, post, "cd /small/pkg && tar xf -"), member);
    none.after = "ls /small /big";

    Case ask;  // -v: the first candidate is declined, the second accepted
    ask.mounts = {{"/small", "2m"}, {"/big", kDisk}, {"/big2", kDisk}};
    ask.archive(pre(features, post, "cd /small/pkg && tar xf -"), member);
    ask.args = "-v";
    ask.input = "n\n\n";
    ask.after = "ls /big /big2/pkg/sub; test -e /small/pkg || echo link-gone";

    Case raw;  // uncompressed: the payload's size counts, not its last 8 bytes (zeros here)
    raw.mounts = {{"/small", "2m"}, {"/big", kDisk}};
    raw.archive(pre("NOCOMPR,NAME=blob," + features, post, "cat > /small/pkg/%o"),
                std::string(3000000, '\0'));
    raw.after = "wc -c < /big/pkg/blob; test -e /small/pkg || echo link-gone";

    Case failing;  // a failed extraction command still has the link removed
    failing.mounts = {{"/small", "2m"}, {"/big", kDisk}};
    failing.archive(pre(features, post, "cd /small/pkg && tar xf - && exit 7"), member);
    failing.after = "test -e /small/pkg || echo link-gone; ls /big/pkg/sub";

    Case early;  // a command that stops reading is reported: the link goes too
    early.mounts = {{"/small", "2m"}, {"/big", kDisk}};
    early.archive(pre(features, post, "head -c 100 > /dev/null"), member);
    early.after = "test -e /small/pkg || echo link-gone";

    Case interrupted;  // an interrupt mid-extraction removes the link, then ends the process
    interrupted.mounts = {{"/small", "2m"}, {"/big", kDisk}};
    interrupted.archive(pre(features, post, "kill -INT $PPID; cd /small/pkg && tar xf -"), member);
    interrupted.after = "test -e /small/pkg || echo link-gone";

    Case huge;  // the space needed is the member's true size, over 4 GiB, not ISIZE's
    huge.mounts = {{"/small", "200m"}, {"/big", "300m"}};
    huge.archive(pre(features, post, "mkdir -p /small/pkg && cat > /small/pkg/%o"),
                 huge_zeros_member());
    huge.after = "ls /small /big";

    // Another user under a shared sticky directory (/shared, as /tmp): a directory of theirs
    // or a link of theirs is never built on, and the walk goes on to /big.
    const std::string nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    Case owned;
    owned.mounts = {{"/small", "2m"}, {"/shared", "16m"}, {"/big", kDisk}};
    owned.archive(pre(features, post, "cd /small/pkg && tar xf -"), member);
    owned.before = nobody + "mkdir /shared/mine; ";
    owned.args = "-t /shared/mine";
    owned.after = "ls -A /shared/mine; wc -c < /big/pkg/sub/zeros";

    Case writable;  // writable by all without the sticky bit: anyone could swap what is made
    writable.mounts = owned.mounts;
    writable.archive(pre(features, post, "cd /small/pkg && tar xf -"), member);
    writable.before = "chmod 777 /shared; ";
    writable.args = "-t /shared";
    writable.after = "ls -A /shared; wc -c < /big/pkg/sub/zeros";

    Case planted;
    planted.mounts = owned.mounts;
    planted.archive(pre(features, post, "cd /small/pkg && tar xf -"), member);
    planted.before = nobody + "sh -c 'mkdir /shared/mine && ln -s /shared/mine /shared/inst'; ";
    planted.args = "-t /shared/inst";
    planted.after = owned.after;

    // The race: the other user makes /shared/pkg while the link prompt waits for its answer.
    // The archive's output comes through a FIFO, so the prompt is known to be shown first.
    const std::string prompt = "OK to create temporary link? [y]: ";
    const std::string first = "Creating temporary link to /shared/pkg\n" + prompt;
    Case race;
    race.mounts = {{"/small", "2m"}, {"/shared", "16m"}, {"/fifo", "1m"}, {"/big", kDisk}};
    race.archive(pre(features, post, "cd /small/pkg && tar xf -"), member);
    race.driver =
        "mkfifo /fifo/in /fifo/out; ./arc -v -t /shared < /fifo/in > /fifo/out & "
        "pid=$!; exec 3> /fifo/in 4< /fifo/out; head -c " +
        std::to_string(first.size()) + " <&4; " + nobody +
        "sh -c 'mkdir /shared/pkg && echo \"echo planted\" > /shared/pkg/setup'; "
        "printf \"\\n\\n\" >&3; exec 3>&-; cat <&4; wait $pid; echo \"rc=$?\"";
    race.after = "ls -A /shared/pkg; wc -c < /big/pkg/sub/zeros";

    run_parallel({&full, &tdir, &none, &ask, &raw, &failing, &early, &interrupted, &huge, &owned,
                  &writable, &planted, &race},
                 roomy, full_disk);

    EXPECT_EQ(full.r.err, kLooking + "Trying /big ...\n" + kToBig + kBanner);
    EXPECT_EQ(full.r.out, "post:/big/pkg:pkg\nrc=0\nlink-gone\n3000000\n");

    EXPECT_EQ(tdir.r.err, kToBig + kBanner);
    EXPECT_EQ(tdir.r.out, "post:/big/pkg:pkg\nrc=0\nlink-gone\n3000000\n");

    EXPECT_EQ(none.r.err, kLooking + no_space("/small/pkg", 3, "/small"));
    EXPECT_EQ(none.r.out, "rc=1\n/big:\n\n/small:\n") << "no directory is left behind";

    EXPECT_EQ(ask.r.err, kLooking + "Trying /big ...\nTrying /big2 ...\n" +
                             "./arc: extracting into /big2/pkg through the temporary link "
                             "/small/pkg\n" +
                             kBanner + "Deflating pkg.tar...\n");
    EXPECT_EQ(ask.r.out,
              "Creating temporary link to /big/pkg\nOK to create temporary link? [y]: "
              "Creating temporary link to /big2/pkg\nOK to create temporary link? [y]: "
              "This archive requires more processing using the following command:\n"
              "    " +
                  post +
                  "\nbut stdin is not a terminal. So forget it.\n"
                  "rc=0\n/big:\n\n/big2/pkg/sub:\nzeros\nlink-gone\n");

    EXPECT_EQ(raw.r.err, kLooking + "Trying /big ...\n" + kToBig + kBanner);
    EXPECT_EQ(raw.r.out, "post:/big/pkg:pkg\nrc=0\n3000000\nlink-gone\n");

    EXPECT_EQ(failing.r.err,
              kLooking + "Trying /big ...\n" + kToBig + kBanner +
                  "./arc: extraction command failed with status 7: cd /small/pkg && tar xf - "
                  "&& exit 7\n");
    EXPECT_EQ(failing.r.out, "rc=1\nlink-gone\nzeros\n");

    EXPECT_EQ(early.r.err, kLooking + "Trying /big ...\n" + kToBig + kBanner +
                               "./arc: extraction command ended before reading all of its "
                               "input: head -c 100 > /dev/null\n");
    EXPECT_EQ(early.r.out, "rc=1\nlink-gone\n");
    EXPECT_EQ(interrupted.r.out, "rc=130\nlink-gone\n");

    EXPECT_EQ(huge.r.err, kLooking + no_space("/small/pkg", 4197, "/small"));
    EXPECT_EQ(huge.r.out, "rc=1\n/big:\n\n/small:\n");

    const std::string to_big = "Trying /big ...\n" + kToBig + kBanner;
    EXPECT_EQ(
        owned.r.err,
        "/shared/mine: refusing to relocate under a directory owned by another user\n" + to_big);
    EXPECT_EQ(owned.r.out, "post:/big/pkg:pkg\nrc=0\n3000000\n");
    EXPECT_EQ(writable.r.err,
              "/shared: refusing to relocate under a directory that others can write\n" + to_big);
    EXPECT_EQ(writable.r.out, "post:/big/pkg:pkg\nrc=0\n3000000\n");
    EXPECT_EQ(planted.r.err,
              "/shared/inst: refusing to relocate through a symbolic link\n" + to_big);
    EXPECT_EQ(planted.r.out, "post:/big/pkg:pkg\nrc=0\n3000000\n");
    EXPECT_EQ(race.r.err, "/shared/pkg: already exists.\n" + to_big + "Deflating pkg.tar...\n");
    EXPECT_EQ(race.r.out,
              first + "Creating temporary link to /big/pkg\n" + prompt +
                  "This archive requires more processing using the following "
                  "command:\n    " +
                  post + "\nbut stdin is not a terminal. So forget it.\nrc=0\nsetup\n3000000\n");
}

TEST(Relocate, RefusalsBeforeAnythingIsWritten) {
    kt::TempDir d;
    mkdir((d / "target").c_str(), 0755);
    mkdir((d / "target/pkg").c_str(), 0755);
    kt::write_file(d / "target/pkg/config", "previous installation");
    mkdir((d / "tdir").c_str(), 0755);
    const std::string exists =
        d / "target/pkg" +
        ": extraction directory exists!\nPlease remove it first then try again.\n";
    struct Row {
        std::string features;
        std::string args;
        std::string err;
    } rows[] = {
        {"VFYFS=" + d / "target" + ",FSSUB=pkg", "", exists},
        // -t relocates the extraction directory, not what sits where the link would go.
        {"VFYFS=" + d / "target" + ",FSSUB=pkg", "-t " + d / "tdir", exists},
        {"VFYFS=" + d / "target", "", ""},  // no FSSUB: refused without a message
    };
    for (const auto &row : rows) {
        kt::write_archive(d / "arc", pre(row.features, "touch ran", ""),
                          kt::gzip_member("data", "d.txt"));
        RunResult r = kt::sh("./arc " + row.args, "", d.path());
        EXPECT_EQ(r.status, 1) << row.features;
        EXPECT_EQ(r.err, row.err) << row.features;
        EXPECT_FALSE(kt::file_exists(d / "d.txt"));
        EXPECT_FALSE(kt::file_exists(d / "ran"));
        EXPECT_EQ(kt::read_file(d / "target/pkg/config"), "previous installation");
        EXPECT_FALSE(kt::file_exists(d / "tdir/pkg"));
    }
}

}  // namespace
