/* The C runtime layer of the stand-in: numbers and the process heap of the C library. */
#pragma once
#include <vcrt.h>

VCRT_BEGIN
/* Heap and process exit are the host C library's own; they carry no wide characters. */
void *malloc(size_t size) VCRT_NOTHROW;
void *calloc(size_t count, size_t size) VCRT_NOTHROW;
void *realloc(void *p, size_t size) VCRT_NOTHROW;
void free(void *p) VCRT_NOTHROW;
__attribute__((noreturn)) void exit(int status) VCRT_NOTHROW;
__attribute__((noreturn)) void abort(void) VCRT_NOTHROW;
int abs(int v) VCRT_NOTHROW;
char *getenv(const char *name) VCRT_NOTHROW;
VCRT_END

#define EXIT_SUCCESS 0
#define EXIT_FAILURE 1
