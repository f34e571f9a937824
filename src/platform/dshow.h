// The capture framework's and the IEEE 1394 camera driver's interfaces, as the
// capture and host code call them. Only the operations the system uses are
// declared. A backend (the simulated platform, or a real one) implements them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/com.h"

namespace kelvane::platform {

using REFERENCE_TIME = int64_t;  // 100-ns units

// ---- media types -------------------------------------------------------------------------------

struct RECT {
  int32_t left = 0, top = 0, right = 0, bottom = 0;
};
struct SIZE {
  int32_t cx = 0, cy = 0;
};

struct BITMAPINFOHEADER {
  uint32_t biSize = 40;
  int32_t biWidth = 0;
  int32_t biHeight = 0;  // negative: top-down RGB
  uint16_t biPlanes = 1;
  uint16_t biBitCount = 0;
  uint32_t biCompression = 0;
  uint32_t biSizeImage = 0;
  int32_t biXPelsPerMeter = 0;
  int32_t biYPelsPerMeter = 0;
  uint32_t biClrUsed = 0;
  uint32_t biClrImportant = 0;
};

struct VIDEOINFOHEADER {
  RECT rcSource;
  RECT rcTarget;
  uint32_t dwBitRate = 0;
  uint32_t dwBitErrorRate = 0;
  REFERENCE_TIME AvgTimePerFrame = 0;
  BITMAPINFOHEADER bmiHeader;
};

struct AM_MEDIA_TYPE {
  GUID majortype;
  GUID subtype;
  int32_t bFixedSizeSamples = 1;
  int32_t bTemporalCompression = 0;
  uint32_t lSampleSize = 0;
  GUID formattype;
  IUnknown* pUnk = nullptr;
  uint32_t cbFormat = 0;
  uint8_t* pbFormat = nullptr;  // task memory; a VIDEOINFOHEADER for FORMAT_VideoInfo
};

// Frees a media type's contents (format block, object), leaving the structure.
void FreeMediaType(AM_MEDIA_TYPE& mt);
// Frees the contents and the structure (task memory). Null is ignored.
void DeleteMediaType(AM_MEDIA_TYPE* mt);
// Deep copy into task memory; the caller frees with DeleteMediaType.
AM_MEDIA_TYPE* CreateMediaType(const AM_MEDIA_TYPE& source);
// Deep copy of contents into an existing structure; free with FreeMediaType.
HRESULT CopyMediaType(AM_MEDIA_TYPE& target, const AM_MEDIA_TYPE& source);
// The VIDEOINFOHEADER of a FORMAT_VideoInfo media type, or null.
VIDEOINFOHEADER* VideoInfo(const AM_MEDIA_TYPE& mt);

// The one owner of a media type's contents: a deep copy, freed on destruction.
// Fill one through Out() (a pin's ConnectionMediaType, a grabber's
// GetConnectedMediaType), and every branch frees it.
class MediaType {
 public:
  MediaType() = default;
  explicit MediaType(const AM_MEDIA_TYPE& mt) { CopyMediaType(mt_, mt); }
  MediaType(const MediaType& o) { CopyMediaType(mt_, o.mt_); }
  MediaType& operator=(const MediaType& o) {
    if (this != &o) {
      FreeMediaType(mt_);
      CopyMediaType(mt_, o.mt_);
    }
    return *this;
  }
  ~MediaType() { FreeMediaType(mt_); }
  // Takes over the contents of mt (which is left empty).
  static MediaType Adopt(AM_MEDIA_TYPE& mt) {
    MediaType m;
    m.mt_ = mt;
    mt = AM_MEDIA_TYPE{};
    return m;
  }
  // The structure to fill, its old contents freed first.
  AM_MEDIA_TYPE* Out() {
    FreeMediaType(mt_);
    mt_ = AM_MEDIA_TYPE{};
    return &mt_;
  }
  const AM_MEDIA_TYPE& Get() const { return mt_; }
  AM_MEDIA_TYPE& Get() { return mt_; }
  const VIDEOINFOHEADER* Video() const { return VideoInfo(mt_); }

 private:
  AM_MEDIA_TYPE mt_;
};

// A media type handed out in task memory (GetFormat, GetStreamCaps), deleted
// however the step ends.
struct MediaTypeDeleter {
  void operator()(AM_MEDIA_TYPE* mt) const { DeleteMediaType(mt); }
};
using MediaTypePtr = std::unique_ptr<AM_MEDIA_TYPE, MediaTypeDeleter>;

struct VIDEO_STREAM_CONFIG_CAPS {  // 128 bytes, as the framework lays it out
  GUID guid;
  uint32_t VideoStandard = 0;
  SIZE InputSize;
  SIZE MinCroppingSize;
  SIZE MaxCroppingSize;
  int32_t CropGranularityX = 0;
  int32_t CropGranularityY = 0;
  int32_t CropAlignX = 0;
  int32_t CropAlignY = 0;
  SIZE MinOutputSize;
  SIZE MaxOutputSize;
  int32_t OutputGranularityX = 0;
  int32_t OutputGranularityY = 0;
  int32_t StretchTapsX = 0;
  int32_t StretchTapsY = 0;
  int32_t ShrinkTapsX = 0;
  int32_t ShrinkTapsY = 0;
  int64_t MinFrameInterval = 0;
  int64_t MaxFrameInterval = 0;
  int32_t MinBitsPerSecond = 0;
  int32_t MaxBitsPerSecond = 0;
};
static_assert(sizeof(VIDEO_STREAM_CONFIG_CAPS) == 128);

// ---- identifiers ----------------------------------------------------------------------------------

inline constexpr CLSID CLSID_SystemDeviceEnum{0x62BE5D10, 0x60EB, 0x11D0, {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
inline constexpr CLSID CLSID_VideoInputDeviceCategory{0x860BB310, 0x5D01, 0x11D0, {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
inline constexpr CLSID CLSID_LegacyAmFilterCategory{0x083863F1, 0x70DE, 0x11D0, {0xBD, 0x40, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
inline constexpr CLSID CLSID_FilterGraph{0xE436EBB3, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr CLSID CLSID_CaptureGraphBuilder2{0xBF87B6E1, 0x8C27, 0x11D0, {0xB3, 0xF0, 0x00, 0xAA, 0x00, 0x37, 0x61, 0xC5}};
inline constexpr CLSID CLSID_SampleGrabber{0xC1F400A0, 0x3F08, 0x11D3, {0x9F, 0x0B, 0x00, 0x60, 0x08, 0x03, 0x9E, 0x37}};
inline constexpr CLSID CLSID_NullRenderer{0xC1F400A4, 0x3F08, 0x11D3, {0x9F, 0x0B, 0x00, 0x60, 0x08, 0x03, 0x9E, 0x37}};
inline constexpr GUID PIN_CATEGORY_CAPTURE{0xFB6C4281, 0x0353, 0x11D1, {0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}};
inline constexpr GUID MEDIATYPE_Video{0x73646976, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
inline constexpr GUID FORMAT_VideoInfo{0x05589F80, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};

// Media subtypes the frame pipeline knows.
inline constexpr GUID MEDIASUBTYPE_RGB8{0xE436EB7A, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr GUID MEDIASUBTYPE_RGB24{0xE436EB7D, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr GUID MEDIASUBTYPE_RGB32{0xE436EB7E, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr GUID MEDIASUBTYPE_ARGB32{0x773C9AC0, 0x3274, 0x11D0, {0xB7, 0x24, 0x00, 0xAA, 0x00, 0x6C, 0x1A, 0x01}};
inline constexpr GUID MEDIASUBTYPE_LUMX{0xF6E72551, 0xEEC1, 0x4018, {0x8A, 0xFB, 0x8B, 0xBD, 0x05, 0x35, 0x06, 0x01}};
inline constexpr GUID MEDIASUBTYPE_MO16{0x36316F4D, 0xFB2A, 0x11D3, {0x9B, 0x34, 0x00, 0x10, 0x4B, 0x31, 0x0C, 0x3D}};
inline constexpr GUID MEDIASUBTYPE_Y800 = FourccGuid('Y', '8', '0', '0');
inline constexpr GUID MEDIASUBTYPE_IYUV = FourccGuid('I', 'Y', 'U', 'V');
inline constexpr GUID MEDIASUBTYPE_I420 = FourccGuid('I', '4', '2', '0');
inline constexpr GUID MEDIASUBTYPE_Y411 = FourccGuid('Y', '4', '1', '1');
inline constexpr GUID MEDIASUBTYPE_Y422 = FourccGuid('Y', '4', '2', '2');
inline constexpr GUID MEDIASUBTYPE_YUY2 = FourccGuid('Y', 'U', 'Y', '2');
inline constexpr GUID MEDIASUBTYPE_Y444 = FourccGuid('Y', '4', '4', '4');
inline constexpr GUID MEDIASUBTYPE_UYVY = FourccGuid('U', 'Y', 'V', 'Y');
inline constexpr GUID MEDIASUBTYPE_RAW8 = FourccGuid('R', 'A', 'W', '8');
inline constexpr GUID MEDIASUBTYPE_RAW16 = FourccGuid('R', 'A', 'W', '1');
// Motion-JPEG: every frame a JPEG of its own length. The frame pipeline cannot
// take it; a decompressor turns it into RGB24 first.
inline constexpr GUID MEDIASUBTYPE_MJPG = FourccGuid('M', 'J', 'P', 'G');

// ---- device enumeration ---------------------------------------------------------------------------

struct IPropertyBag : IUnknown {
  static constexpr IID iid{0x55272A00, 0x42CB, 0x11CE, {0x81, 0x35, 0x00, 0xAA, 0x00, 0x4B, 0xB8, 0x51}};
  // Reads a string property (a BSTR on the original platform) as UTF-16.
  virtual HRESULT Read(const char16_t* propertyName, std::u16string* value) = 0;
};

struct IMoniker : IUnknown {
  static constexpr IID iid{0x0000000F, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
  virtual HRESULT BindToStorage(REFIID riid, void** object) = 0;  // IPropertyBag
  virtual HRESULT BindToObject(REFIID riid, void** object) = 0;   // IBaseFilter
};

struct IEnumMoniker : IUnknown {
  static constexpr IID iid{0x00000102, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
  // S_OK when `count` monikers were delivered, S_FALSE when fewer (end of list).
  virtual HRESULT Next(ULONG count, IMoniker** monikers, ULONG* fetched) = 0;
  virtual HRESULT Reset() = 0;
};

struct ICreateDevEnum : IUnknown {
  static constexpr IID iid{0x29840822, 0x5B84, 0x11D0, {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
  // S_OK only for a category that has members; S_FALSE (and no enumerator) for an empty one.
  virtual HRESULT CreateClassEnumerator(REFCLSID category, IEnumMoniker** enumerator, uint32_t flags) = 0;
};

// ---- filters and pins -----------------------------------------------------------------------------

enum PIN_DIRECTION : int32_t { PINDIR_INPUT = 0, PINDIR_OUTPUT = 1 };

struct IBaseFilter;
struct PIN_INFO {
  IBaseFilter* pFilter = nullptr;  // a reference the caller releases
  PIN_DIRECTION dir = PINDIR_INPUT;
  char16_t achName[128] = {};
};

struct IPin : IUnknown {
  static constexpr IID iid{0x56A86891, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
  virtual HRESULT QueryDirection(PIN_DIRECTION* direction) = 0;
  // The connected peer (a new reference), or VFW_E_NOT_CONNECTED.
  virtual HRESULT ConnectedTo(IPin** peer) = 0;
  virtual HRESULT QueryPinInfo(PIN_INFO* info) = 0;
  // Copies the connection's media type into *mt (free with FreeMediaType), or VFW_E_NOT_CONNECTED.
  virtual HRESULT ConnectionMediaType(AM_MEDIA_TYPE* mt) = 0;
};

struct IEnumPins : IUnknown {
  static constexpr IID iid{0x56A86892, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
  virtual HRESULT Next(ULONG count, IPin** pins, ULONG* fetched) = 0;
  virtual HRESULT Reset() = 0;
};

struct IFilterGraph;
struct FILTER_INFO {
  char16_t achName[128] = {};
  IFilterGraph* pGraph = nullptr;  // a reference the caller releases
};

struct IBaseFilter : IUnknown {
  static constexpr IID iid{0x56A86895, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
  virtual HRESULT EnumPins(IEnumPins** pins) = 0;
  virtual HRESULT QueryFilterInfo(FILTER_INFO* info) = 0;
};

// ---- graph ------------------------------------------------------------------------------------------

struct IFilterGraph : IUnknown {
  static constexpr IID iid{0x56A8689F, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
  // A name already taken is made unique by the graph (the result is then VFW_S_DUPLICATE_NAME).
  virtual HRESULT AddFilter(IBaseFilter* filter, const char16_t* name) = 0;
  // Takes a filter out of the graph, breaking its connections (graph stopped).
  virtual HRESULT RemoveFilter(IBaseFilter* filter) = 0;
  virtual HRESULT Disconnect(IPin* pin) = 0;
};

struct IGraphBuilder : IFilterGraph {
  static constexpr IID iid{0x56A868A9, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
  // Intelligent connect: direct, or through converter filters the graph inserts.
  virtual HRESULT Connect(IPin* output, IPin* input) = 0;
};

enum FILTER_STATE : int32_t { State_Stopped = 0, State_Paused = 1, State_Running = 2 };

struct IMediaControl : IUnknown {
  static constexpr IID iid{0x56A868B1, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
  virtual HRESULT Run() = 0;    // S_OK, or S_FALSE while the transition is under way
  virtual HRESULT Pause() = 0;  // may be called from the graph's own streaming thread
  virtual HRESULT Stop() = 0;   // waits for the streaming thread to finish its frame
  // Waits up to timeoutMs for a pending transition; VFW_S_STATE_INTERMEDIATE when it did not finish.
  virtual HRESULT GetState(int32_t timeoutMs, FILTER_STATE* state) = 0;
};

inline constexpr int32_t EC_COMPLETE = 1;
// A device of the graph has left (unplugged): no more frames will come.
inline constexpr int32_t EC_DEVICE_LOST = 0x1F;
inline constexpr int32_t INFINITE_WAIT = -1;

struct IMediaEventEx : IUnknown {
  static constexpr IID iid{0x56A868C0, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
  // Waits up to timeoutMs (INFINITE_WAIT: no limit) for completion; *eventCode 0 on a time-out.
  virtual HRESULT WaitForCompletion(int32_t timeoutMs, int32_t* eventCode) = 0;
  // Takes the next queued event, waiting up to timeoutMs for one; E_ABORT on a time-out.
  virtual HRESULT GetEvent(int32_t* eventCode, intptr_t* param1, intptr_t* param2, int32_t timeoutMs) = 0;
};

// The graph's event sink: what filters (and the library's sample callback) post
// events through. EC_COMPLETE with param1 = the grab's sequence number marks a
// finished image.
struct IMediaEventSink : IUnknown {
  static constexpr IID iid{0x56A868A2, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
  virtual HRESULT Notify(int32_t eventCode, intptr_t param1, intptr_t param2) = 0;
};

struct ICaptureGraphBuilder2 : IUnknown {
  static constexpr IID iid{0x93E5A4E0, 0x2D50, 0x11D2, {0xAB, 0xFA, 0x00, 0xA0, 0xC9, 0xC6, 0xE3, 0x8D}};
  virtual HRESULT SetFiltergraph(IGraphBuilder* graph) = 0;
  virtual HRESULT FindInterface(const GUID* category, const GUID* type, IBaseFilter* filter, REFIID riid,
                                void** object) = 0;
};

struct IMediaSample : IUnknown {
  static constexpr IID iid{0x56A8689A, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
  virtual HRESULT GetPointer(uint8_t** buffer) = 0;
  virtual int32_t GetActualDataLength() = 0;
};

struct ISampleGrabberCB : IUnknown {
  static constexpr IID iid{0x0579154A, 0x2B53, 0x4994, {0xB0, 0xD0, 0xE7, 0x73, 0x14, 0x8E, 0xFF, 0x85}};
  virtual HRESULT SampleCB(double sampleTime, IMediaSample* sample) = 0;
  virtual HRESULT BufferCB(double sampleTime, uint8_t* buffer, int32_t length) = 0;
};

struct ISampleGrabber : IUnknown {
  static constexpr IID iid{0x6B652FFF, 0x11FE, 0x4FCE, {0x92, 0xAD, 0x02, 0x66, 0xB5, 0xD7, 0xC7, 0x8F}};
  // method 0: SampleCB, 1: BufferCB. A null callback removes it.
  virtual HRESULT SetCallback(ISampleGrabberCB* callback, int32_t method) = 0;
  virtual HRESULT GetConnectedMediaType(AM_MEDIA_TYPE* mt) = 0;
};

// ---- stream configuration and camera controls -------------------------------------------------------

struct IAMStreamConfig : IUnknown {
  static constexpr IID iid{0xC6E13340, 0x30AC, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};
  virtual HRESULT SetFormat(AM_MEDIA_TYPE* mt) = 0;
  virtual HRESULT GetFormat(AM_MEDIA_TYPE** mt) = 0;  // free with DeleteMediaType
  virtual HRESULT GetNumberOfCapabilities(int32_t* count, int32_t* size) = 0;
  virtual HRESULT GetStreamCaps(int32_t index, AM_MEDIA_TYPE** mt, uint8_t* caps) = 0;  // caps: 128 bytes
};

inline constexpr int32_t VideoControlFlag_ExternalTriggerEnable = 4;

struct IAMVideoControl : IUnknown {
  static constexpr IID iid{0x6A2E0670, 0x28E4, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};
  virtual HRESULT GetCaps(IPin* pin, int32_t* caps) = 0;
  virtual HRESULT SetMode(IPin* pin, int32_t mode) = 0;
  virtual HRESULT GetMode(IPin* pin, int32_t* mode) = 0;
};

struct IAMVideoProcAmp : IUnknown {
  static constexpr IID iid{0xC6E13360, 0x30AC, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};
  virtual HRESULT GetRange(int32_t property, int32_t* minimum, int32_t* maximum, int32_t* step,
                           int32_t* defaultValue, int32_t* capsFlags) = 0;
  virtual HRESULT Set(int32_t property, int32_t value, int32_t flags) = 0;
  virtual HRESULT Get(int32_t property, int32_t* value, int32_t* flags) = 0;
};

struct IAMCameraControl : IUnknown {
  static constexpr IID iid{0xC6E13370, 0x30AC, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};

  virtual HRESULT GetRange(int32_t property, int32_t* minimum, int32_t* maximum, int32_t* step,
                           int32_t* defaultValue, int32_t* capsFlags) = 0;
  virtual HRESULT Set(int32_t property, int32_t value, int32_t flags) = 0;
  virtual HRESULT Get(int32_t property, int32_t* value, int32_t* flags) = 0;
};

// ---- property pages --------------------------------------------------------------------------------

// A counted array of GUIDs in task memory (the caller frees pElems).
struct CAUUID {
  ULONG cElems = 0;
  GUID* pElems = nullptr;
};

// The property pages an object (a camera filter, its capture pin) publishes,
// as page class identifiers in the order the object lists them.
struct ISpecifyPropertyPages : IUnknown {
  static constexpr IID iid{0xB196B28B, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
  virtual HRESULT GetPages(CAUUID* pages) = 0;
};

// The page classes this platform can show. Pages are built from what the object
// reports through the seam, so every device backend's objects get them:
// the source page edits the camera's properties through its property
// interfaces; the format page chooses the stream format (list entry, frame
// rate, free region, packet size) through the format and stream-configuration
// interfaces.
inline constexpr CLSID CLSID_VideoSourcePropertyPage{0x3F1A6C20, 0x8E41, 0x4B7D, {0x9C, 0x52, 0x61, 0x0E, 0xD4, 0x2A, 0x77, 0x01}};
inline constexpr CLSID CLSID_VideoFormatPropertyPage{0x3F1A6C21, 0x8E41, 0x4B7D, {0x9C, 0x52, 0x61, 0x0E, 0xD4, 0x2A, 0x77, 0x01}};

// Shows one modal property frame for the objects with these pages, owned by
// `owner` (a window of the user interface, or null), at x, y, with the caption
// as its title. Returns when the user closes the frame. The frame itself is
// provided by the user-interface module once it is loaded: without one the
// call returns E_NOTIMPL and shows nothing.
HRESULT OleCreatePropertyFrame(void* owner, int32_t x, int32_t y, const char16_t* caption, ULONG objectCount,
                               IUnknown** objects, ULONG pageCount, const CLSID* pages, uint32_t locale);
using PropertyFrameHandler = std::function<HRESULT(void* owner, int32_t x, int32_t y, const char16_t* caption,
                                                   ULONG objectCount, IUnknown** objects, ULONG pageCount,
                                                   const CLSID* pages)>;
// Installs the frame (null removes it); returns the previous one.
PropertyFrameHandler SetPropertyFrameHandler(PropertyFrameHandler handler);

// What a device backend can say of a device beyond its friendly name, for the
// capability report: lines of "Key: value" (device node, driver, bus, the
// colour-filter layout of raw formats), each ending in "\r\n".
struct IDeviceDescription : IUnknown {
  static constexpr IID iid{0x6B1C2E7A, 0x4F0D, 0x4C55, {0x9A, 0x31, 0x2E, 0x8D, 0x17, 0xC4, 0x5B, 0x60}};
  virtual HRESULT Describe(std::string* text) = 0;
};

// Interfaces the capability report asks a camera filter for; none of their operations is called.
inline constexpr IID IID_IAMAnalogVideoDecoder{0xC6E13350, 0x30AC, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};
inline constexpr IID IID_IAMDroppedFrames{0xC6E13344, 0x30AC, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};
inline constexpr IID IID_IAMExtDevice{0xB5730A90, 0x1A2C, 0x11CF, {0x8C, 0x23, 0x00, 0xAA, 0x00, 0x6B, 0x68, 0x14}};
inline constexpr IID IID_IAMExtTransport{0xA03CD5F0, 0x3045, 0x11CF, {0x8C, 0x44, 0x00, 0xAA, 0x00, 0x6B, 0x68, 0x14}};
inline constexpr IID IID_IAMFilterMiscFlags{0x2DD74950, 0xA890, 0x11D1, {0xAB, 0xE8, 0x00, 0xA0, 0xC9, 0x05, 0xF3, 0x75}};
inline constexpr IID IID_IAMTimecodeReader{0x9B496CE1, 0x811B, 0x11CF, {0x8C, 0x77, 0x00, 0xAA, 0x00, 0x6B, 0x68, 0x14}};
inline constexpr IID IID_IAMVideoCompression{0xC6E13343, 0x30AC, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};
inline constexpr IID IID_IKsPropertySet{0x31EFAC30, 0x515C, 0x11D0, {0xA9, 0xAA, 0x00, 0xAA, 0x00, 0x61, 0xBE, 0x93}};
inline constexpr IID IID_IMediaSeeking{0x36B73880, 0xC2C8, 0x11CF, {0x8B, 0x46, 0x00, 0x80, 0x5F, 0x6C, 0xEF, 0x60}};
inline constexpr IID IID_IReferenceClock{0x56A86897, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr IID IID_ISpecifyPropertyPages = ISpecifyPropertyPages::iid;

}  // namespace kelvane::platform
