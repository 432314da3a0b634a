"""Shared machinery of velkor's API fuzzer and thread stress test.

The quick forms under tests/ and the long-running scripts in this directory drive the same two
engines:

* `ApiFuzzer` makes one random call at a time (every handle method, the value classes, load
  buffers, handle life cycle) with arguments of random types, lengths and values, and judges the
  outcome: the exception type and message, the `out` array, the inputs, leaked array holds and
  whether the handle still computes exactly what a clean handle computes.
* `ThreadStress` runs worker threads against shared handles, forks, a handle being closed, a
  load buffer being changed and arrays used as input by one thread and as `out` by another, and
  compares every result bit for bit with single-threaded results.

A separate, well-behaved handle of the same robot file (the "oracle") is the reference: its
results for clean float64 inputs are what every odd spelling of the same inputs must give.
Everything here depends only on velkor, NumPy and the standard library.
"""

from __future__ import annotations

import array
import collections
import copy
import decimal
import faulthandler
import fractions
import gc
import math
import operator
import os
import pathlib
import pickle
import random
import re
import shutil
import struct
import sys
import tempfile
import threading
import time
import traceback
import warnings
import weakref
import xml.etree.ElementTree as ET

import numpy as np

from velkor import (BaseState, FloatingRobot, IkOptions, Load, LoadBuffer, ModelError, PanicError,
                    Pose, Robot, SolverError, Twist, VelkorError)
from velkor.samples import sample_path

NAN = float("nan")
INF = float("inf")

CLOSED = "robot is closed"
BORROWED = "The given array is already borrowed"
NOT_WRITEABLE = "The given array is not writeable"
NOT_CONTIGUOUS = "out must be a contiguous float64 array"
EXCLUSIVE_REFUSED = "Already borrowed"
SHARED_REFUSED = "Already mutably borrowed"
FOREIGN_LINK = "link identifier does not belong to this robot model"
BAD_POSE = "pose contains non-finite values or a zero quaternion"
RUNTIME_MESSAGES = frozenset({CLOSED, EXCLUSIVE_REFUSED, SHARED_REFUSED})

# Float values that stress conversions and arithmetic.
EXTREMES = (NAN, INF, -INF, -0.0, 0.0, 1e308, -1e308, 1.7976931348623157e308, 5e-324, -5e-324,
            1e-300, 1e154, 1e200, -1e200, 2.0 ** 53 + 2, 1e16, 3.0e38, 65504.0)


class Boom(Exception):
    """Raised by the fuzzer's own hostile objects. It may surface from a call unchanged."""


# ---------------------------------------------------------------------------------------------
# Odd objects that callers can pass


class Floaty:
    """Converts to float only through __float__."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value

    def __repr__(self):
        return f"Floaty({fnum(self.value)})"


class Indexy:
    """An integer only through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Indexy({self.value})"


class IntSub(int):
    def __repr__(self):
        return f"IntSub({int(self)})"


class FloatSub(float):
    def __repr__(self):
        return f"FloatSub({fnum(float(self))})"


class BoomFloat:
    def __float__(self):
        raise Boom("__float__")

    def __repr__(self):
        return "BoomFloat()"


class BoomIndex:
    def __index__(self):
        raise Boom("__index__")

    def __repr__(self):
        return "BoomIndex()"


class BadFloat:
    def __float__(self):
        return "not a float"

    def __repr__(self):
        return "BadFloat()"


class ArraySub(np.ndarray):
    pass


class LyingSeq:
    """A sequence whose __len__ is wrong; iteration yields the real items."""

    def __init__(self, items, reported):
        self.items, self.reported = list(items), reported

    def __len__(self):
        return self.reported

    def __getitem__(self, index):
        return self.items[index]

    def __repr__(self):
        return f"LyingSeq({flist(self.items)}, {self.reported})"


class BoomLenSeq(LyingSeq):
    def __len__(self):
        raise Boom("__len__")

    def __repr__(self):
        return f"BoomLenSeq({flist(self.items)})"


class BoomItemSeq(LyingSeq):
    """Raises from __getitem__ at one index."""

    def __getitem__(self, index):
        if index == self.reported:
            raise Boom("__getitem__")
        return self.items[index]

    def __len__(self):
        return len(self.items)

    def __repr__(self):
        return f"BoomItemSeq({flist(self.items)}, at={self.reported})"


class PathObj:
    def __init__(self, value):
        self.value = value

    def __fspath__(self):
        return self.value

    def __repr__(self):
        return f"PathObj({self.value!r})"


class BoomPath:
    def __fspath__(self):
        raise Boom("__fspath__")

    def __repr__(self):
        return "BoomPath()"


class SlowFloat:
    """A float whose conversion lets other threads run (used to widen race windows)."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        time.sleep(0)
        return self.value

    def __repr__(self):
        return f"SlowFloat({fnum(self.value)})"


# ---------------------------------------------------------------------------------------------
# Formatting for reproducers


def fnum(x):
    x = float(x)
    if math.isnan(x):
        return "nan"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    return repr(x)


def flist(values, limit=24):
    values = list(values)
    if len(values) > limit:
        return f"[{', '.join(fnum(v) for v in values[:4])}, ... ({len(values)} values)]"
    return "[" + ", ".join(fnum(v) if isinstance(v, float) else repr(v) for v in values) + "]"


def pose_text(pose):
    return f"Pose({flist(pose.translation)}, {flist(pose.rotation_xyzw)})"


def twist_text(twist):
    return f"Twist({flist(twist.angular)}, {flist(twist.linear)})"


def base_text(state):
    return (f"BaseState({pose_text(state.frame)}, {twist_text(state.velocity)}, "
            f"{twist_text(state.acceleration)})")


def short(obj, limit=160):
    try:
        text = repr(obj)
    except Exception as error:  # noqa: BLE001 - repr of an odd object
        text = f"<repr failed: {type(error).__name__}>"
    return text if len(text) <= limit else text[:limit] + "..."


# ---------------------------------------------------------------------------------------------
# Comparing results bit for bit


def pack(values):
    return struct.pack(f"{len(values)}d", *values)


def fingerprint(result):
    """Bytes that identify a result exactly (NaN payloads and signed zeros included)."""
    if isinstance(result, np.ndarray):
        return ("ndarray", result.dtype.str, result.shape, result.tobytes())
    if isinstance(result, Pose):
        return ("Pose", pack(result.rotation_xyzw + result.translation))
    if isinstance(result, Twist):
        return ("Twist", pack(result.angular + result.linear))
    return ("other", type(result).__name__, short(result))


def describe_result(result):
    if isinstance(result, np.ndarray):
        return f"ndarray(dtype={result.dtype}, shape={result.shape}, {flist(result.ravel()[:8])}...)"
    if isinstance(result, Pose):
        return pose_text(result)
    if isinstance(result, Twist):
        return twist_text(result)
    return short(result)


def disallowed(exc):
    """Why an exception may never leave a velkor call, or None when its type is a documented one."""
    kind = type(exc)
    if kind in (TypeError, OverflowError, SolverError, ModelError, Boom):
        return None
    if isinstance(exc, ValueError) and not isinstance(exc, VelkorError):
        return None
    if kind is RuntimeError:
        return None if str(exc) in RUNTIME_MESSAGES else f"RuntimeError({str(exc)!r})"
    if isinstance(exc, PanicError):
        return f"PanicError({str(exc)!r})"
    return f"{kind.__module__}.{kind.__qualname__}({short(str(exc), 200)!r})"


def exact(message):
    return "^" + re.escape(message) + "$"


class Expect:
    """The set of exceptions a call may end with: (type, message pattern or None)."""

    def __init__(self):
        self.options = []

    def add(self, kind, pattern=None):
        self.options.append((kind, pattern))

    def extend(self, options):
        self.options.extend(options)

    def matches(self, exc):
        for kind, pattern in self.options:
            if kind is ValueError:
                ok = isinstance(exc, ValueError) and not isinstance(exc, VelkorError)
            else:
                ok = type(exc) is kind
            if ok and (pattern is None or re.search(pattern, str(exc))):
                return True
        return False

    def __str__(self):
        parts = [kind.__name__ + (f"~{pattern!r}" if pattern else "") for kind, pattern in self.options]
        return "{" + ", ".join(dict.fromkeys(parts)) + "}"


# Anything may come out of an argument whose meaning the fuzzer does not predict.
UNPREDICTED = [(TypeError, None), (ValueError, None), (OverflowError, None), (Boom, None), (SolverError, None)]

# Core errors raised after the handle is locked (a closed handle reports "robot is closed" instead).
_AFTER_LOCK = re.compile(r"^expected \d+ elements in | contains a non-finite value$|"
                         r"^invalid inverse-kinematics option ")


def after_lock(kind, message):
    return kind is SolverError or bool(_AFTER_LOCK.search(message))


class Outcome:
    __slots__ = ("ok", "result", "exc")

    def __init__(self, ok, result=None, exc=None):
        self.ok, self.result, self.exc = ok, result, exc

    def __repr__(self):
        if self.ok:
            return describe_result(self.result)
        return f"{type(self.exc).__name__}({str(self.exc)!r})"


def attempt(fn, /, *args, **kwargs):
    try:
        return Outcome(True, fn(*args, **kwargs))
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as exc:  # noqa: BLE001 - the outcome is judged by the caller
        return Outcome(False, exc=exc)


# ---------------------------------------------------------------------------------------------
# Robots


WELDED_URDF = """<?xml version="1.0"?>
<robot name="welded">
  <link name="base"><inertial><origin xyz="0 0 0.1"/><mass value="2.0"/>
    <inertia ixx="0.1" ixy="0" ixz="0" iyy="0.2" iyz="0" izz="0.3"/></inertial></link>
  <link name="plate"><inertial><origin xyz="0.1 0 0"/><mass value="0.5"/>
    <inertia ixx="0.01" ixy="0" ixz="0" iyy="0.02" iyz="0" izz="0.03"/></inertial></link>
  <joint name="weld" type="fixed"><parent link="base"/><child link="plate"/>
    <origin xyz="0.3 -0.2 0.5" rpy="0.1 0.2 0.3"/></joint>
</robot>
"""

# One revolute joint: its gravity output has one element, which makes it a cheap probe for array
# holds that were left behind.
PENDULUM_URDF = """<?xml version="1.0"?>
<robot name="pendulum">
  <link name="pivot"/>
  <link name="bob"><inertial><origin xyz="0.5 0 0"/><mass value="1.0"/>
    <inertia ixx="0.01" ixy="0" ixz="0" iyy="0.01" iyz="0" izz="0.01"/></inertial></link>
  <joint name="swing" type="revolute"><parent link="pivot"/><child link="bob"/>
    <axis xyz="0 1 0"/><limit lower="-3" upper="3" effort="1" velocity="1"/></joint>
</robot>
"""

MASSLESS_ROOT_URDF = """<?xml version="1.0"?>
<robot name="massless_root">
  <link name="root"/>
  <link name="tip"><inertial><mass value="1.0"/>
    <inertia ixx="0.01" ixy="0" ixz="0" iyy="0.01" iyz="0" izz="0.01"/></inertial></link>
  <joint name="j" type="revolute"><parent link="root"/><child link="tip"/>
    <axis xyz="0 0 1"/><limit lower="-1" upper="1" effort="1" velocity="1"/></joint>
</robot>
"""

# parameter kinds: base, q (joint vector of n), forces (of the generalized count), target, tool,
# desired, options, loads, out
_SIGNATURES = {
    "forward_kinematics_all": (["q", "out"], "7L"),
    "forward_kinematics": (["q", "target"], "Pose"),
    "jacobian": (["q", "target", "out"], "6N"),
    "jacobian_derivative": (["q", "qd", "target", "out"], "6N"),
    "forward_velocity_kinematics": (["q", "qd", "target", "tool"], "Twist"),
    "forward_acceleration_kinematics": (["q", "qd", "qdd", "target"], "Twist"),
    "gravity": (["q", "loads", "out"], "N"),
    "inverse_dynamics": (["q", "qd", "qdd", "loads", "out"], "N"),
    "forward_dynamics": (["q", "qd", "forces", "loads", "out"], "N"),
    "mass_matrix": (["q", "out"], "NN"),
    "velocity_product_forces": (["q", "qd", "out"], "N"),
    "inverse_kinematics": (["q", "target", "desired", "options", "out"], "n"),
}
_PARAM_KIND = {"q": "vec_n", "qd": "vec_n", "qdd": "vec_n", "forces": "vec_N", "base": "base",
               "target": "target", "tool": "tool", "desired": "desired", "options": "options",
               "loads": "loads", "out": "out"}
OPTIONAL = frozenset({"tool", "loads", "options", "out"})


class Kind:
    """One robot file opened as one handle class, with its reference handle (the oracle)."""

    def __init__(self, label, cls, path, weight=1.0):
        self.label, self.cls, self.path, self.weight = label, cls, path, weight
        self.floating = cls is FloatingRobot
        self.oracle = cls(path)
        self.n = self.oracle.joint_count
        self.N = self.oracle.generalized_count
        self.L = self.oracle.link_count
        self.name = self.oracle.name
        self.link_names = [el.get("name") for el in ET.parse(path).getroot().iter("link")]
        self.methods = {}
        for method, (params, result) in _SIGNATURES.items():
            if method == "inverse_kinematics" and self.floating:
                continue
            params = (["base"] if self.floating else []) + params
            length = {"7L": 7 * self.L, "6N": 6 * self.N, "N": self.N, "NN": self.N * self.N,
                      "n": self.n}.get(result)
            self.methods[method] = (params, length)
        rng = np.random.default_rng(sum(map(ord, label)))
        self.q_ref = rng.uniform(-1.5, 1.5, self.n)
        self.qd_ref = rng.uniform(-2, 2, self.n)
        self.qdd_ref = rng.uniform(-3, 3, self.n)
        self.base_ref = BaseState(Pose([0.2, -0.4, 0.9], [0.1, -0.2, 0.3, 0.9]),
                                  Twist([0.3, -0.1, 0.2], [0.5, 0.1, -0.4]),
                                  Twist([-0.2, 0.4, 0.1], [0.3, -0.6, 0.2]))
        self._oracle_frame = None
        self._reference_cache = {}

    def base_args(self):
        return (self.base_ref,) if self.floating else ()

    def sync_oracle(self, frame):
        """Give the oracle the base frame of the handle it stands in for (fixed base only)."""
        if not self.floating and frame is not self._oracle_frame:
            self.oracle.set_base_frame(frame)
            self._oracle_frame = frame

    def reference_calls(self, handle):
        base = self.base_args()
        return (fingerprint(handle.forward_kinematics_all(*base, self.q_ref)),
                fingerprint(handle.inverse_dynamics(*base, self.q_ref, self.qd_ref, self.qdd_ref)),
                fingerprint(handle.jacobian(*base, self.q_ref, self.L - 1)),
                fingerprint(handle.mass_matrix(*base, self.q_ref)))

    def reference(self, frame):
        key = None if self.floating else pack(frame.rotation_xyzw + frame.translation)
        if key not in self._reference_cache:
            if not self.floating:
                self.sync_oracle(frame)
            self._reference_cache[key] = self.reference_calls(self.oracle)
            if len(self._reference_cache) > 64:
                self._reference_cache.pop(next(iter(self._reference_cache)))
        return self._reference_cache[key]


class World:
    """The robots the fuzzer uses, built once per process."""

    def __init__(self):
        self.directory = tempfile.mkdtemp(prefix="velkor_fuzz_")
        self.welded_path = self.write("welded.urdf", WELDED_URDF)
        self.massless_path = self.write("massless_root.urdf", MASSLESS_ROOT_URDF)
        pendulum_path = self.write("pendulum.urdf", PENDULUM_URDF)
        arm, quadruped = sample_path("arm"), sample_path("quadruped")
        self.kinds = [Kind("arm", Robot, arm, 4.0), Kind("quadruped", FloatingRobot, quadruped, 4.0),
                      Kind("arm_floating", FloatingRobot, arm, 1.0),
                      Kind("welded", Robot, self.welded_path, 0.7),
                      Kind("welded_floating", FloatingRobot, self.welded_path, 0.7)]
        self.weights = [k.weight for k in self.kinds]
        self.pendulum = Robot(pendulum_path)
        self.urdf_texts = {arm: pathlib.Path(arm).read_text(),
                           quadruped: pathlib.Path(quadruped).read_text()}
        self.counter = 0

    def write(self, name, text):
        path = os.path.join(self.directory, name)
        with open(path, "w", encoding="utf-8") as handle:
            handle.write(text)
        return path

    def scratch_file(self, data: bytes):
        self.counter += 1
        path = os.path.join(self.directory, f"scratch{self.counter % 8}.urdf")
        with open(path, "wb") as handle:
            handle.write(data)
        return path

    def close(self):
        for kind in self.kinds:
            kind.oracle.close()
        self.pendulum.close()
        shutil.rmtree(self.directory, ignore_errors=True)


# ---------------------------------------------------------------------------------------------
# Generated arguments

OK, MAYBE, BAD, OMIT = "ok", "maybe", "bad", "omit"


class Arg:
    """One generated argument: the object passed and what the binding must make of it.

    status OK: the binding must treat `obj` exactly like `value` (what the oracle receives);
    MAYBE: the outcome is not predicted (any documented exception, or a well-formed result);
    BAD: the call must fail with one of `errors`; OMIT: the argument is left out.
    `inputs` are arrays that the call must not change, `probes` writeable float64 arrays over
    the same memory that reveal array holds left behind.
    """

    __slots__ = ("obj", "status", "value", "errors", "text", "inputs", "probes")

    def __init__(self, obj, status, value=None, errors=(), text=None, inputs=(), probes=()):
        self.obj, self.status, self.value = obj, status, value
        self.errors = list(errors)
        self.text = text if text is not None else short(obj)
        self.inputs, self.probes = list(inputs), list(probes)


OMITTED = Arg(None, OMIT, text="<omitted>")


def named_type_error(name):
    return (TypeError, rf"\b{re.escape(name)}\b")


def vector_values(rng, length):
    flavour = rng.random()
    if flavour < 0.68:
        return [rng.uniform(-3.0, 3.0) for _ in range(length)]
    if flavour < 0.78:
        return [float(rng.randint(-3, 3)) for _ in range(length)]
    if flavour < 0.83:
        return [float(rng.randint(0, 1)) for _ in range(length)]
    return [rng.choice(EXTREMES) if rng.random() < 0.3 else rng.uniform(-3.0, 3.0) for _ in range(length)]


def vector_length(rng, n):
    if rng.random() < 0.8:
        return n
    return rng.choice([0, 1, max(n - 1, 0), n + 1, 2 * n, n + 6, rng.randint(0, 3 * n + 3), 1000])


def _integral(values, low=-(2 ** 62), high=2 ** 62):
    return all(math.isfinite(v) and v == int(v) and low <= v <= high for v in values)


def _quiet_array(values, dtype):
    with np.errstate(all="ignore"):
        return np.array(values, dtype=dtype)


def vector_reps(rng, name, vals):
    """Ways of spelling the float vector `vals`; each returns an Arg or None when it does not apply."""
    n = len(vals)
    f64 = np.array(vals, dtype=np.float64)

    def plain():
        a = f64.copy()
        return Arg(a, OK, f64, text=f"np.array({flist(vals)})", inputs=[a], probes=[a])

    def as_list():
        return Arg(list(vals), OK, f64, text=flist(vals))

    def as_tuple():
        return Arg(tuple(vals), OK, f64, text=f"tuple({flist(vals)})")

    def ints():
        if not _integral(vals):
            return None
        items = [int(v) for v in vals]
        return Arg(items, OK, np.array(items, dtype=np.float64), text=repr(items))

    def bools():
        if not all(v in (0.0, 1.0) for v in vals):
            return None
        items = [bool(v) for v in vals]
        pick = rng.random() < 0.5
        obj = np.array(items, dtype=bool) if pick else items
        return Arg(obj, OK, np.array(items, dtype=np.float64),
                   text=f"np.array({items})" if pick else repr(items))

    def scalars():
        maker = rng.choice([np.float64, np.float32, np.longdouble, FloatSub, Floaty])
        items = [maker(v) for v in vals]
        value = np.array([float(x) for x in items], dtype=np.float64)
        return Arg(items, OK, value, text=f"[{maker.__name__}(v) for v in {flist(vals)}]")

    def mixed():
        items = []
        for v in vals:
            choices = [float, np.float64, Floaty]
            if math.isfinite(v):
                choices += [decimal.Decimal, fractions.Fraction]
            if _integral([v]):
                choices += [int, np.int64, Indexy, IntSub]
            maker = rng.choice(choices)
            items.append(maker(int(v)) if maker in (int, np.int64, Indexy, IntSub) else maker(v))
        value = np.array([float(operator.index(x)) if isinstance(x, Indexy) else float(x) for x in items])
        return Arg(items, OK, value, text=short(items, 400))

    def other_dtype():
        dtype = rng.choice(["<f4", "<f2", ">f8", ">f4", "<i8", "<u1", "<i2", "<c16", "O", "<g"])
        limits = {"<i8": (-2 ** 62, 2 ** 62), "<u1": (0, 255), "<i2": (-32768, 32767)}
        if dtype in limits and not _integral(vals, *limits[dtype]):
            return None
        a = _quiet_array(vals, dtype)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            value = np.real(a).astype(np.float64) if dtype != "O" else np.array(vals, dtype=np.float64)
        return Arg(a, OK, value, text=f"np.array({flist(vals)}, dtype={dtype!r})", inputs=[a])

    def strided():
        step = rng.choice([2, 3, -1, -2])
        root = np.full(abs(step) * max(n, 1) + 1, -7.25)
        view = root[1::step][:n] if step > 0 else root[::step][:n]
        view[:] = vals
        text = f"root[{'1::' if step > 0 else '::'}{step}][:{n}] (root of {root.size} float64)"
        return Arg(view, OK, f64, text=text, inputs=[root], probes=[root])

    def readonly():
        root = f64.copy()
        view = root.view()
        view.flags.writeable = False
        return Arg(view, OK, f64, text=f"read-only np.array({flist(vals)})", inputs=[root], probes=[root])

    def unaligned():
        raw = bytearray(8 * n + 1)
        view = np.frombuffer(raw, dtype=np.float64, count=n, offset=1)
        view[:] = vals
        return Arg(view, OK, f64, text=f"unaligned float64 view of {flist(vals)}", inputs=[view])

    def subclass():
        a = f64.copy().view(ArraySub)
        return Arg(a, OK, f64, text=f"np.array({flist(vals)}).view(ArraySub)", inputs=[a], probes=[a.view(np.ndarray)])

    def buffers():
        pick = rng.random()
        if pick < 0.4:
            return Arg(array.array("d", vals), OK, f64, text=f"array.array('d', {flist(vals)})")
        if pick < 0.7:
            return Arg(memoryview(f64.copy()), OK, f64, text=f"memoryview(np.array({flist(vals)}))")
        if _integral(vals, 0, 255):
            data = bytes(int(v) for v in vals)
            return Arg(data, OK, np.array(list(data), dtype=np.float64), text=repr(data))
        return Arg(range(n), OK, np.arange(n, dtype=np.float64), text=f"range({n})")

    def lying():
        reported = rng.choice([0, 1, max(n - 1, 0), n + 1, 10 * n + 3, 10 ** 6])
        return Arg(LyingSeq(vals, reported), OK, f64, text=f"LyingSeq({flist(vals)}, {reported})")

    return [plain, plain, plain, as_list, as_list, as_tuple, ints, bools, scalars, mixed,
            other_dtype, other_dtype, strided, strided, readonly, unaligned, subclass, buffers, lying]


def vector_arg(rng, name, length, clean=False):
    """A joint vector (or generalized-force vector) argument named `name`."""
    vals = vector_values(rng, length)
    if clean or rng.random() < 0.88:
        while True:
            arg = rng.choice(vector_reps(rng, name, vals))()
            if arg is not None:
                return arg, vals
    wrong = named_type_error(name)
    pick = rng.randrange(15)
    if pick == 0:
        return Arg(None, BAD, errors=[wrong], text="None"), vals
    if pick == 1:
        x = rng.choice([1.5, 0, -3, NAN, np.float64(2.0), True])
        return Arg(x, BAD, errors=[wrong], text=short(x)), vals
    if pick == 2:
        a = np.array(rng.uniform(-1, 1))
        return Arg(a, BAD, errors=[wrong], text=f"np.array({fnum(float(a))})"), vals
    if pick == 3:
        shape = rng.choice([(1, length), (length, 1), (2, 3), (0, 0), (1, 1, length)])
        a = np.zeros(shape)
        return Arg(a, BAD, errors=[wrong], text=f"np.zeros({shape})"), vals
    if pick == 4:
        obj = [list(vals)] if rng.random() < 0.5 else [list(vals), list(vals)]
        return Arg(obj, BAD, errors=[wrong], text=f"nested {short(obj)}"), vals
    if pick == 5:
        obj = [[1.0, 2.0], [3.0]] + [[0.0]] * rng.randint(0, 3)
        return Arg(obj, BAD, errors=[wrong, (ValueError, None)], text=repr(obj)), vals
    if pick == 6:
        # NumPy reads a string as one number, or raises its own ValueError
        obj = rng.choice(["1.0, 2.0", "", "abcdefg", "0000000", "1.5"])
        return Arg(obj, BAD, errors=[wrong, (ValueError, None)], text=repr(obj)), vals
    if pick == 7:
        # objects NumPy cannot read at all: its own TypeError, or one naming the argument
        obj = rng.choice([{0: 1.0}, {1.0, 2.0}, object(), Pose(), Twist(), (v for v in vals)])
        return Arg(obj, BAD, errors=[(TypeError, None)], text=short(obj)), vals
    if pick == 8:
        items = list(vals) + [BoomFloat()]
        rng.shuffle(items)
        return Arg(items, BAD, errors=[wrong, (Boom, None)], text=short(items, 300)), vals
    if pick == 9:
        items = list(vals) + [BadFloat()]
        return Arg(items, BAD, errors=[(TypeError, None)], text=short(items, 300)), vals
    if pick == 10:
        items = list(vals) + [10 ** 400]
        return Arg(items, BAD, errors=[(OverflowError, None), (TypeError, None)], text="[..., 10**400]"), vals
    if pick == 11:
        items = list(vals) + [rng.choice([None, "x", 1j, [1.0], object()])]
        return Arg(items, MAYBE, text=short(items, 300)), vals
    if pick == 12:
        obj = BoomItemSeq(vals + [0.0], rng.randint(0, length))
        return Arg(obj, BAD, errors=[wrong, (Boom, None), (ValueError, None)], text=repr(obj)), vals
    if pick == 13:
        obj = BoomLenSeq(vals, 0) if rng.random() < 0.5 else LyingSeq(vals, -1)
        return Arg(obj, MAYBE, text=repr(obj)), vals
    odd = [np.array([str(v) for v in vals]), [str(v) for v in vals], [1j] * length]
    if _integral(vals):
        odd.append(np.array([int(v) for v in vals], dtype="datetime64[s]"))
    obj = rng.choice(odd)
    return Arg(obj, MAYBE, text=short(obj, 300)), vals


def random_pose(rng):
    pick = rng.random()
    if pick < 0.6:
        t = [rng.uniform(-1.5, 1.5) for _ in range(3)]
        quat = [rng.gauss(0, 1) for _ in range(4)]
        norm = math.sqrt(sum(c * c for c in quat)) or 1.0
        scale = rng.choice([1.0, 1.0, 1.0, 2.5, 1e-3, 1e3, -1.0])
        return Pose(t, [c / norm * scale for c in quat])
    if pick < 0.7:
        return Pose()
    t = [rng.choice(EXTREMES) if rng.random() < 0.3 else rng.uniform(-1, 1) for _ in range(3)]
    mode = rng.randrange(5)
    if mode == 0:
        quat = [0.0, 0.0, 0.0, 0.0]
    elif mode == 1:
        quat = [1e-13, 0.0, 0.0, 0.0]
    elif mode == 2:
        quat = [0.0, 0.0, 1e200, 1.0]
    elif mode == 3:
        quat = [rng.choice(EXTREMES) if rng.random() < 0.4 else rng.uniform(-1, 1) for _ in range(4)]
    else:
        quat = [0.0, 0.0, 5e-324, 1e-12]
    return Pose(t, quat)


def random_twist(rng, extreme=0.0):
    values = [rng.choice(EXTREMES) if rng.random() < extreme else rng.uniform(-2, 2) for _ in range(6)]
    return Twist(values[:3], values[3:])


def random_base(rng):
    pick = rng.random()
    if pick < 0.15:
        return BaseState()
    if pick < 0.8:
        return BaseState(random_pose(rng) if rng.random() < 0.3 else Pose(
            [rng.uniform(-1, 1) for _ in range(3)], [rng.uniform(-1, 1) for _ in range(3)] + [1.0]),
            random_twist(rng), random_twist(rng))
    return BaseState(random_pose(rng), random_twist(rng, 0.2) if rng.random() < 0.7 else None,
                     random_twist(rng, 0.2) if rng.random() < 0.7 else None)


def random_options(rng):
    kwargs = {}
    if rng.random() < 0.5:
        kwargs["max_iterations"] = rng.choice([None, 1, 2, 5, 20, 100, 250, rng.randint(1, 300)])
    for name, values in (("translation_tolerance", [1e-6, 1e-4, 1e-9, 1e-2, 0.0, -1.0, NAN, INF]),
                         ("rotation_tolerance", [1e-6, 1e-4, 1e-9, 1e-2, -0.0, NAN, -INF]),
                         ("damping", [1e-3, 1e-6, 0.1, 1.0, 0.0, NAN, INF]),
                         ("max_step_norm", [0.5, 0.1, 2.0, 1e-3, 0.0, -0.5, INF, NAN])):
        if rng.random() < 0.35:
            kwargs[name] = values[0] if rng.random() < 0.4 else rng.choice(values)
    text = "IkOptions(" + ", ".join(f"{k}={fnum(v) if isinstance(v, float) else v}" for k, v in kwargs.items()) + ")"
    return IkOptions(**kwargs), text


def junk(rng):
    """Something of a random type, for any parameter."""
    return rng.choice([
        lambda: None, lambda: 0, lambda: -1, lambda: 2 ** 70, lambda: 1.5, lambda: NAN, lambda: "q",
        lambda: b"\x00\x01", lambda: [], lambda: [1.0], lambda: (), lambda: {}, lambda: {1, 2},
        lambda: object(), lambda: Pose(), lambda: Twist(), lambda: BaseState(), lambda: Load(0),
        lambda: IkOptions(), lambda: np.zeros(3), lambda: np.float64(2.0), lambda: np.int64(3),
        lambda: True, lambda: 1j, lambda: fractions.Fraction(1, 3), lambda: decimal.Decimal("1.5"),
        lambda: Ellipsis, lambda: BoomFloat(), lambda: BoomIndex(), lambda: BadFloat(),
        lambda: BoomLenSeq([0.0], 0), lambda: Floaty(1.0), lambda: Indexy(2),
        lambda: (x for x in ()), lambda: range(3), lambda: np.zeros((2, 2)), lambda: Robot,
        lambda: print, lambda: np.zeros(0), lambda: np.array(2), lambda: [Load(0)],
    ])()


def numbers_arg(rng, k, name):
    """A fixed-length number argument (translation, torque, ...): (object, text, result).

    result is ("ok", tuple of floats) or ("err", list of (type, pattern))."""
    vals = [rng.uniform(-5, 5) for _ in range(k)]
    if rng.random() < 0.15:
        vals = [rng.choice(EXTREMES) if rng.random() < 0.4 else v for v in vals]
    wrong = [named_type_error(name)]
    pick = rng.random()
    if pick < 0.45:
        return list(vals), flist(vals), ("ok", tuple(vals))
    if pick < 0.75:
        mode = rng.randrange(7)
        if mode == 0:
            return tuple(vals), f"tuple({flist(vals)})", ("ok", tuple(vals))
        if mode == 1:
            a = np.array(vals)
            return a, f"np.array({flist(vals)})", ("ok", tuple(vals))
        if mode == 2:
            a = _quiet_array(vals, np.float32)
            return a, f"np.array({flist(vals)}, dtype=np.float32)", ("ok", tuple(float(x) for x in a))
        if mode == 3:
            items = [rng.randint(-3, 3) for _ in range(k)]
            return items, repr(items), ("ok", tuple(float(x) for x in items))
        if mode == 4:
            items = [rng.choice([np.float64, Floaty, FloatSub])(v) for v in vals]
            return items, short(items, 300), ("ok", tuple(float(x) for x in items))
        if mode == 5:
            data = bytes(rng.randint(0, 255) for _ in range(k))
            return data, repr(data), ("ok", tuple(float(x) for x in data))
        items = [Indexy(rng.randint(-5, 5)) for _ in range(k)]
        return items, repr(items), ("ok", tuple(float(x.value) for x in items))
    mode = rng.randrange(10)
    if mode == 0:
        m = rng.choice([0, 1, k - 1, k + 1, 2 * k])
        return list(vals[:m]) + [0.0] * max(0, m - k), f"{m} numbers", \
            ("err", [(ValueError, exact(f"expected a sequence of length {k} (got {m})"))])
    if mode == 1:
        return None, "None", ("err", wrong)
    if mode == 2:
        return 5, "5", ("err", wrong)
    if mode == 3:
        text = "abcdefg"[:rng.choice([k, k, k - 1, k + 1])]
        if len(text) == k:
            return text, repr(text), ("err", wrong)
        return text, repr(text), ("err", [(ValueError, exact(f"expected a sequence of length {k} (got {len(text)})"))])
    if mode == 4:
        obj = rng.choice([{i: 1.0 for i in range(k)}, set(range(k)), (v for v in vals), object()])
        return obj, short(obj), ("err", wrong)
    if mode == 5:
        items = list(vals)
        items[rng.randrange(k)] = rng.choice([None, "1.0", 1j, [1.0], object()])
        return items, short(items), ("err", wrong)
    if mode == 6:
        items = list(vals)
        items[rng.randrange(k)] = BoomFloat()
        return items, short(items), ("err", wrong + [(Boom, None)])
    if mode == 7:
        items = list(vals)
        items[rng.randrange(k)] = 10 ** 400
        return items, "[..., 10**400, ...]", ("err", wrong + [(OverflowError, None)])
    if mode == 8:
        a = np.zeros((k, 2))
        return a, f"np.zeros(({k}, 2))", ("err", wrong)
    items = list(vals)
    items[rng.randrange(k)] = BadFloat()
    return items, short(items), ("err", wrong)


def link_id_arg(rng, L, name="link_id"):
    """(object, text, int value or list of errors)."""
    pick = rng.random()
    if pick < 0.75:
        v = rng.randrange(L)
        maker = rng.choice([int, int, int, np.int64, np.uint8, Indexy, IntSub, bool]) if v <= 1 else \
            rng.choice([int, int, int, np.int64, Indexy, IntSub])
        obj = maker(v)
        return obj, short(obj), int(v)
    if pick < 0.9:
        v = rng.choice([L, L + 1, 2 ** 31, 2 ** 63, 2 ** 64 - 1, 2 ** 64, 2 ** 70, -1, -2 ** 63, -2 ** 64])
        obj = rng.choice([int, Indexy])(v)
        return obj, short(obj), v
    obj = rng.choice([1.0, "1", None, [1], np.float64(1.0), fractions.Fraction(1), BoomIndex(), np.array([1]),
                      decimal.Decimal(1), 1j])
    errors = [named_type_error(name)]
    if isinstance(obj, BoomIndex):
        errors.append((Boom, None))
    return obj, short(obj), errors


def link_id_outcome(value, L):
    """Errors of converting and resolving an integer link id, or None when it names a link."""
    if value < 0 or value >= 2 ** 64:
        return [(OverflowError, None)]
    if value >= L:
        return [(ValueError, exact(f"invalid link id {value}"))]
    return None


# ---------------------------------------------------------------------------------------------
# The fuzzer


class HandleState:
    def __init__(self, handle, kind, label, frame, model, closable, closed=False):
        self.handle, self.kind, self.label, self.frame = handle, kind, label, frame
        self.model, self.closable, self.closed = model, closable, closed


class BufferState:
    def __init__(self, buffer, kind, model, label):
        self.buffer, self.kind, self.model, self.label = buffer, kind, model, label
        self.loads = {}     # link -> 6 floats
        self.order = []     # links in the buffer's order
        self.broken = False  # the mirror no longer tells what the buffer holds

    def as_loads(self):
        return [Load(link, self.loads[link][:3], self.loads[link][3:]) for link in self.order]


class ApiFuzzer:
    """Random calls on every public entry point, each judged against the documented behaviour."""

    MAX_HANDLES = 6
    MAX_BUFFERS = 10
    MAX_EXAMPLES = 3

    def __init__(self, world, trace=None, check_every=1, leak_every=50):
        self.world = world
        self.trace = trace
        self.check_every = check_every
        self.leak_every = leak_every
        self.origin = None  # e.g. "seed 12, " in reproducer lines of the long form
        self.calls = collections.Counter()
        self.failures = collections.Counter()
        self.problems = collections.OrderedDict()  # category -> [count, examples]
        self.models = 0
        self.steps = 0
        self.handles = {}
        self.buffers = []
        for kind in world.kinds:
            model = self.new_model()
            origin = kind.cls(kind.path)
            frame = Pose()
            pool = [HandleState(origin, kind, f"{kind.label}", frame, model, closable=False)]
            fork = origin.fork()
            pool.append(HandleState(fork, kind, f"{kind.label}_fork", frame, model, closable=True))
            closed = origin.fork()
            closed.close()
            pool.append(HandleState(closed, kind, f"{kind.label}_closed", frame, model, True, closed=True))
            self.handles[kind.label] = pool
            self.buffers.append(BufferState(origin.load_buffer(), kind, model, f"{kind.label}.load_buffer()"))
            self.buffers.append(BufferState(fork.load_buffer(), kind, model, f"{kind.label}_fork.load_buffer()"))
        # a buffer of a second model of the same file, and one whose handle is closed
        for kind in world.kinds[:2]:
            other = kind.cls(kind.path)
            self.buffers.append(BufferState(other.load_buffer(), kind, self.new_model(),
                                            f"{kind.label}_other.load_buffer()"))
            other.close()

    # -- bookkeeping ----------------------------------------------------------------------

    def new_model(self):
        self.models += 1
        return self.models

    def problem(self, category, text, detail):
        entry = self.problems.setdefault(category, [0, []])
        entry[0] += 1
        if len(entry[1]) < self.MAX_EXAMPLES:
            where = f"[{self.origin}step {self.steps}] " if self.origin is not None else f"[step {self.steps}] "
            entry[1].append(f"{where}{text}\n      -> {detail}")

    def report(self):
        lines = []
        for category, (count, examples) in self.problems.items():
            lines.append(f"[{count}x] {category}")
            lines.extend(f"    {example}" for example in examples)
        return "\n".join(lines)

    def log(self, text):
        if self.trace is not None:
            self.trace.write(text + "\n")
            self.trace.flush()

    def call(self, label, text, fn, /, *args, **kwargs):
        self.calls[label] += 1
        self.log(text)
        outcome = attempt(fn, *args, **kwargs)
        self.failures["ok" if outcome.ok else type(outcome.exc).__name__] += 1
        if not outcome.ok:
            why = disallowed(outcome.exc)
            if why is not None and not isinstance(outcome.exc, AttributeError):
                self.problem(f"{label}: {type(outcome.exc).__name__} raised", text, why)
        return outcome

    def judge_failure(self, label, text, outcome, expect):
        """Checks a failed call against the acceptable exceptions; returns True when it is fine."""
        if disallowed(outcome.exc) is not None:
            return False  # already reported by call()
        exc = outcome.exc
        if type(exc) in (SolverError, ModelError, RuntimeError, ValueError) and exc.args != (str(exc),):
            self.problem(f"{label}: exception arguments are not just the message", text, repr(exc.args))
        if not expect.matches(outcome.exc):
            self.problem(f"{label}: unexpected {type(outcome.exc).__name__}", text,
                         f"{outcome!r}; acceptable: {expect}")
            return False
        return True

    def open_handles(self, kind=None):
        kinds = [kind] if kind else self.world.kinds
        return [h for k in kinds for h in self.handles[k.label] if not h.closed]

    def pick_kind(self, rng):
        return rng.choices(self.world.kinds, self.world.weights)[0]

    def pick_handle(self, rng, kind):
        pool = self.handles[kind.label]
        closed = [h for h in pool if h.closed]
        if closed and rng.random() < 0.12:
            return rng.choice(closed)
        return rng.choice([h for h in pool if not h.closed] or pool)

    def check_handle(self, hs, why):
        """The handle still computes exactly what the oracle computes."""
        if hs.closed:
            outcome = attempt(lambda: hs.handle.link_count)
            if outcome.ok or type(outcome.exc) is not RuntimeError or str(outcome.exc) != CLOSED:
                self.problem(f"closed handle answers", f"{hs.label}.link_count after {why}", repr(outcome))
            return
        outcome = attempt(hs.kind.reference_calls, hs.handle)
        if not outcome.ok:
            self.problem(f"reference calls fail after a failed call", f"{hs.label} after {why}", repr(outcome))
        elif outcome.result != hs.kind.reference(hs.frame):
            self.problem(f"reference results changed after a failed call", f"{hs.label} after {why}",
                         "forward_kinematics_all/inverse_dynamics/jacobian/mass_matrix differ from a clean handle")

    def check_refcounts(self, label, text, objects, fn, pos, kw, repeat=4):
        """Repeating a call keeps no reference to its arguments once it has returned."""
        gc.collect()
        before = refcounts(objects)
        for _ in range(repeat):
            try:
                fn(*pos, **kw)
            except Exception:  # noqa: BLE001 - only the reference counts matter here
                pass
        gc.collect()
        for obj, count, now in zip(objects, before, refcounts(objects)):
            if now != count:
                self.problem(f"{label}: reference count of a {type(obj).__name__} argument changed", text,
                             f"{count} before {repeat} calls, {now} after")

    def check_holds(self, probes, text):
        """Every probe array can be written again: no hold was left on it."""
        pendulum = self.world.pendulum
        for probe in probes:
            if probe.size == 0:
                continue
            for i in sorted({0, probe.size // 2, probe.size - 1}):
                outcome = attempt(pendulum.gravity, [0.0], out=probe[i:i + 1])
                if not outcome.ok:
                    self.problem("array hold left behind", text, f"writing element {i} afterwards: {outcome!r}")
                    return

    # -- steps ----------------------------------------------------------------------------

    STEP_WEIGHTS = (("compute", 60), ("buffer", 12), ("values", 10), ("handle", 13), ("poke", 5))

    def step(self, rng):
        name = rng.choices([s for s, _ in self.STEP_WEIGHTS], [w for _, w in self.STEP_WEIGHTS])[0]
        getattr(self, "step_" + name)(rng)

    def run_step(self, fn, rng):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            fn(rng)
        self.steps += 1

    # -- computing methods ------------------------------------------------------------------

    def param_arg(self, rng, kind, hs, name, out_len, clean=False):
        """(Arg, vector values or None); a clean argument is always a valid spelling."""
        pkind = _PARAM_KIND[name]
        if not clean and rng.random() < 0.04:
            obj = junk(rng)
            return Arg(obj, MAYBE, text=f"junk {short(obj)}"), None
        if pkind in ("vec_n", "vec_N"):
            return vector_arg(rng, name, vector_length(rng, kind.n if pkind == "vec_n" else kind.N), clean)
        if pkind == "base":
            if clean or rng.random() < 0.9:
                state = random_base(rng)
                return Arg(state, OK, state, text=base_text(state)), None
            obj = rng.choice([None, Pose(), Twist(), (0.0,) * 7, "base", {}])
            return Arg(obj, BAD, errors=[named_type_error("base")], text=short(obj)), None
        if pkind == "target":
            obj, text, value = link_id_arg(rng, kind.L, "target")
            while clean and isinstance(value, list):
                obj, text, value = link_id_arg(rng, kind.L, "target")
            if isinstance(value, list):
                return Arg(obj, BAD, errors=value, text=text), None
            return Arg(obj, OK, value, text=text), None
        if pkind in ("tool", "desired"):
            pick = rng.random()
            if pick < 0.85 or (clean and pkind == "desired"):
                pose = random_pose(rng)
                return Arg(pose, OK, pose, text=pose_text(pose)), None
            if pkind == "tool" and (pick < 0.92 or clean):
                return Arg(None, OK, None, text="None"), None
            obj = rng.choice(([] if pkind == "tool" else [None]) + [Twist(), BaseState(), (0.0,) * 7, "pose"])
            return Arg(obj, BAD, errors=[named_type_error(name)], text=short(obj)), None
        if pkind == "options":
            pick = rng.random() * (0.95 if clean else 1.0)
            if pick < 0.45:
                return Arg(None, OK, None, text="None"), None
            if pick < 0.95:
                options, text = random_options(rng)
                return Arg(options, OK, options, text=text), None
            obj = rng.choice([5, {}, Pose(), "options"])
            return Arg(obj, BAD, errors=[named_type_error("options")], text=short(obj)), None
        if pkind == "loads":
            return self.loads_arg(rng, kind, hs, clean), None
        if pkind == "out":
            return self.out_arg(rng, out_len, clean), None
        raise AssertionError(pkind)

    def loads_arg(self, rng, kind, hs, clean=False):
        pick = rng.random() * (0.85 if clean else 1.0)
        if pick < 0.25:
            return Arg(None, OK, None, text="None")
        if pick < 0.55:
            loads = []
            for _ in range(rng.choice([0, 1, 1, 2, 3, 5])):
                link = rng.randrange(kind.L) if rng.random() < 0.85 else rng.choice([kind.L, 2 ** 63, 2 ** 64 - 1])
                values = [rng.uniform(-20, 20) for _ in range(6)]
                if rng.random() < 0.1:
                    values[rng.randrange(6)] = rng.choice([NAN, INF, -INF, 1e308, 1.7976931348623157e308])
                loads.append(Load(link, values[:3], values[3:]))
            obj = loads if rng.random() < 0.8 else tuple(loads)
            text = "[" + ", ".join(f"Load({l.link_id}, {flist(l.torque)}, {flist(l.force)})" for l in loads) + "]"
            return Arg(obj, OK, obj, text=text if isinstance(obj, list) else f"tuple({text})")
        if pick < 0.85:
            usable = [b for b in self.buffers if not b.broken and (b.model == hs.model or not clean)]
            if usable:
                bs = rng.choice(usable)
                if bs.model == hs.model:
                    return Arg(bs.buffer, OK, bs.as_loads(), text=f"{bs.label} holding {bs.order}")
                return Arg(bs.buffer, BAD, errors=[(ValueError, exact(FOREIGN_LINK))],
                           text=f"{bs.label} (another model)")
        if clean:
            return Arg(None, OK, None, text="None")
        obj = rng.choice(["loads", "", [Load(0), 5], [None], (Load(1), Pose())])
        if rng.random() < 0.4:
            obj = rng.choice([(Load(0) for _ in range(2)), {0: Load(0)}, 5, Pose(), frozenset({1}), iter([Load(0)])])
            return Arg(obj, BAD, errors=[(TypeError, None)], text=short(obj))
        return Arg(obj, OK, obj, text=short(obj))

    def out_arg(self, rng, N, clean=False):
        pick = rng.random() * (0.72 if clean else 1.0)
        if pick < 0.4:
            return Arg(None, OK, None, text="None")
        garbage = rng.choice([NAN, -0.0, 1e300, 7.25])
        if pick < 0.72:
            mode = rng.randrange(4)
            if mode == 0:
                a = np.full(N, garbage)
                return Arg(a, OK, text=f"np.full({N}, {fnum(garbage)})", probes=[a])
            if mode == 1:
                a = np.full(N, garbage).view(ArraySub)
                return Arg(a, OK, text=f"np.full({N}, {fnum(garbage)}).view(ArraySub)", probes=[a.view(np.ndarray)])
            if mode == 2:
                root = np.full(N + 5, garbage)
                a = root[3:3 + N]
                return Arg(a, OK, text=f"np.full({N + 5}, {fnum(garbage)})[3:{3 + N}]", probes=[root])
            a = np.empty(N)
            return Arg(a, OK, text=f"np.empty({N})", probes=[a])
        problems = []
        mode = rng.randrange(10)
        if mode == 0:
            m = rng.choice([x for x in (0, 1, N - 1, N + 1, 2 * N, N * N + 1) if x != N and x >= 0])
            a = np.full(m, garbage)
            return Arg(a, BAD, errors=[(ValueError, exact(f"out must contain exactly {N} elements"))],
                       text=f"np.full({m}, {fnum(garbage)})", probes=[a])
        if mode == 1:
            a = np.full(N, garbage)
            a.flags.writeable = False
            return Arg(a, BAD, errors=[(ValueError, exact(NOT_WRITEABLE))], text=f"read-only np.full({N}, ...)")
        if mode in (2, 3):
            step = rng.choice([2, -1, -3])
            root = np.full(abs(step) * N + 2, garbage)
            a = root[1::step][:N] if step > 0 else root[::step][:N]
            errors = [] if (a.flags.c_contiguous or a.flags.f_contiguous) else [(ValueError, exact(NOT_CONTIGUOUS))]
            return Arg(a, BAD if errors else OK, errors=errors, text=f"strided view (step {step}) of {N} float64",
                       probes=[root])
        if mode == 4:
            raw = bytearray(8 * N + 1)
            a = np.frombuffer(raw, dtype=np.float64, count=N, offset=1)
            errors = [(ValueError, exact(NOT_CONTIGUOUS))] if N > 0 else []
            return Arg(a, BAD if errors else OK, errors=errors, text=f"unaligned float64 array of {N}")
        if mode == 5:
            dtype = rng.choice([np.float32, np.int64, ">f8", np.complex128, np.float16, object])
            a = np.zeros(N, dtype=dtype)
            return Arg(a, BAD, errors=[named_type_error("out")], text=f"np.zeros({N}, dtype={np.dtype(dtype).str!r})")
        if mode == 6:
            shape = rng.choice([(1, N), (N, 1), (), (N, 1, 1)])
            a = np.zeros(shape)
            return Arg(a, BAD, errors=[named_type_error("out")], text=f"np.zeros({shape})")
        if mode == 7:
            obj = rng.choice([[0.0] * N, tuple([0.0] * N), array.array("d", [0.0] * N), 0, "out"])
            return Arg(obj, BAD, errors=[named_type_error("out")], text=short(obj))
        if mode == 8:
            if N == 0:
                return Arg(None, OK, None, text="None")
            # read-only and strided at once: either complaint is fine
            root = np.full(2 * N, garbage)
            a = root[::2]
            a.flags.writeable = False
            errors = [(ValueError, exact(NOT_WRITEABLE))]
            if N > 1:
                errors.append((ValueError, exact(NOT_CONTIGUOUS)))
            return Arg(a, BAD, errors=errors, text=f"read-only strided view of {N} float64")
        m = N + rng.choice([-1, 1]) if N > 0 else 1
        a = np.full(m, garbage)[::-1]
        return Arg(a, BAD, errors=[(ValueError, exact(f"out must contain exactly {N} elements")),
                                   (ValueError, exact(NOT_CONTIGUOUS))], text=f"reversed np.full({m}, ...)")

    def alias(self, rng, kind, params, args, N):
        """Makes `out` and one vector input views of one buffer; returns (prelude, overlap)."""
        names = [p for p in params if _PARAM_KIND[p] in ("vec_n", "vec_N") and args[p].status != OMIT]
        if not names or not N:
            return None
        name = rng.choice(names)
        length = kind.n if _PARAM_KIND[name] == "vec_n" else kind.N
        vals = vector_values(rng, length)
        big = np.full(length + N + 6, -7.25)
        a, b = rng.randint(0, N + 3), rng.randint(0, length + 3)
        same = length == N and rng.random() < 0.4
        if same:
            a = b
        view = big[a:a + length]
        view[:] = vals
        readonly = not same and rng.random() < 0.3
        if readonly:
            view = view.view()
            view.flags.writeable = False
        out = view if same else big[b:b + N]
        if not same and rng.random() < 0.4:
            # the same memory reached through another buffer object
            out = np.ndarray((N,), dtype=np.float64, buffer=big.data, offset=8 * b)
        text = f"big[{a}:{a + length}]" + (" (read-only view)" if readonly else "")
        args[name] = Arg(view, OK, np.array(vals), text=text, inputs=[view])
        args["out"] = Arg(out, OK, text="the same array" if same else f"big[{b}:{b + N}]", probes=[big])
        overlap = length > 0 and a < b + N and b < a + length
        prelude = f"big = np.full({big.size}, -7.25); big[{a}:{a + length}] = {flist(vals)}; "
        return prelude, overlap

    def call_form(self, rng, method, params, args):
        """Positional and keyword arguments for a call; returns (args, kwargs, text, faulty)."""
        present = [p for p in params if args[p].status != OMIT]
        pick = rng.random()
        if pick < 0.88:
            prefix = 0
            while prefix < len(params) and args[params[prefix]].status != OMIT:
                prefix += 1
            k = rng.randint(0, prefix)
            pos = [args[p].obj for p in params[:k]]
            kw = {p: args[p].obj for p in present if p not in params[:k]}
            text = ", ".join([args[p].text for p in params[:k]] + [f"{p}={args[p].text}" for p in kw])
            return pos, kw, text, False
        mode = rng.randrange(4)
        if mode == 0:  # a required argument missing
            required = [p for p in params if p not in OPTIONAL]
            drop = rng.choice(required)
            kw = {p: args[p].obj for p in present if p != drop}
            return [], kw, ", ".join(f"{p}=..." for p in kw) + f" (no {drop})", True
        if mode == 1:  # one positional argument too many
            pos = [args[p].obj if args[p].status != OMIT else None for p in params] + [None]
            return pos, {}, f"{len(pos)} positional arguments", True
        if mode == 2:  # unknown keyword
            kw = {p: args[p].obj for p in present}
            kw[rng.choice(["bogus", "Q", "output", "self", "link"])] = 1
            return [], kw, f"keywords {sorted(kw)}", True
        # the same argument by position and by keyword
        k = rng.randint(1, len(params))
        pos = [args[p].obj if args[p].status != OMIT else None for p in params[:k]]
        dup = rng.choice(params[:k])
        kw = {dup: pos[params.index(dup)]}
        return pos, kw, f"{k} positional and {dup}= again", True

    def step_compute(self, rng):
        kind = self.pick_kind(rng)
        hs = self.pick_handle(rng, kind)
        method = rng.choice(list(kind.methods))
        params, N = kind.methods[method]
        args = {}
        clean = rng.random() < 0.4  # only valid spellings: more calls reach the core
        for name in params:
            if name in OPTIONAL and rng.random() < 0.3:
                args[name] = OMITTED
                continue
            args[name], _ = self.param_arg(rng, kind, hs, name, N, clean)
        prelude, overlap = "", False
        if "out" in args and N is not None and rng.random() < 0.1:
            made = self.alias(rng, kind, params, args, N)
            if made:
                prelude, overlap = made
        if not prelude and "qd" in args and args["q"].status == OK and rng.random() < 0.05:
            args["qd"] = args["q"]  # one object as two inputs
        pos, kw, arg_text, faulty = self.call_form(rng, method, params, args)
        qualified = f"{kind.cls.__name__}.{method}"
        text = f"{prelude}{hs.label}.{method}({arg_text})"
        label = f"{kind.cls.__name__}.{method}"

        expect, must_fail, unpredicted = Expect(), False, False
        oracle = None
        if faulty:
            expect.add(TypeError, re.escape(qualified + "()"))
            must_fail = True
        else:
            for name in params:
                arg = args[name]
                if arg.status == BAD:
                    expect.extend(arg.errors)
                    must_fail = True
                elif arg.status == MAYBE:
                    expect.extend(UNPREDICTED)
                    unpredicted = True
            if overlap:
                expect.add(ValueError, exact(BORROWED))
                must_fail = True
            oracle = self.oracle_call(kind, hs, method, params, args)
            if not oracle.ok:
                if not (hs.closed and after_lock(type(oracle.exc), str(oracle.exc))):
                    expect.add(type(oracle.exc), exact(str(oracle.exc)))
                if not unpredicted:
                    must_fail = True
            if hs.closed:
                expect.add(RuntimeError, exact(CLOSED))
                must_fail = True
        out = args.get("out", OMITTED)
        out_obj = out.obj if out.status != OMIT else None
        watched = [a for p in params for a in args[p].inputs]
        before = [w.tobytes() for w in watched]
        out_before = out_obj.tobytes() if isinstance(out_obj, np.ndarray) else None

        outcome = self.call(label, text, getattr(hs.handle, method), *pos, **kw)

        for arr, old in zip(watched, before):
            if arr is not out_obj and arr.tobytes() != old:
                self.problem(f"{label}: an input array was changed", text, repr(outcome))
        if outcome.ok:
            if must_fail:
                self.problem(f"{label}: succeeded where it must fail", text,
                             f"returned {describe_result(outcome.result)}; acceptable: {expect}")
            else:
                self.check_result(label, text, outcome.result, N, out, oracle, unpredicted)
        else:
            self.judge_failure(label, text, outcome, expect)
            # only forward dynamics may leave partial results behind, and only when the solver fails
            partial = method == "forward_dynamics" and type(outcome.exc) is SolverError
            if out_before is not None and not partial and out_obj.tobytes() != out_before:
                self.problem(f"{label}: out changed by a failed call", text, repr(outcome))
        failed = not outcome.ok
        outcome = None
        if self.leak_every and self.steps % self.leak_every == 0:
            counted = refcount_targets([args[p].obj for p in params if args[p].status != OMIT] + [hs.handle])
            self.check_refcounts(label, text, counted, getattr(hs.handle, method), pos, kw)
        probes = [p for name in params for p in args[name].probes]
        self.check_holds(probes, text)
        if failed and self.steps % self.check_every == 0:
            self.check_handle(hs, text)

    def oracle_call(self, kind, hs, method, params, args):
        values = {}
        for name in params:
            arg = args[name]
            if name == "out" or arg.status == OMIT:
                continue
            values[name] = arg.value if arg.status == OK else self.substitute(kind, name)
        kind.sync_oracle(hs.frame)
        outcome = attempt(getattr(kind.oracle, method), **values)
        if not outcome.ok and disallowed(outcome.exc):
            self.problem(f"{kind.cls.__name__}.{method}: clean call raised {type(outcome.exc).__name__}",
                         f"clean {kind.label}.{method}("
                         f"{', '.join(f'{k}={short(v, 200)}' for k, v in values.items())})",
                         repr(outcome))
        return outcome

    def substitute(self, kind, name):
        return {"q": kind.q_ref, "qd": kind.qd_ref, "qdd": kind.qdd_ref, "forces": np.zeros(kind.N),
                "base": kind.base_ref, "target": 0, "tool": None, "desired": Pose(), "options": None,
                "loads": None}[name]

    def check_result(self, label, text, result, N, out, oracle, unpredicted):
        if N is None:
            want = Pose if label.endswith("forward_kinematics") else Twist
            if type(result) is not want:
                self.problem(f"{label}: wrong result type", text, describe_result(result))
                return
        else:
            out_obj = out.obj if out.status != OMIT else None
            if out_obj is not None and out.status == OK:
                if result is not out_obj:
                    self.problem(f"{label}: result is not out", text, describe_result(result))
                    return
            elif out_obj is None:
                if not (type(result) is np.ndarray and result.dtype == np.float64 and result.shape == (N,)
                        and result.flags.c_contiguous and result.flags.writeable):
                    self.problem(f"{label}: malformed new result array", text, describe_result(result))
                    return
            if not isinstance(result, np.ndarray) or result.shape != (N,):
                self.problem(f"{label}: result of the wrong shape", text, describe_result(result))
                return
        if unpredicted or oracle is None:
            return
        if not oracle.ok:
            return  # reported as "succeeded where it must fail"
        if fingerprint(np.asarray(result, dtype=np.float64) if isinstance(result, np.ndarray) else result) != \
                fingerprint(oracle.result):
            self.problem(f"{label}: result differs from a clean call", text,
                         f"got {describe_result(result)}, clean call gives {describe_result(oracle.result)}")

    # -- load buffers -------------------------------------------------------------------------

    def step_buffer(self, rng):
        usable = [b for b in self.buffers if not b.broken]
        if not usable:
            return
        bs = rng.choice(usable)
        op = rng.choices(["set", "add", "remove", "clear", "len", "protocols", "use"], [5, 4, 3, 1, 1, 1, 3])[0]
        buffer, L = bs.buffer, bs.kind.L
        label = f"LoadBuffer.{op}"
        if op in ("set", "add", "remove"):
            link_obj, link_text, link_value = link_id_arg(rng, L)
            parts = [("link_id", link_obj, link_text)]
            errors, values = None, [0.0] * 6
            if isinstance(link_value, list):
                errors = link_value
            elif not 0 <= link_value < 2 ** 64:
                errors = [(OverflowError, None)]
            if op != "remove":
                for i, name in enumerate(("torque", "force")):
                    if rng.random() < 0.25:
                        continue
                    obj, text, result = numbers_arg(rng, 3, name)
                    if rng.random() < 0.15 and op == "add":
                        obj, text, result = [1.7976931348623157e308, 0.0, 0.0], "[1.7976931348623157e308, 0.0, 0.0]", \
                            ("ok", (1.7976931348623157e308, 0.0, 0.0))
                    parts.append((name, obj, text))
                    if result[0] == "err":
                        errors = errors or result[1]
                    else:
                        values[3 * i:3 * i + 3] = result[1]
            if errors is None:
                errors = link_id_outcome(link_value, L)
            stored = None
            if errors is None and op != "remove":
                if not all(math.isfinite(v) for v in values):
                    errors = [(ValueError, exact("load contains a non-finite value"))]
                elif op == "add" and link_value in bs.loads:
                    total = tuple(a + b for a, b in zip(bs.loads[link_value], values))
                    if not all(math.isfinite(v) for v in total):
                        errors = [(SolverError, exact("numerical failure in load aggregation"))]
                    stored = total
                else:
                    stored = tuple(values)
            order = ["link_id", "torque", "force"]
            prefix = 0
            while prefix < len(parts) and parts[prefix][0] == order[prefix]:
                prefix += 1
            k = rng.randint(0, prefix)
            faulty = rng.random() < 0.05
            pos = [obj for _, obj, _ in parts[:k]]
            kw = {name: obj for name, obj, _ in parts[k:]}
            if faulty:
                if rng.random() < 0.5 or not parts:
                    kw["bogus"] = 1
                else:
                    pos.extend([obj for _, obj, _ in parts[k:]] + [None] * (4 - len(parts)))
                    kw = {}
            text = (f"{bs.label}.{op}(" + ", ".join([t for _, _, t in parts[:k]] +
                                                     [f"{n}={t}" for n, _, t in parts[k:]]) + ")")
            if faulty:
                text += " with an argument-list error"
            outcome = self.call(label, text, getattr(buffer, op), *pos, **kw)
            if faulty:
                expect = Expect()
                expect.add(TypeError, None)
                if outcome.ok:
                    self.problem(f"{label}: accepted a bad argument list", text, "returned")
                else:
                    self.judge_failure(label, text, outcome, expect)
                return self.check_buffer_length(bs, text)
            if errors:
                expect = Expect()
                expect.extend(errors)
                if outcome.ok:
                    self.problem(f"{label}: succeeded where it must fail", text, f"acceptable: {expect}")
                    bs.broken = True
                else:
                    self.judge_failure(label, text, outcome, expect)
                return self.check_buffer_length(bs, text)
            if not outcome.ok:
                self.problem(f"{label}: unexpected failure", text, repr(outcome))
                bs.broken = True
                return
            if outcome.result is not None:
                self.problem(f"{label}: returned a value", text, short(outcome.result))
            if op == "remove":
                if link_value in bs.loads:
                    i = bs.order.index(link_value)
                    bs.order[i] = bs.order[-1]
                    bs.order.pop()
                    del bs.loads[link_value]
            else:
                if link_value not in bs.loads:
                    bs.order.append(link_value)
                bs.loads[link_value] = stored
            return self.check_buffer_length(bs, text)
        if op == "clear":
            outcome = self.call(label, f"{bs.label}.clear()", buffer.clear)
            if not outcome.ok:
                self.problem(f"{label}: failed", f"{bs.label}.clear()", repr(outcome))
            bs.loads.clear()
            bs.order.clear()
            return self.check_buffer_length(bs, f"{bs.label}.clear()")
        if op == "len":
            return self.check_buffer_length(bs, f"len({bs.label})")
        if op == "protocols":
            for text, fn in ((f"iter({bs.label})", lambda: iter(buffer)), (f"{bs.label}[0]", lambda: buffer[0]),
                             (f"LoadBuffer()", LoadBuffer), (f"{bs.label}.set()", buffer.set),
                             (f"{bs.label}.clear(1)", lambda: buffer.clear(1))):
                outcome = self.call(label, text, fn)
                if outcome.ok or type(outcome.exc) is not TypeError:
                    self.problem(f"{label}: {text} is not a TypeError", text, repr(outcome))
            outcome = self.call(label, f"bool({bs.label})", bool, buffer)
            if not outcome.ok or outcome.result != bool(bs.order):
                self.problem("LoadBuffer truth value", f"bool({bs.label}) with {bs.order}", repr(outcome))
            return
        # use: a dynamics call with the buffer gives what the loads it should hold give
        handles = self.open_handles(bs.kind)
        if not handles:
            return
        hs = rng.choice(handles)
        kind = hs.kind
        method = rng.choice(["gravity", "inverse_dynamics", "forward_dynamics"])
        extra = {"gravity": (), "inverse_dynamics": (kind.qd_ref, kind.qdd_ref),
                 "forward_dynamics": (kind.qd_ref, np.linspace(-1, 1, kind.N))}[method]
        args = kind.base_args() + (kind.q_ref,) + extra
        text = f"{hs.label}.{method}(<reference inputs>, loads={bs.label} holding {bs.order})"
        outcome = self.call(f"{kind.cls.__name__}.{method}", text, getattr(hs.handle, method), *args, loads=buffer)
        if bs.model != hs.model:
            if outcome.ok or type(outcome.exc) is not ValueError or str(outcome.exc) != FOREIGN_LINK:
                self.problem("foreign LoadBuffer accepted or refused wrongly", text, repr(outcome))
            return
        kind.sync_oracle(hs.frame)
        expected = attempt(getattr(kind.oracle, method), *args, loads=bs.as_loads())
        if outcome.ok != expected.ok or (outcome.ok and fingerprint(outcome.result) != fingerprint(expected.result)) \
                or (not outcome.ok and outcome_print(outcome) != outcome_print(expected)):
            self.problem("LoadBuffer contents differ from the loads set into it", text,
                         f"got {outcome!r}, the same loads as a list give {expected!r}")

    def check_buffer_length(self, bs, text):
        outcome = attempt(len, bs.buffer)
        if not outcome.ok or outcome.result != len(bs.order):
            self.problem("LoadBuffer length differs from the loads set into it", text,
                         f"len() gives {outcome!r}, expected {len(bs.order)}")
            bs.broken = True

    # -- value classes --------------------------------------------------------------------------

    def step_values(self, rng):
        cls = rng.choice([Pose, Twist, BaseState, Load, IkOptions])
        getattr(self, "values_" + cls.__name__)(rng)

    def construct(self, rng, cls, fields, fixed=()):
        """Calls cls with some of `fields` ((name, obj, text)) by position or keyword; returns
        (outcome, text, given names, faulty)."""
        chosen = []
        omit_from = rng.randint(len(fixed), len(fields)) if rng.random() < 0.5 else len(fields)
        for i, field in enumerate(fields):
            if i < len(fixed) or i < omit_from or rng.random() < 0.5:
                chosen.append(field)
        k = 0
        while k < len(chosen) and chosen[k] is fields[k]:
            k += 1
        k = rng.randint(0, k)
        pos = [obj for _, obj, _ in chosen[:k]]
        kw = {name: obj for name, obj, _ in chosen[k:]}
        shown = [t for _, _, t in chosen[:k]] + [f"{n}={t}" for n, _, t in chosen[k:]]
        text = f"{cls.__name__}(" + ", ".join(shown) + ")"
        faulty = rng.random() < 0.04
        if faulty:
            if rng.random() < 0.5:
                kw["bogus"] = 0
            else:
                pos = [obj for _, obj, _ in fields] + [0] + pos[len(fields):]
                kw = {}
            text += " with an argument-list error"
        outcome = self.call(f"{cls.__name__}()", text, cls, *pos, **kw)
        return outcome, text, {name for name, _, _ in chosen}, faulty

    def values_sequence_class(self, rng, cls, layout, defaults):
        fields, results = [], {}
        for name, k in layout:
            obj, text, result = numbers_arg(rng, k, name)
            fields.append((name, obj, text))
            results[name] = result
        outcome, text, given, faulty = self.construct(rng, cls, fields)
        label = f"{cls.__name__}()"
        if faulty:
            if outcome.ok:
                self.problem(f"{label}: accepted a bad argument list", text, describe_result(outcome.result))
            elif type(outcome.exc) is not TypeError:
                self.problem(f"{label}: argument-list error is not a TypeError", text, repr(outcome))
            return
        errors, stored = None, []
        for name, k in layout:
            result = results[name] if name in given else ("ok", defaults[name])
            if result[0] == "err":
                errors = errors or result[1]
            else:
                stored.append(result[1])
        if errors:
            expect = Expect()
            expect.extend(errors)
            if outcome.ok:
                self.problem(f"{label}: succeeded where it must fail", text, f"acceptable: {expect}")
            else:
                self.judge_failure(label, text, outcome, expect)
            return
        if not outcome.ok:
            self.problem(f"{label}: unexpected failure", text, repr(outcome))
            return
        value = outcome.result
        got = [getattr(value, name) for name, _ in layout]
        if any(type(g) is not tuple or any(type(x) is not float for x in g) or pack(g) != pack(s)
               for g, s in zip(got, stored)):
            self.problem(f"{label}: stored numbers differ", text, f"got {got}, expected {stored}")
        self.check_value_protocols(label, text, value, cls(*stored), any(math.isnan(x) for s in stored for x in s))

    def check_value_protocols(self, label, text, value, twin, has_nan):
        checks = [
            ("==", lambda: value == twin, (not has_nan)),
            ("!=", lambda: value != twin, has_nan),
            ("== other type", lambda: value == object(), False),
            ("!= other type", lambda: value != 1.5, True),
        ]
        for name, fn, want in checks:
            outcome = attempt(fn)
            if not outcome.ok or outcome.result is not want:
                self.problem(f"{label}: comparison {name}", text, f"{outcome!r}, expected {want}")
        for name, fn, error in (("<", lambda: value < twin, TypeError), ("hash", lambda: hash(value), TypeError),
                                ("setattr", lambda: setattr(value, rng_attr(value), (1.0, 2.0, 3.0)), AttributeError)):
            outcome = attempt(fn)
            if outcome.ok or type(outcome.exc) is not error:
                self.problem(f"{label}: {name} is not {error.__name__}", text, repr(outcome))

    def values_Pose(self, rng):
        self.values_sequence_class(rng, Pose, [("translation", 3), ("rotation_xyzw", 4)],
                                   {"translation": (0.0, 0.0, 0.0), "rotation_xyzw": (0.0, 0.0, 0.0, 1.0)})

    def values_Twist(self, rng):
        self.values_sequence_class(rng, Twist, [("angular", 3), ("linear", 3)],
                                   {"angular": (0.0, 0.0, 0.0), "linear": (0.0, 0.0, 0.0)})

    def values_BaseState(self, rng):
        fields, errors, want = [], None, {}
        for name, cls in (("frame", Pose), ("velocity", Twist), ("acceleration", Twist)):
            pick = rng.random()
            if pick < 0.6:
                obj = random_pose(rng) if cls is Pose else random_twist(rng, 0.1)
                want[name] = obj
            elif pick < 0.8:
                obj = None
            else:
                obj = rng.choice([Twist() if cls is Pose else Pose(), BaseState(), (0.0,) * 7, "x", 0])
                errors = errors or [named_type_error(name)]
            fields.append((name, obj, short(obj)))
        outcome, text, given, faulty = self.construct(rng, BaseState, fields)
        label = "BaseState()"
        if faulty:
            if outcome.ok or type(outcome.exc) is not TypeError:
                self.problem(f"{label}: argument-list error is not a TypeError", text, repr(outcome))
            return
        # only the given fields count
        errors = None
        for name, obj, _ in fields:
            if name in given and obj is not None and not isinstance(obj, Pose if name == "frame" else Twist):
                errors = errors or [named_type_error(name)]
        if errors:
            expect = Expect()
            expect.extend(errors)
            if outcome.ok:
                self.problem(f"{label}: succeeded where it must fail", text, f"acceptable: {expect}")
            else:
                self.judge_failure(label, text, outcome, expect)
            return
        if not outcome.ok:
            self.problem(f"{label}: unexpected failure", text, repr(outcome))
            return
        state = outcome.result
        frame = want["frame"] if "frame" in given and "frame" in want else Pose()
        vel = want["velocity"] if "velocity" in given and "velocity" in want else Twist()
        acc = want["acceleration"] if "acceleration" in given and "acceleration" in want else Twist()
        got = (fingerprint(state.frame), fingerprint(state.velocity), fingerprint(state.acceleration))
        if got != (fingerprint(frame), fingerprint(vel), fingerprint(acc)):
            self.problem(f"{label}: stored values differ", text, f"{base_text(state)}")
        has_nan = any(math.isnan(x) for x in frame.translation + frame.rotation_xyzw + vel.angular + vel.linear
                      + acc.angular + acc.linear)
        self.check_value_protocols(label, text, state, BaseState(frame, vel, acc), has_nan)

    def values_Load(self, rng):
        obj, text0, value = link_id_arg(rng, 20)
        fields = [("link_id", obj, text0)]
        results = {}
        for name in ("torque", "force"):
            o, t, r = numbers_arg(rng, 3, name)
            fields.append((name, o, t))
            results[name] = r
        outcome, text, given, faulty = self.construct(rng, Load, fields, fixed=fields[:1])
        label = "Load()"
        if faulty:
            if outcome.ok or type(outcome.exc) is not TypeError:
                self.problem(f"{label}: argument-list error is not a TypeError", text, repr(outcome))
            return
        errors = value if isinstance(value, list) else ([(OverflowError, None)] if not 0 <= value < 2 ** 64 else None)
        stored = []
        for name in ("torque", "force"):
            result = results[name] if name in given else ("ok", (0.0, 0.0, 0.0))
            if result[0] == "err":
                errors = errors or result[1]
            else:
                stored.append(result[1])
        if errors:
            expect = Expect()
            expect.extend(errors)
            if outcome.ok:
                self.problem(f"{label}: succeeded where it must fail", text, f"acceptable: {expect}")
            else:
                self.judge_failure(label, text, outcome, expect)
            return
        if not outcome.ok:
            self.problem(f"{label}: unexpected failure", text, repr(outcome))
            return
        load = outcome.result
        if load.link_id != value or type(load.link_id) is not int or pack(load.torque) != pack(stored[0]) \
                or pack(load.force) != pack(stored[1]):
            self.problem(f"{label}: stored values differ", text, f"{load.link_id}, {load.torque}, {load.force}")
        twin = Load(value, stored[0], stored[1])
        self.check_value_protocols(label, text, load, twin, any(math.isnan(x) for s in stored for x in s))
        other = attempt(lambda: load == Load(value - 1 if value else 1, stored[0], stored[1]))
        if not other.ok or other.result is not False:
            self.problem(f"{label}: loads on different links compare equal", text, repr(other))

    def values_IkOptions(self, rng):
        fields, errors, stored = [], None, {}
        pick = rng.random()
        if pick < 0.5:
            obj = rng.choice([None, 1, 7, 100, 2 ** 40, np.int64(9), Indexy(5), IntSub(3)])
        else:
            obj = rng.choice([0, -1, True, False, 1.5, "5", 2 ** 63, -2 ** 63 - 1, np.float64(3.0), BoomIndex(), [1]])
        fields.append(("max_iterations", obj, short(obj)))
        for name, default in (("translation_tolerance", 1e-6), ("rotation_tolerance", 1e-6), ("damping", 1e-3),
                              ("max_step_norm", 0.5)):
            if rng.random() < 0.8:
                o = rng.choice([default, rng.uniform(-1, 1), NAN, INF, -0.0, 0.0, 3, np.float32(0.25), Floaty(0.5),
                                FloatSub(0.125), fractions.Fraction(1, 4)])
            else:
                o = rng.choice([None, "x", [0.1], 1j, BoomFloat(), BadFloat(), 10 ** 400])
            fields.append((name, o, short(o)))
        outcome, text, given, faulty = self.construct(rng, IkOptions, fields)
        label = "IkOptions()"
        if faulty:
            if outcome.ok or type(outcome.exc) is not TypeError:
                self.problem(f"{label}: argument-list error is not a TypeError", text, repr(outcome))
            return
        values = {"max_iterations": 100, "translation_tolerance": 1e-6, "rotation_tolerance": 1e-6,
                  "damping": 1e-3, "max_step_norm": 0.5}
        for name, o, _ in fields:
            if name not in given:
                continue
            if name == "max_iterations":
                if o is None:
                    continue
                if isinstance(o, (bool, np.bool_)):
                    errors = errors or [(TypeError, exact("max_iterations must be an integer"))]
                    continue
                try:
                    v = operator.index(o)
                except Exception:  # noqa: BLE001
                    errors = errors or [(TypeError, exact("max_iterations must be an integer"))]
                    continue
                if not -2 ** 63 <= v < 2 ** 63:
                    errors = errors or [(TypeError, exact("max_iterations must be an integer"))]
                elif v <= 0:
                    errors = errors or [(ValueError, exact("max_iterations must be greater than zero"))]
                else:
                    values[name] = v
                continue
            try:
                values[name] = float(o) if not isinstance(o, (str, list)) else None
                if values[name] is None:
                    raise TypeError
            except Exception:  # noqa: BLE001
                errs = [named_type_error(name), (Boom, None)]
                if isinstance(o, int):
                    errs.append((OverflowError, None))
                errors = errors or errs
        if errors:
            expect = Expect()
            expect.extend(errors)
            if outcome.ok:
                self.problem(f"{label}: succeeded where it must fail", text, f"acceptable: {expect}")
            else:
                self.judge_failure(label, text, outcome, expect)
            return
        if not outcome.ok:
            self.problem(f"{label}: unexpected failure", text, repr(outcome))
            return
        options = outcome.result
        got = {name: getattr(options, name) for name in values}
        floats = [n for n in values if n != "max_iterations"]
        if got["max_iterations"] != values["max_iterations"] or type(got["max_iterations"]) is not int or any(
                type(got[n]) is not float or pack([got[n]]) != pack([values[n]]) for n in floats):
            self.problem(f"{label}: stored values differ", text, f"got {got}, expected {values}")
        has_nan = any(math.isnan(v) for n, v in values.items() if n != "max_iterations")
        self.check_value_protocols(label, text, options, IkOptions(**values), has_nan)

    # -- handle life cycle and non-computing methods ----------------------------------------------

    def step_handle(self, rng):
        op = rng.choices(["property", "link_id", "set_base_frame", "fork", "load_buffer", "close", "enter",
                          "exit", "with", "construct", "wrong_self"], [4, 4, 4, 2, 1, 1, 1, 1, 1, 2, 1])[0]
        getattr(self, "handle_" + op)(rng)

    def closable(self, rng, kind=None):
        candidates = [h for h in self.open_handles(kind) if h.closable]
        return rng.choice(candidates) if candidates else None

    def add_handle(self, hs):
        pool = self.handles[hs.kind.label]
        pool.append(hs)
        if len(pool) > self.MAX_HANDLES:
            victims = [h for h in pool if h.closable and h is not hs]
            victim = victims[0]
            pool.remove(victim)
            if not victim.closed:
                outcome = self.call("close", f"{victim.label}.close()", victim.handle.close)
                if not outcome.ok or outcome.result is not None:
                    self.problem("close failed", f"{victim.label}.close()", repr(outcome))

    def expect_closed(self, label, text, outcome, others=()):
        expect = Expect()
        expect.add(RuntimeError, exact(CLOSED))
        expect.extend(others)
        if outcome.ok:
            self.problem(f"{label}: a closed handle answered", text, repr(outcome))
        else:
            self.judge_failure(label, text, outcome, expect)

    def handle_property(self, rng):
        kind = self.pick_kind(rng)
        hs = self.pick_handle(rng, kind)
        name = rng.choice(["name", "joint_count", "generalized_count", "link_count"])
        text = f"{hs.label}.{name}"
        outcome = self.call(f"{kind.cls.__name__}.{name}", text, getattr, hs.handle, name)
        if hs.closed:
            return self.expect_closed(name, text, outcome)
        want = {"name": kind.name, "joint_count": kind.n, "generalized_count": kind.N, "link_count": kind.L}[name]
        if not outcome.ok or outcome.result != want or type(outcome.result) is not type(want):
            self.problem(f"{kind.cls.__name__}.{name} wrong", text, f"{outcome!r}, expected {want!r}")
        setter = attempt(setattr, hs.handle, name, want)
        if setter.ok or type(setter.exc) is not AttributeError:
            self.problem(f"{kind.cls.__name__}.{name} is settable", text, repr(setter))

    def handle_link_id(self, rng):
        kind = self.pick_kind(rng)
        hs = self.pick_handle(rng, kind)
        name = rng.choice(kind.link_names) if rng.random() < 0.6 else rng.choice(
            ["", "nope", kind.link_names[0] + "\0", "\ud800", "x" * 5000, kind.link_names[-1].upper(), " base",
             None, 5, b"base", ["base"], Indexy(0), kind.link_names[0].encode()])
        text = f"{hs.label}.link_id({short(name)})"
        label = f"{kind.cls.__name__}.link_id"
        outcome = self.call(label, text, hs.handle.link_id, name)
        expected = attempt(kind.oracle.link_id, name)
        if hs.closed:
            others = [] if expected.ok else [(type(expected.exc), exact(str(expected.exc)))]
            return self.expect_closed(label, text, outcome, others)
        self.compare_outcomes(label, text, outcome, expected)

    def compare_outcomes(self, label, text, outcome, expected):
        if outcome.ok and expected.ok:
            if fingerprint(outcome.result) != fingerprint(expected.result):
                self.problem(f"{label}: differs from a clean handle", text, f"{outcome!r} vs {expected!r}")
        elif outcome.ok != expected.ok or type(outcome.exc) is not type(expected.exc) \
                or str(outcome.exc) != str(expected.exc):
            self.problem(f"{label}: differs from a clean handle", text, f"{outcome!r}, a clean handle: {expected!r}")

    def handle_set_base_frame(self, rng):
        kinds = [k for k in self.world.kinds if not k.floating]
        kind = rng.choice(kinds)
        hs = self.pick_handle(rng, kind)
        if rng.random() < 0.85:
            frame = random_pose(rng)
            ftext = pose_text(frame)
        else:
            frame = rng.choice([None, Twist(), BaseState(), (0.0,) * 7, "frame"])
            ftext = short(frame)
        text = f"{hs.label}.set_base_frame({ftext})"
        label = "Robot.set_base_frame"
        form = rng.random()
        if form < 0.1:
            outcome = self.call(label, text + " (by keyword)", hs.handle.set_base_frame, frame=frame)
        elif form < 0.15:
            outcome = self.call(label, text + " (extra argument)", hs.handle.set_base_frame, frame, frame)
            if outcome.ok or type(outcome.exc) is not TypeError:
                self.problem(f"{label}: argument-list error is not a TypeError", text, repr(outcome))
            return self.check_handle(hs, text)
        else:
            outcome = self.call(label, text, hs.handle.set_base_frame, frame)
        expected = attempt(kind.oracle.set_base_frame, frame)
        kind._oracle_frame = frame if expected.ok else kind._oracle_frame
        if hs.closed:
            others = [] if expected.ok else [(type(expected.exc), exact(str(expected.exc)))]
            return self.expect_closed(label, text, outcome, others)
        self.compare_outcomes(label, text, outcome, expected)
        if outcome.ok:
            if outcome.result is not None:
                self.problem(f"{label}: returned a value", text, repr(outcome))
            hs.frame = frame
        self.check_handle(hs, text)

    def handle_fork(self, rng):
        kind = self.pick_kind(rng)
        hs = self.pick_handle(rng, kind)
        text = f"{hs.label}.fork()"
        outcome = self.call(f"{kind.cls.__name__}.fork", text, hs.handle.fork)
        if hs.closed:
            return self.expect_closed("fork", text, outcome)
        if not outcome.ok or type(outcome.result) is not kind.cls:
            self.problem("fork failed", text, repr(outcome))
            return
        fork = HandleState(outcome.result, kind, f"{hs.label}_f{self.steps}", hs.frame, hs.model, closable=True)
        self.check_handle(fork, text)
        self.add_handle(fork)

    def handle_load_buffer(self, rng):
        kind = self.pick_kind(rng)
        hs = self.pick_handle(rng, kind)
        text = f"{hs.label}.load_buffer()"
        outcome = self.call(f"{kind.cls.__name__}.load_buffer", text, hs.handle.load_buffer)
        if hs.closed:
            return self.expect_closed("load_buffer", text, outcome)
        if not outcome.ok or type(outcome.result) is not LoadBuffer or len(outcome.result) != 0:
            self.problem("load_buffer failed", text, repr(outcome))
            return
        self.buffers.append(BufferState(outcome.result, kind, hs.model, f"{hs.label}.load_buffer()#{self.steps}"))
        if len(self.buffers) > self.MAX_BUFFERS + 12:
            self.buffers.pop(12)

    def mark_closed(self, hs):
        hs.closed = True
        for pool in self.handles.values():
            if hs in pool:
                # keep at most two closed handles per robot
                closed = [h for h in pool if h.closed]
                for old in closed[:-2]:
                    pool.remove(old)

    def handle_close(self, rng):
        hs = self.closable(rng)
        if hs is None:
            return
        text = f"{hs.label}.close()"
        outcome = self.call("close", text, hs.handle.close)
        if not outcome.ok or outcome.result is not None:
            self.problem("close failed", text, repr(outcome))
        again = self.call("close", text + " again", hs.handle.close)
        if not again.ok or again.result is not None:
            self.problem("second close failed", text, repr(again))
        self.mark_closed(hs)
        self.check_handle(hs, text)

    def handle_enter(self, rng):
        kind = self.pick_kind(rng)
        hs = self.pick_handle(rng, kind)
        text = f"{hs.label}.__enter__()"
        outcome = self.call("__enter__", text, hs.handle.__enter__)
        if hs.closed:
            return self.expect_closed("__enter__", text, outcome)
        if not outcome.ok or outcome.result is not hs.handle:
            self.problem("__enter__ does not return the handle", text, repr(outcome))

    def handle_exit(self, rng):
        hs = self.closable(rng)
        if hs is None:
            return
        count = rng.choice([3, 3, 3, 0, 1, 2, 4])
        use_kw = count == 3 and rng.random() < 0.3
        values = [rng.choice([None, ValueError, Boom("x"), 5]) for _ in range(count)]
        text = f"{hs.label}.__exit__({', '.join(short(v) for v in values)}){' by keyword' if use_kw else ''}"
        if use_kw:
            outcome = self.call("__exit__", text, hs.handle.__exit__,
                                **dict(zip(("_exc_type", "_exc_value", "_traceback"), values)))
        else:
            outcome = self.call("__exit__", text, hs.handle.__exit__, *values)
        if count != 3:
            if outcome.ok or type(outcome.exc) is not TypeError:
                self.problem("__exit__ with a wrong argument count is not a TypeError", text, repr(outcome))
            return self.check_handle(hs, text)
        if not outcome.ok or outcome.result is not None:
            self.problem("__exit__ failed", text, repr(outcome))
        self.mark_closed(hs)
        self.check_handle(hs, text)

    def handle_with(self, rng):
        hs = self.closable(rng)
        if hs is None:
            return
        text = f"with {hs.label}: raise Boom"
        self.calls["with"] += 1
        self.log(text)
        try:
            with hs.handle as entered:
                if entered is not hs.handle:
                    self.problem("with binds something else", text, short(entered))
                self.check_handle(hs, text)
                raise Boom("inside")
        except Boom:
            pass
        except BaseException as exc:  # noqa: BLE001
            self.problem("with block raised something else", text, repr(exc))
        self.mark_closed(hs)
        self.check_handle(hs, text)

    def handle_construct(self, rng):
        kind = self.pick_kind(rng)
        cls = kind.cls
        make = cls if rng.random() < 0.5 else cls.from_urdf
        how = "" if make is cls else ".from_urdf"
        pick = rng.randrange(12)
        valid = False
        if pick < 4:
            path = rng.choice([kind.path, pathlib.Path(kind.path), PathObj(kind.path)])
            valid = True
            expect = []
        elif pick == 4:
            path = rng.choice([kind.path.encode(), PathObj(kind.path.encode()), None, 5, ["x"], bytearray(b"x")])
            expect = [named_type_error("path")]
        elif pick == 5:
            path = BoomPath()
            expect = [(Boom, None), named_type_error("path")]
        elif pick == 6:
            path = rng.choice(["/nonexistent/robot.urdf", "", self.world.directory, "a\0b", "\udcff.urdf"])
            expect = [(ModelError, r"^failed to parse URDF: "), (ValueError, None)]
        elif pick == 7 and cls is FloatingRobot:
            path = self.world.massless_path
            expect = [(ModelError, exact("invalid robot model: floating-base root link root must have positive mass"))]
        else:
            source = self.world.urdf_texts.get(kind.path)
            if source is None:
                path, valid, expect = kind.path, True, []
            else:
                data = source.encode()
                mode = rng.randrange(4)
                if mode == 0:
                    data = data[:rng.randrange(max(1, len(data) - 20))]
                elif mode == 1:
                    data = bytes(rng.randrange(256) for _ in range(rng.randrange(200)))
                elif mode == 2:
                    numbers = [m.start() for m in re.finditer(rb'"-?[0-9][0-9.e-]*"', data)]
                    at = rng.choice(numbers)
                    end = data.index(b'"', at + 1)
                    data = data[:at + 1] + rng.choice([b"nan", b"inf", b"-1", b"1e400", b"x", b"", b"0 0"]) + data[end:]
                else:
                    data = data.replace(b"<link", b"<link", 1).replace(b"</robot>", b"", 1)
                path = self.world.scratch_file(data)
                expect = None  # a model error or a handle
        text = f"{cls.__name__}{how}({short(path)})"
        label = f"{cls.__name__}{how or '()'}"
        outcome = self.call(label, text, make, path)
        if outcome.ok:
            handle = outcome.result
            if type(handle) is not cls:
                self.problem(f"{label}: wrong type", text, repr(outcome))
                return
            if valid:
                if (handle.name, handle.joint_count, handle.generalized_count, handle.link_count) != \
                        (kind.name, kind.n, kind.N, kind.L):
                    self.problem(f"{label}: counts differ", text, f"{handle.name} {handle.link_count}")
                hs = HandleState(handle, kind, f"new{self.steps}", Pose(), self.new_model(), closable=True)
                self.check_handle(hs, text)
                self.add_handle(hs)
            elif expect is None:
                # a mutated file that still loads: it must compute without crashing
                zeros = np.zeros(handle.joint_count)
                base = (BaseState(),) if cls is FloatingRobot else ()
                for method in ("forward_kinematics_all", "mass_matrix", "gravity"):
                    result = attempt(getattr(handle, method), *base, zeros)
                    if not result.ok and disallowed(result.exc):
                        self.problem(f"{label}: mutated file computes badly", text, repr(result))
                handle.close()
            else:
                self.problem(f"{label}: succeeded where it must fail", text, f"acceptable: {expect}")
            return
        allowed = Expect()
        allowed.extend(expect if expect is not None else [(ModelError, None)])
        if valid:
            self.problem(f"{label}: unexpected failure", text, repr(outcome))
        else:
            self.judge_failure(label, text, outcome, allowed)

    def handle_wrong_self(self, rng):
        kind = self.pick_kind(rng)
        cls = kind.cls
        other_handle = self.world.pendulum if cls is FloatingRobot else self.handles["quadruped"][0].handle
        other = rng.choice([Pose(), other_handle,
                            self.buffers[0].buffer, 5, None])
        name = rng.choice(list(kind.methods) + ["fork", "close", "load_buffer", "link_id", "__enter__"])
        text = f"{cls.__name__}.{name}({short(other)}, ...)"
        outcome = self.call("wrong self", text, getattr(cls, name), other, np.zeros(kind.n))
        if outcome.ok or type(outcome.exc) is not TypeError:
            self.problem("unbound method with a wrong self", text, repr(outcome))
        prop = rng.choice(["name", "link_count"])
        outcome = self.call("wrong self", f"{cls.__name__}.{prop}.__get__({short(other)})",
                            getattr(cls, prop).__get__, other)
        if outcome.ok or type(outcome.exc) is not TypeError:
            self.problem("property getter with a wrong object", text, repr(outcome))
        if rng.random() < 0.3 and not isinstance(other, LoadBuffer):
            for target, args in ((LoadBuffer.set, (other, 0)), (LoadBuffer.clear, (other,)), (len, (LoadBuffer,))):
                outcome = self.call("wrong self", f"{short(target)}{short(args)}", target, *args)
                if outcome.ok or type(outcome.exc) is not TypeError:
                    self.problem("LoadBuffer method with a wrong self", short(target), repr(outcome))

    # -- pokes at generic protocols --------------------------------------------------------------

    def step_poke(self, rng):
        kind = self.pick_kind(rng)
        hs = self.pick_handle(rng, kind)
        targets = [hs.handle, rng.choice(self.buffers).buffer, Pose(), Twist(), BaseState(), Load(1), IkOptions()]
        obj = rng.choice(targets)
        op = rng.choice(["repr", "str", "dir", "copy", "deepcopy", "pickle", "weakref", "eq", "hash", "setattr",
                         "vars", "reduce"])
        text = f"{op}({type(obj).__name__} object{' (closed)' if obj is hs.handle and hs.closed else ''})"
        fns = {"repr": repr, "str": str, "dir": dir, "copy": copy.copy, "deepcopy": copy.deepcopy,
               "pickle": pickle.dumps, "weakref": weakref.ref, "eq": lambda o: (o == o, o != o, o == 3),
               "hash": hash, "setattr": lambda o: setattr(o, "velkor_extra", 1), "vars": vars,
               "reduce": lambda o: o.__reduce_ex__(2)}
        outcome = self.call(f"poke {op}", text, fns[op], obj)
        if not outcome.ok:
            if type(outcome.exc) not in (TypeError, AttributeError):
                self.problem(f"poke {op}: {type(outcome.exc).__name__}", text, repr(outcome))
            return
        if op in ("copy", "deepcopy") and outcome.result is not obj and type(outcome.result) is type(obj):
            # a copy must be usable (or refuse), never crash
            clone = outcome.result
            if isinstance(clone, (Robot, FloatingRobot)):
                result = attempt(kind.reference_calls, clone) if type(clone) is kind.cls else None
                if result is not None and not result.ok and disallowed(result.exc):
                    self.problem("copied handle misbehaves", text, repr(result))


_COUNTED = (np.ndarray, list, dict, set, frozenset, LyingSeq, Floaty, Indexy, BoomFloat, BoomIndex, BadFloat,
            Pose, Twist, BaseState, Load, IkOptions, LoadBuffer, Robot, FloatingRobot, memoryview, array.array)


def refcounts(objects):
    return [sys.getrefcount(obj) for obj in objects]


def refcount_targets(objects):
    """Argument objects whose reference count the fuzzer can watch (no shared singletons)."""
    unique = {}
    for obj in objects:
        if isinstance(obj, _COUNTED) or (type(obj) is tuple and len(obj) > 0):
            unique[id(obj)] = obj
    return list(unique.values())


def rng_attr(value):
    return {Pose: "translation", Twist: "angular", BaseState: "frame", Load: "link_id",
            IkOptions: "damping"}[type(value)]


def fuzz_summary(fuzzer, seconds=None):
    lines = [f"calls made: {sum(fuzzer.calls.values())} in {fuzzer.steps} steps"
             + (f" ({seconds:.1f} s)" if seconds else "")]
    lines.append("outcomes: " + ", ".join(f"{k}={v}" for k, v in fuzzer.failures.most_common()))
    lines.append("calls by entry point:")
    for name, count in sorted(fuzzer.calls.items()):
        lines.append(f"  {name:45s} {count}")
    lines.append(f"problems: {len(fuzzer.problems)} kinds, {sum(c for c, _ in fuzzer.problems.values())} occurrences")
    if fuzzer.problems:
        lines.append(fuzzer.report())
    return "\n".join(lines)


# ---------------------------------------------------------------------------------------------
# Thread stress

FRAME_A = Pose([0.3, -0.1, 0.8], [0.1, 0.2, -0.3, 0.9])
FRAME_B = Pose([-0.5, 0.4, 0.1], [0.0, 0.0, 0.6, 0.8])
INPUTS = 16
# loads the buffer shared by all threads may hold: each link has this load or none
BUFFER_LOADS = {2: ((0.5, -1.0, 2.0), (3.0, 0.0, -4.0)), 4: ((0.0, 1.5, 0.0), (-2.0, 1.0, 0.5)),
                6: ((-0.25, 0.0, 0.75), (0.0, 0.0, 9.0))}

STRESS_OPS = {
    # op: weight in the mixed profile
    "shared_robot": 12, "shared_floating": 8, "own_fork": 8, "own_frame": 3, "new_fork": 3,
    "flip_frame": 2, "flip_call": 5, "victim_call": 8, "victim_other": 3, "victim_close": 1,
    "buffer_mutate": 6, "buffer_use": 8, "buffer_len": 2, "array_write": 4, "array_read": 6,
    "common_out": 4, "shared_input": 4, "flip_fork": 2, "construct": 1, "copied_write": 3, "copied_read": 5,
}
PROFILES = {
    "mixed": STRESS_OPS,
    "close": {"victim_call": 10, "victim_other": 4, "victim_close": 2, "new_fork": 3, "shared_robot": 2},
    "buffer": {"buffer_mutate": 8, "buffer_use": 5, "buffer_len": 2, "shared_robot": 6, "shared_floating": 3},
    "arrays": {"array_write": 6, "array_read": 8, "common_out": 5, "shared_input": 4, "copied_write": 5,
               "copied_read": 8, "shared_robot": 1},
}


class Victim:
    """A fork of the shared robot that some thread closes while others call it."""

    def __init__(self, handle, serial):
        self.handle, self.serial = handle, serial
        self.closed = False  # set once close() has returned


class WorkerLog:
    """Per-thread tallies, merged after the threads end (no shared counters while running)."""

    def __init__(self, name):
        self.name = name
        self.calls = collections.Counter()
        self.refusals = collections.Counter()
        self.problems = []

    def problem(self, op, detail):
        self.problems.append(f"[{self.name}] {op}: {detail}")


class ThreadStress:
    """Worker threads mixing calls on shared handles, forks, a closing handle, a load buffer being
    changed, and arrays used as input in one thread and as out in another."""

    WATCHDOG = 60.0

    def __init__(self, seed=0, threads=8, profile="mixed"):
        self.seed, self.threads = seed, threads
        self.weights = PROFILES[profile]
        arm, quadruped = sample_path("arm"), sample_path("quadruped")
        data = np.random.default_rng(seed)
        self.q = data.uniform(-2, 2, (INPUTS, 7))
        self.qd = data.uniform(-2, 2, (INPUTS, 7))
        self.qdd = data.uniform(-2, 2, (INPUTS, 7))
        self.tau = data.uniform(-5, 5, (INPUTS, 7))
        self.fq = data.uniform(-1, 1, (INPUTS, 12))
        self.fqd = data.uniform(-1, 1, (INPUTS, 12))
        self.fqdd = data.uniform(-1, 1, (INPUTS, 12))
        self.ftau = data.uniform(-5, 5, (INPUTS, 18))
        self.bases = [BaseState(Pose(data.uniform(-1, 1, 3), data.uniform(-1, 1, 4)),
                                Twist(data.uniform(-1, 1, 3), data.uniform(-1, 1, 3)),
                                Twist(data.uniform(-1, 1, 3), data.uniform(-1, 1, 3))) for _ in range(INPUTS)]
        self.desired = [Pose(data.uniform(-0.3, 0.3, 3) + [0.3, 0.0, 0.6], [0, 1, 0, 0]) for _ in range(INPUTS)]

        self.robot = Robot(arm)
        self.robot.set_base_frame(FRAME_A)
        self.floating = FloatingRobot(quadruped)
        self.flip = self.robot.fork()

        # single-threaded results: (frame, method, i) -> fingerprint
        clean = Robot(arm)
        self.expected = {}
        for frame_name, frame in (("A", FRAME_A), ("B", FRAME_B)):
            clean.set_base_frame(frame)
            for method, (fn, _) in self.robot_calls().items():
                for i in range(INPUTS):
                    self.expected[(frame_name, method, i)] = outcome_print(attempt(fn, clean, i))
        clean_floating = FloatingRobot(quadruped)
        for method, (fn, _) in self.floating_calls().items():
            for i in range(INPUTS):
                self.expected[("F", method, i)] = outcome_print(attempt(fn, clean_floating, i))

        # the shared load buffer: the results for every set of links it may hold
        clean.set_base_frame(FRAME_A)
        self.buffer = self.robot.load_buffer()
        self.buffer_expected = {}
        links = sorted(BUFFER_LOADS)
        for method, fn in self.buffer_calls().items():
            for i in range(4):
                options = set()
                for mask in range(1 << len(links)):
                    loads = [Load(link, *BUFFER_LOADS[link]) for b, link in enumerate(links) if mask >> b & 1]
                    options.add(fingerprint(fn(clean, i, loads)))
                self.buffer_expected[(method, i)] = options

        # an array one thread reads as q while another writes it as out
        self.shared = np.array(self.q[5])
        self.shared_values = {self.shared.tobytes()} | {clean.gravity(self.q[k]).tobytes() for k in (6, 7)}
        self.shared_read = {fingerprint(clean.inverse_dynamics(np.frombuffer(v), self.qd[0], self.qdd[0]))
                            for v in self.shared_values}
        # memory that one thread writes through a plain out array while others read it through a
        # strided or a misaligned view (inputs the binding copies before computing)
        self.raw = bytearray(8 * 16 + 8)
        self.raw_out = np.frombuffer(self.raw, dtype=np.float64, count=7, offset=8)
        self.raw_out[:] = self.q[10]
        views = {"strided": lambda: np.frombuffer(self.raw, dtype=np.float64, count=14, offset=8)[::2],
                 "misaligned": lambda: np.frombuffer(self.raw, dtype=np.float64, count=7, offset=13)}
        self.copied_views = views
        self.copied_expected = {name: set() for name in views}
        states = [bytes(self.raw)]
        for k in (6, 7):
            clean.gravity(self.q[k], out=self.raw_out)
            states.append(bytes(self.raw))
        for state in states:
            self.raw[:] = state
            for name, view in views.items():
                self.copied_expected[name].add(outcome_print(attempt(
                    clean.inverse_dynamics, np.array(view()), self.qd[1], self.qdd[1])))
        self.raw[:] = states[0]
        self.raw_states = set(states)
        # an out array several forks write with the same inputs
        self.common_expected = clean.forward_kinematics_all(self.q[8])
        self.common = np.full(7 * self.robot.link_count, np.nan)
        clean.forward_kinematics_all(self.q[8], out=self.common)
        # one read-only array used as q by every thread at once
        self.readonly = np.array(self.q[9])
        self.readonly.flags.writeable = False
        self.readonly_expected = fingerprint(clean.inverse_dynamics(self.readonly, self.readonly, self.readonly))
        clean.close()
        clean_floating.close()

        self.victim_lock = threading.Lock()
        self.victims = 0
        self.victim = self.new_victim()
        self.logs = []

    # -- call tables ------------------------------------------------------------------------

    def robot_calls(self):
        q, qd, qdd, tau, desired = self.q, self.qd, self.qdd, self.tau, self.desired
        return {
            "forward_kinematics_all": (lambda h, i, out=None: h.forward_kinematics_all(q[i], out=out), 63),
            "forward_kinematics": (lambda h, i, out=None: h.forward_kinematics(q[i], i % 9), None),
            "jacobian": (lambda h, i, out=None: h.jacobian(q[i], 8 - i % 3, out=out), 42),
            "jacobian_derivative": (lambda h, i, out=None: h.jacobian_derivative(q[i], qd[i], 8, out=out), 42),
            "forward_velocity_kinematics": (lambda h, i, out=None: h.forward_velocity_kinematics(
                q[i], qd[i], 7, tool=FRAME_B), None),
            "forward_acceleration_kinematics": (lambda h, i, out=None: h.forward_acceleration_kinematics(
                q[i], qd[i], qdd[i], 6), None),
            "gravity": (lambda h, i, out=None: h.gravity(q[i], out=out), 7),
            "inverse_dynamics": (lambda h, i, out=None: h.inverse_dynamics(q[i], qd[i], qdd[i], out=out), 7),
            "forward_dynamics": (lambda h, i, out=None: h.forward_dynamics(q[i], qd[i], tau[i], out=out), 7),
            "mass_matrix": (lambda h, i, out=None: h.mass_matrix(q[i], out=out), 49),
            "velocity_product_forces": (lambda h, i, out=None: h.velocity_product_forces(q[i], qd[i], out=out), 7),
            "inverse_kinematics": (lambda h, i, out=None: h.inverse_kinematics(
                q[i], 8, desired[i], IkOptions(max_iterations=30, translation_tolerance=1e-3,
                                               rotation_tolerance=1e-2), out=out), 7),
        }

    def floating_calls(self):
        q, qd, qdd, tau, bases = self.fq, self.fqd, self.fqdd, self.ftau, self.bases
        return {
            "forward_kinematics_all": (lambda h, i, out=None: h.forward_kinematics_all(bases[i], q[i], out=out), 119),
            "jacobian": (lambda h, i, out=None: h.jacobian(bases[i], q[i], 16 - i % 4, out=out), 108),
            "jacobian_derivative": (lambda h, i, out=None: h.jacobian_derivative(
                bases[i], q[i], qd[i], 4, out=out), 108),
            "gravity": (lambda h, i, out=None: h.gravity(bases[i], q[i], out=out), 18),
            "inverse_dynamics": (lambda h, i, out=None: h.inverse_dynamics(bases[i], q[i], qd[i], qdd[i], out=out), 18),
            "forward_dynamics": (lambda h, i, out=None: h.forward_dynamics(bases[i], q[i], qd[i], tau[i], out=out), 18),
            "mass_matrix": (lambda h, i, out=None: h.mass_matrix(bases[i], q[i], out=out), 324),
            "velocity_product_forces": (lambda h, i, out=None: h.velocity_product_forces(
                bases[i], q[i], qd[i], out=out), 18),
        }

    def buffer_calls(self):
        q, qd, qdd, tau = self.q, self.qd, self.qdd, self.tau
        return {
            "gravity": lambda h, i, loads: h.gravity(q[i], loads=loads),
            "inverse_dynamics": lambda h, i, loads: h.inverse_dynamics(q[i], qd[i], qdd[i], loads=loads),
            "forward_dynamics": lambda h, i, loads: h.forward_dynamics(q[i], qd[i], tau[i], loads=loads),
        }

    def new_victim(self):
        self.victims += 1
        return Victim(self.robot.fork(), self.victims)

    # -- checks -------------------------------------------------------------------------------

    def check(self, log, op, outcome, expected, refusals=(), out=None):
        """expected: a fingerprint or a set of them; refusals: accepted (type, message) pairs."""
        if outcome.ok and out is not None:
            if outcome.result is not out:
                log.problem(op, "the result is not the out array passed")
            return  # another thread may be writing it now; its contents are checked at the end
        if not outcome.ok and (type(outcome.exc), str(outcome.exc)) in refusals:
            log.refusals[(op, str(outcome.exc))] += 1
            return
        if not outcome.ok and disallowed(outcome.exc):
            log.problem(op, f"{disallowed(outcome.exc)} raised")
            return
        if outcome_print(outcome) not in (expected if isinstance(expected, set) else {expected}):
            log.problem(op, f"outcome differs from the single-threaded one: {outcome!r}")

    def run_robot_call(self, log, op, handle, frame, rng, refusals=()):
        calls = self.floating_calls() if frame == "F" else self.robot_calls()
        method, (fn, length) = rng.choice(list(calls.items()))
        i = rng.randrange(INPUTS)
        out = np.empty(length) if length and rng.random() < 0.4 else None
        outcome = attempt(fn, handle, i, out)
        log.calls[op] += 1
        expected = self.expected[(frame, method, i)]
        if outcome.ok and out is not None:
            if outcome.result is not out or fingerprint(out) != expected:
                log.problem(op, f"{method}: out not filled with the single-threaded result")
            return outcome
        if not outcome.ok and out is not None and expected[0] != "raised" and \
                (type(outcome.exc), str(outcome.exc)) not in refusals:
            log.problem(op, f"{method}: failed with out given: {outcome!r}")
            return outcome
        self.check(log, op, outcome, expected, refusals)
        return outcome

    # -- operations --------------------------------------------------------------------------------

    def op_shared_robot(self, log, rng, local):
        self.run_robot_call(log, "shared_robot", self.robot, "A", rng)

    def op_shared_floating(self, log, rng, local):
        self.run_robot_call(log, "shared_floating", rng.choice([self.floating, local["floating"]]), "F", rng)

    def op_own_fork(self, log, rng, local):
        self.run_robot_call(log, "own_fork", local["fork"], "A", rng)

    def op_own_frame(self, log, rng, local):
        handle = local["framed"]
        frame_name = "B" if local["frame"] == "A" else "A"
        outcome = attempt(handle.set_base_frame, FRAME_B if frame_name == "B" else FRAME_A)
        log.calls["own_frame"] += 1
        if not outcome.ok:
            log.problem("own_frame", f"set_base_frame failed: {outcome!r}")
            return
        local["frame"] = frame_name
        self.run_robot_call(log, "own_frame", handle, frame_name, rng)

    def op_new_fork(self, log, rng, local):
        source = rng.choice([self.robot, self.floating])
        outcome = attempt(source.fork)
        log.calls["new_fork"] += 1
        if not outcome.ok:
            log.problem("new_fork", f"fork failed: {outcome!r}")
            return
        fork = outcome.result
        if source is self.robot:
            self.run_robot_call(log, "new_fork", fork, "A", rng)
        else:
            fn, _ = self.floating_calls()["inverse_dynamics"]
            i = rng.randrange(INPUTS)
            self.check(log, "new_fork", attempt(fn, fork, i), self.expected[("F", "inverse_dynamics", i)])
        fork.close()
        after = attempt(fork.forward_kinematics_all, *((self.bases[0],) if source is self.floating else ()),
                        self.fq[0] if source is self.floating else self.q[0])
        if after.ok or type(after.exc) is not RuntimeError or str(after.exc) != CLOSED:
            log.problem("new_fork", f"a closed fork answered: {after!r}")

    def op_flip_frame(self, log, rng, local):
        outcome = attempt(self.flip.set_base_frame, rng.choice([FRAME_A, FRAME_B]))
        log.calls["flip_frame"] += 1
        if not outcome.ok or outcome.result is not None:
            log.problem("flip_frame", f"set_base_frame failed: {outcome!r}")

    def op_flip_call(self, log, rng, local):
        method, (fn, _) = rng.choice(list(self.robot_calls().items()))
        i = rng.randrange(INPUTS)
        outcome = attempt(fn, self.flip, i)
        log.calls["flip_call"] += 1
        self.check(log, "flip_call", outcome, {self.expected[("A", method, i)], self.expected[("B", method, i)]})

    def op_flip_fork(self, log, rng, local):
        """A fork taken while another thread changes the base frame has one of the two frames, for good."""
        outcome = attempt(self.flip.fork)
        log.calls["flip_fork"] += 1
        if not outcome.ok:
            log.problem("flip_fork", f"fork failed: {outcome!r}")
            return
        fork = outcome.result
        fn, _ = self.robot_calls()["forward_kinematics_all"]
        first = outcome_print(attempt(fn, fork, 0))
        frame = {self.expected[("A", "forward_kinematics_all", 0)]: "A",
                 self.expected[("B", "forward_kinematics_all", 0)]: "B"}.get(first)
        if frame is None:
            log.problem("flip_fork", "the fork has neither base frame")
        else:
            for _ in range(3):
                self.run_robot_call(log, "flip_fork", fork, frame, rng)
        fork.close()

    def op_construct(self, log, rng, local):
        """Handles built at the same time get distinct models: their buffers do not mix."""
        outcome = attempt(Robot, sample_path("arm"))
        log.calls["construct"] += 1
        if not outcome.ok:
            log.problem("construct", f"Robot() failed: {outcome!r}")
            return
        handle = outcome.result
        buffer = handle.load_buffer()
        mixed = attempt(self.robot.gravity, self.q[0], loads=buffer)
        if mixed.ok or type(mixed.exc) is not ValueError or str(mixed.exc) != FOREIGN_LINK:
            log.problem("construct", f"a new model's buffer was not refused by another model: {mixed!r}")
        handle.set_base_frame(FRAME_A)
        self.run_robot_call(log, "construct", handle, "A", rng)
        own = attempt(handle.gravity, self.q[0], loads=buffer)
        self.check(log, "construct", own, self.expected[("A", "gravity", 0)])
        handle.close()

    def op_victim_call(self, log, rng, local):
        victim = self.victim
        closed_before = victim.closed
        outcome = self.run_robot_call(log, "victim_call", victim.handle, "A", rng,
                                      refusals={(RuntimeError, CLOSED)})
        if outcome.ok and closed_before:
            log.problem("victim_call", f"victim {victim.serial} computed after close() had returned")

    def op_victim_other(self, log, rng, local):
        victim = self.victim
        closed_before = victim.closed
        name = rng.choice(["fork", "load_buffer", "link_count", "link_id", "enter", "name"])
        fns = {"fork": victim.handle.fork, "load_buffer": victim.handle.load_buffer,
               "link_count": lambda: victim.handle.link_count, "link_id": lambda: victim.handle.link_id("tool"),
               "enter": victim.handle.__enter__, "name": lambda: victim.handle.name}
        outcome = attempt(fns[name])
        log.calls["victim_other"] += 1
        if not outcome.ok:
            if type(outcome.exc) is RuntimeError and str(outcome.exc) == CLOSED:
                log.refusals[("victim_other", CLOSED)] += 1
            else:
                log.problem("victim_other", f"{name}: unexpected {outcome!r}")
            return
        if closed_before:
            log.problem("victim_other", f"{name} answered after close() had returned")
        result = outcome.result
        want = {"link_count": 9, "link_id": 8, "name": "velkor_arm"}
        if name in want and result != want[name]:
            log.problem("victim_other", f"{name} gave {result!r}")
        elif name == "enter" and result is not victim.handle:
            log.problem("victim_other", "__enter__ returned something else")
        elif name == "fork":
            # the fork outlives its origin's close
            self.run_robot_call(log, "victim_other", result, "A", rng)
            result.close()
        elif name == "load_buffer":
            check = attempt(self.robot.gravity, self.q[0], loads=result)
            self.check(log, "victim_other", check, self.expected[("A", "gravity", 0)])

    def op_victim_close(self, log, rng, local):
        """Closes the victim while others call it; the next time, puts a fresh one in its place."""
        with self.victim_lock:
            victim = self.victim
            if victim.closed:
                self.victim = self.new_victim()
                return
            outcome = attempt(victim.handle.close)
            victim.closed = True
        log.calls["victim_close"] += 1
        if not outcome.ok or outcome.result is not None:
            log.problem("victim_close", f"close failed: {outcome!r}")
        again = attempt(victim.handle.close)
        if not again.ok or again.result is not None:
            log.problem("victim_close", f"second close failed: {again!r}")

    def op_buffer_mutate(self, log, rng, local):
        link = rng.choice(sorted(BUFFER_LOADS))
        torque, force = BUFFER_LOADS[link]
        what = rng.choice(["set", "set", "remove", "clear", "add_zero"])
        # a slow number keeps the buffer taken while other threads run
        slow = rng.random() < 0.15
        first = SlowFloat if slow else float
        if what == "set":
            outcome = attempt(self.buffer.set, link, [first(torque[0]), *torque[1:]], force=list(force))
        elif what == "add_zero":
            outcome = attempt(self.buffer.add, link, [first(0.0), 0.0, 0.0])
        elif what == "remove":
            outcome = attempt(self.buffer.remove, Indexy(link) if slow else link)
        else:
            outcome = attempt(self.buffer.clear)
        log.calls["buffer_mutate"] += 1
        if outcome.ok:
            if outcome.result is not None:
                log.problem("buffer_mutate", f"{what} returned {outcome.result!r}")
        elif type(outcome.exc) is RuntimeError and str(outcome.exc) == EXCLUSIVE_REFUSED:
            log.refusals[("buffer_mutate", EXCLUSIVE_REFUSED)] += 1
        else:
            log.problem("buffer_mutate", f"{what}: unexpected {outcome!r}")

    def op_buffer_use(self, log, rng, local):
        method, fn = rng.choice(list(self.buffer_calls().items()))
        i = rng.randrange(4)
        handle = rng.choice([self.robot, local["fork"]])
        outcome = attempt(fn, handle, i, self.buffer)
        log.calls["buffer_use"] += 1
        self.check(log, "buffer_use", outcome, self.buffer_expected[(method, i)], {(RuntimeError, SHARED_REFUSED)})

    def op_buffer_len(self, log, rng, local):
        outcome = attempt(len, self.buffer)
        log.calls["buffer_len"] += 1
        if outcome.ok:
            if outcome.result not in range(len(BUFFER_LOADS) + 1):
                log.problem("buffer_len", f"len() gave {outcome.result}")
        elif type(outcome.exc) is RuntimeError and str(outcome.exc) == SHARED_REFUSED:
            log.refusals[("buffer_len", SHARED_REFUSED)] += 1
        else:
            log.problem("buffer_len", f"unexpected {outcome!r}")

    def op_array_write(self, log, rng, local):
        k = rng.choice([6, 7])
        handle = rng.choice([self.robot, local["fork"]])
        outcome = attempt(handle.gravity, self.q[k], out=self.shared)
        log.calls["array_write"] += 1
        self.check(log, "array_write", outcome, None, {(ValueError, BORROWED)}, out=self.shared)

    def op_array_read(self, log, rng, local):
        handle = rng.choice([self.robot, local["fork"]])
        outcome = attempt(handle.inverse_dynamics, self.shared, self.qd[0], self.qdd[0])
        log.calls["array_read"] += 1
        self.check(log, "array_read", outcome, self.shared_read, {(ValueError, BORROWED)})

    def op_copied_write(self, log, rng, local):
        handle = rng.choice([self.robot, local["fork"]])
        outcome = attempt(handle.gravity, self.q[rng.choice([6, 7])], out=self.raw_out)
        log.calls["copied_write"] += 1
        self.check(log, "copied_write", outcome, None, {(ValueError, BORROWED)}, out=self.raw_out)

    def op_copied_read(self, log, rng, local):
        name = rng.choice(sorted(self.copied_views))
        handle = rng.choice([self.robot, local["fork"]])
        outcome = attempt(handle.inverse_dynamics, self.copied_views[name](), self.qd[1], self.qdd[1])
        log.calls["copied_read"] += 1
        self.check(log, "copied_read", outcome, self.copied_expected[name], {(ValueError, BORROWED)})

    def op_common_out(self, log, rng, local):
        outcome = attempt(local["fork"].forward_kinematics_all, self.q[8], out=self.common)
        log.calls["common_out"] += 1
        self.check(log, "common_out", outcome, None, {(ValueError, BORROWED)}, out=self.common)

    def op_shared_input(self, log, rng, local):
        handle = rng.choice([self.robot, local["fork"]])
        outcome = attempt(handle.inverse_dynamics, self.readonly, self.readonly, self.readonly)
        log.calls["shared_input"] += 1
        self.check(log, "shared_input", outcome, self.readonly_expected)

    # -- running ---------------------------------------------------------------------------------

    def worker(self, index, stop, log):
        rng = random.Random(self.seed * 1000 + index)
        framed = self.robot.fork()
        local = {"fork": self.robot.fork(), "floating": self.floating.fork(), "framed": framed, "frame": "A"}
        ops = list(self.weights)
        weights = [self.weights[o] for o in ops]
        count = 0
        with warnings.catch_warnings():
            while not stop(count):
                op = rng.choices(ops, weights)[0]
                try:
                    getattr(self, "op_" + op)(log, rng, local)
                except Exception as exc:  # noqa: BLE001 - a failure of the stress code itself
                    log.problem(op, f"stress code failed: {exc!r}\n{traceback.format_exc()}")
                count += 1
        for handle in (local["fork"], local["floating"], framed):
            handle.close()

    def run(self, calls_per_thread=None, seconds=None):
        """Runs the workers for a fixed number of operations each, or for a time; returns the logs."""
        if seconds is not None:
            deadline = time.monotonic() + seconds
            stop = lambda count: count % 16 == 0 and time.monotonic() >= deadline  # noqa: E731
        else:
            stop = lambda count: count >= calls_per_thread  # noqa: E731
        logs = [WorkerLog(f"t{i}") for i in range(self.threads)]
        threads = [threading.Thread(target=self.worker, args=(i, stop, logs[i]), name=f"stress-{i}", daemon=True)
                   for i in range(self.threads)]
        for thread in threads:
            thread.start()
        limit = time.monotonic() + (seconds or 0) + self.WATCHDOG
        for thread in threads:
            thread.join(max(0.0, limit - time.monotonic()))
        stuck = [t.name for t in threads if t.is_alive()]
        self.logs = logs
        if stuck:
            faulthandler.dump_traceback(file=sys.stderr, all_threads=True)
            logs[0].problem("watchdog", f"threads still running after the watchdog limit: {stuck}")
            return logs
        self.final_checks(logs[0])
        return logs

    def final_checks(self, log):
        """Single-threaded again: nothing is left held, and everything still computes exactly."""
        if self.shared.tobytes() not in self.shared_values:
            log.problem("final", "the array written by several threads holds a torn value")
        if bytes(self.raw) not in self.raw_states:
            log.problem("final", "the memory written through an out array and read through views is torn")
        if fingerprint(self.common) != fingerprint(self.common_expected):
            log.problem("final", "the out array written by several forks holds a wrong value")
        for name, array_ in (("shared", self.shared), ("common", self.common)):
            outcome = attempt(self.robot.gravity, self.q[0], out=array_[:7])
            if not outcome.ok:
                log.problem("final", f"the {name} array is still held: {outcome!r}")
        for link in BUFFER_LOADS:
            outcome = attempt(self.buffer.remove, link)
            if not outcome.ok:
                log.problem("final", f"the load buffer is still borrowed: {outcome!r}")
        if attempt(len, self.buffer).result != 0:
            log.problem("final", "the load buffer is not empty after removing every link")
        handles = [self.robot] + ([] if self.victim.closed else [self.victim.handle])
        for frame, handle in (("A", h) for h in handles):
            for method, (fn, _) in self.robot_calls().items():
                outcome = attempt(fn, handle, 3)
                self.check(log, "final", outcome, self.expected[(frame, method, 3)])
        for method, (fn, _) in self.floating_calls().items():
            self.check(log, "final", attempt(fn, self.floating, 3), self.expected[("F", method, 3)])

    def close(self):
        for handle in (self.robot, self.floating, self.flip, self.victim.handle):
            handle.close()


def outcome_print(outcome):
    """A result's fingerprint, or the exception type and message of a failure."""
    if outcome.ok:
        return fingerprint(outcome.result)
    return ("raised", type(outcome.exc).__name__, str(outcome.exc))


def stress_summary(logs, seconds=None):
    calls, refusals, problems = collections.Counter(), collections.Counter(), []
    for log in logs:
        calls.update(log.calls)
        refusals.update(log.refusals)
        problems.extend(log.problems)
    lines = [f"calls: {sum(calls.values())}" + (f" in {seconds:.1f} s" if seconds else "")]
    lines.append("calls per kind:")
    lines.extend(f"  {op:18s} {count}" for op, count in sorted(calls.items()))
    lines.append("refusals per kind:")
    lines.extend(f"  {op:18s} {message!r}: {count}" for (op, message), count in sorted(refusals.items()))
    lines.append(f"problems: {len(problems)}")
    lines.extend("  " + p for p in problems[:40])
    return "\n".join(lines), calls, refusals, problems
