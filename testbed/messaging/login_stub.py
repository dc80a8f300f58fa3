#!/usr/bin/env python3
"""HTTPS stub of the service-login endpoint.

Usage: login_stub.py DIR APPID APPKEY CERTFILE KEYFILE
Binds a free loopback port and writes it to DIR/port. Every request is checked (signature, Content-MD5,
headers) and logged as one JSON line in DIR/requests.jsonl. Replies follow DIR/control.json when present:
{"<cmd>": {"status": 200, "body": "<text>", "delay": 0.0}}, cmd one of 100, 102, 103, 104; otherwise the
default replies below. A bad signature or MD5 is answered with error_code BAD_SIG (default 10001)."""
import base64, hashlib, hmac, http.server, json, os, ssl, sys, time, urllib.parse

DIR, APPID, APPKEY, CERT, KEY = sys.argv[1:6]
BAD_SIG = 10001

def encode(text):
    keep = set(b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789*-./_")
    return "".join(chr(b) if b in keep else "%%%02X" % b for b in text.encode())

def expected_ssig(verb, md5, ctype, date, path, query):
    s = "\n".join([verb, md5, ctype, date, "x-amz-meta-checksumalgorithm:crc32", path + "?" + query])
    digest = base64.b64encode(hmac.new(APPKEY.encode(), s.encode(), hashlib.sha1).digest()).decode()
    return encode(digest[5:15])

class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def handle_any(self, verb):
        url = urllib.parse.urlsplit(self.path)
        raw_query = url.query
        params = dict(urllib.parse.parse_qsl(raw_query, keep_blank_values=True))
        body = self.rfile.read(int(self.headers.get("Content-Length", "0") or 0))
        if url.path == "/sl/getAuthUrl":
            cmd, signed = 100, "AppId=%s" % APPID
        else:
            cmd = {"2": 102, "1": 103, "0": 104}.get(params.get("cmd", ""), 0)
            i = raw_query.find("code=")
            code = raw_query[i + 5:].split("&")[0][:32] if i >= 0 else ""
            signed = "AppId=%s&cmd=%s&code=%s" % (APPID, {102: 2, 103: 1, 104: 0}.get(cmd, "?"), code)
        md5 = hashlib.md5(body).hexdigest().upper() if body else ""
        ctype = self.headers.get("Content-Type", "")
        date = self.headers.get("DATE", "")
        want = expected_ssig(verb, md5, ctype, date, url.path, signed)
        got = urllib.parse.unquote(params.get("ssig", ""))
        entry = {
            "cmd": cmd, "verb": verb, "path": url.path, "query": raw_query, "body": body.decode("utf-8", "replace"),
            "ssig_ok": got == urllib.parse.unquote(want), "md5_ok": self.headers.get("Content-MD5", "") == md5,
            "appid_ok": params.get("AppId") == APPID,
            "headers": [[k, v] for k, v in self.headers.items()],
        }
        with open(os.path.join(DIR, "requests.jsonl"), "a") as f:
            f.write(json.dumps(entry) + "\n")
        status, reply, delay = 200, self.default_reply(cmd), 0.0
        try:
            with open(os.path.join(DIR, "control.json")) as f:
                ctl = json.load(f).get(str(cmd))
            if ctl:
                status, reply, delay = ctl.get("status", 200), ctl.get("body", reply), ctl.get("delay", 0.0)
        except FileNotFoundError:
            pass
        if cmd and not (entry["ssig_ok"] and entry["md5_ok"] and entry["appid_ok"]):
            reply = json.dumps({"error_code": BAD_SIG, "error_msg": "signature mismatch"})
        time.sleep(delay)
        data = reply.encode()
        try:
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)
        except OSError:
            pass

    def default_reply(self, cmd):
        if cmd == 100:
            port = self.server.server_address[1]
            return json.dumps({"error_code": 0, "error_msg": "", "data": {
                "authUrl": "https://127.0.0.1:%d/sl/a?code=AB12&deviceType=3" % port,
                "authID": "auth0123456789", "exprect": 120}})
        if cmd == 102:
            return json.dumps({"error_code": 0, "error_msg": "", "data": {"platformType": 0, "os": 3}})
        return json.dumps({"error_code": 0, "error_msg": ""})

    def do_GET(self):
        self.handle_any("GET")

    def do_POST(self):
        self.handle_any("POST")

srv = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
srv.daemon_threads = True
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
ctx.load_cert_chain(CERT, KEY)
srv.socket = ctx.wrap_socket(srv.socket, server_side=True)
with open(os.path.join(DIR, "port.tmp"), "w") as f:
    f.write(str(srv.server_address[1]))
os.rename(os.path.join(DIR, "port.tmp"), os.path.join(DIR, "port"))
srv.serve_forever()
