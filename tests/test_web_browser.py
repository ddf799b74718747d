"""The web interface in a real browser: Debian's headless Chromium driven by
Selenium, against ``velmor serve`` started as a user would start it."""

import os

import pytest

from web_server import serving

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"

webdriver = pytest.importorskip("selenium.webdriver", reason="selenium is not installed")
if not (os.access(CHROMIUM, os.X_OK) and os.access(CHROMEDRIVER, os.X_OK)):
    pytest.skip(
        f"no browser: {CHROMIUM} and {CHROMEDRIVER} are needed "
        "(apt-get install chromium chromium-driver)",
        allow_module_level=True,
    )

from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support import expected_conditions as ec  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402


@pytest.fixture
def server(workspace):
    with serving(workspace) as url:
        yield url


@pytest.fixture
def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in (
        "--headless=new",
        "--no-sandbox",
        "--disable-dev-shm-usage",
        "--window-size=1280,900",
    ):
        options.add_argument(flag)
    # The browser is no part of ours: keep a sanitizer preload of the test run away from it.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    driver = webdriver.Chrome(options=options, service=Service(CHROMEDRIVER, env=env))
    try:
        yield driver
    finally:
        driver.quit()


def test_set_a_target_in_the_browser(server, browser, tmp_path):
    wait = WebDriverWait(browser, 30)
    browser.get(server)
    assert browser.find_element(By.TAG_NAME, "h1").text == "Products"
    browser.find_element(By.LINK_TEXT, "sedan:base").click()
    wait.until(ec.text_to_be_present_in_element((By.TAG_NAME, "h1"), "Velmor Sedan Base"))

    field = browser.find_element(By.ID, "f-cd")
    assert browser.find_element(By.CSS_SELECTOR, "label[for='f-cd']").text == "cd"
    field.clear()
    field.send_keys("0.24")
    browser.find_element(By.CSS_SELECTOR, "form[action$='/targets'] button").click()

    wait.until(ec.text_to_be_present_in_element((By.CSS_SELECTOR, ".notice"), "0.245 → 0.24"))
    cells = [c.text for c in browser.find_elements(By.CSS_SELECTOR, "#row-cd td")]
    assert cells[0] == "0.24" and cells[4] == "no band" and cells[5] == "+0.009"
    assert cells[6] == "miss"

    # The capability report arrives by a script once the server has asked for it.
    wait.until(ec.presence_of_element_located((By.CSS_SELECTOR, "#capabilities table")))
    browser.execute_script("window.scrollTo(0, 0)")
    for width in (1280, 400):
        browser.set_window_size(width, 900)
        height = browser.execute_script("return document.documentElement.scrollHeight")
        browser.set_window_size(width, min(height + 100, 4000))
        shot = tmp_path / f"product-card-{width}.png"
        assert browser.save_screenshot(str(shot)) and shot.stat().st_size > 0
        # Nothing spills sideways out of the page (wide tables scroll in their own box).
        assert browser.execute_script(
            "return document.documentElement.scrollWidth <= window.innerWidth"
        ), f"wider than {width} px"


def _renderer_problem():
    from velmor_platform.post import render

    return render.renderer_problem()


def _all_images_loaded(driver):
    return driver.execute_script(
        "const i = [...document.images];"
        "return i.length > 0 && i.every(x => x.complete && x.naturalWidth > 0) ? i.length : 0"
    )


@pytest.mark.skipif(_renderer_problem() is not None, reason=f"no pictures: {_renderer_problem()}")
def test_a_run_page_and_the_product_card_show_their_pictures(workspace, server, browser):
    from post_case import copy_case, record_run, with_surface

    run = record_run(
        with_surface(copy_case(workspace / "cases" / "sedan-base" / "case"), workspace)
    )
    browser.get(server + "products/sedan:base")  # its picture starts being made
    browser.get(server + "products/sedan:base/history")
    browser.find_element(By.LINK_TEXT, run["run_id"]).click()
    # The page refreshes itself (no script) until its pictures are made.
    wait = WebDriverWait(browser, 180)
    wait.until(ec.presence_of_element_located((By.CSS_SELECTOR, "img[src*='/pictures/cp_side']")))
    loaded = wait.until(_all_images_loaded)
    assert loaded >= 10  # convergence, drag, five pressure views, shear
    assert browser.find_element(By.CSS_SELECTOR, "table.parts").text.count("total") == 1
    browser.get(server + "products/sedan:base")
    assert WebDriverWait(browser, 300).until(_all_images_loaded) == 1


@pytest.mark.parametrize("page", ["products/sedan:base/history", "products/sedan:base"])
def test_at_1400_px_no_table_hides_its_columns_in_a_scroll_box(workspace, server, browser, page):
    from pathlib import Path

    from velmor_platform.cfd import record
    from velmor_platform.core.product_core import ProductCore

    usd = Path(ProductCore.load("sedan:base").usd_path)
    base = {"status": "completed", "domain": "aerodynamics", "solver": "openfoam", "level": "quick",
            "speed": 40.0, "mesh_cells": 478964, "cd": 0.4, "cl": 0.15, "cm_pitch": -0.03}  # fmt: skip
    for yaw in (0.0, 10.0):
        record.append_run(usd, base | {"yaw_deg": yaw, "cd_band": 0.008}, product_id="sedan:base")
    browser.set_window_size(1400, 1000)
    browser.get(server + page)
    if page.endswith("base"):  # the capability report arrives by a script
        WebDriverWait(browser, 30).until(
            ec.presence_of_element_located((By.CSS_SELECTOR, "#capabilities table"))
        )
    hidden = browser.execute_script(
        "return [...document.querySelectorAll('.scroll')]"
        ".filter(b => b.scrollWidth > b.clientWidth + 1).map(b => b.textContent.slice(0, 60))"
    )
    assert hidden == []
    if "history" in page:  # the 10° run is not a step in the straight-ahead trend
        lines = browser.find_elements(By.CSS_SELECTOR, "svg.chart path.line.yawed")
        assert len(lines) == 3  # one per coefficient chart
