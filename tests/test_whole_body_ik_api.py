"""The Python surface of the whole-body inverse kinematics: the task values, robot.ik_problem and
its checks, and IkProblem's solve, step_qp and solve_many on both handle kinds (argument checks,
result layouts and records, out=, threads, closed and poisoned handles). Numbers that depend on
the solver are checked with the solver, in the numerical tests."""

import copy
import inspect
import pickle
import threading

import numpy as np
import pytest
from peers import optional

import velkor
from velkor import (
    BaseState,
    CenterOfMassTask,
    ConstraintTask,
    Contact,
    FloatingRobot,
    IkProblem,
    PanicError,
    Pose,
    PoseTask,
    Robot,
    SolverError,
    Twist,
)
from velkor.samples import sample_path

hooks, NEEDS_TESTING = optional("_velkor_testing", "_velkor_testing (the test-only module of a VELKOR_TESTING build)")

NAN = float("nan")
FRAME = Pose([0.1, -0.2, 0.5], [0.1, 0.2, 0.3, 0.9])


class Setup:
    """A handle, a problem of every task kind on it, and a start within the joint limits."""

    def __init__(self, kind):
        rng = np.random.default_rng(7)
        if kind == "fixed":
            self.robot = Robot(sample_path("arm"))
            self.lead = ()
            self.contact = Contact(3)
        else:
            self.robot = FloatingRobot(sample_path("quadruped"))
            self.lead = (BaseState(FRAME, Twist([1.0, 2.0, 3.0])),)
            self.contact = Contact(self.robot.link_id("front_left_foot"))
        r = self.robot
        self.n, self.N, self.C = r.joint_count, r.generalized_count, r.configuration_size
        self.set = r.constraint_set([self.contact])
        self.tasks = [PoseTask(r.link_count - 1, Pose([0.3, 0.0, 0.4])), CenterOfMassTask((0.0, 0.0, 0.3), 0.5),
                      ConstraintTask(self.set)]
        self.problem = r.ik_problem(self.tasks, damping=1e-4)
        self.q0 = rng.uniform(np.maximum(r.lower_limits, -1.0), np.minimum(r.upper_limits, 1.0))

    def configuration(self, q):
        """The configuration of a solve's arguments: [p, quaternion x, y, z, w, q] on a FloatingRobot."""
        if not self.lead:
            return np.asarray(q, dtype=float)
        frame = self.lead[0].frame
        return np.r_[frame.translation, np.array(frame.rotation_xyzw) / np.linalg.norm(frame.rotation_xyzw), q]


@pytest.fixture(scope="module", params=["fixed", "floating"])
def setup(request):
    return Setup(request.param)


def assert_result(result, task_count):
    assert type(result) is velkor.IkResult and type(result).__module__ == "velkor"
    assert result == (result.converged, result.iterations, result.task_errors, result.limited)
    assert type(result.converged) is bool and type(result.limited) is bool and type(result.iterations) is int
    assert len(result.task_errors) == task_count and all(type(e) is float for e in result.task_errors)
    assert len(result) == 4 and type(result.restarts) is int and type(result.out_of_time) is bool


# -- the task values ------------------------------------------------------------------------

def test_tasks_keep_their_fields_and_defaults():
    task = PoseTask(np.int64(4), FRAME, tool=None, weight=np.float32(2.0), orientation_weight=0)
    assert (task.link_id, task.target, task.tool) == (4, FRAME, None) and type(task.link_id) is int
    assert (task.weight, task.position_weight, task.orientation_weight) == (2.0, 1.0, 0.0)
    assert all(type(w) is float for w in (task.weight, task.position_weight, task.orientation_weight))
    com = CenterOfMassTask(np.array([1, 2, 3]))
    assert com.target == (1.0, 2.0, 3.0) and com.weight == 1.0 and type(com.target[0]) is float
    with Robot(sample_path("arm")) as arm:
        s = arm.constraint_set([Contact(2)])
        assert ConstraintTask(s).constraint_set is s
        assert ConstraintTask(s) == ConstraintTask(constraint_set=s) != ConstraintTask(arm.constraint_set([Contact(2)]))


@pytest.mark.parametrize("make, error, match", [
    (lambda: PoseTask("1", Pose()), TypeError, "argument 'link_id': expected an integer link id"),
    (lambda: PoseTask(-1, Pose()), ValueError, "invalid link id -1"),
    (lambda: PoseTask(1, np.eye(4)), TypeError, "argument 'target': expected velkor.Pose, got numpy.ndarray"),
    (lambda: PoseTask(1, None), TypeError, "argument 'target'"),
    (lambda: PoseTask(1, Pose(), tool=Twist()), TypeError, "argument 'tool': expected velkor.Pose or None"),
    (lambda: PoseTask(1, Pose(), weight="1"), TypeError, "argument 'weight': must be real number, not str"),
    (lambda: PoseTask(1, Pose(), position_weight=1j), TypeError, "argument 'position_weight'"),
    (lambda: PoseTask(1, Pose(), orientation_weight=None), TypeError, "argument 'orientation_weight'"),
    (lambda: PoseTask(1, Pose(), None), TypeError, "takes 2 positional arguments but 3 were given"),
    (lambda: PoseTask(1), TypeError, "missing 1 required positional argument: 'target'"),
    (lambda: CenterOfMassTask((0.0, 0.0)), ValueError, r"expected a sequence of length 3 \(got 2\)"),
    (lambda: CenterOfMassTask(0.5), TypeError, "argument 'target'"),
    (lambda: CenterOfMassTask((0, 0, 0), "heavy"), TypeError, "argument 'weight'"),
    (lambda: ConstraintTask([Contact(1)]), TypeError, "argument 'constraint_set': expected velkor.ConstraintSet"),
])
def test_task_construction_checks_its_arguments(make, error, match):
    with pytest.raises(error, match=match):
        make()


TASKS = [PoseTask(3, FRAME), PoseTask(5, Pose(), tool=FRAME, weight=0.5, position_weight=0.0, orientation_weight=2.0),
         CenterOfMassTask((0.1, -0.2, 0.3)), CenterOfMassTask((0, 0, 1), weight=1e-300)]


@pytest.mark.parametrize("task", TASKS, ids=repr)
def test_tasks_repr_compare_pickle_and_copy(task):
    again = eval(repr(task), {"velkor": velkor})
    assert again == task and not (again != task) and type(again) is type(task)
    twins = [pickle.loads(pickle.dumps(task, protocol)) for protocol in range(pickle.HIGHEST_PROTOCOL + 1)]
    for twin in twins + [copy.copy(task), copy.deepcopy(task)]:
        assert twin == task and repr(twin) == repr(task)
    with pytest.raises(TypeError):
        hash(task)


@pytest.mark.parametrize("a, b", [
    (PoseTask(3, FRAME), PoseTask(4, FRAME)),
    (PoseTask(3, FRAME), PoseTask(3, Pose())),
    (PoseTask(3, FRAME), PoseTask(3, FRAME, tool=Pose())),
    (PoseTask(3, FRAME, weight=1.0), PoseTask(3, FRAME, weight=2.0)),
    (PoseTask(3, FRAME, orientation_weight=NAN), PoseTask(3, FRAME, orientation_weight=NAN)),
    (CenterOfMassTask((0, 0, 1)), CenterOfMassTask((0, 0, 1), 2.0)),
    (CenterOfMassTask((0, 0, 1)), PoseTask(3, FRAME)),
])
def test_tasks_that_differ_compare_unequal(a, b):
    assert a != b and not (a == b)


def test_a_constraint_task_neither_pickles_nor_copies(setup):
    task = setup.tasks[2]
    assert repr(task) == f"velkor.ConstraintTask(constraint_set={setup.set!r})"
    for action in (pickle.dumps, copy.copy, copy.deepcopy):
        with pytest.raises(TypeError, match="cannot pickle a ConstraintTask"):
            action(task)
    for action in (pickle.dumps, copy.copy):
        with pytest.raises(TypeError, match="IkProblem"):
            action(setup.problem)


# -- robot.ik_problem ------------------------------------------------------------------------

def test_the_problem_describes_itself(setup):
    p = setup.problem
    assert isinstance(p, IkProblem) and type(p) is IkProblem
    assert p.tasks == tuple(setup.tasks) and all(a is b for a, b in zip(p.tasks, setup.tasks))
    assert (p.task_count, p.generalized_count, p.configuration_count) == (3, setup.N, setup.C)
    assert (p.damping, p.posture_weight) == (1e-4, 0.0)
    assert repr(p).startswith(f"<velkor.IkProblem of 3 tasks (N={setup.N}, C={setup.C}, ")
    assert repr(setup.robot) in repr(p)
    posed = setup.robot.ik_problem((), posture=list(setup.configuration(setup.q0)), posture_weight=np.int64(2))
    assert (posed.task_count, posed.tasks, posed.posture_weight, posed.equality_rows) == (0, (), 2.0, 0)
    with pytest.raises(TypeError):
        IkProblem()


@pytest.mark.parametrize("call, error, match", [
    (lambda r, s: r.ik_problem(3), TypeError, "argument 'tasks': expected a sequence of velkor.PoseTask"),
    (lambda r, s: r.ik_problem("tasks"), TypeError, "argument 'tasks': expected a sequence"),
    (lambda r, s: r.ik_problem([s.tasks[0], Contact(1)]), TypeError,
     "argument 'tasks': item 1 is velkor.Contact, not velkor.PoseTask, velkor.CenterOfMassTask or velkor.ConstraintTask"),
    (lambda r, s: r.ik_problem([], 1e-3), TypeError, "takes 1 positional argument but 2 were given"),
    (lambda r, s: r.ik_problem([], damping="small"), TypeError, "argument 'damping': must be real number"),
    (lambda r, s: r.ik_problem([], posture_weight=[1.0]), TypeError, "argument 'posture_weight'"),
    (lambda r, s: r.ik_problem([], posture=[[0.0] * s.C]), TypeError,
     "argument 'posture': expected a one-dimensional array of numbers, got list with 2 dimensions"),
    (lambda r, s: r.ik_problem([], posture=np.zeros(3)), ValueError, r"^expected \d+ elements in posture, found 3$"),
    (lambda r, s: r.ik_problem([s.tasks[1], PoseTask(99, Pose())]), ValueError, r"^tasks\[1\]: invalid link id 99$"),
    (lambda r, s: r.ik_problem([PoseTask(1, Pose([NAN, 0, 0]))]), ValueError,
     r"^tasks\[0\]: pose contains non-finite values or a zero quaternion$"),
    (lambda r, s: r.ik_problem([PoseTask(1, Pose(), tool=Pose(rotation_xyzw=[0, 0, 0, 0]))]), ValueError,
     r"^tasks\[0\]: pose contains"),
    (lambda r, s: r.ik_problem([s.tasks[0], ConstraintTask(type(r)(r.path).constraint_set([]))]), ValueError,
     r"^tasks\[1\]: the constraint set belongs to another robot model$"),
    # weights whose squares the step's QP cannot hold
    (lambda r, s: r.ik_problem([s.tasks[1], PoseTask(1, Pose(), weight=1e200)]), ValueError,
     r"task 1: weight times position_weight and weight times orientation_weight must be at most 1e100$"),
    (lambda r, s: r.ik_problem([PoseTask(1, Pose(), weight=1e60, orientation_weight=1e60)]), ValueError,
     "task 0: weight times position_weight"),
    (lambda r, s: r.ik_problem([s.tasks[0], CenterOfMassTask((0.0, 0.0, 0.0), 1e101)]), ValueError,
     r"task 1: weight must be at most 1e100$"),
    (lambda r, s: r.ik_problem([], posture=s.configuration(s.q0), posture_weight=1e200), ValueError,
     r"posture_weight: must be at most 1e100$"),
    (lambda r, s: r.ik_problem([], damping=1e300), ValueError, r"damping: must be at most 1e200$"),
])
def test_ik_problem_checks_its_arguments(setup, call, error, match):
    with pytest.raises(error, match=match):
        call(setup.robot, setup)


# -- solve -----------------------------------------------------------------------------------

def test_solve_returns_the_solution_and_its_record(setup):
    p, q0 = setup.problem, setup.q0
    result = p.solve(*setup.lead, list(q0), max_iterations=np.int64(3), tolerance=np.float32(1e-6), dt=0.1)
    assert type(result) is tuple and len(result) == 2 + len(setup.lead)
    q = result[-2]
    assert type(q) is np.ndarray and q.dtype == np.float64 and q.shape == (setup.n,) and q.flags.writeable
    assert_result(result[-1], 3)
    if setup.lead:
        base = result[0]
        assert type(base) is BaseState and base.velocity == Twist() and base.acceleration == Twist()
    out = np.full(setup.n, 7.0)
    again = p.solve(*setup.lead, q0, max_iterations=3, tolerance=1e-6, dt=0.1, out=out)
    assert again[-2] is out and np.array_equal(out, q)


def test_a_problem_without_tasks_keeps_the_start_in_its_layout(setup):
    """Nothing to reach: the solve converges where it starts, so every value comes back in place
    (the base's position and quaternion, the joints in DOF order)."""
    p = setup.robot.ik_problem([])
    *base, q, result = p.solve(*setup.lead, setup.q0)
    assert result.task_errors == ()
    assert np.allclose(q, setup.q0, rtol=0, atol=1e-12)
    if setup.lead:
        expected = setup.configuration(setup.q0)[:7]
        assert np.allclose(base[0].frame.translation + base[0].frame.rotation_xyzw, expected, rtol=0, atol=1e-12)
    starts = np.stack([setup.configuration(setup.q0)] * 3)
    solutions, results = p.solve_many(starts)
    assert np.allclose(solutions, starts, rtol=0, atol=1e-12) and len(results) == 3


def _readonly(n):
    a = np.zeros(n)
    a.flags.writeable = False
    return a


SOLVE_ERRORS = [
    (lambda s: ((s.q0[:-1],), {}), ValueError, r"^expected \d+ elements in q0, found \d+$"),
    (lambda s: ((s.q0,), {"max_iterations": 0}), ValueError, r"^max_iterations must be an integer, 1 or more, got 0$"),
    (lambda s: ((s.q0,), {"max_iterations": -2**70}), ValueError, "max_iterations must be an integer, 1 or more"),
    (lambda s: ((s.q0,), {"max_iterations": 2.0}), TypeError, "argument 'max_iterations': expected an integer, got float"),
    (lambda s: ((s.q0,), {"max_iterations": True}), TypeError, "argument 'max_iterations'"),
    (lambda s: ((s.q0,), {"tolerance": 0.0}), ValueError, r"^tolerance must be a finite number above 0, got 0.0$"),
    (lambda s: ((s.q0,), {"tolerance": NAN}), ValueError, "tolerance must be a finite number above 0"),
    (lambda s: ((s.q0,), {"tolerance": "tight"}), TypeError, "argument 'tolerance': must be real number, not str"),
    (lambda s: ((s.q0,), {"dt": -1}), ValueError, r"^dt must be a finite number above 0, got -1.0$"),
    (lambda s: ((s.q0,), {"dt": float("inf")}), ValueError, "dt must be a finite number above 0"),
    (lambda s: ((s.q0,), {"dt": "0.1"}), TypeError, "argument 'dt'"),
    (lambda s: ((s.q0,), {"out": np.zeros(s.n + 1)}), ValueError, r"^out must contain exactly \d+ elements$"),
    (lambda s: ((s.q0,), {"out": np.zeros(s.n, np.float32)}), TypeError, "argument 'out'"),
    (lambda s: ((s.q0,), {"out": _readonly(s.n)}), ValueError, "The given array is not writeable"),
    (lambda s: ((s.q0, 100), {}), TypeError, "positional argument"),
    (lambda s: ((s.q0[:-1],), {"tolerance": -1.0}), ValueError, "elements in q0"),  # lengths before values
    (lambda s: ((s.q0,), {"restarts": True}), TypeError, "argument 'restarts': expected None or an integer"),
    (lambda s: ((s.q0,), {"seed": False}), TypeError, "argument 'seed': expected None or an integer"),
    (lambda s: ((s.q0,), {"restarts": -1}), ValueError, "restarts must be between 0 and"),
    (lambda s: ((s.q0,), {"time_budget": -1e-3}), ValueError,
     r"^time_budget must be None or a number of seconds, 0 or more, got -0.001$"),
    (lambda s: ((s.q0,), {"time_budget": NAN}), ValueError, "time_budget must be None or a number"),
    (lambda s: ((s.q0,), {"time_budget": True}), TypeError, "argument 'time_budget'"),
    (lambda s: ((s.q0,), {"time_budget": "1s"}), TypeError, "argument 'time_budget': must be real number"),
    (lambda s: ((), {}), TypeError, "missing"),
]


@pytest.mark.parametrize("arguments, error, match", SOLVE_ERRORS)
def test_solve_checks_its_arguments(setup, arguments, error, match):
    args, keywords = arguments(setup)
    with pytest.raises(error, match=match):
        setup.problem.solve(*setup.lead, *args, **keywords)


@pytest.mark.parametrize("kind", ["fixed", "floating"])
def test_a_floating_solve_takes_its_base_first(kind):
    s = Setup(kind)
    if s.lead:
        with pytest.raises(TypeError, match="argument 'base': expected velkor.BaseState, got numpy.ndarray"):
            s.problem.solve(s.q0, s.q0)
        with pytest.raises(ValueError, match="invalid base"):
            s.problem.solve(BaseState(velocity=Twist([NAN, 0, 0])), s.q0)
        assert len(s.problem.solve(base=s.lead[0], q0=s.q0)) == 3
    else:
        with pytest.raises(TypeError, match="positional"):
            s.problem.solve(BaseState(), s.q0)
        assert len(s.problem.solve(q0=s.q0)) == 2


def test_an_out_that_is_an_input_is_refused(setup):
    q0 = setup.q0.copy()
    with pytest.raises(ValueError, match="The given array is already borrowed"):
        setup.problem.solve(*setup.lead, q0, out=q0)
    assert np.array_equal(q0, setup.q0)


# -- step_qp ---------------------------------------------------------------------------------

def test_step_qp_returns_the_qp_arrays(setup):
    p, N = setup.problem, setup.N
    arrays = p.step_qp(*setup.lead, setup.q0, dt=np.float64(0.05))
    m = p.equality_rows
    assert type(arrays) is tuple and len(arrays) == 7
    assert [a.shape for a in arrays] == [(N, N), (N,), (m, N), (m,), (N,), (N,), (N,)]
    for a in arrays:
        assert a.dtype == np.float64 and a.flags.c_contiguous and a.flags.writeable and a.flags.owndata
    assert len({id(a) for a in arrays}) == 7
    with pytest.raises(ValueError, match=r"^expected \d+ elements in q, found \d+$"):
        p.step_qp(*setup.lead, setup.q0[1:])
    with pytest.raises(ValueError, match="dt must be a finite number above 0"):
        p.step_qp(*setup.lead, setup.q0, dt=0.0)
    with pytest.raises(TypeError, match="positional"):
        p.step_qp(*setup.lead, setup.q0, 0.1)


def test_step_qp_lays_out_the_contact_rows_and_bounds(setup):
    """A (m, N) holds the contact rows as constraint_jacobian gives them, row by row; H is symmetric;
    the joints' bounds hold the start, the free base has none."""
    p = setup.problem
    if p.equality_rows != setup.set.count:
        pytest.skip("the core's solver reports no contact rows yet")
    H, g, A, b, lower, upper, step = p.step_qp(*setup.lead, setup.q0)
    J = velkor.as_matrix(setup.robot.constraint_jacobian(*setup.lead, setup.q0, setup.set), setup.set.count)
    assert np.allclose(A, J, rtol=1e-12, atol=1e-12) and np.allclose(H, H.T, rtol=1e-12, atol=1e-12)
    base = setup.N - setup.n
    assert np.all(lower[base:] <= 0) and np.all(upper[base:] >= 0)
    assert np.all(lower[:base] == -np.inf) and np.all(upper[:base] == np.inf)


def test_a_robot_without_joints_holds_or_refuses_its_contacts(make_urdf):
    """N = 0: an empty step, the contact rows met where they are, a target elsewhere a SolverError."""
    robot = Robot(make_urdf(["a", "b"], [("j", "fixed", "a", "b", (0, 0, 0.1))]))
    problem = robot.ik_problem([ConstraintTask(robot.constraint_set([Contact(1)]))])
    arrays = problem.step_qp([])
    assert [a.shape for a in arrays] == [(0, 0), (0,), (3, 0), (3,), (0,), (0,), (0,)]
    q, result = problem.solve([])
    assert q.shape == (0,) and result.converged and result.task_errors == (0.0,)
    away = robot.constraint_set([Contact(1, target=Pose([0.5, 0.0, 0.1]))])
    with pytest.raises(SolverError, match="task 0"):
        robot.ik_problem([ConstraintTask(away)]).solve([])


# -- solve_many ------------------------------------------------------------------------------

def test_solve_many_returns_a_row_and_a_record_per_start(setup):
    p = setup.problem
    starts = np.stack([setup.configuration(setup.q0)] * 5)
    solutions, results = p.solve_many(starts.tolist(), max_iterations=5, tolerance=1e-8, dt=0.1)
    assert solutions.shape == (5, setup.C) and solutions.dtype == np.float64 and type(results) is list
    assert len(results) == 5
    for result in results:
        assert_result(result, 3)
    for threads in (2, 3, 8):
        again, records = p.solve_many(starts, max_iterations=5, tolerance=1e-8, dt=0.1, threads=threads)
        assert np.array_equal(again, solutions) and records == results
    empty, none = p.solve_many(np.empty((0, setup.C)), threads=4)
    assert empty.shape == (0, setup.C) and none == []


def test_records_pickle_and_copy_with_their_fields_by_name(setup):
    # velkor.IkResult is the records' class, so pickle finds it: records travel to other processes
    starts = np.stack([setup.configuration(setup.q0)] * 2)
    _, results = setup.problem.solve_many(starts, max_iterations=5, tolerance=1e-8, dt=0.1, restarts=1)
    for again in (pickle.loads(pickle.dumps(results)), copy.deepcopy(results)):
        assert all(type(r) is velkor.IkResult for r in again) and again == results
        assert [(r.restarts, r.out_of_time) for r in again] == [(r.restarts, r.out_of_time) for r in results]


@pytest.mark.parametrize("starts, keywords, error, match", [
    (lambda s: s.configuration(s.q0), {}, TypeError,
     "argument 'starts': expected a two-dimensional array, one state per row"),
    (lambda s: np.zeros((2, s.C + 1)), {}, ValueError, r"^expected \d+ elements in each row of starts, found \d+$"),
    (lambda s: np.zeros((2, s.C)), {"threads": 0}, ValueError, "threads must be between 1 and 1024, got 0"),
    (lambda s: np.zeros((2, s.C)), {"threads": 1.5}, TypeError, "argument 'threads'"),
    (lambda s: np.zeros((2, s.C)), {"threads": True}, TypeError,
     r"^argument 'threads': expected None or an integer from 1 to 1024, got bool$"),
    (lambda s: np.zeros((2, s.C)), {"time_budget": -1.0}, ValueError, "time_budget must be"),
    (lambda s: np.zeros((2, s.C)), {"max_iterations": 0}, ValueError, "max_iterations must be"),
    (lambda s: np.zeros((2, s.C)), {"tolerance": -1e-3}, ValueError, "tolerance must be"),
    (lambda s: [["a"] * s.C], {}, ValueError, "could not convert"),
])
def test_solve_many_checks_its_arguments(setup, starts, keywords, error, match):
    with pytest.raises(error, match=match):
        setup.problem.solve_many(starts(setup), **keywords)


@pytest.mark.parametrize("threads", [1, 3])
def test_the_first_failing_row_is_named(setup, threads):
    starts = np.stack([setup.configuration(setup.q0)] * 6)
    starts[2, -1] = starts[4, -1] = NAN
    with pytest.raises(ValueError, match=r"^starts contains a non-finite value \(row 2\)$"):
        setup.problem.solve_many(starts, threads=threads)
    with pytest.raises((ValueError, SolverError)):
        setup.problem.solve(*setup.lead, starts[2, setup.C - setup.n:])


# -- the robot handle ------------------------------------------------------------------------

@pytest.mark.parametrize("kind", ["fixed", "floating"])
def test_a_closed_handle_refuses_the_problem_calls(kind):
    s = Setup(kind)
    s.robot.close()
    start = np.stack([s.configuration(s.q0)])
    for call in (lambda: s.problem.solve(*s.lead, s.q0), lambda: s.problem.step_qp(*s.lead, s.q0),
                 lambda: s.problem.solve_many(start), lambda: s.problem.solve_many(start, threads=2),
                 lambda: s.robot.ik_problem([])):
        with pytest.raises(RuntimeError, match="^robot is closed$"):
            call()
    assert s.problem.task_count == 3 and "closed" in repr(s.problem)


@NEEDS_TESTING
def test_a_poisoned_handle_refuses_the_problem_calls():
    s = Setup("fixed")
    out = np.full(s.n, 5.0)
    with pytest.raises(BaseException):
        hooks.poison(s.robot)
    for call in (lambda: s.problem.solve(s.q0, out=out), lambda: s.problem.step_qp(s.q0),
                 lambda: s.problem.solve_many([s.q0])):
        with pytest.raises(PanicError, match="^robot workspace lock is poisoned$"):
            call()
    assert np.all(out == 5.0)


def test_the_problem_keeps_its_robot_and_serves_threads():
    problem = Robot(sample_path("arm")).ik_problem([CenterOfMassTask((0, 0, 0.4))])  # the only reference
    q0 = np.zeros(7)
    failures = []

    def work():
        try:
            for _ in range(50):
                problem.solve(q0)
                problem.solve_many(np.zeros((4, 7)), threads=2)
        except Exception as e:  # reported below
            failures.append(e)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


def test_text_signatures_and_the_generic_alias():
    assert str(inspect.signature(Robot.ik_problem)) == (
        "(self, /, tasks, *, damping=1e-06, posture=None, posture_weight=0.0)")
    assert str(inspect.signature(IkProblem.solve_many)) == (
        "(self, /, starts, *, max_iterations=500, tolerance=1e-10, dt=None, threads=1, restarts=50, seed=0, "
        "time_budget=0.05)")
    assert str(inspect.signature(PoseTask)) == (
        "(link_id, target, *, tool=None, weight=1.0, position_weight=1.0, orientation_weight=1.0)")
    assert str(inspect.signature(CenterOfMassTask)) == "(target, weight=1.0)"
    assert IkProblem[Robot].__origin__ is IkProblem


def test_a_coupled_model_whose_follower_leaves_its_leader_no_position_is_refused(tmp_path):
    """The follower at q + 5 within [-1, 1] needs the leader in [-6, -4], outside the leader's own
    [-1, 1]: no configuration keeps both within their limits."""
    link = '<link name="{}"><inertial><mass value="1"/><inertia ixx="1" ixy="0" ixz="0" iyy="1" iyz="0" izz="1"/>' \
           '</inertial></link>'
    joint = ('<joint name="{0}" type="revolute"><parent link="{1}"/><child link="{2}"/><axis xyz="0 0 1"/>'
             '<limit lower="-1" upper="1" effort="1" velocity="1"/>{3}</joint>')
    path = tmp_path / "contradiction.urdf"
    path.write_text('<robot name="r">' + "".join(link.format(n) for n in "abc")
                    + joint.format("leader", "a", "b", "")
                    + joint.format("follower", "b", "c", '<mimic joint="leader" offset="5"/>') + "</robot>")
    robot = Robot(str(path), mimic="couple")
    with pytest.raises(velkor.ModelError, match="^invalid robot model: the limits of joint follower, which follows "
                                                "leader, leave leader no position within its own$"):
        robot.ik_problem([])
    assert Robot(str(path), mimic="independent").ik_problem([]).configuration_count == 2
