// The dialog, the sheet and the driver's pages as a person uses them, on Qt's
// offscreen platform, through the exports: clicks and typing must end up in
// Kelvane.ini and in the next open's grab; refused values leave nothing
// applied; a window that cannot be shown falls back to text and says why.
// The live viewer, kelvane-view, the same way: what it shows and saves is the
// library's image, its sliders reach the camera, and it closes while streaming.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QStatusBar>
#include <QTabWidget>
#include <QTimer>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>

#include "configure/texts.h"
#include "host/host_fixture.h"
#include "settings/camera_settings.h"
#include "settings/profile_file.h"
#include "viewer.h"

namespace kelvane::testing {
namespace {

using namespace kelvane::configure;

// Runs `step` once the modal loop that is about to start is running.
void Later(std::function<void()> step) { QTimer::singleShot(0, qApp, std::move(step)); }

QWidget* Modal() { return QApplication::activeModalWidget(); }

template <class W>
W* Child(QWidget* parent, const QString& name) {
  W* w = parent ? parent->findChild<W*>(name) : nullptr;
  EXPECT_NE(w, nullptr) << name.toStdString();
  return w;
}
QString Id(int id) { return QStringLiteral("control%1").arg(id); }

// Saves a window's picture when KELVANE_SCREENSHOT_DIR names a directory.
void Picture(QWidget* window, const char* name) {
  if (const char* dir = std::getenv("KELVANE_SCREENSHOT_DIR")) {
    EXPECT_TRUE(window->grab().save(QString("%1/%2.png").arg(dir, name)));
  }
}

class UiTest : public HostTest {
 public:
  void TearDown() override {
    HostTest::TearDown();
    app_.reset();
  }
  // On the offscreen platform, also on a desktop: a test opens no window.
  void StartApplication() {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "ui_tests";
    static char* argv[] = {name, nullptr};
    app_ = std::make_unique<QApplication>(argc, argv);
  }
  int32_t FileInt(const char* key) {
    return settings::ProfileText::Load(SettingsFile()).GetInt(kColour.config, key, -12345);
  }

 private:
  std::unique_ptr<QApplication> app_;
};

TEST_F(UiTest, DialogSelectsTogglesAndChoosesTheFormatOfTheNextGrab) {
  Initialize();
  ASSERT_EQ(Open(0, kMono16), 1);
  StartApplication();
  bool ran = false;
  Later([&] {
    QWidget* dialog = Modal();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->windowTitle(), kDialogCaption);
    auto* list = Child<QListWidget>(dialog, Id(kCameraList));
    auto* state = Child<QLabel>(dialog, Id(kState));
    auto* color = Child<QCheckBox>(dialog, Id(kColor));
    // The first camera is selected and shown without a click.
    EXPECT_EQ(list->currentRow(), 0);
    EXPECT_EQ(state->text(), kTextClosed);
    list->setCurrentRow(1);
    EXPECT_EQ(state->text(), kTextOpen);
    list->setCurrentRow(0);
    Picture(dialog, "dialog");
    // Escape leaves the dialog open.
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(dialog, &escape);
    EXPECT_TRUE(dialog->isVisible());
    color->click();
    EXPECT_EQ(FileInt("Color"), 1);
    // Format: the driver's frame; choose a smaller format.
    Later([&] {
      QWidget* frame = Modal();
      ASSERT_NE(frame, nullptr);
      EXPECT_EQ(frame->windowTitle(), kColour.config);
      Picture(frame, "driver-format");
      auto* formats = Child<QComboBox>(frame, "formatList");
      // A free-region format opens its region for editing.
      const int free = formats->findText("free region", Qt::MatchContains);
      ASSERT_GE(free, 0);
      formats->setCurrentIndex(free);
      EXPECT_TRUE(Child<QSpinBox>(frame, "regionWidth")->isEnabled());
      // It shows the region and packet size the camera holds for it, not the
      // smallest packet: OK without an edit must not slow the camera down.
      EXPECT_EQ(Child<QSpinBox>(frame, "packetSize")->value(), 2048);
      EXPECT_EQ(Child<QSpinBox>(frame, "regionWidth")->value(), 1024);
      Picture(frame, "driver-format-free-region");
      formats->setCurrentIndex(formats->findText("UYVY 320 x 240"));
      auto* rate = Child<QComboBox>(frame, "frameRate");
      rate->setCurrentIndex(rate->findText("15.00 fps"));
      Child<QPushButton>(frame, "ok")->click();
    });
    Child<QPushButton>(dialog, Id(kFormat))->click();
    EXPECT_EQ(FileInt("Width"), 320);
    Child<QPushButton>(dialog, Id(kClose))->click();
    ran = true;
  });
  EXPECT_EQ(::configure(), 0);
  EXPECT_TRUE(ran);
  ASSERT_EQ(Open(1, kColour), 1);
  EXPECT_EQ(size_[0], 320);
  EXPECT_EQ(size_[1], 240);
  int32_t bits = 0;
  EXPECT_EQ(getProperty(0, 1, "PixelSize", &bits), 1);
  EXPECT_EQ(bits, 24);
  EXPECT_EQ(sim::CurrentFormat(kColour.friendly)->fpsCode, 3);
}

TEST_F(UiTest, SheetRefusesBadValuesAppliesGoodOnesAndRunsTheSourcePages) {
  Initialize();
  StartApplication();
  bool ran = false;
  Later([&] {
    QWidget* sheet = Modal();
    ASSERT_NE(sheet, nullptr);
    EXPECT_EQ(sheet->windowTitle(), kColour.config);
    auto* tabs = Child<QTabWidget>(sheet, "pages");
    auto* apply = Child<QPushButton>(sheet, "apply");
    Picture(sheet, "sheet-general");
    tabs->setCurrentIndex(2);
    Picture(sheet, "sheet-filters");
    tabs->setCurrentIndex(1);
    Picture(sheet, "sheet-averaging");
    auto* count = Child<QLineEdit>(tabs->widget(1), Id(kFrameCount));
    auto* coefficient = Child<QLineEdit>(tabs->widget(1), Id(kCoefficient));
    EXPECT_EQ(count->text(), "1");
    EXPECT_FALSE(apply->isEnabled());
    count->setText("33");
    emit count->textEdited(count->text());
    coefficient->setText("50");
    emit coefficient->textEdited(coefficient->text());
    EXPECT_TRUE(apply->isEnabled());
    QString warning;
    Later([&] {
      auto* box = qobject_cast<QMessageBox*>(Modal());
      ASSERT_NE(box, nullptr);
      warning = box->text();
      box->accept();
    });
    apply->click();
    EXPECT_EQ(warning, "Enter a whole number from 1 to 32.");
    EXPECT_EQ(sheet->focusWidget(), count);
    EXPECT_TRUE(apply->isEnabled());
    // Leaving the page is refused as well.
    Later([&] { Modal()->close(); });
    tabs->setCurrentIndex(0);
    EXPECT_EQ(tabs->currentIndex(), 1);
    count->setText("4");
    apply->click();
    EXPECT_FALSE(apply->isEnabled());
    tabs->setCurrentIndex(0);
    auto* state = Child<QLabel>(tabs->widget(0), Id(kState));
    EXPECT_EQ(state->text(), kTextClosed);
    QString stateDuringFrame;
    Later([&] {
      QWidget* frame = Modal();
      ASSERT_NE(frame, nullptr);
      stateDuringFrame = state->text();
      Picture(frame, "driver-source");
      Child<QSpinBox>(frame, "valueBrightness")->setValue(200);
      Child<QPushButton>(frame, "ok")->click();
    });
    Child<QPushButton>(tabs->widget(0), Id(kSource))->click();
    EXPECT_EQ(stateDuringFrame, kTextStopped);
    EXPECT_EQ(state->text(), kTextStopped);
    Child<QPushButton>(sheet, "cancel")->click();
    ran = true;
  });
  EXPECT_EQ(configureCamera(0, kColour.config), 0);
  EXPECT_TRUE(ran);
  EXPECT_EQ(FileInt("MeanCnt"), 4);
  EXPECT_EQ(FileInt("RecursiveCoeff"), 50);
  EXPECT_EQ(sim::GetProperty(kColour.friendly, sim::PropertySet::Basic, 2)->value, 200);
}

TEST_F(UiTest, DriverFaultIsReportedAndTheDialogStaysUsable) {
  Initialize();
  StartApplication();
  sim::Fault fault;
  fault.operation = "ISpecifyPropertyPages::GetPages";
  fault.raise = "pages gone";
  sim::InjectFault(fault);
  int frames = 0;
  Later([&] {
    QWidget* dialog = Modal();
    ASSERT_NE(dialog, nullptr);
    Child<QPushButton>(dialog, Id(kFormat))->click();
    EXPECT_TRUE(Logged("Exception: pages gone\n"));
    EXPECT_EQ(Modal(), dialog);
    Later([&] {
      ++frames;
      Child<QPushButton>(Modal(), "cancel")->click();
    });
    Child<QPushButton>(dialog, Id(kFormat))->click();
    Child<QPushButton>(dialog, Id(kClose))->click();
  });
  EXPECT_EQ(::configure(), 0);
  EXPECT_EQ(frames, 1);
}

// Where the toolkit would end the process (no display, or one that does not
// answer), the library does not start it.
struct NoDisplayCase {
  const char* name;
  const char* display;  // DISPLAY, or null for none
  const char* reason;
};

class NoDisplay : public UiTest, public ::testing::WithParamInterface<NoDisplayCase> {};

TEST_P(NoDisplay, TheCamerasAreListedAsText) {
  unsetenv("QT_QPA_PLATFORM");
  unsetenv("WAYLAND_DISPLAY");
  if (GetParam().display) {
    setenv("DISPLAY", GetParam().display, 1);
  } else {
    unsetenv("DISPLAY");
  }
  Initialize();
  EXPECT_EQ(::configure(), 0);
  EXPECT_TRUE(LoggedContaining(std::string("configure: no configuration dialog (") + GetParam().reason));
  EXPECT_TRUE(LoggedContaining("0: Kestrel Optics KC-640C - 10472"));
}

const NoDisplayCase kNoDisplayCases[] = {
    {"None", nullptr, "no display: "},
    {"NotAnswering", ":4711", "the display named by DISPLAY or WAYLAND_DISPLAY does not answer"},
};
INSTANTIATE_TEST_SUITE_P(Displays, NoDisplay, ::testing::ValuesIn(kNoDisplayCases),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(UiTest, FromAnotherThreadTheReportIsGivenAsText) {
  Initialize();
  StartApplication();
  std::thread other([] { EXPECT_EQ(configureCamera(0, kColour.config), 0); });
  other.join();
  EXPECT_TRUE(LoggedContaining("no property sheet (called on a thread other than the host's Qt thread)"));
  EXPECT_TRUE(LoggedContaining("--- IMPLEMENTED Interfaces for Kestrel Optics KC-640C - 10472 ---"));
}

// ---- kelvane-view ----------------------------------------------------------------------------------

// The viewer on camera `camera`, started as the program starts it; the
// camera's initial snapshot at open is granted.
std::unique_ptr<view::Viewer> StartViewer(const std::filesystem::path& dir, const Camera& camera) {
  sim::Grant(camera.friendly, 1);
  auto viewer = std::make_unique<view::Viewer>(view::ViewerOptions{dir.string(), camera.config});
  viewer->show();
  EXPECT_TRUE(viewer->Start());
  return viewer;
}

struct PictureCase {
  const char* name;
  Camera camera;
  bool opensInColour;  // in YUY2 with Color=1, a picture of many colours
  bool colour;         // switched to before the images come
};
void PrintTo(const PictureCase& c, std::ostream* out) { *out << c.name; }

class ViewerPicture : public UiTest, public ::testing::WithParamInterface<PictureCase> {};

// The picture on screen and the snapshot file are the library's newest image,
// to the byte and in the right channel order; an image the screen had no time
// for is counted as dropped, not queued.
TEST_P(ViewerPicture, ScreenAndSnapshotHoldTheNewestImage) {
  const PictureCase& c = GetParam();
  if (c.opensInColour)
    WriteSettings(c.camera.config,
                  {"Color=1", "SubType={32595559-0000-0010-8000-00AA00389B71}", "Width=640", "Height=480"});
  StartApplication();
  auto viewer = StartViewer(dir_, c.camera);
  ASSERT_TRUE(viewer->SetColour(c.colour)) << viewer->statusBar()->currentMessage().toStdString();
  // Two images before the GUI thread looks: only the second may be shown.
  ASSERT_EQ(sim::Step(c.camera.friendly), sim::StepResult::Delivered);
  ASSERT_EQ(sim::Step(c.camera.friendly), sim::StepResult::Delivered);
  QCoreApplication::sendPostedEvents();
  EXPECT_EQ(viewer->Shown(), 1);
  EXPECT_EQ(viewer->Stream().Received(), 2);
  EXPECT_EQ(viewer->Stream().Dropped(), 1);

  int32_t bits = 0;
  ASSERT_EQ(getProperty(0, view::Viewer::kPort, "PixelSize", &bits), 1);
  ASSERT_EQ(bits, c.colour ? 24 : 8);
  const QImage& shown = viewer->View()->Image();
  size_[0] = shown.width();
  size_[1] = shown.height();
  std::vector<uint8_t> rows = ReadRows(view::Viewer::kPort);
  const QImage library = QImage(rows.data(), size_[0], size_[1], size_[0] * bits / 8,
                                c.colour ? QImage::Format_BGR888 : QImage::Format_Grayscale8)
                             .convertToFormat(QImage::Format_RGB888);

  // At its own size the view shows the image unscaled.
  viewer->View()->setFixedSize(size_[0], size_[1]);
  viewer->adjustSize();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
  ASSERT_EQ(viewer->View()->size(), QSize(size_[0], size_[1]));
  EXPECT_EQ(viewer->View()->grab().toImage().convertToFormat(QImage::Format_RGB888), library);

  const QString path = QString::fromStdString((dir_ / "snapshot.png").string());
  ASSERT_TRUE(viewer->SaveSnapshot(path));
  const QImage saved(path);
  EXPECT_EQ(saved.format() == QImage::Format_Grayscale8, !c.colour);
  EXPECT_EQ(saved.convertToFormat(QImage::Format_RGB888), library);
}

const PictureCase kPictureCases[] = {
    {"Colour", kColour, true, true},
    {"SwitchedToGrey", kColour, true, false},
    {"Mono16Grey", kMono16, false, false},
};
INSTANTIATE_TEST_SUITE_P(Viewer, ViewerPicture, ::testing::ValuesIn(kPictureCases),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(UiTest, ViewerSlidersFollowTheRangesAndSetTheCamera) {
  StartApplication();
  auto viewer = StartViewer(dir_, kColour);
  for (const char* name : view::kPropertyNames) {
    int32_t lo = 0, hi = 0;
    const bool ranged = getPropertyRange(0, view::Viewer::kPort, name, &lo, &hi) == 1 && lo < hi;
    auto* slider = viewer->findChild<QSlider*>(QString("slider") + name);
    ASSERT_EQ(slider != nullptr, ranged) << name;
    if (!slider) continue;
    EXPECT_EQ(slider->minimum(), lo) << name;
    EXPECT_EQ(slider->maximum(), hi) << name;
  }
  auto* brightness = viewer->findChild<QSlider*>("sliderBrightness");
  ASSERT_NE(brightness, nullptr);
  const int wanted = brightness->maximum() - 3;
  brightness->setValue(wanted);
  EXPECT_EQ(sim::GetProperty(kColour.friendly, sim::PropertySet::Basic, 2)->value, wanted);
  int32_t value = 0;
  EXPECT_EQ(getProperty(0, view::Viewer::kPort, "Brightness", &value), 1);
  EXPECT_EQ(value, wanted);
}

// The port is freed while the dialog runs (its Source pages need the camera)
// and opened again after it, in the format chosen there.
TEST_F(UiTest, ViewerReopensTheCameraInTheFormatTheDialogChose) {
  StartApplication();
  auto viewer = StartViewer(dir_, kColour);
  bool ran = false;
  Later([&] {
    QWidget* dialog = Modal();
    ASSERT_NE(dialog, nullptr);
    auto* state = Child<QLabel>(dialog, Id(kState));
    EXPECT_EQ(state->text(), kTextClosed);
    Later([&] {
      QWidget* frame = Modal();
      ASSERT_NE(frame, nullptr);
      auto* formats = Child<QComboBox>(frame, "formatList");
      formats->setCurrentIndex(formats->findText("UYVY 320 x 240"));
      Child<QPushButton>(frame, "ok")->click();
    });
    Child<QPushButton>(dialog, Id(kFormat))->click();
    sim::Grant(kColour.friendly, 1);  // the snapshot of the next open
    Child<QPushButton>(dialog, Id(kClose))->click();
    ran = true;
  });
  viewer->RunConfiguration(false);
  EXPECT_TRUE(ran);
  ASSERT_EQ(viewer->CameraName(), kColour.config);
  ASSERT_EQ(sim::Step(kColour.friendly), sim::StepResult::Delivered);
  QCoreApplication::sendPostedEvents();
  EXPECT_EQ(viewer->View()->Image().size(), QSize(320, 240));
}

// Closing the window while the camera streams as fast as it can: the close
// returns (the watchdog ends a hung test) and leaves the camera free.
TEST_F(UiTest, ViewerClosesWhileStreaming) {
  Watchdog watchdog(std::chrono::seconds(60));
  watchdog.Begin("ViewerClosesWhileStreaming");
  sim::SetRate(sim::Rate::Fast);
  StartApplication();
  auto viewer = StartViewer(dir_, kColour);
  while (viewer->Shown() < 3) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  EXPECT_TRUE(viewer->close());
  EXPECT_FALSE(viewer->Stream().Running());
  EXPECT_FALSE(closeCVLPort(0, view::Viewer::kPort));  // already free
  QCoreApplication::sendPostedEvents();                // whatever was queued before the close
  const int64_t shown = viewer->Shown();
  QCoreApplication::sendPostedEvents();
  EXPECT_EQ(viewer->Shown(), shown);
  EXPECT_EQ(Open(1, kColour), 1);  // the camera was released
  viewer.reset();
}

}  // namespace
}  // namespace kelvane::testing
