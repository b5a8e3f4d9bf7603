#!/usr/bin/env python3
"""Writes examples/torus.pts: oriented points sampled uniformly (by area) on a
torus, in wendfit's point file format (count, all positions, all normals).
The point format stores normals pointing into the object; wendfit negates
them on reading. Seeded, so the file is reproducible."""

import math
import random
import sys

MAJOR, MINOR, COUNT, SEED = 1.0, 0.4, 4000, 7


def sample(rng):
    while True:
        u = rng.uniform(0.0, 2.0 * math.pi)
        v = rng.uniform(0.0, 2.0 * math.pi)
        # Area element grows with the distance from the axis: reject to keep
        # the density uniform over the surface.
        if rng.uniform(0.0, MAJOR + MINOR) <= MAJOR + MINOR * math.cos(v):
            return u, v


def main(path):
    rng = random.Random(SEED)
    positions, normals = [], []
    for _ in range(COUNT):
        u, v = sample(rng)
        nx, ny, nz = math.cos(v) * math.cos(u), math.cos(v) * math.sin(u), math.sin(v)
        ring = MAJOR + MINOR * math.cos(v)
        positions.append((ring * math.cos(u), ring * math.sin(u), MINOR * math.sin(v)))
        normals.append((-nx, -ny, -nz))
    with open(path, "w") as out:
        out.write(f"{COUNT}\n")
        for p in positions:
            out.write("%.6f %.6f %.6f\n" % p)
        for n in normals:
            out.write("%.6f %.6f %.6f\n" % n)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "examples/torus.pts")
