#!/usr/bin/env python3
"""Runs the dnlinfo program on small images: command line, exit statuses,
text and JSON output. Usage: cli_test.py <dnlinfo> <version> [sample.dnl]"""

import json
import os
import struct
import subprocess
import sys
import tempfile

DNLINFO, VERSION = sys.argv[1], sys.argv[2]
SAMPLE = sys.argv[3] if len(sys.argv) > 3 else None
failures = []


def file_header(count):
    return b"\x55\xaa" + b"abcdef" + struct.pack(">H", count) + b"ghij"


def record(number, length):
    return b"ZZ" + struct.pack(">H", number) + b"fld_" + struct.pack(">I", length) + b"p" * length + b"TRLR"


def run(*args, cwd=None):
    result = subprocess.run([DNLINFO, *args], capture_output=True, timeout=30, cwd=cwd)
    return result.returncode, result.stdout.decode("utf-8"), result.stderr.decode("utf-8")


def check(name, condition, detail=""):
    if not condition:
        failures.append(f"{name}: {detail}")


with tempfile.TemporaryDirectory() as folder:
    def image(name, data):
        path = os.path.join(folder, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    sound = image("sound.dnl", file_header(2) + record(0, 5) + record(1, 300))
    tolerated = image("tolerated.dnl", file_header(5) + record(1, 5) + record(0, 5))
    torn = image("torn.dnl", file_header(2) + record(0, 5) + record(1, 300)[:-10])
    # A name a script might choke on, to show the JSON stays valid.
    odd = image('odd "name" \\ \n\xe9.dnl', file_header(0))
    missing = os.path.join(folder, "missing.dnl")

    cases = [
        # name, path, status, defect error, warnings
        ("sound", sound, 0, None, []),
        ("tolerated", tolerated, 0, None,
         ["number_out_of_order", "number_out_of_order", "count_mismatch"]),
        ("torn", torn, 1, "file_read", []),
        ("odd name", odd, 0, None, []),
    ]
    for name, path, status, error, warnings in cases:
        code, out, err = run("--json", path)
        check(name, code == status, f"status {code}, expected {status}; {err}")
        try:
            doc = json.loads(out)
        except ValueError as e:
            check(name, False, f"JSON does not parse: {e}\n{out}")
            continue
        check(name, doc["file"] == path, f"file {doc['file']!r}")
        check(name, doc["sends_whole"] == (status == 0), "sends_whole")
        check(name, (doc["defect"] or {}).get("error") == error, f"defect {doc['defect']}")
        check(name, [w["kind"] for w in doc["warnings"]] == warnings, f"warnings {doc['warnings']}")

        text_code, text, _ = run(path)
        check(name + " (text)", text_code == status, f"status {text_code}")
        check(name + " (text)", text.rstrip("\n").split("\n")[-1].startswith("verdict  "), text)

    code, out, _ = run("--json", sound)
    doc = json.loads(out)
    check("records", [(r["offset"], r["number"], r["payload_length"]) for r in doc["records"]]
          == [(14, 0, 5), (35, 1, 300)], doc["records"])
    check("header", doc["header"] == {"magic": "55AA", "packet_count": 2,
                                      "bytes_2_7": "616263646566", "bytes_10_13": "6768696A"},
          doc["header"])
    check("totals", doc["totals"]["wire_bytes"] == 64 + 2 * 50 + 305, doc["totals"])

    code, out, _ = run(torn)
    check("torn text", '"File read error."' in out and "at 35 (0x23)" in out, out)

    code, out, err = run(missing)
    check("missing", code == 1 and "Can't open input file " + missing in err, f"{code} {err}")
    code, out, err = run("--json", missing)
    check("missing json", code == 1 and json.loads(out)["opened"] is False, out)

    code, out, _ = run("--version")
    check("--version", code == 0 and out == f"dnlinfo {VERSION}\n", out)
    code, out, _ = run("--help")
    check("--help", code == 0 and out.startswith("Usage: dnlinfo"), out)
    for args in [(), ("--frobnicate", sound), (sound, sound)]:
        code, out, err = run(*args)
        check(f"usage {args}", code == 2 and out == "" and "dnlinfo --help" in err, f"{code} {err}")
    # After "--" a name that starts with a dash is a file.
    image("-dash.dnl", file_header(0))
    code, _, err = run("--", "-dash.dnl", cwd=folder)
    check("after --", code == 0, err)

if SAMPLE:
    # The image made for demonstrations must be one stbflash sends whole.
    code, out, err = run("--json", SAMPLE)
    doc = json.loads(out)
    check("sample", code == 0 and doc["sends_whole"] and not doc["warnings"]
          and len(doc["records"]) == doc["header"]["packet_count"], out + err)

for failure in failures:
    print("FAIL", failure)
sys.exit(1 if failures else 0)
