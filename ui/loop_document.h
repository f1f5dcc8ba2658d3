// LoopDocument: the loop being edited in the desktop. It keeps a scene of its own holding the
// loop as edited (the playing scene belongs to the drawing thread), applies every edit there
// through the undo history, and hands each applied change to the playing scene between frames,
// so what plays is what is saved. No GL; Qt only for its signals.
#pragma once
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <QObject>

#include "engine/load_error.h"
#include "engine/loop_edit.h"
#include "engine/scene_state.h"

namespace vl::ui {

class LoopDocument : public QObject {
  Q_OBJECT
 public:
  // Runs a change on the playing scene between frames, with what loads assets (the GL context
  // current). The view's ChangeScene, with the context made current around it.
  using PlayingChange = std::function<void(std::function<void(engine::SceneState&, engine::SequenceAssets&)>)>;
  explicit LoopDocument(PlayingChange change, QObject* parent = nullptr);
  ~LoopDocument() override;

  // The playing loop was replaced: the document starts again from its file (an empty path: the
  // new project). The history goes; nothing is modified.
  Status Open(const std::filesystem::path& path);
  void OpenNewProject();

  // The loop as edited. Read on the GUI thread only.
  const engine::SceneState& scene() const { return *scene_; }
  const std::filesystem::path& path() const { return path_; }
  // Whether the document was read from a loop source (its text is kept in step on saving).
  bool from_source() const { return from_source_; }

  // Applies an edit here and to the playing scene; a refused edit changes nothing and is told
  // through Refused. `merge` joins it to the last step (a drag, a field being typed in). Edits
  // that come faster than frames reach the playing scene together before the next frame, those
  // that later ones set over left out.
  bool Apply(const engine::LoopEdit& edit, bool merge = false);
  // An edit that already reached the playing scene from elsewhere (an OSC /set or /text): kept
  // here as an undoable step, so a save holds it, and not handed to the playing scene again.
  bool Record(const engine::LoopEdit& edit);
  bool Undo();
  bool Redo();
  bool CanUndo() const { return history_.CanUndo(); }
  bool CanRedo() const { return history_.CanRedo(); }
  std::vector<std::string> UndoDescriptions() const { return history_.UndoDescriptions(); }
  std::vector<std::string> RedoDescriptions() const { return history_.RedoDescriptions(); }

  bool modified() const { return history_.IsModified(); }
  // Writes the document's own file again: a loop file as version 6, or a loop source as text.
  Status Save();
  // Writes the loop as a version-6 loop file at `path` (beside it, then moved into place). A
  // loop read from its source has the source rewritten too and stays that source; otherwise the
  // document is now `path`. Either way it is unmodified.
  Status SaveAs(const std::filesystem::path& path);

 signals:
  // After every applied, undone or redone edit (the document's scene is up to date).
  void Changed(const engine::AppliedEdit& applied);
  void Refused(const QString& message);
  void ModifiedChanged(bool modified);
  // A new loop: every view of it reads it again.
  void Reopened();

 private:
  void Hand(const engine::AppliedEdit& applied);
  void DropHanding();
  void After(const engine::AppliedEdit& applied, bool was_modified, bool hand = true);
  Status WriteSource(const std::filesystem::path& path) const;
  void Saved();

  // Edits on their way to the playing scene: one change posted takes all that came before it is
  // made. Shared with that change, which may run after the document is gone.
  struct Handing {
    std::mutex mu;
    std::vector<engine::LoopEdit> edits;
    bool posted = false;
  };

  PlayingChange change_;
  std::shared_ptr<Handing> handing_ = std::make_shared<Handing>();
  std::unique_ptr<engine::SceneState> scene_;
  engine::EditHistory history_;
  std::filesystem::path path_;
  bool from_source_ = false;
};

}  // namespace vl::ui
