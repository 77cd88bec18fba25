// Support library: APLIST creation, growth, length and release.
// Owns the registry of live headed lists, which lets ap_tohead tell a headed list from a
// plain array without reading memory in front of an array that has no header.
#include "support/aplist.h"

#include <cstdlib>
#include <cstring>

namespace {

// Live headed lists, newest first. A lookup walks it instead of peeking in front of the
// handle: a plain malloc'd array has nothing readable there.
ap_head *live_lists = nullptr;

void unregister(ap_head *h) {
    for (ap_head **p = &live_lists; *p; p = &(*p)->live_next) {
        if (*p == h) {
            *p = h->live_next;
            return;
        }
    }
}

}  // namespace

int ap_free_item(void *item) {
    free(item);
    return 0;
}

APLIST ap_create(int no_items, PTF_int proc_destroy) {
    int cap = no_items <= 0 ? 1 : no_items;
    size_t bytes = sizeof(ap_head) + (static_cast<size_t>(cap) + 1) * sizeof(void *);
    void *block = calloc(1, bytes);
    if (!block) return nullptr;
    ap_head *h = static_cast<ap_head *>(block);
    APLIST ap = reinterpret_cast<APLIST>(h + 1);
    h->obj_start = ap;
    h->max_obj = cap;
    if (proc_destroy)
        h->obj_destroy = proc_destroy;
    else
        h->obj_links = 1;
    h->magic = AP_MAGIC;
    h->live_next = live_lists;
    live_lists = h;
    return ap;
}

ap_head *ap_tohead(APLIST ap) {
    if (!ap) return nullptr;
    for (ap_head *h = live_lists; h; h = h->live_next)
        if (h->obj_start == ap) return h->magic == AP_MAGIC ? h : nullptr;
    return nullptr;
}

int ap_rlen(APLIST ap) {
    if (!ap) return 0;
    int n = 0;
    while (ap[n]) ++n;
    return n;
}

int ap_len(APLIST ap) {
    if (!ap) return 0;
    ap_head *h = ap_tohead(ap);
    if (h && h->no_items != 0) return h->no_items;
    int n = ap_rlen(ap);
    if (h) h->no_items = n;
    return n;
}

APLIST ap_expand(APLIST ap, int incr) {
    if (!ap) return nullptr;
    int cnt = ap_len(ap);
    APLIST nap = ap_create(cnt + incr, nullptr);
    if (!nap) return nullptr;
    for (int i = 0; i < cnt; ++i) nap[i] = ap[i];
    ap_head *oh = ap_tohead(ap);
    if (oh) {
        ap_head *nh = ap_tohead(nap);
        nh->no_items = oh->no_items;
        nh->cur_obj = oh->cur_obj;
        nh->obj_destroy = oh->obj_destroy;
        nh->obj_links = oh->obj_links;
    }
    ap_del(ap);
    return nap;
}

int ap_add_item(APLIST *app, void *item) {
    if (!app || !*app) return -1;
    int len = ap_len(*app);
    ap_head *h = ap_tohead(*app);
    if (!h) return -1;  // growth needs the header; plain arrays are not supported here
    if (len >= h->max_obj) {
        *app = ap_expand(*app, h->max_obj);
        if (!*app) return -1;
        h = ap_tohead(*app);
    }
    h->no_items++;
    (*app)[len] = item;
    (*app)[len + 1] = nullptr;
    return 0;
}

void ap_del(APLIST ap) {
    if (!ap) return;
    for (int i = 0; ap[i]; ++i) ap[i] = nullptr;
    ap_head *h = ap_tohead(ap);
    if (h) {
        h->magic = 0;
        unregister(h);
        free(h);
    } else {
        free(ap);
    }
}

void ap_destroy(APLIST ap) {
    if (!ap) return;
    ap_head *h = ap_tohead(ap);
    if (!h) {
        for (int i = 0; ap[i]; ++i) {
            free(ap[i]);
            ap[i] = nullptr;
        }
    } else if (h->obj_links == 0 && h->obj_destroy) {
        if (h->no_items > 0) {
            // The header is read again before each call, as a destroy routine may look at it.
            for (int i = 0; i < h->no_items && h->obj_destroy; ++i) {
                h->obj_destroy(ap[i]);
                ap[i] = nullptr;
            }
        } else {
            for (int i = 0; ap[i]; ++i) {
                h->obj_destroy(ap[i]);
                ap[i] = nullptr;
            }
        }
    }
    ap_del(ap);
}

int ap_valid(APLIST ap) {
    return ap_tohead(ap) ? 0 : -1;
}

int ap2charlist(APLIST *ap, char ***clist) {
    int len = (ap && *ap) ? ap_len(*ap) : 0;
    *clist = nullptr;
    if (len == 0) return len;
    char **out = static_cast<char **>(malloc((static_cast<size_t>(len) + 1) * sizeof(char *)));
    if (!out) return len;
    int i = 0;
    for (; (*ap)[i]; ++i) out[i] = strdup(static_cast<const char *>((*ap)[i]));
    out[i] = nullptr;
    *clist = out;
    return len;
}

int charlist2ap(char **clist, APLIST *ap) {
    *ap = nullptr;
    APLIST l = ap_create(5, ap_free_item);
    if (!l) return 0;
    for (int i = 0; clist && clist[i]; ++i) ap_add_item(&l, strdup(clist[i]));
    int n = ap_len(l);
    if (n > 0)
        *ap = l;
    else
        ap_destroy(l);
    return n;
}
