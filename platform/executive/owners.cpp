// Which driver owns what: the driver whose code runs on this thread, and the driver that set
// up each timer and DPC. Unload reports charge each object to its own driver, so unloading
// one of two drivers never blames the other for what the other left set.

#include "platform/executive/executive.h"

#include <mutex>
#include <unordered_map>

namespace qvx {

namespace {

thread_local PDRIVER_OBJECT t_runningDriver = nullptr;

struct OwnerTable
{
    std::mutex Mutex;
    std::unordered_map<const void*, PDRIVER_OBJECT> Owners;
};

OwnerTable& Table()
{
    static OwnerTable* table = new OwnerTable();
    return *table;
}

} // namespace

PDRIVER_OBJECT RunningDriver()
{
    return t_runningDriver;
}

RunningDriverScope::RunningDriverScope(PDRIVER_OBJECT driver) : previous_(t_runningDriver)
{
    t_runningDriver = driver;
}

RunningDriverScope::~RunningDriverScope()
{
    t_runningDriver = previous_;
}

void NoteObjectOwner(const void* object)
{
    OwnerTable& table = Table();
    std::lock_guard<std::mutex> guard(table.Mutex);
    if (t_runningDriver != nullptr) {
        table.Owners[object] = t_runningDriver;
    } else {
        table.Owners.erase(object);
    }
}

PDRIVER_OBJECT ObjectOwner(const void* object)
{
    OwnerTable& table = Table();
    std::lock_guard<std::mutex> guard(table.Mutex);
    auto it = table.Owners.find(object);
    return it != table.Owners.end() ? it->second : nullptr;
}

void ForgetObjectOwners()
{
    OwnerTable& table = Table();
    std::lock_guard<std::mutex> guard(table.Mutex);
    table.Owners.clear();
}

} // namespace qvx
