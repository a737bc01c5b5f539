// The quarvex tool. Until the driver can be loaded, it demonstrates the platform: a simulated
// machine arms timers and DPCs and prints what ran when.

#include "platform/sim/machine.h"

#include <cstdio>
#include <cstring>

namespace {

struct Tick
{
    const char* Name;
    int Count;
    KTIMER Timer;
    KDPC Dpc;
};

KDEFERRED_ROUTINE OnTimer;

VOID NTAPI OnTimer(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* tick = static_cast<Tick*>(context);
    ++tick->Count;
    printf("%6lld ms  %-10s fired (#%d) at IRQL %d\n",
           static_cast<long long>(qvx::Machine::Current().NowMs()), tick->Name, tick->Count,
           KeGetCurrentIrql());
}

int Demo()
{
    qvx::Machine machine;
    Tick send{"send 20ms", 0, {}, {}};
    Tick once{"once 50ms", 0, {}, {}};
    KeInitializeTimer(&send.Timer);
    KeInitializeDpc(&send.Dpc, OnTimer, &send);
    KeInitializeTimer(&once.Timer);
    KeInitializeDpc(&once.Dpc, OnTimer, &once);

    LARGE_INTEGER due;
    due.QuadPart = -20 * 10000LL;
    KeSetTimerEx(&send.Timer, due, 20, &send.Dpc);
    due.QuadPart = -50 * 10000LL;
    KeSetTimer(&once.Timer, due, &once.Dpc);
    printf("simulated machine: periodic 20 ms timer and one-shot 50 ms timer armed\n");

    machine.AdvanceMs(100);
    printf("cancel periodic: %s; cancel one-shot after it fired: %s\n",
           KeCancelTimer(&send.Timer) ? "TRUE" : "FALSE",
           KeCancelTimer(&once.Timer) ? "TRUE" : "FALSE");
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && strcmp(argv[1], "--help") == 0) {
        printf("usage: quarvex [demo]\n");
        return 0;
    }
    if (argc > 1 && strcmp(argv[1], "demo") != 0) {
        fprintf(stderr, "quarvex: unknown command '%s' (try --help)\n", argv[1]);
        return 2;
    }
    return Demo();
}
