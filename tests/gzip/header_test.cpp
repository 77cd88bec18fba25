// gzip header reader: accepted headers and the fields they set, refused headers and their
// messages, the stored name's limits and how it is made safe for a command line.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "gzip/decode_harness.h"

namespace {

using std::string;

struct Header {
    int result;
    string err;
};

// Runs get_method over `bytes` (followed by some data) with the flags given; stderr is
// captured unless the call is expected to end the process.
Header read_header(const string &bytes, int to_stdout_flag = 0, int list_flag = 0,
                   int verbose_flag = 0, long stamp = 0, bool capture = true) {
    kt::TempDir dir;
    kt::write_file(dir / "in.gz", bytes + "DEFLATEDATA");
    kt::reset_member_state();
    member_settings = {to_stdout_flag, list_flag, verbose_flag};
    time_stamp = stamp;
    int fd = kt::open_input(dir / "in.gz");
    if (capture) testing::internal::CaptureStderr();
    Header h;
    h.result = get_method(fd);
    if (capture) h.err = testing::internal::GetCapturedStderr();
    close(fd);
    return h;
}
void read_header_fatal(const string &bytes) {
    read_header(bytes, 0, 0, 0, 0, false);
}

string hdr(unsigned flg, const string &rest = "", unsigned long mtime = 0) {
    // ID1 ID2 CM FLG MTIME(4) XFL OS
    return string("\x1f\x8b\x08", 3) + static_cast<char>(flg) + kt::le32(mtime) +
           string("\x02\x03", 2) + rest;
}

TEST(GetMethod, PlainHeader) {
    time_stamp = 77;
    Header h = read_header(hdr(0));
    EXPECT_EQ(h.result, 8);
    EXPECT_EQ(h.err, "");
    EXPECT_EQ(header_bytes, 26);
    EXPECT_STREQ(ofname, "stdout");
    EXPECT_EQ(part_nb, 1);
    EXPECT_EQ(inptr, 10u) << "positioned on the first byte of the DEFLATE data";
}

TEST(GetMethod, AcceptedHeaders) {
    struct Case {
        const char *what;
        string bytes;
        int to_stdout, list;
        const char *ofname;
        long header_bytes;
    };
    const Case cases[] = {
        {"stored name", hdr(FNAME, string("a.txt\0", 6)), 0, 0, "a.txt", 32},
        {"name skipped to stdout", hdr(FNAME, string("a.txt\0", 6)), 1, 0, "stdout", 32},
        {"name kept when listing", hdr(FNAME, string("a.txt\0", 6)), 1, 1, "a.txt", 32},
        {"ID2 0x9e", string("\x1f\x9e", 2) + hdr(FNAME, string("b\0", 2)).substr(2), 0, 0, "b", 28},
        {"reserved flag bits ignored", hdr(0xe8, string("c.bin\0", 6)), 0, 0, "c.bin", 32},
        {"part number then name", hdr(FHCRC | FNAME, string("\x05\x00n\0", 4)), 0, 0, "n", 30},
        {"extra field skipped", hdr(FEXTRA | FNAME, string("\x03\x00xyzq\0", 7)), 0, 0, "q", 33},
        {"empty extra field", hdr(FEXTRA, string("\x00\x00", 2)), 0, 0, "stdout", 28},
        {"comment skipped", hdr(FNAME | FCOMMENT, string("d\0some comment\0", 15)), 0, 0, "d", 41},
        {"all optional fields", hdr(0x1e, string("\x01\x00\x01\x00Xe\0c\0", 9)), 0, 0, "e", 35},
    };
    for (const auto &c : cases) {
        Header h = read_header(c.bytes, c.to_stdout, c.list);
        EXPECT_EQ(h.result, 8) << c.what;
        EXPECT_EQ(h.err, "") << c.what;
        EXPECT_STREQ(ofname, c.ofname) << c.what;
        EXPECT_EQ(header_bytes, c.header_bytes) << c.what;
        EXPECT_EQ(next_input_byte(), 'D') << c.what << ": input must sit on the data";
    }
}

TEST(GetMethod, VerboseMessages) {
    Header h = read_header(hdr(FHCRC | FEXTRA, string("\x05\x00\x00\x00", 4)), 0, 0, 1);
    EXPECT_EQ(h.result, 8);
    EXPECT_EQ(h.err, "kelpa: in.gz: part number 5\nkelpa: in.gz: extra field of 0 bytes ignored\n");
    EXPECT_EQ(header_bytes, 30);
}

TEST(GetMethod, TimeStamp) {
    read_header(hdr(0, "", 0), 0, 0, 0, 5);
    EXPECT_EQ(time_stamp, 5) << "MTIME 0 leaves the time stamp";
    read_header(hdr(0, "", 0x61626364));
    EXPECT_EQ(time_stamp, 0x61626364);
}

TEST(GetMethod, RefusedHeaders) {
    Header zip = read_header(string("PK\x03\x04", 4) + string(30, '\0'));
    EXPECT_EQ(zip.result, -1);
    EXPECT_EQ(zip.err, "kelpa: can only handle GZIP compression method\n");
    EXPECT_EQ(exit_code, 1);

    Header m9 = read_header(string("\x1f\x8b\x09", 3) + string(10, '\0'));
    EXPECT_EQ(m9.result, -1);
    EXPECT_EQ(m9.err, "kelpa: in.gz: unknown method 9 -- get newer version of gzip\n");
    EXPECT_EQ(method, 9);
    EXPECT_EQ(exit_code, 1);
}

TEST(GetMethod, SecondHeaderSkipsName) {
    kt::reset_member_state();
    part_nb = 1;
    kt::TempDir dir;
    kt::write_file(dir / "in.gz", hdr(FNAME, string("x\0", 2)));
    kt::open_input(dir / "in.gz");
    EXPECT_EQ(get_method(ifd), 8);
    EXPECT_STREQ(ofname, "stdout");
    EXPECT_EQ(header_bytes, 0) << "only the first header sets header_bytes";
}

TEST(GetMethod, NameLengthLimit) {
    string n1023(1023, 'n');
    Header ok = read_header(hdr(FNAME, n1023 + '\0'));
    EXPECT_EQ(ok.result, 8);
    EXPECT_EQ(string(ofname), n1023);
    EXPECT_EXIT(read_header_fatal(hdr(FNAME, string(1024, 'n') + '\0')), testing::ExitedWithCode(1),
                testing::Eq("\nkelpa: in.gz: corrupted input -- file name too large\n"));
    // Far longer names stop at the same point, never writing past the name buffer.
    EXPECT_EXIT(read_header_fatal(hdr(FNAME, string(100000, 'n'))), testing::ExitedWithCode(1),
                testing::HasSubstr("file name too large"));
}

TEST(GetMethod, StoredNameIsKeptAsItComes) {
    // No byte is tested or translated here: the listing shows the stored name, and the
    // extraction driver makes it safe before it reaches a command line.
    const string cases[] = {
        "../../etc/passwd", "a; rm -rf ~", "tab\there\nnl", "caf\xc3\xa9.txt", "dir/", ".", ""};
    for (const auto &stored : cases) {
        Header h = read_header(hdr(FNAME, stored + '\0'));
        EXPECT_EQ(h.result, 8) << stored;
        EXPECT_EQ(string(ofname), stored) << "the stored name replaces ofname entirely";
    }
}

TEST(GetMethod, EndOfInputInsideTheHeader) {
    string full = hdr(FEXTRA | FNAME | FCOMMENT, string("\x02\x00xy", 4) + string("nm\0cm\0", 6));
    for (size_t cut = 1; cut < full.size(); cut++) {
        EXPECT_EXIT(
            {
                kt::TempDir dir;
                kt::write_file(dir / "in.gz", full.substr(0, cut));
                kt::reset_member_state();
                get_method(kt::open_input(dir / "in.gz"));
            },
            testing::ExitedWithCode(1), testing::Eq("\nkelpa: in.gz: unexpected end of file\n"))
            << "cut at " << cut;
    }
}

}  // namespace
