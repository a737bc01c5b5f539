// Pool: tagged allocations with accounting, guard bytes, poisoning, a quarantine that makes
// double frees detectable, and fault injection.

#include "platform/machine/machine_internal.h"

#include <cstdio>
#include <cstdlib>
#include <map>

#if defined(__SANITIZE_ADDRESS__)
#define QVX_POOL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QVX_POOL_ASAN 1
#endif
#endif
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
constexpr size_t NON_PAGED_POOL_LIMIT = 256u * 1024 * 1024;

} // namespace

struct alignas(16) PoolHeader
{
    uint64_t Magic;
    PoolHeader* Prev;
    PoolHeader* Next;
    ULONG Tag;
    POOL_TYPE Type;
    SIZE_T Size;
    ULONG Serial;
    ULONG Pad;
    unsigned char Front[GUARD_BYTES]; // catches underruns before they reach the fields above
};

namespace {

Machine::State* PoolState()
{
    Machine* machine = Machine::TryCurrent();
    return machine != nullptr ? &machine->Internal() : nullptr;
}

std::string TagText(ULONG tag)
{
    char text[5];
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text[i] = (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    text[4] = 0;
    return text;
}

bool IsPaged(POOL_TYPE type)
{
    return (static_cast<int>(type) & 1) != 0;
}

void* Allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag, const char* routine)
{
    Machine::State* state = PoolState();
    if (state == nullptr) {
        VerifierReport(Rule::NO_MACHINE, "%s without a machine", routine);
        return nullptr;
    }
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
    std::lock_guard<std::mutex> guard(state->PoolLock);
    ++state->Allocations;
    if (state->FailAt != 0 && state->Allocations == state->FailAt) {
        state->FailAt = 0;
        return nullptr;
    }
    if (state->FailTag != 0 && state->FailTag == tag) {
        return nullptr;
    }
    if (!IsPaged(type)) {
        size_t inUse = 0;
        for (PoolHeader* h = state->PoolHead; h != nullptr; h = h->Next) {
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
    memset(header->Front, GUARD_FILL, GUARD_BYTES);
    header->Magic = LIVE_MAGIC;
    header->Tag = tag;
    header->Type = type;
    header->Size = bytes;
    header->Serial = state->Allocations;
    header->Pad = 0;
    header->Prev = nullptr;
    header->Next = state->PoolHead;
    if (state->PoolHead != nullptr) {
        state->PoolHead->Prev = header;
    }
    state->PoolHead = header;
    auto* user = reinterpret_cast<unsigned char*>(header + 1);
    memset(user, NEW_FILL, bytes); // pool memory is not zeroed
    memset(user + bytes, GUARD_FILL, GUARD_BYTES);
    if (IsPaged(type)) {
        state->PagedBlocks.insert(header);
    }
    return user;
}

} // namespace

void PoisonPagedPool(Machine::State& state, bool poison)
{
#if defined(QVX_POOL_ASAN)
    std::lock_guard<std::mutex> guard(state.PoolLock);
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
    (void)state;
    (void)poison;
#endif
}

void ReleaseAllPool(Machine::State& state)
{
    PoisonPagedPool(state, false);
    std::lock_guard<std::mutex> guard(state.PoolLock);
    state.PagedBlocks.clear();
    while (state.PoolHead != nullptr) {
        PoolHeader* next = state.PoolHead->Next;
        free(state.PoolHead);
        state.PoolHead = next;
    }
    for (auto& slot : state.Quarantine) {
        free(slot);
        slot = nullptr;
    }
}

void Machine::FailNthAllocation(ULONG n)
{
    std::lock_guard<std::mutex> guard(state_->PoolLock);
    state_->FailAt = n == 0 ? 0 : state_->Allocations + n;
}

void Machine::FailAllocationsWithTag(ULONG tag)
{
    std::lock_guard<std::mutex> guard(state_->PoolLock);
    state_->FailTag = tag;
}

ULONG Machine::AllocationCount() const
{
    std::lock_guard<std::mutex> guard(state_->PoolLock);
    return state_->Allocations;
}

std::vector<PoolBlockInfo> Machine::OutstandingPool() const
{
    std::lock_guard<std::mutex> guard(state_->PoolLock);
    std::vector<PoolBlockInfo> blocks;
    for (PoolHeader* h = state_->PoolHead; h != nullptr; h = h->Next) {
        blocks.push_back({h->Tag, h->Size, h->Type, h + 1});
    }
    return blocks;
}

size_t Machine::OutstandingBlocks(ULONG tag) const
{
    size_t count = 0;
    for (const auto& block : OutstandingPool()) {
        count += (tag == 0 || block.Tag == tag) ? 1 : 0;
    }
    return count;
}

size_t Machine::OutstandingBytes(ULONG tag) const
{
    size_t bytes = 0;
    for (const auto& block : OutstandingPool()) {
        bytes += (tag == 0 || block.Tag == tag) ? block.Size : 0;
    }
    return bytes;
}

std::string Machine::PoolReport() const
{
    std::map<ULONG, std::pair<size_t, size_t>> byTag;
    for (const auto& block : OutstandingPool()) {
        auto& entry = byTag[block.Tag];
        entry.first += 1;
        entry.second += block.Size;
    }
    std::string report;
    for (const auto& [tag, counts] : byTag) {
        char line[96];
        snprintf(line, sizeof(line), "tag '%s': %zu block(s), %zu byte(s)\n", TagText(tag).c_str(),
                 counts.first, counts.second);
        report += line;
    }
    return report;
}

} // namespace qvx

using qvx::PoolHeader;

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    PVOID block = qvx::Allocate(PoolType, NumberOfBytes, Tag, "ExAllocatePoolWithTag");
    if (block == nullptr && (PoolType & POOL_RAISE_IF_ALLOCATION_FAILURE) != 0) {
        qvx::VerifierReport(qvx::Rule::POOL_ALLOCATION_RAISED,
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
        qvx::VerifierReport(qvx::Rule::QUOTA_ALLOCATION_AT_DISPATCH,
                            "ExAllocatePoolWithQuotaTag at IRQL %d", KeGetCurrentIrql());
        return nullptr;
    }
    PVOID block = qvx::Allocate(type, NumberOfBytes, Tag, "ExAllocatePoolWithQuotaTag");
    if (block == nullptr && !failQuietly) {
        // Without the flag the kernel raises an exception that nothing here could catch.
        qvx::VerifierReport(qvx::Rule::QUOTA_ALLOCATION_RAISED,
                            "ExAllocatePoolWithQuotaTag failed without "
                            "POOL_QUOTA_FAIL_INSTEAD_OF_RAISE: unhandled kernel exception");
    }
    return block;
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    qvx::Machine::State* state = qvx::PoolState();
    if (state == nullptr) {
        qvx::VerifierReport(qvx::Rule::NO_MACHINE, "ExFreePoolWithTag without a machine");
        return;
    }
    if (P == nullptr) {
        qvx::VerifierReport(qvx::Rule::POOL_FREE_NULL, "ExFreePoolWithTag(NULL)");
        return;
    }
    const KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL) {
        qvx::VerifierReport(qvx::Rule::POOL_FREE_AT_BAD_IRQL, "ExFreePoolWithTag(%p) at IRQL %d", P,
                            irql);
        return;
    }
    auto* header = static_cast<PoolHeader*>(P) - 1;
    std::unique_lock<std::mutex> guard(state->PoolLock);
    // Only a block found on the live list is trusted: its header is read after that.
    bool known = false;
    for (PoolHeader* h = state->PoolHead; h != nullptr && !known; h = h->Next) {
        known = h == header;
    }
    if (!known) {
        bool quarantined = false;
        for (PoolHeader* h : state->Quarantine) {
            quarantined = quarantined || h == header;
        }
        guard.unlock();
        if (quarantined) {
            qvx::VerifierReport(qvx::Rule::POOL_DOUBLE_FREE,
                                "ExFreePoolWithTag(%p, '%s') of a freed block", P,
                                qvx::TagText(Tag).c_str());
        } else {
            qvx::VerifierReport(qvx::Rule::POOL_FREE_INVALID,
                                "ExFreePoolWithTag(%p, '%s') of memory never allocated", P,
                                qvx::TagText(Tag).c_str());
        }
        return;
    }
    if (qvx::IsPaged(header->Type) && irql > APC_LEVEL) {
        guard.unlock();
        qvx::VerifierReport(qvx::Rule::POOL_FREE_AT_BAD_IRQL,
                            "ExFreePoolWithTag(%p) of paged pool at IRQL %d", P, irql);
        return;
    }
    // Unlinked at once, so a second free racing this one is reported rather than let through.
    if (header->Prev != nullptr) {
        header->Prev->Next = header->Next;
    } else {
        state->PoolHead = header->Next;
    }
    if (header->Next != nullptr) {
        header->Next->Prev = header->Prev;
    }
    header->Magic = qvx::FREED_MAGIC;
    state->PagedBlocks.erase(header);
    guard.unlock();

    const ULONG tag = header->Tag;
    const size_t size = header->Size;
    if (tag != Tag) {
        qvx::VerifierReport(qvx::Rule::POOL_TAG_MISMATCH,
                            "ExFreePoolWithTag(%p) with tag '%s', allocated with '%s'", P,
                            qvx::TagText(Tag).c_str(), qvx::TagText(tag).c_str());
    }
    const auto* back = static_cast<unsigned char*>(P) + size;
    for (size_t i = 0; i < qvx::GUARD_BYTES; ++i) {
        if (header->Front[i] != qvx::GUARD_FILL) {
            qvx::VerifierReport(qvx::Rule::POOL_UNDERRUN,
                                "block %p (tag '%s', %zu bytes) was underrun", P,
                                qvx::TagText(tag).c_str(), size);
            break;
        }
    }
    for (size_t i = 0; i < qvx::GUARD_BYTES; ++i) {
        if (back[i] != qvx::GUARD_FILL) {
            qvx::VerifierReport(qvx::Rule::POOL_OVERRUN,
                                "block %p (tag '%s', %zu bytes) was overrun", P,
                                qvx::TagText(tag).c_str(), size);
            break;
        }
    }
    // Before poisoning: the check walks queues whose entries may lie inside the block.
    qvx::CheckFreedRange(P, size, "pool block");
    memset(P, qvx::FREED_FILL, size);
    guard.lock();
    PoolHeader*& slot = state->Quarantine[state->QuarantineNext];
    free(slot);
    slot = header;
    state->QuarantineNext = (state->QuarantineNext + 1) % qvx::Machine::State::QuarantineSize;
}

} // extern "C"
