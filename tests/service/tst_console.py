#!/usr/bin/env python3
"""The web console in a real browser against the real server.

Starts tolvern-server headless with its HTTP port, adds a user and uploads one save twice with
tolvern-client (so the save has a version), then drives headless Chromium: a wrong token is
refused, sign-in, add a user, find it by filter, restore the older version of the save (checked
on disk), a login over the control port arriving in the live log, and the token handed over as
"#token=" leaving the address bar. axe-core (--axe, installed from the npm registry by
scripts/deps.sh) checks every page at both sizes and fails on any violation. Screenshots at
1280x800 and 390x844 go to --out.

Exit 77 (CTest's skip code) when chromium, chromedriver or python3-selenium is missing.
"""

import argparse
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

SKIP = 77
WAIT = 20  # seconds for any one thing to appear

try:
    from selenium import webdriver
    from selenium.common.exceptions import TimeoutException, WebDriverException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    webdriver = None


class Failure(Exception):
    pass


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def port_open(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.5):
            return True
    except OSError:
        return False


def wait_until(what, test, timeout=WAIT):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if test():
            return
        time.sleep(0.1)
    raise Failure(f"timed out after {timeout} s waiting for {what}")


class Server:
    """A headless tolvern-server in a temporary folder, with its HTTP port on."""

    def __init__(self, exe, client, root):
        self.exe, self.client, self.root = exe, client, root
        self.storage = os.path.join(root, "storage")
        self.ini = os.path.join(root, "server.ini")
        for sub in ("storage", "work", "run", "config"):
            os.makedirs(os.path.join(root, sub), mode=0o700, exist_ok=True)
        self.control, self.file, self.http = free_port(), free_port(), free_port()
        with open(self.ini, "w", encoding="utf-8") as f:
            f.write(f"[General]\nSaveDataDir={self.storage}\nMainPort={self.control}\n"
                    f"FilePort={self.file}\nStartWhenOSStarts=false\n"
                    f"[Admin]\nHttpPort={self.http}\n")
        self.env = {k: v for k, v in os.environ.items()
                    if k not in ("QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY")}
        self.env["XDG_RUNTIME_DIR"] = os.path.join(root, "run")
        self.env["XDG_CONFIG_HOME"] = os.path.join(root, "config")
        self.output = open(os.path.join(root, "server.log"), "w+b")
        self.process = None

    def admin(self, *words):
        return subprocess.run([self.exe, *words, "--config", self.ini], env=self.env,
                              cwd=os.path.join(self.root, "work"), capture_output=True,
                              text=True, timeout=30)

    def make_token(self):
        done = self.admin("admin", "token")
        if done.returncode != 0:
            raise Failure(f"admin token failed ({done.returncode}): {done.stderr}{done.stdout}")
        words = done.stdout.split()
        if not words:
            raise Failure(f"admin token printed nothing: {done.stderr}")
        return words[-1]

    def start(self):
        self.process = subprocess.Popen([self.exe, "--headless", "--config", self.ini],
                                        env=self.env, cwd=os.path.join(self.root, "work"),
                                        stdout=self.output, stderr=subprocess.STDOUT)
        try:
            wait_until("the server's three ports",
                       lambda: self.process.poll() is not None
                       or all(port_open(p) for p in (self.control, self.file, self.http)))
        except Failure:
            raise Failure(f"{self.log_tail()}\nthe server is not listening")
        if self.process.poll() is not None:
            raise Failure(f"{self.log_tail()}\nthe server ended with {self.process.returncode}")

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(5)

    def log_tail(self, lines=40):
        self.output.flush()
        self.output.seek(0)
        text = self.output.read().decode("utf-8", "replace").splitlines()
        return "server output:\n  " + "\n  ".join(text[-lines:])

    def run_client(self, *words):
        done = subprocess.run([self.client, "--port", str(self.control), "--file-port",
                               str(self.file), "--timeout", "10", *words],
                              capture_output=True, text=True, timeout=60)
        if done.returncode != 0:
            raise Failure(f"tolvern-client {' '.join(words)} failed ({done.returncode}): "
                          f"{done.stderr}{done.stdout}")
        return done.stdout

    def url(self, path="/"):
        return f"http://127.0.0.1:{self.http}{path}"

    def api(self, token, path):
        request = urllib.request.Request(self.url(path),
                                         headers={"Authorization": f"Bearer {token}"})
        with urllib.request.urlopen(request, timeout=10) as answer:
            return json.load(answer)


class Console:
    """Headless Chromium on the console, with waits that say what they saw."""

    def __init__(self, server, out, axe):
        self.server, self.out = server, out
        with open(axe, encoding="utf-8") as f:
            self.axe_source = f.read()
        options = webdriver.ChromeOptions()
        for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                    "--disable-extensions", "--no-first-run", "--lang=en-US"):
            options.add_argument(arg)
        options.binary_location = shutil.which("chromium")
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        self.driver = webdriver.Chrome(service=Service(shutil.which("chromedriver")),
                                       options=options)
        self.driver.set_page_load_timeout(WAIT)
        self.problems = []

    def quit(self):
        self.driver.quit()

    def size(self, width, height, mobile=False):
        self.driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
            "width": width, "height": height, "deviceScaleFactor": 1, "mobile": mobile})

    def by_id(self, element_id):
        return self.driver.find_element(By.ID, element_id)

    def seen(self):
        d = self.driver
        try:
            main = d.execute_script(
                "const p=[...document.querySelectorAll('main > .page')].find(e=>!e.hidden);"
                "return (p ? p.id + ': ' + p.innerText : '(no page)').slice(0, 3000);")
            messages = d.find_element(By.ID, "messages").text
            dialogs = d.execute_script(
                "return [...document.querySelectorAll('dialog[open]')].map(e=>e.innerText)")
        except WebDriverException as e:
            main, messages, dialogs = f"(page not readable: {e.msg})", "", []
        return (f"url: {d.current_url}\nmessages: {messages!r}\nopen dialogs: {dialogs!r}\n"
                f"page: {main}\nbrowser log: {self.browser_log()}")

    def browser_log(self):
        entries = self.driver.get_log("browser")
        # The wrong token's 401 is asked for; anything else severe is a fault.
        self.problems += [e["message"] for e in entries
                          if e["level"] == "SEVERE" and "status of 401" not in e["message"]]
        return [f"{e['level']} {e['message']}" for e in entries]

    def wait(self, what, test, timeout=WAIT):
        try:
            return WebDriverWait(self.driver, timeout, poll_frequency=0.1).until(
                lambda d: test(d))
        except TimeoutException:
            self.shot(f"failed-{int(time.time())}")
            raise Failure(f"timed out after {timeout} s waiting for {what}\n{self.seen()}\n"
                          f"{self.server.log_tail()}")

    def axe(self, what):
        """axe-core's rules on the page as it is now: any violation fails, named with the
        elements it was found on."""
        d = self.driver
        if not d.execute_script("return typeof axe !== 'undefined'"):
            d.execute_script(self.axe_source)
        d.set_script_timeout(WAIT)
        violations = d.execute_async_script(
            "const done = arguments[arguments.length - 1];"
            # The experimental rules too: among them the one that the accessible name holds
            # the visible text (label-content-name-mismatch).
            "const rules = Object.fromEntries(axe.getRules(['experimental'])"
            ".map(r => [r.ruleId, {enabled: true}]));"
            "axe.run(document, {resultTypes: ['violations'], rules})"
            ".then(r => done(r.violations.map(v => `${v.impact} ${v.id}: ${v.help} at ` +"
            " v.nodes.slice(0, 3).map(n => n.target.join(' ')).join(', ') +"
            " (v.nodes.length > 3 ? ` and ${v.nodes.length - 3} more` : ''))))"
            ".catch(e => done([`axe failed: ${e}`]));")
        # axe takes "Change password" to hold "Change Pass"; a speech user says the words
        # seen, so each visible word must be a word of the name.
        violations += d.execute_script(
            "return [...document.querySelectorAll('button[aria-label], a[aria-label], [role=button][aria-label]')]"
            ".filter(e => e.getClientRects().length && /[A-Za-z]/.test(e.textContent))"
            ".filter(e => {"
            "  const seen = e.textContent.trim().replace(/\\s+/g, ' ').toLowerCase();"
            "  const name = ' ' + e.getAttribute('aria-label').toLowerCase().replace(/\\W+/g, ' ') + ' ';"
            "  return !name.includes(' ' + seen.replace(/\\W+/g, ' ').trim() + ' '); })"
            ".map(e => `label-in-name: \"${e.textContent.trim()}\" is named "
            "\"${e.getAttribute('aria-label')}\"`)")
        if violations:
            self.shot(f"axe-{int(time.time())}")
            raise Failure(f"axe-core on {what}:\n  " + "\n  ".join(violations))
        print(f"axe-core: {what} clean")

    def shot(self, name):
        path = os.path.join(self.out, f"console-{name}.png")
        self.driver.save_screenshot(path)
        print(f"screenshot {path}")

    def visible_page(self):
        return self.driver.execute_script(
            "const p=[...document.querySelectorAll('main > .page')].find(e=>!e.hidden);"
            "return p ? p.id : null;")

    def goto(self, page, heading_text):
        self.driver.find_element(By.CSS_SELECTOR, f"#nav a[data-page='{page}']").click()
        self.wait(f"the {page} page", lambda d: d.find_element(By.CSS_SELECTOR,
                  f"#page{page.capitalize()} h2").is_displayed()
                  and heading_text in d.find_element(By.CSS_SELECTOR,
                                                     f"#page{page.capitalize()} h2").text)

    def message(self, text):
        return self.wait(f"the message {text!r}",
                         lambda d: text in d.find_element(By.ID, "messages").text)

    def user_rows(self):
        return self.driver.execute_script(
            "return [...document.querySelectorAll('#usersBody tr')].map(r => "
            "[...r.cells].slice(1, 3).map(c => c.textContent))")

    def filter_users(self, name):
        box = self.by_id("edFilter")
        box.clear()
        box.send_keys(name)
        self.wait(f"exactly the user {name} after filtering",
                  lambda d: [r[1] for r in self.user_rows()] == [name])


def scenario(server, console, token, out):
    d = console.driver
    alice_id = int(server.run_client("add-user", "alice", "alice-pass").split()[-1])
    older = os.urandom(3000)
    newer = os.urandom(5000)
    for index, data in enumerate((older, newer)):
        path = os.path.join(server.root, f"upload{index}.bin")
        with open(path, "wb") as f:
            f.write(data)
        server.run_client("upload", f"{alice_id}/slot1", path, "--user", "alice")
    archive = os.path.join(server.storage, str(alice_id), "slot1.z")
    with open(archive, "rb") as f:
        if f.read() != newer:
            raise Failure("the second upload is not the current archive")

    # Desktop: sign in through the box, first with a wrong token.
    console.size(1280, 800)
    d.get(server.url("/"))
    console.wait("the sign-in box", lambda d: d.find_element(By.ID, "edToken").is_displayed())
    console.shot("signin-1280x800")
    console.axe("the sign-in page")
    console.by_id("edToken").send_keys("not-the-token" + Keys.ENTER)
    console.wait("the wrong token refused",
                 lambda d: d.find_element(By.ID, "signInError").text.strip() != "")
    if d.find_element(By.ID, "nav").is_displayed():
        raise Failure("the pages are shown after a wrong token")
    console.by_id("edToken").send_keys(token + Keys.ENTER)
    console.wait("the status page with this server's control port",
                 lambda d: d.find_element(By.ID, "stControlPort").text == str(server.control))
    console.wait("the file port figure",
                 lambda d: d.find_element(By.ID, "stFilePort").text == str(server.file))
    if token in d.current_url:
        raise Failure(f"the token is in the address: {d.current_url}")
    console.shot("status-1280x800")
    console.axe("the status page")

    # Add a user, then find it among the others by the filter.
    console.goto("users", "Users")
    console.wait("alice in the user list",
                 lambda d: any(r[1] == "alice" for r in console.user_rows()))
    console.by_id("btnAdd").click()
    console.wait("the add-user dialog", lambda d: d.find_element(By.ID, "dlgAdd").is_displayed())
    console.axe("the add-user dialog")
    if d.switch_to.active_element != console.by_id("edAddName"):
        raise Failure("the add-user dialog does not put the focus on the name")
    console.by_id("edAddName").send_keys("console-bob")
    console.by_id("edAddPass").send_keys("bob-pass" + Keys.ENTER)
    console.message("User console-bob added")
    if d.switch_to.active_element != console.by_id("btnAdd"):
        raise Failure("closing the dialog does not return the focus to the Add button")
    # By keyboard alone: Enter opens the dialog, Escape closes it, the focus comes back.
    console.by_id("btnAdd").send_keys(Keys.ENTER)
    console.wait("the add-user dialog by keyboard",
                 lambda d: d.find_element(By.ID, "dlgAdd").is_displayed())
    d.switch_to.active_element.send_keys(Keys.ESCAPE)
    console.wait("the dialog closed by Escape, the focus on Add", lambda d: not d.find_element(
        By.ID, "dlgAdd").is_displayed() and d.switch_to.active_element == console.by_id("btnAdd"))
    console.filter_users("console-bob")
    console.shot("users-1280x800")
    console.axe("the users page")
    # The total and the pager above the table as well as below it, saying the same.
    pagers = d.execute_script(
        "const t = document.getElementById('tblUsers');"
        "return [...document.querySelectorAll('#pageUsers .pager')].map(p => [p.querySelector"
        "('.range').textContent, !!(p.compareDocumentPosition(t) & Node.DOCUMENT_POSITION_FOLLOWING)])")
    if len(pagers) != 2 or pagers[0] != ["1–1 of 1", True] or pagers[1] != ["1–1 of 1", False]:
        raise Failure(f"the pager is not above and below the users: {pagers}")
    users = server.api(token, "/api/v1/users?filter=console-bob")
    if [u["name"] for u in users["users"]] != ["console-bob"]:
        raise Failure(f"the server does not have the added user: {users}")

    # Open alice's saves and restore the older version.
    console.filter_users("alice")
    d.find_element(By.CSS_SELECTOR, "#usersBody tr button[aria-label='Saves of alice']").click()
    version_rows = "#savesList section[data-save='slot1'] tr[data-version]"
    console.wait("one older version of slot1",
                 lambda d: len(d.find_elements(By.CSS_SELECTOR, version_rows)) == 1)
    console.shot("saves-1280x800")
    console.axe("the saves page")
    # One format for every date of the history: the version's and the times.
    dates = d.execute_script(
        "return [...document.querySelectorAll('#savesList tr[data-version] td:nth-child(1),"
        " #savesList tr td:nth-child(3)')].map(c => c.textContent)")
    if len(dates) != 3 or not all(re.fullmatch(r"\d\d-\d\d-\d\d \d\d:\d\d:\d\d", t) for t in dates):
        raise Failure(f"the save history's dates are not in one format: {dates}")
    d.find_element(By.CSS_SELECTOR, f"{version_rows} button").click()
    console.wait("the restore question",
                 lambda d: d.find_element(By.ID, "dlgConfirm").is_displayed())
    console.axe("the restore question")
    console.by_id("btnYes").click()
    console.message("Save restored")

    def restored():
        with open(archive, "rb") as f:
            return f.read() == older
    try:
        wait_until("the older bytes in the archive", restored)
    except Failure as e:
        raise Failure(f"{e}\n{console.seen()}")
    # The restored version is current again; the archive it replaced is the one version.
    current_size = "#savesList section[data-save='slot1'] tr.current td:nth-child(2)"
    console.wait("the older size current and the newer one as the version", lambda d: [
        e.get_attribute("title") for e in d.find_elements(By.CSS_SELECTOR, current_size)
        + d.find_elements(By.CSS_SELECTOR, version_rows + " td:nth-child(2)")]
        == [str(len(older)), str(len(newer))])

    # A login over the control port arrives in the live log.
    console.goto("log", "System Logs")
    console.wait("the log connected",
                 lambda d: d.find_element(By.ID, "logMode").get_attribute("data-mode")
                 in ("live", "polling"))
    mode = console.by_id("logMode").get_attribute("data-mode")
    server.run_client("login", "alice", "alice-pass")
    console.wait("the login line in the log", lambda d: any(
        "LOGIN" in r.text and "alice" in r.text
        for r in d.find_elements(By.CSS_SELECTOR, "#logBody tr")))
    print(f"log mode when the login arrived: {mode}")
    console.shot("log-1280x800")
    console.axe("the log page")

    # Phone: the token handed over in the address, gone from it at once.
    console.by_id("btnSignOut").click()
    console.wait("the sign-in box after signing out",
                 lambda d: d.find_element(By.ID, "edToken").is_displayed())
    if d.execute_script("return sessionStorage.length") != 0:
        raise Failure("signing out leaves the token in sessionStorage")
    console.size(390, 844, mobile=True)
    d.get(server.url(f"/#token={token}"))
    console.wait("the status page from #token=",
                 lambda d: d.find_element(By.ID, "stControlPort").text == str(server.control))
    if token in d.current_url:
        raise Failure(f"the token stays in the address: {d.current_url}")
    console.shot("status-390x844")
    for page, heading in (("users", "Users"), ("log", "System Logs")):
        console.goto(page, heading)
        if page == "users":
            console.wait("the users as cards", lambda d: len(console.user_rows()) >= 2)
            width = d.execute_script("return document.documentElement.scrollWidth")
            if width > 390:
                raise Failure(f"the users page is {width} px wide on a 390 px screen")
        console.shot(f"{page}-390x844")
        console.axe(f"the {page} page on a phone")
    d.get(server.url(f"/#user/{alice_id}"))
    console.wait("the saves page on the phone",
                 lambda d: len(d.find_elements(By.CSS_SELECTOR, version_rows)) == 1)
    console.shot("saves-390x844")
    console.axe("the saves page on a phone")
    # A card shows no row without content: the current archive has no actions.
    shown = [c.text for c in d.find_elements(By.CSS_SELECTOR, "#savesList tr.current td")
             if c.is_displayed()]
    if len(shown) != 3:
        raise Failure(f"the current archive's card shows {len(shown)} rows: {shown}")

    console.browser_log()
    if console.problems:
        raise Failure("the browser reported errors:\n  " + "\n  ".join(console.problems))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--server", required=True)
    parser.add_argument("--client", required=True)
    parser.add_argument("--out", required=True, help="folder for the screenshots")
    parser.add_argument("--axe", required=True, help="axe.min.js of the npm package axe-core")
    args = parser.parse_args()
    # The server runs in a folder of its own.
    args.server, args.client = os.path.abspath(args.server), os.path.abspath(args.client)

    missing = [name for name in ("chromium", "chromedriver") if not shutil.which(name)]
    if webdriver is None:
        missing.append("python3-selenium")
    if missing:
        print(f"SKIP: the browser test needs {', '.join(missing)} "
              "(Debian: chromium chromium-driver python3-selenium)")
        return SKIP

    if not os.path.isfile(args.axe):
        print(f"FAIL: no axe-core at {args.axe}: scripts/deps.sh installs it with the test set "
              "(npm ci --prefix tests/tools)")
        return 1
    os.makedirs(args.out, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="tolvern-console-") as root:
        server = Server(args.server, args.client, root)
        console = None
        try:
            token = server.make_token()
            server.start()
            console = Console(server, args.out, args.axe)
            scenario(server, console, token, args.out)
        except Failure as e:
            print(f"FAIL: {e}")
            return 1
        finally:
            if console:
                console.quit()
            server.stop()
        # A sanitizer's report ends the server with another code.
        if server.process and server.process.returncode != 0:
            print(f"FAIL: the server ended with {server.process.returncode}\n{server.log_tail()}")
            return 1
    print("PASS: the console in headless Chromium")
    return 0


if __name__ == "__main__":
    sys.exit(main())
