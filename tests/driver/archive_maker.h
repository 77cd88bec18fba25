// Makes archives for the driver's and the end-to-end tests: the built kelpa as stub, a preamble
// written here, and gzip members produced by the gzip command (its own header replaced to
// carry a chosen name and time stamp).
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "common/test_util.h"

namespace kt {

inline const std::string kMarker = std::string("kelpa+") + "magik";

inline std::string preamble(const std::string &f, const std::string &c, const std::string &r,
                            const std::string &p) {
    return kMarker + f + '\0' + c + '\0' + r + '\0' + p + '\0';
}

// CRC-32 (RFC 1952 section 8), bit by bit: an oracle apart from kelpa's own.
inline uint32_t crc32(const std::string &data) {
    uint32_t c = 0xffffffffu;
    for (unsigned char b : data) {
        c ^= b;
        for (int k = 0; k < 8; k++) c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
    }
    return ~c;
}

// The preamble the builder writes: the feature list ends with the check item, a CRC-32 of the
// four strings with their NULs (its own digits as '0') and the first member's header.
inline std::string checked_preamble(const std::string &f, const std::string &c,
                                    const std::string &r, const std::string &p,
                                    const std::string &header = "") {
    std::string item = (f.empty() ? "" : ",") + std::string("KELPA_CRC=");
    std::string rest = std::string(1, '\0') + c + '\0' + r + '\0' + p + '\0';
    char digits[9];
    snprintf(digits, sizeof digits, "%08x", crc32(f + item + "00000000" + rest + header));
    return preamble(f + item + digits, c, r, p);
}

// The header the builder writes for a member stored under name.
inline std::string member_header(const std::string &name) {
    return std::string("\x1f\x8b\x08\x08\0\0\0\0\x02\x03", 10) + name + '\0';
}

// One gzip member (RFC 1952) of data: the gzip command's DEFLATE stream and trailer behind a
// header written here, with FNAME when name is non-empty and the given MTIME.
inline std::string gzip_member(const std::string &data, const std::string &name,
                               uint32_t mtime = 0) {
    TempDir d;
    write_file(d / "in", data);
    RunResult r = sh("gzip -9 -n -c " + quote(d / "in"));
    if (r.status != 0 || r.out.size() < 18) return "";
    std::string h = "\x1f\x8b\x08";
    h += static_cast<char>(name.empty() ? 0 : 0x08);
    for (int i = 0; i < 4; ++i) h += static_cast<char>((mtime >> (8 * i)) & 0xff);
    h += "\x02\x03";
    if (!name.empty()) h += name + '\0';
    return h + r.out.substr(10);
}

// A tar stream of the given (relative name, content) pairs, made by the tar command.
inline std::string tar_of(const std::vector<std::pair<std::string, std::string>> &files) {
    TempDir d;
    for (const auto &[name, data] : files) {
        std::string p = d / name;
        sh("mkdir -p " + quote(p.substr(0, p.rfind('/'))));
        write_file(p, data);
    }
    return sh("cd " + quote(d.path()) + " && tar cf - *").out;
}

inline std::string stub() {
    return read_file(kelpa_bin());
}

// Writes an executable archive file.
inline std::string write_archive(const std::string &path, const std::string &pre,
                                 const std::string &payload) {
    write_file(path, stub() + pre + payload, 0755);
    return path;
}

// The command line for python3 that runs cmdline through sh on a pseudo-terminal (its
// standard input, output and error), with typed written to the terminal first (the line
// discipline hands it over one line per read). Its standard output is everything the
// terminal showed, "\r\n" as "\n"; its status is the command's.
inline std::vector<std::string> on_terminal(const std::string &cmdline, const std::string &typed) {
    static const char runner[] = R"(
import os, pty, sys
pid, fd = pty.fork()
if pid == 0:
    os.execv('/bin/sh', ['sh', '-c', sys.argv[1]])
os.write(fd, sys.argv[2].encode())
out = b''
while True:
    try:
        data = os.read(fd, 4096)
    except OSError:
        break
    if not data:
        break
    out += data
_, st = os.waitpid(pid, 0)
sys.stdout.buffer.write(out.replace(b'\r\n', b'\n'))
sys.exit(os.waitstatus_to_exitcode(st))
)";
    return {"python3", "-c", runner, cmdline, typed};
}

inline uint32_t le32_at(const std::string &s, size_t off) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s[off + i]);
    return v;
}

}  // namespace kt
