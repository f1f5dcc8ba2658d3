#include "ui/settings_dlg.h"

#include <algorithm>

#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QSpinBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QScreen>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QVBoxLayout>

#include "ui/export_presets.h"

namespace vl::ui {

CSettingsDlg::CSettingsDlg(QWidget* parent)
    : QDialog(parent, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
  setWindowTitle(QString());
  auto* layout = new QVBoxLayout(this);

  auto* avi = new QGroupBox("AVI Export Settings", this);
  auto* grid = new QGridLayout(avi);
  grid->addWidget(new QLabel("Format:", avi), 0, 0);
  grid->addWidget(new QLabel("Frame Rate:", avi), 0, 1);
  grid->addWidget(new QLabel("Resoultion:", avi), 0, 2);
  format_combo_ = new QComboBox(avi);
  for (const ExportPreset& p : kExportPresets) format_combo_->addItem(QString::fromLatin1(p.text));
  grid->addWidget(format_combo_, 1, 0, 1, 3);
  layout->addWidget(avi);

  auto* own = new QGroupBox("Vantaloop Settings", this);
  auto* checks = new QVBoxLayout(own);
  lock_box_ = new QCheckBox("Lock Vantaloop to AVI Export Frame Rate", own);
  random_box_ = new QCheckBox("Random Sequence on Start Up", own);
  resize_box_ = new QCheckBox("Resize Screen to Match AVI Export Settings", own);
  checks->addWidget(lock_box_);
  checks->addWidget(random_box_);
  checks->addWidget(resize_box_);
  layout->addWidget(own);

  auto* shows = new QGroupBox("Full Screen", this);
  auto* row = new QHBoxLayout(shows);
  row->addWidget(new QLabel("Output screen", shows));
  screen_combo_ = new QComboBox(shows);
  screen_combo_->addItem("The main window's screen", QString());
  for (const QScreen* screen : QGuiApplication::screens())
    screen_combo_->addItem(ScreenLabel(screen), ScreenId(screen));
  row->addWidget(screen_combo_, 1);
  layout->addWidget(shows);

  auto* live = new QGroupBox("Live", this);
  auto* form = new QGridLayout(live);
  form->addWidget(new QLabel("OSC port", live), 0, 0);
  osc_port_box_ = new QSpinBox(live);
  osc_port_box_->setRange(0, 65535);
  osc_port_box_->setSpecialValueText("Off");
  form->addWidget(osc_port_box_, 0, 1);
  form->addWidget(new QLabel("Tempo (BPM)", live), 1, 0);
  tempo_box_ = new QDoubleSpinBox(live);
  tempo_box_->setRange(0, 999);
  tempo_box_->setDecimals(1);
  tempo_box_->setSpecialValueText("None");
  form->addWidget(tempo_box_, 1, 1);
  form->addWidget(new QLabel("Beats per loop", live), 2, 0);
  beats_box_ = new QSpinBox(live);
  beats_box_->setRange(0, 1024);
  beats_box_->setSpecialValueText("Not locked");
  form->addWidget(beats_box_, 2, 1);
  layout->addWidget(live);

  auto* buttons = new QDialogButtonBox(this);
  buttons->addButton("Cancel", QDialogButtonBox::RejectRole);
  QPushButton* apply = buttons->addButton("Apply", QDialogButtonBox::AcceptRole);
  apply->setDefault(true);
  connect(buttons, &QDialogButtonBox::accepted, this, &CSettingsDlg::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &CSettingsDlg::reject);
  layout->addWidget(buttons);

  connect(format_combo_, &QComboBox::currentIndexChanged, this, [this](int index) {
    preset_index = index;
    SaveControls();
  });
}

void CSettingsDlg::LoadControls() {
  lock_box_->setChecked(lock_check != 0);
  random_box_->setChecked(random_check != 0);
  resize_box_->setChecked(resize_check != 0);
  const int keep = preset_index;
  const QString keep_screen = output_screen;
  format_combo_->setCurrentIndex(keep >= 0 && keep < format_combo_->count() ? keep : -1);
  // The signal above reads every control back: an out-of-range index must not become -1, nor
  // the stored screen the combo's first entry.
  preset_index = keep;
  output_screen = keep_screen;
  osc_port_box_->setValue(osc_port);
  tempo_box_->setValue(tempo);
  beats_box_->setValue(beats_per_loop);
  // An older store names the screen only: shown as the screen it names, kept as its id.
  if (const QScreen* named = ScreenById(output_screen)) output_screen = ScreenId(named);
  const int screen = screen_combo_->findData(output_screen);
  if (screen >= 0) {
    screen_combo_->setCurrentIndex(screen);
  } else {
    // A screen that is not connected now stays chosen, shown by name.
    screen_combo_->addItem(output_screen + " (not connected)", output_screen);
    screen_combo_->setCurrentIndex(screen_combo_->count() - 1);
  }
}

void CSettingsDlg::SaveControls() {
  lock_check = lock_box_->isChecked() ? 1 : 0;
  random_check = random_box_->isChecked() ? 1 : 0;
  resize_check = resize_box_->isChecked() ? 1 : 0;
  if (format_combo_->currentIndex() >= 0) preset_index = format_combo_->currentIndex();
  output_screen = screen_combo_->currentData().toString();
  osc_port = osc_port_box_->value();
  // Below 20 BPM is no tempo anyone plays to: the slowest one is meant.
  tempo = tempo_box_->value() > 0 && tempo_box_->value() < 20 ? 20.0 : tempo_box_->value();
  beats_per_loop = beats_box_->value();
}

void CSettingsDlg::accept() {
  SaveControls();
  QDialog::accept();
}

namespace {
QString GeometryText(const QRect& g) {
  return QString("%1x%2+%3+%4").arg(g.width()).arg(g.height()).arg(g.x()).arg(g.y());
}
}  // namespace

QString ScreenId(const QScreen* screen) {
  const QString base = screen->name() + " " + GeometryText(screen->geometry());
  int alike = 0;
  for (const QScreen* s : QGuiApplication::screens()) {
    if (s == screen) break;
    alike += s->name() == screen->name() && s->geometry() == screen->geometry();
  }
  return alike == 0 ? base : base + QString(" #%1").arg(alike + 1);
}

QString ScreenLabel(const QScreen* screen) {
  const QList<QScreen*> screens = QGuiApplication::screens();
  const QRect g = screen->geometry();
  QString label = QString("%1: %2").arg(screens.indexOf(const_cast<QScreen*>(screen)) + 1).arg(screen->name());
  const QString maker = (screen->manufacturer() + " " + screen->model()).trimmed();
  if (!maker.isEmpty()) label += " " + maker;
  label += QString(" (%1 x %2 at %3, %4").arg(g.width()).arg(g.height()).arg(g.x()).arg(g.y());
  // Screens of separate X screens each start at 0, 0: say which X screen.
  int desktops = 0, desktop = 0;
  QList<QScreen*> seen;
  for (QScreen* s : screens) {
    if (seen.contains(s)) continue;
    if (s->virtualSiblings().contains(const_cast<QScreen*>(screen))) desktop = desktops;
    seen += s->virtualSiblings();
    if (!s->virtualSiblings().contains(s)) seen += s;
    ++desktops;
  }
  if (desktops > 1) label += QString(", X screen %1").arg(desktop);
  return label + ")";
}

QScreen* ScreenById(const QString& id) {
  if (id.isEmpty()) return nullptr;
  for (QScreen* s : QGuiApplication::screens())
    if (ScreenId(s) == id) return s;
  for (QScreen* s : QGuiApplication::screens())
    if (s->name() == id) return s;
  return nullptr;
}

int StoredOscPort(QSettings& store) {
  const int port = store.value(kOscPortKey, 0).toInt();
  return port >= 1 && port <= 65535 ? port : 0;
}

double StoredTempo(QSettings& store) {
  const double tempo = store.value(kTempoKey, 0.0).toDouble();
  return tempo >= 20.0 && tempo <= 999.0 ? tempo : 0.0;  // NaN too
}

int StoredBeatsPerLoop(QSettings& store) {
  const int beats = store.value(kBeatsPerLoopKey, 0).toInt();
  return beats >= 1 && beats <= 1024 ? beats : 0;
}

SettingsShown SettingsOf(const engine::SceneState& scene) {
  return {scene.lock_frame_rate, scene.random_sequence_on_startup, scene.export_preset, scene.resize_to_preset};
}

bool RunSettingsCommand(const SettingsShown& shown, const std::function<engine::SceneState&()>& scene_of,
                        DesktopState& desktop, QSettings& store, QWidget* main_window, QWidget* parent,
                        const std::function<int(CSettingsDlg&)>& run, std::string* note) {
  // The control panel is modeless, so its button can ask again while the dialog is up.
  if (desktop.settings_dialog_busy) return false;
  CSettingsDlg dlg(parent);
  desktop.settings_dialog_busy = 1;
  dlg.lock_check = shown.lock_frame_rate;
  dlg.random_check = shown.random_sequence_on_startup;
  dlg.preset_index = shown.export_preset;
  dlg.resize_check = shown.resize_to_preset;
  dlg.output_screen = store.value(kOutputScreenKey).toString();
  dlg.osc_port = StoredOscPort(store);
  dlg.tempo = StoredTempo(store);
  dlg.beats_per_loop = StoredBeatsPerLoop(store);
  dlg.LoadControls();

  const int result = run ? run(dlg) : dlg.exec();
  desktop.settings_dialog_busy = 0;
  if (result != QDialog::Accepted) return false;

  engine::SceneState& scene = scene_of();
  scene.lock_frame_rate = dlg.lock_check;
  scene.random_sequence_on_startup = dlg.random_check;
  scene.preset_loop = dlg.preset_loop;
  scene.export_preset = dlg.preset_index;
  scene.resize_to_preset = dlg.resize_check;
  WriteSettings(store, scene);
  store.setValue(kOutputScreenKey, dlg.output_screen);
  store.setValue(kOscPortKey, dlg.osc_port);
  store.setValue(kTempoKey, dlg.tempo);
  store.setValue(kBeatsPerLoopKey, dlg.beats_per_loop);
  store.sync();
  if (scene.resize_to_preset != 0) ApplyExportPreset(scene, main_window, scene.export_preset, note);
  return true;
}

}  // namespace vl::ui
