// Which driver owns what: the driver whose code runs on this thread, and the driver that set
// up each timer and DPC. Unload reports charge each object to its own driver, so unloading
// one of two drivers never blames the other for what the other left set.

#include "platform/executive/executive.h"

namespace qvx {

namespace {

thread_local PDRIVER_OBJECT t_runningDriver = nullptr;

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

// A timer's owner takes the second pointer of its header's bookkeeping field (the first is
// its place in the timer queue, scheduler.cpp).
void NoteTimerOwner(PKTIMER timer)
{
    timer->Header.WaitListHead.Blink = reinterpret_cast<PLIST_ENTRY>(t_runningDriver);
}

void NoteDpcOwner(PKDPC dpc)
{
    dpc->Owner = t_runningDriver;
}

PDRIVER_OBJECT TimerOwner(const KTIMER* timer)
{
    return reinterpret_cast<PDRIVER_OBJECT>(timer->Header.WaitListHead.Blink);
}

PDRIVER_OBJECT DpcOwner(const KDPC* dpc)
{
    return static_cast<PDRIVER_OBJECT>(dpc->Owner);
}

} // namespace qvx
