// The quarvex command: the demo, serving a configuration, listing its ports, a terminal and
// file transfers on a port, and one port bridged without a configuration.

#include "host/cli/commands.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace qvx::cli {

namespace {

const char MAIN_HELP[] =
    "usage: quarvex [OPTIONS] COMMAND [ARGS]\n"
    "\n"
    "Virtual COM ports: the Quarvex driver, loaded as Windows loads it, with its ports and\n"
    "their peers, reachable by Windows serial programs built against its Win32 layer.\n"
    "\n"
    "commands:\n"
    "  demo                         the whole system at work on COM5 and COM6 (checks itself)\n"
    "  run [CONFIG]                 serve the ports of a configuration until interrupted\n"
    "  list [CONFIG]                the ports of a configuration, their devices and peers\n"
    "  term COMn                    an interactive terminal on a port\n"
    "  send COMn FILE               send a file through a port\n"
    "  recv COMn FILE               receive a file from a port\n"
    "  serve COMn --rfc2217 [ADDR:]PORT   a port's application side over RFC 2217\n"
    "  bridge COMn (--pty PATH | --tcp HOST:PORT | --listen PORT | --rfc2217 HOST:PORT)\n"
    "                               one port and its far side, without a configuration\n"
    "\n"
    "options (every command):\n"
    "  --config FILE                a .reg configuration (default: the built-in one)\n"
    "  --com-period MS              the send period of every port, 1..1000 ms\n"
    "  --trace COMPONENTS:LEVEL     the driver's trace to standard error, for example\n"
    "                               pnp,open:3 or all:4 (pnp power open wmi unload io init\n"
    "                               general all; levels 1..5)\n"
    "  -h, --help                   this text; COMMAND --help for a command's own\n"
    "\n"
    "exit codes: 0 success, 1 failure, 2 bad usage\n";

const std::map<std::string, std::string> COMMAND_HELP = {
    {"demo", "usage: quarvex demo [OPTIONS]\n\n"
             "Boots the driver with COM5 and COM6 as a null-modem pair and runs a Windows-style\n"
             "program on each end: 115200 8N1 with RTS/CTS, a WaitCommEvent loop, 1 MiB each\n"
             "way checked byte for byte, a rate change seen by the peer, a purge, a close and\n"
             "reopen. Prints a transcript, the throughput and the verifier's and pool's report;\n"
             "exits 0 only if every check held.\n"},
    {"run", "usage: quarvex run [OPTIONS] [CONFIG] [--status-every SECONDS]\n\n"
            "Starts the ports of CONFIG (or --config, or the built-in configuration) with their\n"
            "peers and serves them until interrupted (Ctrl-C or SIGTERM). Prints one status line\n"
            "per port on SIGUSR1, or every SECONDS with --status-every.\n"},
    {"list", "usage: quarvex list [OPTIONS] [CONFIG]\n\n"
             "Starts the ports of a configuration without their peers and lists each: name,\n"
             "device, peer and state.\n"},
    {"term", "usage: quarvex term [OPTIONS] COMn [LINE OPTIONS]\n\n"
             "Connects standard input and output to a port until end of input or Ctrl-C.\n"
             "line options: --baud N (115200), --data 5..8 (8), --parity n|e|o|m|s (n),\n"
             "--stop 1|2 (1), --flow none|rtscts|xonxoff (none)\n"},
    {"send", "usage: quarvex send [OPTIONS] COMn FILE [LINE OPTIONS]\n\n"
             "Writes FILE to the port, with a progress bar on a terminal (plain lines\n"
             "otherwise). Line options as for term.\n"},
    {"recv", "usage: quarvex recv [OPTIONS] COMn FILE [--idle SECONDS] [LINE OPTIONS]\n\n"
             "Writes what the port receives to FILE until nothing has come for SECONDS\n"
             "(default 3) after the first byte. Line options as for term.\n"},
    {"serve", "usage: quarvex serve [OPTIONS] COMn --rfc2217 [ADDR:]PORT\n\n"
              "Serves the port's application side to one RFC 2217 client at a time (line\n"
              "settings, control lines, break, purges, modem and line state notifications,\n"
              "data) until interrupted.\n"},
    {"bridge", "usage: quarvex bridge [OPTIONS] COMn (--pty PATH | --tcp HOST:PORT |\n"
               "                      --listen PORT | --rfc2217 HOST:PORT)\n\n"
               "Starts one port whose far side is a Linux pseudo-terminal reachable at PATH, a\n"
               "TCP connection (client or one-at-a-time server) or a network serial server, and\n"
               "serves it until interrupted.\n"},
};

std::atomic<bool> g_stop{false};
std::atomic<bool> g_status{false};

void OnStop(int)
{
    g_stop = true;
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

// Arguments after the command: common and line options taken out, the rest in order.
struct Arguments
{
    CommonOptions Common;
    LineOptions Line;
    std::map<std::string, std::string> Named; // --status-every, --idle, --pty ...
    std::vector<std::string> Positional;
    bool Help = false;
};

// "" when parsed; else the usage message.
std::string Parse(const std::vector<std::string>& words, const std::vector<std::string>& named,
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
        std::string text;
        if (word == "-h" || word == "--help") {
            arguments->Help = true;
        } else if (word == "--config") {
            if (!value(&arguments->Common.ConfigPath)) {
                return "--config needs a file";
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
        } else if (word.size() > 2 && word.compare(0, 2, "--") == 0) {
            bool known = false;
            for (const std::string& name : named) {
                known = known || name == word;
            }
            if (!known) {
                return "unknown option " + word;
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

// A COM-port name as the configuration may hold it.
bool PortNameLooksRight(const std::string& name)
{
    const std::string upper = Upper(name);
    return upper.size() > 3 && upper.compare(0, 3, "COM") == 0 &&
           upper.find_first_not_of("0123456789", 3) == std::string::npos;
}

// Whether the configuration of the options has the port; a message when it has not.
bool ConfigurationHasPort(const CommonOptions& options, const std::string& port)
{
    std::unique_ptr<System> system = BootFromOptions(options, SystemMode::Simulated, false);
    if (system == nullptr) {
        return false;
    }
    bool found = false;
    std::string names;
    for (const SystemPort& configured : system->Ports()) {
        found = found || Upper(configured.PortName) == Upper(port);
        names += (names.empty() ? "" : ", ") + configured.PortName;
    }
    (void)system->Shutdown();
    if (!found) {
        std::fprintf(stderr, "quarvex: unknown port %s (the configuration has %s)\n", port.c_str(),
                     names.empty() ? "none" : names.c_str());
    }
    return found;
}

void PrintStatus(System& system)
{
    for (const std::string& line : system.PeerStatus()) {
        std::printf("status: %s\n", line.c_str());
    }
    std::fflush(stdout);
}

// Serves until interrupted; status lines on SIGUSR1 or every `statusSeconds`.
int Serve(System& system, uint32_t statusSeconds)
{
    std::signal(SIGINT, OnStop);
    std::signal(SIGTERM, OnStop);
    std::signal(SIGUSR1, OnStatus);
    auto next = std::chrono::steady_clock::now() + std::chrono::seconds(statusSeconds);
    while (!g_stop) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (g_status.exchange(false) ||
            (statusSeconds != 0 && std::chrono::steady_clock::now() >= next)) {
            PrintStatus(system);
            next = std::chrono::steady_clock::now() + std::chrono::seconds(statusSeconds);
        }
    }
    std::printf("quarvex: stopping\n");
    return FinishSystem(system);
}

int RunCommand(const Arguments& arguments)
{
    std::unique_ptr<System> system = BootFromOptions(arguments.Common, SystemMode::RealTime);
    if (system == nullptr) {
        return EXIT_FAILED;
    }
    for (const SystemPort& port : system->Ports()) {
        std::printf("%-8s %-26s peer %s\n", port.PortName.c_str(), port.DeviceName.c_str(),
                    port.Peer.c_str());
    }
    std::printf("quarvex: serving %zu port(s); Ctrl-C stops, SIGUSR1 prints their status\n",
                system->Ports().size());
    std::fflush(stdout);
    uint32_t statusSeconds = 0;
    auto it = arguments.Named.find("--status-every");
    if (it != arguments.Named.end() && !ParseNumber(it->second, 1, 86400, &statusSeconds)) {
        (void)FinishSystem(*system, true);
        return Usage("--status-every needs seconds from 1 to 86400");
    }
    return Serve(*system, statusSeconds);
}

int ListCommand(const Arguments& arguments)
{
    std::unique_ptr<System> system =
        BootFromOptions(arguments.Common, SystemMode::Simulated, false);
    if (system == nullptr) {
        return EXIT_FAILED;
    }
    std::printf("%-8s %-26s %-28s %s\n", "PORT", "DEVICE", "PEER", "STATE");
    for (const SystemPort& port : system->Ports()) {
        std::printf("%-8s %-26s %-28s %s\n", port.PortName.c_str(), port.DeviceName.c_str(),
                    port.Peer.c_str(), "starts");
    }
    return FinishSystem(*system, true);
}

int BridgeCommand(const Arguments& arguments)
{
    if (arguments.Positional.size() != 1) {
        return Usage("bridge needs one port, as bridge COM5 --pty /tmp/quarvex/COM5");
    }
    const std::string port = Upper(arguments.Positional[0]);
    if (!PortNameLooksRight(port)) {
        return Usage("bad port name " + arguments.Positional[0] + " (COM1 to COM256)");
    }
    static const std::map<std::string, std::string> kinds = {{"--pty", "pty:"},
                                                             {"--tcp", "tcp-client:"},
                                                             {"--listen", "tcp-server:"},
                                                             {"--rfc2217", "rfc2217:"}};
    std::string peer;
    for (const auto& [option, kind] : kinds) {
        auto it = arguments.Named.find(option);
        if (it != arguments.Named.end()) {
            if (!peer.empty()) {
                return Usage("bridge takes one far side");
            }
            peer = kind + it->second;
        }
    }
    if (peer.empty()) {
        return Usage("bridge needs --pty, --tcp, --listen or --rfc2217");
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
    std::printf("%s bridged: %s; Ctrl-C stops\n", port.c_str(), peer.c_str());
    std::fflush(stdout);
    return Serve(*system, 0);
}

int PortCommand(const std::string& command, const Arguments& arguments)
{
    const size_t wanted = command == "term" ? 1 : 2;
    if (arguments.Positional.size() != wanted) {
        return Usage(command +
                     (wanted == 1 ? " needs a port, as term COM5"
                                  : " needs a port and a file, as " + command + " COM5 data.bin"));
    }
    const std::string port = Upper(arguments.Positional[0]);
    if (!PortNameLooksRight(port)) {
        return Usage("bad port name " + arguments.Positional[0] + " (COM1 to COM256)");
    }
    if (!ConfigurationHasPort(arguments.Common, port)) {
        return EXIT_FAILED;
    }
    if (command == "term") {
        return RunTerm(arguments.Common, port, arguments.Line);
    }
    if (command == "send") {
        return RunSend(arguments.Common, port, arguments.Positional[1], arguments.Line);
    }
    uint32_t idle = 3;
    auto it = arguments.Named.find("--idle");
    if (it != arguments.Named.end() && !ParseNumber(it->second, 1, 3600, &idle)) {
        return Usage("--idle needs seconds from 1 to 3600");
    }
    return RunRecv(arguments.Common, port, arguments.Positional[1], arguments.Line, idle);
}

} // namespace

std::unique_ptr<System> BootFromOptions(const CommonOptions& options, SystemMode mode,
                                        bool attachPeers, const std::string& configurationText)
{
    SystemOptions systemOptions;
    systemOptions.Mode = mode;
    systemOptions.ComPeriodMs = options.ComPeriodMs;
    systemOptions.TraceComponents = options.TraceComponents;
    systemOptions.TraceLevel = options.TraceLevel;
    systemOptions.AttachPeers = attachPeers;
    std::string error;
    if (!configurationText.empty()) {
        systemOptions.Configuration = configurationText;
        systemOptions.ConfigurationName = "command line";
    } else if (!options.ConfigPath.empty()) {
        if (!System::ReadConfiguration(options.ConfigPath, &systemOptions.Configuration, &error)) {
            std::fprintf(stderr, "quarvex: %s\n", error.c_str());
            return nullptr;
        }
        if (systemOptions.Configuration.empty()) {
            // Empty would mean the built-in configuration to the system.
            std::fprintf(stderr, "quarvex: %s: the configuration is empty\n",
                         options.ConfigPath.c_str());
            return nullptr;
        }
        systemOptions.ConfigurationName = options.ConfigPath;
    }
    std::unique_ptr<System> system = System::Boot(systemOptions, &error);
    if (system == nullptr) {
        std::fprintf(stderr, "quarvex: %s\n", error.c_str());
    }
    return system;
}

int FinishSystem(System& system, bool quiet)
{
    const std::string report = system.Shutdown();
    if (!report.empty()) {
        std::fprintf(stderr, "quarvex: the system did not end clean:\n%s", report.c_str());
        return EXIT_FAILED;
    }
    if (!quiet) {
        std::printf("verifier: no rule fired; pool: nothing left allocated\n");
    }
    return EXIT_OK;
}

} // namespace qvx::cli

int main(int argc, char** argv)
{
    using namespace qvx::cli;
    std::vector<std::string> words(argv + 1, argv + argc);
    // Options may come before the command.
    size_t commandIndex = 0;
    while (commandIndex < words.size() && words[commandIndex].compare(0, 1, "-") == 0) {
        const std::string& word = words[commandIndex];
        if (word == "-h" || word == "--help") {
            std::fputs(MAIN_HELP, stdout);
            return EXIT_OK;
        }
        commandIndex += (word == "--config" || word == "--com-period" || word == "--trace") ? 2 : 1;
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
        return Usage("unknown command " + command);
    }
    std::vector<std::string> rest(words.begin(), words.begin() + static_cast<long>(commandIndex));
    rest.insert(rest.end(), words.begin() + static_cast<long>(commandIndex) + 1, words.end());

    static const std::map<std::string, std::vector<std::string>> namedOptions = {
        {"run", {"--status-every"}},
        {"recv", {"--idle"}},
        {"serve", {"--rfc2217"}},
        {"bridge", {"--pty", "--tcp", "--listen", "--rfc2217"}}};
    auto named = namedOptions.find(command);
    Arguments arguments;
    const std::string problem = Parse(
        rest, named == namedOptions.end() ? std::vector<std::string>() : named->second, &arguments);
    if (arguments.Help) {
        std::fputs(help->second.c_str(), stdout);
        return EXIT_OK;
    }
    if (!problem.empty()) {
        return Usage(problem);
    }
    if ((command == "run" || command == "list") && !arguments.Positional.empty()) {
        if (arguments.Positional.size() > 1 || !arguments.Common.ConfigPath.empty()) {
            return Usage(command + " takes one configuration");
        }
        arguments.Common.ConfigPath = arguments.Positional[0];
        arguments.Positional.clear();
    }
    using Handler = std::function<int(const Arguments&)>;
    static const std::map<std::string, Handler> handlers = {
        {"demo",
         [](const Arguments& a) {
             return a.Positional.empty() ? RunDemo(a.Common) : Usage("demo takes no arguments");
         }},
        {"run", RunCommand},
        {"list", ListCommand},
        {"bridge", BridgeCommand},
        {"serve", [](const Arguments& a) { return RunServe(a.Common, a.Positional, a.Named); }},
        {"term", [](const Arguments& a) { return PortCommand("term", a); }},
        {"send", [](const Arguments& a) { return PortCommand("send", a); }},
        {"recv", [](const Arguments& a) { return PortCommand("recv", a); }}};
    return handlers.at(command)(arguments);
}
