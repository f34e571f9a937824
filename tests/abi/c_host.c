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
