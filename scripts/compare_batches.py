#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Compares two batch directories of the same input: every delivered,
filtered and held file byte for byte, and summary.json with everything that
differs from run to run (times, paths, machine) left out.

Usage: scripts/compare_batches.py BATCH_A BATCH_B
Prints what differs; exit status 0 when the two runs agree, 1 otherwise.
A batch directory is the folder holding summary.json; a folder holding
exactly one such directory (an output root after one run) is accepted too.
"""
import hashlib
import json
import sys
from pathlib import Path

# Keys whose values change from run to run.
VOLATILE = {
    'createdAt', 'runDirectory', 'outputRoot', 'machine', 'os', 'timings', 'elapsedSeconds',
    'scanSeconds', 'modelStartupSeconds', 'processingSeconds', 'reportSeconds',
    'firstOutputSeconds', 'p50FileMilliseconds', 'p95FileMilliseconds', 'modelPath',
}


def batch_directory(path):
    path = Path(path)
    if (path / 'summary.json').is_file():
        return path
    found = [p.parent for p in path.glob('*/summary.json')]
    if len(found) != 1:
        sys.exit(f'{path}: expected a batch directory or a folder holding exactly one')
    return found[0]


def outputs(batch):
    digests = {}
    for folder in ('photos', 'filtered', 'review'):
        for f in sorted((batch / folder).rglob('*')):
            if f.is_file():
                digests[f.relative_to(batch).as_posix()] = hashlib.sha256(f.read_bytes()).hexdigest()
    return digests


def stable(value):
    if isinstance(value, dict):
        return {k: stable(v) for k, v in value.items() if k not in VOLATILE}
    if isinstance(value, list):
        return [stable(v) for v in value]
    return value


def differences(a, b, where=''):
    if isinstance(a, dict) and isinstance(b, dict):
        for key in sorted(set(a) | set(b)):
            if key not in a or key not in b:
                yield f'{where}/{key}: only in {"B" if key not in a else "A"}'
            else:
                yield from differences(a[key], b[key], f'{where}/{key}')
    elif isinstance(a, list) and isinstance(b, list) and len(a) == len(b):
        for i, (x, y) in enumerate(zip(a, b)):
            yield from differences(x, y, f'{where}[{i}]')
    elif a != b:
        yield f'{where}: {json.dumps(a, ensure_ascii=False)} != {json.dumps(b, ensure_ascii=False)}'


def main(argv):
    if len(argv) != 2:
        sys.exit(__doc__)
    a, b = (batch_directory(p) for p in argv)
    found = []
    files_a, files_b = outputs(a), outputs(b)
    for name in sorted(set(files_a) | set(files_b)):
        if files_a.get(name) != files_b.get(name):
            found.append(f'{name}: ' + ('differs' if name in files_a and name in files_b
                                        else f'only in {"A" if name in files_a else "B"}'))
    summary_a = stable(json.loads((a / 'summary.json').read_text()))
    summary_b = stable(json.loads((b / 'summary.json').read_text()))
    found.extend('summary.json' + d for d in differences(summary_a, summary_b))
    for line in found:
        print(line)
    print(f'{len(files_a)} files compared; ' + ('no differences' if not found else f'{len(found)} differences'))
    return 1 if found else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
