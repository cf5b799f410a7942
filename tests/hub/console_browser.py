#!/usr/bin/env python3
"""The hub's web console in a real headless browser.

Starts satemu, the real torvex-hub (console on) and a headless browser:
Debian's chromium through chromedriver (WebDriver over HTTP) or firefox-esr
through its own Marionette protocol (--browser), both on loopback. One
scenario for both checks what a support person sees: the device's serial
number and state, a till's call in the list within 2 s, two tills waiting
while the device holds a slow command, the logs, the whole console worked
with the keyboard alone (visible focus, the confirmation dialog cancelled
with Escape), an operator without action buttons (and refused by the
endpoint), a wrong password refused. Saves a screenshot of each page into
--out.

Prints "SKIP: ..." and exits 77 when the browser (or its driver) is missing.
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
SKIP = 77  # ctest SKIP_RETURN_CODE: the browser is not installed


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


# Keys of the WebDriver actions (the same code points in both protocols).
KEYS = {"tab": "\ue004", "enter": "\ue007", "shift": "\ue008", "escape": "\ue00c", "space": "\ue00d",
        "down": "\ue015", "backspace": "\ue003"}


class Browser:
    """What the scenario needs from a browser, on top of a few protocol
    commands that each back-end implements (cmd_*)."""

    def find(self, css):
        return self.cmd_find(css)

    def one(self, css):
        found = self.find(css)
        if not found:
            raise AssertionError("no element " + css)
        return found[0]

    def text(self, css):
        return self.cmd_text(self.one(css))

    def visible(self, css):
        found = self.find(css)
        return bool(found) and self.cmd_displayed(found[0])

    def click(self, css):
        self.cmd_click(self.one(css))

    def type(self, css, text):
        e = self.one(css)
        self.cmd_clear(e)
        self.cmd_send_keys(e, text)

    def screenshot(self, path):
        with open(path, "wb") as f:
            f.write(base64.b64decode(self.cmd_screenshot()))
        print("screenshot:", path)

    def press(self, *keys):
        """Presses keys one after the other, as a person on the keyboard:
        names from KEYS ("shift+tab" holds Shift) or literal text."""
        actions = []
        for k in keys:
            if k.lower() in KEYS or k.lower() == "shift+tab":
                names = k.lower().split("+")
                codes = [KEYS[n] for n in names]
            else:
                codes = None
            if codes:
                actions += [{"type": "keyDown", "value": c} for c in codes]
                actions += [{"type": "keyUp", "value": c} for c in reversed(codes)]
            else:
                for ch in k:
                    actions += [{"type": "keyDown", "value": ch}, {"type": "keyUp", "value": ch}]
        self.cmd_actions([{"type": "key", "id": "teclado", "actions": actions}])


class ChromiumWebDriver(Browser):
    """Debian's chromium through chromedriver (W3C WebDriver over HTTP)."""
    name = "chromium"

    def __init__(self):
        self.base = None
        self.session = None

    @staticmethod
    def missing():
        if not shutil.which("chromium") or not shutil.which("chromedriver"):
            return "chromium or chromedriver is not installed (tools/setup.sh browser)"
        return None

    def cmd(self, method, path, payload=None):
        url = self.base + ("/session/%s" % self.session if self.session else "") + path
        status, body = http(method, url, None if payload is None else json.dumps(payload),
                            {"Content-Type": "application/json"}, timeout=120)
        value = json.loads(body).get("value") if body else None
        if status != 200:
            raise RuntimeError("WebDriver %s %s: %s %s" % (method, path, status, body[:500]))
        return value

    def start(self, tmp, log, procs):
        port = free_port()
        procs.append(subprocess.Popen([shutil.which("chromedriver"), "--port=%d" % port,
                                       "--allowed-ips=127.0.0.1"], stdout=log, stderr=log))
        self.base = "http://127.0.0.1:%d" % port
        wait_until("chromedriver",
                   lambda: json.loads(http("GET", self.base + "/status", timeout=5)[1])["value"]["ready"], 60)
        args = ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--user-data-dir=" + os.path.join(tmp, "profile"), "--window-size=1100,900", "--lang=pt-BR",
                "--no-first-run", "--disable-extensions", "--disable-background-networking"]
        caps = {"capabilities": {"alwaysMatch": {
            "browserName": "chrome",
            "goog:chromeOptions": {"binary": shutil.which("chromium"), "args": args}}}}
        self.session = self.cmd("POST", "/session", caps)["sessionId"]

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

    def cmd_find(self, css):
        found = self.cmd("POST", "/elements", {"using": "css selector", "value": css})
        return [list(e.values())[0] for e in found]

    def cmd_text(self, e):
        return self.cmd("GET", "/element/%s/text" % e)

    def cmd_displayed(self, e):
        return self.cmd("GET", "/element/%s/displayed" % e)

    def cmd_click(self, e):
        self.cmd("POST", "/element/%s/click" % e, {})

    def cmd_clear(self, e):
        self.cmd("POST", "/element/%s/clear" % e, {})

    def cmd_send_keys(self, e, text):
        self.cmd("POST", "/element/%s/value" % e, {"text": text})

    def cmd_screenshot(self):
        return self.cmd("GET", "/screenshot")

    def cmd_actions(self, actions):
        self.cmd("POST", "/actions", {"actions": actions})

    def size(self, width, height):
        self.cmd("POST", "/window/rect", {"width": width, "height": height})


# Firefox's preferences for a test profile: no first-run pages, and no
# connection anywhere but loopback (updates, telemetry, remote settings,
# safe browsing, captive-portal and connectivity checks off; any other
# request goes to a proxy on a closed loopback port and never directly).
FIREFOX_PREFS = {
    "marionette.port": 0,
    "browser.shell.checkDefaultBrowser": False,
    "browser.startup.page": 0,
    "browser.startup.homepage_override.mstone": "ignore",
    "startup.homepage_welcome_url": "",
    "startup.homepage_welcome_url.additional": "",
    "browser.aboutwelcome.enabled": False,
    "browser.newtabpage.enabled": False,
    "browser.tabs.warnOnClose": False,
    "intl.accept_languages": "pt-BR",
    "app.update.disabledForTesting": True,
    "app.update.auto": False,
    "app.normandy.enabled": False,
    "app.normandy.api_url": "",
    "app.shield.optoutstudies.enabled": False,
    "messaging-system.rsexperimentloader.enabled": False,
    "services.settings.server": "http://127.0.0.1:9/v1",
    "datareporting.policy.dataSubmissionEnabled": False,
    "datareporting.healthreport.uploadEnabled": False,
    "toolkit.telemetry.enabled": False,
    "toolkit.telemetry.unified": False,
    "toolkit.telemetry.server": "http://127.0.0.1:9/",
    "browser.ping-centre.telemetry": False,
    "browser.newtabpage.activity-stream.telemetry": False,
    "browser.newtabpage.activity-stream.feeds.telemetry": False,
    "browser.safebrowsing.malware.enabled": False,
    "browser.safebrowsing.phishing.enabled": False,
    "browser.safebrowsing.downloads.enabled": False,
    "browser.safebrowsing.blockedURIs.enabled": False,
    "browser.safebrowsing.update.enabled": False,
    "browser.search.update": False,
    "browser.region.network.url": "",
    "browser.region.update.enabled": False,
    "browser.topsites.contile.enabled": False,
    "extensions.update.enabled": False,
    "extensions.blocklist.enabled": False,
    "extensions.getAddons.cache.enabled": False,
    "extensions.systemAddon.update.enabled": False,
    "geo.provider.network.url": "",
    "identity.fxaccounts.enabled": False,
    "media.gmp-manager.url": "http://127.0.0.1:9/",
    "dom.push.connection.enabled": False,
    "network.captive-portal-service.enabled": False,
    "network.connectivity-service.enabled": False,
    "network.dns.disablePrefetch": True,
    "network.http.speculative-parallel-limit": 0,
    "network.prefetch-next": False,
    "network.trr.mode": 5,
    "network.proxy.type": 1,
    "network.proxy.http": "127.0.0.1",
    "network.proxy.http_port": 9,
    "network.proxy.ssl": "127.0.0.1",
    "network.proxy.ssl_port": 9,
    "network.proxy.failover_direct": False,
    "network.proxy.allow_hijacking_localhost": False,
    "network.proxy.no_proxies_on": "127.0.0.1,localhost,::1",
}


class FirefoxMarionette(Browser):
    """Debian's firefox-esr through its own remote protocol (Marionette):
    TCP on loopback, each message `LENGTH:JSON`; a command is
    [0, id, name, parameters], its answer [1, id, error, result]."""
    name = "firefox"
    ELEMENT = "element-6066-11e4-a52e-4f735466cecf"

    def __init__(self):
        self.sock = None
        self.reader = None
        self.next_id = 0
        self.proc = None

    @staticmethod
    def missing():
        if not shutil.which("firefox-esr"):
            return "firefox-esr is not installed (tools/setup.sh browser)"
        return None

    def _read(self):
        size = b""
        while True:
            c = self.reader.read(1)
            if not c:
                raise RuntimeError("Firefox closed the Marionette connection")
            if c == b":":
                break
            size += c
            if len(size) > 12:
                raise RuntimeError("not a Marionette message: " + repr(size))
        return json.loads(self.reader.read(int(size)).decode())

    def cmd(self, name, params=None):
        self.next_id += 1
        data = json.dumps([0, self.next_id, name, params or {}]).encode()
        self.sock.sendall(str(len(data)).encode() + b":" + data)
        while True:
            reply = self._read()
            if isinstance(reply, list) and len(reply) == 4 and reply[0] == 1 and reply[1] == self.next_id:
                break
        if reply[2]:
            raise RuntimeError("Marionette %s: %s %s" % (name, reply[2].get("error"),
                                                          reply[2].get("message", "")[:500]))
        result = reply[3]
        # Most commands answer {"value": ...}; a few answer the value itself.
        if isinstance(result, dict) and set(result) == {"value"}:
            return result["value"]
        return result

    def start(self, tmp, log, procs):
        profile = os.path.join(tmp, "firefox-profile")
        os.makedirs(profile)
        with open(os.path.join(profile, "user.js"), "w") as f:
            for k, v in FIREFOX_PREFS.items():
                f.write("user_pref(%s, %s);\n" % (json.dumps(k), json.dumps(v)))
        env = dict(os.environ, MOZ_DISABLE_NONLOCAL_CONNECTIONS="1", MOZ_HEADLESS="1")
        self.proc = subprocess.Popen(
            [shutil.which("firefox-esr"), "--headless", "--marionette", "--no-remote",
             "--profile", profile, "--window-size=1100,900", "about:blank"],
            env=env, stdout=log, stderr=log)
        procs.append(self.proc)
        # marionette.port 0: Firefox picks a free port and writes it here.
        port_file = os.path.join(profile, "MarionetteActivePort")

        def port():
            if self.proc.poll() is not None:
                raise AssertionError("firefox-esr ended with status %s" % self.proc.returncode)
            with open(port_file) as f:
                return int(f.read().strip() or 0)
        number = wait_until("Firefox's Marionette port", port, 90)
        self.sock = wait_until("a connection to Marionette",
                               lambda: socket.create_connection(("127.0.0.1", number), timeout=120), 30)
        self.reader = self.sock.makefile("rb")
        hello = self._read()
        if hello.get("marionetteProtocol") != 3:
            raise AssertionError("unexpected Marionette greeting: %s" % hello)
        self.cmd("WebDriver:NewSession", {"capabilities": {"alwaysMatch": {"pageLoadStrategy": "normal"}}})
        self.size(1100, 900)

    def quit(self):
        if self.sock:
            try:
                self.cmd("Marionette:Quit", {})
                self.proc.wait(30)
            finally:
                self.sock.close()
                self.sock = None

    def go(self, url):
        self.cmd("WebDriver:Navigate", {"url": url})

    def js(self, script, *args):
        return self.cmd("WebDriver:ExecuteScript", {"script": script, "args": list(args)})

    def js_async(self, script, *args):
        return self.cmd("WebDriver:ExecuteAsyncScript", {"script": script, "args": list(args)})

    def cmd_find(self, css):
        found = self.cmd("WebDriver:FindElements", {"using": "css selector", "value": css})
        return [e[self.ELEMENT] for e in found]

    def cmd_text(self, e):
        return self.cmd("WebDriver:GetElementText", {"id": e})

    def cmd_displayed(self, e):
        return self.cmd("WebDriver:IsElementDisplayed", {"id": e})

    def cmd_click(self, e):
        self.cmd("WebDriver:ElementClick", {"id": e})

    def cmd_clear(self, e):
        self.cmd("WebDriver:ElementClear", {"id": e})

    def cmd_send_keys(self, e, text):
        self.cmd("WebDriver:ElementSendKeys", {"id": e, "text": text})

    def cmd_screenshot(self):
        return self.cmd("WebDriver:TakeScreenshot", {})

    def cmd_actions(self, actions):
        self.cmd("WebDriver:PerformActions", {"actions": actions})
        self.cmd("WebDriver:ReleaseActions", {})

    def size(self, width, height):
        self.cmd("WebDriver:SetWindowRect", {"width": width, "height": height})


BROWSERS = {"chromium": ChromiumWebDriver, "firefox": FirefoxMarionette}


# Where the keyboard focus is, and whether a person can see it: the focused
# element matches :focus-visible and draws an outline at least 2 px wide.
FOCUS_JS = """
var e = document.activeElement;
var st = e ? getComputedStyle(e) : null;
return {id: e && e.id || '', tag: e ? e.tagName.toLowerCase() : '',
        aba: e && e.dataset ? e.dataset.aba || '' : '', acao: e && e.dataset ? e.dataset.acao || '' : '',
        text: e ? (e.textContent || '').trim().slice(0, 40) : '',
        visivel: !!e && e.matches(':focus-visible') && st.outlineStyle !== 'none' &&
                 parseFloat(st.outlineWidth) >= 2};
"""


def keyboard(wd, out, access_log):
    """Logs in and works the console as a person without a mouse: the page
    tabs, the call list's filter, an administrator action whose confirmation
    is first cancelled with Escape and then confirmed, and Sair."""

    def focus():
        return wd.js(FOCUS_JS)

    def at(what, **want):
        f = focus()
        for k, v in want.items():
            assert f[k] == v, "keyboard: after %s the focus is on %s, not %s=%s" % (what, f, k, v)
        assert f["visivel"], "keyboard: after %s the focus on %s is not visible" % (what, f)
        return f

    def key(k, **want):
        wd.press(k)
        return at(k, **want)

    wait_until("the login form", lambda: wd.visible("#senha"), 30)
    at("the login form", id="senha")
    key("shift+tab", id="usuario")
    wd.press("Teclado")
    key("tab", id="senha")
    wd.press(ADMIN, "enter")
    wait_until("the console after a keyboard login", lambda: wd.visible("#app"), 30)
    # The form is gone: the focus goes on from the page tabs, not from the top.
    wait_until("the focus on the Status tab", lambda: focus()["aba"] == "status", 10)
    at("logging in", aba="status")
    key("tab", aba="caixas")
    key("tab", aba="chamadas")
    key("tab", aba="logs")
    key("tab", aba="acoes")
    # A button that waits for the device keeps the focus while it waits.
    key("tab", id="atualizar-status")
    wait_until("the first status", lambda: "Tomado em" in wd.text("#status-quando"), 60)
    wd.js("document.getElementById('status-quando').textContent = '';")
    wd.press("enter")
    wait_until("the status refreshed", lambda: "Tomado em" in wd.text("#status-quando"), 60)
    at("refreshing the status", id="atualizar-status")
    key("shift+tab", aba="acoes")
    key("shift+tab", aba="logs")
    key("shift+tab", aba="chamadas")
    key("enter", aba="chamadas")
    wait_until("the calls page", lambda: wd.visible("#tabela-chamadas"), 10)
    assert wd.js("return document.querySelector('.aba[aria-current=page]').dataset.aba;") == "chamadas"
    key("tab", aba="logs")
    key("tab", aba="acoes")
    # The filter: a till number and Enter, then a function chosen with the arrow key.
    key("tab", id="filtro-caixa")
    wd.press("4", "enter")
    rows = lambda: wd.js("return Array.from(document.querySelectorAll('#tabela-chamadas tbody tr'))"
                         ".map(function (r) { return r.dataset.caixa + ' ' + r.dataset.funcao; });")
    wait_until("only till 4's calls", lambda: rows() and all(r.startswith("4 ") for r in rows()), 10)
    key("tab", id="filtro-funcao")
    chosen = lambda: wd.js("return document.getElementById('filtro-funcao').value;")
    for _ in range(30):
        if chosen() == "ConsultarSAT":
            break
        key("down", id="filtro-funcao")
    assert chosen() == "ConsultarSAT", chosen()
    wait_until("till 4's ConsultarSAT alone", lambda: rows() == ["4 ConsultarSAT"], 10)
    wd.screenshot(os.path.join(out, "teclado-filtro.png"))
    key("shift+tab", id="filtro-caixa")
    # A filter that matches nothing says so, and the list comes back with the old filter.
    # (Tab selects the field's text, so what is typed replaces it.)
    till = lambda: wd.js("return document.getElementById('filtro-caixa').value;")
    wd.press("9")
    wait_until("the empty list's text",
               lambda: wd.text("#tabela-chamadas tbody") == "Nenhuma chamada com este filtro.", 10)
    for _ in range(4):
        if till() == "":
            break
        wd.press("backspace")
    wd.press("4")
    assert till() == "4", till()
    wait_until("till 4's ConsultarSAT again", lambda: rows() == ["4 ConsultarSAT"], 10)
    key("shift+tab", aba="acoes")
    key("space", aba="acoes")
    wait_until("the actions page", lambda: wd.visible("#acoes"), 10)
    key("tab", acao="bloquear")

    # The confirmation opens on Cancelar; Escape closes it and nothing is done.
    key("enter", id="confirmacao-cancelar")
    assert wd.js("return document.getElementById('confirmacao').open;"), "no confirmation dialog"
    wd.screenshot(os.path.join(out, "teclado-confirmacao.png"))
    wd.press("escape")
    wait_until("the dialog closed by Escape",
               lambda: not wd.js("return document.getElementById('confirmacao').open;"), 10)
    at("Escape", acao="bloquear")
    assert wd.text("#resultado-acao") == "", "a cancelled action was sent"
    with open(access_log) as f:
        assert "acao pedida" not in f.read(), "a cancelled action reached the hub"

    # Space opens it again; Tab, Enter confirms; the focus comes back.
    key("space", id="confirmacao-cancelar")
    key("tab", id="confirmacao-confirmar")
    wd.press("enter")
    wait_until("the device blocked", lambda: wd.text("#resultado-acao").startswith("BloquearSAT: 16000"), 60)
    at("confirming", acao="bloquear")
    key("tab", acao="desbloquear")
    key("enter", id="confirmacao-cancelar")
    key("tab", id="confirmacao-confirmar")
    wd.press("space")
    wait_until("the device unblocked",
               lambda: wd.text("#resultado-acao").startswith("DesbloquearSAT: 17000"), 60)
    at("confirming", acao="desbloquear")
    with open(access_log) as f:
        done = [json.loads(l) for l in f if '"acao feita"' in l]
    assert [d["acao"] for d in done] == ["bloquear", "desbloquear"], done
    assert all("Teclado" in d["quem"] for d in done), done

    # Back through the page to Sair, every stop visibly focused.
    for _ in range(12):
        if key("shift+tab")["id"] == "sair":
            break
    at("going back", id="sair")
    wd.press("enter")
    wait_until("the login form after Sair", lambda: wd.visible("#senha"), 30)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--hub", required=True)
    ap.add_argument("--satemu", required=True)
    ap.add_argument("--out", required=True)
    ap.add_argument("--browser", choices=sorted(BROWSERS), default="chromium")
    a = ap.parse_args()
    kind = BROWSERS[a.browser]
    missing = kind.missing()
    if missing:
        print("SKIP: " + missing)
        return SKIP
    os.makedirs(a.out, exist_ok=True)
    tmp = tempfile.mkdtemp(prefix="hub-console-%s-" % a.browser)
    procs = []
    wd = None
    children = os.path.join(tmp, "children.log")
    try:
        ports = os.path.join(tmp, "ports")
        control = os.path.join(tmp, "control")
        access_log = os.path.join(tmp, "access.log")
        log = open(children, "w")
        procs.append(subprocess.Popen(
            [a.satemu, "--link", os.path.join(ports, "COM7"), "--state", os.path.join(tmp, "emu"),
             "--activated", "--seed", "7", "--control", control], stdout=log, stderr=log))
        wait_until("satemu's port", lambda: os.path.islink(os.path.join(ports, "COM7")), 30)
        env = dict(os.environ, TORVEX_PORT_DIR=ports)
        for k in ("TORVEX_HUB", "TORVEX_TILL", "TORVEX_HUB_TOKEN"):
            env.pop(k, None)
        hub = subprocess.Popen(
            [a.hub, "--listen", "127.0.0.1:0", "--activation-code", "12345678",
             "--state", os.path.join(tmp, "hub.state"), "--access-log", access_log,
             "--console-admin", ADMIN, "--console-operator", OPERATOR],
            env=env, stdout=log, stderr=subprocess.PIPE, text=True)
        procs.append(hub)
        line = hub.stderr.readline()
        if "listening on" not in line:
            raise AssertionError("hub did not start: " + line)
        port = int(line.strip().rsplit(":", 1)[1])
        base = "http://127.0.0.1:%d" % port
        console = base + "/hub/console/"
        wd = kind()
        wd.start(tmp, log, procs)
        print("browser:", a.browser, wd.js("return navigator.userAgent;"))

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
        # A phone-sized window (headless Firefox will not go below 500 px).
        wd.size(390, 844)
        wait_until("the narrow window", lambda: wd.js("return window.innerWidth;") <= 500, 10)
        wd.screenshot(os.path.join(a.out, "status-celular.png"))
        view, wide = wd.js("return [window.innerWidth, document.documentElement.scrollWidth];")
        assert wide <= view, "the status page scrolls sideways at %s px: %s px wide" % (view, wide)
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

        # Without a mouse, from the login to Sair.
        wd.click("#sair")
        keyboard(wd, a.out, access_log)

        # An operator: no action buttons, and the endpoint refuses anyway.
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
        print("console browser test (%s): all checks passed" % a.browser)
        return 0
    except BaseException:
        with open(children, errors="replace") as f:
            print("last lines of the hub, satemu and browser output:\n" + "".join(f.readlines()[-40:]))
        raise
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
