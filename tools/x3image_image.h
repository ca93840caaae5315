// What x3image knows about an image file: how the switch's loader reads
// it, the facts info reports, the signature it carries, and the images
// that load but cannot be right. Shared by x3image's commands.
#ifndef TOOLS_X3IMAGE_IMAGE_H
#define TOOLS_X3IMAGE_IMAGE_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "flashing/image_facts.h"
#include "flashing/s19_loader.h"
#include "signing/signature_records.h"

// A mistake on the command line; main adds a pointer to --help.
struct usage_error {
  std::string message;
};

// The web server takes request bodies up to 8 MiB; a larger file could
// never reach a switch.
const size_t MAX_FILE_BYTES = 8 << 20;
const char DEFAULT_BOUNDARY[] = "x3imageFormBoundary1971";

std::vector<uint8_t> read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);

// What the switch's loader makes of an uploaded file.
struct loaded_image {
  bool accepted = false;
  std::vector<uint32_t> words = std::vector<uint32_t>(FLASH_IMAGE_WORDS, NO_DATA);
  bool above_64k = false;
  std::string file;  // the file as it is
  size_t read = 0;   // bytes of it the loader read: through the end record's line
  signed_image_reader signature;
};

// Runs the product's loader over the file as the switch reads it inside
// the upload: the file is followed there by the form's closing delimiter,
// so an end record without a line end of its own is still accepted.
// The loader writes its reason for refusing the file to standard output.
void load(const std::string& path, loaded_image* image);

// What info reports about an accepted image: the facts the upgrade
// history records too, and where the data lies.
struct image_summary : image_facts {
  std::vector<uint32_t> sectors;  // bank offsets of the sectors written
  bool shared_sector = false;
  bool generation_byte = false;
};
image_summary summarise(const loaded_image& image);

// An image the switch takes that cannot be right, named as --allow names
// it, with what it would do to the cards.
struct image_problem {
  std::string name;
  std::string reason;
};
std::vector<image_problem> image_problems(const image_summary& summary);
const char* const PROBLEM_NAMES[] = {"empty", "no-generation", "other-bank"};

// The problems of `summary` that `allowed` (names from --allow) leaves.
std::vector<image_problem> unallowed_problems(const image_summary& summary,
                                              const std::vector<std::string>& allowed);

std::string hex(uint32_t value, int digits);

// A command's "--name value" options, each name one of `names`; the values
// of each name in the order given.
using command_options = std::map<std::string, std::vector<std::string>>;
command_options parse_options(const std::vector<std::string>& options, const std::vector<std::string>& names);
// The one value of `name`, or `otherwise` when it was not given.
std::string option(const command_options& options, const std::string& name, const std::string& otherwise = "");
// The values of --allow, each checked against PROBLEM_NAMES.
std::vector<std::string> allowed_problems(const command_options& options);

// Commands of their own files.
int sign(const std::string& path, const std::vector<std::string>& options);
int attach(const std::string& path, const std::vector<std::string>& options);
int verify(const std::string& path, const std::vector<std::string>& options);
int payload(const std::string& path, const std::vector<std::string>& options);
// The key id and trusted comment an image's signature names, for info;
// both empty when it carries none, the id "damaged" when unreadable.
void signature_facts(const loaded_image& image, std::string* id, std::string* comment);

#endif
