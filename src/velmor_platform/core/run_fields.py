"""The attributes of a recorded simulation run, one table for readers and writers.

Each row is ``(record key, USD attribute, value type)``. The product reader
returns every authored attribute of the table under its key; the recorder
writes them with their type. Rows are only ever added, so a reader of an
older table still reads a newer record (it skips attributes it does not
know) and a newer reader reads an older one (missing keys stay missing).
"""

from __future__ import annotations

RUN_FIELDS: tuple[tuple[str, str, str], ...] = (
    ("run_id", "runId", "String"),
    ("timestamp", "timestamp", "String"),
    ("domain", "domain", "Token"),
    ("solver", "solver", "String"),
    ("solver_version", "solverVersion", "String"),
    ("status", "status", "Token"),
    ("mesh_cells", "meshCells", "Int"),
    ("wall_time_s", "wallTimeS", "Double"),
    ("cd", "cd", "Double"),
    ("cl", "cl", "Double"),
    ("cm_pitch", "cmPitch", "Double"),
    ("lateral_g", "lateralG", "Double"),
    ("yaw_rate_dps", "yawRateDps", "Double"),
    ("roll_angle_deg", "rollAngleDeg", "Double"),
    # What the run was, and how it went.
    ("case_dir", "caseDir", "String"),
    ("log", "logFile", "String"),
    ("converged", "converged", "Bool"),
    ("cd_spread", "cdSpread", "Double"),
    ("iterations", "iterations", "Int"),
    ("message", "message", "String"),
    # What it was computed with.
    ("level", "meshLevel", "Token"),
    ("ranks", "ranks", "Int"),
    ("speed", "speed", "Double"),
    ("geometry_source", "geometrySource", "String"),
    ("geometry_key", "geometryKey", "String"),
    ("reference_area", "referenceArea", "Double"),
    ("reference_length", "referenceLength", "Double"),
    ("projected_area", "projectedFrontalArea", "Double"),
    ("cd_a", "cdA", "Double"),
    ("half_model", "halfModel", "Bool"),
    ("asymmetry", "asymmetry", "Double"),
    ("warnings", "warnings", "String"),
    # The averaging window and iterative statistics (95 % half-widths, under their old names).
    ("window_start", "windowStart", "Int"),
    ("window_end", "windowEnd", "Int"),
    ("cd_two_se", "cdTwoSe", "Double"),
    ("cl_two_se", "clTwoSe", "Double"),
    ("cm_two_se", "cmPitchTwoSe", "Double"),
    ("cl_front", "clFront", "Double"),
    ("cl_front_two_se", "clFrontTwoSe", "Double"),
    ("cl_rear", "clRear", "Double"),
    ("cl_rear_two_se", "clRearTwoSe", "Double"),
    ("cd_body", "cdBody", "Double"),
    ("cd_front_wheels", "cdFrontWheels", "Double"),
    ("cd_rear_wheels", "cdRearWheels", "Double"),
    # The band the checks use: half widths around cd, cl, cm_pitch.
    ("cd_band", "cdBand", "Double"),
    ("cl_band", "clBand", "Double"),
    ("cm_band", "cmPitchBand", "Double"),
    ("band_method", "bandMethod", "String"),
    # The grid-convergence estimate of a mesh ladder (absent for one level).
    ("grid_kind", "gridKind", "Token"),
    ("grid_order", "gridOrder", "Double"),
    ("grid_cd_extrapolated", "gridCdExtrapolated", "Double"),
    ("grid_safety_factor", "gridSafetyFactor", "Double"),
    ("grid_cd_band", "gridCdBand", "Double"),
    ("grid_ratio", "gridRatio", "Double"),
    ("ladder", "ladder", "String"),
    # A yawed run's side force and yaw moment, and the study a run belongs to.
    ("cs", "cs", "Double"),
    ("cm_yaw", "cmYaw", "Double"),
    ("yaw_deg", "yawDeg", "Double"),
    ("study", "study", "String"),
    # A dynamics run: its figures besides the targets' and what it was computed with.
    ("understeer_gradient_deg_per_g", "understeerGradientDegPerG", "Double"),
    ("understeer_gradient_axles_deg_per_g", "understeerGradientAxlesDegPerG", "Double"),
    ("rear_roll_steer_deg_per_g", "rearRollSteerDegPerG", "Double"),
    ("roll_gradient_deg_per_g", "rollGradientDegPerG", "Double"),
    ("handling_template", "handlingTemplate", "String"),
    ("handling_values", "handlingValues", "String"),
    ("dynamics_settings", "dynamicsSettings", "String"),
    ("aero_run", "aeroRun", "String"),
    # How the prism layers went on, patch by patch.
    ("layers", "prismLayers", "String"),
)

#: (USD attribute, record key) pairs, for the reader.
RUN_ATTRIBUTES: tuple[tuple[str, str], ...] = tuple((attr, key) for key, attr, _ in RUN_FIELDS)

#: The Simulations prim's attribute naming the run the user chose as current.
CURRENT_AERO_ATTRIBUTE = "currentAerodynamicsRun"
