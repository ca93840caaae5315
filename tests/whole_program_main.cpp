// The main of the whole-program tests: each test process runs in a network
// namespace of its own, then GoogleTest runs its tests.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/own_network.h"

int main(int argc, char** argv) {
#if X3_OWN_NETWORK
  std::string why;
  if (!enter_own_network(&why)) {
    fprintf(stderr, "no network namespace of its own for this test: %s\n", why.c_str());
    return 1;
  }
#endif
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
