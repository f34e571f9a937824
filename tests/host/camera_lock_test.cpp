// The camera lock keeps a camera to one holder: another process, or another
// open of the same lock in this process (a second loaded copy of the library),
// cannot take it; it is free again once released or once its holder died.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "host/camera_lock.h"

namespace kelvane::host {
namespace {

class CameraLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("kelvane-lock-test-" + std::to_string(getpid()));
    setenv("KELVANE_LOCK_DIR", dir_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("KELVANE_LOCK_DIR");
    std::filesystem::remove_all(dir_);
  }
  std::filesystem::path dir_;
};

TEST_F(CameraLockTest, NamesFollowTheCameraIndex) {
  EXPECT_EQ(CameraLockName(0), "MARLUNE : KELVANE MUX.0.0");
  EXPECT_EQ(CameraLockName(24), "MARLUNE : KELVANE MUX.0.24");
}

TEST_F(CameraLockTest, SecondHolderInTheSameProcessIsRefusedUntilRelease) {
  CameraLock first, second, other;
  ASSERT_EQ(first.TryAcquire(3, nullptr), CameraLock::Result::Taken);
  EXPECT_EQ(second.TryAcquire(3, nullptr), CameraLock::Result::HeldElsewhere);
  EXPECT_FALSE(second.Held());
  EXPECT_EQ(other.TryAcquire(4, nullptr), CameraLock::Result::Taken);  // locks are per camera
  EXPECT_TRUE(first.Release());
  EXPECT_FALSE(first.Release());
  EXPECT_EQ(second.TryAcquire(3, nullptr), CameraLock::Result::Taken);
}

// Runs a child that takes the lock of camera 1 and then waits; returns its pid
// once it holds the lock.
pid_t StartHolder() {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    close(ready[0]);
    CameraLock lock;
    char ok = lock.TryAcquire(1, nullptr) == CameraLock::Result::Taken ? 'y' : 'n';
    if (write(ready[1], &ok, 1) != 1) _exit(2);
    for (;;) pause();  // holds the lock until killed
  }
  close(ready[1]);
  char ok = 0;
  ssize_t n = read(ready[0], &ok, 1);
  close(ready[0]);
  return n == 1 && ok == 'y' ? pid : -1;
}

TEST_F(CameraLockTest, AnotherProcessCannotTakeItAndAKilledHolderFreesIt) {
  pid_t holder = StartHolder();
  ASSERT_GT(holder, 0);
  CameraLock mine;
  EXPECT_EQ(mine.TryAcquire(1, nullptr), CameraLock::Result::HeldElsewhere);
  kill(holder, SIGKILL);
  int status = 0;
  waitpid(holder, &status, 0);
  EXPECT_EQ(mine.TryAcquire(1, nullptr), CameraLock::Result::Taken);
}

TEST_F(CameraLockTest, UnusableDirectoryIsAnErrorWithAReason) {
  setenv("KELVANE_LOCK_DIR", "/proc/kelvane-no-such-dir", 1);
  CameraLock lock;
  std::string error;
  EXPECT_EQ(lock.TryAcquire(0, &error), CameraLock::Result::Error);
  EXPECT_NE(error.find("/proc/kelvane-no-such-dir"), std::string::npos);
}

}  // namespace
}  // namespace kelvane::host
