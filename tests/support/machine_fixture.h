// What every suite that runs on a machine starts from: a fixture that creates the machine and
// checks at the end that the test left it clean, a trace capture, and a helper for death tests.
#pragma once

#include "platform/machine/machine.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace qvx {

// A counted string over `text`, which must outlive it.
inline UNICODE_STRING Counted(std::u16string& text)
{
    const auto bytes = static_cast<USHORT>(text.size() * sizeof(char16_t));
    return UNICODE_STRING{bytes, bytes, text.data()};
}

// Creates a simulated machine (1 ms tick, violations recorded rather than fatal) in SetUp.
// TearDown fails the test for every violation still recorded, pool still allocated, a timer
// still set, a DPC or passive work item still queued, a registry key still open, a callback
// registration still in place or an IRQL other than PASSIVE_LEVEL, then destroys the machine.
// A derived fixture may change Options in its constructor; one that overrides TearDown calls
// this one last.
class SimMachineTest : public ::testing::Test
{
  protected:
    SimMachineTest();
    void SetUp() override;
    void TearDown() override;

    Machine& Sim() { return *machine_; }

    // For a test that breaks a rule on purpose: expects a recorded violation of `rule` and
    // removes it, so that TearDown does not report it.
    bool ExpectViolation(Rule rule);

    MachineOptions Options;

  private:
    std::unique_ptr<Machine> machine_;
};

// Collects the trace lines a machine emits while it exists. Safe with real-time machines.
class TraceCapture
{
  public:
    explicit TraceCapture(Machine& machine);
    ~TraceCapture();
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    std::vector<std::string> Lines() const;
    // Lines containing `fragment`.
    size_t Count(const std::string& fragment) const;
    bool Contains(const std::string& fragment) const { return Count(fragment) > 0; }
    void Clear();
    // Every line, one per row, for failure messages.
    std::string Dump() const;

  private:
    Machine& machine_;
    mutable std::mutex lock_;
    std::vector<std::string> lines_;
};

// Inside EXPECT_DEATH: makes the first verifier violation abort the process with its rule's
// name. Uses the machine of the test when one exists, otherwise creates a simulated one.
class DeathTestMachine
{
  public:
    DeathTestMachine();
    ~DeathTestMachine();
    DeathTestMachine(const DeathTestMachine&) = delete;
    DeathTestMachine& operator=(const DeathTestMachine&) = delete;

    Machine& Get() { return *machine_; }

  private:
    std::unique_ptr<Machine> own_;
    Machine* machine_;
    bool previous_;
};

} // namespace qvx
