"""Making a new product (a design variant) from an existing one and a geometry file.

``make_variant(workspace, parent, name, geometry)`` creates the product
``name`` (``<programme>`` or ``<programme>:<variant>``) from the product
``parent``:

* the parent's top-level layer, its values kept except the names, the body
  reference and the reference values (frontal area, wheelbase);
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
  new product at once (they find a template by that name); a name whose
  folder another product's folder bears would share that product's
  template, and is refused;
* the frontal area (projection of the body alone on the y-z plane, as the
  parents state theirs; ``frontalAreaBasis`` records it) unless given, and
  the reference length (``wheelbase``) from the variant's own wheels unless
  given; without wheels it must be given.

The body must be a closed solid (``bodies.solid``; inward-facing triangles
are turned round, and the reply says so) in the vehicle's frame
(``bodies.frame``); the kept wheels' fit against it is reported.

Everything is checked before anything is written. Every file is written
atomically (``layer_io.atomic_write_bytes``) under a temporary name and
moved into place with the product under the new product's lock
(``variant_install``), leftovers of interrupted attempts swept first.
Refusals raise ``VariantError`` with one line naming what is wrong.
"""

from __future__ import annotations

import contextlib
import os
import shutil
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from ..errors import VelmorError

Triangles = npt.NDArray[np.float64]
Cancelled = Callable[[], bool]

#: Layers of the parent copied into the new product, by file stem.
COPIED_LAYERS = ("design_intent",)
RUNS_LAYER = "runs"
#: The parent's layer the variant gets an empty one of, by file stem.
BENCHMARK_LAYER = "benchmark"
#: Vehicle attributes of a benchmark, never carried over to a variant.
BENCHMARK_ATTRIBUTES = ("benchmarkCd", "benchmarkCl", "benchmarkCmPitch", "benchmarkSource")
#: Pixel size of the frontal-area projection, metres.
AREA_CELL = 0.004


class VariantError(VelmorError, ValueError):
    """A variant cannot be made; the message says why, in one line. ``kind``
    is ``invalid``, ``not_found`` (no such parent, programme or file) or
    ``conflict`` (the name or its geometry file exists)."""

    def __init__(self, message: str, kind: str = "invalid") -> None:
        super().__init__(message)
        self.kind = kind


# ---------------------------------------------------------------- geometry


def read_geometry(
    path: str | os.PathLike[str], *, scale: float = 1.0, label: str | None = None
) -> Triangles:
    """The triangles of an STL or USD geometry file in metres, times ``scale``,
    checked to be a closed, vehicle-sized solid and wound outwards."""
    from .bodies.reading import GeometryError
    from .bodies.reading import read_geometry as read

    try:
        return read(path, scale=scale, label=label)[0]
    except GeometryError as exc:
        raise VariantError(str(exc), exc.kind) from None


def frontal_area(
    triangles: Triangles, cell: float = AREA_CELL, *, cancelled: Cancelled | None = None
) -> float:
    """Area of the body's projection on the y-z plane, m^2 (a raster of
    ``cell``-sized pixels; each triangle marks the pixel centres it covers)."""
    from .bodies import raster

    try:
        return raster.frontal_area(triangles, cell, cancelled=cancelled)
    except raster.RasterTooLarge as exc:
        raise VariantError(f"the frontal area cannot be computed: {exc}") from None


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


def _shared_template(root: Path, folder: Path, name: str) -> None:
    """Refuse a name whose folder another product's folder already bears:
    case templates are found by that folder name, so the two would share one."""
    from .api import list_products

    for other, usd_path in list_products(root / "products"):
        if usd_path.parent.name == folder.name:
            raise VariantError(
                f"{name!r} would share the case template {folder.name!r} with {other} (a "
                "product's template is found by its folder's name); choose another name",
                "conflict",
            )


def _wheel_set(parent_usd: Path, wheels: str) -> list[Any]:
    """The wheels the new product will have, in metres, Z up."""
    from ..errors import CfdError
    from .bodies import wheels as wheels_mod

    try:
        if wheels == "keep":
            return wheels_mod.product_wheels(parent_usd)
        if wheels == "none":
            return []
        found = wheels_mod.file_wheels(wheels)
    except (CfdError, ValueError) as exc:
        raise VariantError(f"{wheels}: {exc}") from None
    if not found:
        raise VariantError(f"{wheels}: no wheels (cylinders or meshes) under its default prim")
    return found


def _reference_values(
    triangles: Triangles,
    wheel_set: list[Any],
    area: float | None,
    length: float | None,
    cancelled: Cancelled | None,
) -> dict[str, Any]:
    """The frontal area and reference length (wheelbase), given or measured,
    and what each is based on."""
    from .. import rules
    from .bodies.raster import RasterCancelled

    try:
        if area is not None:
            area = rules.check_reference("frontal_area", area)
        if length is not None:
            length = rules.check_reference("wheelbase", length)
    except rules.RuleError as exc:
        raise VariantError(str(exc)) from None
    if length is None:
        xs = [w.centre[0] for w in wheel_set]
        if len(xs) < 2 or max(xs) - min(xs) <= 0:
            raise VariantError(
                "the variant has no wheels to measure its wheelbase, the reference length of "
                "its pitching moment: give it with --length M"
            )
    try:
        body = frontal_area(triangles, cancelled=cancelled)
        parts = [triangles] + [w.triangles for w in wheel_set]
        whole = frontal_area(np.concatenate(parts), cancelled=cancelled) if wheel_set else None
    except RasterCancelled:
        raise VariantError("making the variant was cancelled") from None
    return {
        "frontal_area": float(area) if area is not None else round(body, 4),
        "frontal_area_source": "given" if area is not None else "computed",
        # The coefficients use the reference area as the parent's do: the body's.
        "frontal_area_basis": "as given" if area is not None else "body, wheels excluded",
        "frontal_area_with_wheels": None if whole is None else round(whole, 4),
        "length": float(length) if length is not None else round(max(xs) - min(xs), 4),
        "length_source": "given" if length is not None else "wheelbase of its wheels",
    }


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
    full_model: bool = False,
    up: str = "z",
    origin: tuple[float, float, float] = (0.0, 0.0, 0.0),
    label: str | None = None,
    cancelled: Cancelled | None = None,
) -> dict[str, Any]:
    """Make the product ``name`` from ``parent`` and ``geometry``; returns what
    was made (paths, measured values, notes). ``wheels`` is ``"keep"``,
    ``"none"`` or the path of a USD file holding the wheels; ``up`` and
    ``origin`` place a file drawn in another frame; ``label`` names the
    geometry file in messages (an upload's own name); ``cancelled`` is asked
    during the long measurements."""
    from pxr import Sdf, Tf

    from . import variant_install as install
    from .bodies import frame, reading
    from .layer_io import atomic_write_bytes, layer_bytes, product_lock
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
    _shared_template(root, folder, name)
    shown = label or os.fspath(geometry)
    try:
        triangles, turned = reading.read_geometry(
            geometry, scale=scale, label=shown, transform=lambda t: frame.transform(t, up, origin)
        )
    except (reading.GeometryError, frame.FrameError) as exc:
        raise VariantError(str(exc), getattr(exc, "kind", "invalid")) from None
    wheel_set = _wheel_set(parent_usd, wheels)
    try:
        frame.check_frame(shown, triangles, wheel_set, full_model=full_model)
    except frame.FrameError as exc:
        raise VariantError(str(exc)) from None
    fits = frame.wheel_fit(triangles, wheel_set) if wheels == "keep" else []
    reference = _reference_values(triangles, wheel_set, frontal_area_m2, length_m, cancelled)
    lo, hi = triangles.reshape(-1, 3).min(axis=0), triangles.reshape(-1, 3).max(axis=0)

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
    handling_src, handling_dst = _handling_templates(root, parent_usd, folder)

    files, naming = _product_layers(
        root, parent, parent_usd, name, programme, variant, folder, vehicle_name, reference,
        _relative(str(body_file), folder),
        None if wheels == "keep" else (_relative(str(wheels_file), folder) if wheels_file else ""),
    )  # fmt: skip
    top_name = f"{programme}{parent_usd.suffix}"
    usd_path = folder / top_name
    made_template = False
    staged: list[tuple[Path, Path]] = []
    with product_lock(usd_path):
        if folder.exists():
            raise VariantError(f"a product named {name!r} already exists ({folder})", "conflict")
        install.sweep([geo_dir, template_dst.parent, handling_dst.parent, folder.parent])
        try:
            geo_dir.mkdir(parents=True, exist_ok=True)
            doc = f"Body of {name}, converted from {Path(shown).name} by velmor."
            staged.append((install.temporary(geo_dir, "body", ".usda"), body_file))
            atomic_write_bytes(staged[-1][0], reading.mesh_usda(triangles, doc))
            if wheels_file is not None and wheels_layer is not None:
                staged.append((install.temporary(geo_dir, "wheels", ".usda"), wheels_file))
                atomic_write_bytes(staged[-1][0], layer_bytes(wheels_layer, ".usda"))
            if not template_dst.exists() and template_src.is_dir():
                note = (
                    f"\n\nDerived from the template `{template_src.name}` (of {parent}) for "
                    f"{name} by velmor; edit it freely.\n"
                )
                staged.append((_copy_dir(template_src, template_dst.parent, note), template_dst))
                made_template = True
            if handling_src is not None and not handling_dst.exists():
                note = (
                    f"\n\nCopied from `{handling_src.name}` (of {parent}) for {name} by velmor.\n"
                )
                staged.append((_copy_dir(handling_src, handling_dst.parent, note), handling_dst))
            folder.parent.mkdir(parents=True, exist_ok=True)
            tmp = install.temporary_dir(folder.parent, "product")
            staged.append((tmp, folder))
            for file_name, data in files.items():
                atomic_write_bytes(tmp / file_name, data)
            tmp.chmod(0o755)
            install.move_in(staged)
        except BaseException as exc:
            install.sweep([geo_dir, template_dst.parent, handling_dst.parent, folder.parent])
            for source, _ in staged:
                if source.is_dir():
                    shutil.rmtree(source, ignore_errors=True)
                else:
                    with contextlib.suppress(OSError):
                        source.unlink()
            if isinstance(exc, OSError):
                raise VariantError(f"cannot write {name}: {exc.strerror or exc}") from exc
            raise
    notes = [turned] if turned else []
    if full_model:
        notes.append(f"made for full-model runs: simulate {name} with --full-model")
    return {
        "product": name,
        "parent": parent,
        "usd_path": str(usd_path),
        "geometry": str(body_file),
        "triangles": len(triangles),
        **reference,
        "body_length": round(float(hi[0] - lo[0]), 4),
        "bounds_m": [[round(float(v), 4) for v in lo], [round(float(v), 4) for v in hi]],
        "wheels": "kept"
        if wheels == "keep"
        else ("removed" if wheels == "none" else str(wheels_file)),
        **naming,
        "wheel_fit": fits,
        "wheel_fit_text": frame.describe_fit(fits) if wheels == "keep" else None,
        "template": template_dst.name if template_dst.is_dir() else None,
        "template_source": template_src.name if made_template else "existing",
        "handling_template": handling_dst.name if handling_dst.is_dir() else None,
        "notes": notes,
    }


def _product_layers(
    root: Path, parent: str, parent_usd: Path, name: str, programme: str, variant: str | None,
    folder: Path, vehicle_name: str | None, reference: dict[str, Any], body_ref: str,
    wheels_ref: str | None,
) -> tuple[dict[str, bytes], dict[str, Any]]:  # fmt: skip
    """The new product's layer files, by name: the parent's top-level layer
    re-pointed and renamed, its copied layers and an empty runs layer.
    ``wheels_ref`` None keeps the parent's wheels, "" removes them. Also
    the display name and the parent's benchmark source, for the reply."""
    from pxr import Sdf, Tf

    from .geometry_cache import resolve_product_geometry
    from .layer_io import layer_bytes

    # The parent's layers, their geometry URIs resolved (as loading it does),
    # read and changed in memory.
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
    _set(vehicle, "frontalArea", Sdf.ValueTypeNames.Double, reference["frontal_area"])
    _set(vehicle, "wheelbase", Sdf.ValueTypeNames.Double, reference["length"])
    _set(
        vehicle,
        "frontalAreaBasis",
        Sdf.ValueTypeNames.String,
        f"{reference['frontal_area_basis']} ({reference['frontal_area_source']})",
    )
    body = vehicle.nameChildren.get("Body") or Sdf.PrimSpec(
        vehicle, "Body", Sdf.SpecifierDef, "Xform"
    )
    body.referenceList.ClearEditsAndMakeExplicit()
    body.referenceList.prependedItems.append(Sdf.Reference(body_ref))
    if "surfaceMesh" in body.attributes:
        body.attributes["surfaceMesh"].default = Sdf.AssetPath(body_ref)
    if wheels_ref is not None and "Wheels" in vehicle.nameChildren:
        del vehicle.nameChildren["Wheels"]
    if wheels_ref:
        spec = Sdf.PrimSpec(vehicle, "Wheels", Sdf.SpecifierDef, "Xform")
        spec.payloadList.prependedItems.append(Sdf.Payload(wheels_ref))
    top_name = f"{programme}{parent_usd.suffix}"
    files[top_name] = layer_bytes(top, parent_usd.suffix, root / ".velmor" / "scratch")
    return files, {
        "vehicle_name": display_name,
        "vehicle_name_source": "given" if vehicle_name else "parent's name and the variant",
        "benchmark": None,
        "parent_benchmark": parent_benchmark,
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


def _handling_templates(root: Path, parent_usd: Path, folder: Path) -> tuple[Path | None, Path]:
    """The parent's handling template for Chrono (``templates/chrono/``, named after
    its folder, else its body style) and the folder a variant's copy goes to."""
    from pxr import Sdf

    base = root / "templates" / "chrono"
    names = [parent_usd.parent.name]
    layer = Sdf.Layer.FindOrOpen(str(parent_usd))
    prim = layer.GetPrimAtPath("/" + layer.defaultPrim) if layer and layer.defaultPrim else None
    style = prim.attributes.get("bodyStyle") if prim else None
    if style is not None and isinstance(style.default, str) and style.default:
        names.append(style.default)
    found = next((base / n for n in names if (base / n / "handling.json").is_file()), None)
    return found, base / folder.name


def _copy_dir(src: Path, folder: Path, note: str) -> Path:
    """A copy of the template folder ``src`` under a temporary name in
    ``folder``, with ``note`` added to its README; returns the copy."""
    from .variant_install import temporary_dir

    folder.mkdir(parents=True, exist_ok=True)
    tmp = temporary_dir(folder, "template")
    try:
        shutil.copytree(src, tmp, dirs_exist_ok=True, symlinks=False)
        readme = tmp / "README.md"
        text = readme.read_text(encoding="utf-8") if readme.is_file() else f"# {src.name}\n"
        readme.write_text(text.rstrip("\n") + note, encoding="utf-8")
        tmp.chmod(0o755)
    except BaseException:
        shutil.rmtree(tmp, ignore_errors=True)
        raise
    return tmp
