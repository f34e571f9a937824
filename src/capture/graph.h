// A camera's capture graph: camera -> [decompressor] -> sample grabber -> null
// renderer, and the operations that build, connect and tear it down.
#pragma once

#include "capture/camera_record.h"

namespace kelvane::capture {

using platform::HRESULT;

HRESULT CreateGraph(CameraRecord& camera);
// S_OK or a connection result on success; S_FALSE when a decompressor was
// needed and none was found; negative on failure.
HRESULT BuildCaptureGraph(CameraRecord& camera);
// S_OK when a legacy filter of that exact friendly name was found, S_FALSE when none.
HRESULT GetFilterHandle(const char* friendlyName, platform::IBaseFilter** filter);
HRESULT ConnectFilters(platform::IGraphBuilder* graph, platform::IBaseFilter* upstream,
                       platform::IBaseFilter* downstream);
// Breaks every connection downstream of the filter's output pins. False when
// a connection may be left: a disconnect or the walk over the pins failed.
bool DisconnectDownstream(platform::IBaseFilter* filter, platform::IGraphBuilder* graph);
// Stops the graph, removes the callback, disconnects and releases the filters of
// the last build; the graph itself is kept for the next build, unless a
// connection would not break or a filter would not leave it: then it is
// released, and the next build starts afresh.
// Every step is tried whatever the steps before it did (failed or raised), and
// each failure is reported. A graph that will not stop is given up as well (the
// framework stops it as its last reference goes). Returns false when the graph
// might still deliver frames to the sample callback: what the callback uses
// must then not be freed.
bool TearDownGraph(CameraRecord& camera);

// Graph control. RunGraph: 0 when the graph runs, 1 otherwise (a timeout of 0 waits 200 ms).
int RunGraph(platform::IMediaControl* control, int32_t timeoutMs);
HRESULT PauseGraph(platform::IMediaControl* control);
HRESULT StopGraph(platform::IMediaControl* control);

}  // namespace kelvane::capture
