// qvxbridge's command line: a console run, the service's installation and removal, and the
// service's own start by the service manager.
#include "host/qvxbridge/qvxbridge.h"

#include "host/qvxbridge/net.h"

#include <windows.h>
#include <winsvc.h>

#include <atomic>
#include <cstdio>

namespace qvx::bridge {

namespace {

const char* const USAGE =
    "usage: qvxbridge [--log=FILE] PORT=PEER...            bridge ports until Ctrl+C\n"
    "       qvxbridge --install [--log=FILE] PORT=PEER...  install as the service QvxBridge\n"
    "       qvxbridge --uninstall                          stop and remove the service\n"
    "PEER: tcp-client:<host>:<port>, tcp-server:[<address>:]<port> or rfc2217:<host>:<port>,\n"
    "with the options retry=<ms>, allow=<address>/<prefix>, buffer=<bytes>, xonxoff.\n"
    "The port's \"Peer\" value is bridge (or the same network description).\n";

struct Options
{
    std::vector<PortLink> Links;
    std::vector<std::string> Passed; // the arguments a service run is given again
    std::string LogPath;
};

// Messages to the caller's sink and, with --log, appended to a file.
class Messages
{
  public:
    Messages(const Bridge::Notice& out, const std::string& logPath) : out_(out)
    {
        if (!logPath.empty()) {
            log_ = std::fopen(logPath.c_str(), "a");
        }
    }
    ~Messages()
    {
        if (log_ != nullptr) {
            std::fclose(log_);
        }
    }
    Messages(const Messages&) = delete;
    Messages& operator=(const Messages&) = delete;
    bool LogFailed(const std::string& logPath) const { return !logPath.empty() && log_ == nullptr; }

    void operator()(const std::string& line) const
    {
        out_(line);
        if (log_ != nullptr) {
            std::fprintf(log_, "%s\n", line.c_str());
            std::fflush(log_);
        }
    }

  private:
    const Bridge::Notice& out_;
    FILE* log_ = nullptr;
};

bool ParseOptions(const std::vector<std::string>& arguments, size_t first, Options* options,
                  std::string* error)
{
    for (size_t i = first; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument.rfind("--log=", 0) == 0 && argument.size() > 6) {
            options->LogPath = argument.substr(6);
        } else {
            PortLink link;
            if (!ParsePortLink(argument, &link, error)) {
                return false;
            }
            for (const PortLink& other : options->Links) {
                if (other.Port == link.Port) {
                    *error = link.Port + " is given twice";
                    return false;
                }
            }
            options->Links.push_back(std::move(link));
        }
        if (argument.find_first_of(" \t\"") != std::string::npos) {
            *error = "\"" + argument + "\" has a space or a quote, which a service cannot be given";
            return false;
        }
        options->Passed.push_back(argument);
    }
    if (options->Links.empty()) {
        *error = "no port given";
        return false;
    }
    return true;
}

std::string Summary(const PortLink& link, const PortCounters& counters)
{
    return link.Port + ": " + std::to_string(counters.ToPort) + " bytes to the port, " +
           std::to_string(counters.FromPort) + " from it, " + std::to_string(counters.Dropped) +
           " dropped by the driver, " + std::to_string(counters.Undelivered) + " undelivered, " +
           std::to_string(counters.Connections) + " connections";
}

// Runs the bridge until it is stopped; 0, or 1 when it could not start.
int RunBridge(Bridge& bridge, const Options& options, const Messages& say)
{
    std::string error;
    if (!bridge.Start(&error)) {
        say("qvxbridge: " + error);
        return 1;
    }
    bridge.Run();
    const std::vector<PortCounters> counters = bridge.Counters();
    for (size_t i = 0; i < counters.size(); ++i) {
        say(Summary(options.Links[i], counters[i]));
    }
    return 0;
}

std::atomic<Bridge*> consoleBridge{nullptr};

// ---- Service mode ---------------------------------------------------------------------------

struct ServiceRun
{
    const Options* Settings = nullptr;
    const Messages* Say = nullptr;
    SERVICE_STATUS_HANDLE Status = nullptr;
    std::atomic<Bridge*> Running{nullptr};
    int Result = 0;
};

ServiceRun* serviceRun = nullptr; // the dispatcher's run; set before it starts

void Report(DWORD state, DWORD exitCode = NO_ERROR)
{
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    status.dwWin32ExitCode = exitCode;
    status.dwWaitHint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : 5000;
    SetServiceStatus(serviceRun->Status, &status);
}

DWORD WINAPI ServiceControl(DWORD control, DWORD, LPVOID, LPVOID)
{
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        Report(SERVICE_STOP_PENDING);
        if (Bridge* bridge = serviceRun->Running.load()) {
            bridge->Stop();
        }
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

VOID WINAPI ServiceMain(DWORD, LPSTR*)
{
    serviceRun->Status = RegisterServiceCtrlHandlerExA(SERVICE_NAME, ServiceControl, nullptr);
    if (serviceRun->Status == nullptr) {
        (*serviceRun->Say)("qvxbridge: cannot register the service's handler: error " +
                           std::to_string(GetLastError()));
        serviceRun->Result = 1;
        return;
    }
    Report(SERVICE_START_PENDING);
    const Messages& say = *serviceRun->Say;
    Bridge bridge(serviceRun->Settings->Links, [&say](const std::string& line) { say(line); });
    std::string error;
    if (!bridge.Start(&error)) {
        (*serviceRun->Say)("qvxbridge: " + error);
        serviceRun->Result = 1;
        Report(SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR);
        return;
    }
    serviceRun->Running = &bridge;
    Report(SERVICE_RUNNING);
    bridge.Run();
    serviceRun->Running = nullptr;
    const std::vector<PortCounters> counters = bridge.Counters();
    for (size_t i = 0; i < counters.size(); ++i) {
        (*serviceRun->Say)(Summary(serviceRun->Settings->Links[i], counters[i]));
    }
    Report(SERVICE_STOPPED);
}

int RunService(const Options& options, const Messages& say)
{
    ServiceRun run;
    run.Settings = &options;
    run.Say = &say;
    serviceRun = &run;
    char name[] = "QvxBridge";
    const SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    const BOOL ok = StartServiceCtrlDispatcherA(table);
    serviceRun = nullptr;
    if (!ok) {
        say(GetLastError() == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT
                ? "qvxbridge: --service is for the service manager; run without it in a console"
                : "qvxbridge: the service dispatcher failed: error " +
                      std::to_string(GetLastError()));
        return 1;
    }
    return run.Result;
}

// ---- Installation -------------------------------------------------------------------------

std::string ErrorOf(const char* what)
{
    const DWORD code = GetLastError();
    std::string why = "error " + std::to_string(code);
    if (code == ERROR_ACCESS_DENIED) {
        why = "access denied (run it as an administrator)";
    } else if (code == ERROR_SERVICE_EXISTS) {
        why = "it is installed already (qvxbridge --uninstall first)";
    } else if (code == ERROR_SERVICE_DOES_NOT_EXIST) {
        why = "it is not installed";
    }
    return std::string("qvxbridge: cannot ") + what + ": " + why;
}

int Install(const Options& options, const Messages& say)
{
    char path[1024];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof(path));
    if (length == 0 || length >= sizeof(path)) {
        say(ErrorOf("find this program's path"));
        return 1;
    }
    std::string command = "\"" + std::string(path, length) + "\" --service";
    for (const std::string& argument : options.Passed) {
        command += " " + argument;
    }
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    if (manager == nullptr) {
        say(ErrorOf("open the service manager"));
        return 1;
    }
    SC_HANDLE service =
        CreateServiceA(manager, SERVICE_NAME, "Quarvex network bridge", SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                       command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    if (service == nullptr) {
        say(ErrorOf("install the service QvxBridge"));
        CloseServiceHandle(manager);
        return 1;
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    say("installed the service QvxBridge (starts with Windows; now: net start QvxBridge)");
    return 0;
}

int Uninstall(const Messages& say)
{
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        say(ErrorOf("open the service manager"));
        return 1;
    }
    SC_HANDLE service =
        OpenServiceA(manager, SERVICE_NAME, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
    if (service == nullptr) {
        say(ErrorOf("remove the service QvxBridge"));
        CloseServiceHandle(manager);
        return 1;
    }
    SERVICE_STATUS status = {};
    if (ControlService(service, SERVICE_CONTROL_STOP, &status)) {
        say("stopping the service QvxBridge");
    }
    const BOOL deleted = DeleteService(service);
    if (!deleted) {
        say(ErrorOf("remove the service QvxBridge"));
    } else {
        say("removed the service QvxBridge");
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return deleted ? 0 : 1;
}

} // namespace

int BridgeMain(const std::vector<std::string>& arguments, const Bridge::Notice& out)
{
    const std::string mode = arguments.size() > 1 ? arguments[1] : std::string();
    if (arguments.size() < 2 || mode == "--help" || mode == "-h") {
        out(USAGE);
        return arguments.size() < 2 ? 2 : 0;
    }
    if (mode == "--uninstall") {
        const Messages say(out, std::string());
        if (arguments.size() != 2) {
            say("qvxbridge: --uninstall takes no ports");
            return 2;
        }
        return Uninstall(say);
    }
    const bool install = mode == "--install";
    const bool service = mode == "--service";
    Options options;
    std::string error;
    if (!ParseOptions(arguments, install || service ? 2 : 1, &options, &error)) {
        out("qvxbridge: " + error + "\n" + USAGE);
        return 2;
    }
    const Messages say(out, options.LogPath);
    if (say.LogFailed(options.LogPath)) {
        out("qvxbridge: cannot open the log " + options.LogPath);
        return 2;
    }
    if (install) {
        return Install(options, say);
    }
    if (!NetStartup(&error)) {
        say("qvxbridge: " + error);
        return 1;
    }
    int result = 0;
    if (service) {
        result = RunService(options, say);
    } else {
        Bridge bridge(options.Links, [&say](const std::string& line) { say(line); });
        consoleBridge = &bridge;
        result = RunBridge(bridge, options, say);
        consoleBridge = nullptr;
    }
    NetCleanup();
    return result;
}

void StopBridgeMain()
{
    if (Bridge* bridge = consoleBridge.load()) {
        bridge->Stop();
    }
}

} // namespace qvx::bridge
