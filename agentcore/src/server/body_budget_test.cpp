#include "server/body_budget.h"

#include <gtest/gtest.h>

namespace zunel {
namespace {

TEST(BodyBudget, ADeclaredLengthIsChargedWholeAndRefusedWhenTheBudgetCannotTakeIt) {
  BodyBudget budget(100);
  BodyCharge first(budget);
  BodyCharge second(budget);
  ASSERT_TRUE(first.begin(80, 60));
  EXPECT_EQ(first.charged(), 60u);
  EXPECT_FALSE(second.begin(80, 41)) << "60 + 41 is over the budget";
  EXPECT_EQ(second.charged(), 0u);
  EXPECT_TRUE(second.begin(80, 40));
  first.release();
  EXPECT_TRUE(BodyCharge(budget).begin(80, 60)) << "a released charge is room again";
}

TEST(BodyBudget, AChunkedBodyIsChargedInDoublingStepsNeverPastItsBound) {
  BodyBudget budget(1000);
  BodyCharge charge(budget);
  ASSERT_TRUE(charge.begin(100, std::nullopt));
  EXPECT_EQ(charge.charged(), 0u);
  const struct {
    std::size_t chunk;
    std::size_t charged;
  } rows[] = {
      {10, 10},   // the first chunk as it is
      {5, 20},    // 15 received: twice the charge
      {5, 20},    // 20 received: within the charge
      {30, 50},   // 50 received: more than twice the charge
      {45, 100},  // 95 received: twice would pass the bound
  };
  for (const auto& row : rows) {
    ASSERT_TRUE(charge.add_chunk(row.chunk));
    EXPECT_EQ(charge.charged(), row.charged) << "after a chunk of " << row.chunk;
  }
}

TEST(BodyBudget, AChunkTheBudgetCannotTakeChargesNothingMore) {
  BodyBudget budget(30);
  BodyCharge other(budget);
  ASSERT_TRUE(other.begin(100, 10));
  BodyCharge charge(budget);
  ASSERT_TRUE(charge.begin(100, std::nullopt));
  ASSERT_TRUE(charge.add_chunk(12));
  EXPECT_FALSE(charge.add_chunk(1)) << "the step to 24 does not fit beside the other 10";
  EXPECT_EQ(charge.charged(), 12u);
}

TEST(BodyBudget, ABurstHasPassedOnceItsBytesWereChargedAndNoneIsLeft) {
  BodyBudget budget(1000);
  {
    BodyCharge charge(budget);
    ASSERT_TRUE(charge.begin(500, 300));
    EXPECT_FALSE(budget.burst_passed(200)) << "still charged";
  }
  EXPECT_FALSE(budget.burst_passed(400)) << "not that many";
  EXPECT_TRUE(budget.burst_passed(200));
  EXPECT_FALSE(budget.burst_passed(200)) << "counted again from then";
}

}  // namespace
}  // namespace zunel
