#!/usr/bin/python3
"""A rollout server for the end-to-end tests: the device-side API (DDI) resources the fetch client uses.

    ddi_server.py --port PORT --state DIR --package FILE [--tenant T] [--controller C] [--token TOKEN]

Serves one deployment (action 7) of FILE to one controller: the base resource with its polling sleep and
links, configData (PUT, kept in DIR/attributes.json), the deployment, the artifact (a single byte range
honoured, ETag), feedback on the deployment and on a cancel action (POST, each appended as one JSON line to
DIR/feedback.log with its path). Once closed feedback arrives the deployment is no longer offered.

DIR/mode, read at each request, bends the answers (words, any of):
    refuse          every request answered 401
    5xx             every request answered 503 with Retry-After: 1
    feedback-5xx    feedback POSTs answered 503 (and not recorded)
    cancel          the base names cancel action 9 (stop 7) instead of the deployment
    cut             artifact answers beyond the first 64 KiB are cut after 32 KiB
    delay           every answer waits 2 seconds first
DIR/sha256, when present, is the SHA-256 the deployment gives instead of the file's.
Only the standard library; listens on 127.0.0.1 only; stops on SIGTERM.
"""

import argparse
import hashlib
import json
import os
import re
import signal
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

ACTION = "7"
CANCEL = "9"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--state", required=True)
    parser.add_argument("--package", required=True)
    parser.add_argument("--tenant", default="DEFAULT")
    parser.add_argument("--controller", default="SN-0001")
    parser.add_argument("--token", default="s3cret")
    parser.add_argument("--sleep", default="00:00:02")
    args = parser.parse_args()

    with open(args.package, "rb") as f:
        package = f.read()
    digest = hashlib.sha256(package).hexdigest()
    name = os.path.basename(args.package)
    base = "/%s/controller/v1/%s" % (args.tenant, args.controller)
    lock = threading.Lock()

    def path(file):
        return os.path.join(args.state, file)

    def mode():
        try:
            with open(path("mode")) as f:
                return f.read().split()
        except OSError:
            return []

    def closed():
        return os.path.exists(path("closed"))

    def record(resource, body):
        with lock, open(path("feedback.log"), "a") as f:
            f.write(json.dumps({"path": resource, "body": body}) + "\n")

    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, fmt, *values):
            with lock, open(path("access.log"), "a") as f:
                f.write("%s %s\n" % (self.command, fmt % values))

        def answer(self, status, body=b"", headers=()):
            self.send_response(status)
            for key, value in headers:
                self.send_header(key, value)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            if body and self.command != "HEAD":
                self.wfile.write(body)

        def json(self, document):
            self.answer(200, json.dumps(document).encode(), [("Content-Type", "application/hal+json")])

        def body(self):
            length = int(self.headers.get("Content-Length", "0"))
            if length > 1 << 20:
                return None
            return self.rfile.read(length)

        def allowed(self):
            words = mode()
            if "delay" in words:
                time.sleep(2)
            if "5xx" in words:
                self.answer(503, b"busy", [("Retry-After", "1")])
                return False
            if "refuse" in words or self.headers.get("Authorization") != "TargetToken " + args.token:
                self.answer(401, b"unauthorized")
                return False
            return True

        def url(self, resource):
            return "http://%s%s%s" % (self.headers.get("Host", "127.0.0.1"), base, resource)

        def do_GET(self):
            if not self.allowed():
                return
            resource = self.path
            if resource == base:
                links = {}
                if "cancel" in mode() and not os.path.exists(path("cancel-closed")):
                    links["cancelAction"] = {"href": self.url("/cancelAction/" + CANCEL)}
                elif not closed() and not os.path.exists(path("cancel-closed")):
                    links["deploymentBase"] = {"href": self.url("/deploymentBase/" + ACTION + "?c=-2129030598")}
                if not os.path.exists(path("attributes.json")):
                    links["configData"] = {"href": self.url("/configData")}
                self.json({"config": {"polling": {"sleep": args.sleep}}, "_links": links})
            elif resource.startswith(base + "/deploymentBase/" + ACTION):
                try:
                    with open(path("sha256")) as f:
                        sha = f.read().strip()
                except OSError:
                    sha = digest
                artifact = self.url("/softwaremodules/1/artifacts/" + name)
                self.json({"id": ACTION, "deployment": {"download": "forced", "update": "forced", "chunks": [
                    {"part": "os", "version": "1", "name": "instrument", "artifacts": [
                        {"filename": name, "hashes": {"sha1": hashlib.sha1(package).hexdigest(),
                                                      "md5": hashlib.md5(package).hexdigest(), "sha256": sha},
                         "size": len(package),
                         "_links": {"download-http": {"href": artifact}, "md5sum-http": {"href": artifact + ".MD5SUM"}}}]}]}})
            elif resource == base + "/cancelAction/" + CANCEL:
                self.json({"id": CANCEL, "cancelAction": {"stopId": ACTION}})
            elif resource == base + "/softwaremodules/1/artifacts/" + name:
                self.artifact()
            else:
                self.answer(404, b"not found")

        def artifact(self):
            etag = '"%s"' % digest[:16]
            first, last = 0, len(package) - 1
            status = 200
            match = re.fullmatch(r"bytes=(\d+)-(\d*)", self.headers.get("Range", ""))
            if match and self.headers.get("If-Range", etag) == etag:
                first = int(match.group(1))
                last = min(int(match.group(2)) if match.group(2) else len(package) - 1, len(package) - 1)
                if first >= len(package) or last < first:
                    self.answer(416, b"", [("Content-Range", "bytes */%d" % len(package))])
                    return
                status = 206
            data = package[first:last + 1]
            self.send_response(status)
            self.send_header("ETag", etag)
            self.send_header("Accept-Ranges", "bytes")
            if status == 206:
                self.send_header("Content-Range", "bytes %d-%d/%d" % (first, last, len(package)))
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            if "cut" in mode() and last >= 65536:
                self.wfile.write(data[:32768])
                self.wfile.flush()
                self.close_connection = True
                return
            self.wfile.write(data)

        def do_PUT(self):
            if not self.allowed():
                return
            data = self.body()
            if self.path != base + "/configData" or data is None:
                self.answer(404 if data is not None else 413)
                return
            with open(path("attributes.json"), "wb") as f:
                f.write(data)
            self.answer(200)

        def do_POST(self):
            if not self.allowed():
                return
            data = self.body()
            resource = self.path[len(base):] if self.path.startswith(base) else ""
            if data is None or resource not in ("/deploymentBase/%s/feedback" % ACTION, "/cancelAction/%s/feedback" % CANCEL):
                self.answer(404)
                return
            if "feedback-5xx" in mode():
                self.answer(503, b"busy")
                return
            try:
                document = json.loads(data)
            except ValueError:
                self.answer(400, b"not json")
                return
            record(resource, document)
            if document.get("status", {}).get("execution") in ("closed", "rejected"):
                open(path("cancel-closed" if resource.startswith("/cancelAction") else "closed"), "w").close()
            self.answer(200)

    server = ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    server.daemon_threads = True
    signal.signal(signal.SIGTERM, lambda *_: threading.Thread(target=server.shutdown).start())
    with open(path("ready"), "w") as f:
        f.write(str(os.getpid()))
    server.serve_forever()
    return 0


if __name__ == "__main__":
    sys.exit(main())
