"""`kestrix predict --weights best.h5 --source IMAGE_OR_FOLDER`: detections drawn on each image,
written as image files, and one line per image listing its detections."""

import os

from orvane.kestrix.cli import recipe as default_recipe
from orvane.kestrix.cli.common import CliError, Detector, finite, make_folder, refuse_overlap, \
    usable_folder, write_bytes_atomically

IMAGE_EXTENSIONS = (".png", ".jpg", ".jpeg")
# Drawing colours (BGR), one per class number, cycling.
_PALETTE = [(56, 56, 255), (151, 157, 255), (31, 112, 255), (29, 178, 255), (49, 210, 207),
            (10, 249, 72), (23, 204, 146), (134, 219, 61), (211, 188, 0), (255, 149, 0)]


def add_parser(sub, formatter):
    p = sub.add_parser("predict", formatter_class=formatter,
                       help="detect objects in images and draw them",
                       description="Runs saved weights on an image or on every PNG/JPEG image of "
                                   "a folder, writes each image with its detections drawn into "
                                   "--out and prints one line per image.")
    p.add_argument("--weights", metavar="H5", required=True,
                   help="best.h5 or last.h5 of a run, or an export of kestrix export (.tflite, .onnx, "
                        "a SavedModel folder), run in its own runtime")
    p.add_argument("--source", metavar="PATH", required=True, help="an image file or a folder of images")
    p.add_argument("--out", metavar="DIR", default=os.path.join("runs", "predict"),
                   help="folder for the drawn images")
    p.add_argument("--conf", type=float, default=0.25, help="lowest score of a detection shown")
    p.add_argument("--imgsz", type=int, default=default_recipe.RECIPE["imgsz"],
                   help="input size, when the model does not fix one")
    return p


def _sources(source):
    """The images of --source, and the names of what was skipped in its folder for not being a
    regular file (a named pipe would block the read for ever)."""
    if os.path.isdir(source):
        try:
            names = sorted(n for n in os.listdir(source) if n.lower().endswith(IMAGE_EXTENSIONS))
        except OSError as e:
            raise CliError("--source %s: cannot list the folder: %s" % (source, e.strerror))
        paths = [os.path.join(source, n) for n in names]
        images = [p for p in paths if os.path.isfile(p)]
        skipped = [p for p in paths if not os.path.isfile(p) and not os.path.isdir(p)]
        if not images:
            raise CliError("no PNG or JPEG image in %s" % source)
        return images, skipped
    if os.path.isfile(source):
        return [source], []
    if os.path.exists(source):
        raise CliError("--source %s is not a regular file or a folder" % source)
    raise CliError("source not found: %s" % source)


def _draw(image_bgr, boxes, labels, scores, classes):
    import cv2

    h, w = image_bgr.shape[:2]
    thickness = max(1, round((h + w) / 400))
    for (x1, y1, x2, y2), label, score in zip(boxes, labels, scores):
        colour = _PALETTE[classes.index(label) % len(_PALETTE)] if label in classes else _PALETTE[0]
        p1, p2 = (int(round(x1 * w)), int(round(y1 * h))), (int(round(x2 * w)), int(round(y2 * h)))
        cv2.rectangle(image_bgr, p1, p2, colour, thickness, cv2.LINE_AA)
        text = "%s %.2f" % (label, score)
        (tw, th), base = cv2.getTextSize(text, cv2.FONT_HERSHEY_SIMPLEX, 0.35, 1)
        top = p1[1] - th - base if p1[1] - th - base >= 0 else p1[1]
        cv2.rectangle(image_bgr, (p1[0], top), (p1[0] + tw, top + th + base), colour, -1)
        cv2.putText(image_bgr, text, (p1[0], top + th), cv2.FONT_HERSHEY_SIMPLEX, 0.35,
                    (255, 255, 255), 1, cv2.LINE_AA)
    return image_bgr


def run(args):
    import cv2
    import numpy as np

    finite(args.conf, "conf", 0, 1)
    sources, skipped = _sources(args.source)
    # Drawn copies keep their names: an output folder holding a source would replace it.
    refuse_overlap(args.out, [os.path.join(args.out, os.path.basename(p)) for p in sources], sources)
    usable_folder(args.out, "--out")
    detector = Detector(args.weights, args.imgsz)
    classes = detector.classes or ["class %d" % k for k in range(detector.num_classes)]
    if len(classes) != detector.num_classes:
        raise CliError("%s scores %d classes, but its labels.txt names %d"
                       % (args.weights, detector.num_classes, len(classes)))
    runner = detector.runner(classes, score_threshold=args.conf)
    # Created once the model is known to run: a refused model leaves no empty folder behind.
    make_folder(args.out, "--out")
    for path in skipped:
        print("Skipping %s: not a regular file" % path)
    from orvane.kestrix.datasets.darknet import read_image

    for path in sources:
        name = os.path.basename(path)
        try:
            image = read_image(path)  # as training reads it (16-bit images scaled, not clipped)
        except ValueError as e:
            raise CliError("cannot read the image %s: %s" % (path, str(e).replace("[ERROR]: ", "")))
        boxes, labels, scores = runner.run_single_instance(image)
        drawn = _draw(np.ascontiguousarray(image[..., ::-1]), boxes, list(labels), scores, classes)
        encoded, data = cv2.imencode(os.path.splitext(name)[1], drawn)
        if not encoded:
            raise CliError("cannot encode the drawn copy of %s" % path)
        write_bytes_atomically(os.path.join(args.out, name), data.tobytes())
        h, w = image.shape[:2]
        found = ", ".join("%s %.2f [%d %d %d %d]" % (label, score, x1 * w, y1 * h, x2 * w, y2 * h)
                          for (x1, y1, x2, y2), label, score in zip(boxes, labels, scores))
        print("%s: %d detections%s" % (name, len(labels), (": " + found) if found else ""))
    print("Drawn images in %s" % args.out)
    return 0
