// A directory of one test's own under /tmp, removed with everything in it
// when the test is done. Belongs to the thread that made it.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace clitest {

class TempDir {
  public:
    // The directory is /tmp/PREFIX-XXXXXX; path() is empty if it could not be made.
    explicit TempDir(const std::string &prefix = "cli-test") {
        std::string templ = "/tmp/" + prefix + "-XXXXXX";
        if (mkdtemp(templ.data())) path_ = templ;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

} // namespace clitest
