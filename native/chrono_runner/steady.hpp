// What one speed step measured, and whether it was steady.
//
// A step is steady when, over its measuring window, the car kept to the circle and the set speed
// and its yaw rate, lateral acceleration (yaw rate times speed, which the chassis' vibration does
// not blur) and road-wheel angle settled: the means of their 0.1 s blocks stay within a band, and
// their linear drift across the window does too. Otherwise the first test that failed is the
// step's reason, with its figures.
#pragma once

#include <algorithm>
#include <cmath>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace velmor {

struct Channel {
    std::vector<double> values;

    void add(double v) { values.push_back(v); }
    double mean() const {
        double sum = 0;
        for (double v : values) sum += v;
        return values.empty() ? 0 : sum / static_cast<double>(values.size());
    }
    double largest_magnitude() const {
        double m = 0;
        for (double v : values) m = std::max(m, std::fabs(v));
        return m;
    }
    // The range of the means of consecutive blocks of `block` samples.
    double block_range(size_t block) const {
        double lo = 1e300, hi = -1e300;
        for (size_t start = 0; start + block <= values.size(); start += block) {
            double sum = 0;
            for (size_t i = start; i < start + block; ++i) sum += values[i];
            double m = sum / static_cast<double>(block);
            lo = std::min(lo, m);
            hi = std::max(hi, m);
        }
        return hi >= lo ? hi - lo : 0;
    }
    // The least-squares line's change across the window.
    double drift() const {
        const double n = static_cast<double>(values.size());
        if (n < 2) return 0;
        double sx = 0, sy = 0, sxx = 0, sxy = 0;
        for (size_t i = 0; i < values.size(); ++i) {
            double x = static_cast<double>(i);
            sx += x;
            sy += values[i];
            sxx += x * x;
            sxy += x * values[i];
        }
        double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
        return slope * (n - 1);
    }
};

struct SteadyLimits {
    double max_radial_error = 0.5;   // m, mean; twice this at any instant
    double speed_tolerance = 0.01;   // fraction of the set speed
    double band_lateral_acc = 0.15;  // m/s2
    double band_yaw_rate = 0.3;      // deg/s
    double band_wheel_angle = 0.15;  // deg
};

struct Step {
    std::map<std::string, Channel> ch;
    size_t stopped_samples = 0;
    Channel &operator[](const std::string &name) { return ch[name]; }
    double mean(const std::string &name) const {
        auto it = ch.find(name);
        return it == ch.end() ? 0 : it->second.mean();
    }
};

inline std::string judge(const Step &s, double target_speed, const SteadyLimits &lim,
                         size_t block) {
    std::ostringstream why;
    why.precision(3);
    const Channel &radial = s.ch.at("radial_error_m");
    if (s.stopped_samples > 0) {
        why << "steering at its stop";
        return why.str();
    }
    if (std::fabs(radial.mean()) > lim.max_radial_error ||
        radial.largest_magnitude() > 2 * lim.max_radial_error) {
        why << "off the circle: " << radial.mean() << " m mean radial error, "
            << radial.largest_magnitude() << " m at most (limit " << lim.max_radial_error << " m)";
        return why.str();
    }
    const double speed = s.mean("speed");
    if (std::fabs(speed - target_speed) > lim.speed_tolerance * target_speed) {
        why << "speed not held: " << speed << " m/s for " << target_speed << " m/s";
        if (s.mean("throttle") > 0.95) why << " (throttle saturated)";
        return why.str();
    }
    const struct {
        const char *name, *label, *unit;
        double band;
    } settled[] = {
        {"yaw_rate_dps", "yaw rate", "deg/s", lim.band_yaw_rate},
        {"lateral_acc_kinematic", "lateral acceleration", "m/s2", lim.band_lateral_acc},
        {"road_wheel_angle_deg", "road-wheel angle", "deg", lim.band_wheel_angle},
    };
    for (const auto &c : settled) {
        const Channel &x = s.ch.at(c.name);
        double range = x.block_range(block), drift = std::fabs(x.drift());
        if (range > c.band || drift > c.band) {
            why << c.label << " not settled: " << (range > c.band ? range : drift) << " " << c.unit
                << (range > c.band ? " range of its 0.1 s means" : " drift") << " over the window"
                << " (band " << c.band << " " << c.unit << ")";
            return why.str();
        }
    }
    return "";
}

}  // namespace velmor
