"""The report page in a real browser: Debian's chromium, headless, driven over its DevTools
pipe (no driver, no new dependency). It loads from file:// with no request and no console
error, shows its numbers, draws something, prints every chart, and stays small."""

import base64
import fcntl
import json
import math
import os
import random
import re
import select
import shutil
import struct
import subprocess
import zlib

import pytest

from corvane import Report

CHROMIUM = shutil.which("chromium")
PDFTOTEXT = shutil.which("pdftotext")
pytestmark = pytest.mark.skipif(
    CHROMIUM is None,
    reason="needs Debian's chromium (apt-get install chromium poppler-utils)")

BAND_LABELS = ("<5%", "5-7.5%", "7.5-20%", ">=20%")
HOSTILE_REASON = "<script>alert('reason')</script> & more"
AMPERSAND_LEVEL = "North & South"


def render(data):
    return Report(data).html()


def _bands(scored, rng, min_cell=10):
    """Band counts summing to scored; small ones suppressed the way the report's data is."""
    if scored == 0:
        return [{"label": b, "count": 0, "share": None} for b in BAND_LABELS]
    weights = [rng.random() + 0.05 for _ in BAND_LABELS]
    counts = [int(scored * w / sum(weights)) for w in weights]
    counts[0] += scored - sum(counts)
    return [{"label": b, "count": f"<{min_cell}", "share": None} if 0 < c < min_cell
            else {"label": b, "count": c, "share": c / scored}
            for b, c in zip(BAND_LABELS, counts)]


def cohort(by_levels=(("site", 4),), seed=1):
    """A realistic report dict: six models, one with nothing scored, groups with suppressed
    cells, a reason with markup in it and a level name with '&'."""
    rng = random.Random(seed)
    models = []
    for horizon in (10, 30):
        for outcome, name in (("cvd", "total cardiovascular disease"),
                              ("ascvd", "atherosclerotic cardiovascular disease"),
                              ("hf", "heart failure")):
            scored = 0 if (outcome, horizon) == ("hf", 30) else rng.randrange(60_000, 100_000)
            # Risk falls off the way a cohort's does: many low, a long tail, an open last bin.
            weights = [math.exp(-i / 5) * rng.uniform(0.8, 1.2) for i in range(30)] + [0.02]
            counts = [int(scored * w / sum(weights)) for w in weights]
            counts[29] = "<10" if scored else 0
            models.append({
                "column": f"{outcome}_{horizon}yr", "outcome": outcome, "horizon": horizon,
                "title": f"{horizon}-year {name}", "scored": scored,
                "refused": 120_000 - 350 - scored, "unreadable": 350,
                "median": 4.8 if scored else None, "q1": 2.1 if scored else None,
                "q3": 9.7 if scored else None, "bands": _bands(scored, rng),
                "histogram": {"edges": list(range(31)) + [100], "counts": counts}})

    def level(name, rows):
        entries = []
        for m in models:
            scored = 0 if not m["scored"] or rows == "<10" else rng.randrange(1, rows)
            entries.append({"column": m["column"], "scored": scored if rows != "<10" else "<10",
                            "median": 3.9 if scored else None, "q1": 1.8 if scored else None,
                            "q3": 8.1 if scored else None, "bands": _bands(scored, rng)})
        return {"level": name, "rows": rows, "models": entries}

    groups = [
        {"name": "sex", "title": "Sex", "levels": [
            level("female", 61_000), level("male", 58_650), level("(missing)", "<10")]},
        {"name": "age_group", "title": "Age group", "levels": [
            level(f"{a}-{a + 9}", rng.randrange(5_000, 30_000)) for a in range(30, 80, 10)]},
    ]
    for column, n in by_levels:
        names = [AMPERSAND_LEVEL] + [f"{column} level {i:02d}" for i in range(1, n)]
        groups.append({"name": column, "title": column,
                       "levels": [level(x, rng.randrange(40, 4_000)) for x in names]})
    return {
        "title": "Cardiovascular risk of a cohort", "input": "cohort.csv",
        "created": "2026-12-08 16:20 UTC", "version": "0.4.0",
        "options": {"outcomes": ["cvd", "ascvd", "hf"], "horizons": [10, 30],
                    "cholesterol_unit": "mg/dL", "columns": {"age": "AGE_YRS"},
                    "codes": {"sex": {"1": "female", "2": "male"}},
                    "by": [c for c, _ in by_levels], "min_cell": 10},
        "min_cell": 10,
        "rows": {"read": 120_000, "scored_by_every_model": 80_000, "unreadable": 350},
        "bands": [{"label": "<5%", "low": 0.0, "high": 5.0},
                  {"label": "5-7.5%", "low": 5.0, "high": 7.5},
                  {"label": "7.5-20%", "low": 7.5, "high": 20.0},
                  {"label": ">=20%", "low": 20.0, "high": None}],
        "models": models, "groups": groups,
        "refusals": [{"reason": "Age must be between 30 and 79", "counts": {"10": 1200,
                                                                           "30": 15_000}},
                     {"reason": HOSTILE_REASON, "counts": {"10": "<10", "30": 40}}],
        "inputs": [{"input": "sex", "column": "SEX_CODE", "missing": 12, "unreadable": "<10",
                    "out_of_range": 0},
                   {"input": "age", "column": "AGE_YRS", "missing": 40, "unreadable": 0,
                    "out_of_range": 15_000}],
        "notes": ["Counts from 1 to 9 are shown as <10, and shares and bars that would reveal "
                  "them are left out."],
    }


class Browser:
    """One headless chromium spoken to over --remote-debugging-pipe: the browser reads
    commands on fd 3 and writes replies and events on fd 4, each a JSON text ending in NUL."""

    def __init__(self, profile):
        to_browser, self._out = os.pipe()
        self._in, from_browser = os.pipe()

        def place_pipes():
            # Above 10 first: the pipes' own numbers may be 3 or 4 and be overwritten.
            high = [fcntl.fcntl(fd, fcntl.F_DUPFD, 10) for fd in (to_browser, from_browser)]
            os.dup2(high[0], 3)
            os.dup2(high[1], 4)

        # The sanitizer run preloads its runtime into every child; the browser is not ours to
        # check, and would only fill the run's report files.
        env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        self.process = subprocess.Popen(
            [CHROMIUM, "--headless", "--disable-gpu", "--no-sandbox", "--remote-debugging-pipe",
             "--no-first-run", "--no-default-browser-check", "--hide-scrollbars",
             f"--user-data-dir={profile}", "about:blank"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            preexec_fn=place_pipes, pass_fds=(3, 4), env=env)
        os.close(to_browser)
        os.close(from_browser)
        self._buffer, self._next_id, self.events = b"", 0, []
        target = self.call("Target.createTarget", url="about:blank")["targetId"]
        self.session = self.call("Target.attachToTarget", targetId=target,
                                 flatten=True)["sessionId"]
        for domain in ("Page", "Runtime", "Log", "Network"):
            self.call(f"{domain}.enable", session=True)

    def call(self, method, session=False, timeout=30, **params):
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params}
        if session:
            message["sessionId"] = self.session
        os.write(self._out, json.dumps(message).encode() + b"\0")
        while True:
            reply = self._read(timeout)
            if reply.get("id") == self._next_id:
                assert "error" not in reply, f"{method}: {reply['error']}"
                return reply["result"]
            if "method" in reply:
                self.events.append(reply)

    def wait_for(self, method, timeout=30):
        while not any(e["method"] == method for e in self.events):
            self.events.append(self._read(timeout))
            # A dialog would hold the page until the timeout: an alert() from markup let through.
            assert self.events[-1]["method"] != "Page.javascriptDialogOpening", self.events[-1]

    def _read(self, timeout):
        while b"\0" not in self._buffer:
            ready, _, _ = select.select([self._in], [], [], timeout)
            assert ready, "chromium did not answer"
            chunk = os.read(self._in, 1 << 20)
            assert chunk, "chromium closed its pipe"
            self._buffer += chunk
        text, _, self._buffer = self._buffer.partition(b"\0")
        return json.loads(text)

    def open(self, path, width=1280, height=900):
        """Load a page and wait for its load event; self.events then holds only its events."""
        self.call("Emulation.setDeviceMetricsOverride", session=True, width=width,
                  height=height, deviceScaleFactor=1, mobile=False)
        self.events = []
        self.call("Page.navigate", session=True, url=path.as_uri())
        self.wait_for("Page.loadEventFired")

    def evaluate(self, expression):
        return self.call("Runtime.evaluate", session=True, expression=expression,
                         returnByValue=True)["result"]["value"]

    def close(self):
        self.process.terminate()
        self.process.wait(10)
        os.close(self._out)
        os.close(self._in)


@pytest.fixture(scope="module")
def browser(tmp_path_factory):
    b = Browser(tmp_path_factory.mktemp("chromium-profile"))
    yield b
    b.close()


@pytest.fixture(scope="module")
def page(tmp_path_factory):
    path = tmp_path_factory.mktemp("report") / "report.html"
    path.write_text(render(cohort()), encoding="utf-8")
    return path


def png_pixels(png):
    """Every pixel of an 8-bit RGB or RGBA PNG, as (r, g, b) tuples."""
    assert png[:8] == b"\x89PNG\r\n\x1a\n"
    pos, data = 8, b""
    while pos < len(png):
        length, kind = struct.unpack(">I4s", png[pos:pos + 8])
        body = png[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, height, depth, color, _, _, interlace = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            data += body
        pos += 12 + length
    assert depth == 8 and color in (2, 6) and not interlace, "an unexpected PNG kind"
    bpp = 3 if color == 2 else 4
    raw, stride = zlib.decompress(data), width * bpp
    prior, pixels = bytearray(stride), []
    for y in range(height):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b, c = prior[i], prior[i - bpp] if i >= bpp else 0
            if kind == 1:
                line[i] = (line[i] + a) & 255
            elif kind == 2:
                line[i] = (line[i] + b) & 255
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        pixels += [tuple(line[x:x + 3]) for x in range(0, stride, bpp)]
        prior = line
    return pixels


def test_page_loads_without_requests_or_console_errors(browser, page):
    """A CDN font, a stylesheet link or a broken inline SVG would show up here."""
    browser.open(page)
    requests = [e["params"]["request"]["url"] for e in browser.events
                if e["method"] == "Network.requestWillBeSent"]
    assert requests == [page.as_uri()]
    errors = [e for e in browser.events
              if e["method"] in ("Runtime.exceptionThrown", "Runtime.consoleAPICalled")
              or (e["method"] == "Log.entryAdded"
                  and e["params"]["entry"]["level"] in ("error", "warning"))]
    assert errors == []
    assert browser.evaluate("document.querySelectorAll('script, link, img, iframe').length") == 0


def test_numbers_and_user_texts_reach_the_reader_as_text(browser, page):
    """Thousands separators, suppressed cells as their text, and markup from users' files
    shown as text, never run."""
    browser.open(page)
    text = browser.evaluate("document.body.innerText")
    refusals = browser.evaluate("document.getElementById('refusals').innerText")
    assert HOSTILE_REASON in refusals
    assert browser.evaluate("document.querySelectorAll('script').length") == 0
    assert AMPERSAND_LEVEL in text
    data = cohort()
    for figure in ("120,000", "80,000", "15,000", "<10",
                   f"{data['models'][0]['scored']:,}", "4.8% (2.1\u20139.7)"):
        assert figure in text
    # The model with nothing scored: no median made up, no bar drawn.
    empty = browser.evaluate("document.getElementById('m5').innerText")
    assert "No patient was scored" in empty and "median" not in empty
    assert browser.evaluate("document.querySelectorAll('#m5 rect:not([fill=\"#f2f2f2\"])').length") == 0


def test_every_chart_is_labelled_and_has_its_numbers_beside_it(browser, page):
    """A screen reader gets a name for each chart, and every chart has a table nearby."""
    browser.open(page)
    charts = browser.evaluate("""[...document.querySelectorAll('svg')].map(s => [
        s.getAttribute('role'), s.getAttribute('aria-label') || '',
        s.querySelector('title') ? s.querySelector('title').textContent : '',
        !!s.closest('section').querySelector('table')])""")
    data = cohort()
    assert len(charts) == 2 * len(data["models"]) + len(data["groups"])
    for role, label, title, has_table in charts:
        assert role == "img" and label and title == label and has_table


def test_screenshot_shows_a_drawn_page(browser, page, tmp_path):
    browser.open(page)
    shot = base64.b64decode(browser.call(
        "Page.captureScreenshot", session=True, format="png",
        clip={"x": 0, "y": 0, "width": 1280, "height": 2400, "scale": 0.25},
        captureBeyondViewport=True)["data"])
    (tmp_path / "report.png").write_bytes(shot)
    pixels = png_pixels(shot)
    inked = sum(1 for p in pixels if p != (255, 255, 255))
    assert len(set(pixels)) > 50, "a blank or single-colour page"
    assert 0.03 < inked / len(pixels) < 0.6
    # The band colours reach the screen (the histogram and bars are drawn, not just text).
    assert (0xcc, 0x4c, 0x02) in set(pixels) or (0x66, 0x25, 0x06) in set(pixels)


@pytest.mark.skipif(PDFTOTEXT is None, reason="needs pdftotext (apt-get install poppler-utils)")
def test_print_shows_every_chart_and_every_table(browser, page, tmp_path):
    """Printing hides nothing: the histogram tables folded on screen print open."""
    browser.open(page)
    pdf = base64.b64decode(browser.call("Page.printToPDF", session=True, timeout=60,
                                        preferCSSPageSize=True)["data"])
    (tmp_path / "report.pdf").write_bytes(pdf)
    text = subprocess.run([PDFTOTEXT, "-layout", str(tmp_path / "report.pdf"), "-"],
                          capture_output=True, check=True, text=True).stdout
    data = cohort()
    # Drawn only inside the charts: one axis title per histogram, one 50% tick per panel.
    assert text.count("Estimated risk (%)") == len(data["models"])
    panels = len(data["groups"]) * len(data["models"])
    assert len(re.findall(r"(?<![\d.])50%", text)) == panels
    for m in data["models"]:
        assert m["title"] in text
    nonzero = next(c for c in data["models"][0]["histogram"]["counts"]
                   if isinstance(c, int) and c > 1000)
    assert f"{nonzero:,}" in text


@pytest.mark.parametrize("levels", [1, 50])
def test_page_stays_small_with_many_groups(levels):
    """Three by-columns of fifty levels each, six models: well under 500 KB."""
    data = cohort(by_levels=[("site", levels), ("clinic", levels), ("region", levels)])
    assert len(render(data).encode("utf-8")) < 500_000


@pytest.mark.parametrize("shares, shown", [
    ([0.5, 0.2, 0.2, 0.1], "all"),
    ([0.5, None, None, 0.1], "ends"),
    ([None, None, None, None], "none"),
])
def test_a_stacked_bar_never_places_a_band_after_a_gap(shares, shown):
    """A bar segment placed after a left-out share would reveal that share's size."""
    level = {"level": "x", "rows": 100, "models": [{
        "column": "cvd_10yr", "scored": 100, "median": None, "q1": None, "q3": None,
        "bands": [{"label": b, "count": "<10" if s is None else int(100 * s), "share": s}
                  for b, s in zip(BAND_LABELS, shares)]}]}
    data = cohort(by_levels=())
    data["models"] = data["models"][:1]
    data["groups"] = [{"name": "g", "title": "g", "levels": [level]}]
    page = render(data)
    chart = page[page.index('<section id="g0"'):]
    chart = chart[:chart.index("</svg>")]
    paths = re.findall(r'<path fill="(#[0-9a-f]+)" d="([^"]*)"', chart)
    drawn = {fill: d for fill, d in paths if fill != "#e4e4e4"}
    expected = {"all": 4, "ends": 2, "none": 0}[shown]
    assert len(drawn) == expected
    if shown == "ends":
        # The last band sits against the right end of the bar: 10% of 104 px before it.
        assert re.search(r"M\S+ \d+h10\.4", drawn["#662506"])
