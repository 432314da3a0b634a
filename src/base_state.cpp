#include "base_state.hpp"

namespace velkor {

std::expected<BaseState, Error> BaseState::create(const Pose& frame, const Twist& velocity,
                                                  const Twist& acceleration) {
  constexpr Label reason = "must contain only finite values";
  if (!frame.all_finite()) return std::unexpected(errors::InvalidBaseState{"frame", reason});
  if (!velocity.all_finite()) return std::unexpected(errors::InvalidBaseState{"velocity", reason});
  if (!acceleration.all_finite())
    return std::unexpected(errors::InvalidBaseState{"acceleration", reason});
  return BaseState{frame, velocity, acceleration};
}

}  // namespace velkor
