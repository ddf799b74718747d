"""Where a workspace's studies run: ``<workspace>/cluster.toml``.

::

    [local]
    cores = 2                    # default: the cores this process may use

    [slurm]
    partition = "compute"        # each optional
    account = "aero"
    time_limit = "02:00:00"
    ranks_per_case = 4           # cases are prepared and run with these (default: the study's)
    extra_sbatch = ["--mem-per-cpu=2G", "--qos=normal"]
    modules = ["openfoam/v1912"] # 'module load' lines in the job
    setup = ["source /opt/site/env.sh"]
    slurm_conf = "/etc/slurm/slurm.conf"   # else SLURM_CONF or Slurm's default
    [slurm.env]
    WM_PROJECT_DIR = "/usr/share/openfoam"

The cluster's file system must share the workspace: a job runs the case
folder in place, under the same path. A job that cannot see its folder
ends at once and is recorded as failed with that reason.

Every value reaches the job script, so a typo must be an error, not a
command: no value holds a line break; partition, account and time limit are
one word each, not an option; an ``extra_sbatch`` entry is an option and
never ``--wrap`` (which would replace the job's script); module names are
one word; ``[slurm.env]`` keys are shell identifiers.
"""

from __future__ import annotations

import os
import re
import tomllib
from pathlib import Path

from pydantic import BaseModel, ConfigDict, Field, ValidationError, field_validator

from .errors import StudyError
from .executors import line_problem

CONFIG_FILE = "cluster.toml"


class LocalConfig(BaseModel):
    model_config = ConfigDict(frozen=True, extra="forbid")
    cores: int | None = Field(default=None, ge=1, le=4096)


class SlurmConfig(BaseModel):
    model_config = ConfigDict(frozen=True, extra="forbid")
    partition: str | None = None
    account: str | None = None
    time_limit: str | None = None
    ranks_per_case: int | None = Field(default=None, ge=1, le=4096)
    extra_sbatch: list[str] = Field(default_factory=list)
    modules: list[str] = Field(default_factory=list)
    setup: list[str] = Field(default_factory=list)
    env: dict[str, str] = Field(default_factory=dict)
    slurm_conf: str | None = None
    poll_s: float = Field(default=1.0, gt=0, le=60)

    @field_validator("partition", "account", "time_limit", "slurm_conf", "setup")
    @classmethod
    def _one_line(cls, value: str | list[str] | None) -> str | list[str] | None:
        for text in [value] if isinstance(value, str) else value or []:
            problem = line_problem(text)
            if problem:
                raise ValueError(f"{text!r}: {problem}")
        return value

    @field_validator("partition", "account", "time_limit", "modules")
    @classmethod
    def _one_word(cls, value: str | list[str] | None) -> str | list[str] | None:
        for text in [value] if isinstance(value, str) else value or []:
            if not _WORD.match(text):
                raise ValueError(f"{text!r} is not one word (letters, digits, '._:,/@+-')")
        return value

    @field_validator("extra_sbatch")
    @classmethod
    def _options(cls, values: list[str]) -> list[str]:
        for text in values:
            problem = line_problem(text)
            if problem:
                raise ValueError(f"{text!r}: {problem}")
            if not text.startswith("-"):
                raise ValueError(f"{text!r} is not an sbatch option (it starts with '-')")
            for word in text.split():
                name = word.split("=", 1)[0]
                if len(name) > 3 and "--wrap".startswith(name):
                    raise ValueError(f"{text!r}: --wrap would replace the job's script")
        return values

    @field_validator("env")
    @classmethod
    def _env(cls, values: dict[str, str]) -> dict[str, str]:
        for key, text in values.items():
            if not _IDENTIFIER.match(key):
                raise ValueError(f"{key!r} is not a variable name (letters, digits, '_')")
            problem = line_problem(text)
            if problem:
                raise ValueError(f"{key} = {text!r}: {problem}")
        return values


#: A partition, account, time limit or module: one word, never an option.
_WORD = re.compile(r"^[A-Za-z0-9_.:,/@+][A-Za-z0-9_.:,/@+-]*$")
_IDENTIFIER = re.compile(r"^[A-Za-z_][A-Za-z0-9_]*$")


class ClusterConfig(BaseModel):
    model_config = ConfigDict(frozen=True, extra="forbid")
    local: LocalConfig = Field(default_factory=LocalConfig)
    slurm: SlurmConfig | None = None


def load_config(workspace: Path) -> ClusterConfig:
    path = workspace / CONFIG_FILE
    try:
        data = tomllib.loads(path.read_text(encoding="utf-8"))
    except FileNotFoundError:
        return ClusterConfig()
    except (OSError, UnicodeDecodeError, tomllib.TOMLDecodeError) as exc:
        raise StudyError("invalid", f"{path}: cannot read it: {exc}") from None
    try:
        return ClusterConfig(**data)
    except ValidationError as exc:
        first = exc.errors()[0]
        loc = ".".join(str(p) for p in first["loc"])
        raise StudyError("invalid", f"{path}: {loc}: {first['msg']}") from None


def local_cores(config: ClusterConfig) -> int:
    if config.local.cores:
        return config.local.cores
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1
