// What a handle tells about the model it loaded: names, order, limits, masses,
// and configurations built from them. Every function reads the immutable model
// only and returns a new Python object (nullptr with an exception set).
#pragma once

#include "python.hpp"
#include "robot/model.hpp"

namespace velkor::py {

// Tuple of link names, link-id order.
PyObject* link_names(const Model& model);
// Tuple of joint records (name, type, parent, child, dof), joint order, fixed joints included.
PyObject* joint_records(const Model& model);
// Tuples of velkor.Shape records (link, origin, geometry, size, filename, scale,
// color, name, material) for the <visual> and the <collision> elements, link order.
PyObject* visual_records(const Model& model);
PyObject* collision_records(const Model& model);
// Tuple of velkor.SkippedShape records (link, element, index_in_link, reason) for the
// <visual> and <collision> elements loading left out, link order.
PyObject* skipped_shape_records(const Model& model);
// Tuple of the joint names of the DOFs, DOF order.
PyObject* dof_names(const Model& model);
// Adds "; close matches: [...]" (the link names the standard library ranks
// close to `name`, when there are any) to the ValueError being raised for a link
// name the model does not have.
void suggest_link_names(const Model& model, PyObject* name);
// The DOF index of a joint name; ValueError listing close matches when there is none.
PyObject* dof_index(const Model& model, PyObject* name);
// A new writeable float64 array of n joint positions, DOF order, from a mapping
// {DOF name: number}; `fill` (nullptr or None: none) stands in for the DOFs the
// mapping leaves out. ValueError for unknown, fixed, missing (without `fill`) or
// non-finite entries, TypeError for what is not a mapping of str to real numbers.
PyObject* joint_vector(const Model& model, PyObject* mapping, PyObject* fill);
// A new dict {DOF name: float} in DOF order from q, any vector of n numbers.
PyObject* joint_dict(const Model& model, PyObject* q);
// Index array p with q_ours = q_theirs[p] for `names` (the joint names of another
// order, extra names allowed); with `inverse`, r with q_theirs = q_ours[r]
// (`names` must then be exactly our DOF names, in any order).
PyObject* dof_order(const Model& model, PyObject* names, bool inverse);

enum class Limit { Lower, Upper, Velocity, Effort };
// Read-only float64 array of one limit, DOF order.
PyObject* limits(const Model& model, Limit which);
// {joint: (leader, multiplier, offset)} for the mimic couplings loosened at import.
PyObject* mimic_joints(const Model& model);
// List of InertiaRepair records (link, defect, relative_defect, written, held) for
// the inertias import accepted within its tolerance, link order.
PyObject* repaired_inertias(const Model& model);
// Read-only float64 array of link masses, link order, and their sum.
PyObject* link_masses(const Model& model);
PyObject* total_mass(const Model& model);
// The absolute path of the file the model was read from, or None.
PyObject* source_path(const Model& model);

// Zeros moved inside the position limits; a new float64 array of n.
PyObject* neutral_configuration(const Model& model);
// Uniform within the position limits, [-pi, pi] for continuous joints; `rng` is
// a numpy.random.Generator, a seed or None.
PyObject* random_configuration(const Model& model, PyObject* rng);

// Creates the joint record type once; false with an exception set.
bool create_joint_record_type();

}  // namespace velkor::py
