// Archive driver: extraction. Streams the first gzip member (or the raw payload) of an archive
// into the archive's extraction shell command, then runs its post-extraction command with
// every feature item exported to the environment. Owns no state beyond one call.
#include <cctype>
#include <csetjmp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "driver/kelpa.h"
#include "gzip/gzip.h"
#include "support/aplist.h"
#include "support/progress.h"

namespace {

// Seconds the extraction command is given before its pipe is closed.
constexpr unsigned PIPE_CLOSE_PAUSE = 2;

// The extraction command's pipe while the payload is written into it (else -1), and where
// a write into it returns to when the command has stopped reading.
volatile sig_atomic_t command_fd = -1;
sigjmp_buf command_gone;
constexpr int COMMAND_GONE = -2;

// A write into a pipe whose reader has gone raises SIGPIPE. When that pipe is the extraction
// command's, the rest of the payload can go nowhere: the handler leaves the copy (it
// interrupts a write, which is async-signal-safe) so that the command's own status is
// reported rather than the broken pipe. A write to any other descriptor fails with EPIPE and
// is reported as such. A handler (unlike SIG_IGN) is reset to the default by exec, so the
// extraction and post-extraction commands still get the default SIGPIPE behaviour.
void on_sigpipe(int) {
    pollfd pipe_end = {command_fd, 0, 0};
    if (command_fd >= 0 && poll(&pipe_end, 1, 0) == 1 && (pipe_end.revents & POLLERR) != 0)
        siglongjmp(command_gone, 1);
}

void catch_sigpipe() {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_sigpipe;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGPIPE, &sa, nullptr);
}

bool safe_name_char(unsigned char c, bool first) {
    if (c >= 0x80 || isalnum(c)) return true;
    if (c == '-') return !first;
    return strchr("._+,@%=:", c) != nullptr && c != '\0';
}

// Copies the raw payload to ofd; 0 when at least one chunk was copied, 1 when it was empty.
int copy_raw_payload(int fd) {
    char buf[RAW_COPY_SIZE];
    int copied = 0;
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n == 0) break;
        if (n < 0) read_error();  // a short copy must not pass for a complete one
        write_buf(ofd, buf, static_cast<unsigned>(n));
        bytes_out += n;
        progress_tick(static_cast<unsigned long>(bytes_out));
        copied = 1;
    }
    return copied ? 0 : 1;
}

// Decodes the member (or copies the raw payload) into ofd, which is the extraction
// command's pipe when into_command is set: unzip's or copy_raw_payload's result, or
// COMMAND_GONE when the command stopped reading before the end.
int move_payload(int data_compressed, bool into_command) {
    if (sigsetjmp(command_gone, 1) != 0) {
        command_fd = -1;
        return COMMAND_GONE;
    }
    command_fd = into_command ? ofd : -1;
    int rtn = data_compressed ? unzip(ifd, ofd) : copy_raw_payload(ifd);
    command_fd = -1;
    return rtn;
}

// Reports a failed extraction command; true when the status from pclose means failure.
bool command_failed(const char *program, const char *pcmd, int status) {
    if (status == -1) {
        fprintf(stderr, "%s: extraction command could not be waited for: %s\n", program, pcmd);
        return true;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return false;
    if (WIFSIGNALED(status))
        fprintf(stderr, "%s: extraction command killed by signal %d: %s\n", program,
                WTERMSIG(status), pcmd);
    else
        fprintf(stderr, "%s: extraction command failed with status %d: %s\n", program,
                WEXITSTATUS(status), pcmd);
    return true;
}

// The temporary link of the space verification must not outlive the process: a fatal error
// (which exits through abort_gzip) or an interrupt would otherwise leave it where the
// extraction directory belongs, and the next run would stop at "extraction directory exists!".
void remove_temporary_link() {
    if (sympath[0] == '\0') return;
    unlink(sympath);
    sympath[0] = '\0';
}

const int kLinkSignals[] = {SIGINT, SIGTERM, SIGHUP};

void on_link_signal(int sig) {
    if (sympath[0] != '\0') unlink(sympath);  // async-signal-safe; sympath no longer changes
    signal(sig, SIG_DFL);
    raise(sig);  // delivered on return: the process ends as the signal would have ended it
}

// Called once a link is in place; the handlers stay for the rest of the process, which ends
// with the extraction.
void guard_temporary_link() {
    static bool at_exit_registered = false;
    if (!at_exit_registered) at_exit_registered = atexit(remove_temporary_link) == 0;
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_link_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : kLinkSignals) sigaddset(&sa.sa_mask, sig);
    sa.sa_flags = SA_RESTART;
    for (int sig : kLinkSignals) {
        struct sigaction old;
        // A signal ignored by whoever started the archive stays ignored (nohup).
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        sigaction(sig, &sa, nullptr);
    }
}

// Length of the payload: from the first payload byte to the end of the file. The input
// position is kept.
unsigned long payload_size(int fd) {
    off_t pos = lseek(fd, 0, SEEK_CUR);
    off_t end = lseek(fd, 0, SEEK_END);
    if (pos < 0 || end < 0 || lseek(fd, pos, SEEK_SET) != pos) read_error();
    return end > preamble_end ? static_cast<unsigned long>(end - preamble_end) : 0;
}

int post_extraction(const char *program) {
    if (dont_run_program || run_program[0] == '\0') return 0;
    char *cmd = replace_program_parms(run_program);
    if (!cmd) {
        fprintf(stderr, "%s: post-extraction command too long after expansion\n", program);
        return 1;
    }
    export_features();
    int rtn;
    if (!verbose) {
        rtn = system(cmd);
        if ((rtn & 0xff00) != 0) {
            fprintf(stderr, "\n%s: final processing of %s failed\n", program, ofname);
            fprintf(stderr, "\nCommand: %s\n", cmd);
        }
    } else {
        rtn = confirm_and_run(cmd, stdin, isatty(fileno(stdin)));
    }
    free(cmd);
    return rtn;
}

}  // namespace

int make_safe_name(char *name) {
    to_basename(name);
    if (name[0] == '\0' || strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return -1;
    int replaced = 0;
    for (char *c = name; *c; ++c) {
        if (!safe_name_char(static_cast<unsigned char>(*c), c == name)) {
            *c = '_';
            ++replaced;
        }
    }
    return replaced;
}

void export_features() {
    APLIST items = ap_strsplit(features, ",");
    if (!items) return;
    for (int i = 0; items[i]; ++i) {
        char *item = static_cast<char *>(items[i]);
        strtrim(item);
        // An empty item or one without a name cannot become a variable.
        if (item[0] == '\0' || item[0] == '=') continue;
        char *env;
        if (strchr(item, '=')) {
            env = strdup(item);
        } else {
            size_t n = strlen(item);
            env = static_cast<char *>(malloc(n + 2));
            if (env) snprintf(env, n + 2, "%s=", item);
        }
        if (env) putenv(env);  // the environment keeps the copy
    }
    ap_destroy(items);
}

int confirm_and_run(const char *cmd, FILE *in, int in_is_tty) {
    printf("This archive requires more processing using the following command:\n");
    // The user must see every byte of what they are asked to run.
    fputs("    ", stdout);
    print_visible(stdout, cmd);
    putchar('\n');
    if (!in_is_tty) {
        printf("but stdin is not a terminal. So forget it.\n");
        return 0;
    }
    printf("OK to run the command? ");
    for (;;) {
        fflush(stdout);
        char buf[CONFIRM_LINE_SIZE];
        // The end of input is taken as a refusal.
        if (!fgets(buf, static_cast<int>(CONFIRM_LINE_SIZE - 1), in)) return 0;
        int c = toupper(static_cast<unsigned char>(buf[0]));
        if (c == 'N') return 0;
        if (c == 'Y') {
            fflush(stdout);
            return system(cmd);
        }
        printf("\n? (y/n): ");
    }
}

int do_decompress(const char *program) {
    sympath[0] = '\0';
    int fd = find_preamble(program);
    if (fd < 0) {
        fprintf(stderr, "%s: unable to find preamble magic value\n", program);
        return -1;
    }
    ifd = fd;
    snprintf(ifname, sizeof ifname, "%s", program);
    ofd = fileno(stdout);
    strcpy(ofname, "stdout");

    int data_compressed;
    if (get_feature("NOCOMPR")) {
        data_compressed = 0;
        const char *name = get_feature("NAME=");
        const char *eq = name ? strchr(name, '=') : nullptr;
        if (eq) snprintf(ofname, sizeof ofname, "%s", eq + 1);
    } else {
        data_compressed = 1;
        method = get_method(ifd);
        if (method == -1) {
            // Nothing is checked, linked or started for a member that cannot be read.
            fprintf(stderr, "%s: unknown compression method\n", program);
            close(fd);
            return -1;
        }
    }

    int rtn = 0;
    unsigned long size = 0;  // of the decoded payload; unknown with -x
    FILE *p = nullptr;
    char *pcmd = nullptr;
    if (!extract_only) {
        // The output name comes from the file and reaches a shell command line through "%o".
        char stored[NAME_BUF_SIZE];
        memcpy(stored, ofname, sizeof stored);
        int replaced = make_safe_name(ofname);
        if (replaced < 0) {
            fprintf(stderr, "%s: refusing to extract under the stored name \"%s\"\n", program,
                    stored);
            close(fd);
            return -1;
        }
        if (replaced > 0)
            fprintf(stderr,
                    "%s: stored name has characters unsafe for the shell; extracting as %s\n",
                    program, ofname);

        // The whole member is decoded and checked before anything is linked or started, so a
        // damaged archive changes nothing on disk. The decoded size it gives is exact, which
        // the trailer's 32-bit ISIZE is not for a payload of 4 GiB or more.
        size = payload_size(fd);
        if (data_compressed) {
            progress_begin("Checking", ofname, 0, size);
            size = static_cast<unsigned long>(check_member(ifd));
            progress_end();
        }
        if (verify_fs(fd, size) != 0) {
            close(fd);
            return -1;
        }
        if (sympath[0] != '\0') guard_temporary_link();
    }

    catch_sigpipe();
    if (extract_only) {
        to_stdout = 1;
    } else {
        if (pipe_program[0] == '\0') strcpy(pipe_program, DEFAULT_PIPE_PROGRAM);
        pcmd = replace_program_parms(pipe_program);
        if (!pcmd) {
            fprintf(stderr, "%s: extraction command too long after expansion\n", program);
            rtn = -1;
            goto finish;
        }
        fflush(nullptr);  // nothing buffered may be written twice by the child
        p = popen(pcmd, "w");
        if (!p) {
            perror(pcmd);
            free(pcmd);
            rtn = -1;
            goto finish;
        }
        to_stdout = 0;
        ofd = fileno(p);
    }

    if (comment[0] != '\0') {
        fprintf(stderr, "\n%s\n\n", comment);
        fprintf(stderr, "Please wait...\n");
    }
    if (verbose || extract_only) fprintf(stderr, "Deflating %s...\n", ofname);

    // With -x the data may be going to the terminal that would show the line.
    if (!extract_only || !isatty(fileno(stdout)))
        progress_begin("Extracting", ofname, static_cast<unsigned long>(bytes_out), size);
    rtn = move_payload(data_compressed, p != nullptr);
    progress_end();

    if (p)
        fflush(p);
    else
        fflush(nullptr);
    if (rtn != COMMAND_GONE) sleep(PIPE_CLOSE_PAUSE);

    if (!extract_only) {
        int status = pclose(p);  // closes the pipe, so the command sees the end of its input
        if (command_failed(program, pcmd, status)) {
            rtn = 1;
        } else if (rtn == COMMAND_GONE) {
            fprintf(stderr, "%s: extraction command ended before reading all of its input: %s\n",
                    program, pcmd);
            rtn = 1;
        }
        free(pcmd);
        if (rtn == 0) rtn = post_extraction(program);
    }

finish:
    close(fd);
    remove_temporary_link();
    return rtn;
}
