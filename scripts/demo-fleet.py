#!/usr/bin/env python3
"""Writes push batches for a small demo fleet, derived from examples/demo-batch.json.

    demo-fleet.py TEMPLATE OUTDIR [NOW]

Prints one line per device: "SN HOSTNAME BATCH". The fleet shows what the inventory page is
for: a healthy device, one with a failing hot disk, one with a nearly full volume and one that
stopped reporting three days ago."""
import base64
import copy
import json
import os
import struct
import sys
import time
import zlib


def png(size, rgb, mark):
    """A square icon of `size` pixels: a rounded tile in `rgb` with a lighter bar `mark`."""
    rows = []
    r = size // 5
    for y in range(size):
        row = bytearray([0])
        for x in range(size):
            dx = max(r - x, x - (size - 1 - r), 0)
            dy = max(r - y, y - (size - 1 - r), 0)
            inside = dx * dx + dy * dy <= r * r
            lit = size // 3 <= y < size // 3 + size // 8 and size // 5 <= x < size * mark // 10
            c = tuple(min(255, v + 90) for v in rgb) if lit else rgb
            row += bytes(c + (255,)) if inside else bytes((0, 0, 0, 0))
        rows.append(bytes(row))
    raw = b"".join(rows)

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


COLOURS = [(38, 110, 200), (214, 96, 44), (46, 150, 92), (140, 82, 190), (200, 60, 90)]

FLEET = [
    # sn, hostname, model, version, age in seconds, what to change
    ("2150PDN004711", "lab-store-01", "KV-4120", "QXM 5.1.4-2596", 0, None),
    ("2150PDN004802", "office-nas", "KV-2080", "QXM 5.1.3-2540", 120, "failing"),
    ("2150PDN005133", "media-vault", "KV-8240", "QXM 5.1.4-2596", 300, "full"),
    ("2150PDN003027", "branch-berlin", "KV-2080", "QXM 4.3.2-2210", 3 * 86400, "stale"),
    ("2150PDN006350", "backup-east", "KV-8240", "QXM 5.1.4-2596", 60, None),
]


def device_batch(template, sn, hostname, model, version, age, variant, now, index):
    batch = copy.deepcopy(template)
    collect = now - age
    for item in batch:
        item["collect_time"] = collect
        data = item["data"]
        kind = item["module_name"]
        if kind == "basic":
            data.update(model_name=model, version=version, hostname=hostname,
                        up_time=86400 * (3 + 7 * index) + 3600 * index)
            data["kevoinfo"]["mtime"] = collect
        elif kind == "storage":
            vols = data["vol"]
            vols[0]["size_used"] = int(vols[0]["size_total"] * (0.31 + 0.09 * index))
            if variant == "full":
                vols[1]["size_used"] = int(vols[1]["size_total"] * 0.965)
            for n, disk in enumerate(data["hdd"]):
                disk["temp"] = 31 + index + n
            if variant == "failing":
                data["hdd"][1].update(status="warning", smart_status="abnormal", temp=58)
        elif kind == "applications":
            for n, app in enumerate(data["applications"]):
                colour = COLOURS[(index + n) % len(COLOURS)]
                app["icon"] = base64.b64encode(png(32, colour, 6 + n)).decode()
                app["icon_size"] = len(base64.b64decode(app["icon"]))
                app["icon_256"] = base64.b64encode(png(96, colour, 6 + n)).decode()
                app["icon_256_size"] = len(base64.b64decode(app["icon_256"]))
        elif kind == "package" and variant == "stale":
            for pkg in data["packages"]:
                if pkg["id"] == "MediaHub":
                    pkg["version"] = "1.9.2"
    return batch


def main():
    if len(sys.argv) not in (3, 4):
        sys.exit(__doc__)
    template = json.load(open(sys.argv[1]))
    outdir = sys.argv[2]
    now = int(sys.argv[3]) if len(sys.argv) == 4 else int(time.time())
    os.makedirs(outdir, exist_ok=True)
    for index, (sn, hostname, model, version, age, variant) in enumerate(FLEET):
        path = os.path.join(outdir, sn + ".json")
        with open(path, "w") as out:
            json.dump(device_batch(template, sn, hostname, model, version, age, variant, now,
                                   index), out)
        print(sn, hostname, path)


if __name__ == "__main__":
    main()
