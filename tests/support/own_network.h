// Puts the calling process into a network namespace of its own, with only
// the loopback interface, brought up. The whole-program tests listen on the
// scan service's fixed port 1971 (and a web port); in a namespace of their
// own, two test processes (ctest's parallel jobs, another checkout's suite,
// a scan service running for real) never meet on a port.
#ifndef TESTS_SUPPORT_OWN_NETWORK_H
#define TESTS_SUPPORT_OWN_NETWORK_H

// Enters the namespace: as root a new network namespace alone; otherwise a
// user namespace too, which grants the right to make one. Call it before
// any thread starts. Where this system allows neither, says why on
// standard error as `program` and returns false; the network is unchanged.
bool enter_own_network_or_say(const char* program);

#endif
