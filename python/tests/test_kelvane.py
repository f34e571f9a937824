"""The Python module on the built-in simulated bus (KELVANE_BACKEND=sim)."""
import fcntl
import os

import numpy as np
import pytest

import kelvane

COLOUR = "Kestrel Optics KC-640C - 10472"


def test_three_lines_give_a_bgr_image():
    with kelvane.Camera("USB 2.0 Video Camera") as camera:
        image = camera.grab()
    assert image.shape == (480, 640, 3) and image.dtype == np.uint8
    assert image.flags.c_contiguous
    assert image.std() > 0  # a picture, not a constant


def test_rows_come_top_row_first_as_the_library_reads_them():
    with kelvane.Camera(COLOUR, colour=False) as camera:
        image = camera.grab()
        row = np.empty(640, dtype=np.uint8)
        assert camera._lib.getCVLGrabRow(0, camera.port, row.ctypes.data, 0, 0, 639)
    assert image.shape == (480, 640)
    np.testing.assert_array_equal(image[0], row)


def test_properties_are_a_mapping_with_ranges():
    with kelvane.Camera(0) as camera:
        props = camera.properties
        assert "Gain" in list(props)
        assert "Zoom" not in list(props)
        lo, hi = props.range("gain")
        assert (lo, hi) == (0, 24)
        props["Gain"] = 7
        assert props["Gain"] == 7
        with pytest.raises(kelvane.KelvaneError, match=r"refuses Gain=100: its range is 0\.\.24"):
            props["Gain"] = 100
        assert props["Gain"] == 7
        with pytest.raises(KeyError):
            props["NoSuchProperty"]


def test_stream_yields_each_image_of_the_run():
    with kelvane.Camera(0, colour=False) as camera:
        images = list(camera.stream(count=12))
        assert camera.dropped == 0
        assert camera.grab().shape == (480, 640)  # synchronous again after the stream
    assert len(images) == 12
    assert all(i.shape == (480, 640) for i in images)


@pytest.mark.parametrize(
    "camera, reason",
    [
        ("No Such Camera", "no camera 'No Such Camera'; the cameras are 0: " + COLOUR),
        (7, "no camera 7; the cameras are 0: "),
    ],
)
def test_unknown_cameras_are_named_with_the_list(camera, reason):
    with pytest.raises(kelvane.KelvaneError, match="^" + reason.replace("(", r"\(")):
        kelvane.Camera(camera)


def test_a_camera_held_elsewhere_says_by_whom():
    locks = os.environ["KELVANE_LOCK_DIR"]
    os.makedirs(locks, exist_ok=True)
    with open(os.path.join(locks, "MARLUNE : KELVANE MUX.0.1"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        lock.write("%d\n" % (os.getppid()))
        lock.flush()
        with pytest.raises(kelvane.KelvaneError, match="camera in use by process %d" % (os.getppid())):
            kelvane.Camera(1)


def test_a_closed_camera_refuses_to_grab():
    camera = kelvane.Camera(0)
    camera.close()
    with pytest.raises(kelvane.KelvaneError, match="closed"):
        camera.grab()
