// The verifier's record of violations, its reports, and the checks on spin-lock events.

#include "platform/verifier/verifier.h"
#include "platform/verifier/lock_order.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace qvx {

namespace {

std::atomic<Verifier*> g_verifier{nullptr};

const char* LockName(const void* lock)
{
    static thread_local char text[32];
    snprintf(text, sizeof(text), "%p", lock);
    return text;
}

} // namespace

Verifier::Verifier(bool abortOnViolation, bool verify)
    : abortOnViolation_(abortOnViolation), locks_(std::make_unique<LockOrder>())
{
    g_verifierOn.store(verify, std::memory_order_relaxed);
    g_verifier.store(this, std::memory_order_release);
}

Verifier::~Verifier()
{
    g_verifier.store(nullptr, std::memory_order_release);
    g_verifierOn.store(true, std::memory_order_relaxed);
}

Verifier* Verifier::Current()
{
    return g_verifier.load(std::memory_order_acquire);
}

void Verifier::Report(Rule rule, const std::string& message)
{
    if (abortOnViolation_) {
        fprintf(stderr, "VERIFIER VIOLATION: %s: %s\n", RuleName(rule), message.c_str());
        fflush(stderr);
        abort();
    }
    std::lock_guard<std::mutex> guard(mutex_);
    violations_.push_back({rule, message});
}

std::vector<Violation> Verifier::Violations() const
{
    std::lock_guard<std::mutex> guard(mutex_);
    return violations_;
}

size_t Verifier::ViolationCount() const
{
    std::lock_guard<std::mutex> guard(mutex_);
    return violations_.size();
}

void Verifier::ClearViolations()
{
    std::lock_guard<std::mutex> guard(mutex_);
    violations_.clear();
}

bool Verifier::HasViolation(Rule rule) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    for (const auto& violation : violations_) {
        if (violation.Rule == rule) {
            return true;
        }
    }
    return false;
}

bool Verifier::TakeViolation(Rule rule)
{
    std::lock_guard<std::mutex> guard(mutex_);
    for (auto it = violations_.begin(); it != violations_.end(); ++it) {
        if (it->Rule == rule) {
            violations_.erase(it);
            return true;
        }
    }
    return false;
}

void Verifier::SetAbortOnViolation(bool abort)
{
    abortOnViolation_ = abort;
}

void Verifier::SetCancelSpinLock(const KSPIN_LOCK* lock)
{
    cancelLock_.store(lock, std::memory_order_relaxed);
}

void Verifier::SetAddressDescriber(AddressDescriber describer)
{
    describer_ = std::move(describer);
}

void Verifier::NameSpinLock(const KSPIN_LOCK* lock, const std::string& name)
{
    locks_->Name(lock, name);
}

std::string Verifier::DescribeLock(const void* lock) const
{
    char text[160];
    const std::string name = locks_->NameOf(lock);
    if (!name.empty()) {
        snprintf(text, sizeof(text), "%s (%p)", name.c_str(), lock);
        return text;
    }
    if (lock == CancelSpinLock()) {
        snprintf(text, sizeof(text), "the cancel spin lock (%p)", lock);
        return text;
    }
    const std::string where = describer_ ? describer_(lock) : std::string();
    snprintf(text, sizeof(text), "lock %p%s%s", lock, where.empty() ? "" : " ", where.c_str());
    return text;
}

void VerifierReport(Rule rule, const char* format, ...)
{
    char message[512];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof(message), format, args);
    va_end(args);
    Verifier* verifier = Verifier::Current();
    if (verifier == nullptr) {
        fprintf(stderr, "VERIFIER VIOLATION: %s: %s\n", RuleName(rule), message);
        fflush(stderr);
        abort();
    }
    verifier->Report(rule, message);
}

void VerifierFatal(Rule rule, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    fprintf(stderr, "VERIFIER VIOLATION: %s: ", RuleName(rule));
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
    fflush(stderr);
    abort();
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

// ---- Spin locks --------------------------------------------------------------------------------

bool OnLockTaking(PKSPIN_LOCK lock, ULONG_PTR owner, ULONG_PTR self, HeldLocks held,
                  const char* routine)
{
    if (owner == self) {
        VerifierReport(Rule::SPINLOCK_RECURSION, "%s: lock %s is already held by this processor",
                       routine, LockName(lock));
        return false;
    }
    const Verifier* verifier = Verifier::Current();
    const KSPIN_LOCK* cancel = verifier != nullptr ? verifier->CancelSpinLock() : nullptr;
    if (cancel != nullptr) {
        bool holdsCancel = false;
        for (int i = 0; i < held.Count && !holdsCancel; ++i) {
            holdsCancel = held.Locks[i] == cancel;
        }
        const bool isCancel = lock == cancel;
        if ((isCancel && held.Count > 0) || (!isCancel && holdsCancel)) {
            VerifierReport(Rule::CANCEL_LOCK_WITH_OTHER_LOCK,
                           "%s: lock %s taken while the cancel spin lock and another lock would "
                           "be held together",
                           routine, LockName(lock));
        }
    }
    return true;
}

void OnLockDeadlock(PKSPIN_LOCK lock, const char* routine)
{
    VerifierReport(Rule::SPINLOCK_DEADLOCK,
                   "%s: lock %s is held by another owner on a uniprocessor", routine,
                   LockName(lock));
}

void OnLockTaken(PKSPIN_LOCK lock, HeldLocks held, const char* routine)
{
    Verifier* verifier = Verifier::Current();
    if (verifier != nullptr) {
        verifier->Locks().Record(*verifier, lock, held, routine);
    }
}

bool OnLockReleasing(PKSPIN_LOCK lock, ULONG_PTR owner, ULONG_PTR self, const char* routine)
{
    if (owner == 0) {
        VerifierReport(Rule::SPINLOCK_NOT_HELD, "%s: lock %s is not held", routine, LockName(lock));
        return false;
    }
    if (owner != self) {
        VerifierReport(Rule::SPINLOCK_NOT_OWNER, "%s: lock %s is held by another processor",
                       routine, LockName(lock));
        return false;
    }
    return true;
}

void OnIrqlLowered(KIRQL irql, HeldLocks held, const char* routine)
{
    if (irql < DISPATCH_LEVEL && held.Count > 0) {
        VerifierReport(Rule::IRQL_LOWERED_WITH_SPINLOCK_HELD, "%s to IRQL %d holding lock %p",
                       routine, irql, static_cast<void*>(held.Last()));
    }
}

void OnMemoryFreed(const void* lo, const void* hi)
{
    Verifier* verifier = Verifier::Current();
    if (verifier != nullptr && VerifierOn()) {
        verifier->Locks().Forget(static_cast<const char*>(lo), static_cast<const char*>(hi));
    }
}

} // namespace qvx
