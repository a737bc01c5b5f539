// The machine: creation and teardown, the verifier, the trace sink, the component accessors.

#include "platform/machine/machine_internal.h"

#include "platform/io/io_manager.h"
#include "platform/io/names.h"
#include "platform/io/pnp.h"
#include "platform/io/registry.h"

#include <cstdio>
#include <cstdlib>

namespace qvx {

namespace {

std::atomic<Machine*> g_current{nullptr};
std::atomic<unsigned> g_generation{0};

} // namespace

Machine::Machine(const MachineOptions& options)
    : options_(options), state_(std::make_unique<State>(*this))
{
    Machine* expected = nullptr;
    if (!g_current.compare_exchange_strong(expected, this)) {
        fprintf(stderr, "qvx::Machine: a machine already exists in this process\n");
        abort();
    }
    State& state = *state_;
    state.RealTime = options.Mode == MachineMode::RealTime;
    state.Generation = ++g_generation;
    state.Start = std::chrono::steady_clock::now();
    InitializeListHead(&state.Timers);
    InitializeListHead(&state.DpcQueue);
    state.AbortOnViolation = options.AbortOnViolation;
    CurrentCpu(); // the creating thread starts at PASSIVE_LEVEL
    if (state.RealTime) {
        const unsigned count = options.Processors == 0 ? 1 : options.Processors;
        for (unsigned i = 0; i < count; ++i) {
            auto processor = std::make_unique<State::Processor>();
            InitializeListHead(&processor->Queue);
            state.Processors.push_back(std::move(processor));
        }
    }
    names_ = std::make_unique<ObjectNamespace>(*this);
    registry_ = std::make_unique<Registry>(*this);
    io_ = std::make_unique<IoManager>(*this);
    pnp_ = std::make_unique<PnpManager>(*this);
    // The threads start last, so they never see a half-built machine (the cancel spin lock's
    // address, for one, is registered by the I/O manager).
    if (state.RealTime) {
        for (unsigned i = 0; i < state.Processors.size(); ++i) {
            state.Processors[i]->Thread = std::thread(RunProcessor, std::ref(state), i);
        }
        state.ClockThread = std::thread(RunClock, std::ref(state));
    }
}

Machine::~Machine()
{
    State& state = *state_;
    if (state.RealTime) {
        {
            std::lock_guard<std::mutex> guard(state.KernelLock);
            state.Stopping = true;
            for (auto& processor : state.Processors) {
                processor->Wake.notify_all();
            }
            state.TimersChanged.notify_all();
        }
        for (auto& processor : state.Processors) {
            processor->Thread.join();
        }
        state.ClockThread.join();
    }
    pnp_.reset();
    io_.reset();
    registry_.reset();
    names_.reset();
    ReleaseAllPool(state);
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

void Machine::ReportViolation(Rule rule, const std::string& message)
{
    if (state_->AbortOnViolation) {
        fprintf(stderr, "VERIFIER VIOLATION: %s: %s\n", RuleName(rule), message.c_str());
        fflush(stderr);
        abort();
    }
    std::lock_guard<std::mutex> guard(state_->VerifierLock);
    state_->Violations.push_back({rule, message});
}

std::vector<Violation> Machine::Violations() const
{
    std::lock_guard<std::mutex> guard(state_->VerifierLock);
    return state_->Violations;
}

void Machine::ClearViolations()
{
    std::lock_guard<std::mutex> guard(state_->VerifierLock);
    state_->Violations.clear();
}

bool Machine::HasViolation(Rule rule) const
{
    std::lock_guard<std::mutex> guard(state_->VerifierLock);
    for (const auto& violation : state_->Violations) {
        if (violation.Rule == rule) {
            return true;
        }
    }
    return false;
}

bool Machine::TakeViolation(Rule rule)
{
    std::lock_guard<std::mutex> guard(state_->VerifierLock);
    auto& violations = state_->Violations;
    for (auto it = violations.begin(); it != violations.end(); ++it) {
        if (it->Rule == rule) {
            violations.erase(it);
            return true;
        }
    }
    return false;
}

void Machine::SetAbortOnViolation(bool abort)
{
    options_.AbortOnViolation = abort;
    state_->AbortOnViolation = abort;
}

void Machine::SetTraceSink(TraceSink sink)
{
    std::lock_guard<std::recursive_mutex> guard(state_->TraceLock);
    state_->Sink = std::move(sink);
}

void Machine::EmitTrace(ULONG component, ULONG level, const char* text)
{
    std::lock_guard<std::recursive_mutex> guard(state_->TraceLock);
    if (state_->Sink) {
        state_->Sink(component, level, text);
    }
}

IoManager& Machine::Io()
{
    return *io_;
}

ObjectNamespace& Machine::Names()
{
    return *names_;
}

Registry& Machine::Reg()
{
    return *registry_;
}

PnpManager& Machine::Pnp()
{
    return *pnp_;
}

void VerifierReport(Rule rule, const char* format, ...)
{
    char message[512];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof(message), format, args);
    va_end(args);
    Machine* machine = Machine::TryCurrent();
    if (machine == nullptr) {
        fprintf(stderr, "VERIFIER VIOLATION: %s: %s\n", RuleName(rule), message);
        fflush(stderr);
        abort();
    }
    machine->ReportViolation(rule, message);
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
