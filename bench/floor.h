/* The benchmarks' floor (bench/floor.c): the essential system calls of each
 * workload and nothing more. 0 on success. */
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

/* Reads the image and writes one line per directory entry to `out`. */
int floorList(const char* image, int out);
/* Reads the image and writes every file of it into dir. */
int floorExtract(const char* image, const char* dir);
/* Reads the image (a missing one is made empty) and the sources, and writes
 * the image back through a temporary file, with fsync when `sync`. */
int floorAdd(const char* image, const char* const* sources, int count, int sync);

#ifdef __cplusplus
}
#endif
