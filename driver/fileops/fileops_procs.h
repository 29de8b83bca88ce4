/*
 * File operation routines.
 */
#pragma once

/* create.cpp, close.cpp: the handle's life */
DRIVER_DISPATCH VorelCreate;
DRIVER_DISPATCH VorelCleanup;
DRIVER_DISPATCH VorelClose;

/* holders.cpp: the volume's table of processes holding handles (holder lock, a leaf). */
VOID RecordHolder(PVCB Vcb, ULONG ProcessId);
VOID ReleaseHolder(PVCB Vcb, ULONG ProcessId);

/* fsctrl.cpp: the mount request and a volume's file-system controls */
DRIVER_DISPATCH VorelFileSystemControl;

/* read_write.cpp: the cores that move a request's data; each completes the request. */
VOID ReadCore(PIRP Irp, PFCB Fcb);
VOID WriteCore(PIRP Irp, PFCB Fcb);

/* section_sync.cpp: holding a file while the memory manager creates a section on it. */
VOID NTAPI AcquireFileForNtCreateSection(PFILE_OBJECT FileObject);
VOID NTAPI ReleaseFileForNtCreateSection(PFILE_OBJECT FileObject);
NTSTATUS NTAPI PreAcquireForSectionSynchronization(PFS_FILTER_CALLBACK_DATA Data, PVOID *CompletionContext);
