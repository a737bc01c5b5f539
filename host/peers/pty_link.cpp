#include "host/peers/pty_link.h"

#include "host/peers/peer_factory.h"
#include "host/peers/peer_link.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qvx {

namespace {

std::string Errno(const std::string& what)
{
    return what + ": " + ErrorText(errno);
}

// A folder only this user (or root, for a service) can change.
bool PrivateFolder(const std::string& folder, std::string* error)
{
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        *error = Errno("cannot create " + MessageText(folder));
        return false;
    }
    struct stat status;
    if (lstat(folder.c_str(), &status) != 0) {
        *error = Errno("cannot use " + MessageText(folder));
        return false;
    }
    if (!S_ISDIR(status.st_mode) || status.st_uid != getuid() || (status.st_mode & 022) != 0) {
        *error = MessageText(folder) +
                 " is not a folder that only this user can change: remove it, or set "
                 "XDG_RUNTIME_DIR";
        return false;
    }
    return true;
}

std::string Parent(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

// The record's file name: a hash of the link's path (FNV-1a), stable across builds.
std::string RecordName(const std::string& path)
{
    uint64_t hash = 14695981039346656037ull;
    for (const char c : path) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    }
    char name[32];
    std::snprintf(name, sizeof(name), "%016llx", static_cast<unsigned long long>(hash));
    return name;
}

bool RecordPath(const std::string& path, std::string* record, std::string* error)
{
    std::string folder;
    if (!PtyLink::Folder(&folder, error) || !PrivateFolder(folder + "/.owners", error)) {
        return false;
    }
    *record = folder + "/.owners/" + RecordName(path);
    return true;
}

struct Record
{
    std::string Pid;
    std::string Path;
    std::string Target;
};

Record ReadRecord(int fd)
{
    char text[8192];
    const ssize_t length = pread(fd, text, sizeof(text) - 1, 0);
    Record record;
    std::string* fields[] = {&record.Pid, &record.Path, &record.Target};
    size_t field = 0;
    for (ssize_t i = 0; i < length && field < 3; ++i) {
        if (text[i] == '\n') {
            ++field;
        } else {
            fields[field]->push_back(text[i]);
        }
    }
    return record;
}

// Opens and locks the record of a link; -1 with a message when another live process holds
// it. `create`: make it when missing (else a missing record gives -1 and no message).
int LockRecord(const std::string& path, const std::string& record, bool create, std::string* error)
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        const int fd =
            open(record.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | (create ? O_CREAT : 0), 0600);
        if (fd < 0) {
            if (errno != ENOENT || create) {
                *error = Errno("cannot keep a record for " + MessageText(path));
            }
            return -1;
        }
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const std::string pid = ReadRecord(fd).Pid;
            close(fd);
            *error = MessageText(path) + " is in use by " +
                     (pid.empty() ? std::string("another quarvex process") : "process " + pid);
            return -1;
        }
        // The owner may have removed the record between our open and our lock: lock the file
        // that is there now.
        struct stat opened;
        struct stat current;
        if (fstat(fd, &opened) == 0 && stat(record.c_str(), &current) == 0 &&
            opened.st_ino == current.st_ino && opened.st_dev == current.st_dev) {
            return fd;
        }
        close(fd);
    }
    *error = "cannot keep a record for " + MessageText(path) + ": it keeps changing";
    return -1;
}

std::string LinkTarget(const std::string& path)
{
    char target[4096];
    const ssize_t length = readlink(path.c_str(), target, sizeof(target) - 1);
    return length > 0 ? std::string(target, static_cast<size_t>(length)) : std::string();
}

// What is at `path` now, judged against the record: fine (nothing, or our stale link, which
// `*stale` then says), or a message.
bool PathFree(const std::string& path, const Record& record, bool* stale, std::string* error)
{
    *stale = false;
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) {
        if (errno == ENOENT) {
            return true;
        }
        *error = Errno("cannot use " + MessageText(path));
        return false;
    }
    if (!S_ISLNK(status.st_mode)) {
        *error = MessageText(path) + " exists and is not a symbolic link (left alone)";
        return false;
    }
    if (record.Path != path || record.Target.empty() || LinkTarget(path) != record.Target) {
        *error = MessageText(path) + " is a link that quarvex did not make (left alone)";
        return false;
    }
    *stale = true;
    return true;
}

// The folder that will hold the link, as far as it exists: another user must not be able to
// swap the link.
bool SafeParent(const std::string& path, std::string* error)
{
    std::string folder = Parent(path);
    struct stat status;
    while (lstat(folder.c_str(), &status) != 0) {
        if (errno != ENOENT || folder == "/") {
            *error = Errno("cannot use " + MessageText(folder));
            return false;
        }
        folder = Parent(folder);
    }
    if (!S_ISDIR(status.st_mode)) {
        *error =
            "cannot make " + MessageText(path) + ": " + MessageText(folder) + " is not a folder";
        return false;
    }
    if (status.st_uid != getuid() && status.st_uid != 0) {
        *error = "will not make " + MessageText(path) + ": " + MessageText(folder) +
                 " belongs to another user";
        return false;
    }
    if ((status.st_mode & S_IWOTH) != 0 && (status.st_mode & S_ISVTX) == 0) {
        *error =
            "will not make " + MessageText(path) + ": every user may change " + MessageText(folder);
        return false;
    }
    if (access(folder.c_str(), W_OK | X_OK) != 0) {
        *error = Errno("cannot make " + MessageText(path) + " in " + MessageText(folder));
        return false;
    }
    return true;
}

} // namespace

bool PtyLink::Folder(std::string* folder, std::string* error)
{
    // The tool never changes its environment, so no setenv can race this read.
    const char* runtime = std::getenv("XDG_RUNTIME_DIR"); // NOLINT(concurrency-mt-unsafe)
    *folder = runtime != nullptr && runtime[0] == '/' ? std::string(runtime) + "/quarvex"
                                                      : "/tmp/quarvex-" + std::to_string(getuid());
    return PrivateFolder(*folder, error);
}

bool PtyLink::Resolve(const std::string& written, const std::string& port, std::string* path,
                      std::string* error)
{
    if (!written.empty() && written[0] == '/') {
        *path = written;
        return true;
    }
    std::string folder;
    if (!Folder(&folder, error)) {
        return false;
    }
    *path = folder + "/" + (written.empty() ? port : written);
    return true;
}

bool PtyLink::Probe(const std::string& path, std::string* error)
{
    std::string record;
    if (!RecordPath(path, &record, error)) {
        return false;
    }
    Record old;
    const int fd = LockRecord(path, record, false, error);
    if (fd < 0 && !error->empty()) {
        return false;
    }
    if (fd >= 0) {
        old = ReadRecord(fd);
        close(fd);
    }
    bool stale = false;
    return PathFree(path, old, &stale, error) && SafeParent(path, error);
}

bool PtyLink::Make(const std::string& path, const std::string& target, std::string* error)
{
    Remove();
    std::string record;
    if (!RecordPath(path, &record, error)) {
        return false;
    }
    const int fd = LockRecord(path, record, true, error);
    if (fd < 0) {
        return false;
    }
    auto refuse = [&] {
        for (auto it = made_.rbegin(); it != made_.rend(); ++it) {
            rmdir(it->c_str());
        }
        made_.clear();
        if (ReadRecord(fd).Pid.empty()) {
            unlink(record.c_str());
        }
        close(fd);
        return false;
    };
    bool stale = false;
    if (!PathFree(path, ReadRecord(fd), &stale, error) || !SafeParent(path, error)) {
        return refuse();
    }
    if (stale) {
        unlink(path.c_str());
    }
    for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1)) {
        const std::string folder = path.substr(0, at);
        if (mkdir(folder.c_str(), 0755) == 0) {
            made_.push_back(folder);
        } else if (errno != EEXIST) {
            *error = Errno("cannot create " + MessageText(folder));
            return refuse();
        }
    }
    if (symlink(target.c_str(), path.c_str()) != 0) {
        *error = Errno("cannot link " + MessageText(path));
        return refuse();
    }
    const std::string text = std::to_string(getpid()) + "\n" + path + "\n" + target + "\n";
    if (ftruncate(fd, 0) != 0 ||
        pwrite(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
        *error = Errno("cannot keep a record for " + MessageText(path));
        unlink(path.c_str());
        return refuse();
    }
    path_ = path;
    target_ = target;
    record_ = record;
    recordFd_ = fd;
    return true;
}

void PtyLink::Remove()
{
    if (recordFd_ < 0) {
        return;
    }
    if (LinkTarget(path_) == target_) {
        unlink(path_.c_str());
    }
    for (auto it = made_.rbegin(); it != made_.rend(); ++it) {
        rmdir(it->c_str()); // fails, as it should, once something else is in it
    }
    made_.clear();
    // Removed while locked: a process waiting for the record finds it gone and makes a new one.
    unlink(record_.c_str());
    close(recordFd_);
    recordFd_ = -1;
}

} // namespace qvx
