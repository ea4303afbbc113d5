"""The helper installs only what the built-in key signed. Through the real
KorvelElevated.exe, in both manifest forms: a good signature installs; an
empty, garbled, short or long signature, one made with another key, one of
another manifest, and a signed field changed after signing all end with 122
before any backup, download or write. The check uses the canonical bytes the
helper holds in memory: two files swapped into the cache while it checks do
not count. Targets in Windows or in a dangerous root are refused with 147
before the manifest is asked for."""
import base64
import copy
import json
import os
import shutil
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))

from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey  # noqa: E402

import harness  # noqa: E402
from servers import FaultServer, Reply  # noqa: E402
from trustkit import NginxTrustCase, Run, messages, sha, statuses, tree  # noqa: E402

FILES = {"KorvelClient.exe": b"MZ client\n" * 40, "data/world.pak": b"world\n" * 200,
         "data/caf\u00e9.txt": b"names\n"}
# The canonical text escapes what is not ASCII, and JsonCpp's own escapes:
# the signer must spell them byte for byte as the helper does.
CHANNEL = "beta \u00e9\u00a0\U0001F600 \"q\" \\ \t\x01 </x>"
SIGNER = harness.signer()
VERIFIED = "Manifest signature verified successfully"
FAILED = "Manifest signature verification failed"
NO_KEY_WARNINGS = ("Ed25519 signature verification requires public key - implement with manifest",
                   "CMS signature verification not yet implemented")


def legacy_doc(ng, files, version="1.0.0"):
    entries = []
    for rel, data in files.items():
        ng.put("files/%s/%s" % (sha(data)[:8], rel), data)
        entries.append({"path": rel, "sha256": sha(data), "size": len(data)})
    return {"version": version, "gameVersion": version, "component": "client", "channel": CHANNEL,
            "baseUrl": "", "files": entries}


def schema_doc(ng, files, version="1.0.0"):
    assets = []
    for rel, data in files.items():
        where = "files/%s/%s" % (sha(data)[:8], rel)
        ng.put(where, data)
        assets.append({"path": rel, "size": len(data), "hash": sha(data),
                       "fullReference": {"url": ng.url("/" + where)}})
    return {"schemaVersion": "2.0", "manifestId": "m-1", "createdUtc": "2026-01-01T00:00:00Z",
            "buildMetadata": {"version": version, "channel": CHANNEL}, "baseUrl": "", "assets": assets,
            "signatureBlock": {"signature": "", "algorithm": "ed25519"}}


def files_of(doc):
    return doc["assets"] if "assets" in doc else doc["files"]


def set_signature(doc, text):
    if "assets" in doc:
        doc["signatureBlock"]["signature"] = text
    else:
        doc["signature"] = text
    return doc


def signature(doc):
    return doc["signatureBlock"]["signature"] if "assets" in doc else doc["signature"]


def hash_key(doc):
    return "hash" if "assets" in doc else "sha256"


def b64(n):
    return base64.b64encode(bytes(range(n))).decode()


class SignatureCase(NginxTrustCase):
    def serve(self, name, doc):
        self.ng.put(name, json.dumps(doc).encode())
        return self.ng.url("/" + name)

    def assert_refused(self, run, folder, why, error=FAILED):
        self.assertEqual(run.returncode, 122, "%s\n%s" % (why, run.tail()))
        self.assertEqual(statuses(run.events), ["starting", "validation_failed"], why)
        self.assertIn(error, messages(run.events, "ERROR"), why)
        self.assertNotIn(VERIFIED, messages(run.events), why)
        self.assertEqual(tree(self.scratch.path(folder)), {}, why)
        backups = os.path.join(self.cache, "backups")
        self.assertEqual(os.listdir(backups) if os.path.isdir(backups) else [], [], why)

    def assert_installed(self, run, folder, files, why):
        self.assertEqual(run.returncode, 0, "%s\n%s" % (why, run.tail()))
        self.assertEqual(statuses(run.events), ["starting", "completed"], why)
        self.assertIn(VERIFIED, messages(run.events, "INFO"), why)
        for warning in NO_KEY_WARNINGS:
            self.assertNotIn(warning, messages(run.events), why)
        self.assertEqual(tree(self.scratch.path(folder)), files, why)


class SignatureTable(SignatureCase):
    def test_both_forms(self):
        for form, build in (("legacy", legacy_doc), ("schema", schema_doc)):
            with self.subTest(form=form):
                self.check_form(form, build)

    def check_form(self, form, build):
        good = harness.signed(build(self.ng, FILES))
        url = self.serve("%s-good.json" % form, good)
        self.assert_installed(self.apply(url, self.cdn, target_win=self.scratch.winpath(form + "-good")),
                              form + "-good", FILES, form)

        other_key = Ed25519PrivateKey.generate()
        other_manifest = harness.signed(build(self.ng, {"other.bin": b"other\n"}))

        def changed(change):
            doc = copy.deepcopy(good)
            change(doc)
            return doc

        def with_signature(text):
            return set_signature(copy.deepcopy(good), text)

        extra = b"an extra file\n"
        self.ng.put("files/%s/extra.bin" % sha(extra)[:8], extra)
        extra_entry = ({"path": "extra.bin", "size": len(extra), "hash": sha(extra),
                        "fullReference": {"url": self.ng.url("/files/%s/extra.bin" % sha(extra)[:8])}}
                       if form == "schema" else {"path": "extra.bin", "size": len(extra), "sha256": sha(extra)})

        def set_version(d):
            if form == "schema":
                d["buildMetadata"]["version"] = "1.0.1"
            else:
                d["version"] = "1.0.1"

        cases = [
            ("empty", with_signature("")),
            ("garbage", with_signature("this is not a signature!")),
            ("63 bytes", with_signature(b64(63))),
            ("65 bytes", with_signature(b64(65))),
            ("unpadded", with_signature(signature(good).rstrip("="))),
            ("another key", with_signature(base64.b64encode(other_key.sign(SIGNER.canonical_text(good))).decode())),
            ("another manifest", with_signature(signature(other_manifest))),
            ("version", changed(set_version)),
            ("baseUrl", changed(lambda d: d.__setitem__("baseUrl", "http://127.0.0.1:9/elsewhere/"))),
            ("path", changed(lambda d: files_of(d)[0].__setitem__("path", "KorvelClient2.exe"))),
            ("size", changed(lambda d: files_of(d)[0].__setitem__("size", files_of(d)[0]["size"] + 1))),
            ("sha256", changed(lambda d: files_of(d)[0].__setitem__(hash_key(d), "0" * 64))),
            ("file added", changed(lambda d: files_of(d).append(extra_entry))),
            ("file removed", changed(lambda d: files_of(d).pop())),
        ]
        for number, (why, doc) in enumerate(cases):
            folder = "%s-bad%d" % (form, number)
            with self.subTest(case=why):
                url = self.serve("%s-bad%d.json" % (form, number), doc)
                # An empty signature is refused as missing, before the check.
                self.assert_refused(self.apply(url, self.cdn, target_win=self.scratch.winpath(folder)), folder,
                                    "%s: %s" % (form, why),
                                    "Manifest missing signature" if why == "empty" else FAILED)


class CanonicalText(unittest.TestCase):
    """The signer's canonical text of the documents whose text the helper's
    unit tests pin byte for byte (tests/manifest/ManifestSignature_test.cpp)."""

    HASH_A = "a" * 64
    HASH_B = "0123456789abcdef" * 4

    def test_both_forms_byte_for_byte(self):
        legacy = {"version": "1.2.3", "gameVersion": "2024.1", "signature": "c2lnbmF0dXJl", "channel": "beta",
                  "baseUrl": "https://cdn.example/base/",
                  "files": [{"path": "client/game.exe", "sha256": self.HASH_A, "size": 100, "isExecutable": True},
                            {"relativePath": "client/data/pak0.bin", "sha256Hash": self.HASH_B, "size": 2048}]}
        schema = {"schemaVersion": "2.0", "manifestId": "m-42", "createdUtc": "2024-03-05T06:07:08Z",
                  "buildMetadata": {"version": "3.4.5", "channel": "nightly"},
                  "assets": [{"path": "bin/app.exe", "size": 10, "hash": self.HASH_A,
                              "fullReference": {"url": "https://cdn.example/a"}},
                             {"path": "bin/lib.dll", "size": 20, "hash": self.HASH_B,
                              "fullReference": {"url": "https://cdn.example/b"}}],
                  "signatureBlock": {"signature": "sig", "algorithm": "none"}}
        self.assertEqual(SIGNER.canonical_text(legacy).decode(),
                         '{"baseUrl":"https://cdn.example/base/","channel":"beta","fileCount":2,"files":['
                         '{"isExecutable":true,"permissions":"644","relativePath":"client/game.exe","sha256Hash":"'
                         + self.HASH_A + '","size":100},'
                         '{"permissions":"644","relativePath":"client/data/pak0.bin","sha256Hash":"'
                         + self.HASH_B + '","size":2048}],"gameVersion":"2024.1","totalSize":2148,"version":"1.2.3"}')
        self.assertEqual(SIGNER.canonical_text(schema).decode(),
                         '{"baseUrl":"","channel":"nightly","fileCount":2,"files":['
                         '{"downloadUrl":"https://cdn.example/a","permissions":"644","relativePath":"bin/app.exe",'
                         '"sha256Hash":"' + self.HASH_A + '","size":10},'
                         '{"downloadUrl":"https://cdn.example/b","permissions":"644","relativePath":"bin/lib.dll",'
                         '"sha256Hash":"' + self.HASH_B + '","size":20}],'
                         '"gameVersion":"3.4.5","totalSize":30,"version":"3.4.5"}')
        legacy["channel"] = '"q" \\ / \t\n\x01\x1f \u00e9\u00a0\u20ac\U0001F600'
        self.assertIn('"channel":"\\"q\\" \\\\ / \\t\\n\\u0001\\u001f \\u00e9\\u00a0\\u20ac\\ud83d\\ude00"',
                      SIGNER.canonical_text(legacy).decode())


class SwappedSignatureFiles(SignatureCase):
    """A program of the user replaces both temporary files, while the helper
    checks, by a genuinely signed pair of another manifest."""

    def test_swapped_pair_does_not_count(self):
        served = harness.signed(legacy_doc(self.ng, FILES))
        served["version"] = "6.6.6"  # signed over 1.0.0: refused on its own bytes
        url = self.serve("swapped.json", served)
        genuine = harness.signed(legacy_doc(self.ng, {"other.bin": b"other\n"}, "2.0.0"))
        run = self.start(url, self.cdn, hold_at="Verifying detached Ed25519 signature",
                         target_win=self.scratch.winpath("swapped"))
        if not run.wait_held():
            self.fail("never held at the check\n" + run.finish().tail())
        data = os.path.join(self.cache, "manifest_data.tmp")
        sig = os.path.join(self.cache, "manifest_sig.tmp")
        self.assertTrue(os.path.isfile(data) and os.path.isfile(sig), os.listdir(self.cache))
        # Written from the host: Wine's share modes do not bind it, as a
        # program with another way in would not be bound.
        with open(data, "wb") as f:
            f.write(SIGNER.canonical_text(genuine))
        with open(sig, "wb") as f:
            f.write(genuine["signature"].encode())
        run.release()
        run.finish()
        self.assert_refused(run, "swapped", "swapped pair")


class DangerousTargets(unittest.TestCase):
    """No apply form writes into Windows or into a dangerous root; nothing is
    asked of the server first. Below Program Files is the normal place."""

    def test_refused_targets(self):
        scratch = harness.Scratch("sigroots")
        self.addCleanup(scratch.cleanup)
        with FaultServer() as fs:
            data = b"MZ app\n"
            doc = harness.signed({"version": "1.0.0", "gameVersion": "1.0.0", "component": "client",
                                  "files": [{"path": "app.exe", "size": len(data), "sha256": sha(data)}]})
            fs.set("/m.json", Reply(json.dumps(doc).encode()))
            fs.set("/cdn/files/%s/app.exe" % sha(data)[:8], Reply(data))
            os.makedirs(scratch.path("session"))
            with open(scratch.path("session", "app.exe"), "wb") as f:
                f.write(data)
            with open(scratch.path("files.json"), "w") as f:
                json.dump({"files": [{"file": "app.exe", "path": scratch.winpath("session", "app.exe")}]}, f)
            session = ["--session-root", scratch.winpath("session"), "--files-manifest", scratch.winpath("files.json")]
            targets = ["C:\\windows", "C:\\Windows\\System32", "C:\\windows\\system32\\drivers\\korvel",
                       "C:\\Windows\\Temp\\korvel", "C:\\", "T:\\", "C:\\Program Files", "C:\\ProgramData",
                       "C:\\users\\root", "C:\\users\\root\\Desktop", "C:\\users\\Public"]
            for form, extra in (("plain", []), ("session", session), ("plan", None)):
                for target in targets:
                    with self.subTest(form=form, target=target):
                        fs.clear_log()
                        run = self.run_form(scratch, fs, form, target, extra)
                        self.assertEqual(run.returncode, 147, run)
                        self.assertEqual(fs.requests, [], run)
                        refusals = [m for m in messages(run.events, "ERROR")
                                    if m.startswith("Refusing to apply an update into folder " + target)]
                        self.assertTrue(refusals, run)
            # The normal case: a folder of its own below Program Files.
            fs.clear_log()
            target = "C:\\Program Files\\KorvelSigTest-%s" % os.urandom(4).hex()
            run = self.run_form(scratch, fs, "plain", target, [])
            self.assertEqual(run.returncode, 0, run)
            installed = harness.prefix_path(target)
            self.addCleanup(shutil.rmtree, installed, True)
            self.assertEqual(harness.read(os.path.join(installed, "app.exe")), data)

    def run_form(self, scratch, fs, form, target, extra):
        from pipetools import run_elevated
        if form == "plan":
            plan = scratch.path("plan-%s.json" % os.urandom(4).hex())
            with open(plan, "w") as f:
                json.dump({"operations": [{"type": "apply_manifest", "manifestUrl": fs.url("/m.json"),
                                           "targetPath": target, "cdnUrl": fs.url("/cdn")}]}, f)
            return run_elevated(["--execute-plan", harness.to_win(plan)])
        return run_elevated(["--apply-manifest", fs.url("/m.json"), "--target", target, "--cdn", fs.url("/cdn")]
                            + extra)


class PlanWithBadSignature(SignatureCase):
    def test_plan_stops_with_122(self):
        doc = harness.signed(legacy_doc(self.ng, FILES))
        doc["files"][0]["size"] += 1
        url = self.serve("plan-bad.json", doc)
        plan = self.scratch.path("plan.json")
        with open(plan, "w") as f:
            json.dump({"operations": [
                {"type": "apply_manifest", "manifestUrl": url, "targetPath": self.scratch.winpath("plan-target"),
                 "cdnUrl": self.cdn},
                {"type": "release_session", "sessionRoot": self.scratch.winpath("never-asked")}]}, f)
        run = Run(self, ["--execute-plan", harness.to_win(plan)])
        self.runs.append(run)
        run.finish()
        self.assertEqual(run.returncode, 122, run.tail())
        failed = [e for e in run.events if e.get("event_type") == "error" and e.get("operation") == "execution_plan"]
        self.assertEqual([(e.get("error_code"), e.get("details")) for e in failed],
                         [(122, "Operation 0 failed, aborting plan")], run.tail())
        self.assertNotIn("operation_1", [e.get("status") for e in run.events if e.get("operation") == "execution_plan"])
        self.assertEqual(tree(self.scratch.path("plan-target")), {})


if __name__ == "__main__":
    unittest.main()
