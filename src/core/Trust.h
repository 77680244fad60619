#pragma once
// What config.xml says the client trusts beyond the system (docs/security.md): a file of
// extra certificate authorities (`cafile`) and the keys that sign the service's
// descriptors (`signkey`, any number).

#include <string>
#include <vector>

namespace pugi {
class xml_node;
}

namespace vx {

struct TrustSettings {
    // Full path of the PEM file of config.xml's cafile, inside the Config folder; empty
    // when none is named (or the name was refused, see problems).
    std::string caFile;
    // The raw 32-byte Ed25519 keys of the signkey elements that could be read.
    std::vector<std::string> signKeys;
    // True when config.xml has any signkey element, even one that could not be read: the
    // operator asked for signed descriptors, and an unreadable key must never mean that
    // unsigned ones are taken.
    bool signingRequired = false;
    // What could not be used, for the status line and the log, one text each.
    std::vector<std::string> problems;
};

// The settings in force; empty (system trust only, no signatures) until config.xml is read.
extern TrustSettings Trust;

// Reads the settings from the root element of config.xml; `configFolder` is the Config
// folder with its final separator.
TrustSettings readTrustSettings(const pugi::xml_node& configRoot, const std::string& configFolder);

} // namespace vx
