// Ports for peer tests: the driver loaded once, several ports added through Plug and Play on
// the same machine, peers attached by description, and the application side of each port.
// The far side is either the host's peers or quarvexpeer.sys, which reads the same
// descriptions from each port's "Peer" value when the port arrives.
#pragma once

#include "host/driver_host.h"
#include "host/kernel_peer_host.h"
#include "host/peers/peer_factory.h"
#include "platform/machine/machine.h"
#include "support/machine_fixture.h"

#include <ntddser.h>

#include <memory>
#include <string>
#include <vector>

namespace qvx {

enum class PeerSide { Host, Kernel };

inline std::string PeerSideName(const ::testing::TestParamInfo<PeerSide>& info)
{
    return info.param == PeerSide::Host ? "HostPeer" : "KernelPeer";
}

class PeersTest : public SimMachineTest
{
  protected:
    void TearDown() override
    {
        for (FileHandle handle : handles_) {
            Sim().Io().Close(handle);
        }
        handles_.clear();
        Sim().Io().RunPassiveWork();
        Peers.clear();
        // The peer driver goes first, under ports that stay: its unload must leave nothing of
        // its own and blame nothing of the ports' on it.
        if (Kernel) {
            EXPECT_EQ(Kernel->Unload(), STATUS_SUCCESS);
            Kernel.reset();
        }
        host_.reset();
        SimMachineTest::TearDown();
    }

    // Ports with their far sides: the host's peers attach once the ports run; the kernel peer
    // is loaded first and takes each port's "Peer" value as it arrives. The factory's message
    // when the host's peers refuse.
    std::string StartCable(PeerSide side, const std::vector<PeerRequest>& requests,
                           ULONG comPeriodMs = 0)
    {
        std::vector<std::u16string> names;
        for (const PeerRequest& request : requests) {
            names.push_back(request.PortName);
        }
        if (side == PeerSide::Host) {
            StartPorts(names, comPeriodMs);
            return Attach(requests);
        }
        Kernel = std::make_unique<KernelPeerHost>(Sim());
        EXPECT_EQ(Kernel->Load(), STATUS_SUCCESS);
        StartPorts({}, comPeriodMs);
        for (const PeerRequest& request : requests) {
            EXPECT_EQ(Ports().AddPort({{u"PortName", request.PortName},
                                       {u"Peer", Utf8ToUtf16(request.Description)}}),
                      STATUS_SUCCESS);
        }
        Sim().Io().RunPassiveWork();
        return std::string();
    }

    // What crossed the cable that `port` is on, both ways: the host's peer's own count, or
    // the kernel peer's records of both ends.
    PeerStats CableStats(const std::u16string& port)
    {
        PeerStats stats;
        if (!Kernel) {
            for (const auto& peer : Peers) {
                if (peer->Describe().find(Utf16ToUtf8(port)) != std::string::npos) {
                    return peer->Stats();
                }
            }
            ADD_FAILURE() << "no peer serves " << Utf16ToUtf8(port);
            return stats;
        }
        const std::optional<QvxPeerPortStatus> near = Kernel->Port(port);
        if (!near) {
            ADD_FAILURE() << "the kernel peer does not know " << Utf16ToUtf8(port);
            return stats;
        }
        std::vector<QvxPeerPortStatus> ends{*near};
        const std::u16string far = PeerRecordName(near->PeerName);
        if (!far.empty() && far != port) {
            if (std::optional<QvxPeerPortStatus> other = Kernel->Port(far)) {
                ends.push_back(*other);
            }
        }
        for (const QvxPeerPortStatus& end : ends) {
            stats.ToPort += end.ToPort;
            stats.FromPort += end.FromPort;
            stats.Dropped += end.Dropped;
        }
        return stats;
    }

    DriverHost& Ports() { return *host_; }

    // Writes `data` on `from` and reads it whole on `to`; the simulated milliseconds it took.
    LONGLONG Carry(FileHandle from, FileHandle to, const std::vector<UCHAR>& data)
    {
        const LONGLONG start = Sim().NowMs();
        IoRequestPtr read = Sim().Io().ReadAsync(to, static_cast<ULONG>(data.size()));
        IoRequestPtr write = Sim().Io().WriteAsync(from, data);
        const IoResult& got = read->Wait();
        const LONGLONG took = Sim().NowMs() - start;
        EXPECT_EQ(write->Wait().Status, STATUS_SUCCESS);
        EXPECT_EQ(got.Status, STATUS_SUCCESS);
        EXPECT_TRUE(got.Data == data)
            << "bytes lost, changed or out of order: " << got.Data.size() << " of " << data.size()
            << " status " << std::hex << got.Status << std::dec << " after " << took << " ms";
        for (size_t i = 0; i < std::min(got.Data.size(), data.size()); ++i) {
            if (got.Data[i] != data[i]) {
                ADD_FAILURE() << "first difference at " << i << ": " << int(got.Data[i]) << " for "
                              << int(data[i]);
                break;
            }
        }
        return took;
    }

    // Loads the driver and adds the ports (the send period first, when not 0).
    void StartPorts(const std::vector<std::u16string>& names, ULONG comPeriodMs = 0)
    {
        if (comPeriodMs != 0) {
            const std::u16string key =
                u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Quarvex";
            Sim().Reg().CreateKey(key);
            Sim().Reg().SetDword(key, u"ComPeriod", comPeriodMs);
        }
        host_ = std::make_unique<DriverHost>(Sim());
        ASSERT_EQ(host_->Load(), STATUS_SUCCESS);
        for (const std::u16string& name : names) {
            ASSERT_EQ(host_->AddPort(name), STATUS_SUCCESS);
        }
    }

    // Attaches peers; the factory's message when it refuses.
    std::string Attach(const std::vector<PeerRequest>& requests)
    {
        std::string error;
        if (!CreatePeers(requests, &Peers, &error)) {
            return error.empty() ? "refused without a message" : error;
        }
        return std::string();
    }

    FileHandle Open(const std::u16string& name)
    {
        NTSTATUS status = STATUS_SUCCESS;
        const FileHandle handle = Sim().Io().Open(u"\\\\.\\" + name, 0, &status);
        EXPECT_NE(handle, INVALID_FILE_HANDLE) << std::hex << status;
        if (handle != INVALID_FILE_HANDLE) {
            handles_.push_back(handle);
            // Eight data bits, as every program sets before binary traffic.
            SERIAL_LINE_CONTROL line = {STOP_BIT_1, NO_PARITY, 8};
            EXPECT_EQ(Control(handle, IOCTL_SERIAL_SET_LINE_CONTROL, &line, sizeof(line)),
                      STATUS_SUCCESS);
        }
        return handle;
    }

    NTSTATUS Control(FileHandle handle, ULONG code, const void* input, ULONG length)
    {
        const auto* bytes = static_cast<const UCHAR*>(input);
        return Sim()
            .Io()
            .DeviceIoControl(handle, code, std::vector<UCHAR>(bytes, bytes + length), 0)
            .Status;
    }

    void SetBaud(FileHandle handle, ULONG rate)
    {
        SERIAL_BAUD_RATE baud = {rate};
        ASSERT_EQ(Control(handle, IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof(baud)), STATUS_SUCCESS);
    }

    // Reads wait for their whole length (no timeouts at all).
    void WaitWhole(FileHandle handle)
    {
        SERIAL_TIMEOUTS timeouts = {0, 0, 0, 0, 0};
        ASSERT_EQ(Control(handle, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof(timeouts)),
                  STATUS_SUCCESS);
    }

    // Xon/Xoff both ways between the port and its peer.
    void UseXonXoff(FileHandle handle)
    {
        SERIAL_HANDFLOW flow = {0, SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE, 1024, 1024};
        ASSERT_EQ(Control(handle, IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof(flow)), STATUS_SUCCESS);
        SERIAL_CHARS chars = {0, 0, 0, 0, 0x11, 0x13};
        ASSERT_EQ(Control(handle, IOCTL_SERIAL_SET_CHARS, &chars, sizeof(chars)), STATUS_SUCCESS);
    }

    static std::vector<UCHAR> Pattern(size_t length, unsigned seed)
    {
        std::vector<UCHAR> bytes(length);
        uint32_t state = seed * 2654435761u + 1;
        for (UCHAR& byte : bytes) {
            state = state * 1664525u + 1013904223u;
            byte = static_cast<UCHAR>(state >> 24);
        }
        return bytes;
    }

    std::vector<std::unique_ptr<Peer>> Peers;
    std::unique_ptr<KernelPeerHost> Kernel;

  private:
    std::unique_ptr<DriverHost> host_;
    std::vector<FileHandle> handles_;
};

} // namespace qvx
