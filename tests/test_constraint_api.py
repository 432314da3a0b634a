"""The Python surface of constraints: Contact and LoopClosure values, robot.constraint_set and its
checks, and the six methods that take a constraint set, of both handle kinds and their batches
(argument checks, result shapes, out= tuples, signatures). The physics is checked against Pinocchio in
test_constrained_dynamics."""

import copy
import inspect
import os
import pickle
import signal
import threading

import numpy as np
import pytest

import velkor
from velkor import BaseState, ConstraintSet, Contact, FloatingRobot, Load, LoopClosure, Pose, Robot, SolverError, Twist
from velkor.samples import sample_path

NAN = float("nan")
OFFSET = Pose([0.0, 0.01, 0.05], [0.1, 0.0, 0.0, 0.995])
BASE = BaseState(Pose([0.1, 0.0, 0.5]), Twist([0.1, -0.2, 0.3], [0.5, 0.0, -0.1]))
METHODS = ["constrained_forward_dynamics", "impulse_dynamics", "constraint_jacobian", "constraint_acceleration_bias",
           "constrained_dynamics_derivatives", "constraint_poses"]
# the parameters after base; keyword-only ones after "*"
SIGNATURES = {
    "constrained_forward_dynamics": "q, qd, forces, constraints, loads=None, *, regularization=0.0, out=None",
    "impulse_dynamics": "q, qd, constraints, *, restitution=0.0, regularization=0.0, out=None",
    "constraint_jacobian": "q, constraints, out=None",
    "constraint_acceleration_bias": "q, qd, constraints, out=None",
    "constraint_poses": "q, constraints, out=None",
    "constrained_dynamics_derivatives": "q, qd, forces, constraints, loads=None, *, regularization=0.0, out=None",
}


class Setup:
    """A handle, a constraint set of full row rank on it, and valid arguments for every method."""

    def __init__(self, kind):
        rng = np.random.default_rng(3)
        if kind == "fixed":
            self.robot = Robot(sample_path("arm"))
            tip = self.robot.link_count - 1
            items = [Contact(tip, offset=OFFSET, target=Pose([0.3, 0.0, 0.4])),
                     LoopClosure(tip, 4, "point", offset_b=Pose([0.05, 0.03, 0.1]))]
            self.lead = ()
        else:
            self.robot = FloatingRobot(sample_path("quadruped"))
            feet = [self.robot.link_id(f"{leg}_foot") for leg in ("front_left", "front_right", "hind_left")]
            items = [Contact(feet[0], "frame"), Contact(feet[1]), Contact(feet[2], offset=OFFSET)]
            self.lead = (BASE,)
        self.set = self.robot.constraint_set(items, baumgarte=(2.0, 1.0))
        n, self.N, self.m = self.robot.joint_count, self.robot.generalized_count, self.set.count
        self.q, self.qd = rng.uniform(-1, 1, n), rng.uniform(-1, 1, n)
        self.tau = rng.uniform(-1, 1, self.N)
        self.loads = [Load(1, force=(0.0, 0.0, 1.0))]

    def arguments(self, method, constraints=None):
        """(positional, keyword) arguments of a valid call."""
        s = self.set if constraints is None else constraints
        positional = {"constrained_forward_dynamics": (self.q, self.qd, self.tau, s, self.loads),
                      "impulse_dynamics": (self.q, self.qd, s),
                      "constraint_jacobian": (self.q, s), "constraint_acceleration_bias": (self.q, self.qd, s),
                      "constrained_dynamics_derivatives": (self.q, self.qd, self.tau, s, self.loads),
                      "constraint_poses": (self.q, s)}[method]
        keywords = {"impulse_dynamics": {"restitution": 0.5}}.get(method, {})
        return self.lead + positional, keywords

    def lengths(self, method, m=None, sides=None):
        m, N = self.m if m is None else m, self.N
        sides = sum(1 if isinstance(item, Contact) else 2 for item in self.set.items) if sides is None else sides
        return {"constrained_forward_dynamics": [N, m], "impulse_dynamics": [N, m], "constraint_jacobian": [m * N],
                "constraint_acceleration_bias": [m],
                "constrained_dynamics_derivatives": [N * N] * 3 + [m * N] * 3, "constraint_poses": [7 * sides]}[method]

    def call(self, method, constraints=None, **overrides):
        args, keywords = self.arguments(method, constraints)
        return getattr(self.robot, method)(*args, **{**keywords, **overrides})


@pytest.fixture(scope="module", params=["fixed", "floating"])
def setup(request):
    return Setup(request.param)


def as_tuple(result):
    return result if isinstance(result, tuple) else (result,)


# -- Contact and LoopClosure -------------------------------------------------------------------

def test_items_keep_their_fields():
    contact = Contact(np.int64(3), "frame", offset=OFFSET, target=None)
    assert (contact.link_id, contact.kind, contact.offset, contact.target) == (3, "frame", OFFSET, None)
    loop = LoopClosure(1, 2)
    assert (loop.link_a, loop.link_b, loop.kind, loop.offset_a, loop.offset_b) == (1, 2, "point", None, None)
    assert Contact(1).offset is None and type(Contact(1).link_id) is int


@pytest.mark.parametrize("make, error, match", [
    (lambda: Contact("1"), TypeError, "argument 'link_id': expected an integer link id"),
    (lambda: Contact(1.0), TypeError, "link_id"),
    (lambda: Contact(-1), ValueError, "invalid link id -1"),
    (lambda: Contact(1, "edge"), ValueError, "kind must be 'point' or 'frame', got 'edge'"),
    (lambda: Contact(1, 3), TypeError, "argument 'kind': expected str"),
    (lambda: Contact(1, offset=np.eye(4)), TypeError, "argument 'offset': expected velkor.Pose or None"),
    (lambda: Contact(1, target=(0.0, 0.0, 0.0)), TypeError, "argument 'target'"),
    (lambda: Contact(1, "point", None, None, None), TypeError, "positional"),
    (lambda: LoopClosure(1), TypeError, "missing 1 required positional argument: 'link_b'"),
    (lambda: LoopClosure(1, None), TypeError, "argument 'link_b'"),
    (lambda: LoopClosure(1, 2, offset_b=Twist()), TypeError, "argument 'offset_b'"),
    (lambda: LoopClosure(1, 2, kind="Frame"), ValueError, "kind must be"),
])
def test_item_construction_checks_its_arguments(make, error, match):
    with pytest.raises(error, match=match):
        make()


ARM = Robot(sample_path("arm"))
ARM_Q = np.zeros(ARM.joint_count)


# Every place a link id is read from Python: True is not link 1.
@pytest.mark.parametrize("name, read", [
    ("link_id", lambda link: Contact(link)),
    ("link_a", lambda link: LoopClosure(link, 2)),
    ("link_b", lambda link: LoopClosure(1, link)),
    ("link_id", lambda link: velkor.PoseTask(link, Pose())),
    ("link_id", lambda link: Load(link)),
    ("link_id", lambda link: ARM.load_buffer().set(link, force=(1.0, 0.0, 0.0))),
    ("link_id", lambda link: ARM.load_buffer().add(link)),
    ("link_id", lambda link: ARM.load_buffer().remove(link)),
    ("target", lambda link: ARM.forward_kinematics(ARM_Q, link)),
    ("target", lambda link: ARM.jacobian(ARM_Q, link)),
    ("target", lambda link: ARM.batch(1).jacobian(ARM_Q[None], link)),
    ("target", lambda link: ARM.inverse_kinematics(ARM_Q, link, Pose())),
])
@pytest.mark.parametrize("flag", [True, False])
def test_a_bool_is_no_link_id(name, read, flag):
    with pytest.raises(TypeError, match=f"^argument '{name}': expected an integer link id, got bool$"):
        read(flag)


ITEMS = [Contact(2), Contact(4, "frame", OFFSET, Pose([1.0, 2.0, 3.0])), LoopClosure(3, 5, "frame", None, OFFSET)]


@pytest.mark.parametrize("item", ITEMS, ids=repr)
def test_items_repr_compare_pickle_and_copy(item):
    again = eval(repr(item), {"velkor": velkor})
    assert again == item and not (again != item) and type(again) is type(item)
    for twin in (pickle.loads(pickle.dumps(item)), copy.copy(item), copy.deepcopy(item)):
        assert twin == item and type(twin) is type(item)
    with pytest.raises(TypeError, match="unhashable"):
        hash(item)


@pytest.mark.parametrize("a, b", [
    (Contact(1), Contact(2)), (Contact(1), Contact(1, "frame")), (Contact(1), Contact(1, offset=Pose())),
    (Contact(1, target=Pose([0, 0, 1.0])), Contact(1, target=Pose([0, 0, 2.0]))), (Contact(1), LoopClosure(1, 0)),
    (LoopClosure(1, 2), LoopClosure(2, 1)), (LoopClosure(1, 2, offset_a=OFFSET), LoopClosure(1, 2, offset_b=OFFSET)),
])
def test_items_differing_in_a_field_are_unequal(a, b):
    assert a != b and not (a == b)


# -- robot.constraint_set ----------------------------------------------------------------------

def test_the_set_describes_its_rows(setup):
    s = setup.set
    assert isinstance(s, ConstraintSet) and s.baumgarte == (2.0, 1.0)
    sizes = [6 if item.kind == "frame" else 3 for item in s.items]
    assert s.count == sum(sizes) and [len(r) for r in s.rows] == sizes
    assert [r.start for r in s.rows] == list(np.cumsum([0] + sizes[:-1])) and s.rows[-1].stop == s.count
    assert repr(s) == f"<velkor.ConstraintSet of {len(sizes)} items, {s.count} rows, baumgarte=(2.0, 1.0)>"
    empty = setup.robot.constraint_set(())
    assert (empty.count, empty.items, empty.rows, empty.baumgarte) == (0, (), (), (0.0, 0.0))
    item = Contact(1)
    assert setup.robot.constraint_set([item]).items[0] is item


@pytest.mark.parametrize("items, keywords, error, match", [
    (Contact(1), {}, TypeError, "argument 'items': expected a sequence"),
    ("ab", {}, TypeError, "argument 'items': expected a sequence"),
    ((c for c in [Contact(1)]), {}, TypeError, "argument 'items'"),
    ([Contact(1), Load(1)], {}, TypeError, "item 1 is velkor.Load, not velkor.Contact or velkor.LoopClosure"),
    ([Contact(1), Contact(99)], {}, ValueError, r"items\[1\]: invalid link id 99"),
    ([LoopClosure(1, 99)], {}, ValueError, r"items\[0\]: invalid link id 99"),
    ([Contact(1, offset=Pose([NAN, 0, 0]))], {}, ValueError, r"items\[0\]: pose contains non-finite values"),
    ([Contact(1, target=Pose(rotation_xyzw=(0, 0, 0, 0)))], {}, ValueError, "zero quaternion"),
    ([LoopClosure(1, 2, offset_b=Pose([0, float("inf"), 0]))], {}, ValueError, "non-finite"),
    ([], {"baumgarte": (1.0,)}, ValueError, "length 2"),
    ([], {"baumgarte": (-1.0, 0.0)}, ValueError, "baumgarte gains must be finite and not negative"),
    ([], {"baumgarte": (0.0, NAN)}, ValueError, "baumgarte"),
    ([], {"baumgarte": 1.0}, TypeError, "argument 'baumgarte'"),
    ([], {"gains": (1.0, 1.0)}, TypeError, "unexpected keyword argument 'gains'"),
])
def test_the_set_checks_its_items_and_gains(setup, items, keywords, error, match):
    with pytest.raises(error, match=match):
        setup.robot.constraint_set(items, **keywords)


def test_the_set_is_made_by_a_robot_only_and_does_not_travel(setup):
    with pytest.raises(TypeError, match="positional"):
        setup.robot.constraint_set([], (1.0, 1.0))
    with pytest.raises(TypeError):
        ConstraintSet()
    for travel in (pickle.dumps, copy.copy, copy.deepcopy):
        with pytest.raises(TypeError, match="robot.constraint_set"):
            travel(setup.set)
    closed = type(setup.robot)(sample_path("arm" if isinstance(setup.robot, Robot) else "quadruped"))
    closed.close()
    with pytest.raises(RuntimeError, match="robot is closed"):
        closed.constraint_set([])


# -- the constrained methods -------------------------------------------------------------------

@pytest.mark.parametrize("method", METHODS)
def test_signatures_show_keyword_only_options(method):
    parameters = SIGNATURES[method]
    for cls, lead in ((Robot, ""), (FloatingRobot, "base, ")):
        assert getattr(cls, method).__text_signature__ == f"($self, {lead}{parameters})"
        batch = cls(sample_path("arm" if cls is Robot else "quadruped")).batch(1)
        assert getattr(batch, method).__text_signature__ == f"($self, {lead}{parameters})"
    keyword_only = [p.name for p in inspect.signature(getattr(Robot, method)).parameters.values()
                    if p.kind is inspect.Parameter.KEYWORD_ONLY]
    after_star = parameters.partition("*, ")[2]
    assert keyword_only == [p.split("=")[0] for p in after_star.split(", ") if p]
    assert Robot.constraint_set.__text_signature__ == "($self, items, *, baumgarte=(0.0, 0.0))"


@pytest.mark.parametrize("method", METHODS)
def test_results_have_the_documented_lengths(setup, method):
    results = as_tuple(setup.call(method))
    assert [r.size for r in results] == setup.lengths(method)
    assert all(r.dtype == np.float64 and r.ndim == 1 and np.isfinite(r).all() for r in results)
    empty = as_tuple(setup.call(method, setup.robot.constraint_set([])))
    assert [r.size for r in empty] == setup.lengths(method, m=0, sides=0)
    # given arrays are filled with the same numbers, and a tuple of them is returned as given
    out = tuple(np.full(n, -7.0) for n in setup.lengths(method))
    given = out if len(out) > 1 else out[0]
    returned = setup.call(method, out=given)
    assert returned is given
    assert [o.tobytes() for o in out] == [r.tobytes() for r in results]
    # the set is valid on the handle's forks
    assert [r.tobytes() for r in as_tuple(getattr(setup.robot.fork(), method)(
        *setup.arguments(method)[0], **setup.arguments(method)[1]))] == [r.tobytes() for r in results]


def foreign(setup):
    return type(setup.robot)(sample_path("arm" if isinstance(setup.robot, Robot) else "quadruped")).constraint_set(
        setup.set.items)


# (methods, keyword overrides or a callable giving them, error, message)
REFUSALS = [
    (METHODS, lambda s: {"constraints": foreign(s)}, ValueError, "the constraint set belongs to another robot model"),
    (METHODS, lambda s: {"constraints": list(s.set.items)}, TypeError,
     "argument 'constraints': expected velkor.ConstraintSet, got list"),
    (METHODS, lambda s: {"q": np.full_like(s.q, NAN)}, ValueError, "q contains a non-finite value"),
    (METHODS, lambda s: {"q": s.q[:-1]}, ValueError,
     r"q and qd must have the same length|expected \d+ elements in q, found \d+"),
    (["constrained_forward_dynamics", "impulse_dynamics", "constrained_dynamics_derivatives"],
     {"regularization": -1.0}, ValueError, r"regularization must be a finite number, 0 or more, got -1\.0"),
    (["constrained_forward_dynamics", "constrained_dynamics_derivatives"], {"regularization": float("inf")},
     ValueError, "regularization must be"),
    (["impulse_dynamics"], {"regularization": NAN}, ValueError, "regularization must be"),
    (["constrained_forward_dynamics"], {"regularization": "0.1"}, TypeError, "argument 'regularization'"),
    (["impulse_dynamics"], {"restitution": 1.5}, ValueError, r"restitution must be a number from 0 to 1, got 1\.5"),
    (["impulse_dynamics"], {"restitution": -0.25}, ValueError, "restitution must be"),
    (["impulse_dynamics"], {"restitution": None}, TypeError, "argument 'restitution'"),
    (["constrained_forward_dynamics"], {"restitution": 0.5}, TypeError, "unexpected keyword argument 'restitution'"),
    (["constrained_forward_dynamics", "constrained_dynamics_derivatives"], {"loads": [Load(99)]}, ValueError,
     "invalid link id 99"),
]
REFUSED = [(method, *rest) for methods, *rest in REFUSALS for method in methods]


def keyword_call(setup, method, overrides):
    """A valid call by keyword (base positional), with `overrides`."""
    args, keywords = setup.arguments(method)
    names = [n.split("=")[0] for n in SIGNATURES[method].replace("*, ", "").split(", ")]
    by_name = dict(zip(names, args[len(setup.lead):]))
    return lambda **extra: getattr(setup.robot, method)(*setup.lead, **{**by_name, **keywords, **overrides, **extra})


@pytest.mark.parametrize("method, overrides, error, match", REFUSED,
                         ids=[f"{m}-{match[:30]}" for m, _, _, match in REFUSED])
def test_bad_arguments_raise_and_write_nothing(setup, method, overrides, error, match):
    overrides = overrides(setup) if callable(overrides) else overrides
    out = tuple(np.full(n, -7.0) for n in setup.lengths(method))
    call = keyword_call(setup, method, overrides)
    with pytest.raises(error, match=match):
        call(out=out if len(out) > 1 else out[0])
    assert all((o == -7.0).all() for o in out)
    call_ok = keyword_call(setup, method, {})  # the handle works on
    assert [r.size for r in as_tuple(call_ok())] == setup.lengths(method)


@pytest.mark.parametrize("method", ["constrained_forward_dynamics", "impulse_dynamics",
                                    "constrained_dynamics_derivatives"])
def test_redundant_rows_are_a_solver_error_unless_regularized(setup, method):
    tip = setup.robot.link_count - 1
    twice = setup.robot.constraint_set([Contact(tip), Contact(tip, "frame")])
    out = tuple(np.full(n, -7.0) for n in setup.lengths(method, m=twice.count))
    with pytest.raises(SolverError, match="linearly dependent.*regularization"):
        setup.call(method, twice, out=out)
    assert all((o == -7.0).all() for o in out)
    # (1e-6: at 1e-8 the proximal iterations on exactly repeated rows stall near their stopping
    # tolerance, where the outcome depends on the rounding of M)
    assert all(np.isfinite(r).all() for r in as_tuple(setup.call(method, twice, regularization=1e-6)))


@pytest.mark.parametrize("method", ["constrained_forward_dynamics", "constrained_dynamics_derivatives"])
def test_out_tuples_are_checked(setup, method):
    lengths = setup.lengths(method)
    good = [np.empty(n) for n in lengths]
    shared = np.empty(max(lengths))
    for out, error, match in [
        (tuple(good[:-1]), TypeError, f"expected None or a tuple of {len(lengths)}"),
        (list(good), TypeError, "tuple"),
        (tuple(good[:-1]) + (np.empty(lengths[-1] + 1),), ValueError, "exactly"),
        (tuple(np.empty(n + 1) for n in lengths), ValueError, "exactly"),
        ((shared,) + tuple(good[1:-1]) + (shared[:lengths[-1]],), ValueError, "must not overlap"),
        (tuple(good[:-1]) + (np.empty(lengths[-1], dtype=np.float32),), TypeError, "float64"),
    ] + [((setup.tau, good[1]), ValueError, "already borrowed")] * (method == "constrained_forward_dynamics"):
        tau = setup.tau.copy()
        with pytest.raises(error, match=match):
            setup.call(method, out=out)
        assert setup.tau.tobytes() == tau.tobytes()  # an input given as out is neither read nor written


def test_keyword_only_options_are_not_positional(setup):
    args, _ = setup.arguments("constrained_forward_dynamics")
    with pytest.raises(TypeError, match="positional arguments but"):
        setup.robot.constrained_forward_dynamics(*args, 0.1)


# -- regularized solves that do not converge ---------------------------------------------------

FEET = [f"{leg}_foot" for leg in ("front_left", "front_right", "hind_left", "hind_right")]
REGULARIZED = ["constrained_forward_dynamics", "impulse_dynamics", "constrained_dynamics_derivatives"]


class Quadruped:
    """The sample quadruped, a state of it, and its four feet as point contacts."""

    def __init__(self):
        rng = np.random.default_rng(8)
        self.robot = FloatingRobot(sample_path("quadruped"))
        self.feet = [self.robot.link_id(name) for name in FEET]
        self.four = self.robot.constraint_set([Contact(f) for f in self.feet])
        self.q, self.qd, self.tau = rng.uniform(-0.5, 0.5, 12), rng.uniform(-0.5, 0.5, 12), rng.uniform(-1, 1, 18)

    def call(self, method, constraints, **keywords):
        r = self.robot
        if method == "impulse_dynamics":
            return r.impulse_dynamics(BASE, self.q, self.qd, constraints, restitution=0.5, **keywords)
        return getattr(r, method)(BASE, self.q, self.qd, self.tau, constraints, **keywords)


@pytest.fixture(scope="module")
def quadruped():
    return Quadruped()


STALLED = (r"^the proximal iteration of the regularized constraint solve stalled after 200 iterations "
           r"\(residual \d\.\d{6}e-?\d+\): the constraints can all hold, but a smaller regularization converges faster$")
CONFLICT = (r"^the regularized constraint solve did not converge after 200 proximal iterations \(residual .+\): "
            r"the constraints cannot all hold; raise regularization or remove conflicting rows$")


@pytest.mark.parametrize("method", REGULARIZED)
def test_a_regularization_too_large_to_converge_is_not_called_a_conflict(quadruped, method):
    # Four feet solve exactly without regularization; at μ = 10, far above the eigenvalues of
    # J M⁻¹ Jᵀ, each proximal iteration takes a sliver off the error and 200 do not reach the
    # tolerance. That is slow progress, not rows that cannot hold.
    exact = as_tuple(quadruped.call(method, quadruped.four))
    with pytest.raises(SolverError, match=STALLED):
        quadruped.call(method, quadruped.four, regularization=10.0)
    small = as_tuple(quadruped.call(method, quadruped.four, regularization=1e-6))
    for got, want in zip(small, exact):
        np.testing.assert_allclose(got, want, rtol=1e-8, atol=1e-8 * np.abs(want).max())


@pytest.mark.parametrize("regularization", [1e-6, 10.0])
def test_rows_that_cannot_all_hold_still_say_so(quadruped, regularization):
    # Two frames on one turning foot: their rows depend on each other, but their accelerations
    # cannot both be zero, so no forces meet them, whatever the regularization.
    foot = quadruped.feet[0]
    twice = quadruped.robot.constraint_set([Contact(foot, "frame"), Contact(foot, "frame", offset=OFFSET)])
    with pytest.raises(SolverError, match=CONFLICT):
        quadruped.call("constrained_forward_dynamics", twice, regularization=regularization)


# -- Ctrl-C during a long solve ----------------------------------------------------------------

@pytest.fixture
def ctrl_c():
    """Python's default SIGINT handler for the test's duration (the suite may be started with SIGINT
    ignored), and a function that asks a timer thread to send SIGINT to this process shortly."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    timers = []

    def soon():
        timer = threading.Timer(0.05, os.kill, (os.getpid(), signal.SIGINT))
        timers.append(timer)
        timer.start()

    try:
        yield soon
    finally:
        for timer in timers:
            timer.cancel()
            timer.join()
        signal.signal(signal.SIGINT, previous)


def long_solve(q, method, rows, cs, out):
    """`method` on the quadruped with regularization into `out`: a single call (rows None) or a batch."""
    if rows is None:
        if method == "impulse_dynamics":
            return q.robot.impulse_dynamics(BASE, q.q, q.qd, cs, regularization=1e-6, out=out)
        return q.robot.constrained_forward_dynamics(BASE, q.q, q.qd, q.tau, cs, regularization=1e-6, out=out)
    batch, tile = q.robot.batch(rows), lambda v: np.tile(v, (rows, 1))
    if method == "impulse_dynamics":
        return batch.impulse_dynamics([BASE] * rows, tile(q.q), tile(q.qd), cs, regularization=1e-6, out=out)
    return batch.constrained_forward_dynamics([BASE] * rows, tile(q.q), tile(q.qd), tile(q.tau), cs,
                                              regularization=1e-6, out=out)


@pytest.mark.parametrize("rows", [None, 1, 2], ids=["single", "batch of 1", "batch of 2"])
@pytest.mark.parametrize("method", ["constrained_forward_dynamics", "impulse_dynamics"])
def test_ctrl_c_ends_a_long_constrained_solve(quadruped, ctrl_c, method, rows):
    # 600 point contacts on four feet: 1,800 rows, whose O(m³) factor takes seconds.
    many = quadruped.robot.constraint_set([Contact(quadruped.feet[i % 4]) for i in range(600)])
    shape = () if rows is None else (rows,)
    out = (np.full(shape + (18,), NAN), np.full(shape + (many.count,), NAN))
    with pytest.raises(KeyboardInterrupt):
        ctrl_c()
        long_solve(quadruped, method, rows, many, out)
    # Stopped inside the call: had it finished first (the signal's handler running after it),
    # out would hold its results.
    assert all(np.isnan(o).all() for o in out)
    assert np.isfinite(quadruped.call("constrained_forward_dynamics", quadruped.four)[0]).all()


# -- batches -----------------------------------------------------------------------------------

ROWS = 5


@pytest.mark.parametrize("method", METHODS)
def test_batch_rows_are_the_single_calls(setup, method):
    rng = np.random.default_rng(11)
    args, keywords = setup.arguments(method)
    if "regularization" in SIGNATURES[method]:
        keywords = {**keywords, "regularization": 1e-9}
    vectors = [a for a in args[len(setup.lead):] if isinstance(a, np.ndarray)]
    rest = args[len(setup.lead) + len(vectors):]  # constraints and loads, shared by the rows
    stacked = [rng.uniform(-1, 1, (ROWS, v.size)) for v in vectors]
    bases = [BaseState(Pose([0.0, 0.1 * i, 0.4]), Twist([0.1 * i, 0, 0], [0, 0.2, 0])) for i in range(ROWS)]
    lead = (bases,) if setup.lead else ()
    results = as_tuple(getattr(setup.robot.batch(2), method)(*lead, *stacked, *rest, **keywords))
    assert [r.shape for r in results] == [(ROWS, n) for n in setup.lengths(method)]
    for i in range(ROWS):
        single_lead = (bases[i],) if setup.lead else ()
        single = as_tuple(getattr(setup.robot, method)(*single_lead, *(s[i] for s in stacked), *rest, **keywords))
        assert [r[i].tobytes() for r in results] == [s.tobytes() for s in single], (method, i)


def test_batch_arguments_are_checked_like_single_calls(setup):
    batch = setup.robot.batch(1)
    lead = ([BASE, BASE],) if setup.lead else ()
    q = np.stack([setup.q, setup.q])
    with pytest.raises(ValueError, match="belongs to another robot model"):
        batch.constraint_jacobian(*lead, q, foreign(setup))
    with pytest.raises(ValueError, match="restitution must be"):
        batch.impulse_dynamics(*lead, q, q, setup.set, restitution=2.0)
    good = (np.empty((2, setup.N)), np.empty((2, setup.m)))
    with pytest.raises(ValueError, match=rf"shape \(2, {setup.m}\)"):
        batch.impulse_dynamics(*lead, q, q, setup.set, out=(good[0], np.empty((2, setup.m + 1))))
    assert batch.impulse_dynamics(*lead, q, q, setup.set, out=good) is good
    bad = q.copy()
    bad[1, 0] = NAN
    with pytest.raises(ValueError, match=r"non-finite value \(row 1\)"):
        batch.constraint_acceleration_bias(*lead, bad, q, setup.set)
