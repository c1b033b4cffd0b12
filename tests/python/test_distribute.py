"""Data-parallel training: MirroredStrategy over two logical CPU devices, and
MultiWorkerMirroredStrategy with two worker processes on this machine.

Each case runs in subprocesses, so the device set-up and the cluster stay out of this process.
"""
import json
import os
import socket
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np

import orvane

PACKAGE_ROOT = str(Path(orvane.__file__).resolve().parent.parent)
TESTS = str(Path(__file__).resolve().parent)


def python(code, *args, env=None, background=False):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([PACKAGE_ROOT, TESTS]), TF_CPP_MIN_LOG_LEVEL="3", **(env or {}))
    command = [sys.executable, "-c", textwrap.dedent(code), *map(str, args)]
    if background:
        return subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    return subprocess.run(command, env=env, capture_output=True, text=True, timeout=300)


def output(done):
    return "\n--- stdout\n%s\n--- stderr\n%s" % (done.stdout[-3000:], done.stderr[-3000:])


MIRRORED = """
    import json, sys
    import numpy as np
    import tensorflow as tf
    (cpu,) = tf.config.list_physical_devices("CPU")
    tf.config.set_logical_device_configuration(cpu, [tf.config.LogicalDeviceConfiguration()] * 2)
    from models import make_detector, make_train_dataset, make_trainer, read_scalars

    root = sys.argv[1]
    strategy = tf.distribute.MirroredStrategy(["/cpu:0", "/cpu:1"])
    tf.keras.utils.set_random_seed(0)
    with strategy.scope():
        model = make_detector()
        optimizer = tf.keras.optimizers.SGD(0.1)
        optimizer.build(model.trainable_variables)
    single = make_detector()
    single.set_weights(model.get_weights())
    trainers = {
        "mirrored": make_trainer(root + "/mirrored", model=model, optimizer=optimizer, build_optimizer=False),
        "single": make_trainer(root + "/single", model=single, optimizer=tf.keras.optimizers.SGD(0.1)),
    }
    for trainer in trainers.values():
        # global batches of 4 and 2 images (2 and 1 per replica), then another image size
        trainer.train(2, make_train_dataset(6, batch_size=4))
        trainer.train(3, make_train_dataset(4, batch_size=4, size=(16, 20)), start=3)
    mirrored = trainers["mirrored"]
    print(json.dumps({
        "replicas": strategy.num_replicas_in_sync,
        "traces": mirrored.distributed_step.experimental_get_tracing_count(),
        "single_traces": mirrored.train_step.experimental_get_tracing_count(),
        "difference": max(float(np.max(np.abs(a - b))) for a, b in zip(model.get_weights(), single.get_weights())),
        "logged": {name: [v for _, v in read_scalars(t.logger.storage)["total-loss"]] for name, t in trainers.items()},
    }))
"""


def test_mirrored_over_two_devices_matches_one_device():
    import tempfile

    with tempfile.TemporaryDirectory() as root:
        done = python(MIRRORED, root)
        assert done.returncode == 0, output(done)
    result = json.loads(done.stdout.strip().splitlines()[-1])
    assert result["replicas"] == 2
    assert result["difference"] < 1e-5
    # the logged losses are the means over the replicas: the single device's on the global batch
    np.testing.assert_allclose(result["logged"]["mirrored"], result["logged"]["single"], rtol=1e-5)
    assert len(result["logged"]["mirrored"]) == 5
    assert (result["traces"], result["single_traces"]) == (1, 0)


WORKER = """
    import json, os, shutil, sys, tempfile
    import numpy as np
    import tensorflow as tf
    strategy = tf.distribute.MultiWorkerMirroredStrategy()
    from models import RecordingEvaluator, make_detector, make_train_dataset, make_trainer, make_val_dataset

    root = sys.argv[1]
    chief = strategy.cluster_resolver.task_id == 0
    # The workers other than the chief log into a folder of their own that is removed at the end.
    logs = root if chief else tempfile.mkdtemp()
    tf.keras.utils.set_random_seed(0)
    with strategy.scope():
        model = make_detector()
        optimizer = tf.keras.optimizers.SGD(0.1)
        optimizer.build(model.trainable_variables)
    trainer = make_trainer(logs, model=model, optimizer=optimizer, build_optimizer=False, keep_state=True)
    trainer.checkpoint  # the chief's folder name differs; the trainer writes only on the chief
    data = make_train_dataset(8, batch_size=4)
    options = tf.data.Options()
    options.experimental_distribute.auto_shard_policy = tf.data.experimental.AutoShardPolicy.OFF
    trainer.train(2, data.with_options(options), make_val_dataset(2), RecordingEvaluator())
    if not chief:
        shutil.rmtree(logs)
    print(json.dumps({"chief": chief, "checksum": [float(np.sum(w)) for w in model.get_weights()],
                      "iterations": int(optimizer.iterations.numpy())}))
"""


def free_ports(n):
    sockets = [socket.socket() for _ in range(n)]
    for s in sockets:
        s.bind(("127.0.0.1", 0))
    ports = [s.getsockname()[1] for s in sockets]
    for s in sockets:
        s.close()
    return ports


def test_multi_worker_trains_in_step_and_only_the_chief_writes(tmp_path):
    workers = ["127.0.0.1:%d" % port for port in free_ports(2)]
    processes = []
    for index in range(2):
        config = {"cluster": {"worker": workers}, "task": {"type": "worker", "index": index}}
        processes.append(python(WORKER, tmp_path, env={"TF_CONFIG": json.dumps(config)}, background=True))
    finished = []
    try:
        for process in processes:
            stdout, stderr = process.communicate(timeout=300)
            finished.append(subprocess.CompletedProcess(process.args, process.returncode, stdout, stderr))
    finally:
        for process in processes:
            if process.poll() is None:
                process.kill()
                process.wait()
    for done in finished:
        assert done.returncode == 0, output(done)
    results = [json.loads(done.stdout.strip().splitlines()[-1]) for done in finished]
    assert [r["chief"] for r in results] == [True, False]
    assert results[0]["checksum"] == results[1]["checksum"]
    # every worker reads all 8 images (no sharding); each global batch of 4 is split 2 + 2: 4 steps an epoch
    assert [r["iterations"] for r in results] == [8, 8]
    (run,) = list((tmp_path / "runs").iterdir())
    assert {"last.h5", "best.h5", "summary.csv", "state", "labels.txt"} <= set(os.listdir(run))
    (log,) = list((tmp_path / "logs").iterdir())
    assert [name for name in os.listdir(log) if "tfevents" in name]
    assert sorted(os.listdir(tmp_path)) == ["logs", "runs"]
