#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Prints the include graph of the folders under core/ and fails when the
code breaks the layering the build declares.

Each folder core/<name> is the library kestrel_<name>; its CMakeLists.txt
links it with the libraries it may use. A file may include a header of
another folder only when its library links that folder's library, directly
or through a PUBLIC link of one it links. Further rules:
  - no cycle between folders;
  - headers under a folder's detail/ are private: only that folder and its
    tests and benchmarks include them;
  - heavy dependencies stay in one place: OpenCV in core/detection,
    jpeglib.h in core/jpeg, Qt in app/, Tesseract and Exiv2 in core/bibs.

Usage: scripts/check_layers.py [--quiet] [REPO]   (exit status 1 on a finding)
"""
import re
import sys
from pathlib import Path

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.M)
LINK = re.compile(r'target_link_libraries\(\s*kestrel_(\w+)\s+([^)]*)\)', re.S)
SOURCES = ('.h', '.cpp', '.hpp', '.cc')

# Where each heavy dependency may be included (path prefixes).
CONFINED = [
    (re.compile(r'^opencv2/'), ('core/detection/', 'tests/', 'bench/'), 'OpenCV'),
    (re.compile(r'^(jpeglib|jerror|turbojpeg)\.h$'), ('core/jpeg/', 'tests/jpeg/', 'bench/', 'fuzz/'), 'libjpeg'),
    (re.compile(r'^Q[A-Za-z]+$|^Qt[A-Za-z]+/'), ('app/', 'tests/app/'), 'Qt'),
    (re.compile(r'^tesseract/'), ('core/bibs/', 'tests/bibs/', 'bench/'), 'Tesseract'),
    (re.compile(r'^exiv2/'), ('core/bibs/', 'tests/bibs/'), 'Exiv2'),
]


def declared_links(core):
    """kestrel_<folder> → (public deps, all direct deps), folder names only."""
    links = {}
    for cmake in sorted(core.glob('*/CMakeLists.txt')):
        text = re.sub(r'#.*', '', cmake.read_text())
        for target, body in LINK.findall(text):
            public, direct, mode = set(), set(), 'PRIVATE'
            for word in body.split():
                if word in ('PUBLIC', 'PRIVATE', 'INTERFACE'):
                    mode = word
                elif word.startswith('kestrel_') and word != 'kestrel_warnings':
                    name = word[len('kestrel_'):]
                    direct.add(name)
                    if mode != 'PRIVATE':
                        public.add(name)
            old = links.setdefault(target, (set(), set()))
            old[0].update(public)
            old[1].update(direct)
    return links


def reachable(links, folder):
    """The folders a folder's library may use: its direct links and,
    through them, every PUBLIC link further down."""
    seen, todo = set(), list(links.get(folder, (set(), set()))[1])
    while todo:
        name = todo.pop()
        if name in seen:
            continue
        seen.add(name)
        todo.extend(links.get(name, (set(), set()))[0])
    return seen


def find_cycle(graph):
    state, stack = {}, []

    def visit(node):
        state[node] = 'open'
        stack.append(node)
        for nxt in sorted(graph.get(node, ())):
            if state.get(nxt) == 'open':
                return stack[stack.index(nxt):] + [nxt]
            if nxt not in state:
                found = visit(nxt)
                if found:
                    return found
        stack.pop()
        state[node] = 'done'
        return None

    for node in sorted(graph):
        if node not in state:
            found = visit(node)
            if found:
                return found
    return None


def main(argv):
    quiet = '--quiet' in argv
    args = [a for a in argv if not a.startswith('--')]
    repo = Path(args[0] if args else Path(__file__).resolve().parent.parent)
    core = repo / 'core'
    links = declared_links(core)
    folders = sorted(p.name for p in core.iterdir() if p.is_dir())
    graph = {f: set() for f in folders}
    problems = []

    for path in sorted(repo.rglob('*')):
        rel = path.relative_to(repo).as_posix()
        if path.suffix not in SOURCES or rel.split('/')[0] not in ('core', 'app', 'cli', 'tests', 'bench', 'fuzz'):
            continue
        parts = rel.split('/')
        owner = parts[1] if parts[0] in ('core', 'tests') and len(parts) > 2 else None
        for kind, header in INCLUDE.findall(path.read_text(errors='replace')):
            for pattern, allowed, what in CONFINED:
                if kind == '<' and pattern.search(header) and not rel.startswith(allowed):
                    problems.append(f'{rel}: includes {what} ({header}), which belongs in {allowed[0]}')
            if kind != '"' or not header.startswith('core/'):
                continue
            target = header.split('/')[1]
            if '/detail/' in header and not (owner == target and parts[0] in ('core', 'tests')) \
                    and parts[0] not in ('bench', 'fuzz'):
                problems.append(f'{rel}: includes {header}, private to core/{target}')
            if parts[0] != 'core' or target == owner:
                continue
            graph[owner].add(target)
            if target not in reachable(links, owner):
                problems.append(f'{rel}: includes {header}, but kestrel_{owner} does not link '
                                f'kestrel_{target} (add it to core/{owner}/CMakeLists.txt if the '
                                f'dependency is meant)')

    if not quiet:
        print('folder → folders it includes (core/)')
        for folder in folders:
            print(f'  {folder:10} → {", ".join(sorted(graph[folder])) or "—"}')
    cycle = find_cycle(graph)
    if cycle:
        problems.append('include cycle between folders: ' + ' → '.join(cycle))
    for line in problems:
        print('check_layers: ' + line, file=sys.stderr)
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
