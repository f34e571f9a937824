// kelvane-view: watch a camera live through the grabber library, adjust its
// properties, save snapshots and open the library's configuration windows.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <QApplication>
#include <QElapsedTimer>
#include <QStatusBar>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "kelvane/grabber.h"
#include "viewer.h"

namespace {

// Exit codes as kelvane-grab has them: done; an image or picture not written;
// a wrong command line; the library, camera or display cannot be used.
constexpr int kExitOk = 0;
constexpr int kExitIncomplete = 1;
constexpr int kExitUnusable = 3;

int Fail(int code, const std::string& text) {
  std::fprintf(stderr, "kelvane-view: %s\n", text.c_str());
  return code;
}

// The directory --settings names, or one for this run only.
class SettingsDirectory {
 public:
  explicit SettingsDirectory(const std::string& named) : path_(named) {
    if (!path_.empty()) return;
    std::string pattern = (std::filesystem::temp_directory_path() / "kelvane-view-XXXXXX").string();
    if (::mkdtemp(pattern.data())) {
      path_ = pattern;
      temporary_ = true;
    }
  }
  ~SettingsDirectory() {
    std::error_code error;
    if (temporary_) std::filesystem::remove_all(path_, error);
  }
  SettingsDirectory(const SettingsDirectory&) = delete;
  SettingsDirectory& operator=(const SettingsDirectory&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  bool temporary_ = false;
};

bool HasDisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
    if (const char* value = std::getenv(name); value && *value) return true;
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Shows a camera live through the Kelvane library: its picture, frames per second and dropped images, "
      "sliders for its properties, snapshots to PNG and the library's configuration windows.",
      "kelvane-view"};
  app.set_help_flag("-h,--help", "Show this help and exit");
  app.set_version_flag("--version", std::string("kelvane-view ") + KELVANE_VERSION_STRING);
  std::string settingsArg, camera, snapshot, screenshot;
  app.add_option("--settings", settingsArg,
                 "Directory of the settings file Kelvane.ini: what the configuration windows change is kept there. "
                 "Without it, it holds for this run only and no file is left behind")
      ->check(CLI::ExistingDirectory);
  app.add_option("--camera", camera, "Camera by name or index (default: the first)")->type_name("NAME|N");
  auto* snapshotOption =
      app.add_option("--snapshot", snapshot, "Save the first image shown as a PNG file and exit (for scripts)")
          ->type_name("PATH");
  app.add_option("--screenshot", screenshot,
                 "Save a picture of the whole window as a PNG file after two seconds of live video and exit")
      ->type_name("PATH")
      ->excludes(snapshotOption);
  app.footer(
      "Exit status: 0 done; 1 the snapshot or screenshot was not written; 2 a wrong command line; 3 no display, no "
      "camera, or the camera cannot be opened. Without a display set QT_QPA_PLATFORM=offscreen (with --snapshot or "
      "--screenshot). The library uses the simulated bus or V4L2 cameras as $KELVANE_BACKEND says.");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);  // help and version on stdout, errors on stderr
  }
  // Without a display Qt would end the process with a message of its own.
  if (!HasDisplay())
    return Fail(kExitUnusable, "no display: set DISPLAY, or QT_QPA_PLATFORM=offscreen to run without one");

  const SettingsDirectory settingsDir(settingsArg);
  if (settingsDir.Path().empty()) return Fail(kExitUnusable, "cannot make a settings directory for this run");

  // Qt sees no arguments of ours; its own options come from the environment.
  int qtArgc = 1;
  char* qtArgv[] = {argv[0], nullptr};
  QApplication application(qtArgc, qtArgv);
  kelvane::view::Viewer viewer({settingsDir.Path(), camera});
  viewer.show();
  if (!viewer.Start() && (!snapshot.empty() || !screenshot.empty()))
    return Fail(kExitUnusable, viewer.statusBar()->currentMessage().toStdString());

  int status = kExitOk;
  const std::string target = snapshot.empty() ? screenshot : snapshot;
  if (!target.empty()) {
    // Scripted: wait for the picture, save it, quit; no picture for 10 s fails.
    QElapsedTimer clock;
    clock.start();
    auto* poll = new QTimer(&viewer);
    QObject::connect(poll, &QTimer::timeout, &viewer, [&] {
      const bool enough = snapshot.empty() ? viewer.Shown() > 0 && clock.elapsed() >= 2500 : viewer.Shown() > 0;
      if (!enough && clock.elapsed() < 10000) return;
      poll->stop();
      const QString path = QString::fromStdString(target);
      if (!enough) {
        status = Fail(kExitIncomplete, "no picture from " + viewer.CameraName() + " within 10 s");
      } else if (!snapshot.empty()) {
        if (!viewer.SaveSnapshot(path))
          status = Fail(kExitIncomplete, viewer.statusBar()->currentMessage().toStdString());
      } else {
        if (!viewer.grab().save(path, "png")) status = Fail(kExitIncomplete, "cannot write " + target);
      }
      viewer.close();
    });
    poll->start(50);
  }
  application.exec();
  return status;
}
