#include "win32_port.h"

#include "host/service/service.h"
#include "host/win32/bridge.h"
#include "platform/machine/machine.h"
#include "support/port_fixture.h"

#include <cstdlib>
#include <unistd.h>

namespace qvx::win32test {

// The port fixture, run by hand inside the Win32 test.
class PortHarness final : public PortTest
{
  public:
    void Up(bool realTime)
    {
        if (realTime) {
            Options.Mode = MachineMode::RealTime;
        }
        SetUp();
    }
    void Settle()
    {
        if (Sim().Mode() == MachineMode::RealTime) {
            Sim().Quiesce();
        } else {
            Sim().DrainDpcs();
        }
    }
    void Down()
    {
        win32::FinishCompletedRequests();
        EXPECT_EQ(Io().OpenHandleCount(), 0u) << "a Win32 handle was left open";
        EXPECT_EQ(Io().OutstandingIrps(), 0u) << "a request is still pending";
        TearDown();
    }
    void TestBody() override {}

    using PortTest::Io;
    using PortTest::Peer;
    using PortTest::Sim;
};

// The program's calls reach the port through a service in this process, over its socket,
// as another process's would: on the real-time machine, which a service needs.
struct ServiceRun
{
    std::string Folder;
    std::unique_ptr<service::Service> Running;
};

namespace {

bool ThroughService()
{
    const char* value = std::getenv("QVX_WIN32_THROUGH_SERVICE");
    return value != nullptr && value[0] == '1';
}

} // namespace

Win32PortTest::Win32PortTest() = default;
Win32PortTest::~Win32PortTest() = default;

void Win32PortTest::SetUp()
{
    harness_ = std::make_unique<PortHarness>();
    harness_->Up(RealTime || ThroughService());
    if (!ThroughService()) {
        return;
    }
    service_ = std::make_unique<ServiceRun>();
    char folder[] = "/tmp/qvx-service-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    service_->Folder = folder;
    service::ServiceOptions options;
    options.SocketPath = service_->Folder + "/quarvex.sock";
    std::string error;
    service_->Running = service::Service::Start(options, &error);
    ASSERT_NE(service_->Running, nullptr) << error;
    ASSERT_TRUE(win32::UseService(options.SocketPath, &error)) << error;
}

void Win32PortTest::TearDown()
{
    if (service_ != nullptr) {
        win32::StopUsingService();
        if (service_->Running != nullptr) {
            service_->Running->Stop();
        }
        rmdir(service_->Folder.c_str());
        service_.reset();
    }
    harness_->Down();
    harness_.reset();
}

void Win32PortTest::PeerSend(const std::string& bytes)
{
    harness_->Peer().Deliver(bytes);
    harness_->Settle();
}

std::string Win32PortTest::PeerReceived()
{
    // The transmitter sends one block per period: let a few pass.
    harness_->Sim().AdvanceMs(50);
    const std::vector<uint8_t> bytes = harness_->Peer().TakeReceived();
    return std::string(bytes.begin(), bytes.end());
}

std::vector<uint32_t> Win32PortTest::PeerBaudRates()
{
    const std::vector<ULONG> rates = harness_->Peer().BaudRates();
    return std::vector<uint32_t>(rates.begin(), rates.end());
}

void Win32PortTest::AdvanceMs(int64_t ms)
{
    harness_->Sim().AdvanceMs(ms);
}

size_t Win32PortTest::OutstandingRequests()
{
    return harness_->Io().OutstandingIrps();
}

size_t Win32PortTest::OpenFileHandles()
{
    return harness_->Io().OpenHandleCount();
}

void Win32PortTest::SetRegString(const std::string& path, const std::string& name,
                                 const std::string& text)
{
    harness_->Sim().Reg().SetString(path, name, text);
}

bool Win32PortTest::LoadRegText(const std::string& text, std::string* error)
{
    const RegLoadResult result = harness_->Sim().Reg().LoadRegText(text);
    *error = result.Error;
    return result.Ok;
}

bool Win32PortTest::LoadRegFile(const std::string& path, std::string* error)
{
    const RegLoadResult result = harness_->Sim().Reg().LoadRegFile(path);
    *error = result.Error;
    return result.Ok;
}

std::optional<uint32_t> Win32PortTest::RegDword(const std::string& path, const std::string& name)
{
    return harness_->Sim().Reg().GetDword(path, name);
}

std::optional<std::string> Win32PortTest::RegString(const std::string& path,
                                                    const std::string& name)
{
    const std::optional<std::u16string> text = harness_->Sim().Reg().GetString(path, name);
    if (!text) {
        return std::nullopt;
    }
    return std::string(text->begin(), text->end());
}

std::optional<std::vector<uint8_t>> Win32PortTest::RegBinary(const std::string& path,
                                                             const std::string& name)
{
    const std::optional<RegValue> value = harness_->Sim().Reg().GetValue(path, name);
    if (!value) {
        return std::nullopt;
    }
    return value->Data;
}

} // namespace qvx::win32test
