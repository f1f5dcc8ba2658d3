// Exported files as the people who receive them meet them: particle loops that repeat exactly,
// a first frame from a fresh start that shows the loop's picture, frames drawn for the shape the
// file declares, sound where the disc and editing formats need it, and DVD-ready program streams,
// each read back by the tool its users have (mediainfo, vcdimager, dvdauthor).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>

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
using test::Quoted;
using test::RunCommand;

class ExportConsumersTest : public test::ExportFixture {
 protected:
  ExportConsumersTest() : ExportFixture("vl_consumers_") {}

  ExportResult Export(const ExportRequest& request, std::vector<std::vector<uint8_t>>* frames = nullptr) {
    ExportObserver observer;
    observer.frame_drawn = [frames](int, const headless::Image& image) {
      if (frames) frames->push_back(image.rgba);
    };
    observer.warning = [](const std::string& line) { ADD_FAILURE() << line; };
    return ExportLoop(request, observer);
  }
};

// Embers living longer than the 40-frame cycle, turning with the loop, in a pool large enough for
// every ember the emitter asks for (about 150 a frame).
std::string ParticleLoop() {
  return R"(version 6
[settings]
text_string = ""
text_on = 0
particle_count = 8000
particles_on = 2
particle_texture_mode = 2
particle_texture_name = "Particles/particle.tga"
[initial]
particle_emitter_x = 40
particle_emitter_y = 10
particle_emitter_z = 10
particle_velocity_y = 50
particle_velocity_spread_x = 30
particle_velocity_spread_y = 30
particle_velocity_spread_z = 20
particle_time_scale = 25
particle_life_min = 12
particle_life_max = 22
particle_colour_a_r = 240
particle_colour_a_g = 185
particle_colour_a_b = 158
[key]
frame = 0
[key]
frame = 20
particle_rot_z = 20
[key]
frame = 40
particle_rot_z = 0
)";
}

// Each recorded cycle replays the same random sequence from the same particles: two recorded
// cycles are the same pictures, so the file played round flows from its last frame into its
// first as from one frame to the next.
TEST_F(ExportConsumersTest, ParticleLoopsRepeatExactly) {
  const std::string loop = WriteLoop("embers", ParticleLoop());
  std::vector<std::vector<uint8_t>> frames;
  const ExportResult r = Export(ExportRequest{.loop_path = loop,
                                              .out_path = (dir_ / "embers.mkv").string(),
                                              .preset = 14,
                                              .format = ExportFormat::kMkv,
                                              .loops = 2},
                                &frames);
  ASSERT_TRUE(r.ok) << r.error;
  ASSERT_EQ(frames.size(), 80u);
  int differing = 0;
  for (size_t k = 0; k < 40; ++k) differing += frames[k] != frames[k + 40];
  EXPECT_EQ(differing, 0) << "frames of the second cycle unlike the first's";
  double largest_step = 0;
  for (size_t k = 0; k + 1 < 40; ++k)
    largest_step = std::max(largest_step, MeanDifferenceRgba(frames[k], frames[k + 1]));
  EXPECT_GT(largest_step, 0.05) << "the particles should move, or the test proves nothing";
  EXPECT_LE(MeanDifferenceRgba(frames[39], frames[0]), largest_step * 1.1);

  // The bundled embers fill their pool, so each cycle's births follow the last cycle's deaths
  // until the export replays them: the file's last frame flows into its first as one frame into
  // the next (before, 5.7 against steps of at most 1.5).
  std::ifstream in(fs::path(VL_TEST_DATA) / ".." / ".." / "res" / "loops" / "embers.txt");
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(text.empty());
  frames.clear();
  const ExportResult bundled = Export(ExportRequest{.loop_path = WriteLoop("bundled_embers", text),
                                                    .out_path = (dir_ / "bundled.mkv").string(),
                                                    .preset = 14,
                                                    .format = ExportFormat::kMkv},
                                      &frames);
  ASSERT_TRUE(bundled.ok) << bundled.error;
  ASSERT_EQ(frames.size(), static_cast<size_t>(bundled.loop_frames));
  largest_step = 0;
  for (size_t k = 0; k + 1 < frames.size(); ++k)
    largest_step = std::max(largest_step, MeanDifferenceRgba(frames[k], frames[k + 1]));
  EXPECT_LE(MeanDifferenceRgba(frames.back(), frames.front()), largest_step) << "the bundled embers jump at the repeat";
}

std::string PhotoLoop() {
  return R"(version 6
[settings]
text_string = ""
photo_on = 2
photo_lit = 0
photo_a_name = "Images/video-girl.jpg"
photo_b_name = "Images/sleeping-dog.jpg"
[initial]
photo_mix = 255
background_b = 30
[key]
frame = 0
[key]
frame = 12
photo_mix = 0
wave_phase = 360
[key]
frame = 24
photo_mix = 255
wave_phase = 0
)";
}

// From a fresh start nothing was drawn before frame 0, so what follows the loop a frame late (the
// photos' fade) must start as the loop's own: frame 0 shows the photo as frame 1 does.
TEST_F(ExportConsumersTest, AFreshStartShowsThePhotoOnItsFirstFrame) {
  const std::string loop = WriteLoop("photos", PhotoLoop());
  std::vector<std::vector<uint8_t>> cold, warm;
  ASSERT_TRUE(Export(ExportRequest{.loop_path = loop,
                                   .out_path = (dir_ / "cold.mkv").string(),
                                   .preset = 14,
                                   .format = ExportFormat::kMkv,
                                   .preroll = false},
                     &cold)
                  .ok);
  ASSERT_TRUE(
      Export(
          ExportRequest{
              .loop_path = loop, .out_path = (dir_ / "warm.mkv").string(), .preset = 14, .format = ExportFormat::kMkv},
          &warm)
          .ok);
  ASSERT_EQ(cold.size(), 24u);
  ASSERT_EQ(warm.size(), 24u);
  const double step = MeanDifferenceRgba(cold[1], cold[2]);
  EXPECT_LT(MeanDifferenceRgba(cold[0], cold[1]), step + 2) << "frame 0 unlike frame 1";
  EXPECT_EQ(cold[5], warm[5]) << "after the first frames the fresh start and the preroll agree";
}

// "VL" turning a quarter round over a blue ground: letters drawn for the wrong pixels come out
// too wide or too narrow.
std::string StillLoop(int frames) {
  return R"(version 6
[settings]
text_string = "VL"
text_font_face = "Liberation Sans"
text_font_weight = 700
text_on = 2
text_lit = 2
[initial]
text_pos_z = -250
text_pos_x = -60
text_scale_x = 70
text_scale_y = 70
text_scale_z = 10
background_r = 10
background_g = 30
background_b = 90
[key]
frame = 0
[key]
frame = )" +
         std::to_string(frames) + "\ntext_rot_z = 90\n";
}

std::string MediaInfo(const std::string& path, const std::string& inform) {
  std::string out = RunCommand("mediainfo --Inform=" + Quoted(inform) + " " + Quoted(path) + " 2>&1");
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

bool HaveTool(const std::string& name) { return !RunCommand("command -v " + name).empty(); }

// The DV and disc presets are 4:3 pictures in frames of other shapes: mediainfo, as an editor,
// says 4:3 with the pixel shape that makes it, and the picture shown at 4:3 is the one drawn,
// which is the picture a square-pixel export of the preset holds. The other presets are square.
TEST_F(ExportConsumersTest, DiscAndDvPresetsAreDrawnAndFlaggedFourThree) {
  if (!HaveTool("mediainfo")) GTEST_SKIP() << "no mediainfo (scripts/common.sh installs it)";
  const std::string loop = WriteLoop("still", StillLoop(3));
  const struct {
    int preset;
    const char* pixel_aspect;  // as mediainfo rounds it
  } cases[] = {{0, "1.067"}, {1, "0.889"}, {2, "1.067"}, {3, "0.889"}, {4, "1.600"}, {5, "1.333"}};
  for (const auto& c : cases) {
    const PresetFormat& p = *PresetFormatOf(c.preset);
    SCOPED_TRACE(std::string("preset ") + std::to_string(c.preset) + " " + p.name);
    const std::string out = (dir_ / ("own" + std::to_string(c.preset) + p.extension)).string();
    std::vector<std::vector<uint8_t>> drawn;
    ASSERT_TRUE(Export(ExportRequest{.loop_path = loop,
                                     .out_path = out,
                                     .preset = c.preset,
                                     .format = ExportFormat::kPresetOwn,
                                     .preroll = false},
                       &drawn)
                    .ok);
    EXPECT_EQ(MediaInfo(out, "Video;%Width%x%Height% %DisplayAspectRatio/String% %PixelAspectRatio%"),
              std::to_string(p.width) + "x" + std::to_string(p.height) + " 4:3 " + c.pixel_aspect);
    ASSERT_EQ(drawn.size(), 3u);
    ASSERT_EQ(drawn[2].size(), size_t(p.height) * size_t(p.height) * 4 * 4 / 3) << "drawn 4:3";
    EXPECT_LT(MeanDifference(drawn[2], test::DecodeFrameRgb(out, 2, p.height * 4 / 3, p.height)), 6);

    // The same picture in square pixels.
    const std::string square = (dir_ / ("square" + std::to_string(c.preset) + ".mkv")).string();
    std::vector<std::vector<uint8_t>> square_drawn;
    ASSERT_TRUE(Export(ExportRequest{.loop_path = loop,
                                     .out_path = square,
                                     .preset = c.preset,
                                     .format = ExportFormat::kMkv,
                                     .preroll = false},
                       &square_drawn)
                    .ok);
    EXPECT_EQ(MediaInfo(square, "Video;%Width%x%Height% %PixelAspectRatio%"),
              std::to_string(p.height * 4 / 3) + "x" + std::to_string(p.height) + " 1.000");
    EXPECT_EQ(square_drawn, drawn);
  }
  for (const int preset : {14, 15}) {
    const PresetFormat& p = *PresetFormatOf(preset);
    const std::string out = (dir_ / ("own" + std::to_string(preset) + p.extension)).string();
    ASSERT_TRUE(Export(ExportRequest{.loop_path = loop,
                                     .out_path = out,
                                     .preset = preset,
                                     .format = ExportFormat::kPresetOwn,
                                     .preroll = false})
                    .ok);
    EXPECT_EQ(MediaInfo(out, "Video;%PixelAspectRatio%"), "1.000") << p.name;
  }
}

// A sound file to loop: a tone of `seconds`, mono at 22.05 kHz in Ogg Vorbis, nothing like what
// any format stores.
std::string MakeTone(const fs::path& dir, double seconds, const std::string& name) {
  std::string path = (dir / name).string();
  RunCommand("ffmpeg -v error -y -f lavfi -i sine=frequency=440:duration=" + std::to_string(seconds) +
             " -ac 1 -ar 22050 -c:a libvorbis " + Quoted(path) + " 2>&1");
  return path;
}

struct Sound {
  std::string codec;
  int rate = 0;
  int channels = 0;
  double seconds = 0;           // decoded samples / rate
  double quietest_tenth = 1e9;  // the lowest RMS of any tenth of a second, 0..32768
};

// The file's sound decoded whole, as a player plays it.
Sound ReadSound(const std::string& path) {
  Sound s;
  std::istringstream probe(
      RunCommand("ffprobe -v error -select_streams a:0 -show_entries stream=codec_name,sample_rate,channels "
                 "-of default=nw=1 " +
                 Quoted(path)));
  for (std::string line; std::getline(probe, line);) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    if (key == "codec_name") s.codec = value;
    if (key == "sample_rate") s.rate = std::stoi(value);
    if (key == "channels") s.channels = std::stoi(value);
  }
  if (s.rate <= 0) return s;
  const std::string pcm =
      RunCommand("ffmpeg -v error -i " + Quoted(path) + " -map 0:a:0 -ac 1 -f s16le -acodec pcm_s16le - 2>/dev/null");
  const size_t samples = pcm.size() / 2;
  s.seconds = double(samples) / s.rate;
  const size_t tenth = size_t(s.rate) / 10;
  for (size_t at = 0; at + tenth <= samples; at += tenth) {
    double sum = 0;
    for (size_t i = at; i < at + tenth; ++i) {
      const int16_t v = static_cast<int16_t>(uint16_t(uint8_t(pcm[2 * i])) | uint16_t(uint8_t(pcm[2 * i + 1])) << 8);
      sum += double(v) * v;
    }
    s.quietest_tenth = std::min(s.quietest_tenth, std::sqrt(sum / double(tenth)));
  }
  return s;
}

// VCD and SVCD as vcdimager authors them: accepted without a word, with or without sound given
// (silence then), as MP2 at the discs' 44.1 kHz; a tone shorter than the video is looped to its
// end and one longer is cut there.
TEST_F(ExportConsumersTest, VcdimagerAcceptsTheVcdAndSvcdFiles) {
  if (!HaveTool("vcdimager")) GTEST_SKIP() << "no vcdimager (scripts/common.sh installs it)";
  // Two seconds: a VCD track is at least one (75 sectors).
  const std::string loop = WriteLoop("still", StillLoop(50));
  const std::string short_tone = MakeTone(dir_, 0.45, "short.ogg"), long_tone = MakeTone(dir_, 5, "long.ogg");
  for (const int preset : {2, 3, 4, 5}) {
    const PresetFormat& p = *PresetFormatOf(preset);
    SCOPED_TRACE(std::string("preset ") + std::to_string(preset) + " " + p.name);
    const double video_seconds = p.ntsc_rate ? 50 * 1.001 / 30 : 50.0 / p.fps;
    for (const std::string& tone : {std::string(), short_tone, long_tone}) {
      SCOPED_TRACE("sound " + (tone.empty() ? std::string("none") : tone));
      const std::string out = (dir_ / "disc.mpg").string();
      ExportRequest request{
          .loop_path = loop, .out_path = out, .preset = preset, .format = ExportFormat::kPresetOwn, .preroll = false};
      request.audio_path = tone;
      const ExportResult r = Export(request);
      ASSERT_TRUE(r.ok) << r.error;
      EXPECT_EQ(r.audio_encoder, "mp2");
      const Sound sound = ReadSound(out);
      EXPECT_EQ(sound.codec, "mp2");
      EXPECT_EQ(sound.rate, 44100);
      EXPECT_EQ(sound.channels, 2);
      // Cut to the video's length, but for the rest of the last MP2 frame (1152 samples).
      EXPECT_GE(sound.seconds, video_seconds - 0.001);
      EXPECT_LE(sound.seconds, video_seconds + 1152.0 / 44100);
      if (tone.empty()) EXPECT_LT(sound.quietest_tenth, 1.0) << "silence";
      else EXPECT_GT(sound.quietest_tenth, 1000.0) << "the tone plays to the end, looped";
      fs::remove(dir_ / "disc.bin");
      fs::remove(dir_ / "disc.cue");
      const std::string log = RunCommand("cd " + Quoted(dir_.string()) + " && vcdimager -t " +
                                         (p.video == video::VideoFormat::kVcd ? "vcd2" : "svcd") +
                                         " -c disc.cue -b disc.bin disc.mpg 2>&1; echo exit=$?");
      EXPECT_NE(log.find("finished ok"), std::string::npos) << log;
      EXPECT_NE(log.find("exit=0"), std::string::npos) << log;
      EXPECT_EQ(log.find("WARN"), std::string::npos) << log;
      EXPECT_EQ(log.find("ERROR"), std::string::npos) << log;
    }
  }
}

// DV AVI carries 48 kHz PCM (silence without a sound file), MP4 AAC, Matroska FLAC (as
// mkvmerge, the Matroska tools, identify it); WebP, GIF and PNG take no sound and say so; a
// sound file that is no sound, too short to loop, missing, or a FIFO is refused naming it, and
// nothing is left.
TEST_F(ExportConsumersTest, EachFormatCarriesItsOwnSound) {
  const std::string loop = WriteLoop("still", StillLoop(10));
  const std::string tone = MakeTone(dir_, 0.3, "tone.ogg");
  {
    const std::string out = (dir_ / "dv.avi").string();
    ASSERT_TRUE(
        Export(
            ExportRequest{
                .loop_path = loop, .out_path = out, .preset = 0, .format = ExportFormat::kPresetOwn, .preroll = false})
            .ok);
    const Sound sound = ReadSound(out);
    EXPECT_EQ(sound.codec, "pcm_s16le");
    EXPECT_EQ(sound.rate, 48000);
    EXPECT_NEAR(sound.seconds, 10 / 25.0, 0.0001) << "PCM is cut to the sample";
    EXPECT_LT(sound.quietest_tenth, 1.0);
    ExportRequest with_tone{
        .loop_path = loop, .out_path = out, .preset = 1, .format = ExportFormat::kPresetOwn, .preroll = false};
    with_tone.audio_path = tone;
    ASSERT_TRUE(Export(with_tone).ok);
    EXPECT_GT(ReadSound(out).quietest_tenth, 1000.0);
  }
  {
    const std::string out = (dir_ / "web.mp4").string();
    ExportRequest request{
        .loop_path = loop, .out_path = out, .preset = 15, .format = ExportFormat::kPresetOwn, .preroll = false};
    ASSERT_TRUE(Export(request).ok);
    EXPECT_EQ(ReadSound(out).codec, "") << "no sound asked for, none written";
    request.audio_path = tone;
    ASSERT_TRUE(Export(request).ok);
    const Sound sound = ReadSound(out);
    EXPECT_EQ(sound.codec, "aac");
    EXPECT_NEAR(sound.seconds, 10 / 30.0, 0.03);
  }
  if (HaveTool("mkvmerge")) {
    const std::string out = (dir_ / "edit.mkv").string();
    ExportRequest request{
        .loop_path = loop, .out_path = out, .preset = 3, .format = ExportFormat::kMkv, .preroll = false};
    request.audio_path = tone;
    ASSERT_TRUE(Export(request).ok);
    const std::string tracks = RunCommand("mkvmerge --identify " + Quoted(out) + " 2>&1");
    EXPECT_NE(tracks.find("Track ID 0: video (0x46465631 \"FFV1\")"), std::string::npos) << tracks;
    EXPECT_NE(tracks.find("Track ID 1: audio (FLAC)"), std::string::npos) << tracks;
  }
  auto refused = [&](const ExportRequest& request, const std::string& message) {
    const ExportResult r = Export(request);
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find(message), std::string::npos) << r.error;
    for (const auto& e : fs::directory_iterator(dir_))
      EXPECT_EQ(e.path().filename().string().rfind("out", 0), std::string::npos) << e.path();
  };
  const std::string d = dir_.string();
  ExportRequest request{
      .loop_path = loop, .out_path = d + "/out.gif", .preset = 3, .format = ExportFormat::kGif, .preroll = false};
  request.audio_path = tone;
  refused(request, "tone.ogg: gif files carry no sound");
  request = {
      .loop_path = loop, .out_path = d + "/out.avi", .preset = 0, .format = ExportFormat::kPresetOwn, .preroll = false};
  request.audio_path = loop;  // a loop file is no sound
  refused(request, "still.lqf: ");
  request.audio_path = MakeTone(dir_, 0.03, "blip.ogg");  // looped, it would be opened 13 times a frame
  refused(request, "blip.ogg: its sound is shorter than a tenth of a second");
  request.audio_path = d + "/missing.wav";
  refused(request, "missing.wav: no such file");
  const std::string fifo = d + "/fifo.wav";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  request.audio_path = fifo;
  refused(request, "fifo.wav: is not a regular file");
}

// DVD-Video from the 720-wide presets: dvdauthor makes a title of it without a warning, PAL and
// NTSC, with silence or a sound file; no other preset is a DVD size.
TEST_F(ExportConsumersTest, DvdauthorMakesADvdOfTheDvdFormat) {
  if (!HaveTool("dvdauthor")) GTEST_SKIP() << "no dvdauthor (scripts/common.sh installs it)";
  const std::string loop = WriteLoop("still", StillLoop(40));
  const std::string tone = MakeTone(dir_, 0.5, "tone.ogg");
  for (const auto& [preset, standard] : {std::pair{0, "pal"}, std::pair{1, "ntsc"}}) {
    for (const std::string& sound : {std::string(), tone}) {
      SCOPED_TRACE(std::string(standard) + (sound.empty() ? " silent" : " with a tone"));
      const std::string out = (dir_ / "title.mpg").string();
      ExportRequest request{
          .loop_path = loop, .out_path = out, .preset = preset, .format = ExportFormat::kDvd, .preroll = false};
      request.audio_path = sound;
      const ExportResult r = Export(request);
      ASSERT_TRUE(r.ok) << r.error;
      EXPECT_EQ(r.audio_encoder, "ac3");
      EXPECT_EQ(MediaInfo(out, "Video;%Format% %Width%x%Height% %DisplayAspectRatio/String%"),
                std::string("MPEG Video 720x") + (preset == 0 ? "576" : "480") + " 4:3");
      const fs::path dvd = dir_ / "dvd";
      fs::remove_all(dvd);
      const std::string env = "cd " + Quoted(dir_.string()) + " && VIDEO_FORMAT=" + standard + " ";
      const std::string title = RunCommand(env + "dvdauthor -o dvd -t title.mpg 2>&1; echo exit=$?");
      const std::string toc = RunCommand(env + "dvdauthor -o dvd -T 2>&1; echo exit=$?");
      for (const std::string& log : {title, toc}) {
        EXPECT_NE(log.find("exit=0"), std::string::npos) << log;
        EXPECT_EQ(log.find("WARN"), std::string::npos) << log;
        EXPECT_EQ(log.find("ERR"), std::string::npos) << log;
      }
      EXPECT_NE(title.find(std::string("TV standard: ") + standard), std::string::npos) << title;
      EXPECT_NE(title.find("Aspect ratio: 4:3"), std::string::npos) << title;
      EXPECT_NE(title.find("Audio ch 0 format: ac3/2ch"), std::string::npos) << title;
      EXPECT_TRUE(fs::is_regular_file(dvd / "VIDEO_TS" / "VIDEO_TS.IFO"));
      EXPECT_GT(fs::file_size(dvd / "VIDEO_TS" / "VTS_01_1.VOB"), 100000u);
    }
  }
  std::string error;
  EXPECT_FALSE(ResolveFormat(2, ExportFormat::kDvd, &error));
  EXPECT_NE(error.find("preset 2 (VCD PAL, 352 x 288) is not a DVD size"), std::string::npos) << error;
  EXPECT_EQ(ParseExportFormat("dvd"), ExportFormat::kDvd);
}

}  // namespace
}  // namespace vl::exporting
