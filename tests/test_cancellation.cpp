#include <kovra_utils/cancellation.hpp>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>

namespace {

using kovra_utils::CancellationCheck;
using kovra_utils::check_cancellation;

TEST(Cancellation, ChecksOnlyWhileInstalledAndNests) {
  std::string calls;
  check_cancellation();  // nothing installed: nothing happens
  {
    const CancellationCheck outer([&] { calls += 'o'; });
    check_cancellation();
    {
      const CancellationCheck inner([&] { calls += 'i'; });
      check_cancellation();
    }
    check_cancellation();
  }
  check_cancellation();
  EXPECT_EQ(calls, "oio");
}

TEST(Cancellation, TheCheckThrowsThroughAndIsPerThread) {
  const CancellationCheck stop([] { throw std::runtime_error("stopped"); });
  EXPECT_THROW(check_cancellation(), std::runtime_error);
  bool other_thread_stopped = false;
  std::thread([&] {
    try {
      check_cancellation();
    } catch (...) {
      other_thread_stopped = true;
    }
  }).join();
  EXPECT_FALSE(other_thread_stopped);
}

}  // namespace
