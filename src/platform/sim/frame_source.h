// Where a simulated camera's pictures come from: the moving test pattern,
// frames played from a file, or a still picture made once. A camera holds one
// source and asks it for each frame in the byte layout it sends (a Motion-JPEG
// camera asks for RGB24 and encodes it itself). Sources know nothing of the
// camera they serve, so any simulated device can use them.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/com.h"

namespace kelvane::sim {

// The order of a Bayer sensor's colour sites, read from its top-left 2x2 block.
enum class BayerPattern { RGGB, GRBG, GBRG, BGGR };

// One frame a device asks its source for.
struct FrameRequest {
  platform::GUID layout;  // byte layout of the picture (framework::FrameBytes gives its size)
  int32_t width = 0, height = 0;
  int64_t index = 0;                        // the device's frame number, from 0
  BayerPattern bayer = BayerPattern::RGGB;  // the sensor's site order, for raw layouts

  // The same picture asked for again, whatever its frame number.
  bool SamePicture(const FrameRequest& other) const {
    return layout == other.layout && width == other.width && height == other.height && bayer == other.bayer;
  }
};

class FrameSource {
 public:
  virtual ~FrameSource() = default;

  // Fills `out` with the frame `request` asks for and returns true; false
  // when this source has none for it. `out` must be exactly the request's
  // frame size: any other size is refused without a byte written.
  virtual bool Fill(const FrameRequest& request, std::span<uint8_t> out) = 0;

  // True when Fill would give `request` the very bytes it gave last (a still
  // picture whose request has not changed): a device whose buffer still holds
  // them may skip Fill, and any encoding after it.
  virtual bool Repeats(const FrameRequest&) const { return false; }

  // The stream starts over (a new connection): playback from its first frame,
  // a still picture made afresh.
  virtual void Restart() {}
};

// The moving test pattern, a pure function of the frame number; with
// `blankEvery` n > 0, every n-th frame (numbers n-1, 2n-1, ...) is black
// instead, as a camera's dark frames are.
class PatternSource final : public FrameSource {
 public:
  explicit PatternSource(int32_t blankEvery = 0) : blankEvery_(blankEvery) {}
  bool Fill(const FrameRequest& request, std::span<uint8_t> out) override;

 private:
  int32_t blankEvery_;
};

// Raw frames from a file, one after another in the request's layout, from the
// first again after the last whole one. The playback position moves only when
// a frame was read, whatever the request's frame number. A frame the file
// cannot give (missing, unreadable, shorter than one frame) comes from
// `fallback` instead; a missing file is tried again at the next frame.
//
// The file is opened without blocking and read only when it is a regular
// file: a named pipe would hold the streaming thread, and every Stop waiting
// for it, until some writer came. Such a file is refused for good, and said
// once through the platform's message sink, naming the simulated `camera`.
class FileSource final : public FrameSource {
 public:
  FileSource(std::string path, std::string camera, std::unique_ptr<FrameSource> fallback);
  ~FileSource() override;
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;

  bool Fill(const FrameRequest& request, std::span<uint8_t> out) override;
  void Restart() override;

 private:
  bool Read(std::span<uint8_t> out);

  std::string path_, camera_;
  std::unique_ptr<FrameSource> fallback_;
  int fd_ = -1;
  bool refused_ = false;
  int64_t position_ = 0;  // the next frame of the file to play
};

// A frozen picture: the first frame `inner` gives, given again for every
// request of the same picture (layout, size, site order); a request of another
// picture takes a new one from `inner` and keeps that.
class StillSource final : public FrameSource {
 public:
  explicit StillSource(std::unique_ptr<FrameSource> inner) : inner_(std::move(inner)) {}
  bool Fill(const FrameRequest& request, std::span<uint8_t> out) override;
  bool Repeats(const FrameRequest& request) const override { return held_ && request.SamePicture(kept_); }
  void Restart() override;

 private:
  std::unique_ptr<FrameSource> inner_;
  bool held_ = false;  // `picture_` holds the picture of `kept_`
  FrameRequest kept_;
  std::vector<uint8_t> picture_;
};

struct SourceDesc;

// The source a bus description's "source" object describes, for the camera
// named `camera`.
std::unique_ptr<FrameSource> MakeFrameSource(const SourceDesc& desc, const std::string& camera);

}  // namespace kelvane::sim
