// x3image: looks at an X3 firmware file on the control machine before it
// goes to any switch, signs it for switches that take signed images only,
// and builds the upload form the switch's upgrade page sends, so that a
// script can post it as a browser would. USAGE below lists the commands.
//
// firmware makes test images: the demo, the benchmarks and the
// whole-program tests upload what it writes.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "common/exception.h"
#include "common/whole_file.h"
#include "flashing/flash_layout.h"
#include "flashing/s19_loader.h"
#include "scan/j5_scan_client.h"
#include "scan/slot_list.h"
#include "tools/x3image_image.h"

namespace {

const char USAGE[] =
    "usage: x3image form FILE --slots LIST [--boundary TEXT]\n"
    "       x3image check FILE [--allow PROBLEM]...\n"
    "       x3image info FILE [--json]\n"
    "       x3image sign FILE --key SECRET_KEY [--comment TEXT] [--password-file F]\n"
    "                        [--allow PROBLEM]... -o OUT\n"
    "       x3image attach FILE FILE.minisig [--allow PROBLEM]... -o OUT\n"
    "       x3image verify FILE --keys KEYS\n"
    "       x3image payload FILE [-o OUT] [--minisig SIG]\n"
    "       x3image firmware OUT --size BYTES [--seed N] [--stamp TYPE --compiled DATE]\n"
    "\n"
    "form   writes to standard output the multipart/form-data body that the\n"
    "       switch's upgrade page posts: a check box part per slot of LIST\n"
    "       (e.g. 2,3 or 1-4), then FILE as it is, typed\n"
    "       application/octet-stream. Post it with the Content-Type\n"
    "       'multipart/form-data; boundary=TEXT' (default boundary " "%s).\n"
    "check  exits 0 when the switch would accept FILE as firmware and it is\n"
    "       not one of the images that load but cannot be right; otherwise\n"
    "       prints the reasons and exits 1. PROBLEM names an exception:\n"
    "         empty          no data byte at all\n"
    "         no-generation  no data at or above 0x10000 (no generation byte)\n"
    "         other-bank     data in 0x70000-0x7ffff (the other bank's first sector)\n"
    "info   the addresses, size, flash sectors, generation byte, CRC-32 of\n"
    "       the bank image, the version stamp and the signature of FILE;\n"
    "       --json for scripts.\n"
    "sign   writes OUT: FILE with a minisign signature by SECRET_KEY (made\n"
    "       with minisign -G; a password-protected key asks for its password\n"
    "       on the terminal, or takes the first line of F). The trusted\n"
    "       comment is TEXT, by default the image's CRC-32, bytes, address\n"
    "       range and version stamp. Refuses what check refuses.\n"
    "attach writes OUT: FILE with the signature minisign -S -m FILE made.\n"
    "verify checks FILE's signature against the public keys in KEYS (as\n"
    "       minisign writes them, one or more): key id, trusted comment and\n"
    "       \"signature good\", or the reason and exit status 1.\n"
    "payload\n"
    "       writes FILE without its signature, as it was signed (to standard\n"
    "       output without -o), and the signature to SIG, for minisign -V.\n"
    "firmware\n"
    "       writes OUT, a test image: BYTES (1 to 0x80000) pseudo-random\n"
    "       bytes from offset 0 (the low bytes of std::mt19937 seeded with N,\n"
    "       default 5489), the generation byte at 0x10000 left erased (0xFF).\n"
    "       --stamp puts the version stamp of TYPE compiled on DATE\n"
    "       (\"Mon D YYYY HH:MM:SS\") at 0x200. An S0 header, S3 records of\n"
    "       32 bytes and an S7 end record, LF line ends.\n"
    "\n"
    "Exit status 0 on success, 1 on any failure.\n";

// "2,3" or "1-4,7": slots 1 to 31, each at most once, in ascending order.
std::vector<int> parse_slots(const std::string& list) {
  bool chosen[J5_SCAN_NUM_SLOTS] = {};
  const std::string error = parse_slot_list(list, 1, chosen);
  if (!error.empty()) throw usage_error{error};
  std::vector<int> slots;
  for (int slot = 1; slot < J5_SCAN_NUM_SLOTS; slot++)
    if (chosen[slot]) slots.push_back(slot);
  return slots;
}

// A boundary that needs no quoting in the Content-Type header, which the
// switch's upload reader takes literally.
void check_boundary(const std::string& boundary) {
  const char allowed[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789'()+_,-./:=?";
  if (boundary.empty() || boundary.size() > 70 ||
      boundary.find_first_not_of(allowed) != std::string::npos)
    throw usage_error{"the boundary must be 1 to 70 letters, digits or '()+_,-./:=?"};
}

int form(const std::string& path, const std::vector<int>& slots, const std::string& boundary) {
  const std::vector<uint8_t> file = read_file(path);
  const std::string delimiter = "--" + boundary;
  if (std::search(file.begin(), file.end(), delimiter.begin(), delimiter.end()) != file.end())
    throw exception_t("%s contains the form boundary %s; choose another with --boundary",
                      path.c_str(), boundary.c_str());
  std::string head;
  for (int slot : slots)
    head += delimiter + "\r\nContent-Disposition: form-data; name=\"slot" + std::to_string(slot) +
            "\"\r\n\r\non\r\n";
  // The check boxes come first: the switch reads no field after the file.
  head += delimiter +
          "\r\nContent-Disposition: form-data; name=\"image\"; filename=\"x3.s19\"\r\n"
          "Content-Type: application/octet-stream\r\n\r\n";
  const std::string tail = "\r\n" + delimiter + "--\r\n";
  fwrite(head.data(), 1, head.size(), stdout);
  fwrite(file.data(), 1, file.size(), stdout);
  fwrite(tail.data(), 1, tail.size(), stdout);
  return fflush(stdout) == 0 ? 0 : 1;
}

// What the switch would take, less the images that cannot be right.
int check(const std::string& path, const std::vector<std::string>& allowed) {
  loaded_image image;
  load(path, &image);
  if (!image.accepted) return 1;
  const std::vector<image_problem> problems = unallowed_problems(summarise(image), allowed);
  for (const image_problem& p : problems)
    printf("%s: %s (--allow %s accepts it)\n", path.c_str(), p.reason.c_str(), p.name.c_str());
  if (!problems.empty()) return 1;
  printf("%s: accepted\n", path.c_str());
  return 0;
}

// A JSON string; bytes outside printable ASCII as \u00XX.
std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c > 0x7E) {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

void print_json(const std::string& path, const image_summary& s, const std::string& signed_by,
                const std::string& comment) {
  std::string sectors;
  for (uint32_t sector : s.sectors) sectors += (sectors.empty() ? "" : ", ") + json_string(offset_text(sector));
  auto optional = [](const std::string& text) { return text.empty() ? std::string("null") : json_string(text); };
  printf("{\"file\": %s, \"bytes\": %u, \"lowest\": %s, \"highest\": %s, \"sectors\": [%s], "
         "\"shared_sector\": %s, \"generation_byte\": %s, \"crc32\": \"%s\", \"type\": %s, "
         "\"compiled\": %s, \"signed_by\": %s, \"trusted_comment\": %s}\n",
         json_string(path).c_str(), s.bytes, s.bytes ? json_string(offset_text(s.lowest)).c_str() : "null",
         s.bytes ? json_string(offset_text(s.highest)).c_str() : "null", sectors.c_str(),
         s.shared_sector ? "true" : "false", s.generation_byte ? "true" : "false", crc32_text(s.crc).c_str(),
         optional(s.type).c_str(), optional(s.compiled).c_str(), optional(signed_by).c_str(),
         signed_by.empty() ? "null" : json_string(comment).c_str());
}

void print_text(const std::string& path, const image_summary& s, const std::string& signed_by,
                const std::string& comment) {
  printf("file             %s\n", path.c_str());
  printf("bytes            %u\n", s.bytes);
  if (s.bytes) {
    printf("lowest address   %s\n", offset_text(s.lowest).c_str());
    printf("highest address  %s\n", offset_text(s.highest).c_str());
  }
  std::string sectors;
  for (uint32_t sector : s.sectors) sectors += " " + offset_text(sector);
  printf("sectors         %s\n", sectors.empty() ? " none" : sectors.c_str());
  printf("shared sector    %s\n", s.shared_sector
                                       ? "yes: WARNING, 0x70000-0x7ffff is also the other bank's "
                                         "first sector; programming it damages that bank"
                                       : "no");
  printf("generation byte  %s\n", s.generation_byte ? "yes (data at or above 0x10000)"
                                                     : "no (all data below 0x10000)");
  printf("crc32            %s (the 512 KiB bank before its generation byte is written)\n", crc32_text(s.crc).c_str());
  printf("type             %s\n", s.type.empty() ? "(no version stamp)" : s.type.c_str());
  if (!s.compiled.empty()) printf("compiled         %s\n", s.compiled.c_str());
  if (signed_by.empty()) {
    printf("signature        none\n");
  } else if (signed_by == "damaged") {
    printf("signature        damaged: its records cannot be read\n");
  } else {
    printf("signature        by key %s (x3image verify checks it)\n", signed_by.c_str());
    printf("trusted comment  %s\n", comment.c_str());
  }
}

int info(const std::string& path, bool json) {
  loaded_image image;
  load(path, &image);
  if (!image.accepted) return 1;
  const image_summary summary = summarise(image);
  std::string signed_by, comment;
  signature_facts(image, &signed_by, &comment);
  json ? print_json(path, summary, signed_by, comment) : print_text(path, summary, signed_by, comment);
  return 0;
}

// ---- firmware: test images ------------------------------------------------

// Where the version stamp goes in a generated image, and the data bytes of
// each of its S3 records.
const uint32_t STAMP_OFFSET = 0x200;
const size_t BYTES_PER_RECORD = 32;

struct firmware_options {
  uint32_t size = 0;
  uint32_t seed = std::mt19937::default_seed;
  std::string type, compiled;  // both empty: no version stamp
};

// VALUE of OPTION, decimal or hex after 0x, from LOW to HIGH.
uint32_t firmware_number(const std::string& option, const std::string& value, uint32_t low,
                         uint32_t high) {
  const bool is_hex = value.size() > 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X');
  const std::string digits = is_hex ? value.substr(2) : value;
  const char* allowed = is_hex ? "0123456789abcdefABCDEF" : "0123456789";
  errno = 0;
  const unsigned long long number = strtoull(digits.c_str(), nullptr, is_hex ? 16 : 10);
  if (digits.empty() || digits.find_first_not_of(allowed) != std::string::npos || errno == ERANGE ||
      number < low || number > high)
    throw usage_error{option + " must be " + std::to_string(low) + " to " + std::to_string(high) +
                      " (" + hex(high, 1) + "), got '" + value + "'"};
  return static_cast<uint32_t>(number);
}

// A stamp's text is one line of printable ASCII that the switch's reader
// keeps whole.
void check_stamp_text(const std::string& option, const std::string& value) {
  const bool printable =
      std::all_of(value.begin(), value.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
  if (value.empty() || value.size() >= static_cast<size_t>(J5_SCAN_TEXT_SIZE) || !printable)
    throw usage_error{option + " must be 1 to " + std::to_string(J5_SCAN_TEXT_SIZE - 1) +
                      " printable ASCII characters"};
}

firmware_options parse_firmware_options(const std::vector<std::string>& options) {
  firmware_options o;
  for (size_t i = 0; i < options.size(); i += 2) {
    if (i + 1 >= options.size()) throw usage_error{options[i] + " needs a value"};
    const std::string &name = options[i], &value = options[i + 1];
    if (name == "--size") {
      o.size = firmware_number(name, value, 1, FLASH_IMAGE_WORDS);
    } else if (name == "--seed") {
      o.seed = firmware_number(name, value, 0, UINT32_MAX);
    } else if (name == "--stamp" || name == "--compiled") {
      check_stamp_text(name, value);
      (name == "--stamp" ? o.type : o.compiled) = value;
    } else {
      throw usage_error{"unknown option " + name};
    }
  }
  if (o.size == 0) throw usage_error{"firmware needs --size BYTES"};
  if (o.type.empty() != o.compiled.empty())
    throw usage_error{"--stamp TYPE and --compiled \"Mon D YYYY HH:MM:SS\" go together"};
  if (!o.compiled.empty()) {
    // A date the switch can compare: parse_date takes it and knows the
    // month; the time after the last blank.
    j5_scan_client_t reader("localhost", 0);
    int32_t month = 0, day, year, hour, minute, second;
    const size_t blank = o.compiled.rfind(' ');
    bool readable = blank != std::string::npos && blank + 1 < o.compiled.size();
    try {
      reader.parse_date(o.compiled.c_str(), &month, &day, &year, &hour, &minute, &second);
    } catch (const exception_t&) {
      readable = false;
    }
    if (!readable || month == 0)
      throw usage_error{"--compiled must be a date like \"Dec 5 2026 17:20:01\", got '" +
                        o.compiled + "'"};
  }
  return o;
}

// "Type: TYPE", "Compiled on:", the date and the time, each ending in a
// zero byte, as the firmware build stamps its images; the date and the
// time split at the last blank of COMPILED.
std::string version_stamp(const std::string& type, const std::string& compiled) {
  const size_t blank = compiled.rfind(' ');
  const std::string parts[] = {"Type: " + type, "Compiled on:", compiled.substr(0, blank),
                               compiled.substr(blank + 1)};
  std::string stamp;
  for (const std::string& part : parts) stamp += part + '\0';
  return stamp;
}

// The image's bytes: the generator's low byte for each, the stamp at
// STAMP_OFFSET, and the card's generation byte erased.
std::vector<uint8_t> firmware_bytes(const firmware_options& o) {
  std::mt19937 random(o.seed);
  std::vector<uint8_t> bytes(o.size);
  for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random() & 0xFF);
  if (!o.type.empty()) {
    const std::string stamp = version_stamp(o.type, o.compiled);
    if (STAMP_OFFSET + stamp.size() > o.size)
      throw usage_error{"--size " + std::to_string(o.size) + " leaves no room for the version " +
                        "stamp at " + offset_text(STAMP_OFFSET) + "-" +
                        offset_text(STAMP_OFFSET + stamp.size() - 1)};
    std::copy(stamp.begin(), stamp.end(), bytes.begin() + STAMP_OFFSET);
  }
  if (o.size > GENERATION_OFFSET) bytes[GENERATION_OFFSET] = 0xFF;
  return bytes;
}

// One S-record line: "S", KIND, the count, ADDRESS in ADDRESS_BYTES bytes,
// the data and the checksum (ones' complement of the low byte of the sum
// of the count, address and data bytes), in upper-case hex, and a LF.
std::string s_record(char kind, uint32_t address, int address_bytes, const uint8_t* data,
                     size_t size) {
  std::vector<uint8_t> fields = {static_cast<uint8_t>(address_bytes + size + 1)};
  for (int shift = 8 * (address_bytes - 1); shift >= 0; shift -= 8)
    fields.push_back(static_cast<uint8_t>(address >> shift));
  fields.insert(fields.end(), data, data + size);
  unsigned sum = 0;
  for (uint8_t field : fields) sum += field;
  fields.push_back(static_cast<uint8_t>(~sum));
  static const char DIGITS[] = "0123456789ABCDEF";
  std::string line = {'S', kind};
  for (uint8_t field : fields) {
    line += DIGITS[field >> 4];
    line += DIGITS[field & 0xF];
  }
  return line + '\n';
}

std::string s_records(const std::vector<uint8_t>& bytes) {
  const char header[] = "x3image";
  std::string text =
      s_record('0', 0, 2, reinterpret_cast<const uint8_t*>(header), sizeof header - 1);
  for (size_t offset = 0; offset < bytes.size(); offset += BYTES_PER_RECORD)
    text += s_record('3', static_cast<uint32_t>(offset), 4, bytes.data() + offset,
                     std::min(BYTES_PER_RECORD, bytes.size() - offset));
  return text + s_record('7', 0, 4, nullptr, 0);
}

int firmware(const std::string& path, const std::vector<std::string>& options) {
  if (path.compare(0, 1, "-") == 0) throw usage_error{"firmware needs OUT before its options"};
  write_file(path, s_records(firmware_bytes(parse_firmware_options(options))));
  return 0;
}

int run(const std::vector<std::string>& args) {
  if (args.size() < 2) throw usage_error{"COMMAND and FILE are needed"};
  const std::string& command = args[0];
  const std::string& path = args[1];
  const std::vector<std::string> options(args.begin() + 2, args.end());
  if (command == "check") return check(path, allowed_problems(parse_options(options, {"--allow"})));
  if (command == "info") {
    if (options.size() > 1 || (options.size() == 1 && options[0] != "--json"))
      throw usage_error{"info takes FILE and optionally --json"};
    return info(path, options.size() == 1);
  }
  if (command == "form") {
    std::string slots, boundary = DEFAULT_BOUNDARY;
    for (size_t i = 0; i < options.size(); i += 2) {
      if (i + 1 >= options.size()) throw usage_error{options[i] + " needs a value"};
      if (options[i] == "--slots") {
        slots = options[i + 1];
      } else if (options[i] == "--boundary") {
        boundary = options[i + 1];
      } else {
        throw usage_error{"unknown option " + options[i]};
      }
    }
    if (slots.empty()) throw usage_error{"form needs --slots LIST"};
    check_boundary(boundary);
    return form(path, parse_slots(slots), boundary);
  }
  if (command == "firmware") return firmware(path, options);
  if (command == "sign") return sign(path, options);
  if (command == "attach") return attach(path, options);
  if (command == "verify") return verify(path, options);
  if (command == "payload") return payload(path, options);
  throw usage_error{"unknown command " + command};
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
    printf(USAGE, DEFAULT_BOUNDARY);
    return 0;
  }
  try {
    return run(args);
  } catch (const usage_error& e) {
    fprintf(stderr, "x3image: %s\n(x3image --help explains the commands)\n", e.message.c_str());
  } catch (const exception_t& e) {
    fflush(stdout);
    fprintf(stderr, "x3image: %s\n", e.message);
  }
  return 1;
}
