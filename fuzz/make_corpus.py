#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Writes the seed corpus of both fuzz targets from the captured bodies in
bodies/ (a curl client and a Chromium browser posting to a local listener)
and from the edge cases below. Run it after changing either; the output is
committed. Inputs a fuzzer found are kept apart, in corpus/*/found-*."""
import os
import random

HERE = os.path.dirname(os.path.abspath(__file__))
CRLF = b"\r\n"


def captured():
    out = []
    with open(os.path.join(HERE, "bodies", "content-types"), encoding="ascii") as f:
        for line in f:
            name, content_type = line.rstrip("\n").split("\t")
            with open(os.path.join(HERE, "bodies", name + ".body"), "rb") as b:
                out.append((name, content_type.encode(), b.read()))
    return out


def part(delimiter, headers, content):
    return delimiter + CRLF + b"".join(h + CRLF for h in headers) + CRLF + content + CRLF


def file_headers(name=b'"filedata"'):
    return [b"Content-Disposition: form-data; name=" + name + b'; filename="x.pem"',
            b"Content-Type: application/octet-stream"]


def edge_cases():
    """(name, boundary, body): bodies the hostile tests also cover."""
    b = b"XyZ"
    d = b"--" + b
    end = d + b"--" + CRLF
    fh = file_headers()
    session = part(d, [b'Content-Disposition: form-data; name="sessionid"'], b"0123456789abcdef")
    cases = [
        ("one-byte-file", b, part(d, fh, b"k") + end),
        ("empty-file", b, part(d, fh, b"") + end),
        ("session-then-file", b, session + part(d, fh, b"key\n") + end),
        ("session-only", b, session + end),
        ("no-closing-delimiter", b, part(d, fh, b"abc")[:-2]),
        ("ends-after-delimiter", b, part(d, fh, b"abc") + d),
        ("crlf-only-content", b, part(d, fh, CRLF * 64) + end),
        ("near-miss-delimiters", b,
         part(d, fh, CRLF + b"--X" + CRLF + b"--Xy" + CRLF + b"--XyQ" + b"\r\r\n-" + CRLF) + end),
        ("folded-header", b,
         d + CRLF + b"Content-Disposition: form-data;" + CRLF + b' name="filedata"' + CRLF + CRLF + b"x" + CRLF + end),
        ("folded-header-tab", b,
         d + CRLF + b"Content-Disposition: form-data;" + CRLF + b'\tname="filedata"' + CRLF + CRLF + b"x" + CRLF + end),
        ("preamble", b, b"preamble" + CRLF + part(d, fh, b"x") + end),
        ("header-line-without-colon", b, d + CRLF + b"Bogus-Line" + CRLF + CRLF + b"x" + CRLF + end),
        ("lf-line-ends", b, (d + b"\nContent-Disposition: form-data; name=\"filedata\"\n\nx\n" + end)),
        ("epilogue", b, part(d, fh, b"x") + end + b"epilogue" + CRLF),
        ("space-after-delimiter", b, d + b" " + CRLF + b"\r\n"),
        ("two-file-parts", b, part(d, fh, b"first") + part(d, fh, b"second") + end),
        ("name-prefix-only", b, part(d, file_headers(b'"file"'), b"x") + end),
        ("filename-before-name", b,
         part(d, [b'Content-Disposition: form-data; filename="a"; name="filedata"'], b"x") + end),
        ("digit-in-header-name", b, d + CRLF + b"X-1: y" + CRLF + CRLF + b"x" + CRLF + end),
        ("quoted-boundary", b'"q b"', part(b'--"q b"', fh, b"x") + b'--"q b"--\r\n'),
        ("empty-boundary", b"", part(b"--", fh, b"x") + b"----\r\n"),
        ("long-boundary", b"B" * 70, part(b"--" + b"B" * 70, fh, b"x") + b"--" + b"B" * 70 + b"--\r\n"),
        ("one-char-boundary", b"a", part(b"--a", fh, b"\r\n--\r\n-a") + b"--a--"),
        ("only-closing-delimiter", b, end),
    ]
    return cases


def scanner_seed(delimiter, body, schedule=(), rule=0):
    assert len(delimiter) < 256 and len(schedule) < 256
    return (bytes([rule, len(delimiter)]) + delimiter + bytes([len(schedule)]) + bytes(schedule) + body)


def request_seed(body, content_type, flags=1 | 2 | 4 | 8, length=b"", fault=0, at=0):
    return bytes([flags, fault, at]) + length + b"\0" + content_type + b"\0" + body


def write(folder, name, data):
    path = os.path.join(HERE, "corpus", folder)
    os.makedirs(path, exist_ok=True)
    with open(os.path.join(path, name), "wb") as f:
        f.write(data)


def main():
    for folder in ("scanner_fuzz", "request_fuzz"):
        path = os.path.join(HERE, "corpus", folder)
        if os.path.isdir(path):
            for name in os.listdir(path):
                if name.startswith("seed-"):
                    os.remove(os.path.join(path, name))

    rng = random.Random(5)
    bodies = [(n, ct, body) for n, ct, body in captured()]
    bodies += [(n, b"multipart/form-data; boundary=" + bnd, body) for n, bnd, body in edge_cases()]

    for name, content_type, body in bodies:
        delimiter = b"--" + content_type.split(b"=", 1)[1]
        write("scanner_fuzz", "seed-%s" % name, scanner_seed(delimiter, body))
        schedule = [rng.randrange(1, 256) for _ in range(rng.randrange(1, 8))]
        write("scanner_fuzz", "seed-%s-split" % name, scanner_seed(delimiter, body, schedule))
        write("request_fuzz", "seed-%s" % name, request_seed(body, content_type))

    # Stops asked for by a callback, at each kind of notice.
    _, ct, body = bodies[0]
    delimiter = b"--" + ct.split(b"=", 1)[1]
    for rule, label in ((1, "part-start"), (2, "headers-end"), (3 | 8, "second-part-finish"), (4, "body-finish")):
        write("scanner_fuzz", "seed-stop-at-%s" % label, scanner_seed(delimiter, body, [3], rule))
    write("scanner_fuzz", "seed-empty-delimiter", scanner_seed(b"", b"--\r\n"))

    # One failing system call of every kind, on a real upload.
    _, ct, body = next(b for b in bodies if b[0] == "curl-client-cert")
    for fault in range(1, 17):
        for at in (0, 1):
            write("request_fuzz", "seed-fault-%d-at-%d" % (fault, at), request_seed(body, ct, fault=fault, at=at))
    # The same where the file beside the target is refused: the commit in place.
    for fault in range(0, 17):
        write("request_fuzz", "seed-in-place-fault-%d" % fault,
              request_seed(body, ct, flags=1 | 2 | 4 | 8 | 16, fault=fault))

    # A file part past the spool buffer, so that it is written out mid-part.
    big = bytes(rng.randrange(256) for _ in range(70000))
    d = b"--XyZ"
    write("request_fuzz", "seed-large-file",
          request_seed(part(d, file_headers(), big) + d + b"--\r\n", b"multipart/form-data; boundary=XyZ"))

    # The environment in odd forms.
    _, ct, body = bodies[0]
    for label, length in (("spaces", b"  123"), ("plus", b"+5"), ("minus", b"-1"), ("zeros", b"000000000001"),
                          ("2-to-32", b"4294967296"), ("100-digits", b"9" * 100), ("letters", b"abc"),
                          ("limit", b"8388608"), ("above-limit", b"8388609"), ("short", b"100")):
        write("request_fuzz", "seed-length-%s" % label, request_seed(body, ct, flags=1 | 4 | 8, length=length))
    for label, content_type in (("no-equals", b"multipart/form-data;"), ("capital", b"Multipart/form-data; boundary=x"),
                                ("space-before-semicolon", b"multipart/form-data ;boundary=x"),
                                ("charset-first", b"multipart/form-data; charset=utf-8; boundary=x")):
        write("request_fuzz", "seed-type-%s" % label, request_seed(body, content_type, flags=1 | 2 | 4))
    write("request_fuzz", "seed-no-environment", request_seed(body, b"", flags=0))
    write("request_fuzz", "seed-cross-site", request_seed(body, ct, flags=1 | 2 | 4 | 8 | 32))


if __name__ == "__main__":
    main()
