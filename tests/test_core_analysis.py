"""diff, range_competitiveness and export."""

import sys
import types
from pathlib import Path

import pytest

from velmor_platform.core import range_model, usd_product


class Report(dict):
    pass


SIBLINGS = {
    "diff": (usd_product, "diff_products", lambda p: p.diff(p)),
    "range": (range_model, "range_competitiveness", lambda p: p.range_competitiveness(0.3)),
}


@pytest.mark.parametrize("member", SIBLINGS)
@pytest.mark.parametrize(
    "value,refused",
    [(None, None), ({"k": 1}, None), ([], "list"), (Report(), "Report"), ("x", "str")],
)
def test_sibling_results_are_checked(core, monkeypatch, member, value, refused):
    module, name, call = SIBLINGS[member]
    monkeypatch.setattr(module, name, lambda *args: value)
    p = core.ProductCore(Path("/p/a.usda"), {})
    if refused:
        with pytest.raises(TypeError, match=rf"^Expected dict, got {refused}$"):
            call(p)
    else:
        assert call(p) is value


@pytest.mark.parametrize("member", SIBLINGS)
def test_sibling_failures(core, monkeypatch, member):
    module, name, call = SIBLINGS[member]
    p = core.ProductCore(Path("/p/a.usda"), {})
    monkeypatch.setattr(module, name, lambda *args: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        call(p)
    monkeypatch.delattr(module, name)
    with pytest.raises(ImportError, match=f"^cannot import name {name}"):
        call(p)


def test_diff_passes_both_paths_as_strings(core, monkeypatch):
    calls = []
    monkeypatch.setattr(usd_product, "diff_products", lambda *a, **k: calls.append((a, k)) or {})
    mine = core.ProductCore(Path("/w/products/a/a.usda"), {})
    assert mine.diff(types.SimpleNamespace(_usd_path="/w/products/b/b.usda")) == {}
    assert mine.diff(other=core.ProductCore(Path("rel/c.usdc"), {})) == {}
    assert calls == [
        (("/w/products/a/a.usda", "/w/products/b/b.usda"), {}),
        (("/w/products/a/a.usda", "rel/c.usdc"), {}),
    ]
    assert all(type(a) is str for args, _ in calls for a in args)
    with pytest.raises(AttributeError):
        mine.diff(object())


class Index:
    def __index__(self):
        return 2


@pytest.mark.parametrize("cd,expected", [(0.25, 0.25), (1, 1.0), (True, 1.0), (Index(), 2.0)])
def test_range_competitiveness_arguments(core, monkeypatch, cd, expected):
    calls = []
    monkeypatch.setattr(
        range_model, "range_competitiveness", lambda *a, **k: calls.append((a, k)) or {}
    )
    marker, record = object(), {"mass": 1}
    p = core.ProductCore(marker, record)
    assert p.range_competitiveness(cd) == p.range_competitiveness(cd=cd) == {}
    (args, kwargs) = calls[0]
    assert kwargs == {} and args[0] is record and args[1] is marker  # as stored, not copied
    assert type(args[2]) is float and args[2] == expected
    assert vars(p) == {"_usd_path": marker, "_vehicle": record}


@pytest.mark.parametrize("cd", ["0.3", None, [0.3], b"0.3"])
def test_range_competitiveness_refuses_before_importing(core, monkeypatch, cd):
    touched = []

    class Watch(types.ModuleType):
        def __getattr__(self, name):
            touched.append(name)
            raise AttributeError(name)

    monkeypatch.setitem(sys.modules, "velmor_platform.core.range_model", Watch("range_model"))
    with pytest.raises(TypeError):
        core.ProductCore(Path("/p/a.usda"), {}).range_competitiveness(cd)
    assert touched == []


def test_analysis_of_sample_products(core, workspace):
    base, sport = core.ProductCore.load("sedan:base"), core.ProductCore.load("sedan:sport")
    assert base.diff(sport) == usd_product.diff_products(str(base.usd_path), str(sport.usd_path))
    assert base.range_competitiveness(0.24) == range_model.range_competitiveness(
        base._vehicle, base.usd_path, 0.24
    )
    with pytest.raises(ValueError):
        base.range_competitiveness(float("nan"))


@pytest.mark.parametrize(
    "call", [lambda p: p.export(), lambda p: p.export("usd"), lambda p: p.export(format="usd")]
)
def test_export_usd(core, call, tmp_path):
    path = tmp_path / "a.usda"
    path.write_text("#usda 1.0\n")
    p = core.ProductCore(path, {})
    assert list(call(p).items()) == [("format", "USD"), ("path", str(path))]
    assert call(p) == call(p) and call(p) is not call(p)
    assert [f.name for f in tmp_path.iterdir()] == ["a.usda"] and path.read_text() == "#usda 1.0\n"
    assert core.ProductCore("plain.usda", {}).export() == {"format": "USD", "path": "plain.usda"}


class Fmt(str):
    pass


@pytest.mark.parametrize(
    "fmt,error,message",
    [
        ("USD", ValueError, "Unknown format: USD. Supported: usd"),
        ("", ValueError, "Unknown format: . Supported: usd"),
        ("stl", ValueError, "Unknown format: stl. Supported: usd"),
        ("usd ", ValueError, "Unknown format: usd . Supported: usd"),
        (None, TypeError, "Argument 'format' has incorrect type (expected str, got NoneType)"),
        (b"usd", TypeError, "Argument 'format' has incorrect type (expected str, got bytes)"),
        (Fmt("usd"), TypeError, "Argument 'format' has incorrect type (expected str, got Fmt). "),
    ],
)
def test_export_refusals(core, fmt, error, message):
    with pytest.raises(error) as info:
        core.ProductCore(Path("/p/a.usda"), {}).export(fmt)
    assert len(info.value.args) == 1 and info.value.args[0].startswith(message)
    assert error is TypeError or info.value.args[0] == message
    with pytest.raises(AttributeError):
        core.ProductCore.__new__(core.ProductCore).export()
