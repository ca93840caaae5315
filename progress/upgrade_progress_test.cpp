#include "progress/upgrade_progress.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>

namespace {

std::string read(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The file with its times as T.
std::string masked(const std::string& text) {
  static const std::regex times(
      "\"step_seconds\":\\d+\\.\\d,\"run_seconds\":\\d+\\.\\d,\"updated\":\"\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ\"");
  return std::regex_replace(text, times, "T");
}

class Progress : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/x3_progress_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    dir_ = pattern;
    path_ = dir_ + "/progress.json";
    setenv(PROGRESS_VARIABLE, path_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv(PROGRESS_VARIABLE);
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }
  std::string dir_, path_;
};

TEST_F(Progress, EachStateOfARunAsTheFileSaysIt) {
  progress_writer progress("flash_x3");
  ASSERT_TRUE(progress.keeping());
  const std::string head = "{\"program\":\"flash_x3\",\"run\":\"r\",\"slots\":[3,5],";
  const struct {
    const char* what;
    std::function<void()> act;
    std::string file;
  } rows[] = {
      {"started", [&] { progress.start("r", {3, 5}); },
       "\"slot\":null,\"index\":null,\"step\":null,\"done\":null,\"total\":null,\"unit\":null,T,"
       "\"finished\":false,\"outcome\":null}\n"},
      {"a short step", [&] { progress.step(0, "grab_flash"); },
       "\"slot\":3,\"index\":0,\"step\":\"grab_flash\",\"done\":null,\"total\":null,\"unit\":null,T,"
       "\"finished\":false,\"outcome\":null}\n"},
      {"a long step begins", [&] { progress.step(1, "erase_flash"); },
       "\"slot\":5,\"index\":1,\"step\":\"erase_flash\",\"done\":null,\"total\":null,\"unit\":null,T,"
       "\"finished\":false,\"outcome\":null}\n"},
      {"its first unit", [&] { progress.units(0, 3); },
       "\"slot\":5,\"index\":1,\"step\":\"erase_flash\",\"done\":0,\"total\":3,\"unit\":\"sectors\",T,"
       "\"finished\":false,\"outcome\":null}\n"},
      {"its last unit", [&] { progress.units(3, 3); },
       "\"slot\":5,\"index\":1,\"step\":\"erase_flash\",\"done\":3,\"total\":3,\"unit\":\"sectors\",T,"
       "\"finished\":false,\"outcome\":null}\n"},
      {"rows", [&] { progress.step(1, "verify_flash"), progress.units(0, 2048); },
       "\"slot\":5,\"index\":1,\"step\":\"verify_flash\",\"done\":0,\"total\":2048,\"unit\":\"rows\",T,"
       "\"finished\":false,\"outcome\":null}\n"},
      {"finished", [&] { progress.finish("The upgrade \"failed\"."); },
       "\"slot\":5,\"index\":1,\"step\":\"verify_flash\",\"done\":0,\"total\":2048,\"unit\":\"rows\",T,"
       "\"finished\":true,\"outcome\":\"The upgrade \\\"failed\\\".\"}\n"},
  };
  for (const auto& r : rows) {
    r.act();
    EXPECT_EQ(head + r.file, masked(read(path_))) << r.what;
    EXPECT_EQ("{\"progress\": " + read(path_).substr(0, read(path_).size() - 1) + ", \"error\": null}\n",
              progress_json(path_))
        << r.what;
  }
  EXPECT_NE(0, access((path_ + ".new").c_str(), F_OK)) << "the new version was left beside the file";
}

TEST_F(Progress, WhatTheStatusPageSaysOfAFile) {
  const struct {
    const char* what;
    std::string content;  // "" for no file
    std::string answer;
  } rows[] = {
      {"no file", "", "{\"progress\": null, \"error\": null}\n"},
      {"not JSON", "{\"slot\":", "{\"progress\": null, \"error\": \"" + path_ + " is not a progress file\"}\n"},
      {"not an object", "[1]", "{\"progress\": null, \"error\": \"" + path_ + " is not a progress file\"}\n"},
      {"too large", std::string(5000, ' ') + "{}", "{\"progress\": null, \"error\": \"" + path_ +
       " is not a progress file\"}\n"},
      {"an object", "{\"slot\":3}\n", "{\"progress\": {\"slot\":3}, \"error\": null}\n"},
  };
  for (const auto& r : rows) {
    unlink(path_.c_str());
    if (!r.content.empty()) std::ofstream(path_) << r.content;
    EXPECT_EQ(r.answer, progress_json(path_)) << r.what;
  }
  EXPECT_EQ("{\"progress\": null, \"error\": \"cannot read " + dir_ + ": Is a directory\"}\n", progress_json(dir_));
}

}  // namespace
