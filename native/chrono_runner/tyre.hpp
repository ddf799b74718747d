// The runner's tyre: Chrono's TMeasy with its parameters guessed from the tyre's design data.
#pragma once

#include <cmath>
#include <stdexcept>
#include <string>

#include "chrono_thirdparty/rapidjson/document.h"
#include "chrono_vehicle/wheeled_vehicle/tire/ChTMeasyTire.h"

namespace velmor {

inline double json_number(const rapidjson::Value &obj, const char *key) {
    if (!obj.IsObject() || !obj.HasMember(key) || !obj[key].IsNumber())
        throw std::runtime_error(std::string("input: '") + key + "' must be a number");
    double value = obj[key].GetDouble();
    if (!std::isfinite(value))
        throw std::runtime_error(std::string("input: '") + key + "' is not finite");
    return value;
}

// A TMeasy tyre whose parameters come from its design data (size, load, inflation), as the
// model's author proposes for passenger-car tyres.
class DesignTMeasyTire : public chrono::vehicle::ChTMeasyTire {
public:
    DesignTMeasyTire(const std::string &name, const rapidjson::Value &p)
        : ChTMeasyTire(name),
          m_load(json_number(p, "nominal_load_n")),
          m_width_m(json_number(p, "width_m")),
          m_ratio(json_number(p, "aspect_ratio")),
          m_rim_m(json_number(p, "rim_diameter_m")),
          m_pressure(json_number(p, "pressure_ratio")),
          m_friction(json_number(p, "friction")),
          m_mass(json_number(p, "mass_kg")),
          m_cz(json_number(p, "vertical_stiffness_n_per_m")) {}

    void SetTMeasyParams() override {
        GuessPassCar70Par(m_load, m_width_m, m_ratio, m_rim_m, 1.0, m_pressure);
        SetFrictionCoefficient(m_friction);
        SetVerticalStiffness(m_cz);
    }
    double GetTireMass() const override { return m_mass; }
    chrono::ChVector3d GetTireInertia() const override {
        double r = UnloadedRadius();
        return chrono::ChVector3d(0.5 * m_mass * r * r * 0.5, m_mass * r * r * 0.8,
                                  0.5 * m_mass * r * r * 0.5);
    }
    double GetVisualizationWidth() const override { return m_width_m; }

    double UnloadedRadius() const {
        return m_unloaded_radius > 0 ? m_unloaded_radius : m_rim_m / 2 + m_width_m * m_ratio;
    }
    double VerticalStiffness() const { return m_d1; }
    // Lateral slip stiffness dFy/dsy at the vertical load fz, in N per unit slip: TMeasy's
    // quadratic interpolation between its values at the nominal and doubled-nominal loads.
    double CorneringStiffness(double fz) const {
        double q = fz / m_par.pn;
        return q * (2.0 * m_par.dfy0_pn - 0.5 * m_par.dfy0_p2n -
                    (m_par.dfy0_pn - 0.5 * m_par.dfy0_p2n) * q);
    }
    double FrictionCoefficient() const { return m_par.mu_0; }

private:
    double m_load, m_width_m, m_ratio, m_rim_m, m_pressure, m_friction, m_mass, m_cz;
};

}  // namespace velmor
