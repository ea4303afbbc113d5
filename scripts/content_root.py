#!/usr/bin/env python3
"""Sample content roots for the demo and the benchmark.

A content root is what the content server serves: one update manifest per
version ("manifest-<version>.json", legacy form) and every file below
"files/<first 8 hash digits>/<path>", the place the elevated helper asks for.

    content_root.py sample ROOT             a few files, one over 10 MiB, two versions
    content_root.py bench ROOT [MIB] [N]    N files of mixed sizes, MIB in total
"""
import hashlib
import importlib.util
import json
import os
import random
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
# The demo and the benchmark serve what the tests' key signed: the build
# verifies with its public half (scripts/build.sh).
TEST_KEY = os.path.join(HERE, "..", "tests", "keys", "manifest-test-key.pem")


def _signer():
    spec = importlib.util.spec_from_file_location("sign_manifest", os.path.join(HERE, "sign-manifest.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def sign(doc):
    """Writes the test key's signature into doc (either form)."""
    signer = _signer()
    return signer.sign_document(doc, signer.load_key(TEST_KEY))


def _write_file(root, rel, data):
    digest = hashlib.sha256(data).hexdigest()
    dest = os.path.join(root, "files", digest[:8], *rel.split("/"))
    os.makedirs(os.path.dirname(dest), exist_ok=True)
    if not os.path.exists(dest):
        with open(dest, "wb") as f:
            f.write(data)
    return {"path": rel, "sha256": digest, "size": len(data)}


def write_manifest(root, version, entries, name=None):
    """Writes a legacy-form manifest; returns its file name."""
    name = name or "manifest-%s.json" % version
    doc = {
        "version": version,
        "gameVersion": version,
        "component": "client",
        "channel": "stable",
        "files": entries,
    }
    sign(doc)
    with open(os.path.join(root, name), "w") as f:
        json.dump(doc, f, indent=2)
    return name


def sample(root, programs=None):
    """Two versions: 1.1.0 changes one file, adds one, keeps the rest.
    programs: further files of both versions ({path: bytes}), for example
    the product's own programs below "Launcher/"."""
    rng = random.Random(1)
    big = bytes(rng.getrandbits(8) for _ in range(4096)) * (11 * 256 + 3)  # just over 11 MiB
    v1 = {
        "KorvelClient.exe": b"MZ" + b"client build 1.0.0\n" * 500,
        "Launcher/KorvelLauncher.exe": b"MZ" + b"launcher build 1.0.0\n" * 300,
        "bin/engine.dll": b"MZ" + b"engine 1.0.0\n" * 2000,
        "data/world.pak": big,
        "data/readme.txt": b"Korvel sample content, version 1.0.0\n",
        "config/settings.json": b'{"quality": "high", "version": "1.0.0"}\n',
    }
    v1.update(programs or {})
    v2 = dict(v1)
    v2["bin/engine.dll"] = b"MZ" + b"engine 1.1.0 with fixes\n" * 2000
    v2["data/readme.txt"] = b"Korvel sample content, version 1.1.0\n"
    v2["data/extra/new-map.pak"] = b"new map in 1.1.0\n" * 4096
    names = []
    for version, files in (("1.0.0", v1), ("1.1.0", v2)):
        entries = [_write_file(root, rel, data) for rel, data in files.items()]
        names.append(write_manifest(root, version, entries))
    return names


def bench_sizes(total_bytes, count, seed=7):
    """Mixed sizes: mostly small files, some medium, a few large, adding up
    to total_bytes."""
    rng = random.Random(seed)
    weights = []
    for i in range(count):
        r = rng.random()
        if r < 0.70:
            weights.append(rng.uniform(0.02, 0.3))   # small
        elif r < 0.95:
            weights.append(rng.uniform(1.0, 4.0))    # medium
        else:
            weights.append(rng.uniform(15.0, 40.0))  # large
    scale = total_bytes / sum(weights)
    sizes = [max(1, int(w * scale)) for w in weights]
    sizes[-1] += total_bytes - sum(sizes)
    return sizes


def bench(root, total_mib=1024, count=1000):
    sizes = bench_sizes(total_mib * 1024 * 1024, count)
    entries = []
    for i, size in enumerate(sizes):
        rel = "pack%02d/file%04d.bin" % (i % 20, i)
        entries.append(_write_file(root, rel, os.urandom(size)))
    return write_manifest(root, "1.0.0", entries, "manifest.json")


def main(argv):
    if len(argv) >= 3 and argv[1] == "sample":
        os.makedirs(argv[2], exist_ok=True)
        print("\n".join(sample(argv[2])))
    elif len(argv) >= 3 and argv[1] == "bench":
        os.makedirs(argv[2], exist_ok=True)
        total = int(argv[3]) if len(argv) > 3 else 1024
        count = int(argv[4]) if len(argv) > 4 else 1000
        print(bench(argv[2], total, count))
    else:
        sys.stderr.write(__doc__)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
