#include "tools/x3image_image.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/crc32.h"
#include "common/exception.h"
#include "common/whole_file.h"
#include "flashing/flash_layout.h"
#include "scan/j5_scan_client.h"

std::vector<uint8_t> read_file(const std::string& path) {
  std::vector<uint8_t> content;
  switch (read_whole_file(path.c_str(), MAX_FILE_BYTES, &content)) {
    case whole_file_status::read: break;
    case whole_file_status::cannot_open:
      throw exception_t("cannot open %s: %s", path.c_str(), strerror(errno));
    case whole_file_status::cannot_read:
      throw exception_t("cannot read %s: %s", path.c_str(), strerror(errno));
    case whole_file_status::too_large:
      throw exception_t("%s is larger than the 8 MiB a switch accepts", path.c_str());
  }
  return content;
}

void write_file(const std::string& path, const std::string& content) {
  FILE* out = path == "-" ? stdout : fopen(path.c_str(), "wb");
  if (!out) throw exception_t("cannot create %s: %s", path.c_str(), strerror(errno));
  const bool written = fwrite(content.data(), 1, content.size(), out) == content.size();
  const int write_error = errno;
  const bool closed = (out == stdout ? fflush(out) : fclose(out)) == 0;
  if (!written || !closed)
    throw exception_t("cannot write %s: %s", path.c_str(), strerror(written ? errno : write_error));
}

void load(const std::string& path, loaded_image* image) {
  const std::vector<uint8_t> content = read_file(path);
  image->file.assign(content.begin(), content.end());
  std::string upload = image->file + "\r\n--" + DEFAULT_BOUNDARY + "--\r\n";
  FILE* in = fmemopen(&upload[0], upload.size(), "r");
  if (!in) throw exception_t("cannot read %s from memory: %s", path.c_str(), strerror(errno));
  image_above_64k = 0;
  const int loaded = load_s19_image(image->words.data(), in, nullptr, &image->signature);
  // The results page's own word for a byte beyond the bank.
  if (loaded == S19_OUT_OF_RANGE) printf("OutOfRange\n");
  image->accepted = loaded == S19_LOADED;
  image->read = static_cast<size_t>(std::max(0L, ftell(in)));
  fclose(in);
  image->above_64k = image_above_64k != 0;
}

image_summary summarise(const loaded_image& image) {
  image_summary s;
  static_cast<image_facts&>(s) = describe_image(image.words.data());
  s.generation_byte = image.above_64k;
  bool sector_used[SECTORS_PER_BANK] = {};
  for (uint32_t offset = 0; offset < FLASH_IMAGE_WORDS; offset++)
    if (image.words[offset] != NO_DATA) sector_used[offset / SECTOR_SIZE] = true;
  for (uint32_t sector = 0; sector < SECTORS_PER_BANK; sector++)
    if (sector_used[sector]) s.sectors.push_back(sector * SECTOR_SIZE);
  s.shared_sector = sector_used[SHARED_SECTOR_OFFSET / SECTOR_SIZE];
  return s;
}

std::vector<image_problem> image_problems(const image_summary& s) {
  std::vector<image_problem> problems;
  if (s.bytes == 0) {
    problems.push_back({PROBLEM_NAMES[0],
                        "it holds no data byte: every card would be taken and restarted with nothing "
                        "written, and the page would say the upgrade was successful"});
  } else if (!s.generation_byte) {
    problems.push_back({PROBLEM_NAMES[1],
                        "it has no data at or above 0x10000: no generation byte would be written, so "
                        "the cards would keep starting their previous firmware while the page says "
                        "the upgrade was successful"});
  }
  if (s.shared_sector)
    problems.push_back({PROBLEM_NAMES[2],
                        "it has data in 0x70000-0x7ffff: programming it erases the first sector of "
                        "the card's other bank, the firmware the card falls back to"});
  return problems;
}

std::vector<image_problem> unallowed_problems(const image_summary& summary,
                                              const std::vector<std::string>& allowed) {
  std::vector<image_problem> problems = image_problems(summary);
  problems.erase(std::remove_if(problems.begin(), problems.end(),
                                [&](const image_problem& p) {
                                  return std::find(allowed.begin(), allowed.end(), p.name) != allowed.end();
                                }),
                 problems.end());
  return problems;
}

std::string hex(uint32_t value, int digits) {
  char text[16];
  snprintf(text, sizeof text, "0x%0*x", digits, value);
  return text;
}

command_options parse_options(const std::vector<std::string>& options, const std::vector<std::string>& names) {
  command_options parsed;
  for (size_t i = 0; i < options.size(); i += 2) {
    if (std::find(names.begin(), names.end(), options[i]) == names.end())
      throw usage_error{"unknown option " + options[i]};
    if (i + 1 >= options.size()) throw usage_error{options[i] + " needs a value"};
    parsed[options[i]].push_back(options[i + 1]);
  }
  for (const auto& [name, values] : parsed)
    if (values.size() > 1 && name != "--allow") throw usage_error{name + " is given more than once"};
  return parsed;
}

std::string option(const command_options& options, const std::string& name, const std::string& otherwise) {
  const auto found = options.find(name);
  return found == options.end() ? otherwise : found->second.front();
}

std::vector<std::string> allowed_problems(const command_options& options) {
  const auto found = options.find("--allow");
  if (found == options.end()) return {};
  for (const std::string& name : found->second)
    if (std::find(std::begin(PROBLEM_NAMES), std::end(PROBLEM_NAMES), name) == std::end(PROBLEM_NAMES))
      throw usage_error{"--allow takes empty, no-generation or other-bank, not '" + name + "'"};
  return found->second;
}
