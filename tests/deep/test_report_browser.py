"""The standard report opened in headless Chromium: the chart draws and no script fails."""

import re
import shutil
import subprocess

import pytest

from quarvel.modules.positions.positions import Positions
from reports_support import HAVE_TICKS, QuoteStandIn, profit_row, real_minute_bars

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
pytestmark = pytest.mark.skipif(CHROMIUM is None, reason="chromium is not installed")

# As root on a closed network Chromium needs its sandbox off and every background fetch off.
FLAGS = [
    "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync",
    "--enable-logging=stderr", "--v=0",
]


def open_page(path, tmp_path, *extra):
    """Runs Chromium once on `path` with a fresh profile; returns (stdout, stderr)."""
    profile = tmp_path / f"profile-{len(list(tmp_path.glob('profile-*')))}"
    profile.mkdir()
    done = subprocess.run(
        [CHROMIUM, *FLAGS, f"--user-data-dir={profile}", *extra, path.as_uri()],
        capture_output=True, text=True, timeout=180,
    )
    return done.stdout, done.stderr


def console_errors(stderr):
    return [line for line in stderr.splitlines()
            if "CONSOLE" in line and re.search(r"Uncaught|Error", line)]


def chart_state(dom):
    html_tag = re.search(r"<html[^>]*>", dom).group(0)
    return dict(re.findall(r'data-([\w-]+)="([^"]*)"', html_tag))


def trade(bars, entry, exit, action, qty):
    """A profit row entered and left at the closes of two real bars (plus 1 point slippage)."""
    def close(at):
        return bars.filter(bars["dt"].dt.strftime("%H:%M") == at)["Close"][0]

    day = bars["dt"][0].strftime("%Y-%m-%d")
    entry_price, exit_price = close(entry[:5]) + 1, close(exit[:5]) - 1
    sign = 1 if action == "Buy" else -1
    return profit_row("TXFR1", f"{day} {entry}", f"{day} {exit}", entry_price, exit_price, qty,
                      sign * (exit_price - entry_price) * qty * 200 - 180.0, action)


@pytest.fixture
def real_report(data_dir):
    if not HAVE_TICKS:
        pytest.skip("real tick data not available")
    bars = real_minute_bars()
    account = Positions()
    account._profit_report["rows"] += [
        trade(bars, "09:01:37", "09:48:05", "Buy", 1),
        trade(bars, "10:30:12", "11:02:40", "Buy", 2),
        trade(bars, "12:10:00", "13:20:59", "Sell", 1),
    ]
    account.generate_standard_report("TXFR1", QuoteStandIn({("TXFR1", "m"): bars}))
    return data_dir / "report" / "TXFR1-report.html", bars.height


def test_chart_draws_every_bar_and_mark(real_report, tmp_path):
    path, bar_count = real_report
    dom, stderr = open_page(path, tmp_path, "--dump-dom")
    state = chart_state(dom)
    assert state.get("chart-state") == "drawn", stderr[-2000:]
    assert state["chart-bars"] == str(bar_count) == "300"
    assert state["chart-marks"] == "6"
    assert "script-error" not in state
    assert console_errors(stderr) == []
    assert dom.count('class="trade-mark"') == 6


def test_page_without_data_draws_its_empty_state(data_dir, tmp_path):
    Positions().generate_standard_report("2330", QuoteStandIn())
    dom, stderr = open_page(data_dir / "report" / "2330-report.html", tmp_path, "--dump-dom")
    state = chart_state(dom)
    assert (state.get("chart-state"), state.get("chart-bars"), state.get("chart-marks")) == (
        "drawn", "0", "0")
    assert "沒有 K 線資料" in dom and "尚無沖銷紀錄" in dom
    assert console_errors(stderr) == []


def test_console_check_sees_script_errors(tmp_path):
    """Guards the check above: a failing script must show up in what we read."""
    page = tmp_path / "broken.html"
    page.write_text("<html><body><script>undefinedFunction();</script></body></html>")
    _, stderr = open_page(page, tmp_path, "--dump-dom")
    assert console_errors(stderr), stderr[-2000:]
