"""The use cases the faces offer (command line, web, MCP tools), as data.

One module per group: ``products`` (list, show, history, compare, range,
export), ``solvers`` (domains, capabilities, solver choice), ``authoring``
(targets, geometry), ``simulation`` (prepare, simulate, record),
``workspaces`` (choose, init, doctor). ``loading`` finds the workspace and
loads a product; ``errors`` holds ``UserError``.

A use case returns dicts or small dataclasses, never terminal text, and
reports a person's mistake as ``UserError(kind, message)``; it imports
neither argparse nor Starlette. Importing this package imports nothing.
"""
