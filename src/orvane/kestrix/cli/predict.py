"""`kestrix predict --weights best.h5 --source IMAGE_OR_FOLDER`: detections drawn on each image,
written as image files, and one line per image listing its detections."""

import os

from orvane.kestrix.cli import recipe as default_recipe
from orvane.kestrix.cli.common import CliError, Detector

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
    if os.path.isdir(source):
        names = sorted(n for n in os.listdir(source) if n.lower().endswith(IMAGE_EXTENSIONS))
        if not names:
            raise CliError("no PNG or JPEG image in %s" % source)
        return [os.path.join(source, n) for n in names]
    if os.path.isfile(source):
        return [source]
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
    from PIL import Image

    if not 0 <= args.conf <= 1:
        raise CliError("--conf must lie in 0..1, got %s" % args.conf)
    sources = _sources(args.source)
    detector = Detector(args.weights, args.imgsz)
    classes = detector.classes or ["class %d" % k for k in range(detector.num_classes)]
    if len(classes) != detector.num_classes:
        raise CliError("%s scores %d classes, but its labels.txt names %d"
                       % (args.weights, detector.num_classes, len(classes)))
    runner = detector.runner(classes, score_threshold=args.conf)
    os.makedirs(args.out, exist_ok=True)
    for path in sources:
        name = os.path.basename(path)
        try:
            with Image.open(path) as im:
                image = np.asarray(im.convert("RGB"))
        except Exception as e:  # Pillow raises several kinds for damaged files
            raise CliError("cannot read the image %s: %s" % (path, e))
        boxes, labels, scores = runner.run_single_instance(image)
        drawn = _draw(np.ascontiguousarray(image[..., ::-1]), boxes, list(labels), scores, classes)
        cv2.imwrite(os.path.join(args.out, name), drawn)
        h, w = image.shape[:2]
        found = ", ".join("%s %.2f [%d %d %d %d]" % (label, score, x1 * w, y1 * h, x2 * w, y2 * h)
                          for (x1, y1, x2, y2), label, score in zip(boxes, labels, scores))
        print("%s: %d detections%s" % (name, len(labels), (": " + found) if found else ""))
    print("Drawn images in %s" % args.out)
    return 0
