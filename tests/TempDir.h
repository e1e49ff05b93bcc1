// A temporary folder for one test, removed with everything in it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

// In TMPDIR if it is set, else in /dev/shm where there is one: the tests'
// folders hold the sim's port link and the programs' output, and on a disk
// that other programs keep busy a rename, an unlink or a write there can
// wait for a good part of a second, which is all the handshake leaves a
// reset.
class TempDir {
public:
    TempDir() {
        const char* base = getenv("TMPDIR");
        struct stat shm;
        const bool haveShm = stat("/dev/shm", &shm) == 0 && S_ISDIR(shm.st_mode) && access("/dev/shm", W_OK) == 0;
        std::string pattern = std::string(base && *base ? base : haveShm ? "/dev/shm" : "/tmp") + "/tessan-test.XXXXXX";
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
