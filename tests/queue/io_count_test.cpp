// The outstanding-I/O count that removal drains.
// ctest-labels: driver

#include <ntddk.h>

#include "port/port.h"

#include "support/machine_fixture.h"
#include "support/queue_helpers.h"

#include <memory>

namespace qvx {
namespace {

class IoCountTest : public SimMachineTest
{
  protected:
    void SetUp() override
    {
        SimMachineTest::SetUp();
        port_ = std::make_unique<PortDeviceRecord>();
        QuarvexPortSetDefaults(port_.get(), nullptr, nullptr);
    }

    PortDeviceRecord* Port() { return port_.get(); }

    // What removal does: count itself out, then drop the device's reference and wait.
    void Remove()
    {
        QuarvexIoDecrement(Port());
        QuarvexIoDecrementAndWait(Port());
    }

  private:
    std::unique_ptr<PortDeviceRecord> port_;
};

// Removal's wait ends only when a dispatcher that entered before it has left; a dispatcher
// arriving while removal waits is refused and leaves the count as it found it.
TEST_F(IoCountTest, RemovalWaitsForEarlierDispatcherAndRefusesLaterOne)
{
    ASSERT_TRUE(QuarvexIoIncrement(Port())); // a dispatcher that comes and goes
    QuarvexIoDecrement(Port());
    EXPECT_EQ(KeReadStateEvent(&Port()->RemoveEvent), 0) << "the device's own reference holds";

    ASSERT_TRUE(QuarvexIoIncrement(Port())); // a create still running
    bool createLeft = false;
    TimerAction createReturns([&] {
        createLeft = true;
        QuarvexIoDecrement(Port());
    });
    LONG countBefore = -1;
    LONG countAfter = -1;
    BOOLEAN lateAdmitted = TRUE;
    TimerAction lateCreate([&] {
        countBefore = Port()->OutstandingIo;
        lateAdmitted = QuarvexIoIncrement(Port());
        countAfter = Port()->OutstandingIo;
    });
    createReturns.ArmMs(10);
    lateCreate.ArmMs(4);

    ASSERT_TRUE(QuarvexIoIncrement(Port())); // removal's own entry
    Remove();
    EXPECT_TRUE(createLeft);
    EXPECT_GE(Sim().NowMs(), 10);
    EXPECT_TRUE(lateCreate.Ran());
    EXPECT_FALSE(lateAdmitted);
    EXPECT_EQ(countAfter, countBefore);
    EXPECT_EQ(Port()->OutstandingIo, 0);
    EXPECT_EQ(Port()->PnpState, PNP_REMOVED);

    EXPECT_FALSE(QuarvexIoIncrement(Port()));
    EXPECT_EQ(Port()->OutstandingIo, 0);
}

TEST_F(IoCountTest, RemovalWithNoDispatcherActiveReturnsAtOnce)
{
    ASSERT_TRUE(QuarvexIoIncrement(Port()));
    const LONGLONG before = Sim().Now();
    Remove();
    EXPECT_EQ(Sim().Now(), before);
    EXPECT_EQ(Port()->OutstandingIo, 0);
    EXPECT_NE(KeReadStateEvent(&Port()->RemoveEvent), 0);
}

} // namespace
} // namespace qvx
