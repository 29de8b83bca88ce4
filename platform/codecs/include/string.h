/* The codecs' view of <string.h> in a Windows kernel image: the kernel's memory routines. */
#pragma once
#include <stddef.h>
void *memcpy(void *dest, const void *src, size_t n);
void *memmove(void *dest, const void *src, size_t n);
void *memset(void *s, int c, size_t n);
int memcmp(const void *a, const void *b, size_t n);
