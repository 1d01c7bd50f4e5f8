/* The floor of the benchmarks: the least a program can do for each workload,
 * the same essential system calls and nothing else. It reads the image (or
 * the sources) whole, writes the files (or the new image) - an image through
 * a temporary file in the same folder, fsync and rename - and knows just
 * enough of the D64 and D81 layouts to find the files. No checks, no
 * settings, no messages: a host can come near it, never under it.
 *
 *   floor list IMAGE...                  one line per directory entry
 *   floor extract IMAGE DIR              every file of the image into DIR
 *   floor add [--no-fsync] IMAGE SRC...  the sources' bytes into the image
 *                                        (a missing image is made empty)
 *
 * Built static by scripts/bench.sh (cc -O2 -static); the in-process
 * benchmarks in bench/ call the same functions (compiled as C++ there). */
#include "bench/floor.h"

#include <fcntl.h>
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

static int isD81(const char* path) {
    size_t n = strlen(path);
    return n > 4 && strcmp(path + n - 4, ".d81") == 0;
}

static long blockOffset(int d81, int track, int sector) {
    if (d81) return ((long)(track - 1) * 40 + sector) * kBlock;
    long blocks = 0;
    for (int t = 1; t < track; ++t) blocks += t <= 17 ? 21 : t <= 24 ? 19 : t <= 30 ? 18 : 17;
    return (blocks + sector) * kBlock;
}

static const unsigned char* blockAt(const unsigned char* image, size_t size, int d81, int track, int sector) {
    if (track < 1 || track > (d81 ? 80 : 40)) return NULL;
    long at = blockOffset(d81, track, sector);
    return at >= 0 && (size_t)at + kBlock <= size ? image + at : NULL;
}

/* Calls fn for every used directory entry (bounded walk). */
typedef void (*EntryFn)(void* context, const unsigned char* entry);
static void walkDirectory(const unsigned char* image, size_t size, int d81, EntryFn fn, void* context) {
    int track = d81 ? 40 : 18, sector = d81 ? 3 : 1;
    for (int n = 0; track != 0 && n < 100; ++n) {
        const unsigned char* b = blockAt(image, size, d81, track, sector);
        if (!b) return;
        for (int e = 0; e < 8; ++e)
            if (b[e * 32 + 2] != 0) fn(context, b + e * 32);
        track = b[0];
        sector = b[1];
    }
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

static void listEntry(void* context, const unsigned char* entry) {
    struct ListContext* c = (struct ListContext*)context;
    char name[32];
    entryName(entry, name);
    c->used += (size_t)sprintf(c->text + c->used, "%6d  %s\n", entry[30] | entry[31] << 8, name);
}

int floorList(const char* image, int out) {
    size_t size = 0;
    unsigned char* data = readWhole(image, &size, 0);
    if (!data) return 1;
    struct ListContext c = {(char*)malloc(296 * 40), 0};
    walkDirectory(data, size, isD81(image), listEntry, &c);
    ssize_t written = write(out, c.text, c.used);
    free(c.text);
    free(data);
    return written == (ssize_t)c.used ? 0 : 1;
}

struct ExtractContext {
    const unsigned char* image;
    size_t size;
    int d81;
    const char* dir;
    int failed;
};

static void extractEntry(void* context, const unsigned char* entry) {
    struct ExtractContext* c = (struct ExtractContext*)context;
    static unsigned char file[kMaxBlocks * 254];
    size_t used = 0;
    int track = entry[3], sector = entry[4];
    for (int n = 0; track != 0 && n < kMaxBlocks; ++n) {
        const unsigned char* b = blockAt(c->image, c->size, c->d81, track, sector);
        if (!b) break;
        size_t part = b[0] ? 254 : (b[1] > 1 ? (size_t)b[1] - 1 : 0);
        memcpy(file + used, b + 2, part);
        used += part;
        track = b[0];
        sector = b[1];
    }
    char path[4096], name[32];
    entryName(entry, name);
    snprintf(path, sizeof path, "%s/%s", c->dir, name);
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || write(fd, file, used) != (ssize_t)used) c->failed = 1;
    if (fd >= 0 && close(fd) != 0) c->failed = 1;
}

int floorExtract(const char* image, const char* dir) {
    size_t size = 0;
    unsigned char* data = readWhole(image, &size, 0);
    if (!data) return 1;
    struct ExtractContext c = {data, size, isD81(image), dir, 0};
    walkDirectory(data, size, c.d81, extractEntry, &c);
    free(data);
    return c.failed;
}

int floorAdd(const char* image, const char* const* sources, int count, int sync) {
    size_t imageSize = isD81(image) ? 819200 : 174848, size = 0;
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
