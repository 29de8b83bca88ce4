/*
 * File operation routines.
 */
#pragma once

/* create.cpp, close.cpp: the handle's life */
DRIVER_DISPATCH VorelCreate;
DRIVER_DISPATCH VorelCleanup;
DRIVER_DISPATCH VorelClose;
VOID FreeOrphanData(PFCB Node);

/* holders.cpp: the volume's table of processes holding handles (holder lock, a leaf). */
VOID RecordHolder(PVCB Vcb, ULONG ProcessId);
VOID ReleaseHolder(PVCB Vcb, ULONG ProcessId);

/* fsctrl.cpp: the mount request and a volume's file-system controls */
DRIVER_DISPATCH VorelFileSystemControl;

/* reparse_control.cpp, sparse_control.cpp, clone.cpp: the file controls on a handle's node (no lock held on entry). */
NTSTATUS GetReparsePointControl(PIRP Irp, PIO_STACK_LOCATION IrpSp);
NTSTATUS ChangeReparsePointControl(PIRP Irp, PIO_STACK_LOCATION IrpSp, PVCB Vcb, ULONG Code);
NTSTATUS SetSparseControl(PIRP Irp, PIO_STACK_LOCATION IrpSp);
NTSTATUS QueryAllocatedRangesControl(PIRP Irp, PIO_STACK_LOCATION IrpSp);
NTSTATUS SetZeroDataControl(PIRP Irp, PIO_STACK_LOCATION IrpSp);
NTSTATUS DuplicateExtentsControl(PIRP Irp, PIO_STACK_LOCATION IrpSp);

/* io_admission.cpp: the read and write handlers and what their cores share. */
DRIVER_DISPATCH VorelRead;
DRIVER_DISPATCH VorelWrite;
NTSTATUS AdmitDataRequest(PIRP Irp, PVCB Vcb, BOOLEAN Write, PFCB *Fcb);
VOID PurgeUnmappedSection(PFCB Fcb);
NTSTATUS OffloadDataRequest(PIRP Irp, PVCB Vcb, PFCB Fcb, BOOLEAN Write, PBOOLEAN Posted);
NTSTATUS LockCallerBuffer(PIRP Irp, ULONG Length, LOCK_OPERATION Operation);
NTSTATUS MapRequestBuffer(PIRP Irp, ULONG Length, BOOLEAN DeviceWrites, PVOID *Buffer);
NTSTATUS CheckRangeLocks(PIRP Irp, PFCB Fcb, ULONGLONG Offset, ULONG Length, BOOLEAN Write);
VOID CountVolumeIo(PVCB Vcb, BOOLEAN Write, ULONG_PTR Bytes);
NTSTATUS CompleteDataRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Bytes);

/* read.cpp, write.cpp: the cores that move a request's data; each completes the request. */
NTSTATUS ReadCore(PIRP Irp, PFCB Fcb);
NTSTATUS WriteCore(PIRP Irp, PFCB Fcb);

/* compressed_read.cpp: a compressed file's bytes through the handle's read window. */
NTSTATUS ReadCompressedRange(PFCB Fcb, PCCB Ccb, ULONGLONG Offset, PUCHAR Buffer, ULONG Length);
VOID DropReadWindow(PCCB Ccb);

/* file_records.cpp: a handle's node, and the records the information queries and fast I/O fill (no lock taken). */
PCCB HandleCcb(PFILE_OBJECT FileObject);
ULONGLONG ReportedAllocationSize(PFCB Fcb);
VOID FillBasicInformation(PFCB Fcb, PFILE_BASIC_INFORMATION Record);
VOID FillStandardInformation(PFCB Fcb, PFILE_STANDARD_INFORMATION Record);
VOID FillNetworkOpenInformation(PFCB Fcb, PFILE_NETWORK_OPEN_INFORMATION Record);

/* change_reports.cpp: full paths and the reports the change-notify package matches against watches. */
PLINK FirstNameOf(PFCB Fcb);
NTSTATUS BuildLinkPath(PLINK Link, PUNICODE_STRING Path, PUSHORT LastNameOffset);
VOID FreeLinkPath(PUNICODE_STRING Path);
BOOLEAN VolumeHasWatches(PVCB Vcb);
VOID ReportPathChange(PVCB Vcb, PUNICODE_STRING Path, USHORT LastNameOffset, ULONG Filter, ULONG Action);
VOID ReportChange(PVCB Vcb, PFCB Node, ULONG Filter, ULONG Action);
VOID InitializeChangeNotify(PVCB Vcb);
VOID UninitializeChangeNotify(PVCB Vcb);

/* directory_control.cpp: listings and change watches */
DRIVER_DISPATCH VorelDirectoryControl;
VOID ReleaseEnumerationLink(PLINK Link);

/* query_information.cpp: what a handle's node reports */
DRIVER_DISPATCH VorelQueryInformation;

/* set_information.cpp: times, attributes, the position and the sizes, and the dispatch of every set class */
DRIVER_DISPATCH VorelSetInformation;

/* disposition.cpp: the delete disposition of a handle's node */
NTSTATUS SetDisposition(PVCB Vcb, PFCB Node, PCCB Ccb, BOOLEAN Delete, BOOLEAN Posix, KPROCESSOR_MODE RequestorMode);

/* target_name.cpp: what renames and links share */
NTSTATUS ReadTargetRecord(PVOID Buffer, ULONG Length, BOOLEAN Extended, PTARGET_REQUEST Request);
NTSTATUS ResolveTargetName(PVCB Vcb, PFCB Node, PFCB Start, PTARGET_REQUEST Request, PTARGET_NAME Target);
VOID BeginRequestAccess(PREQUEST_ACCESS Access, PIRP Irp, PVCB Vcb);
VOID EndRequestAccess(PREQUEST_ACCESS Access);
NTSTATUS CheckNodeAccess(PREQUEST_ACCESS Access, PFCB Node, PFCB Parent, ACCESS_MASK Wanted);
NTSTATUS CheckReplaceTarget(PREQUEST_ACCESS Access, PFCB Parent, PLINK Existing, BOOLEAN Replace);
PFCB RemoveReplacedTarget(PLINK Existing);
VOID FinishReplacedTarget(PFCB Replaced);

/* rename.cpp, hard_link.cpp: new names for a handle's node */
NTSTATUS SetRenameInformation(PIRP Irp, PVCB Vcb, PCCB Ccb, PVOID Buffer, ULONG Length, BOOLEAN Extended);
NTSTATUS SetLinkInformation(PIRP Irp, PVCB Vcb, PCCB Ccb, PVOID Buffer, ULONG Length, BOOLEAN Extended);

/* lock_control.cpp: byte-range locks */
DRIVER_DISPATCH VorelLockControl;
PFILE_LOCK PeekFileLock(PFCB Fcb);
BOOLEAN HasFileLocks(PFCB Fcb);
PFILE_LOCK GetFileLock(PFCB Fcb);

/* flush.cpp */
DRIVER_DISPATCH VorelFlushBuffers;

/* volume_information.cpp: the volume-information queries */
DRIVER_DISPATCH VorelQueryVolumeInformation;

/* fast_io.cpp: the fast I/O entries (each declines, returning FALSE, for a handle without a node). */
BOOLEAN NTAPI VorelFastIoQueryBasicInfo(PFILE_OBJECT FileObject, BOOLEAN Wait, PFILE_BASIC_INFORMATION Buffer,
                                        PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject);
BOOLEAN NTAPI VorelFastIoQueryStandardInfo(PFILE_OBJECT FileObject, BOOLEAN Wait, PFILE_STANDARD_INFORMATION Buffer,
                                           PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject);
BOOLEAN NTAPI VorelFastIoQueryNetworkOpenInfo(PFILE_OBJECT FileObject, BOOLEAN Wait,
                                              PFILE_NETWORK_OPEN_INFORMATION Buffer, PIO_STATUS_BLOCK IoStatus,
                                              PDEVICE_OBJECT DeviceObject);
BOOLEAN NTAPI VorelFastIoLock(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, PLARGE_INTEGER Length,
                              PEPROCESS ProcessId, ULONG Key, BOOLEAN FailImmediately, BOOLEAN ExclusiveLock,
                              PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject);
BOOLEAN NTAPI VorelFastIoUnlockSingle(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, PLARGE_INTEGER Length,
                                      PEPROCESS ProcessId, ULONG Key, PIO_STATUS_BLOCK IoStatus,
                                      PDEVICE_OBJECT DeviceObject);
BOOLEAN NTAPI VorelFastIoUnlockAll(PFILE_OBJECT FileObject, PEPROCESS ProcessId, PIO_STATUS_BLOCK IoStatus,
                                   PDEVICE_OBJECT DeviceObject);
BOOLEAN NTAPI VorelFastIoUnlockAllByKey(PFILE_OBJECT FileObject, PVOID ProcessId, ULONG Key,
                                        PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject);
BOOLEAN NTAPI VorelFastIoQueryOpen(PIRP Irp, PFILE_NETWORK_OPEN_INFORMATION NetworkInformation,
                                   PDEVICE_OBJECT DeviceObject);

/* section_sync.cpp: holding a file while the memory manager creates a section on it. */
VOID NTAPI AcquireFileForNtCreateSection(PFILE_OBJECT FileObject);
VOID NTAPI ReleaseFileForNtCreateSection(PFILE_OBJECT FileObject);
NTSTATUS NTAPI PreAcquireForSectionSynchronization(PFS_FILTER_CALLBACK_DATA Data, PVOID *CompletionContext);
