// The signatures (parameter table, declared types, body) of every member of
// ProductCore and of the module-level function, defined in the file of their
// subsystem and assembled into the class by module.cpp.
#pragma once

#include "runtime/function.hpp"

namespace vp::members {

// The parameter tables shared by members: the instance alone, and none.
inline constexpr Param self_only[] = {{.name = "self"}};
inline constexpr std::span<const Param> no_params{};

// identity.cpp: construction, loading, identity and paths
extern const Signature init, load, name, usd_path, product_dir, product_identifier, metadata, repr;
// properties.cpp: views on the vehicle record and the run history
extern const Signature specs, has_dynamics, targets, benchmarks, current, simulations, history;
// solvers.cpp: domains and backends, solver discovery, capabilities, templates
extern const Signature normalise_domain, set_solver, get_solver_backend, resolve_dispatch_backend,
    solvers, solver, capabilities, list_openfoam_templates;
// authoring.cpp
extern const Signature set_geometry, set_targets;
// analysis.cpp
extern const Signature diff, range_competitiveness, export_;

// Properties that members read through the instance.  When an instance reads
// one through ProductCore's own property (no override in a subclass, normal
// attribute lookup), the members call its body directly; the result is the
// same, without the descriptor round trip.
// The same holds for the methods members call through the instance, as long
// as the instance itself holds no attribute of that name.
enum class Own {
    HasDynamics,
    Name,
    Targets,
    NormaliseDomain,
    GetSolverBackend,
    ProductIdentifier,
    Count,
    None = Count,  // a member no other member reads through the instance
};
void remember_property(Own which, PyObject *property);
PyObject *own_property(Own which) noexcept;  // borrowed, may be NULL
// Both answers are cached per member, keyed by the instance's type and its
// version tag (and, for methods, the instance dict and its version tag).
bool reads_own(PyObject *self, Own which, PyObject *name);
// 1 when self.<name> is ProductCore's own method, 0 when not, -1 on error.
int reads_own_method(PyObject *self, Own which, PyObject *name);

// Bodies that members reach through the instance.
PyObject *normalise_domain_value(PyObject *domain);
PyObject *get_solver_backend_value(PyObject *self, PyObject *domain);
PyObject *product_identifier_value(PyObject *self);

// self.has_dynamics, self.name and self.targets, honouring overrides.
int has_dynamics_of(PyObject *self);
PyObject *name_of(PyObject *self);
PyObject *targets_of(PyObject *self);
// The "cd" entry of ProductCore's own targets view, with every look-up the
// view makes, without building it.
PyObject *target_cd_of(PyObject *self);

// Class-level tables (solvers.cpp).
PyObject *make_default_solver_table();
PyObject *make_valid_backends_table();

}  // namespace vp::members
