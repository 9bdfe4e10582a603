"""The web page measured by others' rules: axe-core in the live page (through
Selenium) in each state a user meets, and Lighthouse's accessibility and best
practices scores. Both come from npm, pinned in web-tools/, installed once per
machine into a cache; without them this test is skipped with one line."""
import hashlib
import json
import os
import shutil
import subprocess
import tempfile

import pytest

from lightd_fixture import Lightd, wait_for
from test_http_browser import CHROMIUM, browser, element, open_page, sim, type_number, until  # noqa: F401

HERE = os.path.dirname(os.path.abspath(__file__))
TOOLS_SOURCE = os.path.join(HERE, "web-tools")
UNAVAILABLE = "web tools cannot be had"


def install_web_tools():
    """The folder with node_modules for the pinned lock file, or a reason."""
    files = [os.path.join(TOOLS_SOURCE, f) for f in ("package.json", "package-lock.json")]
    key = hashlib.sha256(b"".join(open(f, "rb").read() for f in files)).hexdigest()[:16]
    home = os.environ.get("LIGHTKIT_WEB_TOOLS") or os.path.expanduser("~/.cache/lightkit/web-tools-" + key)
    if os.path.exists(os.path.join(home, "node_modules", "axe-core", "axe.min.js")):
        return home, None
    if not shutil.which("npm"):
        return None, "npm is not installed"
    staging = tempfile.mkdtemp(prefix="lightkit-web-tools-")
    for f in files:
        shutil.copy(f, staging)
    try:
        result = subprocess.run(["npm", "ci", "--no-audit", "--no-fund", "--loglevel=error"], cwd=staging,
                                capture_output=True, text=True, timeout=600)
    except subprocess.TimeoutExpired:
        return None, "npm ci took over 10 minutes"
    if result.returncode != 0:
        return None, "npm ci failed: " + (result.stderr.strip().splitlines() or ["?"])[-1]
    os.makedirs(os.path.dirname(home), exist_ok=True)
    shutil.rmtree(home, ignore_errors=True)
    shutil.move(staging, home)
    return home, None


@pytest.fixture(scope="module")
def tools():
    home, why = install_web_tools()
    if home is None:
        pytest.skip("%s (%s): axe-core and Lighthouse checks not run" % (UNAVAILABLE, why))
    return home


def axe_violations(driver, tools):
    if not driver.execute_script("return typeof axe !== 'undefined';"):
        with open(os.path.join(tools, "node_modules", "axe-core", "axe.min.js")) as f:
            driver.execute_script(f.read())
    result = driver.execute_async_script(
        "const done = arguments[arguments.length - 1];"
        "axe.run(document, {runOnly: ['wcag2a', 'wcag2aa', 'wcag21a', 'wcag21aa', 'best-practice']})"
        ".then(r => done(r.violations.map(v => v.id + ': ' + v.help + ' ' +"
        " v.nodes.map(n => n.target.join(' ')).join(', '))));")
    return result


def test_axe_finds_nothing_in_any_state(browser, sim, tools):  # noqa: F811
    d = Lightd(sim.port, "--poll-ms", "200")
    try:
        browser.set_script_timeout(60)
        open_page(browser, d)
        findings = {"connected": axe_violations(browser, tools)}
        sim.set_temperature(2, 71.0, True)
        until(browser, lambda: element(browser, "#ch2-alarm").is_displayed(), "the alarm")
        findings["alarm"] = axe_violations(browser, tools)
        type_number(browser, "#ch1-brightness-value", 250)
        until(browser, lambda: element(browser, "#ch1-brightness-error").is_displayed(), "the error")
        findings["error shown"] = axe_violations(browser, tools)
        for scheme in ["dark", "light"]:
            browser.execute_cdp_cmd("Emulation.setEmulatedMedia",
                                    {"features": [{"name": "prefers-color-scheme", "value": scheme}]})
            findings["alarm, error, " + scheme] = axe_violations(browser, tools)
        sim.unplug()
        until(browser, lambda: element(browser, "#banner").is_displayed(), "the disconnected banner")
        findings["disconnected"] = axe_violations(browser, tools)
        assert findings == {state: [] for state in findings}
    finally:
        assert d.close() == 0


def test_lighthouse_scores(sim, tools):  # noqa: F811
    d = Lightd(sim.port, "--poll-ms", "200")
    report = os.path.join(tempfile.mkdtemp(prefix="lightkit-lighthouse-"), "report.json")
    try:
        for step in range(8):
            sim.set_temperature(0, 25 + step, False)
        wait_for(lambda: json.loads(d.request("GET", "/api/v1/history?seconds=60")[1])["samples"], what="data")
        env = dict(os.environ, CHROME_PATH=CHROMIUM)
        result = subprocess.run(
            [os.path.join(tools, "node_modules", ".bin", "lighthouse"), "http://127.0.0.1:%d/" % d.http_port,
             "--only-categories=accessibility,best-practices", "--output=json", "--output-path=" + report,
             "--quiet", "--chrome-flags=--headless=new --no-sandbox --disable-gpu"],
            env=env, capture_output=True, text=True, timeout=300)
        assert result.returncode == 0, result.stderr[-2000:]
        with open(report) as f:
            categories = json.load(f)["categories"]
        scores = {name: round(c["score"] * 100) for name, c in categories.items()}
        print("Lighthouse:", scores)
        assert scores["accessibility"] == 100 and scores["best-practices"] >= 95, scores
    finally:
        assert d.close() == 0
        shutil.rmtree(os.path.dirname(report), ignore_errors=True)
