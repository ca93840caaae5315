
// Measures one full-image upgrade of one X3 card model behind the real scan
// server on loopback, against a floor: the same number of bare
// connect / 1-byte exchange / close round trips in the same run. The
// upgrade runs several ways per run, taking turns: without trusted keys
// or history; with a trusted-keys file whose key signed the image; with an
// upgrade history (X3_HISTORY); with a progress file (X3_PROGRESS); and,
// when BASELINE names it, an earlier build's flash_x3 without any. All send the same signed image, which
// the loader reads the same way without keys, so what separates them is
// the signature's check, the history's records or the progress file. Also reports the peak
// resident memory of flash_x3 next to that of an empty program built the
// same way, both measured in every run: which pages of the shared C
// library a process maps varies from run to run (address layout, page
// cache), so medians of both are compared.
//
//   upgrade_bench PEAK_RSS FLASH_X3 EMPTY_PROGRAM [RUNS [BASELINE]]
//
// Binds 127.0.0.1:1971 (the port flash_x3 uses) for the upgrades.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/signed_image.h"
#include "history/upgrade_history.h"
#include "progress/upgrade_progress.h"
#include "scan/j5_scan_server.h"
#include "signing/image_signature.h"
#include "tests/support/loopback.h"
#include "sim/backplane.h"
#include "tests/support/firmware.h"

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start) {
  return std::chrono::duration<double>(clock_type::now() - start).count();
}

// The scan service, counting the requests it serves.
class counting_service_t : public j5_scan_server_t {
 public:
  explicit counting_service_t(j5_scan_primitive_fn primitive) : j5_scan_server_t(primitive) {}
  void handle(int32_t fd) override {
    requests++;
    j5_scan_server_t::handle(fd);
  }
  std::atomic<long> requests{0};
};

// The floor's server: one byte in, one byte out.
class echo_server_t : public qb_server_t {
 public:
  void handle(int32_t fd) override {
    char byte;
    if (read_all(fd, &byte, 1)) write_all(fd, &byte, 1);
  }
};

struct run_result {
  double seconds;
  double cpu_seconds;  // user and system, peak_rss's own (little) included
  long peak_rss_kib;
  int status;
};

double cpu_seconds(const rusage& usage) {
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Runs `program` under peak_rss with `input_path` on standard input,
// CONTENT_TYPE set, X3_TRUSTED_KEYS naming `trusted_keys`, X3_HISTORY
// `history` and X3_PROGRESS `progress` (each unset when null); returns its
// wall time, CPU time, peak
// resident memory and status.
run_result run(const char* peak_rss, const char* program, const char* input_path,
               const std::string& content_type, const char* trusted_keys = nullptr,
               const char* history = nullptr, const char* progress = nullptr) {
  int report[2];
  if (pipe(report) != 0) exit(1);
  const auto start = clock_type::now();
  pid_t pid = fork();
  if (pid == 0) {
    int in = open(input_path, O_RDONLY);
    dup2(in, 0);
    dup2(report[1], 1);
    close(report[0]);
    setenv("CONTENT_TYPE", content_type.c_str(), 1);
    if (trusted_keys) setenv(TRUSTED_KEYS_VARIABLE, trusted_keys, 1);
    if (history) setenv(HISTORY_VARIABLE, history, 1);
    if (progress) setenv(PROGRESS_VARIABLE, progress, 1);
    execl(peak_rss, peak_rss, program, static_cast<char*>(nullptr));
    _exit(127);
  }
  close(report[1]);
  char text[32] = {};
  if (read(report[0], text, sizeof text - 1) < 0) text[0] = 0;
  close(report[0]);
  int status = 0;
  rusage usage{};  // peak_rss's and, since it waited for it, the program's
  wait4(pid, &status, 0, &usage);
  return {seconds_since(start), cpu_seconds(usage), atol(text), WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

// The floor's client runs in a process of its own, as flash_x3 does: run
// from the server's own process, both ends would share one address space
// and the round trips would be a third faster than any real client's.
double floor_seconds(int32_t port, long round_trips) {
  int report[2];
  if (pipe(report) != 0) exit(1);
  pid_t pid = fork();
  if (pid == 0) {
    qb_client_t client("127.0.0.1", port);
    const auto start = clock_type::now();
    for (long i = 0; i < round_trips; i++) {
      int fd = client.open_connection("127.0.0.1", port);
      char byte = 'x';
      if (fd < 0 || !client.write_all(fd, &byte, 1) || !client.read_all(fd, &byte, 1)) {
        fprintf(stderr, "upgrade_bench: floor round trip failed\n");
        _exit(1);
      }
      close(fd);
    }
    const double seconds = seconds_since(start);
    _exit(write(report[1], &seconds, sizeof seconds) == sizeof seconds ? 0 : 1);
  }
  close(report[1]);
  double seconds = 0;
  const bool reported = read(report[0], &seconds, sizeof seconds) == sizeof seconds;
  close(report[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!reported || status != 0) exit(1);
  return seconds;
}

// Creates the file named by the mkstemp template `path` holding `content`.
bool write_temporary(char* path, const std::string& content) {
  const int fd = mkstemp(path);
  if (fd < 0) return false;
  const bool written = write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
  close(fd);
  return written;
}

template <typename T>
T median(std::vector<T> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: upgrade_bench PEAK_RSS FLASH_X3 EMPTY_PROGRAM [RUNS [BASELINE]]\n");
    return 2;
  }
  const char* peak_rss = argv[1];
  const char* flash_x3 = argv[2];
  const char* empty_program = argv[3];
  const int runs = argc > 4 ? atoi(argv[4]) : 5;
  const char* baseline = argc > 5 ? argv[5] : nullptr;
  const int slot = 3;
  // Without trusted keys or a history nothing may be checked or recorded:
  // not even by files at the switch's default places.
  unsetenv(TRUSTED_KEYS_VARIABLE);
  unsetenv(HISTORY_VARIABLE);
  if (signatures_required() || !history_path_to_write().empty()) {
    fprintf(stderr, "upgrade_bench: %s or the folder of %s exists, so every upgrade would be checked or "
            "recorded\n", TRUSTED_KEYS_DEFAULT, HISTORY_DEFAULT);
    return 1;
  }

  // A full 512 KiB image, the generation byte at 0x10000 left erased,
  // signed by a key made for this run.
  bench_key key;
  if (!make_bench_key(&key)) return 1;
  const std::string signed_image = signed_full_image(key);
  if (signed_image.empty()) return 1;
  char body_path[] = "/tmp/upgrade_bench_XXXXXX";
  char keys_path[] = "/tmp/upgrade_bench_keys_XXXXXX";
  char history_path[] = "/tmp/upgrade_bench_history_XXXXXX";
  const std::string body = multipart_form({slot}, signed_image);
  if (!write_temporary(body_path, body) || !write_temporary(keys_path, key.trusted_keys) ||
      !write_temporary(history_path, "")) {
    return 1;
  }

  backplane_t& backplane = *new backplane_t;  // used by the server's thread to the end
  counting_service_t& service =
      serve_in_background<counting_service_t>(J5_SCAN_PORT, backplane.primitive());
  const int32_t echo_port = unused_loopback_port();
  serve_in_background<echo_server_t>(echo_port);

  struct variant {
    const char* name;
    const char* program;
    const char* trusted_keys;
    const char* history;
    const char* progress;
    std::vector<double> times = {}, cpu = {};
    std::vector<long> rss = {};
  };
  const std::string progress_path = std::string(history_path) + ".progress";
  std::vector<variant> variants = {{"without keys or history", flash_x3, nullptr, nullptr, nullptr},
                                   {"with trusted keys", flash_x3, keys_path, nullptr, nullptr},
                                   {"with history", flash_x3, nullptr, history_path, nullptr},
                                   {"with progress", flash_x3, nullptr, nullptr, progress_path.c_str()}};
  if (baseline) variants.push_back({"baseline build", baseline, nullptr, nullptr, nullptr});
  const int ways = static_cast<int>(variants.size());
  std::vector<double> floor_times;
  std::vector<long> empty_rss;
  long requests = 0;
  for (int i = 0; i < runs; i++) {
    for (int turn = 0; turn < ways; turn++) {
      variant& v = variants[(i + turn) % ways];
      backplane.insert_card(slot);
      const long before = service.requests;
      run_result r = run(peak_rss, v.program, body_path, form_content_type(), v.trusted_keys, v.history,
                         v.progress);
      const long served = service.requests - before;
      uint32_t boots = 0;
      backplane.with_card(slot, [&](x3_card_t& card) { boots = card.state().boot.boot_count; });
      if (r.status != 0 || boots != 1 || (requests != 0 && served != requests)) {
        fprintf(stderr, "upgrade_bench: the upgrade %s failed (status %d, %ld requests)\n", v.name, r.status,
                served);
        return 1;
      }
      requests = served;
      v.times.push_back(r.seconds);
      v.cpu.push_back(r.cpu_seconds);
      v.rss.push_back(r.peak_rss_kib);
    }
    floor_times.push_back(floor_seconds(echo_port, requests));
    empty_rss.push_back(run(peak_rss, empty_program, "/dev/null", "").peak_rss_kib);
  }
  // Every upgrade with history left its begin and end.
  const upgrade_history recorded = read_history(history_path);
  const size_t ended = std::count_if(recorded.runs.begin(), recorded.runs.end(),
                                     [](const history_run& r) { return r.ended; });
  unlink(body_path);
  unlink(keys_path);
  unlink(history_path);
  const std::string last_progress = progress_json(progress_path);
  unlink(progress_path.c_str());
  if (last_progress.find("\"finished\":true,\"outcome\":\"The upgrade was successful.") == std::string::npos) {
    fprintf(stderr, "upgrade_bench: the progress file does not end successful: %s", last_progress.c_str());
    return 1;
  }
  if (ended != size_t(runs) || recorded.skipped != 0) {
    fprintf(stderr, "upgrade_bench: the history holds %zu ended runs of %d\n", ended, runs);
    return 1;
  }

  const double floor = median(floor_times);
  printf("full-image upgrade of one card, median of %d runs\n", runs);
  printf("  requests per upgrade            %ld\n", requests);
  printf("  floor, same round trips         %.3f s  (%.0f round trips/s)\n", floor, requests / floor);
  for (const variant& v : variants) {
    const double upgrade = median(v.times);
    printf("  upgrade %-23s %.3f s  (%.0f requests/s), %.2f x floor, CPU %.3f s\n", v.name, upgrade,
           requests / upgrade, upgrade / floor, median(v.cpu));
  }
  const long empty_kib = median(empty_rss);
  printf("peak resident memory, median (highest)\n");
  for (const variant& v : variants) {
    const long kib = median(v.rss);
    printf("  flash_x3 %-22s %ld KiB  (%ld), empty program + %ld KiB\n", v.name, kib,
           *std::max_element(v.rss.begin(), v.rss.end()), kib - empty_kib);
  }
  printf("  empty program                   %ld KiB  (%ld)\n", empty_kib,
         *std::max_element(empty_rss.begin(), empty_rss.end()));
  return 0;
}
