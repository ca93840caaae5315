#include "history/upgrade_history.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/whole_file.h"
#include "flashing/flash_layout.h"
#include "history/json.h"

namespace {

std::string number(long value) {
  char text[24];
  return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

// A hex text as crc32_text (no prefix) or offset_text writes it; false
// when it is not one.
bool parse_hex(const std::string& text, bool prefix, uint32_t* value) {
  const size_t skip = prefix ? 2 : 0;
  if (text.size() <= skip || text.size() > skip + 8 || (prefix && text.compare(0, 2, "0x") != 0)) return false;
  const char* end = text.data() + text.size();
  const auto parsed = std::from_chars(text.data() + skip, end, *value, 16);
  return parsed.ec == std::errc() && parsed.ptr == end;
}

void add(std::string* out, const char* name, const std::string& text, bool optional = true) {
  if (optional && text.empty()) return;
  *out += ",\"";
  *out += name;
  *out += "\":";
  append_json_string(out, text);
}

void add(std::string* out, const char* name, long value) {
  *out += ",\"";
  *out += name;
  *out += "\":";
  *out += number(value);
}

std::string strerror_text(const std::string& what) { return what + ": " + strerror(errno); }

bool write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= n;
  }
  return true;
}

// Rewrites the history at `path` (`size` bytes, open as `fd`) as its
// newest HISTORY_KEPT bytes of whole lines followed by `record`, in a new
// file renamed over the old one.
std::string trim_and_append(const std::string& path, int fd, off_t size, const std::string& record) {
  off_t cut = size > off_t(HISTORY_KEPT) ? size - HISTORY_KEPT : 0;
  char buffer[16384];
  // Keep from the first line that starts at or after the cut.
  if (cut > 0) {
    bool found = false;
    for (off_t at = cut - 1; at < size && !found;) {
      const ssize_t n = pread(fd, buffer, sizeof buffer, at);
      if (n <= 0) return strerror_text("cannot read it");
      const void* newline = memchr(buffer, '\n', n);
      if (newline) {
        cut = at + (static_cast<const char*>(newline) - buffer) + 1;
        found = true;
      }
      at += n;
    }
    if (!found) cut = size;
  }
  const std::string fresh = path + ".new";
  const int out = open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) return strerror_text("cannot make " + fresh);
  std::string error;
  for (off_t at = cut; at < size && error.empty();) {
    const ssize_t n = pread(fd, buffer, sizeof buffer, at);
    if (n <= 0) error = strerror_text("cannot read it");
    else if (!write_all(out, buffer, n)) error = strerror_text("cannot write " + fresh);
    at += n;
  }
  if (error.empty() && !write_all(out, record.data(), record.size())) error = strerror_text("cannot write " + fresh);
  if (error.empty() && fsync(out) != 0) error = strerror_text("cannot write " + fresh);
  close(out);
  if (error.empty() && rename(fresh.c_str(), path.c_str()) != 0) error = strerror_text("cannot rename " + fresh);
  if (!error.empty()) {
    unlink(fresh.c_str());
    return error;
  }
  // The rename itself is kept once the folder is on disk.
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return "";
}

void append_image(std::string* out, const image_facts& image) {
  *out += ",\"image\":{\"bytes\":" + number(image.bytes);
  add(out, "lowest", offset_text(image.lowest));
  add(out, "highest", offset_text(image.highest));
  add(out, "crc32", crc32_text(image.crc));
  add(out, "type", image.type);
  add(out, "compiled", image.compiled);
  *out += '}';
}

image_facts parse_image(const json_value* image, bool* ok) {
  image_facts facts;
  if (!image || image->type != json_value::kind::object) return *ok = false, facts;
  facts.bytes = image->integer_member("bytes", 0, BANK_SIZE, 0);
  *ok = parse_hex(image->string_member("crc32"), false, &facts.crc) &&
        parse_hex(image->string_member("lowest"), true, &facts.lowest) &&
        parse_hex(image->string_member("highest"), true, &facts.highest);
  facts.type = image->string_member("type");
  facts.compiled = image->string_member("compiled");
  return facts;
}

// The slot numbers of an array member; false unless each is 0..31.
bool parse_slots(const json_value* slots, std::vector<int>* out) {
  if (!slots || slots->type != json_value::kind::array) return false;
  for (const json_value& item : slots->items) {
    // The range first: a double beyond int has no int to compare with.
    if (item.type != json_value::kind::number || item.number < 0 || item.number > 31 ||
        item.number != static_cast<int>(item.number))
      return false;
    out->push_back(static_cast<int>(item.number));
  }
  return true;
}

bool parse_begin(const json_value& record, history_run* run) {
  run->run = record.string_member("run");
  run->time = record.string_member("time");
  run->program = record.string_member("program");
  run->who.user = record.string_member("user");
  run->who.address = record.string_member("address");
  run->signed_by = record.string_member("signed_by");
  bool image_ok = false;
  run->image = parse_image(record.member("image"), &image_ok);
  return !run->run.empty() && image_ok && parse_slots(record.member("slots"), &run->slots);
}

bool parse_end(const json_value& record, history_run* run) {
  const json_value* slots = record.member("slots");
  if (!slots || slots->type != json_value::kind::array) return false;
  std::vector<slot_result> results;
  for (const json_value& item : slots->items) {
    slot_result r;
    r.slot = static_cast<int>(item.integer_member("slot", 0, 31, -1));
    r.result = item.string_member("result");
    if (r.slot < 0 || r.result.empty()) return false;
    r.bank = static_cast<int>(item.integer_member("bank", 0, 1, -1));
    r.generation = static_cast<int>(item.integer_member("generation", 0, 255, -1));
    r.step = item.string_member("step");
    r.message = item.string_member("message");
    results.push_back(r);
  }
  run->ended = true;
  run->end_time = record.string_member("time");
  run->results = std::move(results);
  run->outcome = record.string_member("outcome");
  run->reason = record.string_member("reason");
  return true;
}

}  // namespace

slot_result reflashed(int slot, int bank, int generation) {
  slot_result r;
  r.slot = slot;
  r.result = RESULT_REFLASHED;
  r.bank = bank;
  r.generation = generation;
  return r;
}

slot_result failed(int slot, const std::string& step, const std::string& message) {
  slot_result r;
  r.slot = slot;
  r.result = RESULT_FAILED;
  r.step = step;
  r.message = message;
  return r;
}

slot_result not_attempted(int slot) {
  slot_result r;
  r.slot = slot;
  r.result = RESULT_NOT_ATTEMPTED;
  return r;
}

std::string history_path_to_read() {
  const char* named = getenv(HISTORY_VARIABLE);
  return named && *named ? named : HISTORY_DEFAULT;
}

std::string utc_now() { return utc_time(time(nullptr)); }

std::string utc_time(long long now) {
  // The civil date of a day count since 1970-01-01 (the proleptic
  // Gregorian calendar in eras of 400 years): the time zone's files are
  // never read for a UTC time.
  const long long days = now / 86400 - (now % 86400 < 0);
  const long seconds = static_cast<long>(now - days * 86400);
  const long long z = days + 719468, era = (z >= 0 ? z : z - 146096) / 146097;
  const long day_of_era = static_cast<long>(z - era * 146097);
  const long year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const long day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const long shifted_month = (5 * day_of_year + 2) / 153;  // March is 0
  const long day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
  const long month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
  const long year = static_cast<long>(year_of_era + era * 400) + (month <= 2);
  auto two = [](long value) { return std::string{char('0' + value / 10 % 10), char('0' + value % 10)}; };
  return number(year) + "-" + two(month) + "-" + two(day) + "T" + two(seconds / 3600) + ":" +
         two(seconds / 60 % 60) + ":" + two(seconds % 60) + "Z";
}

std::string run_id(const std::string& time) {
  std::string compact;
  for (char c : time)
    if (c != '-' && c != ':') compact += c;
  return compact + "-" + number(getpid());
}

std::string begin_record(const history_run& run) {
  std::string out = "{\"record\":\"begin\"";
  add(&out, "run", run.run, false);
  add(&out, "time", run.time, false);
  add(&out, "program", run.program, false);
  add(&out, "user", run.who.user);
  add(&out, "address", run.who.address);
  append_image(&out, run.image);
  add(&out, "signed_by", run.signed_by);
  out += ",\"slots\":[";
  for (size_t k = 0; k < run.slots.size(); k++) out += (k ? "," : "") + number(run.slots[k]);
  return out + "]}\n";
}

std::string end_record(const history_run& run) {
  std::string out = "{\"record\":\"end\"";
  add(&out, "run", run.run, false);
  add(&out, "time", run.end_time, false);
  out += ",\"slots\":[";
  for (size_t k = 0; k < run.results.size(); k++) {
    const slot_result& r = run.results[k];
    out += k ? ",{\"slot\":" : "{\"slot\":";
    out += number(r.slot);
    add(&out, "result", r.result, false);
    if (r.bank >= 0) add(&out, "bank", r.bank);
    if (r.generation >= 0) add(&out, "generation", r.generation);
    add(&out, "step", r.step);
    add(&out, "message", r.message);
    out += '}';
  }
  out += ']';
  add(&out, "outcome", run.outcome, false);
  add(&out, "reason", run.reason);
  return out + "}\n";
}

std::string append_record(const std::string& path, const std::string& record) {
  const int fd = open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return strerror_text("cannot open it");
  std::string error;
  struct stat s;
  if (fstat(fd, &s) != 0) {
    error = strerror_text("cannot read it");
  } else {
    // After a record cut short (a full disk, a power loss) the next one
    // starts a line of its own.
    char last = '\n';
    if (s.st_size > 0 && pread(fd, &last, 1, s.st_size - 1) != 1) last = '\n';
    const std::string line = last == '\n' ? record : "\n" + record;
    if (size_t(s.st_size) + line.size() > HISTORY_LIMIT) {
      error = trim_and_append(path, fd, s.st_size, record);
    } else {
      const ssize_t n = write(fd, line.data(), line.size());
      if (n != ssize_t(line.size()))
        error = n < 0 ? strerror_text("cannot write it") : "cannot write it: the disk is full";
      else if (fsync(fd) != 0) error = strerror_text("cannot write it");
    }
  }
  close(fd);
  return error;
}

void history_writer::begin(const requester& who, const image_facts& image, const std::string& signed_by,
                           const std::vector<int>& slots) {
  run_.time = utc_now();
  run_.run = run_id(run_.time);
  run_.who = who;
  run_.image = image;
  run_.signed_by = signed_by;
  run_.slots = slots;
  open_ = true;
  write(begin_record(run_));
}

void history_writer::write_end(const std::string& outcome, const std::string& reason) {
  open_ = false;
  for (int slot : run_.slots) {
    const bool reported = std::any_of(run_.results.begin(), run_.results.end(),
                                      [slot](const slot_result& r) { return r.slot == slot; });
    if (!reported) run_.results.push_back(not_attempted(slot));
  }
  run_.end_time = utc_now();
  run_.outcome = outcome;
  run_.reason = reason;
  write(end_record(run_));
}

void history_writer::write(const std::string& record) {
  if (path_.empty()) return;
  const std::string error = append_record(path_, record);
  if (error.empty() || warned_) return;
  warned_ = true;
  fprintf(stderr, "upgrade history %s: %s\n", path_.c_str(), error.c_str());
}

upgrade_history parse_history(const std::string& text) {
  upgrade_history history;
  for (size_t start = 0; start < text.size();) {
    const size_t end = text.find('\n', start);
    const bool whole = end != std::string::npos;
    const std::string line = text.substr(start, whole ? end - start : std::string::npos);
    start = whole ? end + 1 : text.size();
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    json_value record;
    history_run begun;
    const bool parsed = whole && parse_json(line, &record) && record.type == json_value::kind::object;
    const std::string kind = parsed ? record.string_member("record") : "";
    if (kind == "begin" && parse_begin(record, &begun)) {
      history.runs.push_back(std::move(begun));
      continue;
    }
    if (kind == "end") {
      // Its run, the newest begun with that name; an end whose begin was
      // trimmed away has nothing left to tell.
      const std::string name = record.string_member("run");
      auto run = std::find_if(history.runs.rbegin(), history.runs.rend(),
                              [&](const history_run& r) { return r.run == name && !r.ended; });
      if (run == history.runs.rend() || parse_end(record, &*run)) continue;
    }
    history.skipped++;
  }
  return history;
}

upgrade_history read_history(const std::string& path) {
  std::vector<uint8_t> content;
  switch (read_whole_file(path.c_str(), 2 * HISTORY_LIMIT, &content)) {
    case whole_file_status::read: {
      return parse_history(std::string(content.begin(), content.end()));
    }
    case whole_file_status::cannot_open:
      if (errno == ENOENT) return {};
      return {{}, 0, strerror_text("cannot open " + path)};
    case whole_file_status::cannot_read: return {{}, 0, strerror_text("cannot read " + path)};
    default: return {{}, 0, "cannot read " + path + ": it is larger than the history ever grows"};
  }
}

std::vector<slot_status> slot_statuses(const upgrade_history& history) {
  std::vector<slot_status> slots;
  for (int slot = 0; slot < 32; slot++) {
    slot_status s;
    s.slot = slot;
    for (const history_run& run : history.runs) {
      if (std::find(run.slots.begin(), run.slots.end(), slot) == run.slots.end()) continue;
      s.last = &run;
      s.last_step = s.last_message = "";
      if (!run.ended) {
        s.last_result = RESULT_INTERRUPTED;
        continue;
      }
      auto r = std::find_if(run.results.begin(), run.results.end(),
                            [slot](const slot_result& x) { return x.slot == slot; });
      s.last_result = r == run.results.end() ? RESULT_NOT_ATTEMPTED : r->result;
      if (r == run.results.end()) continue;
      s.last_step = r->step;
      s.last_message = r->message;
      if (r->result == RESULT_REFLASHED) {
        s.flashed = &run;
        s.flashed_result = &*r;
      }
    }
    if (s.last) slots.push_back(s);
  }
  return slots;
}
