// Keys and signatures made by Debian's minisign itself, for the signed
// image tests: a signer nobody here wrote.
#ifndef TESTS_SUPPORT_MINISIGN_H
#define TESTS_SUPPORT_MINISIGN_H

#include <gtest/gtest.h>

#include <string>

#include "tests/support/process.h"

const char MINISIGN[] = "/usr/bin/minisign";

// A key pair without a password: `base`.pub and `base`.key.
inline void make_minisign_keys(const std::string& base) {
  const process_result r = run_process({MINISIGN, "-G", "-W", "-f", "-p", base + ".pub", "-s", base + ".key"}, "");
  ASSERT_EQ(0, r.status) << r.err;
}

// minisign's signature of `file` by `key`, in `file`.minisig.
inline void minisign_sign(const std::string& file, const std::string& key, const std::string& comment) {
  const process_result r =
      run_process({MINISIGN, "-S", "-s", key, "-m", file, "-x", file + ".minisig", "-t", comment}, "");
  ASSERT_EQ(0, r.status) << r.err;
}

// The key id minisign gives `base`.pub, from its comment line.
inline std::string minisign_key_id(const std::string& base) {
  const std::string text = read_file(base + ".pub");
  const std::string marker = "public key ";
  const size_t id = text.find(marker) + marker.size();
  return text.substr(id, text.find('\n', id) - id);
}

#endif
