
// Measures one full-image upgrade of one X3 card model behind the real scan
// server on loopback, against a floor: the same number of bare
// connect / 1-byte exchange / close round trips in the same run. Also
// reports the peak resident memory of flash_x3 next to that of an empty
// program built the same way, both measured in every run: which pages of
// the shared C library a process maps varies from run to run (address
// layout, page cache), so medians of both are compared.
//
//   upgrade_bench PEAK_RSS FLASH_X3 EMPTY_PROGRAM [RUNS]
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

#include "scan/j5_scan_server.h"
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
  long peak_rss_kib;
  int status;
};

// Runs `program` under peak_rss with `input_path` on standard input and
// CONTENT_TYPE set; returns its wall time, peak resident memory and status.
run_result run(const char* peak_rss, const char* program, const char* input_path,
               const std::string& content_type) {
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
    execl(peak_rss, peak_rss, program, static_cast<char*>(nullptr));
    _exit(127);
  }
  close(report[1]);
  char text[32] = {};
  if (read(report[0], text, sizeof text - 1) < 0) text[0] = 0;
  close(report[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return {seconds_since(start), atol(text), WIFEXITED(status) ? WEXITSTATUS(status) : -1};
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

template <typename T>
T median(std::vector<T> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: upgrade_bench PEAK_RSS FLASH_X3 EMPTY_PROGRAM [RUNS]\n");
    return 2;
  }
  const char* peak_rss = argv[1];
  const char* flash_x3 = argv[2];
  const char* empty_program = argv[3];
  const int runs = argc > 4 ? atoi(argv[4]) : 5;
  const int slot = 3;

  // A full 512 KiB image; the generation byte at 0x10000 stays erased.
  firmware image;
  add_random_bytes(image, 0, 0x80000, 7);
  image[0x10000] = 0xFF;
  char body_path[] = "/tmp/upgrade_bench_XXXXXX";
  int body_fd = mkstemp(body_path);
  const std::string body = multipart_form({slot}, s_records(image));
  if (write(body_fd, body.data(), body.size()) != static_cast<ssize_t>(body.size())) return 1;
  close(body_fd);

  backplane_t& backplane = *new backplane_t;  // used by the server's thread to the end
  counting_service_t& service =
      serve_in_background<counting_service_t>(J5_SCAN_PORT, backplane.primitive());
  const int32_t echo_port = unused_loopback_port();
  serve_in_background<echo_server_t>(echo_port);

  std::vector<double> upgrade_times, floor_times;
  std::vector<long> upgrade_rss, empty_rss;
  long requests = 0;
  for (int i = 0; i < runs; i++) {
    backplane.insert_card(slot);
    const long before = service.requests;
    run_result r = run(peak_rss, flash_x3, body_path, form_content_type());
    requests = service.requests - before;
    uint32_t boots = 0;
    backplane.with_card(slot, [&](x3_card_t& card) { boots = card.state().boot.boot_count; });
    if (r.status != 0 || boots != 1) {
      fprintf(stderr, "upgrade_bench: the upgrade failed (status %d)\n", r.status);
      return 1;
    }
    upgrade_times.push_back(r.seconds);
    upgrade_rss.push_back(r.peak_rss_kib);
    floor_times.push_back(floor_seconds(echo_port, requests));
    empty_rss.push_back(run(peak_rss, empty_program, "/dev/null", "").peak_rss_kib);
  }
  unlink(body_path);

  const double upgrade = median(upgrade_times), floor = median(floor_times);
  printf("full-image upgrade of one card, median of %d runs\n", runs);
  printf("  requests per upgrade      %ld\n", requests);
  printf("  upgrade wall time         %.3f s  (%.0f requests/s)\n", upgrade, requests / upgrade);
  printf("  floor, same round trips   %.3f s  (%.0f round trips/s)\n", floor, requests / floor);
  printf("  upgrade / floor           %.2f\n", upgrade / floor);
  const long upgrade_kib = median(upgrade_rss), empty_kib = median(empty_rss);
  printf("peak resident memory, median (highest)\n");
  printf("  flash_x3                  %ld KiB  (%ld)\n", upgrade_kib,
         *std::max_element(upgrade_rss.begin(), upgrade_rss.end()));
  printf("  empty program             %ld KiB  (%ld)\n", empty_kib,
         *std::max_element(empty_rss.begin(), empty_rss.end()));
  printf("  difference                %ld KiB\n", upgrade_kib - empty_kib);
  return 0;
}
