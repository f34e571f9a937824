// The camera lock keeps a camera to one holder: another process, or another
// open of the same lock in this process (a second loaded copy of the library),
// cannot take it; it is free again once released or once its holder died.
#include "host/camera_lock.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "host/state.h"
#include "host_fixture.h"

namespace kelvane::host {

void PrintTo(CameraLock::Result r, std::ostream* out) {
  *out << (r == CameraLock::Result::Taken           ? "Taken"
           : r == CameraLock::Result::HeldElsewhere ? "HeldElsewhere"
                                                    : "Error");
}

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

using Result = CameraLock::Result;

// Runs `body` in a forked child as the unprivileged user "nobody" (only root
// can switch users); true when it returned true there.
bool AsNobody(const std::function<bool()>& body) {
  const passwd* nobody = getpwnam("nobody");
  if (!nobody) return false;
  const uid_t uid = nobody->pw_uid;
  const gid_t gid = nobody->pw_gid;
  pid_t pid = fork();
  if (pid == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) _exit(3);
    _exit(body() ? 0 : 1);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

mode_t ModeOf(const std::filesystem::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

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

// The lock directory is shared by every user's hosts: whatever the umask of the
// host that created a lock file, every other user can take it later.
TEST_F(CameraLockTest, LockFilesAreUsableByEveryUserWhateverTheUmask) {
  const mode_t saved = umask(077);
  CameraLock lock;
  const Result taken = lock.TryAcquire(2, nullptr);
  umask(saved);
  ASSERT_EQ(taken, Result::Taken);
  EXPECT_EQ(ModeOf(dir_), 01777u);
  EXPECT_EQ(ModeOf(dir_ / CameraLockName(2)), 0666u);
  if (geteuid() != 0) return;  // the rest needs a second user
  EXPECT_TRUE(AsNobody([] { return CameraLock().TryAcquire(2, nullptr) == Result::HeldElsewhere; }));
  EXPECT_TRUE(lock.Release());
  EXPECT_TRUE(AsNobody([] { return CameraLock().TryAcquire(2, nullptr) == Result::Taken; }));
  EXPECT_EQ(lock.TryAcquire(2, nullptr), Result::Taken);  // and back: the file stays usable by its creator
}

// A child forked without exec shares its parent's open files, but never its
// camera locks: once the parent released a camera, others can take it while
// the child still runs.
TEST_F(CameraLockTest, AForkedChildDoesNotKeepTheParentsLock) {
  CameraLock lock;
  ASSERT_EQ(lock.TryAcquire(5, nullptr), Result::Taken);
  int ready[2], hold[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(hold), 0);
  pid_t child = fork();
  if (child == 0) {
    close(ready[0]);
    close(hold[1]);
    // The child's copy of the lock is gone, and giving it back closes nothing
    // of the child's own, even a file that got the lock's descriptor number.
    const int reused = open("/dev/null", O_RDONLY);
    char held = lock.Held() || lock.Release() || fcntl(reused, F_GETFD) == -1 ? 'y' : 'n';
    if (write(ready[1], &held, 1) != 1) _exit(2);
    char c;
    while (read(hold[0], &c, 1) > 0) {
    }  // runs until the parent closes its end
    _exit(0);
  }
  ASSERT_GT(child, 0);
  close(ready[1]);
  close(hold[0]);
  char held = 0;
  EXPECT_EQ(read(ready[0], &held, 1), 1);
  EXPECT_EQ(held, 'n');  // the child does not count itself a holder either
  EXPECT_TRUE(lock.Release());
  CameraLock other;
  EXPECT_EQ(other.TryAcquire(5, nullptr), Result::Taken);
  close(hold[1]);
  close(ready[0]);
  int status = 0;
  EXPECT_EQ(waitpid(child, &status, 0), child);
}

TEST_F(CameraLockTest, UnusableDirectoryIsAnErrorWithAReason) {
  setenv("KELVANE_LOCK_DIR", "/proc/kelvane-no-such-dir", 1);
  CameraLock lock;
  std::string error;
  EXPECT_EQ(lock.TryAcquire(0, &error), CameraLock::Result::Error);
  EXPECT_NE(error.find("/proc/kelvane-no-such-dir"), std::string::npos);
}

// The lock directory is machine-wide where the system offers one, so that
// hosts with a private /tmp still exclude each other; a system directory
// counts only when every user may create files in it, so that every user's
// hosts choose the same one.
struct DirectoryCase {
  const char* name;
  const char* overrideDir;  // KELVANE_LOCK_DIR
  const char* first;        // how the first candidate's parent looks: "" missing, "dir 1777", "dir 755", "file",
                            // "link" (to a 1777 directory), "dir 755 + kelvane 1777"
  const char* second;
  const char* expected;  // "override", "first", "second" or "fallback"
};

const DirectoryCase kDirectoryCases[] = {
    {"OverrideWins", "/somewhere/locks", "dir 1777", "dir 1777", "override"},
    {"EmptyOverrideIsUnset", "", "dir 1777", "dir 1777", "first"},
    {"FirstSharedDirectory", nullptr, "dir 1777", "dir 1777", "first"},
    {"MissingFirstParent", nullptr, "", "dir 1777", "second"},
    {"FirstParentOnlyItsOwnerMayWrite", nullptr, "dir 755", "dir 1777", "second"},
    {"FirstParentIsAFile", nullptr, "file", "dir 1777", "second"},
    {"FirstParentIsALinkToASharedDirectory", nullptr, "link", "", "first"},
    {"PreparedSharedLockDirectory", nullptr, "dir 755 + kelvane 1777", "dir 1777", "first"},
    {"NothingShared", nullptr, "dir 755", "file", "fallback"},
};

TEST_F(CameraLockTest, DirectoryChoice) {
  for (const DirectoryCase& row : kDirectoryCases) {
    SCOPED_TRACE(row.name);
    const std::filesystem::path root = dir_ / row.name;
    std::filesystem::create_directories(root / "target");
    ::chmod((root / "target").c_str(), 01777);
    auto make = [&](const std::string& parent, const std::string& how) {
      const std::filesystem::path p = root / parent;
      if (how.rfind("dir", 0) == 0) {
        std::filesystem::create_directory(p);
        ::chmod(p.c_str(), how.rfind("dir 1777", 0) == 0 ? 01777 : 0755);
        if (how.find("+ kelvane") != std::string::npos) {
          std::filesystem::create_directory(p / "kelvane");
          ::chmod((p / "kelvane").c_str(), 01777);
        }
      } else if (how == "file") {
        std::ofstream(p).put('x');
        ::chmod(p.c_str(), 0777);
      } else if (how == "link") {
        std::filesystem::create_directory_symlink(root / "target", p);
      }
    };
    make("first", row.first);
    make("second", row.second);
    const std::string first = (root / "first").string(), second = (root / "second").string();
    const std::string firstLocks = first + "/kelvane", secondLocks = second + "/kelvane";
    const LockDirectoryCandidate candidates[] = {{first.c_str(), firstLocks.c_str()},
                                                 {second.c_str(), secondLocks.c_str()}};
    const std::string expected = std::string(row.expected) == "override" ? row.overrideDir
                                 : std::string(row.expected) == "first"  ? firstLocks
                                 : std::string(row.expected) == "second" ? secondLocks
                                                                         : "/tmp/fallback-locks";
    EXPECT_EQ(PickCameraLockDirectory(row.overrideDir, candidates, "/tmp/fallback-locks"), expected);
  }
}

}  // namespace
}  // namespace kelvane::host

// A refused open says who has the camera, through the host's message sink.
namespace kelvane::testing {
namespace {

enum class Holder { OtherProcess, SecondCopy, NoProcessId, GoneProcess };

struct RefusalCase {
  const char* name;
  Holder holder;
  const char* text;  // after "<camera>: "; the holder's id follows for OtherProcess
};

void PrintTo(const RefusalCase& c, std::ostream* out) { *out << c.name; }

class RefusedOpenTest : public HostTest, public ::testing::WithParamInterface<RefusalCase> {};

// Holds the lock file with a bare flock, as a holder that has not written its
// id yet does; `content` is what the file says.
int HoldBare(const std::string& path, const std::string& content) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::ftruncate(fd, 0) != 0) return -1;
  if (::write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) return -1;
  return fd;
}

TEST_P(RefusedOpenTest, NamesTheHolder) {
  const RefusalCase& row = GetParam();
  Initialize();
  const int index = host::FindCamera(kColour.config);
  ASSERT_GE(index, 0);
  const std::string path = host::CameraLockDirectory() + "/" + host::CameraLockName(index);
  host::CameraLock copy;
  int bare = -1, release[2] = {-1, -1};
  pid_t pid = -1;
  switch (row.holder) {
    case Holder::OtherProcess: {
      int ready[2];
      ASSERT_EQ(pipe(ready), 0);
      ASSERT_EQ(pipe(release), 0);
      pid = fork();
      if (pid == 0) {
        host::CameraLock lock;
        char ok = lock.TryAcquire(index, nullptr) == host::CameraLock::Result::Taken ? 'y' : 'n';
        if (write(ready[1], &ok, 1) != 1) _exit(2);
        close(release[1]);
        char c;
        while (read(release[0], &c, 1) > 0) {
        }  // holds the lock until the parent closes its end
        _exit(0);
      }
      close(ready[1]);
      close(release[0]);
      char ok = 0;
      ASSERT_EQ(read(ready[0], &ok, 1), 1);
      ASSERT_EQ(ok, 'y');
      close(ready[0]);
      break;
    }
    case Holder::SecondCopy:  // another open of the lock in this process, as a second loaded copy makes
      ASSERT_EQ(copy.TryAcquire(index, nullptr), host::CameraLock::Result::Taken);
      break;
    case Holder::NoProcessId:
      bare = HoldBare(path, "");
      break;
    case Holder::GoneProcess: {  // a killed holder's id, left in the file
      pid_t gone = fork();
      if (gone == 0) _exit(0);
      int status = 0;
      ASSERT_EQ(waitpid(gone, &status, 0), gone);
      bare = HoldBare(path, std::to_string(gone) + "\n");
      break;
    }
  }
  if (row.holder == Holder::NoProcessId || row.holder == Holder::GoneProcess) {
    ASSERT_GE(bare, 0);
  }

  EXPECT_EQ(Open(0, kColour), 0);
  std::string expected = std::string(kColour.config) + ": " + row.text;
  if (row.holder == Holder::OtherProcess) expected += std::to_string(pid);
  EXPECT_TRUE(Logged(expected + "\r\n")) << expected;
  EXPECT_FALSE(LoggedContaining("OPEN"));

  if (pid > 0) {
    close(release[1]);
    int status = 0;
    waitpid(pid, &status, 0);
  }
  if (bare >= 0) close(bare);
  copy.Release();
  EXPECT_EQ(Open(0, kColour), 1);  // free again once its holder let go
}

INSTANTIATE_TEST_SUITE_P(
    Holders, RefusedOpenTest,
    ::testing::Values(RefusalCase{"OtherProcess", Holder::OtherProcess, "camera in use by process "},
                      RefusalCase{"SecondCopy", Holder::SecondCopy,
                                  "camera in use by another copy of the library in this process"},
                      RefusalCase{"NoProcessId", Holder::NoProcessId, "camera in use by another process"},
                      RefusalCase{"GoneProcess", Holder::GoneProcess, "camera in use by another process"}),
    [](const ::testing::TestParamInfo<RefusalCase>& param) { return param.param.name; });

}  // namespace
}  // namespace kelvane::testing
