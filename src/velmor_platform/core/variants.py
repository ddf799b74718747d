"""Making a new product (a design variant) from an existing one and a geometry file.

``make_variant(workspace, parent, name, geometry)`` creates the product
``name`` (``<programme>`` or ``<programme>:<variant>``) from the product
``parent``:

* the parent's top-level layer, its values kept except the names, the body
  reference and the reference values (frontal area, length);
* a copy of the parent's design-intent layer, an empty benchmark layer (a
  benchmark measures one geometry: the parent's figures are not the new
  body's, so the variant starts with none, its layer's doc naming the
  parent's source) and an empty runs layer: no run history;
* the display name ``<parent's name> (<variant>)`` unless one is given;
* the geometry (an STL file, or a USD file with meshes) converted to one
  USD mesh in metres, Z up, written to the workspace's geometry folder as
  ``geometry/<programme>/<variant>_body.usda`` (``body.usda`` for a new
  programme) and referenced relatively from the product;
* the wheels kept (their reference re-pointed relative to the new folder),
  replaced by another USD file (copied into the geometry folder) or removed;
* a case template named after the new product's directory, copied from the
  parent's, so that capabilities, simulate and the web run panel work on the
  new product at once (they find a template by that name);
* the frontal area (projection of the body on the y-z plane) and the length
  computed from the geometry unless given.

Everything is checked before anything is written. The product folder is
built in a hidden temporary folder beside its place, every file written
atomically (``layer_io.atomic_write_bytes``), and renamed into place under
the new product's lock; the geometry file and the template appear before
the product that references them and are removed again if it fails.
Refusals raise ``VariantError`` with one line naming what is wrong.
"""

from __future__ import annotations

import contextlib
import math
import os
import shutil
import tempfile
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

Triangles = npt.NDArray[np.float64]

#: Layers of the parent copied into the new product, by file stem.
COPIED_LAYERS = ("design_intent",)
RUNS_LAYER = "runs"
#: The parent's layer the variant gets an empty one of, by file stem.
BENCHMARK_LAYER = "benchmark"
#: Vehicle attributes of a benchmark, never carried over to a variant.
BENCHMARK_ATTRIBUTES = ("benchmarkCd", "benchmarkCl", "benchmarkCmPitch", "benchmarkSource")
GEOMETRY_SUFFIXES = (".stl", ".usda", ".usdc", ".usd")
#: Pixel size of the frontal-area projection, metres.
AREA_CELL = 0.004


class VariantError(ValueError):
    """A variant cannot be made; the message says why, in one line. ``kind``
    is ``invalid``, ``not_found`` (no such parent, programme or file) or
    ``conflict`` (the name or its geometry file exists)."""

    def __init__(self, message: str, kind: str = "invalid") -> None:
        super().__init__(message)
        self.kind = kind


# ---------------------------------------------------------------- geometry


def _check_triangles(name: str, triangles: Triangles) -> Triangles:
    from . import geometry as geo

    if len(triangles) == 0:
        raise VariantError(f"{name}: the geometry holds no triangles")
    if not np.isfinite(triangles).all():
        raise VariantError(f"{name}: the geometry has non-finite coordinates")
    n_open = geo.open_edges(triangles)
    if n_open:
        raise VariantError(
            f"{name}: the surface is not closed ({n_open} edges not shared by exactly two "
            "triangles); the body must be watertight"
        )
    lo, hi = geo.bounds(triangles)
    for (label, (low, high)), value in zip(geo.VEHICLE_EXTENTS.items(), hi - lo, strict=True):
        if not low <= value <= high:
            dims = " x ".join(f"{v:.3g}" for v in hi - lo)
            raise VariantError(
                f"{name}: bounding box {dims} m is not plausible for a vehicle ({label} "
                f"{value:.3g} m, expected {low:g} to {high:g} m); a millimetre file needs "
                "--scale 0.001"
            )
    return triangles


def _stl_triangles(name: str) -> Triangles:
    import struct

    from stl import mesh

    from ..errors import CfdError
    from . import geometry as geo

    try:
        geo.check_stl_layout(name, os.stat(name).st_size)
        parsed = mesh.Mesh.from_file(name, calculate_normals=False)
    except CfdError as exc:
        raise VariantError(str(exc)) from None
    except (ValueError, TypeError, AssertionError, OSError, IndexError, struct.error) as exc:
        raise VariantError(
            f"{name}: not a readable STL file ({' '.join(str(exc).split())[:200]})"
        ) from None
    return np.asarray(parsed.vectors, dtype=np.float64)


def _usd_triangles(name: str) -> Triangles:
    from pxr import Tf, Usd, UsdGeom

    from ..errors import CfdError
    from . import geometry as geo

    try:
        stage = Usd.Stage.Open(name, Usd.Stage.LoadAll)
    except Tf.ErrorException as exc:
        detail = " ".join(str(exc).split())[:200]
        raise VariantError(f"{name}: OpenUSD cannot open it: {detail}") from None
    if stage is None:
        raise VariantError(f"{name}: OpenUSD cannot open it")
    to_metres = geo.stage_to_metres(stage)
    cache = UsdGeom.XformCache(Usd.TimeCode.Default())
    chunks = []
    try:
        for prim in stage.Traverse():
            if prim.IsA(UsdGeom.Mesh):
                chunk = geo.mesh_triangles(prim, cache, to_metres, where=name)
                if chunk is not None:
                    chunks.append(chunk)
    except CfdError as exc:
        raise VariantError(str(exc)) from None
    if not chunks:
        raise VariantError(f"{name}: no mesh geometry in the USD file")
    return np.concatenate(chunks)


def read_geometry(path: str | os.PathLike[str], *, scale: float = 1.0) -> Triangles:
    """The triangles of an STL or USD geometry file in metres, times ``scale``,
    checked to be a closed, vehicle-sized surface."""
    name = os.fspath(path)
    if not (scale > 0 and math.isfinite(scale)):
        raise VariantError(f"scale {scale!r} must be a positive number")
    suffix = Path(name).suffix.lower()
    if suffix not in GEOMETRY_SUFFIXES:
        raise VariantError(
            f"{name}: unknown geometry format {suffix or '(no suffix)'!r}; "
            "expected an STL file or a USD file with meshes (.usda, .usdc, .usd)"
        )
    if not os.path.isfile(name):
        raise VariantError(f"{name}: no such file", "not_found")
    if os.path.getsize(name) == 0:
        raise VariantError(f"{name}: empty file")
    triangles = _stl_triangles(name) if suffix == ".stl" else _usd_triangles(name)
    return _check_triangles(name, triangles * scale)


def frontal_area(triangles: Triangles, cell: float = AREA_CELL) -> float:
    """Area of the body's projection on the y-z plane, m^2 (a raster of
    ``cell``-sized pixels; each triangle marks the pixel centres it covers)."""
    yz = triangles[:, :, 1:]
    lo = yz.reshape(-1, 2).min(axis=0)
    hi = yz.reshape(-1, 2).max(axis=0)
    n = np.ceil((hi - lo) / cell).astype(int) + 1
    covered = np.zeros((int(n[0]), int(n[1])), dtype=bool)
    pix = (yz - lo) / cell  # triangle corners in pixel units
    for a, b, c in pix:
        i0, j0 = np.floor(np.minimum(np.minimum(a, b), c)).astype(int)
        i1, j1 = np.ceil(np.maximum(np.maximum(a, b), c)).astype(int)
        if i1 <= i0 or j1 <= j0:
            continue
        gi, gj = np.meshgrid(np.arange(i0, i1) + 0.5, np.arange(j0, j1) + 0.5, indexing="ij")
        d1 = (b[0] - a[0]) * (gj - a[1]) - (b[1] - a[1]) * (gi - a[0])
        d2 = (c[0] - b[0]) * (gj - b[1]) - (c[1] - b[1]) * (gi - b[0])
        d3 = (a[0] - c[0]) * (gj - c[1]) - (a[1] - c[1]) * (gi - c[0])
        inside = ((d1 >= 0) & (d2 >= 0) & (d3 >= 0)) | ((d1 <= 0) & (d2 <= 0) & (d3 <= 0))
        covered[i0:i1, j0:j1] |= inside
    return float(covered.sum()) * cell * cell


def mesh_usda(triangles: Triangles, doc: str) -> bytes:
    """A USD text layer with one ``Body`` prim holding the triangles as a
    mesh (points shared between triangles), metres, Z up."""
    from pxr import Gf, Usd, UsdGeom, Vt

    flat = triangles.reshape(-1, 3)
    points, inverse = np.unique(np.round(flat, 7), axis=0, return_inverse=True)
    stage = Usd.Stage.CreateInMemory()
    UsdGeom.SetStageMetersPerUnit(stage, 1.0)
    UsdGeom.SetStageUpAxis(stage, UsdGeom.Tokens.z)
    body = UsdGeom.Xform.Define(stage, "/Body")
    stage.SetDefaultPrim(body.GetPrim())
    mesh = UsdGeom.Mesh.Define(stage, "/Body/Shell")
    mesh.CreatePointsAttr(Vt.Vec3fArray.FromNumpy(points.astype(np.float32)))
    mesh.CreateFaceVertexCountsAttr(Vt.IntArray([3] * len(triangles)))
    mesh.CreateFaceVertexIndicesAttr(Vt.IntArray.FromNumpy(inverse.reshape(-1).astype(np.int32)))
    mesh.CreateSubdivisionSchemeAttr(UsdGeom.Tokens.none)
    lo, hi = points.min(axis=0), points.max(axis=0)
    mesh.CreateExtentAttr(Vt.Vec3fArray([Gf.Vec3f(*map(float, lo)), Gf.Vec3f(*map(float, hi))]))
    layer = stage.GetRootLayer()
    layer.documentation = doc
    return str(layer.ExportToString()).encode("utf-8")


# ---------------------------------------------------------------- the product


def _relative(target: str, start: Path) -> str:
    rel = os.path.relpath(target, start)
    return rel if rel.startswith("..") else "./" + rel


def _repoint(layer: Any, old_dir: Path, new_dir: Path) -> None:
    """Re-point the relative asset paths of ``layer`` (written for ``old_dir``)
    so they name the same files from ``new_dir``; URIs and absolute paths stay."""
    from pxr import UsdUtils

    def fix(path: str) -> str:
        if not path or ":" in path.split("/")[0] or os.path.isabs(path):
            return path
        return _relative(os.path.normpath(old_dir / path), new_dir)

    UsdUtils.ModifyAssetPaths(layer, fix)


def _names(workspace: Path, name: str) -> tuple[str, str | None, Path]:
    from .api import split_identifier

    try:
        programme, variant = split_identifier(name)
    except (ValueError, TypeError) as exc:
        raise VariantError(str(exc)) from None
    folder = workspace / "products" / programme
    if variant is not None:
        folder = folder / variant
    return programme, variant, folder


def _top_level(folder: Path, programme: str) -> Path | None:
    for suffix in (".usda", ".usdc"):
        path = folder / f"{programme}{suffix}"
        if path.is_file():
            return path
    return None


def make_variant(
    workspace: str | os.PathLike[str],
    parent: str,
    name: str,
    geometry: str | os.PathLike[str],
    *,
    scale: float = 1.0,
    wheels: str = "keep",
    frontal_area_m2: float | None = None,
    length_m: float | None = None,
    vehicle_name: str | None = None,
) -> dict[str, Any]:
    """Make the product ``name`` from ``parent`` and ``geometry``; returns what
    was made (paths, computed values). ``wheels`` is ``"keep"``, ``"none"`` or
    the path of a USD file holding the wheels."""
    from pxr import Sdf, Tf

    from .layer_io import atomic_write_bytes, fsync_dir, layer_bytes, product_lock
    from .paths import templates_dir

    root = Path(workspace).resolve()
    p_prog, _, p_folder = _names(root, parent)
    parent_usd = _top_level(p_folder, p_prog)
    if parent_usd is None:
        raise VariantError(f"no product named {parent!r} in {root / 'products'}", "not_found")
    programme, variant, folder = _names(root, name)
    if folder.exists() or _top_level(folder, programme) is not None:
        raise VariantError(
            f"a product named {name!r} already exists ({folder}); choose another name",
            "conflict",
        )
    if not folder.parent.is_dir() and variant is not None:
        raise VariantError(
            f"no programme {programme!r} in {root / 'products'}: a variant goes into an "
            "existing programme (or give a new programme name without ':')",
            "not_found",
        )
    for given, label in ((frontal_area_m2, "frontal area"), (length_m, "length")):
        if given is not None and not (given > 0 and math.isfinite(given)):
            raise VariantError(f"the {label} must be a positive number, not {given!r}")

    triangles = read_geometry(geometry, scale=scale)
    lo, hi = triangles.reshape(-1, 3).min(axis=0), triangles.reshape(-1, 3).max(axis=0)
    area = frontal_area_m2 if frontal_area_m2 is not None else round(frontal_area(triangles), 4)
    length = length_m if length_m is not None else round(float(hi[0] - lo[0]), 4)

    geo_dir = root / "geometry" / programme
    stem = "body" if variant is None else f"{variant}_body"
    body_file = geo_dir / f"{stem}.usda"
    wheels_file: Path | None = None
    wheels_layer = None
    if wheels not in ("keep", "none"):
        wheels_file = geo_dir / f"{variant or programme}_wheels.usda"
        try:
            wheels_layer = Sdf.Layer.OpenAsAnonymous(os.fspath(wheels))
        except Tf.ErrorException:
            wheels_layer = None
        if wheels_layer is None or not wheels_layer.defaultPrim:
            raise VariantError(f"{wheels}: not a USD file with a default (wheels) prim")
    for target in (body_file, wheels_file):
        if target is not None and target.exists():
            raise VariantError(f"{target} already exists; choose another product name", "conflict")
    template_src = templates_dir(root) / Path(parent_usd.parent).name
    template_dst = templates_dir(root) / folder.name

    # The parent's layers, their geometry URIs resolved (as loading it does),
    # read and changed in memory.
    from .geometry_cache import resolve_product_geometry

    try:
        resolve_product_geometry(parent_usd.parent)
    except (OSError, ValueError) as exc:
        raise VariantError(f"cannot read {parent}: {exc}") from None
    try:
        top = Sdf.Layer.OpenAsAnonymous(str(parent_usd))
    except Tf.ErrorException as exc:
        raise VariantError(f"OpenUSD cannot open {parent_usd}: {exc}") from None
    if top is None or not top.defaultPrim:
        raise VariantError(f"{parent_usd} has no default (vehicle) prim")
    parent_benchmark = _benchmark_source(parent_usd)
    files: dict[str, bytes] = {}
    sublayers = []
    for sub in list(top.subLayerPaths):
        stem_of = Path(sub).stem
        base = Path(sub).name
        source = (parent_usd.parent / sub).resolve() if not os.path.isabs(sub) else Path(sub)
        if stem_of == RUNS_LAYER:
            runs = Sdf.Layer.CreateAnonymous(".usda")
            runs.documentation = f"{name}: recorded simulation runs."
            files[base] = layer_bytes(runs, Path(base).suffix or ".usda")
            sublayers.append("./" + base)
        elif stem_of == BENCHMARK_LAYER:
            bench = Sdf.Layer.CreateAnonymous(".usda")
            bench.documentation = f"{name}: benchmark reference values. None yet: " + (
                f"those of {parent} ({parent_benchmark}) measured another geometry."
                if parent_benchmark
                else f"{parent} had none."
            )
            files[base] = layer_bytes(bench, Path(base).suffix or ".usda")
            sublayers.append("./" + base)
        elif stem_of in COPIED_LAYERS and source.is_file():
            files[base] = source.read_bytes()
            sublayers.append("./" + base)
        else:
            sublayers.append(sub)
    if not any(Path(s).stem == RUNS_LAYER for s in sublayers):
        runs = Sdf.Layer.CreateAnonymous(".usda")
        files["runs.usda"] = layer_bytes(runs, ".usda")
        sublayers.append("./runs.usda")
    top.subLayerPaths.clear()
    _repoint(top, parent_usd.parent, folder)
    for sub in sublayers:
        top.subLayerPaths.append(
            sub if sub.startswith("./") else _relative_sub(sub, parent_usd.parent, folder)
        )
    vehicle = top.GetPrimAtPath("/" + top.defaultPrim)
    for attribute in BENCHMARK_ATTRIBUTES:
        if attribute in vehicle.attributes:
            vehicle.RemoveProperty(vehicle.attributes[attribute])
    _set(vehicle, "programme", Sdf.ValueTypeNames.String, programme)
    if variant is not None:
        _set(vehicle, "variant", Sdf.ValueTypeNames.String, variant)
    elif "variant" in vehicle.attributes:
        vehicle.RemoveProperty(vehicle.attributes["variant"])
    old_name = (
        vehicle.attributes["vehicleName"].default if "vehicleName" in vehicle.attributes else parent
    )
    display_name = vehicle_name or f"{old_name} ({variant or programme})"
    _set(vehicle, "vehicleName", Sdf.ValueTypeNames.String, display_name)
    _set(vehicle, "frontalArea", Sdf.ValueTypeNames.Double, float(area))
    _set(vehicle, "length", Sdf.ValueTypeNames.Double, float(length))
    body_ref = _relative(str(body_file), folder)
    body = vehicle.nameChildren.get("Body") or Sdf.PrimSpec(
        vehicle, "Body", Sdf.SpecifierDef, "Xform"
    )
    body.referenceList.ClearEditsAndMakeExplicit()
    body.referenceList.prependedItems.append(Sdf.Reference(body_ref))
    if "surfaceMesh" in body.attributes:
        body.attributes["surfaceMesh"].default = Sdf.AssetPath(body_ref)
    if wheels != "keep" and "Wheels" in vehicle.nameChildren:
        del vehicle.nameChildren["Wheels"]
    if wheels_file is not None:
        spec = Sdf.PrimSpec(vehicle, "Wheels", Sdf.SpecifierDef, "Xform")
        spec.payloadList.prependedItems.append(Sdf.Payload(_relative(str(wheels_file), folder)))
    top_name = f"{programme}{parent_usd.suffix}"
    files[top_name] = layer_bytes(top, parent_usd.suffix, root / ".velmor" / "scratch")

    written: list[Path] = []
    made_template = False
    usd_path = folder / top_name
    with product_lock(usd_path):
        if folder.exists():
            raise VariantError(f"a product named {name!r} already exists ({folder})", "conflict")
        try:
            geo_dir.mkdir(parents=True, exist_ok=True)
            doc = f"Body of {name}, converted from {Path(geometry).name} by velmor."
            atomic_write_bytes(body_file, mesh_usda(triangles, doc))
            written.append(body_file)
            if wheels_file is not None and wheels_layer is not None:
                atomic_write_bytes(wheels_file, layer_bytes(wheels_layer, ".usda"))
                written.append(wheels_file)
            if not template_dst.exists() and template_src.is_dir():
                note = (
                    f"\n\nDerived from the template `{template_src.name}` (of {parent}) for "
                    f"{name} by velmor; edit it freely.\n"
                )
                _copy_dir(template_src, template_dst, note)
                made_template = True
            folder.parent.mkdir(parents=True, exist_ok=True)
            tmp = Path(tempfile.mkdtemp(prefix=".velmor-product-", dir=folder.parent))
            try:
                for file_name, data in files.items():
                    atomic_write_bytes(tmp / file_name, data)
                tmp.chmod(0o755)
                os.rename(tmp, folder)
            except BaseException:
                shutil.rmtree(tmp, ignore_errors=True)
                raise
            fsync_dir(folder.parent)
        except BaseException as exc:
            for path in written:
                with contextlib.suppress(OSError):
                    path.unlink()
            if made_template:
                shutil.rmtree(template_dst, ignore_errors=True)
            if isinstance(exc, OSError):
                raise VariantError(f"cannot write {name}: {exc.strerror or exc}") from exc
            raise
    return {
        "product": name,
        "parent": parent,
        "usd_path": str(usd_path),
        "geometry": str(body_file),
        "triangles": len(triangles),
        "frontal_area": float(area),
        "frontal_area_source": "given" if frontal_area_m2 is not None else "computed",
        "length": float(length),
        "length_source": "given" if length_m is not None else "computed",
        "bounds_m": [[round(float(v), 4) for v in lo], [round(float(v), 4) for v in hi]],
        "wheels": "kept"
        if wheels == "keep"
        else ("removed" if wheels == "none" else str(wheels_file)),
        "vehicle_name": display_name,
        "vehicle_name_source": "given" if vehicle_name else "parent's name and the variant",
        "benchmark": None,
        "parent_benchmark": parent_benchmark,
        "template": template_dst.name if template_dst.is_dir() else None,
        "template_source": template_src.name if made_template else "existing",
    }


def _benchmark_source(usd_path: Path) -> str | None:
    """Where the product's benchmark figures come from, or None without any."""
    from .usd_product import load_product

    try:
        record = load_product(str(usd_path))
    except (OSError, ValueError):
        return None
    if not any(k in record for k in ("benchmark_cd", "benchmark_cl", "benchmark_cm")):
        return None
    return str(record.get("benchmark_source") or "source not recorded")


def _relative_sub(sub: str, old_dir: Path, new_dir: Path) -> str:
    if os.path.isabs(sub) or ":" in sub.split("/")[0]:
        return sub
    return _relative(os.path.normpath(old_dir / sub), new_dir)


def _set(prim: Any, name: str, type_name: Any, value: Any) -> None:
    from pxr import Sdf

    attr = (
        prim.attributes[name]
        if name in prim.attributes
        else Sdf.AttributeSpec(prim, name, type_name)
    )
    attr.default = value


def _copy_dir(src: Path, dst: Path, note: str) -> None:
    """Copy the template folder ``src`` to ``dst`` through a hidden temporary
    folder, with ``note`` added to its README."""
    tmp = Path(tempfile.mkdtemp(prefix=".velmor-template-", dir=dst.parent))
    try:
        shutil.copytree(src, tmp, dirs_exist_ok=True, symlinks=False)
        readme = tmp / "README.md"
        text = readme.read_text(encoding="utf-8") if readme.is_file() else f"# {dst.name}\n"
        readme.write_text(text.rstrip("\n") + note, encoding="utf-8")
        tmp.chmod(0o755)
        os.rename(tmp, dst)
    except BaseException:
        shutil.rmtree(tmp, ignore_errors=True)
        raise
