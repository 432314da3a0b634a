"""Properties of every computing method of Robot and FloatingRobot, checked with hypothesis:

1. every accepted spelling of an argument (list, tuple, other dtypes, strided and reversed views,
   read-only and subclassed arrays, NumPy and subclassed scalars, keyword or position, an `out`
   array) gives bit for bit what the call with plain float64 arrays gives;
2. a call with one bad argument raises the documented exception, writes neither `out` nor any
   input, and leaves no array hold behind: the same memory is usable as input and as `out` at once;
3. after refused calls the handle still computes exactly what a handle that never failed computes.

Each robot is opened twice: `worked` takes every call, `fresh` only ever sees clean ones.
The suite runs each property with a fixed seed and a bounded number of examples;
stress/api_fuzz.py runs the same properties for longer with other seeds.
"""

import functools
import inspect
import itertools
import math

import numpy as np
import pytest
from hypothesis import HealthCheck, Phase, event, given, note, settings
from hypothesis import strategies as st

from velkor import BaseState, FloatingRobot, IkOptions, Load, Pose, Robot, SolverError, Twist
from velkor.samples import sample_path

KINDS = {"arm": Robot, "quadruped": FloatingRobot}
METHODS = ("forward_kinematics_all", "forward_kinematics", "jacobian", "jacobian_derivative",
           "forward_velocity_kinematics", "forward_acceleration_kinematics", "mass_matrix", "gravity",
           "inverse_dynamics", "velocity_product_forces", "forward_dynamics", "inverse_kinematics",
           "gravity_derivatives")
VECTORS = ("q", "qd", "qdd", "forces")
FRAME = Pose([0.3, -0.1, 0.8], [0.1, 0.2, -0.3, 0.9])
GARBAGE = -7.25

# One revolute joint: gravity reads and writes a single float64, a probe for holds left on memory.
PENDULUM = """<robot name="pendulum"><link name="pivot"/>
  <link name="bob"><inertial><origin xyz="0.5 0 0"/><mass value="1.0"/>
    <inertia ixx="0.01" ixy="0" ixz="0" iyy="0.01" iyz="0" izz="0.01"/></inertial></link>
  <joint name="swing" type="revolute"><parent link="pivot"/><child link="bob"/>
    <axis xyz="0 1 0"/><limit lower="-3" upper="3" effort="1" velocity="1"/></joint></robot>"""


class Model:
    def __init__(self, name):
        cls, path = KINDS[name], sample_path(name)
        self.cls, self.worked, self.fresh = cls, cls(path), cls(path)
        if cls is Robot:
            self.worked.set_base_frame(FRAME)
            self.fresh.set_base_frame(FRAME)
        self.n, self.N, self.L = self.fresh.joint_count, self.fresh.generalized_count, self.fresh.link_count
        self.foreign = cls(path).load_buffer()  # a buffer of another model of the same file
        self.methods = {m: list(inspect.signature(getattr(cls, m)).parameters)[1:]
                        for m in METHODS if hasattr(cls, m)}
        # lengths of the results, from calls that cannot fail
        zero = {"q": np.zeros(self.n), "qd": np.zeros(self.n), "qdd": np.zeros(self.n), "forces": np.zeros(self.N),
                "base": BaseState(), "target": self.L - 1}
        zero["desired"] = self.fresh.forward_kinematics(**{k: zero[k] for k in self.methods["forward_kinematics"]})
        self.sizes = {m: getattr(self.fresh, m)(**{p: zero[p] for p in params if p in zero}).size
                      for m, params in self.methods.items() if "out" in params}
        # every method once with every parameter, and what a handle that never failed gives
        rng = np.random.default_rng(7)
        values = {"q": rng.uniform(-2, 2, self.n), "qd": rng.uniform(-2, 2, self.n), "qdd": rng.uniform(-2, 2, self.n),
                  "forces": rng.uniform(-5, 5, self.N), "base": BaseState(FRAME, Twist([0.3, -0.2, 0.1], [1, 0, 0]),
                                                                          Twist([0, 0.5, 0], [0, 0, 2])),
                  "target": self.L - 1, "tool": FRAME, "options": IkOptions(max_iterations=20),
                  "loads": [Load(self.L - 1, [1.0, -2.0, 0.5], [0.0, 3.0, -1.0]), Load(1, force=[4.0, 0.0, 0.0])]}
        if cls is Robot:
            values["desired"] = self.fresh.forward_kinematics(np.full(self.n, 0.3), self.L - 1)
        self.reference = {m: {p: values[p] for p in params if p != "out"} for m, params in self.methods.items()}
        self.expected = {m: outcome(getattr(self.fresh, m), **args) for m, args in self.reference.items()}


@functools.cache
def model(name):
    return Model(name)


@functools.cache
def pendulum():
    return Robot.from_urdf_string(PENDULUM)


# -- clean arguments ---------------------------------------------------------------------------

coords = st.floats(-2, 2)
triples = st.tuples(coords, coords, coords)
poses = st.builds(Pose, triples, st.tuples(coords, coords, coords, st.floats(0.5, 2)))
twists = st.builds(Twist, triples, triples)
bases = st.builds(BaseState, poses, twists, twists)
options = st.none() | st.builds(IkOptions, max_iterations=st.integers(1, 30),
                                translation_tolerance=st.sampled_from([1e-6, 1e-3]),
                                rotation_tolerance=st.sampled_from([1e-6, 1e-2]))


EDGES = np.array([0.0, -0.0, 5e-324, -5e-324, 1e-300, 0.5, -1.0, 3.0, -3.0, 2.0 ** -52])


def vector(data, size, label):
    """Uniform numbers, small integers or edge values, from one drawn seed (drawing each number
    through hypothesis would cost most of the run)."""
    style, seed = data.draw(st.tuples(st.sampled_from(["uniform", "integers", "edges"]), st.integers(0, 2 ** 32)),
                            label=label)
    rng = np.random.default_rng(seed)
    v = {"uniform": lambda: rng.uniform(-3, 3, size), "integers": lambda: rng.integers(-3, 4, size).astype(float),
         "edges": lambda: rng.choice(EDGES, size)}[style]()
    note(f"{label} = {v.tolist()!r}")
    return v


def clean_arguments(m, method, data):
    """Valid values of every parameter but `out`, vectors as float64 arrays; optional ones may be left out."""
    args = {}
    for name in m.methods[method]:
        if name in VECTORS:
            args[name] = vector(data, m.N if name == "forces" else m.n, name)
        elif name == "base":
            args[name] = data.draw(bases, label=name)
        elif name == "target":
            args[name] = data.draw(st.integers(0, m.L - 1), label=name)
        elif name == "desired" and data.draw(st.booleans(), label="reachable desired"):
            args[name] = m.fresh.forward_kinematics(vector(data, m.n, "q of desired"), args["target"])
        elif name == "desired":
            args[name] = data.draw(poses, label=name)
        elif name != "out" and data.draw(st.booleans(), label=f"pass {name}"):
            loads = st.lists(st.builds(Load, st.integers(0, m.L - 1), triples, triples), max_size=3,
                             unique_by=lambda load: load.link_id)
            args[name] = data.draw({"tool": st.none() | poses, "options": options, "loads": st.none() | loads}[name],
                                   label=name)
    return args


def outcome(fn, *args, **kwargs):
    """The result's bits (NaN payloads and signed zeros included), or the exception's type and message."""
    try:
        result = fn(*args, **kwargs)
    except Exception as error:  # noqa: BLE001 - compared by the caller
        return (type(error).__name__, str(error))
    if isinstance(result, Pose):
        return ("Pose", np.array(result.translation + result.rotation_xyzw).tobytes())
    if isinstance(result, Twist):
        return ("Twist", np.array(result.angular + result.linear).tobytes())
    return ("ndarray", result.dtype.str, result.shape, result.tobytes())


def call(handle, method, params, args, data):
    """Calls with the first k arguments by position and the rest by keyword."""
    k = data.draw(st.integers(0, len(list(itertools.takewhile(args.__contains__, params)))), label="positional")
    return getattr(handle, method)(*(args[p] for p in params[:k]), **{p: v for p, v in args.items() if p not in params[:k]})


# -- 1. every spelling gives the plain result ----------------------------------------------------

class Subclass(np.ndarray):
    pass


class FloatSub(float):
    pass


class IntSub(int):
    pass


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def strided(v, step):
    root = np.full(step * len(v) + 1, GARBAGE)
    root[1::step] = v
    return root[1::step]


def read_only(v):
    view = v.copy().view()
    view.flags.writeable = False
    return view


def as_float32(v):
    return v.astype(np.float32).astype(np.float64)


def as_int(v):
    return np.round(v).astype(np.int64)


# spelling: float64 values -> (object passed, the float64 array it stands for)
SPELLINGS = {
    "float64 array": lambda v: (v.copy(), v),
    "list": lambda v: (v.tolist(), v),
    "tuple": lambda v: (tuple(v.tolist()), v),
    "strided view": lambda v: (strided(v, 3), v),
    "reversed view": lambda v: (v[::-1].copy()[::-1], v),
    "read-only array": lambda v: (read_only(v), v),
    "ndarray subclass": lambda v: (v.copy().view(Subclass), v),
    "big-endian array": lambda v: (v.astype(">f8"), v),
    "float32 array": lambda v: (v.astype(np.float32), as_float32(v)),
    "int64 array": lambda v: (as_int(v), as_int(v).astype(np.float64)),
    "int list": lambda v: (as_int(v).tolist(), as_int(v).astype(np.float64)),
    "numpy float64 scalars": lambda v: (list(v), v),
    "numpy float32 scalars": lambda v: (list(v.astype(np.float32)), as_float32(v)),
    "float subclass list": lambda v: ([FloatSub(x) for x in v], v),
}
TARGETS = (int, np.int64, np.uint16, IntSub, Index)
OUTS = {
    "no out": lambda size: None,
    "array": lambda size: np.full(size, np.nan),
    "slice": lambda size: np.full(size + 5, np.nan)[2:2 + size],
    "ndarray subclass": lambda size: np.full(size, np.nan).view(Subclass),
}


def check_spellings(kind, method, data):
    m = model(kind)
    params = m.methods[method]
    plain = clean_arguments(m, method, data)
    spelled = dict(plain)
    for name in set(VECTORS) & set(plain):
        spelled[name], plain[name] = SPELLINGS[data.draw(st.sampled_from(sorted(SPELLINGS)), label=name)](plain[name])
    if "target" in plain:
        spelled["target"] = data.draw(st.sampled_from(TARGETS), label="target type")(plain["target"])
    if plain.get("loads") and data.draw(st.booleans(), label="loads in a buffer"):
        spelled["loads"] = m.worked.load_buffer()
        for load in plain["loads"]:
            spelled["loads"].set(load.link_id, load.torque, load.force)
    elif plain.get("loads"):
        spelled["loads"] = tuple(plain["loads"])
    out = None
    if "out" in params:
        out = OUTS[data.draw(st.sampled_from(sorted(OUTS)), label="out")](m.sizes[method])
        if out is not None:
            spelled["out"] = out
    want = outcome(getattr(m.fresh, method), **plain)
    got = outcome(call, m.worked, method, params, spelled, data)
    event(f"{method}: {want[0]}")
    assert got == want
    if out is not None and want[0] == "ndarray":
        assert out.tobytes() == want[-1], "the result is written into out"
        assert call(m.worked, method, params, spelled, data) is out


# -- 2. refused calls: the documented exception, nothing written, nothing held -------------------

def pick(data, label, choices):
    return data.draw(st.sampled_from(choices), label=label)


def bad_length(m, method, args, data):
    name = pick(data, "vector", [p for p in VECTORS if p in args])
    size = len(args[name])
    args[name] = np.resize(args[name], data.draw(st.integers(0, size + 3).filter(lambda k: k != size), label="length"))
    return ValueError, r"elements in |must have the same length$"


def non_finite(m, method, args, data):
    name = pick(data, "vector", [p for p in VECTORS if p in args])
    args[name] = args[name].copy()
    args[name][data.draw(st.integers(0, len(args[name]) - 1))] = pick(data, "value", [math.nan, math.inf, -math.inf])
    return ValueError, r" contains a non-finite value$"


def vector_type(m, method, args, data):
    name = pick(data, "vector", [p for p in VECTORS if p in args])
    v = args[name]
    args[name] = pick(data, name, [None, 5, np.array(1.0), v.reshape(1, -1), [v.tolist()]])
    return TypeError, rf"^argument '{name}': expected a one-dimensional array of numbers"


def bad_out(m, method, args, data):
    size = m.sizes[method]
    root = np.full(2 * size + 2, GARBAGE)
    how = pick(data, "out", ["length", "dtype", "strided", "reversed", "read-only", "list"])
    if how == "length":
        args["out"] = np.full(data.draw(st.integers(0, size + 3).filter(lambda k: k != size)), GARBAGE)
        return ValueError, rf"^out must contain exactly {size} elements$"
    if how == "read-only":
        args["out"] = read_only(root[:size])
        return ValueError, "^The given array is not writeable$"
    if how in ("strided", "reversed"):
        args["out"] = root[::2][:size] if how == "strided" else root[::-1][:size]
        return ValueError, "^out must be a contiguous float64 array$"
    args["out"] = (np.full(size, 7, dtype=pick(data, "dtype", ["<f4", "<i8", "<c16", ">f8"])) if how == "dtype"
                   else [0.0] * size)
    return TypeError, "^argument 'out': expected None or a one-dimensional float64 numpy.ndarray"


def bad_target(m, method, args, data):
    L = m.L
    args["target"], error, pattern = pick(data, "target", [
        (L, ValueError, rf"^invalid link id {L}$"), (L + 100, ValueError, rf"^invalid link id {L + 100}$"),
        (-1, ValueError, r"^invalid link id -1$"), (2 ** 64, ValueError, rf"^invalid link id {2 ** 64}$"),
        (1.0, TypeError, "^argument 'target'"),
        ("tool", TypeError, "^argument 'target'"), (None, TypeError, "^argument 'target'")])
    return error, pattern


def bad_loads(m, method, args, data):
    args["loads"], error, pattern = pick(data, "loads", [
        ([Load(1), Load(m.L)], ValueError, rf"^invalid link id {m.L}$"),
        ([Load(1, [0.0, math.nan, 0.0])], ValueError, "^load contains a non-finite value$"),
        ((Load(2, force=[math.inf, 0.0, 0.0]),), ValueError, "^load contains a non-finite value$"),
        (m.foreign, ValueError, "^link identifier does not belong to this robot model$"),
        (5, TypeError, None), ([Load(0), 5], TypeError, None)])
    return error, pattern


def bad_base(m, method, args, data):
    args["base"], error, pattern = pick(data, "base", [
        (None, TypeError, "^argument 'base'"), (Pose(), TypeError, "^argument 'base'"),
        (BaseState(Pose([math.nan, 0, 0])), ValueError, "^pose contains non-finite values or a zero quaternion$"),
        (BaseState(Pose([0, 0, 0], [0, 0, 0, 0])), ValueError, "^pose contains non-finite values"),
        (BaseState(velocity=Twist([math.inf, 0, 0])), ValueError, "^invalid base velocity"),
        (BaseState(acceleration=Twist(linear=[0, math.nan, 0])), ValueError, "^invalid base acceleration")])
    return error, pattern


def bad_pose(m, method, args, data):
    name = "desired" if "desired" in m.methods[method] else "tool"
    args[name], error, pattern = pick(data, name, [
        (Twist(), TypeError, f"^argument '{name}'"), (BaseState(), TypeError, f"^argument '{name}'"),
        (Pose([0, math.inf, 0]), ValueError, "^pose contains non-finite values or a zero quaternion$"),
        (Pose([0, 0, 0], [0, 0, 0, 0]), ValueError, "^pose contains non-finite values or a zero quaternion$")])
    return error, pattern


def bad_options(m, method, args, data):
    args["options"], error, pattern = pick(data, "options", [
        (5, TypeError, "^argument 'options'"), (IkOptions(damping=0.0), ValueError, "^invalid inverse-kinematics option"),
        (IkOptions(max_step_norm=math.nan), ValueError, "^invalid inverse-kinematics option")])
    return error, pattern


def unreachable(m, method, args, data):
    args["desired"], args["options"] = Pose([5.0, 0.0, 0.0]), IkOptions(max_iterations=3)
    return SolverError, "^inverse kinematics did not converge after 3 iterations"


# fault: (parameters it needs, how it spoils the arguments)
FAULTS = {
    "length": ({"q"}, bad_length), "non-finite": ({"q"}, non_finite), "vector type": ({"q"}, vector_type),
    "out": ({"out"}, bad_out), "target": ({"target"}, bad_target), "loads": ({"loads"}, bad_loads),
    "base": ({"base"}, bad_base), "tool": ({"tool"}, bad_pose), "desired": ({"desired"}, bad_pose),
    "options": ({"options"}, bad_options), "unreachable": ({"desired"}, unreachable),
    "closed handle": (set(), None), "signature": (set(), None),
}


def refused_call(m, method, data):
    """One call of `method` on `worked` (or a closed fork of it) that must fail: (thunk, exception
    type, message pattern, arrays passed)."""
    params = m.methods[method]
    args = clean_arguments(m, method, data)
    if "out" in params and data.draw(st.booleans(), label="pass out"):
        args["out"] = np.full(m.sizes[method], GARBAGE)
    fault = pick(data, "fault", [f for f, (needs, _) in FAULTS.items() if needs <= set(params)])
    event(f"fault: {fault}")
    handle = m.worked
    if fault == "closed handle":
        handle = m.worked.fork()
        handle.close()
        error, pattern = RuntimeError, "^robot is closed$"
    elif fault == "signature":
        spoil = pick(data, "signature", ["missing", "unknown keyword", "too many", "twice"])
        if spoil == "missing":
            del args[params[0]]
        elif spoil == "unknown keyword":
            args["bogus"] = 1
        error, pattern = TypeError, rf"^{m.cls.__name__}\.{method}\(\) "
        if spoil in ("too many", "twice"):
            positional = [args.get(p) for p in params] + [None] if spoil == "too many" else [args[params[0]]]
            keywords = {params[0]: args[params[0]]} if spoil == "twice" else {}
            arrays = [a for a in args.values() if isinstance(a, np.ndarray)]
            return lambda: getattr(handle, method)(*positional, **keywords), error, pattern, arrays
    else:
        error, pattern = FAULTS[fault][1](m, method, args, data)
    arrays = [a for a in args.values() if isinstance(a, np.ndarray)]
    return lambda: call(handle, method, params, args, data), error, pattern, arrays


def assert_released(arrays):
    """Each array's memory is usable at once as input and as out: no hold was left on it."""
    for a in arrays:
        if not a.flags.writeable and isinstance(a.base, np.ndarray):
            a = a.base
        if a.dtype == np.float64 and a.size:
            first = a.reshape(-1)[:1]
            if first.flags.writeable:
                pendulum().gravity([0.5], out=first)  # as out: no hold of any kind is left
            pendulum().gravity(first)  # as input: no exclusive hold is left


def check_refusals(kind, method, data):
    m = model(kind)
    thunk, error, pattern, arrays = refused_call(m, method, data)
    before = [a.tobytes() for a in arrays]
    with pytest.raises(error, match=pattern) as raised:
        thunk()
    assert type(raised.value) is error
    assert [a.tobytes() for a in arrays] == before, "a refused call wrote into out or an input"
    assert_released(arrays)


# -- 3. the handle computes exactly after refused calls -----------------------------------------

def check_recovery(kind, data):
    m = model(kind)
    for _ in range(data.draw(st.integers(1, 3), label="refused calls")):
        method = data.draw(st.sampled_from(sorted(m.methods)), label="method")
        thunk, error, pattern, _ = refused_call(m, method, data)
        with pytest.raises(error, match=pattern):
            thunk()
    for method, args in m.reference.items():
        out = {"out": np.full(m.sizes[method], GARBAGE)} if method in m.sizes else {}
        assert outcome(getattr(m.worked, method), **args, **out) == m.expected[method], method


CASES = [(kind, method) for kind in sorted(KINDS) for method in METHODS if hasattr(KINDS[kind], method)]
# property: (check, the cases it runs for, examples per case in the suite)
PROPERTIES = {"spellings": (check_spellings, CASES, 20), "refusals": (check_refusals, CASES, 20),
              "recovery": (check_recovery, sorted(KINDS), 60)}
# (the explain phase would take minutes per failure here)
SHORT = settings(derandomize=True, database=None, deadline=None, print_blob=False, phases=set(Phase) - {Phase.explain},
                 suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.large_base_example])


def hypothesis_test(check, config):
    """The property as a hypothesis test taking the robot's name (and the method's)."""
    return config(given(data=st.data())(check))


def short_form(name):
    check, cases, examples = PROPERTIES[name]
    names = ", ".join(inspect.signature(check).parameters).removesuffix(", data")
    return pytest.mark.parametrize(names, cases)(hypothesis_test(check, settings(SHORT, max_examples=examples)))


test_every_accepted_spelling_gives_the_plain_result = short_form("spellings")
test_refused_calls_raise_the_documented_error_and_write_and_hold_nothing = short_form("refusals")
test_handle_computes_exactly_after_refused_calls = short_form("recovery")
