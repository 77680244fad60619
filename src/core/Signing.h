#pragma once
// SHA-256 digests and Ed25519 signatures: the checks of what the client downloads from its
// service (docs/security.md), and the operator tools that make them (vxutil).
//
// Keys and signatures cross this interface as raw bytes in std::string: a public key is 32
// bytes, a signature 64. Their text forms are base64 (config.xml's signkey, the ".sig" file).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/Expected.h"

namespace vx {

// SHA-256 of bytes as 64 lowercase hexadecimal digits.
std::string sha256Hex(std::string_view bytes);
// SHA-256 of a file's bytes as 64 lowercase hexadecimal digits; the empty text when no file
// exists at the path (as FileMD5); an error when it exists but cannot be read.
Expected<std::string> FileSHA256(const std::string& path);
// True for exactly 64 hexadecimal digits, in any case.
bool isSha256Hex(std::string_view text);

// A public key as config.xml's signkey gives it: base64 of the 32 raw bytes of an Ed25519
// key, white space anywhere ignored. An error names what is wrong.
Expected<std::string> parsePublicKey(std::string_view base64);
// A signature file's text: base64 of the 64 raw bytes of an Ed25519 signature, white space
// anywhere ignored. An error names what is wrong.
Expected<std::string> parseSignature(std::string_view text);
// True when `signature` (64 raw bytes) is the signature of `message` by `publicKey` (32 raw
// bytes); false for anything else, wrong sizes included.
bool verifyEd25519(std::string_view publicKey, std::string_view message,
                   std::string_view signature);

// The operator's side: a new key pair, the private key as PKCS#8 PEM (as `openssl genpkey
// -algorithm ed25519` writes it) and the public key as config.xml's signkey text.
struct SigningKeyPair {
    std::string privatePem;
    std::string publicKeyBase64;
};
Expected<SigningKeyPair> generateSigningKey();
// The public key (signkey text) of a PEM private key.
Expected<std::string> publicKeyOf(std::string_view privatePem);
// The signature (64 raw bytes) of `message` by a PEM private key.
Expected<std::string> signEd25519(std::string_view privatePem, std::string_view message);
// The text of a signature file: base64 of the signature and a line break.
std::string signatureFileText(std::string_view signature);

// A descriptor's <expires>: a moment in UTC as ISO 8601 writes it, "2026-12-17T00:00:00Z"
// (seconds and their fractions optional, "Z" or an offset such as "+08:00"), or a date alone
// ("2026-12-17", its first second). Seconds since 1970; none for anything else.
std::optional<std::int64_t> parseUtcTime(std::string_view text);
// The form descriptors carry: "2026-12-17T00:00:00Z".
std::string utcTimeText(std::int64_t secondsSince1970);

} // namespace vx
