"""The tools of the OpenFOAM MCP server (``mcp.openfoam_server``), a face
like the command line and the web: ``simulation`` (prepare_case, simulate),
``report`` (a run's pictures and numbers) and ``studies`` (variants,
studies, and the cases the ``mcp`` study executor runs on this host). Each
module has ``register(server, workspace)``."""
