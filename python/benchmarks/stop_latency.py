#!/usr/bin/env python3
"""Prints how long Ctrl-C takes to reach the box, and what a library call costs from Python.

    ZRQAPI_LIBRARY=build/libzrqapi.so.2 ZRQAPI_BOXSIM=build/sim/zrq-boxsim \\
        python3 python/benchmarks/stop_latency.py [RUNS]

For each case a script on a simulated box is sent SIGINT; the figure is the
time until the box's log shows the emergency stop followed by the laser-off
frame (polled every 2 ms, so up to 2 ms high), and until the script ended.
"""
import os
import selectors
import signal
import subprocess
import sys
import time

PYTHON_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, PYTHON_DIR)

import zrqapi  # noqa: E402
from zrqapi import _library  # noqa: E402
from zrqapi.testing import SimulatedBox  # noqa: E402

CASES = {
    # The script waits in wait_until_idle for a ten-second move.
    "wait_until_idle": ({}, "m.velocity(6)\n    m.move_to(x=1.0, y=0.0)\n    print('x', flush=True)\n"
                            "    m.wait_until_idle()"),
    # A laser() call waits for an acknowledgement the box never sends (30 s time-out).
    "lost acknowledgement": ({"drop_ack": 100}, "while True:\n        print('x', flush=True)\n"
                                                "        m.laser(True)"),
}


def stop_latency(options, body):
    with SimulatedBox(baud=0, **options) as box:
        code = f"import zrqapi\nwith zrqapi.Machine(units='in', timeout=30) as m:\n    {body}\n"
        env = dict(os.environ, PYTHONPATH=PYTHON_DIR, ZRQAPI_ROOT=box.root)
        script = subprocess.Popen([sys.executable, "-c", code], env=env, stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL, text=True)
        selector = selectors.DefaultSelector()
        selector.register(script.stdout, selectors.EVENT_READ)
        script.stdout.readline()
        while selector.select(timeout=0.5) and script.stdout.readline():
            pass  # until the script blocks
        sent = time.monotonic()
        script.send_signal(signal.SIGINT)
        while True:
            events = box.events()
            if "emergency stop" in events and "p 52 0" in events[events.index("emergency stop"):]:
                break
            time.sleep(0.002)
        at_box = time.monotonic() - sent
        script.wait(60)
        return at_box, time.monotonic() - sent


def call_cost(count=5000):
    lib = zrqapi.library()
    started = time.perf_counter()
    for _ in range(count):
        lib.Kap_TestCall(1)
    direct = (time.perf_counter() - started) / count
    started = time.perf_counter()
    for _ in range(count):
        _library.call(lib.Kap_TestCall, 1)
    return direct, (time.perf_counter() - started) / count


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    for name, (options, body) in CASES.items():
        figures = sorted(stop_latency(options, body) for _ in range(runs))
        at_box = [f"{1000 * a:.0f}" for a, _ in figures]
        ended = [f"{1000 * e:.0f}" for _, e in figures]
        print(f"Ctrl-C in {name}: stop, pen up, laser off at the box after {', '.join(at_box)} ms; "
              f"script ended after {', '.join(ended)} ms")
    direct, handed = call_cost()
    print(f"one library call: {1e6 * direct:.1f} us on the calling thread, "
          f"{1e6 * handed:.1f} us handed to the worker thread (main-thread calls)")


if __name__ == "__main__":
    main()
