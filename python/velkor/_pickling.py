"""Pickling and copying of the value classes, by their public fields.

Each value travels as the arguments of its constructor, floats as floats, so an
unpickled value holds the same bits. Robot and FloatingRobot pickle themselves
(``__reduce__``: the URDF document, the load options, base frame and gravity).
A ``LoadBuffer`` does not pickle: it belongs to one model in one process and
may be borrowed by running calls; build a new one with ``robot.load_buffer()``.
Nor does a ``ConstraintSet``: it belongs to one model in one process; its items
pickle, and ``robot.constraint_set(items)`` makes it again. A ``ConstraintTask``
holds one, so it does not pickle either; ``PoseTask`` and ``CenterOfMassTask``
do (a ``PoseTask`` through ``copyreg.__newobj_ex__``, for its keyword-only
arguments).
"""

import copyreg
from collections.abc import Callable
from typing import Any

from _velkor import (
    BaseState,
    CenterOfMassTask,
    ConstraintSet,
    ConstraintTask,
    Contact,
    IkOptions,
    Load,
    LoadBuffer,
    LoopClosure,
    Pose,
    PoseTask,
    Twist,
)


def _pose(p: Pose):
    return Pose, (p.translation, p.rotation_xyzw)


def _twist(t: Twist):
    return Twist, (t.angular, t.linear)


def _base_state(b: BaseState):
    return BaseState, (b.frame, b.velocity, b.acceleration)


def _load(w: Load):
    return Load, (w.link_id, w.torque, w.force)


def _ik_options(o: IkOptions):
    return IkOptions, (o.max_iterations, o.translation_tolerance, o.rotation_tolerance, o.damping,
                       o.max_step_norm)


def _contact(c: Contact):
    return Contact, (c.link_id, c.kind, c.offset, c.target)


def _loop_closure(c: LoopClosure):
    return LoopClosure, (c.link_a, c.link_b, c.kind, c.offset_a, c.offset_b)


def _pose_task(t: PoseTask):
    # typeshed's copyreg leaves __newobj_ex__ out
    return copyreg.__newobj_ex__, (PoseTask, (t.link_id, t.target), {  # type: ignore[attr-defined]
        "tool": t.tool, "weight": t.weight, "position_weight": t.position_weight,
        "orientation_weight": t.orientation_weight})


def _center_of_mass_task(t: CenterOfMassTask):
    return CenterOfMassTask, (t.target, t.weight)


def _constraint_task(_: ConstraintTask):
    raise TypeError("cannot pickle a ConstraintTask: its ConstraintSet belongs to one robot model in one "
                    "process; make the set again with robot.constraint_set(items), then the task")


def _constraint_set(_: ConstraintSet):
    raise TypeError("cannot pickle a ConstraintSet: it belongs to one robot model in one process; "
                    "make it again with robot.constraint_set(items)")


def _load_buffer(_: LoadBuffer):
    raise TypeError("cannot pickle a LoadBuffer: it belongs to one robot model in one process; "
                    "make a new one with robot.load_buffer()")


_REDUCERS: tuple[tuple[type, Callable[[Any], Any]], ...] = (
    (Pose, _pose), (Twist, _twist), (BaseState, _base_state), (Load, _load), (IkOptions, _ik_options),
    (LoadBuffer, _load_buffer), (Contact, _contact), (LoopClosure, _loop_closure), (ConstraintSet, _constraint_set),
    (PoseTask, _pose_task), (CenterOfMassTask, _center_of_mass_task), (ConstraintTask, _constraint_task))
for cls, reducer in _REDUCERS:
    copyreg.pickle(cls, reducer)
