// The loop editor's parts without a display: the document (edits handed to the playing scene,
// undo, saving, a source kept in step), chosen files taken into the user's library, the curve
// graph's marks, and the findings with their seam fix.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <QCoreApplication>
#include <fstream>
#include <iterator>
#include <QPushButton>

#include "engine/keyframes.h"
#include "engine/sequence_loader.h"
#include "engine/sequence_text.h"
#include "engine/sequence_writer.h"
#include "tests/ui/ui_fixtures.h"
#include "ui/curve_view.h"
#include "ui/loop_document.h"
#include "ui/loop_editor.h"

namespace vl::ui {
namespace {

namespace fs = std::filesystem;
using engine::SceneState;
using engine::Setting;
using engine::Track;

// text_rot_y turns from 0 to 90 over 100 frames and stays there: the loop jumps where it repeats.
constexpr const char* kTurnSource =
    "version 6\n\n[settings]\ntext_string = \"Hello\"\ntext_on = 2\n\n[initial]\ntext_rot_y = 0\n"
    "\n[key]\nframe = 0\n\n[key]\nframe = 100\ntext_rot_y = 90\n\n[key]\nframe = 200\n";

fs::path WriteLoop(const fs::path& dir, const std::string& name, const std::string& source = kTurnSource) {
  SceneState scene;
  EXPECT_FALSE(engine::CompileSequence(source, name, scene));
  fs::path path = dir / (name + ".lqf");
  EXPECT_FALSE(engine::WriteSequenceFile(scene, path));
  return path;
}

// A document whose edits reach a "playing" scene of its own, as the view's would between frames.
struct Editing {
  explicit Editing(const fs::path& loop) {
    engine::SequenceAssets none;
    EXPECT_FALSE(engine::LoadSequence(*playing, loop.string(), none));
    EXPECT_FALSE(doc.Open(loop));
  }
  std::unique_ptr<SceneState> playing = std::make_unique<SceneState>();
  engine::SequenceAssets assets;
  int handed = 0;
  LoopDocument doc{[this](const std::function<void(SceneState&, engine::SequenceAssets&)>& change) {
    ++handed;
    change(*playing, assets);
  }};
};

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool SameFrames(const SceneState& a, const SceneState& b, Track t, int frames) {
  return std::equal(a.track(t).frame_values, a.track(t).frame_values + frames, b.track(t).frame_values);
}

TEST(LoopDocument, EditsReachThePlayingSceneAndUndoTakesThemBack) {
  const fs::path dir = test::ScratchFolder("doc-edits");
  Editing e(WriteLoop(dir, "turn"));
  int modified = 0;
  QObject::connect(&e.doc, &LoopDocument::ModifiedChanged, [&] { ++modified; });
  ASSERT_TRUE(e.doc.Apply(engine::SetKeyValueEdit(Track::text_rot_y, 1, 45.0f)));
  EXPECT_EQ(e.handed, 1);
  EXPECT_TRUE(e.doc.modified());
  ASSERT_EQ(modified, 1);
  // What plays is what the document holds, frame for frame.
  EXPECT_NEAR(e.playing->track(Track::text_rot_y).frame_values[99], 45.0f, 1e-3);
  EXPECT_TRUE(SameFrames(e.doc.scene(), *e.playing, Track::text_rot_y, 200));
  ASSERT_TRUE(e.doc.Apply(engine::SetStringSettingEdit(Setting::text_string, "Grand Opening")));
  EXPECT_EQ(e.playing->settings.text_string, "Grand Opening");

  ASSERT_TRUE(e.doc.Undo());
  ASSERT_TRUE(e.doc.Undo());
  EXPECT_FALSE(e.doc.modified()) << "back where it was saved";
  EXPECT_EQ(e.playing->settings.text_string, "Hello");
  EXPECT_NEAR(e.playing->track(Track::text_rot_y).frame_values[99], 90.0f, 1e-3);
  EXPECT_FALSE(e.doc.Undo());
  ASSERT_TRUE(e.doc.Redo());
  EXPECT_NEAR(e.playing->track(Track::text_rot_y).frame_values[99], 45.0f, 1e-3);
}

// Counts what edits ask the playing scene's assets to do.
struct CountedAssets : engine::SequenceAssets {
  int glyph_builds = 0;
  void RebuildGlyphLists(SceneState&) override { ++glyph_builds; }
};

// Edits that come faster than frames (a drag, typing) wait for the next frame together: one
// change takes them to the playing scene, a run of edits that set the same things again as its
// last alone, and what plays ends as the document is. Edits of a loop that was replaced before
// they were made never reach the next one.
TEST(LoopDocument, EditsBetweenTwoFramesReachThePlayingSceneInOneChange) {
  const fs::path dir = test::ScratchFolder("doc-between-frames");
  const fs::path loop = WriteLoop(dir, "turn");
  std::vector<LoopDocument::PlayingChange::argument_type> waiting;
  LoopDocument doc([&](auto change) { waiting.push_back(std::move(change)); });
  ASSERT_FALSE(doc.Open(loop));
  SceneState playing;
  CountedAssets assets;
  ASSERT_FALSE(engine::LoadSequence(playing, loop.string(), assets));
  assets.glyph_builds = 0;
  auto next_frame = [&] {
    auto changes = std::exchange(waiting, {});
    for (auto& change : changes) change(playing, assets);
    return changes.size();
  };

  for (int i = 1; i <= 20; ++i) {
    ASSERT_TRUE(doc.Apply(engine::SetKeyValueEdit(Track::text_rot_y, 1, 3.0f * static_cast<float>(i)), i > 1));
    ASSERT_TRUE(doc.Apply(engine::SetStringSettingEdit(Setting::text_string, std::string(i, 'a')), true));
  }
  // A key added in the midst keeps its place among the edits.
  ASSERT_TRUE(doc.Apply(engine::InsertKeyEdit(150)));
  ASSERT_TRUE(doc.Apply(engine::SetKeyValueEdit(Track::text_rot_y, 2, -40.0f)));
  ASSERT_TRUE(doc.Apply(engine::SetKeyValueEdit(Track::text_rot_y, 2, -45.0f)));
  EXPECT_EQ(next_frame(), 1u);
  EXPECT_EQ(assets.glyph_builds, 1) << "each typed step rebuilt the text";
  EXPECT_EQ(playing.settings.text_string, std::string(20, 'a'));
  ASSERT_EQ(playing.keyframe_count, 3);
  EXPECT_EQ((*playing.keyframe_frame)[2], 150);
  EXPECT_TRUE(SameFrames(doc.scene(), playing, Track::text_rot_y, 200));
  EXPECT_NEAR(playing.track(Track::text_rot_y).frame_values[99], 60.0f, 1e-3);
  EXPECT_NEAR(playing.track(Track::text_rot_y).frame_values[149], -45.0f, 1e-3);

  // The undo of it all reaches the playing scene by the next frame too.
  while (doc.Undo()) {}
  EXPECT_EQ(next_frame(), 1u);
  EXPECT_EQ(playing.keyframe_count, 2);
  EXPECT_EQ(playing.settings.text_string, "Hello");
  EXPECT_TRUE(SameFrames(doc.scene(), playing, Track::text_rot_y, 200));

  ASSERT_TRUE(doc.Apply(engine::SetKeyValueEdit(Track::text_rot_y, 1, 7.0f)));
  ASSERT_FALSE(doc.Open(WriteLoop(dir, "other")));
  next_frame();
  EXPECT_NEAR(playing.track(Track::text_rot_y).frame_values[99], 90.0f, 1e-3) << "an edit of the old loop played";
}

TEST(LoopDocument, ARefusedEditChangesNothingAndSaysWhy) {
  const fs::path dir = test::ScratchFolder("doc-refused");
  Editing e(WriteLoop(dir, "turn"));
  QStringList refused;
  QObject::connect(&e.doc, &LoopDocument::Refused, [&](const QString& why) { refused << why; });
  // Key 1 cannot move past key 2.
  EXPECT_FALSE(e.doc.Apply(engine::MoveKeyEdit(1, 250)));
  EXPECT_EQ(e.handed, 0);
  EXPECT_FALSE(e.doc.modified());
  ASSERT_EQ(refused.size(), 1);
  EXPECT_FALSE(refused.front().isEmpty());
  EXPECT_EQ((*e.playing->keyframe_frame)[1], 100);
}

TEST(LoopDocument, SaveAsWritesVersionSixAndTheDocumentIsThatFile) {
  const fs::path dir = test::ScratchFolder("doc-save");
  const fs::path loop = WriteLoop(dir, "turn");
  Editing e(loop);
  ASSERT_TRUE(e.doc.Apply(engine::SetStringSettingEdit(Setting::text_string, "Saved")));
  const fs::path out = dir / "mine.lqf";
  ASSERT_FALSE(e.doc.SaveAs(out));
  EXPECT_FALSE(e.doc.modified());
  EXPECT_EQ(e.doc.path(), out);
  // The file holds the edited loop, and reads back to the same bytes.
  auto seq = engine::ReadLoopFile(out);
  ASSERT_TRUE(seq);
  EXPECT_EQ(seq->version, 6.0f);
  EXPECT_EQ(seq->settings.text_string, "Saved");
  Editing again(out);
  EXPECT_EQ(engine::WriteSequence(again.doc.scene()), engine::WriteSequence(e.doc.scene()));
  // The loop it was opened from is untouched.
  EXPECT_EQ(engine::ReadLoopFile(loop)->settings.text_string, "Hello");
}

TEST(LoopDocument, ALoopOpenedFromItsSourceKeepsTheSourceInStep) {
  const fs::path dir = test::ScratchFolder("doc-source");
  const fs::path source = dir / "turn.txt";
  test::WriteText(source, kTurnSource);
  Editing e(source);
  EXPECT_TRUE(e.doc.from_source());
  ASSERT_TRUE(e.doc.Apply(engine::SetKeyValueEdit(Track::text_rot_y, 1, 30.0f)));
  ASSERT_FALSE(e.doc.SaveAs(dir / "turn.lqf"));
  EXPECT_EQ(e.doc.path(), source);
  // Both forms hold the edit.
  EXPECT_EQ(engine::WriteSequence(e.doc.scene()), [&] {
    Editing from_file(dir / "turn.lqf");
    return engine::WriteSequence(from_file.doc.scene());
  }());
  SceneState compiled;
  ASSERT_FALSE(engine::CompileSequenceFile(source, compiled));
  EXPECT_FLOAT_EQ(compiled.track(Track::text_rot_y).key_values[100], 30.0f);
  // Save writes the source in place.
  ASSERT_TRUE(e.doc.Apply(engine::SetKeyValueEdit(Track::text_rot_y, 1, 60.0f)));
  ASSERT_FALSE(e.doc.Save());
  ASSERT_FALSE(engine::CompileSequenceFile(source, compiled));
  EXPECT_FLOAT_EQ(compiled.track(Track::text_rot_y).key_values[100], 60.0f);
}

TEST(LoopEditorFiles, AChosenFileOutsideTheLibraryIsCopiedIntoTheUsersFolder) {
  const fs::path dir = test::ScratchFolder("editor-files");
  const fs::path program = dir / "program", user = dir / "user", elsewhere = dir / "elsewhere";
  fs::create_directories(program / "Images");
  fs::create_directories(elsewhere);
  test::WriteText(program / "Images" / "own.jpg", "bundled");
  test::WriteText(elsewhere / "photo.jpg", "mine");

  // Inside the library: named as it lies there, nothing copied.
  auto inside = LibraryNameFor(program / "Images" / "own.jpg", "Images", program, user);
  ASSERT_TRUE(inside);
  EXPECT_EQ(*inside, "Images/own.jpg");
  EXPECT_FALSE(fs::exists(user));

  auto copied = LibraryNameFor(elsewhere / "photo.jpg", "Images", program, user);
  ASSERT_TRUE(copied) << copied.error().ToString();
  EXPECT_EQ(*copied, "Images/photo.jpg");
  EXPECT_EQ(ReadText(user / "Images" / "photo.jpg"), "mine");
  // The same file again is the copy already there; another file of that name gets a name of its own.
  EXPECT_EQ(*LibraryNameFor(elsewhere / "photo.jpg", "Images", program, user), "Images/photo.jpg");
  fs::create_directories(elsewhere / "other");
  test::WriteText(elsewhere / "other" / "photo.jpg", "another");
  EXPECT_EQ(*LibraryNameFor(elsewhere / "other" / "photo.jpg", "Images", program, user), "Images/photo (2).jpg");
  EXPECT_EQ(ReadText(user / "Images" / "photo.jpg"), "mine");
  // A name the bundled library has would show the bundled file: the copy gets another.
  fs::create_directories(elsewhere / "third");
  test::WriteText(elsewhere / "third" / "own.jpg", "not the bundled one");
  EXPECT_EQ(*LibraryNameFor(elsewhere / "third" / "own.jpg", "Images", program, user), "Images/own (2).jpg");
  // A file already in the user's folder is named as it lies there.
  EXPECT_EQ(*LibraryNameFor(user / "Images" / "photo (2).jpg", "Images", program, user), "Images/photo (2).jpg");
}

TEST(LoopEditorFiles, AFifoOrAFolderIsRefusedWithoutWaiting) {
  const fs::path dir = test::ScratchFolder("editor-fifo");
  ASSERT_EQ(::mkfifo((dir / "pipe.jpg").c_str(), 0600), 0);
  auto fifo = LibraryNameFor(dir / "pipe.jpg", "Images", dir / "program", dir / "user");
  ASSERT_FALSE(fifo);
  EXPECT_NE(fifo.error().message.find("not a regular file"), std::string::npos);
  EXPECT_FALSE(LibraryNameFor(dir, "Images", dir / "program", dir / "user"));
  EXPECT_FALSE(fs::exists(dir / "user" / "Images" / "pipe.jpg"));
}

TEST(CurveView, AKeysMarkSitsOnTheFrameItsValueLandsOn) {
  const fs::path dir = test::ScratchFolder("curve-marks");
  Editing e(WriteLoop(dir, "turn"));
  const CurveData data = CopyCurves(e.doc.scene(), {Track::text_rot_y});
  ASSERT_EQ(data.key_frames, (std::vector<int>{0, 100, 200}));
  EXPECT_EQ(data.end, 200);
  ASSERT_EQ(data.tracks.size(), 1u);
  EXPECT_FLOAT_EQ(data.tracks[0].key_values[1], 90.0f);
  CurveView view;
  view.resize(600, 300);
  view.SetData(data, true);
  // Key 1's mark is where the curve reaches 90: frame 99, the frame before the key's own.
  const QPointF mark = view.MarkPosition({Track::text_rot_y, 1});
  EXPECT_NEAR(mark.x(), view.ToPixels(99, 0).x(), 0.01);
  EXPECT_NEAR(mark.y(), view.ToPixels(0, data.tracks[0].frame_values[99]).y(), 0.5);
  // Key 0's mark is the track's start, on the first key's frame.
  EXPECT_EQ(view.MarkPosition({Track::text_rot_y, 0}), view.ToPixels(0, 0.0));
  // Zooming about a frame keeps that frame where it is.
  const double x50 = view.ToPixels(50, 0).x();
  view.ZoomTime(0.5, 50);
  EXPECT_NEAR(view.ToPixels(50, 0).x(), x50, 0.01);
  EXPECT_LT(view.last_frame() - view.first_frame(), 120);
}

TEST(LoopEditorDock, FindsTheSeamAndEndsTheLoopWhereItBegins) {
  const fs::path dir = test::ScratchFolder("editor-seam");
  Editing e(WriteLoop(dir, "turn"));
  CLoopEditorDock dock(
      e.doc, [] { return 0; }, [](int) {});
  auto has_seam = [&] {
    return std::any_of(dock.findings().begin(), dock.findings().end(),
                       [](const render::LoopFinding& f) { return f.code == "seam"; });
  };
  ASSERT_TRUE(test::WaitFor(has_seam, 10000)) << "no seam found";
  QPushButton* fix = nullptr;
  for (QPushButton* b : dock.findChildren<QPushButton*>())
    if (b->text() == "End where it begins") fix = b;
  ASSERT_TRUE(fix);
  fix->click();
  EXPECT_TRUE(e.doc.modified());
  EXPECT_FLOAT_EQ(e.playing->track(Track::text_rot_y).key_values[200], 0.0f);
  EXPECT_TRUE(test::WaitFor([&] { return !has_seam(); }, 10000)) << "the fix left the seam";
  // One undo takes the fix back.
  ASSERT_TRUE(e.doc.Undo());
  EXPECT_FLOAT_EQ(e.playing->track(Track::text_rot_y).key_values[200], 90.0f);
}

// An edit a remote control already made to the playing loop is kept by the document (so Save
// writes it and Undo takes it back) without being made to the playing scene a second time.
TEST(LoopDocument, RecordedRemoteEditsAreSavedAndUndoneButNotHandedAgain) {
  const fs::path dir = test::ScratchFolder("doc-record");
  Editing e(WriteLoop(dir, "remote"));
  const auto edit = engine::SetStringSettingEdit(Setting::text_string, "From OSC");
  ASSERT_TRUE(engine::ApplyEdit(*e.playing, edit));  // as the live control did, between frames
  ASSERT_TRUE(e.doc.Record(edit));
  EXPECT_EQ(e.handed, 0);
  EXPECT_TRUE(e.doc.modified());
  EXPECT_EQ(e.doc.scene().settings.text_string, "From OSC");
  ASSERT_FALSE(e.doc.SaveAs(dir / "saved.lqf"));
  SceneState reread;
  engine::SequenceAssets none;
  ASSERT_FALSE(engine::LoadSequence(reread, (dir / "saved.lqf").string(), none));
  EXPECT_EQ(reread.settings.text_string, "From OSC");
  ASSERT_TRUE(e.doc.Undo());
  EXPECT_EQ(e.handed, 1);
  EXPECT_EQ(e.playing->settings.text_string, "Hello");
  EXPECT_FALSE(e.doc.Record(engine::SetStringSettingEdit(Setting::text_string, std::string("a\0b", 3))));
}

}  // namespace
}  // namespace vl::ui
