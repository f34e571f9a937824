/* A plain C host: compiles against the public header, links, and calls all 19
   exports with the argument and result types a C compiler sees. */
#include <stdio.h>
#include <string.h>

#include "kelvane/grabber.h"

static int32_t sink(const char* message) {
  (void)message;
  return 0;
}

static int32_t complete(int32_t grabber, int32_t port) {
  (void)grabber;
  (void)port;
  return 0;
}

#define CHECK(cond)                                       \
  do {                                                    \
    if (!(cond)) {                                        \
      fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond); \
      return 1;                                           \
    }                                                     \
  } while (0)

int main(void) {
  int32_t size[2] = {0, 0};
  int32_t value = 0, minimum = 0, maximum = 0;
  char** names;
  unsigned char row[16];
  bool closed;

  /* A dlopen host's typedefs: each must match its function exactly, or this
     does not compile (incompatible pointer types are errors here). */
  const kelvane_initialize_fn initializeFn = initialize;
  const kelvane_finalize_fn finalizeFn = finalize;
  const kelvane_setSystemPath_fn setSystemPathFn = setSystemPath;
  const kelvane_setDebugMsgProc_fn setDebugMsgProcFn = setDebugMsgProc;
  const kelvane_getCVLMaxNoOfGrabbers_fn getCVLMaxNoOfGrabbersFn = getCVLMaxNoOfGrabbers;
  const kelvane_getCVLMaxNoOfPorts_fn getCVLMaxNoOfPortsFn = getCVLMaxNoOfPorts;
  const kelvane_getCVLNoOfSupportedCameras_fn getCVLNoOfSupportedCamerasFn = getCVLNoOfSupportedCameras;
  const kelvane_getCVLCameraConfigNames_fn getCVLCameraConfigNamesFn = getCVLCameraConfigNames;
  const kelvane_openCVLPort_fn openCVLPortFn = openCVLPort;
  const kelvane_closeCVLPort_fn closeCVLPortFn = closeCVLPort;
  const kelvane_doCVLGrab_fn doCVLGrabFn = doCVLGrab;
  const kelvane_getCVLGrabRow_fn getCVLGrabRowFn = getCVLGrabRow;
  const kelvane_setCompleteCallback_fn setCompleteCallbackFn = setCompleteCallback;
  const kelvane_setHWTrigger_fn setHWTriggerFn = setHWTrigger;
  const kelvane_getProperty_fn getPropertyFn = getProperty;
  const kelvane_setProperty_fn setPropertyFn = setProperty;
  const kelvane_getPropertyRange_fn getPropertyRangeFn = getPropertyRange;
  const kelvane_configure_fn configureFn = configure;
  const kelvane_configureCamera_fn configureCameraFn = configureCamera;
  (void)initializeFn;
  (void)finalizeFn;
  (void)setSystemPathFn;
  (void)setDebugMsgProcFn;
  (void)getCVLMaxNoOfGrabbersFn;
  (void)getCVLMaxNoOfPortsFn;
  (void)getCVLNoOfSupportedCamerasFn;
  (void)getCVLCameraConfigNamesFn;
  (void)openCVLPortFn;
  (void)closeCVLPortFn;
  (void)doCVLGrabFn;
  (void)getCVLGrabRowFn;
  (void)setCompleteCallbackFn;
  (void)setHWTriggerFn;
  (void)getPropertyFn;
  (void)setPropertyFn;
  (void)getPropertyRangeFn;
  (void)configureFn;
  (void)configureCameraFn;
  CHECK(getCVLMaxNoOfGrabbersFn() == 1);
  CHECK(KELVANE_VERSION == KELVANE_VERSION_MAJOR * 10000 + KELVANE_VERSION_MINOR * 100 + KELVANE_VERSION_PATCH);
  CHECK(strlen(KELVANE_VERSION_STRING) >= 5);

  CHECK(getCVLMaxNoOfGrabbers() == 1);
  CHECK(getCVLMaxNoOfPorts() == 25);
  CHECK(setDebugMsgProc(sink) == sink);
  CHECK(initialize("", sink) == 0);
  CHECK(setSystemPath("") == 1);
  CHECK(getCVLNoOfSupportedCameras() >= 0);
  names = getCVLCameraConfigNames();
  CHECK(names != NULL);
  CHECK(openCVLPort(1, 0, "no such camera", size) == 0);
  CHECK(openCVLPort(0, 25, "no such camera", size) == 0);
  closed = closeCVLPort(0, 0);
  CHECK(!closed);
  CHECK(sizeof(closeCVLPort(0, 0)) == 1);
  CHECK(doCVLGrab(0, 0) == 0);
  CHECK(getCVLGrabRow(0, 0, row, 0, 0, 3) == 0);
  CHECK(setCompleteCallback(0, 0, complete) == 0);
  CHECK(setHWTrigger(0, 0, 1) == 0);
  CHECK(getProperty(0, 0, "Gain", &value) == 1); /* an unbound port is not a failure here */
  CHECK(setProperty(0, 0, "Gain", 1) == 0);
  CHECK(getPropertyRange(0, 0, "Gain", &minimum, &maximum) == 0);
  CHECK(configureCamera(0, "no such camera") == 1);
  CHECK(finalize() == 0);
  (void)configure;
  return 0;
}
