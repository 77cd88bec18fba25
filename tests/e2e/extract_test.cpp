// The built kelpa as an extractor, end to end with the real sh, tar and gzip: extraction
// commands, the post-extraction command and its environment, options, exit statuses and
// damaged archives. Every extraction pauses 2 seconds before closing its pipe, so runs that
// do not depend on each other go in parallel threads.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "common/test_util.h"
#include "driver/archive_maker.h"

namespace {

using kt::RunResult;

const std::string kBanner = "\nTest archive\n\nPlease wait...\n";
const std::string kDefaultBanner = "\nSelf-Extracting archive file\n\nPlease wait...\n";

// One archive run in its own scratch directory.
struct Job {
    kt::TempDir dir;
    std::vector<std::string> argv = {"./arc"};
    std::string input;
    RunResult r;
    double seconds = 0;
    std::string operator/(const std::string &n) const { return dir / n; }
    // Writes the archive as ./arc from a preamble and payload.
    void archive(const std::string &pre, const std::string &payload) {
        kt::write_archive(dir / "arc", pre, payload);
    }
    // Builds ./arc with kelpa -a from files written into the directory.
    void raw_archive(const std::vector<std::string> &opts,
                     const std::vector<std::pair<std::string, std::string>> &files) {
        std::vector<std::string> args = {kt::kelpa_bin(), "-a"};
        args.insert(args.end(), opts.begin(), opts.end());
        for (const auto &[n, d] : files) {
            kt::write_file(dir / n, d);
            args.push_back(n);
        }
        RunResult b = kt::run(args, "", dir.path());
        ASSERT_EQ(b.status, 0) << b.err;
        kt::write_file(dir / "arc", b.out, 0755);
        for (const auto &f : files) std::remove((dir / f.first).c_str());
    }
};

void run_parallel(const std::vector<Job *> &jobs) {
    std::vector<std::thread> threads;
    for (Job *j : jobs) {
        threads.emplace_back([j] {
            auto t0 = std::chrono::steady_clock::now();
            j->r = kt::run(j->argv, j->input, j->dir.path());
            j->seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        });
    }
    for (auto &t : threads) t.join();
}

std::string pre(const std::string &features, const std::string &run, const std::string &pipe) {
    return kt::preamble(features, "Test archive", run, pipe);
}

TEST(Extract, CommandsOutputNamesAndEnvironment) {
    const std::string blob = kt::random_bytes(200000, 1);
    const std::string text = kt::text_bytes(50000, 2);

    Job raw;  // uncompressed, default command, NAME from the feature list
    raw.raw_archive(
        {"-F", "KV_X=1,BARE", "-r", "echo \"post:$NAME:$NOCOMPR:[${BARE-unset}]:$KV_X\""},
        {{"payload.txt", text}});

    Job gz;  // compressed, default command, stored name
    gz.archive(pre("", "", ""), kt::gzip_member(blob, "data.bin", 1000000000));

    Job tar;  // compressed tar stream into tar, post-extraction command sees the features
    tar.archive(
        pre("VFY_KEY=v a l,FLAG ,KV_VENDOR=acme,NAME=pkg.tar",
            "echo \"[$VFY_KEY][${FLAG-unset}][$KV_VENDOR][$NAME]\"; cat sub/f1; pwd", "tar xf -"),
        kt::gzip_member(kt::tar_of({{"sub/f1", "one\n"}, {"sub/deeper/f2", text}}), "pkg.tar"));

    Job two;  // two members: only the first is extracted
    two.archive(pre("", "", ""), kt::gzip_member("first\n", "first.txt") +
                                     kt::gzip_member("second\n", "second.txt"));

    Job raw2;  // raw archive of two files: both, back to back, under the first name
    raw2.raw_archive({}, {{"a.txt", "AAA\n"}, {"b.txt", "BBB\n"}});

    Job to_stdout;  // -c: the stored name is not taken
    to_stdout.archive(pre("", "", ""), kt::gzip_member("cdata", "named.txt"));
    to_stdout.argv.push_back("-c");

    Job util;  // -u: the builder extracts the archive named on its command line
    util.archive(pre("", "echo ran", "cat > %p/%o.out"), kt::gzip_member("u-data", "u.txt"));
    std::rename((util / "arc").c_str(), (util / "other.run").c_str());
    util.argv = {kt::kelpa_bin(), "-u", "other.run"};

    Job evil;  // a stored name with shell syntax is neutralised, never run
    evil.archive(pre("", "", ""), kt::gzip_member("evil", "../x y;touch PWNED"));

    Job evil_raw;  // the same for the NAME item of an uncompressed archive, with a notice
    evil_raw.archive(pre("NOCOMPR,NAME=../x y;touch PWNED$(id)", "", ""), "evil raw");

    Job hostile_dir;  // the default command run in a directory whose name is shell code
    const std::string sub = "it's a $(touch HACKED) `touch HACKED`; \"x\" & y";
    hostile_dir.archive(pre("", "", ""), kt::gzip_member("landed\n", "data.txt"));
    kt::sh("mkdir " + kt::quote(hostile_dir / sub));
    hostile_dir.argv = {"sh", "-c", "cd " + kt::quote(sub) + " && exec ../arc"};

    Job no_stdin;  // started with standard input closed: the command's pipe lands on fd 0
    no_stdin.archive(pre("", "", "cat > %p/%o"), kt::gzip_member(text, "in.txt"));
    no_stdin.argv = {"sh", "-c", "exec ./arc <&-"};

    run_parallel({&raw, &gz, &tar, &two, &raw2, &to_stdout, &util, &evil, &evil_raw, &hostile_dir,
                  &no_stdin});

    EXPECT_EQ(raw.r.status, 0) << raw.r.err;
    EXPECT_EQ(kt::read_file(raw / "payload.txt"), text);
    EXPECT_EQ(raw.r.out, "post:payload.txt::[]:1\n");
    EXPECT_EQ(raw.r.err, kDefaultBanner);
    EXPECT_GE(raw.seconds, 2.0) << "the pipe is closed after a 2-second pause";

    EXPECT_EQ(gz.r.status, 0) << gz.r.err;
    EXPECT_EQ(kt::read_file(gz / "data.bin"), blob);
    EXPECT_EQ(gz.r.err, kBanner);
    EXPECT_EQ(gz.r.out, "");

    EXPECT_EQ(tar.r.status, 0) << tar.r.err;
    EXPECT_EQ(kt::read_file(tar / "sub/deeper/f2"), text);
    EXPECT_EQ(tar.r.out, "[v a l][][acme][pkg.tar]\none\n" + tar.dir.path() + "\n");

    EXPECT_EQ(two.r.status, 0) << two.r.err;
    EXPECT_EQ(kt::read_file(two / "first.txt"), "first\n");
    EXPECT_FALSE(kt::file_exists(two / "second.txt"));

    EXPECT_EQ(raw2.r.status, 0) << raw2.r.err;
    EXPECT_EQ(kt::read_file(raw2 / "a.txt"), "AAA\nBBB\n");

    EXPECT_EQ(to_stdout.r.status, 0) << to_stdout.r.err;
    EXPECT_EQ(kt::read_file(to_stdout / "stdout"), "cdata");
    EXPECT_FALSE(kt::file_exists(to_stdout / "named.txt"));

    EXPECT_EQ(util.r.status, 0) << util.r.err;
    EXPECT_EQ(kt::read_file(util / "u.txt.out"), "u-data");
    EXPECT_EQ(util.r.out, "ran\n");

    EXPECT_EQ(evil.r.status, 0) << evil.r.err;
    EXPECT_EQ(kt::read_file(evil / "x_y_touch_PWNED"), "evil");
    EXPECT_FALSE(kt::file_exists(evil / "PWNED"));

    EXPECT_EQ(evil_raw.r.status, 0) << evil_raw.r.err;
    EXPECT_EQ(kt::read_file(evil_raw / "x_y_touch_PWNED__id_"), "evil raw");
    EXPECT_FALSE(kt::file_exists(evil_raw / "PWNED"));
    EXPECT_EQ(evil_raw.r.err,
              "./arc: stored name has characters unsafe for the shell; extracting as "
              "x_y_touch_PWNED__id_\n" +
                  kBanner);

    EXPECT_EQ(hostile_dir.r.status, 0) << hostile_dir.r.err;
    EXPECT_EQ(kt::sh("ls -A", "", hostile_dir.dir.path()).out, "arc\n" + sub + "\n");
    EXPECT_EQ(kt::sh("ls -A", "", hostile_dir / sub).out, "data.txt\n");
    EXPECT_EQ(kt::read_file(hostile_dir / sub + "/data.txt"), "landed\n");

    EXPECT_EQ(no_stdin.r.status, 0) << no_stdin.r.err;
    EXPECT_EQ(kt::read_file(no_stdin / "in.txt"), text);
}

TEST(Extract, OptionsSkipOrConfirmThePostExtractionCommand) {
    const std::string data = kt::text_bytes(70000, 3);
    const std::string member = kt::gzip_member(data, "d.txt");
    const std::string post = "touch ran; echo post";

    Job n;  // -n: extract, do not run
    n.archive(pre("", post, ""), member);
    n.argv.push_back("-n");

    Job x;  // -x: data to standard output, no command, no space check
    x.archive(pre("VFYFS=/nonexistent/target,FSSUB=pkg", post, "false"), member);
    x.argv.push_back("-x");

    Job v;  // -v without a terminal: the dialogue says so and runs nothing
    v.archive(pre("", post, ""), member);
    v.argv.push_back("-v");
    v.input = "y\n";

    Job raw_empty;  // an empty raw payload is a failure: nothing to extract
    raw_empty.archive(pre("NOCOMPR,NAME=e", post, ""), "");

    run_parallel({&n, &x, &v, &raw_empty});

    EXPECT_EQ(n.r.status, 0) << n.r.err;
    EXPECT_EQ(kt::read_file(n / "d.txt"), data);
    EXPECT_FALSE(kt::file_exists(n / "ran"));
    EXPECT_EQ(n.r.out, "");

    EXPECT_EQ(x.r.status, 0) << x.r.err;
    EXPECT_EQ(x.r.out, data);
    EXPECT_EQ(x.r.err, kBanner + "Deflating d.txt...\n");
    EXPECT_FALSE(kt::file_exists(x / "d.txt"));
    EXPECT_FALSE(kt::file_exists(x / "ran"));

    EXPECT_EQ(v.r.status, 0) << v.r.err;
    EXPECT_EQ(kt::read_file(v / "d.txt"), data);
    EXPECT_EQ(v.r.out,
              "This archive requires more processing using the following command:\n"
              "    touch ran; echo post\n"
              "but stdin is not a terminal. So forget it.\n");
    EXPECT_EQ(v.r.err, kBanner + "Deflating d.txt...\n");
    EXPECT_FALSE(kt::file_exists(v / "ran"));

    EXPECT_EQ(raw_empty.r.status, 1);
    EXPECT_FALSE(kt::file_exists(raw_empty / "ran"));
}

TEST(Extract, VerboseOnATerminalAsksUntilYesOrNo) {
    const std::string member = kt::gzip_member("tty data\n", "t.txt");
    Job yes, no, pasted;
    for (Job *j : {&yes, &no, &pasted}) j->archive(pre("", "touch ran; exit 4", ""), member);
    yes.argv = kt::on_terminal("./arc -v", "maybe\n\nyes\n");
    no.argv = kt::on_terminal("./arc -v", "No\n");
    // One long line is one answer, whatever a buffer's size: its end is not the next answer.
    pasted.argv = kt::on_terminal("./arc -v", std::string(510, 'x') + "yes... no, wait\nn\n");
    run_parallel({&yes, &no, &pasted});
    EXPECT_EQ(pasted.r.status, 0) << pasted.r.out;
    EXPECT_FALSE(kt::file_exists(pasted / "ran"));

    const std::string asked =
        "This archive requires more processing using the following command:\n"
        "    touch ran; exit 4\nOK to run the command? ";
    EXPECT_EQ(yes.r.status, 1) << "the command ran and its failure counts: " << yes.r.out;
    EXPECT_TRUE(kt::file_exists(yes / "ran"));
    EXPECT_NE(yes.r.out.find(asked), std::string::npos) << yes.r.out;
    size_t again = 0;
    for (size_t at = 0; (at = yes.r.out.find("\n? (y/n): ", at)) != std::string::npos; ++at)
        ++again;
    EXPECT_EQ(again, 2u) << yes.r.out;
    EXPECT_EQ(kt::read_file(yes / "t.txt"), "tty data\n");

    EXPECT_EQ(no.r.status, 0) << no.r.out;
    EXPECT_FALSE(kt::file_exists(no / "ran"));
    EXPECT_NE(no.r.out.find(asked), std::string::npos) << no.r.out;
    EXPECT_EQ(no.r.out.find("? (y/n)"), std::string::npos) << no.r.out;
}

// SIGTERM or SIGINT sent to kelpa alone while the post-extraction command runs reaches the
// command (its trap names the signal), and kelpa ends by the signal once the command ended.
TEST(Extract, SignalsToKelpaReachThePostExtractionCommand) {
    const std::string post =
        "trap 'echo TERM > got; exit 3' TERM; trap 'echo INT > got; exit 3' INT; touch waiting; "
        "i=0; while [ $i -lt 100 ]; do sleep 0.1; i=$((i+1)); done";
    Job term, intr;
    for (auto [j, sig] : {std::pair{&term, "TERM"}, std::pair{&intr, "INT"}}) {
        j->archive(pre("", post, ""), kt::gzip_member("d", "d.txt"));
        // kelpa runs in the foreground (a background job would have SIGINT ignored), as the
        // process the inner shell became; the signal comes from a background process.
        j->argv = {"sh", "-c",
                   std::string("sh -c '(i=0; until [ -e waiting ] || [ $i -gt 200 ]; do sleep "
                               "0.05; i=$((i+1)); done; kill -") +
                       sig + " $$) & exec ./arc 2>/dev/null'; echo rc=$?"};
    }
    run_parallel({&term, &intr});
    EXPECT_EQ(term.r.out, "rc=143\n");
    EXPECT_EQ(kt::read_file(term / "got"), "TERM\n");
    EXPECT_EQ(intr.r.out, "rc=130\n");
    EXPECT_EQ(kt::read_file(intr / "got"), "INT\n");
}

// Work of over a second on a terminal shows a line that ends erased: each pipe's reader
// stalls 1.5 s while the work is under way, after the stub for the build. Shorter work, and
// everything when standard error is not a terminal (every other test), shows nothing.
TEST(Extract, ProgressLineOnATerminal) {
    const std::string data = kt::random_bytes(3 << 20, 6);
    const std::string stall = "{ head -c " + std::to_string(kt::stub().size() + 100000) +
                              " > /dev/null; sleep 1.5; cat > /dev/null; }";
    Job build, extract, quick;
    kt::write_file(build / "big.bin", data);
    build.argv = kt::on_terminal(kt::kelpa_bin() + " big.bin | " + stall, "");
    extract.archive(pre("", "", "sleep 1.5; cat > %p/%o"), kt::gzip_member(data, "big.bin"));
    extract.argv = kt::on_terminal("./arc", "");
    kt::write_file(quick / "small", "small");
    quick.argv =
        kt::on_terminal(kt::kelpa_bin() + " small > a.run && chmod +x a.run && ./a.run", "");
    run_parallel({&build, &extract, &quick});

    const std::string figures = R"( +[0-9]+%  [0-9]+\.[0-9] MB/s  [0-9]+:[0-9]{2} left\x1b\[K)+)";
    const std::string erased = "\r\x1b\\[K$";
    EXPECT_EQ(build.r.status, 0) << build.r.out;
    EXPECT_TRUE(
        std::regex_match(build.r.out, std::regex("(\rCompressing big\\.bin" + figures + erased)))
        << build.r.out;
    EXPECT_EQ(extract.r.status, 0) << extract.r.out;
    EXPECT_TRUE(std::regex_match(extract.r.out,
                                 std::regex("\nTest archive\n\nPlease wait\\.\\.\\.\n(\rExtracting "
                                            "big\\.bin" +
                                            figures + erased)))
        << extract.r.out;
    EXPECT_EQ(kt::read_file(extract / "big.bin"), data);
    EXPECT_EQ(quick.r.out, kDefaultBanner);
}

TEST(Extract, FailedCommandsAreReported) {
    const std::string member = kt::gzip_member("small data\n", "data.bin");
    // Larger than any pipe buffer, so a reader that leaves makes a write fail.
    const std::string big = kt::random_bytes(1 << 20, 4);

    Job post_fails;
    post_fails.archive(pre("", "exit 3", ""), member);

    Job post_killed;
    post_killed.archive(pre("", "kill -9 $$", ""), member);

    Job cmd_fails;  // reads everything, then fails: no post-extraction command, status 1
    cmd_fails.archive(pre("", "touch ran", "cat > /dev/null; exit 5"), member);

    Job cmd_killed;
    cmd_killed.archive(pre("", "touch ran", "cat > /dev/null; kill -9 $$"), member);

    // Commands that leave without reading all of a payload larger than the pipe: the cause
    // is reported, not the failed write.
    Job early_exit_gz;
    early_exit_gz.archive(pre("", "touch ran", "exit 3"), kt::gzip_member(big, "big.bin"));

    Job early_exit_raw;
    early_exit_raw.archive(pre("NOCOMPR,NAME=big.raw", "touch ran", "exit 0"), big);

    Job early_killed;
    early_killed.archive(pre("", "touch ran", "head -c 10 > /dev/null; kill -9 $$"),
                         kt::gzip_member(big, "big.bin"));

    Job bad_output;  // the default command cannot create its file
    bad_output.archive(pre("", "touch ran", "cat > %p/missing/%o"), member);

    // Data left unread in the pipe fails even when no write did; zero bytes left unread (a
    // tarball's record padding that tar never reads) do not.
    Job early_small;
    early_small.archive(pre("", "touch ran", "head -c 100 > /dev/null"),
                        kt::gzip_member(kt::text_bytes(20000, 7), "small.txt"));
    Job padded;
    kt::write_file(padded / "f", kt::text_bytes(3000, 8));
    ASSERT_EQ(
        kt::sh("cd " + kt::quote(padded.dir.path()) + " && tar -b 2048 -cf p.tar f && rm f").status,
        0);
    padded.archive(pre("", "touch ran", "tar xf -"),
                   kt::gzip_member(kt::read_file(padded / "p.tar"), "p.tar"));

    run_parallel({&post_fails, &post_killed, &cmd_fails, &cmd_killed, &early_exit_gz,
                  &early_exit_raw, &early_killed, &bad_output, &early_small, &padded});

    EXPECT_EQ(padded.r.status, 0) << padded.r.err;
    EXPECT_EQ(kt::read_file(padded / "f"), kt::text_bytes(3000, 8));
    EXPECT_TRUE(kt::file_exists(padded / "ran"));
    EXPECT_EQ(early_small.r.err, kBanner +
                                     "./arc: extraction command ended before reading all "
                                     "of its input: head -c 100 > /dev/null\n");

    EXPECT_EQ(post_fails.r.status, 1);
    EXPECT_EQ(post_fails.r.err,
              kBanner + "\n./arc: final processing of data.bin failed\n\nCommand: exit 3\n");
    EXPECT_EQ(kt::read_file(post_fails / "data.bin"), "small data\n");

    EXPECT_EQ(post_killed.r.status, 1);
    EXPECT_EQ(post_killed.r.err, kBanner);

    EXPECT_EQ(cmd_fails.r.status, 1);
    EXPECT_EQ(cmd_fails.r.err, kBanner +
                                   "./arc: extraction command failed with status 5: cat > "
                                   "/dev/null; exit 5\n");
    EXPECT_FALSE(kt::file_exists(cmd_fails / "ran"));

    EXPECT_EQ(cmd_killed.r.status, 1);
    EXPECT_EQ(
        cmd_killed.r.err,
        kBanner + "./arc: extraction command killed by signal 9: cat > /dev/null; kill -9 $$\n");
    EXPECT_FALSE(kt::file_exists(cmd_killed / "ran"));

    EXPECT_EQ(early_exit_gz.r.err,
              kBanner + "./arc: extraction command failed with status 3: exit 3\n");
    EXPECT_EQ(
        early_exit_raw.r.err,
        kBanner + "./arc: extraction command ended before reading all of its input: exit 0\n");
    EXPECT_EQ(early_killed.r.err, kBanner +
                                      "./arc: extraction command killed by signal 9: head -c 10 "
                                      "> /dev/null; kill -9 $$\n");
    // The shell gives up before reading, whether or not the data fitted into the pipe.
    EXPECT_EQ(bad_output.r.err.substr(bad_output.r.err.find("./arc: ")),
              "./arc: extraction command failed with status 2: cat > " + bad_output.dir.path() +
                  "/missing/data.bin\n");
    for (Job *j : {&early_exit_gz, &early_exit_raw, &early_killed, &bad_output, &early_small}) {
        EXPECT_EQ(j->r.status, 1) << j->r.err;
        EXPECT_FALSE(kt::file_exists(*j / "ran"));
    }
}

TEST(Extract, DamagedArchivesEndWithMessageAndStatus1) {
    const std::string data = kt::text_bytes(40000, 5);
    const std::string member = kt::gzip_member(data, "d.txt");
    struct Case {
        const char *what;
        std::string payload;
        std::string err;  // expected standard error (exact) or, with a leading '~', a part
    } cases[] = {
        {"crc", member.substr(0, member.size() - 8) + "XXXX" + member.substr(member.size() - 4),
         "~\n./arc: ./arc: invalid compressed data--crc error\n"},
        {"length", member.substr(0, member.size() - 4) + "\x01\x02\x03\x04",
         "~invalid compressed data--length error"},
        {"truncated", member.substr(0, member.size() / 2), "~./arc: unexpected end of file\n"},
        {"format", member.substr(0, 16) + std::string(64, '\xff'), "~format violated"},
        {"not gzip", "PK\x03\x04 not a gzip member at all",
         "./arc: can only handle GZIP compression method\n./arc: unknown compression method\n"},
        {"method", "\x1f\x8b\x09" + member.substr(3),
         "./arc: ./arc: unknown method 9 -- get newer version of gzip\n"
         "./arc: unknown compression method\n"},
        {"dot-dot name", "NOCOMPR,NAME=..",
         "./arc: refusing to extract under the stored name \"..\"\n"},
        {"empty name", "NOCOMPR,NAME=dir/",
         "./arc: refusing to extract under the stored name \"dir/\"\n"},
    };
    for (const auto &c : cases) {
        kt::TempDir d;
        // The refused names are NAME items of uncompressed archives (the payload column
        // holds the feature list); the others are damaged members.
        bool raw = c.payload.rfind("NOCOMPR", 0) == 0;
        kt::write_archive(d / "arc", pre(raw ? c.payload : "", "touch ran", ""),
                          raw ? "data" : c.payload);
        RunResult r = kt::run({"./arc"}, "", d.path());
        EXPECT_EQ(r.status, 1) << c.what;
        if (c.err[0] == '~')
            EXPECT_NE(r.err.find(c.err.substr(1)), std::string::npos) << c.what << ": " << r.err;
        else
            EXPECT_EQ(r.err, c.err) << c.what;
        EXPECT_FALSE(kt::file_exists(d / "ran")) << c.what;
    }

    kt::TempDir d;
    kt::write_file(d / "plain", "no archive here");
    RunResult r = kt::run({kt::kelpa_bin(), "-u", "./plain"}, "", d.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "./plain: unable to find preamble magic value\n");
}

// With KELPA_VERIFY_KEY, an archive runs only when signed by that key: over every byte but
// the signature's text. The archives are signed by ssh-keygen through tests/e2e/ssh_sign.py,
// apart from kelpa's own builder.
TEST(Extract, SignedArchivesRunOnlyWithAValidSignatureByTheKey) {
    kt::TempDir keys;
    RunResult k = kt::sh(
        "ssh-keygen -q -t ed25519 -N '' -f key && ssh-keygen -q -t ed25519 "
        "-N '' -f other && tar cf p.tar key.pub",
        "", keys.path());
    ASSERT_EQ(k.status, 0) << k.err;
    const std::string signer = "python3 " + kt::source_dir() + "/tests/e2e/ssh_sign.py";
    const std::string build = kt::quote(kt::kelpa_bin()) + " -f 'tar xf -' -r 'touch ran' ";
    ASSERT_EQ(
        kt::sh(build + "p.tar > unsigned && cp unsigned signed && " + signer + " signed key && " +
                   kt::quote(kt::kelpa_bin()) +
                   " -a -f 'cat > got' -r 'touch ran' key.pub > raw && " + signer + " raw key",
               "", keys.path())
            .status,
        0);
    const std::string signed_arc = kt::read_file(keys / "signed");
    const size_t marker = signed_arc.find("kelpa+magik");
    const size_t text = signed_arc.find('\0', marker) - 244;
    const std::string key_line = kt::read_file(keys / "key.pub");
    auto flipped = [&](size_t at) {
        std::string a = signed_arc;
        a[at] = static_cast<char>(a[at] ^ 0x20);
        return a;
    };
    std::string other_text = signed_arc;  // a signature byte changed, still base64
    other_text[text + 230] = other_text[text + 230] == 'A' ? 'B' : 'A';
    struct Case {
        const char *what;
        std::string archive, key;  // key: the line, or a file under keys/
        std::string err;           // a part of standard error; empty: it runs
    } cases[] = {
        {"key line", signed_arc, key_line, ""},
        {"key file", signed_arc, keys / "key.pub", ""},
        {"no key", kt::read_file(keys / "unsigned"), "", ""},
        {"raw payload", kt::read_file(keys / "raw"), keys / "key.pub", ""},
        {"another key", signed_arc, keys / "other.pub", "signed by another key (SHA256:"},
        {"unsigned", kt::read_file(keys / "unsigned"), key_line, "the archive is not signed"},
        {"no key line", signed_arc, "ssh-rsa AAAA", "KELPA_VERIFY_KEY: "},
        {"stub", flipped(1000), key_line, "bad signature"},
        {"marker", flipped(marker + 3), key_line, "what files do you want to compress?"},
        {"feature list", flipped(marker + 12), key_line, "damaged archive"},
        {"signature", other_text, key_line, "bad signature"},
        {"signature's namespace", flipped(text + 100), key_line, "unreadable signature"},
        {"comment", flipped(text + 250), key_line, "damaged archive"},
        {"post-extraction command", flipped(signed_arc.find("touch ran", text)), key_line,
         "damaged archive"},
        {"extraction command", flipped(signed_arc.find("tar xf -", text)), key_line,
         "damaged archive"},
        {"member header", flipped(signed_arc.find("p.tar", text + 244)), key_line,
         "damaged archive"},
        {"member data", flipped(signed_arc.size() - 20), key_line, "./arc: ./arc: "},
        {"trailer", flipped(signed_arc.size() - 2), key_line, "length error"},
        {"bytes after", signed_arc + "x", key_line, "bad signature"},
    };
    std::vector<Job> jobs(std::size(cases));
    std::vector<Job *> all;
    for (size_t i = 0; i < jobs.size(); ++i) {
        kt::write_file(jobs[i] / "arc", cases[i].archive, 0755);
        jobs[i].argv = {"env", "KELPA_VERIFY_KEY=" + cases[i].key, "./arc"};
        all.push_back(&jobs[i]);
    }
    // -x with a key checks the signature before it writes a byte.
    Job x, x_bad;
    kt::write_file(x / "arc", signed_arc, 0755);
    kt::write_file(x_bad / "arc", flipped(1000), 0755);
    for (Job *j : {&x, &x_bad}) {
        j->argv = {"env", "KELPA_VERIFY_KEY=" + key_line, kt::kelpa_bin(), "-x", "-u", "./arc"};
        all.push_back(j);
    }
    run_parallel(all);
    for (size_t i = 0; i < jobs.size(); ++i) {
        const Case &c = cases[i];
        const RunResult &r = jobs[i].r;
        if (c.err.empty()) {
            EXPECT_EQ(r.status, 0) << c.what << ": " << r.err;
            EXPECT_TRUE(kt::file_exists(jobs[i] / "ran")) << c.what;
        } else {
            EXPECT_EQ(r.status, 1) << c.what;
            EXPECT_NE(r.err.find(c.err), std::string::npos) << c.what << ": " << r.err;
            EXPECT_FALSE(kt::file_exists(jobs[i] / "ran")) << c.what;
            EXPECT_FALSE(kt::file_exists(jobs[i] / "key.pub")) << c.what;
        }
    }
    EXPECT_EQ(x.r.status, 0) << x.r.err;
    EXPECT_EQ(x.r.out, kt::read_file(keys / "p.tar"));
    EXPECT_EQ(x_bad.r.status, 1);
    EXPECT_EQ(x_bad.r.out, "");
}

// Archives start where there is no C library at all: a chroot into an empty tmpfs, in a
// private mount namespace, holding only the archives and a static busybox for sh, cat and
// tar (no /proc, no /etc, no /tmp).
TEST(Extract, RunsInAnEmptyRoot) {
    if (!KELPA_STATIC_STUB) GTEST_SKIP() << "this build's kelpa needs the host's C library";
    if (geteuid() != 0) GTEST_SKIP() << "chroot needs root";
    if (kt::sh("unshare -m true").status != 0) GTEST_SKIP() << "no private mount namespace";
    if (kt::sh("readelf -l /bin/busybox | grep -q INTERP").status != 1)
        GTEST_SKIP() << "no static /bin/busybox (Debian's busybox-static)";
    kt::TempDir dir;
    const std::string payload = kt::text_bytes(300000, 7);
    kt::write_file(dir / "payload.txt", payload);
    ASSERT_EQ(mkdir((dir / "pkg").c_str(), 0755), 0);
    kt::write_file(dir / "pkg/one", "first file\n");
    kt::write_file(dir / "pkg/two", kt::random_bytes(70000, 3));
    const std::string bin = kt::quote(kt::kelpa_bin());
    RunResult b = kt::sh(bin + " -r 'echo \"post $KV_VENDOR\" > /post.txt' -F KV_VENDOR=acme " +
                             "payload.txt > plain.run && tar cf pkg.tar pkg && " + bin +
                             " -f 'tar xf -' pkg.tar > tar.run && chmod +x plain.run tar.run",
                         "", dir.path());
    ASSERT_EQ(b.status, 0) << b.err;

    const std::string root = dir / "root", out = dir / "out";
    const std::string script =
        "set -e; mkdir " + root + " " + out + "; mount -t tmpfs tmpfs " + root + "; cd " + root +
        "; mkdir bin work; cp /bin/busybox bin/; for t in sh cat tar; do ln -s busybox bin/$t; "
        "done; cp ../plain.run ../tar.run .; "
        "chroot . /bin/sh -c 'cd /work && /plain.run -x > /x.out && /plain.run && /tar.run && "
        "/plain.run -l > /list.out'; cp -r x.out list.out post.txt work " +
        out;
    RunResult r = kt::run({"unshare", "-m", "sh", "-c", script});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(kt::read_file(out + "/x.out"), payload) << "-x";
    EXPECT_EQ(kt::read_file(out + "/work/payload.txt"), payload) << "the default extraction";
    EXPECT_EQ(kt::read_file(out + "/work/pkg/one"), "first file\n") << "tar xf -";
    EXPECT_EQ(kt::read_file(out + "/work/pkg/two"), kt::random_bytes(70000, 3)) << "tar xf -";
    EXPECT_NE(kt::read_file(out + "/list.out").find("payload.txt"), std::string::npos) << "-l";
    EXPECT_EQ(kt::read_file(out + "/post.txt"), "post acme\n") << "the post command";
}

}  // namespace
