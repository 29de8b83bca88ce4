/*
 * Metadata rates of a mounted directory, for the FUSE benchmark (bench/fuse): how
 * many creates, stats and unlinks per second a Linux program gets there.
 *
 *   fuse-metadata DIRECTORY COUNT
 *
 * Creates COUNT empty files in DIRECTORY, stats each, unlinks each, and prints one
 * line per phase: "<phase> <operations per second>". Exits 1 on bad arguments and 2
 * when a call fails (naming it), so a broken mount never reports a rate.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static double Now(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

static void NameOf(char *name, size_t size, const char *directory, long i)
{
    snprintf(name, size, "%s/meta-%07ld", directory, i);
}

static int Fail(const char *call, const char *name)
{
    fprintf(stderr, "fuse-metadata: %s %s: %s\n", call, name, strerror(errno));
    return 2;
}

int main(int argc, char **argv)
{
    char name[4096];
    struct stat st;
    long count = argc == 3 ? atol(argv[2]) : 0;
    if (count <= 0 || strlen(argv[1]) > sizeof(name) - 32) {
        fprintf(stderr, "usage: fuse-metadata DIRECTORY COUNT\n");
        return 1;
    }
    const char *directory = argv[1];

    double start = Now();
    for (long i = 0; i < count; ++i) {
        NameOf(name, sizeof(name), directory, i);
        int fd = open(name, O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644);
        if (fd < 0)
            return Fail("create", name);
        if (close(fd) != 0)
            return Fail("close", name);
    }
    double created = Now();
    for (long i = 0; i < count; ++i) {
        NameOf(name, sizeof(name), directory, i);
        if (stat(name, &st) != 0)
            return Fail("stat", name);
    }
    double statted = Now();
    for (long i = 0; i < count; ++i) {
        NameOf(name, sizeof(name), directory, i);
        if (unlink(name) != 0)
            return Fail("unlink", name);
    }
    double unlinked = Now();

    printf("create %.0f\n", (double)count / (created - start));
    printf("stat %.0f\n", (double)count / (statted - created));
    printf("unlink %.0f\n", (double)count / (unlinked - statted));
    return 0;
}
