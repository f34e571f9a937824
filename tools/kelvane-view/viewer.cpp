#include "viewer.h"

#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QDockWidget>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QImageWriter>
#include <QPainter>
#include <QPlainTextEdit>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QSlider>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <utility>

#include "kelvane/grabber.h"

namespace kelvane::view {

const char* const kPropertyNames[] = {KELVANE_PROPERTY_NAMES};

namespace {

constexpr int32_t kGrabber = 0;
constexpr size_t kKeptLines = 2048;

}  // namespace

// ---- MessageLog ----

MessageLog& MessageLog::Instance() {
  // Never destroyed: a streaming thread may still report while the program ends.
  static MessageLog* log = new MessageLog;
  return *log;
}

int32_t MessageLog::Sink(const char* message) {
  Instance().Add(message ? message : "");
  return 0;
}

void MessageLog::Attach(QPlainTextEdit* pane) {
  std::lock_guard lock(mutex_);
  pane_ = pane;
}

void MessageLog::Add(std::string line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  std::lock_guard lock(mutex_);
  if (pane_) {
    // Posted to the pane's thread; a pane deleted before it runs drops it.
    QPlainTextEdit* pane = pane_;
    QMetaObject::invokeMethod(
        pane, [pane, text = QString::fromStdString(line)] { pane->appendPlainText(text); }, Qt::QueuedConnection);
  }
  lines_.push_back(std::move(line));
  if (lines_.size() > kKeptLines) {
    lines_.erase(lines_.begin(), lines_.begin() + kKeptLines / 2);
    dropped_ += kKeptLines / 2;
  }
}

size_t MessageLog::Mark() {
  std::lock_guard lock(mutex_);
  return dropped_ + lines_.size();
}

std::string MessageLog::ReasonSince(size_t mark, const char* otherwise) {
  std::lock_guard lock(mutex_);
  std::string reason;
  for (size_t i = mark > dropped_ ? mark - dropped_ : 0; i < lines_.size(); ++i) {
    const std::string& line = lines_[i];
    if (line.empty() || line.rfind("OPEN ", 0) == 0 || line.rfind("CLOSE ", 0) == 0) continue;
    reason += (reason.empty() ? "" : "; ") + line;
  }
  return reason.empty() ? otherwise : reason;
}

// ---- FrameStream ----

std::atomic<FrameStream*> FrameStream::active_{nullptr};

FrameStream::FrameStream(QObject* parent) : QObject(parent) {}

FrameStream::~FrameStream() { Stop(); }

bool FrameStream::Start(int32_t port, int width, int height, int bitsPerPixel) {
  Stop();
  switch (bitsPerPixel) {
    case 8:
      format_ = QImage::Format_Grayscale8;
      break;
    case 24:
      format_ = QImage::Format_BGR888;  // the library's blue, green, red
      break;
    case 32:
      format_ = QImage::Format_RGB32;  // blue, green, red, unused: 0xffRRGGBB read little-endian
      break;
    default:
      return false;
  }
  if (width < 2 || height < 1) return false;  // a row read needs first < last
  width_ = width;
  height_ = height;
  bytesPerPixel_ = bitsPerPixel / 8;
  const size_t bytes = static_cast<size_t>(width) * static_cast<size_t>(height) * static_cast<size_t>(bytesPerPixel_);
  back_.assign(bytes, 0);
  front_.assign(bytes, 0);
  {
    std::lock_guard lock(mutex_);
    pending_.assign(bytes, 0);
    hasPending_ = false;
  }
  port_.store(port);
  // Only one stream takes images at a time: the callback carries no pointer of ours.
  active_.store(this, std::memory_order_release);
  if (!setCompleteCallback(kGrabber, port, OnComplete)) {
    active_.store(nullptr);
    port_.store(-1);
    return false;
  }
  if (!::setProperty(kGrabber, port, "Continous", 1)) {
    Stop();
    return false;
  }
  return true;
}

void FrameStream::Stop() {
  const int32_t port = port_.load();
  if (port < 0) return;
  ::setProperty(kGrabber, port, "Continous", 0);
  // The library holds the camera while it swaps the callback out, so none of
  // ours runs any more once this returns (nor on a port already closed).
  setCompleteCallback(kGrabber, port, nullptr);
  FrameStream* self = this;
  active_.compare_exchange_strong(self, nullptr);
  port_.store(-1);
}

int32_t FrameStream::OnComplete(int32_t, int32_t port) {
  FrameStream* stream = active_.load(std::memory_order_acquire);
  if (stream && port == stream->port_.load()) stream->Copy();
  return 0;
}

// On the streaming thread, inside the completion callback: the image stays
// put until this returns, so it is read whole before the next can replace it.
void FrameStream::Copy() {
  const int32_t port = port_.load();
  const size_t rowBytes = static_cast<size_t>(width_) * static_cast<size_t>(bytesPerPixel_);
  for (int y = 0; y < height_; ++y) {
    if (!getCVLGrabRow(kGrabber, port, back_.data() + static_cast<size_t>(y) * rowBytes, y, 0, width_ - 1)) {
      dropped_.fetch_add(1, std::memory_order_relaxed);
      return;
    }
  }
  received_.fetch_add(1, std::memory_order_relaxed);
  bool replaced;
  {
    std::lock_guard lock(mutex_);
    back_.swap(pending_);
    replaced = hasPending_;
    hasPending_ = true;
  }
  // One queued signal per image the GUI has not seen: a newer image replaces
  // a pending one without another signal, so the GUI never falls behind.
  if (replaced)
    dropped_.fetch_add(1, std::memory_order_relaxed);
  else
    emit arrived();
}

bool FrameStream::TakeImage(QImage* image) {
  {
    std::lock_guard lock(mutex_);
    if (!hasPending_) return false;
    pending_.swap(front_);
    hasPending_ = false;
  }
  const auto stride = static_cast<qsizetype>(width_) * bytesPerPixel_;
  *image = QImage(front_.data(), width_, height_, stride, format_).copy();
  return true;
}

// ---- ImageView ----

ImageView::ImageView(QWidget* parent) : QWidget(parent) {
  setObjectName("picture");
  setAttribute(Qt::WA_OpaquePaintEvent);
  setMinimumSize(160, 120);
}

void ImageView::SetImage(QImage image) {
  image_ = std::move(image);
  update();
}

QSize ImageView::sizeHint() const { return image_.isNull() ? QSize(640, 480) : image_.size(); }

void ImageView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), Qt::black);
  if (image_.isNull()) {
    painter.setPen(Qt::gray);
    painter.drawText(rect(), Qt::AlignCenter, QStringLiteral("No picture"));
    return;
  }
  QRect target(QPoint(0, 0), image_.size().scaled(size(), Qt::KeepAspectRatio));
  target.moveCenter(rect().center());
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  painter.drawImage(target, image_);
}

// ---- Viewer ----

Viewer::Viewer(ViewerOptions options, QWidget* parent) : QMainWindow(parent), options_(std::move(options)) {
  setWindowTitle(QStringLiteral("kelvane-view"));
  view_ = new ImageView;
  setCentralWidget(view_);

  auto* tools = addToolBar(QStringLiteral("Camera"));
  tools->setObjectName("tools");
  tools->setMovable(false);
  tools->addWidget(new QLabel(QStringLiteral(" Camera ")));
  cameraList_ = new QComboBox;
  cameraList_->setObjectName("cameraList");
  cameraList_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  tools->addWidget(cameraList_);
  tools->addSeparator();
  QAction* snapshot = tools->addAction(QStringLiteral("Snapshot..."));
  snapshot->setObjectName("snapshot");
  snapshot->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
  connect(snapshot, &QAction::triggered, this, [this] {
    const QImage image = view_->Image();  // the picture of the moment of the click
    if (image.isNull()) {
      Report(QStringLiteral("no picture to save yet"));
      return;
    }
    QString path =
        QFileDialog::getSaveFileName(this, QStringLiteral("Save snapshot"), QStringLiteral("kelvane-snapshot.png"),
                                     QStringLiteral("PNG images (*.png)"));
    if (path.isEmpty()) return;
    if (QFileInfo(path).suffix().isEmpty()) path += QStringLiteral(".png");
    SaveImage(image, path);
  });
  colour_ = tools->addAction(QStringLiteral("Colour"));
  colour_->setObjectName("colour");
  colour_->setCheckable(true);
  connect(colour_, &QAction::toggled, this, [this](bool on) { SetColour(on); });
  QAction* dialog = tools->addAction(QStringLiteral("Configure..."));
  dialog->setObjectName("configure");
  connect(dialog, &QAction::triggered, this, [this] { RunConfiguration(false); });
  QAction* sheet = tools->addAction(QStringLiteral("Camera properties..."));
  sheet->setObjectName("configureCamera");
  connect(sheet, &QAction::triggered, this, [this] { RunConfiguration(true); });

  propertyArea_ = new QScrollArea;
  propertyArea_->setWidgetResizable(true);
  propertyArea_->setMinimumWidth(320);
  auto* propertyDock = new QDockWidget(QStringLiteral("Properties"));
  propertyDock->setObjectName("propertyDock");
  propertyDock->setFeatures(QDockWidget::NoDockWidgetFeatures);
  propertyDock->setWidget(propertyArea_);
  addDockWidget(Qt::RightDockWidgetArea, propertyDock);

  log_ = new QPlainTextEdit;
  log_->setObjectName("messages");
  log_->setReadOnly(true);
  log_->setMaximumBlockCount(2000);
  log_->setMinimumHeight(90);
  auto* logDock = new QDockWidget(QStringLiteral("Library messages"));
  logDock->setObjectName("messageDock");
  logDock->setFeatures(QDockWidget::NoDockWidgetFeatures);
  logDock->setWidget(log_);
  addDockWidget(Qt::BottomDockWidgetArea, logDock);
  resizeDocks({logDock}, {110}, Qt::Vertical);

  formatLabel_ = new QLabel;
  fpsLabel_ = new QLabel;
  fpsLabel_->setObjectName("fps");
  droppedLabel_ = new QLabel;
  droppedLabel_->setObjectName("dropped");
  for (QLabel* label : {formatLabel_, fpsLabel_, droppedLabel_}) label->setContentsMargins(10, 0, 10, 0);
  statusBar()->addPermanentWidget(formatLabel_);
  statusBar()->addPermanentWidget(fpsLabel_);
  statusBar()->addPermanentWidget(droppedLabel_);

  connect(
      &stream_, &FrameStream::arrived, this, [this] { ShowNewImage(); }, Qt::QueuedConnection);
  auto* tick = new QTimer(this);
  connect(tick, &QTimer::timeout, this, [this] { UpdateStatus(); });
  tick->start(1000);
  clock_.start();
  MessageLog::Instance().Attach(log_);
  resize(1120, 720);
}

Viewer::~Viewer() {
  CloseCamera();
  MessageLog::Instance().Attach(nullptr);
}

bool Viewer::Start() {
  setDebugMsgProc(MessageLog::Sink);  // first, so that the start-up messages show too
  const size_t mark = MessageLog::Instance().Mark();
  initialize(options_.settingsDir.c_str(), MessageLog::Sink);
  cameras_.clear();
  const int32_t count = getCVLNoOfSupportedCameras();
  char** names = getCVLCameraConfigNames();
  for (int32_t i = 0; names && i < count && names[i]; ++i) cameras_.emplace_back(names[i]);
  {
    const QSignalBlocker quiet(cameraList_);
    cameraList_->clear();
    for (const std::string& name : cameras_) cameraList_->addItem(QString::fromStdString(name));
  }
  if (cameras_.empty()) {
    Report(
        QStringLiteral("no cameras found: %1").arg(QString::fromStdString(MessageLog::Instance().ReasonSince(mark))));
    return false;
  }
  connect(cameraList_, &QComboBox::currentIndexChanged, this, [this](int index) {
    if (index >= 0) OpenCamera(index);
  });
  const int index = options_.camera.empty() ? 0 : IndexOf(options_.camera);
  if (index < 0) {
    std::string list;
    for (size_t i = 0; i < cameras_.size(); ++i) list += (i ? ", " : "") + std::to_string(i) + ": " + cameras_[i];
    Report(QStringLiteral("no camera '%1'; the cameras are %2")
               .arg(QString::fromStdString(options_.camera), QString::fromStdString(list)));
    return false;
  }
  return OpenCamera(index);
}

int Viewer::IndexOf(const std::string& nameOrIndex) const {
  for (size_t i = 0; i < cameras_.size(); ++i)
    if (cameras_[i] == nameOrIndex) return static_cast<int>(i);
  if (!nameOrIndex.empty() && nameOrIndex.size() < 9 &&
      nameOrIndex.find_first_not_of("0123456789") == std::string::npos) {
    const size_t index = std::stoul(nameOrIndex);
    if (index < cameras_.size()) return static_cast<int>(index);
  }
  return -1;
}

bool Viewer::OpenCamera(int index) {
  CloseCamera();
  if (index < 0 || static_cast<size_t>(index) >= cameras_.size()) return false;
  const std::string& name = cameras_[static_cast<size_t>(index)];
  {
    const QSignalBlocker quiet(cameraList_);
    cameraList_->setCurrentIndex(index);
  }
  const QString shown = QString::fromStdString(name);
  size_t mark = MessageLog::Instance().Mark();
  int32_t size[2] = {0, 0};
  if (!openCVLPort(kGrabber, kPort, name.c_str(), size)) {
    Report(QStringLiteral("cannot open %1: %2")
               .arg(shown, QString::fromStdString(MessageLog::Instance().ReasonSince(mark))));
    return false;
  }
  camera_ = name;
  int32_t bits = 8;
  getProperty(kGrabber, kPort, "PixelSize", &bits);
  width_ = size[0];
  height_ = size[1];
  bits_ = bits;
  ShowFormat();
  BuildProperties();
  mark = MessageLog::Instance().Mark();
  if (!stream_.Start(kPort, width_, height_, bits_)) {
    Report(QStringLiteral("cannot show %1 live: %2")
               .arg(shown, QString::fromStdString(MessageLog::Instance().ReasonSince(mark))));
    return false;
  }
  lastReceived_ = stream_.Received();
  lastTick_ = clock_.elapsed();
  statusBar()->showMessage(shown, 4000);
  return true;
}

void Viewer::ShowFormat() {
  formatLabel_->setText(QStringLiteral("%1 x %2, %3").arg(width_).arg(height_).arg(bits_ == 8 ? "grey" : "colour"));
  const QSignalBlocker quiet(colour_);
  colour_->setChecked(bits_ != 8);
}

bool Viewer::SetColour(bool on) {
  if (camera_.empty()) return false;
  // The library reallocates the image buffers: never while an image is taken.
  stream_.Stop();
  const size_t mark = MessageLog::Instance().Mark();
  const bool switched = ::setProperty(kGrabber, kPort, "PixelSize", on ? 24 : 8) != 0;
  int32_t bits = bits_;
  getProperty(kGrabber, kPort, "PixelSize", &bits);
  bits_ = bits;
  ShowFormat();
  if (!switched) {
    // A camera opened for grey images has no colour to give: its Color
    // setting decides that when it opens.
    const std::string reason =
        MessageLog::Instance().ReasonSince(mark, on ? "it was opened for grey images; "
                                                      "Configure, Color Images opens it in colour"
                                                    : "the library gave no reason");
    Report(QStringLiteral("%1 gives no %2 images: %3")
               .arg(QString::fromStdString(camera_), on ? "colour" : "grey", QString::fromStdString(reason)));
  }
  if (!stream_.Start(kPort, width_, height_, bits_)) {
    Report(QStringLiteral("cannot show %1 live: %2")
               .arg(QString::fromStdString(camera_), QString::fromStdString(MessageLog::Instance().ReasonSince(mark))));
    return false;
  }
  return switched;
}

void Viewer::CloseCamera() {
  stream_.Stop();
  if (camera_.empty()) return;
  closeCVLPort(kGrabber, kPort);
  camera_.clear();
  view_->SetImage(QImage());
  propertyArea_->setWidget(new QWidget);
  formatLabel_->clear();
}

void Viewer::BuildProperties() {
  auto* panel = new QWidget;
  auto* grid = new QGridLayout(panel);
  int row = 0;
  for (const char* name : kPropertyNames) {
    int32_t lo = 0, hi = 0, value = 0;
    if (!getPropertyRange(kGrabber, kPort, name, &lo, &hi) || lo >= hi) continue;
    if (!getProperty(kGrabber, kPort, name, &value)) continue;
    auto* slider = new QSlider(Qt::Horizontal);
    slider->setObjectName(QStringLiteral("slider%1").arg(name));
    slider->setRange(lo, hi);
    slider->setValue(value);
    slider->setToolTip(QStringLiteral("%1 .. %2").arg(lo).arg(hi));
    auto* number = new QLabel(QString::number(value));
    number->setMinimumWidth(number->fontMetrics().horizontalAdvance(QStringLiteral("-000000")));
    number->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    grid->addWidget(new QLabel(QString::fromLatin1(name)), row, 0);
    grid->addWidget(slider, row, 1);
    grid->addWidget(number, row, 2);
    connect(slider, &QSlider::valueChanged, this, [this, name, slider, number](int wanted) {
      if (!::setProperty(kGrabber, kPort, name, wanted)) {
        int32_t actual = 0;
        getProperty(kGrabber, kPort, name, &actual);
        Report(QStringLiteral("%1 refused %2 %3; it stays %4")
                   .arg(QString::fromStdString(camera_), name)
                   .arg(wanted)
                   .arg(actual));
        const QSignalBlocker quiet(slider);
        slider->setValue(actual);
        number->setText(QString::number(actual));
        return;
      }
      number->setText(QString::number(wanted));
    });
    ++row;
  }
  if (row == 0) grid->addWidget(new QLabel(QStringLiteral("The camera has no adjustable properties.")), 0, 0);
  grid->setRowStretch(row, 1);
  propertyArea_->setWidget(panel);  // deletes the previous panel
}

void Viewer::ShowNewImage() {
  QImage image;
  if (!stream_.TakeImage(&image)) return;
  view_->SetImage(std::move(image));
  ++shown_;
}

void Viewer::UpdateStatus() {
  const qint64 now = clock_.elapsed();
  const int64_t received = stream_.Received();
  const double seconds = static_cast<double>(now - lastTick_) / 1000.0;
  const double fps = seconds > 0 ? static_cast<double>(received - lastReceived_) / seconds : 0.0;
  lastReceived_ = received;
  lastTick_ = now;
  fpsLabel_->setText(QStringLiteral("%1 fps").arg(fps, 0, 'f', 1));
  droppedLabel_->setText(QStringLiteral("%1 dropped").arg(stream_.Dropped()));
}

bool Viewer::SaveSnapshot(const QString& path) { return SaveImage(view_->Image(), path); }

bool Viewer::SaveImage(const QImage& image, const QString& path) {
  if (image.isNull()) {
    Report(QStringLiteral("no picture to save yet"));
    return false;
  }
  QImageWriter writer(path, "png");
  if (!writer.write(image)) {
    Report(QStringLiteral("cannot write %1: %2").arg(path, writer.errorString()));
    return false;
  }
  statusBar()->showMessage(QStringLiteral("saved %1").arg(path), 5000);
  return true;
}

void Viewer::RunConfiguration(bool sheet) {
  const int index = cameraList_->currentIndex();
  CloseCamera();
  if (sheet) {
    if (index >= 0) configureCamera(0, cameras_[static_cast<size_t>(index)].c_str());
  } else {
    configure();
  }
  if (index >= 0) OpenCamera(index);
}

void Viewer::Report(const QString& text) {
  statusBar()->showMessage(text);
  log_->appendPlainText(QStringLiteral("kelvane-view: ") + text);
}

void Viewer::closeEvent(QCloseEvent* event) {
  CloseCamera();
  event->accept();
}

}  // namespace kelvane::view
