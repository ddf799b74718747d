"""Studies: many runs of many designs, on this machine or on a Slurm cluster.

One job per module:

* ``model``        what a study is (TOML or command-line values) and its cases;
* ``state``        its persistent state, for status and for resuming;
* ``config``       where it runs (the workspace's ``cluster.toml``);
* ``executors``    the job script every executor runs, and the local executor;
* ``slurm``        the Slurm executor (sbatch, squeue, scontrol, sacct);
* ``mcp_executor`` cases run by the OpenFOAM MCP server on its solver host;
* ``recording``    recording an ended case in its product, exactly once;
* ``runner``       preparing, running, resuming and cancelling a study;
* ``results``      the results table and the chart (Cd against yaw);
* ``housekeeping`` cleaning a product's case folders.
"""

from .errors import StudyError

__all__ = ["StudyError"]
