#include <gtest/gtest.h>

#include <new>

#include "core/alloc.h"

namespace tarnix {
namespace {

// The sanitizers intercept impossible requests themselves and abort with a
// report of its own, so the handler is only observable without it.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)

TEST(AllocDeathTest, FailureReportsAndExitsWithMinusOne) {
  EXPECT_EXIT(
      {
        install_alloc_failure_handler();
        // An impossible request makes operator new call the handler.
        volatile std::size_t huge = static_cast<std::size_t>(-1) / 2;
        char* p = new char[huge];
        p[0] = 1;
      },
      ::testing::ExitedWithCode(255), "ERROR: Could not allocate memory\n");
}

TEST(AllocDeathTest, XmallocFailureEndsTheSameWay) {
  EXPECT_EXIT(
      {
        volatile std::size_t huge = static_cast<std::size_t>(-1) / 2;
        void* p = xmalloc(huge);
        static_cast<char*>(p)[0] = 1;
      },
      ::testing::ExitedWithCode(255), "ERROR: Could not allocate memory\n");
}

#endif

}  // namespace
}  // namespace tarnix
