"""A product packaged as one USDZ file, opened where its workspace is gone."""

import shutil

import pytest
from pxr import Usd

from velmor_platform.core.package import package_product
from velmor_platform.core.product_core import ProductCore


def test_package_opens_anywhere(workspace, tmp_path):
    product = ProductCore.load("sedan:sport")
    reply = package_product(product.usd_path, tmp_path / "sport.usdz")
    assert reply["files"][0] == "products/sedan/sport/sedan.usda"
    assert "geometry/sedan/body_sport.usda" in reply["files"]
    shutil.rmtree(workspace)
    stage = Usd.Stage.Open(reply["path"])
    vehicle = stage.GetDefaultPrim()
    assert stage.GetPrimAtPath("/Vehicle/Body/Shell").GetTypeName() == "Mesh"
    assert vehicle.GetAttribute("targetCd").Get() == 0.26
    assert len(vehicle.GetChild("Simulations").GetChildren()) == 4


@pytest.mark.parametrize("asset", ["/etc/hostname", "../../../outside.usda"])
def test_package_refuses_files_outside_the_workspace(workspace, tmp_path, asset):
    (workspace.parent / "outside.usda").write_text("#usda 1.0\n")
    top = workspace / "products/hatch/hatch.usda"
    top.write_text(top.read_text().replace("{", "{\n    asset leak = @" + asset + "@", 1))
    with pytest.raises(ValueError, match="outside the workspace"):
        package_product(ProductCore.load("hatch").usd_path, tmp_path / "hatch.usdz")
    assert not (tmp_path / "hatch.usdz").exists()
