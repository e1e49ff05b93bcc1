// What the system says of the USB device behind a local port: the ids, the
// strings the device gives, and the hub socket it sits in.
#pragma once

#include <optional>
#include <string>

// Each value is empty (null in the report) where the device or the system
// does not give it. The ids are four lower-case hexadecimal digits.
struct UsbInfo {
    std::optional<std::string> vid, pid, serial, manufacturer, product;
    std::optional<std::string> location;  // the hub socket ("1-1.3"): the same whatever board is in it
};
