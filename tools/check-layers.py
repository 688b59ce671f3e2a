#!/usr/bin/env python3
"""Checks the include graph of the programs' sources: no include circle
between modules (a header and its .cpp), and every include goes down the layers of its program (a
folder includes only itself and the folders below it). Prints what it finds
and exits 1 when anything is wrong. Run by tools/test.sh before the build."""
import os
import re
import sys

TOP = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

# Bottom first: each folder may include the folders before it in its list.
COMMON = ["common/system", "common/text", "common/secrets", "common/settings",
          "common/net", "common/oauth", "common/mail"]
SERVICE = COMMON + ["service/core", "service/mail", "service/alarm",
                    "service/capture", "service/forward", "service/log", "service"]
# The client's window layer and its instance model know nothing of each
# other; the screens (client/) stand on both.
LAYERS = {folder: COMMON[:i] for i, folder in enumerate(COMMON)}
LAYERS.update({folder: SERVICE[:i] for i, folder in enumerate(SERVICE) if folder not in LAYERS})
LAYERS["client/window"] = []
LAYERS["client/instances"] = COMMON[:]
LAYERS["client"] = COMMON + ["client/window", "client/instances"]
# The MSI package's custom actions do what the configuration program's
# instance model does.
LAYERS["installer/actions"] = COMMON + ["client/instances"]

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def sources():
    for root in ("common", "service", "client", "installer"):
        for folder, _, files in os.walk(os.path.join(TOP, root)):
            for name in files:
                if name.endswith((".h", ".cpp")):
                    yield os.path.relpath(os.path.join(folder, name), TOP)


def main():
    graph, problems = {}, []
    for path in sorted(sources()):
        text = open(os.path.join(TOP, path), encoding="latin-1").read()
        folder = os.path.dirname(path)
        graph[path] = []
        for target in INCLUDE.findall(text):
            if not os.path.exists(os.path.join(TOP, target)):
                continue        # generated (version, message table) or the system's
            graph[path].append(target)
            where = os.path.dirname(target)
            if where != folder and where not in LAYERS.get(folder, []):
                problems.append(f"{path} includes {target}: {where}/ is not below {folder}/")
    # Circles between modules (a header and its .cpp are one module): a
    # depth-first search for a way back.
    modules = {}
    for path, targets in graph.items():
        edges = modules.setdefault(os.path.splitext(path)[0], set())
        edges.update(os.path.splitext(t)[0] for t in targets)
    for module, edges in modules.items():
        edges.discard(module)
    state = {}

    def visit(module, trail):
        state[module] = 1
        for nxt in sorted(modules.get(module, ())):
            if state.get(nxt) == 1:
                problems.append("include circle: " + " -> ".join(trail[trail.index(nxt):] + [nxt]))
            elif nxt in modules and not state.get(nxt):
                visit(nxt, trail + [nxt])
        state[module] = 2

    for module in sorted(modules):
        if not state.get(module):
            visit(module, [module])
    for p in problems:
        print(p)
    print(f"check-layers: {len(graph)} files, {sum(map(len, graph.values()))} includes, "
          f"{len(problems)} problem(s)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
