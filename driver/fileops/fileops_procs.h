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

/* io_admission.cpp: the read and write handlers and what their cores share. */
DRIVER_DISPATCH VorelRead;
DRIVER_DISPATCH VorelWrite;
NTSTATUS AdmitDataRequest(PIRP Irp, PVCB Vcb, BOOLEAN Write, PFCB *Fcb);
NTSTATUS OffloadDataRequest(PIRP Irp, PVCB Vcb, PFCB Fcb, BOOLEAN Write, PBOOLEAN Posted);
NTSTATUS LockCallerBuffer(PIRP Irp, ULONG Length, LOCK_OPERATION Operation);
NTSTATUS MapRequestBuffer(PIRP Irp, ULONG Length, BOOLEAN DeviceWrites, PVOID *Buffer);
NTSTATUS CheckRangeLocks(PIRP Irp, PFCB Fcb, ULONGLONG Offset, ULONG Length, BOOLEAN Write);
VOID CountVolumeIo(PVCB Vcb, BOOLEAN Write, ULONG_PTR Bytes);
NTSTATUS CompleteDataRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Bytes);

/* read.cpp, write.cpp: the cores that move a request's data; each completes the request. */
NTSTATUS ReadCore(PIRP Irp, PFCB Fcb);
NTSTATUS WriteCore(PIRP Irp, PFCB Fcb);
