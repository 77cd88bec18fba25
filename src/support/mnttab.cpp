// Support library: mount table access. Owns the open table stream between calls, the line
// being parsed and the one static entry that every successful lookup fills and returns. The
// table's format is proc(5)'s /proc/[pid]/mounts, parsed here: the C library's parser in
// the static stub would bring its whole scanf machinery for two numbers we ignore.
#include "support/ssmnttab.h"

#include <cstdio>
#include <cstring>

namespace {

// Longest table path the test seam accepts: PATH_MAX.
constexpr size_t MTAB_PATH_SIZE = 4096;
// Longest table line read whole; the rest of a longer line is skipped, so the entry is cut.
constexpr size_t MT_LINE_SIZE = 4096;

FILE *mtfp = nullptr;
// Empty means MTAB_PATH; kept in zeroed storage so the stub carries no 4 KiB of data.
char mtab_path[MTAB_PATH_SIZE];
char line[MT_LINE_SIZE];
struct ssmnttab entry;

// Copies src into a field of width n, padding with NULs; false when src does not fit
// with its terminator (the field then holds the first n - 1 bytes).
bool copy_field(char *dst, const char *src, size_t n) {
    size_t len = strnlen(src, n);
    bool fits = len < n;
    if (!fits) len = n - 1;
    memcpy(dst, src, len);
    memset(dst + len, 0, n - len);
    return fits;
}

// The table writes a space, tab, newline or backslash in a field as a backslash and three
// octal digits; two backslashes stand for one, and any other backslash for itself.
void decode_field(char *s) {
    static const struct {
        const char *code;  // what follows the backslash
        char byte;
    } escapes[] = {{"040", ' '}, {"011", '\t'}, {"012", '\n'}, {"134", '\\'}, {"\\", '\\'}};
    char *out = s;
    while (*s) {
        char c = *s++;
        if (c == '\\') {
            for (const auto &e : escapes) {
                const size_t n = strlen(e.code);
                if (strncmp(s, e.code, n) == 0) {
                    c = e.byte;
                    s += n;
                    break;
                }
            }
        }
        *out++ = c;
    }
    *out = '\0';
}

// The next field of the line at *p, cut at spaces and tabs and decoded; "" past the last.
char *next_field(char **p) {
    char *s = *p + strspn(*p, " \t");
    char *e = s + strcspn(s, " \t");
    *p = *e ? e + 1 : e;
    *e = '\0';
    decode_field(s);
    return s;
}

// True when the comma-separated options hold opt itself, alone or with a value.
bool has_option(const char *opts, const char *opt) {
    const size_t n = strlen(opt);
    for (const char *o = opts; *o; o += strcspn(o, ",")) {
        if (*o == ',') ++o;
        if (strncmp(o, opt, n) == 0 && (o[n] == '\0' || o[n] == ',' || o[n] == '=')) return true;
    }
    return false;
}

// Fills the static entry from the table's next line that names a mount point (blank lines
// and # comments name none); NULL after the last. A mount point that does not fit is
// refused and the walk goes on: a cut path names a different directory, and callers create
// directories under mt_path. A device name or type that does not fit is only cut, since
// nothing acts on them.
struct ssmnttab *read_entry() {
    while (fgets(line, sizeof line, mtfp)) {
        const size_t len = strlen(line);
        if (len > 0 && line[len - 1] == '\n') {
            line[len - 1] = '\0';
        } else {
            int c;
            while ((c = getc(mtfp)) != EOF && c != '\n') {
            }
        }
        char *p = line + strspn(line, " \t");
        if (*p == '\0' || *p == '#') continue;
        const char *dev = next_field(&p);
        const char *dir = next_field(&p);
        const char *type = next_field(&p);
        const char *opts = next_field(&p);
        copy_field(entry.mt_dev, dev, MT_DEV_SIZE);
        if (!copy_field(entry.mt_path, dir, MT_PATH_SIZE)) continue;
        copy_field(entry.mt_fstype, type, MT_FSTYPE_SIZE);
        entry.mt_read_only = has_option(opts, "ro") ? 1 : 0;
        entry.mt_time = 0;
        return &entry;
    }
    return nullptr;
}

}  // namespace

struct ssmnttab *ss_getmntent(void) {
    if (!mtfp) {
        mtfp = fopen(mtab_path[0] ? mtab_path : MTAB_PATH, "re");
        if (!mtfp) return nullptr;
    }
    return read_entry();
}

void ss_endmntent(void) {
    if (mtfp) fclose(mtfp);
    mtfp = nullptr;
}

int ss_fstype_keeps_files(const char *fstype) {
    // Memory filesystems, then the kernel's interface filesystems. overlay is not here: its
    // files persist where its upper layer does, which is a disk in the usual case, and it is
    // the root filesystem of containers, where leaving it out would leave nothing to choose.
    static const char *const forgetful[] = {
        "tmpfs",      "devtmpfs", "ramfs",     "rootfs",  "hugetlbfs",  "mqueue",      "proc",
        "sysfs",      "devpts",   "cgroup",    "cgroup2", "securityfs", "debugfs",     "tracefs",
        "pstore",     "bpf",      "configfs",  "fusectl", "autofs",     "binfmt_misc", "efivarfs",
        "rpc_pipefs", "nsfs",     "selinuxfs", "nfsd"};
    for (const char *t : forgetful)
        if (strcmp(fstype, t) == 0) return 0;
    return 1;
}

struct ssmnttab *ss_getmntbyname(const char *name) {
    ss_endmntent();
    struct ssmnttab *e;
    while ((e = ss_getmntent()) != nullptr) {
        if (strcmp(e->mt_dev, name) == 0 || strcmp(e->mt_path, name) == 0) break;
    }
    ss_endmntent();
    return e;
}

void ss_set_mtab_path(const char *path) {
    ss_endmntent();
    snprintf(mtab_path, sizeof mtab_path, "%s", path ? path : "");
}
