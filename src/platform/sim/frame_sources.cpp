// The simulated cameras' frame sources: test pattern, file playback, still
// picture, and the one factory that builds them from a bus description.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/factory.h"
#include "platform/sim/frame_source.h"
#include "platform/sim/internal.h"

namespace kelvane::sim {

namespace {

bool FitsRequest(const FrameRequest& r, std::span<const uint8_t> out) {
  return r.width > 0 && r.height > 0 && out.size() == FrameBytes(r.layout, r.width, r.height);
}

void SayNotRegular(const std::string& camera, const std::string& path) {
  platform::PlatformMessage(
      ("Simulated camera " + camera + ": frame source " + path + ": not a regular file; sending the test pattern\r\n")
          .c_str());
}

}  // namespace

// ---- test pattern -----------------------------------------------------------------------------------

bool PatternSource::Fill(const FrameRequest& r, std::span<uint8_t> out) {
  if (!FitsRequest(r, out)) return false;
  if (blankEvery_ > 0 && r.index % blankEvery_ == blankEvery_ - 1)
    RenderBlank(r.layout, r.width, r.height, out.data());
  else
    RenderPattern(r.layout, r.width, r.height, r.index, r.bayer, out.data());
  return true;
}

// ---- file playback ----------------------------------------------------------------------------------

FileSource::FileSource(std::string path, std::string camera, std::unique_ptr<FrameSource> fallback)
    : path_(std::move(path)), camera_(std::move(camera)), fallback_(std::move(fallback)) {}

FileSource::~FileSource() {
  if (fd_ >= 0) ::close(fd_);
}

bool FileSource::Fill(const FrameRequest& r, std::span<uint8_t> out) {
  if (!FitsRequest(r, out)) return false;
  if (Read(out)) {
    ++position_;
    return true;
  }
  return fallback_ && fallback_->Fill(r, out);
}

void FileSource::Restart() {
  position_ = 0;
  if (fallback_) fallback_->Restart();
}

// Reads the frame at the playback position (from the start again after the
// last whole frame) into `out`. False when the file cannot give one.
bool FileSource::Read(std::span<uint8_t> out) {
  const size_t bytes = out.size();
  if (refused_ || bytes == 0) return false;
  if (fd_ < 0) {
    fd_ = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) return false;  // perhaps later: a missing file is tried again at the next frame
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd_);
      fd_ = -1;
      refused_ = true;
      SayNotRegular(camera_, path_);
      return false;
    }
  }
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return false;
  const int64_t frames = static_cast<int64_t>(st.st_size) / static_cast<int64_t>(bytes);
  if (frames <= 0) return false;
  off_t offset = static_cast<off_t>(position_ % frames * static_cast<int64_t>(bytes));
  size_t done = 0;
  while (done < bytes) {
    const ssize_t n = ::pread(fd_, out.data() + done, bytes - done, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
    offset += n;
  }
  return true;
}

// ---- still picture ----------------------------------------------------------------------------------

bool StillSource::Fill(const FrameRequest& r, std::span<uint8_t> out) {
  if (!FitsRequest(r, out)) return false;
  if (!Repeats(r)) {
    held_ = false;
    picture_.resize(out.size());
    if (!inner_->Fill(r, picture_)) return false;
    kept_ = r;
    held_ = true;
  }
  std::copy(picture_.begin(), picture_.end(), out.begin());
  return true;
}

void StillSource::Restart() {
  held_ = false;
  inner_->Restart();
}

// ---- factory ----------------------------------------------------------------------------------------

std::unique_ptr<FrameSource> MakeFrameSource(const SourceDesc& desc, const std::string& camera) {
  std::unique_ptr<FrameSource> source = std::make_unique<PatternSource>(desc.blankEvery);
  if (!desc.file.empty()) source = std::make_unique<FileSource>(desc.file, camera, std::move(source));
  if (desc.still) source = std::make_unique<StillSource>(std::move(source));
  return source;
}

}  // namespace kelvane::sim
