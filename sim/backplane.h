// The simulated backplane: 32 slots, each empty or holding an X3 card
// model, standing in for the scan hardware behind the scan service.
#ifndef SIM_BACKPLANE_H
#define SIM_BACKPLANE_H

#include <array>
#include <memory>
#include <mutex>
#include <string>

#include "scan/j5_scan_server.h"
#include "sim/x3_card.h"

// The scan primitive it offers may run on the server's thread while a test
// inspects the cards: both sides go through the backplane's lock.
class backplane_t {
 public:
  // A blank card (all flash 0xFF) whose state lives in memory.
  x3_card_t& insert_card(int slot);
  // A card whose state lives in the file at `state_path` (created blank
  // when missing), so that it survives the process.
  x3_card_t& insert_card(int slot, const std::string& state_path);

  // Calls `inspect` with the card in `slot` while no command runs.
  template <typename F>
  void with_card(int slot, F inspect) {
    std::lock_guard<std::mutex> hold(lock_);
    inspect(*slots_.at(slot).card);
  }

  // Commands to an empty slot answer -1.
  j5_scan_primitive_fn primitive();

 private:
  x3_card_t& insert(int slot, std::shared_ptr<x3_card_state> state);

  struct slot_t {
    std::shared_ptr<x3_card_state> state;
    std::unique_ptr<x3_card_t> card;
  };
  std::mutex lock_;
  std::array<slot_t, J5_SCAN_NUM_SLOTS> slots_;
};

#endif
