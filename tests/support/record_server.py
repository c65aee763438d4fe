#!/usr/bin/env python3
"""A record server for the posting tests and benchmark, on 127.0.0.1 only.

Each POST is logged as one flat JSON line (path, the headers the updater sends, the body) and
answered with the next status of --answers (the last one repeats). With --cert and --key it
speaks https. The bound port goes to --port-file once the server listens.
"""
import argparse
import os
import http.server
import json
import ssl
import threading
import time


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--log")
    parser.add_argument("--answers", default="200")
    parser.add_argument("--answer-body", default="")
    parser.add_argument("--delay", type=float, default=0.0)
    parser.add_argument("--cert")
    parser.add_argument("--key")
    args = parser.parse_args()

    answers = [int(a) for a in args.answers.split(",")]
    lock = threading.Lock()
    state = {"count": 0}
    log = open(args.log, "a", encoding="utf-8") if args.log else None

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def do_POST(self):
            length = int(self.headers.get("Content-Length", "0"))
            body = self.rfile.read(length).decode("utf-8", "replace")
            with lock:
                status = answers[min(state["count"], len(answers) - 1)]
                state["count"] += 1
                if log:
                    entry = {
                        "path": self.path,
                        "content_type": self.headers.get("Content-Type", ""),
                        "idempotency_key": self.headers.get("Idempotency-Key", ""),
                        "authorization": self.headers.get("Authorization", ""),
                        "status": status,
                        "body": body,
                    }
                    log.write(json.dumps(entry) + "\n")
                    log.flush()
            if args.delay > 0:
                time.sleep(args.delay)
            answer = (args.answer_body if status >= 300 else "").encode("utf-8")
            self.send_response(status)
            self.send_header("Content-Type", "text/plain")
            self.send_header("Content-Length", str(len(answer)))
            self.end_headers()
            self.wfile.write(answer)

        def log_message(self, *_):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    server.daemon_threads = True
    if args.cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.cert, args.key)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    with open(args.port_file + ".tmp", "w") as f:
        f.write(str(server.server_address[1]))
    os.replace(args.port_file + ".tmp", args.port_file)
    server.serve_forever()


if __name__ == "__main__":
    main()
