"""The workspace's ``mcp.json``: one pydantic model of the file, and the
resolution of one server entry into what the connection needs.

Two spellings of the same thing are accepted, and may be mixed::

    {"timeout": 10,
     "servers": {"openfoam": {"command": ["python", "-m", "velmor_platform.mcp.openfoam_server",
                                          "--workspace", "."]}}}

    {"mcpServers": {"openfoam": {"command": "python",
                                 "args": ["-m", "velmor_platform.mcp.openfoam_server"],
                                 "env": {"OMP_NUM_THREADS": "1"}},
                    "remote": {"url": "http://127.0.0.1:8765/mcp"}}}

The second is the form common MCP hosts use. Each server entry has exactly
one of ``command`` (stdio: a list of words, or one program name with its
arguments in ``args``; never run through a shell) and ``url`` (an
``http://`` or ``https://`` streamable-HTTP endpoint), and optionally
``env``, ``cwd`` (stdio only), ``timeout`` (seconds) and ``type``. A first
command word of exactly ``python`` means the running interpreter; a
relative path with a directory part is relative to the workspace; a bare
name is looked up on ``PATH``.

Without the file, or without an "openfoam" entry, "openfoam" is the bundled
server over stdio. The file's JSON Schema ships beside this module as
``mcp.schema.json`` (``config_schema()`` builds it) so editors can check it.

The time limit of a connection is ``VELMOR_MCP_TIMEOUT`` if set, else the
entry's ``timeout``, else the file's, else 10 s.
"""

from __future__ import annotations

import json
import math
import os
import sys
from collections.abc import Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Literal
from urllib.parse import urlsplit

from pydantic import BaseModel, ConfigDict, Field, ValidationError, field_validator, model_validator

from ..errors import VelmorError

CONFIG_FILE = "mcp.json"
SCHEMA_FILE = "mcp.schema.json"
TIMEOUT_ENV = "VELMOR_MCP_TIMEOUT"
DEFAULT_TIMEOUT = 10.0
OPENFOAM = "openfoam"

# The directory that holds the velmor_platform package.
_PACKAGE_PARENT = Path(__file__).resolve().parents[2]


class McpConfigError(VelmorError, ValueError):
    """The workspace's mcp.json (or VELMOR_MCP_TIMEOUT) is malformed."""


class UnknownServerError(VelmorError, LookupError):
    """No server of that name is configured for the workspace."""

    kind = "not_found"

    def __init__(self, name: str, known: list[str], config_path: Path) -> None:
        self.name = name
        self.known = known
        listed = ", ".join(repr(k) for k in known) if known else "none"
        super().__init__(f"unknown MCP server {name!r} (configured in {config_path}: {listed})")

    def __str__(self) -> str:  # LookupError would otherwise repr() a KeyError-style message
        return str(self.args[0])


@dataclass(frozen=True)
class ServerConfig:
    """One resolved server entry: a stdio command line or an HTTP URL."""

    name: str
    command: tuple[str, ...] | None = None
    url: str | None = None
    env: Mapping[str, str] = field(default_factory=dict)
    cwd: Path | None = None
    timeout: float = DEFAULT_TIMEOUT
    #: Where a stdio server's stderr goes (None: nowhere).
    log_path: Path | None = None


# ------------------------------------------------------------------- the model


def _seconds(value: Any) -> float | None:
    """A positive, finite number of seconds (a numeric string is accepted)."""
    if value is None:
        return None
    if isinstance(value, str):
        try:
            value = float(value.strip())
        except ValueError:
            raise ValueError(f"timeout must be a number of seconds, not {value!r}") from None
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ValueError(f"timeout must be a number of seconds, not {value!r}")
    if not (value > 0 and math.isfinite(value)):
        raise ValueError(f"timeout must be a positive number of seconds, not {value!r}")
    return float(value)


class ServerEntry(BaseModel):
    """One MCP server: ``command`` (stdio) or ``url`` (streamable HTTP)."""

    model_config = ConfigDict(extra="forbid", strict=True)

    type: Literal["stdio", "http", "streamable-http", "streamableHttp"] | None = Field(
        default=None, description="transport; implied by command or url"
    )
    command: list[str] | str | None = Field(
        default=None,
        description="program to start (stdio): a list of words, or one program with 'args'",
    )
    args: list[str] | None = Field(default=None, description="arguments of a one-word 'command'")
    env: dict[str, str] | None = Field(default=None, description="extra environment (stdio)")
    cwd: str | None = Field(
        default=None, description="working directory, relative to the workspace"
    )
    url: str | None = Field(default=None, description="http:// or https:// endpoint")
    timeout: float | None = Field(default=None, description="time limit in seconds")

    @field_validator("timeout", mode="before")
    @classmethod
    def _timeout(cls, value: Any) -> float | None:
        return _seconds(value)

    @field_validator("command")
    @classmethod
    def _command(cls, value: list[str] | str | None) -> list[str] | str | None:
        if isinstance(value, list) and (not value or not all(value)):
            raise ValueError("'command' must be a non-empty list of non-empty strings")
        if isinstance(value, str) and (not value.strip() or value != value.strip() or " " in value):
            raise ValueError(
                "'command' is one program name: put its arguments in 'args' "
                f"(or give a list of words), not {value!r}"
            )
        return value

    @field_validator("url")
    @classmethod
    def _url(cls, value: str | None) -> str | None:
        if value is not None:
            parts = urlsplit(value)
            if parts.scheme not in ("http", "https") or not parts.hostname:
                raise ValueError(
                    f"'url' must be an http:// or https:// URL with a host, not {value!r}"
                )
        return value

    @model_validator(mode="after")
    def _one_transport(self) -> ServerEntry:
        if (self.command is None) == (self.url is None):
            raise ValueError("give exactly one of 'command' (stdio) or 'url' (HTTP)")
        if self.url is not None and (
            self.env is not None or self.cwd is not None or self.args is not None
        ):
            raise ValueError("'args', 'env' and 'cwd' only apply to a 'command'")
        if isinstance(self.command, list) and self.args is not None:
            raise ValueError("'args' goes with a one-word 'command', not with a list")
        if self.type is not None and (self.type == "stdio") != (self.command is not None):
            raise ValueError(
                f"'type' {self.type!r} does not match {'command' if self.command else 'url'}"
            )
        return self

    def words(self) -> list[str]:
        if isinstance(self.command, list):
            return list(self.command)
        return [self.command or "", *(self.args or [])]


class McpConfig(BaseModel):
    """The whole ``mcp.json`` file."""

    model_config = ConfigDict(extra="forbid", strict=True, populate_by_name=True)

    schema_: str | None = Field(default=None, alias="$schema", description="the file's JSON Schema")
    timeout: float | None = Field(default=None, description="default time limit in seconds")
    servers: dict[str, ServerEntry] = Field(default_factory=dict)
    mcpServers: dict[str, ServerEntry] = Field(
        default_factory=dict, description="the same, in the form common MCP hosts use"
    )

    @field_validator("timeout", mode="before")
    @classmethod
    def _timeout(cls, value: Any) -> float | None:
        return _seconds(value)

    @model_validator(mode="after")
    def _distinct(self) -> McpConfig:
        both = sorted(self.servers.keys() & self.mcpServers.keys())
        if both:
            raise ValueError(
                f"server(s) {', '.join(map(repr, both))} given in both 'servers' and 'mcpServers'"
            )
        return self

    def entries(self) -> dict[str, ServerEntry]:
        return {**self.servers, **self.mcpServers}


def config_schema() -> dict[str, Any]:
    """The JSON Schema of ``mcp.json``."""
    schema = McpConfig.model_json_schema(by_alias=True)
    schema["title"] = "velmor mcp.json"
    return schema


def schema_path() -> Path:
    """The JSON Schema file shipped with the package."""
    return Path(__file__).with_name(SCHEMA_FILE)


# ----------------------------------------------------------------- reading it


def _problem(error: ValidationError) -> str:
    """The first validation error as "where: what"."""
    first = error.errors()[0]
    where = ".".join(
        str(part)
        for part in first["loc"]
        if not str(part).startswith(("function-", "list[", "str"))
    )
    message = str(first["msg"]).removeprefix("Value error, ")
    if first["type"] == "extra_forbidden":
        message = f"unknown key {first['loc'][-1]!r}"
        where = ".".join(str(part) for part in first["loc"][:-1])
    return f"{where}: {message}" if where else message


def read_config(path: Path) -> McpConfig:
    """The validated file at ``path``; an empty configuration when it is missing."""
    try:
        text = path.read_text(encoding="utf-8")
    except FileNotFoundError:
        return McpConfig()
    except (OSError, UnicodeError) as exc:
        raise McpConfigError(f"cannot read {path}: {exc}") from exc
    try:
        data = json.loads(text)
    except ValueError as exc:
        raise McpConfigError(f"{path} is not valid JSON: {exc}") from exc
    if not isinstance(data, dict):
        raise McpConfigError(f"{path}: the top level must be a JSON object")
    try:
        return McpConfig.model_validate(data)
    except ValidationError as exc:
        raise McpConfigError(f"{path}: {_problem(exc)}") from exc


def _workspace_root() -> Path:
    try:
        from ..core.workspace import workspace_root
    except ModuleNotFoundError as exc:  # the host package is incomplete
        if exc.name not in ("velmor_platform.core", "velmor_platform.core.workspace"):
            raise
        configured = os.environ.get("VELMOR_WORKSPACE")
        if configured:
            return Path(os.path.expandvars(configured)).expanduser().resolve()
        return Path(__file__).resolve().parent.parent / "sample_workspace"
    return Path(workspace_root())


BUNDLED_SERVER = "velmor_platform.mcp.openfoam_server"


def _default_openfoam(root: Path) -> ServerEntry:
    return ServerEntry(command=["python", "-m", BUNDLED_SERVER, "--workspace", str(root)])


def _timeout(entry: ServerEntry, config: McpConfig) -> float:
    configured = os.environ.get(TIMEOUT_ENV)
    if configured:
        try:
            return _seconds(configured) or DEFAULT_TIMEOUT
        except ValueError as exc:
            raise McpConfigError(f"{TIMEOUT_ENV}: {exc}") from None
    return entry.timeout or config.timeout or DEFAULT_TIMEOUT


def log_path(root: Path, server_name: str) -> Path:
    """The file that collects the stderr of the stdio server ``server_name``."""
    from ..core.layer_io import state_dir

    safe = "".join(c if c.isalnum() or c in "-_." else "_" for c in server_name)
    return state_dir(root) / "logs" / f"mcp-{safe}.log"


def resolve_server(
    server_name: str, workspace: str | os.PathLike[str] | None = None
) -> ServerConfig:
    """The configuration of ``server_name`` for ``workspace`` (default: the active workspace)."""
    if not isinstance(server_name, str):
        raise TypeError(f"server name must be a str, not {type(server_name).__name__}")
    root = Path(workspace).resolve() if workspace is not None else _workspace_root()
    path = root / CONFIG_FILE
    config = read_config(path)
    entries = config.entries()
    entries.setdefault(OPENFOAM, _default_openfoam(root))
    entry = entries.get(server_name)
    if entry is None:
        raise UnknownServerError(server_name, sorted(entries), path)
    timeout = _timeout(entry, config)
    if entry.url is not None:
        return ServerConfig(server_name, url=entry.url, timeout=timeout)

    program, *args = entry.words()
    bundled = program == "python" and args[:2] == ["-m", BUNDLED_SERVER]
    if program == "python":
        program = sys.executable
    elif os.sep in program or (os.altsep and os.altsep in program):
        program = str(root / Path(program).expanduser())  # an absolute path stays as it is
    if entry.cwd is not None:
        cwd: Path | None = root / Path(entry.cwd).expanduser()
    else:
        cwd = root if root.is_dir() else None
    return ServerConfig(
        server_name,
        command=(program, *args),
        env=_child_env(root, entry.env or {}, inherit=bundled),
        cwd=cwd,
        timeout=timeout,
        log_path=log_path(root, server_name),
    )


def _child_env(
    root: Path, configured: Mapping[str, str], *, inherit: bool = False
) -> dict[str, str]:
    """Extra environment for a stdio server, on top of the SDK's minimal one.

    The bundled OpenFOAM server (``python -m velmor_platform.mcp.openfoam_server``,
    the default and what the sample's mcp.json names) is this package run by
    this interpreter: it gets this process's whole environment, so that an
    OpenFOAM or MPI environment the user set up (``WM_*``, ``FOAM_*``,
    ``LD_LIBRARY_PATH``) reaches the solvers it starts. A configured server
    gets only the SDK's minimal environment and what its entry names.
    """
    pythonpath = [str(_PACKAGE_PARENT)]
    if os.environ.get("PYTHONPATH"):
        pythonpath.append(os.environ["PYTHONPATH"])
    inherited = dict(os.environ) if inherit else {}
    return {
        **inherited,
        "PYTHONPATH": os.pathsep.join(pythonpath),
        "VELMOR_WORKSPACE": str(root),
        **configured,
    }
