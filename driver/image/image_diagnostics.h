/*
 * The image format's diagnostic entry points. The driver exports this table as
 * "VorelImageDiagnostics" so that the test suite reaches the header and stream
 * routines in the loaded module without an image file or a volume.
 */
#pragma once

#define VOREL_IMAGE_DIAGNOSTICS_VERSION 1

typedef struct _VOREL_IMAGE_DIAGNOSTICS {
    ULONG Size;
    ULONG Version;

    /* Geometry and slot claims. */
    NTSTATUS (*CheckImageSectorSize)(ULONG Reported, PULONG SectorSize);
    ULONGLONG (*ImageSlotOffset)(ULONG SlotNumber);
    ULONG (*ImageWrittenLength)(ULONG StoredLength, ULONG SectorSize);
    BOOLEAN (*ImageSlotInsideFile)(ULONG SlotNumber, ULONG StoredLength, ULONG SectorSize, ULONGLONG FileSize);
    ULONG (*ImageStreamPieceCount)(ULONGLONG StreamLength);
    SIZE_T (*ImageSlotClaimWords)(ULONGLONG HighWater);
    VOID (*InitializeImageSlotClaims)(PIMAGE_SLOT_CLAIMS Claims, PULONGLONG Words, ULONGLONG HighWater);
    NTSTATUS (*ClaimImageSlot)(PIMAGE_SLOT_CLAIMS Claims, ULONG SlotNumber);

    /* Header copies. */
    VOID (*BuildImageHeaderCopy)(PCIMAGE_HEADER Header, PUCHAR Copy);
    NTSTATUS (*CheckImageHeaderCopy)(const UCHAR *Copy, SIZE_T Length, PULONGLONG Generation);
    VOID (*ParseImageHeaderCopy)(const UCHAR *Copy, PIMAGE_HEADER Header);
    NTSTATUS (*ChooseImageHeaderCopy)(const UCHAR *Copy0, SIZE_T Length0, const UCHAR *Copy1, SIZE_T Length1,
                                      PULONG Active, PIMAGE_HEADER Header);
    NTSTATUS (*CheckImageHeaderContents)(PCIMAGE_HEADER Header, PIMAGE_SLOT_CLAIMS Claims);
    NTSTATUS (*CheckImageNextNodeId)(PCIMAGE_HEADER Header, ULONGLONG LargestNodeId);
    NTSTATUS (*NextImageGeneration)(ULONGLONG Committed, PULONGLONG Next);

    /* The stream's writer. */
    VOID (*InitializeImageStreamWriter)(PIMAGE_STREAM_WRITER Writer, PUCHAR Buffer, SIZE_T Capacity);
    NTSTATUS (*OpenImageRecord)(PIMAGE_STREAM_WRITER Writer, ULONG Type);
    NTSTATUS (*AppendImageBytes)(PIMAGE_STREAM_WRITER Writer, const VOID *Bytes, SIZE_T Length);
    NTSTATUS (*CloseImageRecord)(PIMAGE_STREAM_WRITER Writer);
    NTSTATUS (*AppendImageRecord)(PIMAGE_STREAM_WRITER Writer, ULONG Type, const VOID *Payload, ULONG Length);
    NTSTATUS (*AppendImageSecurityTableHead)(PIMAGE_STREAM_WRITER Writer, ULONG Count);
    NTSTATUS (*AppendImageSecurityEntry)(PIMAGE_STREAM_WRITER Writer, const VOID *Descriptor, ULONG Length);
    NTSTATUS (*AppendImageNodeFixed)(PIMAGE_STREAM_WRITER Writer, PCIMAGE_NODE_RECORD Node);
    NTSTATUS (*AppendImageDataMapHead)(PIMAGE_STREAM_WRITER Writer, ULONG Count);
    NTSTATUS (*AppendImageDataMapEntry)(PIMAGE_STREAM_WRITER Writer, PCIMAGE_DATA_MAP_ENTRY Entry);
    NTSTATUS (*AppendImageDirectoryHead)(PIMAGE_STREAM_WRITER Writer, ULONGLONG DirectoryId, ULONG Count);
    NTSTATUS (*AppendImageDirectoryEntry)(PIMAGE_STREAM_WRITER Writer, ULONGLONG ChildId, const WCHAR *Name,
                                          USHORT NameLength);
    NTSTATUS (*AppendImageStreamEnd)(PIMAGE_STREAM_WRITER Writer, ULONGLONG NodeCount, ULONGLONG EntryCount);

    /* The stream's reader. */
    VOID (*InitializeImageStreamReader)(PIMAGE_STREAM_READER Reader, const UCHAR *Buffer, SIZE_T Length);
    NTSTATUS (*ReadImageRecord)(PIMAGE_STREAM_READER Reader, PIMAGE_RECORD Record, PBOOLEAN End);
    NTSTATUS (*CheckImageRecordType)(ULONG Type, PBOOLEAN Skip);
    NTSTATUS (*ParseImageSecurityTable)(const IMAGE_RECORD *Record, PIMAGE_SECURITY_TABLE Table);
    NTSTATUS (*NextImageSecurityEntry)(PIMAGE_SECURITY_TABLE Table, const UCHAR **Descriptor, PULONG Length);
    NTSTATUS (*ParseImageNodeRecord)(const IMAGE_RECORD *Record, PIMAGE_NODE_RECORD Node,
                                     PIMAGE_STREAM_READER SubRecords);
    NTSTATUS (*CheckImageNodeRecord)(PCIMAGE_NODE_RECORD Node, ULONG SecurityCount);
    NTSTATUS (*CheckImageSubRecordType)(ULONG Type);
    NTSTATUS (*ParseImageDataMap)(const IMAGE_RECORD *Record, PCIMAGE_NODE_RECORD Node, ULONGLONG HighWater,
                                  PIMAGE_DATA_MAP Map);
    NTSTATUS (*NextImageDataMapEntry)(PIMAGE_DATA_MAP Map, PIMAGE_DATA_MAP_ENTRY Entry);
    NTSTATUS (*CheckImageDataMapEntry)(PCIMAGE_DATA_MAP_ENTRY Entry, ULONGLONG FileSize, ULONGLONG HighWater);
    NTSTATUS (*ParseImageDirectory)(const IMAGE_RECORD *Record, PIMAGE_DIRECTORY Directory);
    NTSTATUS (*NextImageDirectoryEntry)(PIMAGE_DIRECTORY Directory, PIMAGE_DIRECTORY_ENTRY Entry);
    NTSTATUS (*CheckImageName)(const UCHAR *Name, ULONG NameLength);
    NTSTATUS (*ParseImageStreamEnd)(const IMAGE_RECORD *Record, PULONGLONG NodeCount, PULONGLONG EntryCount);
} VOREL_IMAGE_DIAGNOSTICS, *PVOREL_IMAGE_DIAGNOSTICS;
