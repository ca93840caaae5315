#include "progress/upgrade_progress.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/whole_file.h"
#include "history/json.h"
#include "history/upgrade_history.h"

namespace {

// No progress file is larger; one that is was not written here.
const size_t PROGRESS_MAX_BYTES = 4096;

long long now_ms() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

std::string number(long long value) { return std::to_string(value); }

// Milliseconds as seconds with one decimal: 12500 as "12.5".
std::string seconds(long long ms) { return number(ms / 1000) + "." + number(ms / 100 % 10); }

}  // namespace

const char* unit_of(const std::string& step) {
  if (step == "erase_flash") return "sectors";
  if (step == "program_flash" || step == "verify_flash") return "rows";
  return nullptr;
}

std::string progress_path_to_write() {
  const char* named = getenv(PROGRESS_VARIABLE);
  if (named && *named) return named;
  return history_path_to_write() == HISTORY_DEFAULT ? PROGRESS_DEFAULT : "";
}

std::string progress_path_to_read() {
  const char* named = getenv(PROGRESS_VARIABLE);
  return named && *named ? named : PROGRESS_DEFAULT;
}

progress_writer::progress_writer(const char* program) : path_(progress_path_to_write()), program_(program) {}

void progress_writer::start(const std::string& run, const std::vector<int>& slots) {
  run_ = run;
  slots_ = slots;
  run_start_ms_ = step_start_ms_ = now_ms();
  write();
}

void progress_writer::step(size_t index, const char* step) {
  index_ = static_cast<long>(index);
  step_ = step;
  done_ = total_ = -1;
  step_start_ms_ = now_ms();
  write();
}

void progress_writer::units(uint32_t done, uint32_t total) {
  done_ = done;
  total_ = total;
  // The first and last of a step always; between them a few a second.
  if (done != 0 && done != total && now_ms() - written_ms_ < PROGRESS_INTERVAL_MS) return;
  write();
}

void progress_writer::finish(const std::string& outcome) {
  finished_ = true;
  outcome_ = outcome;
  write();
}

void progress_writer::write() {
  if (path_.empty()) return;
  const long long now = written_ms_ = now_ms();
  const bool card = index_ >= 0 && size_t(index_) < slots_.size();
  const char* unit = card ? unit_of(step_) : nullptr;
  std::string out = "{\"program\":" + json_string(program_) + ",\"run\":" + json_string(run_) + ",\"slots\":[";
  for (size_t k = 0; k < slots_.size(); k++) out += (k ? "," : "") + number(slots_[k]);
  out += "],\"slot\":" + (card ? number(slots_[index_]) : "null") + ",\"index\":" + (card ? number(index_) : "null");
  out += ",\"step\":" + (card ? json_string(step_) : "null");
  out += ",\"done\":" + (unit ? json_number_or_null(done_) : "null") + ",\"total\":" + (unit ? json_number_or_null(total_) : "null");
  out += ",\"unit\":" + (unit && done_ >= 0 ? json_string(unit) : "null");
  out += ",\"step_seconds\":" + seconds(now - step_start_ms_) + ",\"run_seconds\":" + seconds(now - run_start_ms_);
  out += ",\"updated\":" + json_string(utc_now()) + ",\"finished\":" + (finished_ ? "true" : "false");
  out += ",\"outcome\":" + (finished_ ? json_string(outcome_) : "null") + "}\n";
  const std::string fresh = path_ + ".new";
  const int fd = open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  const bool whole = ::write(fd, out.data(), out.size()) == ssize_t(out.size());
  close(fd);
  if (!whole || rename(fresh.c_str(), path_.c_str()) != 0) unlink(fresh.c_str());
}

std::string progress_json(const std::string& path) {
  std::vector<uint8_t> content;
  std::string error;
  switch (read_whole_file(path.c_str(), PROGRESS_MAX_BYTES, &content)) {
    case whole_file_status::read: {
      const std::string text(content.begin(), content.end());
      json_value progress;
      if (parse_json(text, &progress) && progress.type == json_value::kind::object) {
        return "{\"progress\": " + text.substr(0, text.find_last_not_of(" \n") + 1) + ", \"error\": null}\n";
      }
      error = path + " is not a progress file";
      break;
    }
    case whole_file_status::cannot_open:
      if (errno == ENOENT) return "{\"progress\": null, \"error\": null}\n";
      error = "cannot open " + path + ": " + strerror(errno);
      break;
    case whole_file_status::cannot_read: error = "cannot read " + path + ": " + strerror(errno); break;
    default: error = path + " is not a progress file";
  }
  return "{\"progress\": null, \"error\": " + json_string(error) + "}\n";
}
