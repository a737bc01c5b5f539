// A port record on a test device, with its four queues and its gate wired to logging start
// routines and dispatch routines, for the request-queue tests. Requests go in through
// IofCallDriver; the test plays the owner of each queue's current request.
//
// Thread-safe: the logs and tables are guarded by a mutex that is never held while driver
// code runs, so real-time machines can drive a QueuePort from several threads.
#pragma once

#include <ntddk.h>

#include "port/port.h"
#include "queue/queue.h"

#include "platform/machine/machine.h"
#include "support/machine_fixture.h"

#include <array>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace qvx {

// Where a request goes; the first four are the port's Queues in order.
enum class Target { Write = 0, Mask = 1, Read = 2, Purge = 3, Gate = 4 };

struct SentRequest
{
    PIRP Irp = nullptr; // valid only until its completion
    Target To = Target::Read;
    NTSTATUS DispatchStatus = STATUS_PENDING;
    int Completions = 0;
    NTSTATUS Status = STATUS_PENDING;
    ULONG_PTR Information = 0;
};

class QueuePort
{
  public:
    // Creates a device whose extension is a port record with defaults, four queues (DPC start
    // on) and a gate, all stalled once as after add device. With a name (\Device\...) the
    // application side can open it: create and close succeed, cleanup cancels the handle's
    // waiting requests in every queue and the gate.
    explicit QueuePort(Machine& machine, const char16_t* name = nullptr);
    // Deletes the device; every request must have completed.
    ~QueuePort();
    QueuePort(const QueuePort&) = delete;
    QueuePort& operator=(const QueuePort&) = delete;

    PortDeviceRecord* Port() const { return port_; }
    PDEVICE_OBJECT Device() const { return device_; }
    RequestQueue* Queue(Target target) const;
    RequestGate* Gate() const { return &port_->ControlGate; }
    PFILE_OBJECT FileA() { return &files_[0]; }
    PFILE_OBJECT FileB() { return &files_[1]; }

    // Sends a request through IofCallDriver; returns its id. `cancelled` sets Irp->Cancel
    // first, as if the application had cancelled it before it reached the driver.
    int Send(Target target, PFILE_OBJECT file = nullptr, bool cancelled = false);
    SentRequest Get(int id) const;
    bool Completed(int id) const;
    NTSTATUS StatusOf(int id) const { return Get(id).Status; }
    PIRP IrpOf(int id) const; // NULL once completed
    size_t Outstanding() const;

    // Ids in the order they were started (per queue) or served (gate), and one log of both
    // ("W3" started in the write queue, "G5" served by the gate) and of completions ("c3").
    std::vector<int> Started(Target target) const;
    std::vector<int> Served() const;
    std::vector<std::string> Events() const;
    std::vector<int> CompletionOrder() const;

    // --- The test as owner of each queue's current request ---------------------------------
    // Start routines install OwnerCancel as the current request's cancel routine under
    // PortLock unless this is false (the owner is then already finishing it).
    void SetArmOwnerCancel(bool arm) { armOwnerCancel_ = arm; }
    // Id of the current request as its start routine saw it; -1 when the owner has none.
    int Current(Target target) const;
    // Ends the current request: takes back its cancel routine under PortLock, then start-next,
    // then completion. FALSE (nothing done) when a cancel already owns it; a failure when the
    // owner has no request.
    bool Finish(Target target, NTSTATUS status = STATUS_SUCCESS);
    // The same without the failure: for threads racing the queue.
    bool TryFinish(Target target, NTSTATUS status = STATUS_SUCCESS);
    // Called by each start routine after it took ownership (at DISPATCH_LEVEL).
    std::function<void(Target, int)> OnStart;
    // Turns the mask queue's current request into the port's pending wait, as the mask start
    // routine does: WaitIrp and WaitResultSlot set, its cancel routine kept, the queue moved
    // on with start-next. Returns its id.
    int MakePendingWait();

    // --- Gate ----------------------------------------------------------------------------
    // Called while an admitted request is served (at the dispatcher's IRQL).
    std::function<void(int)> OnServe;
    // Served requests stay admitted and pending until LeaveAdmitted.
    void SetHoldAdmitted(bool hold) { holdAdmitted_ = hold; }
    void LeaveAdmitted(int id);

    // --- Cancellation as the platform does it ---------------------------------------------
    BOOLEAN Cancel(int id);
    // The first half of IoCancelIrp: under the cancel spin lock, Cancel set and the routine
    // exchanged for NULL. The second half calls the routine it took.
    bool TakeCancelRoutine(int id);
    void RunTakenCancelRoutine(int id);

  private:
    friend struct QueuePortAccess;
    int IdOf(PIRP irp) const;
    void LogStart(Target target, PIRP irp);
    void LogServe(PIRP irp);
    void OnCompleted(PIRP irp);

    Machine& machine_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    PortDeviceRecord* port_ = nullptr;
    std::array<FILE_OBJECT, 2> files_{};
    bool armOwnerCancel_ = true;
    bool holdAdmitted_ = false;

    mutable std::mutex mutex_;
    int nextId_ = 1;
    std::map<int, SentRequest> requests_;
    std::map<PIRP, int> live_;
    std::map<int, PDRIVER_CANCEL> taken_;
    std::map<Target, std::vector<int>> started_;
    std::vector<int> served_;
    std::vector<std::string> events_;
    std::vector<int> completions_;
    std::map<int, PIRP> admitted_;

    // Guarded by PortLock: the owner's view of each queue's current request.
    std::array<PIRP, QUEUE_COUNT> owned_{};
    std::array<bool, QUEUE_COUNT> armed_{};
    ULONG waitResult_ = 0;
};

// Runs an action from a timer DPC once a simulated delay has passed: how a test lets an owner
// act while the code under test waits and drives the machine.
class TimerAction
{
  public:
    explicit TimerAction(std::function<void()> action);
    ~TimerAction();
    TimerAction(const TimerAction&) = delete;
    TimerAction& operator=(const TimerAction&) = delete;

    void ArmMs(LONGLONG ms);
    bool Ran() const { return ran_; }

  private:
    static VOID NTAPI Routine(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2);

    KTIMER timer_;
    KDPC dpc_;
    std::function<void()> action_;
    bool ran_ = false;
};

// A simulated machine with one QueuePort, created after the machine and deleted before the
// machine's end-of-test checks.
class QueuePortTest : public SimMachineTest
{
  protected:
    void SetUp() override;
    void TearDown() override;
    QueuePort& Q() { return *port_; }

  private:
    std::unique_ptr<QueuePort> port_;
};

} // namespace qvx
