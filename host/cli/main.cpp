// The quarvex command: the demo, serving a configuration, listing and checking its ports, a
// terminal and file transfers on a port, and one port bridged without a configuration.

#include "host/cli/commands.h"

#include "host/peers/peer_description.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace qvx::cli {

namespace {

const char MAIN_HELP[] =
    "usage: quarvex [OPTIONS] COMMAND [ARGS]\n"
    "\n"
    "Virtual COM ports: the Quarvex driver, loaded as Windows loads it, with its ports and\n"
    "their peers, reachable by Windows serial programs built against its Win32 layer.\n"
    "A quarvex process runs a driver of its own, unless it uses the service that quarvex run\n"
    "shares over a Unix socket (--socket PATH or QUARVEX_SOCKET). Processes also meet\n"
    "through a bridge (tcp-server in one, tcp-client in the other), Linux programs through a\n"
    "pseudo-terminal (pty).\n"
    "\n"
    "commands:\n"
    "  demo                         the whole system at work on COM5 and COM6 (checks itself)\n"
    "  run [CONFIG]                 serve the ports of a configuration until interrupted\n"
    "  status                       the ports of a running service, who has them open\n"
    "  list [CONFIG]                the ports of a configuration, their devices and peers\n"
    "  check [CONFIG]               exit 0 only if run would start the configuration\n"
    "  config --default             print the built-in configuration\n"
    "  term COMn                    an interactive terminal on a port\n"
    "  send COMn FILE               send a file through a port's bridge\n"
    "  recv COMn FILE               receive a file from a port's bridge\n"
    "  serve COMn --rfc2217 [ADDR:]PORT   a port's application side over RFC 2217\n"
    "  bridge COMn (--pty PATH | --tcp HOST:PORT | --listen [ADDR:]PORT | --rfc2217 HOST:PORT)\n"
    "                               one port and its far side, without a configuration\n"
    "\n"
    "options (every command):\n"
    "  --config FILE                a .reg configuration (default: the built-in one)\n"
    "  --com-period MS              the send period of every port, 1..1000 ms\n"
    "  --trace COMPONENTS:LEVEL     the driver's trace to standard error, for example\n"
    "                               pnp,open:3 or all:4 (pnp power open wmi unload io init\n"
    "                               general all; levels 1..5)\n"
    "  --quiet                      no messages about the bridges' connections\n"
    "  --verify                     run the driver under the verifier, as the tests do (its\n"
    "                               lock-order, IRQL and request checks; slower)\n"
    "  --socket PATH                run: the socket it serves; status, list, term, send, recv,\n"
    "                               serve: the running service they use (also QUARVEX_SOCKET)\n"
    "  -h, --help                   this text; COMMAND --help for a command's own\n"
    "\n"
    "Port names are COM1 to COM4096, in any case, in configurations and on the command line.\n"
    "A configuration is a .reg file (UTF-8, or UTF-16 LE as the registry editor saves it) of\n"
    "at most 1 MiB and 256 ports.\n"
    "\n"
    "exit codes: 0 success, 1 failure, 2 bad usage\n";

const std::map<std::string, std::string> COMMAND_HELP = {
    {"demo", "usage: quarvex demo [OPTIONS] [--kernel-peer]\n\n"
             "Boots the driver with COM5 and COM6 as a null-modem pair and runs a Windows-style\n"
             "program on each end: 115200 8N1 with Xon/Xoff, a WaitCommEvent loop, data each way\n"
             "checked byte for byte (1 MiB, less at a longer --com-period so that it ends within\n"
             "a minute), a reader that pauses until its Xoff holds the other end's writer, a rate\n"
             "change seen by the peer, a purge, a close and reopen. Prints a transcript with\n"
             "progress, the throughput and the verifier's and pool's report; exits 0 only if\n"
             "every check held. --kernel-peer runs the pair through quarvexpeer.sys, started\n"
             "from its entry beside the driver, instead of the host's peer.\n"},
    {"run",
     "usage: quarvex run [OPTIONS] [CONFIG] [--socket PATH] [--status-every SECONDS]\n\n"
     "Starts the ports of CONFIG (or --config, or the built-in configuration) with their\n"
     "peers and serves them until interrupted (Ctrl-C, SIGTERM or SIGHUP). Prints one\n"
     "status line per port on SIGUSR1, or every SECONDS with --status-every; the bridges'\n"
     "connections on standard error unless --quiet.\n"
     "Other programs use the ports through a Unix socket: PATH, by default\n"
     "$XDG_RUNTIME_DIR/quarvex.sock (as root /run/quarvex/quarvex.sock); its folder is made\n"
     "0700 when missing, the socket 0660 (grant a group access to the folder to share it).\n"
     "A second run on a socket in use refuses to start; a stale socket is replaced.\n"
     "Programs built on the Win32 layer use it with QUARVEX_SOCKET=PATH.\n"},
    {"status", "usage: quarvex status [--socket PATH]\n\n"
               "Asks the running service (--socket, else QUARVEX_SOCKET, else the default\n"
               "socket) for each of its ports: open or not and by which process, its peer and\n"
               "the bytes each way, and while open the driver's counters and errors.\n"},
    {"list", "usage: quarvex list [OPTIONS] [CONFIG]\n\n"
             "Lists each port of a configuration: name, device, peer and state (\"starts\", or\n"
             "what would keep its peer from starting). Exits 1 when any port would not start.\n"},
    {"check", "usage: quarvex check [OPTIONS] [CONFIG]\n\n"
              "Runs every check run would (the file, its value names and ports, each pair named\n"
              "back, each bridge's address, listening address and link) without starting the\n"
              "peers. Exits 0 only if run would start; else names each problem.\n"},
    {"config", "usage: quarvex config --default\n\n"
               "Prints the built-in configuration, a starting point for your own.\n"},
    {"term", "usage: quarvex term [OPTIONS] COMn [LINE OPTIONS] [--map LIST]\n\n"
             "Connects the terminal to a port. On a terminal, keys go out as typed (Enter sends\n"
             "CR, Ctrl-C goes to the line); Ctrl-A Ctrl-X leaves, Ctrl-A Ctrl-B sends a break,\n"
             "Ctrl-A Ctrl-A sends Ctrl-A. On a pipe, end of input or Ctrl-C leaves.\n"
             "--map LIST: enter=cr|lf|crlf (what Enter sends), lf=crlf, cr=crlf (show a\n"
             "received LF or CR as CR LF), comma-separated.\n"
             "line options: --baud N (115200), --data 5..8 (8), --parity n|e|o|m|s (n),\n"
             "--stop 1|2 (1), --flow none|rtscts|xonxoff (none)\n"
             "The port's far side must be a bridge or loopback.\n"},
    {"send",
     "usage: quarvex send [OPTIONS] COMn FILE [--timeout SECONDS] [LINE OPTIONS]\n\n"
     "Writes FILE to the port and waits until its bridge has handed every byte to the\n"
     "far side, with a progress bar on a terminal (plain lines otherwise). Gives up when\n"
     "nothing moves for SECONDS (default 10) and exits 1 naming the bytes dropped or still\n"
     "waiting and why. Line options as for term. The port's far side must be a bridge.\n"},
    {"recv", "usage: quarvex recv [OPTIONS] COMn FILE [--idle SECONDS] [LINE OPTIONS]\n\n"
             "Writes what the port receives to FILE until nothing has come for SECONDS\n"
             "(default 3) after the first byte. Interrupted, or with bytes lost on the port, it\n"
             "exits 1. Line options as for term. The port's far side must be a bridge.\n"},
    {"serve",
     "usage: quarvex serve [OPTIONS] COMn --rfc2217 [ADDR:]PORT [--allow LIST]\n\n"
     "Serves the port's application side to one RFC 2217 client at a time (line settings,\n"
     "control lines, break, purges, modem and line state notifications, data) until\n"
     "interrupted. Listens on 127.0.0.1 unless ADDR is given (0.0.0.0 or [::] for every\n"
     "interface). --allow ADDRESS/PREFIX[,...] refuses other clients; a second client is\n"
     "refused while one is served.\n"},
    {"bridge",
     "usage: quarvex bridge [OPTIONS] COMn (--pty PATH | --tcp HOST:PORT |\n"
     "                      --listen [ADDR:]PORT [--allow LIST] | --rfc2217 HOST:PORT)\n\n"
     "Starts one port whose far side is a Linux pseudo-terminal linked at PATH (a bare name\n"
     "puts the link in $XDG_RUNTIME_DIR/quarvex, else a private /tmp/quarvex-<uid>), a TCP\n"
     "connection (client, or a one-at-a-time server on 127.0.0.1 unless ADDR is given) or a\n"
     "network serial server, and serves it until interrupted.\n"},
};

std::atomic<bool> g_status{false};
std::atomic<int> g_stopSignal{0};

void OnStop(int signal)
{
    g_stopSignal = signal;
}

void OnStatus(int)
{
    g_status = true;
}

int Usage(const std::string& message)
{
    std::fprintf(stderr, "quarvex: %s (quarvex --help for usage)\n", message.c_str());
    return EXIT_USAGE;
}

bool ParseNumber(const std::string& text, uint32_t low, uint32_t high, uint32_t* value)
{
    if (text.empty() || text.size() > 10 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const unsigned long long number = std::stoull(text);
    if (number < low || number > high) {
        return false;
    }
    *value = static_cast<uint32_t>(number);
    return true;
}

bool ParseTrace(const std::string& text, CommonOptions* options)
{
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos ||
        !ParseNumber(text.substr(colon + 1), 1, 5, &options->TraceLevel)) {
        return false;
    }
    uint32_t components = 0;
    size_t start = 0;
    while (start < colon) {
        const size_t comma = std::min(text.find(',', start), colon);
        const uint32_t component = TraceComponentByName(text.substr(start, comma - start));
        if (component == 0) {
            return false;
        }
        components |= component;
        start = comma + 1;
    }
    options->TraceComponents = components;
    return components != 0;
}

bool ParseMap(const std::string& text, TermMap* map)
{
    size_t start = 0;
    while (start <= text.size()) {
        const size_t comma = std::min(text.find(',', start), text.size());
        const std::string item = text.substr(start, comma - start);
        start = comma + 1;
        if (item == "enter=cr") {
            map->Enter = "\r";
        } else if (item == "enter=lf") {
            map->Enter = "\n";
        } else if (item == "enter=crlf") {
            map->Enter = "\r\n";
        } else if (item == "lf=crlf") {
            map->ShowLfAsCrLf = true;
        } else if (item == "cr=crlf") {
            map->ShowCrAsCrLf = true;
        } else {
            return false;
        }
    }
    return true;
}

// Arguments after the command: common and line options taken out, the rest in order.
struct Arguments
{
    CommonOptions Common;
    LineOptions Line;
    std::map<std::string, std::string> Named; // --status-every, --idle, --pty ...
    std::set<std::string> Flags;              // --default
    std::vector<std::string> Positional;
    bool Help = false;
};

// The options of one command beyond the common ones.
struct CommandOptions
{
    std::vector<std::string> Named;
    std::vector<std::string> Flags;
};

// "" when parsed; else the usage message.
std::string Parse(const std::vector<std::string>& words, const CommandOptions& own,
                  Arguments* arguments)
{
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= words.size()) {
                return false;
            }
            *out = words[++i];
            return true;
        };
        auto listed = [&word](const std::vector<std::string>& names) {
            for (const std::string& name : names) {
                if (name == word) {
                    return true;
                }
            }
            return false;
        };
        std::string text;
        if (word == "-h" || word == "--help") {
            arguments->Help = true;
        } else if (word == "--quiet") {
            arguments->Common.Quiet = true;
        } else if (word == "--verify") {
            arguments->Common.Verify = true;
        } else if (word == "--config") {
            if (!value(&arguments->Common.ConfigPath)) {
                return "--config needs a file";
            }
        } else if (word == "--socket") {
            if (!value(&arguments->Common.Socket) || arguments->Common.Socket.empty()) {
                return "--socket needs a path";
            }
        } else if (word == "--com-period") {
            if (!value(&text) || !ParseNumber(text, 1, 1000, &arguments->Common.ComPeriodMs)) {
                return "--com-period needs milliseconds from 1 to 1000";
            }
        } else if (word == "--trace") {
            if (!value(&text) || !ParseTrace(text, &arguments->Common)) {
                return "--trace needs COMPONENTS:LEVEL, for example pnp,open:3";
            }
        } else if (word == "--baud") {
            if (!value(&text) || !ParseNumber(text, 1, 4000000, &arguments->Line.Baud)) {
                return "--baud needs a rate from 1 to 4000000";
            }
        } else if (word == "--data") {
            uint32_t bits = 0;
            if (!value(&text) || !ParseNumber(text, 5, 8, &bits)) {
                return "--data needs 5, 6, 7 or 8";
            }
            arguments->Line.ByteSize = static_cast<uint8_t>(bits);
        } else if (word == "--parity") {
            if (!value(&text) || text.size() != 1 ||
                std::string("neomsNEOMS").find(text[0]) == std::string::npos) {
                return "--parity needs n, e, o, m or s";
            }
            arguments->Line.Parity = static_cast<char>(std::toupper(text[0]));
        } else if (word == "--stop") {
            uint32_t bits = 0;
            if (!value(&text) || !ParseNumber(text, 1, 2, &bits)) {
                return "--stop needs 1 or 2";
            }
            arguments->Line.StopBits = static_cast<uint8_t>(bits);
        } else if (word == "--flow") {
            if (!value(&text) || (text != "none" && text != "rtscts" && text != "xonxoff")) {
                return "--flow needs none, rtscts or xonxoff";
            }
            arguments->Line.Flow = text;
        } else if (listed(own.Flags)) {
            arguments->Flags.insert(word);
        } else if (word.size() > 2 && word.compare(0, 2, "--") == 0) {
            if (!listed(own.Named)) {
                return "unknown option " + MessageText(word);
            }
            if (!value(&text)) {
                return word + " needs a value";
            }
            arguments->Named[word] = text;
        } else {
            arguments->Positional.push_back(word);
        }
    }
    return std::string();
}

std::string Upper(std::string text)
{
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string BadPortName(const std::string& name)
{
    return "bad port name " + MessageText(name) + " (" + PORT_NAME_RULE + ")";
}

void PrintStatus(System& system)
{
    for (const std::string& line : system.PeerStatus()) {
        std::printf("status: %s\n", line.c_str());
    }
    std::fflush(stdout);
}

// Serves until a stop signal; status lines on SIGUSR1 or every `statusSeconds`. `stopping`
// runs before the system shuts down.
int Serve(System& system, uint32_t statusSeconds, const std::function<void()>& stopping = {})
{
    std::signal(SIGUSR1, OnStatus);
    auto next = std::chrono::steady_clock::now() + std::chrono::seconds(statusSeconds);
    while (StopSignal() == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (g_status.exchange(false) ||
            (statusSeconds != 0 && std::chrono::steady_clock::now() >= next)) {
            PrintStatus(system);
            next = std::chrono::steady_clock::now() + std::chrono::seconds(statusSeconds);
        }
    }
    std::printf("quarvex: stopping (%s)\n", SignalName(StopSignal()));
    if (stopping) {
        stopping();
    }
    return FinishSystem(system);
}

int RunCommand(const Arguments& arguments)
{
    uint32_t statusSeconds = 0;
    auto it = arguments.Named.find("--status-every");
    if (it != arguments.Named.end() && !ParseNumber(it->second, 1, 86400, &statusSeconds)) {
        return Usage("--status-every needs seconds from 1 to 86400");
    }
    const std::string socketPath =
        arguments.Common.Socket.empty() ? service::DefaultSocketPath() : arguments.Common.Socket;
    std::unique_ptr<System> system = BootFromOptions(arguments.Common, SystemMode::RealTime);
    if (system == nullptr) {
        return EXIT_FAILED;
    }
    std::unique_ptr<service::Service> service;
    if (!socketPath.empty()) {
        service = StartService(arguments.Common, *system, socketPath);
        if (service == nullptr) {
            FinishSystem(*system, true);
            return EXIT_FAILED;
        }
    }
    for (const SystemPort& port : system->Ports()) {
        std::printf("%-8s %-26s peer %s\n", port.PortName.c_str(), port.DeviceName.c_str(),
                    port.Peer.c_str());
    }
    if (service != nullptr) {
        std::printf("quarvex: other programs reach the ports through %s "
                    "(QUARVEX_SOCKET=%s)\n",
                    socketPath.c_str(), socketPath.c_str());
    } else {
        std::printf("quarvex: no socket for other programs (XDG_RUNTIME_DIR is unset; "
                    "--socket PATH gives one)\n");
    }
    std::printf("quarvex: serving %zu port(s); Ctrl-C stops, SIGUSR1 prints their status\n",
                system->Ports().size());
    std::fflush(stdout);
    return Serve(*system, statusSeconds, [&service] {
        if (service != nullptr) {
            service->Stop();
        }
    });
}

// list and check: what InspectConfiguration finds, and the driver starting the ports (a
// mistake in the registry syntax shows there). `table`: print every port.
int InspectCommand(const Arguments& arguments, bool table)
{
    std::vector<SystemPort> ports;
    if (!InspectFromOptions(arguments.Common, &ports)) {
        return EXIT_FAILED;
    }
    std::unique_ptr<System> system =
        BootFromOptions(arguments.Common, SystemMode::Simulated, false);
    if (system == nullptr) {
        return EXIT_FAILED;
    }
    const std::vector<SystemPort> started = system->Ports();
    const int finished = FinishSystem(*system, true);
    size_t problems = 0;
    if (table) {
        std::printf("%-8s %-26s %-28s %s\n", "PORT", "DEVICE", "PEER", "STATE");
    }
    for (size_t i = 0; i < ports.size() && i < started.size(); ++i) {
        const std::string& problem = ports[i].Problem;
        problems += problem.empty() ? 0 : 1;
        if (table) {
            std::printf("%-8s %-26s %-28s %s\n", started[i].PortName.c_str(),
                        started[i].DeviceName.c_str(), ports[i].Peer.c_str(),
                        problem.empty() ? "starts" : ("would not start: " + problem).c_str());
        } else if (!problem.empty()) {
            std::fprintf(stderr, "quarvex: %s\n", problem.c_str());
        }
    }
    if (problems != 0 || finished != EXIT_OK) {
        if (table) {
            std::fprintf(stderr, "quarvex: %zu port(s) would not start\n", problems);
        }
        return EXIT_FAILED;
    }
    if (!table) {
        std::printf("%s: %zu port(s); run would start them\n",
                    arguments.Common.ConfigPath.empty() ? "the built-in configuration"
                                                        : arguments.Common.ConfigPath.c_str(),
                    ports.size());
    }
    return EXIT_OK;
}

int ConfigCommand(const Arguments& arguments)
{
    if (arguments.Flags.count("--default") == 0 || !arguments.Positional.empty()) {
        return Usage("config takes --default, as config --default > my.reg");
    }
    std::fputs(System::DefaultConfiguration(), stdout);
    return EXIT_OK;
}

int BridgeCommand(const Arguments& arguments)
{
    if (arguments.Positional.size() != 1) {
        return Usage("bridge needs one port, as bridge COM5 --pty COM5");
    }
    const std::string port = Upper(arguments.Positional[0]);
    if (!IsPortName(port)) {
        return Usage(BadPortName(arguments.Positional[0]));
    }
    static const std::map<std::string, std::string> kinds = {{"--pty", "pty:"},
                                                             {"--tcp", "tcp-client:"},
                                                             {"--listen", "tcp-server:"},
                                                             {"--rfc2217", "rfc2217:"}};
    std::string peer;
    std::string option;
    for (const auto& [name, kind] : kinds) {
        auto it = arguments.Named.find(name);
        if (it != arguments.Named.end()) {
            if (!peer.empty()) {
                return Usage("bridge takes one far side");
            }
            peer = kind + it->second;
            option = name + " " + it->second;
        }
    }
    if (peer.empty()) {
        return Usage("bridge needs --pty, --tcp, --listen or --rfc2217");
    }
    auto allow = arguments.Named.find("--allow");
    if (allow != arguments.Named.end()) {
        if (arguments.Named.count("--listen") == 0) {
            return Usage("--allow goes with --listen");
        }
        option += " --allow " + allow->second;
        for (size_t start = 0; start <= allow->second.size();) {
            const size_t comma = std::min(allow->second.find(',', start), allow->second.size());
            peer += ",allow=" + allow->second.substr(start, comma - start);
            start = comma + 1;
        }
    }
    std::string problem;
    if (!CheckPeerDescription(peer, &problem)) {
        return Usage(MessageText(option) + ": " + problem);
    }
    const std::string configuration =
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS\\0000\\Device "
        "Parameters]\n\"PortName\"=\"" +
        port + "\"\n\"Peer\"=\"" + peer + "\"\n";
    std::unique_ptr<System> system =
        BootFromOptions(arguments.Common, SystemMode::RealTime, true, configuration);
    if (system == nullptr) {
        return EXIT_FAILED;
    }
    std::string description = peer;
    PeerStats stats;
    (void)system->PortPeer(port, &description, &stats);
    std::printf("%s bridged: %s; Ctrl-C stops\n", port.c_str(), description.c_str());
    std::fflush(stdout);
    return Serve(*system, 0);
}

bool PortCheck(const std::string& command, const std::string& port, const CommonOptions& options);

int PortCommand(const std::string& command, const Arguments& arguments)
{
    const size_t wanted = command == "term" ? 1 : 2;
    if (arguments.Positional.size() != wanted) {
        return Usage(command +
                     (wanted == 1 ? " needs a port, as term COM5"
                                  : " needs a port and a file, as " + command + " COM5 data.bin"));
    }
    const std::string port = Upper(arguments.Positional[0]);
    if (!IsPortName(port)) {
        return Usage(BadPortName(arguments.Positional[0]));
    }
    uint32_t seconds = command == "send" ? 10 : 3;
    const char* const secondsOption = command == "send" ? "--timeout" : "--idle";
    auto it = arguments.Named.find(secondsOption);
    if (it != arguments.Named.end() && !ParseNumber(it->second, 1, 3600, &seconds)) {
        return Usage(std::string(secondsOption) + " needs seconds from 1 to 3600");
    }
    TermMap map;
    it = arguments.Named.find("--map");
    if (it != arguments.Named.end() && !ParseMap(it->second, &map)) {
        return Usage("--map needs enter=cr|lf|crlf, lf=crlf or cr=crlf, comma-separated");
    }
    if (command == "send" && access(arguments.Positional[1].c_str(), R_OK) != 0) {
        std::fprintf(stderr, "quarvex: cannot read %s\n",
                     MessageText(arguments.Positional[1]).c_str());
        return EXIT_FAILED;
    }
    if (!ClientSocket(arguments.Common).empty()) {
        // The service's ports and peers are its own: the driver answers for the port.
    } else if (!PortCheck(command, port, arguments.Common)) {
        return EXIT_FAILED;
    }
    if (command == "term") {
        return RunTerm(arguments.Common, port, arguments.Line, map);
    }
    if (command == "send") {
        return RunSend(arguments.Common, port, arguments.Positional[1], arguments.Line, seconds);
    }
    return RunRecv(arguments.Common, port, arguments.Positional[1], arguments.Line, seconds);
}

// The port in the configuration, with something at its far side for the command.
bool PortCheck(const std::string& command, const std::string& port, const CommonOptions& options)
{
    std::vector<SystemPort> ports;
    if (!InspectFromOptions(options, &ports)) {
        return false;
    }
    const SystemPort* found = nullptr;
    std::string names;
    for (const SystemPort& configured : ports) {
        found = Upper(configured.PortName) == port ? &configured : found;
        names += (names.empty() ? "" : ", ") + configured.PortName;
    }
    if (found == nullptr) {
        std::fprintf(stderr, "quarvex: unknown port %s (the configuration has %s)\n", port.c_str(),
                     names.empty() ? "none" : names.c_str());
        return false;
    }
    const std::string problem =
        found->Problem.empty() ? FarSideProblem(command, *found) : found->Problem;
    if (!problem.empty()) {
        std::fprintf(stderr, "quarvex: %s\n", problem.c_str());
        return false;
    }
    return true;
}

} // namespace

void CatchStopSignals()
{
    // No SA_RESTART: a blocking read returns, so the command notices at once.
    struct sigaction action = {};
    action.sa_handler = OnStop;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal, &action, nullptr);
    }
}

int StopSignal()
{
    return g_stopSignal;
}

const char* SignalName(int signal)
{
    switch (signal) {
    case SIGINT:
        return "interrupted";
    case SIGTERM:
        return "terminated";
    case SIGHUP:
        return "hung up";
    default:
        return "asked to";
    }
}

std::string FarSideProblem(const std::string& command, const SystemPort& port)
{
    PeerConfig config;
    std::string error;
    if (!ParsePeerDescription(port.Peer, &config, &error)) {
        return port.PortName + ": " + error;
    }
    const bool bridge = config.Kind != PeerKind::None && config.Kind != PeerKind::Loopback &&
                        config.Kind != PeerKind::Pair;
    const bool interactive = command == "term" || command == "serve";
    if (bridge || (interactive && config.Kind == PeerKind::Loopback)) {
        return std::string();
    }
    std::string why;
    if (config.Kind == PeerKind::Pair) {
        why = "its far side is " + config.PairPort + " (pair:" + config.PairPort +
              "), which nothing in this process uses: each quarvex process runs its own "
              "driver, so another quarvex process cannot reach " +
              config.PairPort;
    } else if (config.Kind == PeerKind::None) {
        why = "its peer is none: what it sends is gone and nothing arrives";
    } else {
        why = command == "send" ? "its peer is loopback: what send writes comes back to it, "
                                  "and send does not read"
                                : "its peer is loopback: only what it sends itself would arrive";
    }
    return command + " " + port.PortName + ": " + why + ". Give " + port.PortName +
           " a bridge instead: tcp-client:HOST:PORT in one quarvex and tcp-server:PORT in "
           "the other, or pty for a Linux program (examples/*.reg; quarvex config --default "
           "for a start)";
}

std::unique_ptr<System> BootFromOptions(const CommonOptions& options, SystemMode mode,
                                        bool attachPeers, const std::string& configurationText)
{
    SystemOptions systemOptions;
    systemOptions.Mode = mode;
    systemOptions.ComPeriodMs = options.ComPeriodMs;
    systemOptions.TraceComponents = options.TraceComponents;
    systemOptions.TraceLevel = options.TraceLevel;
    systemOptions.AttachPeers = attachPeers;
    systemOptions.KernelPeer = options.KernelPeer;
    systemOptions.Verify = options.Verify;
    if (!options.Quiet) {
        systemOptions.PeerNotice = [](const std::string& line) {
            std::fprintf(stderr, "quarvex: %s\n", line.c_str());
        };
    }
    std::string error;
    if (!configurationText.empty()) {
        systemOptions.Configuration = configurationText;
        systemOptions.ConfigurationName.clear();
    } else if (!options.ConfigPath.empty()) {
        systemOptions.Configuration = options.ConfigText;
        systemOptions.ConfigurationName = MessageText(options.ConfigPath);
    }
    std::unique_ptr<System> system = System::Boot(systemOptions, &error);
    if (system == nullptr) {
        std::fprintf(stderr, "quarvex: %s\n", error.c_str());
    }
    return system;
}

bool InspectFromOptions(const CommonOptions& options, std::vector<SystemPort>* ports)
{
    std::string error;
    const std::string name =
        options.ConfigPath.empty() ? "the built-in configuration" : MessageText(options.ConfigPath);
    if (!System::InspectConfiguration(options.ConfigText, name, ports, &error)) {
        std::fprintf(stderr, "quarvex: %s\n", error.c_str());
        return false;
    }
    return true;
}

int FinishSystem(System& system, bool quiet)
{
    const bool verified = system.Verifies();
    const std::string report = system.Shutdown();
    if (!report.empty()) {
        std::fprintf(stderr, "quarvex: the system did not end clean:\n%s", report.c_str());
        return EXIT_FAILED;
    }
    if (!quiet) {
        std::printf(verified ? "verifier: no rule fired; pool: nothing left allocated\n"
                             : "verifier: off (--verify turns it on); pool: nothing left "
                               "allocated\n");
    }
    return EXIT_OK;
}

} // namespace qvx::cli

int main(int argc, char** argv)
{
    using namespace qvx::cli;
    // A closed pipe or connection is an error to report, not a reason to die with links left.
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> words(argv + 1, argv + argc);
    // Options may come before the command.
    size_t commandIndex = 0;
    while (commandIndex < words.size() && words[commandIndex].compare(0, 1, "-") == 0) {
        const std::string& word = words[commandIndex];
        if (word == "-h" || word == "--help") {
            std::fputs(MAIN_HELP, stdout);
            return EXIT_OK;
        }
        commandIndex += (word == "--config" || word == "--com-period" || word == "--trace" ||
                         word == "--socket")
                            ? 2
                            : 1;
    }
    if (commandIndex >= words.size()) {
        if (words.empty()) {
            std::fputs(MAIN_HELP, stderr);
            return EXIT_USAGE;
        }
        return Usage("no command given");
    }
    const std::string command = words[commandIndex];
    auto help = COMMAND_HELP.find(command);
    if (help == COMMAND_HELP.end()) {
        return Usage("unknown command " + qvx::MessageText(command));
    }
    std::vector<std::string> rest(words.begin(), words.begin() + static_cast<long>(commandIndex));
    rest.insert(rest.end(), words.begin() + static_cast<long>(commandIndex) + 1, words.end());

    static const std::map<std::string, CommandOptions> commandOptions = {
        {"run", {{"--status-every"}, {}}},
        {"config", {{}, {"--default"}}},
        {"demo", {{}, {"--kernel-peer"}}},
        {"term", {{"--map"}, {}}},
        {"send", {{"--timeout"}, {}}},
        {"recv", {{"--idle"}, {}}},
        {"serve", {{"--rfc2217", "--allow"}, {}}},
        {"bridge", {{"--pty", "--tcp", "--listen", "--rfc2217", "--allow"}, {}}}};
    auto own = commandOptions.find(command);
    Arguments arguments;
    const std::string problem =
        Parse(rest, own == commandOptions.end() ? CommandOptions() : own->second, &arguments);
    if (arguments.Help) {
        std::fputs(help->second.c_str(), stdout);
        return EXIT_OK;
    }
    if (!problem.empty()) {
        return Usage(problem);
    }
    if ((command == "run" || command == "list" || command == "check") &&
        !arguments.Positional.empty()) {
        if (arguments.Positional.size() > 1 || !arguments.Common.ConfigPath.empty()) {
            return Usage(command + " takes one configuration");
        }
        arguments.Common.ConfigPath = arguments.Positional[0];
        arguments.Positional.clear();
    }
    if (!arguments.Common.ConfigPath.empty()) {
        std::string error;
        if (!qvx::System::ReadConfiguration(arguments.Common.ConfigPath,
                                            &arguments.Common.ConfigText, &error)) {
            std::fprintf(stderr, "quarvex: %s\n", error.c_str());
            return EXIT_FAILED;
        }
        if (arguments.Common.ConfigText.empty()) {
            // Empty would mean the built-in configuration to the system.
            std::fprintf(stderr, "quarvex: %s: the configuration is empty\n",
                         qvx::MessageText(arguments.Common.ConfigPath).c_str());
            return EXIT_FAILED;
        }
    }
    // The commands that serve or move data stop in order; the others end as any program does.
    static const std::set<std::string> stoppable = {"run",  "bridge", "serve",
                                                    "term", "send",   "recv"};
    if (stoppable.count(command) != 0) {
        CatchStopSignals();
    }
    using Handler = std::function<int(const Arguments&)>;
    static const std::map<std::string, Handler> handlers = {
        {"demo",
         [](const Arguments& a) {
             return a.Positional.empty() ? RunDemo(a.Common, a.Flags.count("--kernel-peer") != 0)
                                         : Usage("demo takes no arguments");
         }},
        {"run", RunCommand},
        {"status",
         [](const Arguments& a) {
             return a.Positional.empty() ? RunStatus(a.Common) : Usage("status takes no arguments");
         }},
        {"list",
         [](const Arguments& a) {
             return ClientSocket(a.Common).empty() ? InspectCommand(a, true)
                                                   : RunStatus(a.Common, true);
         }},
        {"check", [](const Arguments& a) { return InspectCommand(a, false); }},
        {"config", ConfigCommand},
        {"bridge", BridgeCommand},
        {"serve",
         [](const Arguments& a) {
             if (a.Positional.size() == 1 && !qvx::IsPortName(a.Positional[0])) {
                 return Usage(BadPortName(a.Positional[0]));
             }
             return RunServe(a.Common, a.Positional, a.Named);
         }},
        {"term", [](const Arguments& a) { return PortCommand("term", a); }},
        {"send", [](const Arguments& a) { return PortCommand("send", a); }},
        {"recv", [](const Arguments& a) { return PortCommand("recv", a); }}};
    return handlers.at(command)(arguments);
}
