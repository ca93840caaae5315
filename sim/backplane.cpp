#include "sim/backplane.h"

#include <cstring>

x3_card_t& backplane_t::insert_card(int slot) {
  std::lock_guard<std::mutex> hold(lock_);
  slot_t& s = slots_.at(slot);
  s.state = std::make_unique<x3_card_state>();
  memset(s.state->flash, 0xFF, sizeof s.state->flash);
  s.state->boot = {};
  s.card = std::make_unique<x3_card_t>(s.state.get());
  return *s.card;
}

void backplane_t::remove_card(int slot) {
  std::lock_guard<std::mutex> hold(lock_);
  slots_.at(slot) = {};
}

j5_scan_primitive_fn backplane_t::primitive() {
  return [this](int32_t slot, int32_t op, int32_t txlen, const uint8_t* txbuf, int32_t rxlen,
                uint8_t* rxbuf) -> int32_t {
    std::lock_guard<std::mutex> hold(lock_);
    x3_card_t* card = slots_.at(slot).card.get();
    if (!card) return -1;
    return card->command(op, txlen, txbuf, rxlen, rxbuf);
  };
}
