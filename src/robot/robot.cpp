#include "robot/robot.hpp"

#include <vector>

namespace velkor {

namespace {

// Mass of the root link and of the links fixed to it: children come after their
// parents in link order, so one pass marks every link of the group.
double root_group_mass(const Model& model) {
  std::vector<bool> in_group(model.link_count(), false);
  in_group[0] = true;
  double mass = model.links[0].mass_properties.mass;
  for (std::size_t k = 0; k < model.joint_count(); ++k) {
    if (!in_group[model.parent[k]] || model.joint_dof[k]) continue;
    in_group[Model::child_link(k)] = true;
    mass += model.links[Model::child_link(k)].mass_properties.mass;
  }
  return mass;
}

}  // namespace

std::expected<FloatingRobot, Error> FloatingRobot::create(RobotModel model, MasslessRoot massless_root) {
  const Link& root = model->links.front();
  const double mass = massless_root == MasslessRoot::Allow ? root_group_mass(model.model())
                                                           : root.mass_properties.mass;
  if (!(mass > 0.0))
    return std::unexpected(
        errors::InvalidModel{"floating-base root link " + root.name + " must have positive mass",
                             SourcePlace{"link", root.name, 0, {}}});
  return FloatingRobot(std::move(model));
}

}  // namespace velkor
