"""Benchmarks of the Chrono dynamics run (steady-state circle, sedan:base and sedan:sport).

    python benchmarks/dynamics.py [--out benchmarks/dynamics_results.json]

On a fresh copy of the sample workspace:

* timing: one full run of sedan:base at the default settings (wall and CPU time of the runner);
* convergence: the same at half the time step; the largest lateral acceleration must change < 1 %;
* aero: sedan:sport with its own current aero result, and sedan:base with its lift coefficients
  lowered by 1.0 (more downforce) and its drag raised by 0.2 (more drag);
* physics: the understeer gradient against the bicycle model. Chrono's side is the axles' steer
  difference (front minus rear road-wheel angle) over the steps up to 0.25 g, so the rear
  suspension's roll steer, which the bicycle model lacks, is reported apart. The bicycle model
  takes the run's static axle loads and the tyres' cornering stiffness and pneumatic trail
  probed at the lowest step (lateral force over slip angle, aligning moment over lateral force);
  the classic form (no trail, TMeasy's stiffness at the static corner load) is shown beside it.
  The roll gradient against the one from the template's roll stiffnesses (in series with the
  tyres), the CG height and the double wishbones' roll-centre height.

Needs the Chrono runner (see the README). The timing run runs alone, the others two at a time.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import resource
import shutil
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np

from velmor_platform.core.product_core import ProductCore
from velmor_platform.core.workspace import sample_workspace_path
from velmor_platform.dynamics import api, results, runner

G = 9.81
#: The understeer check: Chrono's axle steer difference over steps up to this lateral
#: acceleration (g), where the tyres are linear, against the bicycle model, within this (deg/g).
LOW_RANGE_G = 0.25
UNDERSTEER_TOLERANCE = 0.1


def _prepare(product: ProductCore, ws: Path, *, step: float = 1e-3, aero_change=None) -> dict:
    settings = api.settings_for(step_s=step)
    folder, run_input, handling, note = api.prepare(product, ws, settings)
    if aero_change is not None and run_input["aero"] is not None:
        aero_change(run_input["aero"])
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
    cpu = time.process_time()
    out = runner.run(folder / "input.json", folder / "result.json", timeout=3600)
    wall = time.monotonic() - start
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
        "cpu_s_parent": round(time.process_time() - cpu, 1),
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


def tyre_probe(step: dict) -> dict:
    """Each axle's cornering stiffness (N/rad) and pneumatic trail (m) at a small-slip step."""
    out = {}
    for end in ("front", "rear"):
        fy = step[f"lateral_force_{end}_n"]
        slip = -math.radians(step[f"slip_angle_{end}_deg"])  # Chrono's sign: negative for +Fy
        out[end] = {
            "cornering_stiffness_n_per_rad": fy / slip,
            "trail_m": -step[f"aligning_moment_{end}_nm"] / fy,
            "load_n": step[f"vertical_force_{end}_n"],
            "slip_deg": math.degrees(slip),
        }
    return out


def physics(base: dict) -> dict:
    veh, s, values = base["vehicle"], base["summary"], base["values"]
    wf, wr = veh["static_front_axle_load_n"], veh["static_rear_axle_load_n"]
    cf, cr = veh["cornering_stiffness_front_n_per_rad"], veh["cornering_stiffness_rear_n_per_rad"]
    m = (wf + wr) / G
    wheelbase = veh["wheelbase_m"]
    steady = sorted((x for x in base["steps"] if x["steady"]), key=lambda x: x["lateral_acc"])
    low = [x for x in steady if x["lateral_acc"] <= LOW_RANGE_G * G]
    probe = tyre_probe(steady[0])
    # Bicycle model, classic: delta = L/R + (Wf/Cf - Wr/Cr) ay/g, with TMeasy's own cornering
    # stiffness at the static axle loads (its parameters' interpolation at the corner load).
    k_classic = math.degrees(wf / cf - wr / cr)
    # The same with the aligning moments' trail and the stiffnesses the tyres show at the
    # lowest step (a small-slip probe of the tyres in the run).
    k_trail = bicycle_gradient(
        (wf, wr),
        (
            probe["front"]["cornering_stiffness_n_per_rad"],
            probe["rear"]["cornering_stiffness_n_per_rad"],
        ),
        (probe["front"]["trail_m"], probe["rear"]["trail_m"]),
        wheelbase,
    )
    k_trail_tmeasy = bicycle_gradient(
        (wf, wr), (cf, cr), (probe["front"]["trail_m"], probe["rear"]["trail_m"]), wheelbase
    )
    g = [x["lateral_acc"] / G for x in low]
    axles = [x["road_wheel_angle_deg"] - x["rear_wheel_angle_deg"] for x in low]
    k_low = float(np.polyfit(g, axles, 1)[0]) if len(low) >= 2 else None
    understeer = {
        "chrono_front_road_wheel_deg_per_g": s.get("understeer_gradient_deg_per_g"),
        "chrono_rear_roll_steer_deg_per_g": s.get("rear_roll_steer_deg_per_g"),
        "chrono_axles_deg_per_g": s.get("understeer_gradient_axles_deg_per_g"),
        "chrono_axles_low_range_deg_per_g": k_low,
        "low_range_g": LOW_RANGE_G,
        "bicycle_classic_deg_per_g": k_classic,
        "bicycle_trail_tmeasy_stiffness_deg_per_g": k_trail_tmeasy,
        "bicycle_trail_probed_stiffness_deg_per_g": k_trail,
        "tyre_probe": probe,
        "tolerance_deg_per_g": UNDERSTEER_TOLERANCE,
    }
    understeer["agree"] = k_low is not None and abs(k_low - k_trail) <= UNDERSTEER_TOLERANCE
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


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--out", default=str(Path(__file__).with_name("dynamics_results.json")))
    parser.add_argument("--only", nargs="*", default=["timing", "convergence", "aero"])
    parser.add_argument("--parallel", type=int, default=2, help="runs at once after the timing run")
    args = parser.parse_args()
    out: dict = {"chrono": runner.about()}
    with tempfile.TemporaryDirectory() as tmp:
        ws = Path(tmp) / "ws"
        shutil.copytree(sample_workspace_path(), ws)
        base = ProductCore.load(str(ws / "products/sedan/base/sedan.usda"))
        sport = ProductCore.load(str(ws / "products/sedan/sport/sedan.usda"))
        jobs = {"base": _prepare(base, ws)}
        if "convergence" in args.only:
            jobs["base_half_step"] = _prepare(base, ws, step=5e-4)
        if "aero" in args.only:

            def downforce(a):
                a["cl_front"] -= 0.5
                a["cl_rear"] -= 0.5

            def drag(a):
                a["cd"] += 0.2

            jobs["sport"] = _prepare(sport, ws)
            jobs["base_more_downforce"] = _prepare(base, ws, aero_change=downforce)
            jobs["base_more_drag"] = _prepare(base, ws, aero_change=drag)
        # The timing run alone first; the others two at a time (each runner is one process).
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        load_before = os.getloadavg()
        runs = {"base": _execute(jobs.pop("base"))}
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        runs["base"]["cpu_s"] = round(
            after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime, 1
        )
        # The machine's load (1, 5, 15-minute averages) before and after the timing run.
        runs["base"]["load_average"] = [list(load_before), list(os.getloadavg())]
        print("base", json.dumps(runs["base"]["summary"]), runs["base"]["wall_s"], flush=True)
        with ThreadPoolExecutor(max_workers=args.parallel) as pool:
            for name, done in zip(jobs, pool.map(_execute, jobs.values())):
                runs[name] = done
                print(name, json.dumps(done["summary"]), done["wall_s"], flush=True)
        out["runs"] = {
            k: {kk: vv for kk, vv in v.items() if kk not in ("folder", "values")}
            for k, v in runs.items()
        }
        out["physics"] = physics(runs["base"])
        lat = {k: v["summary"].get("lateral_g") for k, v in runs.items()}
        out["lateral_g"] = lat
        if "base_half_step" in lat and lat["base"]:
            out["half_step_change_percent"] = (
                100 * (lat["base_half_step"] - lat["base"]) / lat["base"]
            )
    Path(args.out).write_text(json.dumps(out, indent=2) + "\n")
    print(json.dumps({k: out[k] for k in out if k != "runs"}, indent=2))


if __name__ == "__main__":
    main()
