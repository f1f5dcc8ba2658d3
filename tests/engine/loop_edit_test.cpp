// Editing a loaded loop: every edit refused or applied whole, its undo bringing back the same
// file bytes, and the frames it leaves equal to those of the saved loop loaded again.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "engine/keyframes.h"
#include "engine/loop_edit.h"
#include "engine/sequence_loader.h"
#include "engine/sequence_reader.h"
#include "engine/sequence_text.h"
#include "engine/sequence_writer.h"

namespace {

namespace fs = std::filesystem;
using namespace vl::engine;

fs::path LoopFolder() { return fs::path(VL_TEST_DATA) / ".." / ".." / "res" / "loops"; }

std::unique_ptr<SceneState> LoadBytes(const std::vector<uint8_t>& bytes) {
  auto parsed = ParseSequence(bytes, "edited.lqf");
  EXPECT_TRUE(parsed.ok()) << (parsed ? "" : parsed.error().ToString());
  auto scene = std::make_unique<SceneState>();
  SequenceAssets none;
  if (parsed) ApplySequence(*scene, *parsed, none);
  return scene;
}

// A bundled loop as the player has it after loading its file.
std::unique_ptr<SceneState> Bundled(const std::string& name) {
  std::ifstream in(LoopFolder() / (name + ".txt"), std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  SceneState compiled;
  EXPECT_FALSE(CompileSequence(text.str(), name, compiled).has_value());
  return LoadBytes(WriteSequence(compiled, 6.0f));
}

std::vector<uint8_t> Bytes(const SceneState& s) { return WriteSequence(s, 6.0f); }

// Every track's values over the frames a load of the scene's keys expands.
void ExpectSameFrames(const SceneState& a, const SceneState& b, float tolerance = 0.0f) {
  ASSERT_EQ(a.keyframe_count, b.keyframe_count);
  ASSERT_EQ(a.baked_frame_count, b.baked_frame_count);
  ASSERT_EQ(a.frame_count, b.frame_count);
  const int32_t first = (*a.keyframe_frame)[0], end = (*a.keyframe_frame)[static_cast<size_t>(a.keyframe_count)];
  for (int t = 0; t < kTrackCount; ++t) {
    const auto track = static_cast<Track>(t);
    for (int32_t f = first; f < end; ++f) {
      const float x = a.track(track).frame_values[f], y = b.track(track).frame_values[f];
      if (tolerance == 0.0f) {
        ASSERT_EQ(x, y) << TrackName(track) << " frame " << f;
      } else {
        ASSERT_NEAR(x, y, tolerance * std::max(1.0f, std::fabs(y))) << TrackName(track) << " frame " << f;
      }
    }
  }
}

// What plays after saving: the edited scene written and loaded again.
void ExpectPlaysAsSaved(const SceneState& edited) {
  auto reloaded = LoadBytes(Bytes(edited));
  ExpectSameFrames(edited, *reloaded);
}

TEST(LoopEdit, SettingsAreSetAsDumpPrintsThemAndTakenBack) {
  auto scene = Bundled("tunnel");
  const auto original = Bytes(*scene);

  auto text = ParseSettingEdit("text_string", "Grand Opening \xE2\x82\xAC 5");  // the euro sign
  ASSERT_TRUE(text.ok()) << text.error().message;
  auto done = ApplyEdit(*scene, *text);
  ASSERT_TRUE(done.ok());
  EXPECT_EQ(scene->settings.text_string, "Grand Opening \x80 5");
  EXPECT_TRUE(done->settings.test(static_cast<size_t>(Setting::text_string)));
  EXPECT_TRUE(done->tracks.none());

  // A name's length field follows the name; its undo brings back a length the file had cut short.
  scene->settings.sprite_texture_name_length = 3.0f;
  const auto cut = Bytes(*scene);
  auto name = ParseSettingEdit("sprite_texture_name", "Images/ring.bmp");
  ASSERT_TRUE(name.ok());
  auto named = ApplyEdit(*scene, *name);
  ASSERT_TRUE(named.ok());
  EXPECT_EQ(scene->settings.sprite_texture_name_length, 15.0f);
  ASSERT_TRUE(ApplyEdit(*scene, named->undo).ok());
  EXPECT_EQ(Bytes(*scene), cut);
  scene->settings.sprite_texture_name_length = 0.0f;

  ASSERT_TRUE(ApplyEdit(*scene, done->undo).ok());
  EXPECT_EQ(Bytes(*scene), original);

  auto weight = ParseSettingEdit("text_font_weight", "700");
  ASSERT_TRUE(weight.ok());
  ASSERT_TRUE(ApplyEdit(*scene, *weight).ok());
  EXPECT_EQ(scene->settings.text_font_weight, 700);
  auto fog = ParseSettingEdit("tunnel_r", "12.5");
  ASSERT_TRUE(fog.ok());
  ASSERT_TRUE(ApplyEdit(*scene, *fog).ok());
  EXPECT_EQ(scene->settings.tunnel_r, 12.5f);
}

TEST(LoopEdit, EverySettingShownAsTextIsTakenBackUnchanged) {
  auto scene = Bundled("model_trio");
  scene->settings.text_string = "\x80\x81\x9F\xE9 \"q\" \\";
  scene->settings.text_font_weight = -7;
  scene->settings.tunnel_r = 1.0f / 3.0f;
  const auto original = Bytes(*scene);
  for (int i = 0; i < kSettingCount; ++i) {
    const auto s = static_cast<Setting>(i);
    const std::string text = SettingText(*scene, s);
    auto e = ParseSettingEdit(SettingName(s), text);
    ASSERT_TRUE(e.ok()) << SettingName(s) << " = " << text << ": " << e.error().message;
    auto done = ApplyEdit(*scene, *e);
    ASSERT_TRUE(done.ok()) << SettingName(s);
    // A name's length field is set from the name, so put back the one the loop had.
    ASSERT_TRUE(ApplyEdit(*scene, done->undo).ok());
  }
  EXPECT_EQ(SettingText(*scene, Setting::text_string), "\xE2\x82\xAC\xC2\x81\xC5\xB8\xC3\xA9 \"q\" \\");
  EXPECT_EQ(SettingText(*scene, Setting::tunnel_r), "0.333333343");
  EXPECT_EQ(Bytes(*scene), original);
  for (int i = 0; i < kSettingCount; ++i) {
    const auto s = static_cast<Setting>(i);
    if (kSettingCatalogue[static_cast<size_t>(i)].type == SettingType::S) continue;
    auto e = ParseSettingEdit(SettingName(s), SettingText(*scene, s));
    ASSERT_TRUE(ApplyEdit(*scene, *e).ok());
  }
  EXPECT_EQ(Bytes(*scene), original);
}

TEST(LoopEdit, ValuesAFieldCannotHoldAreRefusedWithAMessage) {
  struct Case {
    const char* name;
    const char* value;
    const char* says;
  };
  const Case cases[] = {
      {"no_such_setting", "1", "unknown setting 'no_such_setting'"},
      {"text_rot_x", "1", "is a track, not a setting"},
      {"tunnel_r", "NaN", "not a finite number"},
      {"tunnel_r", "inf", "not a finite number"},
      {"tunnel_r", "1e39", "too large for a float"},
      {"tunnel_r", "12 ", "not a finite number"},
      {"tunnel_r", "1e-50 x", "not a finite number"},
      {"tunnel_r", "", "not a finite number"},
      {"text_font_weight", "7.5", "not a whole number"},
      {"text_font_weight", "2147483648", "not a whole number"},
      {"text_string", "\xE6\x97\xA5\xE6\x9C\xAC", "Windows-1252"},  // CJK has no 8-bit form
      {"text_string", "bad \xFF byte", "Windows-1252"},             // not UTF-8
  };
  for (const Case& c : cases) {
    auto e = ParseSettingEdit(c.name, c.value);
    ASSERT_FALSE(e.ok()) << c.name << "=" << c.value;
    EXPECT_NE(e.error().message.find(c.says), std::string::npos) << e.error().message;
  }
  EXPECT_FALSE(ParseSettingEdit("text_string", std::string(kMaxSettingBytes + 1, 'a')).ok());
  EXPECT_FALSE(ParseTrackName("tunnel_r").ok());
  EXPECT_TRUE(ParseTrackName("text_rot_x").ok());
  EXPECT_FALSE(ParseTrackValue("nan").ok());
  EXPECT_EQ(ParseTrackValue("1e-50").value(), 0.0f);  // too small for a float: 0, as a compiler reads it

  // Edits built in code are checked as well, and change nothing when refused.
  auto scene = Bundled("default");
  const auto original = Bytes(*scene);
  const LoopEdit refused[] = {
      SetFloatSettingEdit(Setting::tunnel_r, NAN),
      SetStringSettingEdit(Setting::text_string, std::string("a\0b", 3)),
      SetInitialEdit(Track::text_rot_x, INFINITY),
      SetKeyValueEdit(Track::text_rot_x, 1, NAN),
      SetKeyValueEdit(Track::text_rot_x, 99, 1.0f),
      InsertKeyEdit(10000),
      InsertKeyEdit(-1),
      DeleteKeyEdit(7),
      MoveKeyEdit(1, 0),
      GroupEdit({SetInitialEdit(Track::text_rot_x, 5.0f), InsertKeyEdit(150)}, "both"),
  };
  for (const LoopEdit& e : refused) {
    auto done = ApplyEdit(*scene, e);
    EXPECT_FALSE(done.ok()) << e.description;
    if (!done.ok()) { EXPECT_FALSE(done.error().message.empty()); }
    EXPECT_EQ(Bytes(*scene), original) << e.description;
  }
}

TEST(LoopEdit, Windows1252TakesItsOwnCharactersAndDumpsControlForms) {
  EXPECT_EQ(Utf8ToWindows1252("caf\xC3\xA9"), std::optional<std::string>("caf\xE9"));
  EXPECT_EQ(Utf8ToWindows1252("\xE2\x80\x9Cq\xE2\x80\x9D"), std::optional<std::string>("\x93q\x94"));
  EXPECT_EQ(Utf8ToWindows1252("\xC2\x81"), std::optional<std::string>("\x81"));  // as dump prints byte 0x81
  EXPECT_EQ(Utf8ToWindows1252("\xC5\xB8"), std::optional<std::string>("\x9F"));  // Y diaeresis
  EXPECT_FALSE(Utf8ToWindows1252("\xC4\x80").has_value());                       // A macron
  EXPECT_FALSE(Utf8ToWindows1252("\xC0\xAF").has_value());                       // overlong
  EXPECT_FALSE(Utf8ToWindows1252("\xED\xA0\x80").has_value());                   // surrogate
  EXPECT_FALSE(Utf8ToWindows1252("\xE2\x82").has_value());                       // cut short
  EXPECT_FALSE(Utf8ToWindows1252(std::string("\0", 1)).has_value());
}

TEST(LoopEdit, TrackEditsExpandOnlyTheirTrackAsALoadWould) {
  auto scene = Bundled("carousel");
  const auto original = Bytes(*scene);
  auto before = LoadBytes(original);

  auto initial = ApplyEdit(*scene, SetInitialEdit(Track::text_rot_y, -40.0f));
  ASSERT_TRUE(initial.ok());
  EXPECT_EQ(initial->tracks.count(), 1u);
  ExpectPlaysAsSaved(*scene);
  EXPECT_EQ(scene->track(Track::text_rot_y).frame_values[0],
            LoadBytes(Bytes(*scene))->track(Track::text_rot_y).frame_values[0]);
  EXPECT_NE(scene->track(Track::text_rot_y).frame_values[0], before->track(Track::text_rot_y).frame_values[0]);

  for (int32_t key = 0; key <= scene->keyframe_count; ++key) {
    auto set = ApplyEdit(*scene, SetKeyValueEdit(Track::text_pos_x, key, 10.0f * static_cast<float>(key) - 7.0f));
    ASSERT_TRUE(set.ok());
    ExpectPlaysAsSaved(*scene);
    // The key's value lands on the frame before the key.
    if (key > 0) {
      EXPECT_NEAR(scene->track(Track::text_pos_x).frame_values[(*scene->keyframe_frame)[static_cast<size_t>(key)] - 1],
                  10.0f * static_cast<float>(key) - 7.0f, 1e-3f);
    }
  }
  // Tracks nobody touched are untouched.
  for (int t = 0; t < kTrackCount; ++t) {
    const auto track = static_cast<Track>(t);
    if (track == Track::text_rot_y || track == Track::text_pos_x) continue;
    ASSERT_TRUE(std::equal(before->track(track).frame_values, before->track(track).frame_values + kFrameSlots,
                           scene->track(track).frame_values))
        << TrackName(track);
  }
}

TEST(LoopEdit, InsertingAKeyKeepsEveryMotionAndRemovingItRestoresTheFrames) {
  for (const char* name : {"default", "carousel", "swell", "wire", "model_trio"}) {
    SCOPED_TRACE(name);
    auto scene = Bundled(name);
    const auto original = Bytes(*scene);
    auto untouched = LoadBytes(original);
    const int32_t last = (*scene->keyframe_frame)[static_cast<size_t>(scene->keyframe_count)];
    // Inside the first segment, inside a later one, next to a key, and after the end.
    for (int32_t frame : {7, last / 2 + 3, (*scene->keyframe_frame)[1] + 1, last - 1, last + 40}) {
      if (FindKeyAtFrame(*scene, frame)) continue;
      auto added = ApplyEdit(*scene, InsertKeyEdit(frame));
      ASSERT_TRUE(added.ok()) << frame << ": " << added.error().message;
      EXPECT_TRUE(added->keys_changed);
      EXPECT_EQ(added->redo.row.size(), static_cast<size_t>(kTrackCount));
      ExpectPlaysAsSaved(*scene);
      // Over the loop as it was, every track moves as before, up to float rounding.
      for (int t = 0; t < kTrackCount; ++t) {
        const auto track = static_cast<Track>(t);
        for (int32_t f = 0; f < last; ++f)
          ASSERT_NEAR(scene->track(track).frame_values[f], untouched->track(track).frame_values[f],
                      1e-3f * std::max(1.0f, std::fabs(untouched->track(track).frame_values[f])))
              << TrackName(track) << " frame " << f << " with a key on " << frame;
        // After the old end the new last segment holds still.
        for (int32_t f = last; f < frame && frame > last; ++f)
          ASSERT_EQ(scene->track(track).frame_values[f], scene->track(track).frame_values[last - 1])
              << TrackName(track);
      }
      auto removed = ApplyEdit(*scene, added->undo);
      ASSERT_TRUE(removed.ok());
      EXPECT_EQ(Bytes(*scene), original);
      ExpectSameFrames(*scene, *untouched);
      // And the frames the longer loop used are clear again, as a load leaves them.
      for (int32_t f = last; f < std::min(frame, 602); ++f)
        ASSERT_EQ(scene->track(Track::text_rot_x).frame_values[f], 0.0f) << f;
    }
  }
}

TEST(LoopEdit, KeysKeepTheirOrderWhenMovedDeletedOrRetimed) {
  auto scene = Bundled("carousel");  // keys on 0, 60, 120, 180, 240
  const auto original = Bytes(*scene);
  auto untouched = LoadBytes(original);

  EXPECT_FALSE(ApplyEdit(*scene, MoveKeyEdit(2, 60)).ok());
  EXPECT_FALSE(ApplyEdit(*scene, MoveKeyEdit(2, 181)).ok());
  EXPECT_FALSE(ApplyEdit(*scene, MoveKeyEdit(4, 10000)).ok());
  EXPECT_FALSE(ApplyEdit(*scene, InsertKeyEdit(120)).ok());
  EXPECT_FALSE(ApplyEdit(*scene, SetKeyFramesEdit({0, 60, 60, 180, 240})).ok());
  EXPECT_FALSE(ApplyEdit(*scene, SetKeyFramesEdit({0, 60, 180, 240})).ok());
  EXPECT_FALSE(ApplyEdit(*scene, SetLengthEdit(180)).ok());      // onto key 3
  EXPECT_FALSE(ApplyEdit(*scene, SetLengthEdit(3, true)).ok());  // keys would meet
  EXPECT_EQ(Bytes(*scene), original);

  const float at_key2 = scene->track(Track::text_rot_y).key_values[120];
  auto moved = ApplyEdit(*scene, MoveKeyEdit(2, 100));
  ASSERT_TRUE(moved.ok());
  EXPECT_EQ((*scene->keyframe_frame)[2], 100);
  EXPECT_EQ(scene->track(Track::text_rot_y).key_values[100], at_key2);
  ExpectPlaysAsSaved(*scene);
  ASSERT_TRUE(ApplyEdit(*scene, moved->undo).ok());
  EXPECT_EQ(Bytes(*scene), original);
  ExpectSameFrames(*scene, *untouched);

  auto longer = ApplyEdit(*scene, SetLengthEdit(300));
  ASSERT_TRUE(longer.ok());
  EXPECT_EQ(scene->baked_frame_count, 300);
  ExpectPlaysAsSaved(*scene);
  ASSERT_TRUE(ApplyEdit(*scene, longer->undo).ok());
  EXPECT_EQ(Bytes(*scene), original);

  // A playhead beyond the end of a loop made shorter starts over instead of staying stuck there.
  scene->current_frame = 230;
  auto shorter = ApplyEdit(*scene, SetLengthEdit(200));
  ASSERT_TRUE(shorter.ok());
  EXPECT_EQ(scene->current_frame, 0);
  scene->current_frame = 150;
  ASSERT_TRUE(ApplyEdit(*scene, shorter->undo).ok());
  EXPECT_EQ(scene->current_frame, 150);
  EXPECT_EQ(Bytes(*scene), original);

  auto stretched = ApplyEdit(*scene, SetLengthEdit(480, true));
  ASSERT_TRUE(stretched.ok());
  EXPECT_EQ(std::vector<int32_t>(scene->keyframe_frame->begin(), scene->keyframe_frame->begin() + 5),
            (std::vector<int32_t>{0, 120, 240, 360, 480}));
  ExpectPlaysAsSaved(*scene);
  ASSERT_TRUE(ApplyEdit(*scene, stretched->undo).ok());
  EXPECT_EQ(Bytes(*scene), original);

  auto deleted = ApplyEdit(*scene, DeleteKeyEdit(0));
  ASSERT_TRUE(deleted.ok());
  EXPECT_EQ((*scene->keyframe_frame)[0], 60);
  ExpectPlaysAsSaved(*scene);
  ASSERT_TRUE(ApplyEdit(*scene, deleted->undo).ok());
  EXPECT_EQ(Bytes(*scene), original);
  ExpectSameFrames(*scene, *untouched);

  // Down to two keys, and no further.
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(ApplyEdit(*scene, DeleteKeyEdit(1)).ok());
  auto last = ApplyEdit(*scene, DeleteKeyEdit(1));
  ASSERT_FALSE(last.ok());
  EXPECT_NE(last.error().message.find("at least two keys"), std::string::npos);
}

// A random edit that may or may not be valid for the scene as it stands.
LoopEdit RandomEdit(std::mt19937& rng, const SceneState& scene) {
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  const auto track = static_cast<Track>(pick(kTrackCount));
  const int32_t last = (*scene.keyframe_frame)[static_cast<size_t>(scene.keyframe_count)];
  const float value = static_cast<float>(pick(2001) - 1000) / 7.0f;
  switch (pick(9)) {
    case 0: return SetInitialEdit(track, value);
    case 1:
    case 2: return SetKeyValueEdit(track, pick(scene.keyframe_count + 1), value);
    case 3: return InsertKeyEdit(pick(last + 60));
    case 4: return DeleteKeyEdit(pick(scene.keyframe_count + 1));
    case 5: return MoveKeyEdit(pick(scene.keyframe_count + 1), pick(last + 60));
    case 6: return SetLengthEdit(20 + pick(600), pick(2) == 0);
    case 7: {
      const auto s = static_cast<Setting>(pick(kSettingCount));
      switch (kSettingCatalogue[static_cast<size_t>(s)].type) {
        case SettingType::F: return SetFloatSettingEdit(s, value);
        case SettingType::I: return SetIntSettingEdit(s, pick(100));
        case SettingType::S: return SetStringSettingEdit(s, "name " + std::to_string(pick(1000)));
      }
      break;
    }
    default: break;
  }
  return GroupEdit({InsertKeyEdit(pick(last)), SetKeyValueEdit(track, 1, value)}, "Add and set");
}

TEST(LoopEdit, RandomEditsUndoneGiveBackTheOriginalBytes) {
  for (unsigned seed : {1u, 2u, 3u}) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    auto scene = Bundled(seed == 1 ? "swell" : seed == 2 ? "embers" : "photos");
    const auto original = Bytes(*scene);
    auto untouched = LoadBytes(original);
    EditHistory history;
    std::vector<std::vector<uint8_t>> states{original};
    int applied = 0;
    for (int i = 0; i < 150; ++i) {
      const LoopEdit e = RandomEdit(rng, *scene);
      const auto before = Bytes(*scene);
      auto done = history.Apply(*scene, e);
      if (!done) {
        EXPECT_EQ(Bytes(*scene), before) << e.description << ": " << done.error().message;
        continue;
      }
      ++applied;
      states.push_back(Bytes(*scene));
      if (i % 15 == 0) ExpectPlaysAsSaved(*scene);
    }
    EXPECT_GT(applied, 60);
    // A second scene following the resolved edits stays the same as the first.
    for (int i = static_cast<int>(states.size()) - 1; i > 0; --i) {
      ASSERT_TRUE(history.Undo(*scene).has_value());
      ASSERT_EQ(Bytes(*scene), states[static_cast<size_t>(i) - 1]) << "undo to step " << i - 1;
    }
    EXPECT_FALSE(history.CanUndo());
    EXPECT_EQ(Bytes(*scene), original);
    ExpectSameFrames(*scene, *untouched);
    for (size_t i = 1; i < states.size(); ++i) {
      ASSERT_TRUE(history.Redo(*scene).has_value());
      ASSERT_EQ(Bytes(*scene), states[i]) << "redo to step " << i;
    }
    ExpectPlaysAsSaved(*scene);
  }
}

TEST(LoopEdit, ResolvedEditsReplayOnThePlayingScene) {
  auto document = Bundled("tunnel");
  auto playing = Bundled("tunnel");
  EditHistory history;
  const LoopEdit edits[] = {InsertKeyEdit(55), SetKeyValueEdit(Track::tunnel_twist, 1, 33.0f), MoveKeyEdit(1, 70),
                            SetStringSettingEdit(Setting::text_string, "Grand Opening")};
  for (const LoopEdit& e : edits) {
    auto done = history.Apply(*document, e);
    ASSERT_TRUE(done.ok()) << done.error().message;
    ASSERT_TRUE(ApplyEdit(*playing, done->redo).ok());
  }
  auto undone = history.Undo(*document);
  ASSERT_TRUE(undone.has_value());
  ASSERT_TRUE(ApplyEdit(*playing, undone->redo).ok());
  EXPECT_EQ(Bytes(*document), Bytes(*playing));
  ExpectSameFrames(*document, *playing);
}

// Edits queued between two frames, those that later ones set over left out, leave the playing
// scene as making every edit in turn would; a drag's moves queue as one edit, and an edit that
// adds or removes a key keeps the edits before it.
TEST(LoopEdit, QueuedEditsLeaveThePlayingSceneAsEveryEditWould) {
  for (unsigned seed : {4u, 5u, 6u}) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    auto document = Bundled(seed == 5 ? "embers" : "swell");
    auto playing = Bundled(seed == 5 ? "embers" : "swell");
    std::vector<LoopEdit> queue;
    size_t edits = 0, made = 0;
    auto next_frame = [&] {
      for (const LoopEdit& e : queue) ASSERT_TRUE(ApplyEdit(*playing, e).ok()) << e.description;
      made += queue.size();
      queue.clear();
    };
    for (int i = 0; i < 300; ++i) {
      // Runs of a hand's moves of key 1 between the odd other edit.
      const float moved = static_cast<float>(rng() % 500) / 3.0f;
      const LoopEdit e =
          rng() % 3 == 0
              ? RandomEdit(rng, *document)
              : GroupEdit({SetKeyValueEdit(Track::text_rot_x, 1, moved), SetInitialEdit(Track::text_rot_x, -moved)},
                          "Drag keys");
      auto done = ApplyEdit(*document, e);
      if (!done) continue;
      QueueEdit(queue, done->redo);
      ++edits;
      if (rng() % 6 == 0) ASSERT_NO_FATAL_FAILURE(next_frame());
    }
    ASSERT_NO_FATAL_FAILURE(next_frame());
    EXPECT_GT(edits, 200u);
    EXPECT_LT(made, edits * 2 / 3) << "the moves were not left out";
    EXPECT_EQ(Bytes(*document), Bytes(*playing));
    ExpectSameFrames(*document, *playing);
  }
  std::vector<LoopEdit> queue;
  for (int i = 0; i < 50; ++i)
    QueueEdit(queue, GroupEdit({SetKeyValueEdit(Track::text_rot_y, 2, static_cast<float>(i)),
                                SetKeyFramesEdit({0, 40 + i % 3, 100})},
                               "Drag keys"));
  EXPECT_EQ(queue.size(), 1u);
  QueueEdit(queue, InsertKeyEdit(70));
  QueueEdit(queue, SetKeyValueEdit(Track::text_rot_y, 2, 5.0f));
  QueueEdit(queue, SetKeyValueEdit(Track::text_rot_y, 2, 6.0f));
  ASSERT_EQ(queue.size(), 3u) << "an edit took the place of one from before a key was added";
  EXPECT_EQ(queue[0].kind, LoopEdit::Kind::kGroup);
  EXPECT_EQ(queue[2].value, 6.0f);
}

// Records the asset work an edit asks for.
struct AssetLog : SequenceAssets {
  std::vector<std::string> log;
  void RebuildGlyphLists(SceneState&) override { log.push_back("glyphs"); }
  void LoadPictureTexture(SceneState&, const std::string& n, TextureSlot) override { log.push_back("picture " + n); }
  void LoadModel(SceneState&, int slot, const std::string& n) override {
    log.push_back("model " + std::to_string(slot) + " " + n);
  }
};

TEST(LoopEdit, SettingsThatNameAssetsLoadThemAgain) {
  auto scene = Bundled("default");
  AssetLog assets;
  ASSERT_TRUE(ApplyEdit(*scene, SetStringSettingEdit(Setting::text_string, "Hello"), &assets).ok());
  ASSERT_TRUE(ApplyEdit(*scene, SetStringSettingEdit(Setting::tunnel_texture_name, "Textures/x.jpg"), &assets).ok());
  ASSERT_TRUE(ApplyEdit(*scene, SetFloatSettingEdit(Setting::model_2_load, 2.0f), &assets).ok());
  ASSERT_TRUE(ApplyEdit(*scene, SetInitialEdit(Track::text_rot_x, 1.0f), &assets).ok());
  EXPECT_EQ(assets.log, (std::vector<std::string>{"glyphs", "picture Textures/x.jpg",
                                                  "model 1 " + scene->settings.model_2_file_name}));
}

TEST(EditHistory, ListsStepsMergesDragsAndKnowsWhenSaved) {
  auto scene = Bundled("default");
  const auto original = Bytes(*scene);
  EditHistory history;
  EXPECT_FALSE(history.IsModified());
  ASSERT_TRUE(history.Apply(*scene, SetInitialEdit(Track::text_rot_x, 1.0f)).ok());
  // A drag: many edits, one step.
  for (int i = 1; i <= 20; ++i) ASSERT_TRUE(history.Apply(*scene, MoveKeyEdit(1, 150 + i), nullptr, i > 1).ok());
  EXPECT_EQ(history.UndoDescriptions(),
            (std::vector<std::string>{"Move key 1 to frame 151", "Set the initial value of text_rot_x"}));
  EXPECT_TRUE(history.IsModified());
  history.MarkSaved();
  EXPECT_FALSE(history.IsModified());
  // An edit after a save starts a step of its own, even when asked to merge.
  ASSERT_TRUE(history.Apply(*scene, MoveKeyEdit(1, 100), nullptr, true).ok());
  EXPECT_EQ(history.UndoDescriptions().size(), 3u);
  ASSERT_TRUE(history.Undo(*scene));
  EXPECT_FALSE(history.IsModified());
  EXPECT_EQ((*scene->keyframe_frame)[1], 170);
  ASSERT_TRUE(history.Undo(*scene));
  EXPECT_EQ((*scene->keyframe_frame)[1], 150);
  EXPECT_EQ(history.RedoDescriptions().size(), 2u);
  // A new edit drops what could be redone; the saved state cannot come back.
  ASSERT_TRUE(history.Apply(*scene, SetInitialEdit(Track::text_rot_y, 2.0f)).ok());
  EXPECT_FALSE(history.CanRedo());
  while (history.CanUndo()) ASSERT_TRUE(history.Undo(*scene));
  EXPECT_EQ(Bytes(*scene), original);
  EXPECT_TRUE(history.IsModified());
  history.Clear();
  EXPECT_FALSE(history.IsModified());
  EXPECT_FALSE(history.Undo(*scene).has_value());
}

TEST(LoopEdit, AValueOnAFrameWithoutAKeyAddsOne) {
  auto scene = Bundled("tunnel");  // keys on 0, 100, 200
  auto on_key = ApplyEdit(*scene, SetValueAtFrameEdit(*scene, Track::tunnel_twist, 100, 4.0f));
  ASSERT_TRUE(on_key.ok());
  EXPECT_EQ(scene->keyframe_count, 2);
  auto between = ApplyEdit(*scene, SetValueAtFrameEdit(*scene, Track::tunnel_twist, 150, -4.0f));
  ASSERT_TRUE(between.ok());
  EXPECT_EQ(scene->keyframe_count, 3);
  EXPECT_EQ(scene->track(Track::tunnel_twist).key_values[150], -4.0f);
  EXPECT_EQ(between->redo.description, "Set tunnel_twist on frame 150");
  ExpectPlaysAsSaved(*scene);
  const auto before = Bytes(*scene);
  EXPECT_FALSE(ApplyEdit(*scene, SetValueAtFrameEdit(*scene, Track::tunnel_twist, 10000, 1.0f)).ok());
  EXPECT_EQ(Bytes(*scene), before);
}

// Loops read from files may hold what no edit may write: keys on one frame, NaN values. Edits
// around them still work where they can, and their undo puts the odd values back.
TEST(LoopEdit, OddLoopsFromFilesAreEditedWhereTheyCanBe) {
  SceneState built;
  ResetToLoadDefaults(built);
  ClearKeyframes(built);
  built.keyframe_count = 3;
  const int32_t frames[] = {0, 50, 50, 100};
  for (int k = 0; k < 4; ++k) (*built.keyframe_frame)[static_cast<size_t>(k)] = frames[k];
  built.track(Track::text_rot_x).key_values[50] = 20.0f;
  built.track(Track::text_rot_x).key_values[100] = 40.0f;
  built.track(Track::text_rot_z).initial_value = NAN;
  built.settings.tunnel_r = NAN;
  auto scene = LoadBytes(WriteSequence(built));
  const auto original = Bytes(*scene);

  EXPECT_FALSE(ApplyEdit(*scene, InsertKeyEdit(75)).ok());
  EXPECT_FALSE(ApplyEdit(*scene, SetLengthEdit(200)).ok());
  EXPECT_FALSE(ApplyEdit(*scene, MoveKeyEdit(2, 50)).ok());
  EXPECT_EQ(Bytes(*scene), original);

  EditHistory history;
  ASSERT_TRUE(history.Apply(*scene, SetInitialEdit(Track::text_rot_z, 5.0f)).ok());
  ASSERT_TRUE(history.Apply(*scene, SetFloatSettingEdit(Setting::tunnel_r, 1.0f)).ok());
  ASSERT_TRUE(history.Apply(*scene, MoveKeyEdit(1, 25)).ok());  // puts the keys in order
  ExpectPlaysAsSaved(*scene);
  ASSERT_TRUE(history.Apply(*scene, InsertKeyEdit(75)).ok());
  ExpectPlaysAsSaved(*scene);
  while (history.CanUndo()) ASSERT_TRUE(history.Undo(*scene));
  EXPECT_EQ(Bytes(*scene), original);
  EXPECT_TRUE(std::isnan(scene->settings.tunnel_r));

  // Even an edit marked as an undo cannot put a key where the expansion would read before frame 0.
  LoopEdit forced = SetKeyFramesEdit({0, 0, 50, 100});
  forced.restores = true;
  EXPECT_FALSE(ApplyEdit(*scene, forced).ok());
  forced = MoveKeyEdit(1, 0);
  forced.restores = true;
  EXPECT_FALSE(ApplyEdit(*scene, forced).ok());
  EXPECT_EQ(Bytes(*scene), original);
}

// A drag as the editor sends it: every move sets the dragged values and key frames again from
// where the drag began, each joined to the first.
TEST(EditHistory, ALongDragIsOneShortStep) {
  auto scene = Bundled("carousel");  // keys on 0, 60, 120, 180, 240
  const auto original = Bytes(*scene);
  EditHistory history;
  const float start = scene->track(Track::text_rot_y).key_values[120];
  std::vector<uint8_t> after;
  for (int i = 1; i <= 200; ++i) {
    const int32_t shift = (i % 50) - 25;
    std::vector<LoopEdit> steps{SetKeyValueEdit(Track::text_rot_y, 2, start + static_cast<float>(i))};
    if (shift != 0) steps.push_back(SetKeyFramesEdit({0, 60, 120 + shift, 180, 240}));
    ASSERT_TRUE(history.Apply(*scene, GroupEdit(std::move(steps), "Drag keys"), nullptr, i > 1).ok()) << i;
  }
  after = Bytes(*scene);
  EXPECT_EQ(history.UndoDescriptions(), std::vector<std::string>{"Drag keys"});
  auto undone = history.Undo(*scene);
  ASSERT_TRUE(undone.has_value());
  EXPECT_EQ(Bytes(*scene), original);
  // What undo applied (and hands to the playing scene) did not grow with the drag.
  EXPECT_LE(undone->redo.steps.size(), 4u);
  auto redone = history.Redo(*scene);
  ASSERT_TRUE(redone.has_value());
  EXPECT_EQ(Bytes(*scene), after);
  EXPECT_LE(redone->redo.steps.size(), 4u);
  ExpectPlaysAsSaved(*scene);

  // A merged edit that adds a key is joined whole, and still undone exactly.
  ASSERT_TRUE(history.Apply(*scene, InsertKeyEdit(30), nullptr, true).ok());
  ASSERT_TRUE(history.Apply(*scene, SetKeyValueEdit(Track::text_rot_y, 1, 5.0f), nullptr, true).ok());
  ASSERT_TRUE(history.Undo(*scene));
  EXPECT_EQ(Bytes(*scene), original);
}

TEST(LoopEdit, MarkersShowWhereKeysLand) {
  auto scene = Bundled("carousel");
  const auto markers = KeyMarkers(*scene, Track::text_rot_y);
  ASSERT_EQ(markers.size(), 5u);
  EXPECT_EQ(markers[0].shown_at, 0);
  EXPECT_EQ(markers[2].frame, 120);
  EXPECT_EQ(markers[2].shown_at, 119);
  EXPECT_EQ(FrameValues(*scene, Track::text_rot_y)[119], scene->track(Track::text_rot_y).frame_values[119]);
  EXPECT_EQ(FindKeyAtFrame(*scene, 180), std::optional<int32_t>(3));
  EXPECT_FALSE(FindKeyAtFrame(*scene, 181).has_value());
}

}  // namespace
