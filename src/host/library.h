// The exports' logic, in C++. exports.cpp wraps each in a guard that lets no
// exception out.
#pragma once

#include <cstdint>

#include "kelvane/grabber.h"

namespace kelvane::host {

int32_t Initialize(const char* systemPath, DebugMessageProc messageProc);
int32_t SetSystemPath(const char* path);
DebugMessageProc SetDebugMsgProc(DebugMessageProc messageProc);
int32_t CameraCount();
char** ConfigNameList();
int32_t OpenPort(int32_t grabber, int32_t port, const char* cameraName, int32_t* size);
bool ClosePort(int32_t grabber, int32_t port);
int32_t Grab(int32_t grabber, int32_t port);
int32_t GrabRow(int32_t grabber, int32_t port, void* destination, int32_t row, int32_t first, int32_t last);
int32_t SetCallback(int32_t grabber, int32_t port, CompleteCallback callback);
int32_t SetTrigger(int32_t grabber, int32_t port, int32_t enable);
int32_t GetProperty(int32_t grabber, int32_t port, const char* name, int32_t* value);
int32_t SetProperty(int32_t grabber, int32_t port, const char* name, int32_t value);
int32_t GetPropertyRange(int32_t grabber, int32_t port, const char* name, int32_t* minimum, int32_t* maximum);
int32_t Configure();
int32_t ConfigureCamera(const char* cameraName);

}  // namespace kelvane::host
