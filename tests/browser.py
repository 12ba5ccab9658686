"""Headless Chromium driven over the DevTools protocol on a pipe (file
descriptors 3 and 4 of the browser, NUL-terminated JSON messages), with the
network cut off so that a page can only use what it carries itself."""

from __future__ import annotations

import base64
import fcntl
import json
import os
import shutil
import subprocess
import tempfile
import time
from dataclasses import dataclass, field
from typing import Any

BROWSERS = ("chromium", "chromium-browser", "google-chrome")


def find_browser() -> str | None:
    for name in BROWSERS:
        path = shutil.which(name)
        if path:
            return path
    return None


@dataclass
class PageLoad:
    screenshot: bytes
    errors: list[str] = field(default_factory=list)
    requests: list[str] = field(default_factory=list)
    evaluated: Any = None


class _Pipe:
    def __init__(self, write_fd: int, read_fd: int, deadline: float) -> None:
        self.write_fd, self.read_fd, self.deadline = write_fd, read_fd, deadline
        self.buffer = b""
        self.next_id = 0
        self.events: list[dict[str, Any]] = []

    def _read_message(self) -> dict[str, Any]:
        while b"\0" not in self.buffer:
            if time.monotonic() > self.deadline:
                raise TimeoutError("the browser did not answer in time")
            chunk = os.read(self.read_fd, 1 << 20)
            if not chunk:
                raise RuntimeError("the browser closed its DevTools pipe")
            self.buffer += chunk
        message, self.buffer = self.buffer.split(b"\0", 1)
        return json.loads(message)

    def call(self, method: str, session: str | None = None, **params: Any) -> dict[str, Any]:
        self.next_id += 1
        request: dict[str, Any] = {"id": self.next_id, "method": method, "params": params}
        if session:
            request["sessionId"] = session
        os.write(self.write_fd, json.dumps(request).encode() + b"\0")
        while True:
            message = self._read_message()
            if message.get("id") == self.next_id:
                if "error" in message:
                    raise RuntimeError(f"{method}: {message['error']}")
                return message.get("result", {})
            self.events.append(message)

    def wait_for(self, method: str, timeout: float) -> None:
        if any(e.get("method") == method for e in self.events):
            return
        end = min(self.deadline, time.monotonic() + timeout)
        while time.monotonic() < end:
            message = self._read_message()
            self.events.append(message)
            if message.get("method") == method:
                return
        raise TimeoutError(f"no {method} within {timeout} s")


def _errors(events: list[dict[str, Any]]) -> list[str]:
    found = []
    for event in events:
        method, params = event.get("method"), event.get("params", {})
        if method == "Runtime.exceptionThrown":
            details = params.get("exceptionDetails", {})
            found.append(details.get("exception", {}).get("description") or details.get("text", ""))
        elif method == "Runtime.consoleAPICalled" and params.get("type") in ("error", "assert"):
            found.append(" ".join(str(a.get("value", a.get("description"))) for a in params.get("args", [])))
        elif method == "Log.entryAdded" and params.get("entry", {}).get("level") == "error":
            found.append(params["entry"].get("text", ""))
    return found


def load_page(browser: str, url: str, *, width: int = 1400, height: int = 1000,
              ready: str = "true", settle: float = 0.5, evaluate: str | None = None,
              timeout: float = 60.0) -> PageLoad:
    """Open ``url`` in a fresh headless browser without network access, wait
    for the load event and for the JavaScript expression ``ready`` to be
    true, then take a screenshot of the viewport. Returns the screenshot,
    the console errors and uncaught exceptions, the URLs the page requested
    and the value of ``evaluate``."""
    profile = tempfile.mkdtemp(prefix="vostra-chromium-")
    to_browser_r, to_browser_w = os.pipe()
    from_browser_r, from_browser_w = os.pipe()
    args = [browser, "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
            "--disable-extensions", "--disable-background-networking", "--mute-audio",
            f"--user-data-dir={profile}", "--remote-debugging-pipe",
            "--host-resolver-rules=MAP * ~NOTFOUND", "--proxy-server=127.0.0.1:9",
            f"--window-size={width},{height}", "about:blank"]

    def wire() -> None:
        # Through descriptors above 4 first, so that neither end overwrites
        # the other when the pipes themselves got numbers 3 or 4.
        read_end = fcntl.fcntl(to_browser_r, fcntl.F_DUPFD, 10)
        write_end = fcntl.fcntl(from_browser_w, fcntl.F_DUPFD, 10)
        os.dup2(read_end, 3)
        os.dup2(write_end, 4)

    # A sanitizer runtime preloaded into the test interpreter is not for the browser.
    env = {k: v for k, v in os.environ.items()
           if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    proc = subprocess.Popen(args, preexec_fn=wire, pass_fds=(3, 4), env=env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(to_browser_r)
    os.close(from_browser_w)
    pipe = _Pipe(to_browser_w, from_browser_r, time.monotonic() + timeout)
    try:
        targets = pipe.call("Target.getTargets")["targetInfos"]
        page = next(t for t in targets if t["type"] == "page")
        session = pipe.call("Target.attachToTarget", targetId=page["targetId"], flatten=True)["sessionId"]
        for domain in ("Runtime", "Log", "Page", "Network"):
            pipe.call(f"{domain}.enable", session)
        pipe.call("Emulation.setDeviceMetricsOverride", session, width=width, height=height,
                  deviceScaleFactor=1, mobile=False)
        pipe.events.clear()
        pipe.call("Page.navigate", session, url=url)
        pipe.wait_for("Page.loadEventFired", timeout)
        end = time.monotonic() + timeout
        while not pipe.call("Runtime.evaluate", session, expression=f"Boolean({ready})",
                            returnByValue=True)["result"].get("value"):
            if time.monotonic() > end:
                raise TimeoutError(f"the page did not get ready ({ready}) within {timeout} s")
            time.sleep(0.1)
        time.sleep(settle)
        value = None
        if evaluate is not None:
            value = pipe.call("Runtime.evaluate", session, expression=evaluate,
                              returnByValue=True)["result"].get("value")
        shot = pipe.call("Page.captureScreenshot", session, format="png")["data"]
        requests = [e["params"]["request"]["url"] for e in pipe.events
                    if e.get("method") == "Network.requestWillBeSent"]
        return PageLoad(base64.b64decode(shot), _errors(pipe.events), requests, value)
    finally:
        try:
            pipe.call("Browser.close")
        except (RuntimeError, TimeoutError, OSError):
            pass  # the browser is killed below in any case
        os.close(to_browser_w)
        os.close(from_browser_r)
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        shutil.rmtree(profile, ignore_errors=True)
