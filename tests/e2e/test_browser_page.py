"""The example device page in headless Chromium, against a real webkvd, larkd
and the example backend: keys listed, fields saved, a script's answer shown,
a file uploaded, the backend page shown. A screenshot of the page is left
in $BUILD_DIR for people to look at."""

import json
import os
import shutil
import stat
import subprocess
import unittest

from support import proc
from support.cdp import Chromium
from support.webkvd_process import WAIT_S, Sandbox, Webkvd, free_port, wait_for_port

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = os.path.normpath(os.path.join(HERE, "..", "..", "examples"))
WEBROOT = os.path.join(EXAMPLES, "webroot") + "/"
SCREENSHOT = "browser-page.png"
# A script call may take the script's start, its curl and the reply.
CALL_S = 30.0
# A call that gets no answer is given up by the server after 25 s and
# answered at the first request a few seconds later.
UNANSWERED_S = 45.0
SILENT_SCRIPT = "#!/bin/sh\nexit 0\n"


class ClassScope:
    """Lets the fixtures that take a test register class-level cleanups."""

    def __init__(self, cls):
        self.addCleanup = cls.addClassCleanup


def js(value):
    return json.dumps(value)


class BrowserPage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        scope = ClassScope(cls)
        box = Sandbox()
        cls.addClassCleanup(box.cleanup)
        cls.box = box
        data = box.path("store.dat")
        shutil.copy(os.path.join(EXAMPLES, "demo-store.dat"), data)
        cls.store = proc.Larkd(scope, data_file=data).start()
        shutil.rmtree(box.scripts)
        shutil.copytree(os.path.join(EXAMPLES, "scripts"), box.scripts)

        backend_port = free_port()
        backend = subprocess.Popen([os.path.join(EXAMPLES, "backend", "run"), str(backend_port)],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        cls.addClassCleanup(lambda: (backend.kill(), backend.wait()))
        assert wait_for_port(backend_port), "the example backend did not start"

        port = free_port()
        env = dict(box.env, LARKD_SOCKET=cls.store.sock, WEBKVD_URL="http://127.0.0.1:%d" % port)
        server = Webkvd(["-p", "127.0.0.1:%d" % port, "-r", "127.0.0.1:%d" % backend_port, "-w", WEBROOT], env)
        cls.addClassCleanup(server.stop)
        assert wait_for_port(port), "webkvd did not start: %r" % server.stderr

        cls.browser = Chromium(scope)
        cls.page = cls.browser.page()
        cls.page.navigate("http://127.0.0.1:%d/index.html" % port)
        cls.page.wait_for("location.pathname === '/index.html' && document.readyState === 'complete'", WAIT_S)

    @classmethod
    def tearDownClass(cls):
        build_dir = os.environ.get("BUILD_DIR")
        if build_dir and os.path.isdir(build_dir):
            cls.page.screenshot(os.path.join(build_dir, SCREENSHOT))

    def rook_get(self, key):
        return proc.run_rook(["get", key], self.store.sock).stdout.decode()

    def status(self, element_id):
        return self.page.evaluate("document.getElementById(%s).textContent" % js(element_id))

    def wait_status(self, element_id, kind, timeout=CALL_S):
        """Waits for a final (ok or error) status line; returns its text."""
        self.page.wait_for("document.getElementById(%s).classList.contains(%s)" % (js(element_id), js(kind)),
                           timeout)
        return self.status(element_id)

    def fill(self, element_id, value):
        self.page.evaluate("document.getElementById(%s).value = %s" % (js(element_id), js(value)))

    def click(self, element_id):
        self.page.evaluate("document.getElementById(%s).click()" % js(element_id))

    def test_keys_of_every_prefix_are_listed_with_their_values(self):
        self.page.wait_for("!!document.querySelector('tr[data-key=\"wifi.ssid\"]')", WAIT_S)
        rows = self.page.evaluate(
            "Object.fromEntries([...document.querySelectorAll('tr[data-key]')]"
            ".map(r => [r.dataset.key, r.querySelector('input').value]))")
        self.assertEqual(rows["device.name"], "demo-device")
        self.assertEqual(rows["wifi.ssid"], "Guest network")
        self.assertEqual(rows["net.addr"], "192.168.1.50")
        self.assertIn("led.mode", rows)
        captions = self.page.evaluate("[...document.querySelectorAll('caption')].map(c => c.textContent)")
        self.assertEqual(captions, ["device.*", "net.*", "wifi.*", "led.*"])

    def test_edited_and_new_fields_reach_the_store(self):
        self.page.wait_for("!!document.querySelector('tr[data-key=\"led.brightness\"]')", WAIT_S)
        self.page.evaluate("document.querySelector('tr[data-key=\"led.brightness\"] input').value = '35'")
        self.page.evaluate("document.querySelector('tr[data-key=\"led.brightness\"] button').click()")
        self.assertEqual(self.wait_status("save-status", "ok"), "Saved led.brightness.")
        self.assertEqual(self.rook_get("led.brightness"), "35\n")

        self.fill("new-key", "device.owner")
        self.fill("new-value", "test bench two")
        self.click("new-key-save")
        self.assertEqual(self.wait_status("save-status", "ok"), "Saved device.owner.")
        self.assertEqual(self.rook_get("device.owner"), "test bench two\n")
        # The list is read again after a new key, so it shows up.
        self.page.wait_for("!!document.querySelector('tr[data-key=\"device.owner\"]')", WAIT_S)

        # A quote would break every later listing: the page refuses it.
        self.fill("new-key", "device.owner")
        self.fill("new-value", 'say "hi"')
        self.click("new-key-save")
        self.assertIn("cannot be stored", self.wait_status("save-status", "error"))
        self.assertEqual(self.rook_get("device.owner"), "test bench two\n")

    def test_script_answer_is_shown_and_a_missing_script_is_explained(self):
        script = os.path.join(self.box.scripts, "hello")
        os.chmod(script, stat.S_IRUSR | stat.S_IWUSR)
        self.click("script-run")
        message = self.wait_status("script-status", "error")
        os.chmod(script, stat.S_IRWXU)
        self.assertEqual(message, "The script does not exist on the device or may not be run.")

        self.fill("script-name", "chromium")
        self.fill("script-delay", "0")
        self.click("script-run")
        self.assertEqual(self.wait_status("script-status", "ok"), "The script answered.")
        result = self.page.evaluate("document.getElementById('script-result').textContent")
        self.assertTrue(result.startswith("hello chromium: 2 parameter(s)"), result)

    def test_call_that_never_answers_ends_in_the_time_out_message(self):
        script = os.path.join(self.box.scripts, "hello")
        os.rename(script, script + ".real")
        self.addCleanup(os.replace, script + ".real", script)
        with open(script, "w") as f:
            f.write(SILENT_SCRIPT)
        os.chmod(script, stat.S_IRWXU)
        self.click("script-run")
        message = self.wait_status("script-status", "error", UNANSWERED_S)
        self.assertEqual(message, "The script gave no answer within 25 seconds (or its parameters were too long).")

    def test_upload_is_stored_and_linked(self):
        content = bytes(range(256)) * 1024 + b"end of file\n"
        source = os.path.join(self.box.dir, "report 1.bin")
        with open(source, "wb") as f:
            f.write(content)
        self.page.set_files("#upload-file", [source])
        self.click("upload-button")
        self.assertEqual(self.wait_status("upload-status", "ok"), "Stored %d bytes." % len(content))
        self.assertEqual(self.page.evaluate("document.getElementById('upload-progress').value"), 100)
        # The name is made safe for a file name before it is sent.
        href = self.page.evaluate("document.getElementById('uploaded-file').getAttribute('href')")
        self.assertEqual(href, "/_temp/report_1.bin")
        with open(os.path.join(self.box.upload, "report_1.bin"), "rb") as f:
            self.assertEqual(f.read(), content)
        served = self.page.evaluate(
            "fetch(%s).then(r => r.arrayBuffer()).then(b => b.byteLength)" % js(href), await_promise=True)
        self.assertEqual(served, len(content))

    def test_backend_page_is_shown_through_the_proxy(self):
        self.assertEqual(self.wait_status("backend-status", "ok"), "Served by the backend through webkvd.")
        text = self.page.wait_for(
            "(() => { const d = document.getElementById('backend-frame').contentDocument;"
            " const p = d && d.getElementById('backend-says'); return p && p.textContent; })()", WAIT_S)
        self.assertIn("Backend is up.", text)


if __name__ == "__main__":
    unittest.main()
