/*
 * Kelvane camera grabber: the plug-in interface a host application loads.
 *
 * The host drives the library through these 19 functions only. All integers
 * are 32 bits wide. `grabber` is always 0 and `port` is 0..24. Names are
 * NUL-terminated 8-bit strings. No function throws or aborts; failures come
 * back as the documented result and, where useful, as a text through the
 * host's DebugMessageProc.
 */
#ifndef KELVANE_GRABBER_H
#define KELVANE_GRABBER_H

#include <stdbool.h>
#include <stdint.h>

/* The version of this header and of the library built with it. The soname
   carries the major number (libkelvane.so.0). */
#define KELVANE_VERSION_MAJOR 0
#define KELVANE_VERSION_MINOR 1
#define KELVANE_VERSION_PATCH 0
#define KELVANE_VERSION_STRING "0.1.0"
/* One number that orders versions: 10000 * major + 100 * minor + patch. */
#define KELVANE_VERSION (KELVANE_VERSION_MAJOR * 10000 + KELVANE_VERSION_MINOR * 100 + KELVANE_VERSION_PATCH)

#if defined(__GNUC__)
#define KELVANE_EXPORT __attribute__((visibility("default")))
#else
#define KELVANE_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The host's message sink: one NUL-terminated text per call; the result is ignored. */
typedef int32_t (*DebugMessageProc)(const char* message);

/* Called on the library's streaming thread when an image is finished: (grabber 0, port). */
typedef int32_t (*CompleteCallback)(int32_t grabber, int32_t port);

/* Start-up: enumerates the cameras once, reads their settings from systemPath, installs the sink. Returns 0. */
KELVANE_EXPORT int32_t initialize(const char* systemPath, DebugMessageProc messageProc);
/* Returns 0; releases nothing. */
KELVANE_EXPORT int32_t finalize(void);
/* Stores the settings directory (at most 255 characters) and re-reads every camera's settings. Returns 1. */
KELVANE_EXPORT int32_t setSystemPath(const char* path);
/* Installs the message sink (null switches messages off); returns the pointer passed in. */
KELVANE_EXPORT DebugMessageProc setDebugMsgProc(DebugMessageProc messageProc);

KELVANE_EXPORT int32_t getCVLMaxNoOfGrabbers(void); /* 1 */
KELVANE_EXPORT int32_t getCVLMaxNoOfPorts(void);    /* 25 */
KELVANE_EXPORT int32_t getCVLNoOfSupportedCameras(void);
/* The cameras' names, as openCVLPort takes them; the list ends with a null pointer. */
KELVANE_EXPORT char** getCVLCameraConfigNames(void);

/* Binds port to the camera of that exact name; writes width and height to size[0], size[1]. 1 bound, 0 not. */
KELVANE_EXPORT int32_t openCVLPort(int32_t grabber, int32_t port, const char* cameraName, int32_t* size);
/* Frees the port; true when it was bound. The camera is released with its last port. */
KELVANE_EXPORT bool closeCVLPort(int32_t grabber, int32_t port);

/* Grabs one image: waits for it without a CompleteCallback, returns at once with one. 1 or 0. */
KELVANE_EXPORT int32_t doCVLGrab(int32_t grabber, int32_t port);
/* Copies pixels first..last of row (top row 0), or the whole image bottom row first when the range
   covers the whole image. destination must hold (last - first + 1) * bytes per pixel. 1 or 0. */
KELVANE_EXPORT int32_t getCVLGrabRow(int32_t grabber, int32_t port, void* destination, int32_t row,
                                     int32_t first, int32_t last);
/* Selects asynchronous grabs (callback) or synchronous ones (null). Shared by all ports of a camera. */
KELVANE_EXPORT int32_t setCompleteCallback(int32_t grabber, int32_t port, CompleteCallback callback);
/* Switches the camera's external trigger on (non-zero) or off. 1 or 0. */
KELVANE_EXPORT int32_t setHWTrigger(int32_t grabber, int32_t port, int32_t enable);

/* The 23 named camera properties, in the order the capability report lists them; a host may write
   `const char* const names[] = {KELVANE_PROPERTY_NAMES};`. */
#define KELVANE_PROPERTY_NAMES                                                                                  \
  "Brightness", "Exposure", "Sharpness", "Contrast", "Hue", "Saturation", "UB", "VR", "WhiteBalance", "Gamma", \
      "Shutter", "Gain", "Iris", "Focus", "Temperature", "Trigger", "Zoom", "Pan", "Tilt", "Roll",             \
      "OpticalFilter", "ColorEnable", "BacklightCompensation"

/* Named camera properties ("Gain", "Gain.flags"), library settings ("PixelSize", "LUT", "DropCnt",
   "Continous", "HWTrigger") and camera registers ("0xF0F00830"). */
KELVANE_EXPORT int32_t getProperty(int32_t grabber, int32_t port, const char* name, int32_t* value);
KELVANE_EXPORT int32_t setProperty(int32_t grabber, int32_t port, const char* name, int32_t value);
KELVANE_EXPORT int32_t getPropertyRange(int32_t grabber, int32_t port, const char* name, int32_t* minimum,
                                        int32_t* maximum);

/* Configuration dialog of all cameras (modal). Returns 0. */
KELVANE_EXPORT int32_t configure(void);
/* Property sheet of one camera (modal). 1 when no camera has that name, else 0. */
KELVANE_EXPORT int32_t configureCamera(int32_t unused, const char* cameraName);

/* The types of the 19 functions, for hosts that load the library with dlopen:
     kelvane_openCVLPort_fn open = (kelvane_openCVLPort_fn)dlsym(library, "openCVLPort"); */
typedef int32_t (*kelvane_initialize_fn)(const char* systemPath, DebugMessageProc messageProc);
typedef int32_t (*kelvane_finalize_fn)(void);
typedef int32_t (*kelvane_setSystemPath_fn)(const char* path);
typedef DebugMessageProc (*kelvane_setDebugMsgProc_fn)(DebugMessageProc messageProc);
typedef int32_t (*kelvane_getCVLMaxNoOfGrabbers_fn)(void);
typedef int32_t (*kelvane_getCVLMaxNoOfPorts_fn)(void);
typedef int32_t (*kelvane_getCVLNoOfSupportedCameras_fn)(void);
typedef char** (*kelvane_getCVLCameraConfigNames_fn)(void);
typedef int32_t (*kelvane_openCVLPort_fn)(int32_t grabber, int32_t port, const char* cameraName, int32_t* size);
typedef bool (*kelvane_closeCVLPort_fn)(int32_t grabber, int32_t port);
typedef int32_t (*kelvane_doCVLGrab_fn)(int32_t grabber, int32_t port);
typedef int32_t (*kelvane_getCVLGrabRow_fn)(int32_t grabber, int32_t port, void* destination, int32_t row,
                                            int32_t first, int32_t last);
typedef int32_t (*kelvane_setCompleteCallback_fn)(int32_t grabber, int32_t port, CompleteCallback callback);
typedef int32_t (*kelvane_setHWTrigger_fn)(int32_t grabber, int32_t port, int32_t enable);
typedef int32_t (*kelvane_getProperty_fn)(int32_t grabber, int32_t port, const char* name, int32_t* value);
typedef int32_t (*kelvane_setProperty_fn)(int32_t grabber, int32_t port, const char* name, int32_t value);
typedef int32_t (*kelvane_getPropertyRange_fn)(int32_t grabber, int32_t port, const char* name, int32_t* minimum,
                                               int32_t* maximum);
typedef int32_t (*kelvane_configure_fn)(void);
typedef int32_t (*kelvane_configureCamera_fn)(int32_t unused, const char* cameraName);

#ifdef __cplusplus
}
#endif

#endif /* KELVANE_GRABBER_H */
