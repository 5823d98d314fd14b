"""Machine against the simulated box: units, pen, waiting, jogging, life cycle."""
import os
import time

import pytest

import zrqapi
from zrqapi.testing import SimulatedBox

# The simulator's default step: 1/8000 inch = 1.25 tenths of a mil.
STEP_TENTH_MILS = 1.25


def within_one_step(got, want, units):
    return abs(got - want) * zrqapi.TENTH_MILS_PER_UNIT[units] <= STEP_TENTH_MILS


@pytest.mark.parametrize("units, x, y", [
    ("mm", 12.345, -6.789),
    ("in", 0.4321, 0.2468),
    ("mil", 432.1, -246.8),
    ("tenth_mil", 4321, 2468),
])
def test_move_in_each_unit_reads_back_within_one_step(box, units, x, y):
    with box.machine(units=units) as m:
        m.velocity(120 * zrqapi.TENTH_MILS_PER_UNIT["in"] / zrqapi.TENTH_MILS_PER_UNIT[units])
        m.move_to(x=x, y=y, wait=True)
        here = m.position()
        assert within_one_step(here.x, x, units) and within_one_step(here.y, y, units), here
        rt = m.realtime_position()
        assert within_one_step(rt.x, x, units) and within_one_step(rt.y, y, units), rt
        # Units chosen per call.
        inches = m.position(units="in")
        assert within_one_step(inches.x, x / zrqapi.TENTH_MILS_PER_UNIT["in"] * zrqapi.TENTH_MILS_PER_UNIT[units],
                               "in")


def test_axes_left_out_keep_their_target_and_move_by_is_relative(box):
    with box.machine(units="in") as m:
        m.velocity(120)
        m.move_to(x=0.3, y=0.2, wait=True)
        m.move_to(x=0.5, wait=True)
        m.move_by(y=0.1, wait=True)
        m.move_to(z=0.05, wait=True)
        m.move_to(x=0.1, y=0.1, z=0.02, wait=True)
        m.move_to(r=0.25, wait=True)
        here = m.position()
        for got, want in zip(here, (0.1, 0.1, 0.02, 0.25)):
            assert within_one_step(got, want, "in"), here


def test_pen_state_is_kept_across_moves(lib):
    # The SVG holds only pen-down travel: the two moves made after pen_up()
    # must not appear in it.
    with SimulatedBox(baud=0) as box:
        with box.machine(units="in") as m:
            m.velocity(120)
            m.pen_up()
            m.move_to(x=0.5, y=0.5)
            m.move_to(x=0.25, y=0.75)
            m.pen_down()
            m.move_to(x=0.5, y=0.75)
            m.move_to(x=0.5, y=1.0)
            m.pen_up()
            m.move_to(x=0.0, y=0.0)
            m.move_to(x=0.1, y=0.0, wait=True)
            assert not m.pen_is_down
    steps = [(p0, p1) for p0, p1 in box.segments()]
    assert steps == [((2000.0, 6000.0), (4000.0, 6000.0)), ((4000.0, 6000.0), (4000.0, 8000.0))]


def test_the_library_pen_call_alone_lowers_the_pen_again(lib):
    # Why pen_up() does more than Kap_PenUp: without it the next move draws.
    with SimulatedBox(baud=0) as box:
        with box.machine(units="in") as m:
            m.velocity(120)
            lib.Kap_PenUp()
            m.move_to(x=0.5, y=0.0, wait=True)
    assert box.segments() == [((0.0, 0.0), (4000.0, 0.0))]


def test_wait_until_idle_returns_after_a_long_move_and_raises_on_its_time_out(box):
    with box.machine(units="in") as m:
        m.velocity(30)  # half an inch a second: the move takes a second
        m.move_to(x=0.5, y=0.0)
        assert m.in_motion
        with pytest.raises(zrqapi.WaitTimeout) as caught:
            m.wait_until_idle(timeout=0.2)
        assert isinstance(caught.value, TimeoutError) and isinstance(caught.value, zrqapi.ZrqError)
        m.wait_until_idle(timeout=30)
        assert not m.in_motion
        assert within_one_step(m.position().x, 0.5, "in")


def test_laser_and_sample_spacing_reach_the_box_as_parameters(box):
    with box.machine(units="in") as m:
        m.laser(True)
        m.sample_spacing(2, 0.01)
        m.laser(False)
    events = box.events()
    # Pulse enable is parameter 52; the spacing sends 12 (in counts), then 51 = count.
    assert events.index("p 52 1") < events.index("p 51 2") < events.index("p 52 0")


def test_home_returns_every_axis_to_zero(box):
    with box.machine(units="mm") as m:
        m.velocity(3000)
        m.move_to(x=10, y=5, wait=True)
        m.move_to(r=3, wait=True)
        m.home(wait=True)
        assert m.position() == (0.0, 0.0, 0.0, 0.0)
        # The targets are read again after homing: a move of X alone keeps Y at 0.
        m.move_to(x=2, wait=True)
        assert within_one_step(m.position().y, 0.0, "mm")


def test_jog_drives_one_axis_and_ends_on_leaving_the_block(box):
    with box.machine(units="in") as m:
        m.velocity(120)
        with m.jog("x") as jog:
            jog.move_to(0.25)
            m.wait_until_idle(timeout=30)
        assert "G (train ends)" in box.events()
        assert within_one_step(m.position().x, 0.25, "in")
        with pytest.raises(ValueError):
            m.jog("q")


@pytest.mark.parametrize("value", [1e9, float("nan"), float("inf")])
def test_positions_out_of_range_are_refused_before_anything_is_sent(box, value):
    with box.machine(units="in") as m:
        sent = len(box.events())
        with pytest.raises(ValueError):
            m.move_to(x=value, y=0)
        assert len(box.events()) == sent


@pytest.mark.parametrize(
    "speed, units, expected, speed_word",
    # The simulated Y axis: 8,000 steps an inch, speed unit 16,384, so one
    # speed value is 7.5 thousandths of an inch a minute.
    [(500, "mm", 500.0, 2625), (20, "in", 20.0, 2667), (15, "mm", 15.0, 79), (0.6, "in", 0.6, 80)],
)
def test_velocity_goes_out_in_thousandths_of_an_inch_a_minute(box, speed, units, expected, speed_word):
    with box.machine() as m:
        assert m.velocity(speed, units=units) == pytest.approx(expected, rel=1e-3)
        assert box.events()[-1].split()[:2] == ["s", str(speed_word)]
        with pytest.raises(ValueError):
            m.velocity(0)


def test_a_closed_machine_refuses_calls_without_waiting_on_the_port(box):
    m = box.machine()
    m.close()
    m.close()  # a second close is harmless
    # Kap_PenUp on a closed port would wait out its time-out and report 256.
    for call in (m.pen_up, lambda: m.move_to(x=1), m.estop, m.wait_until_idle, lambda: m.jog("x")):
        with pytest.raises(zrqapi.NotInitialized):
            call()
    assert not m.in_motion


def test_one_holder_of_the_library_at_a_time(box):
    with box.machine() as m:
        with pytest.raises(zrqapi.ZrqError, match="already held"):
            box.machine()
        with pytest.raises(zrqapi.ZrqError, match="already held"):
            box.link()
        m.estop()
    # Closing released it.
    with box.link():
        pass


def test_unknown_units_are_refused(box):
    with pytest.raises(ValueError):
        zrqapi.Machine(root=box.root, units="furlong")
    with box.machine() as m:
        with pytest.raises(ValueError):
            m.position(units="cubit")


def test_the_pytest_fixture_serves_a_box(simulated_box):
    with simulated_box.machine() as m:
        assert m.is_open
    assert simulated_box.running


def test_estop_halts_a_move_where_it_is_and_later_moves_start_from_there(box):
    with box.machine(units="in") as m:
        m.velocity(30)  # four seconds for the move
        m.move_to(x=2.0, y=0.0)
        for _ in range(500):
            if m.position().x >= 0.1:
                break
            time.sleep(0.01)
        m.estop()
        assert not m.in_motion
        stopped = m.position().x
        assert 0.1 <= stopped < 1.5
        # The targets are read from the box again: Y alone moves, X stays put.
        m.move_to(y=0.1, wait=True)
        here = m.position()
        assert here.x == stopped and within_one_step(here.y, 0.1, "in")
    assert "emergency stop" in box.events()


@pytest.mark.parametrize("before", [None, "/somewhere/else"])
def test_the_root_given_is_not_left_in_the_environment(box, monkeypatch, before):
    if before is None:
        monkeypatch.delenv("ZRQAPI_ROOT", raising=False)
    else:
        monkeypatch.setenv("ZRQAPI_ROOT", before)
    with box.machine():
        assert os.environ.get("ZRQAPI_ROOT") == before
    with box.link():
        assert os.environ.get("ZRQAPI_ROOT") == before


@pytest.mark.parametrize("call", [
    lambda m: m.move_to(x=300, y=0),  # 2.4 million steps: more counts than 32 bits hold
    lambda m: m.move_to(z=300),
    lambda m: m.velocity(100000),  # a speed value beyond 16 bits
    lambda m: m.sample_spacing(1, 300),
], ids=["move-xy", "move-z", "velocity", "spacing"])
def test_values_the_box_cannot_take_are_refused_and_nothing_moves(box, call):
    with box.machine(units="in") as m:
        m.velocity(120)
        sent = len(box.events())
        with pytest.raises(zrqapi.CommandFailed):
            call(m)
        # Only position queries followed: no frame of a move, speed or parameter.
        assert all(event.startswith("S ") for event in box.events()[sent:]), box.events()[sent:]
        m.move_to(x=0.5, y=0.0, wait=True)
        assert within_one_step(m.position().x, 0.5, "in")
