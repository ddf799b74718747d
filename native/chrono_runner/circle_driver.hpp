// A driver for steady-state circular driving: it holds a circle of constant radius (counter-
// clockwise around its centre) and a set speed.
//
// Steering works on the path's curvature. The curvature asked for is the circle's, corrected by
// the radial and course errors with gains that make the path error a second-order system of a
// given natural frequency and damping at any speed:
//     kappa = 1/R + (w/v)^2 e_r - (2 zeta w / v) e_chi.
// It becomes a road-wheel angle through the kinematic relation atan(L kappa) plus an integral of
// the curvature error, which supplies the car's own understeer without knowing it; the angle is
// then low-pass filtered. The curvature is measured as yaw rate over speed (the path's own, from
// the acceleration across the velocity, carries the car's yaw mode into the loop, which then
// rings). Both loops are kept slow against the car's yaw and sideslip response, which slows down
// near the limit. The integral is held while
// the steering is at its stop. Speed is held by a PI loop on the longitudinal speed.
#pragma once

#include "chrono/core/ChVector3.h"

namespace velmor {

struct CircleDriverSettings {
    double radius = 100;
    chrono::ChVector3d centre;
    double wheelbase = 2.8;
    double max_wheel_angle = 0.5;      // rad, at a steering input of 1
    double path_frequency = 0.8;       // rad/s
    double path_damping = 1.0;         // -
    double curvature_time = 0.8;       // s, integral time of the curvature loop
    double filter_time = 0.05;         // s, low-pass of the road-wheel command
    double speed_gain = 0.6;           // throttle per m/s
    double speed_integral_gain = 0.3;  // throttle per m
};

struct VehicleState {
    chrono::ChVector3d pos;  // reference point, world frame
    chrono::ChVector3d vel;  // its velocity, world frame
    double speed = 0;        // forward speed, m/s
    double yaw_rate = 0;     // rad/s
};

struct DriverCommand {
    double steering = 0;  // Chrono's steering input, -1 to 1 (positive to the left)
    double throttle = 0;
    double braking = 0;
    double radial_error = 0;  // m, outward positive
    double course_error = 0;  // rad, inward positive
    bool at_stop = false;     // the steering is at its stop
};

class CircleDriver {
public:
    explicit CircleDriver(const CircleDriverSettings &settings) : m_s(settings) {}
    DriverCommand Update(const VehicleState &state, double set_speed, double step);

private:
    CircleDriverSettings m_s;
    double m_integral = 0;  // rad of road-wheel angle
    double m_filtered = 0;  // rad of road-wheel angle
    double m_speed_integral = 0;
};

}  // namespace velmor
