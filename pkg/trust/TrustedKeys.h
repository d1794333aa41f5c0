#pragma once

#include "pkg/trust/Ed25519Key.h"

#include <string>
#include <vector>

namespace vex::pkg
{
// The public keys an instrument trusts: every "*.pem" file of one directory, so that a new key can be
// added beside the old one before packages start being signed with it (rotation). Private keys never
// belong there.
class TrustedKeys
{
public:
    // Where the keys are looked for unless the configuration file names another directory.
    static const char* const kDefaultDirectory;

    // At most this many entries of the directory are looked at; a key folder holds a handful.
    static constexpr size_t kLargestDirectory = 1024;

    // Whether `directory` holds at least one key file: on such an instrument only signed packages install.
    static bool present(const std::string& directory);

    // Reads every key file of `directory`; files that are not Ed25519 public keys are counted as ignored.
    void load(const std::string& directory);

    size_t size() const { return keys_.size(); }
    size_t ignored() const { return ignored_; }
    // Why no key was loaded, for the log ("the folder does not exist", "it holds no *.pem file", ...);
    // empty when there is a key.
    std::string problem() const;
    // The trusted key with this identifier, null when none.
    const Ed25519Key* find(const Ed25519Key::KeyId& id) const;
    const std::vector<Ed25519Key>& keys() const { return keys_; }

private:
    static bool isKeyFile(const std::string& name);

    std::vector<Ed25519Key> keys_;
    size_t ignored_ = 0;
    // The folder could not be listed (to its end): what the system said.
    std::string listError_;
    bool tooMany_ = false;
};

}  // namespace vex::pkg
