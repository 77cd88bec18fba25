// Support library: the progress line, formatted into a static buffer and written to
// descriptor 2 in one write, so that it never mixes with buffered standard error text.
#include "support/progress.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace {

constexpr long SHOW_AFTER_MS = 1000;  // shorter work shows nothing
constexpr long REDRAW_MS = 250;       // at most four lines a second
// The name's last NAME_SHOWN bytes at most, so that the line fits 80 columns.
constexpr size_t NAME_SHOWN = 30;
constexpr unsigned LINE_SIZE = 128;  // "\r", word, name, figures, "\033[K" and the NUL
constexpr double MB = 1e6;

bool active;
bool shown;
const char *word;
const char *name;
unsigned long first;
unsigned long size;
long started;
long drawn;

long now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

void draw(unsigned long count, long now) {
    const double done = static_cast<double>(count - first);
    const double total = static_cast<double>(size);
    const double rate = done * 1000 / static_cast<double>(now - started);
    const size_t len = strlen(name);
    const char *n = len > NAME_SHOWN ? name + len - NAME_SHOWN : name;
    while ((*n & 0xc0) == 0x80) ++n;  // not from inside a UTF-8 character
    char line[LINE_SIZE];
    int k;
    if (size == 0) {
        k = snprintf(line, sizeof line, "\r%s %s  %.1f MB  %.1f MB/s\033[K", word, n, done / MB,
                     rate / MB);
    } else {
        const unsigned long left =
            done > 0 && done < total ? static_cast<unsigned long>((total - done) / rate) : 0;
        k = snprintf(line, sizeof line, "\r%s %s  %3.0f%%  %.1f MB/s  %lu:%02lu left\033[K", word,
                     n, done < total ? 100 * done / total : 100, rate / MB, left / 60, left % 60);
    }
    if (k <= 0 || static_cast<unsigned>(k) >= sizeof line) return;
    // A name from an archive must not drive the terminal.
    for (char *c = line + 1; c < line + k - 3; ++c)
        if (static_cast<unsigned char>(*c) < 0x20 || *c == 0x7f) *c = '?';
    if (write(2, line, static_cast<size_t>(k)) > 0) shown = true;
}

}  // namespace

void progress_begin(const char *w, const char *n, unsigned long start, unsigned long total) {
    active = isatty(2) != 0;
    shown = false;
    word = w;
    name = n;
    first = start;
    size = total;
    started = drawn = now_ms();
}

void progress_tick(unsigned long count) {
    if (!active) return;
    const long now = now_ms();
    if (now - started < SHOW_AFTER_MS || now - drawn < REDRAW_MS) return;
    drawn = now;
    draw(count, now);
}

void progress_end() {
    if (shown && write(2, "\r\033[K", 4) < 0) {
        // Nothing to do: the terminal is gone.
    }
    active = shown = false;
}
