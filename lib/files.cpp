/*
 * Operations on files that need only the operating system: the free space where an
 * image is to go, an image file's header, and cloning a file by sharing its storage.
 * None of them touches a connection, so a failure leaves no native error anywhere:
 * each returns the mapped status of the system's error.
 */
#include "vorellib_internal.h"

#include <winioctl.h>

#include <string.h>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace {

/* The header of an image file: two copies of this record open the file. */
struct IMAGE_HEADER_COPY {
    char Magic[8];             /* "VORELIMG" */
    VOREL_U16 Version;         /* 1 */
    VOREL_U16 Written2;        /* 2 (not checked) */
    VOREL_U32 HeaderBytes;     /* 4096 */
    VOREL_U64 Checksum;        /* XXH3 of the copy with this field 0 */
    VOREL_U64 Generation;      /* the later save's copy has the larger one */
    VOREL_U8 Identifier[16];
    VOREL_U64 Flags;
    VOREL_U8 SlotShift;        /* 21 */
    VOREL_U8 WriterSystem;     /* 0 for this system */
    VOREL_U8 Zero[6];
    VOREL_U64 SlotHighWater;   /* below 2^31 */
    VOREL_U64 VolumeBytes;
    VOREL_U32 SerialNumber;
    VOREL_U32 PerFileSecurity;
    VOREL_U32 Compression;
    VOREL_U32 BuildHash;
    VOREL_U64 SaveTime;
    VOREL_U64 NextNodeId;
    VOREL_WCHAR Label[VOREL_LABEL_UNITS];
    VOREL_U64 StreamBytes;
    VOREL_U64 StreamChecksum;
    VOREL_U32 MetadataSlotCount; /* at most 975 */
    VOREL_U32 MetadataSlots[975];
};
static_assert(sizeof(IMAGE_HEADER_COPY) == 4096 && FIELD_OFFSET(IMAGE_HEADER_COPY, Label) == 112 &&
                  FIELD_OFFSET(IMAGE_HEADER_COPY, MetadataSlots) == 196,
              "image header copy layout");

constexpr DWORD kHeaderCopyBytes = sizeof(IMAGE_HEADER_COPY);
const char kImageMagic[8] = {'V', 'O', 'R', 'E', 'L', 'I', 'M', 'G'};

bool HasMagic(const IMAGE_HEADER_COPY *copy)
{
    return memcmp(copy->Magic, kImageMagic, sizeof(kImageMagic)) == 0;
}

/*
 * Whether a copy's checksum holds: XXH3 of the copy with its checksum field 0. A
 * copy torn by a crash in the middle of a save fails it, and the driver then
 * loads the other copy: the answer here must be that one's too.
 */
bool ChecksumHolds(const IMAGE_HEADER_COPY *copy)
{
    IMAGE_HEADER_COPY scratch;
    memcpy(&scratch, copy, sizeof(scratch));
    scratch.Checksum = 0;
    return XXH3_64bits(&scratch, sizeof(scratch)) == copy->Checksum;
}

/* A copy this library reads: this format, this system, whole. */
bool AcceptHeaderCopy(const IMAGE_HEADER_COPY *copy)
{
    return HasMagic(copy) && copy->Version == 1 && copy->HeaderBytes == kHeaderCopyBytes && copy->SlotShift == 21 &&
           copy->WriterSystem == 0 && copy->MetadataSlotCount < 976 && copy->SlotHighWater < (1ull << 31) &&
           ChecksumHolds(copy);
}

/* The status of the calling thread's last Win32 error. */
vorel_status LastErrorStatus()
{
    return vorellib::MapNativeError(GetLastError());
}

/* A caller's path: non-empty, valid UTF-8, at most VOREL_PATH_UNITS UTF-16 units with its NUL. */
bool ToWidePath(const char *path, WCHAR *wide)
{
    return path != nullptr && path[0] != 0 && vorellib::ToWideField(path, wide, VOREL_PATH_UNITS);
}

} // namespace

extern "C" {

VORELLIB_API vorel_status vorel_free_space_query(const char *path, unsigned long long *free_bytes)
{
    if (free_bytes != nullptr)
        *free_bytes = 0;
    WCHAR wide[VOREL_PATH_UNITS];
    if (free_bytes == nullptr || !ToWidePath(path, wide))
        return VOREL_ERR_INVALID;
    size_t length = wcslen(wide);
    for (;;) {
        ULARGE_INTEGER available;
        if (GetDiskFreeSpaceExW(wide, &available, nullptr, nullptr)) {
            *free_bytes = available.QuadPart;
            return VOREL_OK;
        }
        // Up one folder: the image file (or folders on its way) need not exist yet.
        size_t cut = length;
        while (cut > 0 && wide[cut - 1] != L'\\')
            --cut;
        if (cut <= 1)
            return VOREL_ERR_NOT_FOUND; /* no backslash, or nothing left before it */
        size_t separator = cut - 1;
        if (separator == 2 && wide[1] == L':') {
            if (length == 3)
                return VOREL_ERR_NOT_FOUND; /* the drive's root itself failed */
            separator = 3;                  /* keep the root's backslash */
        }
        wide[separator] = 0;
        length = separator;
    }
}

VORELLIB_API vorel_status vorel_image_query(const char *path, vorel_image_info *info)
{
    if (info != nullptr)
        memset(info, 0, sizeof(*info));
    WCHAR wide[VOREL_PATH_UNITS];
    if (info == nullptr || !ToWidePath(path, wide))
        return VOREL_ERR_INVALID;
    HANDLE file = CreateFileW(wide, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return LastErrorStatus();
    auto *copies =
        static_cast<IMAGE_HEADER_COPY *>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 2 * kHeaderCopyBytes));
    if (copies == nullptr) {
        CloseHandle(file);
        return VOREL_ERR_NO_MEMORY;
    }
    vorel_status status = VOREL_OK;
    DWORD total = 0;
    while (total < 2 * kHeaderCopyBytes) {
        DWORD got = 0;
        if (!ReadFile(file, reinterpret_cast<char *>(copies) + total, 2 * kHeaderCopyBytes - total, &got, nullptr)) {
            status = LastErrorStatus();
            break;
        }
        if (got == 0)
            break; /* the end of the file */
        total += got;
    }
    CloseHandle(file);

    const IMAGE_HEADER_COPY *chosen = nullptr;
    if (status == VOREL_OK && total < kHeaderCopyBytes)
        status = VOREL_ERR_INVALID;
    if (status == VOREL_OK) {
        // Of the copies read whole, the accepted one of the later save; copy 0 on a tie.
        bool magic = false;
        for (DWORD i = 0; i < 2 && (i + 1) * kHeaderCopyBytes <= total; ++i) {
            magic = magic || HasMagic(&copies[i]);
            if (AcceptHeaderCopy(&copies[i]) && (chosen == nullptr || copies[i].Generation > chosen->Generation))
                chosen = &copies[i];
        }
        if (chosen == nullptr)
            status = magic ? VOREL_ERR_NOT_SUPPORTED : VOREL_ERR_INVALID;
    }
    if (chosen != nullptr) {
        info->size = chosen->VolumeBytes;
        info->compression = chosen->Compression;
        info->security = chosen->PerFileSecurity;
        vorellib::FromWideField(chosen->Label, VOREL_LABEL_UNITS, info->label, sizeof(info->label));
    }
    HeapFree(GetProcessHeap(), 0, copies);
    return status;
}

/*
 * vorel_file_clone: the target is created (replacing a file of its name), sized like
 * the source and given the source's extents by the file system's clone control. A
 * failure once the target exists removes it again through its disposition before the
 * handle closes, so no half-made copy stays behind; hence the target is opened with
 * DELETE access as well.
 */
VORELLIB_API vorel_status vorel_file_clone(const char *source, const char *target)
{
    WCHAR sourcePath[VOREL_PATH_UNITS], targetPath[VOREL_PATH_UNITS];
    if (!ToWidePath(source, sourcePath) || !ToWidePath(target, targetPath))
        return VOREL_ERR_INVALID;
    HANDLE from = CreateFileW(sourcePath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (from == INVALID_HANDLE_VALUE)
        return LastErrorStatus();
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(from, &information)) {
        vorel_status status = LastErrorStatus();
        CloseHandle(from);
        return status;
    }
    HANDLE to = CreateFileW(targetPath, GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
    if (to == INVALID_HANDLE_VALUE) {
        vorel_status status = LastErrorStatus();
        CloseHandle(from);
        return status;
    }

    DWORD returned = 0;
    if (information.dwFileAttributes & FILE_ATTRIBUTE_SPARSE_FILE)
        DeviceIoControl(to, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr); /* best effort */
    LONGLONG size = (LONGLONG)(((ULONGLONG)information.nFileSizeHigh << 32) | information.nFileSizeLow);
    DWORD error = ERROR_SUCCESS;
    if (size != 0) {
        FILE_END_OF_FILE_INFO end;
        end.EndOfFile.QuadPart = size;
        DUPLICATE_EXTENTS_DATA extents;
        memset(&extents, 0, sizeof(extents));
        extents.FileHandle = from;
        extents.ByteCount.QuadPart = size;
        if (!SetFileInformationByHandle(to, FileEndOfFileInfo, &end, sizeof(end)) ||
            !DeviceIoControl(to, FSCTL_DUPLICATE_EXTENTS_TO_FILE, &extents, sizeof(extents), nullptr, 0, &returned,
                             nullptr))
            error = GetLastError();
    }
    if (error != ERROR_SUCCESS) {
        FILE_DISPOSITION_INFO remove;
        remove.DeleteFile = TRUE;
        SetFileInformationByHandle(to, FileDispositionInfo, &remove, sizeof(remove));
    }
    CloseHandle(to);
    CloseHandle(from);
    return error == ERROR_SUCCESS ? VOREL_OK : vorellib::MapNativeError(error);
}

} // extern "C"
