#!/usr/bin/env python3
"""The hub's web console in a real headless browser.

Starts satemu, the real torvex-hub (console on) and Debian's chromium through
chromedriver (WebDriver over HTTP on loopback), then checks what a support
person sees: the device's serial number and state, a till's call in the list
within 2 s, two tills waiting while the device holds a slow command, the logs,
an operator without action buttons (and refused by the endpoint), a wrong
password refused. Saves a screenshot of each page into --out.

Prints "SKIP: ..." and exits 0 when chromium or chromedriver is missing.
"""
import argparse
import base64
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.parse
import urllib.request

ADMIN = "senha-do-admin-1"
OPERATOR = "senha-do-operador"
SERIAL = "900004019"


def wait_until(what, fn, timeout):
    """Polls fn until it returns a true value; fails naming `what`."""
    end = time.monotonic() + timeout
    last = None
    while time.monotonic() < end:
        try:
            value = fn()
            if value:
                return value
        except Exception as e:  # the page may be between renders
            last = e
        time.sleep(0.05)
    raise AssertionError("timed out after %.1f s waiting for %s (%s)" % (timeout, what, last))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def http(method, url, body=None, headers=None, timeout=60):
    data = None if body is None else body.encode()
    req = urllib.request.Request(url, data=data, method=method, headers=headers or {})
    try:
        with urllib.request.urlopen(req, timeout=timeout) as r:
            return r.status, r.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, e.read().decode()


class WebDriver:
    def __init__(self, port):
        self.base = "http://127.0.0.1:%d" % port
        self.session = None

    def cmd(self, method, path, payload=None):
        url = self.base + ("/session/%s" % self.session if self.session else "") + path
        status, body = http(method, url, None if payload is None else json.dumps(payload),
                            {"Content-Type": "application/json"}, timeout=120)
        value = json.loads(body).get("value") if body else None
        if status != 200:
            raise RuntimeError("WebDriver %s %s: %s %s" % (method, path, status, body[:500]))
        return value

    def start(self, chromium, profile):
        args = ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--user-data-dir=" + profile, "--window-size=1100,900", "--lang=pt-BR",
                "--no-first-run", "--disable-extensions", "--disable-background-networking"]
        caps = {"capabilities": {"alwaysMatch": {
            "browserName": "chrome", "goog:chromeOptions": {"binary": chromium, "args": args}}}}
        value = self.cmd("POST", "/session", caps)
        self.session = value["sessionId"]

    def quit(self):
        if self.session:
            try:
                self.cmd("DELETE", "")
            finally:
                self.session = None

    def go(self, url):
        self.cmd("POST", "/url", {"url": url})

    def js(self, script, *args):
        return self.cmd("POST", "/execute/sync", {"script": script, "args": list(args)})

    def js_async(self, script, *args):
        return self.cmd("POST", "/execute/async", {"script": script, "args": list(args)})

    def find(self, css):
        found = self.cmd("POST", "/elements", {"using": "css selector", "value": css})
        return [list(e.values())[0] for e in found]

    def one(self, css):
        found = self.find(css)
        if not found:
            raise AssertionError("no element " + css)
        return found[0]

    def text(self, css):
        return self.cmd("GET", "/element/%s/text" % self.one(css))

    def visible(self, css):
        found = self.find(css)
        return bool(found) and self.cmd("GET", "/element/%s/displayed" % found[0])

    def click(self, css):
        self.cmd("POST", "/element/%s/click" % self.one(css), {})

    def type(self, css, text):
        e = self.one(css)
        self.cmd("POST", "/element/%s/clear" % e, {})
        self.cmd("POST", "/element/%s/value" % e, {"text": text})

    def screenshot(self, path):
        with open(path, "wb") as f:
            f.write(base64.b64decode(self.cmd("GET", "/screenshot")))
        print("screenshot:", path)

    def size(self, width, height):
        self.cmd("POST", "/window/rect", {"width": width, "height": height})


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--hub", required=True)
    ap.add_argument("--satemu", required=True)
    ap.add_argument("--out", required=True)
    a = ap.parse_args()
    chromium = shutil.which("chromium")
    driver = shutil.which("chromedriver")
    if not chromium or not driver:
        print("SKIP: chromium or chromedriver is not installed (tools/setup.sh browser)")
        return 0
    os.makedirs(a.out, exist_ok=True)
    tmp = tempfile.mkdtemp(prefix="hub-console-browser-")
    procs = []
    wd = None
    try:
        ports = os.path.join(tmp, "ports")
        control = os.path.join(tmp, "control")
        log = open(os.path.join(tmp, "children.log"), "w")
        procs.append(subprocess.Popen(
            [a.satemu, "--link", os.path.join(ports, "COM7"), "--state", os.path.join(tmp, "emu"),
             "--activated", "--seed", "7", "--control", control], stdout=log, stderr=log))
        wait_until("satemu's port", lambda: os.path.islink(os.path.join(ports, "COM7")), 30)
        env = dict(os.environ, TORVEX_PORT_DIR=ports)
        for k in ("TORVEX_HUB", "TORVEX_TILL", "TORVEX_HUB_TOKEN"):
            env.pop(k, None)
        hub = subprocess.Popen(
            [a.hub, "--listen", "127.0.0.1:0", "--activation-code", "12345678",
             "--state", os.path.join(tmp, "hub.state"), "--access-log", os.path.join(tmp, "access.log"),
             "--console-admin", ADMIN, "--console-operator", OPERATOR],
            env=env, stdout=log, stderr=subprocess.PIPE, text=True)
        procs.append(hub)
        line = hub.stderr.readline()
        if "listening on" not in line:
            raise AssertionError("hub did not start: " + line)
        port = int(line.strip().rsplit(":", 1)[1])
        base = "http://127.0.0.1:%d" % port
        console = base + "/hub/console/"
        dport = free_port()
        procs.append(subprocess.Popen([driver, "--port=%d" % dport, "--allowed-ips=127.0.0.1"],
                                      stdout=log, stderr=log))
        wd = WebDriver(dport)
        wait_until("chromedriver",
                   lambda: json.loads(http("GET", wd.base + "/status", timeout=5)[1])["value"]["ready"], 60)
        wd.start(chromium, os.path.join(tmp, "profile"))

        def call(till, function="consultarsat"):
            return http("POST", base + "/hub/v1/" + function, "numero_caixa=%d" % till,
                        {"Content-Type": "application/x-www-form-urlencoded"})

        def login(password, name):
            wait_until("the login form", lambda: wd.visible("#senha"), 30)
            wd.type("#usuario", name)
            wd.type("#senha", password)
            wd.click("#form-entrada button[type=submit]")

        # A wrong password is refused and nothing else is shown.
        wd.go(console)
        login(ADMIN + "x", "Teste")
        wait_until("the refusal", lambda: "Senha incorreta" in wd.text("#erro-entrada"), 30)
        assert not wd.visible("#app"), "the console showed behind a wrong password"
        wd.screenshot(os.path.join(a.out, "entrada-recusada.png"))

        # The administrator: the device's status, serial number and state.
        login(ADMIN, "Suporte")
        wait_until("the serial number", lambda: wd.text("#campo-nserie") == SERIAL, 60)
        state = wd.text("#campo-estado_operacao_texto")
        assert state == "Desbloqueado", state
        assert len(wd.find("button[data-acao]")) == 4, "the administrator has the action buttons"
        wd.screenshot(os.path.join(a.out, "status.png"))
        wd.size(390, 844)
        wd.screenshot(os.path.join(a.out, "status-celular.png"))
        wide = wd.js("return document.documentElement.scrollWidth;")
        assert wide <= 400, "the status page is wider than a phone: %s px" % wide
        wd.size(1100, 900)

        # A till's call appears in the list within 2 s of its reply.
        wd.click("button[data-aba=chamadas]")
        wait_until("the call list", lambda: wd.visible("#tabela-chamadas"), 10)
        status, body = call(4)
        assert status == 200, body
        t0 = time.monotonic()
        wait_until("till 4's call in the list", lambda: wd.find("#tabela-chamadas tr[data-caixa='4']"), 2.0)
        print("till 4's call listed after %.2f s" % (time.monotonic() - t0))
        row = wd.text("#tabela-chamadas tr[data-caixa='4']")
        assert "ConsultarSAT" in row and "08000" in row, row
        wd.screenshot(os.path.join(a.out, "chamadas.png"))

        # The queue: till 1's command held by the device, tills 2 and 3 waiting.
        # The held command is ExtrairLogs (a 20 s limit): ConsultarSAT's own
        # 2 s limit would end the hold before a busy machine shows the queue.
        wd.click("button[data-aba=caixas]")
        with open(control + ".tmp", "w") as f:
            f.write("delay:12000@ExtrairLogs\n")
        os.rename(control + ".tmp", control)
        results = {}
        functions = {1: "extrairlogs", 2: "consultarsat", 3: "consultarsat"}
        threads = [threading.Thread(target=lambda t=t: results.__setitem__(t, call(t, functions[t])))
                   for t in (1, 2, 3)]
        threads[0].start()
        wait_until("till 1 on the device", lambda: "caixa 1," in wd.text("#fila-execucao"), 10)
        threads[1].start()
        threads[2].start()
        wait_until("two tills waiting", lambda: len(wd.find("#fila-esperando li")) == 2, 10)
        waiting = sorted(wd.js("return Array.from(document.querySelectorAll('#fila-esperando li'))"
                               ".map(function (li) { return li.dataset.caixa; });"))
        assert waiting == ["2", "3"], waiting
        wd.screenshot(os.path.join(a.out, "fila.png"))
        for t in threads:
            t.join(60)
        assert all(results[t][0] == 200 for t in (1, 2, 3)), results

        # The logs, searchable.
        wd.click("button[data-aba=logs]")
        wd.click("#extrair-logs")
        wait_until("the device's log", lambda: "|SAT|" in wd.text("#linhas-logs"), 60)
        wd.type("#busca-logs", "INFO")
        wd.screenshot(os.path.join(a.out, "logs.png"))
        wd.click("button[data-aba=acoes]")
        wd.screenshot(os.path.join(a.out, "acoes.png"))

        # An operator: no action buttons, and the endpoint refuses anyway.
        wd.click("#sair")
        login(OPERATOR, "Caixa")
        wait_until("the operator's status", lambda: wd.text("#campo-nserie") == SERIAL, 60)
        assert not wd.find("button[data-acao]"), "an operator sees action buttons"
        assert not wd.find("#aba-acoes"), "an operator sees the actions tab"
        refused = wd.js_async(
            "var done = arguments[arguments.length - 1];"
            "fetch('api/acao/bloquear', {method: 'POST', credentials: 'same-origin',"
            " headers: {'Content-Type': 'application/x-www-form-urlencoded'}, body: 'confirmar=sim'})"
            ".then(function (r) { done(r.status); }, function (e) { done(String(e)); });")
        assert refused == 403, refused
        wd.screenshot(os.path.join(a.out, "operador.png"))
        print("console browser test: all checks passed")
        return 0
    finally:
        if wd:
            try:
                wd.quit()
            except Exception as e:
                print("closing the browser:", e)
        for p in reversed(procs):
            p.terminate()
            try:
                p.wait(20)
            except subprocess.TimeoutExpired:
                p.kill()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
