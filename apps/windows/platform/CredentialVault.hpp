#pragma once
// The platform primitives under CredentialStore: a protected per-user store of small blobs named
// by target, and SHA-256. Target names, the record format, its limits and wiping are
// CredentialStore's.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace murel {

using Sha256Digest = std::array<std::uint8_t, 32>;

// Hashes the bytes; throws (any exception) on failure.
using Sha256Function = std::function<Sha256Digest(std::string_view)>;

class CredentialVault {
public:
    virtual ~CredentialVault() = default;

    // Creates or replaces the entry `target` (ASCII) whole, or leaves any earlier entry untouched
    // when it fails. `userName` is the account's user id (stored where the platform has a place for
    // it). Any copy of `blob` the vault makes in memory is wiped. Failure: ProtocolError beginning
    // "Save credential".
    virtual void write(std::string_view target, std::string_view userName,
                       std::string_view blob) = 0;

    // Returns the blob of `target`, or nothing when there is no such entry. A blob longer than
    // `maxBytes` may be returned cut to maxBytes + 1 bytes (so the caller can still tell it is too
    // long). The caller wipes the result; any other copy is wiped by the vault.
    // Failure: ProtocolError beginning "Read credential".
    virtual std::optional<std::string> read(std::string_view target, std::size_t maxBytes) = 0;

    // Deletes the entry; an absent entry is not an error.
    // Failure: ProtocolError beginning "Remove saved credential".
    virtual void remove(std::string_view target) = 0;
};

}  // namespace murel
