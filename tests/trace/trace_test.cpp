#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/machine/machine.h"
#include "trace/trace.h"

namespace {

struct Message
{
    ULONG Component;
    ULONG Level;
    std::string Text;
};

class TraceTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        memset(TraceBuffer, 0, sizeof(TraceBuffer));
        machine_.SetTraceSink([this](ULONG component, ULONG level, const char* text) {
            messages_.push_back({component, level, text});
        });
    }

    void TearDown() override
    {
        for (ULONG slot = 0; slot < TRACE_SLOT_COUNT; ++slot) {
            EXPECT_EQ(TraceSlotBusy[slot], 0) << "slot " << slot << " left busy";
        }
        EXPECT_TRUE(machine_.Violations().empty());
    }

    // Traces a request with one stack location holding the given codes.
    void TraceRequest(UCHAR major, UCHAR minor, ULONG powerType = 0, ULONG powerState = 0)
    {
        IO_STACK_LOCATION stack = {};
        stack.MajorFunction = major;
        stack.MinorFunction = minor;
        memcpy(&stack.Parameters.Power.Type, &powerType, sizeof(powerType));
        memcpy(&stack.Parameters.Power.State, &powerState, sizeof(powerState));
        IRP irp = {};
        irp.Tail.Overlay.CurrentStackLocation = &stack;
        QuarvexTraceIrp(&irp);
    }

    qvx::Machine machine_;
    std::vector<Message> messages_;
};

// The default settings pass level 4 and below of every component, nothing else.
TEST_F(TraceTest, FilterDropsLevelFiveAndEmptyComponentMask)
{
    QuarvexTrace(TRACE_SERIAL_IO, 5, "interval %d", 5);
    QuarvexTrace(0, 1, "no component");
    EXPECT_TRUE(messages_.empty());
    EXPECT_STREQ(TraceBuffer[0], "");

    QuarvexTrace(TRACE_SERIAL_IO | TRACE_PNP, 4, "detail %d %s", 4, "passes");
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0].Component, TRACE_SERIAL_IO | TRACE_PNP);
    EXPECT_EQ(messages_[0].Level, 4u);
    EXPECT_STREQ(TraceBuffer[0], "detail 4 passes");
}

// A message longer than its slot keeps exactly the first 1023 characters and a terminator.
TEST_F(TraceTest, LongMessageIsCutAtSlotSizeMinusOne)
{
    const std::string exact(TRACE_SLOT_SIZE - 1, 'a');
    QuarvexTrace(TRACE_INIT, 1, "%s", exact.c_str());
    EXPECT_EQ(std::string(TraceBuffer[0]), exact);

    memset(TraceBuffer[0], 'x', TRACE_SLOT_SIZE);
    const std::string longer(TRACE_SLOT_SIZE + 500, 'b');
    QuarvexTrace(TRACE_INIT, 1, "%s", longer.c_str());
    EXPECT_EQ(strlen(TraceBuffer[0]), TRACE_SLOT_SIZE - 1);
    EXPECT_EQ(std::string(TraceBuffer[0]), longer.substr(0, TRACE_SLOT_SIZE - 1));
}

NTSTATUS Format(PCHAR buffer, SIZE_T size, PCSTR format, ...)
{
    va_list args;
    va_start(args, format);
    const NTSTATUS status = QuarvexFormatBounded(buffer, size, format, args);
    va_end(args);
    return status;
}

// The bounded formatter terminates in every case the kernel formatter does not.
TEST_F(TraceTest, FormatBoundedTerminatesAndReportsOverflow)
{
    char buffer[8];
    memset(buffer, 'x', sizeof(buffer));
    EXPECT_EQ(Format(buffer, 0, "abc"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Format(buffer, 0x80000000u, "abc"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(buffer[0], 'x');

    EXPECT_EQ(Format(buffer, 8, "%d", 1234567), STATUS_SUCCESS); // exactly the limit
    EXPECT_STREQ(buffer, "1234567");
    EXPECT_EQ(Format(buffer, 8, "%d", 12345678), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(buffer, "1234567");
    EXPECT_EQ(Format(buffer, 1, "a"), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(buffer, "");
}

// Nine callers at once: each of the first eight holds a slot while the next one traces
// (from the sink, which runs before the slot is released); the ninth finds none and loses
// its message without waiting.
TEST_F(TraceTest, NineConcurrentCallersLoseExactlyOneMessage)
{
    int callers = 1;
    machine_.SetTraceSink([&](ULONG, ULONG, const char* text) {
        messages_.push_back({0, 0, text});
        if (callers < 9) {
            QuarvexTrace(TRACE_GENERAL, 1, "caller %d", callers++);
        }
    });
    QuarvexTrace(TRACE_GENERAL, 1, "caller %d", 0);

    EXPECT_EQ(callers, 9);
    ASSERT_EQ(messages_.size(), TRACE_SLOT_COUNT);
    for (ULONG slot = 0; slot < TRACE_SLOT_COUNT; ++slot) {
        EXPECT_EQ(std::string(TraceBuffer[slot]), "caller " + std::to_string(slot));
    }

    // Every slot is free again: the next message takes slot 0.
    QuarvexTrace(TRACE_GENERAL, 1, "after");
    EXPECT_STREQ(TraceBuffer[0], "after");
}

// Codes outside the tables get their fallback names, and the component follows the major.
TEST_F(TraceTest, IrpTracerNamesCodesAndFallsBackForUnknownOnes)
{
    TraceRequest(IRP_MJ_POWER, IRP_MN_SET_POWER, DevicePowerState, 7);
    ASSERT_EQ(messages_.size(), 3u);
    EXPECT_EQ(messages_[0].Component, TRACE_POWER);
    EXPECT_EQ(messages_[0].Level, 4u);
    EXPECT_EQ(messages_[0].Text.rfind("IRP ", 0), 0u);
    EXPECT_EQ(messages_[0].Text.substr(messages_[0].Text.size() - 13), " IRP_MJ_POWER");
    EXPECT_EQ(messages_[1].Text, "IRP_MN_SET_POWER");
    EXPECT_EQ(messages_[2].Text, "PowerDeviceUnknown");

    messages_.clear();
    TraceRequest(IRP_MJ_POWER, 9, SystemPowerState, PowerSystemHibernate);
    ASSERT_EQ(messages_.size(), 3u);
    EXPECT_EQ(messages_[1].Text, "Unknown Power Request");
    EXPECT_EQ(messages_[2].Text, "PowerSystemHibernate");

    messages_.clear();
    TraceRequest(IRP_MJ_PNP, 14);
    TraceRequest(IRP_MJ_PNP, IRP_MN_QUERY_LEGACY_BUS_INFORMATION);
    TraceRequest(IRP_MJ_PNP, 0x19);
    TraceRequest(IRP_MJ_SYSTEM_CONTROL, IRP_MN_REGINFO_EX);
    ASSERT_EQ(messages_.size(), 8u);
    EXPECT_EQ(messages_[0].Component, TRACE_PNP);
    EXPECT_EQ(messages_[1].Text, "Unknown PnP Request");
    EXPECT_EQ(messages_[3].Text, "IRP_MN_QUERY_LEGACY_BUS_INFORMATION");
    EXPECT_EQ(messages_[5].Text, "Unknown PnP Request");
    EXPECT_EQ(messages_[6].Component, TRACE_WMI);
    EXPECT_EQ(messages_[7].Text, "Unknown System Control Request");

    messages_.clear();
    TraceRequest(IRP_MJ_SHUTDOWN, 0);
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0].Component, TRACE_GENERAL);
    EXPECT_EQ(std::string(QuarvexIrpMajorName(0x1C)), "Unknown IRP Request");
}

} // namespace
