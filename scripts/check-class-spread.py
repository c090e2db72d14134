#!/usr/bin/env python3
"""One class, one file pair: lists every class whose member functions are
defined in more than one .cpp file and exits 1 when there is any. A per-OS
backend (name_posix.cpp, name_win.cpp, name_linux.cpp, name_openssl.cpp,
name_schannel.cpp) counts as the file it completes (name.cpp).

With --sizes FOLDER..., also prints the classes of those folders by the
number of member functions declared in their class body, largest first,
with the number of their other members (data, types, constants)."""
import os
import re
import sys
from collections import defaultdict

here = os.path.dirname(os.path.abspath(__file__))
top = os.path.normpath(os.path.join(here, '..'))
folders = ['src', 'tests', 'tools', 'bench']
backend = re.compile(r'_(posix|win|linux|openssl|schannel)$')

# A definition starts a line: an optional return type, then Class::member(.
definition = re.compile(
    r'^(?:template\s*<[^>]*>\s*)?(?:[\w:<>,*&\s]+?[\s*&])?'
    r'((?:\w+::)*?)(\w+)::(~?\w+|operator\s*\S+?)\s*\(', re.M)
class_decl = re.compile(r'\b(?:class|struct)\s+(?:\[\[\w+\]\]\s*)?(\w+)\s*(?:final\s*)?[:{]')


def sources(ext):
    for folder in folders:
        for dirpath, _, names in os.walk(os.path.join(top, folder)):
            for name in sorted(names):
                if name.endswith(ext):
                    yield os.path.join(dirpath, name)


def strip_comments(text):
    text = re.sub(r'/\*.*?\*/', '', text, flags=re.S)
    return re.sub(r'//[^\n]*', '', text)


def at_file_level(text, position):
    """True when position lies outside every brace but a namespace's."""
    stack = []
    for brace in re.finditer(r'[{}]', text[:position]):
        if brace.group() == '}':
            if stack:
                stack.pop()
            continue
        before = text[max(0, brace.start() - 200):brace.start()]
        stack.append(bool(re.search(r'(namespace(\s+[\w:]+)?|extern\s+"C")\s*$', before)))
    return all(stack)


classes = set()
for path in list(sources('.h')) + list(sources('.cpp')):
    with open(path, encoding='utf-8', errors='replace') as f:
        classes.update(class_decl.findall(strip_comments(f.read())))

homes = defaultdict(set)   # class -> file stems defining its members
for path in sources('.cpp'):
    with open(path, encoding='utf-8', errors='replace') as f:
        text = strip_comments(f.read())
    stem = backend.sub('', os.path.splitext(os.path.relpath(path, top))[0])
    for match in definition.finditer(text):
        owner = match.group(2)
        if owner in classes and at_file_level(text, match.start()):
            homes[owner].add(stem)

spread = {owner: stems for owner, stems in homes.items() if len(stems) > 1}
for owner in sorted(spread):
    print(f'{owner}: members defined in {", ".join(s + ".cpp" for s in sorted(spread[owner]))}')
if not spread:
    print(f'{len(homes)} classes, each defined in one file (per-OS backends aside)')


def body_declarations(text, name):
    """Member functions and other members declared in the body of class `name`."""
    match = re.search(r'\b(?:class|struct)\s+' + name + r'\b[^;{]*\{', text)
    if not match:
        return None
    depth, i, start = 1, match.end(), match.end()
    while depth and i < len(text):
        depth += {'{': 1, '}': -1}.get(text[i], 0)
        i += 1
    body = text[start:i - 1]
    # Nested bodies (inline functions, nested types) collapse to "@".
    while True:
        flat = re.sub(r'\{[^{}]*\}', '@', body)
        if flat == body:
            break
        body = flat
    body = re.sub(r'\b(public|protected|private|signals|Q_SIGNALS|public slots|private slots)\s*:', ';', body)
    body = re.sub(r'\bQ_OBJECT\b', ';', body)
    functions = others = 0
    for part in re.split(r'[;@]', body):
        part = part.strip()
        if not part or part.startswith('friend') or part.startswith('#'):
            continue
        # Template arguments may hold parentheses (std::function<void(int)>).
        while True:
            flat = re.sub(r'<[^<>]*>', '', part)
            if flat == part:
                break
            part = flat
        if re.search(r'(\w|operator\s*\S+|&)\s*\(', part.split('=')[0]):
            functions += 1
        else:
            others += 1
    return functions, others


if len(sys.argv) > 1 and sys.argv[1] == '--sizes':
    print('member functions, other members, class:')
    for folder in sys.argv[2:]:
        sizes = []
        for dirpath, _, names in os.walk(os.path.join(top, folder)):
            for file in sorted(names):
                if not file.endswith('.h'):
                    continue
                with open(os.path.join(dirpath, file), encoding='utf-8', errors='replace') as f:
                    text = strip_comments(f.read())
                for name in class_decl.findall(text):
                    counts = body_declarations(text, name)
                    if counts and counts[0]:
                        sizes.append((counts, name, file))
        for (functions, others), name, file in sorted(sizes, reverse=True):
            print(f'{functions:4} {others:4}  {name} ({folder}/{file})')

sys.exit(1 if spread else 0)
