/*
 * System information and the lookup of system routines by name.
 */
#include "ke/dispatcher.h"
#include "ke/topology.h"
#include "mm/page_lists.h"

#include "machine.h"

#include <km/mm.h>

#include <cstring>
#include <dlfcn.h>
#include <fstream>
#include <set>
#include <string>

namespace {

std::set<std::string> &HiddenRoutines()
{
    static std::set<std::string> hidden;
    return hidden;
}

const bool registered = [] {
    machine::RegisterComponent({"system-routines", machine::kOrderObjects, [] { HiddenRoutines().clear(); },
                                nullptr, [] { HiddenRoutines().clear(); }});
    return true;
}();

/* The host's available memory in pages, for a machine told to report the real figure. */
uint64_t HostAvailablePages()
{
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    uint64_t kilobytes = 0;
    std::string unit;
    while (meminfo >> key >> kilobytes >> unit)
        if (key == "MemAvailable:")
            return kilobytes / 4;
    return 0;
}

} // namespace

namespace machine {

void HideSystemRoutine(const std::string &name, bool hidden)
{
    if (hidden)
        HiddenRoutines().insert(name);
    else
        HiddenRoutines().erase(name);
}

} // namespace machine

extern "C" {

NTSYSAPI NTSTATUS NTAPI ZwQuerySystemInformation(SYSTEM_INFORMATION_CLASS SystemInformationClass,
                                                 PVOID SystemInformation, ULONG SystemInformationLength,
                                                 PULONG ReturnLength)
{
    ke::CheckIrql((const void *)&ZwQuerySystemInformation, PASSIVE_LEVEL);
    if (machine::ShouldFail("ZwQuerySystemInformation"))
        return STATUS_INSUFFICIENT_RESOURCES;
    const machine::Config &config = machine::CurrentConfig();
    switch (SystemInformationClass) {
    case SystemBasicInformation: {
        if (ReturnLength != nullptr)
            *ReturnLength = sizeof(SYSTEM_BASIC_INFORMATION);
        if (SystemInformationLength != sizeof(SYSTEM_BASIC_INFORMATION))
            return STATUS_INFO_LENGTH_MISMATCH;
        auto *info = static_cast<PSYSTEM_BASIC_INFORMATION>(SystemInformation);
        std::memset(info, 0, sizeof(*info));
        uint32_t processors = ke::ActiveProcessorCount();
        info->TimerResolution = 156250;
        info->PageSize = PAGE_SIZE;
        info->NumberOfPhysicalPages = (ULONG)config.physicalPages;
        info->LowestPhysicalPageNumber = 1;
        info->HighestPhysicalPageNumber = (ULONG)config.physicalPages;
        info->AllocationGranularity = 0x10000;
        info->MinimumUserModeAddress = 0x10000;
        info->MaximumUserModeAddress = 0x7FFFFFFEFFFFull;
        info->ActiveProcessorsAffinityMask = processors >= 64 ? ~0ul : ((1ul << processors) - 1);
        info->NumberOfProcessors = (CCHAR)processors;
        return STATUS_SUCCESS;
    }
    case SystemPerformanceInformation: {
        if (ReturnLength != nullptr)
            *ReturnLength = sizeof(SYSTEM_PERFORMANCE_INFORMATION);
        if (SystemInformationLength < sizeof(SYSTEM_PERFORMANCE_INFORMATION))
            return STATUS_INFO_LENGTH_MISMATCH;
        auto *info = static_cast<PSYSTEM_PERFORMANCE_INFORMATION>(SystemInformation);
        std::memset(info, 0, sizeof(*info));
        uint64_t figure = mm::AvailablePagesFigure();
        uint64_t available = figure != 0 ? figure : HostAvailablePages();
        info->AvailablePages = available > 0xFFFFFFFFull ? 0xFFFFFFFFu : (ULONG)available;
        return STATUS_SUCCESS;
    }
    default:
        return STATUS_INVALID_INFO_CLASS;
    }
}

NTKERNELAPI PVOID NTAPI MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName)
{
    ke::CheckIrql((const void *)&MmGetSystemRoutineAddress, PASSIVE_LEVEL);
    std::string name;
    for (USHORT i = 0; i < SystemRoutineName->Length / sizeof(WCHAR); ++i) {
        WCHAR c = SystemRoutineName->Buffer[i];
        if (c == 0 || c > 0x7F)
            return nullptr;
        name += (char)c;
    }
    if (HiddenRoutines().count(name) != 0)
        return nullptr;
    // Only routines this kernel exports are found, as only ntoskrnl's exports are.
    Dl_info self{};
    if (dladdr((const void *)&MmGetSystemRoutineAddress, &self) == 0)
        return nullptr;
    void *kernel = dlopen(self.dli_fname, RTLD_NOW | RTLD_NOLOAD);
    if (kernel == nullptr)
        return nullptr;
    void *routine = dlsym(kernel, name.c_str());
    dlclose(kernel);
    if (routine == nullptr || name.rfind("_Z", 0) == 0)
        return nullptr;
    return routine;
}

} // extern "C"
