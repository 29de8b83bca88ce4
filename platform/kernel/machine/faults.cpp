/*
 * Fault injection by count: the nth call of a named routine from the moment its
 * site was armed fails (and, with repeat, every later one). Tests sweep n = 1, 2, ...
 * until nothing more is injected, asserting a clean status and no leak each time.
 */
#include "machine.h"

#include "ke/thread.h"
#include "ke/thread_state.h"

#include "base/spin.h"

#include <map>

namespace machine {
namespace {

struct FaultRule {
    uint64_t nth = 0;
    bool repeat = false;
    uint32_t tag = 0;
    uint64_t calls = 0;
    uint64_t injected = 0;
};

struct FaultTable {
    base::SpinLock lock;
    std::map<std::string, FaultRule, std::less<>> rules;
    std::atomic<bool> anyArmed{false};
};

FaultTable &Table()
{
    static FaultTable table;
    return table;
}

const char kPoolSite[] = "ExAllocatePoolWithTag";

const bool registered = [] {
    RegisterComponent({"faults", kOrderFaults, nullptr, nullptr, [] { DisarmFaults(); }});
    return true;
}();

} // namespace

void ArmFault(const std::string &site, uint64_t nth, bool repeat)
{
    auto &table = Table();
    base::SpinGuard guard(table.lock);
    FaultRule rule;
    rule.nth = nth;
    rule.repeat = repeat;
    table.rules[site] = rule;
    table.anyArmed = true;
}

void ArmPoolFault(uint64_t nth, uint32_t tag, bool repeat)
{
    ArmFault(kPoolSite, nth, repeat);
    auto &table = Table();
    base::SpinGuard guard(table.lock);
    table.rules[kPoolSite].tag = tag;
}

void DisarmFaults()
{
    auto &table = Table();
    base::SpinGuard guard(table.lock);
    table.rules.clear();
    table.anyArmed = false;
}

uint64_t FaultsInjected(const std::string &site)
{
    auto &table = Table();
    base::SpinGuard guard(table.lock);
    auto it = table.rules.find(site);
    return it == table.rules.end() ? 0 : it->second.injected;
}

void ExemptFromFaults(const void *thread)
{
    const_cast<struct _KTHREAD *>(static_cast<const struct _KTHREAD *>(thread))->FaultExempt.store(true);
}

bool ShouldFail(const char *site, uint32_t tag)
{
    auto &table = Table();
    if (!table.anyArmed.load(std::memory_order_relaxed))
        return false;
    ke::ThreadState *state = ke::detail::threadState;
    if (state != nullptr && state->thread != nullptr && state->thread->FaultExempt.load(std::memory_order_relaxed))
        return false;
    base::SpinGuard guard(table.lock);
    auto it = table.rules.find(std::string_view(site));
    if (it == table.rules.end())
        return false;
    FaultRule &rule = it->second;
    if (rule.tag != 0 && rule.tag != tag)
        return false;
    rule.calls++;
    if (rule.calls == rule.nth || (rule.repeat && rule.calls > rule.nth)) {
        rule.injected++;
        return true;
    }
    return false;
}

} // namespace machine
