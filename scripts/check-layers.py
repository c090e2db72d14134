#!/usr/bin/env python3
"""The include graph between the folders of src/: every #include "x.h" is
mapped to the folder that holds x.h (the including folder first, as the
compiler finds it). Prints the edges and exits 1 when a header name exists in
two folders or the folders depend on each other in a cycle."""
import os
import re
import sys
from collections import defaultdict

root = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'src')
include = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)

homes = defaultdict(set)   # header name -> folders holding it
files = []
for folder in sorted(os.listdir(root)):
    path = os.path.join(root, folder)
    if not os.path.isdir(path):
        continue
    for dirpath, _, names in os.walk(path):
        for name in names:
            if name.endswith(('.h', '.cpp')):
                files.append((folder, os.path.join(dirpath, name)))
            if name.endswith('.h'):
                homes[name].add(folder)

failed = False
for name, folders in sorted(homes.items()):
    if len(folders) > 1:
        print(f'header name in several folders: {name}: {", ".join(sorted(folders))}')
        failed = True

edges = defaultdict(set)
for folder, path in files:
    with open(path, encoding='utf-8', errors='replace') as f:
        for header in include.findall(f.read()):
            base = os.path.basename(header)
            if base not in homes or folder in homes[base]:
                continue   # generated, outside src/, or its own folder
            for target in homes[base]:
                edges[folder].add(target)

for folder in sorted(edges):
    print(f'{folder} -> {" ".join(sorted(edges[folder]))}')

# Depth-first search for a cycle.
state = {}
def visit(node, trail):
    global failed
    state[node] = 'open'
    for nxt in sorted(edges.get(node, ())):
        if state.get(nxt) == 'open':
            print('cycle: ' + ' -> '.join(trail[trail.index(nxt):] + [nxt]))
            failed = True
        elif nxt not in state:
            visit(nxt, trail + [nxt])
    state[node] = 'done'

for node in sorted(edges):
    if node not in state:
        visit(node, [node])
print('no cycle' if not failed else 'FAILED')
sys.exit(1 if failed else 0)
