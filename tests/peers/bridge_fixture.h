// Bridges run beside a real-time machine: the far side is a real socket or terminal.
#pragma once

#include "peers_fixture.h"
#include "tools.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace qvx {

class BridgeTest : public PeersTest
{
  protected:
    BridgeTest() { Options.Mode = MachineMode::RealTime; }

    // COM5 alone, with a 1 ms send period so that megabytes pass in seconds.
    void StartCom5(const std::string& description)
    {
        StartPorts({u"COM5"}, 1);
        ASSERT_EQ(Attach({{u"COM5", description}}), "");
        Port = Open(u"COM5");
        WaitWhole(Port);
        SetBaud(Port, FAST_BAUD);
    }

    // Writes `data` and reads as many bytes back (through an echoing far side).
    // A lost byte ends the read at its timeout, reported with the port's errors, instead of
    // leaving it to the watchdog.
    void Echo(const std::vector<UCHAR>& data)
    {
        SERIAL_TIMEOUTS timeouts = {0, 0, 90000, 0, 0};
        ASSERT_EQ(Control(Port, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof(timeouts)),
                  STATUS_SUCCESS);
        IoRequestPtr read = Sim().Io().ReadAsync(Port, static_cast<ULONG>(data.size()));
        IoRequestPtr write = Sim().Io().WriteAsync(Port, data);
        EXPECT_EQ(write->Wait().Status, STATUS_SUCCESS);
        const IoResult& got = read->Wait();
        if (got.Status != STATUS_SUCCESS) {
            const IoResult status = Sim().Io().DeviceIoControl(Port, IOCTL_SERIAL_GET_COMMSTATUS,
                                                               {}, sizeof(SERIAL_STATUS));
            SERIAL_STATUS errors = {};
            memcpy(&errors, status.Data.data(), std::min(status.Data.size(), sizeof(errors)));
            ADD_FAILURE() << "read ended with status " << std::hex << got.Status << " after "
                          << std::dec << got.Data.size() << " of " << data.size()
                          << " bytes; port errors " << std::hex << errors.Errors
                          << ", far side dropped " << std::dec << Peers[0]->Stats().Dropped;
        }
        ExpectSame(got.Data, data);
    }

    static void ExpectSame(const std::vector<UCHAR>& got, const std::vector<UCHAR>& want)
    {
        ASSERT_EQ(got.size(), want.size());
        for (size_t i = 0; i < got.size(); ++i) {
            if (got[i] != want[i]) {
                FAIL() << "first difference at " << i << ": " << int(got[i]) << " for "
                       << int(want[i]);
            }
        }
    }

    static constexpr ULONG FAST_BAUD = 4000000;
    FileHandle Port = INVALID_FILE_HANDLE;
};

} // namespace qvx
