"""services.reports: a run found by id or by product, its report, and the
pictures of a page answered from the report the page showed."""

import shutil
from pathlib import Path

import pytest

from post_case import DATA, record_run
from velmor_platform.post import report
from velmor_platform.services import reports
from velmor_platform.services.errors import UserError
from velmor_platform.services.loading import Workspace


@pytest.fixture
def made(workspace):
    case = workspace / "cases" / "sedan-base" / "case"
    shutil.copytree(DATA, case)
    run = record_run(case)["run_id"]
    found = reports.find(run, Workspace(workspace))
    return reports.make(found)


def test_a_found_run_and_its_report_have_their_shapes(workspace, made):
    found = made.found
    assert (found.product, found.run_id, found.run["product"]) == (
        "sedan:base", found.run["run_id"], "sedan:base",
    )  # fmt: skip
    assert found.case_dir is not None and made.images
    by_product = reports.find(found.run["name"], Workspace(workspace), "sedan:base")
    assert by_product.run_id == found.run_id
    assert reports.latest("sedan:base", Workspace(workspace)).run_id == found.run_id


@pytest.mark.parametrize(
    "call, kind",
    [
        (lambda ws: reports.find("nosuch-0001", ws), "not_found"),
        (lambda ws: reports.find("run_9", ws, "hatch"), "not_found"),
        (lambda ws: reports.latest("hatch", ws), "not_found"),
        (lambda ws: reports.find("x", None), "unavailable"),
    ],
)
def test_each_refusal_has_its_kind(workspace, call, kind):
    with pytest.raises(UserError) as info:
        call(Workspace(workspace))
    assert info.value.kind == kind


def test_a_page_s_pictures_need_no_second_search_until_the_report_changes(
    workspace, made, monkeypatch
):
    ws, run, name = Workspace(workspace), made.found.run_id, made.images[0]["file"]
    reports.remember(ws, "sedan:base", run, None, made)
    finds = []
    real = reports.find
    monkeypatch.setattr(reports, "find", lambda *a, **k: finds.append(a) or real(*a, **k))
    picture = reports.picture("sedan:base", run, None, name, ws)
    assert picture.is_file() and finds == []
    with pytest.raises(UserError) as info:  # only the report's own images
        reports.picture("sedan:base", run, None, "../report.json", ws)
    assert info.value.kind == "not_found" and finds == []
    manifest = report.post_dir(Path(made.found.case_dir)) / report.MANIFEST
    manifest.touch()  # remade since the page: found and checked again
    assert reports.picture("sedan:base", run, None, name, ws) == picture and len(finds) == 1
