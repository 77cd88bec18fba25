// Support library: pointer lists (APLIST) and string splitting.
// An APLIST is a NULL-terminated array of item pointers with a hidden header in front of
// its first slot; callers index it like a plain array.
#pragma once

#include <cstddef>

// Per-item destroy routine of a list, called with one argument: the item.
typedef int (*PTF_int)(void *item);

typedef void **APLIST;

// Value of ap_head::magic while a headed list is alive.
inline constexpr int AP_MAGIC = 0x3578;

struct ap_head {
    APLIST obj_start;     // the first slot, i.e. the handle
    int no_items;         // items held; 0 also means "not counted yet"
    int max_obj;          // capacity, not counting the NULL slot; also the growth step
    int cur_obj;          // cursor, carried over by ap_expand
    int obj_links;        // 1: items are borrowed and never released
    PTF_int obj_destroy;  // releases one item; NULL for borrowed items
    PTF_int obj_dup;      // always NULL
    int magic;            // AP_MAGIC while alive, 0 just before the block is freed
    ap_head *live_next;   // registry of live headed lists (see ap_tohead)
};

APLIST ap_create(int no_items, PTF_int proc_destroy);
ap_head *ap_tohead(APLIST ap);
int ap_add_item(APLIST *app, void *item);
int ap_len(APLIST ap);
int ap_rlen(APLIST ap);
APLIST ap_expand(APLIST ap, int incr);
void ap_del(APLIST ap);
void ap_destroy(APLIST ap);
int ap_valid(APLIST ap);
// Destroy routine that releases an item with free(); the lists made by ap_strsplit and
// charlist2ap use it, so they own their strings.
int ap_free_item(void *item);

APLIST ap_strsplit(const char *str, const char *toksep);
int strdel(char *str, int c1);
// The first occurrence of t[0..m) in s[0..n), or nullptr; find_str for NUL-terminated strings.
// A plain scan: the strings searched hold at most a few KB, and the C library's search costs
// the stub 1.7 KB.
const char *find_bytes(const char *s, size_t n, const char *t, size_t m);
char *find_str(char *s, const char *t);
const char *find_str(const char *s, const char *t);
int ap2charlist(APLIST *ap, char ***clist);
int charlist2ap(char **clist, APLIST *ap);
