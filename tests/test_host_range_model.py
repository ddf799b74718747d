import math

import pytest

from velmor_platform.core.range_model import range_competitiveness
from velmor_platform.core.usd_product import load_product


@pytest.fixture
def lone_product(tmp_path):
    """A product path in a workspace without competitors."""
    return tmp_path / "ws" / "products" / "solo" / "solo.usda"


def test_hand_checked_range_with_every_default(lone_product):
    # v = 120 / 3.6 = 33.3333 m/s, v^3 = 37037.04
    # aero    = 0.5 * 1.225 * 0.28 * 2.3 * 37037.04  = 14609.26 W
    # rolling = 0.009 * 1800 * 9.81 * 33.3333        =  5297.40 W
    # battery = 19906.66 / 0.9 + 500 (auxiliary)     = 22618.51 W
    # energy per metre = 22618.51 / 33.3333          =   678.555 J/m
    # range = 75 * 3.6e6 J / 678.555 J/m = 397 904 m -> 397.9 km
    result = range_competitiveness({}, lone_product, 0.28)
    assert result["range_km"] == 397.9
    assert result["product"] == "solo"
    assert (result["cd"], result["speed_kmh"]) == (0.28, 120.0)
    assert (result["competitors"], result["rank"], result["field_size"]) == ([], 1, 1)


@pytest.mark.parametrize("cd", [0, 0.0, -0.25, math.nan, math.inf, -math.inf, "0.3", None, True])
def test_cd_must_be_a_finite_positive_number(lone_product, cd):
    with pytest.raises(ValueError, match="cd"):
        range_competitiveness({}, lone_product, cd)


@pytest.mark.parametrize(
    "key, value",
    [
        ("mass", 0),
        ("frontal_area", -1.0),
        ("battery_kwh", "big"),
        ("crr", math.nan),
        ("drivetrain_efficiency", 1.2),
        ("drivetrain_efficiency", 0),
    ],
)
def test_unusable_record_values_are_refused(lone_product, key, value):
    with pytest.raises(ValueError, match=key):
        range_competitiveness({key: value}, lone_product, 0.3)


def test_range_responds_to_the_physics(lone_product):
    def km(cd=0.3, **record):
        return range_competitiveness(record, lone_product, cd)["range_km"]

    assert km(0.25) > km(0.3) > km(0.35) and km(mass=2400) < km(mass=1400)
    assert km(battery_kwh=100) == pytest.approx(km(battery_kwh=50) * 2, abs=0.1)
    assert km(mass=None) == km()  # None counts as missing


def test_sample_competitors_are_ranked(workspace, monkeypatch, tmp_path):
    path = workspace / "products" / "sedan" / "base" / "sedan.usda"
    monkeypatch.setenv(
        "VELMOR_WORKSPACE", str(tmp_path / "another")
    )  # the product's own workspace counts
    result = range_competitiveness(load_product(str(path)), path, 0.245)
    names = [c["name"] for c in result["competitors"]]
    assert sorted(names) == ["Arden Lumen", "Kestrel GT-e", "Norrvik City", "Solace Tourer"]
    ranges = [c["range_km"] for c in result["competitors"]]
    assert ranges == sorted(ranges, reverse=True)
    assert {c["name"]: c["cd"] for c in result["competitors"]}[
        "Norrvik City"
    ] == 0.31  # from targetCd
    assert result["field_size"] == 5
    assert result["rank"] == 1 + sum(r > result["range_km"] for r in ranges)
    assert range_competitiveness(load_product(str(path)), str(path), 0.15)["rank"] == 1


def test_a_tie_goes_to_the_product(tmp_path):
    ws = tmp_path / "ws"
    (ws / "competitors").mkdir(parents=True)
    (ws / "competitors" / "twin.usda").write_text(
        '#usda 1.0\n(\n    defaultPrim = "V"\n)\ndef Xform "V" {\n    double cd = 0.3\n}\n'
    )
    result = range_competitiveness({"vehicle_name": "Me"}, ws / "products" / "me" / "me.usda", 0.3)
    assert result["competitors"] == [{"name": "twin", "cd": 0.3, "range_km": result["range_km"]}]
    assert result["rank"] == 1


@pytest.mark.parametrize(
    "body, match",
    [
        ('def Xform "V" {\n    double mass = 1500\n}', "no drag coefficient"),
        ("not usd at all", "cannot open"),
    ],
)
def test_bad_competitor_files_are_named(tmp_path, body, match):
    ws = tmp_path / "ws"
    (ws / "competitors").mkdir(parents=True)
    bad = ws / "competitors" / "bad.usda"
    bad.write_text(
        f'#usda 1.0\n(\n    defaultPrim = "V"\n)\n{body}\n' if body.startswith("def") else body
    )
    with pytest.raises(ValueError, match=match) as info:
        range_competitiveness({}, ws / "products" / "p" / "p.usda", 0.3)
    assert str(bad) in str(info.value)
