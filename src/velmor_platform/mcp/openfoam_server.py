"""The "openfoam" MCP server: a workspace's OpenFOAM case templates and runs.

A template is a directory under ``<workspace>/templates/openfoam/``; its name
is the directory name. Hidden entries (names starting with ".") and plain
files are not templates. A workspace without that folder has no templates.

The server's tools are the MCP face (``velmor_platform.mcp.tools``):
``list_templates`` (no arguments) returns the sorted template names; it
reads the folder at every call, so templates added while the server runs
show up at once. ``prepare_case`` builds an OpenFOAM case for a product,
``simulate`` prepares, runs and records one, ``report`` answers with a
run's pictures and numbers, and the study tools drive studies.

Run it as::

    python -m velmor_platform.mcp.openfoam_server [--workspace DIR]
    python -m velmor_platform.mcp.openfoam_server --http [--host 127.0.0.1] [--port 8765]

Without ``--http`` it talks MCP over stdin/stdout (this is how the transport
starts it by default). With ``--http`` it serves streamable HTTP at
``http://HOST:PORT/mcp`` and prints that URL to stderr; ``--port 0`` picks a
free port. Only loopback hosts are accepted unless ``--allow-remote`` is
given: the server has no authentication. On a loopback host it serves only
requests whose Host (and Origin, when sent) names the bound address or a
loopback name, so that a web page cannot reach it through DNS rebinding.

Without ``--workspace`` the workspace is the active one (``VELMOR_WORKSPACE``,
else the per-user workspace). A workspace that does not exist, a port in
use or a host that cannot be bound is one line on stderr and exit status 1.

Start-up time matters here: over stdio every template query starts a fresh
server process, so this module imports nothing heavy until it is run, and
the SDK is imported only when the server is built.
"""

from __future__ import annotations

import os
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import TYPE_CHECKING

# The templates folder is read by the core; the names are the server's too.
from ..core.paths import list_templates as list_templates
from ..core.paths import templates_dir as templates_dir

if TYPE_CHECKING:
    import socket

    from mcp.server import MCPServer
    from mcp.server.transport_security import TransportSecuritySettings

SERVER_NAME = "openfoam"
TOOL_NAME = "list_templates"
DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 8765
HTTP_PATH = "/mcp"


def build_server(workspace: str | os.PathLike[str]) -> MCPServer:
    """The MCP server for ``workspace``, not yet running."""
    from mcp.server import MCPServer

    from .tools import dynamics, report, simulation, studies, templates

    root = Path(workspace)
    # WARNING keeps stderr quiet: over stdio it is the host's own terminal.
    server = MCPServer(
        SERVER_NAME,
        title="OpenFOAM case templates",
        version=_version(),
        instructions="Lists the OpenFOAM case templates of one velmor workspace.",
        log_level="WARNING",
    )

    for tools in (templates, simulation, report, studies, dynamics):
        tools.register(server, root)
    return server


def _version() -> str:
    try:
        from velmor_platform import __version__
    except ImportError:
        return ""
    return str(__version__)


def _default_workspace() -> Path:
    configured = os.environ.get("VELMOR_WORKSPACE")
    if configured:
        return Path(os.path.expandvars(configured)).expanduser().resolve()
    from ..core.workspace import workspace_root

    return Path(workspace_root())


def is_loopback(host: str) -> bool:
    """True for "localhost" and loopback IP addresses (IPv4 or IPv6)."""
    import ipaddress

    if host.lower() == "localhost":
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False


# The names a loopback server also answers to, besides the address it binds.
_LOOPBACK_NAMES = ("127.0.0.1", "localhost", "[::1]")


def transport_security(host: str) -> TransportSecuritySettings | None:
    """DNS-rebinding protection for a server bound to ``host``: on every
    loopback bind, only requests naming the bound address or a loopback
    name (any port) in Host and, when given, Origin are served, so a web
    page in a local browser cannot call the tools. A server deliberately
    bound elsewhere (``--allow-remote``) checks neither."""
    from mcp.server.transport_security import TransportSecuritySettings

    if not is_loopback(host):
        return None
    # The SDK compares names as given: the spelling used and its lower case.
    names = set(_LOOPBACK_NAMES)
    for bare in (host.strip("[]"), host.strip("[]").lower()):
        names.add(f"[{bare}]" if ":" in bare else bare)
    try:
        import ipaddress

        address = ipaddress.ip_address(bare)
        names.add(f"[{address.compressed}]" if address.version == 6 else address.compressed)
    except ValueError:
        pass
    return TransportSecuritySettings(
        enable_dns_rebinding_protection=True,
        allowed_hosts=sorted(f"{name}:*" for name in names),
        allowed_origins=sorted(f"http://{name}:*" for name in names),
    )


def http_url(host: str, port: int) -> str:
    host = host.strip("[]")
    shown = f"[{host}]" if ":" in host else host
    return f"http://{shown}:{port}{HTTP_PATH}"


def _bind(host: str, port: int) -> socket.socket:
    import socket

    family, _, _, _, address = socket.getaddrinfo(host.strip("[]"), port, type=socket.SOCK_STREAM)[
        0
    ]
    sock = socket.create_server(address, family=family)
    # create_server leaves the protocol number at 0, and asyncio switches
    # Nagle's algorithm off (TCP_NODELAY) only on connections accepted from
    # a socket that says IPPROTO_TCP. With Nagle on, a response body written
    # after its headers waits for the client's delayed ACK: some 40 ms on
    # every request after the first on a connection.
    return socket.socket(family, socket.SOCK_STREAM, socket.IPPROTO_TCP, fileno=sock.detach())


def serve_http(server: MCPServer, host: str, port: int) -> None:
    """Serve ``server`` over streamable HTTP until interrupted."""
    import anyio
    import uvicorn

    sock = _bind(host, port)
    bound_port = sock.getsockname()[1]
    app = server.streamable_http_app(
        streamable_http_path=HTTP_PATH,
        host=host.strip("[]"),
        transport_security=transport_security(host),
    )
    config = uvicorn.Config(app, log_level="warning", lifespan="on")
    # The socket is already listening, so a client that reads the URL below
    # can connect at once; its request waits in the backlog until uvicorn runs.
    print(f"openfoam MCP server: {http_url(host, bound_port)}", file=sys.stderr, flush=True)
    try:
        anyio.run(lambda: uvicorn.Server(config).serve(sockets=[sock]))
    finally:
        sock.close()


def main(argv: Sequence[str] | None = None) -> int:
    import argparse

    parser = argparse.ArgumentParser(
        prog="python -m velmor_platform.mcp.openfoam_server",
        description=(
            "MCP server of a workspace's OpenFOAM case templates and simulations, with three "
            "tools: list_templates, prepare_case and simulate."
        ),
    )
    parser.add_argument(
        "--workspace", metavar="DIR", help="workspace root (default: the active workspace)"
    )
    parser.add_argument(
        "--http", action="store_true", help="serve streamable HTTP instead of stdio"
    )
    parser.add_argument(
        "--host", default=DEFAULT_HOST, help=f"HTTP host to bind (default {DEFAULT_HOST})"
    )
    parser.add_argument(
        "--port",
        type=int,
        default=DEFAULT_PORT,
        help=f"HTTP port (default {DEFAULT_PORT}; 0 picks a free one)",
    )
    parser.add_argument(
        "--allow-remote",
        action="store_true",
        help="allow binding a non-loopback host (no authentication!)",
    )
    args = parser.parse_args(argv)

    if not args.http and (
        args.host != DEFAULT_HOST or args.port != DEFAULT_PORT or args.allow_remote
    ):
        parser.error("--host, --port and --allow-remote only apply with --http")
    if args.http:
        if not 0 <= args.port <= 65535:
            parser.error(f"--port must be between 0 and 65535, not {args.port}")
        if not is_loopback(args.host) and not args.allow_remote:
            parser.error(
                f"refusing to serve on non-loopback host {args.host!r} without --allow-remote"
            )

    try:
        if args.workspace:
            workspace = Path(args.workspace).expanduser().resolve()
        else:
            workspace = _default_workspace()
    except Exception as exc:  # noqa: BLE001 - no HOME for the per-user workspace, say
        return _fail(str(exc))
    if not workspace.is_dir():
        return _fail(f"workspace {workspace} does not exist or is not a directory")
    server = build_server(workspace)
    if args.http:
        try:
            serve_http(server, args.host, args.port)
        except KeyboardInterrupt:
            pass
        except OSError as exc:
            return _fail(_bind_problem(exc, args.host, args.port))
    else:
        server.run("stdio")
    return 0


def _bind_problem(exc: OSError, host: str, port: int) -> str:
    import errno
    import socket

    if exc.errno == errno.EADDRINUSE:
        return f"port {port} on {host} is in use; choose another (--port 0 picks a free one)"
    if isinstance(exc, socket.gaierror):
        return f"cannot serve on host {host!r}: {exc.strerror or exc}"
    return f"cannot serve on {host}:{port}: {exc.strerror or exc}"


def _fail(message: str) -> int:
    print(f"openfoam MCP server: error: {message}", file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main())
