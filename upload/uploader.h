// The upload reader of the upgrade form: which line-card slots were ticked.
#ifndef UPLOAD_UPLOADER_H
#define UPLOAD_UPLOADER_H

#include <cstdint>

#include "upload/j5_uploader.h"

// Reads the upgrade form (check boxes slot0 to slot31, then the firmware
// file) and records which slots were ticked. A browser sends a part only for
// a ticked box, so the part's presence is the mark; its value is never
// looked at. After parse, selected[n] is 1 for each slot n named by a
// Content-Disposition line up to and including the file part's (a file
// named "slot12.s19" counts too), and 0 for every other slot; parts after
// the file are never read.
class uploader_t : public j5_uploader_t {
 public:
  static constexpr int SLOT_COUNT = 32;

  // Throws what j5_uploader_t throws for a bad content type.
  explicit uploader_t(const char* content_type);

  // Marks the slot named by the first `name="slot` in the line, read as a
  // decimal integer; numbers outside 0..SLOT_COUNT - 1 are ignored.
  void handle_disposition(const char* header_line) override;

  // Index: slot number. 0 = not selected, 1 = selected; never cleared.
  int32_t selected[SLOT_COUNT];
};

#endif
