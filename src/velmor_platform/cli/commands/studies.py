"""Design variants, studies and case housekeeping: ``variant``, ``study`` and ``clean-cases``."""

from __future__ import annotations

import argparse
import contextlib
import signal
import sys
from pathlib import Path
from typing import Any

from ... import rules
from ...formats import progress_text
from .. import render
from ..outcome import EXIT_ERROR, EXIT_INTERRUPTED, Outcome, workspace
from ..parser import PRODUCT_HELP, PROG, Subparsers, add_command, add_group, count, speed, yaw

_CASE_COLUMNS = ["CASE", "STATUS", "CD", "CS", "CONVERGED", "JOB", "PROGRESS"]


# ------------------------------------------------------------------ variant


def register_variant(commands: Subparsers) -> None:
    p = add_command(
        commands,
        "variant",
        "make a new product from an existing one and a geometry file",
        cmd_variant,
        [
            f"{PROG} variant sedan:base sedan:wide wide_body.stl",
            f"{PROG} variant hatch hatch:long long.stl --scale 0.001",
            f"{PROG} variant sedan:base coupe coupe.usda --wheels none --length 2.8",
        ],
        description=(
            "Make the product NAME (<programme> or <programme>:<variant>) from PARENT and a\n"
            "geometry file: an STL file, or a USD file with meshes. The design intent is\n"
            "copied; the benchmarks and the run history start empty (the parent's benchmark\n"
            "measured another geometry). The display name is the parent's with the variant in\n"
            "brackets unless --vehicle-name is given. The geometry is converted into the\n"
            "workspace's geometry folder as a USD mesh, and a case template named after the new\n"
            "product's directory is copied from the parent's, so the new product runs at once.\n"
            "The frontal area comes from the body unless given, the reference length (the\n"
            "wheelbase) from the wheels unless given with --length. Nothing is written when any\n"
            "check fails.\n\n"
            "The file must use the vehicle's frame: metres (or --scale), x along the car from\n"
            "the front of the body (x = 0) rearwards, y to the left, z up, the ground at z = 0\n"
            "and the body symmetric about y = 0 (unless --full-model). Wheels must stand inside\n"
            "the body's track and touch the ground. A file that does not fit is refused with\n"
            "the --up or --origin that would fix it."
        ),
    )
    p.add_argument("parent", metavar="PARENT", help="the product to start from")
    p.add_argument("name", metavar="NAME", help="the new product's identifier")
    p.add_argument("geometry", metavar="FILE", help="STL file, or USD file with meshes")
    p.add_argument(
        "--scale",
        type=float,
        default=1.0,
        metavar="FACTOR",
        help="multiply the coordinates (0.001 for a file in millimetres)",
    )
    p.add_argument(
        "--wheels",
        default="keep",
        metavar="keep|none|FILE",
        help="keep the parent's wheels (default), drop them, or use a USD file's",
    )
    p.add_argument("--frontal-area", type=float, metavar="M2", help="frontal area in m^2")
    p.add_argument(
        "--length",
        type=float,
        metavar="M",
        help="reference length (wheelbase) in m; needed with --wheels none",
    )
    p.add_argument("--up", choices=("z", "y"), default="z", help="the file's up axis (default z)")
    p.add_argument(
        "--origin",
        type=_point,
        default=(0.0, 0.0, 0.0),
        metavar="X,Y,Z",
        help="the point of the file (in metres, after --scale) that becomes the origin",
    )
    p.add_argument(
        "--full-model",
        action="store_true",
        help="accept a body that is not symmetric about y = 0 (for full-model runs)",
    )
    p.add_argument(
        "--vehicle-name",
        metavar="TEXT",
        help="the new product's display name (default: the parent's name with the variant in "
        "brackets, e.g. 'Velmor Sedan Base (wide)')",
    )


def _point(text: str) -> tuple[float, float, float]:
    try:
        x, y, z = (float(v) for v in text.split(","))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected X,Y,Z in metres, not {text!r}") from None
    return x, y, z


def cmd_variant(args: argparse.Namespace) -> Outcome:
    from ...services import variants

    length = args.length
    if length is None and args.wheels == "none" and sys.stdin.isatty():
        answer = input("reference length (wheelbase) in m, for the pitching moment: ")
        with contextlib.suppress(ValueError):
            length = float(answer)  # checked with the other values
    made = variants.make(
        workspace(args), args.parent, args.name, args.geometry, scale=args.scale,
        wheels=args.wheels, frontal_area=args.frontal_area, length=length,
        vehicle_name=args.vehicle_name, full_model=args.full_model, up=args.up,
        origin=args.origin,
    )  # fmt: skip

    def text() -> list[str]:
        g = render.glyphs()
        template = made["template"]
        source = made["template_source"]
        return [
            f"made {made['product']} from {made['parent']}: {made['usd_path']}",
            *render.key_values(
                [
                    ("geometry", f"{made['geometry']} ({made['triangles']:,} "
                                 "triangles)"),
                    ("frontal area", f"{made['frontal_area']:g} {render.unit('frontal_area', g)} "
                                     f"({made['frontal_area_source']}; "
                                     f"{made['frontal_area_basis']})"),
                    ("reference length", f"{made['length']:g} m ({made['length_source']})"),
                    ("wheels", str(made["wheels"])),
                    ("name", f"{made['vehicle_name']} ({made['vehicle_name_source']})"),
                    ("benchmark", "none" + (f" (the parent's, {made['parent_benchmark']}, "
                                            "measured another geometry)"
                                            if made["parent_benchmark"] else "")),
                    *([("wheel fit", made["wheel_fit_text"])] if made["wheel_fit_text"] else []),
                    ("case template", f"{template} (copied from {source})"
                                      if source != "existing" else f"{template} (existing)"),
                ]
            ),
            *made["notes"],
        ]  # fmt: skip

    return Outcome(made, text, note=f"simulate it with '{PROG} simulate {made['product']}'")


def register_remove_variant(commands: Subparsers) -> None:
    p = add_command(
        commands,
        "remove-variant",
        "remove a product and what was made for it alone",
        cmd_remove_variant,
        [f"{PROG} remove-variant hatch:long --dry-run", f"{PROG} remove-variant coupe --cases"],
        description=(
            "Remove the product NAME: its folder, the geometry files in the workspace's\n"
            "geometry folder that it alone names, and the case template 'velmor variant' copied\n"
            "for it unless another product uses them; with --cases also its case folders.\n"
            "It asks before removing anything, unless --yes is given. Nothing outside the\n"
            "workspace is touched."
        ),
    )
    p.add_argument("name", metavar="NAME", help=PRODUCT_HELP)
    p.add_argument("--cases", action="store_true", help="also remove its case folders")
    p.add_argument("--dry-run", action="store_true", help="say what would go, remove nothing")
    p.add_argument("--yes", action="store_true", help="do not ask (needed without a terminal)")


def cmd_remove_variant(args: argparse.Namespace) -> Outcome:
    from ...services import variants

    ws = workspace(args)
    report = variants.remove(ws, args.name, cases=args.cases, dry_run=True)
    if not args.dry_run:
        if not args.yes:
            if not sys.stdin.isatty():
                return Outcome(
                    report, lambda: [f"{args.name}: not removed; give --yes to remove it"],
                    status=EXIT_ERROR,
                )  # fmt: skip
            listed = "\n".join(f"  {p}" for p in report["removed"])
            if input(f"remove:\n{listed}\n[y/N] ").strip().lower() not in ("y", "yes"):
                return Outcome(report, lambda: [f"{args.name}: not removed"], status=EXIT_ERROR)
        report = variants.remove(ws, args.name, cases=args.cases)

    def text() -> list[str]:
        verb = "would remove" if report["dry_run"] else "removed"
        lines = [f"{args.name}: {verb} {len(report['removed'])} paths"]
        lines += [f"  {p}" for p in report["removed"]]
        lines += [f"  kept {k['path']}: {k['reason']}" for k in report["kept"]]
        return lines

    return Outcome(report, text)


# ------------------------------------------------------------------ study


def register_study(commands: Subparsers) -> None:
    actions = add_group(
        commands,
        "study",
        "run many cases: products x speeds x yaw angles x mesh levels",
        (
            "A study runs many cases, prepared up front, on an executor (local: this machine's\n"
            "cores; slurm: one sbatch job per case; mcp: the openfoam server's host), and records\n"
            "each in its product as it ends. Ctrl-C leaves the jobs running: run the study again\n"
            "to resume it (nothing finished runs twice). Studies live in <workspace>/studies/;\n"
            "where they run is set in <workspace>/cluster.toml (see docs/studies.md)."
        ),
        [
            f"{PROG} study run sweep.toml",
            f"{PROG} study run --name crosswind --products hatch --yaw 0 5 10 15",
            f"{PROG} study status crosswind",
            f"{PROG} study results crosswind --chart crosswind.svg",
            f"{PROG} study cancel crosswind",
        ],
    )
    p = add_command(
        actions,
        "run",
        "run (or resume) a study",
        cmd_study_run,
        [
            f"{PROG} study run sweep.toml",
            f"{PROG} study run --name ladder --products sedan:base --ladder --executor slurm",
            f"{PROG} study run crosswind   # resume the stored study",
        ],
        description=(
            "Run a study from a TOML file or the options below (the options win over the file),\n"
            "or resume the stored study of that name. Progress goes to stderr; the end prints\n"
            "each case's status. Exit status 1 when a case failed, 130 when interrupted."
        ),
    )
    p.add_argument("source", metavar="FILE|NAME", nargs="?", help="study file, or a stored study")
    p.add_argument("--name", help="the study's name (default: the file's stem)")
    p.add_argument("--products", nargs="+", metavar="PRODUCT", help=PRODUCT_HELP)
    p.add_argument("--speeds", nargs="+", type=speed, metavar="M/S", help="free-stream speeds")
    p.add_argument("--yaw", nargs="+", type=yaw, metavar="DEG", help="yaw angles (default 0)")
    p.add_argument("--levels", nargs="+", choices=rules.LEVELS, help="mesh levels (default quick)")
    p.add_argument("--ladder", action="store_true", default=None, help="quick, standard and fine")
    p.add_argument("--ranks", type=count("ranks"), metavar="N", help="MPI ranks per case")
    p.add_argument("--iterations", type=count("iterations"), metavar="N", help="iteration cap")
    p.add_argument("--executor", choices=["local", "slurm", "mcp"], help="where the cases run")
    p.add_argument(
        "--detach", action="store_true", help="leave the study to a background driver and return"
    )

    examples = [f"{PROG} study status crosswind", f"{PROG} study status crosswind --live"]
    p = add_command(actions, "status", "show a study's cases", cmd_study_status, examples)
    p.add_argument("name", metavar="NAME")
    p.add_argument(
        "--live", action="store_true", help="ask the executor about running jobs (no driver)"
    )

    p = add_command(actions, "list", "list the stored studies", cmd_study_list,
                    [f"{PROG} study list"])  # fmt: skip

    p = add_command(
        actions, "cancel", "cancel a study's cases (all, or the ones named)", cmd_study_cancel,
        [f"{PROG} study cancel crosswind", f"{PROG} study cancel crosswind hatch-quick-v30-y5"],
    )  # fmt: skip
    p.add_argument("name", metavar="NAME")
    p.add_argument("cases", metavar="CASE", nargs="*", help="case keys (default: every case)")

    p = add_command(
        actions, "results", "a study's results table, and its chart", cmd_study_results,
        [f"{PROG} study results crosswind", f"{PROG} study results crosswind --chart cd.png"],
    )  # fmt: skip
    p.add_argument("name", metavar="NAME")
    p.add_argument(
        "--chart", metavar="FILE", help="write the chart (Cd against yaw) to FILE (.svg or .png)"
    )


def _case_rows(cases: list[dict[str, Any]]) -> list[list[str]]:
    g = render.glyphs()
    return [
        [
            str(c["key"]),
            str(c.get("live") or c["status"]),
            render.fmt(c.get("cd"), g),
            render.fmt(c.get("cs"), g),
            render.fmt(c.get("converged"), g),
            render.fmt(c.get("job"), g),
            progress_text(c.get("progress"), g),
        ]
        for c in cases
    ]


def _counts(counts: dict[str, int]) -> str:
    return ", ".join(f"{n} {status}" for status, n in counts.items()) or "no cases"


def _status_text(status: dict[str, Any]) -> list[str]:
    definition = status["definition"]
    driver = status.get("driver")
    head = f"study {status['study']} ({definition.get('executor', 'local')}): " + _counts(
        status["counts"]
    )
    lines = [head, *render.table(_CASE_COLUMNS, _case_rows(status["cases"]))]
    if driver:
        lines.append(f"driven by process {driver}")
    elif not status["finished"]:
        lines.append(f"no driver attached: resume it with '{PROG} study run {status['study']}'")
    return lines


def cmd_study_run(args: argparse.Namespace) -> Outcome:
    from ...services import studies

    values = {
        "name": args.name, "products": args.products, "speeds": args.speeds, "yaw": args.yaw,
        "levels": args.levels, "ladder": args.ladder, "ranks": args.ranks,
        "iterations": args.iterations, "executor": args.executor,
    }  # fmt: skip
    given = {k: v for k, v in values.items() if v is not None}
    source = args.source
    study = None
    name = None
    if source is not None and (source.endswith(".toml") or Path(source).is_file()):
        study = studies.define(source, **given)
    elif source is not None and set(given) <= {"executor"}:
        name = source  # a stored study, resumed
    else:
        if source is not None:
            given.setdefault("name", source)
        study = studies.define(**given)
    ws = workspace(args)
    if args.detach:
        if study is None:
            raise _usage("--detach needs a study file or options")
        status = studies.start(ws, study)
        return Outcome(status, lambda: _status_text(status),
                       note=f"follow it with '{PROG} study status {status['study']}'")  # fmt: skip

    def progress(event: dict[str, Any]) -> None:
        if event.get("event") == "resumed":
            print(event["message"], file=sys.stderr, flush=True)
        elif event.get("case"):
            detail = event.get("message") or event.get("job") or ""
            print(f"{event['case']}: {event.get('status')}" + (f"  {detail}" if detail else ""),
                  file=sys.stderr, flush=True)  # fmt: skip

    # SIGTERM (a batch system or a service manager stopping the client) leaves
    # the study as Ctrl-C does: the jobs keep running, the state is saved.
    previous = signal.signal(signal.SIGTERM, _interrupt)
    try:
        status = studies.run(ws, study, name=name, on_event=progress)
    except KeyboardInterrupt:
        label = study.name if study is not None else name
        print(
            f"interrupted: the study's jobs keep running; resume with '{PROG} study run {label}' "
            f"or stop them with '{PROG} study cancel {label}'",
            file=sys.stderr,
        )
        return Outcome({"study": label, "interrupted": True}, list, EXIT_INTERRUPTED)
    finally:
        signal.signal(signal.SIGTERM, previous)
    failed = any(c["status"] in ("failed", "diverged", "timeout") for c in status["cases"])
    return Outcome(status, lambda: _status_text(status), EXIT_ERROR if failed else 0)


def _interrupt(signum: int, frame: Any) -> None:
    raise KeyboardInterrupt


def _usage(message: str) -> Exception:
    from ...services.errors import UserError

    return UserError("invalid", message)


def cmd_study_status(args: argparse.Namespace) -> Outcome:
    from ...services import studies

    status = studies.status(workspace(args), args.name, live=args.live)
    return Outcome(status, lambda: _status_text(status))


def cmd_study_list(args: argparse.Namespace) -> Outcome:
    from ...services import studies

    found = studies.listing(workspace(args))

    def text() -> list[str]:
        rows = [
            [s["study"], s["executor"], str(s["cases"]), _counts(s["counts"]),
             "running" if s["driver"] else ("finished" if s["finished"] else "stopped")]
            for s in found
        ]  # fmt: skip
        return render.table(["STUDY", "EXECUTOR", "CASES", "STATUS", "DRIVER"], rows)

    return Outcome(found, text)


def cmd_study_cancel(args: argparse.Namespace) -> Outcome:
    from ...services import studies

    done = studies.cancel(workspace(args), args.name, args.cases)

    def text() -> list[str]:
        which = "every case" if done["requested"] == "all" else ", ".join(done["requested"])
        if done.get("driver"):
            return [f"asked the driver (process {done['driver']}) to cancel {which}"]
        return [f"cancelled {which} of {done['study']}: {_counts(done.get('counts', {}))}"]

    return Outcome(done, text)


def cmd_study_results(args: argparse.Namespace) -> Outcome:
    from ...services import studies

    table = studies.results(workspace(args), args.name)
    written = None
    if args.chart:
        target = Path(args.chart)
        fmt = target.suffix.lower().lstrip(".")
        if fmt not in ("svg", "png"):
            raise _usage(f"--chart {args.chart}: name an .svg or .png file")
        target.write_bytes(studies.chart(workspace(args), args.name, fmt))
        written = str(target)
        table = dict(table, chart=written)

    def text() -> list[str]:
        g = render.glyphs()
        rows = [
            [
                str(r["product"]), str(r["level"]), render.fmt(r.get("speed"), g),
                render.fmt(r.get("yaw"), g), str(r["status"]), render.fmt(r.get("cd"), g),
                g["pm"] + render.fmt(r["cd_band"], g) if r.get("cd_band") is not None
                else render.fmt(None, g),
                render.fmt(r.get("converged"), g), render.fmt(r.get("cl"), g),
                render.fmt(r.get("cs"), g),
            ]
            for r in table["rows"]
        ]  # fmt: skip
        lines = render.table(
            ["PRODUCT", "LEVEL", "SPEED", "YAW", "STATUS", "CD", "BAND", "CONV", "CL", "CS"],
            rows,
            right=(6,),
        )
        if written:
            lines.append(f"chart: {written}")
        return lines

    return Outcome(table, text)


# ------------------------------------------------------------------ housekeeping


def register_clean_cases(commands: Subparsers) -> None:
    p = add_command(
        commands,
        "clean-cases",
        "free the disk space of a product's case folders",
        cmd_clean_cases,
        [f"{PROG} clean-cases hatch --dry-run", f"{PROG} clean-cases sedan:base --unrecorded"],
        description=(
            "Remove the meshes, processor folders and solution time folders of a product's\n"
            "recorded cases, keeping what the records and reports read (logs, forces,\n"
            "dictionaries, velmor files). With --unrecorded, also remove case folders no run\n"
            "records. A case an unfinished study holds, one a process works in, or one changed in\n"
            "the last ten minutes is never touched."
        ),
    )
    p.add_argument("product", metavar="PRODUCT", help=PRODUCT_HELP)
    p.add_argument("--unrecorded", action="store_true", help="also remove unrecorded case folders")
    p.add_argument("--dry-run", action="store_true", help="say what would go, remove nothing")


def cmd_clean_cases(args: argparse.Namespace) -> Outcome:
    from ...services import studies

    report = studies.clean(
        workspace(args), args.product, unrecorded=args.unrecorded, dry_run=args.dry_run
    )

    def text() -> list[str]:
        verb = "would free" if report["dry_run"] else "freed"
        lines = [
            f"{args.product}: {verb} {report['freed_bytes'] / 1e6:.1f} MB "
            f"({len(report['slimmed'])} recorded cases slimmed, {len(report['removed'])} "
            f"unrecorded removed, {len(report['kept'])} kept)"
        ]
        lines += [f"  kept {Path(k['case']).name}: {k['reason']}" for k in report["kept"]]
        return lines

    return Outcome(report, text)
