// Test helpers for Vorn_Serial: a real scan server on loopback whose card
// side records every command and answers through a function the test sets.
#ifndef SERIAL_SCRIPTED_CARD_TEST_SUPPORT_H
#define SERIAL_SCRIPTED_CARD_TEST_SUPPORT_H

#include <gtest/gtest.h>
#include <netinet/tcp.h>

#include <algorithm>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/thrown.h"
#include "tests/support/loopback.h"
#include "serial/vorn_serial.h"

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

// Serves `server` on a free port of 127.0.0.1 from a thread of its own,
// one connection at a time, like the service's accept loop. The thread is
// stopped and joined when the object goes, so that a leak check at the
// end of the test process sees nothing of it.
class loopback_service {
 public:
  explicit loopback_service(j5_scan_server_t& server) : listener_(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        listen(listener_, 8) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
      perror("loopback_service");
      _exit(1);
    }
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this, &server] {
      for (int c; (c = accept(listener_, nullptr, nullptr)) >= 0; close(c)) {
        const int one = 1;
        setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        try {
          server.handle(c);
        } catch (const exception_t& e) {
          e.print();
        }
      }
    });
  }
  ~loopback_service() {
    shutdown(listener_, SHUT_RDWR);  // ends the accept
    thread_.join();
    close(listener_);
  }
  int32_t port() const { return port_; }

 private:
  int listener_;
  int32_t port_ = 0;
  std::thread thread_;
};

class scripted_card {
 public:
  using answer_fn = std::function<reply(const seen_command&)>;

  // The one card of the test process; its service starts on first use.
  static scripted_card& get() {
    static scripted_card card;
    static j5_scan_server_t server([](int32_t slot, int32_t op, int32_t txlen, const uint8_t* txbuf,
                                      int32_t rxlen, uint8_t* rxbuf) {
      std::lock_guard<std::mutex> lock(card.mutex_);
      card.seen_.push_back({slot, op, rxlen, bytes(txbuf, txbuf + txlen)});
      const reply r = card.answer_(card.seen_.back());
      std::copy_n(r.data.begin(), std::min<size_t>(r.data.size(), rxlen), rxbuf);
      return r.count;
    });
    static loopback_service service(server);
    card.port_ = service.port();
    return card;
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

// A Vorn_Serial for the scripted card, or for `server_port`.
class test_vorn_serial : public Vorn_Serial {
 public:
  explicit test_vorn_serial(int slot = 5, int32_t server_port = scripted_card::get().port())
      : Vorn_Serial("127.0.0.1", 6, slot) {
    port = server_port;
  }
};

// What `action` printed, and the text it threw.
struct outcome {
  std::string printed, thrown;
};
inline outcome run_capturing(const std::function<void()>& action) {
  testing::internal::CaptureStdout();
  std::string thrown = thrown_message(action);
  return {testing::internal::GetCapturedStdout(), thrown};
}

const char* const kNothing = "(nothing thrown)";

#endif
