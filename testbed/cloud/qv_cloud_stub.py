#!/usr/bin/env python3
"""The cloud account service on loopback, for tests and for running the app by hand.

HTTP/1.1 over TLS with keep-alive. State (one account, its devices) comes from a JSON seed. OAuth requests and
the look-up by bind code must carry a valid "ssig"; account requests a token issued here in "ak".

Per-endpoint faults come from a script file (--script), read again whenever it changes:
  {"/api/v1/getBindList": {"error_code": 5 | -3 | "missing", "body": "array" | "nonjson" | "empty",
                           "status": 500, "delay_ms": 300, "close": true}}
Every handshake and request is one JSON line in the log (--log, else standard error).
"""

import argparse
import base64
import hashlib
import hmac
import http.server
import json
import os
import secrets
import socket
import ssl
import sys
import threading
import time
import urllib.parse

DEFAULT_PORT = int("@QV_CLOUD_PORT@") if "@QV_CLOUD_PORT@".isdigit() else 18443
SIGNED = ("/OAuth/authorize", "/OAuth/getAccessToken", "/api/app/getDeviceInfoByBC")

# Error codes of this service.
E_SSIG = 10001
E_TOKEN = 10011
E_USER = 20001
E_PASSWORD = 20003
E_DEVICE = 20011
E_REQUEST = 10002


def percent_decode(text):
    return urllib.parse.unquote(text, errors="strict")


class Stub:
    def __init__(self, seed, app_id, key, script_path, log_file):
        self.lock = threading.Lock()
        self.account = seed["account"]
        self.devices = {d["deviceId"]: d for d in seed.get("devices", [])}
        self.share = seed.get("share", {"curUseFlow": 0, "maxUseFlow": 10737418240})
        self.app_id = app_id
        self.key = key.encode()
        self.script_path = script_path
        self.script_mtime = None
        self.script = {}
        self.log_file = log_file
        self.refresh_tokens = set()
        self.access_tokens = set()

    def log(self, record):
        record["t"] = round(time.time(), 3)
        line = json.dumps(record, sort_keys=True)
        with self.lock:
            self.log_file.write(line + "\n")
            self.log_file.flush()

    def faults(self, path):
        if not self.script_path:
            return {}
        with self.lock:
            try:
                mtime = os.stat(self.script_path).st_mtime_ns
            except FileNotFoundError:
                self.script, self.script_mtime = {}, None
                return {}
            if mtime != self.script_mtime:
                with open(self.script_path, encoding="utf-8") as f:
                    text = f.read()
                self.script = json.loads(text) if text.strip() else {}
                self.script_mtime = mtime
            return dict(self.script.get(path, {}))

    def expected_ssig(self, method, content_type, resource):
        if "?AppId=" not in resource:
            resource += "?AppId=" + self.app_id
        text = "%s\n\n%s\n\n%s" % (method, content_type, resource)
        digest = hmac.new(self.key, text.encode(), hashlib.sha1).digest()
        return base64.b64encode(digest).decode()[5:15]


def make_handler(stub):
    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *args):
            pass

        def reply(self, status, body, close=False):
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(body)))
            if close:
                self.send_header("Connection", "close")
                self.close_connection = True
            self.end_headers()
            self.wfile.write(body)

        def do_GET(self):
            self.handle_request()

        def do_POST(self):
            self.handle_request()

        def handle_request(self):
            raw_target = self.path
            path, _, query = raw_target.partition("?")
            length = int(self.headers.get("Content-Length") or 0)
            body = self.rfile.read(length) if length > 0 else b""
            params = urllib.parse.parse_qs(query, keep_blank_values=True)
            ctype = self.headers.get("Content-Type", "")
            parsed = None
            if ctype.startswith("application/json") and body:
                try:
                    parsed = json.loads(body)
                except ValueError:
                    parsed = None
            stub.log({
                "event": "request", "method": self.command, "target": raw_target, "path": path,
                "query": {k: v[0] for k, v in params.items()}, "content_type": ctype,
                "body_json": parsed, "body_b64": base64.b64encode(body).decode(), "body_len": len(body),
                "connection": self.headers.get("Connection", ""),
            })
            fault = stub.faults(path)
            if fault.get("delay_ms"):
                time.sleep(fault["delay_ms"] / 1000.0)
            if fault.get("close"):
                self.close_connection = True
                try:
                    self.connection.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
                return
            code, msg, data = self.route(path, raw_target, params, ctype, parsed, body)
            if "error_code" in fault:
                code = fault["error_code"]
                msg = "scripted" if code != 0 else msg
            status = int(fault.get("status", 200))
            shape = fault.get("body")
            if shape == "array":
                out = b'[{"error_code":0}]'
            elif shape == "nonjson":
                out = b"<html>busy</html>"
            elif shape == "empty":
                out = b""
            else:
                reply = {"error_msg": msg, "data": data}
                if code != "missing":
                    reply["error_code"] = code
                out = json.dumps(reply).encode()
            self.reply(status, out)

        def route(self, path, raw_target, params, ctype, body, raw_body):
            def one(key):
                v = params.get(key)
                return v[0] if v else None

            if path in SIGNED:
                if one("AppId") != stub.app_id:
                    return E_SSIG, "bad AppId", None
                sent = one("ssig")
                cut = raw_target.rfind("&ssig=")
                if sent is None or cut < 0:
                    return E_SSIG, "no signature", None
                resource = raw_target[:cut]
                if sent != stub.expected_ssig(self.command, ctype, resource):
                    return E_SSIG, "signature mismatch", None
            elif path.startswith("/api/v1/"):
                if one("ak") not in stub.access_tokens:
                    return E_TOKEN, "invalid token", None
            else:
                return E_REQUEST, "no such endpoint", None

            acct = stub.account
            body = body if isinstance(body, dict) else {}
            if path == "/OAuth/authorize":
                if str(body.get("area")) != acct["area"] or body.get("phone") != acct["phone"]:
                    return E_USER, "no such user", None
                if body.get("password") != acct["password"]:
                    return E_PASSWORD, "wrong password", None
                token = "rt-" + secrets.token_hex(8)
                stub.refresh_tokens.add(token)
                return 0, "ok", {"refreshToken": token, "expires": 2592000}
            if path == "/OAuth/getAccessToken":
                if body.get("refreshToken") not in stub.refresh_tokens:
                    return E_TOKEN, "invalid refresh token", None
                token = "ak-" + secrets.token_hex(8)
                stub.access_tokens.add(token)
                return 0, "ok", {"accessToken": token, "exprect": 7200}
            if path == "/api/app/getDeviceInfoByBC":
                for d in stub.devices.values():
                    if d["bindCode"] == one("BC"):
                        return 0, "ok", device_record(d)
                return E_DEVICE, "no device for bind code", None
            if path == "/api/v1/getBindList":
                return 0, "ok", [device_record(d) for d in stub.devices.values() if d.get("bound")]
            if path == "/api/v1/getUserInfo":
                return 0, "ok", {k: acct.get(k, "") for k in ("userId", "nickName", "userImage")}
            if path == "/api/v1/updateUserInfo":
                if "nickname" in body:
                    acct["nickName"] = body["nickname"]
                if "uesrImage" in body:
                    acct["userImage"] = body["uesrImage"]
                return 0, "ok", None
            if path == "/api/v1/uploadImage":
                if not raw_body:
                    return E_REQUEST, "no image", None
                acct["userImage"] = "/images/%s.jpg" % secrets.token_hex(4)
                return 0, "ok", {"url": acct["userImage"]}
            if path == "/api/v1/s/getUserShareInfo":
                return 0, "ok", stub.share
            dev = stub.devices.get(body.get("deviceId"))
            if path == "/api/v1/bind":
                if dev is None or dev["bindCode"] != body.get("bindCode"):
                    return E_DEVICE, "no such device", None
                dev["bound"] = True
                return 0, "ok", None
            if dev is None or not dev.get("bound"):
                return E_DEVICE, "device not bound", None
            if path == "/api/v1/unbind":
                dev["bound"] = False
                return 0, "ok", None
            if path == "/api/v1/getDeviceAuthCode":
                return 0, "ok", {"auth_code": dev["authCode"]}
            if path == "/api/v1/getDeviceP2PInfo":
                return 0, "ok", {"dev_id": dev["p2pUid"]}
            return E_REQUEST, "no such endpoint", None

    return Handler


def device_record(d):
    return {"deviceId": d["deviceId"], "deviceType": d.get("deviceType", "tessera"),
            "deviceName": d.get("deviceName", ""), "online": d.get("online", 1)}


class TlsServer(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, addr, handler, context, stub):
        self.context = context
        self.stub = stub
        super().__init__(addr, handler)

    def finish_request(self, request, client_address):
        # The handshake runs on the connection's own thread, so a stalled client holds up nobody.
        request.settimeout(30)
        # Headers and body leave in two writes: without this the body waits for the client's delayed ACK.
        request.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        try:
            tls = self.context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError) as e:
            self.stub.log({"event": "handshake", "ok": False, "peer": client_address[1], "error": str(e)})
            return
        self.stub.log({"event": "handshake", "ok": True, "peer": client_address[1], "version": tls.version()})
        try:
            self.RequestHandlerClass(tls, client_address, self)
        finally:
            try:
                tls.close()
            except OSError:
                pass


def exit_with_parent():
    # A test that dies without reaping its stub must not leave it serving (and holding its output pipe).
    parent = os.getppid()
    while os.getppid() == parent:
        time.sleep(0.5)
    os._exit(0)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seed", default=os.path.join(here, "seed.json"))
    ap.add_argument("--certs", default="@QV_CERT_DIR@", help="folder made by gen_test_certs.sh")
    ap.add_argument("--leaf", choices=("good", "stray", "wrong-name"), default="good")
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=DEFAULT_PORT, help="0: an ephemeral port")
    ap.add_argument("--script", help="per-endpoint faults (JSON), read again when it changes")
    ap.add_argument("--log", help="JSON-lines log of handshakes and requests")
    ap.add_argument("--exit-with-parent", action="store_true", help="end when the starting process ends")
    ap.add_argument("--app-id", default="e47b0d2c83a5f916")
    ap.add_argument("--key", default="0b7e2c9d4a61f8e3b5d07c2a9e4f163")
    args = ap.parse_args()

    with open(args.seed, encoding="utf-8") as f:
        seed = json.load(f)
    chain, key = {"good": ("server-chain.pem", "server.key"),
                  "stray": ("stray-server.pem", "stray-server.key"),
                  "wrong-name": ("wrong-name-chain.pem", "wrong-name.key")}[args.leaf]
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(os.path.join(args.certs, chain), os.path.join(args.certs, key))
    log_file = open(args.log, "a", encoding="utf-8") if args.log else sys.stderr
    stub = Stub(seed, args.app_id, args.key, args.script, log_file)
    server = TlsServer((args.host, args.port), make_handler(stub), ctx, stub)
    if args.exit_with_parent:
        threading.Thread(target=exit_with_parent, daemon=True).start()
    print("listening %s %d" % (args.host, server.server_address[1]), flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    server.server_close()


if __name__ == "__main__":
    main()
