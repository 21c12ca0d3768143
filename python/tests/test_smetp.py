"""The package against smetp-batch (same results for the same runs), its
errors, interrupts and memory on long batches."""
import json
import os
import queue
import resource
import shutil
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import smetp

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DATA = os.path.join(ROOT, "data")
G10, G45 = os.path.join(DATA, "g10.txt"), os.path.join(DATA, "g45.txt")
# The fields that hold times (the record holds its date and times too).
TIMES = ("seconds", "seconds_to_best", "seconds_to_target", "record", "runs_sha256")


def batch_program():
    found = os.environ.get("SMETP_BATCH") or os.path.join(ROOT, "build", "smetp-batch")
    if not os.access(found, os.X_OK):
        found = shutil.which("smetp-batch")
    if not found:
        pytest.skip("no smetp-batch to compare with (build it, or set SMETP_BATCH)")
    return found


def cli(lines, tmp_path):
    runs = tmp_path / "runs.txt"
    runs.write_text("".join(line + "\n" for line in lines))
    p = subprocess.run([batch_program(), "--quiet", "--no-record", "--jobs", "2", "--results",
                        "-", str(runs)], capture_output=True, text=True)
    return p


def untimed(d):
    return {k: v for k, v in d.items() if k not in TIMES}


@pytest.fixture(scope="module")
def wide_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("wide") / "w60.txt"
    subprocess.run([sys.executable, os.path.join(ROOT, "tools", "make_instance.py"), "60", "7",
                    "-o", str(path)], check=True, capture_output=True)
    return str(path)


def test_results_equal_smetp_batch(tmp_path, wide_file):
    runs = [
        {"instance": G10, "seed": 1, "generations": 500},
        {"instance": G10, "seed": -7, "generations": 120, "hardness": 1, "density": 0.5},
        {"instance": os.path.join(DATA, "g30.txt"), "seed": 3, "generations": 500,
         "memetic": "ls", "init": "mst"},
        {"instance": G10, "seed": 2, "generations": 30},  # no launch
        {"instance": wide_file, "seed": 4, "generations": 200},
        {"instance": G45, "seed": 1, "generations": None, "profile": "solve",
         "time_limit": 30, "target": 5214},
    ]
    lines = [f"{r['instance']} {r['seed']} {r['generations'] if r['generations'] is not None else '-'}"
             f" {r.get('hardness', 0)} {r.get('density', 0.3)}"
             + "".join(f" {k}={v}" for k, v in r.items() if k not in smetp._FIELDS)
             for r in runs]
    p = cli(lines, tmp_path)
    assert p.returncode == 0, p.stderr
    theirs = [json.loads(line) for line in p.stdout.splitlines()]
    ours = [r.as_dict() for r in smetp.batch(runs, jobs=2)]
    assert len(ours) == len(theirs) == len(runs)
    for a, b in zip(ours, theirs):
        assert untimed(a) == untimed(b)
        assert (a["record"] is None) == (b["record"] is None)
        assert (a["seconds_to_target"] is None) == (b["seconds_to_target"] is None)
    assert ours[4]["candidate_links"] > 0 and ours[5]["stop"] == "target"
    # The same through run(), a generator, and an instance made from the weights.
    one = smetp.run(G10, 1, 500)
    assert untimed(one.as_dict()) == untimed(theirs[0])
    made = smetp.Instance.from_weights(smetp.Instance.read(G10).weights, name=G10)
    again = list(smetp.batch(({"instance": made, "seed": s, "generations": 500} for s in [1])))
    # An instance made in memory has no file whose bytes its results could name.
    assert again[0].as_dict()["instance_sha256"] is None
    assert untimed(again[0].as_dict()) | {"instance_sha256": None} == \
        untimed(theirs[0]) | {"instance_sha256": None}
    assert one.topology.shape == (len(theirs[0]["topology"]), 2) and one.best == theirs[0]["best"]


def test_solve_is_smetp_batch_solve():
    g30 = os.path.join(DATA, "g30.txt")
    p = subprocess.run([batch_program(), "solve", g30, "--generations", "300", "--json",
                        "--quiet", "--jobs", "2", "--set", "islands=3 migrate_every=1"],
                       capture_output=True, text=True)
    assert p.returncode == 0, p.stderr
    theirs = json.loads(p.stdout)
    ours = smetp.solve(g30, generations=300, islands=3, migrate_every=1, jobs=2)
    assert theirs["bound"] <= ours.best
    for k in ("bound", "bound_method", "gap"):
        del theirs[k]
    assert untimed(ours.as_dict()) == untimed(theirs)
    assert ours.settings["islands"] == 3 and ours["island"] in range(3)


def test_errors_carry_the_command_lines_messages(tmp_path):
    bad = tmp_path / "bad.txt"
    bad.write_text("3 6\n1 2 5\n1 3 x\n")
    with pytest.raises(smetp.InstanceError) as e:
        smetp.Instance.read(bad)
    p = cli([f"{bad} 1 500 0 0.3"], tmp_path)
    assert p.returncode == 1 and str(e.value) in p.stderr
    with pytest.raises(smetp.InstanceError, match="cannot open graph file"):
        smetp.Instance.read(tmp_path / "missing.txt")
    for kwargs, word in [({"memetic": "lots"}, "memetic=lots"), ({"elite": 200}, "elite=200"),
                         ({"generations": None}, "")]:
        args = {"generations": 500, **kwargs}
        with pytest.raises(smetp.SmetpError) as e:
            smetp.run(G10, 1, **args)
        gens = "-" if args["generations"] is None else "500"
        p = cli([f"{G10} 1 {gens} 0 0.3 {word}"], tmp_path)
        assert p.returncode == 1 and p.stderr.strip().endswith(str(e.value)), (p.stderr, e.value)
    with pytest.raises(smetp.SmetpError):
        smetp.run(G10, "1e3", 500)
    with pytest.raises(smetp.SmetpError, match="jobs"):
        smetp.batch([], jobs=0)
    with pytest.raises(smetp.InstanceError, match="symmetric"):
        smetp.Instance.from_weights([[0, 1], [2, 0]])
    with pytest.raises(smetp.InstanceError):
        smetp.Instance.from_weights(np.zeros((1, 1), dtype=int))
    # A bad run from an iterator: the results before it come first.
    def runs():
        yield {"instance": G10, "seed": 1, "generations": 100}
        yield {"instance": G10, "seed": 2, "generations": 100, "tournament": 0}
    got = []
    with pytest.raises(smetp.RunError) as e:
        for r in smetp.batch(runs(), jobs=1):
            got.append(r)
    assert [r["index"] for r in got] == [0] and e.value.run == 1
    # An exception of the iterable itself reaches the caller unchanged.
    def broken():
        yield {"instance": G10, "seed": 1, "generations": 100}
        raise LookupError("the runs' source failed")
    with pytest.raises(LookupError, match="source failed"):
        list(smetp.batch(broken(), jobs=1))
    with pytest.raises(smetp.RunError) as e:
        list(smetp.batch([{"instance": G10, "seed": 1, "generations": 50}, {"seed": 1}]))
    assert e.value.run == 1


def test_numpy_values_clear_messages_and_the_command_lines_warnings(tmp_path):
    # NumPy's scalars are numbers like Python's, float64 included.
    r = smetp.run(G10, np.int64(2), np.int64(100), density=np.float64(0.3),
                  time_limit=np.float64(50), target=np.float32(10), mutation=np.float64(0.01))
    assert (r["density"], r["time_limit"], r["settings"]["mutation"]) == (0.3, 50, 0.01)
    # The largest pool asked for on one run: one slot, not a million.
    assert len(list(smetp.batch([{"instance": G10, "seed": 1, "generations": 50}],
                                resident=1 << 20))) == 1
    with pytest.raises(smetp.SmetpError, match="seed: True is a bool"):
        smetp.run(G10, True, 100)
    with pytest.raises(smetp.InstanceError, match="0 point"):
        smetp.Instance.from_points(np.zeros((0, 2)))
    with pytest.raises(smetp.SmetpError, match="not one dict"):
        smetp.batch({"instance": G10, "seed": 1, "generations": 100})
    # What smetp-batch warns of, Python warns of: generations that make no
    # launch, a run at the energy cap, weights rounded to nothing.
    heavy = tmp_path / "heavy.txt"
    heavy.write_text("3 6\n1 2 20000\n1 3 30000\n2 3 30000\n")
    with pytest.warns(smetp.SmetpWarning, match="so 30 makes 0 generations"):
        assert smetp.run(G10, 1, 30)["launches"] == 0
    with pytest.warns(smetp.SmetpWarning, match="ends at the energy cap 64999"):
        assert smetp.run(heavy, 1, 100, profile="design").best == 64999
    with pytest.warns(smetp.SmetpWarning, match="weight 0 after rounding"):
        smetp.Instance.from_points(np.random.default_rng(1).random((10, 2)), scale=1e-9)


def test_out_of_memory_is_memory_error():
    code = ("import resource, smetp\n"
            "resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))\n"
            "try:\n"  # an iterator: the pool is as large as asked, not sized by a count
            f"    list(smetp.batch(iter([{{'instance': {G10!r}, 'seed': 1, 'generations': 50}}]),"
            " jobs=1, resident=1 << 20))\n"
            "except MemoryError:\n"
            "    print('MemoryError')\n")
    p = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert p.returncode == 0 and p.stdout.strip() == "MemoryError", p.stderr


def test_interrupt_keeps_the_results_yielded():
    runs = [{"instance": G10, "seed": s, "generations": 500} for s in range(1, 200)]

    def stop_after(launches):
        if launches >= 35:
            raise KeyboardInterrupt

    got = []
    with pytest.raises(KeyboardInterrupt):
        for r in smetp.batch(runs, jobs=1, progress=stop_after):
            got.append(r)
    assert 1 <= len(got) < len(runs)
    assert [r["index"] for r in got] == list(range(len(got)))
    # What was yielded is whole: the same as the run made alone.
    assert untimed(got[-1].as_dict()) == untimed(
        smetp.run(G10, len(got), 500).as_dict() | {"index": len(got) - 1})

    # A real SIGINT while the engine runs.
    timer = threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT))
    got = []
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            for r in smetp.batch([{"instance": G45, "seed": s, "generations": 5000}
                                  for s in range(1, 100)], jobs=2):
                got.append(r)
    finally:
        timer.cancel()
    assert len(got) < 99

    # Ctrl-C while the caller's own code runs between results: the batch
    # stops all the same, and the suspended generator does not end as if
    # every run had been made.
    gen = smetp.batch([{"instance": G10, "seed": s, "generations": 500} for s in range(3000)],
                      jobs=2)
    got = [next(gen)]
    timer = threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        time.sleep(3)
    with pytest.raises(KeyboardInterrupt):
        for r in gen:
            got.append(r)
    assert len(got) < 3000 and [r["index"] for r in got] == list(range(len(got)))
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler


def test_a_batch_left_running_at_exit_does_not_end_the_interpreter(tmp_path):
    # A daemon thread's batch is still running when the script ends: the exit
    # is Python's own (status 0), and what the script wrote stays written.
    out = tmp_path / "out.txt"
    code = ("import smetp, threading\n"
            f"f = open({str(out)!r}, 'w')\n"
            "def go():\n"
            f"    for r in smetp.batch({{'instance': {G10!r}, 'seed': s, 'generations': 10**6}}\n"
            "                         for s in range(1, 50)):\n"
            "        print(r.best, file=f, flush=True)\n"
            "threading.Thread(target=go, daemon=True).start()\n"
            "print('started', file=f, flush=True)\n"
            f"next(smetp.batch([{{'instance': {G10!r}, 'seed': 1, 'generations': 50}}]))\n"
            "raise SystemExit(3)\n")
    p = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert p.returncode == 3 and "terminate" not in p.stderr, p.stderr
    assert out.read_text() == "started\n"
    # A batch of the main thread left suspended: the exit closes it as it
    # collects the generator, and ends.
    code = ("import smetp\n"
            f"gen = smetp.batch([{{'instance': {G10!r}, 'seed': s, 'generations': 50}}"
            " for s in range(1, 100)], jobs=1)\n"
            "next(gen)\n")
    p = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert p.returncode == 0, p.stderr


def test_ctrl_c_in_join_leaves_the_interpreter_its_own_exit():
    # A non-daemon thread runs a long batch; Ctrl-C interrupts the main
    # thread's join(), a second one Python's wait for the thread at exit.
    code = ("import smetp, sys, threading\n"
            "def go():\n"
            f"    runs = ({{'instance': {G10!r}, 'seed': s, 'generations': 10**6}}"
            " for s in range(1, 50))\n"
            "    for r in smetp.batch(runs, jobs=1, progress=lambda n: print(n, flush=True)):\n"
            "        pass\n"
            "t = threading.Thread(target=go)\n"
            "t.start()\n"
            "t.join()\n")
    p = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True)
    try:
        p.stdout.readline()  # the batch has made a launch
        p.send_signal(signal.SIGINT)
        err = ""
        while "KeyboardInterrupt" not in err:
            line = p.stderr.readline()
            assert line, err
            err += line
        p.send_signal(signal.SIGINT)
        err += p.stderr.read()
        status = p.wait()
    finally:
        p.kill()
    assert status in (-signal.SIGINT, 130, 1) and "terminate" not in err, (status, err)


def test_runs_are_taken_as_the_pool_needs_them():
    # A feedback loop: each run waits for the result before it (through a
    # queue), with two workers: the batch goes on while the iterable waits.
    q = queue.Queue()
    q.put(None)

    def feedback(count):
        for s in range(1, count + 1):
            q.get()
            yield {"instance": G10, "seed": s, "generations": 50}

    got = []
    for r in smetp.batch(feedback(6), jobs=2):
        got.append(r)
        q.put(r)
    assert [r["seed"] for r in got] == [1, 2, 3, 4, 5, 6]
    # Leaving a batch (Ctrl-C) while its iterable waits does not wait for it.
    with pytest.raises(KeyboardInterrupt):
        for r in smetp.batch(feedback(6), jobs=2):
            raise KeyboardInterrupt
    q.put(None)  # lets the iterable's thread go
    # The first result comes before the iterable is asked for many more runs
    # than the pool holds.
    asked = []

    def counted():
        for s in range(1, 1001):
            asked.append(s)
            yield {"instance": G10, "seed": s, "generations": 50}

    gen = smetp.batch(counted(), jobs=2)
    next(gen)
    assert len(asked) <= 2 + 64 + 1
    gen.close()


def test_memory_stays_bounded_on_a_long_generator():
    def rss_mib():
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) / 1024
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024

    runs = ({"instance": G10, "seed": i, "generations": 0, "profile": "design"}
            for i in range(300_000))
    seen, best = 0, set()
    for r in smetp.batch(runs, jobs=2):
        seen += 1
        best.add(r.best)
        if seen == 50_000:
            start = rss_mib()
    assert seen == 300_000 and best == {65000}
    assert rss_mib() - start < 40


def test_points_weigh_as_smetp_lab_convert_makes_them(tmp_path):
    coords = pytest.importorskip("smetp_lab.coords")
    xy = os.path.join(DATA, "g20.xy")
    out = tmp_path / "g20-alpha2.txt"
    coords.convert(xy, str(out), alpha=2.0, scale="auto")
    points, _ = coords.read_points(xy)
    made = smetp.Instance.from_points(points, alpha=2.0)
    assert np.array_equal(made.weights, smetp.Instance.read(out).weights)
    assert made.weights.max() <= 32767 and not made.wide
    with pytest.raises(smetp.InstanceError, match="alpha"):
        smetp.Instance.from_points(points, alpha=0)


def test_points_need_no_smetp_lab():
    # smetp-lab's packages (scipy, numba, ...) are not needed: block its import.
    code = ("import sys; sys.modules['smetp_lab'] = None; import smetp, numpy as np; "
            "g = smetp.Instance.from_points(np.array([[0, 0], [3, 4], [6, 8]]), alpha=2, "
            "scale=1); print(g.weights.tolist())")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout == "[[0, 25, 100], [25, 0, 25], [100, 25, 0]]\n"
    with pytest.raises(smetp.InstanceError, match="finite"):
        smetp.Instance.from_points([[0, 0], [1, float("nan")]])


def test_topology_as_networkx_graph():
    nx = pytest.importorskip("networkx")
    g = smetp.Instance.read(G10)
    r = smetp.run(g, seed=1, generations=250, profile="solve")
    plain, weighed = r.to_networkx(), r.to_networkx(g)
    assert plain.number_of_nodes() == weighed.number_of_nodes() == g.n
    assert sorted(weighed.edges) == [tuple(p) for p in r.topology.tolist()] == sorted(plain.edges)
    assert nx.is_connected(weighed) and weighed.graph["best"] == r.best
    assert sum(p for _, p in weighed.nodes(data="power")) == r.best
    assert all(w == g.weights[u - 1, v - 1] for u, v, w in weighed.edges(data="weight"))


def test_progress_lines_end_with_a_newline_off_a_terminal(capsys, monkeypatch):
    # Without tqdm, and with standard error not a terminal: whole lines, the last
    # one with every run done.
    monkeypatch.setitem(sys.modules, "tqdm", None)
    monkeypatch.setitem(sys.modules, "tqdm.auto", None)
    runs = [{"instance": G10, "seed": s, "generations": 100} for s in (1, 2)]
    got = list(smetp.batch(runs, jobs=1, progress=True))
    err = capsys.readouterr().err
    assert err.endswith("\n") and "\r" not in err
    best = min(r.best for r in got)
    assert best < 65000 and err.splitlines()[-1] == f"smetp: 2/2 runs, best {best}, 4 launches"
    assert all(line.startswith("smetp: ") for line in err.splitlines())


def test_version_and_namespace():
    import re

    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        want = re.search(r"project\(smetp VERSION ([0-9.]+)", f.read()).group(1)
    assert smetp.__version__ == want
    public = {name for name in dir(smetp) if not name.startswith("_")}
    assert public == set(smetp.__all__)


def test_save_reads_back(tmp_path):
    sparse = tmp_path / "s80.txt"
    subprocess.run([sys.executable, os.path.join(ROOT, "tools", "make_instance.py"), "80", "3",
                    "--sparse", "--nearest", "3", "-o", str(sparse)], check=True,
                   capture_output=True)
    # A sparse file that lists every pair: its runs are wide runs all the same.
    complete = tmp_path / "s3.txt"
    complete.write_text("sparse 3 3\n1 2 5\n1 3 7\n2 3 9\n")
    for path in (G10, str(sparse), str(complete)):
        g = smetp.Instance.read(path)
        g.save(tmp_path / "again.txt")
        back = smetp.Instance.read(tmp_path / "again.txt")
        assert np.array_equal(back.links, g.links) and back.wide == g.wide
    assert smetp.Instance.read(sparse).weights.min() == smetp.NO_LINK and g.wide


def test_smetp_lab_judges_results_in_memory():
    results = pytest.importorskip("smetp_lab.results")
    judge = pytest.importorskip("smetp_lab.judge")
    got = list(smetp.batch([{"instance": G10, "seed": s, "generations": 250} for s in (1, 2)]
                           + [{"instance": G45, "seed": 1, "generations": 500,
                               "memetic": "ls"}], jobs=2))
    finder = results.InstanceFinder()
    runs = results.runs_of(got)
    assert all(judge.check_run(run, finder(run)).ok for run in runs)
    wrong = got[2].as_dict()
    wrong["best"] -= 1
    (bad,) = results.runs_of([wrong])
    assert not judge.check_run(bad, finder(bad)).ok


def test_a_batch_stopped_part_way_continues_its_runs_from_their_checkpoints(tmp_path):
    runs = [{"instance": G45, "seed": s, "generations": 2000} for s in (1, 2)]
    runs.append({"instance": G10, "seed": 3, "generations": 600, "profile": "design"})
    whole = [untimed(r.as_dict()) for r in smetp.batch(runs, jobs=2)]

    class Enough(Exception):
        pass

    def stop_after_4(launches):
        if launches >= 4:
            raise Enough

    folder = tmp_path / "ckpt"
    with pytest.raises(Enough):
        list(smetp.batch(runs, jobs=2, checkpoint=folder, progress=stop_after_4))
    assert sorted(os.listdir(folder)) == ["run-0.ckpt", "run-1.ckpt"]
    made = []
    again = [untimed(r.as_dict())
             for r in smetp.batch(runs, jobs=1, checkpoint=folder, progress=made.append)]
    assert again == whole
    # The runs went on from their checkpoints: fewer launches than in one go.
    assert made[-1] < sum(r["launches"] for r in whole)
    assert os.listdir(folder) == []
