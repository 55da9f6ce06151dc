#!/usr/bin/env python3
# The status page in headless Chromium against the built daemon and fake-recording-service.
# Usage: status_page_test.py BIN_DIR OUTPUT_DIR (gets status-page.png). 77: skipped, no Chromium.
import contextlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import urllib.request

BIN, OUTPUT = sys.argv[1], sys.argv[2]
CHROMIUM, DRIVER = shutil.which("chromium"), shutil.which("chromedriver")
if not CHROMIUM or not DRIVER:
    print("skipped: chromium and chromium-driver are not installed (scripts/setup installs them)")
    sys.exit(77)

from selenium import webdriver  # noqa: E402 (after the skip)
from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.expected_conditions import alert_is_present  # noqa: E402
from selenium.webdriver.support.wait import WebDriverWait  # noqa: E402


def wait_for(condition, what):
    """Waits until `condition()` is truthy and returns it; fails naming `what` after 60 s."""
    return WebDriverWait(None, 60, poll_frequency=0.05).until(lambda _: condition(), what)


def api(port, method, path, body=None):
    data = json.dumps(body).encode() if body is not None else None
    request = urllib.request.Request(f"http://127.0.0.1:{port}{path}", data=data, method=method)
    with urllib.request.urlopen(request, timeout=30) as reply:
        text = reply.read()
        return json.loads(text) if text else None


def start(stack, command, **options):
    process = stack.enter_context(subprocess.Popen(command, **options))
    stack.callback(process.terminate)  # then the Popen's exit waits for it
    return process


def run(root, stack):
    service = start(stack, [f"{BIN}/fake-recording-service", "--data-dir", root + "/service",
                            "--chunk-size", "65536"], stdout=subprocess.PIPE)
    service_port = int(service.stdout.readline())
    # Slow chunks, so that progress, a pause and a screenshot fall inside one upload.
    api(service_port, "POST", "/control/faults",
        {"method": "UploadChunk", "action": "delay", "delay_ms": 120, "count": 0})
    for name in ("home", "data", "locator", "files", "bin"):
        os.makedirs(f"{root}/{name}")
    locator = root + "/locator"
    start(stack, [f"{BIN}/vantrel-uploadd", "-p", locator], stdout=subprocess.DEVNULL,
          env=dict(os.environ, HOME=root + "/home", XDG_DATA_HOME=root + "/data"))
    port_file = locator + "/UploadDaemon.port"
    port = int(wait_for(lambda: os.path.exists(port_file) and open(port_file).read(), "port"))

    def put_job(job_id, path, state="running"):
        api(port, "PUT", "/jobs/" + job_id, {
            "id": job_id, "server_url": f"http://127.0.0.1:{service_port}/Service.svc",
            "session_id": "s", "state": state,
            "file_list": [{"local_path": path, "remote_path": os.path.basename(path)}]})

    def sample_file(name, size):
        with open(f"{root}/files/{name}", "wb") as file:
            file.write(os.urandom(size))
        return file.name

    wait_for(lambda: api(port, "GET", "/") is not None, "the daemon to answer")
    put_job("stored", sample_file("stored.bin", 1000), state="paused")

    # The client prints the address, and hands it to xdg-open when a display is present.
    client = [f"{BIN}/vantrel-upload", "-p", locator, "ui"]
    quiet = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    address = subprocess.run(client, env=quiet, capture_output=True, text=True, check=True).stdout
    assert address == f"http://127.0.0.1:{port}/ui\n", address
    with open(os.open(root + "/bin/xdg-open", os.O_CREAT | os.O_WRONLY, 0o755), "w") as opener:
        opener.write(f'#!/bin/sh\nprintf %s "$1" > {root}/opened\n')
    subprocess.run(client, env=dict(quiet, DISPLAY=":9", PATH=root + "/bin:/usr/bin:/bin"),
                   capture_output=True, check=True)
    assert open(root + "/opened").read() == address.strip()

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update",
                 "--disable-sync", "--no-proxy-server", "--window-size=1000,1000",
                 f"--user-data-dir={root}/chromium"):
        options.add_argument(flag)
    browser = webdriver.Chrome(service=Service(DRIVER), options=options)
    stack.callback(browser.quit)
    page = browser.execute_script

    def row(job_id, part):  # a part's text (a progress bar's value) in the job's row, or None
        return page("const row = [...document.querySelectorAll('#jobs li')]"
                    "  .find((li) => li.dataset.jobId === arguments[0]);"
                    "const node = row && row.querySelector(arguments[1]);"
                    "return !node ? null : node.value !== undefined ? node.value : node.textContent;",
                    job_id, part)

    def click(job_id, action):
        browser.find_element(By.CSS_SELECTOR, f"button[aria-label='{action} job {job_id}']").click()

    browser.get(address.strip())
    wait_for(lambda: row("stored", ".state") == "paused", "the stored job")
    page("window.notReloaded = true")

    # A new job appears without a reload, its progress bar moves, a pause stops it.
    put_job("upload", sample_file("upload.bin", 4 << 20))
    first = wait_for(lambda: row("upload", "progress"), "the upload's progress")
    wait_for(lambda: row("upload", "progress") > first, "the progress bar to move")
    wait_for(lambda: "left" in (row("upload", ".rate") or ""), "the rate and time left")
    assert row("upload", ".file") == "File: upload.bin"
    os.makedirs(OUTPUT, exist_ok=True)
    browser.save_screenshot(OUTPUT + "/status-page.png")
    click("upload", "Pause")
    wait_for(lambda: api(port, "GET", "/jobs/upload")["state"] == "paused", "paused")
    wait_for(lambda: all(a["id"] != "upload" for a in api(port, "GET", "/activity")), "stopped")
    wait_for(lambda: "upload: paused" in page(
        "return document.getElementById('announcer').textContent"), "the announcement")
    assert api(port, "GET", "/jobs/upload")["file_list"][0]["bytes_uploaded"] < 4 << 20
    # Resumed, its next chunk fails once: the retry's reason and countdown show.
    api(service_port, "DELETE", "/control/faults")
    api(service_port, "POST", "/control/faults", [
        {"method": "UploadChunk", "action": "status", "status": 500, "count": 1},
        {"method": "UploadChunk", "action": "delay", "delay_ms": 120, "count": 0}])
    click("upload", "Resume")
    retry = wait_for(lambda: row("upload", ".retry"), "the retry")
    assert retry.startswith("Retry 1 of UploadChunk in ") and retry.endswith("got 500"), retry
    wait_for(lambda: row("upload", ".state") == "completed", "completed on the page")
    assert row("upload", "progress") == 100
    assert page("return window.notReloaded === true")

    # Job text with markup shows literally and runs nothing. A path component cannot hold white
    # space, so the id's markup is bare tags; the error names the file's path.
    markup = "<img src=x onerror=document.title='pwned'>"
    os.mkfifo(f"{root}/files/{markup}")
    job_id = "<b>bold<i>id"
    put_job(job_id, f"{root}/files/{markup}")
    wait_for(lambda: markup in (row(job_id, ".error") or ""), "the markup job's error")
    assert row(job_id, ".job-id") == job_id
    assert page("return document.querySelectorAll('#jobs img, #jobs b, #jobs i').length") == 0
    assert browser.title == "Uploads", browser.title

    # Dark when the system prefers it.
    light = page("return getComputedStyle(document.body).backgroundColor")
    browser.execute_cdp_cmd("Emulation.setEmulatedMedia",
                            {"features": [{"name": "prefers-color-scheme", "value": "dark"}]})
    assert page("return getComputedStyle(document.body).backgroundColor") != light

    # Readable at 360 px: nothing wider than the window.
    browser.set_window_size(360, 900)
    wait_for(lambda: page("return window.innerWidth") <= 360, "a narrow window")
    assert page("return document.documentElement.scrollWidth <= window.innerWidth")

    # Remove asks first.
    click("stored", "Remove")
    WebDriverWait(browser, 60).until(alert_is_present()).accept()
    wait_for(lambda: row("stored", ".state") is None, "the removed job's row to go")
    assert "stored" not in [job["id"] for job in api(port, "GET", "/jobs")]

    violations = [entry["message"] for entry in browser.get_log("browser")
                  if "Content Security Policy" in entry["message"]]
    assert not violations, violations



if __name__ == "__main__":
    with tempfile.TemporaryDirectory(prefix="vtr-ui-") as root, contextlib.ExitStack() as stack:
        run(root, stack)
    print("status page: all checks passed")
