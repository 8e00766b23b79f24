# Threads: Python threads rendering at once give the bytes of renders one after another, for any
# worker count, and a render lets other Python threads run.
import threading
import time

import numpy as np
import pytest

import orvanta
from test_tools import JOBS


def nodes_of_every_job(footage):
    nodes = {}
    for job, (tool, main, extra, settings) in JOBS.items():
        n = orvanta.Node(tool)
        n.connect(None, footage[main])
        for label, name in extra.items():
            n.connect(label, footage[name])
        for s in settings:
            n.set(*s.split("=", 1))
        nodes[job] = n
    return nodes


def run_in_threads(count, work):
    errors, results = [], [None] * count
    barrier = threading.Barrier(count)

    def run(i):
        try:
            barrier.wait()
            results[i] = work(i)
        except Exception as e:  # reported below, with the thread's index
            errors.append((i, e))
    threads = [threading.Thread(target=run, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors
    return results


@pytest.fixture
def workers():
    before = orvanta.threads()
    yield
    orvanta.set_threads(before)


@pytest.mark.parametrize("count", [1, 2, 3])
def test_threads_rendering_different_nodes_at_once_give_the_sequential_bytes(footage, workers, count):
    nodes = nodes_of_every_job(footage)
    jobs = list(nodes)
    orvanta.set_threads(1)
    alone = {job: nodes[job].render(3).tobytes() for job in jobs}
    orvanta.set_threads(count)
    assert orvanta.threads() == count
    assert {job: nodes[job].render(3).tobytes() for job in jobs} == alone
    # Each thread renders every node, starting at a different one, three times over.
    together = run_in_threads(4, lambda i: [(job, nodes[job].render(3).tobytes())
                                            for r in range(3) for job in jobs[i:] + jobs[:i]])
    for results in together:
        for job, data in results:
            assert data == alone[job], job


def test_threads_sharing_one_node_or_graph_take_turns(footage):
    n = orvanta.Node("OrvantaToneGate")
    n.connect(None, footage["ramp"])
    n.set("FLTO", "range inside cut")
    expected = n.render().tobytes()
    results = run_in_threads(4, lambda i: [n.render().tobytes() for _ in range(5)])
    assert all(r == expected for rs in results for r in rs)
    # One thread edits while the others render: every render sees one whole setting or the other.
    other = orvanta.render("OrvantaToneGate", footage["ramp"], FLTO="lowcut")

    def work(i):
        if i == 0:
            for k in range(20):
                n.set("FLTO", "lowcut" if k % 2 else "range inside cut")
            return []
        return [n.render().tobytes() for _ in range(10)]
    for rs in run_in_threads(3, work):
        assert all(r in (expected, other.tobytes()) for r in rs)


def test_a_render_lets_other_python_threads_run(footage, workers):
    orvanta.set_threads(1)
    # A waveform of a large picture: much work in the tool, a result no larger than the input.
    big = np.tile(footage["bars"].astype(np.float32) / 65535, (16, 16, 1))  # 1920 x 2560
    n = orvanta.Node("OrvantaScope")
    n.connect(None, big)
    n.set("TYPE", 4)
    start = time.perf_counter()
    n.render()
    alone = time.perf_counter() - start
    go = threading.Event()

    def render():
        go.wait()
        n.render()
    t = threading.Thread(target=render)
    t.start()
    # Holding the GIL, the render would stop this loop for as long as it runs.
    longest, last = 0.0, time.perf_counter()
    go.set()
    while t.is_alive():
        now = time.perf_counter()
        longest, last = max(longest, now - last), now
    t.join()
    assert longest < alone / 3, (longest, alone)
