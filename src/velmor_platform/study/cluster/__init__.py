"""A one-node Slurm cluster on this machine: the daemons (``daemons``) and a
workspace's own cluster with its record and ``cluster.toml`` (``workspace``).
``velmor cluster`` and the tests start it with the same code."""
