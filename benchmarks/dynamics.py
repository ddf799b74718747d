"""Benchmarks of the Chrono dynamics run (steady-state circle, sedan:base and sedan:sport).

    python benchmarks/dynamics.py [--out benchmarks/dynamics_results.json]

On a fresh copy of the sample workspace:

* timing: one full run of sedan:base at the default settings (wall and CPU time of the runner);
* convergence: the same at half and at twice the time step (the largest lateral acceleration
  must change < 1 % from the default to half of it), and with Chrono's default 150 solver
  iterations a step;
* aero: sedan:sport with its own current aero result, sedan:base carrying sport's aero result
  (the same vehicle, the aero alone), and sedan:base with its lift coefficients lowered by 1.0
  (more downforce) and its drag raised by 0.2 (more drag);
* physics: the understeer gradient against the bicycle model. Chrono's side is the axles' steer
  difference (front minus rear road-wheel angle) between the two lowest steps (0.1 and 0.2 g),
  so the rear suspension's roll steer, which the bicycle model lacks, is reported apart. The
  bicycle model takes the run's static axle loads and the tyres' cornering stiffness and
  pneumatic trail probed between those steps (change of lateral force over change of slip
  angle, of aligning moment over lateral force); the classic form (no trail, TMeasy's zero-slip
  stiffness at the static corner load) is shown beside it.
  The roll gradient against the one from the template's roll stiffnesses (in series with the
  tyres), the CG height and the double wishbones' roll-centre height.

Needs the Chrono runner (see the README). The runs go one at a time (``--parallel`` for more);
each one's CPU time is its own, its wall time depends on what else the machine runs.
``--recompute`` redoes the physics checks of an existing results file.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import shutil
import subprocess
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor, as_completed
from pathlib import Path

from velmor_platform.core.product_core import ProductCore
from velmor_platform.core.workspace import sample_workspace_path
from velmor_platform.dynamics import api, results, runner

G = 9.81
#: The understeer check: Chrono's axle steer difference between the two lowest steady steps
#: against the bicycle model from the tyres probed there, within this (deg/g).
UNDERSTEER_TOLERANCE = 0.1


def _prepare(product: ProductCore, ws: Path, *, aero_change=None, aero_of=None, **given) -> dict:
    """A run of ``product`` at the default settings but ``given``; ``aero_of`` another
    product whose current aero result it carries instead of its own."""
    settings = api.settings_for(**given)
    folder, run_input, handling, note = api.prepare(product, ws, settings)
    if aero_of is not None:
        run_input["aero"], note = api.aero_input(aero_of, float(settings["air_density"]))
    if aero_change is not None and run_input["aero"] is not None:
        aero_change(run_input["aero"])
    if aero_of is not None or aero_change is not None:
        (folder / "input.json").write_text(json.dumps(run_input))
    return {
        "settings": settings,
        "folder": folder,
        "input": run_input,
        "handling": handling,
        "note": note,
    }


def _execute(job: dict) -> dict:
    folder = job["folder"]
    start = time.monotonic()
    # The runner as the dynamics run starts it, waited for here to read its own CPU time.
    with (folder / "result.log").open("wb") as log:
        child = subprocess.Popen(
            [runner.require()["runner"], str(folder / "input.json"), str(folder / "result.json")],
            stdout=log,
            stderr=subprocess.STDOUT,
        )
        _, status, usage = os.wait4(child.pid, 0)
        child.returncode = os.waitstatus_to_exitcode(status)
    wall = time.monotonic() - start
    try:
        out = json.loads((folder / "result.json").read_text())
    except (OSError, ValueError):
        out = {"status": "failed", "message": f"exit status {child.returncode}"}
    summary = results.summarise(
        out.get("steps") or [], job["settings"], job["handling"].values["steering_ratio"]
    )
    return {
        "wall_s": round(wall, 1),
        "simulated_s": out.get("simulated_s"),
        "status": out.get("status"),
        "aero": job["input"]["aero"],
        "aero_note": job["note"],
        "summary": summary,
        "vehicle": out.get("vehicle"),
        "steps": out.get("steps") or [],
        "folder": str(folder),
        "values": job["handling"].values,
        "derived": job["input"]["product"]["derived"],
        "cpu_s": round(usage.ru_utime + usage.ru_stime, 1),
    }


def _roll_centre_height(susp: dict, axle_z: float, ground_z: float) -> float:
    """Front-view roll-centre height above the ground of a double wishbone (chassis frame)."""

    def line(arm):
        inner = [
            (arm["Location Chassis Front"][i] + arm["Location Chassis Back"][i]) / 2 for i in (1, 2)
        ]
        outer = [arm["Location Upright"][1], arm["Location Upright"][2]]
        return inner, outer

    (a1, a2), (b1, b2) = line(susp["Upper Control Arm"]), line(susp["Lower Control Arm"])

    def intersect(p1, p2, q1, q2):
        d1 = (p2[0] - p1[0], p2[1] - p1[1])
        d2 = (q2[0] - q1[0], q2[1] - q1[1])
        den = d1[0] * d2[1] - d1[1] * d2[0]
        t = ((q1[0] - p1[0]) * d2[1] - (q1[1] - p1[1]) * d2[0]) / den
        return p1[0] + t * d1[0], p1[1] + t * d1[1]

    ic = intersect(a1, a2, b1, b2)
    ic = (ic[0], ic[1] + axle_z)
    contact = (susp["Spindle"]["COM"][1], ground_z)
    # The line from the contact patch through the instant centre, at the centre plane (y = 0).
    slope = (ic[1] - contact[1]) / (ic[0] - contact[0])
    return contact[1] + slope * (0 - contact[0]) - ground_z


def bicycle_gradient(loads, stiffness, trails, wheelbase: float) -> float:
    """The understeer gradient (deg/g) of the bicycle model with the axles' static loads,
    cornering stiffnesses (N/rad) and pneumatic trails (m; the aligning moments move lateral
    force to the front axle): the yaw balance Fyf (a - tf) = Fyr (b + tr) shares m ay."""
    (wf, wr), (cf, cr), (tf, tr) = loads, stiffness, trails
    w = wf + wr
    a, b = wheelbase * wr / w, wheelbase * wf / w  # CG to front and to rear axle
    return math.degrees(w * ((b + tr) / cf - (a - tf) / cr) / (wheelbase + tr - tf))


def tyre_probe(low: dict, high: dict) -> dict:
    """Each axle's cornering stiffness (N/rad) and pneumatic trail (m) between two small-slip
    steps: the change of lateral force over the change of slip angle, and of aligning moment
    over lateral force."""
    out = {}
    for end in ("front", "rear"):
        dfy = high[f"lateral_force_{end}_n"] - low[f"lateral_force_{end}_n"]
        # Chrono's slip angle is negative where the lateral force is positive.
        dslip = -math.radians(high[f"slip_angle_{end}_deg"] - low[f"slip_angle_{end}_deg"])
        dmz = high[f"aligning_moment_{end}_nm"] - low[f"aligning_moment_{end}_nm"]
        out[end] = {
            "cornering_stiffness_n_per_rad": dfy / dslip,
            "trail_m": -dmz / dfy,
            "load_n": low[f"vertical_force_{end}_n"],
            "slip_deg": [-low[f"slip_angle_{end}_deg"], -high[f"slip_angle_{end}_deg"]],
        }
    return out


def physics(base: dict) -> dict:
    veh, s, values = base["vehicle"], base["summary"], base["values"]
    wf, wr = veh["static_front_axle_load_n"], veh["static_rear_axle_load_n"]
    cf, cr = veh["cornering_stiffness_front_n_per_rad"], veh["cornering_stiffness_rear_n_per_rad"]
    m = (wf + wr) / G
    wheelbase = veh["wheelbase_m"]
    steady = sorted((x for x in base["steps"] if x["steady"]), key=lambda x: x["lateral_acc"])
    low, high = steady[0], steady[1]
    probe = tyre_probe(low, high)
    stiffness = tuple(probe[e]["cornering_stiffness_n_per_rad"] for e in ("front", "rear"))
    trails = tuple(probe[e]["trail_m"] for e in ("front", "rear"))
    # The classic bicycle model: delta = L/R + (Wf/Cf - Wr/Cr) ay/g, with TMeasy's own
    # zero-slip stiffness at the static corner loads (its parameters' interpolation).
    k_classic = math.degrees(wf / cf - wr / cr)
    # With the aligning moments' trail, TMeasy's zero-slip stiffness, then the stiffness the tyres
    # show between the two lowest steps (they soften from the smallest slip on).
    k_trail_tmeasy = bicycle_gradient((wf, wr), (cf, cr), trails, wheelbase)
    k_trail = bicycle_gradient((wf, wr), stiffness, trails, wheelbase)
    # Chrono: the axles' steer difference over the same two steps.
    dg = (high["lateral_acc"] - low["lateral_acc"]) / G
    axles = [x["road_wheel_angle_deg"] - x["rear_wheel_angle_deg"] for x in (low, high)]
    k_chrono = (axles[1] - axles[0]) / dg
    front_share = [
        x["lateral_force_front_n"] / (x["lateral_force_front_n"] + x["lateral_force_rear_n"])
        for x in (low, high)
    ]
    understeer = {
        "chrono_front_road_wheel_deg_per_g": s.get("understeer_gradient_deg_per_g"),
        "chrono_rear_roll_steer_deg_per_g": s.get("rear_roll_steer_deg_per_g"),
        "chrono_axles_deg_per_g": s.get("understeer_gradient_axles_deg_per_g"),
        "probe_steps_lateral_acc": [low["lateral_acc"], high["lateral_acc"]],
        "chrono_axles_probe_steps_deg_per_g": k_chrono,
        "bicycle_classic_deg_per_g": k_classic,
        "bicycle_trail_tmeasy_stiffness_deg_per_g": k_trail_tmeasy,
        "bicycle_trail_probed_stiffness_deg_per_g": k_trail,
        "tyre_probe": probe,
        "front_share_of_lateral_force_chrono": front_share,
        "front_share_static": wf / (wf + wr),
        "front_share_bicycle_trail": (wheelbase * wf / (wf + wr) + trails[1])
        / (wheelbase + trails[1] - trails[0]),
        "tolerance_deg_per_g": UNDERSTEER_TOLERANCE,
    }
    understeer["agree"] = abs(k_chrono - k_trail) <= UNDERSTEER_TOLERANCE
    folder = Path(base["folder"]) / "vehicle" / "velmor"
    susp = {
        end: json.loads((folder / f"suspension_{end}.json").read_text())
        for end in ("front", "rear")
    }
    veh_json = json.loads((folder / "vehicle.json").read_text())
    chassis = json.loads((folder / "chassis.json").read_text())
    track = veh["track_front_m"]
    cz = values["tyre_vertical_stiffness_n_per_m"]
    k_tyre = math.radians(1) * cz * track**2 / 2  # N m/deg per axle
    k_axles = [values[f"roll_stiffness_{e}_nm_per_deg"] for e in ("front", "rear")]
    k_total = sum(1 / (1 / k + 1 / k_tyre) for k in k_axles)  # N m/deg
    radius = (
        values["tyre_rim_diameter_m"] / 2 + values["tyre_width_m"] * values["tyre_aspect_ratio"]
    )
    rc = []
    for index, end in enumerate(("front", "rear")):
        loc = veh_json["Axles"][index]["Suspension Location"]
        wheel_z = loc[2] + susp[end]["Spindle"]["COM"][2]
        ground = wheel_z - (radius - m * G / 4 / cz)
        rc.append(_roll_centre_height(susp[end], loc[2], ground))
    h = veh["cg_height_m"]
    share = wf / (wf + wr)
    h_axis = share * rc[0] + (1 - share) * rc[1]  # roll axis under the CG
    sprung = base["derived"]["body_mass_kg"]
    arm = h - h_axis
    moment = sprung * G * arm  # N m per g
    roll_expected = moment / (k_total * 180 / math.pi - sprung * G * arm) * 180 / math.pi
    return {
        "understeer": understeer,
        "roll_gradient_chrono_deg_per_g": s.get("roll_gradient_deg_per_g"),
        "roll_gradient_expected_deg_per_g": roll_expected,
        "roll_centre_heights_m": rc,
        "roll_stiffness_total_nm_per_deg": k_total,
        "roll_tolerance_fraction": 0.15,
        "roll_ok": s.get("roll_gradient_deg_per_g") is not None
        and abs(s["roll_gradient_deg_per_g"] - roll_expected) <= 0.15 * roll_expected,
        "chassis_com": chassis["Components"][0]["Centroidal Frame"]["Location"],
    }


def _write(out: dict, runs: dict, path: str) -> None:
    out["runs"] = {
        k: {kk: vv for kk, vv in v.items() if kk not in ("folder", "values")}
        for k, v in runs.items()
    }
    if "base" in runs:
        out["physics"] = physics(runs["base"])
    lat = {k: v["summary"].get("lateral_g") for k, v in runs.items()}
    out["lateral_g"] = lat
    for other, key in (("base_half_step", "half_step"), ("base_double_step", "double_step")):
        if lat.get(other) and lat.get("base"):
            out[f"{key}_change_percent"] = 100 * (lat[other] - lat["base"]) / lat["base"]
    Path(path).write_text(json.dumps(out, indent=2) + "\n")


def recompute(path: str) -> None:
    """The physics checks of a results file again, its base run's vehicle files rebuilt the
    same way in a fresh copy of the sample workspace."""
    out = json.loads(Path(path).read_text())
    with tempfile.TemporaryDirectory() as tmp:
        ws = Path(tmp) / "ws"
        shutil.copytree(sample_workspace_path(), ws)
        job = _prepare(ProductCore.load(str(ws / "products/sedan/base/sedan.usda")), ws)
        run = out["runs"]["base"]
        out["physics"] = physics(
            {**run, "folder": str(job["folder"]), "values": job["handling"].values}
        )
    Path(path).write_text(json.dumps(out, indent=2) + "\n")
    print(json.dumps(out["physics"], indent=2))


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--out", default=str(Path(__file__).with_name("dynamics_results.json")))
    parser.add_argument("--only", nargs="*", default=["timing", "convergence", "aero"])
    parser.add_argument("--parallel", type=int, default=1, help="runs at once")
    parser.add_argument("--recompute", action="store_true", help="only the physics, from --out")
    args = parser.parse_args()
    if args.recompute:
        recompute(args.out)
        return
    out: dict = {"chrono": runner.about()}
    with tempfile.TemporaryDirectory() as tmp:
        ws = Path(tmp) / "ws"
        shutil.copytree(sample_workspace_path(), ws)
        base = ProductCore.load(str(ws / "products/sedan/base/sedan.usda"))
        sport = ProductCore.load(str(ws / "products/sedan/sport/sedan.usda"))
        jobs = {"base": _prepare(base, ws)}
        step = api.DEFAULTS["step_s"]
        if "convergence" in args.only:
            jobs["base_half_step"] = _prepare(base, ws, step_s=step / 2)
            jobs["base_double_step"] = _prepare(base, ws, step_s=step * 2)
            jobs["base_150_iterations"] = _prepare(base, ws, solver_iterations=150)
        if "aero" in args.only:

            def downforce(a):
                a["cl_front"] -= 0.5
                a["cl_rear"] -= 0.5

            def drag(a):
                a["cd"] += 0.2

            jobs["sport"] = _prepare(sport, ws)
            # The same vehicle with sport's aero result: the aero's own effect.
            jobs["base_with_sport_aero"] = _prepare(base, ws, aero_of=sport)
            jobs["base_more_downforce"] = _prepare(base, ws, aero_change=downforce)
            jobs["base_more_drag"] = _prepare(base, ws, aero_change=drag)
        # In the order above (each runner is one process with its own CPU time);
        # the file is written after every run, so a benchmark cut short keeps the runs before.
        # The machine's load (1, 5, 15-minute averages) at the start and after each run.
        out["load_average"] = [list(os.getloadavg())]
        runs: dict = {}
        with ThreadPoolExecutor(max_workers=args.parallel) as pool:
            pending = {pool.submit(_execute, job): name for name, job in jobs.items()}
            for future in as_completed(pending):
                name = pending[future]
                runs[name] = done = future.result()
                out["load_average"].append(list(os.getloadavg()))
                print(name, json.dumps(done["summary"]), done["wall_s"], done["cpu_s"], flush=True)
                _write(out, runs, args.out)
    print(json.dumps({k: out[k] for k in out if k != "runs"}, indent=2))


if __name__ == "__main__":
    main()
