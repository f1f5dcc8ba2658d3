// vantaloop-cli check, run as a loop author runs it: loops made to trip each finding, clean loops,
// the JSON form and the exit codes.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>

#include "engine/keyframes.h"
#include "engine/sequence_loader.h"
#include "engine/sequence_writer.h"

namespace {

namespace fs = std::filesystem;
using namespace vl::engine;

struct CheckRun {
  int code;
  std::string out, err;
};

class CheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("vl_check_" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "lib" / "Textures");
    fs::create_directories(dir_ / "lib" / "model");
    std::ofstream(dir_ / "lib" / "Textures" / "Gold.jpg") << "x";
    std::ofstream(dir_ / "lib" / "model" / "Box.3DS") << "x";
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Runs check with the test's library folder.
  CheckRun Check(const std::string& args, const std::string& env = "") {
    const std::string cmd = env + std::string(VL_BIN_DIR) + "/vantaloop-cli check --library " +
                            (dir_ / "lib").string() + " " + args + " >" + (dir_ / "out").string() + " 2>" +
                            (dir_ / "err").string();
    const int status = std::system(cmd.c_str());
    auto slurp = [](const fs::path& p) {
      std::ifstream in(p, std::ios::binary);
      return std::string(std::istreambuf_iterator<char>(in), {});
    };
    return {WEXITSTATUS(status), slurp(dir_ / "out"), slurp(dir_ / "err")};
  }

  // A loop source: settings, initial values, and keys at 0 and 100 (the second with `last`).
  std::string Source(const std::string& name, const std::string& settings, const std::string& initial = "",
                     const std::string& last = "", const std::string& version = "6") {
    const fs::path p = dir_ / name;
    std::ofstream(p) << "version " << version << "\n[settings]\ntext_on = 0\n"
                     << settings << "\n[initial]\n"
                     << initial << "\n[key]\nframe = 0\n[key]\nframe = 100\n"
                     << last << "\n";
    return p.string();
  }

  // Lines of the plain report with this code.
  static int Count(const std::string& out, const std::string& code) {
    int n = 0;
    for (size_t at = out.find(" " + code + ": "); at != std::string::npos; at = out.find(" " + code + ": ", at + 1))
      ++n;
    return n;
  }

  fs::path dir_;
};

TEST_F(CheckTest, CleanLoopsHaveNoFindingsAndExitZero) {
  const std::string bare = Source("bare.txt", "");
  // Whole turns and whole texture scrolls come back to where they started.
  const std::string turning =
      Source("turning.txt", "sprites_on = 2\nsprite_texture_name = \"Textures\\\\gold.JPG\"",
             "sprite_count = 20\nsprite_alpha = 200", "ring_turn = 360\nbackground_r = 0\nsprite_spin = -720");
  CheckRun r = Check(bare + " " + turning);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, bare + ": no findings\n" + turning + ": no findings\n");
  CheckRun json = Check("--json " + bare);
  EXPECT_EQ(json.code, 0);
  EXPECT_EQ(json.out, "[\n{\"file\": \"" + bare + "\", \"findings\": []}\n]\n");
}

TEST_F(CheckTest, MissingAssetsAreErrorsNamingFieldAndNameResolvedAsThePlayerDoes) {
  const std::string gold = (dir_ / "lib" / "Textures" / "Gold.jpg").string();
  const std::string loop = Source("missing.txt",
                                  "sprite_texture_name = \"TEXTURES\\\\gold.jpg\"\n"  // found: backslash, case
                                  "fountain_texture_name = \"Textures/Silver.jpg\"\n"
                                  "tunnel_texture_name = \"" +
                                      gold +
                                      "\"\n"  // absolute: not inside the library
                                      "backdrop_1_texture_name = \"http://example.invalid/a.jpg\"\n"
                                      "particle_texture_mode = 2\nparticle_texture_name = \"Particles/none.tga\"\n"
                                      "model_1_load = 2\nmodel_1_file_name = \"model\\\\box.3ds\"\n"  // found
                                      "model_2_load = 2\nmodel_2_file_name = \"model/none.3ds\"\n"
                                      "photo_a_name = \"Images/none.jpg\"\n"
                                      "text_on = 2\ntext_string = \"x\"\ntext_font_face = \"Qwzx No Such Face\"");
  CheckRun r = Check(loop);
  EXPECT_EQ(r.code, 1) << r.out << r.err;
  EXPECT_EQ(Count(r.out, "missing-asset"), 7) << r.out;
  for (const std::string& expected :
       {std::string("error missing-asset: fountain_texture_name: picture \"Textures/Silver.jpg\""),
        "error missing-asset: tunnel_texture_name: picture \"" + gold + "\"",
        std::string("backdrop_1_texture_name: picture \"http://example.invalid/a.jpg\""),
        std::string("particle_texture_name: particle texture \"Particles/none.tga\""),
        std::string("model_2_file_name: model \"model/none.3ds\""),
        std::string("photo_a_name: picture \"Images/none.jpg\""),
        std::string("text_font_face: font \"Qwzx No Such Face\"")})
    EXPECT_NE(r.out.find(expected), std::string::npos) << expected << "\n" << r.out;
  EXPECT_EQ(r.out.find("sprite_texture_name"), std::string::npos);
  EXPECT_EQ(r.out.find("model_1_file_name"), std::string::npos);
  // Errors come before warnings.
  EXPECT_LT(r.out.rfind("error "), r.out.find("warning ") == std::string::npos ? r.out.size() : r.out.find("warning "));
}

// A face the system lacks but knows a close stand-in for is a warning naming the stand-in; a
// name known nowhere stays a missing asset (above), a picture font asked for by name is honoured.
TEST_F(CheckTest, FontsTheSystemLacksNameTheFaceThatStandsIn) {
  const std::string impact =
      Source("impact.txt", "text_on = 2\ntext_string = \"Hello Font\"\ntext_font_face = \"Impact\"");
  CheckRun r = Check(impact);
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("warning font-substitute: text_font_face: font \"Impact\" is not on this system; the text is "
                       "drawn in "),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("D050000L"), std::string::npos) << r.out;  // not the dingbats
  EXPECT_EQ(r.out.find("missing-asset"), std::string::npos) << r.out;

  const std::string installed = Source("installed.txt", "text_on = 2\ntext_font_face = \"DejaVu Sans\"");
  EXPECT_EQ(Check(installed).out.find("text_font_face"), std::string::npos);
}

TEST_F(CheckTest, SeamsListTheTracksAndTheJumpOfLayersThatAreOn) {
  const std::string loop = Source("seam.txt", "sprites_on = 2", "sprite_count = 10\nsprite_alpha = 100",
                                  "background_r = 10\nring_turn = 90\nparticle_offset_x = 5");
  CheckRun r = Check(loop);
  EXPECT_EQ(r.code, 0) << r.err;  // a warning only
  ASSERT_EQ(Count(r.out, "seam"), 1) << r.out;
  EXPECT_NE(r.out.find("background_r by 10 (10 on frame 99, 0 at the start)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("ring_turn by 90"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("particle_offset_x"), std::string::npos) << "particles are off";
}

TEST_F(CheckTest, InvisibleLayersAreReportedOncePerLayer) {
  const std::string loop = Source(
      "invisible.txt",
      "vortex_on = 2\nsprites_on = 2\nsprite_texture_name = \"Textures/Gold.jpg\"\nmodel_2_on = 2\n"
      "scene_echo_on = 2\nfx_text = 0\nfx_sprites = 0\nfx_particles = 0\nfx_vortex = 0\nfx_model_2 = 0\n"
      "photo_on = 2\ntext_on = 2\ntext_string = \"\"\nbackdrop_on = 2\nbackdrop_1_hidden = 2\nbackdrop_2_hidden = 2",
      "vortex_emit = -1000\nsprite_count = 0");
  CheckRun r = Check(loop);
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_EQ(Count(r.out, "invisible-layer"), 7) << r.out;
  for (const char* expected :
       {"the vortex is on but draws nothing", "sprite_count is never above 0",
        "model 2 is on but the loop loads no model", "the scene echo is on but nothing feeds it",
        "photos are on but the loop names no picture", "text_string is empty", "both planes are hidden"})
    EXPECT_NE(r.out.find(expected), std::string::npos) << expected << "\n" << r.out;

  // The same layers with values that draw: no finding.
  const std::string visible =
      Source("visible.txt", "vortex_on = 2\nsprites_on = 2\nsprite_texture_name = \"Textures/Gold.jpg\"",
             "vortex_emit = 10\nsprite_count = 0\nvortex_spacing = 200", "sprite_count = 0\n");
  CheckRun v = Check(visible);
  EXPECT_NE(v.out.find("sprite_count is never above 0"), std::string::npos) << v.out;
  EXPECT_EQ(v.out.find("vortex"), std::string::npos) << v.out;
}

TEST_F(CheckTest, IgnoredFieldsAndBoundedValuesAreWarnings) {
  const std::string old =
      Source("old.txt", "model_2_on = 2\nmodel_3_file_name = \"model/Box.3DS\"\nparticle_count = 10", "model_2_x = 4",
             "", "4");
  CheckRun r = Check(old);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(
      r.out.find("warning ignored-field: a version 4 loop does not store model_2_on, model_3_file_name, model_2_x"),
      std::string::npos)
      << r.out;

  const std::string cut =
      Source("cut.txt", "sprite_texture_name = \"Textures/Gold.jpg\"\nsprite_texture_name_length = 8");
  EXPECT_NE(Check(cut).out.find(
                "sprite_texture_name is \"Textures/Gold.jpg\" but its length field 8 keeps only \"Textures\""),
            std::string::npos);

  const std::string bounded =
      Source("bounded.txt",
             "particle_count = 300000\nsprites_on = 2\nsprite_texture_name = \"Textures/Gold.jpg\"\n"
             "scene_echo_on = 2\nfx_text = 2\nvortex_on = 2",
             "sprite_count = 5000\nscene_echo_layers = 600\nvortex_spacing = 100");
  CheckRun b = Check(bounded);
  EXPECT_EQ(b.code, 0) << b.err;
  EXPECT_EQ(Count(b.out, "bounded"), 4) << b.out;
  for (const char* expected :
       {"particle_count 300000 is refused", "sprite_count reaches 5000; at most 1000",
        "scene_echo_layers reaches 600, 625 layers; at most 512", "vortex_spacing is 116 or less"})
    EXPECT_NE(b.out.find(expected), std::string::npos) << expected << "\n" << b.out;

  // NaN and infinite keys, in a loop file.
  auto scene = std::make_unique<SceneState>();
  ResetToLoadDefaults(*scene);
  ClearKeyframes(*scene);
  scene->settings.text_on = 0;
  scene->keyframe_count = 1;
  (*scene->keyframe_frame)[1] = 50;
  scene->track(Track::text_rot_x).key_values[50] = std::nanf("");
  scene->track(Track::background_g).key_values[50] = INFINITY;
  const fs::path nan = dir_ / "nan.lqf";
  ASSERT_FALSE(WriteSequenceFile(*scene, nan, 6.0f).has_value());
  CheckRun n = Check(nan.string());
  EXPECT_NE(n.out.find("warning bounded: NaN or infinite values in text_rot_x, background_g"), std::string::npos)
      << n.out;
}

TEST_F(CheckTest, JsonFormAndExitCodes) {
  const std::string clean = Source("clean.txt", "");
  const std::string broken =
      Source("broken.txt", "fountain_texture_name = \"Textures/Silver.jpg\"", "", "background_b = 3");
  CheckRun r = Check("--json " + clean + " " + broken);
  EXPECT_EQ(r.code, 1);
  const std::regex shape(
      "\\[\n\\{\"file\": \"[^\"]*clean.txt\", \"findings\": \\[\\]\\},\n"
      "\\{\"file\": \"[^\"]*broken.txt\", \"findings\": \\[\n"
      "  \\{\"severity\": \"error\", \"code\": \"missing-asset\", \"message\": \"fountain_texture_name: picture "
      "\\\\\"Textures/Silver.jpg\\\\\" is not in [^\"]*\"\\},\n"
      "  \\{\"severity\": \"warning\", \"code\": \"seam\", \"message\": \"[^\"]*background_b by "
      "3[^\"]*\"\\}\\]\\}\n\\]\n");
  EXPECT_TRUE(std::regex_match(r.out, shape)) << r.out;

  // A file that cannot be read: exit 2 with the reader's message; the others are still checked.
  std::ofstream(dir_ / "damaged.lqf") << "not a loop";
  CheckRun bad = Check(clean + " " + (dir_ / "damaged.lqf").string() + " " + broken);
  EXPECT_EQ(bad.code, 2);
  EXPECT_NE(bad.err.find("damaged.lqf"), std::string::npos) << bad.err;
  EXPECT_NE(bad.out.find("clean.txt: no findings"), std::string::npos);
  EXPECT_NE(bad.out.find("broken.txt: error missing-asset"), std::string::npos);
  std::ofstream(dir_ / "bad.txt") << "version 6\n[settings]\nno_such_setting = 1\n";
  CheckRun src = Check((dir_ / "bad.txt").string());
  EXPECT_EQ(src.code, 2);
  EXPECT_NE(src.err.find("bad.txt: line 3"), std::string::npos) << src.err;
  EXPECT_EQ(Check((dir_ / "nowhere.lqf").string()).code, 2);
  EXPECT_EQ(Check("").code, 2);  // no loop named: a usage error
}

// Loops that cannot play, names that would drive a terminal, bytes that are not UTF-8 and files
// that are not files: each is told as what it is.
TEST_F(CheckTest, LoopsWithNothingToPlayAreErrors) {
  const fs::path one = dir_ / "one_key.txt";
  std::ofstream(one) << "version 6\n[settings]\ntext_on = 0\n[key]\nframe = 0\n";
  const fs::path back = dir_ / "backwards.txt";
  std::ofstream(back) << "version 6\n[settings]\ntext_on = 0\n[key]\nframe = 300\n[key]\nframe = 0\n";
  for (const fs::path& p : {one, back}) {
    SCOPED_TRACE(p);
    const CheckRun r = Check(p.string());
    EXPECT_EQ(r.code, 1) << r.out << r.err;
    EXPECT_EQ(Count(r.out, "no-frames"), 1) << r.out;
    EXPECT_NE(r.out.find("the loop has no frames to play"), std::string::npos) << r.out;
  }
  EXPECT_NE(
      Check(back.string()).out.find("warning source: " + back.string() + ": line 7, column 9: key 1 is on frame 0"),
      std::string::npos)
      << Check(back.string()).out;
}

TEST_F(CheckTest, PlainReportEscapesWhatTheLoopNames) {
  const std::string loop =
      Source("forged.txt", "photo_on = 2\nphoto_a_name = \"a.jpg\\x0Aforged.txt: no findings\\x1B[2J\\x07\"");
  const CheckRun r = Check(loop);
  EXPECT_EQ(r.code, 1);
  for (char c : r.out) EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << int(c);
  EXPECT_EQ(r.out.find("\nforged.txt"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("a.jpg\\x0aforged.txt: no findings\\x1b[2J\\x07"), std::string::npos) << r.out;
}

TEST_F(CheckTest, JsonStaysValidForAnyNameAndListsUnreadableFiles) {
  // A file name in Latin-1, not UTF-8, and a file that cannot be read.
  const std::string latin1 = Source("caf\xE9\xFF.txt", "");
  const CheckRun r = Check("--json " + latin1 + " /dev/zero " + (dir_ / "nowhere.lqf").string());
  EXPECT_EQ(r.code, 2);
  const fs::path json = dir_ / "report.json";
  std::ofstream(json, std::ios::binary) << r.out;
  const std::string parse =
      "python3 -c 'import json,sys; a=json.load(open(sys.argv[1],encoding=\"utf-8\")); "
      "print(len(a), a[0][\"file\"][-15:], a[1][\"findings\"][0][\"code\"], a[1][\"findings\"][0][\"message\"], "
      "a[2][\"findings\"][0][\"severity\"])' " +
      json.string() + " >" + (dir_ / "parsed").string();
  ASSERT_EQ(std::system(parse.c_str()), 0) << r.out;
  std::ifstream in(dir_ / "parsed");
  const std::string parsed(std::istreambuf_iterator<char>(in), {});
  EXPECT_EQ(parsed, "3 caf\\xe9\\xff.txt unreadable /dev/zero: not a regular file but a device error\n") << parsed;
}

TEST_F(CheckTest, NamesThatFindAFifoOrDeviceSaySo) {
  ASSERT_EQ(::mkfifo((dir_ / "lib" / "model" / "pipe.3ds").c_str(), 0600), 0);
  const std::string loop = Source("odd.txt",
                                  "model_1_on = 2\nmodel_1_load = 2\nmodel_1_file_name = \"model/pipe.3ds\"\n"
                                  "model_2_on = 2\nmodel_2_load = 2\nmodel_2_file_name = \"/dev/zero\"");
  const CheckRun r = Check(loop);
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("model_1_file_name: model \"model/pipe.3ds\": not a regular file but a FIFO"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("model_2_file_name: model \"/dev/zero\": not a regular file but a device"), std::string::npos)
      << r.out;
}

TEST_F(CheckTest, NonFiniteSettingsAndRepeatedNamesAreWarnings) {
  const std::string loop = Source("odd.txt", "text_wireframe = nan\ntunnel_r = 3\ntunnel_r = 4");
  const CheckRun r = Check(loop);
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("NaN or infinite settings: text_wireframe"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("line 6, column 1: 'tunnel_r' is set again in this section"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("line 4, column 18: text_wireframe is nan"), std::string::npos) << r.out;
}

TEST_F(CheckTest, ALibraryFolderThatIsNotThereIsSaidToBeMissing) {
  const std::string loop = Source("a.txt", "model_1_on = 2\nmodel_1_load = 2\nmodel_1_file_name = \"model/Box.3DS\"");
  const std::string cmd = std::string(VL_BIN_DIR) + "/vantaloop-cli check --library " + (dir_ / "gone").string() + " " +
                          loop + " >" + (dir_ / "out").string();
  EXPECT_EQ(WEXITSTATUS(std::system(cmd.c_str())), 1);
  std::ifstream in(dir_ / "out");
  const std::string out(std::istreambuf_iterator<char>(in), {});
  EXPECT_NE(out.find("the folder " + (dir_ / "gone").string() + " does not exist"), std::string::npos) << out;
}

}  // namespace

// A user's own loop names assets copied into the user's data folder: they are found there, after
// the library, and only there.
TEST_F(CheckTest, AssetsInTheUsersDataFolderAreFound) {
  const fs::path user = dir_ / "xdg" / "Vantaloop";
  fs::create_directories(user / "Textures");
  fs::create_directories(user / "model");
  std::ofstream(user / "Textures" / "Mine.jpg") << "x";
  std::ofstream(user / "model" / "Mine.3DS") << "x";
  const std::string loop = Source("mine.txt",
                                  "sprites_on = 2\nsprite_texture_name = \"Textures\\\\mine.JPG\"\n"
                                  "model_1_on = 2\nmodel_1_load = 2\nmodel_1_file_name = \"model\\\\Mine.3DS\"\n"
                                  "tunnel_on = 1\ntunnel_texture_name = \"Textures\\\\Gold.jpg\"",
                                  "sprite_count = 20\nsprite_alpha = 200");
  const std::string env = "XDG_DATA_HOME=" + (dir_ / "xdg").string() + " ";
  CheckRun with_user = Check(loop, env);
  EXPECT_EQ(with_user.out.find("missing-asset"), std::string::npos) << with_user.out << with_user.err;

  CheckRun without = Check(loop, "XDG_DATA_HOME=" + (dir_ / "nowhere").string() + " HOME=/nonexistent ");
  EXPECT_EQ(Count(without.out, "missing-asset"), 2) << without.out;
  // The message still names the library, where bundled loops keep their files.
  EXPECT_NE(without.out.find("is not in " + (dir_ / "lib").string()), std::string::npos) << without.out;
}
