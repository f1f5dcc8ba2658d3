#include "ui/loop_document.h"

#include <utility>

#include "engine/new_project.h"
#include "engine/sequence_loader.h"
#include "engine/sequence_text.h"
#include "engine/sequence_writer.h"
#include "engine/asset_paths.h"

namespace vl::ui {

namespace fs = std::filesystem;

LoopDocument::LoopDocument(PlayingChange change, QObject* parent)
    : QObject(parent), change_(std::move(change)), scene_(std::make_unique<engine::SceneState>()) {}

LoopDocument::~LoopDocument() = default;

Status LoopDocument::Open(const fs::path& path) {
  auto seq = engine::ReadLoopFile(path);
  if (!seq) return seq.error();
  // The same load the player made, without assets: the edits only need the loop's values.
  engine::SequenceAssets none;
  engine::ApplySequence(*scene_, *seq, none);
  DropHanding();
  const bool was = history_.IsModified();
  history_.Clear();
  path_ = path;
  if (auto bytes = ReadFileBytes(path, engine::kMaxSourceBytes))
    from_source_ =
        engine::ChooseLoopForm(path, std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()))
            .form == engine::LoopForm::kSource;
  emit Reopened();
  if (was) emit ModifiedChanged(false);
  return {};
}

void LoopDocument::OpenNewProject() {
  engine::SequenceAssets none;
  engine::NewProject(*scene_, none);
  DropHanding();
  const bool was = history_.IsModified();
  history_.Clear();
  path_.clear();
  from_source_ = false;
  emit Reopened();
  if (was) emit ModifiedChanged(false);
}

void LoopDocument::Hand(const engine::AppliedEdit& applied) {
  // The resolved edit, so the playing scene ends exactly as the document's did. A drag sends an
  // edit at every move of the mouse, several a frame, each setting again what the last one set:
  // one change carries all that come between two frames, and only what they leave set is made.
  {
    std::lock_guard<std::mutex> lock(handing_->mu);
    engine::QueueEdit(handing_->edits, applied.redo);
    if (std::exchange(handing_->posted, true)) return;
  }
  change_([handing = handing_](engine::SceneState& s, engine::SequenceAssets& assets) {
    std::vector<engine::LoopEdit> edits;
    {
      std::lock_guard<std::mutex> lock(handing->mu);
      edits.swap(handing->edits);
      handing->posted = false;
    }
    for (const engine::LoopEdit& edit : edits) (void)engine::ApplyEdit(s, edit, &assets);
  });
}

void LoopDocument::DropHanding() {
  // Edits of the loop that was replaced must not reach the new one.
  std::lock_guard<std::mutex> lock(handing_->mu);
  handing_->edits.clear();
}

void LoopDocument::After(const engine::AppliedEdit& applied, bool was_modified, bool hand) {
  if (hand) Hand(applied);
  emit Changed(applied);
  if (history_.IsModified() != was_modified) emit ModifiedChanged(history_.IsModified());
}

bool LoopDocument::Apply(const engine::LoopEdit& edit, bool merge) {
  const bool was = history_.IsModified();
  auto done = history_.Apply(*scene_, edit, nullptr, merge);
  if (!done) {
    emit Refused(QString::fromStdString(done.error().message));
    return false;
  }
  After(*done, was);
  return true;
}

bool LoopDocument::Record(const engine::LoopEdit& edit) {
  const bool was = history_.IsModified();
  auto done = history_.Apply(*scene_, edit, nullptr, false);
  if (!done) {
    emit Refused(QString::fromStdString(done.error().message));
    return false;
  }
  After(*done, was, /*hand=*/false);
  return true;
}

bool LoopDocument::Undo() {
  const bool was = history_.IsModified();
  auto done = history_.Undo(*scene_);
  if (!done) return false;
  After(*done, was);
  return true;
}

bool LoopDocument::Redo() {
  const bool was = history_.IsModified();
  auto done = history_.Redo(*scene_);
  if (!done) return false;
  After(*done, was);
  return true;
}

Status LoopDocument::WriteSource(const fs::path& path) const {
  const std::string text = engine::DecompileSequence(*scene_);
  return WriteFileBytes(path, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

void LoopDocument::Saved() {
  const bool was = history_.IsModified();
  history_.MarkSaved();
  if (was) emit ModifiedChanged(false);
}

Status LoopDocument::Save() {
  if (path_.empty()) return LoadError{"", "the loop has no file yet: use Save As", {}, {}};
  if (Status failed = from_source_ ? WriteSource(path_) : engine::WriteSequenceFile(*scene_, path_)) return failed;
  Saved();
  return {};
}

Status LoopDocument::SaveAs(const fs::path& path) {
  if (Status failed = engine::WriteSequenceFile(*scene_, path)) return failed;
  // A loop read from its source keeps the source in step; the document stays that source.
  if (from_source_ && !path_.empty()) {
    if (Status failed = WriteSource(path_)) return failed;
  } else {
    path_ = path;
  }
  Saved();
  return {};
}

}  // namespace vl::ui
