#include "host/system.h"
#include "platform/machine/machine.h"

#include "host/configuration.h"
#include "host/system_internal.h"

#include "trace/trace.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <map>
#include <optional>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

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

std::string Lower(std::string text)
{
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

// A status as a user can read it: its meaning and its number.
std::string StatusText(NTSTATUS status)
{
    static const std::map<NTSTATUS, const char*> meanings = {
        {STATUS_INSUFFICIENT_RESOURCES, "out of memory"},
        {STATUS_OBJECT_NAME_COLLISION, "the name is already taken"},
        {STATUS_OBJECT_NAME_INVALID, "the name is not valid"},
        {STATUS_OBJECT_NAME_NOT_FOUND, "a name it needs does not exist"},
        {STATUS_INVALID_PARAMETER, "a value it was given is not valid"},
        {STATUS_ACCESS_DENIED, "access denied"},
        {STATUS_NO_SUCH_DEVICE, "no such device"},
        {STATUS_DEVICE_REMOVED, "the device is gone"},
        {STATUS_UNSUCCESSFUL, "it failed"},
        {STATUS_NOT_SUPPORTED, "not supported"},
        {STATUS_PLUGPLAY_QUERY_VETOED, "the removal was refused"},
    };
    char number[16];
    std::snprintf(number, sizeof(number), "0x%08X", static_cast<unsigned>(status));
    auto it = meanings.find(status);
    return std::string(it != meanings.end() ? it->second : "an error the tool cannot name") +
           " (NTSTATUS " + number + ")";
}

std::string Prefixed(const std::string& name, const std::string& message)
{
    return name.empty() ? message : name + ": " + message;
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
    const std::string shown = MessageText(path);
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat status;
    if (fd < 0 || fstat(fd, &status) != 0) {
        *error = shown +
                 ": cannot open the configuration file: " + std::generic_category().message(errno);
        if (fd >= 0) {
            close(fd);
        }
        return false;
    }
    if (S_ISDIR(status.st_mode)) {
        close(fd);
        *error = shown + ": a folder, not a configuration file";
        return false;
    }
    // Read one byte past the limit (a pipe has no size), so too large is told, not cut.
    text->clear();
    char buffer[65536];
    ssize_t got = 0;
    while (text->size() <= MAX_CONFIGURATION_BYTES &&
           (got = read(fd, buffer, sizeof(buffer))) != 0) {
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            *error = shown + ": cannot read the configuration file: " +
                     std::generic_category().message(errno);
            close(fd);
            return false;
        }
        text->append(buffer, static_cast<size_t>(got));
    }
    close(fd);
    if (text->size() > MAX_CONFIGURATION_BYTES) {
        *error =
            shown + ": larger than " + std::to_string(MAX_CONFIGURATION_BYTES) + " bytes; not read";
        return false;
    }
    return true;
}

bool System::CheckConfiguration(const std::string& text, const std::string& name,
                                std::string* error)
{
    std::string decoded;
    std::vector<ConfiguredPort> ports;
    return DecodeConfiguration(text, name, &decoded, error) &&
           ScanConfiguration(decoded, name, &ports, error);
}

bool System::InspectConfiguration(const std::string& text, const std::string& name,
                                  std::vector<SystemPort>* ports, std::string* error)
{
    std::string decoded;
    std::vector<ConfiguredPort> configured;
    if (!DecodeConfiguration(text.empty() ? std::string(DEFAULT_CONFIGURATION) : text, name,
                             &decoded, error) ||
        !ScanConfiguration(decoded, name, &configured, error)) {
        return false;
    }
    std::vector<PeerRequest> requests;
    for (const ConfiguredPort& port : configured) {
        SystemPort listed;
        listed.InstanceId = "Root\\PORTS\\" + port.Instance;
        listed.PortName = port.PortName;
        listed.Peer = port.Peer.empty() ? "none" : port.Peer;
        requests.push_back(PeerRequest{Utf8ToUtf16(listed.PortName), listed.Peer});
        ports->push_back(std::move(listed));
    }
    const std::vector<std::string> problems = CheckPeers(requests);
    for (size_t i = 0; i < problems.size(); ++i) {
        (*ports)[i].Problem = problems[i];
    }
    return true;
}

System::System() : internal_(std::make_unique<Internal>()) {}

std::unique_ptr<System> System::Boot(const SystemOptions& options, std::string* error)
{
    std::string text;
    std::vector<ConfiguredPort> configured;
    if (!DecodeConfiguration(options.Configuration.empty() ? std::string(DEFAULT_CONFIGURATION)
                                                           : options.Configuration,
                             options.ConfigurationName, &text, error) ||
        !ScanConfiguration(text, options.ConfigurationName, &configured, error)) {
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
    machineOptions.Verify = options.Verify;
    k.TheMachine = std::make_unique<Machine>(machineOptions);

    RegLoadResult loaded = k.TheMachine->Reg().LoadRegText(text);
    if (!loaded) {
        // The loader quotes what it could not read; a long line is cut, not echoed whole.
        constexpr size_t LONGEST_MESSAGE = 200;
        if (loaded.Error.size() > LONGEST_MESSAGE) {
            loaded.Error = loaded.Error.substr(0, LONGEST_MESSAGE - 40) + "... (" +
                           std::to_string(loaded.Error.size()) + " characters)";
        }
        const size_t colon = loaded.Error.find(": ");
        *error =
            loaded.Line > 0 && colon != std::string::npos
                ? AtLine(options.ConfigurationName, loaded.Line, loaded.Error.substr(colon + 2))
                : Prefixed(options.ConfigurationName, loaded.Error);
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
        *error = "the driver did not load: " + StatusText(status);
        (void)system->Shutdown();
        return nullptr;
    }
    if (options.KernelPeer) {
        k.KernelPeer = std::make_unique<KernelPeerHost>(*k.TheMachine);
        status = k.KernelPeer->Load();
        if (!NT_SUCCESS(status)) {
            *error = "quarvexpeer.sys did not load: " + StatusText(status);
            (void)system->Shutdown();
            return nullptr;
        }
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
            *error = AtLine(options.ConfigurationName, port.SectionLine,
                            port.PortName + " did not start: " + StatusText(status));
            (void)system->Shutdown();
            return nullptr;
        }
        started.DeviceName =
            Utf16ToUtf8(k.TheMachine->Io().DeviceName(k.Host->FunctionDevice(pdo)));
        requests.push_back(PeerRequest{Utf8ToUtf16(started.PortName), started.Peer});
        k.Ports.push_back(std::move(started));
        k.Pdos.push_back(pdo);
    }
    if (options.PeerNotice && options.TraceComponents == 0) {
        // With the trace on, its sink shows the same lines.
        SetPeerNotice(options.PeerNotice);
        k.NoticeSet = true;
    }
    if (options.AttachPeers && !options.KernelPeer && !CreatePeers(requests, &k.Peers, error)) {
        *error = Prefixed(options.ConfigurationName, *error);
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
    if (k.NoticeSet) {
        SetPeerNotice(nullptr);
        k.NoticeSet = false;
    }
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
    // The peer driver stops first, under ports that still run: its unload is checked apart.
    if (k.KernelPeer) {
        const NTSTATUS status = k.KernelPeer->Unload();
        if (!NT_SUCCESS(status)) {
            report += "quarvexpeer.sys did not unload: " + StatusText(status) + "\n";
        }
        k.KernelPeer.reset();
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

bool System::PortPeer(const std::string& portName, std::string* description, PeerStats* stats) const
{
    const std::u16string port = Utf8ToUtf16(portName);
    for (const auto& peer : internal_->Peers) {
        if (peer->Serves(port)) {
            *description = peer->Describe();
            *stats = peer->Stats();
            return true;
        }
    }
    return false;
}

std::vector<PeerStats> System::PeerCounters() const
{
    std::vector<PeerStats> counters;
    if (internal_->KernelPeer) {
        // One per port, from the peer driver's own list.
        std::vector<QvxPeerPortStatus> records;
        (void)internal_->KernelPeer->List(&records);
        for (const QvxPeerPortStatus& record : records) {
            PeerStats stats;
            stats.ToPort = record.ToPort;
            stats.FromPort = record.FromPort;
            stats.Dropped = record.Dropped;
            stats.LastBaudRate = record.LastBaud;
            counters.push_back(stats);
        }
        return counters;
    }
    for (const auto& peer : internal_->Peers) {
        counters.push_back(peer->Stats());
    }
    return counters;
}

bool System::Verifies() const
{
    return internal_->TheMachine != nullptr && internal_->TheMachine->Options().Verify;
}

uint32_t System::ComPeriodMs() const
{
    constexpr uint32_t DRIVER_DEFAULT_MS = 20;
    if (internal_->TheMachine == nullptr) {
        return DRIVER_DEFAULT_MS;
    }
    const std::optional<ULONG> period = internal_->TheMachine->Reg().GetDword(
        "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Quarvex", "ComPeriod");
    return period && *period != 0 ? static_cast<uint32_t>(*period) : DRIVER_DEFAULT_MS;
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
