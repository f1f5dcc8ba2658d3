// Every loop of the bundled library, as source and as the compiled file beside the programs,
// passes vantaloop-cli check with no finding at all.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

TEST(BundledLoopsCheck, EveryLoopHasNoFinding) {
  const fs::path bin(VL_BIN_DIR);
  const fs::path sources = fs::path(VL_TEST_DATA) / ".." / ".." / "res" / "loops";
  std::vector<std::string> loops;
  for (const auto& e : fs::directory_iterator(sources)) {
    if (e.path().extension() != ".txt") continue;
    loops.push_back(e.path().string());
    const fs::path compiled = bin / "Sequences" / (e.path().stem().string() + ".lqf");
    if (fs::exists(compiled)) loops.push_back(compiled.string());
  }
  ASSERT_GE(loops.size(), 16u);
  std::sort(loops.begin(), loops.end());

  const fs::path out = fs::temp_directory_path() / ("vl_bundled_check_" + std::to_string(::getpid()));
  std::string cmd = (bin / "vantaloop-cli").string() + " check --json --library " + bin.string();
  for (const std::string& l : loops) cmd += " " + l;
  cmd += " >" + out.string() + " 2>&1";
  const int status = std::system(cmd.c_str());
  std::ifstream in(out, std::ios::binary);
  const std::string json((std::istreambuf_iterator<char>(in)), {});
  fs::remove(out);

  EXPECT_EQ(WEXITSTATUS(status), 0) << json;
  // One object per loop, each with an empty list of findings.
  size_t files = 0, empty = 0;
  for (size_t at = json.find("\"file\""); at != std::string::npos; at = json.find("\"file\"", at + 1)) ++files;
  for (size_t at = json.find("\"findings\": []"); at != std::string::npos; at = json.find("\"findings\": []", at + 1))
    ++empty;
  EXPECT_EQ(files, loops.size()) << json;
  EXPECT_EQ(empty, loops.size()) << json;
}

}  // namespace
