// prog_x3flash: re-flashes one X3 line card from the command line, the
// same way the upgrade form does: the same loader, the same seven steps,
// one upgrade of the switch at a time, holding the scan service for the
// run and giving it back when interrupted.
//
//   prog_x3flash IP_address_or_name slot_number s19_file
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <unistd.h>
#include <chrono>
#include <optional>
#include <string>

#include "common/exception.h"
#include "flashing/flash_sequence.h"
#include "flashing/image_facts.h"
#include "flashing/s19_loader.h"
#include "flashing/upgrade_lock.h"
#include "frontend/flash_x3.h"
#include "history/upgrade_history.h"
#include "progress/upgrade_progress.h"
#include "scan/j5_scan_client.h"
#include "signing/image_signature.h"
#include "tools/operator_stop.h"
#include "tools/progress_line.h"

namespace {

const char HELP[] =
    "Re-flashes the X3 line card in one slot from a Motorola S-record file\n"
    "through the scan service (TCP port 1971) of the switch at\n"
    "IP_address_or_name: takes the card's flash, programs the bank with the\n"
    "older generation, verifies it, writes its new generation and restarts\n"
    "the card. Progress goes to standard error, the outcome to standard\n"
    "output. Exit status 0 when the card was re-flashed, 1 otherwise.\n"
    "\n"
    "Upgrades on this machine run one at a time: a second one waits for the\n"
    "first (lock file $%s, default %s).\n"
    "Ctrl-C, SIGTERM or SIGHUP stop the run after the current scan request\n"
    "and give the scan service back; a card not finished keeps starting its\n"
    "previous firmware until its new generation byte is written.\n"
    "\n"
    "When this machine has trusted keys (file $%s, default %s),\n"
    "the image must carry a signature by one of them (x3image sign).\n";

bool parse_slot(const char* text, int* slot) {
  char* end = nullptr;
  const long value = strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < 1 || value >= J5_SCAN_NUM_SLOTS) return false;
  *slot = static_cast<int>(value);
  return true;
}

// Who runs the tool: the login name as the shell has it, else the
// terminal's, else the account.
std::string login_name() {
  for (const char* variable : {"LOGNAME", "USER"}) {
    const char* name = getenv(variable);
    if (name && *name) return name;
  }
  if (const char* name = getlogin()) return name;
  if (const passwd* account = getpwuid(getuid())) return account->pw_name;
  return "uid " + std::to_string(getuid());
}

// Where standard error is a terminal, the step under way as one line
// redrawn in place (tools/progress_line.h), written straight to the
// terminal; standard error itself then goes through write_below_line, so
// that a step's failure message, or any other, starts on a line of its own.
progress_line terminal_line;

void to_terminal(const std::string& bytes) {
  for (size_t at = 0; at < bytes.size();) {
    const ssize_t n = write(STDERR_FILENO, bytes.data() + at, bytes.size() - at);
    if (n <= 0 && errno != EINTR) return;
    if (n > 0) at += size_t(n);
  }
}

ssize_t write_below_line(void*, const char* data, size_t size) {
  to_terminal(end_line(terminal_line) + std::string(data, size));
  return ssize_t(size);
}

double clock_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void show_on_terminal(const std::string& text) {
  to_terminal(show_progress(terminal_line, text, clock_seconds()));
}

// Says `line` on standard output and ends the run's history with it.
int finish(history_writer& history, int status, const char* format, ...) __attribute__((format(printf, 3, 4)));
int finish(history_writer& history, int status, const char* format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  fputs(line, stdout);
  std::string outcome = line;
  if (!outcome.empty() && outcome.back() == '\n') outcome.pop_back();
  history.end(outcome);
  return status;
}

int upgrade(const char* host, int slot, const char* path) {
  FILE* file = fopen(path, "r");
  if (!file) {
    fprintf(stderr, "prog_x3flash: cannot open %s: %s\n", path, strerror(errno));
    return 1;
  }
  // The image of one 512 KiB bank, one word per byte (0xFFFFFFFF: no data).
  static uint32_t image[FLASH_IMAGE_WORDS];
  memset(image, 0xFF, sizeof image);
  image_above_64k = 0;
  fprintf(stderr, "prog_x3flash: loading %s\n", path);
  uint32_t beyond = 0;
  std::optional<signed_image_reader> signed_image;
  std::string signed_by;
  if (signatures_required()) signed_image.emplace();
  const int loaded = load_s19_image(image, file, &beyond, signed_image ? &*signed_image : nullptr);
  fclose(file);
  if (loaded == S19_OUT_OF_RANGE) {
    printf("prog_x3flash: %s is too large for the bank: it has a byte at 0x%X, and a bank "
           "holds 0x00000-0x%05X\n",
           path, beyond, FLASH_IMAGE_WORDS - 1);
    return 1;
  }
  if (loaded != S19_LOADED) {
    printf("prog_x3flash: %s is not a usable image\n", path);
    return 1;
  }
  // The switch's trusted keys, as for the upgrade page.
  if (signed_image) {
    const signature_check check = check_against_trusted_keys(*signed_image);
    if (check.verdict != signature_verdict::good) {
      fprintf(stderr, "prog_x3flash: %s\nprog_x3flash: image signature: %s\n", refusal_line(check).c_str(),
              check.detail.c_str());
      return 1;
    }
    signed_by = key_id_text(check.id);
  }

  // One upgrade of the switch at a time; the wait holds nothing, and an
  // interruption during it simply ends the tool.
  const bool locked = take_upgrade_lock(
      [] { fprintf(stderr, "prog_x3flash: waiting for the upgrade under way to end\n"); });
  if (!locked) {
    printf("prog_x3flash: cannot take the upgrade lock %s: %s\n", upgrade_lock_path(),
           strerror(errno));
    return 1;
  }

  history_writer history("prog_x3flash");
  if (history.keeping()) history.begin({login_name(), ""}, describe_image(image), signed_by, {slot});

  const bool on_terminal = isatty(STDERR_FILENO);
  if (on_terminal) {
    if (FILE* below = fopencookie(nullptr, "w", {nullptr, write_below_line, nullptr, nullptr})) {
      setvbuf(below, nullptr, _IONBF, 0);
      stderr = below;
    }
  }
  // From here on a signal stops the run between two scan requests.
  stop_on_signals();
  j5_scan_client_t client(host, J5_SCAN_ID_PROG_X3FLASH);
  client.stop_when(&stop_signal);
  // The step under way; none until the service is held.
  const char* step = nullptr;
  int result;
  try {
    fprintf(stderr, "prog_x3flash: taking the scan service at %s\n", host);
    if (!client.grab()) {
      return finish(history, 1, "prog_x3flash: cannot take the scan service at %s (not reachable, or in use)\n",
                    host);
    }
    if (on_terminal) {
      on_step_units = [&](uint32_t done, uint32_t total) {
        show_on_terminal(progress_text(slot, step, done, total, unit_of(step)));
      };
    }
    result = flash_card(client, slot, image, [&](const char* next) {
      if (on_terminal) {
        to_terminal(end_line(terminal_line));
        show_on_terminal(progress_text(slot, next, 0, 0, nullptr));
      } else {
        fprintf(stderr, "%s\n", progress_text(slot, next, 0, 0, nullptr).c_str());
      }
      step = next;
    });
    to_terminal(end_line(terminal_line));
  } catch (const scan_stopped_t&) {
    if (!step) {
      fprintf(stderr, "prog_x3flash: stopped by %s before taking the scan service\n",
              stop_signal_name());
      history.end("prog_x3flash: stopped by " + std::string(stop_signal_name()) +
                  " before taking the scan service");
      return 1;
    }
    const bool released = client.release();
    fprintf(stderr, "prog_x3flash: stopped by %s in %s, slot %d not finished; the scan service %s\n",
            stop_signal_name(), step, slot, released ? "was released" : "was not released");
    history.slot_done(failed(slot, step, "stopped by " + std::string(stop_signal_name())));
    history.end("prog_x3flash: stopped by " + std::string(stop_signal_name()) + " in " + step);
    return 1;
  } catch (const exception_t& e) {
    to_terminal(end_line(terminal_line));
    history.slot_done(failed(slot, step ? step : "", e.message));
    history.end(std::string("prog_x3flash: ") + e.message);
    throw;
  }
  const bool released = client.release();
  if (result != 0) {
    history.slot_done(failed(slot, step, last_failure_message()));
    return finish(history, 1, "prog_x3flash: slot %d was not re-flashed: %s failed\n", slot, step);
  }
  history.slot_done(reflashed(slot, bank_base == BANK0_BASE ? 0 : 1,
                     image_above_64k ? int(bootval & 0xFF) : -1));
  if (!released) {
    printf("prog_x3flash: slot %d re-flashed: bank %d (0x%05X), generation %u\n", slot,
           bank_base == BANK0_BASE ? 0 : 1, bank_base, bootval);
    return finish(history, 1, "prog_x3flash: the scan service was not released\n");
  }
  return finish(history, 0, "prog_x3flash: slot %d re-flashed: bank %d (0x%05X), generation %u\n", slot,
                bank_base == BANK0_BASE ? 0 : 1, bank_base, bootval);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    printf("usage: prog_x3flash IP_address_or_name slot_number s19_file\n\n");
    printf(HELP, UPGRADE_LOCK_VARIABLE, UPGRADE_LOCK_DEFAULT, TRUSTED_KEYS_VARIABLE, TRUSTED_KEYS_DEFAULT);
    return 0;
  }
  if (argc != 4) {
    print_prog_x3flash_usage();
    return 1;
  }
  int slot = 0;
  if (!parse_slot(argv[2], &slot)) {
    fprintf(stderr, "prog_x3flash: slot_number must be 1 to 31 (slot 0 holds no X3 card), not '%s'\n",
            argv[2]);
    return 1;
  }
  try {
    return upgrade(argv[1], slot, argv[3]);
  } catch (const exception_t& e) {
    printf("prog_x3flash: %s\n", e.message);
    return 1;
  }
}
