// Test harness for the gzip layer and the layers over it: resets the member reader's state
// the way a fresh extracting process has it, runs the header reader and member decoder over
// bytes in a file, and wraps DEFLATE data into members.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "gzip/gzip_internal.h"
#include "stream/stream_harness.h"

namespace kt {

// Stream and member state as an extracting process starts: no header read, no settings.
inline void reset_member_state() {
    reset_stream_state();
    part_nb = 0;
    method = CM_DEFLATE;
    member_settings = {};
    time_stamp = 0;
    pkzip = ext_header = decrypt = 0;
}

// Decodes the gzip member in `member` the way extraction does (get_method, then unzip)
// with output into out_path. Returns get_method's result; a fatal error ends the process
// (run it inside EXPECT_EXIT). The output file keeps whatever was written before.
inline int decode_member_to(const std::string &member, const std::string &in_path,
                            const std::string &out_path) {
    write_file(in_path, member);
    reset_member_state();
    int in = open_input(in_path);
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int m = get_method(in);
    if (m == CM_DEFLATE) unzip(in, out);
    close(in);
    close(out);
    return m;
}

// Decodes a member that must be valid and returns its output.
inline std::string decode_member(const std::string &member) {
    TempDir dir;
    decode_member_to(member, dir / "in.gz", dir / "out");
    return read_file(dir / "out");
}

// A minimal header (no name, MTIME 0, OS Unix) + deflate body + trailer for `plain`.
inline std::string wrap_member(const std::string &deflate_body, const std::string &plain) {
    std::string h("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", 10);
    return h + deflate_body + le32(crc_of(plain)) + le32(plain.size());
}

}  // namespace kt
