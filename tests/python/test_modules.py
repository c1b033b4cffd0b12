"""Every compiled module of the package, imported together in a fresh interpreter.

A fresh interpreter is the only place where an import-order dependency or a module that
changes process-wide state at import shows; one process checks them all, because each start
costs a TensorFlow import.
"""
import importlib.machinery
import os
import subprocess
import sys
from pathlib import Path

import orvane

PACKAGE_ROOT = Path(orvane.__file__).resolve().parent.parent


def compiled_modules():
    """Import names of every extension module under the package, found by file."""
    names = set()
    for suffix in importlib.machinery.EXTENSION_SUFFIXES:
        for path in (PACKAGE_ROOT / "orvane").rglob("*" + suffix):
            folder = path.relative_to(PACKAGE_ROOT).parent.parts
            names.add(".".join(folder + (path.name[: -len(suffix)].split(".")[0],)))
    return sorted(names)


def run_python(code, *args):
    env = dict(os.environ, PYTHONPATH=str(PACKAGE_ROOT), TF_CPP_MIN_LOG_LEVEL="3")
    return subprocess.run([sys.executable, "-c", code, *args], capture_output=True, text=True, env=env, timeout=300)


# Every module in name order (the trainer before the validator modules it imports), NumPy's error
# handling checked afterwards, then the classes whose bases and homes callers rely on.
IMPORT_ALL = """
import importlib, importlib.machinery, sys
import numpy as np
np.seterr(all='raise')
before = np.geterr()
for name in sys.argv[1:]:
    module = importlib.import_module(name)
    print(name, module.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES)))
assert np.geterr() == before, np.geterr()
from orvane.kestrix.trainer import detection
from orvane.kestrix.callbacks.tensorboard import TensorBoard
from orvane.validator.writers import TrainingTensorBoardWriter
print('trainer', [detection.t0, detection.t1, detection.t2, detection.t3, detection.t4],
      detection.DetectionTrainer.__bases__)
print('tensorboard', TensorBoard.__mro__)
print('writers', TrainingTensorBoardWriter.__module__)
"""


def test_every_module_imports_compiled_and_leaves_process_state_alone():
    names = compiled_modules()
    assert {"orvane.kestrix.trainer.detection", "orvane.kestrix.datasets.darknet"} <= set(names)
    result = run_python(IMPORT_ALL, *names)
    assert result.returncode == 0, result.stderr[-3000:]
    lines = result.stdout.splitlines()
    assert lines[:len(names)] == ["%s True" % name for name in names]
    assert lines[len(names):] == [
        "trainer [0, 0, 0, 0, 0] (<class 'object'>,)",
        "tensorboard (<class 'orvane.kestrix.callbacks.tensorboard.TensorBoard'>, <class 'object'>)",
        "writers orvane.validator.writers",
    ]


def test_a_failing_import_fails_the_module():
    result = run_python("import sys\n"
                        "sys.modules['orvane.validator.writers'] = None\n"
                        "import orvane.kestrix.trainer.detection\n")
    assert result.returncode != 0
    assert "ImportError" in result.stderr and "orvane.validator.writers" in result.stderr
