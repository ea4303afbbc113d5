#!/usr/bin/env python3
"""Signs an update manifest for KorvelElevated.

    scripts/sign-manifest.py <private-key.pem> <manifest.json>

The key is an Ed25519 private key in PKCS#8 PEM (openssl genpkey -algorithm
ed25519). The manifest is read, its canonical text built exactly as the
helper builds it from the parsed record (one line of JSON, keys in byte
order, every character beyond ASCII as a \\u escape, the escapes JsonCpp
writes), and the standard padded base64 of the 64-byte detached signature
over that text is written into the document: "signature" in the legacy
form, "signatureBlock"."signature" in the schema form. The file is
rewritten in place; everything else in it is kept.

Importable too (the tests load it by path): canonical_text(doc),
sign_document(doc, key) and load_key(path).
"""
import base64
import json
import sys

from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey


def is_schema_form(doc):
    return isinstance(doc.get("schemaVersion"), str) or isinstance(doc.get("assets"), list)


def _text(value, what):
    if not isinstance(value, str):
        raise ValueError("%s must be text" % what)
    return value


def _uint(value, what):
    if isinstance(value, bool) or not isinstance(value, int) or value < 0:
        raise ValueError("%s must be a non-negative integer" % what)
    return value


def _int(value, what):
    if isinstance(value, bool) or not isinstance(value, int):
        raise ValueError("%s must be an integer" % what)
    return value


def _bool(value, what):
    if not isinstance(value, bool):
        raise ValueError("%s must be true or false" % what)
    return value


def _first_text(entry, keys):
    for key in keys:
        if isinstance(entry.get(key), str):
            return entry[key]
    return ""


def _file_record(entry):
    """The fields of one file as the helper reads them."""
    if not isinstance(entry, dict):
        raise ValueError("a file entry must be an object")
    path = _first_text(entry, ("path", "relativePath"))
    sha256 = _first_text(entry, ("sha256", "sha256Hash", "hash"))
    if not path or not sha256 or "size" not in entry:
        raise ValueError("a file entry needs a path, a sha256 and a size")
    download = _first_text(entry, ("downloadUrl", "url"))
    if not download and "downloadUrl" in entry:
        download = _text(entry["downloadUrl"], "downloadUrl")
    return {
        "path": path,
        "sha256": sha256,
        "size": _uint(entry["size"], "size"),
        "isExecutable": _bool(entry.get("isExecutable", False), "isExecutable"),
        "isRequired": _bool(entry.get("isRequired", True), "isRequired"),
        "downloadUrl": download,
        "compressionLevel": _int(entry.get("compressionLevel", 0), "compressionLevel"),
        "permissions": _text(entry.get("permissions", "644"), "permissions"),
    }


def _record(doc):
    """The signed fields of the manifest, as the helper's parse leaves them."""
    if not isinstance(doc, dict):
        raise ValueError("a manifest is a JSON object")
    if is_schema_form(doc):
        build = doc.get("buildMetadata")
        if not isinstance(build, dict):
            raise ValueError("buildMetadata must be an object")
        files = []
        for asset in doc.get("assets", []):
            if not isinstance(asset, dict):
                raise ValueError("an asset must be an object")
            entry = {"path": asset.get("path"), "size": asset.get("size"), "sha256": asset.get("hash")}
            ref = asset.get("fullReference")
            if isinstance(ref, dict):
                entry["downloadUrl"] = _text(ref.get("url", ""), "fullReference.url")
            files.append(_file_record(entry))
        version = _text(build.get("version", ""), "buildMetadata.version")
        out = {
            "version": version,
            "gameVersion": version,
            "channel": _text(build.get("channel", "stable"), "buildMetadata.channel"),
            "baseUrl": _text(doc.get("baseUrl", ""), "baseUrl"),
            "totalSize": 0,
            "fileCount": 0,
            "files": files,
        }
    else:
        files = doc.get("files")
        out = {
            "version": _text(doc.get("version", ""), "version"),
            "gameVersion": _text(doc.get("gameVersion", ""), "gameVersion"),
            "channel": _text(doc.get("channel", "stable"), "channel"),
            "baseUrl": _text(doc.get("baseUrl", ""), "baseUrl"),
            "totalSize": _uint(doc.get("totalSize", 0), "totalSize"),
            "fileCount": _int(doc.get("fileCount", 0), "fileCount"),
            "files": [_file_record(e) for e in files] if isinstance(files, list) else [],
        }
    # Totals the document leaves out (either one zero) are those of the list.
    if out["totalSize"] == 0 or out["fileCount"] == 0:
        out["totalSize"] = sum(f["size"] for f in out["files"])
        out["fileCount"] = len(out["files"])
    return out


# The characters JsonCpp writes with a two-character escape.
_SHORT_ESCAPES = {'"': '\\"', "\\": "\\\\", "\b": "\\b", "\f": "\\f", "\n": "\\n", "\r": "\\r",
                  "\t": "\\t"}


def _quote(text):
    """A JSON string as JsonCpp's writer spells it without emitUTF8."""
    out = ['"']
    for ch in text:
        c = ord(ch)
        if ch in _SHORT_ESCAPES:
            out.append(_SHORT_ESCAPES[ch])
        elif c < 0x20:
            out.append("\\u%04x" % c)
        elif c < 0x80:
            out.append(ch)
        elif 0xD800 <= c <= 0xDFFF:
            # A lone surrogate is no character: JsonCpp writes U+FFFD.
            out.append("\\ufffd")
        elif c < 0x10000:
            out.append("\\u%04x" % c)
        else:
            c -= 0x10000
            out.append("\\u%04x\\u%04x" % (0xD800 + ((c >> 10) & 0x3FF), 0xDC00 + (c & 0x3FF)))
    out.append('"')
    return "".join(out)


def _write(value):
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, str):
        return _quote(value)
    if isinstance(value, list):
        return "[" + ",".join(_write(v) for v in value) + "]"
    if isinstance(value, dict):
        keys = sorted(value, key=lambda k: k.encode("utf-8"))
        return "{" + ",".join(_quote(k) + ":" + _write(value[k]) for k in keys) + "}"
    raise ValueError("cannot write %r" % (value,))


def canonical_text(doc):
    """The bytes the signature is made over."""
    m = _record(doc)
    files = []
    for f in m["files"]:
        e = {"relativePath": f["path"], "sha256Hash": f["sha256"], "size": f["size"]}
        if f["isExecutable"]:
            e["isExecutable"] = True
        if not f["isRequired"]:
            e["isRequired"] = False
        if f["downloadUrl"]:
            e["downloadUrl"] = f["downloadUrl"]
        if f["compressionLevel"] > 0:
            e["compressionLevel"] = f["compressionLevel"]
        if f["permissions"]:
            e["permissions"] = f["permissions"]
        files.append(e)
    top = {"version": m["version"], "gameVersion": m["gameVersion"], "channel": m["channel"],
           "baseUrl": m["baseUrl"], "totalSize": m["totalSize"], "fileCount": m["fileCount"], "files": files}
    return _write(top).encode("ascii")


def load_key(path):
    with open(path, "rb") as f:
        key = serialization.load_pem_private_key(f.read(), password=None)
    if not isinstance(key, Ed25519PrivateKey):
        raise ValueError("%s is not an Ed25519 private key" % path)
    return key


def signature_of(doc, key):
    return base64.b64encode(key.sign(canonical_text(doc))).decode("ascii")


def sign_document(doc, key):
    """Writes the signature into doc (either form) and returns doc."""
    signature = signature_of(doc, key)
    if is_schema_form(doc):
        block = doc.get("signatureBlock")
        if not isinstance(block, dict):
            block = doc["signatureBlock"] = {}
        block["signature"] = signature
    else:
        doc["signature"] = signature
    return doc


def main(argv):
    if len(argv) != 3:
        sys.stderr.write("usage: sign-manifest.py <private-key.pem> <manifest.json>\n")
        return 2
    key = load_key(argv[1])
    with open(argv[2], "rb") as f:
        doc = json.loads(f.read().decode("utf-8"))
    sign_document(doc, key)
    data = json.dumps(doc, indent=2, ensure_ascii=False).encode("utf-8") + b"\n"
    with open(argv[2], "wb") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv))
    except (OSError, ValueError) as error:
        sys.stderr.write("sign-manifest: %s\n" % error)
        sys.exit(1)
