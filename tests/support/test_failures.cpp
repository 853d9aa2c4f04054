// Linked into the test programs: a trouble of the harness itself fails the running test.
#include <gtest/gtest.h>

#include "harness.h"

namespace {

void to_test_failure(const std::string& what) {
  ADD_FAILURE() << what;
}

const bool kHooked = (e2e::set_failure_hook(to_test_failure), true);

}  // namespace
