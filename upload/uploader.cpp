#include "upload/uploader.h"

#include <cstdlib>
#include <cstring>

namespace {

const char SLOT_NAME[] = "name=\"slot";

}  // namespace

uploader_t::uploader_t(const char* content_type) : j5_uploader_t(content_type), selected{} {}

void uploader_t::handle_disposition(const char* header_line) {
  const char* found = std::strstr(header_line, SLOT_NAME);
  if (found == nullptr) return;

  // The number is read as scanf's %d reads it: leading blanks, an optional
  // sign, decimal digits. strtol accepts exactly that form and, unlike
  // sscanf, defines what a number too large for an int gives: a value far
  // outside the slot range. Whatever follows the digits is not examined.
  const char* digits = found + std::strlen(SLOT_NAME);
  char* after_digits = nullptr;
  const long slot = std::strtol(digits, &after_digits, 10);
  if (after_digits == digits) return;
  if (slot >= 0 && slot < SLOT_COUNT) selected[slot] = 1;
}
