"""The embedded demo dataset: coloured circles, squares and triangles on noisy backgrounds.

A deterministic generator (every image is drawn from its own seeded random stream) writes a small
detection dataset in the Darknet layout, with its descriptor YAML, into a cache folder on first
use. The cache is built in a temporary sibling folder, completed by a marker file and renamed into
place, so that an interrupted run never leaves a folder that looks usable: a folder without its
marker, or with fewer files than the marker records, is removed and built again.

Layout of a cache entry::

    <cache>/<name>/dataset.yaml            type darknet, absolute folder paths
    <cache>/<name>/train/images/00000.jpg  <cache>/<name>/train/labels/00000.txt
    <cache>/<name>/val/images/...          <cache>/<name>/val/labels/...
    <cache>/<name>/COMPLETE                JSON: the generator's parameters and file counts
"""

import errno
import json
import os
import shutil
import tempfile

import cv2
import numpy as np
import yaml

CLASSES = ["circle", "square", "triangle"]
DEFAULT_SEED = 20240611
DEFAULT_NUM_TRAIN = 1000
DEFAULT_NUM_VAL = 200
DEFAULT_IMGSZ = 160
# Bump when the drawing changes: the version names the cache entry, so old entries are not reused.
GENERATOR_VERSION = 1
MARKER = "COMPLETE"
DESCRIPTOR = "dataset.yaml"
_JPEG_QUALITY = 92
_TMP_PREFIX = ".tmp-"


def default_cache_dir():
    """The per-user cache root: ``$XDG_CACHE_HOME/orvane-kestrix`` or ``~/.cache/orvane-kestrix``."""
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "orvane-kestrix")


# ---------------------------------------------------------------------------------------------
# Drawing


def _background(rng, size):
    """A smooth two-colour gradient with low-frequency blotches and Gaussian noise, float32 BGR."""
    c0, c1 = rng.uniform(0, 255, size=(2, 3))
    angle = rng.uniform(0, 2 * np.pi)
    yy, xx = np.mgrid[0:size, 0:size].astype(np.float32) / max(size - 1, 1)
    t = (np.cos(angle) * xx + np.sin(angle) * yy)
    t = (t - t.min()) / max(float(t.max() - t.min()), 1e-6)
    img = c0[None, None, :] * (1 - t[..., None]) + c1[None, None, :] * t[..., None]
    cells = int(rng.integers(2, 7))
    blotches = rng.normal(0, rng.uniform(0, 40), size=(cells, cells, 3)).astype(np.float32)
    img += cv2.resize(blotches, (size, size), interpolation=cv2.INTER_CUBIC)
    img += rng.normal(0, rng.uniform(3, 18), size=img.shape)
    return np.clip(img, 0, 255).astype(np.float32)


def _shape_mask(rng, cls, size, extent):
    """Coverage mask (float32 in 0..1, anti-aliased) of one shape of class `cls`, or None when
    the drawn shape does not fit the image."""
    mask = np.zeros((size, size), np.uint8)
    half = extent / 2.0
    cx, cy = rng.uniform(half, size - half, size=2)
    if cls == 0:
        # Fixed-point coordinates (shift 4) keep sub-pixel positions and sizes.
        cv2.circle(mask, (int(cx * 16), int(cy * 16)), int(half * 16), 255, -1, cv2.LINE_AA, 4)
    else:
        if cls == 1:
            corners = np.array([[-1, -1], [1, -1], [1, 1], [-1, 1]], np.float64) * half
        else:
            # An equilateral triangle inscribed in the extent's circle, at any rotation.
            phase = rng.uniform(0, 2 * np.pi)
            a = phase + np.arange(3) * 2 * np.pi / 3
            corners = np.stack([np.cos(a), np.sin(a)], axis=1) * half
        pts = np.round((corners + [cx, cy]) * 16).astype(np.int32)
        cv2.fillPoly(mask, [pts], 255, cv2.LINE_AA, 4)
    if not mask.any():
        return None
    return mask.astype(np.float32) / 255.0


def _overlaps_too_much(box, boxes, limit=0.35):
    """True when `box` covers more than `limit` of itself or of an earlier box."""
    x1, y1, x2, y2 = box
    for bx1, by1, bx2, by2 in boxes:
        iw = min(x2, bx2) - max(x1, bx1)
        ih = min(y2, by2) - max(y1, by1)
        if iw <= 0 or ih <= 0:
            continue
        smaller = min((x2 - x1) * (y2 - y1), (bx2 - bx1) * (by2 - by1))
        if iw * ih > limit * smaller:
            return True
    return False


def _scene(seed, index, size):
    """The background of image `index` and its shapes: a list of (class, mask, colour, box) with
    the box the tight pixel rectangle [x1, y1, x2, y2) of the shape's mask."""
    rng = np.random.default_rng([seed, index])
    background = _background(rng, size)
    shapes, boxes = [], []
    for _ in range(int(rng.integers(1, 5))):
        for _attempt in range(30):
            cls = int(rng.integers(0, len(CLASSES)))
            extent = rng.uniform(0.1, 0.38) * size
            mask = _shape_mask(rng, cls, size, extent)
            if mask is None:
                continue
            x, y, w, h = cv2.boundingRect((mask > 0).astype(np.uint8))
            box = (x, y, x + w, y + h)
            if w < 3 or h < 3 or _overlaps_too_much(box, boxes):
                continue
            # A colour that stands out from the background under the shape.
            local = background[y:y + h, x:x + w].reshape(-1, 3).mean(axis=0)
            colour = rng.uniform(0, 255, size=3)
            for _ in range(20):
                if np.abs(colour - local).sum() >= 150:
                    break
                colour = rng.uniform(0, 255, size=3)
            shapes.append((cls, mask, colour, box))
            boxes.append(box)
            break
    return background, shapes


def _draw(background, shapes, seed, index):
    """Blends the shapes, in order, over the background: each a flat colour with its own mild
    noise, so that pixels outside every shape keep the background's values exactly."""
    rng = np.random.default_rng([seed, index, 1])
    img = background.copy()
    for _cls, mask, colour, (x1, y1, x2, y2) in shapes:
        region = img[y1:y2, x1:x2]
        fill = colour[None, None, :] + rng.normal(0, 6, size=region.shape)
        a = mask[y1:y2, x1:x2, None]
        region *= 1 - a
        region += fill * a
    return np.clip(np.rint(img), 0, 255).astype(np.uint8)


def render_sample(index, size=DEFAULT_IMGSZ, seed=DEFAULT_SEED):
    """Image `index` of the stream `seed`: (BGR uint8 image [size, size, 3], boxes) with boxes a
    list of (class id, x1, y1, x2, y2) in pixels, x2 and y2 exclusive."""
    background, shapes = _scene(seed, index, size)
    image = _draw(background, shapes, seed, index)
    return image, [(cls,) + tuple(box) for cls, _m, _c, box in shapes]


def _label_lines(boxes, size):
    lines = []
    for cls, x1, y1, x2, y2 in boxes:
        lines.append("%d %.6f %.6f %.6f %.6f" % (
            cls, (x1 + x2) / 2.0 / size, (y1 + y2) / 2.0 / size, (x2 - x1) / size, (y2 - y1) / size))
    return "".join(line + "\n" for line in lines)


def write_split(folder, first_index, count, size=DEFAULT_IMGSZ, seed=DEFAULT_SEED):
    """Writes images first_index .. first_index+count-1 into folder/images and folder/labels."""
    images = os.path.join(folder, "images")
    labels = os.path.join(folder, "labels")
    os.makedirs(images, exist_ok=True)
    os.makedirs(labels, exist_ok=True)
    params = [cv2.IMWRITE_JPEG_QUALITY, _JPEG_QUALITY]
    for k in range(count):
        image, boxes = render_sample(first_index + k, size, seed)
        name = "%05d" % k
        ok, data = cv2.imencode(".jpg", image, params)
        if not ok:
            raise OSError("could not encode demo image %s" % name)
        with open(os.path.join(images, name + ".jpg"), "wb") as f:
            f.write(data.tobytes())
        with open(os.path.join(labels, name + ".txt"), "w") as f:
            f.write(_label_lines(boxes, size))


def descriptor_for(root):
    """The Darknet descriptor of a dataset written under `root` (absolute folder paths)."""
    root = os.path.abspath(root)
    return {
        "type": "darknet",
        "classes": list(CLASSES),
        "train": {"images": os.path.join(root, "train", "images"),
                  "annotations": os.path.join(root, "train", "labels")},
        "validation": {"images": os.path.join(root, "val", "images"),
                       "annotations": os.path.join(root, "val", "labels")},
    }


# ---------------------------------------------------------------------------------------------
# The cache


def _entry_name(num_train, num_val, size, seed):
    return "shapes-v%d-s%d-%dx%d-%dpx" % (GENERATOR_VERSION, seed, num_train, num_val, size)


def _is_complete(path, expected):
    """True when `path` holds a finished build of exactly `expected` (the marker's content) with
    every file it lists still present."""
    try:
        with open(os.path.join(path, MARKER)) as f:
            marker = json.load(f)
    except (OSError, ValueError):
        return False
    if marker != expected:
        return False
    try:
        for split, count in (("train", expected["num_train"]), ("val", expected["num_val"])):
            for sub in ("images", "labels"):
                if len(os.listdir(os.path.join(path, split, sub))) != count:
                    return False
        return os.path.isfile(os.path.join(path, DESCRIPTOR))
    except OSError:
        return False


def _pid_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:
        return True
    return True


def _remove_stale_builds(cache_dir, name):
    """Removes temporary folders left by interrupted builds of `name` whose process has gone."""
    prefix = _TMP_PREFIX + name + "-"
    for entry in os.listdir(cache_dir):
        if not entry.startswith(prefix):
            continue
        pid = entry[len(prefix):].split("-", 1)[0]
        if pid.isdigit() and not _pid_alive(int(pid)):
            shutil.rmtree(os.path.join(cache_dir, entry), ignore_errors=True)


def ensure_demo_dataset(cache_dir=None, num_train=DEFAULT_NUM_TRAIN, num_val=DEFAULT_NUM_VAL,
                        size=DEFAULT_IMGSZ, seed=DEFAULT_SEED, log=None):
    """Returns the path of the demo dataset's descriptor YAML, generating the dataset into
    `cache_dir` (default: `default_cache_dir()`) unless a complete copy is already there.

    Args:
        cache_dir: folder that holds cache entries; created when missing.
        num_train, num_val: images in the training and validation splits.
        size: image width and height in pixels.
        seed: the random stream; the same arguments always give byte-identical files.
        log: optional callable taking one status line (e.g. `print`).
    """
    cache_dir = os.path.abspath(os.path.expanduser(cache_dir or default_cache_dir()))
    name = _entry_name(num_train, num_val, size, seed)
    final = os.path.join(cache_dir, name)
    expected = {"version": GENERATOR_VERSION, "seed": seed, "size": size,
                "num_train": num_train, "num_val": num_val, "classes": CLASSES}
    if _is_complete(final, expected):
        return os.path.join(final, DESCRIPTOR)

    os.makedirs(cache_dir, exist_ok=True)
    _remove_stale_builds(cache_dir, name)
    if log is not None:
        log("Generating the demo dataset (%d training and %d validation images) in %s"
            % (num_train, num_val, final))
    tmp = tempfile.mkdtemp(prefix="%s%s-%d-" % (_TMP_PREFIX, name, os.getpid()), dir=cache_dir)
    try:
        write_split(os.path.join(tmp, "train"), 0, num_train, size, seed)
        # Validation images continue the stream, so they never repeat a training image.
        write_split(os.path.join(tmp, "val"), num_train, num_val, size, seed)
        # The descriptor names the final location: the folder is renamed there below.
        with open(os.path.join(tmp, DESCRIPTOR), "w") as f:
            yaml.safe_dump(descriptor_for(final), f, sort_keys=False)
        with open(os.path.join(tmp, MARKER), "w") as f:
            json.dump(expected, f, sort_keys=True)
        if os.path.lexists(final):
            # An incomplete or damaged entry: never used, replaced.
            shutil.rmtree(final, ignore_errors=True)
        try:
            os.rename(tmp, final)
        except OSError as e:
            # Another process finished the same entry first; use theirs.
            if e.errno not in (errno.ENOTEMPTY, errno.EEXIST) or not _is_complete(final, expected):
                raise
            shutil.rmtree(tmp, ignore_errors=True)
    except BaseException:
        shutil.rmtree(tmp, ignore_errors=True)
        raise
    return os.path.join(final, DESCRIPTOR)
