// Archive driver: space verification and relocation. Before extraction, checks that the
// target filesystem (VFYFS) has room for the uncompressed payload and, when it has not,
// relocates the extraction directory (FSSUB) to the -t directory or another writable
// mounted filesystem through a temporary symbolic link. Owns sympath, the link's name.
#include <cerrno>
#include <csignal>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <sys/stat.h>
#include <unistd.h>

#include "driver/kelpa.h"
#include "gzip/gzip.h"
#include "support/fsinfo.h"
#include "support/ssmnttab.h"

char sympath[VFY_PATH_SIZE];

namespace {

constexpr int MEG_SHIFT = 20;
// One component of a relocation path: a file name of at most NAME_MAX bytes and its NUL.
constexpr size_t NAME_SIZE = NAME_MAX + 1;

// Working values of one verification.
struct Paths {
    char fs[VFY_FS_SIZE];
    char fssub[VFY_FSSUB_SIZE];
    char path[VFY_PATH_SIZE];
    char fullpath[VFY_PATH_SIZE];
    char native_path[VFY_PATH_SIZE];
    char site[VFY_PATH_SIZE];  // native_path made absolute: where the link goes
    int fd;
    long pos;
    int megs;
};

// Outcome of one candidate: the link is in place, try the next candidate, or stop.
enum class Link { made, next, stop };

// path, with its control characters shown as \ooo, then text.
void say(const char *path, const char *text) {
    print_visible(stderr, path);
    fputs(text, stderr);
}

// perror for a path that may hold control characters.
void say_errno(const char *path) {
    int e = errno;
    print_visible(stderr, path);
    fprintf(stderr, ": %s\n", strerror(e));
}

// Copies the text after the first '=' of the feature item key into dst; false when the value
// does not fit. An absent item gives an empty value.
bool feature_value(const char *key, char *dst, size_t size, bool *present) {
    dst[0] = '\0';
    const char *item = get_feature(key);
    const char *eq = item ? strchr(item, '=') : nullptr;
    *present = eq != nullptr;
    if (!eq) return true;
    size_t n = strlen(eq + 1);
    if (n >= size) return false;
    memcpy(dst, eq + 1, n + 1);
    return true;
}

// snprintf into a path buffer; false, after saying so, when the result does not fit.
template <size_t N>
bool format_path(char (&dst)[N], const char *a, const char *sep, const char *b) {
    int n = snprintf(dst, N, "%s%s%s", a, sep, b);
    if (n >= 0 && static_cast<size_t>(n) < N) return true;
    say(a, sep);
    say(b, ": path too long\n");
    return false;
}

void strip_one_slash(char *s) {
    size_t n = strlen(s);
    if (n > 0 && s[n - 1] == '/') s[n - 1] = '\0';
}

void seek_back(const Paths &p) {
    if (lseek(p.fd, p.pos, SEEK_SET) != p.pos) read_error();
}

void say_exists(const char *path) {
    say(path, ": extraction directory exists!\nPlease remove it first then try again.\n");
}

// Anything at path, a symbolic link that leads nowhere included, is someone's: it is named
// and never replaced.
bool refuse_existing(const char *path) {
    struct stat st;
    if (lstat(path, &st) != 0) return false;
    say_exists(path);
    return true;
}

// Asks before a link to dir is made; an answer beginning with N or n declines, anything else
// (the empty line and the end of input included) accepts.
bool link_confirmed(const char *dir) {
    fputs("Creating temporary link to ", stdout);
    print_visible(stdout, dir);
    printf("\nOK to create temporary link? [y]: ");
    fflush(stdout);
    char ans[VFY_ANSWER_SIZE];
    if (!fgets(ans, sizeof ans, stdin)) return true;
    bool declined = ans[0] == 'N' || ans[0] == 'n';
    // Drop the rest of a long answer so it is not read as the answer to a later prompt.
    if (!strchr(ans, '\n')) {
        int c;
        while ((c = getchar()) != EOF && c != '\n') {
        }
    }
    return !declined;
}

// A directory under which the extraction directory may be made for whoever runs the archive:
// owned by root or by the running user, and writable by no one else unless sticky (so nobody
// else can rename or replace what is made in it). shown names it in the refusal.
bool dir_is_safe(int fd, const char *shown) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
        say_errno(shown);
        return false;
    }
    if (st.st_uid != 0 && st.st_uid != geteuid()) {
        say(shown, ": refusing to relocate under a directory owned by another user\n");
        return false;
    }
    bool group_others = (st.st_mode & S_IWGRP) && st.st_gid != 0 && st.st_gid != getegid();
    if (((st.st_mode & S_IWOTH) || group_others) && !(st.st_mode & S_ISVTX)) {
        say(shown, ": refusing to relocate under a directory that others can write\n");
        return false;
    }
    return true;
}

// Opens the directory name in dirfd without following a link, creating it (mode 0755, the
// umask aside) when absent; shown names it in messages. -1 after saying why.
int open_subdir(int dirfd, const char *name, const char *shown) {
    constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    bool made = false;
    int fd = openat(dirfd, name, kFlags);
    if (fd < 0 && errno == ENOENT) {
        made = mkdirat(dirfd, name, 0755) == 0;
        if (!made && errno != EEXIST) {
            say_errno(shown);
            return -1;
        }
        fd = openat(dirfd, name, kFlags);
    }
    if (fd < 0) {
        struct stat st;
        int e = errno;
        if (fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
            say(shown, ": refusing to relocate through a symbolic link\n");
            return -1;
        }
        errno = e;
        say_errno(shown);
        return -1;
    }
    if (made) fchmod(fd, 0755);
    return fd;
}

// Makes the directory path (absolute: a relative one would be taken from "/") for the
// extraction, walking from "/" one component at a time through descriptors, so no symbolic
// link is followed and nothing can be swapped in between a check and its use. Missing levels
// are made with mode 0755; the last level must not exist: it is made here and is the caller's
// alone. Every level passed through must pass dir_is_safe. Returns the descriptor of the last
// level's parent and its name in last (to remove it again), or -1 after saying why; levels
// made so far stay.
int make_private_dir(const char *path, char (&last)[NAME_SIZE]) {
    char shown[VFY_PATH_SIZE];  // path up to the level at hand
    snprintf(shown, sizeof shown, "%s", path);
    int dirfd = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirfd < 0 || !dir_is_safe(dirfd, "/")) {
        if (dirfd >= 0) close(dirfd);
        return -1;
    }
    size_t i = 0;
    const size_t n = strlen(shown);
    for (;;) {
        while (i < n && path[i] == '/') ++i;
        size_t end = i;
        while (end < n && path[end] != '/') ++end;
        size_t next = end;
        while (next < n && path[next] == '/') ++next;
        const bool is_last = next == n;
        // A component: at most NAME_MAX bytes; ".." and a last "." would leave the levels
        // checked so far.
        char name[NAME_SIZE];
        const char cut = shown[end];
        shown[end] = '\0';
        if (end - i >= NAME_SIZE) {
            errno = ENAMETOOLONG;
            say_errno(shown);
            close(dirfd);
            return -1;
        }
        if (strcmp(shown + i, "..") == 0 || (is_last && strcmp(shown + i, ".") == 0) || end == i) {
            say(shown, ": refusing to relocate through \".\" or \"..\"\n");
            close(dirfd);
            return -1;
        }
        memcpy(name, shown + i, end - i + 1);
        if (is_last) {
            if (mkdirat(dirfd, name, 0755) != 0) {
                if (errno == EEXIST)
                    say(shown, ": already exists.\n");
                else
                    say_errno(shown);
                close(dirfd);
                return -1;
            }
            fchmodat(dirfd, name, 0755, 0);  // the parent is safe: nobody swapped it
            memcpy(last, name, sizeof name);
            return dirfd;
        }
        if (strcmp(name, ".") != 0) {
            int fd = open_subdir(dirfd, name, shown);
            close(dirfd);
            if (fd < 0) return -1;
            dirfd = fd;
            if (!dir_is_safe(dirfd, shown)) {
                close(dirfd);
                return -1;
            }
        }
        shown[end] = cut;
        i = next;
    }
}

// Holds back the signals whose handlers remove the temporary link, so that a handler never
// runs between the making of the link and sympath naming it.
class HeldSignals {
   public:
    HeldSignals() {
        sigset_t set;
        sigemptyset(&set);
        for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, sig);
        sigprocmask(SIG_BLOCK, &set, &old_);
    }
    ~HeldSignals() { sigprocmask(SIG_SETMASK, &old_, nullptr); }
    HeldSignals(const HeldSignals &) = delete;
    HeldSignals &operator=(const HeldSignals &) = delete;

   private:
    sigset_t old_;
};

// Makes cand/fssub and the link native_path pointing to it. sympath names the link once it
// exists and stays empty otherwise.
Link make_link(Paths &p, const char *dir) {
    HeldSignals held;
    char last[NAME_SIZE];
    int parent = make_private_dir(dir, last);
    if (parent < 0) return Link::next;
    Link r = Link::made;
    if (symlink(dir, p.native_path) == 0) {
        memcpy(sympath, p.native_path, sizeof sympath);
    } else {
        int e = errno;
        unlinkat(parent, last, AT_REMOVEDIR);
        errno = e;
        // Something appeared at the link site since it was checked: it is not ours to replace.
        if (e == EEXIST) {
            say_exists(p.site);
            r = Link::stop;
        } else {
            say_errno(dir);
            r = Link::next;
        }
    }
    close(parent);
    return r;
}

// Relocates the extraction directory into the candidate directory cand.
Link try_link(Paths &p, const char *cand) {
    char dir[VFY_PATH_SIZE];
    // One '/' between them: a mount on "/" gives "/pkg", not "//pkg".
    const size_t n = strlen(cand);
    const char *sep = (p.fssub[0] == '/' || (n > 0 && cand[n - 1] == '/')) ? "" : "/";
    if (!format_path(dir, cand, sep, p.fssub)) return Link::next;
    struct stat st;
    if (lstat(dir, &st) == 0) {
        say(dir, ": already exists.\n");
        return Link::next;
    }
    if (verbose && !link_confirmed(dir)) return Link::next;
    if (dir[0] != '/') {
        errno = EINVAL;  // the link must not depend on the directory it is used from
        say_errno(dir);
        return Link::next;
    }
    Link r = make_link(p, dir);
    if (r != Link::made) return r;
    // The link goes when the extraction ends: the user is told where the files are.
    say(ifname, ": extracting into ");
    say(dir, " through the temporary link ");
    say(p.native_path, "\n");
    seek_back(p);
    return Link::made;
}

// Walks the mount table from where it stands; the first writable disk or network filesystem
// with room that takes the link wins.
Link walk_mounts(Paths &p) {
    struct ssmnttab *mt;
    while ((mt = ss_getmntent()) != nullptr) {
        // An installation in memory would vanish at the next boot.
        if (mt->mt_read_only || !ss_fstype_keeps_files(mt->mt_fstype) ||
            FsHasMegSpace(mt->mt_path, p.megs, nullptr, nullptr) != 1)
            continue;
        fputs("Trying ", stderr);
        say(mt->mt_path, " ...\n");
        Link r = try_link(p, mt->mt_path);
        if (r != Link::next) {
            ss_endmntent();
            return r;
        }
    }
    ss_endmntent();
    return Link::next;
}

int fail_no_space(const Paths &p) {
    sympath[0] = '\0';
    say(p.fullpath, ": not enough space to extract the archive.\n");
    fprintf(stderr, "Please make at least %dMb available in ", p.megs);
    say(p.fs, ".\nAlternatively, you can make space available on another filesystem where a\n\"");
    say(p.fssub, "\" directory can be created. Ensure that the \"");
    say(p.fssub, "\" directory\ndoes not exist before trying again.\n");
    return -1;
}

int link_outcome(Link r, const Paths &p) {
    if (r == Link::made) return 0;
    return r == Link::stop ? -1 : fail_no_space(p);
}

}  // namespace

int megs_for_size(unsigned long size) {
    unsigned long megs = (size >> MEG_SHIFT) + 1;
    return megs > static_cast<unsigned long>(INT_MAX) ? INT_MAX : static_cast<int>(megs);
}

int verify_fs(int fd, unsigned long size) {
    sympath[0] = '\0';
    const char *item = get_feature("VFYFS=");
    if (!item || !strchr(item, '=')) return 0;
    Paths p;
    p.fd = fd;
    p.pos = lseek(fd, 0, SEEK_CUR);
    if (p.pos < 0) return 0;
    p.megs = megs_for_size(size);

    bool has_fs, has_sub;
    if (!feature_value("VFYFS=", p.fs, sizeof p.fs, &has_fs) ||
        !feature_value("FSSUB=", p.fssub, sizeof p.fssub, &has_sub)) {
        say(ifname, ": the VFYFS or FSSUB value of this archive is too long\n");
        return -1;
    }
    if (strlen(p.fs) < 2 || strlen(p.fssub) < 2) return -1;

    if (p.fs[0] == '/') {
        memcpy(p.path, p.fs, sizeof p.fs);
    } else {
        char cwd[VFY_PATH_SIZE];
        if (!getcwd(cwd, sizeof cwd)) {
            say(ifname, ": cannot get the current directory: ");
            fprintf(stderr, "%s\n", strerror(errno));
            return -1;
        }
        if (!format_path(p.path, cwd, "/", p.fs)) return -1;
    }
    const bool have_tdir = uncompress_dir[0] != '\0';
    strip_one_slash(p.path);
    if (have_tdir) strip_one_slash(uncompress_dir);
    const char *base = have_tdir ? uncompress_dir : p.path;
    if (!format_path(p.fullpath, base, "/", p.fssub) ||
        !format_path(p.native_path, p.fs, "/", p.fssub) ||
        !format_path(p.site, p.path, "/", p.fssub))
        return -1;
    // With -t the extraction directory is elsewhere, but the link site holds what a previous
    // installation left as surely as the extraction directory would.
    if (refuse_existing(p.fullpath) || (have_tdir && refuse_existing(p.site))) return -1;

    // The -t directory and the target accept a filesystem that cannot be examined (it may
    // not exist yet); a mounted filesystem must positively have the room.
    if (have_tdir) {
        if (FsHasMegSpace(uncompress_dir, p.megs, nullptr, nullptr) != 0) {
            Link r = try_link(p, uncompress_dir);
            if (r == Link::next) r = walk_mounts(p);
            return link_outcome(r, p);
        }
    }
    if (FsHasMegSpace(p.path, p.megs, nullptr, nullptr) != 0) {
        seek_back(p);
        return 0;
    }
    if (have_tdir) return fail_no_space(p);
    say(p.fullpath, ": not enough space. Looking for space in other filesystems.\n");
    ss_endmntent();
    return link_outcome(walk_mounts(p), p);
}
