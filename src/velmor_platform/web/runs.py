"""The run panel: start a simulation of a product and follow it live.

The simulation loop is reached through ``services.simulation`` and
imported only when needed; where it is not installed the panel says so and
nothing else changes. A simulation runs on a thread of its own; its progress
reports are kept in order and streamed to the browser as server-sent
events (``/api/jobs/ID/events``): ``progress`` events carrying stage,
iteration, total, drag coefficient and elapsed time, then one ``done`` or
``failed`` event.
"""

from __future__ import annotations

import json
import logging
import secrets
import threading
import time
from collections.abc import AsyncIterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import anyio
from starlette.requests import Request
from starlette.responses import JSONResponse, RedirectResponse, Response, StreamingResponse
from starlette.routing import BaseRoute, Route

from .. import rules
from ..services import products, simulation, solvers
from . import answers, forms, views
from .answers import ws
from .context import call, is_api, page, product_url, refuse_if_read_only, session, settings
from .forms import FormError

log = logging.getLogger(__name__)

POLL_SECONDS = 0.1
KEEPALIVE_SECONDS = 15.0


@dataclass
class Job:
    id: str
    product: str
    settings: dict[str, Any]  # as the form gave them: the domain, backend and options
    options: simulation.RunOptions = field(default_factory=simulation.RunOptions)
    action: str = "run"  # or "prepare": build the case without solving
    started: float = field(default_factory=time.time)
    events: list[dict[str, Any]] = field(default_factory=list)
    finished: bool = False
    result: Any = None
    error: str | None = None
    cancel: threading.Event = field(default_factory=threading.Event)

    def progress(self, report: dict[str, Any]) -> None:
        keys = ("stage", "iteration", "total", "cd", "elapsed_s")
        self.events.append({k: answers.jsonable(report.get(k)) for k in keys})

    def state(self) -> dict[str, Any]:
        last = self.events[-1] if self.events else {}
        return {
            "id": self.id,
            "product": self.product,
            "action": self.action,
            "settings": self.settings,
            "finished": self.finished,
            "cancelled": self.cancel.is_set(),
            "last": last,
            "events": len(self.events),
            "result": self.result,
            "error": self.error,
        }


class Jobs:
    """The simulations this server started, by job id; one running per product."""

    def __init__(self) -> None:
        self._jobs: dict[str, Job] = {}
        self._lock = threading.Lock()

    def get(self, job_id: str) -> Job:
        job = self._jobs.get(job_id)
        if job is None:
            raise FormError(404, f"no simulation job {job_id!r} on this server")
        return job

    def for_product(self, pid: str) -> list[Job]:
        return [j for j in self._jobs.values() if j.product == pid]

    def start(
        self,
        pid: str,
        workspace: Path,
        chosen: tuple[dict[str, Any], simulation.RunOptions],
        action: str = "run",
    ) -> Job:
        if not simulation.available():
            raise FormError(
                501, "simulation is not available: velmor_platform.cfd is not installed"
            )
        settings, options = chosen
        with self._lock:
            running = [j for j in self.for_product(pid) if not j.finished]
            if running:
                raise FormError(
                    409, f"a simulation of {pid} is already running (job {running[0].id})"
                )
            job = Job(secrets.token_hex(8), pid, settings, options, action)
            self._jobs[job.id] = job
        thread = threading.Thread(
            target=self._run, args=(job, workspace), name=f"velmor-sim-{job.id}", daemon=True
        )
        thread.start()
        return job

    @staticmethod
    def _run(job: Job, workspace: Path) -> None:
        try:
            with answers.active():
                result = simulation.run_job(
                    job.product, workspace, job.settings, options=job.options,
                    action=job.action, on_progress=job.progress, cancel=job.cancel,
                )  # fmt: skip
            job.result = answers.jsonable(result)
        except Exception as exc:  # reported to the browser as the job's failure
            log.info("simulation %s of %s failed", job.id, job.product, exc_info=True)
            job.error = answers.describe(exc)
        finally:
            job.finished = True


def _settings_from(
    form: dict[str, str], choices: dict[str, Any]
) -> tuple[dict[str, Any], simulation.RunOptions]:
    """The run settings of the form (the domain, the backend and the run's
    options, as shown with the job) and the run's options, checked by the
    value rules and against the choices the form offers, so that a typo
    never starts a job."""
    errors: dict[str, str] = {}
    domains: dict[str, list[str]] = choices["backends"]
    domain = form.get("domain") or "aerodynamics"
    if domain not in domains:
        errors["domain"] = f"unknown domain {domain!r} (known: {', '.join(domains)})"
    backend = form.get("backend") or None
    if backend is not None and domain in domains and backend not in domains[domain]:
        errors["backend"] = f"not a backend of {domain}: {', '.join(domains[domain])}"
    level = form.get("level") or "quick"
    try:
        rules.check_level(level)
    except rules.RuleError as exc:
        errors["level"] = exc.field_message
    template = form.get("template") or None
    if template is not None and template not in choices["templates"]:
        errors["template"] = f"no such case template (known: {', '.join(choices['templates'])})"
    speed = None
    if (form.get("speed") or "").strip():
        try:
            speed = rules.parse_speed(form["speed"].strip(), allow_implausible=False)
        except rules.RuleError as exc:
            errors["speed"] = exc.field_message
    yaw = None
    if (form.get("yaw") or "").strip():
        try:
            yaw = rules.parse_yaw(form["yaw"].strip())
        except rules.RuleError as exc:
            errors["yaw"] = exc.field_message
    numbers: dict[str, int | None] = {}
    for name, default in (("ranks", 1), ("iterations", None)):
        raw = (form.get(name) or "").strip()
        if not raw:
            numbers[name] = default
            continue
        try:
            numbers[name] = rules.parse_count(name, raw)
        except rules.RuleError as exc:
            errors[name] = exc.field_message
    if errors:
        raise FormError(422, "the simulation was not started: correct the values marked", errors)
    options = simulation.run_options(
        level=level, **numbers, template=template, speed=speed, yaw=yaw,
        uncertainty=bool(form.get("uncertainty")),  # the mesh ladder: three levels, a grid band
    )  # fmt: skip
    settings = {"domain": domain, "backend": backend, "level": level, **numbers}
    settings.update(options.arguments())  # and the other options the form set
    if domain == "dynamics" and form.get("short"):  # two speed steps of the Chrono circle
        settings["short"] = True
    return settings, options


def _choices(records: list[dict[str, Any]], workspace: Path) -> dict[str, Any]:
    """What the run form offers: each domain's backends, the levels, the templates."""
    backends = {
        str(r.get("domain")): ["auto", *(str(s.get("name")) for s in r.get("solvers") or [])]
        for r in records
    }
    templates = simulation.template_names(workspace)
    return {"backends": backends, "levels": list(rules.LEVELS), "templates": templates}


# ------------------------------------------------------------------ routes


def _jobs(request: Request) -> Jobs:
    jobs: Jobs = request.app.state.jobs
    return jobs


async def run_panel(request: Request) -> Response:
    pid = answers.product_ref(request.path_params["pid"])
    banner = await call(products.banner, pid, ws(), "run")  # 404 for an unknown product
    records = await call(solvers.domains)
    domains = [str(d.get("domain")) for d in records]
    choices = _choices(records, settings(request).workspace)
    errors: dict[str, str] = {}
    message = None
    fields: dict[str, str] = {}
    if request.method == "POST":
        refuse_if_read_only(request)
        form = await forms.read_form(request)
        forms.check_csrf(session(request), forms.submitted_token(request, form))
        fields = {k: v for k, v in form.items() if isinstance(v, str)}
        try:
            chosen = _settings_from(fields, choices)
        except FormError as exc:
            if is_api(request):
                raise
            errors, message = exc.fields, exc.message
        else:
            if chosen[0]["backend"] is None:  # the backend chosen for this session, if any
                chosen[0]["backend"] = session(request).solvers.get((pid, chosen[0]["domain"]))
            action = "prepare" if fields.get("action") == "prepare" else "run"
            job = _jobs(request).start(pid, settings(request).workspace, chosen, action)
            if is_api(request):
                return JSONResponse(
                    {"job": job.id, "events": f"/api/jobs/{job.id}/events"}, status_code=202
                )
            return RedirectResponse(f"/jobs/{job.id}", status_code=303)
    available = simulation.available()
    if is_api(request):
        return JSONResponse(
            {
                "available": available,
                "domains": domains,
                "jobs": [j.state() for j in _jobs(request).for_product(pid)],
            }
        )
    return views.render(
        "run.html",
        page(
            request,
            "Run",
            forms=True,
            pid=pid,
            banner=banner,
            section="run",
            available=available,
            can_prepare=available,
            domains=domains,
            choices=choices,
            entered=fields,
            errors=errors,
            form_message=message,
            jobs=_jobs(request).for_product(pid),
            product_url=product_url,
        ),
        status=422 if errors else 200,
    )


async def job_page(request: Request) -> Response:
    job = _jobs(request).get(request.path_params["job"])
    if is_api(request):
        return JSONResponse(job.state())
    return views.render(
        "job.html",
        page(request, "Simulation", forms=True, job=job, pid=job.product, section="run"),
    )


async def job_cancel(request: Request) -> Response:
    job = _jobs(request).get(request.path_params["job"])
    form = await forms.read_form(request)
    forms.check_csrf(session(request), forms.submitted_token(request, form))
    job.cancel.set()
    if is_api(request):
        return JSONResponse(job.state())
    return RedirectResponse(f"/jobs/{job.id}", status_code=303)


def _sse(event: str, data: Any, event_id: int | None = None) -> str:
    head = f"id: {event_id}\n" if event_id is not None else ""
    return f"{head}event: {event}\ndata: {json.dumps(data)}\n\n"


async def job_events(request: Request) -> Response:
    job = _jobs(request).get(request.path_params["job"])
    try:
        start = int(request.headers.get("last-event-id", "-1")) + 1
    except ValueError:
        start = 0

    async def stream() -> AsyncIterator[str]:
        sent = max(start, 0)
        quiet = 0.0
        while True:
            while sent < len(job.events):
                yield _sse("progress", job.events[sent], sent)
                sent += 1
                quiet = 0.0
            if job.finished:
                if job.error is not None:
                    yield _sse("failed", {"error": job.error})
                else:
                    yield _sse("done", {"result": job.result})
                return
            await anyio.sleep(POLL_SECONDS)
            quiet += POLL_SECONDS
            if quiet >= KEEPALIVE_SECONDS:
                yield ": keep-alive\n\n"
                quiet = 0.0

    return StreamingResponse(
        stream(),
        media_type="text/event-stream",
        headers={"Cache-Control": "no-store", "X-Accel-Buffering": "no"},
    )


def routes() -> list[BaseRoute]:
    return [
        Route("/products/{pid}/run", run_panel, methods=["GET", "POST"]),
        Route("/api/products/{pid}/run", run_panel, methods=["GET", "POST"]),
        Route("/jobs/{job}", job_page),
        Route("/api/jobs/{job}", job_page),
        Route("/jobs/{job}/cancel", job_cancel, methods=["POST"]),
        Route("/api/jobs/{job}/cancel", job_cancel, methods=["POST"]),
        Route("/api/jobs/{job}/events", job_events),
    ]
