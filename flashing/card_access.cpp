#include "flashing/card_access.h"

#include <cstdio>
#include <cstdlib>

void x3_command(uint8_t code, uint32_t address, uint8_t* out) {
  out[0] = code;
  out[1] = code;
  out[2] = address & 0xFF;
  out[3] = (address >> 8) & 0xFF;
  out[4] = (address >> 16) & 0xFF;
  out[5] = 0x00;
}

// No caller moves zero or fewer bytes; such a count fails without
// contacting the card rather than sending a malformed command.
int flash_read(j5_scan_client_t& client, int slot, int address, int count, uint8_t* buffer) {
  if (count <= 0) return -1;
  const int n = count <= X3_MAX_TRANSFER ? count : X3_MAX_TRANSFER;
  uint8_t command[X3_TRANSFER_SIZE];
  x3_command(X3_READ, address, command);
  command[6] = n & 0xFF;
  j5_scan_command_t c = {J5_SCAN_OP_CARD_COMMAND, slot, X3_TRANSFER_SIZE, n, command, buffer, 0};
  if (!client.execute(1, &c)) return -1;
  return c.rxcount == n ? 0 : -1;
}

int flash_write(j5_scan_client_t& client, int slot, int address, int count, const uint8_t* data) {
  if (count <= 0) return -1;
  const int n = count <= X3_MAX_TRANSFER ? count : X3_MAX_TRANSFER;
  uint8_t command[X3_TRANSFER_SIZE + X3_MAX_TRANSFER];
  x3_command(X3_WRITE, address, command);
  command[6] = n & 0xFF;
  for (int i = 0; i < n; i++) command[X3_TRANSFER_SIZE + i] = data[i];
  uint8_t reply[X3_MAX_TRANSFER];
  // The card answers with one byte, but the declared room is the count.
  j5_scan_command_t c = {J5_SCAN_OP_CARD_COMMAND, slot, X3_TRANSFER_SIZE + n, n, command, reply, 0};
  if (!client.execute(1, &c)) return -1;
  if (c.rxcount != 1) return -1;
  return reply[0] == X3_PASSED ? 0 : -1;
}

void print_addr(j5_scan_client_t& client, int slot, int address, int count) {
  uint8_t bytes[X3_MAX_TRANSFER];
  if (flash_read(client, slot, address, count, bytes) != 0) {
    puts("print_addr:error reading");
    exit(-1);
  }
  const int n = count <= X3_MAX_TRANSFER ? count : X3_MAX_TRANSFER;
  for (int i = 0; i < n; i++) {
    printf("%02X ", bytes[i]);
    if (i % 16 == 15) printf("\n");
  }
}
