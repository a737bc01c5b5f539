#include "support/machine_fixture.h"
#include "platform/machine/machine.h"

#include <sstream>

namespace qvx {

SimMachineTest::SimMachineTest()
{
    Options.Mode = MachineMode::Simulated;
    Options.TickLength = 10000;
    Options.AbortOnViolation = false;
}

void SimMachineTest::SetUp()
{
    if (Options.Mode == MachineMode::RealTime) {
        // A forked child would inherit the processor threads' locks but not the threads.
        GTEST_FLAG_SET(death_test_style, "threadsafe");
    }
    machine_ = std::make_unique<Machine>(Options);
}

void SimMachineTest::TearDown()
{
    Machine& machine = *machine_;
    if (machine.Mode() == MachineMode::RealTime) {
        machine.Quiesce(); // DPCs still running on processor threads finish first
    }
    for (const auto& violation : machine.Violations()) {
        ADD_FAILURE() << "verifier violation " << violation.Rule << ": " << violation.Message;
    }
    if (machine.OutstandingBlocks() != 0) {
        ADD_FAILURE() << "pool left allocated:\n" << machine.PoolReport();
    }
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "the test ends at a raised IRQL";
    EXPECT_EQ(machine.QueuedDpcCount(), 0u) << "a DPC is still queued";
    EXPECT_EQ(machine.SetTimerCount(), 0u) << "a timer is still set";
    EXPECT_EQ(machine.Io().OutstandingIrps(), 0u) << "a request is still pending";
    EXPECT_EQ(machine.Io().PendingCloseCount(), 0u) << "a closed handle still waits for its close";
    EXPECT_EQ(machine.Io().QueuedWorkCount(), 0u) << "a work item or deferred close is queued";
    for (const RegOpenHandle& open : machine.Reg().OpenHandles()) {
        ADD_FAILURE() << "registry key still open: " << Utf16ToUtf8(open.Path);
    }
    for (const CallbackRegistrationInfo& registration : machine.Names().Registrations()) {
        ADD_FAILURE() << "callback registration still in place on "
                      << Utf16ToUtf8(registration.ObjectName);
    }
    machine_.reset();
}

bool SimMachineTest::ExpectViolation(Rule rule)
{
    if (machine_->TakeViolation(rule)) {
        return true;
    }
    std::string recorded;
    for (const auto& violation : machine_->Violations()) {
        recorded += std::string("\n  ") + RuleName(violation.Rule) + ": " + violation.Message;
    }
    ADD_FAILURE() << "expected verifier violation " << rule
                  << "; recorded:" << (recorded.empty() ? " none" : recorded);
    return false;
}

TraceCapture::TraceCapture(Machine& machine) : machine_(machine)
{
    machine_.SetTraceSink([this](ULONG, ULONG, const char* text) {
        std::string line(text);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
            line.pop_back();
        }
        std::lock_guard<std::mutex> guard(lock_);
        lines_.push_back(std::move(line));
    });
}

TraceCapture::~TraceCapture()
{
    machine_.SetTraceSink(nullptr);
}

std::vector<std::string> TraceCapture::Lines() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return lines_;
}

size_t TraceCapture::Count(const std::string& fragment) const
{
    std::lock_guard<std::mutex> guard(lock_);
    size_t count = 0;
    for (const auto& line : lines_) {
        count += line.find(fragment) != std::string::npos ? 1 : 0;
    }
    return count;
}

void TraceCapture::Clear()
{
    std::lock_guard<std::mutex> guard(lock_);
    lines_.clear();
}

std::string TraceCapture::Dump() const
{
    std::lock_guard<std::mutex> guard(lock_);
    std::ostringstream out;
    for (const auto& line : lines_) {
        out << line << '\n';
    }
    return out.str();
}

DeathTestMachine::DeathTestMachine() : machine_(Machine::TryCurrent())
{
    if (machine_ == nullptr) {
        own_ = std::make_unique<Machine>();
        machine_ = own_.get();
    }
    previous_ = machine_->Options().AbortOnViolation;
    machine_->SetAbortOnViolation(true);
}

DeathTestMachine::~DeathTestMachine()
{
    machine_->SetAbortOnViolation(previous_);
}

} // namespace qvx
