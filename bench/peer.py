#!/usr/bin/python3
"""Helpers of bench/peer.sh, one subcommand per separately timed step.

  describe SCAN.off             size and topology of a scanned mesh
  sample SCAN.off COUNT SEED OUT.ply
                                oriented points, area-uniform on the scan,
                                as binary little-endian PLY (x y z nx ny nz
                                float); the normal is the face's, turned
                                outward (positive enclosed volume)
  noisy IN.ply SIGMA NORMAL_NOISE SEED OUT.ply
                                the points of IN.ply (as sample writes
                                them) with seeded Gaussian noise: SIGMA
                                times the points' box diagonal on every
                                coordinate, NORMAL_NOISE on every normal
                                component, then each normal renormalised
  poisson IN.ply DEPTH OUT.ply THREADS
                                screened Poisson reconstruction (Open3D),
                                no density trimming; THREADS -1 = every core
  measure SCAN.off MESH.ply SAMPLES SEED
                                distance of MESH to SCAN as fractions of the
                                scan's box diagonal: mean over SAMPLES
                                area-uniform points of MESH, max over those
                                and MESH's vertices (exact point-to-triangle
                                distances); triangles, boundary edges and
                                connected components of MESH

Each prints one line of key=value pairs. Sampling uses numpy's PCG64 with
the given seed, so the same seed gives the same file.
"""

import sys
import time

import numpy as np


def read_mesh(path):
    """Vertices (float64, n x 3) and triangles (int64, m x 3) of a mesh file;
    Open3D reads OFF and PLY and splits polygons into triangles."""
    import open3d as o3d

    mesh = o3d.io.read_triangle_mesh(path)
    vertices = np.asarray(mesh.vertices, dtype=np.float64)
    triangles = np.asarray(mesh.triangles, dtype=np.int64)
    if len(vertices) == 0:
        sys.exit(f"peer.py: error: {path}: no vertices read (expected a mesh)")
    return vertices, triangles


def read_off(path):
    """Vertices (float64) and triangles (int64; polygons split into fans) of
    an OFF file, with numpy alone, so that sampling does not need Open3D."""
    with open(path) as f:
        words = [w for line in f for w in line.split("#", 1)[0].split()]
    if not words or words[0] != "OFF":
        sys.exit(f"peer.py: error: {path}:1: not an OFF file (expected \"OFF\")")
    nv, nf = int(words[1]), int(words[2])
    start = 4
    vertices = np.array(words[start:start + 3 * nv], dtype=np.float64).reshape(nv, 3)
    rest = words[start + 3 * nv:]
    triangles = []
    i = 0
    for _ in range(nf):
        k = int(rest[i])
        face = [int(w) for w in rest[i + 1:i + 1 + k]]
        triangles.extend([face[0], face[j], face[j + 1]] for j in range(1, k - 1))
        i += 1 + k
    return vertices, np.array(triangles, dtype=np.int64).reshape(-1, 3)


def face_cross(vertices, triangles):
    a, b, c = (vertices[triangles[:, k]] for k in range(3))
    return a, b, c, np.cross(b - a, c - a)


def sample_surface(vertices, triangles, count, rng):
    """count points area-uniformly on the triangles, with their triangles'
    indices: a triangle by area, then a uniform point on it."""
    a, b, c, cross = face_cross(vertices, triangles)
    area = np.linalg.norm(cross, axis=1)
    cdf = np.cumsum(area)
    face = np.searchsorted(cdf, rng.random(count) * cdf[-1], side="right")
    face = np.minimum(face, len(triangles) - 1)
    r1, r2 = rng.random(count), rng.random(count)
    s = np.sqrt(r1)[:, None]
    t = r2[:, None]
    points = (1 - s) * a[face] + s * (1 - t) * b[face] + s * t * c[face]
    return points, face


def edge_counts(triangles):
    edges = np.sort(np.concatenate([triangles[:, [0, 1]], triangles[:, [1, 2]],
                                    triangles[:, [2, 0]]]), axis=1)
    _, counts = np.unique(edges, axis=0, return_counts=True)
    return counts


def weld(vertices, triangles):
    """Merges vertices at identical positions, so that topology does not
    depend on whether a writer shares vertices."""
    unique, inverse = np.unique(vertices, axis=0, return_inverse=True)
    return unique, inverse.reshape(-1)[triangles]


def components(vertices, triangles):
    """Connected components of triangles that share an edge."""
    import open3d as o3d

    if len(triangles) == 0:
        return 0
    mesh = o3d.geometry.TriangleMesh(o3d.utility.Vector3dVector(vertices),
                                     o3d.utility.Vector3iVector(triangles.astype(np.int32)))
    _, sizes, _ = mesh.cluster_connected_triangles()
    return len(sizes)


def signed_volume(vertices, triangles):
    a, b, c, _ = face_cross(vertices, triangles)
    return np.einsum("ij,ij->i", a, np.cross(b, c)).sum() / 6.0


def box_diagonal(vertices):
    return float(np.linalg.norm(vertices.max(axis=0) - vertices.min(axis=0)))


def describe(scan):
    vertices, triangles = read_off(scan)
    counts = edge_counts(triangles)
    print(f"vertices={len(vertices)} triangles={len(triangles)} "
          f"boundary_edges={int((counts == 1).sum())} "
          f"nonmanifold_edges={int((counts > 2).sum())} "
          f"components={components(vertices, triangles)} "
          f"volume={signed_volume(vertices, triangles):.6g} "
          f"diagonal={box_diagonal(vertices):.6g}")


def sample(scan, count, seed, out):
    vertices, triangles = read_off(scan)
    rng = np.random.default_rng(seed)
    points, face = sample_surface(vertices, triangles, count, rng)
    _, _, _, cross = face_cross(vertices, triangles[face])
    normals = cross / np.linalg.norm(cross, axis=1)[:, None]
    # Winding is consistent in these scans; a negative enclosed volume means
    # it is clockwise seen from outside, so the face normals point inward.
    if signed_volume(vertices, triangles) < 0:
        normals = -normals
    data = np.hstack([points, normals]).astype("<f4")
    header = ("ply\nformat binary_little_endian 1.0\n"
              f"comment area-uniform sample of {scan.rsplit('/', 1)[-1]}, seed {seed}\n"
              f"element vertex {count}\n"
              + "".join(f"property float {name}\n" for name in ("x", "y", "z", "nx", "ny", "nz"))
              + "end_header\n")
    with open(out, "wb") as f:
        f.write(header.encode("ascii"))
        f.write(data.tobytes())
    print(f"points={count} seed={seed}")


def read_points(path):
    """The header and the n x 6 float32 rows of a binary little-endian PLY
    whose only element is the vertex x y z nx ny nz (sample's output)."""
    with open(path, "rb") as f:
        data = f.read()
    end = data.find(b"end_header\n")
    header = data[:end].decode("ascii").split("\n")
    count = [int(line.split()[2]) for line in header if line.startswith("element vertex")]
    properties = [line.split()[2] for line in header if line.startswith("property float")]
    if end < 0 or len(count) != 1 or properties != ["x", "y", "z", "nx", "ny", "nz"] \
            or "format binary_little_endian 1.0" not in header:
        sys.exit(f"peer.py: error: {path}: not a point file of peer.py sample "
                 "(expected binary_little_endian float x y z nx ny nz)")
    body = data[end + len(b"end_header\n"):]
    if len(body) != count[0] * 24:
        sys.exit(f"peer.py: error: {path}: {len(body)} bytes of data "
                 f"(expected {count[0] * 24} for {count[0]} points)")
    return np.frombuffer(body, dtype="<f4").reshape(count[0], 6)


def noisy(points, sigma, normal_noise, seed, out):
    rows = read_points(points).astype(np.float64)
    rng = np.random.default_rng(seed)
    diagonal = box_diagonal(rows[:, :3])
    rows[:, :3] += rng.normal(0.0, sigma * diagonal, (len(rows), 3))
    normals = rows[:, 3:] + rng.normal(0.0, normal_noise, (len(rows), 3))
    rows[:, 3:] = normals / np.linalg.norm(normals, axis=1)[:, None]
    header = ("ply\nformat binary_little_endian 1.0\n"
              f"comment {points.rsplit('/', 1)[-1]} with noise {sigma} x diagonal, "
              f"normal noise {normal_noise}, seed {seed}\n"
              f"element vertex {len(rows)}\n"
              + "".join(f"property float {name}\n" for name in ("x", "y", "z", "nx", "ny", "nz"))
              + "end_header\n")
    with open(out, "wb") as f:
        f.write(header.encode("ascii"))
        f.write(rows.astype("<f4").tobytes())
    print(f"points={len(rows)} sigma={sigma * diagonal:.6g} diagonal={diagonal:.6g}")


def poisson(points, depth, out, threads):
    import open3d as o3d

    cloud = o3d.io.read_point_cloud(points)
    if not cloud.has_normals() or len(cloud.points) == 0:
        sys.exit(f"peer.py: error: {points}: no oriented points read (expected x y z nx ny nz)")
    start = time.perf_counter()
    mesh, _ = o3d.geometry.TriangleMesh.create_from_point_cloud_poisson(
        cloud, depth=depth, n_threads=threads)
    seconds = time.perf_counter() - start
    if not o3d.io.write_triangle_mesh(out, mesh):
        sys.exit(f"peer.py: error: {out}: cannot write the mesh")
    print(f"reconstruction_s={seconds:.2f} triangles={len(mesh.triangles)}")


def measure(scan, path, samples, seed):
    import open3d as o3d

    truth_vertices, truth_triangles = read_off(scan)
    diagonal = box_diagonal(truth_vertices)
    vertices, triangles = read_mesh(path)
    scene = o3d.t.geometry.RaycastingScene()
    scene.add_triangles(truth_vertices.astype(np.float32), truth_triangles.astype(np.uint32))
    result = {"triangles": len(triangles)}
    if len(triangles):
        points, _ = sample_surface(vertices, triangles, samples, np.random.default_rng(seed))
        on_surface = scene.compute_distance(points.astype(np.float32)).numpy()
        at_vertices = scene.compute_distance(vertices.astype(np.float32)).numpy()
        welded_vertices, welded = weld(vertices, triangles)
        result.update(mean=f"{on_surface.mean() / diagonal:.2e}",
                      max=f"{max(on_surface.max(), at_vertices.max()) / diagonal:.2e}",
                      boundary=int((edge_counts(welded) == 1).sum()),
                      components=components(welded_vertices, welded))
    print(" ".join(f"{k}={v}" for k, v in result.items()))


def main(argv):
    usage = __doc__.split("\n\n")[0]
    if len(argv) < 2:
        sys.exit(usage)
    command, args = argv[1], argv[2:]
    if command == "describe" and len(args) == 1:
        describe(args[0])
    elif command == "sample" and len(args) == 4:
        sample(args[0], int(args[1]), int(args[2]), args[3])
    elif command == "noisy" and len(args) == 5:
        noisy(args[0], float(args[1]), float(args[2]), int(args[3]), args[4])
    elif command == "poisson" and len(args) == 4:
        poisson(args[0], int(args[1]), args[2], int(args[3]))
    elif command == "measure" and len(args) == 4:
        measure(args[0], args[1], int(args[2]), int(args[3]))
    else:
        sys.exit(usage)


if __name__ == "__main__":
    main(sys.argv)
