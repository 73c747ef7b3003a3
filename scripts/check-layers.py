#!/usr/bin/env python3
"""Fails when a file includes a header of a higher layer.

The layers, lowest first; a file may include its own layer and lower ones.
browser and tools stand side by side and do not include each other.
Tests and benchmarks may include anything."""
import os, re, sys

LAYERS = [
    ("core", 0),
    ("db", 1),
    ("dicom/toolkit/viewer", 3),
    ("dicom/toolkit", 2),
    ("dicom", 4),
    ("transfer", 5),
    ("browser", 6),
    ("tools", 6),
    ("app/shell", 7),
    ("app/windows", 8),
    ("app", 9),
]

def layer_of(path):
    for prefix, rank in LAYERS:
        if path == prefix or path.startswith(prefix + "/"):
            return prefix, rank
    return None, None

root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
os.chdir(root)
include = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
faults = []
for top in sorted({p.split("/")[0] for p, _ in LAYERS}):
    for d, _, files in os.walk(top):
        for f in files:
            if not f.endswith((".cpp", ".h")):
                continue
            path = os.path.join(d, f)
            own, rank = layer_of(path)
            for target in include.findall(open(path, encoding="utf-8").read()):
                other, other_rank = layer_of(target)
                if other is None:
                    faults.append(f"{path}: include \"{target}\" does not name its layer")
                elif other_rank > rank or (other_rank == rank and other != own):
                    faults.append(f"{path}: {own} must not include {target} ({other} is above it)")
for fault in faults:
    print(fault)
sys.exit(1 if faults else 0)
