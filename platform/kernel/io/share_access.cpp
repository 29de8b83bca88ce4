/*
 * Share access: how the opens of one file use it, and what they let other opens
 * do. A file system keeps one SHARE_ACCESS per file (in its FCB); every open
 * that asks for read, write or delete access is counted in it, together with
 * the sharing it grants. The file object remembers what its own open counted,
 * so that removal (at cleanup) takes away exactly that.
 *
 *   counted access    read   = FILE_READ_DATA | FILE_EXECUTE
 *                     write  = FILE_WRITE_DATA | FILE_APPEND_DATA
 *                     delete = DELETE
 *   An open that asks for none of these (FILE_READ_ATTRIBUTES, SYNCHRONIZE,
 *   READ_CONTROL, ...) is neither checked nor counted: it can never conflict.
 *
 *   conflict          the open wants an access that some counted open does not
 *                     share (Shared* < OpenCount), or some counted open holds an
 *                     access that the new open does not share (Readers != 0
 *                     without FILE_SHARE_READ, ...). Either gives
 *                     STATUS_SHARING_VIOLATION.
 *
 * File systems with hard links keep delete sharing per link as well: removing one
 * name of a file does not touch the others, so an open through one link need not
 * share delete with opens through another. LINK_SHARE_ACCESS counts the opens
 * through one link and their delete access and sharing; the file's SHARE_ACCESS
 * still counts everything (read and write are always checked there, and delete
 * there too when the caller has no link record or forces it).
 *
 * None of these routines is atomic: the caller holds the lock that guards the
 * file's (and link's) records.
 */
#include "ke/dispatcher.h"

#include <km/io.h>

namespace io {
namespace {

constexpr ACCESS_MASK kReadAccess = FILE_READ_DATA | FILE_EXECUTE;
constexpr ACCESS_MASK kWriteAccess = FILE_WRITE_DATA | FILE_APPEND_DATA;
constexpr ACCESS_MASK kDeleteAccess = DELETE;

/* What one open takes from a file and what it leaves to the others. */
struct OpenUse {
    bool read, write, remove;
    bool sharedRead, sharedWrite, sharedDelete;

    bool Counted() const { return read || write || remove; }
};

OpenUse UseOf(ACCESS_MASK access, ULONG share, ULONG flags)
{
    OpenUse use;
    use.read = (access & kReadAccess) != 0;
    use.write = (access & kWriteAccess) != 0;
    use.remove = (access & kDeleteAccess) != 0;
    use.sharedRead = (share & FILE_SHARE_READ) != 0;
    use.sharedWrite = (share & FILE_SHARE_WRITE) != 0;
    use.sharedDelete = (share & FILE_SHARE_DELETE) != 0;
    /*
     * A caller that may not write the file may read it, but not lock every other
     * reader out (a standard user denying read sharing on a system file): its
     * exclusive read is turned into a read that shares reading.
     */
    if ((flags & IO_SHARE_ACCESS_NO_WRITE_PERMISSION) && use.read && !use.sharedRead)
        use.sharedRead = true;
    return use;
}

OpenUse UseOf(const FILE_OBJECT *file)
{
    OpenUse use;
    use.read = file->ReadAccess != FALSE;
    use.write = file->WriteAccess != FALSE;
    use.remove = file->DeleteAccess != FALSE;
    use.sharedRead = file->SharedRead != FALSE;
    use.sharedWrite = file->SharedWrite != FALSE;
    use.sharedDelete = file->SharedDelete != FALSE;
    return use;
}

/*
 * The access bits are recorded for every open; the sharing bits only for one that
 * is counted (or checked), as Windows leaves them alone otherwise.
 */
void RecordAccess(PFILE_OBJECT file, const OpenUse &use)
{
    file->ReadAccess = use.read;
    file->WriteAccess = use.write;
    file->DeleteAccess = use.remove;
}

void RecordSharing(PFILE_OBJECT file, const OpenUse &use)
{
    file->SharedRead = use.sharedRead;
    file->SharedWrite = use.sharedWrite;
    file->SharedDelete = use.sharedDelete;
}

/*
 * One kind of access against the opens counted in a record: the new open wants it
 * while some open does not share it, or some open holds it while the new open
 * does not share it.
 */
bool Conflicts(ULONG openCount, ULONG holders, ULONG sharers, bool wants, bool shares)
{
    return (wants && sharers < openCount) || (holders != 0 && !shares);
}

void AddToFile(PSHARE_ACCESS share, const OpenUse &use)
{
    share->OpenCount++;
    share->Readers += use.read;
    share->Writers += use.write;
    share->Deleters += use.remove;
    share->SharedRead += use.sharedRead;
    share->SharedWrite += use.sharedWrite;
    share->SharedDelete += use.sharedDelete;
}

void RemoveFromFile(PSHARE_ACCESS share, const OpenUse &use)
{
    share->OpenCount--;
    share->Readers -= use.read;
    share->Writers -= use.write;
    share->Deleters -= use.remove;
    share->SharedRead -= use.sharedRead;
    share->SharedWrite -= use.sharedWrite;
    share->SharedDelete -= use.sharedDelete;
}

void AddToLink(PLINK_SHARE_ACCESS link, const OpenUse &use)
{
    link->OpenCount++;
    link->Deleters += use.remove;
    link->SharedDelete += use.sharedDelete;
}

void RemoveFromLink(PLINK_SHARE_ACCESS link, const OpenUse &use)
{
    link->OpenCount--;
    link->Deleters -= use.remove;
    link->SharedDelete -= use.sharedDelete;
}

/* The records as the first counted open of a file (or link) leaves them, or empty. */
void SetFile(PSHARE_ACCESS share, const OpenUse &use)
{
    *share = SHARE_ACCESS{};
    if (use.Counted())
        AddToFile(share, use);
}

void SetLink(PLINK_SHARE_ACCESS link, const OpenUse &use)
{
    *link = LINK_SHARE_ACCESS{};
    if (use.Counted())
        AddToLink(link, use);
}

/*
 * The common check. FileObject, ShareAccess and LinkShareAccess may each be null:
 * a missing file object is not updated, a missing SHARE_ACCESS checks nothing of
 * its own, a missing link record leaves delete to the SHARE_ACCESS.
 */
NTSTATUS CheckShare(ACCESS_MASK access, ULONG shareMode, PFILE_OBJECT file, PSHARE_ACCESS share,
                    PLINK_SHARE_ACCESS link, ULONG flags)
{
    OpenUse use = UseOf(access, shareMode, flags);
    bool updateFile = file != nullptr && !(flags & IO_CHECK_SHARE_ACCESS_DONT_UPDATE_FILE_OBJECT);
    if (updateFile)
        RecordAccess(file, use);
    if (!use.Counted() && !(flags & IO_CHECK_SHARE_ACCESS_FORCE_CHECK))
        return STATUS_SUCCESS;
    if (updateFile)
        RecordSharing(file, use);

    if (share != nullptr) {
        if (!(flags & IO_CHECK_SHARE_ACCESS_DONT_CHECK_READ) &&
            Conflicts(share->OpenCount, share->Readers, share->SharedRead, use.read, use.sharedRead))
            return STATUS_SHARING_VIOLATION;
        if (!(flags & IO_CHECK_SHARE_ACCESS_DONT_CHECK_WRITE) &&
            Conflicts(share->OpenCount, share->Writers, share->SharedWrite, use.write, use.sharedWrite))
            return STATUS_SHARING_VIOLATION;
    }
    if (!(flags & IO_CHECK_SHARE_ACCESS_DONT_CHECK_DELETE)) {
        if (link != nullptr && !(flags & IO_CHECK_SHARE_ACCESS_FORCE_USING_SCB)) {
            if (Conflicts(link->OpenCount, link->Deleters, link->SharedDelete, use.remove, use.sharedDelete))
                return STATUS_SHARING_VIOLATION;
        } else if (share != nullptr &&
                   Conflicts(share->OpenCount, share->Deleters, share->SharedDelete, use.remove, use.sharedDelete)) {
            return STATUS_SHARING_VIOLATION;
        }
    }

    /*
     * An open forced through the check without counted access is not counted:
     * removal goes by the file object's access bits and would never take it back.
     */
    if ((flags & IO_CHECK_SHARE_ACCESS_UPDATE_SHARE_ACCESS) && use.Counted()) {
        if (share != nullptr)
            AddToFile(share, use);
        if (link != nullptr)
            AddToLink(link, use);
    }
    return STATUS_SUCCESS;
}

void SetShare(ACCESS_MASK access, ULONG shareMode, PFILE_OBJECT file, PSHARE_ACCESS share, PLINK_SHARE_ACCESS link,
              ULONG flags)
{
    OpenUse use = UseOf(access, shareMode, flags);
    RecordAccess(file, use);
    if (use.Counted())
        RecordSharing(file, use);
    if (!(flags & IO_CHECK_SHARE_ACCESS_UPDATE_SHARE_ACCESS))
        return;
    SetFile(share, use);
    if (link != nullptr)
        SetLink(link, use);
}

ULONG WritePermissionFlag(PBOOLEAN writePermission)
{
    return writePermission != nullptr && !*writePermission ? IO_SHARE_ACCESS_NO_WRITE_PERMISSION : 0;
}

} // namespace
} // namespace io

extern "C" {

NTKERNELAPI NTSTATUS NTAPI IoCheckShareAccessEx(ACCESS_MASK DesiredAccess, ULONG DesiredShareAccess,
                                                PFILE_OBJECT FileObject, PSHARE_ACCESS ShareAccess, BOOLEAN Update,
                                                PBOOLEAN WritePermission)
{
    ke::CheckIrql((const void *)&IoCheckShareAccessEx, PASSIVE_LEVEL);
    ULONG flags = io::WritePermissionFlag(WritePermission) | (Update ? IO_CHECK_SHARE_ACCESS_UPDATE_SHARE_ACCESS : 0);
    return io::CheckShare(DesiredAccess, DesiredShareAccess, FileObject, ShareAccess, nullptr, flags);
}

NTKERNELAPI NTSTATUS NTAPI IoCheckShareAccess(ACCESS_MASK DesiredAccess, ULONG DesiredShareAccess,
                                              PFILE_OBJECT FileObject, PSHARE_ACCESS ShareAccess, BOOLEAN Update)
{
    ke::CheckIrql((const void *)&IoCheckShareAccess, PASSIVE_LEVEL);
    return io::CheckShare(DesiredAccess, DesiredShareAccess, FileObject, ShareAccess, nullptr,
                          Update ? IO_CHECK_SHARE_ACCESS_UPDATE_SHARE_ACCESS : 0);
}

NTKERNELAPI VOID NTAPI IoSetShareAccessEx(ACCESS_MASK DesiredAccess, ULONG DesiredShareAccess,
                                          PFILE_OBJECT FileObject, PSHARE_ACCESS ShareAccess,
                                          PBOOLEAN WritePermission)
{
    ke::CheckIrql((const void *)&IoSetShareAccessEx, PASSIVE_LEVEL);
    io::SetShare(DesiredAccess, DesiredShareAccess, FileObject, ShareAccess, nullptr,
                 io::WritePermissionFlag(WritePermission) | IO_CHECK_SHARE_ACCESS_UPDATE_SHARE_ACCESS);
}

NTKERNELAPI VOID NTAPI IoSetShareAccess(ACCESS_MASK DesiredAccess, ULONG DesiredShareAccess, PFILE_OBJECT FileObject,
                                        PSHARE_ACCESS ShareAccess)
{
    ke::CheckIrql((const void *)&IoSetShareAccess, PASSIVE_LEVEL);
    io::SetShare(DesiredAccess, DesiredShareAccess, FileObject, ShareAccess, nullptr,
                 IO_CHECK_SHARE_ACCESS_UPDATE_SHARE_ACCESS);
}

/* Counts an open that IoCheckShareAccess (Update FALSE) has already recorded in its file object. */
NTKERNELAPI VOID NTAPI IoUpdateShareAccess(PFILE_OBJECT FileObject, PSHARE_ACCESS ShareAccess)
{
    ke::CheckIrql((const void *)&IoUpdateShareAccess, PASSIVE_LEVEL);
    io::OpenUse use = io::UseOf(FileObject);
    if (use.Counted())
        io::AddToFile(ShareAccess, use);
}

NTKERNELAPI VOID NTAPI IoRemoveShareAccess(PFILE_OBJECT FileObject, PSHARE_ACCESS ShareAccess)
{
    ke::CheckIrql((const void *)&IoRemoveShareAccess, PASSIVE_LEVEL);
    io::OpenUse use = io::UseOf(FileObject);
    if (use.Counted())
        io::RemoveFromFile(ShareAccess, use);
}

NTKERNELAPI NTSTATUS NTAPI IoCheckLinkShareAccess(ACCESS_MASK DesiredAccess, ULONG DesiredShareAccess,
                                                  PFILE_OBJECT FileObject, PSHARE_ACCESS ShareAccess,
                                                  PLINK_SHARE_ACCESS LinkShareAccess, ULONG IoShareAccessFlags)
{
    ke::CheckIrql((const void *)&IoCheckLinkShareAccess, PASSIVE_LEVEL);
    return io::CheckShare(DesiredAccess, DesiredShareAccess, FileObject, ShareAccess, LinkShareAccess,
                          IoShareAccessFlags);
}

NTKERNELAPI VOID NTAPI IoSetLinkShareAccess(ACCESS_MASK DesiredAccess, ULONG DesiredShareAccess,
                                            PFILE_OBJECT FileObject, PSHARE_ACCESS ShareAccess,
                                            PLINK_SHARE_ACCESS LinkShareAccess, ULONG IoShareAccessFlags)
{
    ke::CheckIrql((const void *)&IoSetLinkShareAccess, PASSIVE_LEVEL);
    io::SetShare(DesiredAccess, DesiredShareAccess, FileObject, ShareAccess, LinkShareAccess, IoShareAccessFlags);
}

NTKERNELAPI VOID NTAPI IoRemoveLinkShareAccess(PFILE_OBJECT FileObject, PSHARE_ACCESS ShareAccess,
                                               PLINK_SHARE_ACCESS LinkShareAccess)
{
    ke::CheckIrql((const void *)&IoRemoveLinkShareAccess, PASSIVE_LEVEL);
    io::OpenUse use = io::UseOf(FileObject);
    if (!use.Counted())
        return;
    io::RemoveFromFile(ShareAccess, use);
    if (LinkShareAccess != nullptr)
        io::RemoveFromLink(LinkShareAccess, use);
}

} // extern "C"
