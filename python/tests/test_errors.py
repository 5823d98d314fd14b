"""Each failure class from a real failure, and no Kap_Finish after a failed initialisation."""
import fcntl
import os

import pytest

import zrqapi
from zrqapi.testing import SimulatedBox

# An MPM file for a box that does not report its axes (docs/api.md).
GOOD_MPM = """46 MPM.VER version for identifier suffix 1A
12500 X.STEPDIST 8000 steps per inch
12500 Y.STEPDIST 8000 steps per inch
25000 Z.STEPDIST 4000 steps per inch
100000 R.STEPDIST 1000 steps per inch
655360 X.FLAGS unit 16384
655360 Y.FLAGS unit 16384
0 Z.FLAGS unit 16
131072 R.FLAGS unit 64
"""


class FinishSpy:
    """The library with its Kap_Finish calls counted."""

    def __init__(self, lib):
        self._lib = lib
        self.finished = 0

    def __getattr__(self, name):
        return getattr(self._lib, name)

    def Kap_Finish(self):
        self.finished += 1
        return self._lib.Kap_Finish()


@pytest.mark.parametrize("box_options, error, code, words", [
    (dict(config=False), zrqapi.ConfigError, 3, "qorin.cfg"),
    (dict(silent=True), zrqapi.NotResponding, 8, "not responding"),
    (dict(no_report=True, identifier="K12.1A"), zrqapi.MpmError, 5, "MPM"),
    (dict(no_report=True, identifier="K12.1A", mpm={"K12": GOOD_MPM.replace("12500 Y", "5 Y")}),
     zrqapi.MpmError, 6, "Bad MPM"),
    (dict(no_report=True, identifier="K12.1B", mpm={"K12": GOOD_MPM}), zrqapi.MpmError, 10, "version"),
], ids=["no-config", "silent", "no-mpm", "bad-mpm", "mpm-version"])
def test_failed_initialisation_raises_its_class_and_never_finishes(lib, box_options, error, code, words):
    spy = FinishSpy(lib)
    with SimulatedBox(baud=0, **box_options) as box:
        with pytest.raises(error) as caught:
            with zrqapi.Machine(root=box.root, library=spy):
                pass
    assert caught.value.code == code and isinstance(caught.value, zrqapi.ZrqError)
    assert words.lower() in str(caught.value).lower()
    # Kap_Finish on a port that never opened waits out four time-outs.
    assert spy.finished == 0
    assert not lib.NirekIsInstalled()


def test_a_good_mpm_file_initialises_and_finish_runs_once(lib):
    spy = FinishSpy(lib)
    with SimulatedBox(baud=0, no_report=True, identifier="K12.1A", mpm={"K12": GOOD_MPM}) as box:
        with zrqapi.Machine(root=box.root, library=spy, units="in") as m:
            m.velocity(120)
            m.move_to(x=0.5, y=0.25, wait=True)
            assert m.position().x == pytest.approx(0.5, abs=1.25e-4)
        assert spy.finished == 1
    assert spy.finished == 1


def test_no_finish_when_the_port_was_closed_behind_the_machine(lib, box):
    spy = FinishSpy(lib)
    m = zrqapi.Machine(root=box.root, library=spy)
    lib.NirekRemove()
    m.close()
    assert spy.finished == 0 and not m.is_open


def test_a_port_held_by_another_process_is_a_port_error(box):
    # The library locks the port for itself; an existing lock keeps it out.
    holder = os.open(box.com_link, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        fcntl.flock(holder, fcntl.LOCK_EX | fcntl.LOCK_NB)
        with pytest.raises(zrqapi.PortInUse, match="in use") as caught:
            zrqapi.Machine(root=box.root)
        assert caught.value.code == 7
    finally:
        os.close(holder)
    with box.machine():
        pass


@pytest.mark.parametrize("port", [0, 9])
def test_a_port_number_outside_one_to_eight_is_a_port_error(box, port):
    with pytest.raises(zrqapi.PortError):
        zrqapi.Machine(root=box.root, port=port)


def test_an_explicit_port_needs_no_configuration_file(lib):
    with SimulatedBox(baud=0, config=False, port=5) as box:
        with zrqapi.Machine(root=box.root, port=5) as m:
            assert m.is_open


def test_failed_homing_is_a_command_failure(lib):
    with SimulatedBox(baud=0, homing_fails=True) as box:
        with box.machine() as m:
            with pytest.raises(zrqapi.CommandFailed) as caught:
                m.home()
            assert caught.value.code == 1 and caught.value.function == "Kap_Home"


def test_a_lost_acknowledgement_is_an_ack_timeout_and_the_link_recovers(lib):
    with SimulatedBox(baud=0, drop_ack=1) as box:
        with box.link() as link:
            link.timeout = 0.3
            with pytest.raises(zrqapi.AckTimeout) as caught:
                link.param(34, 1)
            assert caught.value.code == 256 and isinstance(caught.value, TimeoutError)
            link.param(34, 2)
            assert link.timeout == pytest.approx(0.3)
    events = box.events()
    assert "ack dropped" in events
    assert events.index("p 34 2") > events.index("sync run")


def test_wrong_synchronisation_echoes_are_a_sync_error(lib):
    with SimulatedBox(baud=0, echo_n=True) as box:
        with box.link() as link:
            with pytest.raises(zrqapi.SyncError) as caught:
                link.sync()
            assert caught.value.code == 9
