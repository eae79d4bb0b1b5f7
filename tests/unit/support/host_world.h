// A clean host-side world for one test: the platform's records and scripts
// reset, and a fresh temporary folder as the current folder, removed after.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/host/host_control.h"

class HostWorld : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::host::Reset();
    char pattern[] = "/tmp/olk-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    previous_ = std::filesystem::current_path();
    std::filesystem::current_path(root_);
  }
  void TearDown() override {
    platform::host::Reset();
    std::filesystem::current_path(previous_);
    std::filesystem::remove_all(root_);
  }

  // Writes a file (creating its folders) under the temporary folder.
  void WriteFile(const std::string& relative, const std::string& bytes) {
    std::filesystem::path p = root_ / relative;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << bytes;
  }
  std::string ReadFile(const std::string& relative) {
    std::ifstream in(root_ / relative, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  const std::filesystem::path& root() const { return root_; }

 private:
  std::filesystem::path root_;
  std::filesystem::path previous_;
};
