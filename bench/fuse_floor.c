/*
 * The floor of the FUSE benchmark (bench/fuse): a FUSE file system that keeps only
 * names and sizes and answers every request at once, so what a Linux program gets
 * from it is what FUSE itself costs on this machine: the kernel's copies, the
 * round trip through /dev/fuse and libfuse's threads. Reads return zeros.
 *
 *   fuse-floor MOUNTPOINT [libfuse options]     (runs until unmounted)
 *
 * One flat directory (the root) of regular files; no directories, links or
 * attributes. The mount takes the same transfer sizes and caching the Vorel host
 * asks for: 1 MiB requests, open files keep their page cache, no write-back cache,
 * names and attributes cached for a second.
 */
#define FUSE_USE_VERSION 34
#include <errno.h>
#include <fuse_lowlevel.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#define MAX_FILES (1 << 18)
#define BUCKETS (1 << 20) /* open addressing, kept under a quarter full */
#define MAX_TRANSFER (1 << 20)
#define CACHE_SECONDS 1.0

typedef struct {
    char name[64];
    int live;
    off_t size;
} FloorFile;

static FloorFile files[MAX_FILES]; /* index = inode number; 1 is the root, 0 unused */
static int nextFile = 2;
static int buckets[BUCKETS];       /* file indexes; a removed file keeps its bucket */
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static const char zeros[MAX_TRANSFER];

static unsigned HashName(const char *name)
{
    unsigned hash = 2166136261u;
    while (*name)
        hash = (hash ^ (unsigned char)*name++) * 16777619u;
    return hash;
}

/* The live file of that name, or 0. Takes the lock held. */
static int FindLocked(const char *name)
{
    for (unsigned b = HashName(name) & (BUCKETS - 1); buckets[b] != 0; b = (b + 1) & (BUCKETS - 1)) {
        int i = buckets[b];
        if (files[i].live && strcmp(files[i].name, name) == 0)
            return i;
    }
    return 0;
}

static void FillAttributes(fuse_ino_t ino, struct stat *st)
{
    memset(st, 0, sizeof(*st));
    st->st_ino = ino;
    st->st_nlink = 1;
    if (ino == 1) {
        st->st_mode = S_IFDIR | 0777;
        return;
    }
    st->st_mode = S_IFREG | 0644;
    pthread_mutex_lock(&lock);
    st->st_size = files[ino].size;
    pthread_mutex_unlock(&lock);
}

static int ValidFile(fuse_ino_t ino)
{
    return ino >= 2 && ino < MAX_FILES;
}

static void ReplyEntry(fuse_req_t request, int ino)
{
    struct fuse_entry_param entry;
    memset(&entry, 0, sizeof(entry));
    entry.ino = (fuse_ino_t)ino;
    entry.attr_timeout = entry.entry_timeout = CACHE_SECONDS;
    if (ino != 0)
        FillAttributes((fuse_ino_t)ino, &entry.attr);
    fuse_reply_entry(request, &entry); /* ino 0: a missing name the kernel may remember */
}

static void OpInit(void *userdata, struct fuse_conn_info *connection)
{
    (void)userdata;
    connection->max_write = MAX_TRANSFER;
    connection->max_read = MAX_TRANSFER; /* as the mount option says */
    connection->max_readahead = MAX_TRANSFER;
    connection->want &= ~FUSE_CAP_WRITEBACK_CACHE;
}

static void OpLookup(fuse_req_t request, fuse_ino_t parent, const char *name)
{
    if (parent != 1)
        return (void)fuse_reply_err(request, ENOENT);
    pthread_mutex_lock(&lock);
    int ino = FindLocked(name);
    pthread_mutex_unlock(&lock);
    ReplyEntry(request, ino);
}

static void OpGetattr(fuse_req_t request, fuse_ino_t ino, struct fuse_file_info *info)
{
    (void)info;
    struct stat st;
    FillAttributes(ino, &st);
    fuse_reply_attr(request, &st, CACHE_SECONDS);
}

static void OpSetattr(fuse_req_t request, fuse_ino_t ino, struct stat *attr, int toSet, struct fuse_file_info *info)
{
    (void)info;
    if ((toSet & FUSE_SET_ATTR_SIZE) && ValidFile(ino)) {
        pthread_mutex_lock(&lock);
        files[ino].size = attr->st_size;
        pthread_mutex_unlock(&lock);
    }
    OpGetattr(request, ino, NULL);
}

static void OpCreate(fuse_req_t request, fuse_ino_t parent, const char *name, mode_t mode, struct fuse_file_info *info)
{
    (void)mode;
    if (parent != 1 || strlen(name) >= sizeof(files[0].name))
        return (void)fuse_reply_err(request, parent != 1 ? ENOENT : ENAMETOOLONG);
    pthread_mutex_lock(&lock);
    int ino = FindLocked(name);
    if (ino == 0 && nextFile < MAX_FILES) {
        ino = nextFile++;
        snprintf(files[ino].name, sizeof(files[ino].name), "%s", name);
        files[ino].live = 1;
        files[ino].size = 0;
        unsigned b = HashName(name) & (BUCKETS - 1);
        while (buckets[b] != 0)
            b = (b + 1) & (BUCKETS - 1);
        buckets[b] = ino;
    }
    pthread_mutex_unlock(&lock);
    if (ino == 0)
        return (void)fuse_reply_err(request, ENOSPC);
    struct fuse_entry_param entry;
    memset(&entry, 0, sizeof(entry));
    entry.ino = (fuse_ino_t)ino;
    entry.attr_timeout = entry.entry_timeout = CACHE_SECONDS;
    FillAttributes((fuse_ino_t)ino, &entry.attr);
    info->keep_cache = 1;
    fuse_reply_create(request, &entry, info);
}

static void OpOpen(fuse_req_t request, fuse_ino_t ino, struct fuse_file_info *info)
{
    (void)ino;
    info->keep_cache = 1;
    fuse_reply_open(request, info);
}

static void OpUnlink(fuse_req_t request, fuse_ino_t parent, const char *name)
{
    (void)parent;
    pthread_mutex_lock(&lock);
    int ino = FindLocked(name);
    if (ino != 0)
        files[ino].live = 0;
    pthread_mutex_unlock(&lock);
    fuse_reply_err(request, ino != 0 ? 0 : ENOENT);
}

static void OpWrite(fuse_req_t request, fuse_ino_t ino, const char *bytes, size_t size, off_t offset,
                    struct fuse_file_info *info)
{
    (void)bytes;
    (void)info;
    if (ValidFile(ino)) {
        pthread_mutex_lock(&lock);
        if (offset + (off_t)size > files[ino].size)
            files[ino].size = offset + (off_t)size;
        pthread_mutex_unlock(&lock);
    }
    fuse_reply_write(request, size);
}

static void OpRead(fuse_req_t request, fuse_ino_t ino, size_t size, off_t offset, struct fuse_file_info *info)
{
    (void)info;
    off_t fileSize = 0;
    if (ValidFile(ino)) {
        pthread_mutex_lock(&lock);
        fileSize = files[ino].size;
        pthread_mutex_unlock(&lock);
    }
    size_t length = offset >= fileSize ? 0 : (size_t)(fileSize - offset);
    if (length > size)
        length = size;
    if (length > sizeof(zeros))
        length = sizeof(zeros);
    fuse_reply_buf(request, zeros, length);
}

static void OpRelease(fuse_req_t request, fuse_ino_t ino, struct fuse_file_info *info)
{
    (void)ino;
    (void)info;
    fuse_reply_err(request, 0);
}

int main(int argc, char **argv)
{
    struct fuse_lowlevel_ops ops;
    memset(&ops, 0, sizeof(ops));
    ops.init = OpInit;
    ops.lookup = OpLookup;
    ops.getattr = OpGetattr;
    ops.setattr = OpSetattr;
    ops.create = OpCreate;
    ops.open = OpOpen;
    ops.unlink = OpUnlink;
    ops.write = OpWrite;
    ops.read = OpRead;
    ops.flush = OpRelease; /* nothing to flush */
    ops.release = OpRelease;

    struct fuse_args args = FUSE_ARGS_INIT(argc, argv);
    struct fuse_cmdline_opts options;
    if (fuse_parse_cmdline(&args, &options) != 0 || options.mountpoint == NULL) {
        fprintf(stderr, "usage: fuse-floor MOUNTPOINT [libfuse options]\n");
        return 1;
    }
    fuse_opt_add_arg(&args, "-omax_read=1048576");
    struct fuse_session *session = fuse_session_new(&args, &ops, sizeof(ops), NULL);
    if (session == NULL || fuse_session_mount(session, options.mountpoint) != 0) {
        fprintf(stderr, "fuse-floor: cannot mount %s\n", options.mountpoint);
        return 2;
    }
    struct fuse_loop_config *config = fuse_loop_cfg_create();
    fuse_loop_cfg_set_max_threads(config, 16);
    int status = fuse_session_loop_mt(session, config);
    fuse_loop_cfg_destroy(config);
    fuse_session_unmount(session);
    fuse_session_destroy(session);
    free(options.mountpoint);
    fuse_opt_free_args(&args);
    return status == 0 ? 0 : 2;
}
