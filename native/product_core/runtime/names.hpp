// Interned attribute names, dictionary keys and constant strings.
//
// Made once when the module is first executed and kept for the life of the
// process; the module loads into one interpreter only, so plain static
// storage is enough.
#pragma once

#include "ref.hpp"

namespace vp {

#define VP_NAMES(X)                                                                 \
    /* instance and class attributes */                                             \
    X(usd_path_attr, "_usd_path")                                                   \
    X(vehicle_attr, "_vehicle")                                                     \
    X(solver_backend_attr, "_solver_backend")                                       \
    X(has_dynamics, "has_dynamics")                                                 \
    X(name, "name")                                                                 \
    X(targets, "targets")                                                           \
    X(product_identifier, "_product_identifier")                                    \
    X(normalise_domain, "_normalise_domain")                                        \
    X(get_solver_backend, "get_solver_backend")                                     \
    X(simulations, "simulations")                                                   \
    X(default_solver_table, "_DOMAIN_DEFAULT_SOLVER")                               \
    X(valid_backends_table, "_DOMAIN_VALID_BACKENDS")                               \
    /* module globals */                                                            \
    X(Path, "Path")                                                                 \
    X(load_product, "load_product")                                                 \
    X(list_domains, "list_domains")                                                 \
    X(get_domain, "get_domain")                                                     \
    X(default_solver_for, "default_solver_for")                                     \
    X(list_openfoam_templates, "_list_openfoam_templates")                          \
    /* path, OpenUSD and protocol attributes */                                     \
    X(parent, "parent")                                                             \
    X(stem, "stem")                                                                 \
    X(suffix, "suffix")                                                             \
    X(exists, "exists")                                                             \
    X(resolve, "resolve")                                                           \
    X(stat, "stat")                                                                 \
    X(st_size, "st_size")                                                           \
    X(lower, "lower")                                                               \
    X(round, "__round__")                                                           \
    X(stl, ".stl")                                                                  \
    X(get, "get")                                                                   \
    X(copy, "copy")                                                                 \
    X(Stage, "Stage")                                                               \
    X(Open, "Open")                                                                 \
    X(GetDefaultPrim, "GetDefaultPrim")                                             \
    X(GetAttribute, "GetAttribute")                                                 \
    X(Set, "Set")                                                                   \
    X(GetRootLayer, "GetRootLayer")                                                 \
    X(Reload, "Reload")                                                             \
    X(call_tool, "call_tool")                                                       \
    X(aenter, "__aenter__")                                                         \
    X(aexit, "__aexit__")                                                           \
    X(await_, "__await__")                                                          \
    X(run, "run")                                                                   \
    /* vehicle record keys */                                                       \
    X(vehicle_name, "vehicle_name")                                                 \
    X(mass, "mass")                                                                 \
    X(wheelbase, "wheelbase")                                                       \
    X(target_cd, "target_cd")                                                       \
    X(target_cl, "target_cl")                                                       \
    X(target_cm, "target_cm")                                                       \
    X(target_cd_tol, "target_cd_tol")                                               \
    X(target_cl_tol, "target_cl_tol")                                               \
    X(target_cm_tol, "target_cm_tol")                                               \
    X(target_lateral_g, "target_lateral_g")                                         \
    X(target_yaw_rate_dps, "target_yaw_rate_dps")                                   \
    X(target_roll_angle_deg, "target_roll_angle_deg")                               \
    X(benchmark_cd, "benchmark_cd")                                                 \
    X(benchmark_cl, "benchmark_cl")                                                 \
    X(benchmark_cm, "benchmark_cm")                                                 \
    X(benchmark_source, "benchmark_source")                                         \
    X(current_cd, "current_cd")                                                     \
    X(current_cl, "current_cl")                                                     \
    X(current_cm, "current_cm")                                                     \
    X(current_lateral_g, "current_lateral_g")                                       \
    X(current_yaw_rate_dps, "current_yaw_rate_dps")                                 \
    X(current_roll_angle_deg, "current_roll_angle_deg")                             \
    /* result keys */                                                               \
    X(cd, "cd")                                                                     \
    X(cl, "cl")                                                                     \
    X(cm_pitch, "cm_pitch")                                                         \
    X(lateral_g, "lateral_g")                                                       \
    X(yaw_rate_dps, "yaw_rate_dps")                                                 \
    X(roll_angle_deg, "roll_angle_deg")                                             \
    X(source, "source")                                                             \
    X(product, "product")                                                           \
    X(product_id, "product_id")                                                     \
    X(action, "action")                                                             \
    X(status, "status")                                                             \
    X(domain, "domain")                                                             \
    X(backend, "backend")                                                           \
    X(available, "available")                                                       \
    X(solver, "solver")                                                             \
    X(version, "version")                                                           \
    X(surrogate, "surrogate")                                                       \
    X(solver_count, "solver_count")                                                 \
    X(solvers, "solvers")                                                           \
    X(format, "format")                                                             \
    X(path, "path")                                                                 \
    X(size_mb, "size_mb")                                                           \
    X(note, "note")                                                                 \
    /* constant values */                                                           \
    X(empty, "")                                                                    \
    X(colon, ":")                                                                   \
    X(repr_open, "Velmor(")                                                         \
    X(repr_cd, ", cd_target=")                                                      \
    X(repr_close, ")")                                                              \
    X(slash, "/")                                                                   \
    X(dot, ".")                                                                     \
    X(double_slash, "//")                                                           \
    X(geometry_note, "Geometry registered. Run --prepare-cfd to rebuild CFD case.") \
    X(products, "products")                                                         \
    X(selected, "selected")                                                         \
    X(updated, "updated")                                                           \
    X(accepted, "accepted")                                                         \
    X(openfoam, "openfoam")                                                         \
    X(auto_, "auto")                                                                \
    X(aero, "aero")                                                                 \
    X(aerodynamics, "aerodynamics")                                                 \
    X(dynamics, "dynamics")                                                         \
    X(usd, "usd")                                                                   \
    X(USD, "USD")                                                                   \
    X(list_templates, "list_templates")

struct Names {
#define VP_DECLARE_NAME(id, text) PyObject *id;
    VP_NAMES(VP_DECLARE_NAME)
#undef VP_DECLARE_NAME
    // Shared immutable numbers.
    PyObject *int_0;
    PyObject *int_500;
    PyObject *int_2;
    PyObject *int_million;
    PyObject *float_0_8;
    PyObject *float_15;
    PyObject *float_3;
    PyObject *float_round;  // float.__round__
};

extern Names N;

// Creates every name once; later calls do nothing.
bool init_names();

}  // namespace vp
