#include "frontend/flash_x3.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "common/exception.h"
#include "flashing/flash_sequence.h"
#include "flashing/image_facts.h"
#include "flashing/s19_loader.h"
#include "flashing/upgrade_lock.h"
#include "history/upgrade_history.h"
#include "progress/upgrade_progress.h"
#include "signing/image_signature.h"
#include "scan/j5_scan_client.h"
#include "upload/uploader.h"

namespace {

const char SOURCE[] = "flash_x3";
const char SCAN_SERVICE_HOST[] = "localhost";

// The image of one flash bank, allocated once and kept until the process
// ends.
uint32_t* flash_image;

// This run in the switch's upgrade history, from the lock on; the page's
// outcome ends it.
std::optional<history_writer> run_history;
// And its progress, for the page and the fleet while it runs.
std::optional<progress_writer> run_progress;
// Why the run failed when the page says more than the outcome.
std::string failure_reason;

std::string environment(const char* name) {
  const char* value = getenv(name);
  return value ? value : "";
}

// A failure object's message as one line.
std::string message_line(const exception_t& e) {
  std::string message = e.message;
  while (!message.empty() && message.back() == '\n') message.pop_back();
  return message;
}

// The run's outcome line to its history and progress, once it got as far
// as the lock.
void end_run(const std::string& outcome, const std::string& reason = "") {
  if (run_history) run_history->end(outcome, reason);
  if (run_progress) run_progress->finish(outcome);
}

// The history's view of one slot's flashing: its result, and on the way
// out of a failure object also that.
int flash_recorded(j5_scan_client_t& client, size_t index, int slot) {
  const char* step = "";
  try {
    // Slot 0 holds no X3 card.
    require(slot != 0, SOURCE, 510, "slot");
    const auto before_step = [&](const char* next) {
      step = next;
      run_progress->step(index, next);
    };
    if (flash_card(client, slot, flash_image, before_step) != 0) {
      run_history->slot_done(failed(slot, step, last_failure_message()));
      return -1;
    }
  } catch (const exception_t& e) {
    run_history->slot_done(failed(slot, step, message_line(e)));
    throw;
  }
  run_history->slot_done(reflashed(slot, bank_base == BANK0_BASE ? 0 : 1,
                          image_above_64k ? int(bootval & 0xFF) : -1));
  return 0;
}

}  // namespace

int run_upgrade() {
  const char* s = getenv("CONTENT_TYPE");
  require(s != nullptr, SOURCE, 475, "s");
  j5_scan_client_t client(SCAN_SERVICE_HOST, J5_SCAN_ID_FLASH_X3);
  flash_image = static_cast<uint32_t*>(malloc(FLASH_IMAGE_WORDS * sizeof(uint32_t)));
  if (!flash_image) throw exception_t("malloc failed");
  memset(flash_image, 0xFF, FLASH_IMAGE_WORDS * sizeof(uint32_t));

  uploader_t uploader(s);
  uploader.parse(stdin);
  image_above_64k = 0;
  // With trusted keys on the switch the image has to be signed by one of
  // them: the signed bytes are hashed as the loader reads them.
  std::optional<signed_image_reader> signed_image;
  if (signatures_required()) signed_image.emplace();
  const int loaded = load_s19_image(flash_image, stdin, nullptr, signed_image ? &*signed_image : nullptr);
  if (loaded == S19_OUT_OF_RANGE) {
    // An image that does not fit a bank ends the program at once: the page
    // stops after this line, and the web server sees the exit status 255.
    printf("OutOfRange\n");
    exit(-1);
  }
  if (loaded != S19_LOADED) return 0;
  std::string signed_by;
  if (signed_image) {
    const signature_check check = check_against_trusted_keys(*signed_image);
    if (check.verdict != signature_verdict::good) {
      fprintf(stderr, "image signature: %s\n", check.detail.c_str());
      puts(refusal_line(check).c_str());
      return 0;
    }
    signed_by = key_id_text(check.id);
  }

  // Another upgrade of this switch may be under way; wait for it before
  // asking the scan service for anything.
  if (!take_upgrade_lock()) {
    fprintf(stderr, "cannot take the upgrade lock %s: %s\n", upgrade_lock_path(), strerror(errno));
    puts("lock failed.");
    return 0;
  }
  std::vector<int> slots;
  for (int slot = 0; slot < J5_SCAN_NUM_SLOTS; slot++)
    if (uploader.selected[slot]) slots.push_back(slot);
  run_history.emplace(SOURCE);
  run_progress.emplace(SOURCE);
  if (run_progress->keeping()) {
    run_progress->start(run_id(utc_now()), slots);
    on_step_units = [](uint32_t done, uint32_t total) { run_progress->units(done, total); };
  }
  if (run_history->keeping()) {
    run_history->begin({environment("REMOTE_USER"), environment("REMOTE_ADDR")}, describe_image(flash_image),
                       signed_by, slots);
  }
  if (!client.grab()) {
    puts("grab failed.");
    failure_reason = "grab failed.";
    return 0;
  }
  int count = 0;
  bool step_failed = false;
  for (size_t k = 0; k < slots.size() && !step_failed; k++) {
    count++;
    step_failed = flash_recorded(client, k, slots[k]) != 0;
  }
  if (!client.release()) {
    puts("release failed.");
    failure_reason = "release failed.";
    return 0;
  }
  return step_failed ? 0 : count;
}

// The page goes out with puts and fputs, the count through to_chars: a
// successful run never maps the C library's printf machinery, about
// 100 KiB of the CGI program's resident memory. The bytes are those of
// the printf formats they stand for.
void write_results_page() {
  puts("Content-type: text/html\n");
  puts("<html>");
  fputs("<head><link rel=\"stylesheet\" type=\"text/css\" href=\"/style.css\"></head>", stdout);
  puts("<body>");
  fputs("<div id=\"top\">", stdout);
  fputs("<h1>", stdout);
  fputs("<a href=\"/index.html\">Telvane Switch</a> : ", stdout);
  fputs("<a href=\"/cgi/web.cgi?upgrade_x3\">Upgrade X3 Firmware </a> : ", stdout);
  fputs("results", stdout);
  fputs("</h1>", stdout);
  fputs("<div id=\"center\">", stdout);
  fputs("<pre>", stdout);
  try {
    const int cards = run_upgrade();
    if (cards > 0) {
      // "The upgrade was successful. %d card%s re-flashed.<br> \n"
      char count[16];
      *std::to_chars(count, count + sizeof count - 1, cards).ptr = '\0';
      fputs("The upgrade was successful. ", stdout);
      fputs(count, stdout);
      fputs(cards == 1 ? " card" : " cards", stdout);
      fputs(" re-flashed.<br> \n", stdout);
      end_run(std::string("The upgrade was successful. ") + count + (cards == 1 ? " card" : " cards") +
              " re-flashed.");
    } else {
      fputs("The upgrade failed.<br>", stdout);
      end_run("The upgrade failed.", failure_reason);
    }
  } catch (const exception_t& e) {
    fputs("The upgrade failed.<br>", stdout);
    e.print();
    end_run("The upgrade failed.", message_line(e));
  }
  puts("</body>");
  puts("</html>");
}
