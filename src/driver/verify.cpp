// Archive driver: space verification and relocation. Before extraction, checks that the
// target filesystem (VFYFS) has room for the uncompressed payload and, when it has not,
// relocates the extraction directory (FSSUB) to the -t directory or another writable
// mounted filesystem through a temporary symbolic link. Owns sympath, the link's name.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "driver/kelpa.h"
#include "gzip/gzip.h"
#include "support/fsinfo.h"
#include "support/ssmnttab.h"

char sympath[VFY_PATH_SIZE];

namespace {

constexpr int MEG_SHIFT = 20;

// Working values of one verification.
struct Paths {
    char fs[VFY_FS_SIZE];
    char fssub[VFY_FSSUB_SIZE];
    char path[VFY_PATH_SIZE];
    char fullpath[VFY_PATH_SIZE];
    char native_path[VFY_PATH_SIZE];
    int fd;
    long pos;
    int megs;
};

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

// snprintf into a path buffer; false when the result does not fit.
template <size_t N>
bool format_path(char (&dst)[N], const char *a, const char *sep, const char *b) {
    int n = snprintf(dst, N, "%s%s%s", a, sep, b);
    return n >= 0 && static_cast<size_t>(n) < N;
}

void strip_one_slash(char *s) {
    size_t n = strlen(s);
    if (n > 0 && s[n - 1] == '/') s[n - 1] = '\0';
}

void seek_back(const Paths &p) {
    if (lseek(p.fd, p.pos, SEEK_SET) != p.pos) read_error();
}

// Asks before a link is made; an answer beginning with N or n declines, anything else
// (the empty line and the end of input included) accepts.
bool link_confirmed() {
    printf("Creating temporary link to %s\n", sympath);
    printf("OK to create temporary link? [y]: ");
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

// Relocates the extraction directory into the candidate held in sympath: makes
// candidate/fssub and the link native_path pointing to it. true when the link is in place.
bool try_link(Paths &p) {
    char cand[VFY_PATH_SIZE];
    memcpy(cand, sympath, sizeof cand);
    const char *sep = (p.fssub[0] == '/') ? "" : "/";
    if (!format_path(sympath, cand, sep, p.fssub)) {
        fprintf(stderr, "%s/%s: path too long\n", cand, p.fssub);
        return false;
    }
    if (access(sympath, F_OK) == 0) {
        fprintf(stderr, "%s: already exists.\n", sympath);
        return false;
    }
    if (verbose && !link_confirmed()) return false;
    if (sympath[0] != '/') {
        errno = EINVAL;  // the link must not depend on the directory it is used from
        perror(sympath);
        return false;
    }
    if (access(sympath, X_OK) != 0 && mkdirp(sympath, 0755) != 0) {
        perror(sympath);
        return false;
    }
    remove_tree(p.native_path);
    if (symlink(sympath, p.native_path) != 0) {
        perror(sympath);
        rmdir(sympath);
        return false;
    }
    // The link goes when the extraction ends: the user is told where the files are.
    fprintf(stderr, "%s: extracting into %s through the temporary link %s\n", ifname, sympath,
            p.native_path);
    memcpy(sympath, p.native_path, sizeof sympath);
    seek_back(p);
    return true;
}

// Walks the mount table from where it stands; the first writable disk or network filesystem
// with room that takes the link wins.
bool walk_mounts(Paths &p) {
    struct ssmnttab *mt;
    while ((mt = ss_getmntent()) != nullptr) {
        // An installation in memory would vanish at the next boot.
        if (mt->mt_read_only || !ss_fstype_keeps_files(mt->mt_fstype) ||
            FsHasMegSpace(mt->mt_path, p.megs, nullptr, nullptr) != 1)
            continue;
        fprintf(stderr, "Trying %s ...\n", mt->mt_path);
        memcpy(sympath, mt->mt_path, MT_PATH_SIZE);
        if (try_link(p)) {
            ss_endmntent();
            return true;
        }
    }
    ss_endmntent();
    return false;
}

int fail_no_space(const Paths &p) {
    sympath[0] = '\0';
    fprintf(stderr, "%s: not enough space to extract the archive.\n", p.fullpath);
    fprintf(stderr, "Please make at least %dMb available in %s.\n", p.megs, p.fs);
    fprintf(stderr,
            "Alternatively, you can make space available on another filesystem where a\n"
            "\"%s\" directory can be created. Ensure that the \"%s\" directory\n"
            "does not exist before trying again.\n",
            p.fssub, p.fssub);
    return -1;
}

// Removes the entry name of directory dirfd, descending into directories through
// descriptors opened without following links, so nothing outside the tree is touched.
int remove_at(int dirfd, const char *name, int depth) {
    struct stat st;
    if (fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT ? 0 : -1;
    if (!S_ISDIR(st.st_mode)) return unlinkat(dirfd, name, 0);
    if (depth >= REMOVE_TREE_MAX_DEPTH) {
        errno = ELOOP;
        return -1;
    }
    int fd = openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    DIR *d = fdopendir(fd);
    if (!d) {
        close(fd);
        return -1;
    }
    int rc = 0;
    struct dirent *de;
    while ((de = readdir(d)) != nullptr) {
        if (strcmp(de->d_name, ".") == 0 || strcmp(de->d_name, "..") == 0) continue;
        if (remove_at(fd, de->d_name, depth + 1) != 0) rc = -1;
    }
    closedir(d);
    if (rc != 0) return -1;
    return unlinkat(dirfd, name, AT_REMOVEDIR);
}

}  // namespace

int remove_tree(const char *path) {
    if (remove_at(AT_FDCWD, path, 0) != 0) {
        perror(path);
        return -1;
    }
    return 0;
}

int mkdirp(const char *path, int mode) {
    char prefix[VFY_PATH_SIZE];
    size_t len = strlen(path);
    if (len >= sizeof prefix) {
        errno = ENAMETOOLONG;
        return -1;
    }
    for (size_t i = 1; i <= len; ++i) {
        if (i < len && path[i] != '/') continue;
        memcpy(prefix, path, i);
        prefix[i] = '\0';
        if (access(prefix, X_OK) == 0) continue;
        if (mkdir(prefix, static_cast<mode_t>(mode)) != 0) return -1;
        // The mode must not depend on the umask of whoever runs the archive.
        chmod(prefix, static_cast<mode_t>(mode));
    }
    return 0;
}

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
        fprintf(stderr, "%s: the VFYFS or FSSUB value of this archive is too long\n", ifname);
        return -1;
    }
    if (strlen(p.fs) < 2 || strlen(p.fssub) < 2) return -1;

    if (p.fs[0] == '/') {
        memcpy(p.path, p.fs, sizeof p.fs);
    } else {
        char cwd[VFY_PATH_SIZE];
        if (!getcwd(cwd, sizeof cwd)) {
            fprintf(stderr, "%s: ", ifname);
            perror("cannot get the current directory");
            return -1;
        }
        if (!format_path(p.path, cwd, "/", p.fs)) {
            fprintf(stderr, "%s/%s: path too long\n", cwd, p.fs);
            return -1;
        }
    }
    const bool have_tdir = uncompress_dir[0] != '\0';
    char *base = have_tdir ? uncompress_dir : p.path;
    strip_one_slash(base);
    if (!format_path(p.fullpath, base, "/", p.fssub) ||
        !format_path(p.native_path, p.fs, "/", p.fssub)) {
        fprintf(stderr, "%s/%s: path too long\n", base, p.fssub);
        return -1;
    }
    if (access(p.fullpath, F_OK) == 0) {
        fprintf(stderr,
                "%s: extraction directory exists!\nPlease remove it first then try again.\n",
                p.fullpath);
        return -1;
    }

    // The -t directory and the target accept a filesystem that cannot be examined (it may
    // not exist yet); a mounted filesystem must positively have the room.
    if (have_tdir) {
        if (FsHasMegSpace(uncompress_dir, p.megs, nullptr, nullptr) != 0) {
            if (strlen(uncompress_dir) >= sizeof sympath) return fail_no_space(p);
            strcpy(sympath, uncompress_dir);
            if (try_link(p)) return 0;
            return walk_mounts(p) ? 0 : fail_no_space(p);
        }
    }
    if (FsHasMegSpace(p.path, p.megs, nullptr, nullptr) != 0) {
        sympath[0] = '\0';
        seek_back(p);
        return 0;
    }
    if (have_tdir) return fail_no_space(p);
    fprintf(stderr, "%s: not enough space. Looking for space in other filesystems.\n",
            p.fullpath);
    ss_endmntent();
    return walk_mounts(p) ? 0 : fail_no_space(p);
}
