#!/usr/bin/env python3
"""An RFC 3161 time-stamp server on 127.0.0.1 for as long as one command runs:

    local_tsa.py OPENSSL_TS_CONFIG COMMAND...

Every "@TSA_URL@" in COMMAND becomes the server's URL. Each request gets the
reply of `openssl ts -reply` with the configuration given. Prints how many
requests it answered and ends with the command's exit status."""
import http.server
import os
import subprocess
import sys
import tempfile
import threading


def main(config, command):
    answered = []

    class TimeStampHandler(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            query = self.rfile.read(int(self.headers.get("Content-Length", "0")))
            with tempfile.TemporaryDirectory() as scratch:
                query_file = os.path.join(scratch, "query.tsq")
                reply_file = os.path.join(scratch, "reply.tsr")
                with open(query_file, "wb") as f:
                    f.write(query)
                made = subprocess.run(["openssl", "ts", "-reply", "-config", config,
                                       "-queryfile", query_file, "-out", reply_file],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
                reply = open(reply_file, "rb").read() if made.returncode == 0 else b""
            if not reply:
                sys.stderr.write(made.stderr.decode(errors="replace"))
                self.send_error(500, "openssl ts -reply failed")
                return
            answered.append(len(reply))
            self.send_response(200)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.send_header("Content-Length", str(len(reply)))
            self.end_headers()
            self.wfile.write(reply)

        def log_message(self, *args):
            pass

    server = http.server.HTTPServer(("127.0.0.1", 0), TimeStampHandler)
    url = "http://127.0.0.1:%d/" % server.server_address[1]
    thread = threading.Thread(target=server.serve_forever)
    thread.start()
    try:
        # The request goes to this machine, whatever proxy the environment names.
        env = dict(os.environ, no_proxy="127.0.0.1", NO_PROXY="127.0.0.1")
        status = subprocess.run([arg.replace("@TSA_URL@", url) for arg in command], env=env).returncode
    finally:
        server.shutdown()
        thread.join()
        server.server_close()
    print("local time-stamp server %s answered %d request(s)" % (url, len(answered)))
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2:]))
