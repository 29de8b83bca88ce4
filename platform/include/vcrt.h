/*
 * The C runtime layer of the stand-in: the string, character and formatting
 * routines that Windows' kernel and C runtime export, with Microsoft's rules
 * (LLP64 sizes, %ls/%S/%wZ as UTF-16, %I64, the _s truncation contract).
 *
 * On the stand-in every name is bound to its own link name ("vcrt_" + name), so
 * code compiled against these headers never reaches the host C library's version,
 * whose wchar_t is 32 bits wide. Only the memory routines bind to the host.
 */
#pragma once

#include <stdarg.h>

/*
 * Windows-world code sees these routines under their Windows names. Linux-world
 * code (the stand-in itself, the tests) sees them in namespace vcrt, bound to the
 * same link names, so they never collide with the host C library's declarations.
 */
#if defined(VOREL_LINUX_WORLD)
#include <string.h>
#define VCRT_BEGIN namespace vcrt {
#define VCRT_END }
#define VCRT_NOTHROW noexcept
#else
#include <vcrt_memory.h>
#if defined(__cplusplus)
#define VCRT_BEGIN extern "C" {
#define VCRT_END }
#else
#define VCRT_BEGIN
#define VCRT_END
#endif
#endif

#if defined(_WIN32)
/* Built for Windows, the routines are the system's own, under their own names. */
#define VCRT_NAME(n)
#define VCRT_API
#else
#define VCRT_NAME(n) __asm__("vcrt_" #n)
#define VCRT_API __attribute__((visibility("default")))
#endif

VCRT_BEGIN

typedef __SIZE_TYPE__ size_t;
typedef size_t rsize_t;
typedef int errno_t;
typedef unsigned short wint_t;
typedef struct _iobuf FILE;
typedef void (*_invalid_parameter_handler)(const wchar_t *expression, const wchar_t *function, const wchar_t *file,
                                           unsigned int line, unsigned long long reserved);

VCRT_END

#define VCRT_TRUNCATE ((__SIZE_TYPE__)-1)
#define VCRT_STRUNCATE 80
#if !defined(VOREL_LINUX_WORLD)
#ifndef NULL
#define NULL __null
#endif
#define WEOF ((wint_t)0xFFFF)
#define EOF (-1)
#define _TRUNCATE VCRT_TRUNCATE
#define RSIZE_MAX (((size_t)-1) >> 1)
#define EINVAL 22
#define ERANGE 34
#define STRUNCATE VCRT_STRUNCATE
#endif

VCRT_BEGIN

/* errno and the invalid-parameter handler (the default one fast-fails with FAST_FAIL_INVALID_ARG). */
VCRT_API int *_errno(void) VCRT_NOTHROW VCRT_NAME(_errno);
VCRT_API _invalid_parameter_handler _set_invalid_parameter_handler(_invalid_parameter_handler handler) VCRT_NOTHROW
    VCRT_NAME(_set_invalid_parameter_handler);
VCRT_API _invalid_parameter_handler _get_invalid_parameter_handler(void) VCRT_NOTHROW
    VCRT_NAME(_get_invalid_parameter_handler);

/* Narrow strings. */
VCRT_API size_t strlen(const char *s) VCRT_NOTHROW VCRT_NAME(strlen);
VCRT_API size_t strnlen(const char *s, size_t maxlen) VCRT_NOTHROW VCRT_NAME(strnlen);
VCRT_API int strcmp(const char *a, const char *b) VCRT_NOTHROW VCRT_NAME(strcmp);
VCRT_API int strncmp(const char *a, const char *b, size_t n) VCRT_NOTHROW VCRT_NAME(strncmp);
VCRT_API int _stricmp(const char *a, const char *b) VCRT_NOTHROW VCRT_NAME(_stricmp);
VCRT_API int _strnicmp(const char *a, const char *b, size_t n) VCRT_NOTHROW VCRT_NAME(_strnicmp);
VCRT_API char *strcpy(char *d, const char *s) VCRT_NOTHROW VCRT_NAME(strcpy);
VCRT_API char *strncpy(char *d, const char *s, size_t n) VCRT_NOTHROW VCRT_NAME(strncpy);
VCRT_API char *strcat(char *d, const char *s) VCRT_NOTHROW VCRT_NAME(strcat);
VCRT_API char *strchr(const char *s, int c) VCRT_NOTHROW VCRT_NAME(strchr);
VCRT_API char *strrchr(const char *s, int c) VCRT_NOTHROW VCRT_NAME(strrchr);
VCRT_API char *strstr(const char *h, const char *n) VCRT_NOTHROW VCRT_NAME(strstr);
VCRT_API errno_t strcpy_s(char *d, rsize_t size, const char *s) VCRT_NOTHROW VCRT_NAME(strcpy_s);
VCRT_API errno_t strncpy_s(char *d, rsize_t size, const char *s, rsize_t count) VCRT_NOTHROW VCRT_NAME(strncpy_s);
VCRT_API errno_t strcat_s(char *d, rsize_t size, const char *s) VCRT_NOTHROW VCRT_NAME(strcat_s);

/* Wide (UTF-16) strings. */
VCRT_API size_t wcslen(const wchar_t *s) VCRT_NOTHROW VCRT_NAME(wcslen);
VCRT_API size_t wcsnlen(const wchar_t *s, size_t maxlen) VCRT_NOTHROW VCRT_NAME(wcsnlen);
VCRT_API int wcscmp(const wchar_t *a, const wchar_t *b) VCRT_NOTHROW VCRT_NAME(wcscmp);
VCRT_API int wcsncmp(const wchar_t *a, const wchar_t *b, size_t n) VCRT_NOTHROW VCRT_NAME(wcsncmp);
VCRT_API int _wcsicmp(const wchar_t *a, const wchar_t *b) VCRT_NOTHROW VCRT_NAME(_wcsicmp);
VCRT_API int _wcsnicmp(const wchar_t *a, const wchar_t *b, size_t n) VCRT_NOTHROW VCRT_NAME(_wcsnicmp);
VCRT_API wchar_t *wcscpy(wchar_t *d, const wchar_t *s) VCRT_NOTHROW VCRT_NAME(wcscpy);
VCRT_API wchar_t *wcsncpy(wchar_t *d, const wchar_t *s, size_t n) VCRT_NOTHROW VCRT_NAME(wcsncpy);
VCRT_API wchar_t *wcscat(wchar_t *d, const wchar_t *s) VCRT_NOTHROW VCRT_NAME(wcscat);
VCRT_API wchar_t *wcsncat(wchar_t *d, const wchar_t *s, size_t n) VCRT_NOTHROW VCRT_NAME(wcsncat);
VCRT_API wchar_t *wcschr(const wchar_t *s, wchar_t c) VCRT_NOTHROW VCRT_NAME(wcschr);
VCRT_API wchar_t *wcsrchr(const wchar_t *s, wchar_t c) VCRT_NOTHROW VCRT_NAME(wcsrchr);
VCRT_API wchar_t *wcsstr(const wchar_t *h, const wchar_t *n) VCRT_NOTHROW VCRT_NAME(wcsstr);
VCRT_API errno_t wcscpy_s(wchar_t *d, rsize_t size, const wchar_t *s) VCRT_NOTHROW VCRT_NAME(wcscpy_s);
VCRT_API errno_t wcsncpy_s(wchar_t *d, rsize_t size, const wchar_t *s, rsize_t count) VCRT_NOTHROW
    VCRT_NAME(wcsncpy_s);
VCRT_API errno_t wcscat_s(wchar_t *d, rsize_t size, const wchar_t *s) VCRT_NOTHROW VCRT_NAME(wcscat_s);
VCRT_API wint_t towupper(wint_t c) VCRT_NOTHROW VCRT_NAME(towupper);
VCRT_API wint_t towlower(wint_t c) VCRT_NOTHROW VCRT_NAME(towlower);
VCRT_API int iswdigit(wint_t c) VCRT_NOTHROW VCRT_NAME(iswdigit);
VCRT_API int iswspace(wint_t c) VCRT_NOTHROW VCRT_NAME(iswspace);
VCRT_API long wcstol(const wchar_t *s, wchar_t **end, int base) VCRT_NOTHROW VCRT_NAME(wcstol);
VCRT_API unsigned long wcstoul(const wchar_t *s, wchar_t **end, int base) VCRT_NOTHROW VCRT_NAME(wcstoul);
VCRT_API unsigned long long _wcstoui64(const wchar_t *s, wchar_t **end, int base) VCRT_NOTHROW
    VCRT_NAME(_wcstoui64);
VCRT_API int _wtoi(const wchar_t *s) VCRT_NOTHROW VCRT_NAME(_wtoi);

/* Characters (the "C" locale). */
VCRT_API int isdigit(int c) VCRT_NOTHROW VCRT_NAME(isdigit);
VCRT_API int isxdigit(int c) VCRT_NOTHROW VCRT_NAME(isxdigit);
VCRT_API int isspace(int c) VCRT_NOTHROW VCRT_NAME(isspace);
VCRT_API int isalpha(int c) VCRT_NOTHROW VCRT_NAME(isalpha);
VCRT_API int isalnum(int c) VCRT_NOTHROW VCRT_NAME(isalnum);
VCRT_API int isupper(int c) VCRT_NOTHROW VCRT_NAME(isupper);
VCRT_API int islower(int c) VCRT_NOTHROW VCRT_NAME(islower);
VCRT_API int isprint(int c) VCRT_NOTHROW VCRT_NAME(isprint);
VCRT_API int toupper(int c) VCRT_NOTHROW VCRT_NAME(toupper);
VCRT_API int tolower(int c) VCRT_NOTHROW VCRT_NAME(tolower);

/* Numbers. */
VCRT_API long strtol(const char *s, char **end, int base) VCRT_NOTHROW VCRT_NAME(strtol);
VCRT_API unsigned long strtoul(const char *s, char **end, int base) VCRT_NOTHROW VCRT_NAME(strtoul);
VCRT_API long long strtoll(const char *s, char **end, int base) VCRT_NOTHROW VCRT_NAME(strtoll);
VCRT_API unsigned long long strtoull(const char *s, char **end, int base) VCRT_NOTHROW VCRT_NAME(strtoull);
VCRT_API unsigned long long _strtoui64(const char *s, char **end, int base) VCRT_NOTHROW VCRT_NAME(_strtoui64);
VCRT_API long long _strtoi64(const char *s, char **end, int base) VCRT_NOTHROW VCRT_NAME(_strtoi64);
VCRT_API int atoi(const char *s) VCRT_NOTHROW VCRT_NAME(atoi);

/*
 * Formatting. Microsoft's size prefixes: h, hh, l (32-bit), ll, I32, I64, I, z, j, t, w;
 * %s is narrow in the narrow functions and UTF-16 in the wide ones, %S the other kind,
 * %hs always narrow, %ls and %ws always UTF-16; %Z takes a STRING*, %wZ a UNICODE_STRING*;
 * %p prints 16 upper-case hex digits; %n is refused as an invalid parameter.
 */
VCRT_API int printf(const char *format, ...) VCRT_NOTHROW VCRT_NAME(printf);
VCRT_API int vprintf(const char *format, va_list args) VCRT_NOTHROW VCRT_NAME(vprintf);
VCRT_API int fprintf(FILE *stream, const char *format, ...) VCRT_NOTHROW VCRT_NAME(fprintf);
VCRT_API int vfprintf(FILE *stream, const char *format, va_list args) VCRT_NOTHROW VCRT_NAME(vfprintf);
VCRT_API int sprintf(char *buffer, const char *format, ...) VCRT_NOTHROW VCRT_NAME(sprintf);
VCRT_API int vsprintf(char *buffer, const char *format, va_list args) VCRT_NOTHROW VCRT_NAME(vsprintf);
VCRT_API int snprintf(char *buffer, size_t count, const char *format, ...) VCRT_NOTHROW VCRT_NAME(snprintf);
VCRT_API int vsnprintf(char *buffer, size_t count, const char *format, va_list args) VCRT_NOTHROW
    VCRT_NAME(vsnprintf);
VCRT_API int _snprintf(char *buffer, size_t count, const char *format, ...) VCRT_NOTHROW VCRT_NAME(_snprintf);
VCRT_API int _vsnprintf(char *buffer, size_t count, const char *format, va_list args) VCRT_NOTHROW
    VCRT_NAME(_vsnprintf);
VCRT_API int sprintf_s(char *buffer, size_t size, const char *format, ...) VCRT_NOTHROW VCRT_NAME(sprintf_s);
VCRT_API int vsprintf_s(char *buffer, size_t size, const char *format, va_list args) VCRT_NOTHROW
    VCRT_NAME(vsprintf_s);
VCRT_API int _snprintf_s(char *buffer, size_t size, size_t count, const char *format, ...) VCRT_NOTHROW
    VCRT_NAME(_snprintf_s);
VCRT_API int _vsnprintf_s(char *buffer, size_t size, size_t count, const char *format, va_list args) VCRT_NOTHROW
    VCRT_NAME(_vsnprintf_s);
VCRT_API int _scprintf(const char *format, ...) VCRT_NOTHROW VCRT_NAME(_scprintf);
VCRT_API int _vscprintf(const char *format, va_list args) VCRT_NOTHROW VCRT_NAME(_vscprintf);

VCRT_API int wprintf(const wchar_t *format, ...) VCRT_NOTHROW VCRT_NAME(wprintf);
VCRT_API int fwprintf(FILE *stream, const wchar_t *format, ...) VCRT_NOTHROW VCRT_NAME(fwprintf);
VCRT_API int vfwprintf(FILE *stream, const wchar_t *format, va_list args) VCRT_NOTHROW VCRT_NAME(vfwprintf);
VCRT_API int swprintf_s(wchar_t *buffer, size_t size, const wchar_t *format, ...) VCRT_NOTHROW
    VCRT_NAME(swprintf_s);
VCRT_API int vswprintf_s(wchar_t *buffer, size_t size, const wchar_t *format, va_list args) VCRT_NOTHROW
    VCRT_NAME(vswprintf_s);
VCRT_API int _snwprintf(wchar_t *buffer, size_t count, const wchar_t *format, ...) VCRT_NOTHROW
    VCRT_NAME(_snwprintf);
VCRT_API int _vsnwprintf(wchar_t *buffer, size_t count, const wchar_t *format, va_list args) VCRT_NOTHROW
    VCRT_NAME(_vsnwprintf);
VCRT_API int _snwprintf_s(wchar_t *buffer, size_t size, size_t count, const wchar_t *format, ...) VCRT_NOTHROW
    VCRT_NAME(_snwprintf_s);
VCRT_API int _vsnwprintf_s(wchar_t *buffer, size_t size, size_t count, const wchar_t *format, va_list args)
    VCRT_NOTHROW VCRT_NAME(_vsnwprintf_s);
VCRT_API int _scwprintf(const wchar_t *format, ...) VCRT_NOTHROW VCRT_NAME(_scwprintf);
VCRT_API int _vscwprintf(const wchar_t *format, va_list args) VCRT_NOTHROW VCRT_NAME(_vscwprintf);

/* Streams: stdin, stdout and stderr only. */
VCRT_API FILE *__acrt_iob_func(unsigned index) VCRT_NOTHROW VCRT_NAME(__acrt_iob_func);
VCRT_API int fputs(const char *s, FILE *stream) VCRT_NOTHROW VCRT_NAME(fputs);
VCRT_API int puts(const char *s) VCRT_NOTHROW VCRT_NAME(puts);
VCRT_API int fputc(int c, FILE *stream) VCRT_NOTHROW VCRT_NAME(fputc);
VCRT_API int putchar(int c) VCRT_NOTHROW VCRT_NAME(putchar);
VCRT_API int fflush(FILE *stream) VCRT_NOTHROW VCRT_NAME(fflush);
VCRT_API char *fgets(char *s, int size, FILE *stream) VCRT_NOTHROW VCRT_NAME(fgets);

VCRT_END

#if !defined(VOREL_LINUX_WORLD)
#define stdin (__acrt_iob_func(0))
#define stdout (__acrt_iob_func(1))
#define stderr (__acrt_iob_func(2))
#define errno (*_errno())
#endif
