"""``serve``: the web interface on a local server.

The server's libraries (and the web package) are imported when ``serve``
runs, not when the command line is built.
"""

from __future__ import annotations

import argparse
import sys

from ..outcome import Outcome, workspace
from ..parser import PROG, Subparsers, add_command

DESCRIPTION = (
    "Serve the workspace's products as web pages on a local server and print its URL.\n"
    "The pages show what the other commands print; every page has a JSON twin under\n"
    "/api/. There is no authentication: anyone who can reach the address can read the\n"
    "products and, unless --read-only is given, change their targets. The server\n"
    "listens on the loopback address only, unless --host names another address AND\n"
    "--allow-remote is given."
)


def _is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    import ipaddress

    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False


def register_serve(commands: Subparsers) -> None:
    p = add_command(
        commands,
        "serve",
        "serve the products as web pages on a local server",
        cmd_serve,
        [
            f"{PROG} serve --workspace ./my-workspace --open",
            f"{PROG} serve --read-only --port 8080",
        ],
        description=DESCRIPTION,
    )
    p.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    p.add_argument("--port", type=int, default=8000, help="port to listen on (default 8000)")
    p.add_argument("--open", action="store_true", help="open the workspace page in a browser")
    p.add_argument(
        "--read-only", action="store_true", help="refuse every change and hide the forms"
    )
    p.add_argument(
        "--allow-remote",
        action="store_true",
        help="allow a --host other than loopback (anyone reaching it gets full access)",
    )
    p.add_argument(
        "--max-upload-mb",
        type=float,
        default=100.0,
        metavar="MB",
        help="largest STL upload accepted (default 100)",
    )


def cmd_serve(args: argparse.Namespace) -> Outcome:
    import threading

    import uvicorn

    from ...services.errors import UserError
    from ...services.loading import require_workspace
    from ...web.app import LOOPBACK_HOSTS, create_app

    if not _is_loopback(args.host) and not args.allow_remote:
        raise UserError(
            "invalid",
            f"--host {args.host} is not a loopback address: the server has no authentication, "
            "so serving other machines needs --allow-remote as well",
        )
    if not 0 <= args.port <= 65535:
        raise UserError("invalid", f"--port {args.port} is not a port number (0 to 65535)")
    if args.max_upload_mb <= 0:
        raise UserError("invalid", "--max-upload-mb must be above 0")
    chosen = workspace(args)
    assert chosen is not None  # serve needs a workspace: main chose one
    root = require_workspace(chosen)
    hosts = ["*"] if not _is_loopback(args.host) else list(LOOPBACK_HOSTS)
    app = create_app(
        root,
        read_only=args.read_only,
        max_upload_bytes=int(args.max_upload_mb * 1e6),
        allowed_hosts=hosts,
    )
    config = uvicorn.Config(app, host=args.host, port=args.port, log_level="warning")
    server = uvicorn.Server(config)
    shown_host = f"[{args.host}]" if ":" in args.host else args.host

    def announce() -> None:
        # Runs once the socket is bound, so the URL printed is one that answers.
        port = args.port
        for s in server.servers:
            for sock in s.sockets:
                port = sock.getsockname()[1]
        url = f"http://{shown_host}:{port}/"
        sys.stdout.write(f"serving {root} at {url}{' (read-only)' if args.read_only else ''}\n")
        sys.stdout.flush()
        if not _is_loopback(args.host):
            sys.stderr.write(
                "velmor: warning: the server has no authentication and is reachable "
                "from other machines\n"
            )
        if args.open:
            import webbrowser

            webbrowser.open(url)

    def watch() -> None:
        while not server.started and not server.should_exit:
            threading.Event().wait(0.05)
        if server.started:
            announce()

    threading.Thread(target=watch, name="velmor-serve-announce", daemon=True).start()
    server.run()
    return Outcome(None, list)
