// Load and hostile clients against scan_sim: eight clients take the scan
// service in turn (grab, commands, release) while another one sends
// random and truncated requests the whole time.
//
//   scan_service_load SCAN_SIM SECONDS [GROWTH_KIB]
//
// Prints requests per second, the longest wait of a legitimate client for
// the service and scan_sim's resident memory. Exits 1 on an error: the
// service stopped serving, two clients held it at once, a reply to a
// well-formed request was malformed, or, with GROWTH_KIB, its memory grew
// by that much or more after warming up.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "scan/j5_scan_client.h"
#include "tests/support/loopback.h"
#include "tests/support/process.h"

namespace {

using clock_type = std::chrono::steady_clock;

const int CLIENTS = 8;
const int SLOTS[] = {1, 2, 3, 4};

std::atomic<bool> running{true};
std::atomic<int> holders{0};
std::atomic<long> requests{0};
std::atomic<long> hostile_requests{0};
std::atomic<long> failures{0};
std::atomic<long> longest_wait_us{0};

void fail(const char* what, int client) {
  if (failures++ < 10) fprintf(stderr, "scan_service_load: client %d: %s\n", client, what);
}

// One legitimate client: takes the service, reads card flash and the
// microcontroller's configuration, gives the service back.
void legitimate_client(int id) {
  test_scan_client_t client(J5_SCAN_PORT, id);
  std::mt19937 random(id);
  uint8_t reply[2048];
  while (running) {
    const auto asked = clock_type::now();
    bool held = false;
    while (running && !(held = client.grab())) requests++;
    requests++;
    // A client that got the service as the run ended still gives it back.
    if (!held) break;
    const long waited = std::chrono::duration_cast<std::chrono::microseconds>(clock_type::now() - asked).count();
    long longest = longest_wait_us;
    while (waited > longest && !longest_wait_us.compare_exchange_weak(longest, waited)) {
    }
    if (++holders != 1) fail("held the service together with another client", id);

    for (int k = 0; k < 4; k++) {
      const int slot = SLOTS[random() % 4];
      const uint32_t address = random() % 0xFFF00;
      const uint8_t read[7] = {0xA3, 0xA3, uint8_t(address), uint8_t(address >> 8),
                               uint8_t(address >> 16), 0, 64};
      j5_scan_command_t commands[2] = {{0xC5, slot, 7, 64, read, reply, 0},
                                       {51, slot, 0, 2048, nullptr, reply + 64, 0}};
      requests++;
      if (!client.execute(1, &commands[0]) || commands[0].rxcount != 64) fail("flash read", id);
      requests++;
      if (!client.execute(1, &commands[1]) || commands[1].rxcount <= 1 ||
          reply[64] + 1 >= commands[1].rxcount)
        fail("configuration reply", id);
    }
    // Give the service up only after no longer counting as its holder.
    holders--;
    requests++;
    if (!client.release()) fail("release", id);
  }
}

// Random requests, or well-formed ones cut short, under client id 0, which
// can never hold the service.
void hostile_client() {
  std::mt19937 random(4711);
  std::vector<uint8_t> request;
  while (running) {
    request.clear();
    const auto word = [&](uint32_t v) {
      request.insert(request.end(), {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
    };
    word(J5_SCAN_ID_NONE);
    switch (random() % 3) {
      case 0:  // noise
        for (uint32_t n = random() % 200; n > 0; n--) request.push_back(random());
        break;
      case 1: {  // a plausible request, cut anywhere
        const uint32_t n = random() % 4;
        word(n);
        for (uint32_t i = 0; i < n; i++) {
          word(random() % 40);                   // slot, sometimes out of range
          word(random() % 2 ? 0xC5 : 51);        // never grab or release
          word(random() % 5000);                 // rxlen
          word(random() % 8);                    // txlen
        }
        for (int i = 0; i < 16; i++) request.push_back(random());
        request.resize(random() % (request.size() + 1));
        break;
      }
      default:  // absurd counts
        word(random() % 2 ? 0x7FFFFFFF : 0x80000000u + random() % 1000);
        break;
    }
    qb_client_t client("127.0.0.1", J5_SCAN_PORT);
    const int fd = client.open_connection("127.0.0.1", J5_SCAN_PORT);
    if (fd < 0) {
      fail("hostile client could not connect", 0);
      continue;
    }
    if (!request.empty()) client.write_all(fd, request.data(), request.size());
    shutdown(fd, SHUT_WR);
    uint8_t sink[4096];
    while (read(fd, sink, sizeof sink) > 0) {
    }
    close(fd);
    hostile_requests++;
  }
}

long resident_kib(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string key; status >> key;) {
    long value = 0;
    if (key == "VmRSS:" && status >> value) return value;
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    fprintf(stderr, "usage: scan_service_load SCAN_SIM SECONDS [GROWTH_KIB]\n");
    return 2;
  }
  const int seconds = atoi(argv[2]);
  const long allowed_growth_kib = argc == 4 ? atol(argv[3]) : 0;
  signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> sim = target_program(argv[1], {"--cards", "1-4"});
  const int sim_pid = start_process(sim, "/dev/null");
  if (!wait_for_listener(J5_SCAN_PORT)) {
    fprintf(stderr, "scan_service_load: scan_sim did not start\n");
    return 1;
  }
  // Resolve the address once per client before the threads start: the
  // resolver is not thread-safe.
  std::vector<std::thread> threads;
  for (int i = 0; i < CLIENTS; i++) test_scan_client_t(J5_SCAN_PORT, J5_SCAN_ID_LOAD_FIRST + i).release();
  const auto start = clock_type::now();
  for (int i = 0; i < CLIENTS; i++) threads.emplace_back(legitimate_client, J5_SCAN_ID_LOAD_FIRST + i);
  threads.emplace_back(hostile_client);

  // Memory once the service has warmed up, and at the end.
  sleep(std::min(2, seconds));
  const long rss_start = resident_kib(sim_pid);
  long rss_peak = rss_start;
  while (clock_type::now() - start < std::chrono::seconds(seconds)) {
    sleep(1);
    rss_peak = std::max(rss_peak, resident_kib(sim_pid));
  }
  running = false;
  for (std::thread& t : threads) t.join();
  const double elapsed = std::chrono::duration<double>(clock_type::now() - start).count();
  const long rss_end = resident_kib(sim_pid);

  // Still serving: a fresh client can take and give back the service.
  test_scan_client_t last(J5_SCAN_PORT, J5_SCAN_ID_LOAD_LAST);
  const bool serving = last.grab() && last.release();
  stop_process(sim_pid, SIGTERM);

  const long total = requests + hostile_requests;
  printf("scan_service_load: %d clients and one hostile client for %.1f s\n", CLIENTS, elapsed);
  printf("  requests           %ld (%ld hostile), %.0f per second\n", total, hostile_requests.load(),
         total / elapsed);
  printf("  longest wait       %.1f ms for the service\n", longest_wait_us / 1000.0);
  printf("  scan_sim memory    %ld KiB after warm-up, %ld KiB peak, %ld KiB at the end\n", rss_start,
         rss_peak, rss_end);
  printf("  failures           %ld\n", failures.load());
  const bool flat = allowed_growth_kib == 0 || rss_peak - rss_start < allowed_growth_kib;
  if (!serving) fprintf(stderr, "scan_service_load: the service stopped serving\n");
  if (!flat) fprintf(stderr, "scan_service_load: scan_sim's memory grew by %ld KiB\n", rss_peak - rss_start);
  return failures == 0 && serving && flat ? 0 : 1;
}
