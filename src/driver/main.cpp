// Archive driver: start-up, command line and dispatch. One executable is the builder when its
// own file carries no preamble and the extractor when it does (or after -u).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "driver/kelpa.h"
#include "gzip/gzip.h"

namespace {

const char kOptions[] = "h?ucvxnlap:C:r:f:V:S:t:O:F:";

// getopt's message for an unknown letter or a missing argument, in one wording whatever C
// library kelpa is linked with (its own messages are off). Nothing for -? itself.
void option_error(const char *argv0) {
    if (optopt == 0 || optopt == '?') return;
    const char *at = optopt != ':' ? strchr(kOptions, optopt) : nullptr;
    if (at && at[1] == ':') {
        fprintf(stderr, "%s: option requires an argument -- '%c'\n", argv0, optopt);
    } else if (!at) {
        fprintf(stderr, "%s: invalid option -- '%c'\n", argv0, optopt);
    }
}

void Usage(int is_compressed) {
    fprintf(stderr, "Version: %s\n", scid);
    if (!is_compressed) {
        fprintf(stderr,
                "Usage: %s [-huclva] [-p kelpa_path] [-C 'comment'] [-f 'extract_shell_cmds'] "
                "[-r 'run_program_after_extraction'] [-V 'filesystem'] [-S 'fssub'] "
                "[-F feature_sting] <files...>\n",
                progname);
    } else {
        fputc('\n', stderr);
        print_visible(stderr, comment);
        fputs("\n\n", stderr);
        fprintf(stderr, "Usage: %s [-hclnvtx]\n", progname);
        fprintf(stderr,
                "    -h: show this help\n"
                "    -u: use as utility to decompress archive specified on command-line\n"
                "    -l: list compression statistics\n"
                "    -c: extract to stdout instead of archive name\n"
                "    -x: extract only. do not deflate the archive\n"
                "    -n: do not run install command after deflating archive\n"
                "    -t: temp path for decompression if archive allows\n"
                "    -v: verbose output\n");
    }
}

// Copies an option argument into a preamble-sized string; a longer one is refused, since a
// cut command or comment would be stored in every archive built from it.
void set_option_string(char *dst, int opt, const char *arg) {
    size_t n = strlen(arg);
    if (n >= PREAMBLE_STR_SIZE) {
        fprintf(stderr, "%s: the argument of -%c is longer than %zu characters\n", progname, opt,
                PREAMBLE_STR_SIZE - 1);
        exit(1);
    }
    memcpy(dst, arg, n + 1);
}

// Refuses items (an option's item of at most ITEM_BUF_SIZE - 1 characters, which for -F may
// be several separated by commas) that an extractor finding keys anywhere would read as a
// known key they are not: archives are read by extractors of both kinds.
void refuse_two_way_items(const char *items) {
    for (const char *item = items;;) {
        const char *comma = strchr(item, ',');
        const size_t len = comma ? static_cast<size_t>(comma - item) : strlen(item);
        if (const char *key = key_read_two_ways(item, len)) {
            char shown[ITEM_BUF_SIZE];
            snprintf(shown, sizeof shown, "%.*s", static_cast<int>(len), item);
            fprintf(stderr, "%s: feature item ", progname);
            print_visible(stderr, shown);
            fprintf(stderr,
                    " would be read as \"%s\" by extractors that find keys anywhere in the "
                    "list\n",
                    key);
            exit(1);
        }
        if (!comma) return;
        item = comma + 1;
    }
}

// Adds "key" + arg as a feature item, refusing items that do not fit or read two ways.
void add_option_feature(const char *key, const char *arg) {
    char buf[ITEM_BUF_SIZE];
    int n = snprintf(buf, sizeof buf, "%s%s", key, arg);
    const bool fits = n >= 0 && static_cast<size_t>(n) < sizeof buf;
    if (fits) refuse_two_way_items(buf);
    if (!fits || add_feature(buf) != 0) {
        fprintf(stderr, "%s: feature item %s", progname, key);
        print_visible(stderr, arg);
        fprintf(stderr, " does not fit into the feature list\n");
        exit(1);
    }
}

}  // namespace

int main(int argc, char **argv) {
    memset(run_program, 0, sizeof run_program);
    memset(pipe_program, 0, sizeof pipe_program);
    memset(comment, 0, sizeof comment);
    memset(features, 0, sizeof features);
    memset(kelpa_path, 0, sizeof kelpa_path);
    memset(uncompress_dir, 0, sizeof uncompress_dir);
    progname = argv[0];

    // The mode comes from the program's own file as the kernel started it, never from a
    // file that merely has its name. A builder whose own file cannot be found stays silent
    // here; building reports it.
    int is_compressed = 0;
    if (int fd = open_own_file(); fd >= 0 && (fd = read_preamble(fd, argv[0])) >= 0) {
        close(fd);
        is_compressed = 1;
    }

    int opt_u = 0;
    int c;
    opterr = 0;
    while ((c = getopt(argc, argv, kOptions)) != -1) {
        switch (c) {
            case 'u':
                opt_u = 1;
                is_compressed = 1;
                break;
            case 'c':
                to_stdout = 1;
                break;
            case 'v':
                verbose = 1;
                break;
            case 'x':
                extract_only = 1;
                break;
            case 'n':
                dont_run_program = 1;
                break;
            case 'l':
                list = 1;
                break;
            case 'a':
                if (!is_compressed) add_option_feature("NOCOMPR", "");
                break;
            case 'p':
                set_option_string(kelpa_path, c, optarg);
                break;
            case 'C':
                set_option_string(comment, c, optarg);
                break;
            case 'r':
                set_option_string(run_program, c, optarg);
                break;
            case 'f':
                set_option_string(pipe_program, c, optarg);
                break;
            case 'V':
                if (!is_compressed) add_option_feature("VFYFS=", optarg);
                break;
            case 'S':
                if (!is_compressed) add_option_feature("FSSUB=", optarg);
                break;
            case 'O':
                if (!is_compressed) add_option_feature(F_OEM, optarg);
                break;
            case 'F':
                if (!is_compressed) add_option_feature("", optarg);
                break;
            case 't':
                if (is_compressed) set_option_string(uncompress_dir, c, optarg);
                break;
            default:  // -h, -?, an unknown letter or a missing argument
                if (c == '?') option_error(argv[0]);
                Usage(is_compressed);
                exit(1);
        }
    }

    if (comment[0] == '\0') strcpy(comment, DEFAULT_COMMENT);
    // An empty kelpa_path (no -p) makes the builder copy the program's own file.

    int nops = argc - optind;
    char **ops = argv + optind;
    if (list) {
        if (is_compressed || nops == 0)
            do_list(argv[0]);
        else
            for (int i = 0; i < nops; ++i) do_list(ops[i]);
        exit(exit_code);
    }
    if (!is_compressed) {
        if (nops == 0) {
            Usage(0);
            fprintf(stderr, "%s: what files do you want to compress?\n", argv[0]);
            exit(1);
        }
        exit(build_archive(nops, ops));
    }
    // After -u the first operand is the archive; without one, the program's own file.
    const char *archive = opt_u && nops > 0 ? ops[0] : argv[0];
    exit(do_decompress(archive) == 0 ? 0 : 1);
}
