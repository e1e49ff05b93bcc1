// Pty.h - a pseudo-terminal standing in for the device's serial port: created raw,
// published under a path as a symlink to its slave, watched for the tool's open and close.
// Or an existing terminal attached as the sim's end of a connected line: then
// master() and slaveName() are that device, and nothing is published.
#pragma once

#include <string>

class Pty {
public:
    Pty() = default;
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    // Creates a fresh pty in raw mode with a non-blocking master.
    bool create(std::string& err);

    // Publishes the slave under `path`: a symlink, put in place atomically and
    // replacing an older symlink. Refuses when `path` exists and is no symlink.
    bool publish(const std::string& path, std::string& err);

    // Uses the existing terminal `device` instead of a new pty: opens it raw
    // at 115200 baud with nothing waiting in it. It counts as opened at once.
    bool attach(const std::string& device, std::string& err);

    // Removes the symlink, as long as it still points at this pty's slave.
    void unpublish();

    // Makes every later open of the slave fail (EIO), as on a pty not yet
    // unlocked; a descriptor already open goes on working. Only while nobody
    // else tries to open the slave meanwhile: such a failed open makes the
    // kernel fail the open descriptor's reads and writes too. False if the
    // lock could not be set (an attached device has none).
    bool refuseOpens();

    // Closes the master (the slave device disappears).
    void close();

    // Hands the master over to the caller, who must close it; the Pty is then
    // empty and can create the next one.
    int release();

    bool isOpen() const { return master_ >= 0; }
    // The sim's end of the line: the pty's master, or the attached device.
    int master() const { return master_; }
    const std::string& slaveName() const { return slave_; }

    // True once the slave has been opened (it may have been closed again
    // since). Nothing wakes a wait when that happens: ask again every few ms.
    bool openSeen();

    // Bytes sent to the tool that it has not read yet, or -1 if unknown. Opens
    // the slave for a moment, so it is only used just before dropping the port.
    int unreadBySlave() const;

private:
    int master_ = -1;
    bool opened_ = false;
    std::string slave_;
    std::string path_;
};
