"""The web page in a real browser: headless Chromium driven by Selenium, on
lightd and the virtual light source. Screenshots go to LIGHTD_WEB_SHOTS."""
import os
import shutil
import tempfile
import time

import pytest

pytest.importorskip("selenium", reason="python3-selenium is needed")
from selenium import webdriver  # noqa: E402
from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

from lightd_fixture import Lightd, Sim, wait_for  # noqa: E402
from selenium.webdriver.common.action_chains import ActionChains  # noqa: E402

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
SHOTS = os.environ.get("LIGHTD_WEB_SHOTS", tempfile.gettempdir())
ALARM_RED = "rgba(198, 40, 40, 1)"

pytestmark = pytest.mark.skipif(not (os.path.exists(CHROMIUM) and os.path.exists(CHROMEDRIVER)),
                                reason="chromium and chromium-driver are needed")


@pytest.fixture
def browser():
    profile = tempfile.mkdtemp(prefix="lightd-chromium-")
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", "--no-first-run",
                 "--user-data-dir=" + profile, "--window-size=1280,1000"]:
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    try:
        yield driver
    finally:
        driver.quit()
        shutil.rmtree(profile, ignore_errors=True)


@pytest.fixture
def sim():
    s = Sim()
    yield s
    s.close()


def until(driver, condition, what, timeout=15):
    return WebDriverWait(driver, timeout).until(lambda _: condition(), message="waiting for " + what)


def element(driver, css):
    return driver.find_element(By.CSS_SELECTOR, css)


def type_number(driver, css, value):
    field = element(driver, css)
    field.click()
    field.send_keys(Keys.CONTROL, "a")
    field.send_keys(str(value), Keys.TAB)


def full_page_shot(driver, name):
    width = driver.execute_script("return window.innerWidth;")
    height = driver.execute_script("return document.documentElement.scrollHeight;")
    driver.set_window_size(width, height + 140)  # window chrome of the headless browser
    driver.save_screenshot(os.path.join(SHOTS, name))


def open_page(driver, d):
    driver.get("http://127.0.0.1:%d/" % d.http_port)
    until(driver, lambda: len(driver.find_elements(By.CSS_SELECTOR, "#channels .channel")) == 4, "four channels")
    until(driver, lambda: element(driver, "#ch0-temperature").text.endswith("°C"), "a temperature")


def test_page_drives_the_light_source(browser, sim):
    d = Lightd(sim.port, "--poll-ms", "200")
    try:
        open_page(browser, d)
        assert "Connected to " + sim.port in element(browser, "#connection-text").text
        assert element(browser, "#model").text == "4-colour (0xFFAA0400)"
        assert [e.text for e in browser.find_elements(By.CSS_SELECTOR, ".channel .name")] == \
            ["LED385", "LED480", "LED550", "LED640"]

        # A channel on and its brightness typed in.
        element(browser, "#ch1-enabled").click()
        type_number(browser, "#ch1-brightness-value", 42)
        wait_for(lambda: sim.state()["channels"][1] == {"enabled": 1, "brightness": 42, "pulse_ms": 0},
                 what="channel 1 on at 42 %")
        # Another one by its slider, from the keyboard.
        element(browser, "#ch2-enabled").click()
        element(browser, "#ch2-brightness").send_keys(Keys.END)
        wait_for(lambda: sim.state()["channels"][2]["brightness"] == 100, what="channel 2 at 100 %")
        until(browser, lambda: element(browser, "#ch2-brightness-value").get_attribute("value") == "100",
              "the number beside the slider")

        # Work mode and a parameter of it.
        browser.find_element(By.XPATH, "//input[@name='mode'][@value='internal']/..").click()
        wait_for(lambda: sim.state()["mode"] == 3, what="internal trigger mode")
        until(browser, lambda: element(browser, "#internal-count").is_displayed(), "the internal page")
        type_number(browser, "#internal-count", 12)
        wait_for(lambda: sim.state()["internal"]["pulse_count"] == 12, what="the pulse count")
        before = sim.state()["triggers"]
        element(browser, "#trigger").click()
        wait_for(lambda: sim.state()["triggers"] == before + 1, what="the trigger")

        # An out-of-range value is refused beside its field, in words, and
        # nothing is sent.
        type_number(browser, "#internal-count", 500)
        until(browser, lambda: element(browser, "#internal-count-error").text ==
              "Pulse count must be 0..100, not 500", "the refusal beside the field")
        assert element(browser, "#internal-count").get_attribute("aria-invalid") == "true"
        assert element(browser, "#message").text == "Not changed: Pulse count must be 0..100, not 500."
        until(browser, lambda: element(browser, "#internal-count").get_attribute("value") == "12",
              "the field back at the device's value")
        type_number(browser, "#ch2-brightness-value", 101)
        until(browser, lambda: element(browser, "#ch2-brightness-error").text ==
              "LED550 brightness must be 0..100, not 101", "the brightness refusal")
        until(browser, lambda: element(browser, "#ch2-brightness-value").get_attribute("value") == "100",
              "the brightness back at the device's value")
        time.sleep(0.3)
        assert sim.state()["internal"]["pulse_count"] == 12 and sim.state()["channels"][2]["brightness"] == 100
        type_number(browser, "#internal-count", 13)
        until(browser, lambda: not element(browser, "#internal-count-error").is_displayed(), "the error cleared")
        type_number(browser, "#internal-delay", 250)
        wait_for(lambda: sim.state()["internal"]["delay_ms"] == 250, what="the internal delay")
        until(browser, lambda: element(browser, "#message").text == "Done.", "the message of a change made")

        # Changes by another client (SCPI) show up live.
        assert d.scpi("SOUR4:STAT ON;:SOUR4:POW 77") == "1"
        until(browser, lambda: element(browser, "#ch3-enabled").is_selected(), "channel 4 on from SCPI")
        until(browser, lambda: element(browser, "#ch3-brightness-value").get_attribute("value") == "77",
              "channel 4 brightness from SCPI")

        # Temperatures and the alarm: in red, in words, in the tab's title.
        assert not browser.title.startswith("⚠")
        sim.set_temperature(1, 41.5, False)
        sim.set_temperature(3, 72.25, True)
        until(browser, lambda: element(browser, "#ch3-temperature").text == "72.25 °C", "the hot channel")
        alarm = element(browser, "#ch3-temperature")
        assert "alarm" in alarm.get_attribute("class")
        assert alarm.value_of_css_property("background-color") == ALARM_RED
        assert element(browser, "#ch3-alarm").is_displayed() and element(browser, "#ch3-alarm").text == "⚠ Over temperature"
        assert not element(browser, "#ch1-alarm").is_displayed()
        assert "alarm" not in element(browser, "#ch1-temperature").get_attribute("class")
        assert browser.title == "⚠ lightd – LED light source"
        assert browser.execute_script("return Chart.getChart('temperature-chart').data.datasets[3].label") == \
            "LED640 ⚠ over temperature"
        full_page_shot(browser, "web-page-alarm.png")
        browser.set_window_size(1280, 1000)

        sim.set_temperature(3, 30.0, False)
        until(browser, lambda: browser.title == "lightd – LED light source", "the title without the alarm")
        # The chart follows the temperature events.
        until(browser, lambda: browser.execute_script(
            "const c = Chart.getChart('temperature-chart');"
            "return c && c.data.datasets.every(d => d.data.length >= 3);"), "chart points")

        # Some history for the picture: each step waits until the page shows it.
        for step in range(1, 21):
            sim.set_temperature(0, 25 + step * 0.4, False)
            sim.set_temperature(1, 41.5 - step * 0.3, False)
            sim.set_temperature(2, 25 + step * 1.2, False)
            until(browser, lambda: element(browser, "#ch2-temperature").text == "%.2f °C" % (25 + step * 1.2),
                  "step %d on the page" % step)
        full_page_shot(browser, "web-page.png")

        # Tablet width: one column, nothing wider than the screen.
        browser.set_window_size(800, 1280)
        until(browser, lambda: browser.execute_script(
            "return document.documentElement.scrollWidth <= document.documentElement.clientWidth;"),
            "no sideways scrolling")
        full_page_shot(browser, "web-page-tablet.png")
        # Phone width: the same, and All off still at the top.
        browser.set_window_size(360, 800)
        until(browser, lambda: browser.execute_script(
            "return document.documentElement.scrollWidth <= document.documentElement.clientWidth;"),
            "no sideways scrolling at 360 px")
        browser.execute_script("window.scrollTo(0, document.body.scrollHeight);")
        assert browser.execute_script("return document.getElementById('all-off').getBoundingClientRect().top") < 120
        browser.execute_script("window.scrollTo(0, 0);")
        full_page_shot(browser, "web-page-phone.png")
    finally:
        assert d.close() == 0


AXIS_LABELS = "return Chart.getChart('temperature-chart').scales.x.ticks.map(t => t.label);"


def sensible_axis(labels):
    """Time labels within the chart's ten minutes: 'now', '-N s' or '-N min'."""
    def ok(label):
        if label == "now":
            return True
        number, unit = label[1:].split(" ")
        return label.startswith("-") and number.isdigit() and (unit == "s" and int(number) < 120 or
                                                               unit == "min" and int(number) <= 10)
    return bool(labels) and all(ok(label) for label in labels)


def test_page_never_draws_unknown_as_an_alarm(browser, sim):
    d = Lightd(sim.port, "--poll-ms", "200")
    try:
        open_page(browser, d)
        assert sensible_axis(browser.execute_script(AXIS_LABELS))
        sim.set_temperature(3, 72.25, True)
        until(browser, lambda: "alarm" in element(browser, "#ch3-temperature").get_attribute("class"), "the alarm")
        sim.unplug()
        until(browser, lambda: element(browser, "#chart-note").text == "Disconnected: no temperatures are read.",
              "the disconnected note")
        until(browser, lambda: not browser.find_elements(By.CSS_SELECTOR, ".alarm"), "no alarm while disconnected")
        assert element(browser, "#ch3-temperature").text == "–"
        assert sensible_axis(browser.execute_script(AXIS_LABELS))
    finally:
        assert d.close() == 0


def test_page_asks_for_the_token_once_per_tab(browser, sim):
    d = Lightd(sim.port, "--poll-ms", "200", "--token", "lab-token")
    try:
        open_page(browser, d)
        element(browser, "#ch0-enabled").click()
        until(browser, lambda: element(browser, "#token-dialog").is_displayed(), "the token dialog")
        assert sim.state()["channels"][0]["enabled"] == 0
        element(browser, "#token-input").send_keys("lab-token", Keys.ENTER)
        wait_for(lambda: sim.state()["channels"][0]["enabled"] == 1, what="channel 0 on with the token")
        # Asked once: the next change goes straight through.
        type_number(browser, "#ch0-brightness-value", 9)
        wait_for(lambda: sim.state()["channels"][0]["brightness"] == 9, what="brightness with the kept token")
        assert not element(browser, "#token-dialog").is_displayed()
        assert browser.execute_script("return sessionStorage.getItem('lightd-token')") == "lab-token"
    finally:
        assert d.close() == 0


CHART_POINTS = "return Chart.getChart('temperature-chart').data.datasets.map(d => d.data.filter(p => p.y !== null).length);"


def test_history_is_there_at_once_after_a_reload(browser, sim):
    d = Lightd(sim.port, "--poll-ms", "100")
    try:
        sim.set_temperature(2, 55.5, False)
        wait_for(lambda: len(json_history(d)["samples"]) >= 20, what="two seconds of polls")
        browser.get("http://127.0.0.1:%d/" % d.http_port)
        # Before the event stream could have brought 20 polls: the points come from the history.
        until(browser, lambda: min(browser.execute_script(CHART_POINTS)) >= 20, "the history on the chart", timeout=1.5)
        assert browser.execute_script("return Chart.getChart('temperature-chart').data.datasets[2].data.at(-1).y") == 55.5
        assert element(browser, "#chart-note").is_displayed() is False
        assert element(browser, "#uptime").text.startswith("Up ")
        assert element(browser, "#firmware").text == "1.2.3" and element(browser, "#sdk").text == "2.1.0"
    finally:
        assert d.close() == 0


def json_history(d):
    import json
    status, body = d.request("GET", "/api/v1/history?seconds=600")
    assert status == 200
    return json.loads(body)


def test_all_off_and_the_keyboard(browser, sim):
    d = Lightd(sim.port, "--poll-ms", "200")
    try:
        open_page(browser, d)
        assert sim.state()["enabled"] == 1
        # From the top of the page, the first stop of Tab is All off; Enter presses it.
        browser.execute_script("document.activeElement.blur(); window.scrollTo(0, 0);")
        ActionChains(browser).send_keys(Keys.TAB).perform()
        assert browser.switch_to.active_element.get_attribute("id") == "all-off"
        focused = browser.switch_to.active_element
        assert focused.value_of_css_property("outline-style") != "none", "focus is visible"
        ActionChains(browser).send_keys(Keys.ENTER).perform()
        wait_for(lambda: sim.state()["enabled"] == 0, what="all off")
        until(browser, lambda: not element(browser, "#global-enabled").is_selected(), "the switch off on the page")
        until(browser, lambda: element(browser, "#message").text == "All off: the global enable is off.", "the message")
        # The global switch, a channel switch, a mode and a slider, by keyboard alone.
        for selector in ["#global-enabled", "#ch1-enabled"]:
            browser.execute_script("document.querySelector(arguments[0]).focus();", selector)
            ActionChains(browser).send_keys(Keys.SPACE).perform()
        wait_for(lambda: sim.state()["enabled"] == 1 and sim.state()["channels"][1]["enabled"] == 1,
                 what="global and channel switched on from the keyboard")
        browser.execute_script("document.querySelector('input[name=mode][value=normal]').focus();")
        ActionChains(browser).send_keys(Keys.ARROW_RIGHT).perform()
        wait_for(lambda: sim.state()["mode"] == 1, what="TTL mode by arrow key")
        browser.execute_script("document.getElementById('ch1-brightness').focus();")
        ActionChains(browser).send_keys(Keys.ARROW_RIGHT, Keys.ARROW_RIGHT).perform()
        wait_for(lambda: sim.state()["channels"][1]["brightness"] == 2, what="brightness by arrow keys")
    finally:
        assert d.close() == 0


def test_disconnected_is_a_banner_never_an_alarm_and_dark_follows_the_system(browser, sim):
    browser.execute_cdp_cmd("Emulation.setEmulatedMedia",
                            {"features": [{"name": "prefers-color-scheme", "value": "dark"}]})
    d = Lightd(sim.port, "--poll-ms", "200")
    try:
        open_page(browser, d)
        assert element(browser, "body").value_of_css_property("background-color") != "rgba(244, 245, 247, 1)"
        assert not element(browser, "#banner").is_displayed()
        full_page_shot(browser, "web-page-dark.png")
        sim.set_temperature(0, 80.0, True)
        until(browser, lambda: browser.title.startswith("⚠"), "the alarm in the title")
        sim.unplug()
        until(browser, lambda: element(browser, "#banner").is_displayed(), "the banner")
        assert element(browser, "#banner").text.startswith("Disconnected: the light source on " + sim.port)
        assert not browser.title.startswith("⚠")
        assert not element(browser, "#ch0-alarm").is_displayed()
        assert element(browser, "#all-off").get_attribute("disabled") == "true"
    finally:
        assert d.close() == 0
