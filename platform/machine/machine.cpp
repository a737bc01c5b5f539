// The machine: builds the components in order (the verifier first, since every other one
// reports to it; the threads last, so they never see a half-built machine), answers the
// application face by asking them, and tears them down in reverse.

#include "platform/machine/machine.h"

#include "platform/executive/executive.h"
#include "platform/io/io.h"
#include "platform/verifier/verifier.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

namespace qvx {

namespace {

std::atomic<Machine*> g_current{nullptr};

} // namespace

struct Machine::Parts
{
    explicit Parts(const MachineOptions& options)
        : Check(options.AbortOnViolation, options.Verify), Executive(Scheduler::Create(options))
    {
    }

    Verifier Check;
    std::unique_ptr<Scheduler> Executive;
    Pool Memory;
    std::unique_ptr<IoSide> Io;
    // Recursive: a sink may itself trace.
    std::recursive_mutex TraceLock;
    TraceSink Sink;
};

Machine::Machine(const MachineOptions& options) : options_(options)
{
    Machine* expected = nullptr;
    if (!g_current.compare_exchange_strong(expected, this)) {
        fprintf(stderr, "qvx::Machine: a machine already exists in this process\n");
        abort();
    }
    parts_ = std::make_unique<Parts>(options);
    Parts& parts = *parts_;
    parts.Io = std::make_unique<IoSide>();
    parts.Check.SetAddressDescriber([&parts](const void* address) {
        const std::string block = parts.Memory.DescribeAddress(address);
        return block.empty() ? parts.Io->DescribeAddress(address) : block;
    });
    parts.Executive->Start();
}

Machine::~Machine()
{
    Parts& parts = *parts_;
    parts.Executive->Stop();
    parts.Check.SetAddressDescriber(nullptr);
    parts.Io.reset();
    parts.Memory.ReleaseAll();
    parts_.reset();
    g_current = nullptr;
}

Machine& Machine::Current()
{
    Machine* machine = g_current.load();
    if (machine == nullptr) {
        fprintf(stderr, "qvx::Machine::Current: no machine exists\n");
        abort();
    }
    return *machine;
}

Machine* Machine::TryCurrent()
{
    return g_current.load(std::memory_order_acquire);
}

// ---- Time, DPCs and waits ----------------------------------------------------------------------

LONGLONG Machine::Now() const
{
    return parts_->Executive->Now();
}

void Machine::AdvanceTime(LONGLONG delta100ns)
{
    if (delta100ns < 0) {
        VerifierReport(Rule::TIME_BACKWARDS, "AdvanceTime(%lld): time only moves forward",
                       static_cast<long long>(delta100ns));
        return;
    }
    parts_->Executive->AdvanceTime(delta100ns);
}

bool Machine::AdvanceToNextTimer()
{
    return parts_->Executive->AdvanceToNextTimer();
}

LONGLONG Machine::NextTimerDue() const
{
    return parts_->Executive->NextTimerDue();
}

size_t Machine::SetTimerCount() const
{
    return parts_->Executive->SetTimerCount();
}

LONGLONG Machine::TickLength() const
{
    return parts_->Executive->TickLength();
}

void Machine::SetTickLength(LONGLONG ticks100ns)
{
    options_.TickLength = ticks100ns < 0 ? 0 : ticks100ns;
    parts_->Executive->SetTickLength(ticks100ns);
}

void Machine::HoldDpcs(bool hold)
{
    parts_->Executive->HoldDpcs(hold);
}

bool Machine::DpcsHeld() const
{
    return parts_->Executive->DpcsHeld();
}

Machine::ClockCounts Machine::ClockCounters() const
{
    return parts_->Executive->ClockCounters();
}

size_t Machine::QueuedDpcCount() const
{
    return parts_->Executive->QueuedDpcCount();
}

bool Machine::IsDpcQueued(const KDPC* dpc) const
{
    return parts_->Executive->IsDpcQueued(dpc);
}

bool Machine::RunNextDpc()
{
    return parts_->Executive->RunNextDpc();
}

bool Machine::RunDpc(PKDPC dpc)
{
    return parts_->Executive->RunDpc(dpc);
}

void Machine::DrainDpcs()
{
    parts_->Executive->DrainDpcs();
}

void Machine::Quiesce()
{
    parts_->Executive->Quiesce();
}

int Machine::AddProgressHook(ProgressHook hook)
{
    return parts_->Executive->AddProgressHook(std::move(hook));
}

void Machine::RemoveProgressHook(int id)
{
    parts_->Executive->RemoveProgressHook(id);
}

void Machine::RunUntil(const std::function<bool()>& done, const char* what)
{
    parts_->Executive->RunUntil(done, what);
}

// ---- Pool ------------------------------------------------------------------------------------

void Machine::FailNthAllocation(ULONG n)
{
    parts_->Memory.FailNthAllocation(n);
}

void Machine::FailAllocationsWithTag(ULONG tag)
{
    parts_->Memory.FailAllocationsWithTag(tag);
}

ULONG Machine::AllocationCount() const
{
    return parts_->Memory.AllocationCount();
}

std::vector<PoolBlockInfo> Machine::OutstandingPool() const
{
    return parts_->Memory.Outstanding();
}

size_t Machine::OutstandingBlocks(ULONG tag) const
{
    size_t count = 0;
    for (const auto& block : OutstandingPool()) {
        count += (tag == 0 || block.Tag == tag) ? 1 : 0;
    }
    return count;
}

size_t Machine::OutstandingBytes(ULONG tag) const
{
    size_t bytes = 0;
    for (const auto& block : OutstandingPool()) {
        bytes += (tag == 0 || block.Tag == tag) ? block.Size : 0;
    }
    return bytes;
}

std::string Machine::PoolReport() const
{
    std::map<ULONG, std::pair<size_t, size_t>> byTag;
    for (const auto& block : OutstandingPool()) {
        auto& entry = byTag[block.Tag];
        entry.first += 1;
        entry.second += block.Size;
    }
    std::string report;
    for (const auto& [tag, counts] : byTag) {
        char line[96];
        snprintf(line, sizeof(line), "tag '%s': %zu block(s), %zu byte(s)\n", TagText(tag).c_str(),
                 counts.first, counts.second);
        report += line;
    }
    return report;
}

// ---- Verifier ---------------------------------------------------------------------------------

std::vector<Violation> Machine::Violations() const
{
    return parts_->Check.Violations();
}

void Machine::ClearViolations()
{
    parts_->Check.ClearViolations();
}

bool Machine::HasViolation(Rule rule) const
{
    return parts_->Check.HasViolation(rule);
}

bool Machine::TakeViolation(Rule rule)
{
    return parts_->Check.TakeViolation(rule);
}

void Machine::SetAbortOnViolation(bool abort)
{
    options_.AbortOnViolation = abort;
    parts_->Check.SetAbortOnViolation(abort);
}

void Machine::NameSpinLock(const KSPIN_LOCK* lock, const std::string& name)
{
    parts_->Check.NameSpinLock(lock, name);
}

// ---- Trace sink and components ---------------------------------------------------------------

void Machine::SetTraceSink(TraceSink sink)
{
    std::lock_guard<std::recursive_mutex> guard(parts_->TraceLock);
    parts_->Sink = std::move(sink);
}

void Machine::EmitTrace(ULONG component, ULONG level, const char* text)
{
    std::lock_guard<std::recursive_mutex> guard(parts_->TraceLock);
    if (parts_->Sink) {
        parts_->Sink(component, level, text);
    }
}

IoManager& Machine::Io()
{
    return parts_->Io->Io();
}

ObjectNamespace& Machine::Names()
{
    return parts_->Io->Names();
}

Registry& Machine::Reg()
{
    return parts_->Io->Reg();
}

PnpManager& Machine::Pnp()
{
    return parts_->Io->Pnp();
}

} // namespace qvx

extern "C" void QvxAssertFailed(const char* expression, const char* file, int line)
{
    fprintf(stderr, "ASSERTION FAILED: %s at %s:%d\n", expression, file, line);
    fflush(stderr);
    abort();
}

extern "C" void QvxTraceSink(ULONG Component, ULONG Level, const char* Text)
{
    qvx::Machine* machine = qvx::Machine::TryCurrent();
    if (machine != nullptr) {
        machine->EmitTrace(Component, Level, Text);
    }
}
