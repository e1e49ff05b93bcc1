// A temporary folder for one test, removed with everything in it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

class TempDir {
public:
    TempDir() {
        const char* base = getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/tessan-test.XXXXXX";
        char* made = mkdtemp(&pattern[0]);
        path_ = made ? made : "";
    }
    ~TempDir() {
        if (!path_.empty()) {
            std::string command = "rm -rf '" + path_ + "'";
            if (system(command.c_str()) != 0) {
            }
        }
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

    // Writes `contents` to a file in the folder and returns its path.
    std::string Write(const std::string& name, const std::string& contents) const {
        std::string file = File(name);
        FILE* f = fopen(file.c_str(), "wb");
        if (f) {
            fwrite(contents.data(), 1, contents.size(), f);
            fclose(f);
        }
        return file;
    }

private:
    std::string path_;
};
