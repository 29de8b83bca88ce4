/*
 * Zstandard's C library dependencies for a Windows kernel image: it replaces the
 * library's own zstd_deps.h when the codec is compiled for a driver. Memory routines
 * are the kernel's; the library allocates nothing itself (a driver hands it static
 * contexts or its own allocator, so ZSTD_malloc answers null); no assert, no I/O.
 */
#ifndef ZSTD_DEPS_COMMON
#define ZSTD_DEPS_COMMON

#include <limits.h>
#include <stddef.h>

#define ZSTD_memcpy(d, s, l) __builtin_memcpy((d), (s), (l))
#define ZSTD_memmove(d, s, l) __builtin_memmove((d), (s), (l))
#define ZSTD_memset(p, v, l) __builtin_memset((p), (v), (l))

#endif

#ifdef ZSTD_DEPS_NEED_MALLOC
#ifndef ZSTD_DEPS_MALLOC
#define ZSTD_DEPS_MALLOC
#define ZSTD_malloc(s) ((void)(s), NULL)
#define ZSTD_calloc(n, s) ((void)(n), (void)(s), NULL)
#define ZSTD_free(p) ((void)(p))
#endif
#endif

#ifdef ZSTD_DEPS_NEED_MATH64
#ifndef ZSTD_DEPS_MATH64
#define ZSTD_DEPS_MATH64
#define ZSTD_div64(dividend, divisor) ((dividend) / (divisor))
#endif
#endif

#ifdef ZSTD_DEPS_NEED_ASSERT
#ifndef ZSTD_DEPS_ASSERT
#define ZSTD_DEPS_ASSERT
#define assert(x) ((void)0)
#endif
#endif

#ifdef ZSTD_DEPS_NEED_IO
#ifndef ZSTD_DEPS_IO
#define ZSTD_DEPS_IO
#define ZSTD_DEBUG_PRINT(...) ((void)0)
#endif
#endif

#ifdef ZSTD_DEPS_NEED_STDINT
#ifndef ZSTD_DEPS_STDINT
#define ZSTD_DEPS_STDINT
#include <stdint.h>
#endif
#endif
