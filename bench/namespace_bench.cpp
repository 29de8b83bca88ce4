/*
 * Name lookups in directories of 10, 1000 and 1000000 names: the list search of
 * small directories and the child index of large ones, each lookup as a create or
 * an open makes it (the directory's main resource shared, the name in another case
 * than stored). The large directory holds hard links of one file, so a million
 * names cost a million link records and no more. One line per size:
 *   lookup in <n> names: <count> per second
 * the median of three timed rounds of at least 200 ms.
 *
 * Then creating 1,000,000 named nodes in one directory by one user, each as a
 * create makes it: a node, its descriptor inherited from the directory's (through
 * the volume's inheritance cache: one computation in all), and its name added
 * under the directory's main resource. One line:
 *   create 1000000 nodes: <count> per second
 * and, on the error stream, how many descriptors were computed and stored.
 */
#include "bench_driver.h"
#include "../platform/kernel/se/security.h"

#include <vorel.h>
#include "namespace/namespace_diagnostics.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

const VOREL_NAMESPACE_DIAGNOSTICS *ns;
constexpr size_t kNodes = 1000000;

std::u16string NameFor(size_t i, bool upper)
{
    std::string text = (upper ? "NAME-" : "name-") + std::to_string(i) + (upper ? ".DAT" : ".dat");
    return std::u16string(text.begin(), text.end());
}

UNICODE_STRING View(const std::u16string &text)
{
    UNICODE_STRING s;
    s.Buffer = (PWCH)text.data();
    s.Length = s.MaximumLength = (USHORT)(text.size() * sizeof(char16_t));
    return s;
}

/* AddNames: Count hard links of File in Directory, as a link request adds them. */
bool AddNames(PVCB vcb, PFCB directory, PFCB file, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        std::u16string text = NameFor(i, false);
        UNICODE_STRING name = View(text);
        PLINK link = nullptr;
        if (ns->MakeLink(file, &name, &link) != STATUS_SUCCESS)
            return false;
        ExAcquireResourceSharedLite(&vcb->TreeResource, TRUE);
        ExAcquireResourceExclusiveLite(&directory->MainResource, TRUE);
        NTSTATUS status = ns->AddLink(directory, link);
        ExReleaseResourceLite(&directory->MainResource);
        ExReleaseResourceLite(&vcb->TreeResource);
        ns->ReleaseLink(link);
        if (status != STATUS_SUCCESS)
            return false;
    }
    return true;
}

/* LookupsPerSecond: lookups of names the directory holds, in upper case, median of three rounds. */
double LookupsPerSecond(PFCB directory, size_t count)
{
    std::mt19937 rng(7);
    std::vector<std::u16string> texts;
    for (size_t i = 0; i < 4096; ++i)
        texts.push_back(NameFor(std::uniform_int_distribution<size_t>(0, count - 1)(rng), true));
    std::vector<UNICODE_STRING> names;
    for (const auto &text : texts)
        names.push_back(View(text));

    std::vector<double> rates;
    for (int round = 0; round < 3; ++round) {
        auto start = std::chrono::steady_clock::now();
        double elapsed = 0;
        size_t done = 0;
        size_t missed = 0;
        while (elapsed < 0.2) {
            for (const UNICODE_STRING &name : names) {
                ExAcquireResourceSharedLite(&directory->MainResource, TRUE);
                missed += ns->LookupChild(directory, &name) == nullptr;
                ExReleaseResourceLite(&directory->MainResource);
            }
            done += names.size();
            elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        }
        if (missed != 0)
            std::fprintf(stderr, "namespace_bench: %zu lookups missed\n", missed);
        rates.push_back((double)done / elapsed);
    }
    std::sort(rates.begin(), rates.end());
    return rates[1];
}

bool Measure(PVCB vcb, size_t count)
{
    std::u16string dirText = u"dir-" + NameFor(count, false);
    UNICODE_STRING dirName = View(dirText);
    PFCB directory = nullptr;
    PFCB file = nullptr;
    PLINK link = nullptr;
    if (ns->AllocateNode(vcb, TRUE, &directory) != STATUS_SUCCESS || ns->MakeLink(directory, &dirName, &link) != 0)
        return false;
    ExAcquireResourceSharedLite(&vcb->TreeResource, TRUE);
    ExAcquireResourceExclusiveLite(&vcb->RootFcb->MainResource, TRUE);
    NTSTATUS status = ns->AddLink(vcb->RootFcb, link);
    ExReleaseResourceLite(&vcb->RootFcb->MainResource);
    ExReleaseResourceLite(&vcb->TreeResource);
    ns->ReleaseLink(link);
    ns->DereferenceNode(directory);
    if (status != STATUS_SUCCESS || ns->AllocateNode(vcb, FALSE, &file) != STATUS_SUCCESS)
        return false;
    bool added = AddNames(vcb, directory, file, count);
    ns->DereferenceNode(file);
    if (!added)
        return false;
    std::printf("lookup in %zu names: %.0f per second\n", count, LookupsPerSecond(directory, count));
    std::fflush(stdout);
    return true;
}

/* CreateNode: one named node under Parent for the requester of State; false on any failure. */
bool CreateNode(PVCB vcb, PFCB parent, const std::u16string &text, bool directory, PACCESS_STATE state)
{
    UNICODE_STRING name = View(text);
    PFCB node = nullptr;
    PLINK link = nullptr;
    if (ns->AllocateNode(vcb, directory, &node) != STATUS_SUCCESS)
        return false;
    ExAcquireResourceSharedLite(&vcb->TreeResource, TRUE);
    ExAcquireResourceExclusiveLite(&parent->MainResource, TRUE);
    NTSTATUS status = ns->AssignNewNodeDescriptor(vcb, parent, node, state);
    if (status == STATUS_SUCCESS)
        status = ns->MakeLink(node, &name, &link);
    if (status == STATUS_SUCCESS)
        status = ns->AddLink(parent, link);
    ExReleaseResourceLite(&parent->MainResource);
    ExReleaseResourceLite(&vcb->TreeResource);
    if (link != nullptr)
        ns->ReleaseLink(link);
    ns->DereferenceNode(node);
    return status == STATUS_SUCCESS;
}

/* MeasureCreates: kNodes named nodes in a new directory by one user; false unless one descriptor was computed. */
bool MeasureCreates(PVCB vcb, PVOID token)
{
    ACCESS_STATE state = {};
    state.SubjectSecurityContext.PrimaryToken = token;
    if (!CreateNode(vcb, vcb->RootFcb, u"dir", true, &state))
        return false;
    std::u16string dirText = u"dir";
    UNICODE_STRING dirName = View(dirText);
    PFCB directory = ns->LookupChild(vcb->RootFcb, &dirName)->Node;

    const uint32_t assigned = machine::TagFromText("SeAs");
    uint64_t computations = machine::PoolTag(assigned).allocations;
    auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < kNodes; ++i) {
        std::string text = std::string("file-") + std::to_string(i) + ".dat";
        if (!CreateNode(vcb, directory, std::u16string(text.begin(), text.end()), false, &state))
            return false;
    }
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    computations = machine::PoolTag(assigned).allocations - computations;
    std::printf("create %zu nodes: %.0f per second\n", kNodes, (double)kNodes / elapsed);
    std::fflush(stdout);
    std::fprintf(stderr, "namespace_bench: %llu descriptor computations, %lu stored descriptors\n",
                 (unsigned long long)computations, (unsigned long)vcb->DescriptorStore.EntryCount);
    return computations == 1;
}

} // namespace

int main()
{
    bench::LoadedDriver driver;
    if (!bench::LoadDriver(driver, "namespace_bench", false))
        return 1;
    ns = static_cast<const VOREL_NAMESPACE_DIAGNOSTICS *>(machine::DriverSymbol("vorel", "VorelNamespaceDiagnostics"));
    PVCB vcb = ns != nullptr ? ns->CreateVolume(64ull << 20) : nullptr;
    if (vcb == nullptr) {
        std::fprintf(stderr, "namespace_bench: no namespace diagnostics or no volume\n");
        return bench::UnloadDriver(driver, false);
    }
    KeEnterCriticalRegion();
    bool ok = true;
    for (size_t count : {10, 1000, 1000000})
        ok = ok && Measure(vcb, count);
    ns->DeleteVolume(vcb);

    vcb = ns->CreateVolume(64ull << 20);
    PVOID token = se::CreateLinuxUserToken(1000, 1000, {});
    bool created = vcb != nullptr && token != nullptr && MeasureCreates(vcb, token);
    if (!created)
        std::fprintf(stderr, "namespace_bench: a create failed or computed more than one descriptor\n");
    ok = ok && created;
    if (vcb != nullptr)
        ns->DeleteVolume(vcb);
    if (token != nullptr)
        ObDereferenceObject(token);
    KeLeaveCriticalRegion();
    return bench::UnloadDriver(driver, ok);
}
