#include "circle_driver.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace velmor {

DriverCommand CircleDriver::Update(const VehicleState &state, double set_speed, double step) {
    DriverCommand out;
    chrono::ChVector3d rel = state.pos - m_s.centre;
    rel.z() = 0;
    const double r = std::max(rel.Length(), 1e-6);
    out.radial_error = r - m_s.radius;
    const double tangent = std::atan2(rel.x(), -rel.y());
    double course = std::atan2(state.vel.y(), state.vel.x()) - tangent;
    course = std::remainder(course, 2 * std::numbers::pi);
    out.course_error = course;

    const double v = std::max(std::fabs(state.speed), 1.0);
    const double w = m_s.path_frequency / v;
    const double kappa =
        1.0 / m_s.radius + w * w * out.radial_error - 2 * m_s.path_damping * w * course;
    const double raw = std::atan(m_s.wheelbase * kappa) + m_integral;
    m_filtered += (raw - m_filtered) * step / (m_s.filter_time + step);
    out.at_stop = std::fabs(m_filtered) >= m_s.max_wheel_angle;
    const double wheel = std::clamp(m_filtered, -m_s.max_wheel_angle, m_s.max_wheel_angle);
    const double growth = m_s.wheelbase * (kappa - state.yaw_rate / v) * step / m_s.curvature_time;
    if (!out.at_stop || growth * m_filtered < 0) m_integral += growth;
    out.steering = wheel / m_s.max_wheel_angle;

    const double speed_error = set_speed - state.speed;
    double drive = m_s.speed_gain * speed_error + m_s.speed_integral_gain * m_speed_integral;
    if ((drive < 1 || speed_error < 0) && (drive > -1 || speed_error > 0))
        m_speed_integral += speed_error * step;
    drive = m_s.speed_gain * speed_error + m_s.speed_integral_gain * m_speed_integral;
    out.throttle = std::clamp(drive, 0.0, 1.0);
    out.braking = std::clamp(-drive, 0.0, 1.0);
    return out;
}

}  // namespace velmor
