// The embedding API: a machine with the driver loaded and the ports of a configuration
// started, each with its peer. While a System exists, the Win32 calls of the process
// (host/win32) reach its ports.
//
// A configuration is a .reg file, as Windows' registry editor writes them:
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\Quarvex]
//   "ComPeriod"=dword:00000014
//
//   [HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\Root\PORTS\0000\Device Parameters]
//   "PortName"="COM5"
//   "Peer"="pair:COM6"
//
// Every key under Enum\Root\PORTS is one port device (its "Device Parameters" key is the
// device's hardware key); "Peer" describes its far side (host/peers/peer_factory.h).
//
// No kernel type appears here, so a Win32 program includes it beside <windows.h>;
// host/system_internal.h gives the kernel side (machine, driver host) to the tool and tests.
//
// Threads: Boot and Shutdown from one thread; the Win32 calls from any.
#pragma once

#include "host/peers/peer_factory.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qvx {

enum class SystemMode {
    RealTime, // for programs: time is the host's
    Simulated // for exact, repeatable tests: time moves when a wait needs it
};

struct SystemOptions
{
    SystemMode Mode = SystemMode::RealTime;
    // The .reg text; empty means the embedded default (COM5 and COM6, a null-modem pair).
    std::string Configuration;
    // Named in error messages ("file:line: ..."); empty names nothing (the tool's own
    // configuration for a port given on its command line).
    std::string ConfigurationName = "default configuration";
    // Overrides the configuration's "ComPeriod" when not 0.
    uint32_t ComPeriodMs = 0;
    // The driver's trace to standard error: components (bits, 0 = off) up to a level.
    uint32_t TraceComponents = 0;
    uint32_t TraceLevel = 0;
    // FALSE: the ports start without their peers (a listing needs no bridge).
    bool AttachPeers = true;
    // TRUE: quarvexpeer.sys is the far side instead of the host's peers. It is started from its
    // entry before the ports and reads each port's "Peer" itself as the port arrives (pair,
    // loopback and none carry data; the network kinds wait for a program).
    bool KernelPeer = false;
    // TRUE: the machine runs the verifier's bookkeeping, as the tests do (lock order, IRQL
    // ceilings, the requests' walk, pool poisoning); a broken rule is reported by Shutdown.
    // FALSE: a production machine, whose spin locks cost what Windows' do; a deadlock or a
    // corrupted structure still stops the process with a message.
    bool Verify = false;
    // Where the peers' messages about their connections go ("peer COM5: tcp-client
    // 127.0.0.1:7000: connected"); none when empty or while the trace is on (it shows them).
    std::function<void(const std::string&)> PeerNotice;
};

// The driver's trace components by name ("pnp", "power", "open", "wmi", "unload", "io",
// "init", "general", "all"); 0 for an unknown name.
uint32_t TraceComponentByName(const std::string& name);

// A port as configured and started.
struct SystemPort
{
    std::string InstanceId; // Root\PORTS\<instance>
    std::string PortName;   // COM5
    std::string DeviceName; // \Device\QuarvexDeviceN
    std::string Peer;       // its description
    std::string Problem;    // InspectConfiguration: why its peer would not start, or empty
};

// For a program that uses the ports of a running `quarvex run` instead of booting a System:
// from this call on, the Win32 calls of the process reach the service listening on
// `socketPath` (QUARVEX_SOCKET=PATH in the environment does the same without a call). FALSE
// and a message when no service answers there. Defined in the Win32 layer.
bool ConnectToService(const std::string& socketPath, std::string* error);

class System
{
  public:
    // The configuration used when none is given.
    static const char* DefaultConfiguration();
    // Reads a configuration file (at most 1 MiB, which also bounds a pipe); FALSE and a
    // message naming the file when it cannot.
    static bool ReadConfiguration(const std::string& path, std::string* text, std::string* error);
    // Checks a configuration without booting or looking beyond it: its encoding (UTF-8, or
    // UTF-16 LE with its byte-order mark) and size (1 MiB, 256 ports), the value names of the
    // driver's and the ports' keys, one key per port instance, a "PortName" for each (COM1 to
    // COM4096), no name twice, a known peer for each (registry syntax is checked at boot).
    // The message names file and line.
    static bool CheckConfiguration(const std::string& text, const std::string& name,
                                   std::string* error);
    // CheckConfiguration, then what each port's peer needs from the machine it runs on (a pair
    // named back, addresses that resolve, a free listening address, a terminal link that can
    // be made). FALSE for a mistake in the configuration; each port's Problem says what would
    // keep its peer from starting. Empty text is the built-in configuration.
    static bool InspectConfiguration(const std::string& text, const std::string& name,
                                     std::vector<SystemPort>* ports, std::string* error);

    // Boots the machine, loads the driver, starts the ports and attaches their peers.
    // NULL and a one-line message on failure (nothing is left running).
    static std::unique_ptr<System> Boot(const SystemOptions& options, std::string* error);

    ~System();
    System(const System&) = delete;
    System& operator=(const System&) = delete;

    // Detaches the peers, removes the ports, unloads the driver and stops the machine.
    // Returns what was left behind (verifier reports, pool still allocated, handles still
    // open), empty when the system ended clean. Later calls return an empty string.
    std::string Shutdown();

    const std::vector<SystemPort>& Ports() const;
    // One line per peer, with its counters.
    std::vector<std::string> PeerStatus() const;
    std::vector<PeerStats> PeerCounters() const;
    // The peer of one port: its description with its state, and its counters. FALSE when the
    // port has none attached.
    bool PortPeer(const std::string& portName, std::string* description, PeerStats* stats) const;
    // The ports' send period: the driver's "ComPeriod" after any override (20 ms, the
    // driver's own, when the configuration has none).
    uint32_t ComPeriodMs() const;
    // Whether the machine runs the verifier (SystemOptions::Verify); FALSE after Shutdown.
    bool Verifies() const;
    // Milliseconds of machine time since boot.
    uint64_t NowMs() const;
    // Simulated mode: lets time pass with the application idle. Real time: sleeps.
    void AdvanceMs(uint64_t ms);

    struct Internal;
    Internal& Kernel() { return *internal_; }

  private:
    System();

    std::unique_ptr<Internal> internal_;
};

} // namespace qvx
