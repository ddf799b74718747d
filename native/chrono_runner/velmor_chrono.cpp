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

#include "aero.hpp"
#include "chrono/ChVersion.h"
#include "chrono/physics/ChSystem.h"
#include "chrono_thirdparty/rapidjson/document.h"
#include "chrono_thirdparty/rapidjson/prettywriter.h"
#include "chrono_thirdparty/rapidjson/stringbuffer.h"
#include "chrono_vehicle/ChVehicleDataPath.h"
#include "chrono_vehicle/terrain/RigidTerrain.h"
#include "chrono_vehicle/utils/ChVehicleUtilsJSON.h"
#include "chrono_vehicle/wheeled_vehicle/vehicle/WheeledVehicle.h"
#include "circle_driver.hpp"
#include "steady.hpp"
#include "tyre.hpp"

#ifndef VELMOR_CHRONO_DATA_DIR
#define VELMOR_CHRONO_DATA_DIR ""
#endif

using namespace chrono;
using namespace chrono::vehicle;

namespace {

constexpr double kGravity = 9.81;

using Json = rapidjson::Value;
using Writer = rapidjson::PrettyWriter<rapidjson::StringBuffer>;

double number(const Json &obj, const char *key) { return velmor::json_number(obj, key); }

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

// ---- the manoeuvre -----------------------------------------------------------------------------

using velmor::AeroLoad;
using velmor::DesignTMeasyTire;

double optional(const Json &obj, const char *key, double fallback) {
    return obj.HasMember(key) ? number(obj, key) : fallback;
}

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

// What every step records: the mean of each channel over its measuring window (null when the
// step ended before its window began: a car that ran wide in its ramp has no mean to give).
const char *const kChannels[] = {
    "speed",
    "lateral_acc",
    "lateral_acc_kinematic",
    "yaw_rate_dps",
    "roll_deg",
    "road_wheel_angle_deg",
    "rear_wheel_angle_deg",
    "steering_input",
    "radial_error_m",
    "throttle",
    "aero_drag_n",
    "aero_lift_n",
    "slip_angle_front_deg",
    "slip_angle_rear_deg",
    "lateral_force_front_n",
    "lateral_force_rear_n",
    "vertical_force_front_n",
    "vertical_force_rear_n",
    "aligning_moment_front_nm",
    "aligning_moment_rear_nm",
};

void write_step(Writer &w, double target_ay, double target_speed, const velmor::Step &s,
                int extra_windows, bool steady, const std::string &reason) {
    w.StartObject();
    w.Key("target_lateral_acc");
    w.Double(target_ay);
    w.Key("target_speed");
    w.Double(target_speed);
    auto sampled = [&s](const char *name) -> const velmor::Channel * {
        auto found = s.ch.find(name);
        return found == s.ch.end() || found->second.values.empty() ? nullptr : &found->second;
    };
    for (const char *name : kChannels) {
        w.Key(name);
        if (const velmor::Channel *c = sampled(name))
            w.Double(c->mean());
        else
            w.Null();
    }
    w.Key("radial_error_max_m");
    if (const velmor::Channel *c = sampled("radial_error_m"))
        w.Double(c->largest_magnitude());
    else
        w.Null();
    w.Key("extra_windows");
    w.Int(extra_windows);
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

// One stretch of a step's speed schedule: the set speed goes from `from` to `to` over `length`
// seconds; samples of a measuring stretch count.
struct Stretch {
    double length, from, to;
    bool measure;
};

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
    const int max_extra_windows = static_cast<int>(optional(man, "extra_windows", 0));
    velmor::SteadyLimits limits;
    limits.max_radial_error = number(man, "max_radial_error_m");
    limits.speed_tolerance = optional(man, "speed_tolerance", limits.speed_tolerance);
    limits.band_lateral_acc = optional(man, "band_lateral_acc", limits.band_lateral_acc);
    limits.band_yaw_rate = optional(man, "band_yaw_rate_dps", limits.band_yaw_rate);
    limits.band_wheel_angle = optional(man, "band_wheel_angle_deg", limits.band_wheel_angle);
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
    // The vehicle's joints and its differential's clutch (a bounded torque, which a direct
    // sparse solver would treat as a rigid lock) go to Chrono's Barzilai-Borwein solver. Its
    // iteration count is the manoeuvre's: 30 give the largest lateral acceleration of an exact
    // sparse solve (the clutch taken out) within 0.01 %, in a third of the default 150's time.
    if (man.HasMember("solver_iterations")) {
        const double iterations = number(man, "solver_iterations");
        if (iterations < 1 || iterations > 10000)
            throw std::runtime_error("input: solver_iterations must be 1 to 10000");
        sys.SetSolverType(ChSolver::Type::BARZILAIBORWEIN);
        sys.GetSolver()->AsIterative()->SetMaxIterations(static_cast<int>(iterations));
    }

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

    velmor::CircleDriverSettings ds;
    ds.radius = radius;
    ds.centre = ChVector3d(0, radius, 0);
    ds.wheelbase = x_front - x_rear;
    ds.max_wheel_angle = number(veh, "max_wheel_angle_deg") * CH_DEG_TO_RAD;
    ds.path_frequency = optional(man, "path_frequency", ds.path_frequency);
    ds.path_damping = optional(man, "path_damping", ds.path_damping);
    ds.curvature_time = optional(man, "curvature_time_s", ds.curvature_time);
    ds.filter_time = optional(man, "steering_filter_s", ds.filter_time);
    velmor::CircleDriver driver(ds);

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
    double cg_height_achieved = 0, static_front = 0, static_rear = 0;
    bool static_measured = false;
    bool departed = false;
    int steady_steps = 0;
    const int sample_every = std::max(1, static_cast<int>(std::lround(0.05 / step)));
    const size_t block = std::max<size_t>(1, static_cast<size_t>(std::lround(0.1 / step)));
    long frame = 0;
    const double first_extra = 2.0;
    // A step that fails early (far off the circle, or the steering at its stop this long) ends
    // there; the car leaving the circle by 5 m ends the run.
    const double abort_radial = 4 * limits.max_radial_error;
    const double abort_stop_s = 0.3;

    // The steps as given until the first that is not steady; then the interval between the last
    // steady step and the lowest unsteady one is halved `refinements` times. After an unsteady
    // step the car first slows to the last steady speed and settles there.
    const int refinements = static_cast<int>(optional(man, "refinements", 0));
    double steady_ay = -1, unsteady_ay = -1, steady_speed = v0, set_speed = v0;
    bool bisect = false, recover = false;
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
        std::vector<Stretch> plan;
        if (i == 0) {
            plan.push_back({first_extra, target_speed, target_speed, false});
        } else {
            if (recover) {
                plan.push_back({ramp_s, set_speed, steady_speed, false});
                plan.push_back({settle_s, steady_speed, steady_speed, false});
                set_speed = steady_speed;
            }
            plan.push_back({ramp_s, set_speed, target_speed, false});
        }
        plan.push_back({settle_s, target_speed, target_speed, false});
        plan.push_back({measure_s, target_speed, target_speed, true});
        const size_t target_from = plan.size() - 2;  // the stretches held at the target speed

        velmor::Step stats;
        std::string reason;
        double stopped_for = 0;
        int extra_windows = 0;
        for (size_t k = 0; k < plan.size() && reason.empty() && !departed; ++k) {
            const Stretch part = plan[k];  // a copy: a held step appends to the plan
            const double t0 = t;
            while (t < t0 + part.length - 0.5 * step) {
                double frac = std::clamp((t - t0) / std::max(part.length, 1e-9), 0.0, 1.0);
                set_speed = part.from + frac * (part.to - part.from);
                const ChFrameMoving<> &ref = chassis->GetFrameRefToAbs();
                const double yaw_rate_rad = chassis->GetAngVelParent().z();
                velmor::VehicleState state{ref.GetPos(), ref.GetPosDt(), vehicle.GetSpeed(),
                                           yaw_rate_rad};
                velmor::DriverCommand cmd = driver.Update(state, set_speed, step);
                DriverInputs inputs{cmd.steering, cmd.throttle, cmd.braking, 0.0};

                const double yaw = vehicle.GetRot().GetCardanAnglesZYX().z();
                ChVector3d acc = chassis->GetPosDt2();
                double ay = -std::sin(yaw) * acc.x() + std::cos(yaw) * acc.y();
                double yaw_rate = yaw_rate_rad * CH_RAD_TO_DEG;
                double roll = vehicle.GetRoll() * CH_RAD_TO_DEG;
                auto wheels = [&](int axle) {
                    return 0.5 *
                           (vehicle.GetSteeringAngle(axle, LEFT) +
                            vehicle.GetSteeringAngle(axle, RIGHT)) *
                           CH_RAD_TO_DEG;
                };
                double wheel_angle = wheels(0);

                if (!static_measured && i == 0 && t >= first_extra * 0.9) {
                    Moments now = mass_moments(sys);
                    cg_height_achieved = now.first.z() / now.mass;
                    static_front = tyres[0]->ReportTireForce(&terrain).force.z() +
                                   tyres[1]->ReportTireForce(&terrain).force.z();
                    static_rear = tyres[2]->ReportTireForce(&terrain).force.z() +
                                  tyres[3]->ReportTireForce(&terrain).force.z();
                    static_measured = true;
                }
                if (k >= target_from) {
                    stopped_for = cmd.at_stop ? stopped_for + step : 0;
                    if (stopped_for > abort_stop_s) {
                        reason = "steering at its stop";
                    } else if (std::fabs(cmd.radial_error) > abort_radial) {
                        std::ostringstream why;
                        why.precision(3);
                        why << "off the circle: " << cmd.radial_error << " m radial error at "
                            << state.speed << " m/s";
                        reason = why.str();
                    }
                }
                if (part.measure) {
                    if (cmd.at_stop) ++stats.stopped_samples;
                    stats["speed"].add(state.speed);
                    stats["lateral_acc"].add(ay);
                    stats["lateral_acc_kinematic"].add(yaw_rate_rad * state.speed);
                    stats["yaw_rate_dps"].add(yaw_rate);
                    stats["roll_deg"].add(roll);
                    stats["road_wheel_angle_deg"].add(wheel_angle);
                    stats["rear_wheel_angle_deg"].add(wheels(1));
                    stats["steering_input"].add(cmd.steering);
                    stats["radial_error_m"].add(cmd.radial_error);
                    stats["throttle"].add(cmd.throttle);
                    stats["aero_drag_n"].add(aero ? aero->last_drag : 0.0);
                    stats["aero_lift_n"].add(aero ? aero->last_lift : 0.0);
                    for (int axle = 0; axle < 2; ++axle) {
                        const char *end = axle == 0 ? "front" : "rear";
                        double slip = 0, fy = 0, fz = 0, mz = 0;
                        for (int side = 0; side < 2; ++side) {
                            auto &tire = tyres[2 * axle + side];
                            ChCoordsys<> frame_local;
                            TerrainForce f = tire->ReportTireForceLocal(&terrain, frame_local);
                            slip += 0.5 * tire->GetSlipAngle() * CH_RAD_TO_DEG;
                            fy += f.force.y();
                            fz += f.force.z();
                            mz += f.moment.z();
                        }
                        stats[std::string("slip_angle_") + end + "_deg"].add(slip);
                        stats[std::string("lateral_force_") + end + "_n"].add(fy);
                        stats[std::string("vertical_force_") + end + "_n"].add(fz);
                        stats[std::string("aligning_moment_") + end + "_nm"].add(mz);
                    }
                }
                if (frame % sample_every == 0) {
                    series << "[" << t << "," << state.pos.x() << "," << state.pos.y() << ","
                           << state.speed << "," << ay << "," << yaw_rate << "," << roll << ","
                           << wheel_angle << "," << cmd.throttle << "],";
                }
                if (std::fabs(cmd.radial_error) > 5.0 || !std::isfinite(cmd.radial_error)) {
                    departed = true;
                    std::ostringstream why;
                    why << std::fixed;
                    why.precision(1);
                    why << "left the circle: " << cmd.radial_error << " m off the radius at "
                        << state.speed << " m/s";
                    reason = why.str();
                }
                if (!reason.empty()) break;

                terrain.Synchronize(t);
                vehicle.Synchronize(t, inputs, terrain);
                terrain.Advance(step);
                vehicle.Advance(step);
                t = sys.GetChTime();
                ++frame;
            }
            if (reason.empty() && !departed && k + 1 == plan.size()) {
                // A step still settling after its window (near the limit the car's yaw mode
                // slows down) is held for another window, up to `extra_windows` times; each
                // window is judged on its own samples.
                reason = velmor::judge(stats, target_speed, limits, block);
                if (!reason.empty() && extra_windows < max_extra_windows) {
                    ++extra_windows;
                    reason.clear();
                    stats = velmor::Step{};
                    stopped_for = 0;
                    plan.push_back({measure_s, target_speed, target_speed, true});
                }
            }
        }
        bool steady = reason.empty();
        write_step(w, target_ay, target_speed, stats, extra_windows, steady, reason);
        if (steady) {
            steady_ay = target_ay;
            steady_speed = target_speed;
            recover = false;
            ++steady_steps;
        } else {
            unsteady_ay = target_ay;
            recover = true;
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
    w.Double(ds.wheelbase);
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
