"""velkor's thread stress engine.

`ThreadStress` runs worker threads against shared handles, forks, a handle being closed or pickled,
a load buffer being changed, batch evaluators of their own and shared ones, one shared constraint
set, Python lists that one thread refills while others pass them in, and arrays used as input by
one thread and as `out` by another. Every result
is compared bit for bit with a single-threaded computation made beforehand, every refusal must be
a documented one, and a watchdog turns a deadlock into a problem with every thread's stack dumped.

tests/test_stress.py runs it with fixed operation counts; stress/thread_stress.py runs it for a
given time. Everything here depends only on velkor, NumPy and the standard library.
"""

from __future__ import annotations

import collections
import faulthandler
import pickle
import random
import struct
import sys
import threading
import time
import traceback
import warnings

import numpy as np

from velkor import (
    BaseState,
    Contact,
    FloatingRobot,
    IkOptions,
    Load,
    ModelError,
    PanicError,
    Pose,
    Robot,
    SolverError,
    Twist,
    VelkorError,
)
from velkor.samples import sample_path

CLOSED = "robot is closed"
BORROWED = "The given array is already borrowed"
EXCLUSIVE_REFUSED = "Already borrowed"
SHARED_REFUSED = "Already mutably borrowed"
FOREIGN_LINK = "link identifier does not belong to this robot model"
RUNTIME_MESSAGES = frozenset({CLOSED, EXCLUSIVE_REFUSED, SHARED_REFUSED})


class Indexy:
    """An integer only through __index__ (its conversion runs Python code)."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class SlowFloat:
    """A float whose conversion lets other threads run (used to widen race windows)."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        time.sleep(0)
        return self.value


# ---------------------------------------------------------------------------------------------
# Outcomes, compared bit for bit


def fingerprint(result):
    """Bytes that identify a result exactly (NaN payloads and signed zeros included)."""
    if isinstance(result, np.ndarray):
        return ("ndarray", result.dtype.str, result.shape, result.tobytes())
    if type(result) is tuple:
        return ("tuple",) + tuple(fingerprint(item) for item in result)
    if isinstance(result, Pose):
        values = result.rotation_xyzw + result.translation
    elif isinstance(result, Twist):
        values = result.angular + result.linear
    else:
        return ("other", type(result).__name__, repr(result))
    return (type(result).__name__, struct.pack(f"{len(values)}d", *values))


def disallowed(exc):
    """Why an exception may never leave a velkor call, or None when its type is a documented one."""
    kind = type(exc)
    if kind in (TypeError, OverflowError, SolverError, ModelError):
        return None
    if isinstance(exc, ValueError) and not isinstance(exc, VelkorError):
        return None
    if kind is RuntimeError:
        return None if str(exc) in RUNTIME_MESSAGES else f"RuntimeError({str(exc)!r})"
    if isinstance(exc, PanicError):
        return f"PanicError({str(exc)!r})"
    return f"{kind.__module__}.{kind.__qualname__}({str(exc)[:200]!r})"


class Outcome:
    __slots__ = ("ok", "result", "exc")

    def __init__(self, ok, result=None, exc=None):
        self.ok, self.result, self.exc = ok, result, exc

    def __repr__(self):
        if not self.ok:
            return f"{type(self.exc).__name__}({str(self.exc)!r})"
        if isinstance(self.result, np.ndarray):
            return f"ndarray(shape={self.result.shape}, {self.result.ravel()[:8]}...)"
        return repr(self.result)


def attempt(fn, /, *args, **kwargs):
    try:
        return Outcome(True, fn(*args, **kwargs))
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as exc:  # noqa: BLE001 - the outcome is judged by the caller
        return Outcome(False, exc=exc)


# ---------------------------------------------------------------------------------------------
# Thread stress

FRAME_A = Pose([0.3, -0.1, 0.8], [0.1, 0.2, -0.3, 0.9])
FRAME_B = Pose([-0.5, 0.4, 0.1], [0.0, 0.0, 0.6, 0.8])
INPUTS = 16
# loads the buffer shared by all threads may hold: each link has this load or none
BUFFER_LOADS = {2: ((0.5, -1.0, 2.0), (3.0, 0.0, -4.0)), 4: ((0.0, 1.5, 0.0), (-2.0, 1.0, 0.5)),
                6: ((-0.25, 0.0, 0.75), (0.0, 0.0, 9.0))}

# loads a shared Python list holds, one whole variant at a time: (link, torque, force) each
LIST_LOADS = (
    tuple((2 + k % 7, (0.5 * k, -1.0, 0.25), (1.0, 0.125 * k, -2.0)) for k in range(12)),
    tuple((1 + k % 8, (-0.75, 0.5 * k, 1.0), (0.25 * k, 3.0, 0.5)) for k in range(20)),
)

STRESS_OPS = {
    # op: weight in the mixed profile
    "shared_robot": 12, "shared_floating": 8, "own_fork": 8, "own_frame": 3, "new_fork": 3,
    "flip_frame": 2, "flip_call": 5, "victim_call": 8, "victim_other": 3, "victim_close": 1,
    "buffer_mutate": 6, "buffer_use": 8, "buffer_len": 2, "array_write": 4, "array_read": 6,
    "common_out": 4, "shared_input": 4, "flip_fork": 2, "construct": 1, "copied_write": 3, "copied_read": 5,
    "batch_own": 2, "batch_shared": 2, "batch_floating": 2, "batch_out_write": 1, "batch_out_read": 1,
    "constraint_use": 3, "pickle": 1, "list_refill": 3, "loads_list_use": 3, "bases_list_use": 2,
    "names_list_use": 2,
}
PROFILES = {
    "mixed": STRESS_OPS,
    "close": {"victim_call": 10, "victim_other": 4, "victim_close": 2, "new_fork": 3, "shared_robot": 2,
              "pickle": 3},
    "buffer": {"buffer_mutate": 8, "buffer_use": 5, "buffer_len": 2, "shared_robot": 6, "shared_floating": 3},
    "arrays": {"array_write": 6, "array_read": 8, "common_out": 5, "shared_input": 4, "copied_write": 5,
               "copied_read": 8, "shared_robot": 1},
    "batch": {"batch_own": 4, "batch_shared": 4, "batch_floating": 4, "batch_out_write": 3, "batch_out_read": 3,
              "constraint_use": 4, "shared_robot": 1},
    "lists": {"list_refill": 6, "loads_list_use": 5, "bases_list_use": 3, "names_list_use": 4, "shared_robot": 1},
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

        # batch evaluators shared by every thread (each thread has its own too) and one constraint set:
        # results as a single-threaded batch (one thread) of the same model gives them
        self.constraints = self.robot.constraint_set([Contact(8, "frame")])
        twin = self.robot.fork()  # the constraint set's model, frame A
        twin_batch = twin.batch(1)
        self.shared_batch = self.robot.batch(2)
        self.floating_batch = self.floating.batch(2)
        self.base_rows = np.array([base.to_array() for base in self.bases])
        self.batch_expected = {}
        for method, (fn, _) in self.batch_calls().items():
            self.batch_expected[method] = outcome_print(attempt(fn, twin_batch))
        clean_floating_batch = clean_floating.batch(1)
        for method, (fn, _) in self.floating_batch_calls().items():
            self.batch_expected[("F", method)] = outcome_print(attempt(fn, clean_floating_batch))
        self.constraint_expected = {}
        for method, fn in self.constraint_calls().items():
            for i in range(INPUTS):
                self.constraint_expected[(method, i)] = outcome_print(attempt(fn, twin, i))
        # batch rows written as out with one of two inputs by some threads, read as rows by others
        self.batch_sources = (self.q, self.qd)
        self.batch_out = np.empty((INPUTS, 7))
        twin_batch.gravity(self.q, out=self.batch_out)
        self.batch_out_values = {twin_batch.gravity(source).tobytes() for source in self.batch_sources}
        self.batch_out_read = {fingerprint(twin_batch.inverse_dynamics(
            np.frombuffer(v).reshape(INPUTS, 7), self.qd, self.qdd)) for v in self.batch_out_values}

        # Python lists that one thread refills (slice assignment, with new objects) while others pass
        # them in: each result is that of one whole variant
        self.loads_list = self.list_loads(0)
        self.loads_list_expected = {(method, i): {fingerprint(fn(clean, i, self.list_loads(v))) for v in range(2)}
                                    for method, fn in self.buffer_calls().items() for i in range(4)}
        self.base_variants = (self.base_rows, self.base_rows[::-1])
        self.bases_list = self.list_bases(0)
        self.bases_list_expected = {fingerprint(clean_floating_batch.inverse_dynamics(
            self.list_bases(v), self.fq, self.fqd, self.fqdd)) for v in range(2)}
        names = clean.dof_names
        self.name_variants = (names, names[::-1])
        self.names_list = self.list_names(0)
        self.names_expected = {inverse: {fingerprint(clean.dof_order(self.list_names(v), inverse=inverse))
                                         for v in range(2)} for inverse in (False, True)}
        twin.close()
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

    def batch_calls(self):
        q, qd, qdd, tau = self.q, self.qd, self.qdd, self.tau
        return {
            "forward_kinematics_all": (lambda b, out=None: b.forward_kinematics_all(q, out=out), (INPUTS, 63)),
            "jacobian": (lambda b, out=None: b.jacobian(q, 8, out=out), (INPUTS, 42)),
            "gravity": (lambda b, out=None: b.gravity(q, out=out), (INPUTS, 7)),
            "inverse_dynamics": (lambda b, out=None: b.inverse_dynamics(q, qd, qdd, out=out), (INPUTS, 7)),
            "forward_dynamics": (lambda b, out=None: b.forward_dynamics(q, qd, tau, out=out), (INPUTS, 7)),
            "mass_matrix": (lambda b, out=None: b.mass_matrix(q, out=out), (INPUTS, 49)),
            "constrained_forward_dynamics": (lambda b, out=None: b.constrained_forward_dynamics(
                q, qd, tau, self.constraints), None),
        }

    def floating_batch_calls(self):
        q, qd, qdd, tau, bases, rows = self.fq, self.fqd, self.fqdd, self.ftau, tuple(self.bases), self.base_rows
        return {
            "gravity": (lambda b, out=None: b.gravity(rows, q, out=out), (INPUTS, 18)),
            "inverse_dynamics": (lambda b, out=None: b.inverse_dynamics(bases, q, qd, qdd, out=out), (INPUTS, 18)),
            "forward_dynamics": (lambda b, out=None: b.forward_dynamics(rows, q, qd, tau, out=out), (INPUTS, 18)),
            "mass_matrix": (lambda b, out=None: b.mass_matrix(bases, q, out=out), (INPUTS, 324)),
        }

    def constraint_calls(self):
        q, qd, tau = self.q, self.qd, self.tau
        return {
            "constrained_forward_dynamics": lambda h, i: h.constrained_forward_dynamics(
                q[i], qd[i], tau[i], self.constraints),
            "constraint_jacobian": lambda h, i: h.constraint_jacobian(q[i], self.constraints),
            "constraint_poses": lambda h, i: h.constraint_poses(q[i], self.constraints),
        }

    def list_loads(self, variant):
        return [Load(link, torque, force) for link, torque, force in LIST_LOADS[variant]]

    def list_bases(self, variant):
        return [BaseState.from_array(row) for row in self.base_variants[variant]]

    def list_names(self, variant):
        return [name.encode().decode() for name in self.name_variants[variant]]  # new str objects

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

    def run_batch_call(self, log, op, batch, floating, rng):
        calls = self.floating_batch_calls() if floating else self.batch_calls()
        method, (fn, shape) = rng.choice(list(calls.items()))
        out = np.empty(shape) if shape and rng.random() < 0.4 else None
        outcome = attempt(fn, batch, out)
        log.calls[op] += 1
        expected = self.batch_expected[("F", method) if floating else method]
        if outcome.ok and out is not None:
            if outcome.result is not out or fingerprint(out) != expected:
                log.problem(op, f"{method}: out not filled with the single-threaded batch's result")
            return
        self.check(log, op, outcome, expected)

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

    def op_batch_own(self, log, rng, local):
        self.run_batch_call(log, "batch_own", local["batch"], False, rng)

    def op_batch_shared(self, log, rng, local):
        floating = rng.random() < 0.4
        self.run_batch_call(log, "batch_shared", self.floating_batch if floating else self.shared_batch, floating, rng)

    def op_batch_floating(self, log, rng, local):
        self.run_batch_call(log, "batch_floating", local["floating_batch"], True, rng)

    def op_batch_out_write(self, log, rng, local):
        batch = rng.choice([self.shared_batch, local["batch"]])
        outcome = attempt(batch.gravity, self.batch_sources[rng.randrange(2)], out=self.batch_out)
        log.calls["batch_out_write"] += 1
        self.check(log, "batch_out_write", outcome, None, {(ValueError, BORROWED)}, out=self.batch_out)

    def op_batch_out_read(self, log, rng, local):
        batch = rng.choice([self.shared_batch, local["batch"]])
        outcome = attempt(batch.inverse_dynamics, self.batch_out, self.qd, self.qdd)
        log.calls["batch_out_read"] += 1
        self.check(log, "batch_out_read", outcome, self.batch_out_read, {(ValueError, BORROWED)})

    def op_constraint_use(self, log, rng, local):
        method, fn = rng.choice(list(self.constraint_calls().items()))
        i = rng.randrange(INPUTS)
        victim = self.victim
        handle = rng.choice([self.robot, local["fork"], victim.handle])
        outcome = attempt(fn, handle, i)
        log.calls["constraint_use"] += 1
        self.check(log, "constraint_use", outcome, self.constraint_expected[(method, i)], {(RuntimeError, CLOSED)})

    def op_pickle(self, log, rng, local):
        """A pickle taken while others compute on the handle (or close it) restores it whole."""
        which = rng.choice(["robot", "flip", "victim", "floating"])
        source = {"robot": self.robot, "flip": self.flip, "victim": self.victim.handle,
                  "floating": self.floating}[which]
        outcome = attempt(pickle.dumps, source)
        log.calls["pickle"] += 1
        if not outcome.ok:
            if which == "victim" and type(outcome.exc) is RuntimeError and str(outcome.exc) == CLOSED:
                log.refusals[("pickle", CLOSED)] += 1
            else:
                log.problem("pickle", f"{which}: pickling failed: {outcome!r}")
            return
        restored = attempt(pickle.loads, outcome.result)
        if not restored.ok:
            log.problem("pickle", f"{which}: unpickling failed: {restored!r}")
            return
        handle = restored.result
        frame = "F" if which == "floating" else "A"
        if which == "flip":
            fn, _ = self.robot_calls()["forward_kinematics_all"]
            first = outcome_print(attempt(fn, handle, 0))
            frame = {self.expected[("A", "forward_kinematics_all", 0)]: "A",
                     self.expected[("B", "forward_kinematics_all", 0)]: "B"}.get(first)
            if frame is None:
                log.problem("pickle", "the restored handle has neither base frame")
        if frame is not None:
            self.run_robot_call(log, "pickle", handle, frame, rng)
        handle.close()

    def op_list_refill(self, log, rng, local):
        which, variant = rng.choice(["loads", "bases", "names"]), rng.randrange(2)
        if which == "loads":
            self.loads_list[:] = self.list_loads(variant)
        elif which == "bases":
            self.bases_list[:] = self.list_bases(variant)
        else:
            self.names_list[:] = self.list_names(variant)
        log.calls["list_refill"] += 1

    def op_loads_list_use(self, log, rng, local):
        method, fn = rng.choice(list(self.buffer_calls().items()))
        i = rng.randrange(4)
        outcome = attempt(fn, rng.choice([self.robot, local["fork"]]), i, self.loads_list)
        log.calls["loads_list_use"] += 1
        self.check(log, "loads_list_use", outcome, self.loads_list_expected[(method, i)])

    def op_bases_list_use(self, log, rng, local):
        batch = rng.choice([self.floating_batch, local["floating_batch"]])
        outcome = attempt(batch.inverse_dynamics, self.bases_list, self.fq, self.fqd, self.fqdd)
        log.calls["bases_list_use"] += 1
        self.check(log, "bases_list_use", outcome, self.bases_list_expected)

    def op_names_list_use(self, log, rng, local):
        inverse = rng.random() < 0.5
        outcome = attempt(rng.choice([self.robot, local["fork"]]).dof_order, self.names_list, inverse=inverse)
        log.calls["names_list_use"] += 1
        self.check(log, "names_list_use", outcome, self.names_expected[inverse])

    # -- running ---------------------------------------------------------------------------------

    def worker(self, index, stop, log):
        rng = random.Random(self.seed * 1000 + index)
        framed = self.robot.fork()
        local = {"fork": self.robot.fork(), "floating": self.floating.fork(), "framed": framed, "frame": "A"}
        local["batch"], local["floating_batch"] = local["fork"].batch(2), local["floating"].batch(2)
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
        if self.batch_out.tobytes() not in self.batch_out_values:
            log.problem("final", "the batch rows written by several threads are torn")
        for name, array_ in (("shared", self.shared), ("common", self.common), ("batch", self.batch_out[0])):
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
