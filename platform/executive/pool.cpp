// Pool: tagged allocations with accounting, guard bytes, poisoning, a quarantine that makes
// double frees detectable, and fault injection.

#include "platform/executive/scheduler_internal.h"
#include "platform/verifier/verifier.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>

#if defined(QVX_POOL_ASAN)
#include <sanitizer/asan_interface.h>
#endif

namespace qvx {

namespace {

constexpr uint64_t LIVE_MAGIC = 0x4c4f4f5056495851ULL;  // "QXVPOOL"
constexpr uint64_t FREED_MAGIC = 0x4445455246495851ULL; // "QXIFREED"
constexpr size_t GUARD_BYTES = 16;
constexpr unsigned char GUARD_FILL = 0xFD;
constexpr unsigned char NEW_FILL = 0xA5;
constexpr unsigned char FREED_FILL = 0xDD;
// Non-paged pool is a bounded resource on Windows (a few hundred MiB on x86): a request the
// pool cannot hold fails as there, instead of reaching for the host's memory.
constexpr size_t NON_PAGED_POOL_LIMIT = size_t{256} * 1024 * 1024;
constexpr int QUARANTINE_SIZE = 256;

std::atomic<Pool*> g_pool{nullptr};

constexpr size_t POOL_ALIGNMENT = 16;

struct PoolHeader;

struct PoolFields
{
    uint64_t Magic;
    PoolHeader* Prev;
    PoolHeader* Next;
    ULONG Tag;
    POOL_TYPE Type;
    SIZE_T Size;
    ULONG Serial;
};

// The front guard takes what the fields leave of the header's last 16 bytes, so it ends where
// the block begins at any pointer size: an underrun by one byte lands in it, not in padding.
constexpr size_t FRONT_GUARD_BYTES =
    GUARD_BYTES + (POOL_ALIGNMENT - sizeof(PoolFields) % POOL_ALIGNMENT) % POOL_ALIGNMENT;

struct alignas(POOL_ALIGNMENT) PoolHeader : PoolFields
{
    unsigned char Front[FRONT_GUARD_BYTES]; // catches underruns before they reach the fields
};
static_assert(sizeof(PoolHeader) == sizeof(PoolFields) + FRONT_GUARD_BYTES);

bool IsPaged(POOL_TYPE type)
{
    return (static_cast<int>(type) & 1) != 0;
}

} // namespace

struct Pool::State
{
    std::mutex Lock;
    PoolHeader* Head = nullptr;
    ULONG Allocations = 0;
    ULONG FailAt = 0;
    ULONG FailTag = 0;
    PoolHeader* Quarantine[QUARANTINE_SIZE] = {};
    int QuarantineNext = 0;
    // Paged blocks live, and whether they are poisoned now (simulated mode under
    // AddressSanitizer, while the processor runs at DISPATCH_LEVEL or above).
    std::set<PoolHeader*> PagedBlocks;
    bool PagedPoisoned = false;
};

Pool::Pool() : state_(std::make_unique<State>())
{
    g_pool.store(this, std::memory_order_release);
}

Pool::~Pool()
{
    g_pool.store(nullptr, std::memory_order_release);
}

Pool* Pool::Current()
{
    return g_pool.load(std::memory_order_acquire);
}

void* Pool::Allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag, const char* routine)
{
    State& state = *state_;
    const KIRQL irql = KeGetCurrentIrql();
    if ((IsPaged(type) && irql > APC_LEVEL) || irql > DISPATCH_LEVEL) {
        VerifierReport(Rule::POOL_ALLOCATION_AT_BAD_IRQL,
                       "%s(type %d, %zu bytes, tag %s) at IRQL %d", routine, static_cast<int>(type),
                       static_cast<size_t>(bytes), TagText(tag).c_str(), irql);
        return nullptr;
    }
    if (bytes == 0) {
        VerifierReport(Rule::POOL_ZERO_SIZE, "%s of 0 bytes, tag %s", routine,
                       TagText(tag).c_str());
        return nullptr;
    }
    // What no pool could hold fails, rather than wrapping once the header and guards are added.
    if (bytes > SIZE_MAX - sizeof(PoolHeader) - GUARD_BYTES) {
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(state.Lock);
    ++state.Allocations;
    if (state.FailAt != 0 && state.Allocations == state.FailAt) {
        state.FailAt = 0;
        return nullptr;
    }
    if (state.FailTag != 0 && state.FailTag == tag) {
        return nullptr;
    }
    if (!IsPaged(type)) {
        size_t inUse = 0;
        for (PoolHeader* h = state.Head; h != nullptr; h = h->Next) {
            inUse += IsPaged(h->Type) ? 0 : h->Size;
        }
        if (bytes > NON_PAGED_POOL_LIMIT - inUse) {
            return nullptr;
        }
    }
    auto* header = static_cast<PoolHeader*>(malloc(sizeof(PoolHeader) + bytes + GUARD_BYTES));
    if (header == nullptr) {
        return nullptr;
    }
    memset(header->Front, GUARD_FILL, FRONT_GUARD_BYTES);
    header->Magic = LIVE_MAGIC;
    header->Tag = tag;
    header->Type = type;
    header->Size = bytes;
    header->Serial = state.Allocations;
    header->Prev = nullptr;
    header->Next = state.Head;
    if (state.Head != nullptr) {
        state.Head->Prev = header;
    }
    state.Head = header;
    auto* user = reinterpret_cast<unsigned char*>(header + 1);
    if (VerifierOn()) {
        memset(user, NEW_FILL, bytes); // pool memory is not zeroed
    }
    memset(user + bytes, GUARD_FILL, GUARD_BYTES);
    if (IsPaged(type)) {
        state.PagedBlocks.insert(header);
    }
    return user;
}

void Pool::Free(PVOID block, ULONG tagGiven)
{
    State& state = *state_;
    if (block == nullptr) {
        VerifierReport(Rule::POOL_FREE_NULL, "ExFreePoolWithTag(NULL)");
        return;
    }
    const KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL) {
        VerifierReport(Rule::POOL_FREE_AT_BAD_IRQL, "ExFreePoolWithTag(%p) at IRQL %d", block,
                       irql);
        return;
    }
    auto* header = static_cast<PoolHeader*>(block) - 1;
    std::unique_lock<std::mutex> guard(state.Lock);
    // Only a block found on the live list is trusted: its header is read after that.
    bool known = false;
    for (PoolHeader* h = state.Head; h != nullptr && !known; h = h->Next) {
        known = h == header;
    }
    if (!known) {
        bool quarantined = false;
        for (PoolHeader* h : state.Quarantine) {
            quarantined = quarantined || h == header;
        }
        guard.unlock();
        if (quarantined) {
            VerifierReport(Rule::POOL_DOUBLE_FREE, "ExFreePoolWithTag(%p, '%s') of a freed block",
                           block, TagText(tagGiven).c_str());
        } else {
            VerifierReport(Rule::POOL_FREE_INVALID,
                           "ExFreePoolWithTag(%p, '%s') of memory never allocated", block,
                           TagText(tagGiven).c_str());
        }
        return;
    }
    if (IsPaged(header->Type) && irql > APC_LEVEL) {
        guard.unlock();
        VerifierReport(Rule::POOL_FREE_AT_BAD_IRQL,
                       "ExFreePoolWithTag(%p) of paged pool at IRQL %d", block, irql);
        return;
    }
    // Unlinked at once, so a second free racing this one is reported rather than let through.
    if (header->Prev != nullptr) {
        header->Prev->Next = header->Next;
    } else {
        state.Head = header->Next;
    }
    if (header->Next != nullptr) {
        header->Next->Prev = header->Prev;
    }
    header->Magic = FREED_MAGIC;
    state.PagedBlocks.erase(header);
    guard.unlock();

    const ULONG tag = header->Tag;
    const size_t size = header->Size;
    if (tag != tagGiven) {
        VerifierReport(Rule::POOL_TAG_MISMATCH,
                       "ExFreePoolWithTag(%p) with tag '%s', allocated with '%s'", block,
                       TagText(tagGiven).c_str(), TagText(tag).c_str());
    }
    const auto* back = static_cast<unsigned char*>(block) + size;
    for (size_t i = 0; i < FRONT_GUARD_BYTES; ++i) {
        if (header->Front[i] != GUARD_FILL) {
            VerifierReport(Rule::POOL_UNDERRUN, "block %p (tag '%s', %zu bytes) was underrun",
                           block, TagText(tag).c_str(), size);
            break;
        }
    }
    for (size_t i = 0; i < GUARD_BYTES; ++i) {
        if (back[i] != GUARD_FILL) {
            VerifierReport(Rule::POOL_OVERRUN, "block %p (tag '%s', %zu bytes) was overrun", block,
                           TagText(tag).c_str(), size);
            break;
        }
    }
    // Before poisoning: the check walks queues whose entries may lie inside the block.
    CheckFreedRange(block, size, "pool block");
    if (VerifierOn()) {
        memset(block, FREED_FILL, size);
    }
    guard.lock();
    PoolHeader*& slot = state.Quarantine[state.QuarantineNext];
    free(slot);
    slot = header;
    state.QuarantineNext = (state.QuarantineNext + 1) % QUARANTINE_SIZE;
}

void Pool::PoisonPaged(bool poison)
{
#if defined(QVX_POOL_ASAN)
    State& state = *state_;
    std::lock_guard<std::mutex> guard(state.Lock);
    if (state.PagedPoisoned == poison) {
        return;
    }
    state.PagedPoisoned = poison;
    for (PoolHeader* header : state.PagedBlocks) {
        if (poison) {
            ASAN_POISON_MEMORY_REGION(header + 1, header->Size);
        } else {
            ASAN_UNPOISON_MEMORY_REGION(header + 1, header->Size);
        }
    }
#else
    (void)poison;
#endif
}

void Pool::ReleaseAll()
{
    PoisonPaged(false);
    State& state = *state_;
    std::lock_guard<std::mutex> guard(state.Lock);
    state.PagedBlocks.clear();
    while (state.Head != nullptr) {
        PoolHeader* next = state.Head->Next;
        free(state.Head);
        state.Head = next;
    }
    for (auto& slot : state.Quarantine) {
        free(slot);
        slot = nullptr;
    }
}

void Pool::FailNthAllocation(ULONG n)
{
    std::lock_guard<std::mutex> guard(state_->Lock);
    state_->FailAt = n == 0 ? 0 : state_->Allocations + n;
}

void Pool::FailAllocationsWithTag(ULONG tag)
{
    std::lock_guard<std::mutex> guard(state_->Lock);
    state_->FailTag = tag;
}

ULONG Pool::AllocationCount() const
{
    std::lock_guard<std::mutex> guard(state_->Lock);
    return state_->Allocations;
}

std::vector<PoolBlockInfo> Pool::Outstanding() const
{
    std::lock_guard<std::mutex> guard(state_->Lock);
    std::vector<PoolBlockInfo> blocks;
    for (PoolHeader* h = state_->Head; h != nullptr; h = h->Next) {
        blocks.push_back({h->Tag, h->Size, h->Type, h + 1});
    }
    return blocks;
}

std::string Pool::DescribeAddress(const void* address) const
{
    const auto* p = static_cast<const char*>(address);
    for (const PoolBlockInfo& block : Outstanding()) {
        const auto* base = static_cast<const char*>(block.Address);
        if (p >= base && p < base + block.Size) {
            char text[64];
            snprintf(text, sizeof(text), "(pool block '%s' + %#zx)", TagText(block.Tag).c_str(),
                     static_cast<size_t>(p - base));
            return text;
        }
    }
    return std::string();
}

} // namespace qvx

using qvx::Pool;
using qvx::Rule;

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    Pool* pool = Pool::Current();
    if (pool == nullptr) {
        qvx::VerifierReport(Rule::NO_MACHINE, "ExAllocatePoolWithTag without a machine");
        return nullptr;
    }
    PVOID block = pool->Allocate(PoolType, NumberOfBytes, Tag, "ExAllocatePoolWithTag");
    if (block == nullptr && (PoolType & POOL_RAISE_IF_ALLOCATION_FAILURE) != 0) {
        qvx::VerifierReport(Rule::POOL_ALLOCATION_RAISED,
                            "ExAllocatePoolWithTag(tag '%s') failed with "
                            "POOL_RAISE_IF_ALLOCATION_FAILURE: unhandled kernel exception",
                            qvx::TagText(Tag).c_str());
    }
    return block;
}

PVOID NTAPI ExAllocatePoolWithQuotaTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    const bool failQuietly = (PoolType & POOL_QUOTA_FAIL_INSTEAD_OF_RAISE) != 0;
    const auto type = static_cast<POOL_TYPE>(PoolType & ~POOL_QUOTA_FAIL_INSTEAD_OF_RAISE);
    if (KeGetCurrentIrql() >= DISPATCH_LEVEL) {
        qvx::VerifierReport(Rule::QUOTA_ALLOCATION_AT_DISPATCH,
                            "ExAllocatePoolWithQuotaTag at IRQL %d", KeGetCurrentIrql());
        return nullptr;
    }
    Pool* pool = Pool::Current();
    if (pool == nullptr) {
        qvx::VerifierReport(Rule::NO_MACHINE, "ExAllocatePoolWithQuotaTag without a machine");
        return nullptr;
    }
    PVOID block = pool->Allocate(type, NumberOfBytes, Tag, "ExAllocatePoolWithQuotaTag");
    if (block == nullptr && !failQuietly) {
        // Without the flag the kernel raises an exception that nothing here could catch.
        qvx::VerifierReport(Rule::QUOTA_ALLOCATION_RAISED,
                            "ExAllocatePoolWithQuotaTag failed without "
                            "POOL_QUOTA_FAIL_INSTEAD_OF_RAISE: unhandled kernel exception");
    }
    return block;
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    Pool* pool = Pool::Current();
    if (pool == nullptr) {
        qvx::VerifierReport(Rule::NO_MACHINE, "ExFreePoolWithTag without a machine");
        return;
    }
    pool->Free(P, Tag);
}

} // extern "C"
