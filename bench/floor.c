/* The floor of the benchmarks: the least a program can do for each workload,
 * the same essential system calls and nothing else, but all that ombrix must
 * do too. It reads the image (or the sources) whole, lists each file with its
 * exact size (its chain walked), writes the files - each made new where
 * nothing stands at its name, never through a link, else under a temporary
 * name renamed over it - or the new image through a temporary file in the
 * same folder, fsync and rename, and knows just enough of the D64, D81 and
 * G64 layouts to find the files. A G64's tracks are decoded from their GCR
 * when a block of them is first needed (syncs where the drive writes them,
 * on byte boundaries). No checks, no settings, no messages: a host can come
 * near it, never under it.
 *
 *   floor list IMAGE...                  one line per directory entry
 *   floor extract IMAGE DIR              every file of the image into DIR
 *   floor add [--no-fsync] IMAGE SRC...  the sources' bytes into the image
 *                                        (a missing image is made empty)
 *
 * Built static by scripts/bench.sh (cc -O2 -static); the in-process
 * benchmarks in bench/ call the same functions (compiled as C++ there). */
#include "bench/floor.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

enum { kBlock = 256, kMaxBlocks = 4000 };

/* Reads a whole file into a new buffer of at least `room` bytes. */
static unsigned char* readWhole(const char* path, size_t* size, size_t room) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return NULL;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        close(fd);
        return NULL;
    }
    *size = (size_t)st.st_size;
    unsigned char* data = (unsigned char*)calloc(*size > room ? *size : room ? room : 1, 1);
    size_t done = 0;
    while (data && done < *size) {
        ssize_t n = read(fd, data + done, *size - done);
        if (n <= 0) break;
        done += (size_t)n;
    }
    close(fd);
    if (data && done != *size) {
        free(data);
        return NULL;
    }
    return data;
}

enum { kD64, kD81, kG64 };

static int kindOf(const char* path) {
    size_t n = strlen(path);
    if (n > 4 && strcmp(path + n - 4, ".d81") == 0) return kD81;
    return n > 4 && strcmp(path + n - 4, ".g64") == 0 ? kG64 : kD64;
}

static int d64Sectors(int t) { return t <= 17 ? 21 : t <= 24 ? 19 : t <= 30 ? 18 : 17; }

static long blockOffset(int d81, int track, int sector) {
    if (d81) return ((long)(track - 1) * 40 + sector) * kBlock;
    long blocks = 0;
    for (int t = 1; t < track; ++t) blocks += d64Sectors(t);
    return (blocks + sector) * kBlock;
}

/* A G64's tracks 1-35, each decoded when first asked for. */
struct G64 {
    unsigned char decoded[36];
    unsigned char have[36][21];
    unsigned char blocks[36][21][kBlock];
};
static uint16_t gcrTable[1024]; /* 10 GCR bits -> byte; 0x100 when no code */

static void gcrTableMake(void) {
    static const unsigned char codes[16] = {0x0A, 0x0B, 0x12, 0x13, 0x0E, 0x0F, 0x16, 0x17,
                                            0x09, 0x19, 0x1A, 0x1B, 0x0D, 0x1D, 0x1E, 0x15};
    signed char value[32];
    memset(value, -1, sizeof value);
    for (int n = 0; n < 16; ++n) value[codes[n]] = (signed char)n;
    for (int i = 0; i < 1024; ++i) {
        int hi = value[i >> 5], lo = value[i & 31];
        gcrTable[i] = (uint16_t)((hi < 0 || lo < 0) ? 0x100 : hi << 4 | lo);
    }
}

/* groups x 5 GCR bytes into groups x 4 bytes; nonzero when one is no code. */
static int gcrDecode(const unsigned char* in, int groups, unsigned char* out) {
    unsigned bad = 0;
    for (int g = 0; g < groups; ++g, in += 5, out += 4) {
        uint64_t v = (uint64_t)in[0] << 32 | (uint64_t)in[1] << 24 | (uint64_t)in[2] << 16 | (uint64_t)in[3] << 8 | in[4];
        for (int i = 0; i < 4; ++i) {
            uint16_t b = gcrTable[(v >> (30 - 10 * i)) & 1023];
            bad |= b;
            out[i] = (unsigned char)b;
        }
    }
    return (bad & 0x100) != 0;
}

static void g64Decode(struct G64* g, const unsigned char* file, size_t size, int track) {
    g->decoded[track] = 1;
    size_t slot = 12 + 4 * (size_t)(2 * (track - 1));
    if (slot + 4 > size) return;
    size_t at = file[slot] | file[slot + 1] << 8 | file[slot + 2] << 16 | (size_t)file[slot + 3] << 24;
    if (at == 0 || at + 2 > size) return;
    size_t length = file[at] | file[at + 1] << 8;
    const unsigned char* t = file + at + 2;
    if (length > size - at - 2) return;
    /* Sync: 0xFF bytes, the block from the first byte that is not. */
    int header = -1;
    for (size_t i = 1; i < length; ++i) {
        if (t[i] == 0xFF || t[i - 1] != 0xFF) continue;
        if (header < 0) {
            unsigned char h[8];
            if (i + 10 <= length && !gcrDecode(t + i, 2, h) && h[0] == 0x08 && h[3] == track && h[2] < d64Sectors(track) &&
                !g->have[track][h[2]])
                header = h[2];
            i += 9;
            continue;
        }
        unsigned char d[260];
        if (i + 325 <= length && !gcrDecode(t + i, 65, d) && d[0] == 0x07) {
            unsigned char sum = 0;
            for (int k = 1; k <= kBlock; ++k) sum ^= d[k];
            if (sum == d[257]) {
                memcpy(g->blocks[track][header], d + 1, kBlock);
                g->have[track][header] = 1;
            }
            i += 324;
        }
        header = -1;
    }
}

struct Image {
    const unsigned char* data;
    size_t size;
    int kind;
    struct G64* g64;
};

static const unsigned char* blockAt(struct Image* image, int track, int sector) {
    if (image->kind == kG64) {
        if (track < 1 || track > 35 || sector < 0 || sector >= d64Sectors(track)) return NULL;
        struct G64* g = image->g64;
        if (!g->decoded[track]) g64Decode(g, image->data, image->size, track);
        return g->have[track][sector] ? g->blocks[track][sector] : NULL;
    }
    int d81 = image->kind == kD81;
    if (track < 1 || track > (d81 ? 80 : 40)) return NULL;
    long at = blockOffset(d81, track, sector);
    return at >= 0 && (size_t)at + kBlock <= image->size ? image->data + at : NULL;
}

static int imageOpen(const char* path, struct Image* image) {
    image->kind = kindOf(path);
    image->g64 = NULL;
    image->data = readWhole(path, &image->size, 0);
    if (!image->data) return 0;
    if (image->kind == kG64) {
        if (!gcrTable[0]) gcrTableMake();
        image->g64 = (struct G64*)malloc(sizeof *image->g64);
        if (!image->g64) return 0;
        memset(image->g64->decoded, 0, sizeof image->g64->decoded);
        memset(image->g64->have, 0, sizeof image->g64->have);
    }
    return 1;
}

static void imageClose(struct Image* image) {
    free((void*)image->data);
    free(image->g64);
}

/* Calls fn for every used directory entry (bounded walk). */
typedef void (*EntryFn)(void* context, struct Image* image, const unsigned char* entry);
static void walkDirectory(struct Image* image, EntryFn fn, void* context) {
    int d81 = image->kind == kD81;
    int track = d81 ? 40 : 18, sector = d81 ? 3 : 1;
    for (int n = 0; track != 0 && n < 100; ++n) {
        const unsigned char* b = blockAt(image, track, sector);
        if (!b) return;
        for (int e = 0; e < 8; ++e)
            if (b[e * 32 + 2] != 0) fn(context, image, b + e * 32);
        track = b[0];
        sector = b[1];
    }
}

/* Follows a file's chain (bounded), handing each block's bytes to `into`
 * when given; the file's exact size. */
static size_t walkChain(struct Image* image, const unsigned char* entry, unsigned char* into) {
    size_t used = 0;
    int track = entry[3], sector = entry[4];
    for (int n = 0; track != 0 && n < kMaxBlocks; ++n) {
        const unsigned char* b = blockAt(image, track, sector);
        if (!b) break;
        size_t part = b[0] ? 254 : (b[1] > 1 ? (size_t)b[1] - 1 : 0);
        if (into) memcpy(into + used, b + 2, part);
        used += part;
        track = b[0];
        sector = b[1];
    }
    return used;
}

static size_t entryName(const unsigned char* entry, char* out) {
    size_t n = 0;
    while (n < 16 && entry[5 + n] != 0xA0) {
        const unsigned char c = entry[5 + n];
        out[n] = (char)(c >= 0x41 && c <= 0x5A ? c + 0x20 : c); /* PETSCII letters as the listing shows them */
        ++n;
    }
    memcpy(out + n, ".prg", 5);
    return n + 4;
}

struct ListContext {
    char* text;
    size_t used;
};

static void listEntry(void* context, struct Image* image, const unsigned char* entry) {
    struct ListContext* c = (struct ListContext*)context;
    char name[32];
    entryName(entry, name);
    c->used += (size_t)sprintf(c->text + c->used, "%6d %8zu  %s\n", entry[30] | entry[31] << 8,
                               walkChain(image, entry, NULL), name);
}

int floorList(const char* path, int out) {
    struct Image image;
    if (!imageOpen(path, &image)) {
        imageClose(&image);
        return 1;
    }
    struct ListContext c = {(char*)malloc(296 * 48), 0};
    walkDirectory(&image, listEntry, &c);
    ssize_t written = write(out, c.text, c.used);
    free(c.text);
    imageClose(&image);
    return written == (ssize_t)c.used ? 0 : 1;
}

struct ExtractContext {
    const char* dir;
    int failed;
};

static void extractEntry(void* context, struct Image* image, const unsigned char* entry) {
    struct ExtractContext* c = (struct ExtractContext*)context;
    static unsigned char file[kMaxBlocks * 254];
    size_t used = walkChain(image, entry, file);
    char path[4096], temp[4200], name[32];
    entryName(entry, name);
    snprintf(path, sizeof path, "%s/%s", c->dir, name);
    /* New where nothing stands at the name; else beside it, renamed over it
     * (a link there is replaced, never written through). */
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    int renamed = 0;
    if (fd < 0 && errno == EEXIST) {
        snprintf(temp, sizeof temp, "%s/.floor-XXXXXX", c->dir);
        fd = mkstemp(temp);
        renamed = 1;
    }
    if (fd < 0 || write(fd, file, used) != (ssize_t)used) c->failed = 1;
    if (fd >= 0 && close(fd) != 0) c->failed = 1;
    if (renamed && fd >= 0 && rename(temp, path) != 0) c->failed = 1;
}

int floorExtract(const char* path, const char* dir) {
    struct Image image;
    if (!imageOpen(path, &image)) {
        imageClose(&image);
        return 1;
    }
    struct ExtractContext c = {dir, 0};
    walkDirectory(&image, extractEntry, &c);
    imageClose(&image);
    return c.failed;
}

int floorAdd(const char* image, const char* const* sources, int count, int sync) {
    size_t imageSize = kindOf(image) == kD81 ? 819200 : 174848, size = 0;
    unsigned char* data = readWhole(image, &size, imageSize);
    if (!data) data = (unsigned char*)calloc(imageSize, 1);
    if (size < imageSize) size = imageSize;
    /* The sources' bytes from track 1 on: where they go is no matter here. */
    size_t at = 0;
    for (int i = 0; i < count; ++i) {
        size_t n = 0;
        unsigned char* source = readWhole(sources[i], &n, 0);
        if (!source) return 1;
        if (at + n <= size) memcpy(data + at, source, n);
        at += (n + 253) / 254 * 256;
        free(source);
    }
    char temp[4096];
    snprintf(temp, sizeof temp, "%s.floor-XXXXXX", image);
    int fd = mkstemp(temp);
    if (fd < 0) return 1;
    int ok = write(fd, data, size) == (ssize_t)size;
    if (ok && sync && fsync(fd) != 0) ok = 0;
    if (close(fd) != 0) ok = 0;
    if (ok && rename(temp, image) != 0) ok = 0;
    if (!ok) unlink(temp);
    free(data);
    return ok ? 0 : 1;
}

#ifndef FLOOR_NO_MAIN
int main(int argc, char** argv) {
    if (argc >= 3 && strcmp(argv[1], "list") == 0) {
        int rc = 0;
        for (int i = 2; i < argc; ++i) rc |= floorList(argv[i], 1);
        return rc;
    }
    if (argc == 4 && strcmp(argv[1], "extract") == 0) return floorExtract(argv[2], argv[3]);
    if (argc >= 3 && strcmp(argv[1], "add") == 0) {
        int sync = strcmp(argv[2], "--no-fsync") != 0;
        int first = sync ? 2 : 3;
        if (argc <= first) return 2;
        return floorAdd(argv[first], (const char* const*)(argv + first + 1), argc - first - 1, sync);
    }
    fputs("usage: floor list IMAGE... | extract IMAGE DIR | add [--no-fsync] IMAGE SRC...\n", stderr);
    return 2;
}
#endif
