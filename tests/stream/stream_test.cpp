// Stream buffers, CRC-32 and I/O errors: refills, complete writes, the output-buffer append
// boundaries, ratio printing, the fatal exits, and the small stream utilities.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#if defined(__x86_64__)
// glibc's header spells C's _Bool, which g++ accepts in C++ and clang does not.
#define _Bool bool
#include <sys/platform/x86.h>
#undef _Bool
#endif
#include <sys/syscall.h>

#include <atomic>
#include <random>
#include <thread>

#include "stream/stream_harness.h"
#include "stream/cpu.h"

// Every write of this test program passes through here: writes to one chosen descriptor can
// be cut short (as a pipe may) and counted.
namespace {
std::atomic<int> g_short_fd{-1};
std::atomic<int> g_count_fd{-1};
std::atomic<int> g_write_calls{0};
constexpr size_t kShortWrite = 7;
}  // namespace
extern "C" ssize_t write(int fd, const void *buf, size_t n) {
    if (fd == g_count_fd.load()) g_write_calls++;
    if (fd == g_short_fd.load() && n > kShortWrite) n = kShortWrite;
    return syscall(SYS_write, fd, buf, n);
}

namespace {

using std::string;
using testing::ExitedWithCode;

string ratio(long num, long den) {
    char *buf = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&buf, &len);
    display_ratio(num, den, f);
    fclose(f);
    string s(buf, len);
    free(buf);
    return s;
}

TEST(DisplayRatio, Formats) {
    struct Case {
        long num, den;
        const char *text;
    };
    const Case cases[] = {
        {1, 3, " 33.3%"},
        {0, 0, "  0.0%"},
        {1000, 1000, " 100.0%"},
        {-5, 100, "- 5.0%"},
        {2147483, 2147483, " 100.0%"},
        // 1073740 / 2147482: multiply first gives 499 (49.9%), divide first would give 500.
        {1073740, 2147482, " 49.9%"},
        // 1073741 / 2147483: divide first gives 1073741 / 2147 = 500, multiply first 499.
        {1073741, 2147483, " 50.0%"},
        {-1, 3, "-33.3%"},
    };
    for (const auto &c : cases) EXPECT_EQ(ratio(c.num, c.den), c.text) << c.num << "/" << c.den;
}

TEST(Updcrc, StartCheckValueAndSplitFeeding) {
    const uch *p = reinterpret_cast<const uch *>("123456789");
    EXPECT_EQ(updcrc(nullptr, 0), 0u);
    EXPECT_EQ(updcrc(p, 0), 0u) << "the CRC of no data";
    EXPECT_EQ(updcrc(p, 9), 0xcbf43926UL) << "the CRC-32 check value";
    EXPECT_EQ(updcrc(p, 0), 0xcbf43926UL) << "a zero count reads the register";
    updcrc(nullptr, 0);
    updcrc(p, 4);
    EXPECT_EQ(updcrc(p + 4, 5), 0xcbf43926UL);
}

TEST(Updcrc, FastPathMatchesTablePathAndPython) {
    string data = kt::random_bytes(300000, 4);
    const uch *p = reinterpret_cast<const uch *>(data.data());
    std::mt19937 rng(1);
    // Every length around the fold block sizes, at every alignment, from a running register.
    for (unsigned len = 0; len < 1100; len += (len < 300 ? 1 : 37)) {
        unsigned off = rng() % 64;
        updcrc(nullptr, 0);
        updcrc(p, 13);
        ulg fast = updcrc(p + off, len);
        ulg slow = crc32_portable(crc32_portable(0xffffffffUL, p, 13), p + off, len) ^ 0xffffffffUL;
        ASSERT_EQ(fast, slow) << "len " << len << " off " << off;
    }
    auto r = kt::run(
        {"python3", "-c", "import sys, zlib; print(zlib.crc32(sys.stdin.buffer.read()))"}, data);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(kt::crc_of(data), std::stoul(r.out));
}

#if defined(__x86_64__)
// The host C library's answers as the oracle: the fast paths are chosen as they were when
// it was asked.
TEST(CpuFeatures, AsTheHostCLibraryFindsThem) {
    const struct {
        unsigned bit;
        bool host;
    } rows[] = {{CPU_SSE2, CPU_FEATURE_ACTIVE(SSE2)},
                {CPU_PCLMULQDQ, CPU_FEATURE_ACTIVE(PCLMULQDQ)},
                {CPU_BMI2, CPU_FEATURE_ACTIVE(BMI2)},
                {CPU_AVX2, CPU_FEATURE_ACTIVE(AVX2)},
                {CPU_VPCLMULQDQ, CPU_FEATURE_ACTIVE(VPCLMULQDQ)}};
    for (const auto &r : rows) {
        EXPECT_EQ((cpu_probe() & r.bit) != 0, r.host) << r.bit;
        EXPECT_EQ(cpu_has(r.bit), r.host) << r.bit;
    }
    EXPECT_TRUE(cpu_has(0));
}
#endif

TEST(FillInbuf, FillsOf32768ThenTheRestThenEndOfFile) {
    kt::TempDir dir;
    string data = kt::random_bytes(40000, 8);
    kt::write_file(dir / "in", data);
    kt::reset_stream_state();
    kt::open_input(dir / "in");
    EXPECT_EQ(fill_inbuf(0), static_cast<uch>(data[0]));
    EXPECT_EQ(insize, 32768u);
    EXPECT_EQ(inptr, 1u);
    EXPECT_EQ(bytes_in, 32768);
    EXPECT_EQ(fill_inbuf(0), static_cast<uch>(data[32768]));
    EXPECT_EQ(insize, 7232u);
    EXPECT_EQ(bytes_in, 40000);
    EXPECT_EQ(string(reinterpret_cast<char *>(inbuf), insize), data.substr(32768));
    EXPECT_EQ(fill_inbuf(1), -1) << "end of file is allowed when asked";
    EXPECT_EXIT(fill_inbuf(0), ExitedWithCode(1),
                testing::Eq("\nkelpa: in.gz: unexpected end of file\n"));
}

// The input guard: a second pass over the bytes a first pass read ends the process where a
// byte changed, and goes on where none did. Stretches of one fill (the input's own size) and
// of many (an input said to be 1 TiB), changed in the first fill or the last; a pass reads
// the fills the data needs and no more, as the decoder stops at the member's end.
TEST(InputGuard, SecondPassEndsWhereAByteChanged) {
    struct Case {
        unsigned long size_said;  // 0: the input's own
        size_t len, changed_at;
    } cases[] = {{0, 100000, 5},
                 {0, 100000, 99999},
                 {0, 98304, 98303},
                 {1ul << 40, 100000, 5},
                 {1ul << 40, 98304, 98303}};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.size_said) + "/" + std::to_string(c.changed_at));
        kt::TempDir dir;
        string data = kt::random_bytes(c.len, 3);
        kt::write_file(dir / "in", data);
        auto pass = [&] {
            kt::open_input(dir / "in");
            insize = inptr = 0;
            for (size_t f = 0; f < (c.len + INBUFSIZ - 1) / INBUFSIZ; ++f) fill_inbuf(0);
        };
        kt::reset_stream_state();
        input_guard_record(c.size_said ? c.size_said : c.len);
        pass();
        input_guard_verify();
        pass();  // the same bytes
        input_guard_off();
        input_guard_verify();
        data[c.changed_at] = static_cast<char>(data[c.changed_at] ^ 1);
        kt::write_file(dir / "in", data);
        EXPECT_EXIT(
            {
                pass();
                input_guard_off();
                exit(0);
            },
            ExitedWithCode(1), testing::HasSubstr("the archive changed after it was checked"));
        input_guard_off();
    }
}

TEST(FillInbuf, ReadsASlowPipeUntilTheBufferIsFull) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    string data = kt::random_bytes(40000, 9);
    std::thread writer([&] {
        for (size_t at = 0; at < data.size(); at += 100) {
            ssize_t n = syscall(SYS_write, p[1], data.data() + at, 100);
            if (n != 100) break;
            if (at % 2000 == 0) usleep(200);
        }
        close(p[1]);
    });
    kt::reset_stream_state();
    ifd = p[0];
    fill_inbuf(0);
    EXPECT_EQ(insize, 32768u);
    EXPECT_EQ(string(reinterpret_cast<char *>(inbuf), insize), data.substr(0, 32768));
    fill_inbuf(0);
    EXPECT_EQ(insize, 7232u) << "the rest, once the writer closes the pipe";
    writer.join();
    close(p[0]);
}

TEST(FillInbuf, ReadErrorReportsTheSystemText) {
    kt::TempDir dir;
    EXPECT_EXIT(
        {
            kt::reset_stream_state();
            ifd = open(dir.path().c_str(), O_RDONLY);  // reading a directory fails
            fill_inbuf(0);
        },
        ExitedWithCode(1), testing::Eq(string("\nkelpa: in.gz: ") + strerror(EISDIR) + "\n"));
}

TEST(WriteBuf, CompletesPartialWrites) {
    kt::TempDir dir;
    string data = kt::random_bytes(20000, 10);
    int fd = open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    g_short_fd = fd;
    g_count_fd = fd;
    g_write_calls = 0;
    write_buf(fd, data.data(), static_cast<unsigned>(data.size()));
    g_short_fd = -1;
    g_count_fd = -1;
    close(fd);
    EXPECT_TRUE(kt::read_file(dir / "out") == data);
    EXPECT_EQ(g_write_calls.load(),
              static_cast<int>((data.size() + kShortWrite - 1) / kShortWrite));
}

TEST(WriteBuf, WriteErrorNamesTheOutput) {
    EXPECT_EXIT(
        {
            kt::reset_stream_state();
            strcpy(ofname, "out.txt");
            write_buf(-1, ofname, 3);
        },
        ExitedWithCode(1), testing::Eq(string("\nkelpa: out.txt: ") + strerror(EBADF) + "\n"));
}

// Counts writes to an output file while a test body runs.
struct OutputFile {
    kt::TempDir dir;
    OutputFile() {
        ofd = open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        g_count_fd = ofd;
        g_write_calls = 0;
    }
    ~OutputFile() {
        g_count_fd = -1;
        close(ofd);
    }
    string content() { return kt::read_file(dir / "out"); }
};

TEST(Flush, EmptyBuffersWriteNothing) {
    kt::reset_stream_state();
    OutputFile f;
    flush_window();
    flush_outbuf();
    EXPECT_EQ(g_write_calls.load(), 0);
    EXPECT_EQ(bytes_out, 0);
}

TEST(Flush, WindowFeedsTheCrcAndCounters) {
    kt::reset_stream_state();
    OutputFile f;
    memcpy(window, "123456789", 9);
    outcnt = 9;
    flush_window();
    EXPECT_EQ(outcnt, 0u);
    EXPECT_EQ(bytes_out, 9);
    EXPECT_EQ(updcrc(window, 0), 0xcbf43926UL);
    EXPECT_EQ(f.content(), "123456789");
}

TEST(PutOutput, ShortAtTheBufferEnd) {
    kt::reset_stream_state();
    {
        OutputFile f;
        outcnt = 16381;
        put_output_short(0xbbaa);
        EXPECT_EQ(outcnt, 16383u);
        EXPECT_EQ(g_write_calls.load(), 0) << "both bytes stored directly";
        put_output_byte(0xcc);
        EXPECT_EQ(outcnt, 0u);
        string out = f.content();
        ASSERT_EQ(out.size(), 16384u);
        EXPECT_EQ(out.substr(16381), "\xaa\xbb\xcc");
    }
    {
        OutputFile f;
        outcnt = 16382;
        put_output_short(0xbbaa);
        EXPECT_EQ(outcnt, 0u) << "the second byte reaches 16384 and flushes";
        string out = f.content();
        ASSERT_EQ(out.size(), 16384u);
        EXPECT_EQ(out.substr(16382), "\xaa\xbb");
    }
    {
        OutputFile f;
        outcnt = 16380;
        put_output_long(0x44332211UL);
        EXPECT_EQ(outcnt, 0u);
        EXPECT_EQ(f.content().substr(16380), "\x11\x22\x33\x44");
    }
}

TEST(ClearBufs, NextByteComesFromAFreshFill) {
    kt::TempDir dir;
    kt::write_file(dir / "in", "xyz");
    kt::reset_stream_state();
    kt::open_input(dir / "in");
    EXPECT_EQ(next_input_byte(), 'x');
    outcnt = 5;
    bytes_out = 9;
    clear_bufs();
    EXPECT_EQ(outcnt, 0u);
    EXPECT_EQ(inptr, 0u);
    EXPECT_EQ(insize, 0u);
    EXPECT_EQ(bytes_in, 0);
    EXPECT_EQ(bytes_out, 0);
    lseek(ifd, 1, SEEK_SET);
    EXPECT_EQ(next_input_byte(), 'y');
    EXPECT_EQ(bytes_in, 2);
}

// Utilities the program does not call.
TEST(StreamUtilities, NamesAndWarnings) {
    char path[] = "a/b/c.txt";
    EXPECT_STREQ(gz_basename(path), "c.txt");
    char plain[] = "plain";
    EXPECT_EQ(gz_basename(plain), plain);

    char up[] = "MiXeD 123";
    EXPECT_STREQ(strlwr(up), "mixed 123");

    struct Case {
        const char *in, *out;
    };
    for (const auto &c : {Case{"a.b.c", "a_b.c"}, Case{".profile", "_profile"},
                          Case{"none", "none"}, Case{"x.y", "x.y"}, Case{"..z", "_.z"}}) {
        char buf[32];
        strcpy(buf, c.in);
        make_simple_name(buf);
        EXPECT_STREQ(buf, c.out) << c.in;
    }

    kt::reset_stream_state();
    testing::internal::CaptureStderr();
    warn("odd ", "thing");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "kelpa: in.gz: warning: odd thing\n");
    EXPECT_EQ(exit_code, 2);
    exit_code = 1;
    testing::internal::CaptureStderr();
    warn("a", "b");
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(exit_code, 1) << "an earlier failure is kept";
}

TEST(StreamUtilities, CopyAndXmalloc) {
    kt::TempDir dir;
    string data = kt::random_bytes(70000, 12);
    kt::write_file(dir / "in", data);
    kt::reset_stream_state();
    int in = kt::open_input(dir / "in");
    int out = open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    next_input_byte();  // a first fill, as copy continues from what inbuf holds
    EXPECT_EQ(copy(in, out), 0);
    close(out);
    EXPECT_TRUE(kt::read_file(dir / "out") == data);
    EXPECT_EQ(bytes_in, 70000);
    EXPECT_EQ(bytes_out, 70000);
    void *p = xmalloc(100);
    EXPECT_NE(p, nullptr);
    free(p);
}

TEST(StreamUtilities, AddEnvopt) {
    char a0[] = "prog", a1[] = "file";
    char *argv0[] = {a0, a1, nullptr};
    int argc = 2;
    char **argv = argv0;
    unsetenv("KELPA_TEST_OPTS");
    EXPECT_EQ(add_envopt(&argc, &argv, "KELPA_TEST_OPTS"), nullptr);
    setenv("KELPA_TEST_OPTS", "  \t ", 1);
    EXPECT_EQ(add_envopt(&argc, &argv, "KELPA_TEST_OPTS"), nullptr);
    EXPECT_EQ(argc, 2);
    setenv("KELPA_TEST_OPTS", " -v\t-x  -c ", 1);
    char *words = add_envopt(&argc, &argv, "KELPA_TEST_OPTS");
    ASSERT_NE(words, nullptr);
    ASSERT_EQ(argc, 5);
    std::vector<string> got(argv, argv + argc);
    EXPECT_EQ(got, (std::vector<string>{"prog", "-v", "-x", "-c", "file"}));
    EXPECT_EQ(argv[5], nullptr);
    free(argv);
    free(words);
    unsetenv("KELPA_TEST_OPTS");
}

}  // namespace
