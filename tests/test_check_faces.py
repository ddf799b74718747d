"""The check of a result against its target, as every face shows it: a band
with a grid part decides ok, miss or undecided; one level's iterative band
alone never decides."""

import json

import pytest
from starlette.testclient import TestClient

from velmor_platform import cli
from velmor_platform.cfd import record
from velmor_platform.core.product_core import ProductCore
from velmor_platform.web.app import create_app

NO_GRID = "undecided — no grid estimate"


@pytest.mark.parametrize(
    "cd, band, grid, check",
    [
        (0.245, 0.002, "monotonic", "ok"),
        (0.262, 0.002, "monotonic", "miss"),
        (0.249, 0.002, "monotonic", "undecided"),
        (0.245, 0.0005, None, NO_GRID),  # however narrow, it is the iterations' band only
        (0.300, 0.0005, None, NO_GRID),
    ],
)
def test_every_face_says_whether_a_grid_estimate_decides(workspace, capsys, cd, band, grid, check):
    product = ProductCore.load("sedan:base")
    run = {
        "status": "completed", "domain": "aerodynamics", "solver": "openfoam", "cd": cd,
        "cl": 0.08, "cm_pitch": -0.015, "cd_band": band, "mesh_cells": 30_000_000,
        "level": "fine" if grid else "quick", **({"grid_kind": grid} if grid else {}),
    }  # fmt: skip
    record.append_run(product.usd_path, run, product_id="sedan:base")

    capsys.readouterr()
    assert cli.main(["--json", "show", "sedan:base"]) == 0
    data = json.loads(capsys.readouterr().out)
    assert data["checks"]["cd"]["label"] == check
    assert data["checks"]["cd"]["grid_estimate"] is (grid is not None)
    assert cli.main(["show", "sedan:base"]) == 0
    assert check in capsys.readouterr().out

    client = TestClient(create_app(workspace, allowed_hosts=["testserver"]))
    assert check in client.get("/products/sedan:base").text
    assert client.get("/api/products/sedan:base").json()["checks"]["cd"]["label"] == check
    assert check in client.get("/").text
