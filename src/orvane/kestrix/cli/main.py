"""The `kestrix` command: argument parsing and the one-line error convention of every subcommand.

Each subcommand lives in its own module of this package with two functions: `add_parser(sub)`
declares its arguments and `run(args)` assembles the package's objects and returns the exit
status. Heavy imports (TensorFlow above all) happen inside `run`, so `--help` answers at once;
TensorFlow is imported (quietly) when a command first reaches it.

Bad input (a missing descriptor, a dataset that fails its checks, weights that do not load, an
unknown flag) or a failing file system (a full disk, a read-only folder, a file where a folder
belongs) ends with one line on stderr, "kestrix <command>: error: <what is wrong>", and exit
status 2; no traceback. Ctrl-C ends with "kestrix <command>: interrupted" and status 130.
"""

import argparse
import importlib
import importlib.util
import os
import sys

from orvane.kestrix.cli.common import INTERRUPTED, CliError, caught_stderr, os_error_line

SUBCOMMANDS = ("train", "check", "convert", "val", "predict", "export", "plot")
BAD_INPUT = 2


class _Parser(argparse.ArgumentParser):
    """An argument parser whose errors are one line (no usage block) with exit status 2."""

    def error(self, message):
        self.exit(BAD_INPUT, "%s: error: %s (see %s --help)\n" % (self.prog, message, self.prog))


class _Formatter(argparse.HelpFormatter):
    """Shows each option's default (when it has one worth showing)."""

    def _get_help_string(self, action):
        text = action.help or ""
        default = action.default
        if default is not None and default is not False and default != argparse.SUPPRESS \
                and "%(default)" not in text and action.option_strings:
            text += " (default: %(default)s)"
        return text


def build_parser():
    parser = _Parser(prog="kestrix", formatter_class=_Formatter,
                     description="Train, check, convert, validate, run and export detectors of orvane.kestrix.")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    sub.required = True
    for name in SUBCOMMANDS:
        module = importlib.import_module("orvane.kestrix.cli." + name)
        command = module.add_parser(sub, _Formatter)
        command.set_defaults(handler=module.run)
    return parser


def _import_tensorflow_quietly():
    """Imports TensorFlow with the process's stderr caught: its native libraries announce
    themselves (oneDNN, CUDA) before any log level applies. What they wrote is shown when the
    import fails."""
    os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "2")
    with caught_stderr():
        import tensorflow  # noqa: F401


class _QuietTensorFlow:
    """An import hook: the first import of TensorFlow, by whatever module a subcommand reaches
    (the dataset readers, the trainer, `import tensorflow`), goes through
    `_import_tensorflow_quietly`. So TensorFlow costs nothing until a command needs it: bad
    arguments are reported without it."""

    def find_spec(self, name, path=None, target=None):
        if name != "tensorflow":
            return None
        sys.meta_path.remove(self)
        _import_tensorflow_quietly()
        # The module is imported; the import machinery gets it back through this loader (with
        # the module's own loader it would run the module again).
        return importlib.util.spec_from_loader(name, _Imported(sys.modules.pop(name)))


class _Imported:
    """The loader of a module that is already imported: hands it over as it is."""

    def __init__(self, module):
        self.module = module
        self.original_spec = module.__spec__

    def create_module(self, _module_spec):
        return self.module

    def exec_module(self, module):
        module.__spec__ = self.original_spec  # the import machinery set ours


def main(argv=None):
    """Runs one subcommand; returns its exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    hook = None
    if args.command != "plot":
        os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "2")
        if "tensorflow" not in sys.modules:
            hook = _QuietTensorFlow()
            sys.meta_path.insert(0, hook)
    try:
        return args.handler(args) or 0
    except CliError as e:
        print("kestrix %s: error: %s" % (args.command, e), file=sys.stderr)
        return BAD_INPUT
    except OSError as e:
        if isinstance(e, BrokenPipeError):
            return _stdout_gone()
        # A full disk, a read-only or missing folder, a file where a folder belongs: the
        # environment's fault, said in one line naming the path.
        print("kestrix %s: error: %s" % (args.command, os_error_line(e)), file=sys.stderr)
        return BAD_INPUT
    except Exception as e:
        if _caused_by_interrupt(e):
            # Ctrl-C inside an import or library code can surface as another error raised
            # while the KeyboardInterrupt was handled ("ImportError: initialization failed").
            print("\nkestrix %s: interrupted" % args.command, file=sys.stderr)
            return INTERRUPTED
        # TensorFlow's own file writes (event files, checkpoints) report a denied write or a
        # full disk as its errors, not as OSError: the same one line.
        if not _file_system_error_of_tensorflow(e):
            raise
        text = (getattr(e, "message", None) or str(e)).strip().splitlines()
        print("kestrix %s: error: %s" % (args.command, text[0] if text else type(e).__name__), file=sys.stderr)
        return BAD_INPUT
    except KeyboardInterrupt:
        # Ctrl-C outside training (which reports its own): whatever was being written is left
        # to its temporary files, which are not taken for results.
        print("\nkestrix %s: interrupted" % args.command, file=sys.stderr)
        return INTERRUPTED
    finally:
        if hook in sys.meta_path:
            sys.meta_path.remove(hook)


def _caused_by_interrupt(error):
    """Whether a KeyboardInterrupt is among the causes or contexts of `error`."""
    seen = set()
    while error is not None and id(error) not in seen:
        if isinstance(error, KeyboardInterrupt):
            return True
        seen.add(id(error))
        error = error.__cause__ or error.__context__
    return False


def _file_system_error_of_tensorflow(error):
    tf = sys.modules.get("tensorflow")
    errors = getattr(tf, "errors", None)
    return errors is not None and isinstance(error, (errors.PermissionDeniedError, errors.ResourceExhaustedError))


def _stdout_gone():
    """The reader of our output went away (`kestrix predict ... | head`): nothing to say."""
    os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    return 0


if __name__ == "__main__":
    sys.exit(main())
