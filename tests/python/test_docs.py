"""The documentation: every docstring example runs, and the built site renders in a real browser.

The site is built by ``bash scripts/docs.sh`` (the test command does it before this file runs).
Without a built site the browser checks are skipped, unless PYVANTOR_REQUIRE_DOCS=1 (as in the
test command), which turns a missing site into a failure."""

import doctest
import html.parser
import importlib
import os
import pkgutil
import shutil
import subprocess
from pathlib import Path

import pytest

import vantor

SITE = Path(__file__).resolve().parents[2] / "docs" / "_build" / "html"
SCREENSHOTS = SITE.parent / "screenshots"
MODULES = sorted(m.name for m in pkgutil.iter_modules(vantor.__path__) if not m.name.startswith("_"))


@pytest.mark.parametrize("name", MODULES)
def test_docstring_examples_run(name):
    module = importlib.import_module(f"vantor.{name}")
    failures, tried = doctest.testmod(module, optionflags=doctest.ELLIPSIS)
    assert failures == 0
    if name not in ("plot",):      # pictures: shown in the gallery, not as doctests
        assert tried > 0, f"vantor.{name} has no docstring example"


def site_page(relative):
    page = SITE / relative
    if not page.is_file():
        if os.environ.get("PYVANTOR_REQUIRE_DOCS") == "1":
            pytest.fail(f"{page} was not built")
        pytest.skip("the site is not built (bash scripts/docs.sh)")
    return page


def chromium():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        path = shutil.which(name)
        if path:
            return path
    if os.environ.get("PYVANTOR_REQUIRE_DOCS") == "1":
        pytest.fail("no Chromium (bash scripts/setup.sh installs it)")
    pytest.skip("no Chromium")


def browse(page, *mode):
    """Chromium headless on a page: its DOM after scripts ran, or a screenshot."""
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS")}
    done = subprocess.run(
        [chromium(), "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
         "--window-size=1280,1600", "--virtual-time-budget=3000", *mode, page.as_uri()],
        capture_output=True, text=True, timeout=120, env=env)
    assert done.returncode == 0, done.stderr[-2000:]
    return done.stdout


class Page(html.parser.HTMLParser):
    """The text, the CSS classes and the images of a rendered page."""

    def __init__(self, dom):
        super().__init__()
        self.classes, self.images, self.text = set(), [], []
        self.feed(dom)

    def handle_starttag(self, tag, attrs):
        attributes = dict(attrs)
        self.classes.update((attributes.get("class") or "").split())
        if tag == "img":
            self.images.append(attributes)

    def handle_data(self, data):
        self.text.append(data)


def rendered(relative, shot):
    page = site_page(relative)
    SCREENSHOTS.mkdir(parents=True, exist_ok=True)
    browse(page, f"--screenshot={SCREENSHOTS / shot}")
    parsed = Page(browse(page, "--dump-dom"))
    text = " ".join(parsed.text)
    # Sphinx marks what it could not render: unresolved markup, system messages, failed examples.
    assert not parsed.classes & {"problematic", "system-message", "sphx-glr-script-err"}, relative
    assert "Traceback (most recent call last)" not in text
    return page, parsed, " ".join(text.split())


def assert_picture(path, min_side=200):
    from PIL import Image

    with Image.open(path) as image:
        width, height = image.size
        extrema = image.convert("L").getextrema()
    assert width >= min_side and height >= min_side, (path, image.size)
    assert extrema[1] - extrema[0] > 64, f"{path} is one flat colour"


def test_front_page_renders():
    _, parsed, text = rendered("index.html", "index.png")
    assert "Every characteristic root of a linear retarded time-delay system" in text
    for title in ("Getting started", "User guide", "API reference", "Gallery", "Benchmarks"):
        assert title in text
    picture = [img for img in parsed.images if "sphx_glr_roots_plot" in img.get("src", "")]
    assert picture, "the front page's picture is missing"
    assert_picture(SITE / picture[0]["src"])
    assert_picture(SCREENSHOTS / "index.png")


def test_api_page_of_all_roots_renders():
    _, _, text = rendered("api/generated/vantor.all_roots.html", "api_all_roots.png")
    assert "vantor.all_roots" in text
    for section in ("Parameters", "Returns", "Raises", "Examples"):
        assert section in text, section
    assert "max_count" in text and "IncompleteRoots" in text
    assert_picture(SCREENSHOTS / "api_all_roots.png")


def test_gallery_page_shows_its_picture_and_output():
    page, parsed, text = rendered("auto_examples/roots_plot.html", "gallery_roots_plot.png")
    assert "The spectrum of a system with two delays" in text
    assert "roots right of -1.5" in text            # the script's printed output
    figures = [img for img in parsed.images if "sphx-glr-single-img" in (img.get("class") or "")]
    assert len(figures) == 1
    assert_picture((page.parent / figures[0]["src"]).resolve(), min_side=300)
    assert_picture(SCREENSHOTS / "gallery_roots_plot.png")


@pytest.mark.parametrize("relative", ["guide/frequency.html", "api/generated/vantor.hinf_norm.html"])
def test_formulas_are_typeset(relative):
    # MathJax, served with the site, turns every formula into SVG; an unknown macro shows in red.
    dom = browse(site_page(relative), "--dump-dom")
    formulas = dom.count('type="math/tex')
    assert formulas >= 5, relative
    assert dom.count('class="MathJax_SVG"') == formulas
    assert 'mathcolor="red"' not in dom and "MathJax_Error" not in Page(dom).classes
