// Archive driver: extraction. Streams the first gzip member (or the raw payload) of an archive
// into the archive's extraction shell command, then runs its post-extraction command with
// every feature item exported to the environment. Owns no state beyond one call.
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "driver/kelpa.h"
#include "gzip/gzip.h"
#include "support/aplist.h"
#include "support/progress.h"

namespace {

// Replaces the process with /bin/sh -c cmd (execv: execl's argument walk costs the stub its
// own copy of the same work).
void run_shell(const char *cmd) {
    const char *argv[] = {"sh", "-c", cmd, nullptr};
    execv("/bin/sh", const_cast<char *const *>(argv));
}

// Seconds the extraction command is given before its pipe is closed.
constexpr unsigned PIPE_CLOSE_PAUSE = 2;

// How often the wait for the extraction command to empty its pipe looks again.
constexpr int DRAIN_POLL_MS = 10;

// A write into a pipe whose reader has gone raises SIGPIPE. The extraction command may stop
// reading before the end (tar leaves its record padding): the write must fail with EPIPE so
// that the stream layer can tell what was never read. A handler that does nothing, unlike
// SIG_IGN, is reset to the default by exec, so the commands still get the default behaviour.
void on_sigpipe(int) {}

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
// A raw payload read through inbuf's fills, which the input guard and the signature check
// see: a read error ends the process.
int fill_raw(int eof_ok) {
    const int c = fill_inbuf(eof_ok);
    if (c == -1 && errno != 0) read_error();
    return c;
}

// The raw payload copied to the output: through inbuf's fills after a signature check read
// them, else in chunks of its own.
int copy_raw_payload(int fd, bool guarded) {
    char buf[RAW_COPY_SIZE];
    int copied = 0;
    while (guarded && fill_raw(1) != -1) {
        write_output(inbuf, insize);
        bytes_out += insize;
        progress_tick(static_cast<unsigned long>(bytes_out));
        copied = 1;
    }
    while (!guarded) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n == 0) break;
        if (n < 0) read_error();  // a short copy must not pass for a complete one
        write_output(reinterpret_cast<uch *>(buf), static_cast<unsigned>(n));
        bytes_out += n;
        progress_tick(static_cast<unsigned long>(bytes_out));
        copied = 1;
    }
    return copied ? 0 : 1;
}

// Waits until the command has read every byte of its pipe or no reader is left; what is
// left unread then is counted by pipe_output.
void wait_for_reader(int fd) {
    for (;;) {
        int unread = 0;
        if (ioctl(fd, FIONREAD, &unread) != 0) {
            pipe_output.lost_data = true;  // cannot tell: not taken as read
            return;
        }
        if (unread == 0) return;
        pollfd pfd = {fd, 0, 0};
        if (poll(&pfd, 1, DRAIN_POLL_MS) == 1 && (pfd.revents & POLLERR) != 0) {
            if (ioctl(fd, FIONREAD, &unread) != 0) unread = -1;
            if (unread < 0) pipe_output.lost_data = true;
            pipe_output_unread(static_cast<unsigned long>(unread < 0 ? 0 : unread));
            return;
        }
    }
}

// Starts /bin/sh -c cmd reading a new pipe, whose write end it returns (close-on-exec, so
// no later command holds it open), with the child in *pid; -1 with errno set on failure.
int start_command_writer(const char *cmd, pid_t *pid) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    fflush(nullptr);  // nothing buffered may be written twice by the child
    const pid_t child = fork();
    if (child == 0) {
        // dup2 clears close-on-exec on the copy; a read end already at 0 keeps the flag.
        if (fds[0] == STDIN_FILENO ? fcntl(STDIN_FILENO, F_SETFD, 0) == 0
                                   : dup2(fds[0], STDIN_FILENO) == STDIN_FILENO)
            run_shell(cmd);
        _exit(127);
    }
    const int saved = errno;
    close(fds[0]);
    if (child < 0) {
        close(fds[1]);
        errno = saved;
        return -1;
    }
    *pid = child;
    return fds[1];
}

// Closes the command's pipe, so that it sees the end of its input, and returns its wait
// status (-1 when it cannot be waited for).
int finish_command_writer(int fd, pid_t pid) {
    close(fd);
    int status;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return status;
}

// Reports a failed extraction command; true when its wait status means failure.
bool command_failed(const char *program, const char *pcmd, int status) {
    if (status == -1) {
        fprintf(stderr, "%s: extraction command could not be waited for: ", program);
    } else if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        return false;
    } else if (WIFSIGNALED(status)) {
        fprintf(stderr, "%s: extraction command killed by signal %d: ", program, WTERMSIG(status));
    } else {
        fprintf(stderr, "%s: extraction command failed with status %d: ", program,
                WEXITSTATUS(status));
    }
    print_visible(stderr, pcmd);
    fputc('\n', stderr);
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

// Set before the space verification can make a link, so that no signal finds one unguarded;
// the handlers stay for the rest of the process, which ends with the extraction.
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

// The post-extraction command's process while kelpa waits for it, and the first signal of
// kLinkSignals that came meanwhile.
volatile sig_atomic_t command_pid = 0;
volatile sig_atomic_t pending_signal = 0;

// A signal that another process sent to kelpa is passed on to the command, whose work it is
// meant to stop; one from the terminal (si_code SI_KERNEL) reached the whole process group
// already. Either way kelpa ends as the signal would, once the command has ended.
void on_command_signal(int sig, siginfo_t *info, void *) {
    if (pending_signal == 0) pending_signal = sig;
    if (command_pid > 0 && (info->si_code == SI_USER || info->si_code == SI_QUEUE))
        kill(static_cast<pid_t>(command_pid), sig);
}

// Runs cmd through /bin/sh -c and returns its wait status, as system() does, but passes
// SIGINT, SIGTERM and SIGHUP on to it (see on_command_signal) instead of ignoring them, then
// removes the temporary link and ends by the signal.
int run_command(const char *cmd) {
    constexpr int N = sizeof kLinkSignals / sizeof kLinkSignals[0];
    fflush(nullptr);  // nothing buffered may be written twice by the child
    struct sigaction sa, old[N];
    memset(&sa, 0, sizeof sa);
    sa.sa_sigaction = on_command_signal;
    sa.sa_flags = SA_SIGINFO | SA_RESTART;
    sigset_t block, saved_mask;
    sigemptyset(&block);
    for (int sig : kLinkSignals) sigaddset(&block, sig);
    sa.sa_mask = block;
    // Blocked until the pid is known, so that no signal falls between the fork and it.
    sigprocmask(SIG_BLOCK, &block, &saved_mask);
    bool caught[N];
    for (int i = 0; i < N; ++i) {
        caught[i] =
            sigaction(kLinkSignals[i], nullptr, &old[i]) == 0 && old[i].sa_handler != SIG_IGN;
        if (caught[i]) sigaction(kLinkSignals[i], &sa, nullptr);
    }
    pending_signal = 0;
    const pid_t pid = fork();
    if (pid == 0) {
        for (int i = 0; i < N; ++i)
            if (caught[i]) signal(kLinkSignals[i], SIG_DFL);
        sigprocmask(SIG_SETMASK, &saved_mask, nullptr);
        run_shell(cmd);
        _exit(127);
    }
    command_pid = pid > 0 ? pid : 0;
    sigprocmask(SIG_SETMASK, &saved_mask, nullptr);
    int status = -1;
    if (pid > 0)
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    command_pid = 0;
    for (int i = 0; i < N; ++i)
        if (caught[i]) sigaction(kLinkSignals[i], &old[i], nullptr);
    if (const int sig = pending_signal; sig != 0) {
        remove_temporary_link();
        signal(sig, SIG_DFL);
        raise(sig);  // delivered at once: the signal is not blocked here
    }
    return status;
}

// Length of the payload: from the first payload byte to the end of the file. The input
// position is kept.
unsigned long payload_size(int fd) {
    off_t pos = lseek(fd, 0, SEEK_CUR);
    off_t end = lseek(fd, 0, SEEK_END);
    if (pos < 0 || end < 0 || lseek(fd, pos, SEEK_SET) != pos) read_error();
    return end > preamble_end ? static_cast<unsigned long>(end - preamble_end) : 0;
}

// Only the first member is extracted. More members (an archive of several inputs), or bytes
// that are no member at all (a damaged or altered download), are said to be left out.
void warn_after_member(const char *program, int fd, long member_end) {
    struct stat st;
    if (fstat(fd, &st) != 0) read_error();
    const long end = static_cast<long>(st.st_size);
    if (end <= member_end) return;
    uch magic[2] = {0, 0};
    const bool member =
        pread(fd, magic, sizeof magic, member_end) == 2 && magic[0] == ID1 && magic[1] == ID2;
    fprintf(stderr, "%s: warning: %ld bytes after the first member are not extracted%s\n", program,
            end - member_end, member ? "" : " (they are not a gzip member)");
}

int post_extraction(const char *program) {
    if (dont_run_program || run_program[0] == '\0') return 0;
    char *cmd = replace_program_parms(run_program);
    if (!cmd) return 1;  // refused, with its own message
    export_features();
    int rtn;
    if (!verbose) {
        rtn = run_command(cmd);
        if ((rtn & 0xff00) != 0) {
            fprintf(stderr, "\n%s: final processing of ", program);
            print_visible(stderr, ofname);
            fputs(" failed\n\nCommand: ", stderr);
            print_text(stderr, cmd, 0);
            fputc('\n', stderr);
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
    print_text(stdout, cmd, 4);
    putchar('\n');
    if (!in_is_tty) {
        printf("but stdin is not a terminal. So forget it.\n");
        return 0;
    }
    printf("OK to run the command? ");
    for (;;) {
        fflush(stdout);
        // One line is one answer, however long: its first character decides.
        char buf[CONFIRM_LINE_SIZE];
        if (!fgets(buf, static_cast<int>(CONFIRM_LINE_SIZE - 1), in)) return 0;  // end: refusal
        if (!strchr(buf, '\n')) {
            int c;
            while ((c = getc(in)) != EOF && c != '\n') {
            }
        }
        int c = toupper(static_cast<unsigned char>(buf[0]));
        if (c == 'N') return 0;
        if (c == 'Y') return run_command(cmd);
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
        clear_bufs();  // the header is read from empty buffers, as the check item needs
        member_settings = {to_stdout, list, verbose};
        method = get_method(ifd);
        if (method == -1) {
            // Nothing is checked, linked or started for a member that cannot be read.
            fprintf(stderr, "%s: unknown compression method\n", program);
            close(fd);
            return -1;
        }
    }
    // Nothing of the preamble or the header is acted on before it is known to be intact, and,
    // with a key, signed by it.
    uint8_t key[32];
    const int keyed = load_verify_key(key);
    if (check_preamble(program, data_compressed != 0) < 0 || keyed < 0 ||
        (keyed > 0 && sig_check_begin(program, fd, key) < 0)) {
        close(fd);
        return -1;
    }
    if (keyed > 0 && data_compressed) {
        // get_method read the header from empty buffers: inbuf[0..inptr) when it lay in the
        // first fill, as every header the builder writes does.
        if (bytes_in != static_cast<long>(insize)) {
            fprintf(stderr, "%s: the member header is too long to be checked\n", program);
            close(fd);
            return -1;
        }
        sig_check_header(inbuf, inptr);
    }

    int rtn = 0;
    unsigned long size = 0;  // of the decoded payload; unknown with -x
    pid_t command = 0;       // the extraction command, once started
    char *pcmd = nullptr;
    if (!extract_only) {
        // The output name comes from the file and reaches a shell command line through "%o".
        char stored[NAME_BUF_SIZE];
        memcpy(stored, ofname, sizeof stored);
        int replaced = make_safe_name(ofname);
        if (replaced < 0) {
            fprintf(stderr, "%s: refusing to extract under the stored name \"", program);
            print_visible(stderr, stored);
            fputs("\"\n", stderr);
            close(fd);
            return -1;
        }
        if (replaced > 0)
            fprintf(stderr,
                    "%s: stored name has characters unsafe for the shell; extracting as %s\n",
                    program, ofname);
    }
    // The integrity pass: the whole member is decoded and checked before anything is linked
    // or started, so a damaged archive changes nothing on disk. The decoded size it gives is
    // exact, which the trailer's 32-bit ISIZE is not for a payload of 4 GiB or more. The check
    // records what it read, and the extraction proves it reads the same bytes. With a key the
    // signature check hashes what it reads, and the pass runs for -x and raw payloads too.
    if (!extract_only || keyed > 0) {
        size = payload_size(fd);
        if (data_compressed || keyed > 0) {
            progress_begin("Checking", ofname, 0, size);
            input_guard_record(size);
        }
        if (data_compressed) {
            long member_end = 0;
            size = static_cast<unsigned long>(check_member(ifd, &member_end));
            input_guard_verify();
            progress_end();
            if (!extract_only) warn_after_member(program, fd, member_end);
        } else if (keyed > 0) {
            clear_bufs();
            while (fill_raw(1) != -1) progress_tick(static_cast<unsigned long>(bytes_in));
            input_guard_verify();
            progress_end();
            if (lseek(fd, preamble_end, SEEK_SET) != preamble_end) read_error();
            clear_bufs();
        }
        if (keyed > 0 && sig_check_end(program, fd, key) < 0) {
            close(fd);
            return -1;
        }
    }
    if (!extract_only) {
        guard_temporary_link();
        if (verify_fs(fd, size) != 0) {
            close(fd);
            return -1;
        }
    }

    catch_sigpipe();
    if (extract_only) {
        to_stdout = 1;
    } else {
        if (pipe_program[0] == '\0') strcpy(pipe_program, DEFAULT_PIPE_PROGRAM);
        pcmd = replace_program_parms(pipe_program);
        if (!pcmd) {  // refused, with its own message
            rtn = -1;
            goto finish;
        }
        ofd = start_command_writer(pcmd, &command);
        if (ofd < 0) {
            fprintf(stderr, "%s: extraction command could not be started: %s\n", program,
                    strerror(errno));
            free(pcmd);
            rtn = -1;
            goto finish;
        }
        to_stdout = 0;
        pipe_output = PipeOutput{};
        pipe_output.fd = ofd;
    }

    if (comment[0] != '\0') {
        fputc('\n', stderr);
        print_text(stderr, comment, 0);
        fputs("\n\nPlease wait...\n", stderr);
    }
    if (verbose || extract_only) {
        fputs("Deflating ", stderr);
        print_visible(stderr, ofname);
        fputs("...\n", stderr);
    }

    // With -x the data may be going to the terminal that would show the line.
    if (!extract_only || !isatty(fileno(stdout)))
        progress_begin("Extracting", ofname, static_cast<unsigned long>(bytes_out), size);
    member_settings = {to_stdout, list, verbose};
    rtn = data_compressed ? unzip(ifd, ofd) : copy_raw_payload(ifd, keyed > 0);
    progress_end();
    input_guard_off();

    if (extract_only) fflush(nullptr);
    if (!pipe_output.reader_gone) sleep(PIPE_CLOSE_PAUSE);
    if (!extract_only) {
        if (!pipe_output.reader_gone) wait_for_reader(ofd);
        pipe_output.fd = -1;
        const int status = finish_command_writer(ofd, command);
        if (command_failed(program, pcmd, status)) {
            rtn = 1;
        } else if (pipe_output.lost_data) {
            // All the command may leave unread is zero bytes: tar's record padding.
            fprintf(stderr,
                    "%s: extraction command ended before reading all of its input: ", program);
            print_visible(stderr, pcmd);
            fputc('\n', stderr);
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
