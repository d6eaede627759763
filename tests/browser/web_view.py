#!/usr/bin/python3
"""veltrona-web in a real browser (Debian's chromium, driven through chromium-driver by
python3-selenium) against a real veltrona on the simulated board, one board mode a test class.

The programs come from the environment (VELTRONA, DHUB, SIMBOARD, VELTRONA_WEB); everything the
run writes, the browser's profile included, stays in a temporary directory, and everything it
serves listens on loopback. VELTRONA_SCREENSHOT, when set, names where the converter page's
screenshot goes.
"""
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.parse
import urllib.request

from selenium import webdriver
from selenium.common.exceptions import NoAlertPresentException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys

PROGRAMS = {name: os.environ.get(name, "") for name in ("VELTRONA", "DHUB", "SIMBOARD", "VELTRONA_WEB")}
CHROMIUM = os.environ.get("CHROMIUM", "/usr/bin/chromium")
CHROMEDRIVER = os.environ.get("CHROMEDRIVER", "/usr/bin/chromedriver")
INJECTION = "<img src=x onerror=alert(1)>"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(what, timeout=15.0, step=0.05):
    """The first true result of what() within the timeout, else the last one."""
    deadline = time.monotonic() + timeout
    while True:
        result = what()
        if result or time.monotonic() > deadline:
            return result
        time.sleep(step)


class Bench(unittest.TestCase):
    """A gateway on the simulated board, veltrona-web for it, and a browser on the page."""

    scenario = []

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="veltrona-web-browser-")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        self.runtime = os.path.join(self.dir, "runtime")
        os.mkdir(self.runtime)
        self.processes = []
        self.addCleanup(self.stop_all)
        self.gateway = self.start_gateway()
        self.port = free_port()
        self.start(PROGRAMS["VELTRONA_WEB"], "--runtime-dir", self.runtime, "--listen", "127.0.0.1:%d" % self.port,
                   log="web.log")
        self.assertTrue(wait_until(lambda: self.http("/style.css")[0] == 200), "veltrona-web does not serve")
        self.browser = self.open_browser()
        self.addCleanup(self.browser.quit)

    # Programs

    def start(self, program, *args, log):
        out = open(os.path.join(self.dir, log), "ab")
        process = subprocess.Popen([program, *args], stdout=out, stderr=subprocess.STDOUT, cwd=self.dir)
        out.close()
        self.processes.append(process)
        return process

    def stop(self, process):
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        return process.returncode

    def stop_all(self):
        """Every program stops cleanly (a sanitizer's report would make it fail)."""
        failed = [(process.args[0], code) for process in reversed(self.processes) if (code := self.stop(process)) != 0]
        self.assertEqual(failed, [], self.log("veltrona.log")[-3000:] + self.log("web.log")[-3000:])

    def start_gateway(self):
        gateway = self.start(PROGRAMS["VELTRONA"], *self.scenario, "--runtime-dir", self.runtime, log="veltrona.log")
        rc, out = self.tool("DHUB", "wait", "settings/addon_type", "--timeout", "20")
        self.assertEqual(rc, 0, out + self.log("veltrona.log"))
        return gateway

    def log(self, name):
        with open(os.path.join(self.dir, name), errors="replace") as f:
            return f.read()

    def tool(self, name, *args):
        run = subprocess.run([PROGRAMS[name], "--runtime-dir", self.runtime, *args], capture_output=True, text=True,
                             timeout=30)
        return run.returncode, run.stdout + run.stderr

    def dhub_get(self, path):
        rc, out = self.tool("DHUB", "get", path)
        return out.strip() if rc == 0 else None

    def dhub_paths(self):
        rc, out = self.tool("DHUB", "list", "--json")
        self.assertEqual(rc, 0, out)
        return {json.loads(line)["path"] for line in out.splitlines()}

    def http(self, path, method="GET", data=None, headers=None, port=None):
        request = urllib.request.Request("http://127.0.0.1:%d%s" % (port or self.port, path), method=method,
                                         data=data, headers=headers or {})
        try:
            with urllib.request.urlopen(request, timeout=10) as answer:
                return answer.status, answer.read().decode()
        except urllib.error.HTTPError as refused:
            return refused.code, refused.read().decode()
        except OSError:
            return 0, ""

    # The browser

    def open_browser(self):
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                    "--window-size=1400,1000", "--no-first-run", "--user-data-dir=" + os.path.join(self.dir, "profile")):
            options.add_argument(arg)
        environment = dict(os.environ, HOME=self.dir, XDG_CONFIG_HOME=self.dir, XDG_CACHE_HOME=self.dir)
        service = Service(CHROMEDRIVER, env=environment, log_path=os.path.join(self.dir, "chromedriver.log"))
        return webdriver.Chrome(service=service, options=options)

    def load(self, fragment=""):
        """The page, marked so that a reload would show."""
        self.browser.get("http://127.0.0.1:%d/%s" % (self.port, fragment))
        self.browser.execute_script("window.notReloaded = true")

    def page_paths(self):
        return set(self.browser.execute_script(
            "return [...document.querySelectorAll('#groups tr[data-path]')].map(r => r.dataset.path)"))

    def shown(self, path):
        """What the page shows for a resource (None while it has no row)."""
        return self.browser.execute_script(
            "const r = document.querySelector('#groups tr[data-path=\"' + arguments[0] + '\"]');"
            "return r ? r.dataset.value : null", path)

    def row(self, path):
        return self.browser.find_element(By.CSS_SELECTOR, '#groups tr[data-path="%s"]' % path)

    def note(self, path):
        return self.row(path).find_element(By.CSS_SELECTOR, ".note").text

    def type_into(self, element, text):
        """As a person does: into the field, all of it selected, the text over it, out of the field
        (the change event). The page leaves a field alone while it has the focus."""
        element.click()
        element.send_keys(Keys.CONTROL, "a")
        element.send_keys(text, Keys.TAB)

    def edit(self, path, text):
        self.type_into(self.row(path).find_element(By.CSS_SELECTOR, "input"), text)

    def sim_input(self, key):
        row = self.browser.find_element(By.CSS_SELECTOR, '#devices tr[data-key="%s"]' % key)
        group = row.find_element(By.XPATH, "ancestor::details")
        if not group.get_attribute("open"):
            group.find_element(By.TAG_NAME, "summary").click()
        return row.find_element(By.CSS_SELECTOR, "input")

    def assert_lists_what_dhub_lists(self):
        self.assertTrue(wait_until(lambda: self.page_paths() == self.dhub_paths() and self.page_paths()),
                        "page %s, dhub %s" % (sorted(self.page_paths()), sorted(self.dhub_paths())))

    def assert_refusal_shown(self, path, value):
        rc, said = self.tool("DHUB", "push", path, value)
        self.assertEqual(rc, 1, said)
        reason = said.strip().removeprefix("dhub: ")
        self.edit(path, value)
        self.assertTrue(wait_until(lambda: self.note(path) == reason), "%r, not %r" % (self.note(path), reason))

    def assert_no_markup_ran(self):
        self.assertEqual(self.browser.execute_script("return document.querySelectorAll('img').length"), 0)
        with self.assertRaises(NoAlertPresentException):
            self.browser.switch_to.alert.text


class ConverterBoard(Bench):
    scenario = ["--scenario", "converter", "--clock", "skip"]

    def test_lists_edits_refuses_moves_and_follows_a_restart(self):
        self.load()
        self.assert_lists_what_dhub_lists()

        # Settings edited on the page reach the Data Hub; a refusal shows word for word.
        self.edit("uc_input1/period", "1")
        self.row("uc_input1/enable").find_element(By.CSS_SELECTOR, "input").click()
        self.assertTrue(wait_until(lambda: self.dhub_get("uc_input1/period") == "1"))
        self.assertTrue(wait_until(lambda: self.dhub_get("uc_input1/enable") == "true"))
        self.assertEqual(self.note("uc_input1/period"), "")
        self.assert_refusal_shown("uc_input2/period", "soon")

        # A simulated input moved with simboard shows at the channel's next measurement (a second
        # apart), without a reload.
        self.assertTrue(wait_until(lambda: self.shown("uc_input1/value") == "60"), self.shown("uc_input1/value"))
        for volts, percent in (("1.6", "80"), ("0.4", "20"), ("1", "50")):
            rc, out = self.tool("SIMBOARD", "set", "adc.ch1", volts)
            self.assertEqual(rc, 0, out)
            self.assertTrue(wait_until(lambda: self.shown("uc_input1/value") == percent, timeout=5), volts)
        self.assertTrue(self.browser.execute_script("return window.notReloaded === true"))
        trend = self.row("uc_input1/value").find_elements(By.CSS_SELECTOR, "svg.trend polyline")
        self.assertEqual(len(trend), 1)
        self.assertGreaterEqual(len(trend[0].get_attribute("points").split()), 4)

        # The board's panel moves an input with simboard's key, and refuses a bad value.
        self.type_into(self.sim_input("adc.ch2"), "1.8")
        self.assertTrue(wait_until(lambda: self.tool("SIMBOARD", "get", "adc.ch2")[1].strip() == "1.8"))
        self.type_into(self.sim_input("adc.ch3"), "lots")
        refusal = self.browser.find_element(By.CSS_SELECTOR, '#devices tr[data-key="adc.ch3"] .note')
        self.assertTrue(wait_until(lambda: "lots" in refusal.text), refusal.text)

        if os.environ.get("VELTRONA_SCREENSHOT"):
            self.browser.execute_script("document.activeElement.blur(); window.scrollTo(0, 0)")
            self.browser.save_screenshot(os.environ["VELTRONA_SCREENSHOT"])

        # The gateway restarts: the page says it is away, then follows the new process's pushes.
        self.assertEqual(self.stop(self.gateway), 0)
        gateway = self.browser.find_element(By.ID, "gateway")
        self.assertTrue(wait_until(lambda: "unreachable" in gateway.text), gateway.text)
        switch = self.row("uc_input1/enable").find_element(By.CSS_SELECTOR, "input")
        switch.click()   # refused while the gateway is away: the switch shows what the gateway holds
        self.assertTrue(wait_until(lambda: self.note("uc_input1/enable") != ""))
        self.assertTrue(switch.is_selected())
        time.sleep(2.5)   # long enough for the browser to try the stream again, find it refused and give up
        self.gateway = self.start_gateway()
        self.assertTrue(wait_until(lambda: gateway.text.endswith("resources · live")), gateway.text)
        rc, out = self.tool("SIMBOARD", "set", "adc.ch1", "0.2")
        self.assertEqual(rc, 0, out)
        self.assertTrue(wait_until(lambda: self.shown("uc_input1/value") == "10"), self.shown("uc_input1/value"))


class AddOnBoard(Bench):
    scenario = ["--scenario", "addon", "--set", "addon.board=4i4o", "--clock", "skip"]

    def switch(self, board_type):
        self.edit("settings/addon_type", board_type)
        self.assertTrue(wait_until(lambda: self.dhub_get("settings/addon_type") == board_type))
        self.assert_lists_what_dhub_lists()

    def test_switching_the_type_adds_and_removes_rows_and_the_panel_moves_lines_and_registers(self):
        self.load()
        self.assert_lists_what_dhub_lists()

        # Inputs moved with simboard show within a second, without a reload: module pins (type 1)
        # and expander lines (type 7) are pushed as they change.
        self.switch("1")
        for key, path, level, shown in (("gpio.42", "addon/input1", "0", "false"), ("gpio.42", "addon/input1", "1", "true"),
                                        ("gpio.13", "addon/input3", "0", "false")):
            self.assertTrue(wait_until(lambda: self.shown(path) not in (None, "", shown)), self.shown(path))
            rc, out = self.tool("SIMBOARD", "set", key, level)
            self.assertEqual(rc, 0, out)
            moved = time.monotonic()
            self.assertTrue(wait_until(lambda: self.shown(path) == shown, timeout=5), key)
            self.assertLess(time.monotonic() - moved, 1.0, "%s=%s took too long to show" % (key, level))

        self.switch("7")
        self.assertTrue({"addon/input3", "addon/output7", "addon/i2c_address"} <= self.page_paths())
        self.assertEqual(self.shown("addon/input3"), "false")
        self.sim_input("addon.in3").click()   # line pulled low: the input becomes true
        moved = time.monotonic()
        self.assertTrue(wait_until(lambda: self.shown("addon/input3") == "true"), self.shown("addon/input3"))
        self.assertLess(time.monotonic() - moved, 1.0)
        self.row("addon/output7").find_element(By.CSS_SELECTOR, "input").click()
        driven = lambda: self.browser.execute_script(
            "return document.querySelector('#devices tr[data-key=\"addon.out7\"]').dataset.value")
        self.assertTrue(wait_until(lambda: driven() == "1"), driven())
        self.assertTrue(self.browser.execute_script("return window.notReloaded === true"))

        self.switch("2")
        self.assertNotIn("addon/input3", self.page_paths())
        output = self.row("addon/output1").find_element(By.CSS_SELECTOR, "input")
        pin = self.sim_input("gpio.42")
        self.assertTrue(wait_until(lambda: not pin.is_selected()))   # outputs start off
        for level in (True, False):   # a native output drives its pin, as the panel shows
            output.click()
            self.assertTrue(wait_until(lambda: pin.is_selected() == level), level)

        self.switch("5")
        self.edit("addon/modbus_address", "1")
        self.type_into(self.sim_input("modbus.reg.49"), "491")
        near = lambda: abs(float(self.shown("addon/analog_input1") or "nan") - 50) < 2
        self.assertTrue(wait_until(near, timeout=20), self.shown("addon/analog_input1"))

        self.switch("0")
        self.assertFalse([p for p in self.page_paths() if p.startswith("addon/")])


class GatewayBoard(Bench):
    scenario = []

    def setUp(self):
        broker_port = free_port()
        self.broker_dir = tempfile.mkdtemp(prefix="veltrona-web-broker-")
        conf = os.path.join(self.broker_dir, "mosquitto.conf")
        with open(conf, "w") as f:
            f.write("listener %d 127.0.0.1\nallow_anonymous true\npersistence false\n" % broker_port)
        self.broker = subprocess.Popen(["/usr/sbin/mosquitto", "-c", conf], stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL)
        self.scenario = ["--scenario", "gateway", "--clock", "skip", "--set", "esp3.period_ms=100", "--mqtt", "mqtt://127.0.0.1:%d" % broker_port]
        super().setUp()

    def tearDown(self):
        self.broker.terminate()
        self.broker.wait(10)
        shutil.rmtree(self.broker_dir, ignore_errors=True)

    def test_cloud_link_learning_and_markup_kept_as_text(self):
        self.load()
        self.assert_lists_what_dhub_lists()
        link = self.browser.find_element(By.ID, "link")
        self.assertTrue(wait_until(lambda: link.text.startswith("cloud link online · outbox ")), link.text)

        # The board's panel offers what this board carries: module pins and the Modbus slave, no converter.
        devices = lambda: sorted({key.rsplit(".", 1)[0] for key in self.browser.execute_script(
            "return [...document.querySelectorAll('#devices tr[data-key]')].map(r => r.dataset.key)")})
        self.assertTrue(wait_until(lambda: devices() == ["gpio", "modbus.coil", "modbus.reg"]), devices())

        # Markup in a value or a refusal stays text.
        self.edit("settings/description", INJECTION)
        self.assertTrue(wait_until(lambda: self.dhub_get("settings/description") == INJECTION))
        self.assertEqual(self.shown("settings/description"), INJECTION)
        self.assert_refusal_shown("settings/addon_type", INJECTION)
        self.assertIn(INJECTION, self.row("settings/addon_type").text)
        self.assert_no_markup_ran()

        # Learning from the page (the trigger twice): the sensors' branches appear as they are taught in.
        for _ in range(2):
            self.row("settings/learn").find_element(By.TAG_NAME, "button").click()
        self.assertTrue(wait_until(lambda: any(p.startswith("sensors/") for p in self.page_paths()), timeout=20))
        self.assert_lists_what_dhub_lists()

    def test_away_from_loopback_only_the_token_opens_the_page(self):
        port = free_port()
        self.start(PROGRAMS["VELTRONA_WEB"], "--runtime-dir", self.runtime, "--listen", "0.0.0.0:%d" % port,
                   log="web-open.log")
        self.assertTrue(wait_until(lambda: self.http("/style.css", port=port)[0] == 200))
        with open(os.path.join(self.runtime, "web-token")) as f:
            token = f.read().strip()
        self.assertEqual(len(token), 32)
        push = urllib.parse.urlencode({"path": "settings/enable", "value": "false"}).encode()
        for headers in ({}, {"X-Veltrona": "1"}, {"X-Veltrona": "1", "X-Veltrona-Token": "0" * 32}):
            self.assertEqual(self.http("/api/push", "POST", push, headers, port=port)[0], 401, headers)
            self.assertEqual(self.http("/api/resources", headers=headers, port=port)[0], 401, headers)
        self.assertEqual(self.dhub_get("settings/enable"), "true")

        self.browser.get("http://127.0.0.1:%d/" % port)
        gateway = self.browser.find_element(By.ID, "gateway")
        self.assertTrue(wait_until(lambda: "needs the token" in gateway.text), gateway.text)
        self.assertEqual(self.page_paths(), set())
        self.browser.get("http://127.0.0.1:%d/#token=%s" % (port, token))
        self.browser.refresh()
        self.assert_lists_what_dhub_lists()
        self.row("settings/enable").find_element(By.CSS_SELECTOR, "input").click()
        self.assertTrue(wait_until(lambda: self.dhub_get("settings/enable") == "false"))


if __name__ == "__main__":
    missing = [name for name, path in PROGRAMS.items() if not os.access(path, os.X_OK)]
    if missing:
        sys.exit("web_view.py: set %s to the programs" % ", ".join(missing))
    unittest.main()
