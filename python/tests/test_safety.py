"""Leaving the machine safe: Ctrl-C, exceptions, a dead box, fork, dropped objects."""
import contextlib
import gc
import os
import selectors
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import zrqapi
from conftest import PYTHON_DIR
from zrqapi.testing import SimulatedBox

# The simulator's default step: 1/8000 inch = 1.25 tenths of a mil.
STEP_TENTH_MILS = 1.25


def after(events, first, *then):
    """Whether every event of ``then`` comes after the first ``first``."""
    start = events.index(first)
    return all(event in events[start:] for event in then)


def run_script(code, box, **kwargs):
    env = dict(os.environ, PYTHONPATH=PYTHON_DIR, ZRQAPI_ROOT=box.root)
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, **kwargs)


@pytest.mark.parametrize("inside", ["wait_until_idle", "plain_sleep"])
def test_ctrl_c_stops_the_box_lifts_the_pen_and_switches_the_laser_off(lib, inside):
    waiting = "m.wait_until_idle()" if inside == "wait_until_idle" else "time.sleep(30)"
    with SimulatedBox(baud=0) as box:
        script = run_script(f"""
            import time, zrqapi
            with zrqapi.Machine(units="in") as m:
                m.velocity(6)             # ten seconds for the inch
                m.laser(True)
                m.move_to(x=1.0, y=0.0)
                print("moving", flush=True)
                {waiting}
            """, box)
        assert script.stdout.readline() == "moving\n"
        time.sleep(0.3)
        script.send_signal(signal.SIGINT)
        _, err = script.communicate(timeout=20)
        assert script.returncode != 0 and "KeyboardInterrupt" in err, err
        with box.machine(units="in") as m:
            stopped_at = m.position().x
    events = box.events()
    assert after(events, "emergency stop", "U", "p 52 0"), events
    assert stopped_at < 0.5, "the box went on with the move"


MACHINE_WAITS = """
    import zrqapi
    with zrqapi.Machine(units="in", timeout=30) as m:
        while True:
            print("sending", flush=True)
            m.laser(True)
    """
LINK_WAITS = """
    import zrqapi
    with zrqapi.Link(3) as link:
        link.timeout = 30
        while True:
            print("sending", flush=True)
            link.param(34, 1)
    """


@pytest.mark.parametrize("code, lost, safe", [(MACHINE_WAITS, 100, ("U", "p 52 0")), (LINK_WAITS, 5, ())],
                         ids=["machine", "link"])
def test_ctrl_c_during_a_call_that_waits_for_the_box_is_not_held_back(lib, code, lost, safe):
    # An acknowledgement after the start-up is lost: one call waits for it.
    with SimulatedBox(baud=0, drop_ack=lost) as box:
        script = run_script(code, box)
        selector = selectors.DefaultSelector()
        selector.register(script.stdout, selectors.EVENT_READ)
        while selector.select(timeout=1.0):
            assert script.stdout.readline() == "sending\n"
        interrupted = time.monotonic()
        script.send_signal(signal.SIGINT)
        _, err = script.communicate(timeout=60)
        # Without the priority stop the interrupt would wait out the 30 s time-out.
        assert time.monotonic() - interrupted < 10
        assert script.returncode != 0 and "KeyboardInterrupt" in err, err
    events = box.events()
    assert "ack dropped" in events and after(events, "ack dropped", "emergency stop", *safe), events


def test_an_exception_leaving_the_block_stops_and_is_raised(box):
    with pytest.raises(RuntimeError, match="job failed"):
        with box.machine(units="in") as m:
            m.velocity(6)
            m.laser(True)
            m.move_to(x=1.0, y=0.0)
            raise RuntimeError("job failed")
    events = box.events()
    assert after(events, "emergency stop", "U", "p 52 0"), events


def test_close_lifts_the_pen_and_switches_the_laser_off(box):
    with box.machine() as m:
        m.pen_down()
        m.laser(True)
        sent = len(box.events())
    closing = box.events()[sent:]
    assert "U" in closing and "p 52 0" in closing and "emergency stop" not in closing, closing


def test_a_dead_box_raises_instead_of_making_up_positions_and_close_is_bounded(lib):
    with SimulatedBox(baud=0) as box:
        m = box.machine(units="in", timeout=1)
        assert m.timeout == 1
        m.velocity(6)
        m.move_to(x=1.0, y=0.0)
        os.kill(box._process.pid, signal.SIGSTOP)  # the box stops answering
        try:
            # Bounded in wall time although the motion query waits a whole second.
            started = time.monotonic()
            with pytest.raises(zrqapi.WaitTimeout):
                m.wait_until_idle(timeout=0.3)
            assert time.monotonic() - started < 0.9
            with pytest.raises(zrqapi.ZrqError):
                m.position()
            started = time.monotonic()
            with pytest.raises(zrqapi.ZrqError):
                m.close()  # the pen-up was not acknowledged: said after closing
            assert not m.is_open
            closing = time.monotonic() - started
        finally:
            os.kill(box._process.pid, signal.SIGCONT)
            m.timeout = 60
    assert closing < 15, closing


def test_a_forked_child_cannot_use_the_parents_machine(box):
    with box.machine(units="in") as m:
        m.velocity(120)
        m.move_to(x=0.25, y=0.0, wait=True)
        sent = len(box.events())
        child = os.fork()
        if child == 0:
            status = 1
            try:
                try:
                    m.position()
                except zrqapi.NotInitialized:
                    status = 0
                m.close()  # finishes nothing of the parent's
                assert not m.is_open
                # Nothing of the parent's holds the library in the child.
                assert zrqapi._library._current_holder() is None
            except BaseException:
                status = 2
            finally:
                os._exit(status)
        _, status = os.waitpid(child, 0)
        assert os.WEXITSTATUS(status) == 0
        assert box.events()[sent:] == []
        assert m.is_open and m.position().x == pytest.approx(0.25, abs=1.25e-4)


def test_a_dropped_machine_releases_the_library_and_leaves_the_box_safe(box):
    m = box.machine()
    m.laser(True)
    sent = len(box.events())
    del m
    gc.collect()
    assert "p 52 0" in box.events()[sent:] and "U" in box.events()[sent:]
    with box.machine() as again:
        assert again.is_open
    box.link()  # a dropped Link closes its port too
    gc.collect()
    with box.link() as link:
        assert link.is_open


def test_a_simulated_box_never_stopped_ends_with_the_interpreter(lib, tmp_path):
    env = dict(os.environ, PYTHONPATH=PYTHON_DIR)
    done = subprocess.run([sys.executable, "-c", "from zrqapi.testing import SimulatedBox\n"
                           "b = SimulatedBox(); b.start(); print(b._process.pid, b.root)"],
                          env=env, capture_output=True, text=True, timeout=30)
    pid, root = done.stdout.split()
    for _ in range(100):
        try:
            os.kill(int(pid), 0)
        except ProcessLookupError:
            break
        time.sleep(0.05)
    else:
        os.kill(int(pid), signal.SIGKILL)
        pytest.fail("the simulator outlived the interpreter")
    assert not os.path.exists(root)


def test_segments_can_be_read_while_the_box_runs(box):
    with box.machine(units="in") as m:
        m.velocity(120)
        m.move_to(x=0.5, y=0.0, wait=True)
        assert box.segments() == [((0.0, 0.0), (4000.0, 0.0))]
        m.move_to(x=0.5, y=0.5, wait=True)
        assert len(box.segments()) == 2


@pytest.mark.parametrize("units, step, count, total", [("mm", 0.1, 100, 10.0), ("mm", 0.01, 1000, 10.0),
                                                       ("in", 0.001, 250, 0.25)])
def test_relative_moves_add_up_exactly(box, units, step, count, total):
    with box.machine(units=units) as m:
        m.velocity(4000 if units == "mm" else 150)
        for _ in range(count):
            m.move_by(x=step)
        m.wait_until_idle(timeout=30)
        got = m.position().x
    assert abs(got - total) * zrqapi.TENTH_MILS_PER_UNIT[units] <= STEP_TENTH_MILS, got


def test_a_move_without_an_acknowledgement_is_an_ack_timeout(box):
    m = box.machine(units="in", timeout=0.5)
    try:
        m.velocity(120)
        m.pen_down()
        m.move_to(x=0.05, y=0.0, wait=True)  # targets known, pen down: the move is the only frame
        os.kill(box._process.pid, signal.SIGSTOP)
        # Back in time for the resynchronisation that follows the lost acknowledgement.
        waking = threading.Timer(0.8, os.kill, (box._process.pid, signal.SIGCONT))
        waking.start()
        try:
            with pytest.raises(zrqapi.AckTimeout) as caught:
                m.move_to(x=0.1, y=0.0)
        finally:
            waking.join()
        assert caught.value.function == "Kap_MoveXY", caught.value
    finally:
        with contextlib.suppress(zrqapi.ZrqError):
            m.close()


@pytest.mark.parametrize("move, expected", [
    (dict(z=0.05), (0.1, 0.2, 0.05)),
    (dict(r=0.3), (0.1, 0.2, 0.0)),
    (dict(x=0.3, z=0.04), (0.3, 0.2, 0.04)),
])
def test_realtime_position_names_each_axis_after_any_move(box, move, expected):
    with box.machine(units="in") as m:
        m.velocity(120)
        m.move_to(x=0.1, y=0.2, wait=True)
        m.move_to(wait=True, **move)
        assert m.realtime_position() == expected


def test_positions_are_rounded_to_the_resolution_of_their_units(box):
    with box.machine(units="in") as m:
        m.velocity(120)
        m.move_to(x=0.5, y=0.13, wait=True)
        # 5000 and 1300 tenths of a mil: without rounding 12.700000000000001 and 3.3020000000000005.
        assert [repr(v) for v in m.position(units="mm")[:2]] == ["12.7", "3.302"]
        assert m.position()[:2] == (0.5, 0.13) and m.position(units="tenth_mil")[:2] == (5000.0, 1300.0)


class Index:
    """An integer of another library (a numpy integer): it has __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("call, error, words", [
    (lambda m: m.velocity("500"), TypeError, "speed"),
    (lambda m: m.velocity(True), TypeError, "speed"),
    (lambda m: m.move_to(x=b"1"), TypeError, "x"),
    (lambda m: m.move_to(y=False), TypeError, "y"),
    (lambda m: m.move_by(z="1"), TypeError, "z"),
    (lambda m: m.move_to(x=1, wait="no"), TypeError, "wait"),
    (lambda m: m.home(wait=1), TypeError, "wait"),
    (lambda m: m.laser("off"), TypeError, "on"),
    (lambda m: m.laser(0), TypeError, "on"),
    (lambda m: m.sample_spacing(2.0, 1), TypeError, "count"),
    (lambda m: m.sample_spacing(True, 1), TypeError, "count"),
    (lambda m: m.wait_until_idle(timeout="1"), TypeError, "timeout"),
    (lambda m: m.move_to(x=float("nan")), ValueError, "x"),
    (lambda m: m.position(units="furlong"), ValueError, "furlong"),
    (lambda m: m.jog("q"), ValueError, "axis"),
], ids=lambda v: v if isinstance(v, str) else "")
def test_bad_input_is_refused_with_the_parameter_named_and_nothing_sent(box, call, error, words):
    with box.machine() as m:
        sent = len(box.events())
        with pytest.raises(error, match=words):
            call(m)
        assert box.events()[sent:] == []


def test_integers_of_other_libraries_are_accepted(box):
    with box.machine(units="tenth_mil") as m:
        m.velocity(Index(1200000))
        m.move_to(x=Index(1000), y=Index(0), wait=True)
        m.sample_spacing(Index(2), Index(10))
        assert m.position().x == 1000.0
    with box.link() as link:
        link.param(Index(34), Index(1))
        with pytest.raises(TypeError, match="x"):
            link.move_xy(True, 0)
    assert zrqapi.library().Kap_TestCall(Index(7)) == 7


def test_a_missing_port_is_told_from_a_busy_one(box):
    # Unplugged adapters: the links to their devices lead nowhere.
    for port in (4, 5):
        os.symlink(os.path.join(box.root, "gone"), os.path.join(box.root, "dev", f"com{port}"))
    with pytest.raises(zrqapi.PortNotFound, match="COM4"):
        zrqapi.Machine(root=box.root, port=4)
    with pytest.raises(zrqapi.PortNotFound):
        zrqapi.Link(5, root=box.root)
    # (A port another process holds is PortInUse: see test_errors.py.)
