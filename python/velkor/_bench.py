"""`velkor bench`: the median time per call of every computing method of one robot."""

import os
import statistics
import time
from collections.abc import Callable
from typing import NamedTuple

import velkor
from velkor._cli_io import Loaded, _base_kind, _base_state, _name, _reason, _say


class Method(NamedTuple):
    """A computing method of the handles and how bench calls it."""

    name: str
    # What it is called with, after a floating robot's base state: q, qd, qdd (joint vectors),
    # forces (generalized), link (the last link), start and goal (a configuration near q and
    # the pose of the last link at q), constraints (the last link's origin held as a point
    # contact), - (None: no loads, default solver options); configuration (the base state's pose
    # and q), configuration1 (a configuration near it), velocity (generalized), half (0.5),
    # steps (zero forces for 10 steps), dt (1 ms).
    arguments: str
    out: bool  # timed writing into an out= array made beforehand
    fixed_base_only: bool = False
    slow: bool = False  # timed with 1/20 of the calls
    takes_base: bool = True  # False: a floating robot's call has no base state first


# Every computing method of Robot and FloatingRobot, in the order bench prints them.
COMPUTING_METHODS = (
    Method("forward_kinematics_all", "q", out=True),
    Method("forward_kinematics", "q link", out=False),
    Method("jacobian", "q link", out=True),
    Method("jacobian_derivative", "q qd link", out=True),
    Method("forward_velocity_kinematics", "q qd link", out=False),
    Method("forward_acceleration_kinematics", "q qd qdd link", out=False),
    Method("mass_matrix", "q", out=True),
    Method("gravity", "q -", out=True),
    Method("inverse_dynamics", "q qd qdd -", out=True),
    Method("velocity_product_forces", "q qd", out=True),
    Method("forward_dynamics", "q qd forces -", out=True),
    Method("inverse_dynamics_derivatives", "q qd qdd -", out=True),
    Method("forward_dynamics_derivatives", "q qd forces -", out=True),
    Method("gravity_derivatives", "q", out=True),
    Method("center_of_mass", "q", out=True),
    Method("center_of_mass_velocity", "q qd", out=True),
    Method("center_of_mass_jacobian", "q", out=True),
    Method("centroidal_momentum", "q qd", out=True),
    Method("centroidal_momentum_matrix", "q", out=True),
    Method("kinetic_energy", "q qd", out=False),
    Method("potential_energy", "q", out=False),
    Method("constraint_jacobian", "q constraints", out=True),
    Method("constraint_acceleration_bias", "q qd constraints", out=True),
    Method("constraint_poses", "q constraints", out=True),
    Method("constrained_forward_dynamics", "q qd forces constraints", out=True),
    Method("impulse_dynamics", "q qd constraints", out=True),
    Method("constrained_dynamics_derivatives", "q qd forces constraints", out=True),
    Method("inverse_kinematics", "start link goal -", out=True, fixed_base_only=True, slow=True),
    Method("integrate", "configuration velocity", out=True, takes_base=False),
    Method("difference", "configuration configuration1", out=True, takes_base=False),
    Method("interpolate", "configuration configuration1 half", out=True, takes_base=False),
    Method("integrate_derivatives", "configuration velocity", out=True, takes_base=False),
    Method("difference_derivatives", "configuration configuration1", out=True, takes_base=False),
    Method("rollout", "configuration velocity steps dt", out=True, takes_base=False),
)


CONSTRAINED = {method.name for method in COMPUTING_METHODS if "constraints" in method.arguments.split()}


def median_ns(call: Callable[[], object], calls: int, repeats: int = 5) -> float:
    """Median over `repeats` batches of the time of one call, in ns, after a short warm-up."""
    for _ in range(min(calls, 100)):
        call()
    samples = []
    for _ in range(repeats):
        start = time.perf_counter_ns()
        for _ in range(calls):
            call()
        samples.append((time.perf_counter_ns() - start) / calls)
    return statistics.median(samples)


def _bench_calls(robot, floating: bool) -> dict[str, Callable[[], Callable[[], object]]]:
    """Every computing method as a preparation that binds its arguments and allocates its out=
    array, then returns the call to time: a method too large for memory fails on its own."""
    import numpy as np

    rng = np.random.default_rng(0)
    n, target = robot.joint_count, robot.link_count - 1
    q = robot.random_configuration(rng)
    qd, qdd = rng.uniform(-1, 1, n), rng.uniform(-1, 1, n)
    forces = rng.uniform(-1, 1, robot.generalized_count)
    motion = velkor.Twist(angular=[0.1, -0.2, 0.3], linear=[0.2, 0.1, -0.1])
    base = _base_state(velocity=motion, acceleration=motion)
    lead = (base,) if floating else ()
    values = {"q": q, "qd": qd, "qdd": qdd, "forces": forces, "link": target, "-": None}
    pose = base.frame if floating else None
    values["configuration"] = np.r_[pose.translation, pose.rotation_xyzw, q] if pose else q
    values["velocity"] = rng.uniform(-1, 1, robot.generalized_count)
    values["configuration1"] = robot.integrate(values["configuration"], values["velocity"], 0.1)
    values |= {"half": 0.5, "steps": np.zeros((10, robot.generalized_count)), "dt": 1e-3}

    def value(word: str) -> object:
        if word == "start":
            return q + 0.05
        if word == "goal":
            return robot.forward_kinematics(q, target)
        if word == "constraints":
            return robot.constraint_set([velkor.Contact(target)])
        return values[word]

    def preparation(method: Method) -> Callable[[], Callable[[], object]]:
        def prepare() -> Callable[[], object]:
            call = getattr(robot, method.name)
            arguments = (*(lead if method.takes_base else ()), *map(value, method.arguments.split()))
            if not method.out:
                return lambda: call(*arguments)
            result = call(*arguments)  # an array, or a tuple of them (the derivatives)
            out = tuple(map(np.empty_like, result)) if isinstance(result, tuple) else np.empty_like(result)
            return lambda: call(*arguments, out=out)
        return prepare

    return {method.name: preparation(method) for method in COMPUTING_METHODS
            if not (floating and method.fixed_base_only)}


def _load_average() -> str:
    try:
        one, five, fifteen = os.getloadavg()
    except (AttributeError, OSError):  # not every system keeps one
        return "load average unavailable"
    return f"load average {one:.2f} {five:.2f} {fifteen:.2f} (1, 5, 15 min)"


def bench(robot: Loaded, floating: bool, label: str, calls: int, argument: str) -> int:
    """Times every computing method of `robot` (loaded from `argument`, shown as `label`), then
    closes it; the exit status: 1 when a method failed."""
    with robot:
        target = robot.link_count - 1
        _say(f"robot {robot.name} ({_base_kind(floating)}) from {label}: {robot.joint_count} DOF, "
             f"{robot.link_count} links, target link {target} {_name(robot.link_names[target])}")
        slow = [m.name for m in COMPUTING_METHODS if m.slow and not (floating and m.fixed_base_only)]
        fewer = max(1, calls // 20)
        solver = f" ({', '.join(f'{name}: {fewer}' for name in slow)})" if slow else ""
        _say(f"  median ns per call over 5 repeats of {calls} calls{solver}; {_load_average()}")
        try:
            prepared = _bench_calls(robot, floating)
        except (velkor.VelkorError, ValueError, MemoryError) as error:
            _say(f"velkor: {argument}: {_reason(error)}", error=True)
            return 1
        failed = False
        for name, prepare in prepared.items():
            count = fewer if name in slow else calls
            try:
                figure = f"{median_ns(prepare(), count):>12.0f}"
            except velkor.SolverError as error:
                # a robot whose last link cannot be held as a point contact at q (too few joints)
                if name not in CONSTRAINED:
                    figure, failed = f"failed: {_reason(error)}", True
                else:
                    figure = "skipped: the last link cannot be held still as a point contact"
            except (velkor.VelkorError, ValueError, MemoryError) as error:
                figure, failed = f"failed: {_reason(error)}", True
            _say(f"  {name:<34}{figure}")
    return 1 if failed else 0
