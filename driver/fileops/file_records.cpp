/*
 * The node behind a handle, and the fixed records that describe a node: basic,
 * standard and network-open information. The information queries and the fast
 * I/O entries fill them the same way.
 *
 * The fills take no lock: each field is read once, on its own, so a record read
 * while the node changes holds every field either before or after the change
 * (never a torn value), as a caller of the fast entries expects.
 */
#include "vorel.h"

/* HandleCcb: the CCB of a file object that opens a node, or NULL for a volume handle (or none at all). */
PCCB HandleCcb(PFILE_OBJECT FileObject)
{
    if (FileObject == NULL)
        return NULL;
    PCCB ccb = (PCCB)FileObject->FsContext2;
    if (ccb == NULL || ccb->Signature != CCB_SIGNATURE)
        return NULL;
    return ccb;
}

static LARGE_INTEGER ReadTime(const LARGE_INTEGER *Time)
{
    LARGE_INTEGER value;
    value.QuadPart = ReadNoFence64((LONG64 const volatile *)&Time->QuadPart);
    return value;
}

/*
 * ReportedAllocationSize: a sparse file reports its storage capacity rounded up
 * to a page; any other node the larger of its requested allocation and its
 * size, rounded up to a page, except that a small file without a request
 * reports its size rounded up to 8.
 */
ULONGLONG ReportedAllocationSize(PFCB Fcb)
{
    PFCB_DATA data = &Fcb->Data;
    if (Fcb->Sparse)
        return ALIGN_UP_BY(ReadULong64NoFence(&data->Capacity), PAGE_SIZE);
    ULONGLONG size = ReadULong64NoFence(&data->FileSize);
    ULONGLONG requested = ReadULong64NoFence(&data->RequestedAllocation);
    if (requested == 0 && size < PAGE_SIZE)
        return ALIGN_UP_BY(size, 8);
    return ALIGN_UP_BY(requested > size ? requested : size, PAGE_SIZE);
}

/* FillBasicInformation: the four times and the reported attributes (40 bytes). */
VOID FillBasicInformation(PFCB Fcb, PFILE_BASIC_INFORMATION Record)
{
    Record->CreationTime = ReadTime(&Fcb->CreationTime);
    Record->LastAccessTime = ReadTime(&Fcb->LastAccessTime);
    Record->LastWriteTime = ReadTime(&Fcb->LastWriteTime);
    Record->ChangeTime = ReadTime(&Fcb->ChangeTime);
    Record->FileAttributes = ReportedAttributes(Fcb);
}

/* FillStandardInformation: allocation size, end of file, links, delete pending, directory (24 bytes). */
VOID FillStandardInformation(PFCB Fcb, PFILE_STANDARD_INFORMATION Record)
{
    Record->AllocationSize.QuadPart = (LONGLONG)ReportedAllocationSize(Fcb);
    Record->EndOfFile.QuadPart = (LONGLONG)ReadULong64NoFence(&Fcb->Data.FileSize);
    Record->NumberOfLinks = ReadULongNoFence(&Fcb->LinkCount);
    Record->DeletePending = ReadUCharNoFence(&Fcb->DeletePending);
    Record->Directory = Fcb->IsDirectory;
}

/* FillNetworkOpenInformation: the four times, the two sizes and the reported attributes (56 bytes). */
VOID FillNetworkOpenInformation(PFCB Fcb, PFILE_NETWORK_OPEN_INFORMATION Record)
{
    FILE_BASIC_INFORMATION basic;
    FillBasicInformation(Fcb, &basic);
    Record->CreationTime = basic.CreationTime;
    Record->LastAccessTime = basic.LastAccessTime;
    Record->LastWriteTime = basic.LastWriteTime;
    Record->ChangeTime = basic.ChangeTime;
    Record->AllocationSize.QuadPart = (LONGLONG)ReportedAllocationSize(Fcb);
    Record->EndOfFile.QuadPart = (LONGLONG)ReadULong64NoFence(&Fcb->Data.FileSize);
    Record->FileAttributes = basic.FileAttributes;
}
