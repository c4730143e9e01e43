// An I/O error travels into a module failure without a conversion at the call, with context
// added where it is passed on.
#include "base/failure.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "base/propagate.hpp"
#include "posix/io_error.hpp"

namespace fendral {
namespace {

posix::IoResult<int> io_outcome(int error_code) {
  if (error_code != 0) return posix::errno_error(error_code);
  return 5;
}

Result<int> doubled(int error_code) {
  FENDRAL_TRY(const int value, io_outcome(error_code));
  return value * 2;
}

TEST(Failure, IoErrorPassedOnIsOsErrorOfItsKindAndText) {
  const Result<int> outcome = doubled(ENOENT);
  ASSERT_FALSE(outcome);
  EXPECT_EQ(outcome.error().exception_class, ExceptionClass::OSError);
  EXPECT_EQ(outcome.error().io_kind, ErrorKind::NotFound);
  EXPECT_EQ(outcome.error().message, posix::system_error_text(ENOENT));
  EXPECT_EQ(*doubled(0), 10);
}

TEST(Failure, ContextMakesRuntimeErrorOfIoErrorOrMessage) {
  const Result<int> io = io_outcome(EACCES).transform_error(as_runtime_error("Failed to read x: "));
  ASSERT_FALSE(io);
  EXPECT_EQ(io.error().exception_class, ExceptionClass::RuntimeError);
  EXPECT_EQ(io.error().message, "Failed to read x: " + posix::system_error_text(EACCES));

  const expected<int, std::string> parsed = unexpected(std::string("bad box"));
  const Result<int> described = parsed.transform_error(as_runtime_error("Failed to read y: "));
  ASSERT_FALSE(described);
  EXPECT_EQ(described.error().message, "Failed to read y: bad box");

  const Result<void> kept = posix::IoResult<void>().transform_error(as_runtime_error("unused"));
  EXPECT_TRUE(kept);
  EXPECT_EQ(*io_outcome(0).transform_error(as_runtime_error("unused")), 5);
}

}  // namespace
}  // namespace fendral
