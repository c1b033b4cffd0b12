"""letterbox and xywhn2xyxy: the image and box helpers of the detection datasets."""
import cv2
import numpy as np
import pytest

from orvane.kestrix.datasets.utils import letterbox, xywhn2xyxy

pytestmark = pytest.mark.keras_free


def marked_image(h, w, channels=3):
    """A dark image with a bright rectangle over the middle half of each axis."""
    shape = (h, w) if channels is None else (h, w, channels)
    image = np.full(shape, 10, np.uint8)
    image[h // 4 : 3 * h // 4, w // 4 : 3 * w // 4] = 250
    return image


class TestLetterbox:
    @pytest.mark.parametrize("src, target", [((480, 640), (320, 320)), ((100, 30), (64, 96)), ((7, 9), (300, 200)),
                                             ((64, 64), (64, 64))])
    def test_content_lands_where_ratio_and_pad_say(self, src, target):
        h, w = src
        image = marked_image(h, w)
        out, ratio, pad = letterbox(image, list(target))
        assert out.shape == (*target, 3) and out.dtype == np.uint8
        # Scaled content size from the ratio, as the dataset readers compute it.
        cw, ch = ratio[0] * w, ratio[1] * h
        assert cw <= target[1] and ch <= target[0]
        assert max(cw / target[1], ch / target[0]) == pytest.approx(1.0, abs=1e-9)  # fills one axis
        assert ratio[0] == pytest.approx(ratio[1], rel=0.1)  # aspect kept (up to rounding)
        # Centre of the bright rectangle maps through x * rx + padw.
        centre_x, centre_y = (w / 2) * ratio[0] + pad[0], (h / 2) * ratio[1] + pad[1]
        assert out[int(centre_y), int(centre_x), 0] > 200
        # Padding is grey and the content edges sit right after it.
        left, top = int(pad[0]), int(pad[1])
        if left > 0:
            assert (out[:, :left] == 114).all()
        if top > 0:
            assert (out[:top] == 114).all()
        assert out[top, left, 0] == 10 and out[top + int(round(ch)) - 1, left + int(round(cw)) - 1, 0] == 10
        assert (out[top + int(round(ch)) :] == 114).all() and (out[:, left + int(round(cw)) :] == 114).all()

    def test_channel_layouts_and_shape_forms(self):
        for image in (marked_image(30, 40, None), marked_image(30, 40, 1)):
            out, ratio, pad = letterbox(image, 80)
            assert out.shape == (80, 80) + image.shape[2:]
            assert ratio == pytest.approx((2.0, 2.0)) and pad == (0.0, 10.0)
        out, _, _ = letterbox(marked_image(30, 40), (np.int64(50), np.int64(60)))
        assert out.shape == (50, 60, 3)
        image = marked_image(30, 40)
        letterbox(image, (50, 50))
        np.testing.assert_array_equal(image, marked_image(30, 40))  # input untouched

    def test_auto_pads_only_to_a_multiple_of_32(self):
        out, ratio, pad = letterbox(marked_image(480, 640), (640, 640), auto=True)
        assert out.shape == (480, 640, 3) and pad == (0.0, 0.0) and ratio == (1.0, 1.0)
        out, _, pad = letterbox(marked_image(300, 640), (640, 640), auto=True)
        assert out.shape == (320, 640, 3) and pad == (0.0, 10.0)

    def test_rejects_bad_images_and_shapes(self):
        with pytest.raises(ValueError, match="uint8"):
            letterbox(np.zeros((10, 10, 3), np.float32), (20, 20))
        with pytest.raises(ValueError, match=r"\(10, 10, 5\)"):
            letterbox(np.zeros((10, 10, 5), np.uint8), (20, 20))
        with pytest.raises(ValueError, match=r"\(0, 10, 3\)"):
            letterbox(np.zeros((0, 10, 3), np.uint8), (20, 20))
        for shape, error in (((20,), ValueError), ((20, 0), ValueError), ((1.5, 20), TypeError),
                             ((20, 20, 3), ValueError), (2**64, ValueError), ((20, -(2**70)), ValueError),
                             ("20", TypeError)):
            with pytest.raises(error, match="new_shape"):
                letterbox(np.zeros((10, 10, 3), np.uint8), shape)


def reference_letterbox(image, shape, auto=False):
    """The letter-box written out plainly: scale to fit (area when shrinking, bilinear when
    enlarging), centre, pad with 114; auto pads only up to the next multiple of 32."""
    h, w = image.shape[:2]
    th, tw = shape
    r = min(tw / w, th / h)
    cw, ch = (min(max(int(np.floor(side * r + 0.5)), 1), limit) for side, limit in ((w, tw), (h, th)))
    if auto:
        tw, th = min(tw, -(-cw // 32) * 32), min(th, -(-ch // 32) * 32)
    content = image
    if (cw, ch) != (w, h):
        content = cv2.resize(image, (cw, ch), interpolation=cv2.INTER_AREA if cw < w else cv2.INTER_LINEAR)
    canvas = np.full((th, tw) + image.shape[2:], 114, np.uint8)
    left, top = (tw - cw) // 2, (th - ch) // 2
    canvas[top : top + ch, left : left + cw] = content.reshape((ch, cw) + image.shape[2:])
    return canvas, (cw / w, ch / h), (float(left), float(top))


class TestLetterboxPixels:
    # (image h, w), target (h, w): whole-factor shrinks (5, 4, 3 x 2 and the 2 x 2 OpenCV rounds in
    # integers), other shrinks, enlargements, odd padding, square/tall/wide, 1 x 1, no resize
    @pytest.mark.parametrize("src, target", [
        ((480, 640), (128, 128)), ((64, 128), (16, 64)), ((90, 60), (64, 20)), ((60, 80), (30, 40)),
        ((480, 640), (320, 320)), ((517, 333), (100, 200)), ((7, 300), (32, 48)), ((300, 100), (61, 47)),
        ((30, 10), (64, 64)), ((33, 47), (50, 51)), ((64, 64), (100, 100)), ((1, 1), (5, 7)),
        ((32, 48), (32, 48)), ((300, 640), (640, 640)),
    ])
    def test_matches_the_plain_letterbox_byte_for_byte(self, src, target):
        rng = np.random.default_rng(sum(src) * 7 + sum(target))
        for channels in (None, 1, 3, 4):
            image = rng.integers(0, 256, src if channels is None else (*src, channels), dtype=np.uint8)
            image[: src[0] // 2] = rng.integers(0, 256, image.shape[2:], dtype=np.uint8)  # flat half: ties
            for auto in (False, True):
                out, ratio, pad = letterbox(image, target, auto=auto)
                expected, expected_ratio, expected_pad = reference_letterbox(image, target, auto)
                assert out.shape == expected.shape, (channels, auto)
                np.testing.assert_array_equal(out, expected, err_msg=f"channels={channels} auto={auto}")
                assert ratio == expected_ratio and pad == expected_pad


class TestXywhn2xyxy:
    def test_corners_padding_and_passthrough_columns(self):
        boxes = np.array([[0.5, 0.5, 0.2, 0.4, 3.0], [0.0, 1.0, 1.0, 0.0, 7.0]], np.float32)
        out = xywhn2xyxy(boxes, 100, 50, padw=10, padh=20)
        expected = [[50, 35, 70, 55, 3], [-40, 70, 60, 70, 7]]
        np.testing.assert_allclose(out, expected, atol=1e-4)
        assert out.dtype == np.float32 and out.flags.writeable
        out[:, 0] = -1  # a new array: the caller may write into it
        assert boxes[0, 0] == pytest.approx(0.5)

    def test_shapes_and_dtypes(self):
        assert xywhn2xyxy(np.zeros((0, 4), np.float32), 10, 10).shape == (0, 4)
        assert xywhn2xyxy(np.zeros((0, 5)), 10, 10).shape == (0, 5)
        out = xywhn2xyxy([[0.5, 0.5, 1.0, 1.0]], np.float32(8), 4.0)
        assert out.dtype == np.float64
        np.testing.assert_array_equal(out, [[0, 0, 8, 4]])
        strided = np.arange(40, dtype=np.float64).reshape(5, 8)[::2, ::2] / 40  # non-contiguous input
        np.testing.assert_allclose(xywhn2xyxy(strided, 2, 2)[:, 0], (strided[:, 0] - strided[:, 2] / 2) * 2)

    def test_wrong_shapes_name_the_shape(self):
        for bad in (np.zeros(4), np.zeros((3, 3)), np.zeros((2, 2, 4))):
            with pytest.raises(ValueError, match=str(bad.shape).replace("(", r"\(").replace(")", r"\)")):
                xywhn2xyxy(bad, 10, 10)
        with pytest.raises(TypeError, match="'w'"):
            xywhn2xyxy(np.zeros((1, 4)), "ten", 10)
