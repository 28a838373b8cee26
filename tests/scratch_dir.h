// SPDX-License-Identifier: MIT
// A directory of the test's own under /tmp, removed with everything in it
// when the test ends.
#ifndef VEHCAN_TESTS_SCRATCH_DIR_H
#define VEHCAN_TESTS_SCRATCH_DIR_H

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>

class ScratchDir {
  public:
    ScratchDir() {
        char pattern[] = "/tmp/vehcan-test-XXXXXX";
        const char *made = mkdtemp(pattern);
        path_ = made != nullptr ? made : "/nonexistent";
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    const std::string &path() const { return path_; }
    // Writes a file of that name and mode here; returns its path.
    std::string write(const std::string &name, const std::string &text, mode_t mode) const {
        std::string file = path_ + "/" + name;
        std::ofstream(file) << text;
        chmod(file.c_str(), mode);
        return file;
    }

  private:
    std::string path_;
};

#endif
