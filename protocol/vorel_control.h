/*
 * The control protocol between the client library and the driver's control
 * device: control codes, and every request and reply record byte for byte.
 *
 * Every request is IRP_MJ_DEVICE_CONTROL on \Device\Vorel (user mode: \\.\Vorel)
 * with METHOD_BUFFERED and FILE_ANY_ACCESS: input and output share one system
 * buffer, so a reply overwrites its request. All integers are little-endian;
 * strings are zero-terminated UTF-16 in fixed arrays (an array of N units carries
 * at most N - 1 characters: the driver zeroes the last unit before use). A drive
 * letter is an upper-case 'A'..'Z' in a 16-bit unit.
 *
 * This header is shared by kernel and user mode and includes nothing: its types
 * are the compiler's own.
 */
#pragma once

typedef unsigned char VOREL_U8;
typedef unsigned short VOREL_U16;
typedef unsigned int VOREL_U32;
typedef unsigned long long VOREL_U64;
typedef wchar_t VOREL_WCHAR;

#define VOREL_CONTROL_DEVICE_NAME L"\\Device\\Vorel"
#define VOREL_CONTROL_LINK_NAME L"\\DosDevices\\Vorel"
#define VOREL_CONTROL_USER_PATH L"\\\\.\\Vorel"

#define VOREL_DEVICE_TYPE 0x8123u
#define VOREL_CTL_CODE(Function) ((VOREL_U32)((VOREL_DEVICE_TYPE << 16) | ((Function) << 2)))

#define IOCTL_VOREL_PING VOREL_CTL_CODE(0x800)
#define IOCTL_VOREL_CREATE_VOLUME VOREL_CTL_CODE(0x801)
#define IOCTL_VOREL_DISMOUNT_VOLUME VOREL_CTL_CODE(0x802)
#define IOCTL_VOREL_SLAB_STATISTICS VOREL_CTL_CODE(0x803)          /* reserved: refused */
#define IOCTL_VOREL_DESCRIPTOR_STATISTICS VOREL_CTL_CODE(0x804)    /* reserved: refused */
#define IOCTL_VOREL_GET_SETTINGS VOREL_CTL_CODE(0x805)
#define IOCTL_VOREL_SET_SETTINGS VOREL_CTL_CODE(0x806)
#define IOCTL_VOREL_SET_COMPRESSION_LEVEL VOREL_CTL_CODE(0x807)
#define IOCTL_VOREL_GET_COMPRESSION_LEVEL VOREL_CTL_CODE(0x808)
#define IOCTL_VOREL_COMPRESSION_STATISTICS VOREL_CTL_CODE(0x809)
#define IOCTL_VOREL_SAVE_VOLUME VOREL_CTL_CODE(0x80A)
#define IOCTL_VOREL_PERSISTENCE_STATE VOREL_CTL_CODE(0x80B)
#define IOCTL_VOREL_LAST_PERSISTENCE_ERROR VOREL_CTL_CODE(0x80C)
#define IOCTL_VOREL_PREPARE_UNLOAD VOREL_CTL_CODE(0x80D)
#define IOCTL_VOREL_SET_BOOT_CONFIGURATION VOREL_CTL_CODE(0x80E)
#define IOCTL_VOREL_DELETE_BOOT_CONFIGURATION VOREL_CTL_CODE(0x80F)
#define IOCTL_VOREL_QUERY_BOOT_CONFIGURATION VOREL_CTL_CODE(0x810)
#define IOCTL_VOREL_QUERY_MOUNTED_VOLUMES VOREL_CTL_CODE(0x811)
#define IOCTL_VOREL_IO_STATISTICS VOREL_CTL_CODE(0x812)
#define IOCTL_VOREL_RESIZE_VOLUME VOREL_CTL_CODE(0x81A)
#define IOCTL_VOREL_LIFETIME_STATISTICS VOREL_CTL_CODE(0x81B)
#define IOCTL_VOREL_VOLUME_HOLDERS VOREL_CTL_CODE(0x81E)

#define VOREL_VERSION_MAJOR 26
#define VOREL_VERSION_MINOR 7
#define VOREL_LETTER_COUNT 26
#define VOREL_LABEL_UNITS 32
#define VOREL_PATH_UNITS 512
#define VOREL_FOLDERS_UNITS 1024
#define VOREL_MESSAGE_UNITS 128
#define VOREL_BUILD_STAMP_BYTES 32
#define VOREL_MAX_HOLDERS 64
#define VOREL_MIN_RESIZE_BYTES 0x400000ull

/* Letter-only input: dismount, delete boot configuration, compression statistics, volume holders. */
typedef struct _VOREL_LETTER_INPUT {
    VOREL_U16 Letter;
    VOREL_U16 Zero;
} VOREL_LETTER_INPUT;

typedef struct _VOREL_PING_REPLY {
    VOREL_U32 Major;
    VOREL_U32 Minor;
    VOREL_U32 Zero;
    char BuildStamp[VOREL_BUILD_STAMP_BYTES]; /* "Mmm dd yyyy hh:mm:ss", zero-padded */
} VOREL_PING_REPLY;

/* Create volume flags. */
#define VOREL_CREATE_NO_SECURITY 0x00000001
#define VOREL_CREATE_COMPRESSION_MASK 0x00000006
#define VOREL_CREATE_COMPRESSION_SHIFT 1
#define VOREL_CREATE_NO_RECYCLE 0x00000008
#define VOREL_CREATE_VALID_FLAGS 0x0000000F

typedef struct _VOREL_CREATE_VOLUME_INPUT {
    VOREL_U16 Letter;
    VOREL_U16 Zero1[3];
    VOREL_U64 SizeBytes;                      /* 0 only with an image path */
    VOREL_WCHAR Label[VOREL_LABEL_UNITS];
    VOREL_U32 Flags;
    VOREL_U32 Zero2;
    VOREL_WCHAR ImagePath[VOREL_PATH_UNITS];  /* empty = no image */
    VOREL_WCHAR InitialFolders[VOREL_FOLDERS_UNITS];
} VOREL_CREATE_VOLUME_INPUT;

typedef struct _VOREL_SETTINGS {
    VOREL_U32 AllowUserAccess;
    VOREL_U32 Zero;
} VOREL_SETTINGS;

typedef struct _VOREL_COMPRESSION_LEVEL {
    VOREL_U16 Letter;     /* set: the volume; get: the volume in, zero in the reply */
    VOREL_U16 Zero1;
    VOREL_U32 Level;      /* 0 none, 1 fast, 2 normal, 3 max */
} VOREL_COMPRESSION_LEVEL;

typedef struct _VOREL_COMPRESSION_STATISTICS {
    VOREL_U64 CompressedFiles;
    VOREL_U64 CompressedExtentBytes;
    VOREL_U64 CompressedMemory;
    VOREL_U64 ExtentsCompressed;
    VOREL_U64 ExtentsDecompressed;
    VOREL_U64 ExtentsNotWorthCompressing;
    VOREL_U64 ZeroExtentsReleased;
    VOREL_U64 HeldBytes;
} VOREL_COMPRESSION_STATISTICS;

typedef struct _VOREL_SAVE_INPUT {
    VOREL_U16 Letter;
    VOREL_U16 Zero1;
    VOREL_U32 Zero2;
    VOREL_WCHAR NewImagePath[VOREL_PATH_UNITS]; /* empty = the bound image */
} VOREL_SAVE_INPUT;

typedef struct _VOREL_PERSISTENCE_STATE {
    VOREL_U16 Letter;
    VOREL_U16 Zero1;
    VOREL_U32 Bound;
    VOREL_U32 Committed;
    VOREL_U32 Checksums;
    VOREL_U32 LastSaveStatus;
    VOREL_U32 Zero2;
    VOREL_U64 Generation;
    VOREL_U64 LastSaveTime;
    VOREL_U64 SlotHighWater;
    VOREL_U64 LastSaveCounter;
    VOREL_U8 ImageId[16];
    VOREL_WCHAR ImagePath[VOREL_PATH_UNITS];
} VOREL_PERSISTENCE_STATE;

#define VOREL_OPERATION_BIND 1
#define VOREL_OPERATION_LOAD 2
#define VOREL_OPERATION_SAVE 3

typedef struct _VOREL_PERSISTENCE_ERROR {
    VOREL_U32 Status;
    VOREL_U32 Operation;
    VOREL_U32 Stage;
    VOREL_U32 Valid;
    VOREL_U64 Time;
    VOREL_WCHAR ImagePath[VOREL_PATH_UNITS];
    VOREL_WCHAR Message[VOREL_MESSAGE_UNITS];
} VOREL_PERSISTENCE_ERROR;

typedef struct _VOREL_PREPARE_UNLOAD_REPLY {
    VOREL_U32 VolumesNotDismounted;
} VOREL_PREPARE_UNLOAD_REPLY;

/* Boot configuration flags. */
#define VOREL_BOOT_NO_SECURITY 0x00000001
#define VOREL_BOOT_MANUAL_MOUNT 0x00000002
#define VOREL_BOOT_AUTO_SAVE 0x00000004
#define VOREL_BOOT_PERIODIC_SAVE 0x00000010
#define VOREL_BOOT_NO_RECYCLE 0x00000020
#define VOREL_BOOT_VALID_FLAGS 0x00000037
#define VOREL_MIN_SAVE_INTERVAL 5
#define VOREL_MAX_SAVE_INTERVAL 86400

typedef struct _VOREL_BOOT_CONFIGURATION {
    VOREL_U16 Letter;
    VOREL_U16 Zero;
    VOREL_U32 Flags;
    VOREL_U64 SizeBytes;
    VOREL_U32 CompressionLevel;
    VOREL_U32 Mounted;          /* reply only */
    VOREL_U32 AutoMountStatus;  /* reply only */
    VOREL_U32 SaveIntervalSeconds;
    VOREL_WCHAR Label[VOREL_LABEL_UNITS];
    VOREL_WCHAR ImagePath[VOREL_PATH_UNITS];
    VOREL_WCHAR InitialFolders[VOREL_FOLDERS_UNITS];
} VOREL_BOOT_CONFIGURATION;

typedef struct _VOREL_BOOT_CONFIGURATION_LIST {
    VOREL_U32 Count;
    VOREL_U32 Zero;
    VOREL_BOOT_CONFIGURATION Entries[VOREL_LETTER_COUNT];
} VOREL_BOOT_CONFIGURATION_LIST;

typedef struct _VOREL_MOUNTED_VOLUME {
    VOREL_U16 Letter;
    VOREL_U16 Zero1;
    VOREL_U32 Flags;            /* bit 0 no per-file security, bit 3 no recycle */
    VOREL_U64 SizeBytes;
    VOREL_U64 BytesInUse;
    VOREL_U32 CompressionLevel;
    VOREL_U32 Zero2;
    VOREL_WCHAR Label[VOREL_LABEL_UNITS];
    VOREL_WCHAR ImagePath[VOREL_PATH_UNITS];
} VOREL_MOUNTED_VOLUME;

typedef struct _VOREL_MOUNTED_VOLUME_LIST {
    VOREL_U32 Count;
    VOREL_U32 Zero;
    VOREL_MOUNTED_VOLUME Entries[VOREL_LETTER_COUNT];
} VOREL_MOUNTED_VOLUME_LIST;

typedef struct _VOREL_IO_STATISTICS {
    VOREL_U64 BytesRead;
    VOREL_U64 BytesWritten;
    VOREL_U64 ReadOperations;
    VOREL_U64 WriteOperations;
} VOREL_IO_STATISTICS;

typedef struct _VOREL_RESIZE_INPUT {
    VOREL_U16 Letter;
    VOREL_U16 Zero1;
    VOREL_U32 Zero2;
    VOREL_U64 NewSizeBytes;
} VOREL_RESIZE_INPUT;

typedef struct _VOREL_LIFETIME_STATISTICS {
    VOREL_U64 BytesRead;
    VOREL_U64 BytesWritten;
    VOREL_U64 PeakReadBytesPerSecond;
    VOREL_U64 PeakWriteBytesPerSecond;
} VOREL_LIFETIME_STATISTICS;

typedef struct _VOREL_VOLUME_HOLDERS {
    VOREL_U32 Count;
    VOREL_U32 ProcessIds[VOREL_MAX_HOLDERS];
} VOREL_VOLUME_HOLDERS;

/* Sizes and offsets every side relies on. */
#define VOREL_STATIC_ASSERT(e) static_assert(e, #e)
VOREL_STATIC_ASSERT(sizeof(VOREL_WCHAR) == 2);
VOREL_STATIC_ASSERT(IOCTL_VOREL_PING == 0x81232000 && IOCTL_VOREL_RESIZE_VOLUME == 0x81232068 &&
                    IOCTL_VOREL_VOLUME_HOLDERS == 0x81232078 && IOCTL_VOREL_LIFETIME_STATISTICS == 0x8123206C);
VOREL_STATIC_ASSERT(sizeof(VOREL_LETTER_INPUT) == 4);
VOREL_STATIC_ASSERT(sizeof(VOREL_PING_REPLY) == 44 && __builtin_offsetof(VOREL_PING_REPLY, BuildStamp) == 12);
VOREL_STATIC_ASSERT(sizeof(VOREL_CREATE_VOLUME_INPUT) == 3160);
VOREL_STATIC_ASSERT(__builtin_offsetof(VOREL_CREATE_VOLUME_INPUT, SizeBytes) == 8 &&
                    __builtin_offsetof(VOREL_CREATE_VOLUME_INPUT, Label) == 16 &&
                    __builtin_offsetof(VOREL_CREATE_VOLUME_INPUT, Flags) == 80 &&
                    __builtin_offsetof(VOREL_CREATE_VOLUME_INPUT, ImagePath) == 88 &&
                    __builtin_offsetof(VOREL_CREATE_VOLUME_INPUT, InitialFolders) == 1112);
VOREL_STATIC_ASSERT(sizeof(VOREL_SETTINGS) == 8 && sizeof(VOREL_COMPRESSION_LEVEL) == 8);
VOREL_STATIC_ASSERT(sizeof(VOREL_COMPRESSION_STATISTICS) == 64);
VOREL_STATIC_ASSERT(sizeof(VOREL_SAVE_INPUT) == 1032 && __builtin_offsetof(VOREL_SAVE_INPUT, NewImagePath) == 8);
VOREL_STATIC_ASSERT(sizeof(VOREL_PERSISTENCE_STATE) == 1096);
VOREL_STATIC_ASSERT(__builtin_offsetof(VOREL_PERSISTENCE_STATE, Bound) == 4 &&
                    __builtin_offsetof(VOREL_PERSISTENCE_STATE, LastSaveStatus) == 16 &&
                    __builtin_offsetof(VOREL_PERSISTENCE_STATE, Generation) == 24 &&
                    __builtin_offsetof(VOREL_PERSISTENCE_STATE, LastSaveCounter) == 48 &&
                    __builtin_offsetof(VOREL_PERSISTENCE_STATE, ImageId) == 56 &&
                    __builtin_offsetof(VOREL_PERSISTENCE_STATE, ImagePath) == 72);
VOREL_STATIC_ASSERT(sizeof(VOREL_PERSISTENCE_ERROR) == 1304 &&
                    __builtin_offsetof(VOREL_PERSISTENCE_ERROR, Time) == 16 &&
                    __builtin_offsetof(VOREL_PERSISTENCE_ERROR, ImagePath) == 24 &&
                    __builtin_offsetof(VOREL_PERSISTENCE_ERROR, Message) == 1048);
VOREL_STATIC_ASSERT(sizeof(VOREL_BOOT_CONFIGURATION) == 3168);
VOREL_STATIC_ASSERT(__builtin_offsetof(VOREL_BOOT_CONFIGURATION, SizeBytes) == 8 &&
                    __builtin_offsetof(VOREL_BOOT_CONFIGURATION, CompressionLevel) == 16 &&
                    __builtin_offsetof(VOREL_BOOT_CONFIGURATION, Mounted) == 20 &&
                    __builtin_offsetof(VOREL_BOOT_CONFIGURATION, AutoMountStatus) == 24 &&
                    __builtin_offsetof(VOREL_BOOT_CONFIGURATION, SaveIntervalSeconds) == 28 &&
                    __builtin_offsetof(VOREL_BOOT_CONFIGURATION, Label) == 32 &&
                    __builtin_offsetof(VOREL_BOOT_CONFIGURATION, ImagePath) == 96 &&
                    __builtin_offsetof(VOREL_BOOT_CONFIGURATION, InitialFolders) == 1120);
VOREL_STATIC_ASSERT(sizeof(VOREL_BOOT_CONFIGURATION_LIST) == 82376);
VOREL_STATIC_ASSERT(sizeof(VOREL_MOUNTED_VOLUME) == 1120 &&
                    __builtin_offsetof(VOREL_MOUNTED_VOLUME, SizeBytes) == 8 &&
                    __builtin_offsetof(VOREL_MOUNTED_VOLUME, BytesInUse) == 16 &&
                    __builtin_offsetof(VOREL_MOUNTED_VOLUME, CompressionLevel) == 24 &&
                    __builtin_offsetof(VOREL_MOUNTED_VOLUME, Label) == 32 &&
                    __builtin_offsetof(VOREL_MOUNTED_VOLUME, ImagePath) == 96);
VOREL_STATIC_ASSERT(sizeof(VOREL_MOUNTED_VOLUME_LIST) == 29128);
VOREL_STATIC_ASSERT(sizeof(VOREL_IO_STATISTICS) == 32 && sizeof(VOREL_LIFETIME_STATISTICS) == 32);
VOREL_STATIC_ASSERT(sizeof(VOREL_RESIZE_INPUT) == 16 && __builtin_offsetof(VOREL_RESIZE_INPUT, NewSizeBytes) == 8);
VOREL_STATIC_ASSERT(sizeof(VOREL_VOLUME_HOLDERS) == 260);
