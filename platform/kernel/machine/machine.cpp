/*
 * The machine: boot, shutdown and audit of every registered component.
 */
#include "machine.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace machine {
namespace {

struct MachineState {
    std::vector<Component> components;
    bool booted = false;
    Config config;
};

MachineState &State()
{
    static MachineState state;
    return state;
}

std::vector<Component> SortedComponents()
{
    auto components = State().components;
    std::stable_sort(components.begin(), components.end(),
                     [](const Component &a, const Component &b) { return a.order < b.order; });
    return components;
}

} // namespace

std::string AuditReport::Text() const
{
    std::string text;
    for (const auto &finding : findings)
        text += finding + "\n";
    return text;
}

void RegisterComponent(const Component &component)
{
    State().components.push_back(component);
}

void Boot(const Config &config)
{
    auto &state = State();
    if (state.booted) {
        std::fprintf(stderr, "machine: Boot called twice\n");
        std::abort();
    }
    state.config = config;
    state.booted = true;
    for (const auto &component : SortedComponents())
        if (component.boot)
            component.boot();
}

AuditReport Audit()
{
    // Deferred work (object deletions, the end of a driver's unload) finishes before
    // anything is counted; what cannot finish is reported by the worker threads' audit.
    if (State().booted)
        DrainSystemWork();
    AuditReport report;
    for (const auto &component : SortedComponents())
        if (component.audit)
            component.audit(report);
    return report;
}

AuditReport Shutdown()
{
    auto &state = State();
    AuditReport report;
    if (!state.booted)
        return report;
    report = Audit();
    auto components = SortedComponents();
    for (auto it = components.rbegin(); it != components.rend(); ++it)
        if (it->shutdown)
            it->shutdown();
    state.booted = false;
    return report;
}

bool IsBooted()
{
    return State().booted;
}

const Config &CurrentConfig()
{
    return State().config;
}

} // namespace machine
