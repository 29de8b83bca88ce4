/* The codecs' view of <assert.h> in a Windows kernel image: compile-time checks only. */
#pragma once
#if !defined(__cplusplus) && !defined(static_assert)
#define static_assert _Static_assert
#endif
#define assert(x) ((void)0)
