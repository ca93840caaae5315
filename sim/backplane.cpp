#include "sim/backplane.h"

#include <cstring>

#include "sim/card_state_file.h"

x3_card_t& backplane_t::insert_card(int slot) {
  return insert(slot, blank_card_state());
}

x3_card_t& backplane_t::insert_card(int slot, const std::string& state_path) {
  return insert(slot, map_card_state(state_path));
}

x3_card_t& backplane_t::insert(int slot, std::shared_ptr<x3_card_state> state) {
  std::lock_guard<std::mutex> hold(lock_);
  slot_t& s = slots_.at(slot);
  s.card = std::make_unique<x3_card_t>(state.get(), slot);
  s.state = std::move(state);
  return *s.card;
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
