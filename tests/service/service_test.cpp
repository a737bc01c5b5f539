// The service shared by processes: programs in forked processes reach the ports of a system
// running in this one through its socket. Data between two processes, exclusive open across
// processes, a killed client's handles closed, the service stopping under its clients, and
// clients that break the protocol while others are served.
// ctest-labels: service

#include "host/service/client.h"
#include "host/service/service.h"
#include "host/system.h"
#include "host/win32/bridge.h"
#include "support/watchdog.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace qvx {
namespace {

constexpr uint32_t IOCTL_SERIAL_GET_BAUD_RATE_CODE = 0x1B0050;
constexpr size_t MIB = size_t{1} << 20;

// Byte `position` of the stream `from` sends (letters: no flow characters).
char StreamByte(int from, size_t position)
{
    const size_t mixed = (position * 2654435761u + static_cast<size_t>(from) * 40503u) >> 7;
    return static_cast<char>('A' + mixed % 26);
}

HANDLE OpenPort(const char* name, DWORD flags = 0)
{
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, flags, NULL);
}

class ServiceTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        char folder[] = "/tmp/qvx-service-test-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        folder_ = folder;
        SystemOptions options;
        options.Verify = true; // the verifier runs in every test
        // The built-in configuration: COM5 and COM6 as a pair, "ComPeriod" 1 ms.
        std::string error;
        system_ = System::Boot(options, &error);
        ASSERT_NE(system_, nullptr) << error;
        Start();
    }

    void Start(size_t sendQueueLimit = size_t{8} << 20, size_t maxClients = 256)
    {
        service::ServiceOptions options;
        options.SocketPath = Socket();
        options.SendQueueLimit = sendQueueLimit;
        options.MaxClients = maxClients;
        options.Notice = [this](const std::string& line) {
            std::lock_guard<std::mutex> guard(noticeLock_);
            notices_ += line + "\n";
        };
        std::string error;
        service_ = service::Service::Start(options, &error);
        ASSERT_NE(service_, nullptr) << error;
    }

    void TearDown() override
    {
        if (service_ != nullptr) {
            service_->Stop();
        }
        if (system_ != nullptr) {
            EXPECT_EQ(system_->Shutdown(), "");
        }
        rmdir(folder_.c_str());
    }

    std::string Socket() const { return folder_ + "/quarvex.sock"; }

    std::string Notices()
    {
        std::lock_guard<std::mutex> guard(noticeLock_);
        return notices_;
    }

    // A process of its own that plays `role` (see PlayRole) on the service; `ready` is a pipe
    // end it writes its state to. A fresh program, not a forked copy: a copy of a threaded
    // process may find a lock of its allocator held by a thread it does not have. It reads
    // `go` when its role waits for a start.
    pid_t Spawn(const std::string& role, int ready = -1, int go = -1)
    {
        std::vector<std::string> variables;
        for (char** variable = environ; *variable != nullptr; ++variable) {
            variables.emplace_back(*variable);
        }
        variables.push_back("QVX_SERVICE_ROLE=" + role);
        variables.push_back("QVX_SERVICE_SOCKET=" + Socket());
        variables.push_back("QVX_SERVICE_READY=" + std::to_string(ready));
        variables.push_back("QVX_SERVICE_GO=" + std::to_string(go));
        std::vector<char*> environment;
        for (std::string& variable : variables) {
            environment.push_back(variable.data());
        }
        environment.push_back(nullptr);
        char self[] = "/proc/self/exe";
        char filter[] = "--gtest_filter=ServiceChild.PlaysItsRole";
        char* arguments[] = {self, filter, nullptr};
        const pid_t pid = fork();
        if (pid == 0) {
            execve(self, arguments, environment.data());
            _exit(91);
        }
        return pid;
    }

    static int Reap(pid_t pid)
    {
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    // Until the service has let go of every client but `left`.
    void WaitForNoClients(size_t left = 0)
    {
        while (service_->ClientCount() != left) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    std::unique_ptr<System> system_;
    std::unique_ptr<service::Service> service_;

  private:
    std::string folder_;
    std::mutex noticeLock_;
    std::string notices_;
};

// Writes its stream of `bytes` and reads the partner's, checking each byte: 0 when all held.
int Exchange(const char* name, int self, int partner, size_t bytes, int ready, int go)
{
    HANDLE port = OpenPort(name);
    if (port == INVALID_HANDLE_VALUE) {
        return 10;
    }
    // A 64 KiB input buffer: half a second of the line, so a reader the host leaves waiting
    // loses nothing.
    SetupComm(port, 65536, 4096);
    // Reads return what has come, waiting a second at most for the first byte.
    COMMTIMEOUTS timeouts = {MAXDWORD, MAXDWORD, 1000, 0, 0};
    SetCommTimeouts(port, &timeouts);
    // Both ends open before either writes: a port that is not open drops what reaches it.
    char token = 'o';
    if (write(ready, &token, 1) != 1 || read(go, &token, 1) != 1) {
        return 14;
    }
    std::thread writer([&] {
        std::string chunk(4096, '\0');
        for (size_t at = 0; at < bytes; at += chunk.size()) {
            for (size_t i = 0; i < chunk.size(); ++i) {
                chunk[i] = StreamByte(self, at + i);
            }
            DWORD written = 0;
            if (!WriteFile(port, chunk.data(), static_cast<DWORD>(chunk.size()), &written, NULL) ||
                written != chunk.size()) {
                std::fprintf(stderr, "%s: wrote %lu of %zu at %zu: error %lu\n", name,
                             static_cast<unsigned long>(written), chunk.size(), at,
                             static_cast<unsigned long>(GetLastError()));
            }
        }
    });
    int result = 0;
    std::vector<char> buffer(8192);
    for (size_t at = 0; at < bytes && result == 0;) {
        DWORD read = 0;
        if (!ReadFile(port, buffer.data(), static_cast<DWORD>(buffer.size()), &read, NULL)) {
            result = 11;
        }
        for (DWORD i = 0; i < read && result == 0; ++i, ++at) {
            result = buffer[i] == StreamByte(partner, at) ? 0 : 12;
            if (result != 0) {
                std::fprintf(stderr, "%s: byte %zu of a read of %lu at %zu\n", name,
                             static_cast<size_t>(i), static_cast<unsigned long>(read), at);
            }
        }
    }
    if (result == 12) {
        DWORD errors = 0;
        COMSTAT status = {};
        ClearCommError(port, &errors, &status);
        std::fprintf(stderr, "%s: errors %#lx, in queue %lu\n", name,
                     static_cast<unsigned long>(errors),
                     static_cast<unsigned long>(status.cbInQue));
    }
    writer.join();
    CloseHandle(port);
    return result;
}

// What a client process does, by name; its exit code says whether all went as expected.
int PlayRole(const std::string& role, int ready, int go)
{
    if (role == "exchange COM5" || role == "exchange COM6") {
        const bool five = role == "exchange COM5";
        return Exchange(five ? "COM5" : "COM6", five ? 5 : 6, five ? 6 : 5, MIB, ready, go);
    }
    if (role == "refused COM5") {
        HANDLE port = OpenPort("\\\\.\\COM5");
        return port == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED ? 0 : 1;
    }
    if (role == "open COM5") {
        HANDLE port = OpenPort("COM5");
        return port != INVALID_HANDLE_VALUE && CloseHandle(port) ? 0 : 1;
    }
    char buffer[16];
    OVERLAPPED read = {};
    read.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (role == "hold COM5") {
        // A wait and a read pending, then killed.
        HANDLE port = OpenPort("COM5", FILE_FLAG_OVERLAPPED);
        SetCommMask(port, EV_RXCHAR);
        OVERLAPPED wait = {};
        wait.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
        DWORD mask = 0;
        const bool pending = !WaitCommEvent(port, &mask, &wait) &&
                             GetLastError() == ERROR_IO_PENDING &&
                             !ReadFile(port, buffer, sizeof(buffer), NULL, &read) &&
                             GetLastError() == ERROR_IO_PENDING;
        const char state = pending ? 'p' : 'x';
        (void)!write(ready, &state, 1);
        pause();
        return 0;
    }
    if (role == "outlive the service") {
        HANDLE port = OpenPort("COM6", FILE_FLAG_OVERLAPPED);
        DWORD count = 0;
        const char state = !ReadFile(port, buffer, sizeof(buffer), NULL, &read) &&
                                   GetLastError() == ERROR_IO_PENDING
                               ? 'p'
                               : 'x';
        (void)!write(ready, &state, 1);
        // The read ends aborted; once the client has seen the hang-up, its handle is invalid,
        // whichever it asks first.
        const auto ended = [] {
            const DWORD error = GetLastError();
            return error == ERROR_OPERATION_ABORTED || error == ERROR_INVALID_HANDLE;
        };
        if (GetOverlappedResult(port, &read, &count, TRUE) || !ended()) {
            return 1;
        }
        if (SetCommMask(port, EV_RXCHAR) || !ended()) {
            return 2;
        }
        return 0;
    }
    return 99;
}

// The client processes of the tests below: this program run again with a role to play.
TEST(ServiceChild, PlaysItsRole)
{
    const char* role = std::getenv("QVX_SERVICE_ROLE");
    if (role == nullptr) {
        GTEST_SKIP() << "a client process of the service tests";
    }
    std::string error;
    if (!ConnectToService(std::getenv("QVX_SERVICE_SOCKET"), &error)) {
        std::fprintf(stderr, "client: %s\n", error.c_str());
        _exit(90);
    }
    const int code = PlayRole(role, std::atoi(std::getenv("QVX_SERVICE_READY")),
                              std::atoi(std::getenv("QVX_SERVICE_GO")));
    win32::StopUsingService();
    _exit(code);
}

// Two processes, one on each end of a pair: a mebibyte each way arrives whole and in order.
TEST_F(ServiceTest, TwoProcessesExchangeAMebibyteEachWay)
{
    Watchdog watchdog("a mebibyte each way between two processes", std::chrono::seconds(240));
    int ready[2], go[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(go), 0);
    const pid_t five = Spawn("exchange COM5", ready[1], go[0]);
    const pid_t six = Spawn("exchange COM6", ready[1], go[0]);
    char tokens[2] = {};
    EXPECT_EQ(read(ready[0], &tokens[0], 1) + read(ready[0], &tokens[1], 1), 2);
    EXPECT_EQ(write(go[1], "gg", 2), 2);
    EXPECT_EQ(Reap(five), 0);
    EXPECT_EQ(Reap(six), 0);
    WaitForNoClients();
    for (const int end : {ready[0], ready[1], go[0], go[1]}) {
        close(end);
    }
}

// A port open in one process is refused to another, as on Windows; when the first is killed
// with a wait and a read pending, the service closes its handle and the port opens again.
TEST_F(ServiceTest, KilledClientFreesItsPortWhichAnotherProcessCouldNotOpen)
{
    Watchdog watchdog("a killed client's port");
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t holder = Spawn("hold COM5", ready[1]);
    char state = 0;
    ASSERT_EQ(read(ready[0], &state, 1), 1);
    EXPECT_EQ(state, 'p');
    const pid_t second = Spawn("refused COM5");
    EXPECT_EQ(Reap(second), 0);

    kill(holder, SIGKILL);
    EXPECT_EQ(Reap(holder), 128 + SIGKILL);
    WaitForNoClients();
    EXPECT_NE(Notices().find("1 handle(s) closed"), std::string::npos) << Notices();
    const pid_t third = Spawn("open COM5");
    EXPECT_EQ(Reap(third), 0);
    close(ready[0]);
    close(ready[1]);
}

// The service stops under a client with a read pending: the read ends aborted (or the handle is
// invalid by then), and nothing hangs.
TEST_F(ServiceTest, StopWithClientAttachedAbortsItsRequests)
{
    Watchdog watchdog("the service stopping under a client");
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t client = Spawn("outlive the service", ready[1]);
    char state = 0;
    ASSERT_EQ(read(ready[0], &state, 1), 1);
    EXPECT_EQ(state, 'p');
    service_->Stop();
    EXPECT_EQ(Reap(client), 0);
    close(ready[0]);
    close(ready[1]);
}

// A client speaking the protocol by hand.
class RawClient
{
  public:
    explicit RawClient(const std::string& path)
    {
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.data(), path.size());
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        EXPECT_EQ(connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
    }
    ~RawClient() { close(fd_); }

    void Send(const std::vector<uint8_t>& bytes)
    {
        (void)!send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
    void Send(service::Type type, uint32_t tag, const std::vector<uint8_t>& body)
    {
        Send(service::Frame(static_cast<uint16_t>(type), tag, body));
    }
    void Hello() { Send(service::Type::Hello, 1, service::Writer().U32(1).Take()); }
    // The next message; FALSE when the service hung up.
    bool Next(service::Message* message)
    {
        std::string why;
        for (;;) {
            if (deframer_.Next(message, &why) == service::Deframer::Result::Message) {
                return true;
            }
            uint8_t buffer[4096];
            const ssize_t count = recv(fd_, buffer, sizeof(buffer), 0);
            if (count <= 0) {
                return false;
            }
            deframer_.Feed(buffer, static_cast<size_t>(count));
        }
    }
    // Reads until the service hangs up; whether a FAILURE came first.
    bool DroppedWithFailure()
    {
        bool failure = false;
        service::Message message;
        while (Next(&message)) {
            failure = failure || message.Type == static_cast<uint16_t>(service::Type::Failure);
        }
        return failure;
    }
    uint32_t Open(const std::u16string& name)
    {
        Send(service::Type::Open, 2, service::Writer().U32(0).Name(name).Take());
        service::Message reply;
        uint32_t status = 0, handle = 0;
        while (Next(&reply) && reply.Tag != 2) {
        }
        service::Reader reader(reply.Body);
        EXPECT_TRUE(reader.U32(&status) && reader.U32(&handle));
        return handle;
    }
    // A control request's status.
    uint32_t Control(uint32_t handle, uint32_t id, uint32_t code, uint32_t outputLength)
    {
        service::ClientMessage request;
        request.What = service::Type::Request;
        request.Tag = id;
        request.Handle = handle;
        request.RequestKind = service::Kind::Control;
        request.Code = code;
        request.OutputLength = outputLength;
        Send(service::EncodeClient(request));
        service::Message reply;
        while (Next(&reply)) {
            if (reply.Tag == id &&
                reply.Type == (static_cast<uint16_t>(service::Type::Request) | service::REPLY)) {
                service::Reader reader(reply.Body);
                uint32_t status = 0;
                EXPECT_TRUE(reader.U32(&status));
                return status;
            }
        }
        return 0xFFFFFFFFu;
    }

  private:
    int fd_ = -1;
    service::Deframer deframer_;
};

// Truncated, oversized, forged and out-of-order messages drop their sender with a notice; a
// client that never reads its replies is dropped when they pile up; one past the limit of
// clients is refused. A well-behaved client keeps its port and its answers throughout, and
// another client's handle is never reachable.
TEST_F(ServiceTest, BadClientsAreDroppedWhileOthersAreServed)
{
    Watchdog watchdog("bad clients");
    service_->Stop();
    service_.reset();
    Start(64 * 1024, 2);
    RawClient good(Socket());
    good.Hello();
    const uint32_t handle = good.Open(u"\\\\.\\COM5");
    ASSERT_NE(handle, 0u);
    EXPECT_EQ(good.Control(handle, 100, IOCTL_SERIAL_GET_BAUD_RATE_CODE, 4), 0u);

    {
        WaitForNoClients(1);       // the one before has gone: the limit is two
        RawClient early(Socket()); // anything before HELLO
        early.Send(service::Type::Open, 1, service::Writer().U32(0).Name(u"COM5").Take());
        EXPECT_TRUE(early.DroppedWithFailure());
    }
    {
        WaitForNoClients(1);           // the one before has gone: the limit is two
        RawClient truncated(Socket()); // a REQUEST too short for its fields
        truncated.Hello();
        truncated.Send(service::Type::Request, 5, service::Writer().U32(handle).U8(3).Take());
        EXPECT_TRUE(truncated.DroppedWithFailure());
    }
    {
        WaitForNoClients(1);           // the one before has gone: the limit is two
        RawClient oversized(Socket()); // a length past the largest message
        std::vector<uint8_t> header = service::Frame(1, 0, {});
        header[0] = header[1] = header[2] = header[3] = 0xFF;
        oversized.Send(header);
        EXPECT_TRUE(oversized.DroppedWithFailure());
    }
    {
        WaitForNoClients(1);        // the one before has gone: the limit is two
        RawClient forger(Socket()); // the good client's handle, and an id reused while pending
        forger.Hello();
        EXPECT_EQ(forger.Control(handle, 7, IOCTL_SERIAL_GET_BAUD_RATE_CODE, 4), 0xC0000008u);
        forger.Send(service::Type::Close, 8, service::Writer().U32(handle).Take());
        service::Message reply;
        ASSERT_TRUE(forger.Next(&reply));
        service::Reader reader(reply.Body);
        uint32_t status = 0;
        EXPECT_TRUE(reader.U32(&status));
        EXPECT_EQ(status, 0xC0000008u);
    }
    {
        WaitForNoClients(1);      // the one before has gone: the limit is two
        RawClient deaf(Socket()); // asks and never reads
        deaf.Hello();
        const std::vector<uint8_t> query =
            service::Frame(static_cast<uint16_t>(service::Type::QueryDosDevices), 9, {});
        std::vector<uint8_t> many;
        for (int i = 0; i < 200; ++i) {
            many.insert(many.end(), query.begin(), query.end());
        }
        while (Notices().find("unread") == std::string::npos) {
            deaf.Send(many);
        }
        EXPECT_EQ(good.Control(handle, 101, IOCTL_SERIAL_GET_BAUD_RATE_CODE, 4), 0u);
    }
    EXPECT_EQ(good.Control(handle, 102, IOCTL_SERIAL_GET_BAUD_RATE_CODE, 4), 0u);
    {
        WaitForNoClients(1);
        RawClient second(Socket()); // within the limit of two
        RawClient third(Socket());  // past it
        EXPECT_TRUE(third.DroppedWithFailure());
        second.Hello();
        service::Message reply;
        EXPECT_TRUE(second.Next(&reply));
    }
    const std::string notices = Notices();
    EXPECT_NE(notices.find("dropped: it sent a message before HELLO"), std::string::npos)
        << notices;
    EXPECT_NE(notices.find("dropped: it sent a malformed message type 3"), std::string::npos)
        << notices;
    EXPECT_NE(notices.find("dropped: it sent a message of 4294967295 bytes"), std::string::npos)
        << notices;
    EXPECT_NE(notices.find("more replies unread than the service holds"), std::string::npos)
        << notices;
    EXPECT_NE(notices.find("refused: too many clients"), std::string::npos) << notices;
}

// A second service on a socket in use refuses to start; once its service is gone (the socket
// left behind, as by a killed one), a new one replaces it.
TEST_F(ServiceTest, SecondServiceRefusedAndStaleSocketReplaced)
{
    service::ServiceOptions options;
    options.SocketPath = Socket();
    std::string error;
    EXPECT_EQ(service::Service::Start(options, &error), nullptr);
    EXPECT_NE(error.find("another quarvex service is running on " + Socket()), std::string::npos)
        << error;

    // A bound socket nobody listens on any more.
    service_->Stop();
    service_.reset();
    const int stale = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, Socket().data(), Socket().size());
    ASSERT_EQ(bind(stale, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
    close(stale);
    Start();
    EXPECT_NE(Notices().find("replaced the stale socket"), std::string::npos) << Notices();
    std::string connectError;
    EXPECT_NE(service::Client::Connect(Socket(), &connectError), nullptr) << connectError;
}

} // namespace
} // namespace qvx
