"""Random calls on every public entry point of velkor, each judged against the documented
behaviour: the exception type and message, `out` left untouched by a refused call, inputs never
written, no array hold or argument reference left behind, and a handle that still computes
exactly what a clean handle computes after every failure.

The engine lives in stress/common.py and is shared with the long-running stress/api_fuzz.py.
Here hypothesis drives it (fixed seed, bounded examples) so the run is the same every time.
"""

import random

import pytest

from conftest import stress_common
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule


shared = stress_common()
_world = []


def world():
    if not _world:
        _world.append(shared.World())
    return _world[0]


@pytest.fixture(scope="module", autouse=True)
def _cleanup_world():
    yield
    if _world:
        _world.pop().close()


randoms = st.randoms(use_true_random=False)


class ApiFuzzMachine(RuleBasedStateMachine):
    """Each rule makes one to a few random calls; the handles, forks and load buffers live on
    from rule to rule within an example, so closed handles, forks of forks and buffers whose
    handle is gone meet later calls."""

    def __init__(self):
        super().__init__()
        self.fuzzer = shared.ApiFuzzer(world(), leak_every=25)

    @rule(rng=randoms)
    def computing_methods(self, rng):
        for _ in range(3):
            self.fuzzer.run_step(self.fuzzer.step_compute, rng)

    @rule(rng=randoms)
    def load_buffers(self, rng):
        self.fuzzer.run_step(self.fuzzer.step_buffer, rng)

    @rule(rng=randoms)
    def value_classes(self, rng):
        self.fuzzer.run_step(self.fuzzer.step_values, rng)

    @rule(rng=randoms)
    def handle_life_cycle(self, rng):
        self.fuzzer.run_step(self.fuzzer.step_handle, rng)

    @rule(rng=randoms)
    def generic_protocols(self, rng):
        self.fuzzer.run_step(self.fuzzer.step_poke, rng)

    @invariant()
    def nothing_went_wrong(self):
        assert not self.fuzzer.problems, "\n" + self.fuzzer.report()

    def teardown(self):
        for hs in [h for pool in self.fuzzer.handles.values() for h in pool]:
            self.fuzzer.check_handle(hs, "the end of the example")
        for bs in self.fuzzer.buffers:
            if not bs.broken:
                self.fuzzer.check_buffer_length(bs, "the end of the example")
        assert not self.fuzzer.problems, "\n" + self.fuzzer.report()


TestApiFuzz = ApiFuzzMachine.TestCase
TestApiFuzz.settings = settings(
    max_examples=80,
    stateful_step_count=50,
    derandomize=True,
    deadline=None,
    database=None,
    print_blob=False,
    suppress_health_check=list(HealthCheck),
)


ENTRY_POINTS = {f"{cls}.{method}" for cls in ("Robot", "FloatingRobot")
                for method in ("forward_kinematics_all", "forward_kinematics", "jacobian", "jacobian_derivative",
                               "forward_velocity_kinematics", "forward_acceleration_kinematics", "gravity",
                               "inverse_dynamics", "forward_dynamics", "mass_matrix", "velocity_product_forces",
                               "fork", "load_buffer", "link_id", "name", "joint_count", "generalized_count",
                               "link_count", "from_urdf")} | {
    "Robot.inverse_kinematics", "Robot.set_base_frame", "Robot()", "FloatingRobot()", "close", "__enter__",
    "__exit__", "with", "Pose()", "Twist()", "BaseState()", "Load()", "IkOptions()", "LoadBuffer.set",
    "LoadBuffer.add", "LoadBuffer.remove", "LoadBuffer.clear", "LoadBuffer.protocols", "wrong self"}


def test_plain_random_run_reaches_every_entry_point():
    """The same engine without hypothesis, as the long form runs it: a few thousand calls from a
    seeded generator reach every entry point and find nothing wrong."""
    fuzzer = shared.ApiFuzzer(world(), leak_every=60)
    rng = random.Random(20240611)
    for _ in range(3000):
        fuzzer.run_step(fuzzer.step, rng)
    assert not fuzzer.problems, "\n" + fuzzer.report()
    missing = ENTRY_POINTS - set(fuzzer.calls)
    assert not missing, f"never called: {sorted(missing)}"
    # both successes and refusals of every documented kind were seen
    for outcome in ("ok", "TypeError", "ValueError", "OverflowError", "RuntimeError", "SolverError", "ModelError"):
        assert fuzzer.failures[outcome] > 0, outcome
