// What the export tests stand on: a headless OpenGL context (the test is skipped where none can be
// made, and fails in CI), the program folder the bundled pictures and fonts resolve against, a
// scratch folder of the test's own, and loops written from their text source.
#pragma once
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <utility>

#include "engine/asset_paths.h"
#include "engine/scene_state.h"
#include "engine/sequence_text.h"
#include "engine/sequence_writer.h"
#include "platform/headless/headless_context.h"
#include "tests/render/gl_test_context.h"

namespace vl::test {

class ExportFixture : public ::testing::Test {
 protected:
  explicit ExportFixture(std::string prefix) : prefix_(std::move(prefix)) {}

  void SetUp() override {
    std::string error;
    if (!headless::HeadlessContext::Create(16, 16, &error)) {
      if (RunningInCi()) FAIL() << error;
      GTEST_SKIP() << "no headless OpenGL context (" << error << ")";
    }
    SetProgramFolder(VL_BIN_DIR);
    dir_ = std::filesystem::temp_directory_path() / (prefix_ + std::to_string(::getpid()) + "_" +
                                                     ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }

  // Compiles `text` and writes it as `<name>.lqf` in the test's folder.
  std::string WriteLoop(const std::string& name, const std::string& text) {
    std::string path = (dir_ / (name + ".lqf")).string();
    auto scene = std::make_unique<engine::SceneState>();
    auto status = engine::CompileSequence(text, name, *scene);
    EXPECT_FALSE(status) << status->ToString();
    auto written = engine::WriteSequenceFile(*scene, path);
    EXPECT_FALSE(written) << written->ToString();
    return path;
  }

  std::filesystem::path dir_;

 private:
  std::string prefix_;
};

}  // namespace vl::test
