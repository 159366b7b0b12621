#include "base/outcome.h"

#include <gtest/gtest.h>

#include <memory>
#include <type_traits>

namespace zunel {
namespace {

struct CodedError {
  std::string text;
  int code = 0;
};

TEST(Outcome, AValueOrAnErrorText) {
  Outcome<std::unique_ptr<int>> held = std::make_unique<int>(7);
  ASSERT_TRUE(held);
  const std::unique_ptr<int> taken = std::move(held).value();
  EXPECT_EQ(*taken, 7);

  const Outcome<int> failed = fail("sin papel");
  EXPECT_FALSE(failed.ok());
  static_assert(std::is_same_v<decltype(failed.error()), const std::string&>);
  EXPECT_EQ(failed.error(), "sin papel");
}

TEST(Outcome, AnErrorOfItsOwnType) {
  const Outcome<std::string, CodedError> failed = CodedError{"acceso denegado", 5};
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().text, "acceso denegado");
  EXPECT_EQ(failed.error().code, 5);

  const Outcome<std::string, CodedError> done = std::string("listo");
  ASSERT_TRUE(done.ok());
  EXPECT_EQ(*done, "listo");
}

TEST(Outcome, VoidIsSuccessOrAnError) {
  EXPECT_TRUE(Status().ok());
  const Status failed = fail("sin permiso");
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error(), "sin permiso");

  EXPECT_TRUE((Outcome<void, CodedError>().ok()));
  const Outcome<void, CodedError> busy = CodedError{"ocupado", 16};
  ASSERT_FALSE(busy.ok());
  EXPECT_EQ(busy.error().code, 16);
}

}  // namespace
}  // namespace zunel
