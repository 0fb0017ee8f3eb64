#!/usr/bin/python3
"""The web page in a real browser: headless Chromium loads it from `norvex serve` (the demo
question over the sample shop, answered from the demo cassette), asks with the keyboard, and
checks the SQL, the table and that the chart image decoded. Saves a screenshot. Then a page on
another origin (served here) tries to read the service and to make it answer a question, and
a name that resolves to 127.0.0.1 (as a rebinding attack's would) tries to read it: none can.

Usage: browser_test.py NORVEX SAMPLE_DB CASSETTE ARTEFACT_DIR
Exits 77 (skipped) when Chromium, its driver or Selenium is missing, unless CI=true.
"""
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

QUESTION = "What are the five best-selling products by quantity? Show them as a bar chart."
SKIP = 77


def skip_or_fail(why):
    print(why)
    sys.exit(1 if os.environ.get("CI") == "true" else SKIP)


try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
except ImportError:
    skip_or_fail("python3-selenium is not installed (scripts/deps.sh installs it)")
for program in ("chromium", "chromedriver"):
    if shutil.which(program) is None:
        skip_or_fail(program + " is not installed (scripts/deps.sh installs it)")


def wait_for(condition):
    """Polls until `condition` holds; the test's CTest TIMEOUT bounds the wait."""
    while True:
        value = condition()
        if value:
            return value
        time.sleep(0.05)


# What a hostile page does: read the service's API, and make it answer a question with a body
# type that needs no preflight.
HOSTILE_PAGE = """<!doctype html><title>elsewhere</title><script>
async function attack(target) {
  const out = {};
  try {
    const r = await fetch(target + "/v1/databases");
    out.read = await r.text();
  } catch (e) { out.read = "blocked"; }
  try {
    await fetch(target + "/v1/questions", {method: "POST", mode: "no-cors",
      headers: {"Content-Type": "text/plain"},
      body: JSON.stringify({question: "HOSTILE-QUESTION", database: "shop"})});
    out.post = "sent";
  } catch (e) { out.post = "blocked"; }
  return out;
}
</script>"""


class HostilePage(BaseHTTPRequestHandler):
    def do_GET(self):
        body = HOSTILE_PAGE.encode()
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def main():
    norvex, database, cassette, artefacts = sys.argv[1:5]
    os.makedirs(artefacts, exist_ok=True)
    scratch = tempfile.mkdtemp(prefix="norvex-browser-")
    server = subprocess.Popen(
        [norvex, "serve", "--db", "shop=sqlite:///" + database, "--listen", "127.0.0.1:0",
         "--replay", cassette, "--media", os.path.join(scratch, "media"), "--log-questions"],
        stderr=subprocess.PIPE, text=True, cwd=scratch)
    driver = None
    try:
        port = None
        for line in server.stderr:
            match = re.search(r"http://127\.0\.0\.1:(\d+)/", line)
            if match:
                port = int(match.group(1))
                break
        if port is None:
            raise SystemExit("norvex serve did not start")
        log = []
        threading.Thread(target=lambda: log.extend(server.stderr), daemon=True).start()
        hostile = ThreadingHTTPServer(("127.0.0.1", 0), HostilePage)
        threading.Thread(target=hostile.serve_forever, daemon=True).start()

        options = webdriver.ChromeOptions()
        options.binary_location = shutil.which("chromium")
        for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                     "--no-first-run", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync",
                     "--disable-dev-shm-usage", "--user-data-dir=" + os.path.join(scratch, "profile"),
                     "--window-size=1100,1900",
                     # A name of another site that resolves to the service (no look-up leaves
                     # the machine).
                     "--host-resolver-rules=MAP rebound.test 127.0.0.1"):
            options.add_argument(flag)
        driver = webdriver.Chrome(service=Service(shutil.which("chromedriver")), options=options)
        driver.get("http://127.0.0.1:%d/" % port)
        wait_for(lambda: driver.find_elements(By.CSS_SELECTOR, "#database option"))

        box = driver.find_element(By.ID, "question")
        box.send_keys(QUESTION)
        box.send_keys(Keys.CONTROL, Keys.ENTER)  # asks from the keyboard
        wait_for(lambda: driver.find_element(By.ID, "result").is_displayed()
                 or driver.find_element(By.ID, "error").is_displayed())
        error = driver.find_element(By.ID, "error")
        assert not error.is_displayed(), "the page shows an error: " + error.text

        sql = driver.find_element(By.ID, "sql").text
        assert "SUM(oi.quantity)" in sql, sql
        rows = driver.find_elements(By.CSS_SELECTOR, "#rows tbody tr")
        assert len(rows) == 5, [r.text for r in rows]
        assert "House Blend Coffee 250g" in rows[0].text and "766" in rows[0].text, rows[0].text
        assert "House Blend Coffee" in driver.find_element(By.ID, "answer").text
        steps = driver.find_elements(By.CSS_SELECTOR, "#steps li")
        assert len(steps) >= 8, [s.text for s in steps]
        assert not driver.find_element(By.ID, "code").is_displayed(), "the code is not folded"
        width = wait_for(lambda: driver.execute_script(
            "const i = document.getElementById('chart'); return i.complete && i.naturalWidth;"))
        assert width > 0
        assert driver.find_elements(By.CSS_SELECTOR, "#history li"), "the question is not listed"
        shot = os.path.join(artefacts, "serve_page.png")
        driver.save_screenshot(shot)
        print("screenshot:", shot)

        # A narrow screen scrolls nothing sideways but the table itself.
        driver.set_window_size(380, 900)
        overflow = driver.execute_script(
            "return document.documentElement.scrollWidth - document.documentElement.clientWidth;")
        assert overflow <= 0, "the page is %d px too wide on a narrow screen" % overflow
        print("the page answered the demo question")

        # A page on another origin can neither read the service nor make it answer.
        driver.get("http://127.0.0.1:%d/" % hostile.server_address[1])
        result = driver.execute_async_script(
            "attack(arguments[0]).then(arguments[arguments.length - 1]);",
            "http://127.0.0.1:%d" % port)
        assert result["read"] == "blocked", result
        post_lines = wait_for(lambda: [line for line in log
                                       if "access POST /v1/questions" in line][1:] and
                              [line for line in log if "access POST /v1/questions" in line])
        assert " 403 " in post_lines[-1], post_lines
        assert not any("HOSTILE-QUESTION" in line for line in log)
        # Under a name of its own that resolves to 127.0.0.1, a page reads nothing either.
        driver.get("http://rebound.test:%d/v1/databases" % port)
        body = driver.find_element(By.TAG_NAME, "body").text
        assert "shop" not in body and "misdirected" in body, body
        print("pages on other origins and other names read nothing and ask nothing")
        hostile.shutdown()
    finally:
        if driver is not None:
            driver.quit()
        server.send_signal(signal.SIGTERM)
        server.wait()
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
