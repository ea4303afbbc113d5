#pragma once
// Signs what the tests serve with the tests' own key (tests/keys/), the one
// a test build verifies against, as scripts/sign-manifest.py does.
#include <json/value.h>

#include <string>

namespace korvel::test {

// Standard padded base64 of the detached Ed25519 signature over bytes.
std::string signBytes(const std::string& bytes);

// The document with its signature ("signature", or "signatureBlock"
// "signature" in the schema form) made over its canonical text, as text.
// Throws when the document does not parse as a manifest.
std::string signedManifestText(Json::Value document);

}  // namespace korvel::test
