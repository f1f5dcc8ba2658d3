// vantaloop-cli edit as scripts use it: the bundled loops kept as they are with no edits, edits in
// command-line order, and a wrong edit refused with exit 2 before anything is written.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "engine/keyframes.h"
#include "engine/sequence_text.h"
#include "engine/sequence_writer.h"

namespace {

namespace fs = std::filesystem;
using namespace vl::engine;

struct CliResult {
  int code;
  std::string out, err;
};

std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class EditCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("vl_edit_" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "io");
  }
  void TearDown() override { fs::remove_all(dir_); }

  static std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
  }

  CliResult Cli(const std::string& args) {
    const std::string cmd = std::string(VL_BIN_DIR) + "/vantaloop-cli " + args + " >" + (dir_ / "io" / "out").string() +
                            " 2>" + (dir_ / "io" / "err").string();
    const int status = std::system(cmd.c_str());
    return {WEXITSTATUS(status), Slurp(dir_ / "io" / "out"), Slurp(dir_ / "io" / "err")};
  }

  // A bundled loop as a loop file, compiled as the build compiles it.
  std::string Bundled(const std::string& name) {
    const fs::path src = fs::path(VL_TEST_DATA) / ".." / ".." / "res" / "loops" / (name + ".txt");
    std::string out = (dir_ / (name + ".lqf")).string();
    auto scene = std::make_unique<SceneState>();
    EXPECT_FALSE(CompileSequenceFile(src, *scene).has_value());
    EXPECT_FALSE(WriteSequenceFile(*scene, out, scene->sequence_version).has_value());
    return out;
  }

  std::string Dump(const std::string& file) {
    CliResult r = Cli("dump " + Quote(file));
    EXPECT_EQ(r.code, 0) << r.err;
    return r.out;
  }

  // The files in the test folder other than the command's own output capture.
  std::vector<std::string> Files() {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_))
      if (e.path().filename() != "io") names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path dir_;
};

// The frame values dump prints for one track.
std::vector<double> Frames(const std::string& json, const std::string& track) {
  const size_t frames = json.find("\"frames\"");
  const size_t at = json.find("\"" + track + "\": [", frames);
  std::vector<double> out;
  if (at == std::string::npos) return out;
  const char* p = json.c_str() + json.find('[', at) + 1;
  while (*p && *p != ']') {
    char* end = nullptr;
    out.push_back(std::strtod(p, &end));
    p = *end == ',' ? end + 1 : end;
  }
  return out;
}

std::string Field(const std::string& json, const std::string& name) {
  const size_t at = json.find("\n  \"" + name + "\": ");
  if (at == std::string::npos) return "";
  const size_t from = at + name.size() + 7;
  return json.substr(from, json.find_first_of(",}\n", from) - from);
}

TEST_F(EditCommand, NoEditsKeepTheDumpOfEveryBundledLoop) {
  const fs::path folder = fs::path(VL_TEST_DATA) / ".." / ".." / "res" / "loops";
  int loops = 0;
  for (const auto& e : fs::directory_iterator(folder)) {
    if (e.path().extension() != ".txt") continue;
    const std::string name = e.path().stem().string();
    SCOPED_TRACE(name);
    const std::string in = Bundled(name), out = (dir_ / (name + "-out.lqf")).string();
    CliResult r = Cli("edit " + Quote(in) + " " + Quote(out));
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Dump(out), Dump(in));
    ++loops;
  }
  EXPECT_EQ(loops, 16);

  // A loop source is read as the player reads it.
  const fs::path source = folder / "glass.txt";
  ASSERT_EQ(Cli("edit " + Quote(source.string()) + " " + (dir_ / "glass-src.lqf").string()).code, 0);
  EXPECT_EQ(Dump((dir_ / "glass-src.lqf").string()), Dump(Bundled("glass")));

  // An older loop becomes version 6; everything else in its dump stays.
  auto scene = std::make_unique<SceneState>();
  ResetToLoadDefaults(*scene);
  ClearKeyframes(*scene);
  scene->keyframe_count = 2;
  (*scene->keyframe_frame)[1] = 40;
  (*scene->keyframe_frame)[2] = 90;
  scene->track(Track::text_rot_x).key_values[40] = 12.5f;
  const std::string old = (dir_ / "old.lqf").string();
  ASSERT_FALSE(WriteSequenceFile(*scene, old, 3.0f).has_value());
  ASSERT_EQ(Cli("edit " + old + " " + (dir_ / "new.lqf").string()).code, 0);
  auto from_keys = [](std::string json) { return json.erase(0, json.find("\"keyframe_count\"")); };
  const std::string converted = Dump((dir_ / "new.lqf").string());
  EXPECT_EQ(from_keys(converted), from_keys(Dump(old)));
  EXPECT_EQ(converted.rfind("{\"sequence_version\": 6,", 0), 0u) << converted.substr(0, 40);
}

TEST_F(EditCommand, EditsApplyInTheOrderGiven) {
  const std::string in = Bundled("carousel");  // keys on 0, 60, 120, 180, 240
  const std::string out = (dir_ / "out.lqf").string();
  CliResult r = Cli("edit " + in + " " + out +
                    " --set text_string=First --text 'Grand Opening \xE2\x82\xAC'"
                    " --set sprite_texture_name=Images/ring.bmp --initial text_pos_x=-30"
                    " --key text_rot_y@90=45 --move-key 90=100 --key text_rot_y@120=7 --remove-key 180"
                    " --key text_scale_x@300=80");
  ASSERT_EQ(r.code, 0) << r.err;
  const std::string json = Dump(out);
  EXPECT_EQ(Field(json, "text_string"), "\"Grand Opening \xC2\x80\"");  // the euro's byte, as dump prints it
  EXPECT_EQ(Field(json, "sprite_texture_name_length"), "15");
  EXPECT_NE(json.find("\"keyframe_frame\": [0, 60, 100, 120, 240, 300]"), std::string::npos) << json.substr(0, 200);

  const auto before = Dump(in);
  const auto rot_y = Frames(json, "text_rot_y");
  ASSERT_GE(rot_y.size(), 301u);
  EXPECT_NEAR(rot_y[99], 45.0, 1e-4);  // a key's value lands on the frame before it
  EXPECT_NEAR(rot_y[119], 7.0, 1e-4);
  EXPECT_EQ(Field(json, "text_pos_x"), "-30");  // the initial values come before the frames
  // The row added on frame 300 holds every other track where the loop ended.
  const auto spin = Frames(json, "text_rot_x");
  EXPECT_EQ(spin[299], spin[239]);
  EXPECT_NEAR(Frames(json, "text_scale_x")[299], 80.0, 1e-4);
  // Tracks nobody edited keep their motion up to the first removed key.
  const auto old_spin = Frames(before, "text_rot_x");
  for (int f = 0; f < 120; ++f) ASSERT_NEAR(spin[static_cast<size_t>(f)], old_spin[static_cast<size_t>(f)], 1e-3) << f;
}

TEST_F(EditCommand, AWrongEditExitsTwoNamingItAndWritesNothing) {
  const std::string in = Bundled("tunnel");  // keys on 0, 100, 200
  const std::string out = (dir_ / "out.lqf").string();
  const auto before = Files();
  struct Case {
    std::string args, says;
  };
  const Case cases[] = {
      {"--set no_such=1", "--set no_such=1: unknown setting 'no_such'"},
      {"--set tunnel_r=abc", "--set tunnel_r=abc: tunnel_r: 'abc' is not a finite number"},
      {"--set tunnel_r", "--set tunnel_r: expected FIELD=VALUE"},
      {"--set text_font_weight=1.5", "--set text_font_weight=1.5: text_font_weight: '1.5' is not a whole number"},
      {"--text '\xE6\x97\xA5\xE6\x9C\xAC'", "Windows-1252"},
      {"--initial text_rot_x=nan", "--initial text_rot_x=nan: 'nan' is not a finite number"},
      {"--initial tunnel_r=1", "--initial tunnel_r=1: 'tunnel_r' is a setting, not a track"},
      {"--key text_rot_x@10000=1", "--key text_rot_x@10000=1: " + in + ": frame 10000 is outside 0 .. 9999"},
      {"--key text_rot_x@ten=1", "--key text_rot_x@ten=1: 'ten' is not a frame number"},
      {"--key text_rot_x=1", "--key text_rot_x=1: expected TRACK@FRAME=VALUE"},
      {"--key photo_light_y@100=1", "has no values at keys"},
      {"--remove-key 7", "--remove-key 7: " + in + ": there is no key on frame 7"},
      {"--move-key 100=200",
       "--move-key 100=200: " + in + ": a key on frame 200 would not come before key 2 on frame 200"},
      {"--move-key 100=-1", "--move-key 100=-1: " + in + ": frame -1 is outside 0 .. 9999"},
      {"--remove-key 100 --remove-key 200", "--remove-key 200: " + in + ": a loop needs at least two keys"},
      // A later edit that fails leaves nothing written by the earlier ones either.
      {"--text fine --set tunnel_r=inf", "--set tunnel_r=inf"},
  };
  for (const Case& c : cases) {
    CliResult r = Cli("edit " + in + " " + out + " " + c.args);
    EXPECT_EQ(r.code, 2) << c.args << "\n" << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << c.args << "\n" << r.err;
    EXPECT_NE(r.err.find("Usage: vantaloop-cli edit"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(Files(), before) << c.args;  // no OUT, no temporary beside it
  }

  // Like every command: its usage on a wrong option or a missing argument.
  for (const std::string& args : {std::string("--no-such-option"), in}) {
    CliResult wrong = Cli("edit " + args);
    EXPECT_EQ(wrong.code, 2) << args;
    EXPECT_NE(wrong.err.find("Usage: vantaloop-cli edit [OPTIONS] IN OUT"), std::string::npos) << wrong.err;
  }
  EXPECT_NE(Cli("--help").out.find("  edit "), std::string::npos);

  // The input is never written over, under its own name or another.
  fs::create_symlink(in, dir_ / "link.lqf");
  CliResult same = Cli("edit " + in + " " + (dir_ / "link.lqf").string() + " --text x");
  EXPECT_EQ(same.code, 2);
  EXPECT_NE(same.err.find("would destroy it"), std::string::npos) << same.err;

  // A FIFO named as OUT is neither waited on nor replaced.
  ASSERT_EQ(::mkfifo((dir_ / "pipe.lqf").c_str(), 0600), 0);
  CliResult pipe = Cli("edit " + in + " " + (dir_ / "pipe.lqf").string() + " --text x");
  EXPECT_EQ(pipe.code, 1);
  EXPECT_NE(pipe.err.find("pipe.lqf"), std::string::npos) << pipe.err;
  EXPECT_TRUE(fs::is_fifo(dir_ / "pipe.lqf"));

  CliResult missing = Cli("edit " + (dir_ / "nothing.lqf").string() + " " + out);
  EXPECT_EQ(missing.code, 1);
  EXPECT_NE(missing.err.find("nothing.lqf"), std::string::npos);
  EXPECT_FALSE(fs::exists(out));
}

TEST_F(EditCommand, AKeyOnAnExistingFrameSetsThatKey) {
  const std::string in = Bundled("tunnel");
  const std::string out = (dir_ / "out.lqf").string();
  CliResult r = Cli("edit " + in + " " + out + " --key tunnel_twist@100=12.5 --key tunnel_twist@0=3");
  ASSERT_EQ(r.code, 0) << r.err;
  // The first key's value is stored but not played: the note says how to set where it starts.
  EXPECT_NE(r.err.find("--initial tunnel_twist=VALUE"), std::string::npos) << r.err;
  const std::string json = Dump(out);
  EXPECT_NE(json.find("\"keyframe_frame\": [0, 100, 200]"), std::string::npos);
  EXPECT_NEAR(Frames(json, "tunnel_twist")[99], 12.5, 1e-4);
}

}  // namespace
