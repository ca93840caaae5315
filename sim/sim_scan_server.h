// The scan server as scan_sim runs it: the switch's own server, guarded
// against clients that would keep the service from everyone else.
//
// The service serves one connection at a time, and neither end of the
// protocol has a timeout of its own; on a development machine, with tests
// and tools killed at odd moments, two kinds of client would otherwise
// hold it:
//   - one that stops sending in the middle of its request (a connection
//     idle for the idle time is dropped, unanswered);
//   - one killed while its grab waited in the listen queue: a scan client
//     never stops sending before it has read its replies, so a request
//     whose client has already closed its end belongs to nobody. Such a
//     request that holds a grab is dropped unserved (the grab would hold
//     the service for a process that no longer exists); any other, a
//     release say, is served.
#ifndef SIM_SIM_SCAN_SERVER_H
#define SIM_SIM_SCAN_SERVER_H

#include "scan/j5_scan_server.h"

class sim_scan_server_t : public j5_scan_server_t {
 public:
  static const int DEFAULT_IDLE_SECONDS = 5;

  sim_scan_server_t(j5_scan_primitive_fn primitive, int idle_seconds);
  void handle(int32_t fd) override;

 private:
  int idle_seconds_;
};

#endif
