"""Solvers: ``solvers``, ``capabilities``, ``solver set`` and ``solver resolve``."""

from __future__ import annotations

import argparse
from typing import Any

from .. import render
from ..outcome import EXIT_ERROR, EXIT_OK, Outcome, quiet_sdk_logs, workspace
from ..parser import PRODUCT_HELP, PROG, Subparsers, add_command, add_group


def register_solvers(commands: Subparsers) -> None:
    p = add_command(
        commands,
        "solvers",
        "list the physics domains and their solvers",
        cmd_solvers,
        [f"{PROG} solvers", f"{PROG} solvers aerodynamics", f"{PROG} solvers dynamics --json"],
    )
    p.add_argument(
        "domain",
        metavar="DOMAIN",
        nargs="?",
        help="show one domain's solvers (aerodynamics, aero or dynamics)",
    )
    p.set_defaults(needs_workspace=False)


def cmd_solvers(args: argparse.Namespace) -> Outcome:
    from ...services import solvers

    if args.domain is None:
        domains = solvers.domains()

        def text() -> list[str]:
            g = render.glyphs()
            here = solvers.installed_solvers(domains)
            rows = [
                [
                    str(d.get("domain")),
                    render.fmt(d.get("status"), g),
                    render.fmt(d.get("default_solver"), g),
                    ", ".join(_solver_label(s) for s in d.get("solvers") or [])
                    or render.fmt(None, g),
                    render.fmt(d.get("kpis"), g),
                    _installed(here.get(str(d.get("default_solver")), {})),
                ]
                for d in domains
            ]
            return render.table(
                ["DOMAIN", "STATUS", "DEFAULT", "SOLVERS", "KPIS", "INSTALLED"], rows
            )

        return Outcome(domains, text)

    record = solvers.domain(args.domain)

    def detail() -> list[str]:
        g = render.glyphs()
        here = solvers.installed_solvers([record])
        default = record.get("default_solver")
        lines = [
            f"{record.get('domain')}: {render.fmt(record.get('status'), g)}",
            f"kpis: {render.fmt(record.get('kpis'), g)}",
            "",
        ]
        rows = [
            [
                str(s.get("name")) + (" *" if s.get("name") == default else ""),
                render.fmt(s.get("version"), g),
                _installed(here.get(str(s.get("name")), {})),
                render.fmt(s.get("kind"), g),
                render.fmt(s.get("description"), g),
            ]
            for s in record.get("solvers") or []
        ]
        return (
            lines
            + render.table(["SOLVER", "VERSION", "INSTALLED", "KIND", "DESCRIPTION"], rows)
            + ["", "* default solver; VERSION is the registry's, INSTALLED what runs here"]
        )

    return Outcome(record, detail)


def _solver_label(solver: dict[str, Any]) -> str:
    return " ".join(str(x) for x in (solver.get("name"), solver.get("version")) if x)


def register_capabilities(commands: Subparsers) -> None:
    p = add_command(
        commands,
        "capabilities",
        "report which physics domains can run on a product",
        cmd_capabilities,
        [f"{PROG} capabilities sedan:base", f"{PROG} capabilities sedan:sport --json"],
        description=(
            "Report which physics domains can run on a product, against each domain's default\n"
            "solver. Aerodynamics is available when the workspace's OpenFOAM MCP server lists a\n"
            "case template named after the product's directory; dynamics when the product has\n"
            "a mass above 500 kg and a wheelbase. Asking the server takes a moment. When the\n"
            "server cannot be asked, the reason is printed on stderr (with --json, in the field\n"
            "openfoam_server) and the exit status is 1."
        ),
    )
    p.add_argument("product", metavar="PRODUCT", help=PRODUCT_HELP)


def cmd_capabilities(args: argparse.Namespace) -> Outcome:
    quiet_sdk_logs(args)
    from ...services import solvers

    with render.Spinner("asking the OpenFOAM server for its case templates"):
        found = solvers.capabilities(args.product, workspace(args))
    report = found.report

    def text() -> list[str]:
        g = render.glyphs()
        rows = [
            [
                domain,
                render.fmt(entry.get("available"), g),
                render.fmt(entry.get("solver"), g),
                render.fmt(entry.get("version"), g),
                render.fmt(entry.get("status"), g),
                render.fmt(entry.get("solver_count"), g),
                _installed(found.installed.get(domain, {})),
            ]
            for domain, entry in report.items()
        ]
        lines = [found.heading, ""]
        lines += render.table(
            ["DOMAIN", "AVAILABLE", "DEFAULT SOLVER", "VERSION", "STATUS", "SOLVERS", "INSTALLED"],
            rows,
            right=(5,),
        )
        for domain, reason in found.reasons.items():
            if domain == "dynamics":
                lines += ["", f"{domain}: {reason}"]
            elif found.problem is not None:
                lines += ["", f"{domain}: {reason} (the reason is on stderr)"]
            else:
                lines += [
                    "",
                    f"{domain}: {reason}",
                    " " * len(domain) + f"  ({solvers.TEMPLATE_FOLDER_HINT})",
                ]
        return lines

    status = EXIT_ERROR if found.problem else EXIT_OK
    return Outcome(found.data, text, status=status, warnings=found.warnings)


def _installed(here: dict[str, Any]) -> str:
    """The INSTALLED column: the version found here, "yes" or "no"."""
    if not here.get("installed"):
        return "no"
    return str(here.get("version") or "yes")


def register_solver(commands: Subparsers) -> None:
    solver = add_group(
        commands,
        "solver",
        "choose and resolve a solver backend",
        description=(
            "Choose a solver backend for a physics domain and see which backend a simulation\n"
            "dispatch would use. The choice is held in memory by the loaded product and is not\n"
            "written to its USD files, so it lasts for this one command: each command shows\n"
            "the selection and the dispatch backend it resolves to. 'auto' resolves to the\n"
            "domain's default (openfoam for aerodynamics, chrono for dynamics)."
        ),
        example_lines=[
            f"{PROG} solver set sedan:base aerodynamics xlb",
            f"{PROG} solver resolve sedan:base dynamics",
        ],
    )
    p = add_command(
        solver,
        "set",
        "select a backend for a domain and show the dispatch backend",
        cmd_solver_set,
        [
            f"{PROG} solver set sedan:base aerodynamics xlb",
            f"{PROG} solver set hatch aero auto --json",
        ],
        description=(
            "Select a backend for a domain and show the backend a dispatch resolves to. The\n"
            "selection lives in memory for this command only; nothing is written to the product.\n"
            "Backends: openfoam, xlb, domino (aerodynamics); chrono (dynamics);\n"
            "auto (the domain's default)."
        ),
    )
    p.add_argument("product", metavar="PRODUCT", help=PRODUCT_HELP)
    p.add_argument("domain", metavar="DOMAIN", help="aerodynamics (or aero) or dynamics")
    p.add_argument("backend", metavar="BACKEND", help="openfoam, xlb, domino, chrono or auto")
    p = add_command(
        solver,
        "resolve",
        "show the backend a simulation dispatch would use",
        cmd_solver_resolve,
        [
            f"{PROG} solver resolve sedan:base aerodynamics",
            f"{PROG} solver resolve sedan:base dynamics --backend auto",
        ],
    )
    p.add_argument("product", metavar="PRODUCT", help=PRODUCT_HELP)
    p.add_argument("domain", metavar="DOMAIN", help="aerodynamics (or aero) or dynamics")
    p.add_argument(
        "--backend", metavar="BACKEND", help="select this backend first (as 'solver set' does)"
    )


def cmd_solver_set(args: argparse.Namespace) -> Outcome:
    from ...services import solvers

    found = solvers.set_solver(args.product, workspace(args), args.domain, args.backend)
    data = found.data

    def text() -> list[str]:
        return [
            f"{found.heading}: {data['domain']} backend set to {data['backend']} "
            "(held in memory for this command only)",
            f"dispatch backend: {data['dispatch_backend']}",
        ]

    return Outcome(data, text)


def cmd_solver_resolve(args: argparse.Namespace) -> Outcome:
    from ...services import solvers

    found = solvers.resolve_solver(args.product, workspace(args), args.domain, args.backend)
    data = found.data

    def text() -> list[str]:
        return [render.resolution_line(found.heading, data, args.backend is not None)]

    return Outcome(data, text)
