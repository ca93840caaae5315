// The main of the whole-program tests: each test process runs in a network
// namespace of its own, then GoogleTest runs its tests.
#include <gtest/gtest.h>

#include "tests/support/own_network.h"

int main(int argc, char** argv) {
#if X3_OWN_NETWORK
  if (!enter_own_network_or_say(argv[0])) return 1;
#endif
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
