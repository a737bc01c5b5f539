// A port for Win32 programs: the test port published as COM5 on a simulated machine, seen
// from the far side through its peer. No kernel or Win32 types here: test files include
// <windows.h> and this header only.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qvx::win32test {

class PortHarness;
struct ServiceRun;

class Win32PortTest : public ::testing::Test
{
  protected:
    Win32PortTest();
    ~Win32PortTest() override;
    void SetUp() override;
    void TearDown() override;

    // The far side: bytes sent to the port, bytes the port transmitted (taken, after 50 ms
    // of simulated time).
    void PeerSend(const std::string& bytes);
    std::string PeerReceived();
    std::vector<uint32_t> PeerBaudRates();
    // Lets simulated time pass with the application idle.
    void AdvanceMs(int64_t ms);
    // Requests the port still holds; open file handles on the machine.
    size_t OutstandingRequests();
    size_t OpenFileHandles();

    // Registry of the machine (paths as .reg files write them).
    void SetRegString(const std::string& path, const std::string& name, const std::string& text);
    bool LoadRegText(const std::string& text, std::string* error);
    bool LoadRegFile(const std::string& path, std::string* error);
    std::optional<uint32_t> RegDword(const std::string& path, const std::string& name);
    std::optional<std::string> RegString(const std::string& path, const std::string& name);
    std::optional<std::vector<uint8_t>> RegBinary(const std::string& path, const std::string& name);

    // Set before SetUp: the port runs on the real-time machine (threads block instead of
    // driving the machine). With QVX_WIN32_THROUGH_SERVICE=1 in the environment it always
    // does, and the program's calls go through a service in this process, over its socket.
    bool RealTime = false;

  private:
    std::unique_ptr<PortHarness> harness_;
    std::unique_ptr<ServiceRun> service_;
};

} // namespace qvx::win32test
