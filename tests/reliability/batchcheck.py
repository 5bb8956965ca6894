#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Checks of batch directories and the card registry for the fault scripts.

Every command prints what it found; a violated promise is printed as a
line starting with "VIOLATION:" and makes the exit status 1.

  manifest BATCH                      JSON {relative path: sha256} of photos/, filtered/, review/
  killed BATCH REF.json [--empty-claims-allowed]
                                      a batch left by a killed run: only finished files
                                      (identical to the reference), hidden .partial files,
                                      complete reports and previews; prints its phase. With
                                      the flag, an empty file under a final name (the claim
                                      of the no-hard-link write path) is counted, not a violation
  registry ROOT                       the registry's structure; prints it as JSON
  next-name ROOT LABEL DATE IDENTITY  the directory the next labelled run of that source gets
  reports BATCH [FORBIDDEN...]        the reports exist, are valid UTF-8, parse, agree with each
                                      other; report.html holds none of the FORBIDDEN strings
  delivered BATCH (--input DIR | --ref REF.json)
                                      every file the summary calls delivered is there with its
                                      full content (the original's bytes, or the reference's),
                                      and no file is there that the summary calls failed
  strays BATCH                        hidden or temporary files left anywhere in a batch
"""
import csv
import hashlib
import io
import json
import os
import re
import sys

OUTPUT_FOLDERS = ("photos", "filtered", "review")
REPORTS = ("summary.json", "statistics.json", "files.csv", "bibs.csv", "report.html")
PARTIAL = re.compile(rb"^\.[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\.partial$")
PREVIEW = re.compile(rb"^\d+-(before|after|focus)\.jpg$")

violations = []


def violation(text):
    violations.append(text)
    print("VIOLATION: " + text)


def show(path):
    return os.fsdecode(path) if isinstance(path, bytes) else path


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def walk(top):
    """(relative path bytes, absolute path bytes, is_dir) of everything below top."""
    top = os.fsencode(top)
    for folder, dirs, files in os.walk(top):
        for name in dirs:
            full = os.path.join(folder, name)
            yield os.path.relpath(full, top), full, True
        for name in files:
            full = os.path.join(folder, name)
            yield os.path.relpath(full, top), full, False


def manifest(batch):
    """{relative path (str, surrogate-escaped): sha256} of the delivered folders; hidden files skipped."""
    out = {}
    for folder in OUTPUT_FOLDERS:
        base = os.path.join(os.fsencode(batch), folder.encode())
        if not os.path.isdir(base):
            continue
        for rel, full, is_dir in walk(base):
            if is_dir or os.path.basename(rel).startswith(b"."):
                continue
            out[os.fsdecode(folder.encode() + b"/" + rel)] = sha256(full)
    return out


def complete_jpeg(path):
    with open(path, "rb") as f:
        data = f.read()
    return len(data) > 4 and data[:2] == b"\xff\xd8" and data.rstrip(b"\0")[-2:] == b"\xff\xd9"


def check_report_file(path, name):
    with open(path, "rb") as f:
        data = f.read()
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as error:
        violation(f"{show(path)} is not valid UTF-8: {error}")
        return None
    if name.endswith(".json"):
        try:
            return json.loads(text)
        except ValueError as error:
            violation(f"{show(path)} is not complete JSON: {error}")
            return None
    if name == "files.csv":
        rows = list(csv.reader(io.StringIO(text, newline="")))
        if not rows or len(rows[0]) != 33 or any(len(r) != 33 for r in rows):
            violation(f"{show(path)}: rows without 33 cells")
        if not text.endswith("\n"):
            violation(f"{show(path)} does not end with a line feed")
        return rows
    if name == "bibs.csv":
        rows = list(csv.reader(io.StringIO(text, newline="")))
        if not rows or rows[0] != ["bib", "relative_path", "destination", "confidence"] or \
                any(len(r) != 4 for r in rows):
            violation(f"{show(path)}: not the bib table (header, four cells a line)")
        if not text.endswith("\n"):
            violation(f"{show(path)} does not end with a line feed")
        return rows
    if name == "report.html":
        if "</html>" not in text[-64:]:
            violation(f"{show(path)} is cut short (no </html> at its end)")
        return text
    return data


def killed(batch, ref_path, empty_claims_allowed=False):
    with open(ref_path) as f:
        ref = json.load(f)
    ref_dirs = set()
    for rel in ref:
        parts = rel.split("/")
        for i in range(1, len(parts)):
            ref_dirs.add("/".join(parts[:i]))
    finals, partials, reports, previews, claims = 0, 0, [], 0, 0
    for rel, full, is_dir in walk(batch):
        name = os.path.basename(rel)
        text = os.fsdecode(rel)
        top = text.split("/")[0]
        if is_dir:
            if text == "previews" or text in ref_dirs:
                continue
            violation(f"unexpected folder {text}")
            continue
        if PARTIAL.match(name):
            partials += 1
            continue
        if top in OUTPUT_FOLDERS:
            if name.startswith(b"."):
                violation(f"stray hidden file {text}")
            elif text not in ref:
                violation(f"file not written by a clean run: {text}")
            elif empty_claims_allowed and os.path.getsize(full) == 0:
                claims += 1
            elif sha256(full) != ref[text]:
                size = os.path.getsize(full)
                violation(f"{text} differs from the clean run ({size} bytes): half-written final name")
            else:
                finals += 1
        elif top == "previews" and "/" in text:
            if not PREVIEW.match(name):
                violation(f"unexpected file {text}")
            elif not complete_jpeg(full):
                violation(f"preview {text} is not a complete JPEG")
            else:
                previews += 1
        elif text in REPORTS:
            check_report_file(full, text)
            reports.append(text)
        else:
            violation(f"stray file {text}")
    if reports:
        phase = "reports " + "+".join(r.split(".")[0] for r in REPORTS if r in reports)
    elif previews:
        phase = "previews"
    elif finals or partials or os.path.isdir(os.path.join(batch, "photos")):
        phase = f"photos {finals}/{len(ref)}"
    else:
        phase = "reserved"
    print(json.dumps({"phase": phase, "finals": finals, "partials": partials, "claims": claims,
                      "previews": previews, "reports": reports}, ensure_ascii=False))


def registry(root):
    path = os.path.join(root, ".sunying-batches.json")
    if not os.path.exists(path):
        print("{}")
        return {}
    with open(path, "rb") as f:
        data = f.read()
    try:
        reg = json.loads(data.decode("utf-8"))
    except (UnicodeDecodeError, ValueError) as error:
        violation(f"registry is not valid JSON: {error}")
        return None
    if not isinstance(reg, dict) or set(reg) != {"cards", "schema"}:
        violation(f"registry keys are {sorted(reg) if isinstance(reg, dict) else type(reg)}")
        return None
    if reg["schema"] != 1 or isinstance(reg["schema"], bool):
        violation(f"registry schema is {reg['schema']!r}")
    if not isinstance(reg["cards"], dict):
        violation("registry cards is not an object")
        return None
    for prefix, sources in reg["cards"].items():
        if not prefix.endswith("-卡") or not isinstance(sources, dict):
            violation(f"registry entry {prefix!r} malformed")
            continue
        numbers = []
        for key, number in sources.items():
            if not re.fullmatch(r"[0-9a-f]{64}", key):
                violation(f"registry source key {key!r} is not a SHA-256 hex digest")
            if not isinstance(number, int) or isinstance(number, bool) or number < 1:
                violation(f"registry card number {number!r} under {prefix!r}")
            numbers.append(number)
        if len(numbers) != len(set(numbers)):
            violation(f"registry gives one number to two sources under {prefix!r}: {numbers}")
    print(json.dumps(reg, ensure_ascii=False, sort_keys=True))
    return reg


def next_name(root, label, date, identity):
    prefix = f"{label}-{date}-卡"
    reg = registry_quiet(root)
    known = reg.get("cards", {}).get(prefix, {})
    digest = hashlib.sha256(identity.encode()).hexdigest()
    names = os.listdir(root)
    if known.get(digest, 0) >= 1:
        base = prefix + str(known[digest])
        if base not in names:
            return base
        k = 2
        while f"{base}-重跑{k}" in names:
            k += 1
        return f"{base}-重跑{k}"
    disk = 0
    for name in names:
        if name.startswith(prefix):
            digits = re.match(r"[0-9]*", name[len(prefix):]).group(0)
            if digits:
                disk = max(disk, int(digits))
    return prefix + str(max([disk] + list(known.values())) + 1)


def registry_quiet(root):
    path = os.path.join(root, ".sunying-batches.json")
    if not os.path.exists(path):
        return {}
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def destination(entry):
    if "error" in entry:
        return None
    if "filteredReason" in entry:
        return "filtered"
    if "reviewReason" in entry:
        return "review"
    return "photos"


def reports(batch, forbidden):
    parsed = {}
    for name in REPORTS:
        path = os.path.join(batch, name)
        if not os.path.isfile(path):
            violation(f"{name} missing")
            continue
        parsed[name] = check_report_file(path, name)
    summary, stats, rows, bib_rows, html = (parsed.get(n) for n in REPORTS)
    if summary is not None:
        files = summary.get("files", [])
        if summary.get("processed") != len(files):
            violation("summary processed != number of files")
        counts = sum(summary.get(k, 0) for k in ("cropped", "unchanged", "filtered", "review", "failed"))
        if counts != summary.get("processed"):
            violation("summary counts do not add up to processed")
        if rows is not None and len(rows) != len(files) + 1:
            violation(f"files.csv has {len(rows) - 1} lines for {len(files)} files")
        if stats is not None and stats.get("processed") != summary.get("processed"):
            violation("statistics.json and summary.json disagree")
        if bib_rows is not None:
            listed = sorted((b["number"], f["relativePath"]) for f in files for b in f.get("bibs", []))
            if sorted((r[0], r[1]) for r in bib_rows[1:]) != listed:
                violation("bibs.csv and the bibs of summary.json disagree")
        if rows is not None:
            for entry, row in zip(files, rows[1:]):
                if row[1] != entry["relativePath"] or row[21] != entry.get("error", ""):
                    violation(f"files.csv line {entry['index']} disagrees with summary.json")
    if html is not None:
        for text in forbidden:
            if text in html:
                violation(f"report.html holds the raw text {text!r}")
    if summary is not None:
        print(json.dumps({k: summary.get(k) for k in
                          ("discovered", "processed", "cropped", "unchanged", "filtered", "review",
                           "failed", "cancelled")}, ensure_ascii=False))


def delivered(batch, input_dir, ref_path):
    with open(os.path.join(batch, "summary.json"), encoding="utf-8") as f:
        summary = json.load(f)
    ref = None
    if ref_path:
        with open(ref_path) as f:
            ref = json.load(f)
    on_disk = manifest(batch)
    claimed = set()
    for entry in summary["files"]:
        folder = destination(entry)
        rel = entry["relativePath"]
        if folder is None:
            continue
        key = f"{folder}/{rel}"
        claimed.add(key)
        if key not in on_disk:
            violation(f"summary says {key} was delivered, but it is not there")
        elif ref is not None:
            if ref.get(key) != on_disk[key]:
                violation(f"{key} differs from the clean run")
        elif sha256(os.path.join(input_dir, rel)) != on_disk[key]:
            violation(f"{key} differs from the original")
    for key in on_disk:
        if key not in claimed:
            violation(f"{key} is in the batch but the summary does not call it delivered")
    print(json.dumps({"claimed": len(claimed), "present": len(on_disk)}))


def strays(batch):
    found = [os.fsdecode(rel) for rel, _, is_dir in walk(batch)
             if not is_dir and os.path.basename(rel).startswith(b".")]
    for rel in found:
        violation(f"left behind: {rel}")
    print(json.dumps({"hidden": len(found)}))


def main(argv):
    if len(argv) < 3:
        print(__doc__)
        return 2
    command, args = argv[1], argv[2:]
    if command == "manifest":
        print(json.dumps(manifest(args[0]), sort_keys=True, indent=1))
    elif command == "killed":
        killed(args[0], args[1], "--empty-claims-allowed" in args[2:])
    elif command == "registry":
        registry(args[0])
    elif command == "next-name":
        print(next_name(*args))
    elif command == "reports":
        reports(args[0], args[1:])
    elif command == "delivered":
        batch, flag, value = args
        delivered(batch, value if flag == "--input" else None, value if flag == "--ref" else None)
    elif command == "strays":
        strays(args[0])
    else:
        print(__doc__)
        return 2
    return 1 if violations else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
