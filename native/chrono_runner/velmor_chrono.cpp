// velmor-chrono: steady-state circular driving of a Chrono::Vehicle wheeled vehicle.
//
//   velmor-chrono --about            prints {"chrono_version", "data_dir"} as JSON
//   velmor-chrono INPUT.json OUTPUT.json
//
// The input names a vehicle data folder (a copy of Chrono's sedan files adapted to the product),
// the product's mass, CG height and weight split, the tyre's design parameters, the aero
// coefficients and the manoeuvre. The vehicle drives a circle of constant radius; the speed rises
// in steps, each held until it settles and then measured. The output lists every step with its
// means and whether it was steady (and why not), a decimated time series and the vehicle as built.
// The steadiness of the lateral acceleration is judged on yaw rate times speed, which the chassis'
// vibration does not blur.
// Any error is written to the output as {"status": "failed", "message": ...} with exit status 2.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "chrono/ChVersion.h"
#include "chrono/physics/ChSystem.h"
#include "chrono_thirdparty/rapidjson/document.h"
#include "chrono_thirdparty/rapidjson/prettywriter.h"
#include "chrono_thirdparty/rapidjson/stringbuffer.h"
#include "chrono_vehicle/ChVehicleDataPath.h"
#include "chrono_vehicle/terrain/RigidTerrain.h"
#include "chrono_vehicle/utils/ChVehicleUtilsJSON.h"
#include "chrono_vehicle/wheeled_vehicle/tire/ChTMeasyTire.h"
#include "chrono_vehicle/wheeled_vehicle/vehicle/WheeledVehicle.h"

#ifndef VELMOR_CHRONO_DATA_DIR
#define VELMOR_CHRONO_DATA_DIR ""
#endif

using namespace chrono;
using namespace chrono::vehicle;

namespace {

constexpr double kGravity = 9.81;

using Json = rapidjson::Value;
using Writer = rapidjson::PrettyWriter<rapidjson::StringBuffer>;

double number(const Json &obj, const char *key) {
    if (!obj.IsObject() || !obj.HasMember(key) || !obj[key].IsNumber())
        throw std::runtime_error(std::string("input: '") + key + "' must be a number");
    double value = obj[key].GetDouble();
    if (!std::isfinite(value))
        throw std::runtime_error(std::string("input: '") + key + "' is not finite");
    return value;
}

std::string text(const Json &obj, const char *key) {
    if (!obj.IsObject() || !obj.HasMember(key) || !obj[key].IsString())
        throw std::runtime_error(std::string("input: '") + key + "' must be a string");
    return obj[key].GetString();
}

const Json &object(const Json &obj, const char *key) {
    if (!obj.IsObject() || !obj.HasMember(key) || !obj[key].IsObject())
        throw std::runtime_error(std::string("input: '") + key + "' must be an object");
    return obj[key];
}

// A TMeasy tyre whose parameters come from its design data (size, load, inflation), as the
// model's author proposes for passenger-car tyres.
class DesignTMeasyTire : public ChTMeasyTire {
public:
    DesignTMeasyTire(const std::string &name, const Json &p)
        : ChTMeasyTire(name),
          m_load(number(p, "nominal_load_n")),
          m_width_m(number(p, "width_m")),
          m_ratio(number(p, "aspect_ratio")),
          m_rim_m(number(p, "rim_diameter_m")),
          m_pressure(number(p, "pressure_ratio")),
          m_friction(number(p, "friction")),
          m_mass(number(p, "mass_kg")),
          m_cz(number(p, "vertical_stiffness_n_per_m")) {}

    void SetTMeasyParams() override {
        GuessPassCar70Par(m_load, m_width_m, m_ratio, m_rim_m, 1.0, m_pressure);
        SetFrictionCoefficient(m_friction);
        SetVerticalStiffness(m_cz);
    }
    double GetTireMass() const override { return m_mass; }
    ChVector3d GetTireInertia() const override {
        double r = UnloadedRadius();
        return ChVector3d(0.5 * m_mass * r * r * 0.5, m_mass * r * r * 0.8,
                          0.5 * m_mass * r * r * 0.5);
    }
    double GetVisualizationWidth() const override { return m_width_m; }

    double UnloadedRadius() const {
        return m_unloaded_radius > 0 ? m_unloaded_radius : m_rim_m / 2 + m_width_m * m_ratio;
    }
    double VerticalStiffness() const { return m_d1; }
    // Lateral slip stiffness dFy/dsy at the vertical load fz, in N per unit slip (TMeasy's
    // parameters are in N; quadratic interpolation between its nominal and doubled-nominal values).
    double CorneringStiffness(double fz) const {
        double q = fz / m_par.pn;
        return q * (2.0 * m_par.dfy0_pn - 0.5 * m_par.dfy0_p2n -
                    (m_par.dfy0_pn - 0.5 * m_par.dfy0_p2n) * q);
    }
    double FrictionCoefficient() const { return m_par.mu_0; }

private:
    double m_load, m_width_m, m_ratio, m_rim_m, m_pressure, m_friction, m_mass, m_cz;
};

// Speed-dependent aerodynamic drag and axle lifts acting on the chassis, in the chassis frame.
class AeroLoad : public ChChassis::ExternalForceTorque {
public:
    AeroLoad(double cd, double cl_front, double cl_rear, double area, double rho, ChVector3d com,
             double x_front, double x_rear)
        : ExternalForceTorque("velmor aero"),
          m_cd(cd),
          m_clf(cl_front),
          m_clr(cl_rear),
          m_area(area),
          m_rho(rho),
          m_com(com),
          m_xf(x_front),
          m_xr(x_rear) {}

    void Update(double, const ChChassis &chassis, ChVector3d &force, ChVector3d &point,
                ChVector3d &torque) override {
        auto body = chassis.GetBody();
        ChVector3d vel = body->TransformDirectionParentToLocal(body->GetLinVel());
        double u = vel.x();
        double q = 0.5 * m_rho * u * u * m_area;
        double drag = -q * m_cd * (u >= 0 ? 1.0 : -1.0);
        double lift_f = q * m_clf;
        double lift_r = q * m_clr;
        force = ChVector3d(drag, 0, lift_f + lift_r);
        point = m_com;
        // The axle lifts act at the axles: their moment about the COM pitches the body.
        torque = ChVector3d(0, -(lift_f * (m_xf - m_com.x()) + lift_r * (m_xr - m_com.x())), 0);
        last_drag = drag;
        last_lift = lift_f + lift_r;
    }

    double last_drag = 0;
    double last_lift = 0;

private:
    double m_cd, m_clf, m_clr, m_area, m_rho;
    ChVector3d m_com;
    double m_xf, m_xr;
};

struct Moments {
    double mass = 0;
    ChVector3d first;
};

Moments mass_moments(ChSystem &sys) {
    Moments m;
    for (const auto &body : sys.GetBodies()) {
        if (body->IsFixed()) continue;
        m.mass += body->GetMass();
        m.first += body->GetMass() * body->GetPos();
    }
    return m;
}

struct Accumulator {
    double n = 0, sum = 0, sumsq = 0, lo = 1e300, hi = -1e300;
    void add(double v) {
        n += 1;
        sum += v;
        sumsq += v * v;
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    }
    double mean() const { return n > 0 ? sum / n : 0; }
    double stdev() const {
        return n > 1 ? std::sqrt(std::max(0.0, sumsq / n - mean() * mean())) : 0;
    }
};

struct StepStats {
    Accumulator speed, ay, ay_kinematic, yaw_rate, roll, steer, steer_input, radial, throttle, drag,
        lift;
};

void write_step(Writer &w, double target_ay, double target_speed, const StepStats &s, bool steady,
                const std::string &reason) {
    w.StartObject();
    w.Key("target_lateral_acc");
    w.Double(target_ay);
    w.Key("target_speed");
    w.Double(target_speed);
    w.Key("speed");
    w.Double(s.speed.mean());
    w.Key("lateral_acc");
    w.Double(s.ay.mean());
    w.Key("lateral_acc_std");
    w.Double(s.ay_kinematic.stdev());
    w.Key("yaw_rate_dps");
    w.Double(s.yaw_rate.mean());
    w.Key("roll_deg");
    w.Double(s.roll.mean());
    w.Key("road_wheel_angle_deg");
    w.Double(s.steer.mean());
    w.Key("steering_input");
    w.Double(s.steer_input.mean());
    w.Key("radial_error_m");
    w.Double(s.radial.mean());
    w.Key("radial_error_max_m");
    w.Double(std::max(std::fabs(s.radial.lo), std::fabs(s.radial.hi)));
    w.Key("throttle");
    w.Double(s.throttle.mean());
    w.Key("aero_drag_n");
    w.Double(s.drag.mean());
    w.Key("aero_lift_n");
    w.Double(s.lift.mean());
    w.Key("steady");
    w.Bool(steady);
    w.Key("reason");
    w.String(reason.c_str());
    w.EndObject();
}

void write_file(const std::string &path, const std::string &body) {
    std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << body;
        if (!out) throw std::runtime_error("cannot write " + tmp);
    }
    std::filesystem::rename(tmp, path);
}

std::string run(const rapidjson::Document &in) {
    const Json &veh = object(in, "vehicle");
    const Json &tyre = object(in, "tyre");
    const Json &man = object(in, "manoeuvre");

    SetVehicleDataPath(text(in, "data_dir") + "/");
    const double step = number(man, "step_s");
    const double radius = number(man, "radius_m");
    const double road_mu = number(man, "friction");
    const double ramp_s = number(man, "ramp_s");
    const double settle_s = number(man, "settle_s");
    const double measure_s = number(man, "measure_s");
    const double max_radial_error = number(man, "max_radial_error_m");
    const double max_ay_std = number(man, "max_lateral_acc_std");
    // The driver: pure pursuit of a point on the circle this many seconds ahead, plus an
    // integral of the radial error (rad per m s) that takes out the understeer's offset.
    const double preview_s = man.HasMember("preview_s") ? number(man, "preview_s") : 0.6;
    const double preview_min_m =
        man.HasMember("preview_min_m") ? number(man, "preview_min_m") : 6.0;
    const double radial_gain = man.HasMember("radial_gain") ? number(man, "radial_gain") : 0.02;
    const double radial_limit =
        man.HasMember("radial_integral_limit") ? number(man, "radial_integral_limit") : 20.0;
    if (!man.HasMember("lateral_acc_steps") || !man["lateral_acc_steps"].IsArray() ||
        man["lateral_acc_steps"].Empty())
        throw std::runtime_error("input: 'lateral_acc_steps' must be a non-empty list");
    std::vector<double> targets;
    for (const auto &v : man["lateral_acc_steps"].GetArray()) {
        if (!v.IsNumber() || v.GetDouble() <= 0)
            throw std::runtime_error("input: lateral_acc_steps must be > 0");
        targets.push_back(v.GetDouble());
    }
    if (step <= 0 || radius <= 0 || ramp_s < 0 || settle_s <= 0 || measure_s <= 0)
        throw std::runtime_error("input: the manoeuvre's times and radius must be positive");

    WheeledVehicle vehicle(GetVehicleDataFile(text(in, "vehicle_file")), ChContactMethod::SMC,
                           false, false);
    ChSystem &sys = *vehicle.GetSystem();
    sys.SetGravitationalAcceleration(ChVector3d(0, 0, -kGravity));

    // Left turn around (0, R): start at the origin heading +x, wheels just above the ground.
    const double v0 = std::sqrt(targets.front() * radius);
    vehicle.Initialize(ChCoordsys<>(ChVector3d(0, 0, number(veh, "init_height_m")),
                                    QuatFromAngleY(number(veh, "init_pitch_rad"))),
                       v0);
    vehicle.SetChassisVisualizationType(VisualizationType::NONE);

    auto engine = ReadEngineJSON(GetVehicleDataFile(text(in, "engine_file")));
    auto transmission = ReadTransmissionJSON(GetVehicleDataFile(text(in, "transmission_file")));
    vehicle.InitializePowertrain(
        chrono_types::make_shared<ChPowertrainAssembly>(engine, transmission));

    std::vector<std::shared_ptr<DesignTMeasyTire>> tyres;
    for (auto &axle : vehicle.GetAxles()) {
        for (auto &wheel : axle->GetWheels()) {
            auto tire = chrono_types::make_shared<DesignTMeasyTire>("tyre", tyre);
            vehicle.InitializeTire(tire, wheel, VisualizationType::NONE);
            tyres.push_back(tire);
        }
    }
    if (vehicle.GetNumberAxles() != 2 || tyres.size() != 4)
        throw std::runtime_error("the vehicle must have two axles with a wheel on each side");

    const double x_front = vehicle.GetSpindlePos(0, LEFT).x();
    const double x_rear = vehicle.GetSpindlePos(1, LEFT).x();
    auto chassis = vehicle.GetChassisBody();
    const ChVector3d com_local = chassis->GetFrameCOMToRef().GetPos();
    const double x_front_local =
        chassis->GetFrameRefToAbs().TransformPointParentToLocal(vehicle.GetSpindlePos(0, LEFT)).x();
    const double x_rear_local =
        chassis->GetFrameRefToAbs().TransformPointParentToLocal(vehicle.GetSpindlePos(1, LEFT)).x();
    std::shared_ptr<AeroLoad> aero;
    if (in.HasMember("aero") && in["aero"].IsObject()) {
        const Json &a = in["aero"];
        aero = chrono_types::make_shared<AeroLoad>(
            number(a, "cd"), number(a, "cl_front"), number(a, "cl_rear"),
            number(a, "reference_area_m2"), number(a, "air_density"), com_local, x_front_local,
            x_rear_local);
        vehicle.GetChassis()->AddExternalForceTorque(aero);
    }

    RigidTerrain terrain(&sys);
    auto mat = chrono_types::make_shared<ChContactMaterialSMC>();
    mat->SetFriction(static_cast<float>(road_mu));
    terrain.AddPatch(mat, ChCoordsys<>(ChVector3d(0, radius, 0), QUNIT), 4 * radius + 200,
                     4 * radius + 200, 1, false, 1, false);
    terrain.Initialize();

    const double wheelbase = x_front - x_rear;
    const double max_wheel_angle = number(veh, "max_wheel_angle_deg") * CH_DEG_TO_RAD;
    const ChVector3d centre(0, radius, 0);

    rapidjson::StringBuffer buf;
    Writer w(buf);
    w.StartObject();
    w.Key("status");
    w.String("completed");
    w.Key("chrono_version");
    w.String(CHRONO_VERSION);
    w.Key("steps");
    w.StartArray();

    std::ostringstream series;
    double t = 0;
    double steer_integral = 0, speed_integral = 0;
    double prev_speed = v0;
    double cg_height_achieved = 0, static_front = 0, static_rear = 0;
    bool static_measured = false;
    bool departed = false;
    std::string stop_reason;
    int steady_steps = 0;
    int sample_every = std::max(1, static_cast<int>(std::lround(0.05 / step)));
    long frame = 0;
    const double first_extra = 2.0;

    // The steps as given until the first that is not steady; then the interval between the last
    // steady step and the lowest unsteady one is halved `refinements` times, so that the largest
    // steady lateral acceleration does not hang on the spacing of the steps.
    const int refinements =
        man.HasMember("refinements") ? static_cast<int>(number(man, "refinements")) : 0;
    double steady_ay = -1, unsteady_ay = -1;
    bool bisect = false;
    int bisections_left = refinements;
    size_t next = 0;
    for (size_t i = 0; !departed; ++i) {
        double target_ay;
        if (bisect) {
            if (bisections_left-- <= 0) break;
            target_ay = 0.5 * (steady_ay + unsteady_ay);
        } else {
            if (next >= targets.size()) break;
            target_ay = targets[next++];
        }
        const double target_speed = std::sqrt(target_ay * radius);
        const double t_start = t;
        const double t_ramp_end = t_start + (i == 0 ? first_extra : ramp_s);
        const double t_measure = t_ramp_end + settle_s;
        const double t_end = t_measure + measure_s;
        StepStats stats;
        while (t < t_end - 0.5 * step) {
            double frac =
                std::clamp((t - t_start) / std::max(t_ramp_end - t_start, 1e-9), 0.0, 1.0);
            double v_set = i == 0 ? target_speed : prev_speed + frac * (target_speed - prev_speed);

            ChVector3d pos = vehicle.GetPos();
            ChVector3d rel = pos - centre;
            rel.z() = 0;
            double r = rel.Length();
            double radial_error = r - radius;
            double yaw = vehicle.GetRot().GetCardanAnglesZYX().z();
            double speed = vehicle.GetSpeed();
            double lookahead = std::max(preview_min_m, preview_s * speed);
            double theta = std::atan2(rel.y(), rel.x()) + lookahead / radius;
            ChVector3d target =
                centre + ChVector3d(radius * std::cos(theta), radius * std::sin(theta), 0);
            ChVector3d d = target - pos;
            double lx = std::cos(yaw) * d.x() + std::sin(yaw) * d.y();
            double ly = -std::sin(yaw) * d.x() + std::cos(yaw) * d.y();
            double curvature = 2 * ly / (lx * lx + ly * ly);
            steer_integral =
                std::clamp(steer_integral + radial_error * step, -radial_limit, radial_limit);
            double wheel_cmd = std::atan(wheelbase * curvature) + radial_gain * steer_integral;
            double steer_in = std::clamp(wheel_cmd / max_wheel_angle, -1.0, 1.0);

            double speed_error = v_set - speed;
            speed_integral = std::clamp(speed_integral + speed_error * step, -10.0, 10.0);
            double drive = 0.6 * speed_error + 0.3 * speed_integral;
            DriverInputs inputs{steer_in, std::clamp(drive, 0.0, 1.0), std::clamp(-drive, 0.0, 1.0),
                                0.0};

            ChVector3d acc = chassis->GetPosDt2();
            double ay = -std::sin(yaw) * acc.x() + std::cos(yaw) * acc.y();
            double yaw_rate = chassis->GetAngVelParent().z() * CH_RAD_TO_DEG;
            double roll = vehicle.GetRoll() * CH_RAD_TO_DEG;
            double wheel_angle =
                0.5 * (vehicle.GetSteeringAngle(0, LEFT) + vehicle.GetSteeringAngle(0, RIGHT)) *
                CH_RAD_TO_DEG;

            if (!static_measured && i == 0 && t >= first_extra * 0.9) {
                Moments now = mass_moments(sys);
                cg_height_achieved = now.first.z() / now.mass;
                static_front = tyres[0]->ReportTireForce(&terrain).force.z() +
                               tyres[1]->ReportTireForce(&terrain).force.z();
                static_rear = tyres[2]->ReportTireForce(&terrain).force.z() +
                              tyres[3]->ReportTireForce(&terrain).force.z();
                static_measured = true;
            }
            if (t >= t_measure) {
                stats.speed.add(speed);
                stats.ay.add(ay);
                stats.ay_kinematic.add(yaw_rate * CH_DEG_TO_RAD * speed);
                stats.yaw_rate.add(yaw_rate);
                stats.roll.add(roll);
                stats.steer.add(wheel_angle);
                stats.steer_input.add(steer_in);
                stats.radial.add(radial_error);
                stats.throttle.add(inputs.m_throttle);
                stats.drag.add(aero ? aero->last_drag : 0.0);
                stats.lift.add(aero ? aero->last_lift : 0.0);
            }
            if (frame % sample_every == 0) {
                series << "[" << t << "," << pos.x() << "," << pos.y() << "," << speed << "," << ay
                       << "," << yaw_rate << "," << roll << "," << wheel_angle << ","
                       << inputs.m_throttle << "]";
                series << ",";
            }
            if (std::fabs(radial_error) > 5.0 || !std::isfinite(radial_error)) {
                departed = true;
                std::ostringstream why;
                why << "left the circle: " << std::fixed;
                why.precision(1);
                why << radial_error << " m off the radius at " << speed << " m/s";
                stop_reason = why.str();
                break;
            }

            terrain.Synchronize(t);
            vehicle.Synchronize(t, inputs, terrain);
            terrain.Advance(step);
            vehicle.Advance(step);
            t = sys.GetChTime();
            ++frame;
        }

        std::string reason;
        std::ostringstream why;
        why.precision(3);
        if (departed) {
            reason = stop_reason;
        } else if (stats.steer_input.hi >= 0.999 || stats.steer_input.lo <= -0.999) {
            why << "steering at its stop";
            reason = why.str();
        } else if (std::fabs(stats.radial.mean()) > max_radial_error ||
                   std::max(std::fabs(stats.radial.lo), std::fabs(stats.radial.hi)) >
                       2 * max_radial_error) {
            why << "off the circle: " << stats.radial.mean() << " m mean radial error (limit "
                << max_radial_error << " m)";
            reason = why.str();
        } else if (std::fabs(stats.speed.mean() - target_speed) > 0.03 * target_speed) {
            why << "speed not held: " << stats.speed.mean() << " m/s for " << target_speed
                << " m/s";
            if (stats.throttle.mean() > 0.95) why << " (throttle saturated)";
            reason = why.str();
        } else if (stats.ay_kinematic.stdev() > max_ay_std) {
            why << "lateral acceleration not steady: " << stats.ay_kinematic.stdev()
                << " m/s2 standard deviation (limit " << max_ay_std << ")";
            reason = why.str();
        }
        bool steady = reason.empty();
        write_step(w, target_ay, target_speed, stats, steady, reason);
        prev_speed = target_speed;
        if (steady) {
            steady_ay = target_ay;
            ++steady_steps;
        } else {
            unsteady_ay = target_ay;
            if (!bisect) {
                if (steady_ay <= 0) break;
                bisect = true;
            }
        }
    }
    w.EndArray();

    std::string rows = series.str();
    if (!rows.empty()) rows.pop_back();
    w.Key("vehicle");
    w.StartObject();
    w.Key("mass_kg");
    w.Double(mass_moments(sys).mass);
    w.Key("cg_height_m");
    w.Double(cg_height_achieved);
    w.Key("wheelbase_m");
    w.Double(wheelbase);
    w.Key("track_front_m");
    w.Double(vehicle.GetWheeltrack(0));
    w.Key("track_rear_m");
    w.Double(vehicle.GetWheeltrack(1));
    w.Key("static_front_axle_load_n");
    w.Double(static_front);
    w.Key("static_rear_axle_load_n");
    w.Double(static_rear);
    w.Key("cornering_stiffness_front_n_per_rad");
    w.Double(2 * tyres[0]->CorneringStiffness(static_front / 2));
    w.Key("cornering_stiffness_rear_n_per_rad");
    w.Double(2 * tyres[2]->CorneringStiffness(static_rear / 2));
    w.Key("tyre_unloaded_radius_m");
    w.Double(tyres[0]->UnloadedRadius());
    w.Key("tyre_vertical_stiffness_n_per_m");
    w.Double(tyres[0]->VerticalStiffness());
    w.Key("tyre_friction");
    w.Double(tyres[0]->FrictionCoefficient());
    w.EndObject();
    w.Key("steady_steps");
    w.Int(steady_steps);
    w.Key("simulated_s");
    w.Double(t);
    w.Key("series_columns");
    w.StartArray();
    for (const char *c : {"t", "x", "y", "speed", "lateral_acc", "yaw_rate_dps", "roll_deg",
                          "road_wheel_angle_deg", "throttle"})
        w.String(c);
    w.EndArray();
    w.Key("series");
    w.RawValue(("[" + rows + "]").c_str(), rows.size() + 2, rapidjson::kArrayType);
    w.EndObject();
    return buf.GetString();
}

std::string failure(const std::string &message) {
    rapidjson::StringBuffer buf;
    Writer w(buf);
    w.StartObject();
    w.Key("status");
    w.String("failed");
    w.Key("chrono_version");
    w.String(CHRONO_VERSION);
    w.Key("message");
    w.String(message.c_str());
    w.EndObject();
    return buf.GetString();
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 2 && std::string(argv[1]) == "--about") {
        std::printf("{\"chrono_version\": \"%s\", \"data_dir\": \"%s\"}\n", CHRONO_VERSION,
                    VELMOR_CHRONO_DATA_DIR);
        return 0;
    }
    if (argc != 3) {
        std::fprintf(stderr,
                     "usage: velmor-chrono --about | velmor-chrono INPUT.json OUTPUT.json\n");
        return 64;
    }
    std::string output = argv[2];
    try {
        std::ifstream file(argv[1]);
        std::stringstream content;
        content << file.rdbuf();
        if (!file) throw std::runtime_error(std::string("cannot read ") + argv[1]);
        rapidjson::Document doc;
        doc.Parse(content.str().c_str());
        if (doc.HasParseError() || !doc.IsObject())
            throw std::runtime_error("input: not a JSON object");
        write_file(output, run(doc));
    } catch (const std::exception &exc) {
        try {
            write_file(output, failure(exc.what()));
        } catch (const std::exception &) {
        }
        std::fprintf(stderr, "velmor-chrono: %s\n", exc.what());
        return 2;
    }
    return 0;
}
