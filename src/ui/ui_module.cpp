// The configuration dialog, the property sheet and the driver's property frame
// as Qt widgets. They only show and collect: everything they show comes from
// the library's models, and every value goes back through them.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCursor>
#include <QDialog>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "configure/texts.h"
#include "configure/ui_bridge.h"

namespace kelvane::configure {
namespace {

QString Name(int id) { return QStringLiteral("control%1").arg(id); }

template <class W>
W* Tag(W* widget, int id) {
  widget->setObjectName(Name(id));
  return widget;
}

// The host's application, or one made for the window's lifetime on this thread.
class ApplicationScope {
 public:
  ApplicationScope() {
    if (!QApplication::instance()) own_ = std::make_unique<QApplication>(argc_, argv_);
  }

 private:
  static inline int argc_ = 1;
  static inline char name_[] = "kelvane";
  static inline char* argv_[] = {name_, nullptr};
  std::unique_ptr<QApplication> own_;
};

// A modal dialog that Escape does not close (Close, Enter and the title bar's box do).
class ModalDialog : public QDialog {
 public:
  using QDialog::QDialog;
  bool escapeCloses = true;

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    if (event->key() == Qt::Key_Escape && !escapeCloses) {
      event->accept();
      return;
    }
    QDialog::keyPressEvent(event);
  }
};

// ---- the configuration dialog ------------------------------------------------------------------------------

void RunDialogImpl(DialogModel& model) {
  ApplicationScope app;
  ModalDialog dialog;
  dialog.escapeCloses = false;
  dialog.setObjectName("CameraConfiguration");
  dialog.setWindowTitle(kDialogCaption);
  dialog.setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                        Qt::WindowStaysOnTopHint);
  auto* list = Tag(new QListWidget, kCameraList);
  auto* color = Tag(new QCheckBox(kDialogColor), kColor);
  auto* state = Tag(new QLabel(kTextClosed), kState);
  auto* source = Tag(new QPushButton(kButtonSource), kSource);
  auto* format = Tag(new QPushButton(kButtonFormat), kFormat);
  auto* close = Tag(new QPushButton(kButtonClose), kClose);
  source->setAutoDefault(false);
  format->setAutoDefault(false);
  close->setDefault(true);
  auto* grid = new QGridLayout(&dialog);
  grid->addWidget(list, 0, 0, 1, 3);
  grid->addWidget(color, 1, 0);
  grid->addWidget(state, 1, 1, 1, 2);
  grid->addWidget(source, 2, 0);
  grid->addWidget(format, 2, 1);
  grid->addWidget(close, 2, 2);
  list->setMinimumSize(300, 100);
  for (int i = 0; i < model.CameraCount(); ++i) list->addItem(QString::fromStdString(model.CameraName(i)));

  auto refresh = [&] {
    const int i = list->currentRow();
    const DialogSelection s = model.Select(i);
    state->setText(s.selected ? QString::fromStdString(s.state) : QString());
    color->setChecked(s.selected && s.color);
    color->setEnabled(s.selected);
    source->setEnabled(s.selected);
    format->setEnabled(s.selected);
  };
  refresh();
  QObject::connect(list, &QListWidget::currentRowChanged, &dialog, [&](int) { refresh(); });
  QObject::connect(list, &QListWidget::itemDoubleClicked, &dialog, [&](QListWidgetItem*) {
    if (list->currentRow() >= 0) model.Capabilities(list->currentRow());
  });
  QObject::connect(color, &QCheckBox::clicked, &dialog, [&](bool on) {
    if (list->currentRow() >= 0) model.SetColor(list->currentRow(), on);
  });
  QObject::connect(source, &QPushButton::clicked, &dialog, [&] {
    if (list->currentRow() >= 0) model.Source(list->currentRow(), &dialog);
  });
  QObject::connect(format, &QPushButton::clicked, &dialog, [&] {
    if (list->currentRow() >= 0) model.Format(list->currentRow(), &dialog);
  });
  QObject::connect(close, &QPushButton::clicked, &dialog, &QDialog::accept);
  if (list->count() > 0) list->setCurrentRow(0);  // the selection change fills the rest
  dialog.adjustSize();
  // Centred on the mouse pointer and brought to the front, as a person expects
  // a window they just asked for.
  dialog.move(QCursor::pos() - QPoint(dialog.width() / 2, dialog.height() / 2));
  dialog.raise();
  dialog.activateWindow();
  dialog.exec();
}

// ---- the property sheet ------------------------------------------------------------------------------------

// One page's widgets by control id, and the transfer to and from its model.
struct PageWidgets {
  QWidget* page = nullptr;
  std::map<int, QWidget*> controls;
  bool filled = false;

  void Fill(PageModel& model) {
    for (auto& [id, w] : controls) {
      if (auto* box = qobject_cast<QCheckBox*>(w)) box->setChecked(model.Member(id) != 0);
      if (auto* combo = qobject_cast<QComboBox*>(w)) combo->setCurrentIndex(model.Member(id));
      if (auto* edit = qobject_cast<QLineEdit*>(w)) edit->setText(QString::fromStdString(model.Text(id)));
      if (auto* label = qobject_cast<QLabel*>(w)) label->setText(QString::fromStdString(model.Text(id)));
      w->setEnabled(model.Enabled(id));
    }
    filled = true;
  }
  std::vector<ControlValue> Values() const {
    std::vector<ControlValue> values;
    for (const auto& [id, w] : controls) {
      ControlValue v{id, 0, {}};
      if (auto* box = qobject_cast<QCheckBox*>(w)) v.value = box->isChecked() ? 1 : 0;
      if (auto* combo = qobject_cast<QComboBox*>(w)) v.value = combo->currentIndex();
      if (auto* edit = qobject_cast<QLineEdit*>(w)) v.text = edit->text().toStdString();
      if (auto* label = qobject_cast<QLabel*>(w)) v.text = label->text().toStdString();
      values.push_back(v);
    }
    return values;
  }
};

QComboBox* List(int id, const char* const* entries, size_t count) {
  auto* combo = Tag(new QComboBox, id);
  for (size_t i = 0; i < count; ++i) combo->addItem(entries[i]);
  combo->setMaxVisibleItems(10);
  return combo;
}

QLineEdit* Edit(int id) {
  auto* edit = Tag(new QLineEdit, id);
  edit->setMaxLength(63);
  edit->setFixedWidth(edit->fontMetrics().horizontalAdvance(QStringLiteral("0000000")) + 12);
  return edit;
}

PageWidgets GeneralPage(SheetModel& sheet, QWidget* owner) {
  PageWidgets p;
  p.page = new QWidget;
  auto* outer = new QVBoxLayout(p.page);
  auto* camera = new QGroupBox(kGroupCamera);
  auto* cg = new QGridLayout(camera);
  auto* state = Tag(new QLabel, kState);
  auto* color = Tag(new QCheckBox(kGeneralColor), kColor);
  auto* continuous = Tag(new QCheckBox(kGeneralContinuous), kContinuous);
  auto* trigger = Tag(new QCheckBox(kGeneralTrigger), kTrigger);
  cg->addWidget(new QLabel(kLabelState), 0, 0);
  cg->addWidget(state, 0, 1, 1, 2);
  cg->addWidget(color, 1, 0, 1, 2);
  cg->addWidget(trigger, 1, 2);
  cg->addWidget(continuous, 2, 0, 1, 2);
  auto* decoding = new QGroupBox(kGroupDecoding);
  auto* dg = new QGridLayout(decoding);
  auto* algorithm = List(kAlgorithm, kAlgorithmEntries, std::size(kAlgorithmEntries));
  auto* raw = List(kRawFormat, kRawFormatEntries, std::size(kRawFormatEntries));
  auto* lut = List(kLut, kLutEntries, std::size(kLutEntries));
  dg->addWidget(new QLabel(kLabelAlgorithm), 0, 0);
  dg->addWidget(algorithm, 0, 1);
  dg->addWidget(new QLabel(kLabelRawFormat), 1, 0);
  dg->addWidget(raw, 1, 1);
  dg->addWidget(new QLabel(kLabelLut), 2, 0);
  dg->addWidget(lut, 2, 1);
  dg->setColumnStretch(1, 1);
  auto* directx = new QGroupBox(kGroupDirectX);
  auto* bg = new QHBoxLayout(directx);
  auto* source = Tag(new QPushButton(kButtonSource), kSource);
  auto* format = Tag(new QPushButton(kButtonFormat), kFormat);
  auto* caps = Tag(new QPushButton(kButtonCapabilities), kCapabilities);
  for (auto* b : {source, format, caps}) {
    b->setAutoDefault(false);
    bg->addWidget(b);
  }
  outer->addWidget(camera);
  outer->addWidget(decoding);
  outer->addWidget(directx);
  outer->addStretch();
  p.controls = {{kColor, color},   {kState, state}, {kContinuous, continuous}, {kAlgorithm, algorithm},
                {kRawFormat, raw}, {kLut, lut},     {kTrigger, trigger}};
  QObject::connect(source, &QPushButton::clicked, owner, [&sheet, state, owner] {
    state->setText(kTextStopped);
    state->repaint();  // shown before the driver's pages appear
    sheet.Action(kSource, owner);
  });
  QObject::connect(format, &QPushButton::clicked, owner, [&sheet, owner] { sheet.Action(kFormat, owner); });
  QObject::connect(caps, &QPushButton::clicked, owner, [&sheet, owner] { sheet.Action(kCapabilities, owner); });
  return p;
}

PageWidgets AveragePage() {
  PageWidgets p;
  p.page = new QWidget;
  auto* outer = new QVBoxLayout(p.page);
  auto* group = new QGroupBox(kGroupAveraging);
  auto* g = new QGridLayout(group);
  auto* count = Edit(kFrameCount);
  auto* recursive = Tag(new QCheckBox(kRecursiveFilter), kRecursive);
  auto* coefficient = Edit(kCoefficient);
  g->addWidget(new QLabel(kLabelFrameCount), 0, 0, 1, 2);
  g->addWidget(count, 0, 2);
  g->addWidget(recursive, 1, 0);
  g->addWidget(new QLabel(kLabelCoefficient), 1, 1);
  g->addWidget(coefficient, 1, 2);
  g->setRowStretch(2, 1);
  g->setColumnStretch(3, 1);
  outer->addWidget(group);
  p.controls = {{kFrameCount, count}, {kCoefficient, coefficient}, {kRecursive, recursive}};
  return p;
}

PageWidgets FiltersPage() {
  PageWidgets p;
  p.page = new QWidget;
  auto* outer = new QVBoxLayout(p.page);
  auto* detection = new QGroupBox(kGroupStatic);
  auto* g = new QGridLayout(detection);
  const std::pair<int, const char*> rows[] = {{kPointCount, kLabelPointCount},
                                              {kPointValue, kLabelPointValue},
                                              {kDeviation, kLabelDeviation},
                                              {kReacquisitions, kLabelReacquisitions}};
  int r = 0;
  for (const auto& [id, label] : rows) {
    auto* edit = Edit(id);
    g->addWidget(new QLabel(label), r, 0);
    g->addWidget(edit, r++, 1);
    p.controls[id] = edit;
  }
  g->setColumnStretch(2, 1);
  auto* delay = new QGroupBox(kGroupTriggerDelay);
  auto* dg = new QGridLayout(delay);
  auto* skip = Edit(kFrameCount);
  dg->addWidget(new QLabel(kLabelSkipCount), 0, 0);
  dg->addWidget(skip, 0, 1);
  dg->setColumnStretch(2, 1);
  p.controls[kFrameCount] = skip;
  outer->addWidget(detection);
  outer->addWidget(delay);
  outer->addStretch();
  return p;
}

void RunSheetImpl(SheetModel& model) {
  ApplicationScope app;
  ModalDialog sheet;
  sheet.setObjectName("PropertySheet");
  sheet.setWindowTitle(QString::fromStdString(model.Caption()));
  auto* tabs = new QTabWidget;
  tabs->setObjectName("pages");
  PageWidgets pages[3] = {GeneralPage(model, &sheet), AveragePage(), FiltersPage()};
  for (int i = 0; i < 3; ++i) tabs->addTab(pages[i].page, model.Page(i).Title());
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Apply);
  QPushButton* apply = buttons->button(QDialogButtonBox::Apply);
  apply->setObjectName("apply");
  buttons->button(QDialogButtonBox::Ok)->setObjectName("ok");
  buttons->button(QDialogButtonBox::Cancel)->setObjectName("cancel");
  apply->setEnabled(false);
  auto* layout = new QVBoxLayout(&sheet);
  layout->addWidget(tabs);
  layout->addWidget(buttons);

  int current = 0;
  auto show = [&](int i) {
    if (!pages[i].filled) {
      pages[i].Fill(model.Page(i));
      model.Shown(i);
    }
  };
  // The transfer from the controls of the page on show; false (with the
  // warning given and the focus on the bad control) when a value is refused.
  auto transfer = [&](int i) {
    TransferError error;
    if (model.Page(i).Transfer(pages[i].Values(), &error)) return true;
    QMessageBox::warning(&sheet, sheet.windowTitle(), QString::fromStdString(error.warning));
    if (QWidget* w = pages[i].controls.count(error.control) ? pages[i].controls[error.control] : nullptr) {
      w->setFocus();
      if (auto* edit = qobject_cast<QLineEdit*>(w)) edit->selectAll();
    }
    return false;
  };
  auto applyAll = [&] {
    if (!transfer(current)) return false;
    model.Apply();
    apply->setEnabled(model.Unapplied());
    return true;
  };
  show(0);
  for (int i = 0; i < 3; ++i) {
    auto modified = [&, i] {
      model.MarkModified(i);
      apply->setEnabled(model.Unapplied());
    };
    for (auto& [id, w] : pages[i].controls) {
      if (auto* box = qobject_cast<QCheckBox*>(w)) QObject::connect(box, &QCheckBox::clicked, &sheet, modified);
      if (auto* combo = qobject_cast<QComboBox*>(w))
        QObject::connect(combo, qOverload<int>(&QComboBox::activated), &sheet, modified);
      if (auto* edit = qobject_cast<QLineEdit*>(w)) QObject::connect(edit, &QLineEdit::textEdited, &sheet, modified);
    }
  }
  QObject::connect(tabs, &QTabWidget::currentChanged, &sheet, [&](int next) {
    if (next == current) return;
    if (!transfer(current)) {
      const QSignalBlocker block(tabs);
      tabs->setCurrentIndex(current);  // the page is not left
      return;
    }
    current = next;
    show(next);
  });
  QObject::connect(apply, &QPushButton::clicked, &sheet, [&] { applyAll(); });
  QObject::connect(buttons, &QDialogButtonBox::accepted, &sheet, [&] {
    if (applyAll()) sheet.accept();
  });
  QObject::connect(buttons, &QDialogButtonBox::rejected, &sheet, &QDialog::reject);
  sheet.adjustSize();
  sheet.exec();
}

// ---- the driver's property frame -----------------------------------------------------------------------------

struct SourceRow {
  SourceProperty property;
  QSlider* slider;
  QSpinBox* value;
  QCheckBox* automatic;
};

QWidget* SourcePageWidget(DriverPage& page, std::vector<std::function<std::string()>>& appliers) {
  auto* widget = new QWidget;
  auto* grid = new QGridLayout(widget);
  auto rows = std::make_shared<std::vector<SourceRow>>();
  int r = 0;
  for (const SourceProperty& p : page.Properties()) {
    auto* slider = new QSlider(Qt::Horizontal);
    slider->setObjectName(QString::fromStdString("slider" + p.name));
    slider->setRange(p.minimum, p.maximum);
    slider->setSingleStep(p.step);
    slider->setValue(p.value);
    slider->setMinimumWidth(160);
    auto* value = new QSpinBox;
    value->setObjectName(QString::fromStdString("value" + p.name));
    value->setRange(p.minimum, p.maximum);
    value->setValue(p.value);
    QObject::connect(slider, &QSlider::valueChanged, value, &QSpinBox::setValue);
    QObject::connect(value, qOverload<int>(&QSpinBox::valueChanged), slider, &QSlider::setValue);
    auto* automatic = new QCheckBox(QStringLiteral("Auto"));
    automatic->setObjectName(QString::fromStdString("auto" + p.name));
    automatic->setVisible(p.canAuto);
    automatic->setChecked(p.automatic);
    grid->addWidget(new QLabel(QString::fromStdString(p.name)), r, 0);
    grid->addWidget(slider, r, 1);
    grid->addWidget(value, r, 2);
    grid->addWidget(automatic, r++, 3);
    rows->push_back({p, slider, value, automatic});
  }
  grid->setRowStretch(r, 1);
  appliers.push_back([&page, rows] {
    for (SourceRow& row : *rows) {
      const bool automatic = row.automatic->isChecked();
      if (row.value->value() == row.property.value && automatic == row.property.automatic) continue;
      if (std::string problem = page.SetProperty(row.property.index, row.value->value(), automatic); !problem.empty())
        return problem;
      row.property.value = row.value->value();
      row.property.automatic = automatic;
    }
    return std::string();
  });
  return widget;
}

QWidget* FormatPageWidget(DriverPage& page, std::vector<std::function<std::string()>>& appliers) {
  auto* widget = new QWidget;
  auto* grid = new QGridLayout(widget);
  const auto formats = std::make_shared<std::vector<FormatEntry>>(page.Formats());
  const FormatChoice current = page.CurrentFormat();
  auto* list = new QComboBox;
  list->setObjectName("formatList");
  for (const FormatEntry& e : *formats) list->addItem(QString::fromStdString(e.text));
  auto* rate = new QComboBox;
  rate->setObjectName("frameRate");
  auto spin = [](const char* name) {
    auto* s = new QSpinBox;
    s->setObjectName(name);
    s->setRange(0, 65535);
    return s;
  };
  QSpinBox* left = spin("regionLeft");
  QSpinBox* top = spin("regionTop");
  QSpinBox* width = spin("regionWidth");
  QSpinBox* height = spin("regionHeight");
  QSpinBox* packet = spin("packetSize");
  grid->addWidget(new QLabel(QStringLiteral("Format")), 0, 0);
  grid->addWidget(list, 0, 1, 1, 3);
  grid->addWidget(new QLabel(QStringLiteral("Frame rate")), 1, 0);
  grid->addWidget(rate, 1, 1, 1, 3);
  auto* region = new QGroupBox(QStringLiteral("Free region"));
  auto* rg = new QGridLayout(region);
  rg->addWidget(new QLabel(QStringLiteral("Left")), 0, 0);
  rg->addWidget(left, 0, 1);
  rg->addWidget(new QLabel(QStringLiteral("Top")), 0, 2);
  rg->addWidget(top, 0, 3);
  rg->addWidget(new QLabel(QStringLiteral("Width")), 1, 0);
  rg->addWidget(width, 1, 1);
  rg->addWidget(new QLabel(QStringLiteral("Height")), 1, 2);
  rg->addWidget(height, 1, 3);
  rg->addWidget(new QLabel(QStringLiteral("Packet size")), 2, 0);
  rg->addWidget(packet, 2, 1);
  grid->addWidget(region, 2, 0, 1, 4);
  grid->setRowStretch(3, 1);
  auto select = [=](int i, bool keepRate) {
    const int chosen = rate->currentIndex();
    rate->clear();
    if (i < 0 || static_cast<size_t>(i) >= formats->size()) return;
    const FormatEntry& e = (*formats)[static_cast<size_t>(i)];
    for (const FrameRate& fr : e.rates) rate->addItem(QString::fromStdString(fr.text));
    rate->setCurrentIndex(keepRate ? chosen : static_cast<int>(e.rates.size()) - 1);
    region->setEnabled(e.freeRegion);
    for (QSpinBox* s : {left, width}) s->setSingleStep(e.unitX);
    for (QSpinBox* s : {top, height}) s->setSingleStep(e.unitY);
    packet->setEnabled(e.packetMax > 0);
    if (e.packetMax > 0) packet->setRange(static_cast<int>(e.packetMin), static_cast<int>(e.packetMax));
    if (e.freeRegion && !keepRate) {
      // The region and packet size the camera holds for this format, not what
      // the spin boxes kept from another one.
      left->setValue(e.left);
      top->setValue(e.top);
      width->setValue(e.width);
      height->setValue(e.height);
      if (e.packet != 0) packet->setValue(static_cast<int>(e.packet));
    }
  };
  list->setCurrentIndex(current.entry);
  rate->blockSignals(true);
  select(current.entry, false);
  rate->setCurrentIndex(current.rate);
  rate->blockSignals(false);
  left->setValue(current.left);
  top->setValue(current.top);
  width->setValue(current.width);
  height->setValue(current.height);
  packet->setValue(static_cast<int>(current.packet));
  QObject::connect(list, qOverload<int>(&QComboBox::currentIndexChanged), widget, [=](int i) { select(i, false); });
  appliers.push_back([&page, list, rate, left, top, width, height, packet] {
    FormatChoice c;
    c.entry = list->currentIndex();
    c.rate = rate->currentIndex();
    c.left = left->value();
    c.top = top->value();
    c.width = width->value();
    c.height = height->value();
    c.packet = packet->isEnabled() ? static_cast<uint32_t>(packet->value()) : 0;
    return page.SetFormat(c);
  });
  return widget;
}

void RunPropertyFrameImpl(void* owner, const std::string& caption, const std::vector<DriverPage*>& pages) {
  ModalDialog frame(static_cast<QWidget*>(owner));
  frame.setObjectName("PropertyFrame");
  frame.setWindowTitle(QString::fromStdString(caption));
  auto* tabs = new QTabWidget;
  std::vector<std::function<std::string()>> appliers;
  for (DriverPage* page : pages) {
    QWidget* w = page->PageKind() == DriverPage::Kind::Source ? SourcePageWidget(*page, appliers)
                                                              : FormatPageWidget(*page, appliers);
    w->setObjectName(page->Title());
    tabs->addTab(w, page->Title());
  }
  auto* problem = new QLabel;
  problem->setObjectName("problem");
  problem->setWordWrap(true);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Apply);
  buttons->button(QDialogButtonBox::Ok)->setObjectName("ok");
  buttons->button(QDialogButtonBox::Cancel)->setObjectName("cancel");
  buttons->button(QDialogButtonBox::Apply)->setObjectName("apply");
  auto* layout = new QVBoxLayout(&frame);
  layout->addWidget(tabs);
  layout->addWidget(problem);
  layout->addWidget(buttons);
  auto applyAll = [&] {
    for (auto& apply : appliers)
      if (std::string text = apply(); !text.empty()) {
        problem->setText(QString::fromStdString(text));
        return false;
      }
    problem->clear();
    return true;
  };
  QObject::connect(buttons->button(QDialogButtonBox::Apply), &QPushButton::clicked, &frame, [&] { applyAll(); });
  QObject::connect(buttons, &QDialogButtonBox::accepted, &frame, [&] {
    if (applyAll()) frame.accept();
  });
  QObject::connect(buttons, &QDialogButtonBox::rejected, &frame, &QDialog::reject);
  frame.adjustSize();
  frame.exec();
}

// Whether a local socket accepts a connection.
bool SocketAnswers(const std::string& path) {
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) return false;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

std::string CannotShowImpl() {
  if (QCoreApplication* app = QCoreApplication::instance()) {
    if (!qobject_cast<QApplication*>(app)) return "the host's Qt application has no widgets";
    if (QThread::currentThread() != app->thread()) return "called on a thread other than the host's Qt thread";
    return {};
  }
  auto set = [](const char* name) {
    const char* v = std::getenv(name);
    return v && *v;
  };
  if (set("QT_QPA_PLATFORM")) return {};
  if (!set("DISPLAY") && !set("WAYLAND_DISPLAY"))
    return "no display: neither DISPLAY, WAYLAND_DISPLAY nor QT_QPA_PLATFORM is set";
  // The toolkit ends the process when it cannot reach the display it is
  // given, so a local display is tried first; a remote one is taken on trust.
  if (set("WAYLAND_DISPLAY")) {
    const std::string name = std::getenv("WAYLAND_DISPLAY");
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string path = name[0] == '/' ? name : std::string(runtime ? runtime : "") + "/" + name;
    if (SocketAnswers(path)) return {};
  }
  if (set("DISPLAY")) {
    const std::string display = std::getenv("DISPLAY");
    if (display[0] != ':') return {};
    const std::string number = display.substr(1, display.find('.') - 1);
    if (SocketAnswers("/tmp/.X11-unix/X" + number)) return {};
  }
  return "the display named by DISPLAY or WAYLAND_DISPLAY does not answer";
}

const UiModule kModule{kUiBridgeVersion, CannotShowImpl, RunDialogImpl, RunSheetImpl, RunPropertyFrameImpl};

}  // namespace
}  // namespace kelvane::configure

extern "C" __attribute__((visibility("default"))) const kelvane::configure::UiModule* kelvane_ui_module() {
  return &kelvane::configure::kModule;
}
