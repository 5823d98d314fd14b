"""Link: raw commands reach the box as the frames its log shows; queries come back as Python values."""
import pytest

import zrqapi
from zrqapi.testing import SimulatedBox


def test_commands_appear_as_frames_on_the_box_log(box):
    with box.link() as link:
        # The pen state is the process's: a Machine closed before left it up.
        link.pen(True)
        link.param(34, 1)
        link.move_xy(1024, -2048)
        link.move_xy_by(10, -10)
        link.command("Nirek1Speed", 3, 500)
        link.command("NirekSelectXYZ2", 3, 1, 4)
        link.wait_halt()
    events = [e for e in box.events() if not e.startswith("n ")]
    wanted = ["D", "p 34 1", "a 1024 -2048", "C 10 -10", "k 3 500", "P 3 1 4", "G"]
    # The frames arrive in order.
    positions = [events.index(frame) for frame in wanted]
    assert positions == sorted(positions), events


def test_queries_return_python_values(lib):
    step_word = 0x80000001  # above 2**31: must come back unsigned
    with SimulatedBox(baud=0, identifier="K12.1A", step_info=step_word) as box:
        with box.link() as link:
            assert link.identifier() == "K12.1A"
            assert link.info(26, 3) == step_word
            assert link.box_state() is zrqapi.BoxState.PROTOCOL
            link.pen(False)
            link.move_xy(-4096, 2048)
            link.wait_halt()
            assert link.position(3) == -4096 and link.position(1) == 2048
            assert not link.busy
            assert link.home()


@pytest.mark.parametrize("options, state", [
    (dict(prompt=True), zrqapi.BoxState.PROMPT),
    (dict(silent=True), zrqapi.BoxState.NO_ANSWER),
])
def test_box_state_tells_a_prompt_from_silence(lib, options, state):
    with SimulatedBox(baud=0, **options) as box:
        with box.link() as link:
            assert link.box_state() is state


def test_settings_read_back_and_restore(box):
    with box.link() as link:
        link.wait_mode = False
        assert link.wait_mode is False
        link.wait_mode = True
        link.timeout = 2.5
        assert link.timeout == 2.5
        with pytest.raises(ValueError):
            link.timeout = 0


def test_misuse_is_refused_before_the_wire(box):
    link = box.link()
    with pytest.raises(ValueError):
        link.command("NirekGetInfo", 2, 3)  # a query, not a command
    with pytest.raises(ValueError):
        link.command("Kap_MoveXY", 1, 2)
    with pytest.raises(OverflowError):
        link.move_xy(2**31, 0)
    link.close()
    with pytest.raises(zrqapi.NotInitialized):
        link.param(1, 0)
    assert not link.is_open


def test_a_missing_port_is_a_port_error(box):
    with pytest.raises(zrqapi.PortError):
        zrqapi.Link(4, root=box.root)
