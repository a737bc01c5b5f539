// ctest-labels: control
// The non-paged pool is bounded, and a quota charge with POOL_QUOTA_FAIL_INSTEAD_OF_RAISE
// fails by returning NULL.

#include "support/machine_fixture.h"

#include <gtest/gtest.h>

namespace qvx {
namespace {

using PoolBoundTest = SimMachineTest;

constexpr ULONG TAG = 0x74736574; // "test"

// A request larger than the pool, or than what is left of it, fails cleanly; paged pool is
// not charged against the bound.
TEST_F(PoolBoundTest, NonPagedRequestsBeyondThePoolFail)
{
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 0xFFFFFFFFu, TAG), nullptr);
    EXPECT_EQ(ExAllocatePoolWithQuotaTag(
                  static_cast<POOL_TYPE>(NonPagedPool | POOL_QUOTA_FAIL_INSTEAD_OF_RAISE),
                  0xFFFFFFFFu, TAG),
              nullptr);
    // A size that wraps once the header and guards are added (a ULONG does at 32 bits).
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, ~SIZE_T{0} - 8, TAG), nullptr);
    PVOID big = ExAllocatePoolWithTag(NonPagedPool, 200u * 1024 * 1024, TAG);
    ASSERT_NE(big, nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 100u * 1024 * 1024, TAG), nullptr);
    PVOID paged = ExAllocatePoolWithTag(PagedPool, 64u * 1024 * 1024, TAG);
    EXPECT_NE(paged, nullptr);
    ExFreePoolWithTag(big, TAG);
    ExFreePoolWithTag(paged, TAG);
    PVOID again = ExAllocatePoolWithTag(NonPagedPool, 64u * 1024 * 1024, TAG);
    EXPECT_NE(again, nullptr);
    ExFreePoolWithTag(again, TAG);
}

// Without the flag a refused charge is an exception nothing could catch: the verifier says so.
TEST_F(PoolBoundTest, QuotaChargeWithoutTheFlagIsReportedWhenRefused)
{
    EXPECT_EQ(ExAllocatePoolWithQuotaTag(NonPagedPool, 0xFFFFFFFFu, TAG), nullptr);
    EXPECT_TRUE(ExpectViolation(Rule::QUOTA_ALLOCATION_RAISED));
}

} // namespace
} // namespace qvx
