/*
 * Test support for the namespace: a loaded driver, one volume control block with
 * its root, and helpers that take the locks a create, a delete or a lookup takes
 * around the namespace routines. Every test ends by deleting the volume, after
 * which no node, link, name buffer or index may be left in the pool.
 */
#pragma once

#include "driver_test.h"

#include "namespace/namespace_diagnostics.h"

#include <cstdio>
#include <deque>
#include <string>
#include <vector>

/* A counted UTF-16 name that owns its characters. */
struct TestName {
    explicit TestName(const std::u16string &text) : text(text)
    {
        string.Buffer = (PWCH)this->text.data();
        string.Length = string.MaximumLength = (USHORT)(this->text.size() * sizeof(WCHAR));
    }
    TestName(const TestName &other) : TestName(other.text) {}
    std::u16string text;
    UNICODE_STRING string;
};

inline std::u16string U16(const std::string &ascii)
{
    return std::u16string(ascii.begin(), ascii.end());
}

inline std::u16string NameOfBytes(size_t bytes, char16_t fill = u'n')
{
    return std::u16string(bytes / sizeof(char16_t), fill);
}

/* "<prefix><number><suffix>" as a name (built with snprintf: GCC 12's optimiser misreads
 * string concatenation here). */
inline std::u16string NumberedName(const char *prefix, long number, const char *suffix = "")
{
    char text[96];
    std::snprintf(text, sizeof(text), "%s%ld%s", prefix, number, suffix);
    return U16(text);
}

inline std::u16string ToU16(const UNICODE_STRING &s)
{
    return std::u16string((const char16_t *)s.Buffer, s.Length / sizeof(WCHAR));
}

class NamespaceTest : public LoadedDriverTest {
protected:
    machine::Config BootConfig() override
    {
        machine::Config config;
        config.clock = machine::ClockMode::Manual; /* times move only when a test says so */
        return config;
    }

    void SetUp() override
    {
        LoadedDriverTest::SetUp();
        if (HasFatalFailure())
            return;
        n = static_cast<const VOREL_NAMESPACE_DIAGNOSTICS *>(
            machine::DriverSymbol(kService, "VorelNamespaceDiagnostics"));
        ASSERT_NE(n, nullptr);
        ASSERT_EQ(n->Size, sizeof(VOREL_NAMESPACE_DIAGNOSTICS));
        vcb = MakeVolume();
        ASSERT_NE(vcb, nullptr);
        root = vcb->RootFcb;
        KeEnterCriticalRegion();
    }

    void TearDown() override
    {
        if (vcb != nullptr) {
            DropVolume();
            vcb = nullptr;
            KeLeaveCriticalRegion();
            for (const char *tag : {"vlFb", "vlLk", "vlNm", "vlHd", "vlHi", "vlMc", "vlEa", "vlRp", "vlSd", "vlHs"}) {
                EXPECT_EQ(machine::PoolTag(machine::TagFromText(tag)).liveBlocks, 0u) << tag << " left";
            }
        }
        LoadedDriverTest::TearDown();
    }

    /* The volume every test works on: by default a VCB in pool, without a device. */
    virtual PVCB MakeVolume() { return n->CreateVolume(64ull << 20); }
    virtual void DropVolume() { n->DeleteVolume(vcb); }

    /*
     * The volume in the extension of a file-system device of the driver instead,
     * for tests whose requests pass the driver's own frame and admission: their
     * fixtures return these from MakeVolume and DropVolume.
     */
    PVCB MakeDeviceVolume(bool noSecurity = false)
    {
        ULONG size = (ULONG)VCB_EXTENSION_SIZE(ExSizeOfRundownProtectionCacheAware());
        if (!NT_SUCCESS(IoCreateDevice(Driver(), size, nullptr, FILE_DEVICE_DISK_FILE_SYSTEM, 0, FALSE, &device)))
            return nullptr;
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        PVCB volume = static_cast<PVCB>(device->DeviceExtension);
        volume->Signature = VCB_SIGNATURE;
        volume->NoSecurity = noSecurity;
        d->InitializeVcbAdmission(volume);
        if (!NT_SUCCESS(n->InitializeVolume(volume, 64ull << 20))) {
            d->UninitializeVcbAdmission(volume);
            IoDeleteDevice(device);
            return nullptr;
        }
        return volume;
    }
    void DropDeviceVolume()
    {
        n->UninitializeVolume(vcb);
        d->UninitializeVcbAdmission(vcb);
        IoDeleteDevice(device);
    }

    struct Completion {
        NTSTATUS status = STATUS_PENDING;
        ULONG_PTR information = 0;
    };
    /* One request through the driver's dispatch table on the device volume's file object; fill sets its parameters. */
    template <typename Fill>
    Completion Dispatch(UCHAR major, PVOID context, PVOID handle, KPROCESSOR_MODE mode, Fill fill)
    {
        Completion done;
        FILE_OBJECT fileObject;
        RtlZeroMemory(&fileObject, sizeof(fileObject));
        fileObject.FsContext = context;
        fileObject.FsContext2 = handle;
        PIRP irp = IoAllocateIrp(2, FALSE);
        EXPECT_NE(irp, nullptr);
        IoSetCompletionRoutine(
            irp,
            [](PDEVICE_OBJECT, PIRP completed, PVOID result) -> NTSTATUS {
                static_cast<Completion *>(result)->status = completed->IoStatus.Status;
                static_cast<Completion *>(result)->information = completed->IoStatus.Information;
                return STATUS_MORE_PROCESSING_REQUIRED;
            },
            &done, TRUE, TRUE, TRUE);
        IoSetNextIrpStackLocation(irp);
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        stack->MajorFunction = major;
        stack->DeviceObject = device;
        stack->FileObject = &fileObject;
        irp->RequestorMode = mode;
        fill(irp, stack);
        NTSTATUS returned = Driver()->MajorFunction[major](device, irp);
        EXPECT_EQ(returned, done.status) << "the handler returns the status it completed with";
        IoFreeIrp(irp);
        return done;
    }
    static PDRIVER_OBJECT Driver() { return static_cast<PDRIVER_OBJECT>(machine::DriverObject(kService)); }

    PFCB NewNode(bool directory)
    {
        PFCB fcb = nullptr;
        EXPECT_EQ(n->AllocateNode(vcb, directory, &fcb), STATUS_SUCCESS);
        return fcb;
    }

    /* AddName: a name for node in dir, as a create or a hard link adds it; the creator's link reference is dropped. */
    NTSTATUS AddName(PFCB dir, PFCB node, const std::u16string &name, PLINK *added = nullptr)
    {
        PLINK link = nullptr;
        TestName text(name);
        NTSTATUS status = n->MakeLink(node, &text.string, &link);
        if (!NT_SUCCESS(status))
            return status;
        ExAcquireResourceSharedLite(&vcb->TreeResource, TRUE);
        ExAcquireResourceExclusiveLite(&dir->MainResource, TRUE);
        status = n->AddLink(dir, link);
        ExReleaseResourceLite(&dir->MainResource);
        ExReleaseResourceLite(&vcb->TreeResource);
        if (NT_SUCCESS(status) && added != nullptr)
            *added = link;
        n->ReleaseLink(link);
        return status;
    }

    /* Create: a new named node that lives by its name alone. */
    PFCB Create(PFCB dir, const std::u16string &name, bool directory = false)
    {
        PFCB node = NewNode(directory);
        if (node == nullptr)
            return nullptr;
        NTSTATUS status = AddName(dir, node, name);
        EXPECT_EQ(status, STATUS_SUCCESS) << "creating " << std::string(name.begin(), name.end());
        n->DereferenceNode(node);
        return NT_SUCCESS(status) ? node : nullptr;
    }

    /* Remove: takes a name away, as a delete or rename does. */
    void Remove(PLINK link)
    {
        PFCB parent = link->Parent;
        ExAcquireResourceExclusiveLite(&vcb->TreeResource, TRUE);
        ExAcquireResourceExclusiveLite(&parent->MainResource, TRUE);
        n->RemoveLink(link);
        ExReleaseResourceLite(&parent->MainResource);
        ExReleaseResourceLite(&vcb->TreeResource);
    }

    PLINK Lookup(PFCB dir, const std::u16string &name)
    {
        TestName text(name);
        ExAcquireResourceSharedLite(&dir->MainResource, TRUE);
        PLINK link = n->LookupChild(dir, &text.string);
        ExReleaseResourceLite(&dir->MainResource);
        return link;
    }

    /* The children of dir, in enumeration order. */
    static std::vector<std::u16string> Children(PFCB dir)
    {
        std::vector<std::u16string> names;
        for (PLIST_ENTRY e = dir->Children.Flink; e != &dir->Children; e = e->Flink)
            names.push_back(ToU16(CONTAINING_RECORD(e, LINK, SiblingLinks)->Name));
        return names;
    }

    static LONG Refs(PFCB fcb) { return __atomic_load_n(&fcb->ReferenceCount, __ATOMIC_RELAXED); }

    const VOREL_NAMESPACE_DIAGNOSTICS *n = nullptr;
    PVCB vcb = nullptr;
    PFCB root = nullptr;
    PDEVICE_OBJECT device = nullptr;
};
