#pragma once
// A test's own folder under the system's temporary one, removed with all it holds when the
// object goes, and a file read whole.

#include <string>

namespace vellicor::test {

class TempFolder {
  public:
    // "vellicor-log" makes /tmp/vellicor-log-XXXXXX; path() is empty when it could not be made.
    explicit TempFolder(const std::string& prefix);
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// The file's bytes; empty when it cannot be read.
std::string readText(const std::string& path);

}  // namespace vellicor::test
