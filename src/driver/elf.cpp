// Archive driver: what a stub needs on the target, read from its ELF-64 headers (System V
// ABI, "Program Header" and "Dynamic Section"; symbol versioning from the Linux Standard
// Base). Owns nothing: it reads the stub the builder holds in memory.
#include <cstdint>
#include <cstring>

#include "driver/kelpa.h"

namespace {

// ELF identification and header fields (byte offsets into the ELF-64 file header).
constexpr char ELFMAG[] = "\177ELF";
constexpr size_t SELFMAG = 4;
constexpr size_t EI_CLASS = 4;
constexpr size_t EI_DATA = 5;
constexpr unsigned char ELFCLASS64 = 2;
constexpr unsigned char ELFDATA2LSB = 1;
constexpr size_t E_MACHINE = 0x12;    // 2 bytes
constexpr size_t E_PHOFF = 0x20;      // 8 bytes
constexpr size_t E_PHENTSIZE = 0x36;  // 2 bytes
constexpr size_t E_PHNUM = 0x38;      // 2 bytes
constexpr size_t EHDR_SIZE = 0x40;

// e_machine values of the architectures kelpa is built for.
constexpr unsigned EM_X86_64 = 62;
constexpr unsigned EM_AARCH64 = 183;

// Program header fields, ELF-64.
constexpr size_t P_TYPE = 0x00;    // 4 bytes
constexpr size_t P_OFFSET = 0x08;  // 8 bytes
constexpr size_t P_VADDR = 0x10;   // 8 bytes
constexpr size_t P_FILESZ = 0x20;  // 8 bytes
constexpr size_t PHDR_SIZE = 0x38;
constexpr uint32_t PT_LOAD = 1;
constexpr uint32_t PT_DYNAMIC = 2;
constexpr uint32_t PT_INTERP = 3;

// Dynamic entries: d_tag and d_val, 8 bytes each.
constexpr size_t DYN_SIZE = 16;
constexpr uint64_t DT_NULL = 0;
constexpr uint64_t DT_STRTAB = 5;
constexpr uint64_t DT_VERNEED = 0x6ffffffe;
constexpr uint64_t DT_VERNEEDNUM = 0x6fffffff;

// Version needs: Elf64_Verneed (vn_cnt at 2, vn_aux at 8, vn_next at 12) and Elf64_Vernaux
// (vna_name at 8, vna_next at 12), 16 bytes each.
constexpr size_t VERNEED_SIZE = 16;
constexpr size_t VERNAUX_SIZE = 16;
// More entries than a sane file has: a loop of vn_next or vna_next offsets ends here.
constexpr unsigned MAX_VERSION_ENTRIES = 4096;

// The C library's version names, "GLIBC_2.34": the prefix compared, then the numbers.
constexpr char CLIB_VERSION_PREFIX[] = "GLIBC_";

struct Image {
    const unsigned char *p;
    size_t n;
    bool has(uint64_t off, uint64_t len) const { return off <= n && len <= n - off; }
    // A little-endian ELF-64 file header is there, the only kind read here.
    bool elf64_lsb() const {
        return has(0, EHDR_SIZE) && memcmp(p, ELFMAG, SELFMAG) == 0 && p[EI_CLASS] == ELFCLASS64 &&
               p[EI_DATA] == ELFDATA2LSB;
    }
    uint64_t le(uint64_t off, unsigned width) const {
        uint64_t v = 0;
        for (unsigned i = width; i-- > 0;) v = v << 8 | p[off + i];
        return v;
    }
};

// The file offset of len bytes at virtual address va, from the loadable segments; 0 when no
// segment holds them in the file.
uint64_t file_offset(const Image &im, uint64_t phoff, unsigned phnum, uint64_t va, uint64_t len) {
    for (unsigned i = 0; i < phnum; i++) {
        const uint64_t ph = phoff + uint64_t{i} * PHDR_SIZE;
        if (im.le(ph + P_TYPE, 4) != PT_LOAD) continue;
        const uint64_t vaddr = im.le(ph + P_VADDR, 8), filesz = im.le(ph + P_FILESZ, 8);
        if (va < vaddr || va - vaddr > filesz || len > filesz - (va - vaddr)) continue;
        const uint64_t off = im.le(ph + P_OFFSET, 8) + (va - vaddr);
        if (im.has(off, len)) return off;
    }
    return 0;
}

// True when version a ("2.34") is newer than b ("2.4"): number by number.
bool newer(const char *a, const char *b) {
    while (*a || *b) {
        unsigned long x = 0, y = 0;
        while (*a >= '0' && *a <= '9') x = x * 10 + static_cast<unsigned long>(*a++ - '0');
        while (*b >= '0' && *b <= '9') y = y * 10 + static_cast<unsigned long>(*b++ - '0');
        if (x != y) return x > y;
        if (*a) ++a;
        if (*b) ++b;
    }
    return false;
}

// The newest C library version the dynamic section at dyn (len bytes) asks for, into
// version (size bytes); left empty when there is none to read.
void newest_version(const Image &im, uint64_t phoff, unsigned phnum, uint64_t dyn, uint64_t len,
                    char *version, size_t size) {
    uint64_t strtab = 0, verneed = 0, count = 0;
    for (uint64_t d = dyn; d + DYN_SIZE <= dyn + len; d += DYN_SIZE) {
        const uint64_t tag = im.le(d, 8), val = im.le(d + 8, 8);
        if (tag == DT_NULL) break;
        if (tag == DT_STRTAB) strtab = file_offset(im, phoff, phnum, val, 1);
        if (tag == DT_VERNEED) verneed = file_offset(im, phoff, phnum, val, VERNEED_SIZE);
        if (tag == DT_VERNEEDNUM) count = val;
    }
    if (!strtab || !verneed) return;
    unsigned seen = 0;
    for (uint64_t vn = verneed; count-- > 0 && seen < MAX_VERSION_ENTRIES; seen++) {
        if (!im.has(vn, VERNEED_SIZE)) return;
        uint64_t aux = vn + im.le(vn + 8, 4);
        for (uint64_t k = im.le(vn + 2, 2); k-- > 0 && seen < MAX_VERSION_ENTRIES; seen++) {
            if (!im.has(aux, VERNAUX_SIZE)) return;
            const uint64_t name = strtab + im.le(aux + 8, 4);
            if (name < im.n) {
                const char *s = reinterpret_cast<const char *>(im.p + name);
                const size_t max = im.n - name;
                const size_t plen = sizeof CLIB_VERSION_PREFIX - 1;
                const size_t slen = strnlen(s, max);
                if (slen < max && slen < size && strncmp(s, CLIB_VERSION_PREFIX, plen) == 0 &&
                    (!version[0] || newer(s + plen, version + plen)))
                    memcpy(version, s, slen + 1);
            }
            aux += im.le(aux + 12, 4);
        }
        vn += im.le(vn + 12, 4);
    }
}

}  // namespace

unsigned stub_machine(const char *stub, size_t n) {
    const Image im{reinterpret_cast<const unsigned char *>(stub), n};
    return im.elf64_lsb() ? static_cast<unsigned>(im.le(E_MACHINE, 2)) : 0;
}

unsigned own_machine() {
#if defined(__x86_64__)
    return EM_X86_64;
#elif defined(__aarch64__)
    return EM_AARCH64;
#else
    return 0;
#endif
}

const char *machine_name(unsigned machine) {
    switch (machine) {
        case EM_X86_64:
            return "x86-64";
        case EM_AARCH64:
            return "aarch64";
        default:
            return nullptr;
    }
}

bool stub_interpreter(const char *stub, size_t n, char *interp, size_t interp_size, char *version,
                      size_t version_size) {
    interp[0] = version[0] = '\0';
    const Image im{reinterpret_cast<const unsigned char *>(stub), n};
    if (!im.elf64_lsb() || im.le(E_PHENTSIZE, 2) != PHDR_SIZE) return false;
    const uint64_t phoff = im.le(E_PHOFF, 8);
    const unsigned phnum = static_cast<unsigned>(im.le(E_PHNUM, 2));
    if (!im.has(phoff, uint64_t{phnum} * PHDR_SIZE)) return false;
    bool found = false;
    for (unsigned i = 0; i < phnum; i++) {
        const uint64_t ph = phoff + uint64_t{i} * PHDR_SIZE;
        const uint64_t type = im.le(ph + P_TYPE, 4);
        const uint64_t off = im.le(ph + P_OFFSET, 8), len = im.le(ph + P_FILESZ, 8);
        if (type == PT_INTERP) {
            found = true;
            if (im.has(off, len)) {
                const size_t l = strnlen(stub + off, len < interp_size ? len : interp_size - 1);
                memcpy(interp, stub + off, l);
                interp[l] = '\0';
            }
        } else if (type == PT_DYNAMIC && im.has(off, len)) {
            newest_version(im, phoff, phnum, off, len, version, version_size);
        }
    }
    return found;
}
