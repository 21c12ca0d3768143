"""scripts/sweep without a cluster: a stand-in sbatch that records its
arguments and runs nothing, so that only shards already on disk count."""
import fcntl
import json
import os
import subprocess
import sys
import time

import pytest
from helpers import REPO, instance, instance_text, run_record, sha

W3 = {(1, 2): 5, (1, 3): 7, (2, 3): 9}
LAB = os.path.join(os.path.dirname(sys.executable), "smetp-lab")


@pytest.fixture
def sweep_dir(tmp_path):
    (tmp_path / "bin").mkdir()
    fake = tmp_path / "bin" / "sbatch"
    fake.write_text(f'#!/bin/sh\nprintf "%s\\n" "$@" > {tmp_path}/sbatch.args\necho 77\nexit 1\n')
    fake.chmod(0o755)
    (tmp_path / "g3.txt").write_text(instance_text(3, W3))
    return tmp_path


def sweep(tmp, runs, *args):
    env = dict(os.environ, PATH=f"{tmp}/bin:{os.environ['PATH']}")
    return subprocess.run([sys.executable, f"{REPO}/scripts/sweep", str(runs), *args,
                           "--batch", "/bin/false", "--lab", LAB], capture_output=True,
                          text=True, env=env, cwd=tmp, timeout=120)


def write_shard(path, runs_text, indices, instance_path="g3.txt", record="r\n"):
    g = instance(instance_text(3, W3))
    lines = []
    for i in indices:
        run = run_record(g, instance_path, i, [(0, 1), (0, 2)], sha=sha(runs_text))
        run["record"] = record
        lines.append(json.dumps(run, ensure_ascii=False))
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes("".join(line + "\n" for line in lines).encode())


def test_runs_file_among_the_outputs_is_refused(sweep_dir):
    out = sweep_dir / "out"
    for runs in (out / "out.dat", out / "results.jsonl", out / "shards" / "runs.txt"):
        runs.parent.mkdir(parents=True, exist_ok=True)
        runs.write_text("g3.txt 1 50 0 0.3\n")
        r = sweep(sweep_dir, runs, "1", "--out", str(out))
        assert r.returncode == 1 and "which the sweep" in r.stderr, r.stderr
        assert runs.read_text() == "g3.txt 1 50 0 0.3\n"
    assert not (sweep_dir / "sbatch.args").exists()


def test_out_with_percent_is_escaped_and_backslash_refused(sweep_dir):
    runs = sweep_dir / "runs.txt"
    runs.write_text("g3.txt 1 50 0 0.3\n")
    r = sweep(sweep_dir, runs, "1", "--out", str(sweep_dir / "a%b"))
    assert r.returncode == 1
    args = (sweep_dir / "sbatch.args").read_text().splitlines()
    assert f"--output={sweep_dir}/a%%b/logs/shard-%a-job%A.out" in args
    # The log named is the file Slurm writes for "%%": a single "%".
    assert f"log {sweep_dir}/a%b/logs/shard-0-job77.out" in r.stderr
    r = sweep(sweep_dir, runs, "1", "--out", str(sweep_dir / "a\\b"))
    assert r.returncode == 1 and "backslash" in r.stderr
    assert not (sweep_dir / "a\\b").exists()


def test_null_records_and_line_separators_in_paths(sweep_dir):
    # Shard 0 is complete, its runs with a null record (GA settings other
    # than the design's); shard 1 never ran.
    runs = sweep_dir / "runs.txt"
    text = "g3.txt 1 50 0 0.3\ng3.txt 2 50 0 0.3\ng3.txt 3 50 0 0.3\n"
    runs.write_text(text)
    out = sweep_dir / "out"
    write_shard(out / "shards" / "shard-0-of-2.jsonl", text, [0, 2], record=None)
    r = sweep(sweep_dir, runs, "2", "--out", str(out), "--partial")
    assert r.returncode == 2 and "submitting shards 1\n" in r.stderr, r.stderr
    assert [json.loads(line)["index"] for line in
            (out / "results.jsonl").read_text().splitlines()] == [0, 2]
    assert (out / "out.dat").read_text() == ""
    # Shard 1 with U+2028 and U+0085 raw in its instance path counts complete:
    # nothing is submitted, and the merge keeps the line whole.
    write_shard(out / "shards" / "shard-1-of-2.jsonl", text, [1], "g\u2028\u0085.txt", "one\n")
    r = sweep(sweep_dir, runs, "2", "--out", str(out))
    assert r.returncode == 0 and "all 2 shards of 3 runs are complete" in r.stderr, r.stderr
    merged = (out / "results.jsonl").read_bytes().decode().split("\n")
    assert json.loads(merged[1])["instance"] == "g\u2028\u0085.txt"
    assert (out / "out.dat").read_text() == "one\n"


def test_a_second_task_or_sweep_of_a_running_shard_leaves_it_alone(sweep_dir):
    # A stand-in smetp-batch that opens and locks its results file as the real one does, says
    # it started, and writes its result only once told to.
    fake = sweep_dir / "bin" / "batch"
    fake.write_text('#!/bin/bash\nfor a; do [[ $prev == --results ]] && out=$a; prev=$a; done\n'
                    'exec 3>>"$out"; flock -n 3 || exit 1\ntouch "$GO.started"\n'
                    'while [[ ! -e $GO ]]; do sleep 0.05; done\necho "{}" >&3\n')
    fake.chmod(0o755)
    go = sweep_dir / "go"
    env = dict(os.environ, SLURM_ARRAY_TASK_ID="0", GO=str(go))
    task = ["bash", f"{REPO}/scripts/slurm/sweep.sbatch", "runs.txt", "1", "shards", str(fake)]
    first = subprocess.Popen(task, env=env, cwd=sweep_dir, stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE, text=True)
    try:
        while not (sweep_dir / "go.started").exists():
            assert first.poll() is None, first.stderr.read()
            time.sleep(0.01)
        second = subprocess.run(task, env=env, cwd=sweep_dir, capture_output=True, text=True)
        assert second.returncode == 1 and "another task" in second.stderr, second.stderr
        assert (sweep_dir / "shards" / ".shard-0-of-1.jsonl.part").exists()
        # A second sweep into the same folder while the first holds it is refused whole.
        out = sweep_dir / "out"
        (sweep_dir / "runs.txt").write_text("g3.txt 1 50 0 0.3\n")
        out.mkdir()
        with open(out / ".sweep.lock", "a") as held:
            fcntl.flock(held, fcntl.LOCK_EX)
            r = sweep(sweep_dir, sweep_dir / "runs.txt", "1", "--out", str(out))
        assert r.returncode == 1 and "another sweep" in r.stderr, r.stderr
        assert not (sweep_dir / "sbatch.args").exists()
    finally:
        go.touch()
        assert first.wait() == 0, first.stderr.read()
    assert (sweep_dir / "shards" / "shard-0-of-1.jsonl").read_text() == "{}\n"
