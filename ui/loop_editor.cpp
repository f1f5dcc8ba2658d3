#include "ui/loop_editor.h"

#include <algorithm>
#include <cmath>
#include <set>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QCoreApplication>
#include <QFileDialog>
#include <QFontComboBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QSpinBox>
#include <QTabWidget>
#include <QThreadPool>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "engine/asset_paths.h"
#include "engine/numeric.h"
#include "engine/sequence_reader.h"
#include "engine/sequence_writer.h"
#include "render/glyph_lists.h"
#include "ui/loop_library.h"

namespace vl::ui {

namespace fs = std::filesystem;
using engine::LoopEdit;
using engine::Setting;
using engine::Track;

namespace {

constexpr const char* kPictures = "Pictures (*.jpg *.jpeg *.bmp *.gif *.ico *.wmf *.emf *.png);;All files (*)";
constexpr const char* kTgaPictures = "TGA pictures (*.tga);;All files (*)";
constexpr const char* kModels = "3DS models (*.3ds);;All files (*)";

QString FromLoop(const std::string& bytes) { return QString::fromStdString(render::Windows1252ToUtf8(bytes)); }

// The five surfaces of the text, in the order of their numbers.
const char* const kStyles[] = {"Environment map", "Additive environment map", "Plain colour", "Texture on the glyphs",
                               "Texture fixed to the screen"};
struct Weight {
  const char* name;
  int value;
};
const Weight kWeights[] = {{"Default", 0},      {"Thin", 100},   {"Extra light", 200}, {"Light", 300},
                           {"Normal", 400},     {"Medium", 500}, {"Semibold", 600},    {"Bold", 700},
                           {"Extra bold", 800}, {"Black", 900}};

// The switches of each layer, as the Look panel groups them.
struct SwitchGroup {
  const char* layer;
  std::vector<std::pair<Setting, const char*>> switches;
};
const std::vector<SwitchGroup>& SwitchGroups() {
  static const std::vector<SwitchGroup> groups = {
      {"Text", {{Setting::text_on, "Shown"}, {Setting::fx_text, "Glow"}}},
      {"Sprites", {{Setting::sprites_on, "Shown"}, {Setting::sprite_tinted, "Tinted"}, {Setting::fx_sprites, "Glow"}}},
      {"Particles",
       {{Setting::particles_on, "Shown"},
        {Setting::particle_texture_mode, "Own texture"},
        {Setting::fx_particles, "Glow"}}},
      {"Vortex", {{Setting::vortex_on, "Shown"}, {Setting::fx_vortex, "Glow"}}},
      {"Tunnel", {{Setting::tunnel_on, "Shown"}}},
      {"Backdrops",
       {{Setting::backdrop_on, "Shown"},
        {Setting::backdrop_1_hidden, "Hide plane 1"},
        {Setting::backdrop_2_hidden, "Hide plane 2"},
        {Setting::backdrop_1_opaque, "Plane 1 opaque"},
        {Setting::backdrop_2_opaque, "Plane 2 opaque"}}},
      {"Photos",
       {{Setting::photo_on, "Shown"},
        {Setting::photo_lit, "Lit"},
        {Setting::photo_switch_a, "Photo A"},
        {Setting::photo_switch_b, "Photo B"}}},
      {"Models",
       {{Setting::model_1_on, "1 shown"},
        {Setting::model_1_load, "1 loaded"},
        {Setting::model_1_lit, "1 lit"},
        {Setting::model_1_chrome, "1 chrome"},
        {Setting::fx_model_1, "1 glow"},
        {Setting::model_2_on, "2 shown"},
        {Setting::model_2_load, "2 loaded"},
        {Setting::model_2_lit, "2 lit"},
        {Setting::model_2_chrome, "2 chrome"},
        {Setting::fx_model_2, "2 glow"},
        {Setting::model_3_on, "3 shown"},
        {Setting::model_3_load, "3 loaded"},
        {Setting::model_3_lit, "3 lit"},
        {Setting::model_3_chrome, "3 chrome"},
        {Setting::fx_model_3, "3 glow"}}},
      {"Echoes",
       {{Setting::scene_echo_on, "Scene"},
        {Setting::echo_model_1_on, "Model 1"},
        {Setting::echo_model_2_on, "Model 2"},
        {Setting::echo_model_3_on, "Model 3"}}},
      {"Trail", {{Setting::trail_on, "Shown"}}},
  };
  return groups;
}

// What must be on for a chosen asset to be loaded at all.
std::optional<std::pair<Setting, float>> LoadSwitchOf(Setting s) {
  switch (s) {
    case Setting::particle_texture_name: return std::pair{Setting::particle_texture_mode, 2.0f};
    case Setting::model_1_file_name: return std::pair{Setting::model_1_load, 2.0f};
    case Setting::model_2_file_name: return std::pair{Setting::model_2_load, 2.0f};
    case Setting::model_3_file_name: return std::pair{Setting::model_3_load, 2.0f};
    case Setting::sequence_texture_name: return std::pair{Setting::sequence_texture_mode, 0.0f};
    default: return std::nullopt;
  }
}

bool Under(const fs::path& file, const fs::path& folder) {
  if (folder.empty()) return false;
  const auto rel = file.lexically_relative(folder);
  return !rel.empty() && *rel.begin() != ".." && rel.is_relative();
}

}  // namespace

const std::vector<AssetSlot>& AssetSlots() {
  static const std::vector<AssetSlot> all = {
      {Setting::sequence_texture_name, "Text picture", "Textures", kPictures},
      {Setting::sprite_texture_name, "Sprite picture", "Particles", kPictures},
      {Setting::particle_texture_name, "Particle texture", "Particles", kTgaPictures},
      {Setting::fountain_texture_name, "Fountain picture", "Particles", kPictures},
      {Setting::tunnel_texture_name, "Tunnel picture", "Textures", kPictures},
      {Setting::backdrop_1_texture_name, "Backdrop 1 picture", "Images", kPictures},
      {Setting::backdrop_2_texture_name, "Backdrop 2 picture", "Images", kPictures},
      {Setting::photo_a_name, "Photo A", "Images", kPictures},
      {Setting::photo_b_name, "Photo B", "Images", kPictures},
      {Setting::model_1_file_name, "Model 1", "model", kModels},
      {Setting::model_1_texture_name, "Model 1 picture", "Textures", kPictures},
      {Setting::model_2_file_name, "Model 2", "model", kModels},
      {Setting::model_2_texture_name, "Model 2 picture", "Textures", kPictures},
      {Setting::model_3_file_name, "Model 3", "model", kModels},
      {Setting::model_3_texture_name, "Model 3 picture", "Textures", kPictures},
  };
  return all;
}

Expected<std::string> LibraryNameFor(const fs::path& chosen, const char* folder, const fs::path& program_folder,
                                     const fs::path& user_folder) {
  std::error_code ec;
  const fs::path file = fs::weakly_canonical(chosen, ec);
  if (ec || !fs::is_regular_file(file, ec))
    return LoadError{chosen.string(), "not a regular file: only a picture or model file can be used", {}, {}};
  auto loop_name = [&](const fs::path& rel) -> Expected<std::string> {
    // A loop stores names as Windows-1252 bytes with the library's forward slashes.
    if (auto bytes = engine::Utf8ToWindows1252(rel.generic_string())) return *bytes;
    return LoadError{chosen.string(), "its name has characters a loop's names cannot hold; rename the file", {}, {}};
  };
  for (const fs::path& base : {program_folder, user_folder}) {
    if (base.empty()) continue;
    const fs::path root = fs::weakly_canonical(base, ec);
    if (!ec && Under(file, root)) return loop_name(file.lexically_relative(root));
  }
  if (user_folder.empty())
    return LoadError{chosen.string(), "there is no user data folder to copy it into ($HOME is not set)", {}, {}};
  auto bytes = ReadFileBytes(file, uint64_t{256} << 20);
  if (!bytes) return bytes.error();
  const fs::path dir = user_folder / folder;
  fs::create_directories(dir, ec);
  if (!fs::is_directory(dir, ec)) return LoadError{dir.string(), "the folder cannot be made", {}, {}};
  // The same name, unless another file has it already; the same file again is used as it is.
  const std::string stem = file.stem().string(), ext = file.extension().string();
  for (int n = 1; n < 1000; ++n) {
    const fs::path target = dir / (n == 1 ? file.filename().string() : stem + " (" + std::to_string(n) + ")" + ext);
    // A name the bundled library has would find the bundled file, which wins over the user's.
    if (ResolveAssetPath((fs::path(folder) / target.filename()).generic_string(), program_folder)) continue;
    if (fs::exists(fs::symlink_status(target, ec))) {
      auto there = ReadFileBytes(target, uint64_t{256} << 20);
      if (there && *there == *bytes) return loop_name(fs::path(folder) / target.filename());
      continue;
    }
    if (Status failed = WriteFileBytes(target, *bytes)) return *failed;
    return loop_name(fs::path(folder) / target.filename());
  }
  return LoadError{dir.string(), "too many files of that name", {}, {}};
}

const char* TrackLayer(Track t) {
  const std::string name = engine::TrackName(t);
  auto starts = [&](const char* prefix) { return name.rfind(prefix, 0) == 0; };
  if (starts("char_") || starts("line_offset")) return "Letters";
  if (starts("text_") || starts("material_")) return "Text";
  if (starts("background_")) return "Background";
  if (starts("ring_") || starts("sprite_")) return "Sprites";
  if (starts("particle_")) return "Particles";
  if (starts("fountain_") || starts("vortex_")) return "Vortex";
  if (starts("tunnel_") || starts("fog_")) return "Tunnel";
  if (starts("backdrop_")) return "Backdrops";
  if (starts("photo_") || starts("wave_")) return "Photos";
  if (starts("scene_echo_") || name.find("_echo_") != std::string::npos) return "Echoes";
  if (starts("model_1_")) return "Model 1";
  if (starts("model_2_")) return "Model 2";
  if (starts("model_3_")) return "Model 3";
  if (starts("trail_")) return "Trail";
  return "Other";
}

CLoopEditorDock::CLoopEditorDock(LoopDocument& doc, std::function<int()> current_frame, std::function<void(int)> seek,
                                 QWidget* parent)
    : QDockWidget("Loop Editor", parent), doc_(doc), current_frame_(std::move(current_frame)), seek_(std::move(seek)) {
  // The name the main window's layout is kept under.
  setObjectName("LoopEditor");
  setAllowedAreas(Qt::LeftDockWidgetArea | Qt::RightDockWidgetArea | Qt::BottomDockWidgetArea);
  tabs_ = new QTabWidget(this);
  tabs_->addTab(BuildLook(), "Look");
  tabs_->addTab(BuildMotion(), "Motion");
  tabs_->addTab(BuildLoop(), "Loop");
  setWidget(tabs_);

  undo_ = new QAction("&Undo", this);
  undo_->setShortcut(QKeySequence("Ctrl+Z"));
  connect(undo_, &QAction::triggered, this, [this] {
    text_typing_ = false;
    doc_.Undo();
  });
  redo_ = new QAction("&Redo", this);
  redo_->setShortcut(QKeySequence("Ctrl+Shift+Z"));
  connect(redo_, &QAction::triggered, this, [this] {
    text_typing_ = false;
    doc_.Redo();
  });

  connect(&doc_, &LoopDocument::Changed, this, [this](const engine::AppliedEdit& applied) {
    edits_shown_.settings |= applied.settings.any();
    edits_shown_.keys |= applied.keys_changed;
    edits_shown_.waiting = true;
    // A drag makes an edit at every move of the mouse: the panel follows it at about the
    // picture's rate rather than the mouse's, leaving the processor to the drawing.
    if (dragging_ && edits_shown_.timer.isActive()) return;
    ShowEdits();
    if (dragging_) edits_shown_.timer.start();
  });
  edits_shown_.timer.setSingleShot(true);
  edits_shown_.timer.setInterval(40);
  connect(&edits_shown_.timer, &QTimer::timeout, this, [this] {
    if (edits_shown_.waiting) ShowEdits();
  });
  connect(&doc_, &LoopDocument::Reopened, this, [this] {
    text_typing_ = false;
    dragging_ = false;
    Refresh();
    RefreshCurves(true);
    ScheduleCheck();
  });
  connect(&doc_, &LoopDocument::Refused, this, [this](const QString& why) { Say("Not changed: " + why); });
  connect(&doc_, &LoopDocument::Reopened, this, &CLoopEditorDock::UpdateActions);
  UpdateActions();

  playhead_timer_.setInterval(100);
  connect(&playhead_timer_, &QTimer::timeout, this, [this] {
    if (isVisible() && current_frame_) curves_->SetPlayhead(current_frame_());
  });
  playhead_timer_.start();
  check_pool_.setMaxThreadCount(1);
  check_timer_.setSingleShot(true);
  check_timer_.setInterval(400);
  connect(&check_timer_, &QTimer::timeout, this, &CLoopEditorDock::RunCheck);
  Refresh();
  RefreshCurves(true);
  ScheduleCheck();
}

void CLoopEditorDock::UpdateActions() {
  undo_->setEnabled(doc_.CanUndo());
  redo_->setEnabled(doc_.CanRedo());
  const auto u = doc_.UndoDescriptions(), r = doc_.RedoDescriptions();
  undo_->setText(u.empty() ? "&Undo" : "&Undo " + QString::fromStdString(u.front()));
  redo_->setText(r.empty() ? "&Redo" : "&Redo " + QString::fromStdString(r.front()));
}

void CLoopEditorDock::ShowEdits() {
  if (std::exchange(edits_shown_.settings, false)) Refresh();
  RefreshCurves();
  RefreshSelectionFields();
  if (std::exchange(edits_shown_.keys, false)) {
    refreshing_ = true;
    length_->setValue(std::max(1, engine::PlayedFrameCount(doc_.scene())));
    refreshing_ = false;
  }
  UpdateActions();
  ScheduleCheck();
  edits_shown_.waiting = false;
}

void CLoopEditorDock::Say(const QString& text) {
  if (say_) say_(text);
}

bool CLoopEditorDock::Edit(const LoopEdit& edit, bool merge) {
  if (refreshing_) return false;
  return doc_.Apply(edit, merge);
}

// ---- Look -------------------------------------------------------------------------------------

QWidget* CLoopEditorDock::BuildLook() {
  auto* page = new QWidget;
  auto* form = new QFormLayout(page);
  BuildTextFields(page, form);

  background_ = new QPushButton(page);
  connect(background_, &QPushButton::clicked, this, [this] { ChooseColour(true); });
  form->addRow("Background", background_);
  // The tunnel's own colour, which its fog fades into the distance.
  tunnel_colour_ = new QPushButton(page);
  connect(tunnel_colour_, &QPushButton::clicked, this, [this] { ChooseColour(false); });
  form->addRow("Tunnel colour", tunnel_colour_);
  form->addRow(BuildLayerSwitches(page));
  form->addRow(BuildAssetSlots(page));

  auto* scroll = new QScrollArea;
  scroll->setWidget(page);
  scroll->setWidgetResizable(true);
  return scroll;
}

// The text, its font and its surface.
void CLoopEditorDock::BuildTextFields(QWidget* page, QFormLayout* form) {
  text_ = new QLineEdit(page);
  text_->setAccessibleName("Text");
  text_->installEventFilter(this);
  form->addRow("Text", text_);
  // The picture follows the typing; one pause ends a step, so undo takes back a word at a time
  // rather than a letter.
  text_timer_.setSingleShot(true);
  text_timer_.setInterval(150);
  connect(text_, &QLineEdit::textEdited, this, [this] { text_timer_.start(); });
  connect(&text_timer_, &QTimer::timeout, this, [this] {
    const auto bytes = engine::Utf8ToWindows1252(text_->text().toStdString());
    if (!bytes) {
      text_->setStyleSheet("color: red");
      Say("The text holds a character a loop cannot store (only Windows-1252 characters)");
      return;
    }
    text_->setStyleSheet({});
    Edit(engine::SetStringSettingEdit(Setting::text_string, *bytes), text_typing_);
    text_typing_ = true;
  });
  connect(text_, &QLineEdit::editingFinished, this, [this] {
    if (text_timer_.isActive()) {
      text_timer_.stop();
      emit text_timer_.timeout({});
    }
    text_typing_ = false;
  });

  font_ = new QFontComboBox(page);
  form->addRow("Font", font_);
  connect(font_, &QFontComboBox::currentFontChanged, this, [this](const QFont& f) {
    if (auto bytes = engine::Utf8ToWindows1252(f.family().toStdString()))
      Edit(engine::SetStringSettingEdit(Setting::text_font_face, *bytes));
  });
  weight_ = new QComboBox(page);
  for (const Weight& w : kWeights) weight_->addItem(w.name, w.value);
  form->addRow("Weight", weight_);
  connect(weight_, &QComboBox::activated, this,
          [this](int i) { Edit(engine::SetIntSettingEdit(Setting::text_font_weight, weight_->itemData(i).toInt())); });
  style_ = new QComboBox(page);
  for (const char* s : kStyles) style_->addItem(s);
  form->addRow("Surface", style_);
  connect(style_, &QComboBox::activated, this,
          [this](int i) { Edit(engine::SetFloatSettingEdit(Setting::text_style, static_cast<float>(i))); });
  auto* flags = new QHBoxLayout;
  italic_ = new QCheckBox("Italic", page);
  connect(italic_, &QCheckBox::clicked, this,
          [this](bool on) { Edit(engine::SetIntSettingEdit(Setting::text_font_italic, on ? 1 : 0)); });
  flags->addWidget(italic_);
  for (auto [s, label] : {std::pair{Setting::text_chrome, "Chrome"}, std::pair{Setting::text_lit, "Lit"},
                          std::pair{Setting::text_wireframe, "Wireframe"}}) {
    auto* box = new QCheckBox(label, page);
    connect(box, &QCheckBox::clicked, this, [this, setting = s](bool on) { SetSwitch(setting, on); });
    switches_[s] = box;
    flags->addWidget(box);
  }
  form->addRow("", flags);
}

// The layer switches, grouped by layer.
QGroupBox* CLoopEditorDock::BuildLayerSwitches(QWidget* page) {
  auto* layers = new QGroupBox("Layers", page);
  auto* grid = new QGridLayout(layers);
  int row = 0;
  for (const SwitchGroup& g : SwitchGroups()) {
    grid->addWidget(new QLabel(QString("<b>%1</b>").arg(g.layer), layers), row, 0, Qt::AlignTop);
    auto* cell = new QWidget(layers);
    auto* flow = new QGridLayout(cell);
    flow->setContentsMargins(0, 0, 0, 0);
    int i = 0;
    for (const auto& [s, label] : g.switches) {
      auto* box = new QCheckBox(label, cell);
      box->setObjectName(QString::fromLatin1(engine::SettingName(s)));
      connect(box, &QCheckBox::clicked, this, [this, s = s](bool on) { SetSwitch(s, on); });
      switches_[s] = box;
      flow->addWidget(box, i / 3, i % 3);
      ++i;
    }
    grid->addWidget(cell, row++, 1);
  }
  return layers;
}

// Each slot's picture, particle texture or model, chosen from a file dialog.
QGroupBox* CLoopEditorDock::BuildAssetSlots(QWidget* page) {
  auto* files = new QGroupBox("Pictures and models", page);
  auto* files_form = new QFormLayout(files);
  for (const AssetSlot& slot : AssetSlots()) {
    auto* line = new QHBoxLayout;
    auto* name = new QLineEdit(files);
    name->setReadOnly(true);
    auto* choose = new QPushButton("Choose...", files);
    connect(choose, &QPushButton::clicked, this, [this, &slot] { ChooseAsset(slot); });
    line->addWidget(name, 1);
    line->addWidget(choose);
    asset_names_[slot.setting] = name;
    files_form->addRow(slot.label, line);
  }
  return files;
}

void CLoopEditorDock::SetSwitch(Setting s, bool on) {
  // Switches hold 2 for on and 0 for off, as the loops always have.
  Edit(engine::SetFloatSettingEdit(s, on ? 2.0f : 0.0f));
}

void CLoopEditorDock::ChooseColour(bool background) {
  const engine::SceneState& s = doc_.scene();
  const auto& st = s.settings;
  auto byte = [](float v) { return std::clamp(static_cast<int>(std::lround(std::isfinite(v) ? v : 0.0f)), 0, 255); };
  const QColor now = background ? QColor(byte(s.track(Track::background_r).initial_value),
                                         byte(s.track(Track::background_g).initial_value),
                                         byte(s.track(Track::background_b).initial_value))
                                : QColor(byte(st.tunnel_r), byte(st.tunnel_g), byte(st.tunnel_b));
  const QColor colour = QColorDialog::getColor(now, this, background ? "Background colour" : "Tunnel colour");
  if (!colour.isValid()) return;
  std::vector<LoopEdit> steps;
  const float rgb[3] = {static_cast<float>(colour.red()), static_cast<float>(colour.green()),
                        static_cast<float>(colour.blue())};
  if (background) {
    // One colour over the whole loop: the start and every key.
    const Track tracks[3] = {Track::background_r, Track::background_g, Track::background_b};
    for (int c = 0; c < 3; ++c) {
      steps.push_back(engine::SetInitialEdit(tracks[c], rgb[c]));
      for (int k = 1; k <= s.keyframe_count; ++k) steps.push_back(engine::SetKeyValueEdit(tracks[c], k, rgb[c]));
    }
  } else {
    const Setting settings[3] = {Setting::tunnel_r, Setting::tunnel_g, Setting::tunnel_b};
    for (int c = 0; c < 3; ++c) steps.push_back(engine::SetFloatSettingEdit(settings[c], rgb[c]));
  }
  Edit(engine::GroupEdit(std::move(steps), background ? "Background colour" : "Tunnel colour"));
}

void CLoopEditorDock::ChooseAsset(const AssetSlot& slot) {
  const fs::path user = UserDataFolder();
  const fs::path start = ProgramFolder() / slot.folder;
  const QString file = QFileDialog::getOpenFileName(this, QString("Choose the %1").arg(slot.label).toLower(),
                                                    QString::fromStdString(start.string()), slot.filter);
  if (file.isEmpty()) return;
  auto name = LibraryNameFor(fs::path(file.toStdString()), slot.folder, ProgramFolder(), user);
  if (!name) {
    Say(QString::fromStdString("Not changed: " + EscapeControl(name.error().ToString())));
    return;
  }
  std::vector<LoopEdit> steps = {engine::SetStringSettingEdit(slot.setting, *name)};
  if (auto load = LoadSwitchOf(slot.setting))
    steps.insert(steps.begin(), engine::SetFloatSettingEdit(load->first, load->second));
  if (Edit(engine::GroupEdit(std::move(steps), std::string("Choose ") + slot.label)))
    Say(QString("%1: %2").arg(slot.label, FromLoop(*name)));
}

// ---- Motion -----------------------------------------------------------------------------------

QWidget* CLoopEditorDock::BuildMotion() {
  auto* page = new QWidget;
  auto* layout = new QVBoxLayout(page);
  filter_ = new QLineEdit(page);
  filter_->setPlaceholderText("Filter tracks");
  filter_->setClearButtonEnabled(true);
  layout->addWidget(filter_);
  layout->addWidget(BuildTrackList(page), 1);

  curves_ = new CurveView(page);
  layout->addWidget(curves_, 2);
  connect(curves_, &CurveView::SelectionChanged, this, &CLoopEditorDock::RefreshSelectionFields);
  connect(curves_, &CurveView::DragMarks, this, &CLoopEditorDock::Dragged);
  connect(curves_, &CurveView::DeleteRequested, this, &CLoopEditorDock::DeleteSelectedKeys);
  connect(curves_, &CurveView::SeekRequested, this, [this](int frame) {
    if (seek_) seek_(frame);
    curves_->SetPlayhead(frame);
  });
  layout->addLayout(BuildKeyRow(page));
  auto* hint = new QLabel(
      "Drag keys in time and value; Ctrl+click or drag a box for several; wheel zooms time, "
      "Shift+wheel values, middle button pans; Delete removes keys.",
      page);
  hint->setWordWrap(true);
  layout->addWidget(hint);
  return page;
}

// The tracks grouped by layer, narrowed by the filter box.
QTreeWidget* CLoopEditorDock::BuildTrackList(QWidget* page) {
  track_list_ = new QTreeWidget(page);
  track_list_->setHeaderHidden(true);
  track_list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  std::map<std::string, QTreeWidgetItem*> layers;
  for (int i = 0; i < engine::kTrackCount; ++i) {
    const auto t = static_cast<Track>(i);
    QTreeWidgetItem*& layer = layers[TrackLayer(t)];
    if (!layer) {
      layer = new QTreeWidgetItem(track_list_, QStringList(TrackLayer(t)));
      layer->setFlags(Qt::ItemIsEnabled);
    }
    auto* item = new QTreeWidgetItem(layer, QStringList(engine::TrackName(t)));
    item->setData(0, Qt::UserRole, i);
  }
  track_list_->sortItems(0, Qt::AscendingOrder);
  connect(filter_, &QLineEdit::textChanged, this, [this](const QString& text) {
    for (int l = 0; l < track_list_->topLevelItemCount(); ++l) {
      QTreeWidgetItem* layer = track_list_->topLevelItem(l);
      const bool layer_matches = layer->text(0).contains(text, Qt::CaseInsensitive);
      int shown = 0;
      for (int c = 0; c < layer->childCount(); ++c) {
        QTreeWidgetItem* item = layer->child(c);
        const bool show = text.isEmpty() || layer_matches || item->text(0).contains(text, Qt::CaseInsensitive);
        item->setHidden(!show);
        shown += show;
      }
      layer->setHidden(shown == 0);
      layer->setExpanded(!text.isEmpty() && shown > 0);
    }
  });
  connect(track_list_, &QTreeWidget::itemSelectionChanged, this, [this] { RefreshCurves(true); });
  return track_list_;
}

// Add, delete, the selected key's value and frame, snapping and fitting. After the curve view,
// which its buttons act on.
QHBoxLayout* CLoopEditorDock::BuildKeyRow(QWidget* page) {
  auto* keys = new QHBoxLayout;
  auto* add = new QPushButton("Add key", page);
  add->setToolTip("A key on the playhead's frame, keeping every track's motion");
  connect(add, &QPushButton::clicked, this, &CLoopEditorDock::AddKeyAtPlayhead);
  auto* remove = new QPushButton("Delete key", page);
  connect(remove, &QPushButton::clicked, this, &CLoopEditorDock::DeleteSelectedKeys);
  keys->addWidget(add);
  keys->addWidget(remove);
  keys->addWidget(new QLabel("Value", page));
  value_ = new QLineEdit(page);
  value_->setAccessibleName("Key value");
  value_->installEventFilter(this);
  value_->setMaximumWidth(90);
  connect(value_, &QLineEdit::returnPressed, this, &CLoopEditorDock::TypedValue);
  keys->addWidget(value_);
  keys->addWidget(new QLabel("Key frame", page));
  key_frame_ = new QSpinBox(page);
  key_frame_->setRange(0, engine::kFrameSlots - 1);
  key_frame_->setKeyboardTracking(false);
  connect(key_frame_, &QSpinBox::editingFinished, this, &CLoopEditorDock::TypedFrame);
  keys->addWidget(key_frame_);
  snap_ = new QCheckBox("Snap values", page);
  snap_->setToolTip("Dragged values go in whole numbers (frames always do)");
  connect(snap_, &QCheckBox::toggled, this, [this](bool on) { curves_->set_snap_values(on); });
  keys->addWidget(snap_);
  auto* fit = new QPushButton("Fit", page);
  connect(fit, &QPushButton::clicked, this, [this] { curves_->Fit(); });
  keys->addWidget(fit);
  keys->addStretch(1);
  return keys;
}

void CLoopEditorDock::ShowTracks(const std::vector<Track>& tracks) {
  track_list_->clearSelection();
  for (Track t : tracks)
    for (int l = 0; l < track_list_->topLevelItemCount(); ++l)
      for (int c = 0; c < track_list_->topLevelItem(l)->childCount(); ++c) {
        QTreeWidgetItem* item = track_list_->topLevelItem(l)->child(c);
        if (item->data(0, Qt::UserRole).toInt() == static_cast<int>(t)) {
          item->setSelected(true);
          track_list_->scrollToItem(item);
        }
      }
  RefreshCurves(true);
}

std::vector<Track> CLoopEditorDock::ShownTracks() const {
  std::vector<Track> tracks;
  for (QTreeWidgetItem* item : track_list_->selectedItems())
    if (item->parent()) tracks.push_back(static_cast<Track>(item->data(0, Qt::UserRole).toInt()));
  std::sort(tracks.begin(), tracks.end());
  return tracks;
}

void CLoopEditorDock::RefreshCurves(bool fit) { curves_->SetData(CopyCurves(doc_.scene(), ShownTracks()), fit); }

void CLoopEditorDock::FocusFirstField() {
  if (tabs_->currentIndex() == 0) {
    text_->setFocus();
    text_->selectAll();
  } else if (tabs_->currentIndex() == 1) {
    filter_->setFocus();
  }
}

bool CLoopEditorDock::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::ShortcutOverride) {
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->matches(QKeySequence::Undo) || key->matches(QKeySequence::Redo) ||
        key->keyCombination() == QKeyCombination(Qt::ControlModifier | Qt::ShiftModifier, Qt::Key_Z)) {
      // Typing still under way is a step first, so the undo takes back what was typed.
      if (watched == text_ && text_timer_.isActive()) {
        text_timer_.stop();
        emit text_timer_.timeout({});
      }
      event->ignore();
      return true;
    }
  }
  return QDockWidget::eventFilter(watched, event);
}

void CLoopEditorDock::RefreshSelectionFields() {
  const auto& marks = curves_->selection();
  value_->setEnabled(!marks.empty());
  key_frame_->setEnabled(!marks.empty());
  if (marks.empty()) {
    value_->clear();
    return;
  }
  const KeyMark m = *marks.begin();
  const engine::SceneState& s = doc_.scene();
  const float v = m.key == 0 ? s.track(m.track).initial_value
                             : s.track(m.track).key_values[(*s.keyframe_frame)[static_cast<size_t>(m.key)]];
  if (!value_->hasFocus()) value_->setText(QString::number(v, 'g', 7));
  refreshing_ = true;
  if (!key_frame_->hasFocus()) key_frame_->setValue((*s.keyframe_frame)[static_cast<size_t>(m.key)]);
  refreshing_ = false;
}

void CLoopEditorDock::TypedValue() {
  auto value = engine::ParseTrackValue(value_->text().toStdString());
  if (!value) {
    Say("Not changed: " + QString::fromStdString(value.error().message));
    return;
  }
  std::vector<LoopEdit> steps;
  for (const KeyMark& m : curves_->selection())
    steps.push_back(m.key == 0 ? engine::SetInitialEdit(m.track, *value)
                               : engine::SetKeyValueEdit(m.track, m.key, *value));
  if (steps.empty()) return;
  Edit(steps.size() == 1 ? steps.front() : engine::GroupEdit(std::move(steps), "Set key values"));
}

void CLoopEditorDock::TypedFrame() {
  if (refreshing_ || curves_->selection().empty()) return;
  const int key = curves_->selection().begin()->key;
  const engine::SceneState& s = doc_.scene();
  if ((*s.keyframe_frame)[static_cast<size_t>(key)] == key_frame_->value()) return;
  Edit(engine::MoveKeyEdit(key, key_frame_->value()));
}

void CLoopEditorDock::AddKeyAtPlayhead() {
  // A key's value shows on the frame before the key's own: the new key sits one frame on, so its
  // marks are on the playhead.
  const int frame = curves_->playhead() + 1;
  if (engine::FindKeyAtFrame(doc_.scene(), frame)) {
    Say(QString("There is a key on frame %1 already").arg(frame));
    return;
  }
  Edit(engine::InsertKeyEdit(frame));
}

void CLoopEditorDock::DeleteSelectedKeys() {
  std::set<int> keys;
  for (const KeyMark& m : curves_->selection()) keys.insert(m.key);
  if (keys.empty()) return;
  // From the last, so the indices of the rest stay as they are.
  std::vector<LoopEdit> steps;
  for (auto it = keys.rbegin(); it != keys.rend(); ++it) steps.push_back(engine::DeleteKeyEdit(*it));
  curves_->SetSelection({});
  Edit(steps.size() == 1 ? steps.front() : engine::GroupEdit(std::move(steps), "Delete keys"));
}

void CLoopEditorDock::Dragged(const std::vector<KeyMark>& marks, int frames, double value, bool live) {
  const engine::SceneState& s = doc_.scene();
  if (!dragging_) {
    // Where everything was when the drag began: each step of the drag sets values from there.
    dragging_ = true;
    drag_moved_keys_ = false;
    drag_values_.clear();
    for (const KeyMark& m : marks)
      drag_values_[m] = m.key == 0 ? s.track(m.track).initial_value
                                   : s.track(m.track).key_values[(*s.keyframe_frame)[static_cast<size_t>(m.key)]];
    drag_frames_.assign(s.keyframe_frame->begin(), s.keyframe_frame->begin() + s.keyframe_count + 1);
  }
  std::vector<LoopEdit> steps;
  std::set<int> keys;
  for (const auto& [m, v] : drag_values_) {
    const float to = static_cast<float>(v + value);
    steps.push_back(m.key == 0 ? engine::SetInitialEdit(m.track, to) : engine::SetKeyValueEdit(m.track, m.key, to));
    keys.insert(m.key);
  }
  std::vector<int32_t> moved = drag_frames_;
  for (int k : keys) moved[static_cast<size_t>(k)] += frames;
  bool in_order = true;
  for (size_t k = 1; k < moved.size(); ++k) in_order &= moved[k] > moved[k - 1];
  if (moved.front() < 0) in_order = false;
  // A key dragged past its neighbour stops short of it: the values still follow.
  // Once the keys have moved in this drag they are set every step, so coming back puts them back.
  drag_moved_keys_ |= frames != 0;
  if (in_order && drag_moved_keys_) steps.push_back(engine::SetKeyFramesEdit(moved));
  // The first step of a drag is a step of its own; the rest join it, so one undo takes it back.
  if (Edit(engine::GroupEdit(std::move(steps), "Drag keys"), drag_started_)) drag_started_ = true;
  if (!live) dragging_ = false, drag_started_ = false, drag_moved_keys_ = false;
}

// ---- Loop -------------------------------------------------------------------------------------

QWidget* CLoopEditorDock::BuildLoop() {
  auto* page = new QWidget;
  auto* layout = new QVBoxLayout(page);
  auto* length = new QHBoxLayout;
  length->addWidget(new QLabel("Length (frames)", page));
  length_ = new QSpinBox(page);
  length_->setRange(1, engine::kFrameSlots - 1);
  length->addWidget(length_);
  stretch_ = new QCheckBox("Stretch the keys", page);
  stretch_->setToolTip("Every key moves in proportion; otherwise only the last key moves");
  length->addWidget(stretch_);
  auto* set = new QPushButton("Set", page);
  connect(set, &QPushButton::clicked, this,
          [this] { Edit(engine::SetLengthEdit(length_->value(), stretch_->isChecked())); });
  length->addWidget(set);
  length->addStretch(1);
  layout->addLayout(length);
  findings_state_ = new QLabel(page);
  layout->addWidget(findings_state_);
  auto* scroll = new QScrollArea(page);
  scroll->setWidgetResizable(true);
  findings_box_ = new QWidget;
  findings_layout_ = new QVBoxLayout(findings_box_);
  findings_layout_->addStretch(1);
  scroll->setWidget(findings_box_);
  layout->addWidget(scroll, 1);
  return page;
}

void CLoopEditorDock::ScheduleCheck() {
  ++check_generation_;
  check_timer_.start();
}

void CLoopEditorDock::RunCheck() {
  // The loop as it stands is written as a file and checked as `check` checks one, away from the
  // interface thread.
  auto bytes = std::make_shared<std::vector<uint8_t>>(engine::WriteSequence(doc_.scene()));
  const std::string name = doc_.path().empty() ? std::string("new loop") : doc_.path().filename().string();
  const int generation = check_generation_;
  findings_state_->setText("Checking...");
  QPointer<CLoopEditorDock> self(this);
  check_pool_.start([self, bytes, name, generation] {
    // The picture comes first: a check is read seconds later, a frame late is seen at once.
    setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), 19);
    std::vector<render::LoopFinding> found;
    auto seq = engine::ParseSequence(*bytes, name);
    if (!seq) found.push_back({true, "unreadable", seq.error().ToString()});
    else found = render::CheckLoop(*seq);
    QMetaObject::invokeMethod(
        qApp,
        [self, found = std::move(found), generation]() mutable {
          if (!self || generation != self->check_generation_) return;  // a later check is coming
          self->findings_ = std::move(found);
          self->ShowFindings();
        },
        Qt::QueuedConnection);
  });
}

void CLoopEditorDock::ShowFindings() {
  while (findings_layout_->count() > 1) {
    QLayoutItem* item = findings_layout_->takeAt(0);
    delete item->widget();
    delete item;
  }
  findings_state_->setText(findings_.empty() ? "No findings: the loop plays as it should."
                                             : QString("%1 finding(s):").arg(findings_.size()));
  int at = 0;
  for (const render::LoopFinding& f : findings_) {
    auto* row = new QWidget(findings_box_);
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(0, 0, 0, 0);
    auto* text = new QLabel(row);
    text->setWordWrap(true);
    text->setTextFormat(Qt::PlainText);
    text->setText(QString("%1 %2: %3")
                      .arg(f.error ? "Error" : "Warning", QString::fromStdString(f.code),
                           QString::fromStdString(EscapeControl(f.message))));
    line->addWidget(text, 1);
    if (f.code == "seam") {
      auto* fix = new QPushButton("End where it begins", row);
      connect(fix, &QPushButton::clicked, this, &CLoopEditorDock::EndWhereItBegins);
      line->addWidget(fix, 0, Qt::AlignTop);
    }
    findings_layout_->insertWidget(at++, row);
  }
}

void CLoopEditorDock::EndWhereItBegins() {
  const engine::SceneState& s = doc_.scene();
  if (s.keyframe_count < 1) return;
  std::vector<LoopEdit> steps;
  for (const render::SeamValue& v : render::SeamValues(s))
    if (engine::IsKeyedTrack(v.track)) steps.push_back(engine::SetKeyValueEdit(v.track, s.keyframe_count, v.value));
  if (steps.empty()) return;
  Edit(engine::GroupEdit(std::move(steps), "End where it begins"));
}

// ---- Everything from the document ---------------------------------------------------------------

void CLoopEditorDock::Refresh() {
  refreshing_ = true;
  const engine::SceneState& s = doc_.scene();
  const auto& st = s.settings;
  if (!text_typing_) text_->setText(FromLoop(st.text_string));
  text_->setStyleSheet({});
  {
    const QSignalBlocker quiet(font_);
    font_->setCurrentFont(QFont(FromLoop(st.text_font_face)));
    font_->setEditText(FromLoop(st.text_font_face));
  }
  int weight = weight_->findData(st.text_font_weight);
  if (weight < 0) {
    weight_->addItem(QString::number(st.text_font_weight), st.text_font_weight);
    weight = weight_->count() - 1;
  }
  weight_->setCurrentIndex(weight);
  italic_->setChecked(st.text_font_italic != 0);
  style_->setCurrentIndex(std::clamp(TruncToInt(st.text_style), 0, 4));
  for (auto& [setting, box] : switches_) box->setChecked(IsOn(*st.FloatField(setting)));
  auto swatch = [](QPushButton* b, float r, float g, float bl) {
    auto byte = [](float v) { return std::clamp(static_cast<int>(std::lround(std::isfinite(v) ? v : 0.0f)), 0, 255); };
    const QColor c(byte(r), byte(g), byte(bl));
    b->setText(c.name());
    b->setStyleSheet(QString("background-color: %1; color: %2").arg(c.name(), c.lightness() > 128 ? "black" : "white"));
  };
  swatch(background_, s.track(Track::background_r).initial_value, s.track(Track::background_g).initial_value,
         s.track(Track::background_b).initial_value);
  swatch(tunnel_colour_, st.tunnel_r, st.tunnel_g, st.tunnel_b);
  for (auto& [setting, line] : asset_names_) line->setText(FromLoop(*st.StringField(setting)));
  length_->setValue(std::max(1, engine::PlayedFrameCount(s)));
  refreshing_ = false;
}

void CLoopEditorDock::FillEditMenu(QMenu* menu) {
  menu->addAction(undo_);
  menu->addAction(redo_);
  QMenu* history = menu->addMenu("Undo &History");
  connect(history, &QMenu::aboutToShow, this, [this, history] {
    history->clear();
    // Steps that can be redone above, the latest done step checked, older ones below; choosing
    // one goes back or forward to just after it.
    const auto redo = doc_.RedoDescriptions(), undo = doc_.UndoDescriptions();
    for (int i = static_cast<int>(redo.size()) - 1; i >= 0; --i) {
      QAction* a = history->addAction(QString::fromStdString(redo[static_cast<size_t>(i)]));
      connect(a, &QAction::triggered, this, [this, i] {
        for (int n = 0; n <= i; ++n) doc_.Redo();
      });
    }
    for (size_t i = 0; i < undo.size(); ++i) {
      QAction* a = history->addAction(QString::fromStdString(undo[i]));
      a->setCheckable(true);
      a->setChecked(i == 0);
      connect(a, &QAction::triggered, this, [this, i] {
        for (size_t n = 0; n < i; ++n) doc_.Undo();
      });
    }
    QAction* start = history->addAction("(As opened)");
    start->setCheckable(true);
    start->setChecked(undo.empty());
    connect(start, &QAction::triggered, this, [this] {
      while (doc_.Undo()) {}
    });
  });
}

}  // namespace vl::ui
