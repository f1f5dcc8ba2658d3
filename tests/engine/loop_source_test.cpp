// Loop sources as other editors and careless hands leave them (byte order marks, CR line ends,
// NULs, numbers no float holds, names given twice), which form a file is read in, and files
// written beside their name and moved into place.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "engine/output_file.h"
#include "engine/sequence_text.h"
#include "engine/sequence_writer.h"

namespace {

namespace fs = std::filesystem;
using namespace vl::engine;
using namespace std::string_literals;

constexpr const char* kSource =
    "version 6\n[settings]\ntext_string = \"Hi\"\n[initial]\nbackground_r = 12\n[key]\nframe = 0\n[key]\nframe = 40\n"
    "background_r = 50\n";

std::string Replace(std::string s, const std::string& from, const std::string& to) {
  for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
    s.replace(at, from.size(), to);
  return s;
}

// The loop a source makes, as its decompiled text; or the error.
std::string Compiled(const std::string& text, std::vector<std::string>* warnings = nullptr) {
  auto scene = std::make_unique<SceneState>();
  if (auto err = CompileSequence(text, "s.txt", *scene, warnings)) return "error: " + err->ToString();
  return DecompileSequence(*scene);
}

TEST(LoopSource, ByteOrderMarkAndEveryLineEndingGiveTheSameLoop) {
  const std::string plain = Compiled(kSource);
  ASSERT_EQ(plain.rfind("error", 0), std::string::npos) << plain;
  EXPECT_EQ(Compiled("\xEF\xBB\xBF" + std::string(kSource)), plain);
  EXPECT_EQ(Compiled(Replace(kSource, "\n", "\r\n")), plain);
  EXPECT_EQ(Compiled(Replace(kSource, "\n", "\r")), plain);
  // Line numbers count CR-only lines too.
  EXPECT_EQ(Compiled(Replace(std::string(kSource) + "bogus\n", "\n", "\r")),
            "error: s.txt: line 11, column 1: expected 'name = value', got 'bogus'");
}

TEST(LoopSource, NulBytesAndNumbersNoFloatHoldsAreRefusedWithLineAndColumn) {
  EXPECT_EQ(Compiled("version 6\n[settings]\ntext_string = \"a\0b\"\n"s),
            "error: s.txt: line 3, column 17: NUL byte in the source");
  for (const std::string big : {"1e999", "3.5e38", "-3.5e38"}) {
    SCOPED_TRACE(big);
    EXPECT_EQ(Compiled(Replace(kSource, "background_r = 50", "background_r = " + big)),
              "error: s.txt: line 10, column 16: number '" + big +
                  "' for background_r is too large for a float (at most 3.40282347e+38)");
  }
  // The largest float and numbers that round to zero are fine.
  EXPECT_EQ(Compiled(Replace(kSource, "background_r = 50", "background_r = 3.4e38")).rfind("error", 0),
            std::string::npos);
  EXPECT_EQ(Compiled(Replace(kSource, "background_r = 50", "background_r = 1e-50")).rfind("error", 0),
            std::string::npos);
}

TEST(LoopSource, RepeatsNonFiniteValuesAndKeysOutOfOrderAreTakenWithWarnings) {
  std::vector<std::string> warnings;
  const std::string text =
      "version 6\n[settings]\ntext_lit = inf\ntext_lit = 2\n[initial]\n[settings]\n[key]\nframe = 50\n"
      "background_r = nan\n[key]\nframe = 20\n";
  ASSERT_EQ(Compiled(text, &warnings).rfind("error", 0), std::string::npos);
  const std::vector<std::string> expected = {
      "s.txt: line 3, column 12: text_lit is inf, which no frame can draw",
      "s.txt: line 4, column 1: 'text_lit' is set again in this section; the last value is used",
      "s.txt: line 6, column 1: a second [settings] section; its values are taken as if they were in the first",
      "s.txt: line 9, column 16: background_r is nan, which no frame can draw",
      "s.txt: line 11, column 9: key 1 is on frame 20, not after the key before it (frame 50)",
  };
  EXPECT_EQ(warnings, expected);
  warnings.clear();
  Compiled(kSource, &warnings);
  EXPECT_TRUE(warnings.empty());
}

class LoopFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("vl_loop_files_" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path Write(const std::string& name, const std::string& bytes) {
    std::ofstream(dir_ / name, std::ios::binary) << bytes;
    return dir_ / name;
  }
  std::string Read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::string Error(const fs::path& p) {
    auto r = ReadLoopFile(p);
    return r ? std::string("read") : r.error().ToString();
  }
  std::string LoopFileBytes() {
    auto scene = std::make_unique<SceneState>();
    EXPECT_FALSE(CompileSequence(kSource, "s.txt", *scene).has_value());
    const auto bytes = WriteSequence(*scene, 6.0f);
    return std::string(bytes.begin(), bytes.end());
  }
  fs::path dir_;
};

TEST_F(LoopFiles, NameAndFirstBytesTogetherChooseTheForm) {
  const std::string binary = LoopFileBytes();
  struct Case {
    const char* name;
    std::string bytes;
    LoopForm form;
  };
  const Case cases[] = {
      {"a.lqf", binary, LoopForm::kLoopFile},
      {"a.txt", binary, LoopForm::kLoopFile},
      {"a", binary, LoopForm::kLoopFile},
      {"a.txt", kSource, LoopForm::kSource},
      {"a.lqf", kSource, LoopForm::kSource},
      {"a.txt", "\xEF\xBB\xBF" + std::string(kSource), LoopForm::kSource},
      {"a.txt", std::string("\0version 6", 10), LoopForm::kSource},
      {"a.txt", "  \n\n", LoopForm::kSource},
      {"a.lqf", "garbage", LoopForm::kLoopFile},
      {"a.src", "garbage", LoopForm::kSource},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + c.bytes.substr(0, 12));
    EXPECT_EQ(ChooseLoopForm(c.name, c.bytes).form, c.form);
  }
  // Read whole: a loop file named .txt and a source named .lqf both load.
  EXPECT_EQ(Error(Write("binary.txt", binary)), "read");
  EXPECT_EQ(Error(Write("text.lqf", kSource)), "read");
  EXPECT_EQ(Error(Write("bom.txt", "\xEF\xBB\xBF" + std::string(kSource))), "read");
}

TEST_F(LoopFiles, ErrorsSayWhatTheFileWasTakenFor) {
  EXPECT_EQ(Error(Write("empty.txt", "")), (dir_ / "empty.txt").string() + ": the file is empty");
  EXPECT_EQ(Error(Write("blank.lqf", " \r\n\t\n")),
            (dir_ / "blank.lqf").string() + ": the file is empty: only blank lines");
  EXPECT_EQ(Error(Write("nul.txt", std::string("\0version 6\n", 11))),
            (dir_ / "nul.txt").string() + ": line 1, column 1: NUL byte in the source");
  EXPECT_EQ(Error(Write("junk.src", "keyframes here\n")),
            (dir_ / "junk.src").string() +
                ": line 1, column 1: expected 'name = value', got 'keyframes here' (read as a loop source: it does not "
                "start with a loop file's version number)");
  // A source far larger than any loop is refused as a source, not parsed as binary (sparse file).
  const fs::path huge = Write("huge.txt", "version 6\n");
  fs::resize_file(huge, kMaxSourceBytes + 1);
  EXPECT_EQ(Error(huge), huge.string() + ": loop source larger than 64 MB");
}

TEST_F(LoopFiles, OutputsReplaceTheTargetOnlyWhenCommitted) {
  const fs::path target = dir_ / "out.mp4";
  Write("out.mp4", "old");
  {
    auto out = vl::OutputFile::Begin(target);
    ASSERT_TRUE(out);
    EXPECT_EQ(out->temp_path().extension(), ".mp4");
    EXPECT_LE(out->temp_path().filename().string().size(), 24u);
    std::ofstream(out->temp_path()) << "new";
  }  // not committed: gone, the old file kept
  EXPECT_EQ(Read(target), "old");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), {}), 1);
  {
    auto out = vl::OutputFile::Begin(target);
    std::ofstream(out->temp_path()) << "new";
    EXPECT_FALSE(out->Commit().has_value());
  }
  EXPECT_EQ(Read(target), "new");

  // A link to a regular file: the file it leads to is replaced, the link stays.
  fs::create_symlink(target, dir_ / "link.mp4");
  {
    auto out = vl::OutputFile::Begin(dir_ / "link.mp4");
    std::ofstream(out->temp_path()) << "through";
    EXPECT_FALSE(out->Commit().has_value());
  }
  EXPECT_TRUE(fs::is_symlink(dir_ / "link.mp4"));
  EXPECT_EQ(Read(target), "through");

  // Devices and FIFOs are never replaced.
  ASSERT_EQ(::mkfifo((dir_ / "pipe.mp4").c_str(), 0600), 0);
  fs::create_symlink("/dev/null", dir_ / "null.mp4");
  for (const char* name : {"pipe.mp4", "null.mp4"}) {
    auto out = vl::OutputFile::Begin(dir_ / name);
    ASSERT_FALSE(out);
    EXPECT_NE(out.error().message.find("not a regular file"), std::string::npos);
  }
  struct stat st {};
  ASSERT_EQ(::stat("/dev/null", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
}

TEST_F(LoopFiles, AFolderIsReplacedWholeAndTheSameFileIsRefused) {
  fs::create_directories(dir_ / "frames");
  Write("frames/frame_00000.png", "old");
  {
    auto out = vl::OutputFile::Begin(dir_ / "frames", /*folder=*/true);
    ASSERT_TRUE(out);
    std::ofstream(out->temp_path() / "frame_00000.png") << "new";
    EXPECT_FALSE(out->Commit().has_value());
  }
  EXPECT_EQ(Read(dir_ / "frames" / "frame_00000.png"), "new");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), {}), 1);  // the old folder is gone

  const fs::path a = Write("a.txt", "x");
  fs::create_hard_link(a, dir_ / "b.txt");
  fs::create_symlink(a, dir_ / "c.txt");
  EXPECT_TRUE(vl::RefuseSameFile(a, a).has_value());
  EXPECT_TRUE(vl::RefuseSameFile(a, dir_ / "b.txt").has_value());
  EXPECT_TRUE(vl::RefuseSameFile(dir_ / "c.txt", dir_ / "." / "a.txt").has_value());
  EXPECT_FALSE(vl::RefuseSameFile(a, dir_ / "new.txt").has_value());
  EXPECT_FALSE(vl::RefuseSameFile(a, dir_ / "frames").has_value());
}

}  // namespace
