"""The ``velmor`` sub-commands, one module per group, and their one registry.

A module here defines, per command, ``register_<name>(commands)`` (which
builds its parser with ``parser.add_command``/``add_group``) and a handler
``cmd_<name>(args) -> Outcome`` that asks ``velmor_platform.services`` for
data and renders it. A command module imports the CLI's ``parser``,
``outcome`` and ``render`` and the service layer, never another command
module. Heavy imports (the product core, OpenUSD, servers) go inside the
handlers: every module here is imported to build the parser.

A new command: add its ``register_<name>`` to ``REGISTRARS`` below, in the
place where ``velmor --help`` should list it.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

from . import (
    authoring,
    cluster,
    completion,
    products,
    report,
    serve,
    simulation,
    solvers,
    studies,
    workspace,
)

REGISTRARS: tuple[Callable[[Any], None], ...] = (
    products.register_products,
    products.register_show,
    products.register_history,
    solvers.register_solvers,
    solvers.register_capabilities,
    solvers.register_solver,
    authoring.register_targets,
    authoring.register_geometry,
    products.register_diff,
    products.register_range,
    products.register_export,
    workspace.register_init,
    workspace.register_doctor,
    completion.register_completion,
    simulation.register_prepare_cfd,
    simulation.register_simulate,
    simulation.register_record_cfd,
    simulation.register_current,
    studies.register_variant,
    studies.register_remove_variant,
    studies.register_study,
    studies.register_clean_cases,
    cluster.register_cluster,
    report.register_report,
    serve.register_serve,
)
