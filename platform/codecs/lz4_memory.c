/*
 * LZ4's allocation hooks in a Windows kernel image. The codec allocates nothing
 * of its own there: a driver hands it its state (the *_extState routines). Every
 * request answers null, so the convenience routines that would allocate fail
 * cleanly, where the library's stack mode would give them frames of up to
 * 256 KiB, beyond any kernel stack.
 */
#include <stddef.h>

void *LZ4_malloc(size_t size)
{
    (void)size;
    return NULL;
}

void *LZ4_calloc(size_t count, size_t size)
{
    (void)count;
    (void)size;
    return NULL;
}

void LZ4_free(void *block)
{
    (void)block;
}
