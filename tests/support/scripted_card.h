// The card of the scan client's unit tests: a real scan server on a free
// port of 127.0.0.1 whose card side records every command and answers
// through a function the test sets.
#ifndef TESTS_SUPPORT_SCRIPTED_CARD_H
#define TESTS_SUPPORT_SCRIPTED_CARD_H

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/loopback.h"

using bytes = std::vector<uint8_t>;

struct seen_command {
  int32_t slot, op, rxlen;
  bytes tx;
};

// The reported length and the bytes behind it (at most rxlen of them go out).
struct reply {
  int32_t count;
  bytes data;
};

class scripted_card {
 public:
  using answer_fn = std::function<reply(const seen_command&)>;

  // The one card of the test process; its service starts on first use.
  static scripted_card& get() {
    static scripted_card card;
    static const int32_t port = unused_loopback_port();
    static j5_scan_server_t& server = serve_in_background<j5_scan_server_t>(port, card.primitive());
    (void)server;
    card.port_ = port;
    return card;
  }
  // The card side of a scan server: records each command and answers it.
  j5_scan_primitive_fn primitive() {
    return [this](int32_t slot, int32_t op, int32_t txlen, const uint8_t* txbuf, int32_t rxlen,
                  uint8_t* rxbuf) {
      std::lock_guard<std::mutex> lock(mutex_);
      seen_.push_back({slot, op, rxlen, bytes(txbuf, txbuf + txlen)});
      const reply r = answer_(seen_.back());
      std::copy_n(r.data.begin(), std::min<size_t>(r.data.size(), rxlen), rxbuf);
      return r.count;
    };
  }
  int32_t port() const { return port_; }

  // Forgets the commands seen; answers every command with `f`.
  void reset(answer_fn f = [](const seen_command&) { return reply{0, {}}; }) {
    std::lock_guard<std::mutex> lock(mutex_);
    seen_.clear();
    answer_ = std::move(f);
  }
  // The same reply to every command of an op, length 0 to the other ops.
  void answer_by_op(std::map<int32_t, reply> replies) {
    std::lock_guard<std::mutex> lock(mutex_);
    answer_ = [replies](const seen_command& c) {
      auto it = replies.find(c.op);
      return it == replies.end() ? reply{0, {}} : it->second;
    };
  }
  std::vector<seen_command> seen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }

 private:
  std::mutex mutex_;
  std::vector<seen_command> seen_;
  answer_fn answer_ = [](const seen_command&) { return reply{0, {}}; };
  int32_t port_ = 0;
};

#endif
