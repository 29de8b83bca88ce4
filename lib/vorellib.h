/*
 * vorellib: the client library of the Vorel in-memory file system.
 *
 * Every operation is a C function that returns a vorel_status: 0 on success, or
 * one of a small set of failures with a fixed text (vorel_status_name). A request
 * that reached the driver and failed also leaves the system's error code in the
 * connection (vorel_last_native_error), so a program can show the system's own
 * message for it. The library takes no locks and keeps no global state; one
 * connection must not be used by two threads at once, separate connections are
 * independent. It never hands out memory the caller must free.
 */
#pragma once

#if defined(__cplusplus)
extern "C" {
#endif

#if defined(VORELLIB_BUILDING)
#define VORELLIB_API __attribute__((visibility("default")))
#else
#define VORELLIB_API
#endif

/* A connection to the driver's control device. */
typedef struct vorel_connection *vorel_handle;

/* Result of every operation. */
typedef unsigned int vorel_status;
#define VOREL_OK 0u
#define VOREL_ERR_NOT_RUNNING 1u      /* "driver not running" */
#define VOREL_ERR_ACCESS_DENIED 2u    /* "access denied" */
#define VOREL_ERR_BUSY 3u             /* "busy" */
#define VOREL_ERR_NOT_FOUND 4u        /* "not found" */
#define VOREL_ERR_EXISTS 5u           /* "already exists" */
#define VOREL_ERR_INVALID 6u          /* "invalid argument" (also every argument refused before sending) */
#define VOREL_ERR_NO_IMAGE 7u         /* "no bound image" */
#define VOREL_ERR_DISK_FULL 8u        /* "disk full" */
#define VOREL_ERR_NO_MEMORY 9u        /* "out of memory" */
#define VOREL_ERR_SHORT_REPLY 10u     /* "short reply" */
#define VOREL_ERR_NOT_SUPPORTED 11u   /* "not supported by driver" */
#define VOREL_ERR_TRANSPORT 12u       /* "transport error" */

/* The driver's answer to a ping. */
typedef struct vorel_ping_info {
    unsigned int major;   /* 26 */
    unsigned int minor;   /* 7 */
    unsigned int reserved; /* 0 */
    char build[32];       /* the driver's build date and time, NUL-terminated */
} vorel_ping_info;

/* A volume to create. */
typedef struct vorel_volume_spec {
    char letter;               /* drive letter, either case */
    unsigned int flags;        /* 0x1 no per-file security, 0x8 no Recycle Bin / System Volume Information */
    unsigned int compression;  /* cold-file compression: 0 none, 1 fast, 2 normal, 3 max */
    unsigned long long size;   /* bytes; at least 4 MiB without an image (any, 0 too, with one) */
    char label[128];
    char image_path[2048];     /* full path of a persistent image, or empty */
    char folders[4096];        /* folders made at mount, separated by line feeds, or empty */
} vorel_volume_spec;

/* One boot-volume configuration: filled by vorel_config_query, taken by vorel_config_set. */
typedef struct vorel_boot_config {
    char letter;
    unsigned int flags;        /* 0x1 no per-file security, 0x2 manual, 0x4 save at shutdown and before
                                  dismount, 0x10 periodic save, 0x20 no Recycle Bin folders */
    unsigned int compression;  /* 0..3 */
    unsigned int period;       /* seconds between periodic saves */
    unsigned long long size;   /* bytes */
    unsigned int mounted;      /* query only: non-zero while a volume with this letter is mounted */
    unsigned int auto_mount_status; /* query only: the driver's status of the last automatic mount, 0 if none */
    char label[128];
    char image_path[2048];
    char folders[4096];
} vorel_boot_config;

/* One mounted volume. */
typedef struct vorel_live_volume {
    char letter;
    unsigned int flags;        /* 0x1 no per-file security, 0x8 no Recycle Bin folders */
    unsigned int compression;  /* 0 none, 1 fast, 2 normal, 3 max */
    unsigned long long size;   /* bytes */
    unsigned long long used;   /* bytes in use */
    char label[128];
    char image_path[2048];
} vorel_live_volume;

/* I/O totals: the running ones count operations in the last two fields, the
 * lifetime ones hold the peak read and write speeds (bytes per second) there. */
typedef struct vorel_io_totals {
    unsigned long long bytes_read;
    unsigned long long bytes_written;
    unsigned long long reads;   /* lifetime: peak read speed */
    unsigned long long writes;  /* lifetime: peak write speed */
} vorel_io_totals;

/* A volume's compression statistics, in the driver's order. */
typedef struct vorel_comp_stats {
    unsigned long long compressed_files;        /* files with at least one compressed extent */
    unsigned long long compressed_extent_bytes; /* extent bytes held in compressed form */
    unsigned long long compressed_memory;       /* memory the compressed forms take */
    unsigned long long extents_compressed;
    unsigned long long extents_decompressed;
    unsigned long long extents_not_worth;       /* found not worth compressing */
    unsigned long long zero_extents_released;   /* all-zero extents given back */
    unsigned long long held_bytes;              /* the volume's held bytes */
} vorel_comp_stats;

/* A volume's image binding and the state of its saves. */
typedef struct vorel_persist_state {
    unsigned int bound;             /* non-zero: the volume is bound to an image file */
    unsigned int committed;         /* non-zero: the file holds a committed image */
    unsigned int checksums;         /* non-zero: the image's data slots carry checksums */
    unsigned int last_save_status;  /* the driver's status of the last save, 0 after a success */
    unsigned long long generation;  /* of the committed image */
    unsigned long long last_save_time; /* system time (100 ns since 1601) of the last successful save */
    unsigned long long high_water;  /* slot high-water mark of the committed image */
    unsigned long long last_save_slots; /* slots the last successful save wrote; 0 before one */
    unsigned char image_id[16];
    char image_path[2048];
} vorel_persist_state;

/* The driver's record of the last failed image operation (bind, load or save). */
typedef struct vorel_persist_error {
    unsigned int valid;             /* 1 once anything was recorded */
    unsigned int status;            /* the driver's failure status */
    unsigned int operation;         /* 1 bind, 2 load, 3 save */
    unsigned int stage;
    unsigned long long time;        /* system time (100 ns since 1601) */
    char image_path[2048];
    char message[512];
} vorel_persist_error;

/* A volume's small-record cache statistics (a request this driver refuses). */
typedef struct vorel_slab_stats {
    unsigned int values[20];
    unsigned long long totals[3];
} vorel_slab_stats;

/* A volume's security-descriptor store statistics (a request this driver refuses). */
typedef struct vorel_sd_stats {
    unsigned int descriptors;
    unsigned int reserved;     /* always 0 */
    unsigned long long bytes;
} vorel_sd_stats;

/* The machine's physical memory, in bytes. */
typedef struct vorel_system_memory {
    unsigned long long total;
    unsigned long long available;
} vorel_system_memory;

/* What an image file's header says about the volume it holds (vorel_image_query). */
typedef struct vorel_image_info {
    unsigned long long size;    /* the volume size stored in the image, bytes */
    unsigned int compression;   /* cold-file compression level 0..3 */
    unsigned int security;      /* 1 when the volume had per-file security */
    char label[128];
} vorel_image_info;

/*
 * Opens a connection. *out receives it (null on failure). native_error, when
 * given, receives the system's error code of a failed open (0 otherwise).
 * VOREL_ERR_NOT_RUNNING when the control device does not exist.
 */
VORELLIB_API vorel_status vorel_connect(vorel_handle *out, unsigned int *native_error);
/* Closes a connection; null is ignored. */
VORELLIB_API void vorel_disconnect(vorel_handle h);
/* The system's error code of the last request sent on h (0 after a success, 0 for null). */
VORELLIB_API unsigned int vorel_last_native_error(vorel_handle h);
/* The fixed text of a status ("unknown status" for a value outside the table); never null. */
VORELLIB_API const char *vorel_status_name(unsigned int status);

/* The driver's version and build. */
VORELLIB_API vorel_status vorel_ping(vorel_handle h, vorel_ping_info *info);
/* The driver's user-access switch: 1 when any user may create and dismount volumes. */
VORELLIB_API vorel_status vorel_settings_get(vorel_handle h, unsigned int *allow_user_access);
/* Sets the user-access switch (non-zero = on); administrators only. */
VORELLIB_API vorel_status vorel_settings_set(vorel_handle h, unsigned int allow_user_access);

/* Creates and mounts a volume (VOREL_ERR_EXISTS when its letter is taken). */
VORELLIB_API vorel_status vorel_volume_create(vorel_handle h, const vorel_volume_spec *spec);
/* Dismounts a volume (VOREL_ERR_BUSY while it is in use). */
VORELLIB_API vorel_status vorel_volume_dismount(vorel_handle h, char letter);
/* Resizes a mounted volume; size at least 4 MiB (VOREL_ERR_DISK_FULL below what it holds). */
VORELLIB_API vorel_status vorel_volume_resize(vorel_handle h, char letter, unsigned long long size);
/* Saves a volume to its image, or (path not empty) fully to path, binding it there. */
VORELLIB_API vorel_status vorel_volume_save(vorel_handle h, char letter, const char *path);
/* The volume's image binding and save state; the driver's record of the last failed image operation. */
VORELLIB_API vorel_status vorel_persist_query(vorel_handle h, char letter, vorel_persist_state *state);
VORELLIB_API vorel_status vorel_persist_last_error(vorel_handle h, vorel_persist_error *error);
/* Stores a boot-volume configuration (mounted when the driver next starts, unless manual). */
VORELLIB_API vorel_status vorel_config_set(vorel_handle h, const vorel_boot_config *config);
/* Removes a letter's boot-volume configuration (a mounted volume stays mounted). */
VORELLIB_API vorel_status vorel_config_delete(vorel_handle h, char letter);
/* The boot-volume configurations: entries must hold 26 records; *count receives how many were filled. */
VORELLIB_API vorel_status vorel_config_query(vorel_handle h, vorel_boot_config *entries, unsigned int *count);
/*
 * Without the driver: count (at most 26) configurations as a JSON document. *size
 * holds buffer's capacity in bytes and receives the text's length without its NUL.
 * A null buffer only asks for the length; a buffer without room for the text and its
 * NUL gets nothing and VOREL_ERR_SHORT_REPLY. Every text field must be valid UTF-8
 * ending inside its array (else VOREL_ERR_INVALID).
 */
VORELLIB_API vorel_status vorel_config_export_json(const vorel_boot_config *entries, unsigned int count,
                                                   char *buffer, unsigned long long *size);
/*
 * Without the driver: the configurations of a JSON document (NUL-terminated UTF-8)
 * into entries, which must hold 26 records; *count receives how many. Values are
 * taken as they are: vorel_config_set refuses what cannot be stored.
 */
VORELLIB_API vorel_status vorel_config_import_json(const char *text, vorel_boot_config *entries,
                                                   unsigned int *count);
/* The mounted volumes: volumes must hold 26 records; *count receives how many were filled. */
VORELLIB_API vorel_status vorel_live_query(vorel_handle h, vorel_live_volume *volumes, unsigned int *count);
/* Sets a mounted volume's cold-file compression level (0 none, 1 fast, 2 normal, 3 max). */
VORELLIB_API vorel_status vorel_compress_set(vorel_handle h, char letter, unsigned int level);
/* A mounted volume's compression level. */
VORELLIB_API vorel_status vorel_compress_get(vorel_handle h, char letter, unsigned int *level);
/* A mounted volume's compression statistics. */
VORELLIB_API vorel_status vorel_comp_stats_query(vorel_handle h, char letter, vorel_comp_stats *stats);
/*
 * The processes holding a volume open: at most capacity (non-zero) identifiers go to
 * ids, *count receives how many (the driver names at most 64).
 */
VORELLIB_API vorel_status vorel_volume_holders(vorel_handle h, char letter, unsigned int *ids, unsigned int capacity,
                                               unsigned int *count);
/* Reserved statistics: this driver refuses both (VOREL_ERR_NOT_SUPPORTED). */
VORELLIB_API vorel_status vorel_slab_stats_query(vorel_handle h, char letter, vorel_slab_stats *stats);
VORELLIB_API vorel_status vorel_sd_stats_query(vorel_handle h, char letter, vorel_sd_stats *stats);
/*
 * Gets the driver ready to be unloaded: its services stop and every volume is
 * dismounted; then its control device goes. VOREL_ERR_BUSY when a volume stayed
 * (the driver runs on as before). *volumes_left (optional) receives the number of
 * volumes that stayed whenever the driver replied, on success and on busy alike.
 */
VORELLIB_API vorel_status vorel_prepare_unload(vorel_handle h, unsigned int *volumes_left);
/* Bytes and operations read and written on every mounted volume since the driver started. */
VORELLIB_API vorel_status vorel_io_stats_query(vorel_handle h, vorel_io_totals *totals);
/* Totals kept across driver restarts, with the peak speeds. */
VORELLIB_API vorel_status vorel_lifetime_stats_query(vorel_handle h, vorel_io_totals *totals);

/* Without the driver: the machine's total and available physical memory. */
VORELLIB_API vorel_status vorel_system_memory_query(vorel_system_memory *memory);
/* Without the driver: the drive letters in use, bit 0 = A: ... bit 25 = Z:. */
VORELLIB_API vorel_status vorel_used_drive_letters(unsigned int *mask);

/*
 * Without the driver: the bytes free to the caller on the volume that holds path (a
 * file or folder that need not exist yet: the nearest existing folder above it counts).
 * VOREL_ERR_NOT_FOUND when not even its drive's root answers.
 */
VORELLIB_API vorel_status vorel_free_space_query(const char *path, unsigned long long *free_bytes);
/*
 * Without the driver: what an image file's header says. VOREL_ERR_INVALID for a file
 * shorter than one header or without an image header; VOREL_ERR_NOT_SUPPORTED for an
 * image of a format this library does not read.
 */
VORELLIB_API vorel_status vorel_image_query(const char *path, vorel_image_info *info);
/*
 * Without the driver: makes target (replacing a file of that name) a copy of source that
 * shares its storage (block cloning); both must lie on one volume of this system. On
 * failure the target is removed again.
 */
VORELLIB_API vorel_status vorel_file_clone(const char *source, const char *target);

#if defined(__cplusplus)
}
#endif
