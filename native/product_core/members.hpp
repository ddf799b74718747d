// The signatures (parameter table, declared types, body) of every member of
// ProductCore and of the module-level function, defined in the file of their
// subsystem and assembled into the class by module.cpp.
#pragma once

#include "runtime/function.hpp"

namespace vp::members {

// identity.cpp: construction, loading, identity and paths
extern const Signature init, load, name, usd_path, product_dir, product_identifier, metadata,
    repr;
// properties.cpp: views on the vehicle record and the run history
extern const Signature specs, has_dynamics, targets, benchmarks, current, simulations, history;
// solvers.cpp: domains and backends, solver discovery, capabilities, templates
extern const Signature normalise_domain, set_solver, get_solver_backend,
    resolve_dispatch_backend, solvers, solver, capabilities, list_openfoam_templates;
// authoring.cpp
extern const Signature set_geometry, set_targets;
// analysis.cpp
extern const Signature diff, range_competitiveness, export_;

// Class-level tables (solvers.cpp).
PyObject *make_default_solver_table();
PyObject *make_valid_backends_table();

}  // namespace vp::members
