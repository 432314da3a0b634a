// libFuzzer target for URDF import.
//
// The input bytes take the path a file's contents take after reading: the UTF-8
// check, XML parsing and shape checks of the reader, then every model check of
// RobotModel::from_description. A rejected input must come back as one of the
// description error kinds; an accepted one must satisfy the numbering
// invariants every algorithm relies on, and forward kinematics at q = 0 runs
// over its tables so the sanitizers see them read. A description with <mimic>
// elements is imported a second time with mimic joints loosened, and the
// couplings that model lists must make sense. Each import is repeated with an
// inertia tolerance: it may differ only in the inertias it accepts, and each
// inertia it repairs must have been indefinite and become semidefinite by a
// change no larger than its defect. Anything else aborts, and so does a Fault
// escaping (it is an internal error no input may cause).
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "error.hpp"
#include "model/tree.hpp"
#include "robot/kinematics/forward_kinematics.hpp"
#include "robot/model.hpp"
#include "robot/robot.hpp"
#include "robot/workspace.hpp"
#include "urdf/reader.hpp"

namespace {

[[noreturn]] void broken(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "urdf_fuzzer: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
  std::abort();
}

void check(bool condition, const char* what) {
  if (!condition) broken(what);
}

bool starts_with(const std::string& text, std::string_view prefix) {
  return text.size() >= prefix.size() && std::string_view(text).substr(0, prefix.size()) == prefix;
}

// A rejected description: only the four description errors, each with its message shape.
void check_rejection(const velkor::Error& error) {
  namespace e = velkor::errors;
  const std::string message = error.message();
  (void)error.debug();
  check(error.python_class() == velkor::ErrorClass::ModelError, "import error is not a ModelError");
  if (error.is<e::Urdf>()) {
    check(starts_with(message, "failed to parse URDF: "), "Urdf message prefix");
  } else if (error.is<e::InvalidModel>()) {
    check(starts_with(message, "invalid robot model: "), "InvalidModel message prefix");
    check(!error.as<e::InvalidModel>().reason.empty(), "InvalidModel without a reason");
  } else if (error.is<e::UnsupportedJointType>()) {
    const auto& u = error.as<e::UnsupportedJointType>();
    check(u.joint_type == "floating" || u.joint_type == "planar" || u.joint_type == "spherical",
          "UnsupportedJointType for a supported type");
    check(message == "joint " + u.joint + " uses unsupported type " + u.joint_type,
          "UnsupportedJointType message");
  } else if (error.is<e::InvalidJointAxis>()) {
    check(message == "joint " + error.as<e::InvalidJointAxis>().joint + " has an invalid axis",
          "InvalidJointAxis message");
  } else {
    broken("import failed with an unexpected error kind", error.debug());
  }
}

// An accepted description: the invariants of a built model, then some use of it.
void check_model(const velkor::urdf::Robot& description, const velkor::RobotModel& robot_model) {
  using velkor::JointKind;
  const velkor::Model& model = robot_model.model();
  const std::size_t L = model.link_count();
  const std::size_t J = model.joint_count();
  const std::size_t n = model.dof_count();

  check(model.id != 0, "model identifier 0");
  check(model.name == description.name, "model name differs from the robot name");
  check(L >= 1 && J == L - 1, "link count is not joint count + 1");
  check(L == description.links.size() && J == description.joints.size(),
        "model counts differ from the description");
  check(model.joint_kinematics.size() == J && model.joint_dof.size() == J && model.parent.size() == J,
        "per-joint table length");
  check(model.link_mass_properties.size() == L, "per-link table length");

  std::unordered_set<std::string_view> link_names, joint_names;
  for (std::size_t i = 0; i < L; ++i) {
    check(link_names.insert(model.links[i].name).second, "duplicate link name in a model");
    const double* record = &model.links[i].mass_properties.mass;
    const double* copy = &model.link_mass_properties[i].mass;
    for (std::size_t k = 0; k < 25; ++k) {
      check(std::isfinite(record[k]), "non-finite mass property");
      check(record[k] == copy[k] || (record[k] != record[k] && copy[k] != copy[k]),
            "mass property copy differs");
    }
    check(model.links[i].mass_properties.mass >= 0.0, "negative mass");
    const auto found = model.find_link(model.links[i].name);
    check(found && *found == i, "find_link does not find the link");
  }

  std::size_t dofs = 0;
  for (std::size_t k = 0; k < J; ++k) {
    const velkor::Joint& joint = model.joints[k];
    const velkor::JointKinematics& kin = model.joint_kinematics[k];
    check(joint_names.insert(joint.name).second, "duplicate joint name in a model");
    check(model.parent[k] < k + 1, "parent link index not below the child link index");
    check(kin.kind == joint.kinematics.kind, "joint kinematics copy differs");
    check(kin.origin.translation.allFinite() && kin.origin.rotation.coeffs().allFinite(),
          "non-finite joint origin");
    check(std::abs(kin.origin.rotation.norm() - 1.0) < 1e-9, "origin rotation is not a unit quaternion");
    check(kin.axis.allFinite() && std::abs(kin.axis.norm() - 1.0) < 1e-9, "axis is not a unit vector");
    if (kin.kind == JointKind::Fixed) {
      check(!model.joint_dof[k].has_value(), "fixed joint with a DOF");
      check(kin.axis == velkor::Vec3::UnitX(), "fixed joint axis is not (1, 0, 0)");
    } else {
      check(model.joint_dof[k] == dofs, "DOF numbering");
      check(dofs < n && model.dof_list[dofs] == k, "dof list");
      ++dofs;
      check(std::isfinite(joint.velocity_limit) && joint.velocity_limit >= 0.0, "velocity limit");
      check(!(joint.lower > joint.upper), "position limits out of order");
      check(!std::isnan(joint.lower) && !std::isnan(joint.upper), "NaN position limit");
    }
  }
  check(dofs == n, "DOF count");

  // Every <visual> and <collision> element is a shape or a skipped one, of its link.
  std::size_t visuals = 0, collisions = 0, skipped = 0;
  for (const auto& link : description.links) {
    visuals += link.visuals.size();
    collisions += link.collisions.size();
    skipped += link.skipped.size();
  }
  check(model.visuals.size() == visuals && model.collisions.size() == collisions &&
            model.skipped_shapes.size() == skipped,
        "shapes lost");
  for (const auto* shapes : {&model.visuals, &model.collisions})
    for (const velkor::LinkShape& shape : *shapes) {
      check(shape.link < L, "shape of no link");
      check(shape.origin.translation.allFinite() && std::abs(shape.origin.rotation.norm() - 1.0) < 1e-9,
            "shape origin");
      for (const double v : shape.size) check(std::isfinite(v), "non-finite shape size");
      if (shape.kind == velkor::ShapeKind::Plane)
        check(std::abs(std::hypot(shape.size[0], shape.size[1], shape.size[2]) - 1.0) < 1e-12,
              "plane normal is not a unit vector");
    }
  for (const velkor::SkippedShape& s : model.skipped_shapes)
    check(s.link < L && !s.reason.empty(), "skipped shape without link or reason");

  // Forward kinematics at zero over every table of the model.
  velkor::Workspace workspace(J, n);
  const std::vector<double> q(n, 0.0);
  std::vector<velkor::Pose> poses(L);
  const auto all =
      velkor::forward_kinematics_all(model, velkor::Pose::identity(), q, workspace.frames, poses);
  if (!all) broken("forward_kinematics_all failed on a valid model", all.error().debug());
  // One link at a time along its ancestor path (bounded: paths make this quadratic).
  const std::size_t step = L > 64 ? L / 64 : 1;
  for (std::size_t i = 0; i < L; i += step) {
    const auto pose = velkor::forward_kinematics(model, velkor::Pose::identity(), q,
                                                 velkor::LinkId{model.id, i}, workspace.path);
    if (!pose) broken("forward_kinematics failed on a valid model", pose.error().debug());
    // The same products in the same association: equal to the last bit while finite
    // (a chain of huge origins may overflow, and then the identity start differs).
    const std::array<double, 7> one = pose->to_array(), every = poses[i].to_array();
    bool finite = true;
    for (std::size_t c = 0; c < 7; ++c)
      finite = finite && std::isfinite(one[c]) && std::isfinite(every[c]);
    if (finite)
      for (std::size_t c = 0; c < 7; ++c)
        check(one[c] == every[c], "single-link and all-link forward kinematics disagree");
  }

  const bool positive_root_mass = model.links[0].mass_properties.mass > 0.0;
  const auto floating = velkor::FloatingRobot::create(robot_model);
  check(floating.has_value() == positive_root_mass, "floating-base creation and root mass disagree");
  if (!floating) check_rejection(floating.error());
}

// mimic="independent": each listed coupling is a moving joint of the file with a
// <mimic> element, following another moving joint of the file; every moving joint
// with a <mimic> element is listed, and the chains of leaders end.
void check_mimic_couplings(const velkor::urdf::Robot& description,
                           const velkor::RobotModel& robot_model) {
  using velkor::urdf::JointType;
  const velkor::Model& model = robot_model.model();
  std::unordered_map<std::string_view, const velkor::urdf::Joint*> by_name;
  for (const auto& joint : description.joints) by_name.emplace(joint.name, &joint);
  const auto moving = [](const velkor::urdf::Joint& joint) {
    return joint.type == JointType::Revolute || joint.type == JointType::Continuous ||
           joint.type == JointType::Prismatic;
  };
  std::size_t expected = 0;
  for (const auto& joint : description.joints) expected += joint.mimic && moving(joint);
  check(model.mimic_joints.size() == expected, "mimic_joints does not list every moving mimic joint");
  for (const velkor::MimicJoint& m : model.mimic_joints) {
    const auto self = by_name.find(m.joint);
    check(self != by_name.end() && self->second->mimic && moving(*self->second),
          "listed joint is no mimic joint");
    check(m.leader == self->second->mimic->joint && m.multiplier == self->second->mimic->multiplier &&
              m.offset == self->second->mimic->offset,
          "listed coupling differs from the file");
    check(std::isfinite(m.multiplier) && std::isfinite(m.offset), "non-finite coupling");
    const velkor::urdf::Joint* at = self->second;
    for (std::size_t steps = 0; at->mimic && moving(*at); ++steps) {
      check(steps <= description.joints.size(), "mimic chain does not end");
      const auto leader = by_name.find(at->mimic->joint);
      check(leader != by_name.end(), "mimic leader is not a joint of the file");
      check(leader->second != at, "joint mimics itself");
      check(moving(*leader->second), "mimic leader has no single degree of freedom");
      at = leader->second;
    }
  }
}

velkor::Mat3 file_inertia(const velkor::urdf::Inertia& i) {
  velkor::Mat3 m;
  m << i.ixx, i.ixy, i.ixz, i.ixy, i.iyy, i.iyz, i.ixz, i.iyz, i.izz;
  return m;
}

bool same_mass_properties(const velkor::MassProperties& a, const velkor::MassProperties& b) {
  const double* x = &a.mass;
  const double* y = &b.mass;
  for (std::size_t k = 0; k < 25; ++k)
    if (x[k] != y[k]) return false;
  return true;
}

bool indefinite_inertia(const velkor::Error& error) {
  const std::string message = error.message();
  constexpr std::string_view tail = "inertia must be positive semi-definite";
  return error.is<velkor::errors::InvalidModel>() && message.size() >= tail.size() &&
         std::string_view(message).substr(message.size() - tail.size()) == tail;
}

// The import with `options` gave `base`; the same with an inertia tolerance may
// only accept inertias `base` refused. An input picks one of three tolerances.
void check_inertia_tolerance(const velkor::urdf::Robot& description, velkor::ImportOptions options,
                             const std::expected<velkor::RobotModel, velkor::Error>& base,
                             std::size_t size) {
  static constexpr double tolerances[] = {1e-12, 1e-6, velkor::max_inertia_tolerance};
  const double tolerance = options.inertia_tolerance = tolerances[size % 3];
  const auto tolerant = velkor::RobotModel::from_description(description, options);
  if (base) {
    check(tolerant.has_value(), "a tolerance refuses what the exact rule accepts");
    const velkor::Model& a = base->model();
    const velkor::Model& b = tolerant->model();
    check(b.inertia_repairs.empty(), "repairs in a model the exact rule accepts");
    for (std::size_t i = 0; i < a.link_count(); ++i)
      check(same_mass_properties(a.links[i].mass_properties, b.links[i].mass_properties),
            "a tolerance changes mass properties the exact rule accepts");
    for (std::size_t i = 0; i < a.moving().link_count(); ++i)
      check(same_mass_properties(a.moving().link_mass_properties[i], b.moving().link_mass_properties[i]),
            "a tolerance changes body mass properties the exact rule accepts");
    return;
  }
  if (!indefinite_inertia(base.error())) {
    check(!tolerant && tolerant.error().message() == base.error().message(),
          "a tolerance changes an error that is not about an indefinite inertia");
    return;
  }
  if (!tolerant) {
    check_rejection(tolerant.error());
    return;
  }
  check_model(description, *tolerant);
  const velkor::Model& model = tolerant->model();
  check(!model.inertia_repairs.empty(), "an indefinite inertia loads without a repair");
  check(model.options.inertia_tolerance == tolerance, "the model does not keep its tolerance");
  const double scale = velkor::inertia_scale(description.links);
  std::unordered_map<std::string_view, const velkor::urdf::Link*> by_name;
  for (const auto& link : description.links) by_name.emplace(link.name, &link);
  std::size_t indefinite = 0;
  for (const auto& link : description.links)
    indefinite += !velkor::is_positive_semidefinite(file_inertia(link.inertial.inertia));
  check(model.inertia_repairs.size() == indefinite, "repairs do not list every indefinite inertia");
  for (const velkor::InertiaRepair& r : model.inertia_repairs) {
    const auto link = by_name.find(r.link);
    check(link != by_name.end(), "repaired link is not a link of the file");
    check(r.written == file_inertia(link->second->inertial.inertia),
          "written inertia differs from the file");
    check(!velkor::is_positive_semidefinite(r.written), "a semidefinite inertia was repaired");
    check(r.held.allFinite() && r.held == r.held.transpose(), "held inertia not finite and symmetric");
    check(velkor::is_positive_semidefinite(r.held), "held inertia is not positive semidefinite");
    check(std::isfinite(r.defect) && r.defect >= 0.0 && r.defect <= tolerance * scale,
          "defect beyond the tolerance");
    check(r.relative_defect == (scale > 0.0 ? r.defect / scale : 0.0), "relative defect");
    // The nearest semidefinite matrix is the defect away, plus rounding of the eigensolver.
    const double k = r.written.cwiseAbs().maxCoeff();
    check((r.held - r.written).cwiseAbs().maxCoeff() <= r.defect + 1e-12 * k + 1e-300,
          "a repair changes the inertia by more than its defect");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto description = velkor::urdf::parse(text);
  if (!description) {
    check(description.error().is<velkor::errors::Urdf>(), "reader error of another kind");
    const auto& refusal = description.error().as<velkor::errors::Urdf>();
    check(!refusal.message.empty(), "reader error without a text");
    const std::size_t line = refusal.place.get() ? refusal.place.get()->line : 0;
    check(line <= 1 + static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')),
          "a reader error placed past the last line");
    check_rejection(description.error());
    return 0;
  }
  const auto model = velkor::RobotModel::from_description(*description);
  if (model) check_model(*description, *model);
  else check_rejection(model.error());
  check_inertia_tolerance(*description, {}, model, size);

  // The same description with mimic joints loosened, when it has any.
  bool has_mimic = false;
  for (const auto& joint : description->joints) has_mimic = has_mimic || joint.mimic.has_value();
  if (!has_mimic) return 0;
  check(!model, "a file with a mimic element loads under the default policy");
  const auto loosened = velkor::RobotModel::from_description(
      *description, velkor::ImportOptions{velkor::MimicPolicy::Independent});
  check_inertia_tolerance(*description, velkor::ImportOptions{velkor::MimicPolicy::Independent},
                          loosened, size);
  if (!loosened) {
    check_rejection(loosened.error());
    return 0;
  }
  check_model(*description, *loosened);
  check_mimic_couplings(*description, *loosened);

  // Coupled, the same joints and DOFs, each DOF following a free one.
  const auto coupled = velkor::RobotModel::from_description(
      *description, velkor::ImportOptions{velkor::MimicPolicy::Couple});
  if (!coupled) {  // only a chain whose composed multiplier overflows
    check_rejection(coupled.error());
    return 0;
  }
  check(coupled->model().dof_count() == loosened->model().dof_count(), "coupling changes the DOFs");
  if (const auto& coupling = coupled->model().coupling) {
    const std::size_t n = coupled->model().dof_count(), F = coupling->free_count();
    std::size_t members = 0;
    for (std::size_t x = 0; x < F; ++x) {
      const std::size_t d = coupling->free_dof[x];
      check(coupling->group[d] == x && coupling->multiplier[d] == 1.0 && coupling->offset[d] == 0.0,
            "a free DOF follows itself");
      members += coupling->members[x];
    }
    check(members == n, "every DOF follows one free DOF");
    for (std::size_t d = 0; d < n; ++d)
      check(coupling->group[d] < F && std::isfinite(coupling->multiplier[d]) &&
                std::isfinite(coupling->offset[d]),
            "a coupling is finite and names a free DOF");
    check(coupling->most_open >= 1 && coupling->most_open <= F, "open groups are counted");
  }
  return 0;
}
