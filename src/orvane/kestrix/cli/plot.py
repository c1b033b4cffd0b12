"""`kestrix plot RUN_FOLDER`: results.png, the validation curves of a run's summary.csv."""

import csv
import os

from orvane.kestrix.cli.common import CliError
from orvane.validator.evaluators import SUMMARY_KEYS

COLUMNS = ("epoch",) + SUMMARY_KEYS

RESULTS = "results.png"


def add_parser(sub, formatter):
    p = sub.add_parser("plot", formatter_class=formatter,
                       help="draw results.png from a run's summary.csv",
                       description="Draws the validation metrics of every epoch of a run "
                                   "(its summary.csv) as results.png in the run folder.")
    p.add_argument("run_folder", metavar="RUN_FOLDER", help="run folder holding summary.csv")
    return p


def read_summary(path):
    """The rows of summary.csv: a list of {column: float}, oldest first."""
    try:
        with open(path, newline="", encoding="utf-8") as f:
            reader = csv.DictReader(f)
            missing = [k for k in COLUMNS if k not in (reader.fieldnames or [])]
            if missing:
                raise CliError("%s is not a validation summary: no column %s" % (path, missing[0]))
            return [{k: float(row[k]) for k in COLUMNS} for row in reader]
    except (TypeError, ValueError) as e:
        raise CliError("%s: unreadable value (%s)" % (path, e))
    except OSError as e:
        raise CliError("cannot read %s: %s" % (path, e.strerror or e))


def write_results_png(run_folder):
    """Draws summary.csv of `run_folder` into results.png beside it; returns the image path."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows = read_summary(os.path.join(run_folder, "summary.csv"))
    if not rows:
        raise CliError("%s holds no validation rows yet" % os.path.join(run_folder, "summary.csv"))
    # Epoch 0 is the validation before the first training epoch.
    epochs = [r["epoch"] for r in rows]
    groups = [("mAP", SUMMARY_KEYS[0:3]), ("mACC", SUMMARY_KEYS[3:6]), ("mAR", SUMMARY_KEYS[6:9]),
              ("Overall", SUMMARY_KEYS[9:12])]
    fig, axes = plt.subplots(2, 2, figsize=(9, 6.5), constrained_layout=True)
    for ax, (title, keys) in zip(axes.flat, groups):
        for key in keys:
            ax.plot(epochs, [r[key] for r in rows], marker="o", markersize=3, label=key)
        ax.set_title(title)
        ax.set_xlabel("epoch")
        ax.set_ylabel("%")
        ax.set_ylim(0, 100)
        ax.grid(alpha=0.3)
        ax.legend(fontsize=7)
    fig.suptitle(os.path.basename(os.path.normpath(run_folder)))
    out = os.path.join(run_folder, RESULTS)
    tmp = out + ".tmp.png"
    fig.savefig(tmp, dpi=100)
    plt.close(fig)
    os.replace(tmp, out)
    return out


def run(args):
    if not os.path.isdir(args.run_folder):
        raise CliError("run folder not found: %s" % args.run_folder)
    if not os.path.isfile(os.path.join(args.run_folder, "summary.csv")):
        raise CliError("no summary.csv in %s" % args.run_folder)
    print("Wrote %s" % write_results_png(args.run_folder))
    return 0
