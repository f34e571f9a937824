#include "capture/graph.h"

#include <cstring>
#include <string>

#include "capture/ansi.h"
#include "capture/discovery.h"
#include "capture/stream_format.h"
#include "diagnostics/diagnostics.h"
#include "platform/factory.h"

namespace kelvane::capture {

using namespace platform;

namespace {

bool ConfigNameNamesImagingCamera(const char* name) {
  return std::strncmp(name, "DFK", 3) == 0 || std::strncmp(name, "DBK", 3) == 0 || std::strncmp(name, "DMK", 3) == 0;
}

void ReleaseBuild(CameraRecord& camera) {
  camera.RendererFilter.Reset();
  camera.SampleGrabber.Reset();
  camera.GrabberFilter.Reset();
  camera.DecompressorFilter.Reset();
}

// Takes the filters of a build out of the kept graph, so that opening and
// closing a camera again and again does not pile up filters in it. False when
// one of them stayed in the graph.
bool RemoveBuildFilters(CameraRecord& camera) {
  IGraphBuilder* graph = camera.Graph.Get();
  if (!graph) return true;
  bool removed = true;
  for (IBaseFilter* filter :
       {camera.RendererFilter.Get(), camera.GrabberFilter.Get(), camera.DecompressorFilter.Get()}) {
    if (!filter) continue;
    const HRESULT hr = graph->RemoveFilter(filter);
    if (FAILED(hr)) {
      LogFailure("Failed to remove filter from graph", hr);
      removed = false;
    }
  }
  return removed;
}

// A graph that kept a filter it should have let go is not built on again:
// releasing it releases the filters it holds (the camera's too, which is then
// free for the fresh graph that the next build creates).
void DropGraph(CameraRecord& camera) {
  camera.MediaControl.Reset();
  camera.Graph.Reset();
}

// The decompressor's raw mode: failures and older decompressors never fail the build.
void ApplyRawMode(IBaseFilter* decompressor, int32_t rawMode) {
  ComPtr<IFiRawMode> raw;
  if (FAILED(QueryInto(decompressor, raw)) || !raw) return;
  try {
    HRESULT hr = raw->SetRawMode(rawMode);
    if (FAILED(hr)) {
      raw->SetRawMode(rawMode);
      hr = raw->SetRawMode(rawMode);
      LogFailure("SetRawMode", hr);
    }
  } catch (const PlatformError&) {
    DebugPrint("Raw Mode unsupported by current Unibrain YUV Decompressor\n");
  }
}

HRESULT ConnectCaptureGraph(CameraRecord& camera);

}  // namespace

HRESULT CreateGraph(CameraRecord& camera) {
  if (camera.Graph) return S_OK;
  ComPtr<ICaptureGraphBuilder2> builder;
  HRESULT hr = CoCreateInstance(CLSID_CaptureGraphBuilder2, ICaptureGraphBuilder2::iid, builder.PutVoid());
  if (FAILED(hr) || !builder) {
    if (SUCCEEDED(hr)) hr = E_POINTER;
    LogFailure("CreateGraph:IID_ICaptureGraphBuilder2", hr);
    return hr;
  }
  ComPtr<IGraphBuilder> graph;
  hr = CoCreateInstance(CLSID_FilterGraph, IGraphBuilder::iid, graph.PutVoid());
  if (FAILED(hr) || !graph) {
    if (SUCCEEDED(hr)) hr = E_POINTER;
    LogFailure("CreateGraph:IID_IGraphBuilder", hr);
    return hr;
  }
  hr = builder->SetFiltergraph(graph.Get());
  if (FAILED(hr)) {
    LogFailure("CreateGraph:SetFiltergraph", hr);
    return hr;
  }
  hr = graph->AddFilter(camera.CaptureFilter.Get(), u"Camera");
  if (FAILED(hr)) {
    LogFailure("Failed to add Camera", hr);
    return hr;
  }
  // The graph is kept only once the camera is in it and its media control is
  // had, so that a failed creation is tried again by the next build instead of
  // reusing a graph without camera or without control (which no grab could
  // run). Releasing the graph here lets the camera go with it.
  ComPtr<IMediaControl> control;
  hr = QueryInto(graph.Get(), control);
  if (FAILED(hr) || !control) {
    if (SUCCEEDED(hr)) hr = E_POINTER;
    LogFailure("CreateGraph:IID_IMediaControl", hr);
    return hr;
  }
  camera.Graph = graph;
  camera.MediaControl = control;
  return hr;
}

HRESULT BuildCaptureGraph(CameraRecord& camera) {
  HRESULT hr = CreateGraph(camera);
  if (FAILED(hr)) return hr;
  // What an earlier build left behind without a teardown goes: its
  // connections, its filters out of the graph, and our references.
  if (camera.GrabberFilter) DisconnectDownstream(camera.CaptureFilter.Get(), camera.Graph.Get());
  if (!RemoveBuildFilters(camera)) {
    ReleaseBuild(camera);
    DropGraph(camera);
    hr = CreateGraph(camera);
    if (FAILED(hr)) return hr;
  }
  ReleaseBuild(camera);
  hr = ConnectCaptureGraph(camera);
  // A failed build keeps its filters until the teardown, but not its connections:
  // the next open sets the camera's format first, which a connected camera refuses.
  if (FAILED(hr)) DisconnectDownstream(camera.CaptureFilter.Get(), camera.Graph.Get());
  return hr;
}

namespace {

// Says what failed, with the code, when `hr` is a failure; returns hr.
HRESULT Checked(HRESULT hr, const char* what) {
  if (FAILED(hr)) LogFailure(what, hr);
  return hr;
}

// A creation that answers success without an object has failed too.
template <typename T>
HRESULT Created(HRESULT hr, const ComPtr<T>& made, const char* what) {
  if (SUCCEEDED(hr) && !made) hr = E_POINTER;
  return Checked(hr, what);
}

// The sample grabber and the null renderer, created and added to the graph.
HRESULT AddGrabberAndRenderer(CameraRecord& camera, IGraphBuilder* graph) {
  HRESULT hr = CoCreateInstance(CLSID_SampleGrabber, IBaseFilter::iid, camera.GrabberFilter.PutVoid());
  if (FAILED(hr = Created(hr, camera.GrabberFilter, "Failed to create SampleGrabber!"))) return hr;
  if (FAILED(
          hr = Checked(graph->AddFilter(camera.GrabberFilter.Get(), u"SampleGrabber"), "Failed to add SampleGrabber")))
    return hr;
  if (FAILED(hr =
                 Checked(QueryInto(camera.GrabberFilter.Get(), camera.SampleGrabber), "Failed to query SampleGrabber")))
    return hr;
  hr = CoCreateInstance(CLSID_NullRenderer, IBaseFilter::iid, camera.RendererFilter.PutVoid());
  if (FAILED(hr = Created(hr, camera.RendererFilter, "Failed to create NullRenderer!"))) return hr;
  graph->AddFilter(camera.RendererFilter.Get(), u"Renderer");
  return hr;
}

// Camera, grabber, renderer, with nothing in between. A failure leaves the
// camera unconnected, for the decompressor to be tried.
HRESULT ConnectDirect(CameraRecord& camera, IGraphBuilder* graph) {
  HRESULT hr = ConnectFilters(graph, camera.CaptureFilter.Get(), camera.GrabberFilter.Get());
  if (FAILED(hr = Checked(hr, "Connect failed: Camera-SampleGrabber"))) return hr;
  hr = ConnectFilters(graph, camera.GrabberFilter.Get(), camera.RendererFilter.Get());
  if (SUCCEEDED(hr = Checked(hr, "Connect failed: SampleGrabber-Renderer"))) return hr;
  DisconnectDownstream(camera.CaptureFilter.Get(), graph);
  return VFW_E_CANNOT_CONNECT;
}

// The decompressor the camera's kind asks for where it is installed, else the
// AVI Decompressor. S_OK with the filter in the record, or what to answer.
HRESULT FindDecompressor(CameraRecord& camera, const GUID& subtype) {
  const char* wanted = nullptr;
  if (camera.CameraInfo || camera.Settings.RawMode)
    wanted = "Fire-i Yuv decompressor";
  else if (ConfigNameNamesImagingCamera(camera.ConfigName))
    wanted = "IAT YUV";
  else if (subtype == MEDIASUBTYPE_LUMX)
    wanted = "BAYER RGB";
  if (wanted && GetFilterHandle(wanted, camera.DecompressorFilter.Put()) == S_OK && camera.DecompressorFilter)
    return S_OK;
  const HRESULT hr = GetFilterHandle("AVI Decompressor", camera.DecompressorFilter.Put());
  if (hr != S_OK || !camera.DecompressorFilter) return hr == S_OK ? S_FALSE : hr;
  return S_OK;
}

// Camera, decompressor, grabber, renderer.
HRESULT ConnectThroughDecompressor(CameraRecord& camera, IGraphBuilder* graph, const GUID& subtype) {
  IBaseFilter* decompressor = camera.DecompressorFilter.Get();
  HRESULT hr = graph->AddFilter(decompressor, u"Decompressor");
  if (FAILED(hr = Checked(hr, "Failed to add decompressor"))) return hr;
  hr = ConnectFilters(graph, camera.CaptureFilter.Get(), decompressor);
  if (FAILED(hr = Checked(hr, "Connect failed: Camera-Decompressor"))) {
    // Say why when the camera sends what only a decompressor reads (MJPG with
    // the Fire-i decompressor, or a build that decodes no JPEG).
    if (IsCompressedSubtype(subtype)) LogUnknownSampleFormat("No decompressor reads the sample format", subtype);
    return hr;
  }
  hr = ConnectFilters(graph, decompressor, camera.GrabberFilter.Get());
  if (FAILED(hr = Checked(hr, "Connect failed: Decompressor-SampleGrabber"))) return hr;
  hr = ConnectFilters(graph, camera.GrabberFilter.Get(), camera.RendererFilter.Get());
  if (FAILED(hr = Checked(hr, "Connect failed: SampleGrabber-Renderer"))) return hr;

  // The grabber may have been let go of meanwhile: connect it again.
  ComPtr<IPin> input;
  if (FAILED(hr = GetPin(camera.GrabberFilter.Get(), PINDIR_INPUT, input.Put()))) return hr;
  ComPtr<IPin> peer;
  if (FAILED(input->ConnectedTo(peer.Put())) || !peer) {
    hr = ConnectFilters(graph, decompressor, camera.GrabberFilter.Get());
    if (FAILED(hr = Checked(hr, "Reconnect failed: Decompressor-SampleGrabber"))) return hr;
  }
  return hr;
}

// The filters of one build, created, added and connected; see BuildCaptureGraph.
HRESULT ConnectCaptureGraph(CameraRecord& camera) {
  IGraphBuilder* graph = camera.Graph.Get();
  HRESULT hr = AddGrabberAndRenderer(camera, graph);
  if (FAILED(hr)) return hr;
  GUID subtype{};
  if (FAILED(hr = Checked(StreamSubtype(camera.CaptureFilter.Get(), &subtype), "Unable to get StreamType"))) return hr;

  // What the grabber takes as it comes needs no decompressor.
  const settings::CameraSettings& s = camera.Settings;
  const bool direct = (!s.Color && IsSupportedSubtype(subtype)) || IsRgbSubtype(subtype) || (s.Color && s.RawMode);
  if (direct && SUCCEEDED(hr = ConnectDirect(camera, graph))) return hr;

  if ((hr = FindDecompressor(camera, subtype)) != S_OK) return hr;
  if (FAILED(hr = ConnectThroughDecompressor(camera, graph, subtype))) return hr;
  if (s.RawMode) {
    ApplyRawMode(camera.DecompressorFilter.Get(), s.RawMode);
    return S_OK;
  }
  return hr;
}

}  // namespace

HRESULT GetFilterHandle(const char* friendlyName, IBaseFilter** filter) {
  if (!filter) return E_POINTER;
  *filter = nullptr;
  ComPtr<ICreateDevEnum> devices;
  HRESULT hr = CoCreateInstance(CLSID_SystemDeviceEnum, ICreateDevEnum::iid, devices.PutVoid());
  if (FAILED(hr) || !devices) {
    if (SUCCEEDED(hr)) hr = E_POINTER;
    LogFailure("GetFilterHandle:IID_ICreateDevEnum", hr);
    return hr;
  }
  ComPtr<IEnumMoniker> monikers;
  hr = devices->CreateClassEnumerator(CLSID_LegacyAmFilterCategory, monikers.Put(), 0);
  if (FAILED(hr)) {
    LogFailure("GetFilterHandle:CLSID_LegacyAmFilterCategory", hr);
    return hr;
  }
  if (hr != S_OK || !monikers) return S_FALSE;  // an empty category finds nothing
  for (;;) {
    ComPtr<IMoniker> moniker;
    ULONG fetched = 0;
    if (monikers->Next(1, moniker.Put(), &fetched) != S_OK || fetched != 1 || !moniker) break;
    ComPtr<IPropertyBag> bag;
    if (FAILED(moniker->BindToStorage(IPropertyBag::iid, bag.PutVoid())) || !bag) continue;
    std::u16string name;
    if (FAILED(bag->Read(u"FriendlyName", &name))) continue;
    char ansi[80];
    ToAnsi(name, ansi, sizeof ansi);
    if (std::strcmp(ansi, friendlyName) != 0) continue;
    DebugPrint("Decompress filter: %s\r\n", ansi);
    moniker->BindToObject(IBaseFilter::iid, reinterpret_cast<void**>(filter));
    break;
  }
  return *filter ? S_OK : S_FALSE;
}

HRESULT ConnectFilters(IGraphBuilder* graph, IBaseFilter* upstream, IBaseFilter* downstream) {
  if (!graph || !upstream || !downstream) return E_POINTER;
  ComPtr<IPin> output;
  HRESULT hr = GetPin(upstream, PINDIR_OUTPUT, output.Put());
  if (FAILED(hr)) return hr;
  ComPtr<IPin> input;
  if (FAILED(GetPin(downstream, PINDIR_INPUT, input.Put()))) return E_FAIL;
  return graph->Connect(output.Get(), input.Get());
}

bool DisconnectDownstream(IBaseFilter* filter, IGraphBuilder* graph) {
  if (!filter || !graph) return true;
  ComPtr<IEnumPins> pins;
  if (FAILED(filter->EnumPins(pins.Put())) || !pins) return false;
  bool all = true;
  for (;;) {
    ComPtr<IPin> pin;
    ULONG fetched = 0;
    const HRESULT next = pins->Next(1, pin.Put(), &fetched);
    if (next != S_OK || fetched != 1 || !pin) return all && SUCCEEDED(next);
    ComPtr<IPin> peer;
    if (FAILED(pin->ConnectedTo(peer.Put())) || !peer) continue;
    PIN_INFO info;
    if (FAILED(peer->QueryPinInfo(&info))) return false;
    ComPtr<IBaseFilter> peerFilter = ComPtr<IBaseFilter>::Attach(info.pFilter);
    if (info.dir == PINDIR_INPUT) {
      all &= DisconnectDownstream(peerFilter.Get(), graph);
      all &= SUCCEEDED(graph->Disconnect(peer.Get()));
      all &= SUCCEEDED(graph->Disconnect(pin.Get()));
    }
  }
}

namespace {

// One step of a teardown: a driver that raises costs that step only.
template <class F>
bool TearDownStep(const char* step, F&& body) {
  try {
    return body();
  } catch (const std::exception& e) {
    DebugPrint("Teardown: %s raised: %s\r\n", step, e.what());
  } catch (...) {
    DebugPrint("Teardown: %s raised\r\n", step);
  }
  return false;
}

}  // namespace

bool TearDownGraph(CameraRecord& camera) {
  bool stopped = true;
  if (camera.Graph) {
    stopped = TearDownStep("StopGraph", [&] {
      // As other driver set operations: a failing stop is tried twice more.
      HRESULT hr = StopGraph(camera.MediaControl.Get());
      for (int retry = 0; retry < 2 && FAILED(hr); ++retry) hr = StopGraph(camera.MediaControl.Get());
      return SUCCEEDED(hr);
    });
  }
  bool unhooked = !camera.SampleGrabber;
  if (camera.SampleGrabber)
    unhooked = TearDownStep("SetCallback", [&] {
      HRESULT hr = camera.SampleGrabber->SetCallback(nullptr, 0);
      if (FAILED(hr)) LogFailure("Failed to remove the sample callback", hr);
      return SUCCEEDED(hr);
    });
  if (!stopped) {
    // Filters cannot leave a graph that streams. Give the graph up: the next
    // open creates a new one, instead of failing for good on this one.
    DebugPrint("%s: the capture graph did not stop; it is released and built anew at the next open\r\n",
               camera.ConfigName);
    ReleaseBuild(camera);
    DropGraph(camera);
    return unhooked;
  }
  // A connection that would not break, or a filter that would not leave
  // (failed or raised), takes the kept graph with it: removing the filters
  // breaks their own connections, but the camera's output pin stays
  // connected when only its side failed to let go, and a connected camera
  // takes neither a new format nor a new connection at the next open.
  const bool disconnected = !camera.Graph || TearDownStep("DisconnectDownstream", [&] {
    return DisconnectDownstream(camera.CaptureFilter.Get(), camera.Graph.Get());
  });
  const bool removed = TearDownStep("RemoveFilter", [&] { return RemoveBuildFilters(camera); });
  ReleaseBuild(camera);
  if (!removed || !disconnected) DropGraph(camera);
  return true;
}

int RunGraph(IMediaControl* control, int32_t timeoutMs) {
  if (control) {
    if (control->Run() == S_OK) return 0;
    FILTER_STATE state = State_Stopped;
    control->GetState(timeoutMs == 0 ? 200 : timeoutMs, &state);
    if (state == State_Running) return 0;
  }
  DebugPrint("RunGraph failed !\n");
  return 1;
}

HRESULT PauseGraph(IMediaControl* control) {
  HRESULT hr = control ? control->Pause() : E_POINTER;
  if (FAILED(hr)) LogFailure("PauseGraph failed !", hr);
  return hr;
}

HRESULT StopGraph(IMediaControl* control) {
  HRESULT hr = control ? control->Stop() : E_POINTER;
  if (FAILED(hr)) LogFailure("StopGraph failed !", hr);
  return hr;
}

}  // namespace kelvane::capture
