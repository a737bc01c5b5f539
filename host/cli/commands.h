// The quarvex command's subcommands. Each returns the process's exit code: 0 success,
// 1 failure, 2 bad usage. No kernel or Win32 type appears here: the subcommands that run
// Windows programs live in files of their own.
//
// Every subcommand boots a system of its own in this process (System::Boot): a port's far side
// is reachable only through its peer. A client mode that reaches a running `quarvex run` would
// replace BootFromOptions and the far-side check for the port commands.
#pragma once

#include "host/service/service.h"
#include "host/system.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace qvx::service {
class Client;
}

namespace qvx::cli {

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;

// What every subcommand accepts.
struct CommonOptions
{
    std::string ConfigPath; // empty: the embedded default
    std::string ConfigText; // its text, read once (a pipe reads only once)
    uint32_t ComPeriodMs = 0;
    uint32_t TraceComponents = 0;
    uint32_t TraceLevel = 0;
    bool Quiet = false;      // no messages about the peers' connections
    bool KernelPeer = false; // quarvexpeer.sys as the far side (demo --kernel-peer)
    bool Verify = false;     // the machine runs the verifier (--verify)
    // --socket: the service run listens on, or the one the port commands use.
    std::string Socket;
};

// Line settings of term, send and recv.
struct LineOptions
{
    uint32_t Baud = 115200;
    uint8_t ByteSize = 8;
    char Parity = 'N'; // N, E, O, M, S
    uint8_t StopBits = 1;
    std::string Flow = "none"; // none, rtscts, xonxoff
};

// How term translates line ends.
struct TermMap
{
    std::string Enter = "\r";  // what Enter sends: CR, LF or CR LF
    bool ShowLfAsCrLf = false; // a received LF is shown as CR LF
    bool ShowCrAsCrLf = false; // a received CR is shown as CR LF
};

// Boots the system of the options (message on standard error on failure). A configuration
// text given here is the tool's own, built from the command line: messages then name no file.
std::unique_ptr<System> BootFromOptions(const CommonOptions& options, SystemMode mode,
                                        bool attachPeers = true,
                                        const std::string& configurationText = std::string());
// Prints the shutdown report; EXIT_OK when it is empty.
int FinishSystem(System& system, bool quiet = false);
// The ports of the options' configuration as InspectConfiguration sees them; FALSE after a
// message.
bool InspectFromOptions(const CommonOptions& options, std::vector<SystemPort>* ports);

// SIGINT, SIGTERM and SIGHUP ask the command to stop (and interrupt a blocking read);
// StopSignal says which came, 0 while none has.
void CatchStopSignals();
int StopSignal();
const char* SignalName(int signal);

// For term, send, recv and serve on `port`: a message when the command could not do what the
// user wants because nothing in this process is at the port's far side, else empty.
std::string FarSideProblem(const std::string& command, const SystemPort& port);

// `kernelPeer`: the pair runs through quarvexpeer.sys instead of the host's peer.
int RunDemo(const CommonOptions& options, bool kernelPeer = false);
int RunTerm(const CommonOptions& options, const std::string& port, const LineOptions& line,
            const TermMap& map);
int RunSend(const CommonOptions& options, const std::string& port, const std::string& file,
            const LineOptions& line, uint32_t timeoutSeconds);
int RunRecv(const CommonOptions& options, const std::string& port, const std::string& file,
            const LineOptions& line, uint32_t idleSeconds);

// serve COMn --rfc2217 [ADDR:]PORT [--allow LIST].
int RunServe(const CommonOptions& options, const std::vector<std::string>& positional,
             const std::map<std::string, std::string>& named);

// Where a port command's port lives: the running service of --socket or QUARVEX_SOCKET when
// one is given (the command says so), else a system booted for the command.
class PortHost
{
  public:
    // NULL after a message.
    static std::unique_ptr<PortHost> Open(const CommonOptions& options);
    ~PortHost();
    PortHost(const PortHost&) = delete;
    PortHost& operator=(const PortHost&) = delete;

    // The port's peer: its description with its state, and its counters.
    bool PortPeer(const std::string& portName, std::string* description, PeerStats* stats) const;
    // Shuts the own system down (its report, as FinishSystem) or hangs up on the service.
    int Finish(bool quiet = false);

  private:
    PortHost() = default;
    std::unique_ptr<System> system_;
    std::string socket_;
    mutable std::shared_ptr<service::Client> status_; // asked for the peers' counters
};

// The service a port command uses: --socket, else QUARVEX_SOCKET; empty for none.
std::string ClientSocket(const CommonOptions& options);

// run's service on `socketPath`, sharing `system`'s ports; NULL after a message.
std::unique_ptr<service::Service> StartService(const CommonOptions& options, System& system,
                                               const std::string& socketPath);
// status [--socket PATH]: each port of a running service (--socket, else QUARVEX_SOCKET,
// else the default socket); `list`: list's heading.
int RunStatus(const CommonOptions& options, bool list = false);

// A Win32 error code as a user can read it: its meaning and its number.
std::string Win32ErrorText(uint32_t error);

// Applies line settings and blocking timeouts to an open port (Win32 handle as an integer, so
// callers need no Win32 header); a message on failure.
bool ConfigurePort(uintptr_t handle, const LineOptions& line, std::string* error);

} // namespace qvx::cli
