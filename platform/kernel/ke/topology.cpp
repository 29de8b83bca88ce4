/*
 * Processor topology queries, answered from the machine's described cores.
 */
#include "ke/dispatcher.h"
#include "ke/thread.h"
#include "ke/topology.h"

#include "machine.h"

#include <km/bugcheck.h>

#include <cstring>
#include <vector>

namespace ke {
namespace {

struct Processor {
    uint16_t group;
    uint8_t number; /* within its group */
    uint32_t core;
};

struct Topology {
    std::vector<machine::CoreDescription> cores;
    std::vector<Processor> processors;
    std::atomic<uint32_t> nextProcessor{0};
};

Topology &Topo()
{
    static Topology topology;
    return topology;
}

void BootTopology()
{
    auto &topo = Topo();
    topo.cores = machine::CurrentConfig().cores;
    if (topo.cores.empty())
        topo.cores.assign(4, machine::CoreDescription{});
    topo.processors.clear();
    std::vector<uint8_t> perGroup(64, 0);
    for (uint32_t c = 0; c < topo.cores.size(); ++c) {
        const auto &core = topo.cores[c];
        for (uint8_t i = 0; i < core.logicalProcessors; ++i)
            topo.processors.push_back({core.group, perGroup[core.group]++, c});
    }
    topo.nextProcessor = 0;
}

const bool registered = [] {
    machine::RegisterComponent({"topology", machine::kOrderClock - 1, BootTopology, nullptr, nullptr});
    return true;
}();

constexpr ULONG kCoreEntrySize = FIELD_OFFSET(SYSTEM_LOGICAL_PROCESSOR_INFORMATION_EX, Processor) +
                                 FIELD_OFFSET(PROCESSOR_RELATIONSHIP, GroupMask) + sizeof(GROUP_AFFINITY);

} // namespace

uint32_t ActiveProcessorCount()
{
    return (uint32_t)Topo().processors.size();
}

uint32_t NextProcessorNumber()
{
    uint32_t count = ActiveProcessorCount();
    return count == 0 ? 0 : Topo().nextProcessor.fetch_add(1) % count;
}

} // namespace ke

extern "C" {

NTKERNELAPI ULONG NTAPI KeQueryActiveProcessorCountEx(USHORT GroupNumber)
{
    auto &topo = ke::Topo();
    if (GroupNumber == ALL_PROCESSOR_GROUPS)
        return (ULONG)topo.processors.size();
    ULONG count = 0;
    for (const auto &p : topo.processors)
        count += p.group == GroupNumber;
    return count;
}

NTKERNELAPI ULONG NTAPI KeQueryActiveProcessorCount(PKAFFINITY ActiveProcessors)
{
    ULONG count = KeQueryActiveProcessorCountEx(0);
    if (ActiveProcessors != nullptr)
        *ActiveProcessors = count >= 64 ? ~(KAFFINITY)0 : (((KAFFINITY)1 << count) - 1);
    return count;
}

NTKERNELAPI USHORT NTAPI KeQueryActiveGroupCount(VOID)
{
    USHORT groups = 0;
    for (const auto &p : ke::Topo().processors)
        if (p.group + 1 > groups)
            groups = (USHORT)(p.group + 1);
    return groups;
}

NTKERNELAPI ULONG NTAPI KeGetCurrentProcessorNumberEx(PPROCESSOR_NUMBER ProcNumber)
{
    uint32_t index = ke::CurrentThreadState().processor;
    auto &topo = ke::Topo();
    if (index >= topo.processors.size())
        index = 0;
    if (ProcNumber != nullptr) {
        ProcNumber->Group = topo.processors.empty() ? 0 : topo.processors[index].group;
        ProcNumber->Number = topo.processors.empty() ? 0 : topo.processors[index].number;
        ProcNumber->Reserved = 0;
    }
    return index;
}

NTKERNELAPI NTSTATUS NTAPI KeQueryLogicalProcessorRelationship(PPROCESSOR_NUMBER ProcessorNumber,
                                                               LOGICAL_PROCESSOR_RELATIONSHIP RelationshipType,
                                                               PSYSTEM_LOGICAL_PROCESSOR_INFORMATION_EX Information,
                                                               PULONG Length)
{
    ke::CheckIrql((const void *)&KeQueryLogicalProcessorRelationship, APC_LEVEL);
    if (Length == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (machine::ShouldFail("KeQueryLogicalProcessorRelationship"))
        return STATUS_UNSUCCESSFUL;
    if (RelationshipType != RelationProcessorCore && RelationshipType != RelationAll)
        return STATUS_NOT_SUPPORTED;

    auto &topo = ke::Topo();
    std::vector<uint32_t> cores;
    for (uint32_t c = 0; c < topo.cores.size(); ++c) {
        if (ProcessorNumber != nullptr) {
            bool contains = false;
            for (const auto &p : topo.processors)
                contains |= p.core == c && p.group == ProcessorNumber->Group && p.number == ProcessorNumber->Number;
            if (!contains)
                continue;
        }
        cores.push_back(c);
    }
    if (ProcessorNumber != nullptr && cores.empty())
        return STATUS_INVALID_PARAMETER;

    ULONG needed = (ULONG)cores.size() * ke::kCoreEntrySize;
    if (*Length < needed || Information == nullptr) {
        *Length = needed;
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    auto *cursor = reinterpret_cast<UCHAR *>(Information);
    for (uint32_t c : cores) {
        auto *entry = reinterpret_cast<PSYSTEM_LOGICAL_PROCESSOR_INFORMATION_EX>(cursor);
        std::memset(entry, 0, ke::kCoreEntrySize);
        entry->Relationship = RelationProcessorCore;
        entry->Size = ke::kCoreEntrySize;
        entry->Processor.Flags = topo.cores[c].logicalProcessors > 1 ? LTP_PC_SMT : 0;
        entry->Processor.EfficiencyClass = topo.cores[c].efficiencyClass;
        entry->Processor.GroupCount = 1;
        entry->Processor.GroupMask[0].Group = topo.cores[c].group;
        for (const auto &p : topo.processors)
            if (p.core == c)
                entry->Processor.GroupMask[0].Mask |= (KAFFINITY)1 << p.number;
        cursor += ke::kCoreEntrySize;
    }
    *Length = needed;
    return STATUS_SUCCESS;
}

NTKERNELAPI VOID NTAPI KeSetSystemGroupAffinityThread(PGROUP_AFFINITY Affinity, PGROUP_AFFINITY PreviousAffinity)
{
    ke::CheckIrql((const void *)&KeSetSystemGroupAffinityThread, DISPATCH_LEVEL);
    struct _KTHREAD *thread = ke::CurrentThread();
    if (PreviousAffinity != nullptr)
        *PreviousAffinity = thread->Affinity;
    thread->Affinity = *Affinity;
    // The thread now runs on the lowest processor of the mask (virtually).
    auto &topo = ke::Topo();
    for (uint32_t i = 0; i < topo.processors.size(); ++i) {
        const auto &p = topo.processors[i];
        if (p.group == Affinity->Group && p.number < 64 && (Affinity->Mask >> p.number) & 1) {
            ke::CurrentThreadState().processor = i;
            break;
        }
    }
}

NTKERNELAPI VOID NTAPI KeRevertToUserGroupAffinityThread(PGROUP_AFFINITY PreviousAffinity)
{
    KeSetSystemGroupAffinityThread(PreviousAffinity, nullptr);
}

} // extern "C"
