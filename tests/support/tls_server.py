#!/usr/bin/env python3
"""Loopback TLS peers for the SDK's TLS tests, and the certificates they serve.

Command line
    python3 tls_server.py certs DIR
        Generates, with the openssl command-line tool, into the existing DIR:
          ca.pem, ca.key          a private root CA (RSA 2048)
          rsa.pem, rsa.key        "localhost", RSA 2048 key, issued by the CA
          ec.pem, ec.key          "localhost", P-256 key, issued by the CA
          self.pem, self.key      "localhost", RSA 2048 key, self-signed
          self_ec.pem, self_ec.key  "localhost", P-256 key, self-signed
          expired.pem             "localhost", rsa.key, issued by the CA,
                                  valid 2020-01-01 to 2021-01-01 only
          other.pem               "other.example" only, rsa.key, issued by the CA
        and for each key K the pin the SDK computes over it, in K.pin: SHA-256
        over 0x01 | modulus | exponent (RSA) or 0x02 | curve id | point (EC),
        as 64 lower-case hex digits. The pins are worked out here from
        openssl's own output, independently of the code under test.

    python3 tls_server.py serve [--log FILE] --listen PLAN [--listen PLAN ...]
        Opens one listening socket on 127.0.0.1 (a free port) per PLAN, prints
        "PORTS name=<port> name=<port> ...\n" on stdout and flushes, then
        serves every connection in its own thread until killed or until its
        standard input reaches end of file. PLAN is a comma-separated list of
        key=value pairs:
          name=N        the listener's name (required)
          mode=M        (required) one of
            http     TLS; reads one request head, answers RESPONSE, then ends
                     the session with a TLS close_notify before closing
            bare     TLS; reads one request head, answers RESPONSE, then closes
                     the TCP connection without any close_notify
            keep     TLS; answers every request head with KEEP_RESPONSE, which
                     leaves the connection open, until the client closes; its
                     server-side session cache lets clients resume sessions
            garbage  plain TCP; answers GARBAGE to whatever arrives, closes
            hangup   plain TCP; reads the first bytes (the ClientHello), closes
            stall    plain TCP; reads the first bytes, then stays silent until
                     the client goes away
          cert=C,key=K  certificate chain and key (PEM files) of a TLS mode
          alt_cert=C,alt_key=K  served instead on every second connection
          max_accept=N  the listening socket closes after N connections, so
                        later connects are refused
        With --log FILE, one line per event is appended: "accept N" for each
        TCP connection and "handshake N" for each completed TLS handshake,
        N being the listener's name. A keep listener also logs "resumed N"
        for each handshake that resumed a session and "close_notify N" when
        the client ended the connection with a TLS close_notify.
"""

import argparse
import hashlib
import os
import re
import socket
import ssl
import subprocess
import sys
import threading

RESPONSE = (b"HTTP/1.1 200 OK\r\nContent-Length: 14\r\nConnection: close\r\n\r\n"
            b"hello over tls")
GARBAGE = b"HTTP/1.0 400 Bad Request\r\nContent-Length: 0\r\n\r\n"
IO_TIMEOUT_S = 10
KEEP_RESPONSE = b"HTTP/1.1 200 OK\r\nContent-Length: 14\r\n\r\nhello over tls"
MODES = ("http", "bare", "keep", "garbage", "hangup", "stall")

OPENSSL_CNF = """\
[ req ]
distinguished_name = dn
prompt = no
[ dn ]
CN = unused
[ v3_ca ]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[ leaf_rsa ]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost
[ leaf_ec ]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost
[ leaf_other ]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:other.example
[ ca ]
default_ca = test_ca
[ test_ca ]
database = {dir}/index.txt
new_certs_dir = {dir}
serial = {dir}/serial
default_md = sha256
policy = any_name
unique_subject = no
email_in_dn = no
[ any_name ]
commonName = supplied
"""

P256_CURVE_ID = 23  # BearSSL's identifier for secp256r1


def run(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=60)


def openssl_out(*args, cwd):
    return subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True,
                          timeout=60).stdout


def rsa_pin(key, cwd):
    text = openssl_out("rsa", "-in", key, "-noout", "-text", cwd=cwd).decode()
    modulus = openssl_out("rsa", "-in", key, "-noout", "-modulus", cwd=cwd).decode()
    n = bytes.fromhex(modulus.strip().split("=", 1)[1]).lstrip(b"\x00")
    e_value = int(re.search(r"publicExponent: (\d+)", text).group(1))
    e = e_value.to_bytes((e_value.bit_length() + 7) // 8, "big")
    return hashlib.sha256(b"\x01" + n + e).hexdigest()


def ec_pin(key, cwd):
    spki = openssl_out("ec", "-in", key, "-pubout", "-outform", "DER", cwd=cwd)
    point = spki[-65:]  # P-256, uncompressed: 0x04 | X | Y ends the structure
    assert point[0] == 4
    return hashlib.sha256(bytes([2, P256_CURVE_ID]) + point).hexdigest()


def make_certs(d):
    with open(os.path.join(d, "openssl.cnf"), "w") as f:
        f.write(OPENSSL_CNF.format(dir=d))
    open(os.path.join(d, "index.txt"), "w").close()
    with open(os.path.join(d, "serial"), "w") as f:
        f.write("1000\n")
    cnf = ["-config", "openssl.cnf"]

    run("req", *cnf, "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key",
        "-out", "ca.pem", "-days", "3650", "-subj", "/CN=TQ Test Root CA",
        "-extensions", "v3_ca", cwd=d)
    run("genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", "rsa.key",
        cwd=d)
    run("genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", "self.key",
        cwd=d)
    for name in ("ec", "self_ec"):
        run("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256",
            "-pkeyopt", "ec_param_enc:named_curve", "-out", name + ".key", cwd=d)

    def issue(key, out, ext, subject="/CN=localhost", serial="2"):
        run("req", *cnf, "-new", "-key", key, "-subj", subject, "-out", out + ".csr", cwd=d)
        run("x509", "-req", "-in", out + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key",
            "-set_serial", serial, "-days", "3650", "-sha256", "-extfile", "openssl.cnf",
            "-extensions", ext, "-out", out + ".pem", cwd=d)

    issue("rsa.key", "rsa", "leaf_rsa", serial="2")
    issue("ec.key", "ec", "leaf_ec", serial="3")
    issue("rsa.key", "other", "leaf_other", subject="/CN=other.example", serial="4")
    for key, ext in (("self", "leaf_rsa"), ("self_ec", "leaf_ec")):
        run("req", *cnf, "-x509", "-new", "-key", key + ".key", "-subj", "/CN=localhost",
            "-days", "3650", "-extensions", ext, "-out", key + ".pem", cwd=d)
    # x509 -days cannot place a certificate in the past; the CA command can.
    run("req", *cnf, "-new", "-key", "rsa.key", "-subj", "/CN=localhost", "-out",
        "expired.csr", cwd=d)
    run("ca", *cnf, "-batch", "-notext", "-cert", "ca.pem", "-keyfile", "ca.key",
        "-startdate", "20200101000000Z", "-enddate", "20210101000000Z",
        "-extensions", "leaf_rsa", "-extfile", "openssl.cnf", "-in", "expired.csr",
        "-out", "expired.pem", cwd=d)

    pins = {"rsa": rsa_pin("rsa.key", d), "self": rsa_pin("self.key", d),
            "ec": ec_pin("ec.key", d), "self_ec": ec_pin("self_ec.key", d)}
    for name, pin in pins.items():
        with open(os.path.join(d, name + ".pin"), "w") as f:
            f.write(pin)


class Log:
    def __init__(self, path):
        self.path = path
        self.lock = threading.Lock()

    def write(self, line):
        if not self.path:
            return
        with self.lock, open(self.path, "a") as f:
            f.write(line + "\n")


def read_head(conn):
    data = b""
    while b"\r\n\r\n" not in data and len(data) < 65536:
        chunk = conn.recv(4096)
        if not chunk:
            break
        data += chunk
    return data


def serve_keep(tls, plan, log):
    try:
        while True:
            head = read_head(tls)
            if not head:
                # Ragged ends raise instead (suppress_ragged_eofs is off).
                log.write("close_notify " + plan["name"])
                # OpenSSL drops a session from its cache unless the
                # connection is shut down properly on both sides.
                tls.unwrap().close()
                return
            tls.sendall(KEEP_RESPONSE)
    except (OSError, ssl.SSLError, ValueError):
        pass
    tls.close()


def serve_tls(conn, ctx, plan, log):
    keep = plan["mode"] == "keep"
    try:
        tls = ctx.wrap_socket(conn, server_side=True, suppress_ragged_eofs=not keep)
    except (OSError, ssl.SSLError):
        conn.close()
        return
    log.write("handshake " + plan["name"])
    if keep:
        if tls.session_reused:
            log.write("resumed " + plan["name"])
        serve_keep(tls, plan, log)
        return
    try:
        read_head(tls)
        tls.sendall(RESPONSE)
        if plan["mode"] == "http":
            tls.unwrap().close()  # close_notify, then the TCP close
        else:
            # SSLSocket.shutdown drops the TLS layer first: a bare TCP close.
            tls.shutdown(socket.SHUT_RDWR)
            tls.close()
    except (OSError, ssl.SSLError, ValueError):
        tls.close()


def serve_plain(conn, plan):
    with conn:
        try:
            first = conn.recv(4096)
            if plan["mode"] == "garbage":
                conn.sendall(GARBAGE)
            elif plan["mode"] == "stall":
                while first:
                    first = conn.recv(4096)  # silent until the client leaves
        except OSError:
            pass


def parse_spec(text):
    plan = dict(item.split("=", 1) for item in text.split(","))
    if "name" not in plan or plan.get("mode") not in MODES:
        raise SystemExit("bad --listen plan: " + text)
    return plan


def accept_loop(listener, plan, contexts, log):
    limit = int(plan["max_accept"]) if "max_accept" in plan else None
    accepted = 0
    while limit is None or accepted < limit:
        conn, _ = listener.accept()
        conn.settimeout(60 if plan["mode"] == "stall" else IO_TIMEOUT_S)
        log.write("accept " + plan["name"])
        if contexts:
            ctx = contexts[accepted % len(contexts)]
            target, targs = serve_tls, (conn, ctx, plan, log)
        else:
            target, targs = serve_plain, (conn, plan)
        accepted += 1
        threading.Thread(target=target, args=targs, daemon=True).start()
    listener.close()


def serve(args):
    log = Log(args.log)
    ports = []
    loops = []
    for text in args.listen:
        plan = parse_spec(text)
        contexts = []
        if plan["mode"] in ("http", "bare", "keep"):
            pairs = [(plan["cert"], plan["key"])]
            if "alt_cert" in plan:
                pairs.append((plan["alt_cert"], plan["alt_key"]))
            for cert, key in pairs:
                ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
                ctx.load_cert_chain(cert, key)
                contexts.append(ctx)
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind(("127.0.0.1", 0))
        listener.listen(16)
        ports.append("%s=%d" % (plan["name"], listener.getsockname()[1]))
        loops.append((listener, plan, contexts))
    for listener, plan, contexts in loops:
        threading.Thread(target=accept_loop, args=(listener, plan, contexts, log),
                         daemon=True).start()
    sys.stdout.write("PORTS %s\n" % " ".join(ports))
    sys.stdout.flush()
    sys.stdin.buffer.read()  # until the test process closes our input or dies
    os._exit(0)


def main():
    parser = argparse.ArgumentParser()
    sub = parser.add_subparsers(dest="command", required=True)
    certs = sub.add_parser("certs")
    certs.add_argument("dir")
    srv = sub.add_parser("serve")
    srv.add_argument("--log")
    srv.add_argument("--listen", action="append", required=True)
    args = parser.parse_args()
    if args.command == "certs":
        try:
            make_certs(os.path.abspath(args.dir))
        except subprocess.CalledProcessError as e:
            sys.stderr.write("openssl failed: %s\n%s" % (e.cmd, e.stderr.decode(errors="replace")))
            return 1
        return 0
    serve(args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
