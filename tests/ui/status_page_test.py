#!/usr/bin/env python3
"""The status page in headless Chromium against the built daemon and fake-recording-service.

Usage: status_page_test.py BIN_DIR OUTPUT_DIR. A screenshot taken during an upload is left in
OUTPUT_DIR as status-page.png. Exits 77 (skipped) when Chromium or its driver is missing.
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import urllib.request

BIN_DIR, OUTPUT_DIR = sys.argv[1], sys.argv[2]
CHROMIUM = shutil.which("chromium")
DRIVER = shutil.which("chromedriver")
DEADLINE = 60


def wait_for(condition, what, timeout=DEADLINE):
    """Waits until `condition()` is truthy and returns it; fails with `what` past the deadline."""
    from selenium.webdriver.support.wait import WebDriverWait
    return WebDriverWait(None, timeout, poll_frequency=0.05).until(
        lambda _: condition(), "timed out waiting for " + what)


def api(port, method, path, body=None):
    data = json.dumps(body).encode() if body is not None else None
    request = urllib.request.Request(f"http://127.0.0.1:{port}{path}", data=data, method=method)
    with urllib.request.urlopen(request, timeout=30) as reply:
        text = reply.read()
        return json.loads(text) if text else None


class StatusPageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service

        cls.root = tempfile.mkdtemp(prefix="vtr-ui-")
        cls.processes = []
        service = cls.start([f"{BIN_DIR}/fake-recording-service", "--data-dir",
                             cls.root + "/service", "--chunk-size", "65536"],
                            stdout=subprocess.PIPE)
        cls.service_port = int(service.stdout.readline())
        # Slow chunks, so that progress, a pause and a screenshot fall inside one upload.
        api(cls.service_port, "POST", "/control/faults",
            {"method": "UploadChunk", "action": "delay", "delay_ms": 120, "count": 0})
        cls.locator = cls.root + "/locator"
        for name in ("home", "data", "locator", "files"):
            os.makedirs(f"{cls.root}/{name}")
        env = dict(os.environ, HOME=cls.root + "/home", XDG_DATA_HOME=cls.root + "/data")
        cls.start([f"{BIN_DIR}/vantrel-uploadd", "-p", cls.locator], env=env)
        port_file = cls.locator + "/UploadDaemon.port"
        cls.port = int(wait_for(lambda: os.path.exists(port_file) and open(port_file).read(),
                                "the daemon's port"))
        wait_for(lambda: api(cls.port, "GET", "/") is not None, "the daemon to answer")

        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                     "--no-first-run", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync", "--no-proxy-server",
                     "--window-size=1000,1000", f"--user-data-dir={cls.root}/chromium",
                     # A rebinding site: its name leads to this machine.
                     "--host-resolver-rules=MAP evil.example 127.0.0.1"):
            options.add_argument(flag)
        cls.browser = webdriver.Chrome(service=Service(DRIVER), options=options)

    @classmethod
    def start(cls, command, env=None, stdout=subprocess.DEVNULL):
        process = subprocess.Popen(command, stdout=stdout, text=True, env=env)
        cls.processes.append(process)
        return process

    @classmethod
    def tearDownClass(cls):
        cls.browser.quit()
        for process in cls.processes:
            process.terminate()
            process.wait(timeout=30)
            if process.stdout:
                process.stdout.close()
        shutil.rmtree(cls.root, ignore_errors=True)

    def put_job(self, job_id, path, state="running"):
        job = {"id": job_id, "server_url": f"http://127.0.0.1:{self.service_port}/Service.svc",
               "session_id": "s", "state": state,
               "file_list": [{"local_path": path, "remote_path": os.path.basename(path)}]}
        return api(self.port, "PUT", "/jobs/" + job_id, job)

    def sample_file(self, name, size):
        path = f"{self.root}/files/{name}"
        with open(path, "wb") as file:
            file.write(os.urandom(size))
        return path

    def page(self, script, *arguments):
        return self.browser.execute_script(script, *arguments)

    def row(self, job_id, part):
        """The text (or, for "progress", the value) of a part of the job's row, or None."""
        return self.page(
            "const row = [...document.querySelectorAll('#jobs li')]"
            "  .find((li) => li.dataset.jobId === arguments[0]);"
            "if (!row) return null;"
            "const node = row.querySelector(arguments[1]);"
            "return arguments[1] === 'progress' ? node.value : node.textContent;",
            job_id, part)

    def click(self, job_id, action):
        from selenium.webdriver.common.by import By
        self.browser.find_element(By.CSS_SELECTOR, f"button[aria-label='{action} job {job_id}']").click()

    def test_status_page(self):
        from selenium.webdriver.support.expected_conditions import alert_is_present
        from selenium.webdriver.support.wait import WebDriverWait

        self.put_job("stored", self.sample_file("stored.bin", 1000), state="paused")

        # The client prints the address, and hands it to xdg-open when a display is present.
        client = [f"{BIN_DIR}/vantrel-upload", "-p", self.locator, "ui"]
        quiet = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        address = subprocess.run(client, env=quiet, capture_output=True, text=True, check=True)
        self.assertEqual(address.stdout, f"http://127.0.0.1:{self.port}/ui\n")
        opener = f"{self.root}/bin"
        os.makedirs(opener)
        with open(opener + "/xdg-open", "w") as script:
            script.write(f'#!/bin/sh\nprintf %s "$1" > {self.root}/opened\n')
        os.chmod(opener + "/xdg-open", 0o755)
        subprocess.run(client, env=dict(quiet, DISPLAY=":9", PATH=opener + ":/usr/bin:/bin"),
                       capture_output=True, check=True)
        self.assertEqual(open(self.root + "/opened").read(), address.stdout.strip())

        self.browser.get(address.stdout.strip())
        wait_for(lambda: self.row("stored", ".state") == "paused", "the stored job's row")
        self.page("window.notReloaded = true")

        # A new job appears without a reload; its progress bar moves and a pause stops it.
        self.put_job("upload", self.sample_file("upload.bin", 3 << 20))
        first = wait_for(lambda: self.row("upload", "progress") or None, "progress of the upload")
        wait_for(lambda: self.row("upload", "progress") > first, "the progress bar to move")
        wait_for(lambda: "/s" in (self.row("upload", ".rate") or ""), "the upload's rate")
        os.makedirs(OUTPUT_DIR, exist_ok=True)
        self.browser.save_screenshot(OUTPUT_DIR + "/status-page.png")
        self.click("upload", "Pause")
        wait_for(lambda: api(self.port, "GET", "/jobs/upload")["state"] == "paused", "paused")
        wait_for(lambda: not any(a["id"] == "upload" for a in api(self.port, "GET", "/activity")),
                 "the upload to stop")
        wait_for(lambda: "upload: paused" in self.page(
            "return document.getElementById('announcer').textContent"), "the announcement")
        stopped = api(self.port, "GET", "/jobs/upload")["file_list"][0]["bytes_uploaded"]
        self.assertLess(stopped, 3 << 20)
        self.click("upload", "Resume")
        wait_for(lambda: self.row("upload", ".state") == "completed", "completed on the page")
        self.assertEqual(self.row("upload", "progress"), 100)
        self.assertEqual(api(self.port, "GET", "/jobs/upload")["state"], "completed")
        self.assertTrue(self.page("return window.notReloaded === true"))

        # Job text with markup shows literally and runs nothing. A path component cannot hold
        # white space, so the id's markup is plain tags; the error names the file's path.
        markup = "<img src=x onerror=document.title='pwned'>"
        fifo = f"{self.root}/files/{markup}"
        os.mkfifo(fifo)
        job_id = "<b>bold<i>id"
        self.put_job(job_id, fifo)
        wait_for(lambda: markup in (self.row(job_id, ".error") or ""), "the markup job's error")
        self.assertEqual(self.row(job_id, ".job-id"), job_id)
        self.assertEqual(self.page("return document.querySelectorAll('#jobs img, #jobs b, #jobs i')"
                                   ".length"), 0)
        self.assertEqual(self.browser.title, "Uploads")

        # Readable at 360 px: nothing wider than the window.
        self.browser.set_window_size(360, 900)
        wait_for(lambda: self.page("return window.innerWidth") <= 360, "a narrow window")
        self.assertLessEqual(self.page("return document.documentElement.scrollWidth"),
                             self.page("return window.innerWidth"))

        # Remove asks first.
        self.click("stored", "Remove")
        WebDriverWait(self.browser, DEADLINE).until(alert_is_present()).accept()
        wait_for(lambda: self.row("stored", ".state") is None, "the removed job's row to go")
        self.assertNotIn("stored", [job["id"] for job in api(self.port, "GET", "/jobs")])

        # The page ran under its policy without a violation.
        self.assertEqual([entry["message"] for entry in self.browser.get_log("browser")
                          if "Content Security Policy" in entry["message"]], [])

        # Under a foreign name the daemon serves nothing, not even the page.
        self.browser.get(f"http://evil.example:{self.port}/ui")
        self.assertEqual(self.page("return document.getElementById('jobs')"), None)
        self.assertNotIn("Uploads", self.browser.page_source)


if __name__ == "__main__":
    if not CHROMIUM or not DRIVER:
        print("skipped: chromium and chromium-driver are not installed (scripts/setup installs them)")
        sys.exit(77)
    try:
        import selenium  # noqa: F401
    except ImportError:
        print("python3-selenium is missing: scripts/setup installs it")
        sys.exit(1)
    result = unittest.main(argv=[sys.argv[0], "-v"], exit=False).result
    sys.exit(0 if result.wasSuccessful() else 1)
