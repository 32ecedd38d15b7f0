#!/usr/bin/python3
"""The web page in a real browser (headless Chromium through Selenium),
against the real service and the emulator at 9600 baud:

- an output clicked shows "switching..." and turns green only once the
  emulated relay is on;
- an input changed on the module shows without a reload;
- a rename shows and is in the name file;
- the broken-stream notice appears when the service stops and goes when it
  is back.

    test_page.py ORVALINCTL ORVALIN_SIM [SCREENSHOT_DIR]

Screenshots at 390x844 and 1280x800 go to SCREENSHOT_DIR when given.
Exit 0 on success; 77 (skipped) without Chromium or Selenium.
"""
import os, socket, subprocess, sys, tempfile, time

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.options import Options
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
except ImportError:
    print("skipped: python3-selenium is not installed")
    sys.exit(77)
if not os.path.exists("/usr/bin/chromium") or not os.path.exists("/usr/bin/chromedriver"):
    print("skipped: chromium or chromium-driver is not installed")
    sys.exit(77)

orvalinctl, simulator = sys.argv[1], sys.argv[2]
shots = sys.argv[3] if len(sys.argv) > 3 else None


def wait(what, condition, seconds=10):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.02)
    raise AssertionError(f"timed out waiting for {what}")


class Emulator:
    def __init__(self, folder):
        self.link = os.path.join(folder, "COM1")
        self.process = subprocess.Popen(
            [simulator, "--link", self.link, "--address", "1,7", "--baud", "9600"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        wait("the emulator", lambda: self.process.stdout.readline().startswith("ready"))

    def command(self, line):
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()
        return self.process.stdout.readline().strip()

    def outputs(self, address):
        # "outputs 04 inputs 00 frames ..."
        return int(self.command(f"status @{address}").split()[1], 16)

    def stop(self):
        self.process.kill()
        self.process.wait()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_service(config):
    return subprocess.Popen([orvalinctl, "serve", "--config", config], stderr=subprocess.DEVNULL)


def main():
    folder = tempfile.mkdtemp(prefix="orvalin-page-")
    emulator = Emulator(folder)
    names = os.path.join(folder, "name.txt")
    with open(names, "wb") as f:
        f.write("[地址码7]\r\n第1路输出名称=Pump 泵\r\n".encode("gb18030"))
    port = free_port()
    config = os.path.join(folder, "orvalin.conf")
    with open(config, "w") as f:
        f.write(f"[line]\nport = {emulator.link}\nmodules = 1,7\nreply_timeout = 150\n"
                f"[names]\nfile = {names}\n[http]\nlisten = 127.0.0.1:{port}\n")
    service = start_service(config)
    options = Options()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--lang=en-US"):
        options.add_argument(argument)
    options.add_experimental_option("prefs", {"intl.accept_languages": "en-US"})
    browser = webdriver.Chrome(options=options)
    try:
        browser.set_window_size(1280, 800)
        url = f"http://127.0.0.1:{port}/"
        wait("the service", lambda: socket.create_connection(("127.0.0.1", port), 0.2) and True)
        browser.get(url)
        selector = 'button.out[data-address="7"][data-output="3"]'
        # Read in one go: the page redraws its buttons on every change.
        look = lambda what: browser.execute_script(
            f"const b = document.querySelector('{selector}'); return b && b.{what};")
        classes = lambda: (look("className") or "").split()
        wait("module 7 on the page", lambda: browser.find_elements(By.CSS_SELECTOR, selector))
        assert "off" in classes(), classes()
        assert "Pump 泵" in browser.page_source

        # Green only once a reply shows the relay on: replies held back
        # 120 ms leave the page saying "switching" meanwhile.
        assert emulator.command("delay 120") == "ok"
        browser.find_element(By.CSS_SELECTOR, selector).click()
        assert "switching" in look("textContent"), look("textContent")
        assert "busy" in classes()
        wait("the output shown on", lambda: "on" in classes())
        assert emulator.outputs(7) & 0x04, "the page showed on before the module was"
        assert look("getAttribute('aria-pressed')") == "true"
        assert emulator.command("delay 0") == "ok"

        assert emulator.command("in 5 on @7") == "ok"
        module_7 = lambda: browser.execute_script(
            "return [...document.querySelectorAll('section')]"
            ".find(s => s.querySelector('h2').textContent.startsWith('Module 7')).innerText;")
        wait("input 5 on the page", lambda: "Input 5: on" in module_7())

        # A change while typing a name does not lose it.
        browser.execute_script(
            "document.querySelectorAll('button[aria-label=\"Rename Output 2\"]')[1].click();")
        browser.find_element(By.CSS_SELECTOR, "input.editing").send_keys("Hea")
        assert emulator.command("in 6 on @7") == "ok"
        wait("input 6 on the page", lambda: "Input 6: on" in module_7())
        browser.find_element(By.CSS_SELECTOR, "input.editing").send_keys("ter", Keys.ENTER)
        wait("the new name", lambda: "Heater" in browser.page_source)
        with open(names, "rb") as f:
            assert "第2路输出名称=Heater" in f.read().decode("gb18030")

        if shots:
            browser.save_screenshot(os.path.join(shots, "page-1280x800.png"))
            browser.set_window_size(390, 844)
            browser.save_screenshot(os.path.join(shots, "page-390x844.png"))

        notice = lambda: browser.find_element(By.ID, "link")
        service.terminate()
        service.wait(5)
        wait("the broken-stream notice", lambda: notice().is_displayed())
        assert "reconnecting" in notice().text, notice().text
        service = start_service(config)
        wait("the notice gone", lambda: not notice().is_displayed(), 20)
        print("ok")
    finally:
        browser.quit()
        service.terminate()
        service.wait(5)
        emulator.stop()


main()
