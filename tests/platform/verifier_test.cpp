#include "platform/machine/machine.h"
// Each rule the executive checks is broken once on purpose and must be reported by name; the
// machine then goes on, so one test can walk through a family of rules.

#include "support/machine_fixture.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace qvx {
namespace {

constexpr ULONG TAG = 0x63657851; // "Qxec" in memory order
constexpr ULONG OTHER_TAG = 0x72687451;

LARGE_INTEGER InMs(LONGLONG ms)
{
    LARGE_INTEGER due;
    due.QuadPart = -ms * 10000;
    return due;
}

NTSTATUS WaitOn(KEVENT* event, LARGE_INTEGER* timeout = nullptr)
{
    return KeWaitForSingleObject(event, Executive, KernelMode, FALSE, timeout);
}

VOID NTAPI CountRun(PKDPC, PVOID context, PVOID, PVOID)
{
    ++*static_cast<int*>(context);
}

VOID NTAPI ReturnHoldingLock(PKDPC, PVOID context, PVOID, PVOID)
{
    KefAcquireSpinLockAtDpcLevel(static_cast<PKSPIN_LOCK>(context));
}

VOID NTAPI ReturnAtHighLevel(PKDPC, PVOID, PVOID, PVOID)
{
    KfRaiseIrql(HIGH_LEVEL);
}

using VerifierTest = SimMachineTest;
using VerifierDeathTest = SimMachineTest;

// Spin locks: recursion, release when free or owned elsewhere, the DPC-level pair below
// DISPATCH_LEVEL, and an out-of-order release that drops the IRQL under a held lock.
TEST_F(VerifierTest, SpinLockMisuseIsReportedByRule)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old = KfAcquireSpinLock(&lock);
    EXPECT_EQ(KfAcquireSpinLock(&lock), DISPATCH_LEVEL);
    EXPECT_TRUE(ExpectViolation(Rule::SPINLOCK_RECURSION));
    KfReleaseSpinLock(&lock, old);
    KfReleaseSpinLock(&lock, old);
    EXPECT_TRUE(ExpectViolation(Rule::SPINLOCK_NOT_HELD));

    KSPIN_LOCK elsewhere = ~static_cast<KSPIN_LOCK>(0); // owned by some other processor
    old = KfRaiseIrql(DISPATCH_LEVEL);
    KefReleaseSpinLockFromDpcLevel(&elsewhere);
    EXPECT_TRUE(ExpectViolation(Rule::SPINLOCK_NOT_OWNER));
    KfLowerIrql(old);

    KefAcquireSpinLockAtDpcLevel(&lock);
    EXPECT_TRUE(ExpectViolation(Rule::SPINLOCK_AT_DPC_LEVEL_BELOW_DISPATCH));
    old = KfRaiseIrql(DISPATCH_LEVEL);
    KefReleaseSpinLockFromDpcLevel(&lock);
    KfLowerIrql(old);

    KSPIN_LOCK inner;
    KeInitializeSpinLock(&inner);
    old = KfAcquireSpinLock(&lock);
    KfAcquireSpinLock(&inner);
    KfReleaseSpinLock(&lock, old);
    EXPECT_TRUE(ExpectViolation(Rule::IRQL_LOWERED_WITH_SPINLOCK_HELD));
    KfReleaseSpinLock(&inner, PASSIVE_LEVEL);
    EXPECT_EQ(lock | inner, 0u);
}

// IRQL: raising to a lower level, lowering to a higher one, waiting at DISPATCH_LEVEL or with
// a lock held. A bad call leaves the IRQL alone; polling at DISPATCH_LEVEL is allowed.
TEST_F(VerifierTest, IrqlAndWaitMisuseIsReportedByRule)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    EXPECT_EQ(KfRaiseIrql(APC_LEVEL), DISPATCH_LEVEL);
    EXPECT_TRUE(ExpectViolation(Rule::IRQL_RAISE_TO_LOWER));
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(WaitOn(&event), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(ExpectViolation(Rule::WAIT_AT_DISPATCH_LEVEL));
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(WaitOn(&event, &zero), STATUS_TIMEOUT);
    KfLowerIrql(old);

    KfLowerIrql(DISPATCH_LEVEL);
    EXPECT_TRUE(ExpectViolation(Rule::IRQL_LOWER_TO_HIGHER));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    old = KfAcquireSpinLock(&lock);
    EXPECT_EQ(WaitOn(&event), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(ExpectViolation(Rule::WAIT_WITH_SPINLOCK_HELD));
    KfReleaseSpinLock(&lock, old);
}

// Pool: double free, wrong tag, zero bytes, overrun and underrun, foreign memory, paged pool
// at DISPATCH_LEVEL, and a quota allocation failing without POOL_QUOTA_FAIL_INSTEAD_OF_RAISE.
TEST_F(VerifierTest, PoolMisuseIsReportedByRule)
{
    auto* block = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 16, TAG));
    ExFreePoolWithTag(block, TAG);
    ExFreePoolWithTag(block, TAG);
    EXPECT_TRUE(ExpectViolation(Rule::POOL_DOUBLE_FREE));

    block = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 16, TAG));
    ExFreePoolWithTag(block, OTHER_TAG);
    EXPECT_TRUE(ExpectViolation(Rule::POOL_TAG_MISMATCH));
    EXPECT_EQ(Sim().OutstandingBlocks(), 0u) << "the block is freed all the same";

    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 0, TAG), nullptr);
    EXPECT_TRUE(ExpectViolation(Rule::POOL_ZERO_SIZE));

    block = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 13, TAG));
    block[13] = 0;
    ExFreePoolWithTag(block, TAG);
    EXPECT_TRUE(ExpectViolation(Rule::POOL_OVERRUN));
    block = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 13, TAG));
    block[-1] = 0;
    ExFreePoolWithTag(block, TAG);
    EXPECT_TRUE(ExpectViolation(Rule::POOL_UNDERRUN));

    ULONG local = 0;
    ExFreePoolWithTag(&local, TAG);
    EXPECT_TRUE(ExpectViolation(Rule::POOL_FREE_INVALID));

    const KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 8, TAG), nullptr);
    EXPECT_TRUE(ExpectViolation(Rule::POOL_ALLOCATION_AT_BAD_IRQL));
    KfLowerIrql(old);

    Sim().FailNthAllocation(1);
    EXPECT_EQ(ExAllocatePoolWithQuotaTag(NonPagedPool, 8, TAG), nullptr);
    EXPECT_TRUE(ExpectViolation(Rule::QUOTA_ALLOCATION_RAISED));
    Sim().FailNthAllocation(1);
    const auto quiet = static_cast<POOL_TYPE>(NonPagedPool | POOL_QUOTA_FAIL_INSTEAD_OF_RAISE);
    EXPECT_EQ(ExAllocatePoolWithQuotaTag(quiet, 8, TAG), nullptr);
    EXPECT_TRUE(Sim().Violations().empty()) << "with the flag a failure is an ordinary NULL";
}

// Memory freed while it holds a queued DPC, a set timer or a held lock is reported, and the
// machine forgets those objects so that nothing touches the freed memory afterwards.
TEST_F(VerifierTest, FreedMemoryHoldingLiveObjectsIsReported)
{
    struct Context
    {
        KDPC Dpc;
        KTIMER Timer;
        KSPIN_LOCK Lock;
    };
    int runs = 0;
    auto* context =
        static_cast<Context*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Context), TAG));
    KeInitializeDpc(&context->Dpc, CountRun, &runs);
    KeInitializeTimer(&context->Timer);
    KeInitializeSpinLock(&context->Lock);
    Sim().HoldDpcs(true);
    KeInsertQueueDpc(&context->Dpc, nullptr, nullptr);
    KeSetTimer(&context->Timer, InMs(10), &context->Dpc);
    const KIRQL old = KfAcquireSpinLock(&context->Lock);
    ExFreePoolWithTag(context, TAG);
    EXPECT_TRUE(ExpectViolation(Rule::FREED_MEMORY_HOLDS_QUEUED_DPC));
    EXPECT_TRUE(ExpectViolation(Rule::FREED_MEMORY_HOLDS_ACTIVE_TIMER));
    EXPECT_TRUE(ExpectViolation(Rule::FREED_MEMORY_HOLDS_LOCKED_SPINLOCK));
    KfLowerIrql(old);
    Sim().HoldDpcs(false);
    Sim().AdvanceMs(20);
    EXPECT_EQ(runs, 0);
}

// DPCs and timers: a routine that returns holding a lock or at another IRQL, initialising a
// queued DPC or a set timer, and using objects that were never initialised.
TEST_F(VerifierTest, DpcAndTimerMisuseIsReportedByRule)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KDPC dpc;
    KeInitializeDpc(&dpc, ReturnHoldingLock, &lock);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    EXPECT_TRUE(ExpectViolation(Rule::DPC_RETURNED_WITH_LOCK_HELD));
    EXPECT_EQ(lock, 0u) << "the machine releases what the routine left held";

    KeInitializeDpc(&dpc, ReturnAtHighLevel, nullptr);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    EXPECT_TRUE(ExpectViolation(Rule::DPC_IRQL_CHANGED));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    int runs = 0;
    KeInitializeDpc(&dpc, CountRun, &runs);
    Sim().HoldDpcs(true);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    KeInitializeDpc(&dpc, CountRun, &runs);
    EXPECT_TRUE(ExpectViolation(Rule::DPC_REINITIALIZED_WHILE_QUEUED));
    Sim().HoldDpcs(false);
    EXPECT_EQ(runs, 1);

    KDPC raw;
    memset(&raw, 0xA5, sizeof(raw));
    EXPECT_FALSE(KeInsertQueueDpc(&raw, nullptr, nullptr));
    EXPECT_TRUE(ExpectViolation(Rule::DPC_NOT_INITIALIZED));

    KTIMER timer;
    memset(&timer, 0xDD, sizeof(timer));
    EXPECT_FALSE(KeSetTimer(&timer, InMs(1), nullptr));
    EXPECT_TRUE(ExpectViolation(Rule::TIMER_NOT_INITIALIZED));
    KeInitializeTimer(&timer);
    KeSetTimer(&timer, InMs(1), nullptr);
    KeInitializeTimer(&timer);
    EXPECT_TRUE(ExpectViolation(Rule::TIMER_REINITIALIZED_WHILE_SET));
    EXPECT_TRUE(KeCancelTimer(&timer));
}

// Lock order: taking B under A and later A under B is reported once, naming both locks,
// although one processor never deadlocks on it; a consistent order passes however often.
TEST_F(VerifierTest, LockOrderCycleIsReportedWithTheLocksInvolved)
{
    KSPIN_LOCK a, b, c;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    KeInitializeSpinLock(&c);
    Sim().NameSpinLock(&a, "PortLock");
    Sim().NameSpinLock(&b, "ReadQueueLock");
    auto nested = [](PKSPIN_LOCK outer, PKSPIN_LOCK inner) {
        const KIRQL old = KfAcquireSpinLock(outer);
        KefAcquireSpinLockAtDpcLevel(inner);
        KefReleaseSpinLockFromDpcLevel(inner);
        KfReleaseSpinLock(outer, old);
    };
    for (int i = 0; i < 3; ++i) {
        nested(&a, &b);
        nested(&b, &c);
    }
    EXPECT_TRUE(Sim().Violations().empty());

    nested(&c, &a); // closes a -> b -> c -> a
    ASSERT_EQ(Sim().Violations().size(), 1u);
    const std::string message = Sim().Violations()[0].Message;
    EXPECT_NE(message.find("PortLock"), std::string::npos) << message;
    EXPECT_NE(message.find("ReadQueueLock"), std::string::npos) << message;
    EXPECT_TRUE(ExpectViolation(Rule::LOCK_ORDER_CYCLE));
    nested(&b, &a);
    EXPECT_TRUE(Sim().Violations().empty()) << "only the first cycle is reported";
}

// The ceilings come from one table: routines documented as PASSIVE_LEVEL only are reported
// at APC_LEVEL, and IoDeleteDevice, documented up to APC_LEVEL, passes there.
TEST_F(VerifierTest, IrqlCeilingsFollowTheDocumentation)
{
    PDRIVER_OBJECT driver = Sim().Io().CreateBuiltInDriver(u"CeilingTest");
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_SUCCESS);
    WCHAR digits[12];
    UNICODE_STRING text{0, sizeof(digits), digits};
    const KIRQL old = KfRaiseIrql(APC_LEVEL);
    KeFlushQueuedDpcs();
    EXPECT_TRUE(ExpectViolation(Rule::IRQL_TOO_HIGH));
    EXPECT_EQ(RtlIntegerToUnicodeString(42, 10, &text), STATUS_SUCCESS);
    EXPECT_TRUE(ExpectViolation(Rule::IRQL_TOO_HIGH));
    RtlFreeUnicodeString(nullptr);
    EXPECT_TRUE(ExpectViolation(Rule::IRQL_TOO_HIGH));
    IoDeleteDevice(device);
    EXPECT_TRUE(Sim().Violations().empty());
    KfLowerIrql(old);
    Sim().Io().ReleaseBuiltInDriver(driver);
}
// docs/platform.md lists every rule of the enumeration with its description, in its order,
// between two marker lines. QVX_WRITE_RULES=1 (scripts/rules.sh) rewrites the list instead.
TEST(VerifierRulesTest, ThePlatformPageListsEveryRuleOfTheEnumeration)
{
    const std::string begin = "<!-- verifier rules: from platform/verifier/rules.h -->\n";
    const std::string end = "<!-- end of verifier rules -->\n";
    std::string list;
    for (unsigned i = 0; i < RULE_COUNT; ++i) {
        const auto rule = static_cast<Rule>(i);
        list += std::string("- `") + RuleName(rule) + "`: " + RuleDescription(rule) + "\n";
    }
    std::ifstream in(QVX_RULES_DOC);
    ASSERT_TRUE(in) << "cannot read " << QVX_RULES_DOC;
    std::stringstream text;
    text << in.rdbuf();
    std::string page = text.str();
    const size_t from = page.find(begin);
    const size_t to = page.find(end);
    ASSERT_TRUE(from != std::string::npos && to != std::string::npos && from < to)
        << QVX_RULES_DOC << " lacks the marker lines\n"
        << begin << end;
    const size_t start = from + begin.size();
    if (std::getenv("QVX_WRITE_RULES") != nullptr) {
        page.replace(start, to - start, list);
        std::ofstream(QVX_RULES_DOC) << page;
        return;
    }
    EXPECT_EQ(page.substr(start, to - start), list)
        << "the rule list of docs/platform.md differs from the enumeration: run scripts/rules.sh";
}

class ProductionMachineTest : public SimMachineTest
{
  protected:
    ProductionMachineTest() { Options.Verify = false; }
};
using ProductionMachineDeathTest = ProductionMachineTest;

// Without the verifier's bookkeeping the lock word still names its owner (the driver's
// assertions ask it), the IRQL follows the locks, a DPC queued under a lock runs once the
// release drops below DISPATCH_LEVEL, and an order that would be a cycle is not recorded.
TEST_F(ProductionMachineTest, LockWordNamesItsOwnerWithoutTheBookkeeping)
{
    KSPIN_LOCK first;
    KSPIN_LOCK second;
    KeInitializeSpinLock(&first);
    KeInitializeSpinLock(&second);
    int runs = 0;
    KDPC dpc;
    KeInitializeDpc(&dpc, CountRun, &runs);
    KIRQL old = KfAcquireSpinLock(&first);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_TRUE(QvxSpinLockHeldByCaller(&first));
    EXPECT_FALSE(QvxSpinLockHeldByCaller(&second));
    KefAcquireSpinLockAtDpcLevel(&second);
    EXPECT_TRUE(QvxSpinLockHeldByCaller(&second));
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    KefReleaseSpinLockFromDpcLevel(&second);
    KfReleaseSpinLock(&first, old);
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    old = KfAcquireSpinLock(&second);
    KefAcquireSpinLockAtDpcLevel(&first);
    KefReleaseSpinLockFromDpcLevel(&first);
    KfReleaseSpinLock(&second, old);
    EXPECT_FALSE(QvxSpinLockHeldByCaller(&first));
    EXPECT_EQ(first | second, 0u);
    EXPECT_TRUE(Sim().Violations().empty());
}

// What keeps the process safe stays: a lock the single processor holds already can never be
// taken, and a release by a processor that does not hold it would let two in at once.
TEST_F(ProductionMachineDeathTest, DeadlockAndForeignReleaseStopWithTheRule)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    EXPECT_DEATH(
        {
            KfAcquireSpinLock(&lock);
            KfAcquireSpinLock(&lock);
        },
        "VERIFIER VIOLATION: SPINLOCK_DEADLOCK: KfAcquireSpinLock: lock 0x[0-9a-f]+ is held by "
        "this processor already");
    EXPECT_DEATH(
        {
            KSPIN_LOCK elsewhere = ~static_cast<KSPIN_LOCK>(0);
            KfRaiseIrql(DISPATCH_LEVEL);
            KefReleaseSpinLockFromDpcLevel(&elsewhere);
        },
        "VERIFIER VIOLATION: SPINLOCK_NOT_OWNER");
}

// With AbortOnViolation the first violation ends the process, naming its rule.
TEST_F(VerifierDeathTest, ViolationAbortsNamingTheRule)
{
    EXPECT_DEATH(
        {
            DeathTestMachine abortMode;
            KfLowerIrql(HIGH_LEVEL);
        },
        "VERIFIER VIOLATION: IRQL_LOWER_TO_HIGHER");
}

// Under AddressSanitizer paged pool is poisoned while the simulated processor runs at
// DISPATCH_LEVEL: a driver touching it there (where Windows may have paged it out) is caught
// at the access, and the same block is usable again below DISPATCH_LEVEL.
TEST_F(VerifierDeathTest, PagedPoolTouchedAtDispatchLevelIsCaught)
{
#if defined(__SANITIZE_ADDRESS__)
    auto* paged = static_cast<volatile UCHAR*>(ExAllocatePoolWithTag(PagedPool, 24, 0x67707651u));
    ASSERT_NE(paged, nullptr);
    paged[0] = 1;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    EXPECT_DEATH(
        {
            const KIRQL old = KfAcquireSpinLock(&lock);
            paged[3] = 2;
            KfReleaseSpinLock(&lock, old);
        },
        "use-after-poison");
    const KIRQL old = KfAcquireSpinLock(&lock);
    KfReleaseSpinLock(&lock, old);
    paged[3] = 3;
    EXPECT_EQ(paged[0], 1);
    ExFreePoolWithTag(const_cast<UCHAR*>(paged), 0x67707651u);
#else
    GTEST_SKIP() << "needs AddressSanitizer (the asan preset)";
#endif
}

} // namespace
} // namespace qvx
