"""Charts: scales and labels that stay readable."""

import re

import pytest

from velmor_platform.web import charts


def _ys(svg):
    return [float(v) for v in re.findall(r'<circle[^>]*cy="([0-9.]+)"', str(svg))]


@pytest.mark.parametrize("values", [[-0.0150, -0.0152], [0.2, 0.2]])
def test_a_tiny_difference_is_drawn_flat(values):
    runs = [{"run_id": f"r{i}", "cm_pitch": v} for i, v in enumerate(values)]
    ys = _ys(charts.run_chart("cm_pitch", "cm_pitch", runs, {}))
    assert len(ys) == 2 and abs(ys[0] - ys[1]) < 5  # pixels, of a 172-pixel plot


def test_long_names_are_shortened_with_the_full_name_kept():
    name = "Velmor Sedan Long Range Performance Edition"
    report = {"product": name, "cd": 0.25, "range_km": 500.0, "rank": 1, "field_size": 1,
              "speed_kmh": 120, "competitors": []}  # fmt: skip
    svg = str(charts.range_chart(report))
    assert "Velmor Sedan Long Range…" in svg and f"<title>{name}</title>" in svg


def test_runs_at_other_yaw_angles_are_not_joined_into_the_trend():
    runs = [
        {"run_id": f"r{i}", "cd": 0.3 + i / 100, "yaw_deg": y} for i, y in enumerate([0, 10, 0])
    ]
    paths = re.findall(
        r'<path class="(line[^"]*)" d="([^"]+)"', str(charts.run_chart("cd", "cd", runs, {}))
    )
    assert [(cls, d.count("L")) for cls, d in paths] == [("line", 1), ("line yawed", 0)]
