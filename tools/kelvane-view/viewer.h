// kelvane-view: a live picture of one camera through the grabber library's
// exports alone. Images finish on the library's streaming thread; they are
// copied out there and handed to the GUI thread, which alone touches widgets.
#pragma once

#include <QElapsedTimer>
#include <QImage>
#include <QLabel>
#include <QMainWindow>
#include <QObject>
#include <QString>
#include <QWidget>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class QAction;
class QComboBox;
class QPlainTextEdit;
class QScrollArea;

namespace kelvane::view {

// The library's messages. The sink may be called on any thread (the host's,
// a streaming thread), so lines are kept under a lock and shown by the GUI
// thread through a queued call to the attached log.
class MessageLog {
 public:
  static MessageLog& Instance();
  // The sink given to the library.
  static int32_t Sink(const char* message);

  // Lines arrive in `pane` (on its thread) from now on; null detaches.
  void Attach(QPlainTextEdit* pane);
  // A position in the stream of lines, and what the library said after it
  // (without its OPEN and CLOSE notes), as the reason of a failure.
  size_t Mark();
  std::string ReasonSince(size_t mark, const char* otherwise = "the library gave no reason");

 private:
  void Add(std::string line);

  std::mutex mutex_;
  std::vector<std::string> lines_;  // the last ones
  size_t dropped_ = 0;              // lines no longer kept before lines_[0]
  QPlainTextEdit* pane_ = nullptr;  // detached before it is deleted
};

// Continuous images of one port. The completion callback copies each finished
// image row by row into a back buffer and swaps it with the pending one; the
// GUI thread takes the pending image when its queued `arrived` signal comes.
// An image replaced before the GUI took it is counted as dropped: the picture
// always shows the newest image and never falls behind the camera.
class FrameStream : public QObject {
  Q_OBJECT

 public:
  explicit FrameStream(QObject* parent = nullptr);
  ~FrameStream() override;

  // Starts continuous mode on `port` for images of that size and depth
  // (8, 24 or 32 bits); false when the library refuses.
  bool Start(int32_t port, int width, int height, int bitsPerPixel);
  // Stops continuous mode and removes the callback: when this returns no
  // callback of the stream runs or will run.
  void Stop();
  bool Running() const { return port_.load() >= 0; }

  // On the GUI thread: the newest image, if one came since the last call.
  bool TakeImage(QImage* image);

  int64_t Received() const { return received_.load(std::memory_order_relaxed); }
  int64_t Dropped() const { return dropped_.load(std::memory_order_relaxed); }

 signals:
  void arrived();

 private:
  static int32_t OnComplete(int32_t grabber, int32_t port);
  void Copy();

  static std::atomic<FrameStream*> active_;
  std::atomic<int32_t> port_{-1};
  int width_ = 0, height_ = 0, bytesPerPixel_ = 1;
  QImage::Format format_ = QImage::Format_Grayscale8;
  std::vector<uint8_t> back_;  // the streaming thread's
  std::mutex mutex_;           // guards pending_ and hasPending_
  std::vector<uint8_t> pending_;
  bool hasPending_ = false;
  std::vector<uint8_t> front_;  // the GUI thread's
  std::atomic<int64_t> received_{0}, dropped_{0};
};

// The image scaled to the widget, its aspect kept, centred on black.
class ImageView : public QWidget {
 public:
  explicit ImageView(QWidget* parent = nullptr);
  void SetImage(QImage image);
  const QImage& Image() const { return image_; }
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QImage image_;
};

struct ViewerOptions {
  std::string settingsDir;  // handed to initialize
  std::string camera;       // a name or an index; empty: the first camera
};

class Viewer : public QMainWindow {
 public:
  explicit Viewer(ViewerOptions options, QWidget* parent = nullptr);
  ~Viewer() override;

  // Opens the camera the options name and starts the picture; false (and the
  // reason in the status bar and the log) when it cannot.
  bool Start();
  // Stops the picture and frees the port.
  void CloseCamera();
  // Opens camera `index` of the library's list; false when it cannot.
  bool OpenCamera(int index);

  // Switches the open camera between 24-bit colour and 8-bit grey images.
  bool SetColour(bool on);
  // The picture shown now, as a PNG file; false (and why) when it cannot.
  bool SaveSnapshot(const QString& path);
  bool SaveImage(const QImage& image, const QString& path);
  // The configuration dialog, or the property sheet of the open camera: the
  // port is freed while it runs (its Source pages need the camera to
  // itself) and opened again afterwards, so what was chosen shows at once.
  void RunConfiguration(bool sheet);

  // Takes the pending image onto the screen (the `arrived` signal's slot).
  void ShowNewImage();
  // Frames per second and dropped images in the status bar.
  void UpdateStatus();

  const std::vector<std::string>& Cameras() const { return cameras_; }
  const std::string& CameraName() const { return camera_; }
  ImageView* View() const { return view_; }
  FrameStream& Stream() { return stream_; }
  int64_t Shown() const { return shown_; }
  static constexpr int32_t kPort = 0;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildProperties();
  void Report(const QString& text);
  void ShowFormat();
  int IndexOf(const std::string& nameOrIndex) const;

  ViewerOptions options_;
  std::vector<std::string> cameras_;
  std::string camera_;  // the open camera's name, empty when none
  int width_ = 0, height_ = 0, bits_ = 0;
  FrameStream stream_;
  int64_t shown_ = 0;
  int64_t lastReceived_ = 0;
  qint64 lastTick_ = 0;
  QElapsedTimer clock_;

  ImageView* view_ = nullptr;
  QComboBox* cameraList_ = nullptr;
  QAction* colour_ = nullptr;
  QScrollArea* propertyArea_ = nullptr;
  QPlainTextEdit* log_ = nullptr;
  QLabel* formatLabel_ = nullptr;
  QLabel* fpsLabel_ = nullptr;
  QLabel* droppedLabel_ = nullptr;
};

// The 23 camera properties the library knows by name.
extern const char* const kPropertyNames[23];

}  // namespace kelvane::view
