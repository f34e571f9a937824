"""NumPy images from Kelvane cameras: a thin layer over the library's 19 functions.

    import kelvane
    with kelvane.Camera(0) as camera:
        image = camera.grab()   # (h, w, 3) blue-green-red uint8, or (h, w) grey
"""
import atexit
import collections.abc
import ctypes
import os
import queue
import shutil
import tempfile
import threading

import numpy as np

__all__ = ["Camera", "KelvaneError", "cameras", "library_messages"]
__version__ = "0.1.0"

PORTS = 25
PROPERTY_NAMES = (
    "Brightness", "Exposure", "Sharpness", "Contrast", "Hue", "Saturation", "UB", "VR", "WhiteBalance", "Gamma",
    "Shutter", "Gain", "Iris", "Focus", "Temperature", "Trigger", "Zoom", "Pan", "Tilt", "Roll", "OpticalFilter",
    "ColorEnable", "BacklightCompensation",
)


class KelvaneError(RuntimeError):
    """A call the library refused; the text holds what the library said about it."""


_MessageProc = ctypes.CFUNCTYPE(ctypes.c_int32, ctypes.c_char_p)
_CompleteProc = ctypes.CFUNCTYPE(ctypes.c_int32, ctypes.c_int32, ctypes.c_int32)

_lock = threading.RLock()
_lib = None
_messages = []
_settings_dir = None
_ports_used = set()


def _on_message(text):
    line = (text or b"").decode("utf-8", "replace").rstrip("\r\n")
    with _lock:
        _messages.append(line)
        del _messages[:-2000]
    return 0


_message_proc = _MessageProc(_on_message)  # kept alive as long as the module


def library_messages():
    """The library's recent messages, oldest first."""
    with _lock:
        return list(_messages)


def _mark():
    with _lock:
        return len(_messages), id(_messages)


def _since(mark):
    with _lock:
        return [m for m in _messages[mark[0]:] if m and not m.startswith(("OPEN ", "CLOSE "))]


def _fail(text, mark=None):
    said = _since(mark) if mark else []
    raise KelvaneError(text + (": " + "; ".join(said) if said else ""))


def _load(settings=None):
    """Loads and starts the library once per process."""
    global _lib, _settings_dir
    with _lock:
        if _lib is not None:
            return _lib
        path = os.environ.get("KELVANE_LIBRARY", "libkelvane.so.0")
        try:
            lib = ctypes.CDLL(path, mode=os.RTLD_NOW | os.RTLD_LOCAL)
        except OSError as error:
            raise KelvaneError("cannot load the library %s: %s" % (path, error)) from None
        i32, p = ctypes.c_int32, ctypes.POINTER
        signatures = {
            "initialize": (i32, [ctypes.c_char_p, _MessageProc]),
            "setDebugMsgProc": (_MessageProc, [_MessageProc]),
            "getCVLNoOfSupportedCameras": (i32, []),
            "getCVLCameraConfigNames": (p(ctypes.c_char_p), []),
            "openCVLPort": (i32, [i32, i32, ctypes.c_char_p, p(i32)]),
            "closeCVLPort": (ctypes.c_bool, [i32, i32]),
            "doCVLGrab": (i32, [i32, i32]),
            "getCVLGrabRow": (i32, [i32, i32, ctypes.c_void_p, i32, i32, i32]),
            "setCompleteCallback": (i32, [i32, i32, _CompleteProc]),
            "getProperty": (i32, [i32, i32, ctypes.c_char_p, p(i32)]),
            "setProperty": (i32, [i32, i32, ctypes.c_char_p, i32]),
            "getPropertyRange": (i32, [i32, i32, ctypes.c_char_p, p(i32), p(i32)]),
        }
        for name, (restype, argtypes) in signatures.items():
            function = getattr(lib, name)
            function.restype, function.argtypes = restype, argtypes
        if settings is None:
            _settings_dir = tempfile.mkdtemp(prefix="kelvane-py-")
            atexit.register(shutil.rmtree, _settings_dir, True)
        else:
            _settings_dir = os.fspath(settings)
        lib.setDebugMsgProc(_message_proc)
        lib.initialize(_settings_dir.encode(), _message_proc)
        _lib = lib
        return lib


def cameras():
    """The names of the cameras, as Camera takes them."""
    lib = _load()
    names = lib.getCVLCameraConfigNames()
    result = []
    for i in range(lib.getCVLNoOfSupportedCameras()):
        if not names[i]:
            break
        result.append(names[i].decode("utf-8", "replace"))
    return result


class Properties(collections.abc.MutableMapping):
    """A camera's properties by name ("Gain", "Gain.flags"), with their ranges."""

    def __init__(self, camera):
        self._camera = camera

    def _name(self, name):
        base = name[:-6] if name.endswith(".flags") else name
        for known in PROPERTY_NAMES:
            if known.lower() == base.lower():
                return known + name[len(base):]
        raise KeyError(name)

    def range(self, name):
        """(minimum, maximum) of a property."""
        name = self._name(name)
        lo, hi = ctypes.c_int32(), ctypes.c_int32()
        if not self._camera._lib.getPropertyRange(0, self._camera.port, name.encode(), ctypes.byref(lo),
                                                  ctypes.byref(hi)):
            raise KeyError(name)
        return lo.value, hi.value

    def __getitem__(self, name):
        name = self._name(name)
        value = ctypes.c_int32()
        mark = _mark()
        if not self._camera._lib.getProperty(0, self._camera.port, name.encode(), ctypes.byref(value)):
            raise KeyError(name) if not _since(mark) else KeyError("%s: %s" % (name, "; ".join(_since(mark))))
        return value.value

    def __setitem__(self, name, value):
        name = self._name(name)
        if not name.endswith(".flags"):
            lo, hi = self.range(name)
            if not lo <= int(value) <= hi:
                raise KelvaneError("%s refuses %s=%d: its range is %d..%d" % (self._camera.name, name, value, lo, hi))
        mark = _mark()
        if not self._camera._lib.setProperty(0, self._camera.port, name.encode(), int(value)):
            _fail("%s refuses %s=%d" % (self._camera.name, name, value), mark)

    def __delitem__(self, name):
        raise TypeError("camera properties cannot be deleted")

    def __iter__(self):
        for name in PROPERTY_NAMES:
            try:
                self.range(name)
            except KeyError:
                continue
            yield name

    def __len__(self):
        return sum(1 for _ in self)


class Camera:
    """One open camera: Camera(name or index, colour=True, settings=None).

    settings names the directory of Kelvane.ini for the whole process (the
    first Camera or cameras() call decides)."""

    def __init__(self, camera=0, colour=True, settings=None, port=None):
        self._lib = _load(settings)
        names = cameras()
        if isinstance(camera, int) and not isinstance(camera, bool):
            if not 0 <= camera < len(names):
                raise KelvaneError("no camera %d; the cameras are %s" % (camera, self._list(names)))
            camera = names[camera]
        if camera not in names:
            raise KelvaneError("no camera %r; the cameras are %s" % (camera, self._list(names)))
        with _lock:
            free = [p for p in range(PORTS) if p not in _ports_used]
            self.port = port if port is not None else (free[0] if free else -1)
            if self.port < 0 or self.port in _ports_used:
                raise KelvaneError("no free port")
            _ports_used.add(self.port)
        self.name = camera
        self.dropped = 0
        self._callback = None
        size = (ctypes.c_int32 * 2)()
        mark = _mark()
        if not self._lib.openCVLPort(0, self.port, camera.encode(), size):
            with _lock:
                _ports_used.discard(self.port)
            self.port = None
            _fail("cannot open " + camera, mark)
        self.size = (size[0], size[1])
        self.properties = Properties(self)
        if not colour:
            self._lib.setProperty(0, self.port, b"PixelSize", 8)
        elif not self._lib.setProperty(0, self.port, b"PixelSize", 24):
            self._lib.setProperty(0, self.port, b"PixelSize", 8)  # a camera that gives grey only

    @staticmethod
    def _list(names):
        return ", ".join("%d: %s" % (i, n) for i, n in enumerate(names)) or "none"

    @property
    def bytes_per_pixel(self):
        bits = ctypes.c_int32(8)
        self._lib.getProperty(0, self.port, b"PixelSize", ctypes.byref(bits))
        return max(1, bits.value // 8)

    def _check_open(self):
        if self.port is None:
            raise KelvaneError("the camera is closed")

    def _copy(self):
        width, height = self.size
        bpp = self.bytes_per_pixel
        image = np.empty((height, width, bpp) if bpp > 1 else (height, width), dtype=np.uint8)
        # One whole-image read: the library copies it bottom row first.
        if not self._lib.getCVLGrabRow(0, self.port, image.ctypes.data, 0, 0, width * height - 1):
            return None
        return np.ascontiguousarray(image[::-1])

    def grab(self):
        """One image: (h, w, 3) blue-green-red or (h, w) grey, uint8."""
        self._check_open()
        mark = _mark()
        if not self._lib.doCVLGrab(0, self.port):
            _fail("%s: grab failed" % self.name, mark)
        image = self._copy()
        if image is None:
            _fail("%s: the image could not be read" % self.name, mark)
        return image

    def stream(self, count=None, timeout=10.0, queued=16):
        """Grabs continuously: yields images as the camera finishes them.
        Images the caller does not take in time (more than queued waiting)
        are not kept and are counted in self.dropped."""
        self._check_open()
        images = queue.Queue(maxsize=queued)

        def on_complete(grabber, port):
            image = self._copy()
            if image is not None:
                try:
                    images.put_nowait(image)
                except queue.Full:
                    self.dropped += 1
            return 0

        self._callback = _CompleteProc(on_complete)
        self._lib.setCompleteCallback(0, self.port, self._callback)
        mark = _mark()
        try:
            if not self._lib.setProperty(0, self.port, b"Continous", 1):
                _fail("%s: continuous mode did not start" % self.name, mark)
            taken = 0
            while count is None or taken < count:
                try:
                    image = images.get(timeout=timeout)
                except queue.Empty:
                    _fail("%s: no image for %g s" % (self.name, timeout), mark)
                taken += 1
                yield image
        finally:
            self._stop_stream()

    def _stop_stream(self):
        if self._callback is not None and self.port is not None:
            self._lib.setProperty(0, self.port, b"Continous", 0)
            self._lib.setCompleteCallback(0, self.port, _CompleteProc())  # waits for a running callback
            self._callback = None

    def close(self):
        if self.port is None:
            return
        self._stop_stream()
        self._lib.closeCVLPort(0, self.port)
        with _lock:
            _ports_used.discard(self.port)
        self.port = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        try:
            self.close()
        except Exception:
            pass

    def __repr__(self):
        return "<kelvane.Camera %r %dx%d%s>" % (self.name, self.size[0], self.size[1],
                                                "" if self.port is not None else " closed")
