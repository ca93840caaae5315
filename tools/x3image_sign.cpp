// x3image's signature commands: sign, attach, verify and payload.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>

#include "common/exception.h"
#include "signing/image_signature.h"
#include "signing/minisign_signer.h"
#include "tools/x3image_image.h"

namespace {

// Loads `path` for sign and attach and says why it cannot be signed:
// a file the switch refuses, one signed already, one whose signed bytes
// would not be the whole file, and the problems `allowed` leaves.
bool signable(const std::string& path, const std::vector<std::string>& allowed, loaded_image* image,
              image_summary* summary) {
  load(path, image);
  if (!image->accepted) return false;
  if (image->signature.carries_signature()) {
    printf("%s: already signed; x3image payload gives the file without its signature\n", path.c_str());
    return false;
  }
  if (image->read < image->file.size()) {
    printf("%s: bytes follow the end record's line, and the switch never reads them; remove them "
           "before signing\n", path.c_str());
    return false;
  }
  if (image->read > image->file.size()) {
    printf("%s: the end record has no line end; add one before signing\n", path.c_str());
    return false;
  }
  *summary = summarise(*image);
  const std::vector<image_problem> problems = unallowed_problems(*summary, allowed);
  for (const image_problem& p : problems)
    printf("%s: %s (--allow %s signs it all the same)\n", path.c_str(), p.reason.c_str(), p.name.c_str());
  return problems.empty();
}

// The facts the trusted comment binds by default.
std::string default_comment(const image_summary& s) {
  std::string comment = "x3image crc32:" + crc32_text(s.crc);
  comment += " bytes:" + std::to_string(s.bytes);
  if (s.bytes) comment += " range:" + offset_text(s.lowest) + "-" + offset_text(s.highest);
  comment += " type:" + (s.type.empty() ? std::string("none") : s.type);
  if (!s.compiled.empty()) comment += " compiled:" + s.compiled;
  return comment;
}

// The password of `key_path`: the first line of --password-file, or asked
// for on the terminal without echo.
std::string read_password(const command_options& options, const std::string& key_path) {
  const std::string file = option(options, "--password-file");
  if (!file.empty()) {
    const std::vector<uint8_t> content = read_file(file);
    std::string password(content.begin(), content.end());
    password = password.substr(0, password.find('\n'));
    if (!password.empty() && password.back() == '\r') password.pop_back();
    return password;
  }
  const int tty = open("/dev/tty", O_RDWR | O_NOCTTY);
  if (tty < 0)
    throw exception_t("%s is protected by a password: give --password-file FILE, or run x3image on a "
                      "terminal", key_path.c_str());
  termios saved;
  const bool is_terminal = tcgetattr(tty, &saved) == 0;
  termios quiet = saved;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  if (is_terminal) tcsetattr(tty, TCSAFLUSH, &quiet);
  const std::string prompt = "Password for " + key_path + ": ";
  (void)!write(tty, prompt.data(), prompt.size());
  std::string password;
  char c;
  while (read(tty, &c, 1) == 1 && c != '\n' && password.size() < 1024) password += c;
  if (is_terminal) tcsetattr(tty, TCSAFLUSH, &saved);
  (void)!write(tty, "\n", 1);
  close(tty);
  if (!password.empty() && password.back() == '\r') password.pop_back();
  return password;
}

}  // namespace

int sign(const std::string& path, const std::vector<std::string>& args) {
  const command_options o = parse_options(args, {"--key", "--comment", "--password-file", "--allow", "-o"});
  const std::string key_path = option(o, "--key"), out = option(o, "-o");
  if (key_path.empty()) throw usage_error{"sign needs --key SECRET_KEY"};
  if (out.empty()) throw usage_error{"sign needs -o OUT"};
  loaded_image image;
  image_summary summary;
  if (!signable(path, allowed_problems(o), &image, &summary)) return 1;
  const std::string comment = option(o, "--comment", default_comment(summary));
  const std::string comment_error = check_trusted_comment(comment);
  if (!comment_error.empty()) throw usage_error{"--comment: " + comment_error};

  const std::vector<uint8_t> content = read_file(key_path);
  const std::string key_text(content.begin(), content.end());
  const std::string password = secret_key_encrypted(key_text) ? read_password(o, key_path) : "";
  secret_key key;
  const std::string key_error = parse_secret_key(key_text, password, &key);
  if (!key_error.empty()) throw exception_t("%s: %s", key_path.c_str(), key_error.c_str());
  uint8_t hash[PREHASH_BYTES];
  image.signature.prehash(hash);
  write_file(out, with_signature_records(image.file, sign_prehashed(key, hash, comment)));
  fprintf(stderr, "x3image: %s signed by key %s into %s\n", path.c_str(), key_id_text(key.id).c_str(),
          out.c_str());
  return 0;
}

int attach(const std::string& path, const std::vector<std::string>& args) {
  if (args.empty() || args[0].compare(0, 1, "-") == 0) throw usage_error{"attach needs FILE FILE.minisig"};
  const std::string signature_path = args[0];
  const command_options o = parse_options({args.begin() + 1, args.end()}, {"--allow", "-o"});
  const std::string out = option(o, "-o");
  if (out.empty()) throw usage_error{"attach needs -o OUT"};
  const std::vector<uint8_t> content = read_file(signature_path);
  if (content.size() > SIGNATURE_TEXT_MAX)
    throw exception_t("%s is larger than a signature can be (%zu bytes)", signature_path.c_str(),
                      SIGNATURE_TEXT_MAX);
  const std::string text(content.begin(), content.end());
  minisign_signature signature;
  const std::string error = parse_signature(text, &signature);
  if (!error.empty()) throw exception_t("%s: %s", signature_path.c_str(), error.c_str());
  if (!signature.prehashed)
    throw exception_t("%s signs the file's bytes themselves, which the switch does not take; sign "
                      "without minisign's -l", signature_path.c_str());
  loaded_image image;
  image_summary summary;
  if (!signable(path, allowed_problems(o), &image, &summary)) return 1;
  std::string normalised;
  for (const std::string& line : text_lines(text)) normalised += line + "\n";
  write_file(out, with_signature_records(image.file, normalised));
  fprintf(stderr, "x3image: signature by key %s attached to %s into %s\n", key_id_text(signature.id).c_str(),
          path.c_str(), out.c_str());
  return 0;
}

int verify(const std::string& path, const std::vector<std::string>& args) {
  const command_options o = parse_options(args, {"--keys"});
  const std::string keys_path = option(o, "--keys");
  if (keys_path.empty()) throw usage_error{"verify needs --keys KEYS"};
  std::vector<public_key> keys;
  const std::string keys_error = read_trusted_keys(keys_path.c_str(), &keys);
  if (!keys_error.empty()) throw exception_t("%s: %s", keys_path.c_str(), keys_error.c_str());
  loaded_image image;
  load(path, &image);
  if (!image.accepted) return 1;
  const signature_check check = check_signature(image.signature, keys);
  if (check.signature_read) {
    printf("key id           %s\n", key_id_text(check.id).c_str());
    printf("trusted comment  %s\n", check.trusted_comment.c_str());
  }
  printf("%s\n", check.verdict == signature_verdict::good ? "signature good" : check.detail.c_str());
  return check.verdict == signature_verdict::good ? 0 : 1;
}

int payload(const std::string& path, const std::vector<std::string>& args) {
  const command_options o = parse_options(args, {"-o", "--minisig"});
  const std::vector<uint8_t> content = read_file(path);
  const std::string file(content.begin(), content.end());
  bool removed = false;
  const std::string original = without_signature_records(file, &removed);
  if (!removed) throw exception_t("%s carries no signature", path.c_str());
  const std::string minisig = option(o, "--minisig");
  if (!minisig.empty()) {
    loaded_image image;
    load(path, &image);
    if (!image.signature.damage().empty()) throw exception_t("%s: %s", path.c_str(), image.signature.damage().c_str());
    write_file(minisig, image.signature.signature_text());
  }
  write_file(option(o, "-o", "-"), original);
  return 0;
}

void signature_facts(const loaded_image& image, std::string* id, std::string* comment) {
  id->clear();
  comment->clear();
  if (!image.signature.carries_signature()) return;
  minisign_signature signature;
  if (!image.signature.damage().empty() || !parse_signature(image.signature.signature_text(), &signature).empty()) {
    *id = "damaged";
    return;
  }
  *id = key_id_text(signature.id);
  *comment = signature.trusted_comment;
}
