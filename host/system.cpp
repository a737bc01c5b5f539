#include "host/system.h"
#include "platform/machine/machine.h"

#include "host/system_internal.h"

#include "trace/trace.h"

#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

namespace qvx {

namespace {

const char DEFAULT_CONFIGURATION[] =
    "Windows Registry Editor Version 5.00\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Quarvex]\n"
    "\"ComPeriod\"=dword:00000001\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS\\0000\\Device "
    "Parameters]\n"
    "\"PortName\"=\"COM5\"\n"
    "\"Peer\"=\"pair:COM6\"\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS\\0001\\Device "
    "Parameters]\n"
    "\"PortName\"=\"COM6\"\n"
    "\"Peer\"=\"pair:COM5\"\n";

const std::string PORTS_PREFIX =
    "hkey_local_machine\\system\\currentcontrolset\\enum\\root\\ports\\";
const std::string PARAMETERS_SUFFIX = "\\device parameters";

std::string Lower(std::string text)
{
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string Trim(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return std::string();
    }
    const size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// A port as the configuration describes it, with the lines to name in messages.
struct ConfiguredPort
{
    std::string Instance; // the key below Enum\Root\PORTS
    int SectionLine = 0;
    std::string PortName;
    std::string Peer;
    int PeerLine = 0;
};

// "Name"="text" with .reg escapes; FALSE when the line is not such a value.
bool StringValue(const std::string& line, std::string* name, std::string* text)
{
    if (line.size() < 2 || line[0] != '"') {
        return false;
    }
    const size_t close = line.find('"', 1);
    if (close == std::string::npos) {
        return false;
    }
    *name = line.substr(1, close - 1);
    const std::string rest = Trim(line.substr(close + 1));
    if (rest.size() < 3 || rest[0] != '=' || rest[1] != '"' || rest.back() != '"') {
        return false;
    }
    text->clear();
    for (size_t i = 2; i + 1 < rest.size(); ++i) {
        if (rest[i] == '\\' && i + 2 < rest.size()) {
            ++i;
        }
        text->push_back(rest[i]);
    }
    return true;
}

std::string At(const std::string& name, int line, const std::string& message)
{
    return name + ":" + std::to_string(line) + ": " + message;
}

// The ports of a configuration, in the order of their sections; checks what the registry
// loader cannot: one name per port, no name twice, a known peer.
bool ScanPorts(const std::string& text, const std::string& name, std::vector<ConfiguredPort>* ports,
               std::string* error)
{
    std::map<std::string, size_t> byInstance;
    std::istringstream input(text);
    std::string raw;
    int lineNumber = 0;
    ConfiguredPort* current = nullptr;
    while (std::getline(input, raw)) {
        ++lineNumber;
        const std::string line = Trim(raw);
        if (!line.empty() && line[0] == '[') {
            current = nullptr;
            const std::string key = Lower(line.substr(1, line.size() >= 2 ? line.size() - 2 : 0));
            if (key.compare(0, PORTS_PREFIX.size(), PORTS_PREFIX) != 0) {
                continue;
            }
            std::string instance = key.substr(PORTS_PREFIX.size());
            if (instance.size() <= PARAMETERS_SUFFIX.size() ||
                instance.compare(instance.size() - PARAMETERS_SUFFIX.size(),
                                 PARAMETERS_SUFFIX.size(), PARAMETERS_SUFFIX) != 0) {
                continue; // the instance key itself, or another subkey of it
            }
            instance.resize(instance.size() - PARAMETERS_SUFFIX.size());
            if (instance.find('\\') != std::string::npos) {
                *error = At(name, lineNumber,
                            "a port's key is Enum\\Root\\PORTS\\<instance>\\"
                            "Device Parameters");
                return false;
            }
            auto found = byInstance.find(instance);
            if (found == byInstance.end()) {
                byInstance[instance] = ports->size();
                ports->push_back(ConfiguredPort{instance, lineNumber, "", "", 0});
                current = &ports->back();
            } else {
                current = &(*ports)[found->second];
            }
            continue;
        }
        std::string valueName;
        std::string value;
        if (current == nullptr || !StringValue(line, &valueName, &value)) {
            continue;
        }
        if (Lower(valueName) == "portname") {
            current->PortName = value;
        } else if (Lower(valueName) == "peer") {
            std::string problem;
            if (!CheckPeerDescription(value, &problem)) {
                *error = At(name, lineNumber, problem);
                return false;
            }
            current->Peer = value;
            current->PeerLine = lineNumber;
        }
    }
    std::map<std::string, int> names;
    for (const ConfiguredPort& port : *ports) {
        if (port.PortName.empty()) {
            *error = At(name, port.SectionLine, "this port has no \"PortName\"");
            return false;
        }
        const auto [it, inserted] = names.emplace(Lower(port.PortName), port.SectionLine);
        if (!inserted) {
            *error = At(name, port.SectionLine,
                        "port name " + port.PortName + " is already used by the port at line " +
                            std::to_string(it->second));
            return false;
        }
    }
    return true;
}

std::string Hex(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
    return text;
}

} // namespace

uint32_t TraceComponentByName(const std::string& name)
{
    static const std::map<std::string, uint32_t> components = {
        {"general", TRACE_GENERAL}, {"pnp", TRACE_PNP},   {"power", TRACE_POWER},
        {"open", TRACE_OPEN_CLOSE}, {"wmi", TRACE_WMI},   {"unload", TRACE_UNLOAD},
        {"io", TRACE_SERIAL_IO},    {"init", TRACE_INIT}, {"all", 0xFFFFFFFFu}};
    auto it = components.find(Lower(name));
    return it == components.end() ? 0 : it->second;
}

const char* System::DefaultConfiguration()
{
    return DEFAULT_CONFIGURATION;
}

bool System::ReadConfiguration(const std::string& path, std::string* text, std::string* error)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        *error = path + ": cannot open the configuration file";
        return false;
    }
    std::ostringstream content;
    content << file.rdbuf();
    *text = content.str();
    return true;
}

bool System::CheckConfiguration(const std::string& text, const std::string& name,
                                std::string* error)
{
    std::vector<ConfiguredPort> ports;
    return ScanPorts(text, name, &ports, error);
}

System::System() : internal_(std::make_unique<Internal>()) {}

std::unique_ptr<System> System::Boot(const SystemOptions& options, std::string* error)
{
    const std::string text =
        options.Configuration.empty() ? std::string(DEFAULT_CONFIGURATION) : options.Configuration;
    std::vector<ConfiguredPort> configured;
    if (!ScanPorts(text, options.ConfigurationName, &configured, error)) {
        return nullptr;
    }
    if (Machine::TryCurrent() != nullptr) {
        *error = "a system is already running in this process";
        return nullptr;
    }

    std::unique_ptr<System> system(new System());
    Internal& k = system->Kernel();
    MachineOptions machineOptions;
    machineOptions.Mode =
        options.Mode == SystemMode::RealTime ? MachineMode::RealTime : MachineMode::Simulated;
    // Recorded, so that Shutdown can say what went wrong instead of the process aborting.
    machineOptions.AbortOnViolation = false;
    k.TheMachine = std::make_unique<Machine>(machineOptions);

    const RegLoadResult loaded = k.TheMachine->Reg().LoadRegText(text);
    if (!loaded) {
        const size_t colon = loaded.Error.find(": ");
        *error = loaded.Line > 0 && colon != std::string::npos
                     ? At(options.ConfigurationName, loaded.Line, loaded.Error.substr(colon + 2))
                     : options.ConfigurationName + ": " + loaded.Error;
        (void)system->Shutdown();
        return nullptr;
    }

    if (options.ComPeriodMs != 0) {
        (void)k.TheMachine->Reg().SetDword(
            "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Quarvex", "ComPeriod",
            options.ComPeriodMs);
    }
    // The driver formats only what passes its filter: off unless asked for.
    k.SavedTraceComponents = TraceComponents;
    k.SavedTraceLevel = TraceLevel;
    TraceComponents = options.TraceComponents;
    TraceLevel = options.TraceLevel;
    if (options.TraceComponents != 0) {
        Machine* machine = k.TheMachine.get();
        machine->SetTraceSink([machine](ULONG, ULONG level, const char* message) {
            std::fprintf(stderr, "%8lld ms  %lu  %s\n", static_cast<long long>(machine->NowMs()),
                         static_cast<unsigned long>(level), message);
        });
    }
    k.TraceSet = true;

    k.Host = std::make_unique<DriverHost>(*k.TheMachine);
    NTSTATUS status = k.Host->Load();
    if (!NT_SUCCESS(status)) {
        *error = "the driver did not load (status " + Hex(status) + ")";
        (void)system->Shutdown();
        return nullptr;
    }
    std::vector<PeerRequest> requests;
    for (const ConfiguredPort& port : configured) {
        SystemPort started;
        started.InstanceId = "Root\\PORTS\\" + port.Instance;
        started.PortName = port.PortName;
        started.Peer = port.Peer.empty() ? "none" : port.Peer;
        PDEVICE_OBJECT pdo = nullptr;
        status = k.Host->AddPortInstance(Utf8ToUtf16(started.InstanceId), {}, &pdo);
        if (!NT_SUCCESS(status)) {
            *error = At(options.ConfigurationName, port.SectionLine,
                        port.PortName + " did not start (status " + Hex(status) + ")");
            (void)system->Shutdown();
            return nullptr;
        }
        started.DeviceName =
            Utf16ToUtf8(k.TheMachine->Io().DeviceName(k.Host->FunctionDevice(pdo)));
        requests.push_back(PeerRequest{Utf8ToUtf16(started.PortName), started.Peer});
        k.Ports.push_back(std::move(started));
        k.Pdos.push_back(pdo);
    }
    if (options.AttachPeers && !CreatePeers(requests, &k.Peers, error)) {
        *error = options.ConfigurationName + ": " + *error;
        (void)system->Shutdown();
        return nullptr;
    }
    return system;
}

System::~System()
{
    (void)Shutdown();
}

std::string System::Shutdown()
{
    Internal& k = *internal_;
    if (k.Down) {
        return std::string();
    }
    k.Down = true;
    std::string report;
    k.Peers.clear();
    if (k.TheMachine == nullptr) {
        return report;
    }
    if (k.TheMachine->Mode() == MachineMode::RealTime) {
        k.TheMachine->Quiesce();
    }
    for (size_t i = 0; i < k.Pdos.size(); ++i) {
        const size_t handles = k.TheMachine->Io().OpenHandleCount(k.Pdos[i]);
        if (handles != 0) {
            report += k.Ports[i].PortName + ": " + std::to_string(handles) +
                      " handle(s) still open at shutdown\n";
        }
    }
    // Removes the ports and unloads the driver; a port with a handle open refuses its removal
    // and goes with the machine as it is.
    k.Host.reset();
    k.Pdos.clear();
    for (const Violation& violation : k.TheMachine->Violations()) {
        report += std::string(RuleName(violation.Rule)) + ": " + violation.Message + "\n";
    }
    report += k.TheMachine->PoolReport();
    k.TheMachine->ClearViolations();
    k.TheMachine.reset();
    if (k.TraceSet) {
        TraceComponents = k.SavedTraceComponents;
        TraceLevel = k.SavedTraceLevel;
    }
    return report;
}

const std::vector<SystemPort>& System::Ports() const
{
    return internal_->Ports;
}

std::vector<std::string> System::PeerStatus() const
{
    std::vector<std::string> lines;
    for (const auto& peer : internal_->Peers) {
        const PeerStats stats = peer->Stats();
        lines.push_back(peer->Describe() + ": " + std::to_string(stats.FromPort) +
                        " bytes from the port, " + std::to_string(stats.ToPort) + " to the port, " +
                        std::to_string(stats.Dropped) + " dropped");
    }
    return lines;
}

std::vector<PeerStats> System::PeerCounters() const
{
    std::vector<PeerStats> counters;
    for (const auto& peer : internal_->Peers) {
        counters.push_back(peer->Stats());
    }
    return counters;
}

uint64_t System::NowMs() const
{
    return internal_->TheMachine != nullptr ? static_cast<uint64_t>(internal_->TheMachine->NowMs())
                                            : 0;
}

void System::AdvanceMs(uint64_t ms)
{
    if (internal_->TheMachine != nullptr) {
        internal_->TheMachine->AdvanceMs(static_cast<LONGLONG>(ms));
    }
}

} // namespace qvx
