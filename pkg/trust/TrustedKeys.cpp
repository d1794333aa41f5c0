#include "pkg/trust/TrustedKeys.h"

#include <boost/filesystem.hpp>

#include <algorithm>

namespace vex::pkg
{
namespace fs = boost::filesystem;

const char* const TrustedKeys::kDefaultDirectory = "/etc/vex-pkg/keys";

bool TrustedKeys::isKeyFile(const std::string& name)
{
    static const std::string suffix = ".pem";
    return name.size() > suffix.size() &&
           name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool TrustedKeys::present(const std::string& directory)
{
    boost::system::error_code ec;
    fs::directory_iterator it(directory, ec);
    for (size_t seen = 0; !ec && it != fs::directory_iterator() && seen < kLargestDirectory;
         it.increment(ec), ++seen)
    {
        // A key file that cannot be read still counts: an instrument that was given keys must never fall
        // back to accepting unsigned packages because one of them is damaged.
        boost::system::error_code statError;
        if (isKeyFile(it->path().filename().string()) && !fs::is_directory(it->path(), statError))
        {
            return true;
        }
    }
    return false;
}

void TrustedKeys::load(const std::string& directory)
{
    keys_.clear();
    ignored_ = 0;
    listError_.clear();
    tooMany_ = false;
    boost::system::error_code ec;
    fs::directory_iterator it(directory, ec);
    size_t seen = 0;
    for (; !ec && it != fs::directory_iterator(); it.increment(ec), ++seen)
    {
        if (seen == kLargestDirectory)
        {
            tooMany_ = true;
            break;
        }
        boost::system::error_code statError;
        if (!isKeyFile(it->path().filename().string()) || fs::is_directory(it->path(), statError))
        {
            continue;
        }
        Ed25519Key key;
        if (fs::is_regular_file(it->path(), statError) && key.loadPublicPem(it->path().string()))
        {
            keys_.push_back(std::move(key));
        }
        else
        {
            ++ignored_;
        }
    }
    if (ec)
    {
        listError_ = ec == boost::system::errc::no_such_file_or_directory
                         ? std::string("the folder does not exist")
                         : "the folder cannot be read (" + ec.message() + ")";
    }
}

std::string TrustedKeys::problem() const
{
    if (!keys_.empty())
    {
        return std::string();
    }
    if (!listError_.empty())
    {
        return listError_;
    }
    if (ignored_ > 0)
    {
        return ignored_ == 1
                   ? std::string("its one *.pem file is not an Ed25519 public key")
                   : "none of its " + std::to_string(ignored_) + " *.pem files is an Ed25519 public key";
    }
    return tooMany_ ? "no *.pem file among its first " + std::to_string(kLargestDirectory) + " entries"
                    : std::string("it holds no *.pem file");
}

const Ed25519Key* TrustedKeys::find(const Ed25519Key::KeyId& id) const
{
    const auto it =
        std::find_if(keys_.begin(), keys_.end(), [&](const Ed25519Key& key) { return key.keyId() == id; });
    return it == keys_.end() ? nullptr : &*it;
}

}  // namespace vex::pkg
