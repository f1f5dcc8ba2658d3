// Exporting loops: every preset's file in its own format as ffprobe sees it, with a decoded frame
// against the frame that was drawn; the formats any preset can be written in; seamless loops;
// cancelling and failing leave nothing behind.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <tuple>

#include "engine/asset_paths.h"
#include "engine/scene_state.h"
#include "engine/sequence_text.h"
#include "engine/sequence_writer.h"
#include "tests/platform/export/export_probe.h"
#include "platform/export/loop_export.h"
#include "tests/platform/export/export_fixture.h"
#include "tests/render/gl_test_context.h"

namespace vl::exporting {
namespace {

namespace fs = std::filesystem;
using test::MeanDifference;
using test::MeanDifferenceRgba;
using test::Probe;

// "VL" turning once round over the loop, over a blue ground, with or without the feedback trail.
std::string LoopText(int frames, bool trail) {
  return std::string(R"(version 6
[settings]
text_string = "VL"
text_font_face = "Liberation Sans"
text_font_weight = 700
text_on = 2
text_lit = 2
text_style = 0
trail_tint_r = 1
trail_tint_g = 0.7
trail_tint_b = 0.3
)") + (trail ? "trail_on = 2\n" : "trail_on = 0\n") +
         R"([initial]
text_pos_z = -250
text_pos_x = -60
text_scale_x = 70
text_scale_y = 70
text_scale_z = 10
background_r = 10
background_g = 30
background_b = 90
trail_fade = 40
[key]
frame = 0
[key]
frame = )" +
         std::to_string(frames) + "\ntext_rot_z = 360\n";
}

class ExportTest : public test::ExportFixture {
 protected:
  ExportTest() : ExportFixture("vl_export_") {}

  std::string MakeLoop(int frames, bool trail) {
    std::string path = (dir_ / ("loop_" + std::to_string(frames) + (trail ? "_trail" : "") + ".lqf")).string();
    auto scene = std::make_unique<engine::SceneState>();
    auto status = engine::CompileSequence(LoopText(frames, trail), "test loop", *scene);
    EXPECT_FALSE(status) << status->ToString();
    auto written = engine::WriteSequenceFile(*scene, path);
    EXPECT_FALSE(written) << written->ToString();
    return path;
  }

  // Exports and keeps every frame as drawn.
  ExportResult Export(const ExportRequest& request, std::vector<std::vector<uint8_t>>* frames = nullptr) {
    ExportObserver observer;
    observer.frame_drawn = [frames](int, const headless::Image& image) {
      if (frames) frames->push_back(image.rgba);
    };
    observer.warning = [](const std::string& line) { ADD_FAILURE() << line; };
    return ExportLoop(request, observer);
  }

  // Nothing but the finished file (or folder) and the loops in the test's folder.
  std::vector<std::string> Leftovers() {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_))
      if (e.path().extension() != ".lqf") names.push_back(e.path().filename().string());
    return names;
  }
};

struct PresetExpectation {
  int preset;
  const char* codec;
  const char* rate;
  double tolerance;  // mean difference of a decoded frame from the drawn one, 0..255
  const char* pixel_aspect;
};

// Every preset in its own format, as ffprobe sees the file, and a decoded frame against the drawn
// one (which catches swapped channels, flipped rows and a wrong frame).
TEST_F(ExportTest, EveryPresetInItsOwnFormat) {
  // MPEG-1 has a table of pixel shapes: 4:3 on a VCD is its CCIR 601 625- and 525-line entries.
  const PresetExpectation presets[] = {
      {0, "dvvideo", "25/1", 5, "16:15"},
      {1, "dvvideo", "30000/1001", 5, "8:9"},
      {2, "mpeg1video", "25/1", 6, "178:163"},
      {3, "mpeg1video", "30000/1001", 6, "200:219"},
      {4, "mpeg2video", "25/1", 6, "8:5"},
      {5, "mpeg2video", "30000/1001", 6, "4:3"},
      {6, "mpeg2video", "30000/1001", 6, "1:1"},
      {7, "mpeg2video", "30000/1001", 6, "1:1"},
      {8, "mpeg2video", "30000/1001", 6, "1:1"},
      {9, "mpeg2video", "30000/1001", 6, "1:1"},
      {10, "mpeg2video", "30000/1001", 6, "1:1"},
      {11, "mpeg2video", "30000/1001", 6, "1:1"},
      {12, "mpeg2video", "30000/1001", 6, "1:1"},
      {13, "mpeg2video", "30000/1001", 6, "1:1"},
      {14, "h263", "30000/1001", 6, "1:1"},
      {15, "h264", "30/1", 4, "1:1"},
      {16, "h264", "25/1", 4, "1:1"},
  };
  const std::string loop = MakeLoop(4, false);
  for (const auto& want : presets) {
    SCOPED_TRACE("preset " + std::to_string(want.preset));
    const PresetFormat& p = *PresetFormatOf(want.preset);
    const std::string out = (dir_ / ("preset" + std::to_string(want.preset) + p.extension)).string();
    std::vector<std::vector<uint8_t>> frames;
    ExportRequest request{.loop_path = loop,
                          .out_path = out,
                          .preset = want.preset,
                          .format = ExportFormat::kPresetOwn,
                          .preroll = false};
    const ExportResult r = Export(request, &frames);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.frames_written, 4);
    auto probe = Probe(out);
    EXPECT_EQ(probe["codec_name"], want.codec);
    EXPECT_EQ(probe["width"], std::to_string(p.width));
    EXPECT_EQ(probe["height"], std::to_string(p.height));
    EXPECT_EQ(probe["r_frame_rate"], want.rate);
    EXPECT_EQ(probe["nb_read_frames"], "4");
    // Frames are drawn in the shape the file is shown at, and the file says how wide its pixels
    // are (4:3 pictures on the DV and disc presets, square ones elsewhere).
    EXPECT_EQ(probe["sample_aspect_ratio"], want.pixel_aspect);
    ASSERT_EQ(frames.size(), 4u);
    // The last frame, as a player shows it: every frame before it has been through the encoder and
    // the muxer.
    const int shown = p.shown_width();
    EXPECT_LT(MeanDifference(frames[3], test::DecodeFrameRgb(out, 3, shown, p.height)), want.tolerance);
    EXPECT_GT(MeanDifference(frames[0], test::DecodeFrameRgb(out, 3, shown, p.height)), 0.5)
        << "frames 0 and 3 should differ, or the comparison proves nothing";
  }
  EXPECT_EQ(Leftovers().size(), 17u);
  // The disc formats are the program streams those discs take.
  EXPECT_EQ(Probe((dir_ / "preset2.mpg").string())["format_name"], "mpeg");
  EXPECT_EQ(Probe((dir_ / "preset0.avi").string())["format_name"], "avi");
}

// The largest and the smallest MPEG-2 preset as a player's demultiplexer and decoder meet them:
// the packs' clock runs with the data and reaches about the file's length, no pack arrives after
// its picture is due, the declared buffer holds the largest frame, and ffmpeg has nothing to say.
TEST_F(ExportTest, MpegTwoPresetsKeepTheirClockAndBuffer) {
  const std::string loop = MakeLoop(45, false);
  for (const int preset : {6, 13}) {
    SCOPED_TRACE("preset " + std::to_string(preset));
    const std::string out = (dir_ / ("timing" + std::to_string(preset) + ".mpg")).string();
    const ExportResult r = Export(ExportRequest{
        .loop_path = loop, .out_path = out, .preset = preset, .format = ExportFormat::kPresetOwn, .preroll = false});
    ASSERT_TRUE(r.ok) << r.error;
    auto probe = Probe(out);
    EXPECT_EQ(probe["r_frame_rate"], "30000/1001") << "an NTSC preset, marked 29.97";
    EXPECT_EQ(probe["nb_read_frames"], "45");
    // From the frames: ffprobe's guess from the last time stamp falls short where many small
    // pictures share a packet.
    const double duration = 45 * 1001 / 30000.0;
    EXPECT_EQ(test::RunCommand("ffmpeg -nostdin -v error -i " + test::Quoted(out) + " -f null - 2>&1"), "");

    const test::ProgramStreamTiming t = test::ReadProgramStreamTiming(out);
    ASSERT_GT(t.packs, 1);
    // The last pack goes out before the last picture is due, and not long before.
    ASSERT_GE(t.first_decode, 0);
    EXPECT_LE(t.last_scr, t.first_decode + duration);
    EXPECT_GT(t.last_scr, t.first_decode + duration - 1.0);
    EXPECT_GE(t.timed_pes, 45 / 18);
    EXPECT_EQ(t.late_pes, 0) << "of " << t.timed_pes;
    const double file_bits = 8.0 * static_cast<double>(fs::file_size(out));
    EXPECT_GE(static_cast<double>(t.mux_rate), file_bits / duration);

    int64_t largest = 0;
    std::istringstream sizes(test::RunCommand(
        "ffprobe -v error -select_streams v:0 -show_entries packet=size -of csv=p=0 " + test::Quoted(out)));
    for (std::string line; std::getline(sizes, line);)
      if (!line.empty()) largest = std::max<int64_t>(largest, std::stoll(line));
    ASSERT_GT(largest, 0);
    EXPECT_GE(t.vbv_bits, largest * 8);
    EXPECT_LE(t.vbv_bits, 1835008) << "Main level's buffer";
    // The declared peak is what paces the buffer: enough for the file, within Main level's ceiling.
    EXPECT_GE(static_cast<double>(t.peak_rate), file_bits / duration);
    EXPECT_LE(t.peak_rate, 15000000);
    EXPECT_GE(t.mux_rate, t.peak_rate);
  }
}

// The 3GP preset as a phone meets it: the index before the pictures, so it plays while it
// arrives; labelled with an H.263 level the stream keeps to (frame size, rate, and the level's
// reference decoder's buffer never overflowing at its peak rate); square pixels as drawn.
TEST_F(ExportTest, ThreeGppKeepsToTheLevelItIsLabelled) {
  const std::string loop = MakeLoop(45, false);
  const std::string out = (dir_ / "phone.3gp").string();
  const ExportResult r = Export(ExportRequest{
      .loop_path = loop, .out_path = out, .preset = 14, .format = ExportFormat::kPresetOwn, .preroll = false});
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(test::RunCommand("ffmpeg -nostdin -v error -i " + test::Quoted(out) + " -f null - 2>&1"), "");
  const std::string probe = test::RunCommand(
      "ffprobe -v error -select_streams v:0 -show_entries stream=codec_name,width,height,r_frame_rate,"
      "sample_aspect_ratio -of default=nw=1 " +
      test::Quoted(out));
  EXPECT_EQ(probe, "codec_name=h263\nwidth=176\nheight=144\nsample_aspect_ratio=1:1\nr_frame_rate=30000/1001\n");

  std::ifstream in(out, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t moov = bytes.find("moov"), mdat = bytes.find("mdat");
  ASSERT_NE(moov, std::string::npos);
  EXPECT_LT(moov, mdat) << "the index is at the end";
  const size_t d263 = bytes.find("d263", moov);
  ASSERT_NE(d263, std::string::npos);
  const int level = static_cast<uint8_t>(bytes[d263 + 9]);
  ASSERT_EQ(level, 20) << "176 x 144 at 29.97 frames a second needs level 20 or above";

  // Level 20: at most 128 kbit/s; the buffer holds four frame periods at that rate and one
  // largest QCIF picture, and is drained at that rate after each picture.
  const double peak = 128000, per_frame = peak * 1001 / 30000, buffer = 4 * per_frame + 64 * 1024;
  std::istringstream sizes(test::RunCommand(
      "ffprobe -v error -select_streams v:0 -show_entries packet=size -of csv=p=0 " + test::Quoted(out)));
  double held = 0, most = 0;
  int pictures = 0;
  for (std::string line; std::getline(sizes, line);) {
    if (line.empty()) continue;
    ++pictures;
    held += 8.0 * std::stod(line);
    most = std::max(most, held);
    held = std::max(0.0, held - per_frame);
  }
  EXPECT_EQ(pictures, 45);
  EXPECT_LE(most, buffer) << "the stream outruns the level's peak rate";
}

// DV AVI as an editor reads its headers: the AVI's data rate is DV's own (a frame of 144000 or
// 120000 bytes a frame period) and its sound's (48 kHz 16-bit stereo PCM), and NTSC frames say consumer DV (track application IDs 0, as PAL's
// do), not the professional 4:1:1 variant. A Matroska file's only track is its default one.
TEST_F(ExportTest, DvAndMatroskaHeadersSayWhatTheFileIs) {
  const std::string loop = MakeLoop(3, false);
  auto le32 = [](const std::string& b, size_t at) {
    return static_cast<uint32_t>(static_cast<uint8_t>(b[at])) |
           static_cast<uint32_t>(static_cast<uint8_t>(b[at + 1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(b[at + 2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(b[at + 3])) << 24;
  };
  for (const auto& [preset, frame_bytes, rate] :
       {std::tuple{0, 144000u, 25.0}, std::tuple{1, 120000u, 30000 / 1001.0}}) {
    SCOPED_TRACE("preset " + std::to_string(preset));
    const std::string out = (dir_ / ("dv" + std::to_string(preset) + ".avi")).string();
    ASSERT_TRUE(Export(ExportRequest{.loop_path = loop,
                                     .out_path = out,
                                     .preset = preset,
                                     .format = ExportFormat::kPresetOwn,
                                     .preroll = false})
                    .ok);
    EXPECT_EQ(test::RunCommand("ffmpeg -nostdin -v error -i " + test::Quoted(out) + " -f null - 2>&1"), "");
    std::ifstream in(out, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t avih = bytes.find("avih");
    ASSERT_NE(avih, std::string::npos);
    const double sound = 48000 * 2 * 2;
    EXPECT_NEAR(le32(bytes, avih + 12), frame_bytes * rate + sound, frame_bytes * rate * 0.01) << "dwMaxBytesPerSec";

    // Every frame's DIF sequences (150 blocks of 80 bytes) open with a header block whose
    // application IDs are the low three bits of bytes 4 to 7.
    int frames = 0, headers = 0, consumer = 0;
    for (size_t at = bytes.find("00dc"); at != std::string::npos; at = bytes.find("00dc", at + 4)) {
      if (at + 8 + frame_bytes > bytes.size() || le32(bytes, at + 4) != frame_bytes) continue;
      ++frames;
      for (size_t seq = at + 8; seq < at + 8 + frame_bytes; seq += 12000, ++headers) {
        bool ids_zero = true;
        for (int i = 4; i < 8; ++i) ids_zero = ids_zero && (bytes[seq + i] & 7) == 0;
        consumer += ids_zero;
      }
    }
    EXPECT_EQ(frames, 3);
    EXPECT_EQ(headers, 3 * static_cast<int>(frame_bytes / 12000));
    EXPECT_EQ(consumer, headers);
  }
  const std::string mkv = (dir_ / "track.mkv").string();
  ASSERT_TRUE(
      Export(ExportRequest{
                 .loop_path = loop, .out_path = mkv, .preset = 3, .format = ExportFormat::kMkv, .preroll = false})
          .ok);
  EXPECT_EQ(
      test::RunCommand("ffprobe -v error -select_streams v:0 -show_entries stream_disposition=default -of csv=p=0 " +
                       test::Quoted(mkv)),
      "1\n");
}

// Any preset as H.264 MP4, lossless FFV1, a PNG sequence, animated WebP and GIF; the NTSC rate
// stays 29.97 where the format can say so. Their pixels are square: a VCD NTSC picture, 4:3, is
// 320 x 240 in them.
TEST_F(ExportTest, AnyPresetInTheWebAndEditingFormats) {
  const std::string loop = MakeLoop(5, true);
  const int preset = 3;  // VCD NTSC, 352 x 240 shown at 4:3, played at 30, marked 29.97
  const PresetFormat& p = *PresetFormatOf(preset);
  ASSERT_EQ(p.shown_width(), 320);
  std::vector<std::vector<uint8_t>> drawn;
  auto run = [&](ExportFormat format, const std::string& name) {
    drawn.clear();
    std::string out = (dir_ / name).string();
    const ExportResult r =
        Export(ExportRequest{.loop_path = loop, .out_path = out, .preset = preset, .format = format}, &drawn);
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(drawn.size(), 5u);
    return out;
  };

  {
    const std::string out = run(ExportFormat::kMp4, "any.mp4");
    auto probe = Probe(out);
    EXPECT_EQ(probe["codec_name"], "h264");
    EXPECT_EQ(probe["r_frame_rate"], "30000/1001");
    EXPECT_EQ(probe["nb_read_frames"], "5");
    EXPECT_EQ(probe["width"], "320");
    EXPECT_EQ(probe["sample_aspect_ratio"], "1:1");
    EXPECT_LT(MeanDifference(drawn[2], test::DecodeFrameRgb(out, 2, 320, p.height)), 4);
  }
  const auto with_trail = drawn;
  {
    // Lossless: every decoded frame is the drawn frame exactly.
    const std::string out = run(ExportFormat::kMkv, "any.mkv");
    auto probe = Probe(out);
    EXPECT_EQ(probe["codec_name"], "ffv1");
    EXPECT_EQ(probe["width"], "320");
    EXPECT_EQ(probe["height"], "240");
    EXPECT_EQ(probe["r_frame_rate"], "30000/1001");
    EXPECT_EQ(probe["nb_read_frames"], "5");
    for (int i = 0; i < 5; ++i) EXPECT_EQ(MeanDifference(drawn[i], test::DecodeFrameRgb(out, i, 320, 240)), 0.0) << i;
    // The same request draws the same frames.
    EXPECT_EQ(drawn, with_trail);
  }
  {
    const std::string out = run(ExportFormat::kPng, "frames");
    ASSERT_TRUE(fs::is_directory(out));
    int files = 0;
    for (const auto& e : fs::directory_iterator(out)) ++files, (void)e;
    EXPECT_EQ(files, 5);
    auto probe = Probe(out + "/frame_00004.png");
    EXPECT_EQ(probe["codec_name"], "png");
    EXPECT_EQ(probe["width"], "320");
    EXPECT_EQ(MeanDifference(drawn[4], test::DecodeFrameRgb(out + "/frame_00004.png", 0, 320, 240)), 0.0);
    // An export over an earlier PNG sequence replaces it.
    EXPECT_TRUE(
        Export(
            ExportRequest{
                .loop_path = loop, .out_path = out, .preset = preset, .format = ExportFormat::kPng, .preroll = false})
            .ok);
  }
  {
    const std::string out = run(ExportFormat::kGif, "any.gif");
    auto probe = Probe(out);
    EXPECT_EQ(probe["codec_name"], "gif");
    EXPECT_EQ(probe["width"], "320");
    EXPECT_EQ(probe["nb_read_frames"], "5");
    // GIF counts time in hundredths: 5 frames at 29.97 last 0.17 s.
    EXPECT_NEAR(std::stod(probe["duration"]), 5 / 29.97, 0.011);
    EXPECT_LT(MeanDifference(drawn[4], test::DecodeFrameRgb(out, 4, 320, 240)), 4);
  }
  {
    // FFmpeg reads no animated WebP, so the WebP tools check it: frame count, canvas, timing,
    // and the first frame (always the whole canvas) decoded.
    const std::string out = run(ExportFormat::kWebp, "any.webp");
    const std::string info = test::RunCommand("webpmux -info " + test::Quoted(out) + " 2>&1");
    EXPECT_NE(info.find("Canvas size: 320 x 240"), std::string::npos) << info;
    EXPECT_NE(info.find("Number of frames: 5"), std::string::npos) << info;
    EXPECT_NE(info.find("Loop Count : 0"), std::string::npos) << info;
    const std::string first = (dir_ / "first.webp").string(), ppm = (dir_ / "first.ppm").string();
    test::RunCommand("webpmux -get frame 1 " + test::Quoted(out) + " -o " + first + " >/dev/null 2>&1 && dwebp " +
                     first + " -ppm -o " + ppm + " >/dev/null 2>&1");
    int w = 0, h = 0;
    EXPECT_LT(MeanDifference(drawn[0], test::ReadPpm(ppm, &w, &h)), 4);
    EXPECT_EQ(w, 320);
  }
}

// With the preroll the last frame flows into the first as the neighbouring frames flow into each
// other; from a fresh start the trail is missing from the first frame.
TEST_F(ExportTest, PrerollMakesTheLoopSeamless) {
  const std::string loop = MakeLoop(12, true);
  auto jumps = [&](bool preroll, int loops) {
    std::vector<std::vector<uint8_t>> frames;
    const ExportResult r = Export(ExportRequest{.loop_path = loop,
                                                .out_path = (dir_ / "seam.mkv").string(),
                                                .preset = 2,
                                                .format = ExportFormat::kMkv,
                                                .loops = loops,
                                                .preroll = preroll},
                                  &frames);
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.frames_written, 12 * loops);
    double neighbours = 0;
    for (size_t i = 0; i + 1 < frames.size(); ++i)
      neighbours = std::max(neighbours, MeanDifferenceRgba(frames[i], frames[i + 1]));
    return std::pair{MeanDifferenceRgba(frames.back(), frames.front()), neighbours};
  };
  const auto [seam, step] = jumps(true, 1);
  EXPECT_LE(seam, step * 1.25) << "seam " << seam << ", largest step " << step;
  const auto [cold_seam, cold_step] = jumps(false, 1);
  EXPECT_GT(cold_seam, cold_step * 2) << "seam " << cold_seam << ", largest step " << cold_step;
  // Two cycles: twice the frames, and the seam between them as smooth as the wrap-around.
  const auto [seam2, step2] = jumps(true, 2);
  EXPECT_LE(seam2, step2 * 1.25);
  EXPECT_EQ(Probe((dir_ / "seam.mkv").string())["nb_read_frames"], "24");
}

TEST_F(ExportTest, CancelAndFailureLeaveNoFile) {
  const std::string loop = MakeLoop(6, false);
  {
    // An earlier file of the name survives a cancelled export untouched.
    const std::string out = (dir_ / "cancel.mpg").string();
    { std::ofstream(out) << "earlier"; }
    std::atomic<bool> cancel{false};
    ExportObserver observer;
    int seen = 0;
    observer.cancel = &cancel;
    observer.frame_drawn = [&](int, const headless::Image&) {
      if (++seen == 2) cancel = true;
    };
    const ExportResult r = ExportLoop(
        ExportRequest{.loop_path = loop, .out_path = out, .preset = 2, .format = ExportFormat::kPresetOwn}, observer);
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.cancelled);
    EXPECT_EQ(seen, 2) << "stops within a frame";
    std::ifstream in(out);
    std::string text;
    in >> text;
    EXPECT_EQ(text, "earlier");
    EXPECT_EQ(Leftovers(), std::vector<std::string>{"cancel.mpg"});
    fs::remove(out);
  }
  {
    // A frame that cannot be written (its folder taken away while the export runs; frames are
    // written while the next one draws) fails the export with the reason, and nothing is left.
    const std::string out = (dir_ / "frames").string();
    ExportObserver observer;
    observer.frame_drawn = [&](int k, const headless::Image&) {
      if (k != 3) return;
      for (const auto& e : fs::directory_iterator(dir_))
        if (e.path().filename().string().rfind(".vl-", 0) == 0) {
          // The worker may add a frame while the folder is being emptied: try again until it is gone.
          std::error_code ec;
          for (int tries = 0; tries < 100 && fs::exists(e.path(), ec); ++tries) fs::remove_all(e.path(), ec);
        }
    };
    const ExportResult r = ExportLoop(
        ExportRequest{.loop_path = loop, .out_path = out, .preset = 2, .format = ExportFormat::kPng}, observer);
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.cancelled);
    EXPECT_NE(r.error.find("frames"), std::string::npos) << r.error;
    EXPECT_LE(r.frames_written, 3);
    EXPECT_TRUE(Leftovers().empty());
  }
  auto fails = [&](const ExportRequest& request, const std::string& message) {
    const ExportResult r = Export(request);
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find(message), std::string::npos) << r.error;
    EXPECT_TRUE(Leftovers().empty());
  };
  const std::string d = dir_.string();
  fails({.loop_path = loop, .out_path = d + "/no/such/folder/x.avi", .preset = 0}, "does not exist");
  fails({.loop_path = loop, .out_path = d + "/x.mp4", .preset = 0}, "must end in .avi");
  fails({.loop_path = loop, .out_path = d + "/x.mpg", .preset = 15, .format = ExportFormat::kMpg},
        "preset 15 (H.264 HD) is not written as mpg");
  fails({.loop_path = loop, .out_path = d + "/x.avi", .preset = 17}, "preset 17 does not exist");
  fails({.loop_path = d + "/missing.lqf", .out_path = d + "/x.avi", .preset = 0}, "missing.lqf: no such file");
  fails({.loop_path = loop, .out_path = d + "/x.avi", .preset = 0, .format = ExportFormat::kPresetOwn, .loops = 0},
        "number of loops");
  fs::create_directory(dir_ / "busy");
  { std::ofstream(dir_ / "busy" / "notes.txt") << "mine"; }
  const ExportResult r =
      Export({.loop_path = loop, .out_path = d + "/busy", .preset = 0, .format = ExportFormat::kPng});
  EXPECT_FALSE(r.ok);
  EXPECT_TRUE(fs::exists(dir_ / "busy" / "notes.txt"));
}

// A PNG sequence replaces an earlier one of the name only once it is in place: when the finished
// folder cannot be moved there, the earlier frames are still there as they were.
TEST_F(ExportTest, AFailedMoveIntoPlaceKeepsTheEarlierPngFolder) {
  const std::string loop = MakeLoop(4, false);
  const std::string out = (dir_ / "frames").string();
  ASSERT_TRUE(
      Export(ExportRequest{
                 .loop_path = loop, .out_path = out, .preset = 2, .format = ExportFormat::kPng, .preroll = false})
          .ok);
  auto frames = [&] {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(out)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  };
  const std::vector<std::string> earlier = frames();
  ASSERT_EQ(earlier.size(), 4u);
  const auto earlier_size = fs::file_size(fs::path(out) / earlier[0]);

  // The finished folder vanishes just before it is moved (as if taken away by someone else).
  ExportObserver observer;
  observer.progress = [&](ExportPhase phase, int, int) {
    if (phase != ExportPhase::kFinishing) return;
    for (const auto& e : fs::directory_iterator(dir_))
      if (e.path().filename().string().rfind(".vl-", 0) == 0) fs::remove_all(e.path());
  };
  const ExportResult r = ExportLoop(
      ExportRequest{.loop_path = loop, .out_path = out, .preset = 2, .format = ExportFormat::kPng, .preroll = false},
      observer);
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.error.find("cannot move the finished export into place"), std::string::npos) << r.error;
  ASSERT_TRUE(fs::is_directory(out));
  EXPECT_EQ(frames(), earlier);
  EXPECT_EQ(fs::file_size(fs::path(out) / earlier[0]), earlier_size);
  EXPECT_EQ(Leftovers(), std::vector<std::string>{"frames"});

  // And a move that works replaces it, leaving nothing aside.
  ASSERT_TRUE(
      Export(ExportRequest{
                 .loop_path = loop, .out_path = out, .preset = 3, .format = ExportFormat::kPng, .preroll = false})
          .ok);
  EXPECT_EQ(frames(), earlier);
  EXPECT_NE(fs::file_size(fs::path(out) / earlier[0]), earlier_size) << "320 x 240 frames, not 384 x 288";
  EXPECT_EQ(Leftovers(), std::vector<std::string>{"frames"});
}

// Fast mode sums the echoes at reduced resolution: the frames stay within a few levels of the
// exact ones, and without it the export draws exactly.
TEST_F(ExportTest, FastModeStaysCloseToTheExactFrames) {
  std::ifstream in(fs::path(VL_TEST_DATA) / ".." / ".." / "res" / "loops" / "default.txt");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t last_key = text.rfind("[key]");
  ASSERT_NE(last_key, std::string::npos);
  text = text.substr(0, last_key) + "[key]\nframe = 4\n";  // the default loop's echoes, four frames
  auto scene = std::make_unique<engine::SceneState>();
  ASSERT_FALSE(engine::CompileSequence(text, "echo loop", *scene));
  const std::string loop = (dir_ / "echo.lqf").string();
  ASSERT_FALSE(engine::WriteSequenceFile(*scene, loop));

  std::vector<std::vector<uint8_t>> exact, fast;
  // At 768 x 576 (preset 0 drawn 4:3, square in Matroska): fast mode sums at reduced resolution
  // only above 360 x 288.
  ExportRequest request{.loop_path = loop,
                        .out_path = (dir_ / "echo.mkv").string(),
                        .preset = 0,
                        .format = ExportFormat::kMkv,
                        .preroll = false};
  ASSERT_TRUE(Export(request, &exact).ok);
  request.fast = true;
  ASSERT_TRUE(Export(request, &fast).ok);
  ASSERT_EQ(exact.size(), 4u);
  ASSERT_EQ(fast.size(), 4u);
  for (size_t i = 0; i < 4; ++i) EXPECT_LT(MeanDifferenceRgba(exact[i], fast[i]), 3.0) << i;
  EXPECT_NE(exact, fast) << "fast mode was not used";
}

TEST(ExportFormats, NamesAndOwnFormats) {
  EXPECT_EQ(ParseExportFormat("webp"), ExportFormat::kWebp);
  EXPECT_EQ(ParseExportFormat("MP4"), std::nullopt);
  EXPECT_EQ(ResolveFormat(0, ExportFormat::kPresetOwn, nullptr), ExportFormat::kAvi);
  EXPECT_EQ(ResolveFormat(5, ExportFormat::kMpg, nullptr), ExportFormat::kMpg);
  EXPECT_EQ(ResolveFormat(14, ExportFormat::kPresetOwn, nullptr), ExportFormat::k3gp);
  EXPECT_EQ(ResolveFormat(16, ExportFormat::kPresetOwn, nullptr), ExportFormat::kMp4);
  EXPECT_EQ(ResolveFormat(16, ExportFormat::kGif, nullptr), ExportFormat::kGif);
  EXPECT_EQ(ResolveFormat(0, ExportFormat::k3gp, nullptr), std::nullopt);
  EXPECT_TRUE(CheckOutputName("A.MPG", 3, ExportFormat::kMpg, nullptr));
  EXPECT_TRUE(CheckOutputName("out", 3, ExportFormat::kPng, nullptr));
  std::string error;
  EXPECT_FALSE(CheckOutputName("out", 3, ExportFormat::kMpg, &error));
  EXPECT_NE(error.find("VCD NTSC file (preset 3's own format) must end in .mpg"), std::string::npos) << error;
}

}  // namespace
}  // namespace vl::exporting
