"""Model Context Protocol plumbing: the client transport that reaches the
solver servers configured for a workspace, and the "openfoam" server that
lists the workspace's OpenFOAM case templates."""
