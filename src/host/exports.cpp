// Placeholder exports; the host spine replaces this file.
#include "kelvane/grabber.h"
extern "C" {
int32_t initialize(const char*, DebugMessageProc) { return 0; }
int32_t finalize(void) { return 0; }
int32_t setSystemPath(const char*) { return 1; }
DebugMessageProc setDebugMsgProc(DebugMessageProc p) { return p; }
int32_t getCVLMaxNoOfGrabbers(void) { return 1; }
int32_t getCVLMaxNoOfPorts(void) { return 25; }
int32_t getCVLNoOfSupportedCameras(void) { return 0; }
char** getCVLCameraConfigNames(void) { static char* n[26] = {}; return n; }
int32_t openCVLPort(int32_t, int32_t, const char*, int32_t*) { return 0; }
bool closeCVLPort(int32_t, int32_t) { return false; }
int32_t doCVLGrab(int32_t, int32_t) { return 0; }
int32_t getCVLGrabRow(int32_t, int32_t, void*, int32_t, int32_t, int32_t) { return 0; }
int32_t setCompleteCallback(int32_t, int32_t, CompleteCallback) { return 0; }
int32_t setHWTrigger(int32_t, int32_t, int32_t) { return 0; }
int32_t getProperty(int32_t, int32_t, const char*, int32_t*) { return 1; }
int32_t setProperty(int32_t, int32_t, const char*, int32_t) { return 0; }
int32_t getPropertyRange(int32_t, int32_t, const char*, int32_t*, int32_t*) { return 0; }
int32_t configure(void) { return 0; }
int32_t configureCamera(int32_t, const char*) { return 1; }
}
